// The two LEDs on a simulated board. A write shows by replacing a value file's content between calls.
#include "led.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

#include "board.h"
#include "sim_board.h"

namespace {

constexpr int COMM = sim::SimBoard::COMM_LED_GPIO;
constexpr int ALARM = sim::SimBoard::ALARM_LED_GPIO;
const std::string UNTOUCHED = "untouched";

class Leds : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Board_SetRoot(m_board.root().c_str()));
        LED_Construct();
    }
    void TearDown() override
    {
        LED_Destruct();
        Board_SetRoot(nullptr);
    }
    // Marks both value files so that any later write shows.
    void MarkValueFiles()
    {
        for (int gpio : {COMM, ALARM}) {
            m_board.WriteFile("/sys/class/gpio/gpio" + std::to_string(gpio) + "/value", UNTOUCHED);
        }
    }

    sim::SimBoard m_board;
};

TEST_F(Leds, InitMakesBothLinesOutputsAndBothLedsDark)
{
    // Freshly exported lines read "0".
    ASSERT_TRUE(m_board.LedLit(COMM) && m_board.LedLit(ALARM) && LED_Init());
    EXPECT_EQ(m_board.GpioValue(COMM).substr(0, 1) + m_board.GpioValue(ALARM).substr(0, 1) +
                  m_board.ReadFile("/sys/class/gpio/gpio7/direction") +
                  m_board.ReadFile("/sys/class/gpio/gpio6/direction"),
              "11outout");
}

TEST_F(Leds, LightingAnLedWritesOnlyItsLineAndARepeatWritesNothing)
{
    ASSERT_TRUE(LED_Init());
    MarkValueFiles();
    LED_On(0x1, TRUE);
    EXPECT_EQ(std::make_tuple(m_board.LedLit(COMM), m_board.GpioValue(ALARM)), std::make_tuple(true, UNTOUCHED));
    MarkValueFiles();
    LED_On(0x1, TRUE);
    EXPECT_EQ(m_board.GpioValue(COMM), UNTOUCHED);
    LED_Off(0x1, TRUE);
    EXPECT_EQ(m_board.GpioValue(COMM).substr(0, 1) + " " + m_board.GpioValue(ALARM), "1 " + UNTOUCHED);
}

TEST_F(Leds, MissingValueFileFailsInit)
{
    std::remove(m_board.Path("/sys/class/gpio/gpio6/value").c_str());
    EXPECT_FALSE(LED_Init());
}

}  // namespace
