// The setting tool's commands against kovalan running as a process on a
// simulated board, over its USB console: update rebinds the peer port,
// rebuilds a changed target, and what was saved is loaded by the restarted
// unit; new network parameters restart eth0; currip without an eth0 says so;
// and reboot only reaches the board's command log.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "loopnet.h"
#include "pty_link.h"
#include "radio_sim.h"
#include "setting_client.h"
#include "sim_board.h"
#include "unit_process.h"

namespace {

using e2e::Eventually;
using e2e::PortTaken;
using e2e::SLOW;

int FreeUdpPort()
{
    return loopnet::FreePort(SOCK_DGRAM);
}

class Commands : public ::testing::Test {
   protected:
    void SetUp() override
    {
        m_rxPort = FreeUdpPort();
        m_txPort = FreeUdpPort();  // nothing listens there: targets stay connecting
        m_board.WriteFile("/var/local/kovalan.ini",
                          "CommPort=2\nUsbPort=1000\nLogFlagDbg=00000005\nRxUdpPort=" + std::to_string(m_rxPort) +
                              "\nTxUdpPort=" + std::to_string(m_txPort) + "\nProgram=KOVA-LAN\n");
        m_radioLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttymxc1");
        m_usbLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttyGS0");
        ASSERT_TRUE(m_radioLink->plugged() && m_usbLink->plugged());
        m_usb = std::make_unique<sim::SettingClient>(*m_usbLink);
    }
    void TearDown() override
    {
        m_radio.reset();
        if (m_unit.running()) {
            m_unit.Stop(SIGKILL, 2000);
        }
        if (HasFailure()) {
            std::fprintf(stderr, "--- unit output ---\n%s-------------------\n", m_unit.Output().c_str());
        }
    }

    bool Start(bool ownNetns = false)
    {
        sim::UnitOptions options;
        options.binary = e2e::DaemonBinary();
        options.root = m_board.root();
        options.newNetns = ownNetns;
        if (!m_unit.Start(options)) {
            ADD_FAILURE() << m_unit.error();
            return false;
        }
        return m_unit.WaitForLine("start timer thread", 5000 * SLOW).has_value();  // output restarts with the process
    }
    bool MakeReady()
    {
        m_radio = std::make_unique<sim::RadioSim>(*m_radioLink);
        return m_radio->SendVersionCheck() && m_radio->WaitFor('V', 2000 * SLOW) && m_radio->SendCodeTable() &&
               m_unit.WaitForLine("[I] state ready", 2000 * SLOW).has_value();
    }
    std::string Ask(const std::string& line, int lines = 1)
    {
        sim::ReplyEnd end;
        end.lines = lines;
        end.timeoutMs = 3000 * SLOW;
        return m_usb->Command(line, end).text;
    }

