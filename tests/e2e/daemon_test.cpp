// kovalan as a process on a simulated board: it meets its radio over a pty and keeps the line alive, stops
// in order on SIGTERM, SIGINT and SIGHUP (its DHCP client too), refuses to start with each missing piece of
// the board or beside another daemon and says why, and gets its USB console back after the cable was pulled
// (rec_e2e_test runs units without one). (Its keep-alive interval and stop time are measured by
// unit_timing_bench, its idle CPU by relay_bench.)
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "e2e_support.h"
#include "pty_link.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "setting_client.h"
#include "sim_board.h"
#include "unit_process.h"

namespace {

using e2e::SLOW;

class Daemon : public ::testing::Test {
   protected:
    // Starts the unit with its radio and console ports and waits for its timer thread.
    bool Running()
    {
        int port = loopnet::FreePort(SOCK_DGRAM);
        m_daemon.Configure(port, port);
        return m_daemon.Start();
    }
    sim::RadioSim& Radio() { return m_daemon.radio(); }

    e2e::Unit m_daemon;
    sim::SimBoard& m_board = m_daemon.board();
    sim::UnitProcess& m_unit = m_daemon.process();
};

TEST_F(Daemon, MeetsItsRadioAndKeepsTheLineAliveThenStopsInOrderOnEveryStopSignal)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        ASSERT_TRUE(Running());
        ASSERT_TRUE(e2e::Eventually([&] { return m_board.Exists("/var/run/udhcpc.eth0.pid"); })) << "DHCP client";
        ASSERT_TRUE(Radio().Identify({}, {}, 2000 * SLOW));  // both answered: version, then code table
        ASSERT_TRUE(m_unit.WaitForLine("[I] state ready", 2000 * SLOW));
        // With no other frame to send, the unit keeps the line alive with a status report.
        auto keepAlive = Radio().WaitFor('C', 3000 * SLOW);
        ASSERT_TRUE(keepAlive);
        EXPECT_EQ(sim::radio::ParseStatusAnswer(keepAlive->param), '0');

        size_t from = m_unit.Lines().size();
        sim::UnitExit exit = m_unit.Stop(sig, 5000 * SLOW);
        ASSERT_EQ(exit.status, 0);  // exited by itself, with 0
        // Threads joined and the log thread drained on the way out.
        EXPECT_TRUE(m_unit.WaitForLine("end timer thread", 2000 * SLOW, from));
        EXPECT_TRUE(m_unit.WaitForLine("end LOG thread", 2000 * SLOW, from));
        EXPECT_EQ(m_board.Commands().back(), "kill `cat /var/run/udhcpc.eth0.pid`");
        EXPECT_FALSE(m_board.Exists("/var/run/udhcpc.eth0.pid")) << "no DHCP client left running";
        EXPECT_EQ(m_board.ReadFile("/var/run/kovalan.pid"), "");
        m_daemon.DropRadio();
    }
}

struct StartFailure {
    const char* name;
    const char* ini;      // null: a folder stands in the file's place
    const char* missing;  // board file removed first ("" for none)
    bool pullRadio;
    bool pullUsb;
    const char* line;  // what the daemon must say ("" when it does not get that far)
    const char* why;   // its one line on the error stream
};

