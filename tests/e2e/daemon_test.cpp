// kovalan as a process on a simulated board: it meets its radio over a pty
// and keeps the line alive, stops within a second on SIGTERM and SIGINT,
// refuses to start with each missing piece of the board and says why, runs
// without a USB console when told to, gets its USB console back after the
// cable was pulled, and stays nearly idle with 100 targets configured.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pty_link.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "setting_client.h"
#include "sim_board.h"
#include "unit_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

#ifdef KOVALAN_E2E_SANITIZED
constexpr int SLOW = 4;  // an instrumented daemon is slower and busier
#else
constexpr int SLOW = 1;
#endif

int Ms(Clock::duration d)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// A UDP port nobody uses now (the daemon binds its peer port on all addresses).
int FreeUdpPort()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

class Daemon : public ::testing::Test {
   protected:
    void SetUp() override
    {
        m_radioLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttymxc1");
        m_usbLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttyGS0");
        ASSERT_TRUE(m_radioLink->plugged()) << m_radioLink->error();
        ASSERT_TRUE(m_usbLink->plugged()) << m_usbLink->error();
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

    void WriteIni(const std::string& lines)
    {
        int port = FreeUdpPort();
        m_board.WriteFile("/var/local/kovalan.ini", lines + "RxUdpPort=" + std::to_string(port) +
                                                        "\nTxUdpPort=" + std::to_string(port) + "\nProgram=KOVA-LAN\n");
    }
    bool Start(const std::string& ini = "CommPort=2\nUsbPort=1000\n")
    {
        WriteIni(ini);
        sim::UnitOptions options;
        options.binary = KOVALAN_E2E_BINARY;
        options.root = m_board.root();
        if (!m_unit.Start(options)) {
            ADD_FAILURE() << m_unit.error();
            return false;
        }
        return true;
    }
    bool Running() { return m_unit.WaitForLine("start timer thread", 5000 * SLOW).has_value(); }
    sim::RadioSim& Radio()
    {
        if (!m_radio) {
            m_radio = std::make_unique<sim::RadioSim>(*m_radioLink);
        }
        return *m_radio;
    }

    sim::SimBoard m_board;
    std::unique_ptr<sim::PtyLink> m_radioLink;
    std::unique_ptr<sim::PtyLink> m_usbLink;
    std::unique_ptr<sim::RadioSim> m_radio;
    sim::UnitProcess m_unit;
};

TEST_F(Daemon, MeetsItsRadioAndKeepsTheLineAliveEverySecond)
{
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Running());
    ASSERT_TRUE(Radio().SendVersionCheck());
    ASSERT_TRUE(Radio().WaitFor('V', 2000 * SLOW));

    auto sent = Clock::now();
    ASSERT_TRUE(Radio().SendCodeTable());
    auto ack = Radio().WaitFor('I', 2000 * SLOW);
    ASSERT_TRUE(ack);
    auto ready = m_unit.WaitForLine("[I] state ready", 2000 * SLOW);
    ASSERT_TRUE(ready);
    auto us = [](Clock::duration d) {
        return static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
    };
    int toReady = us(m_unit.Lines()[*ready].arrival - sent);
    int toAck = us(ack->arrival - sent);
    std::printf("I frame written to READY line read: %d us, to its answer read: %d us\n", toReady, toAck);
    RecordProperty("i_to_ready_us", toReady);
    EXPECT_LT(toAck, 200000 * SLOW);

    // With no other frame to send, the keep-alive follows the answer after 1 s.
    auto keepAlive = Radio().WaitFor('C', 2000 * SLOW);
    ASSERT_TRUE(keepAlive);
    int gap = Ms(keepAlive->arrival - ack->arrival);
    EXPECT_GE(gap, 950);
    EXPECT_LE(gap, 1300 * SLOW);
    EXPECT_EQ(sim::radio::ParseStatusAnswer(keepAlive->param), '0');
    auto next = Radio().WaitFor('C', 2000 * SLOW);
    ASSERT_TRUE(next);
    EXPECT_GE(Ms(next->arrival - keepAlive->arrival), 950);

    sim::UnitExit exit = m_unit.Stop(SIGTERM, 3000);
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 0);
}

TEST_F(Daemon, StopSignalsEndItInOrderWithinOneSecond)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
        ASSERT_TRUE(Start());
        ASSERT_TRUE(Running());
        ASSERT_TRUE(Radio().Identify({}, {}, 2000 * SLOW));
        size_t from = m_unit.Lines().size();
        sim::UnitExit exit = m_unit.Stop(sig, 3000);
        ASSERT_TRUE(exit.exited);
        EXPECT_EQ(exit.status, 0);
        EXPECT_EQ(exit.signal, 0);
        EXPECT_LT(exit.elapsedMs, 1000 * SLOW);
        // Threads joined and the log thread drained on the way out.
        EXPECT_TRUE(m_unit.WaitForLine("end timer thread", 0, from));
        EXPECT_TRUE(m_unit.WaitForLine("end LOG thread", 0, from));
        m_radio.reset();
    }
}

struct StartFailure {
    const char* name;
    const char* ini;
    const char* missing;  // board file removed first ("" for none)
    bool pullRadio;
    bool pullUsb;
    const char* line;  // what the daemon must say
};

