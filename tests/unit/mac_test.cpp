// The MAC address in the OTP fuse files of a simulated board.
#include "mac.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

#include "board.h"
#include "sim_board.h"

namespace {

const std::string MAC0 = "/sys/fsl_otp/HW_OCOTP_MAC0";
const std::string MAC1 = "/sys/fsl_otp/HW_OCOTP_MAC1";

class Fuses : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Board_SetRoot(m_board.root().c_str())); }
    void TearDown() override { Board_SetRoot(nullptr); }

    sim::SimBoard m_board;
};

const auto Bytes = [](const MAC_ADDRESS& mac) { return std::to_array(mac.abyAdrs); };

TEST_F(Fuses, BothFilesReadMostSignificantFirst)
{
    m_board.SetMac({0x00, 0x12, 0x34, 0x56, 0x78, 0x9A});
    MAC_ADDRESS mac = {}, wide = {};
    ASSERT_TRUE(MAC_Init() && MAC_Read(&mac));
    // A driver that prints the whole 32-bit register, upper case, CR LF.
    m_board.WriteFile(MAC1, "0x0000FE01\r\n");
    m_board.WriteFile(MAC0, "0xA0B0C0D0\r\n");
    ASSERT_TRUE(MAC_Read(&wide));
    EXPECT_EQ(std::make_tuple(Bytes(mac), Bytes(wide)),
              std::make_tuple(std::array<BYTE, 6>{0x00, 0x12, 0x34, 0x56, 0x78, 0x9A},
                              std::array<BYTE, 6>{0xFE, 0x01, 0xA0, 0xB0, 0xC0, 0xD0}));
}

// Too many digits, none, no number, a bad digit, an empty file; MAC1 is read
// first and its bytes stay when MAC0 is refused.
TEST_F(Fuses, InvalidTextIsRefusedAndEarlierBytesStay)
{
    const std::pair<std::string, std::string> cases[] = {{MAC1, "0x10000"}, {MAC1, "\n"}, {MAC1, "0x"},
                                                          {MAC1, "0x00g1\n"}, {MAC1, ""},     {MAC0, "0x123456789\n"}};
    for (const auto& [file, text] : cases) {
        m_board.SetMac({0x00, 0x12, 0x34, 0x56, 0x78, 0x9A});
        m_board.WriteFile(file, text);
        MAC_ADDRESS mac;
        std::memset(mac.abyAdrs, 0xEE, 6);
        const bool read = MAC_Read(&mac);
        const BYTE first = file == MAC0 ? 0x00 : 0xEE, second = file == MAC0 ? 0x12 : 0xEE;
        EXPECT_EQ(std::make_tuple(read, Bytes(mac)),
                  std::make_tuple(false, std::array<BYTE, 6>{first, second, 0xEE, 0xEE, 0xEE, 0xEE}))
            << file << " holding \"" << text << "\"";
    }
}

TEST_F(Fuses, WriteProgramsLowerCaseTextsThatReadBackAndFailsOnAMissingFuse)
{
    const MAC_ADDRESS mac = {{0x00, 0x12, 0x34, 0x56, 0x78, 0x9A}};
    ASSERT_TRUE(MAC_Write(&mac));
    EXPECT_EQ(m_board.ReadFile(MAC1) + " " + m_board.ReadFile(MAC0), "0x0012 0x3456789a");
    MAC_ADDRESS back = {};
    EXPECT_TRUE(MAC_Read(&back) && Bytes(back) == Bytes(mac));

    std::remove(m_board.Path(MAC0).c_str());
    EXPECT_FALSE(MAC_Write(&mac));
}

}  // namespace
