// The setting tool's commands against kovalan running as a process on a
// simulated board, over its USB console: update rebinds the peer port,
// rebuilds a changed target, and what was saved is loaded by the restarted
// unit; currip without an eth0 says so. (A network change's restart of eth0
// and the reboot command are shown in process: server_test, cmd_test.)
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"
#include "loopnet.h"
#include "sim_board.h"
#include "unit_process.h"

namespace {

using e2e::Eventually;
using e2e::PortTaken;
using e2e::SLOW;

class Commands : public ::testing::Test {
   protected:
    // Nothing listens on the port the unit sends to: targets stay connecting.
    void SetUp() override { m_unit.Configure(m_rxPort, loopnet::FreePort(SOCK_DGRAM)); }
    std::string Ask(const std::string& line) { return m_unit.Ask(line); }

    e2e::Unit m_unit;
    sim::SimBoard& m_board = m_unit.board();
    int m_rxPort = loopnet::FreePort(SOCK_DGRAM);
};

TEST_F(Commands, UpdateRebindsThePeerPortAndRebuildsAChangedTargetAndARestartedUnitLoadsWhatWasSaved)
{
    ASSERT_TRUE(m_unit.StartReady());
    EXPECT_TRUE(PortTaken(m_rxPort));
    EXPECT_EQ(Ask("status 5"), "idle\r\n");
    EXPECT_EQ(Ask("target 5 127.0.0.1"), "OK\r\n");
    EXPECT_EQ(Ask("enable 5 1"), "OK\r\n");
    EXPECT_EQ(Ask("status 5"), "idle\r\n");  // nothing happens before update
    EXPECT_EQ(Ask("update"), "OK\r\n");
    EXPECT_TRUE(Eventually([&] { return Ask("status 5") == "connecting\r\n"; }));

    int newPort = loopnet::FreePort(SOCK_DGRAM);
    EXPECT_EQ(Ask("udpport " + std::to_string(newPort)), "OK\r\n");
    EXPECT_EQ(Ask("save"), "OK\r\n");
    EXPECT_EQ(Ask("update"), "OK\r\n");
    EXPECT_TRUE(Eventually([&] { return PortTaken(newPort) && !PortTaken(m_rxPort); }));
    EXPECT_EQ(Ask("updatecount"), "00000003\r\n");

    sim::UnitExit exit = m_unit.process().Stop(SIGTERM, 3000 * SLOW);
    EXPECT_EQ(exit.status, 0);  // exited by itself, with 0
    EXPECT_NE(m_board.ReadFile("/var/local/kovalan.ini").find("Target5=1,127.0.0.1,"), std::string::npos);
    ASSERT_TRUE(m_unit.Start());
    EXPECT_EQ(Ask("udpport"), std::to_string(newPort) + "\r\n");
    EXPECT_EQ(Ask("enable 5"), "1\r\n");
    EXPECT_TRUE(Eventually([&] { return PortTaken(newPort); }));
}

TEST_F(Commands, CurripAnswersNgWhenTheUnitHasNoEth0)
{
    std::string why;
    if (!sim::UnitProcess::CanMakeNetns(&why)) {
        GTEST_SKIP() << "no network namespace: " << why;
    }
    ASSERT_TRUE(m_unit.Start([](sim::UnitOptions& o) { o.newNetns = true; }));  // loopback only
    EXPECT_EQ(Ask("currip"), "NG\r\n");
    EXPECT_EQ(Ask("netparam"), "dhcp\r\n");
}

}  // namespace