TEST_F(Daemon, RefusesToStartWithoutAPieceOfTheBoardAndSaysWhy)
{
    const StartFailure cases[] = {
        {"no radio port", "CommPort=0\nUsbPort=0\n", "", false, false, "[W] serial port no is invalid",
         "no radio port set (CommPort=0)"},
        {"no radio device", "CommPort=2\nUsbPort=0\n", "", true, false, "[W] Serial_Open(2) failed",
         "radio device missing: /dev/ttymxc1"},
        {"no USB device", "CommPort=2\nUsbPort=1000\n", "", false, true, "[W] USBFUNC_Open(1000) failed",
         "USB console device missing: /dev/ttyGS0"},
        {"no carrier file", "CommPort=2\nUsbPort=0\n", "/sys/class/net/eth0/carrier", false, false,
         "[W] LINK_Init() failed", "Server_Init() failed (see the warnings above)"},
        {"no LED value file", "CommPort=2\nUsbPort=0\n", "/sys/class/gpio/gpio7/value", false, false,
         "[W] LED_Init() failed", "Server_Init() failed (see the warnings above)"},
        {"no MAC file", "CommPort=2\nUsbPort=0\n", "/sys/fsl_otp/HW_OCOTP_MAC0", false, false, "[W] MAC_Read() failed",
         "Server_Init() failed (see the warnings above)"},
        {"ini unreadable", nullptr, "", false, false, "", "ini unreadable: /var/local/kovalan.ini"},
    };
    for (const StartFailure& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimBoard board;
        sim::PtyLink radio(board.root(), "ttymxc1");
        sim::PtyLink usb(board.root(), "ttyGS0");
        if (c.pullRadio) {
            radio.Pull();
        }
        if (c.pullUsb) {
            usb.Pull();
        }
        if (c.ini == nullptr) {
            std::filesystem::create_directory(board.Path("/var/local/kovalan.ini"));
        } else {
            const std::string port = std::to_string(loopnet::FreePort(SOCK_DGRAM));
            board.WriteFile("/var/local/kovalan.ini", c.ini + ("RxUdpPort=" + port + "\nProgram=KOVA-LAN\n"));
        }
        if (*c.missing != '\0') {
            std::filesystem::remove(board.Path(c.missing));
        }
        sim::UnitProcess unit;
        sim::UnitOptions options;
        options.binary = e2e::DaemonBinary();
        options.root = board.root();
        ASSERT_TRUE(unit.Start(options)) << unit.error();
        sim::UnitExit exit = unit.WaitExit(5000 * SLOW);
        ASSERT_EQ(exit.status, 1) << unit.Output();
        EXPECT_TRUE(unit.WaitForLine(c.line, 2000 * SLOW)) << unit.Output();
        std::vector<sim::UnitLine> lines = unit.Lines();
        auto isError = [](const sim::UnitLine& l) { return l.stderrLine; };
        ASSERT_EQ(std::count_if(lines.begin(), lines.end(), isError), 1) << unit.Output();
        EXPECT_EQ(std::find_if(lines.begin(), lines.end(), isError)->text,
                  std::string("kovalan: start-up failed: ") + c.why);
    }
}

TEST(DaemonCommandLine, HelpVersionAndWrongArgumentsEndWithTheirOwnStatus)
{
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        // arguments, status, last line
        {{"-h"}, 0, "See kovalan(8)."},
        {{"--verbose"}, 64, "See kovalan(8)."},
        {{"--root", "/nonexistent-board"}, 1, "kovalan: start-up failed: board root missing: /nonexistent-board"},
    };
    for (const auto& [args, status, last] : cases) {
        SCOPED_TRACE(args.back());
        e2e::Finished f = e2e::RunToEnd(e2e::DaemonBinary(), args, 5000 * SLOW);
        EXPECT_EQ(f.exit.status, status) << f.output;
        EXPECT_TRUE(f.output.ends_with(last + "\n")) << f.output;
    }
}

TEST_F(Daemon, ASecondDaemonOnTheSameBoardIsRefusedAndTheFirstRunsOn)
{
    ASSERT_TRUE(Running());
    e2e::Finished second = e2e::RunToEnd(e2e::DaemonBinary(), {"--root", m_board.root()}, 5000 * SLOW);
    EXPECT_EQ(second.exit.status, 1);
    EXPECT_EQ(second.output, "kovalan: start-up failed: another kovalan (pid " + std::to_string(m_unit.pid()) +
                                 ") already runs on this board (/var/run/kovalan.pid is locked)\n");
    EXPECT_TRUE(m_unit.running());
    EXPECT_EQ(m_board.ReadFile("/var/run/kovalan.pid"), std::to_string(m_unit.pid()) + "\n");
}

TEST_F(Daemon, UsbConsoleWorksAgainOnceThePulledCableIsBack)
{
    ASSERT_TRUE(Running());
    sim::SettingClient& console = m_daemon.console();
    sim::ReplyEnd end;
    end.lines = 1;
    sim::SettingReply before = console.Command("nosuchcommand", end);
    ASSERT_TRUE(before.echoed) << before.raw;
    ASSERT_EQ(before.lines, std::vector<std::string>{"command error"}) << before.raw;

    size_t from = m_unit.Lines().size();
    m_daemon.usbLink().Pull();
    ASSERT_TRUE(m_unit.WaitForLine("[I] USB reopen..", 3000 * SLOW, from));
    // Plugged back only after the first attempt found no cable, so that the retry is what reopens it.
    ASSERT_TRUE(m_unit.WaitForLine("[W] ReOpenUsbPort() failed", 3000 * SLOW, from));
    ASSERT_TRUE(m_daemon.usbLink().Plug()) << m_daemon.usbLink().error();
    ASSERT_TRUE(m_unit.WaitForLine("[I] USB reopened", 3000 * SLOW, from));

    sim::SettingReply after = console.Command("nosuchcommand", end);
    EXPECT_EQ(after.lines, std::vector<std::string>{"command error"}) << after.raw;
    EXPECT_TRUE(m_unit.running());
}

}  // namespace