    sim::SimBoard m_board;
    int m_rxPort = 0;
    int m_txPort = 0;
    std::unique_ptr<sim::PtyLink> m_radioLink;
    std::unique_ptr<sim::PtyLink> m_usbLink;
    std::unique_ptr<sim::SettingClient> m_usb;
    std::unique_ptr<sim::RadioSim> m_radio;
    sim::UnitProcess m_unit;
};

TEST_F(Commands, UpdateRebindsThePeerPortAndRebuildsAChangedTargetAndARestartedUnitLoadsWhatWasSaved)
{
    ASSERT_TRUE(Start());
    ASSERT_TRUE(MakeReady());
    EXPECT_TRUE(PortTaken(m_rxPort));
    EXPECT_EQ(Ask("status 5"), "idle\r\n");
    EXPECT_EQ(Ask("target 5 127.0.0.1"), "OK\r\n");
    EXPECT_EQ(Ask("enable 5 1"), "OK\r\n");
    EXPECT_EQ(Ask("status 5"), "idle\r\n");  // nothing happens before update
    EXPECT_EQ(Ask("update"), "OK\r\n");
    EXPECT_TRUE(Eventually([&] { return Ask("status 5") == "connecting\r\n"; }));

    int newPort = FreeUdpPort();
    EXPECT_EQ(Ask("udpport " + std::to_string(newPort)), "OK\r\n");
    EXPECT_EQ(Ask("save"), "OK\r\n");
    EXPECT_EQ(Ask("update"), "OK\r\n");
    EXPECT_TRUE(Eventually([&] { return PortTaken(newPort) && !PortTaken(m_rxPort); }));
    EXPECT_EQ(Ask("updatecount"), "00000003\r\n");

    sim::UnitExit exit = m_unit.Stop(SIGTERM, 3000 * SLOW);
    ASSERT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 0);
    EXPECT_NE(m_board.ReadFile("/var/local/kovalan.ini").find("Target5=1,127.0.0.1,"), std::string::npos);
    ASSERT_TRUE(Start());
    EXPECT_EQ(Ask("udpport"), std::to_string(newPort) + "\r\n");
    EXPECT_EQ(Ask("enable 5"), "1\r\n");
    EXPECT_TRUE(Eventually([&] { return PortTaken(newPort); }));
}

TEST_F(Commands, NewNetworkParametersRewriteTheInterfacesFileAndRestartEth0)
{
    ASSERT_TRUE(Start());
    m_board.ClearCommands();
    EXPECT_EQ(Ask("netparam"), "dhcp\r\n");
    EXPECT_EQ(Ask("netparam 192.168.7.10 255.255.255.0 192.168.7.1"), "OK\r\n");
    EXPECT_EQ(Ask("update"), "OK\r\n");
    auto restarted = [&] {
        std::vector<std::string> c = m_board.Commands();
        return std::find(c.begin(), c.end(), "ifup eth0") != c.end();
    };
    ASSERT_TRUE(Eventually(restarted));
    std::vector<std::string> commands = m_board.Commands();
    auto down = std::find(commands.begin(), commands.end(), "ifdown eth0");
    EXPECT_LT(down - commands.begin(), std::find(commands.begin(), commands.end(), "ifup eth0") - commands.begin());
    EXPECT_NE(m_board.ReadFile("/etc/network/interfaces")
                  .find("iface eth0 inet static\n  address 192.168.7.10\n  netmask 255.255.255.0\n"
                        "  gateway 192.168.7.1\n"),
              std::string::npos);
    EXPECT_EQ(m_board.ReadFile("/etc/resolv.conf"), "nameserver 8.8.8.8\n");
    EXPECT_EQ(Ask("netparam"), "address=192.168.7.10 netmask=255.255.255.0 gateway=192.168.7.1\r\n");
}

TEST_F(Commands, CurripAnswersNgWhenTheUnitHasNoEth0)
{
    std::string why;
    if (!sim::UnitProcess::CanMakeNetns(&why)) {
        GTEST_SKIP() << "no network namespace: " << why;
    }
    ASSERT_TRUE(Start(true));  // a namespace with loopback only
    EXPECT_EQ(Ask("currip"), "NG\r\n");
    EXPECT_EQ(Ask("netparam"), "dhcp\r\n");
}

TEST_F(Commands, RebootOnlyReachesTheBoardsCommandLog)
{
    m_board.SetStaticInterfaces("192.168.1.10", "255.255.255.0");  // no DHCP client to start
    ASSERT_TRUE(Start());
    m_board.ClearCommands();
    EXPECT_EQ(Ask("reboot"), "OK\r\n");
    EXPECT_TRUE(Eventually([&] { return !m_board.Commands().empty(); }));
    EXPECT_EQ(Ask("vers"), "KOVA-LAN Ver 1.4.4.0\r\n");  // the unit runs on, and its command thread is past the reboot
    EXPECT_EQ(m_board.Commands(), std::vector<std::string>{"reboot"});
    EXPECT_TRUE(m_unit.running());
}

}  // namespace
