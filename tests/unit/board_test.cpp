// The board layer: paths below a simulated board's root, the command log, the
// command stand-in's exit status, and that nothing runs without one.
#include "board.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "sub.h"
#include "test_support.h"

namespace {

using testsupport::ReadFileText;

class SimulatedBoard : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Board_SetRoot(m_root.path().c_str())); }
    void TearDown() override { Board_SetRoot(nullptr); }

    // Installs a stand-in that records its argument and environment and exits
    // with the status given in the command line's last word.
    void InstallHook()
    {
        MakeDirectory(m_root.file("sbin").c_str());
        std::string hook = m_root.file("sbin/board-command");
        FILE* fp = fopen(hook.c_str(), "w");
        ASSERT_NE(fp, nullptr);
        fputs("#!/bin/sh\n"
              "printf '%s|%s\\n' \"$1\" \"$KOVALAN_ROOT\" >> \"$KOVALAN_ROOT/hook-calls\"\n"
              "exit \"${1##* }\"\n",
              fp);
        fclose(fp);
        chmod(hook.c_str(), 0755);
    }

    testsupport::TempDir m_root;
};

TEST_F(SimulatedBoard, AbsolutePathsAreTakenBelowTheRootAndRelativeOnesAreLeftAlone)
{
    char path[BOARD_PATH_MAX];
    ASSERT_TRUE(Board_MapPath("/var/local/kovalan.ini", path, sizeof(path)));
    EXPECT_EQ(std::string(path), m_root.path() + "/var/local/kovalan.ini");
    ASSERT_TRUE(Board_MapPath("DATA/REC001.dat", path, sizeof(path)));
    EXPECT_EQ(std::string(path), "DATA/REC001.dat");
    char small[8];
    EXPECT_FALSE(Board_MapPath("/sys/class/net/eth0/carrier", small, sizeof(small)));
    EXPECT_EQ(small[0], '\0');
    EXPECT_TRUE(Board_IsSimulated());

    ASSERT_TRUE(Board_SetRoot((m_root.path() + "/").c_str()));  // a trailing slash is not doubled
    ASSERT_TRUE(Board_MapPath("/dev/ttymxc1", path, sizeof(path)));
    EXPECT_EQ(std::string(path), m_root.path() + "/dev/ttymxc1");
}

TEST_F(SimulatedBoard, CommandsAreLoggedInOrderAndNothingRunsWithoutAStandIn)
{
    EXPECT_EQ(Board_RunCommand("ifdown eth0"), 0);
    EXPECT_EQ(Board_RunCommand("touch /tmp/should-not-exist-kovalan; reboot"), 0);
    EXPECT_EQ(ReadFileText(m_root.file("var/log/board-commands.log")),
              "ifdown eth0\ntouch /tmp/should-not-exist-kovalan; reboot\n");
    EXPECT_FALSE(IsFileExist("/tmp/should-not-exist-kovalan"));
}

TEST_F(SimulatedBoard, StandInGetsTheExactLineAndItsExitStatusStandsForTheCommand)
{
    InstallHook();
    EXPECT_EQ(Board_RunCommand("udhcpc -i eth0 0"), 0);
    EXPECT_EQ(Board_RunCommand("ifup eth0 3"), 3);
    EXPECT_EQ(ReadFileText(m_root.file("hook-calls")),
              "udhcpc -i eth0 0|" + m_root.path() + "\nifup eth0 3|" + m_root.path() + "\n");
    // A clock request is only recorded, never run.
    EXPECT_TRUE(Board_RecordCommand("settime 2021-04-13 12:00:00"));
    EXPECT_EQ(ReadFileText(m_root.file("var/log/board-commands.log")),
              "udhcpc -i eth0 0\nifup eth0 3\nsettime 2021-04-13 12:00:00\n");
    EXPECT_EQ(ReadFileText(m_root.file("hook-calls")).find("settime"), std::string::npos);
}

TEST(RealBoard, PathsAreUsedAsTheyStand)
{
    Board_SetRoot(nullptr);
    EXPECT_FALSE(Board_IsSimulated());
    char path[BOARD_PATH_MAX];
    ASSERT_TRUE(Board_MapPath("/var/local/kovalan.ini", path, sizeof(path)));
    EXPECT_EQ(std::string(path), "/var/local/kovalan.ini");
    EXPECT_FALSE(Board_RecordCommand("settime 2021-04-13 12:00:00"));
}

}  // namespace