TEST_F(Daemon, RefusesToStartWithoutAPieceOfTheBoardAndSaysWhy)
{
    const StartFailure cases[] = {
        {"no radio port", "CommPort=0\nUsbPort=0\n", "", false, false, "[W] serial port no is invalid"},
        {"no radio device", "CommPort=2\nUsbPort=0\n", "", true, false, "[W] Serial_Open(2) failed"},
        {"no USB device", "CommPort=2\nUsbPort=1000\n", "", false, true, "[W] USBFUNC_Open(1000) failed"},
        {"no carrier file", "CommPort=2\nUsbPort=0\n", "/sys/class/net/eth0/carrier", false, false,
         "[W] LINK_Init() failed"},
        {"no LED value file", "CommPort=2\nUsbPort=0\n", "/sys/class/gpio/gpio7/value", false, false,
         "[W] LED_Init() failed"},
        {"no MAC file", "CommPort=2\nUsbPort=0\n", "/sys/fsl_otp/HW_OCOTP_MAC0", false, false, "[W] MAC_Read() failed"},
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
        if (*c.missing != '\0') {
            std::filesystem::remove(board.Path(c.missing));
        }
        board.WriteFile("/var/local/kovalan.ini",
                        std::string(c.ini) + "RxUdpPort=" + std::to_string(FreeUdpPort()) + "\nProgram=KOVA-LAN\n");
        sim::UnitProcess unit;
        sim::UnitOptions options;
        options.binary = KOVALAN_E2E_BINARY;
        options.root = board.root();
        ASSERT_TRUE(unit.Start(options)) << unit.error();
        sim::UnitExit exit = unit.WaitExit(5000 * SLOW);
        ASSERT_TRUE(exit.exited) << unit.Output();
        EXPECT_EQ(exit.status, 255) << unit.Output();
        EXPECT_TRUE(unit.WaitForLine(c.line, 0)) << unit.Output();
    }
}

TEST_F(Daemon, RunsWithoutAUsbConsoleWhenItsPortIsZero)
{
    m_usbLink->Pull();
    ASSERT_TRUE(Start("CommPort=2\nUsbPort=0\n"));
    ASSERT_TRUE(Running());
    EXPECT_TRUE(Radio().Identify({}, {}, 2000 * SLOW));
    EXPECT_TRUE(m_unit.running());
    EXPECT_FALSE(m_unit.WaitForLine("USBFUNC_Open", 0));
    EXPECT_FALSE(m_unit.WaitForLine("CMD_LogOnUser", 0));
    // The data folder and the ring log lie below the board root.
    EXPECT_TRUE(m_board.Exists("/var/local/DATA"));
    EXPECT_TRUE(m_board.Exists("/var/local/kovalan.log"));
}

TEST_F(Daemon, UsbConsoleWorksAgainOnceThePulledCableIsBack)
{
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Running());
    sim::SettingClient console(*m_usbLink);
    sim::ReplyEnd end;
    end.lines = 1;
    sim::SettingReply before = console.Command("nosuchcommand", end);
    ASSERT_TRUE(before.echoed) << before.raw;
    ASSERT_EQ(before.lines, std::vector<std::string>{"command error"}) << before.raw;

    size_t from = m_unit.Lines().size();
    m_usbLink->Pull();
    ASSERT_TRUE(m_unit.WaitForLine("[I] USB reopen..", 3000 * SLOW, from));
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(m_usbLink->Plug()) << m_usbLink->error();
    ASSERT_TRUE(m_unit.WaitForLine("[I] USB reopened", 3000 * SLOW, from));

    sim::SettingReply after = console.Command("nosuchcommand", end);
    EXPECT_EQ(after.lines, std::vector<std::string>{"command error"}) << after.raw;
    EXPECT_TRUE(m_unit.running());
}

// utime + stime of a process in clock ticks.
long CpuTicks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) {
            utime = std::stol(field);
        } else if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

TEST_F(Daemon, ReadyUnitWithHundredTargetsAndNoTrafficUsesUnderOnePercentOfACore)
{
    std::string ini = "CommPort=2\nUsbPort=1000\n";
    for (int i = 0; i < 100; ++i) {
        // Loopback addresses: nothing may ever leave the machine.
        ini += "Target" + std::to_string(i) + "=1,127.0.1." + std::to_string(i + 1) + "," + std::string(32, '0') + "\n";
    }
    ASSERT_TRUE(Start(ini));
    ASSERT_TRUE(Running());
    ASSERT_TRUE(Radio().Identify({}, {}, 2000 * SLOW));
    Radio().StartKeepAlive(1000);
    std::this_thread::sleep_for(500ms);

    const char* env = std::getenv("KOVALAN_E2E_CPU_SECONDS");
    int seconds = env != nullptr ? std::atoi(env) : 5;
    long before = CpuTicks(m_unit.pid());
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    long after = CpuTicks(m_unit.pid());
    double wall = Ms(Clock::now() - start) / 1000.0;
    Radio().StopKeepAlive();
    ASSERT_GE(before, 0);
    double percent = 100.0 * static_cast<double>(after - before) / static_cast<double>(sysconf(_SC_CLK_TCK)) / wall;
    std::printf("CPU use over %.1f s, READY, 100 targets, no traffic: %.2f%% of one core\n", wall, percent);
    RecordProperty("cpu_percent_x100", static_cast<int>(percent * 100));
    EXPECT_LT(percent, SLOW == 1 ? 1.0 : 10.0);
    EXPECT_FALSE(m_unit.WaitForLine("[W] health check timeout", 0));
}

}  // namespace
