// The board layer: paths below a simulated board's root and the commands it runs.
#include "board.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "sub.h"
#include "test_support.h"

namespace {

using testsupport::ReadFileText;

class SimulatedBoard : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Board_SetRoot(m_root.path().c_str())); }
    void TearDown() override { Board_SetRoot(nullptr); }

    testsupport::TempDir m_root;
};

TEST_F(SimulatedBoard, AbsolutePathsAreTakenBelowTheRootAndRelativeOnesAreLeftAlone)
{
    const auto map = [](const char* from, int size = BOARD_PATH_MAX) {
        char path[BOARD_PATH_MAX] = "#";
        const bool mapped = Board_MapPath(from, path, size);
        return (mapped ? "" : "refused:") + std::string(path);
    };
    EXPECT_TRUE(Board_IsSimulated());
    EXPECT_EQ((std::vector<std::string>{map("/var/local/kovalan.ini"), map("DATA/REC001.dat"),
                                        map("/sys/class/net/eth0/carrier", 8)}),
              (std::vector<std::string>{m_root.path() + "/var/local/kovalan.ini", "DATA/REC001.dat", "refused:"}));
    ASSERT_TRUE(Board_SetRoot((m_root.path() + "/").c_str()));  // a trailing slash is not doubled
    EXPECT_EQ(map("/dev/ttymxc1"), m_root.path() + "/dev/ttymxc1");
}

TEST_F(SimulatedBoard, CommandsAreLoggedInOrderAndNothingRunsWithoutAStandIn)
{
    EXPECT_EQ((std::vector<int>{Board_RunCommand("ifdown eth0"),
                                Board_RunCommand("touch /tmp/should-not-exist-kovalan; reboot")}),
              (std::vector<int>{0, 0}));
    EXPECT_EQ(ReadFileText(m_root.file("var/log/board-commands.log")),
              "ifdown eth0\ntouch /tmp/should-not-exist-kovalan; reboot\n");
    EXPECT_FALSE(IsFileExist("/tmp/should-not-exist-kovalan"));
}

TEST_F(SimulatedBoard, StandInGetsTheExactLineAndItsExitStatusStandsForTheCommand)
{
    // The stand-in records its argument and environment and exits with the line's last word.
    const std::string hook =
        "#!/bin/sh\nprintf '%s|%s\\n' \"$1\" \"$KOVALAN_ROOT\" >> \"$KOVALAN_ROOT/hook-calls\"\n"
        "exit \"${1##* }\"\n";
    MakeDirectory(m_root.file("sbin").c_str());
    testsupport::WriteFileBytes(m_root.file("sbin/board-command"), std::vector<BYTE>(hook.begin(), hook.end()));
    chmod(m_root.file("sbin/board-command").c_str(), 0755);
    EXPECT_EQ((std::vector<int>{Board_RunCommand("udhcpc -i eth0 0"), Board_RunCommand("ifup eth0 3")}),
              (std::vector<int>{0, 3}));
    // A clock request is only recorded, never run.
    EXPECT_TRUE(Board_RecordCommand("settime 2021-04-13 12:00:00"));
    EXPECT_EQ(ReadFileText(m_root.file("hook-calls")),
              "udhcpc -i eth0 0|" + m_root.path() + "\nifup eth0 3|" + m_root.path() + "\n");
    EXPECT_EQ(ReadFileText(m_root.file("var/log/board-commands.log")),
              "udhcpc -i eth0 0\nifup eth0 3\nsettime 2021-04-13 12:00:00\n");
}

TEST(RealBoard, PathsAreUsedAsTheyStand)
{
    Board_SetRoot(nullptr);
    char path[BOARD_PATH_MAX];
    EXPECT_FALSE(Board_IsSimulated() || Board_RecordCommand("settime 2021-04-13 12:00:00"));
    EXPECT_TRUE(Board_MapPath("/var/local/kovalan.ini", path, sizeof(path)) &&
                std::string(path) == "/var/local/kovalan.ini");
}

}  // namespace
