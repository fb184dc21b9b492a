// The Ethernet carrier on a simulated board.
#include "link.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>
#include <vector>

#include "board.h"
#include "sim_board.h"

namespace {

class Carrier : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Board_SetRoot(m_board.root().c_str()));
        LINK_Construct();
    }
    void TearDown() override
    {
        LINK_Destruct();
        Board_SetRoot(nullptr);
    }
    // The carrier as LINK_Get reports it; fails the test when it cannot.
    bool Link()
    {
        BOOL link = 2;
        EXPECT_TRUE(LINK_Get(&link));
        return link == TRUE;
    }

    sim::SimBoard m_board;
    const std::string m_carrier = "/sys/class/net/eth0/carrier";
};

TEST_F(Carrier, ReadingFollowsTheOpenFileAnEmptyOrUnreadableFileIsNoCarrierAndAMissingOneFailsInit)
{
    ASSERT_TRUE(LINK_Init());
    EXPECT_EQ((std::vector<bool>{Link(), (m_board.SetCarrier(false), Link()), (m_board.SetCarrier(true), Link()),
                                 (m_board.WriteFile(m_carrier, ""), Link())}),
              (std::vector<bool>{true, false, true, false}));
    LINK_Destruct();

    // A directory opens but refuses reads, as the kernel's file does while
    // the interface is down.
    std::filesystem::remove(m_board.Path(m_carrier));
    std::filesystem::create_directory(m_board.Path(m_carrier));
    ASSERT_TRUE(LINK_Init());
    EXPECT_FALSE(Link());
    LINK_Destruct();

    // A missing file fails start-up and leaves the caller's flag alone.
    std::filesystem::remove(m_board.Path(m_carrier));
    EXPECT_FALSE(LINK_Init());
    BOOL link = 7;
    EXPECT_EQ((std::tuple{LINK_Get(&link), link}), std::make_tuple(FALSE, 7));
}

}  // namespace
