// The LEDs driven tick by tick; the whole unit in process on a simulated
// board (radio on a pty, tick driven by the test) for what the parts' suites
// cannot show: the restart and the network clients the idle step runs. (The
// radio, peer, recorder and LEDs wired to their ports and threads are shown by
// the daemon as a process: tests/e2e peer, rec and kovasim demo tests.)
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "cmd.h"
#include "led.h"
#include "loopnet.h"
#include "pty_link.h"
#include "radio_sim.h"
#include "sockutil.h"
#include "test_support.h"
#include "unit_fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace radio = sim::radio;

// ---- LED patterns ------------------------------------------------------------------

class Leds : public testsupport::CoreParts {
   protected:
    // n ticks from a fresh start; per tick "CA" with 1 for a lit LED.
    std::string Run(UNIT_STATE state, BOOL bLink, int n)
    {
        s_eState.store(state);
        std::string seen;
        for (int i = 0; i < n; ++i) {
            LedOnTimer(bLink);
            DWORD lit = LED_Get();
            seen += std::string((lit & 1) != 0 ? "1" : "0") + ((lit & 2) != 0 ? "1" : "0") + " ";
        }
        return seen;
    }
    static std::string Repeat(const std::string& step, int n)
    {
        return n == 0 ? "" : step + " " + Repeat(step, n - 1);
    }
};

TEST_F(Leds, FollowTheUnitStateAndTheCarrierAfterItsGrace)
{
    // Without carrier the alarm blinks 400 ms on, 400 ms off from the 30th tick.
    const std::string blink = "1111000011110000";
    auto noCarrier = [&](char comm) {
        std::string s = Repeat(std::string(1, comm) + "0", 29);
        for (char a : blink) {
            s += std::string(1, comm) + a + " ";
        }
        return s;
    };
    struct Case {
        UNIT_STATE state;
        BOOL link;
        std::string seen;
    };
    for (const Case& c : std::vector<Case>{
             {UNIT_STATE_NONE, TRUE, Repeat("00", 45)},
             {UNIT_STATE_INIT, TRUE, Repeat("00", 45)},
             {UNIT_STATE_READY, TRUE, Repeat("10", 45)},
             {UNIT_STATE_ERROR, TRUE, Repeat("10", 45)},
             {UNIT_STATE_INIT, FALSE, noCarrier('0')},
             {UNIT_STATE_READY, FALSE, noCarrier('1')},
         }) {
        InitLedCtrl();
        EXPECT_EQ(Run(c.state, c.link, 45), c.seen) << "state " << c.state << " link " << c.link;
    }
}

TEST_F(Leds, VoiceSentToAPeerFlashesTheCommunicationLedOnce)
{
    Run(UNIT_STATE_READY, TRUE, 3);
    LedFlashComm();
    EXPECT_EQ(Run(UNIT_STATE_READY, TRUE, 6), "00 10 00 10 10 10 ");
}

TEST_F(Leds, StartOnFactorySettingsIsNeverSilentTheCommunicationLedShowsErrorsUntilAnUpdate)
{
    LedSetSettingsAlarm(TRUE);
    InitLedCtrl();  // a restart of the unit keeps it
    EXPECT_EQ(Run(UNIT_STATE_READY, TRUE, 16), Repeat("10 00 10 00 00 00 00 00", 2));
    EXPECT_EQ(Run(UNIT_STATE_NONE, TRUE, 3), "10 00 10 ");
    LedSetSettingsAlarm(FALSE);
    EXPECT_EQ(Run(UNIT_STATE_READY, TRUE, 2), "10 10 ");
}

// ---- The whole unit ----------------------------------------------------------------

class Unit : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(Board_SetRoot(m_board.root().c_str()));
        ASSERT_TRUE(WinEmu_Init());
        m_radioLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttymxc1");
        ASSERT_TRUE(m_radioLink->plugged()) << m_radioLink->error();
    }
    void TearDown() override
    {
        m_radio.reset();
        Server_Destruct();
        Sock_Destruct();
        m_tap.reset();
        Server_SetManualTimerForTest(FALSE);
        m_radioLink.reset();
        Board_SetRoot(nullptr);
    }
    // Brings the unit core up as main does, the tick left to the test, its
    // radio simulated at the far end of the pty.
    bool Boot()
    {
        const std::string port = std::to_string(loopnet::FreePort(SOCK_DGRAM));
        m_board.WriteFile("/var/local/kovalan.ini",
                          "CommPort=2\nUsbPort=0\nRxUdpPort=" + port + "\nTxUdpPort=" + port + "\nProgram=KOVA-LAN\n");
        Sock_Construct();
        Server_Construct();
        CONFIG_Init();
        CONFIG_Load("/var/local/kovalan.ini", nullptr);
        m_tap = std::make_unique<testsupport::StdoutTap>();
        Server_SetManualTimerForTest(TRUE);
        bool ok = Sock_Init() && Server_Init() && Server_Start();
        m_radio = std::make_unique<sim::RadioSim>(*m_radioLink);
        return ok;
    }
    sim::SimBoard m_board;
    std::unique_ptr<sim::PtyLink> m_radioLink;
    std::unique_ptr<sim::RadioSim> m_radio;
    std::unique_ptr<testsupport::StdoutTap> m_tap;
};

TEST_F(Unit, SecondVersionCheckRestartsTheUnitWhichAnswersTheNextOne)
{
    ASSERT_TRUE(Boot());
    ASSERT_TRUE(m_radio->Identify({}, {}));
    m_radio->Clear();
    ASSERT_TRUE(m_radio->SendVersionCheck());
    auto deadline = Clock::now() + 10s;
    while (m_tap->Count("now restarting..") == 0 && Clock::now() < deadline) {
        Server_OnIdle();
    }
    ASSERT_EQ(m_tap->Count("now restarting.."), 1);
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_NONE);
    ASSERT_TRUE(m_radio->SendVersionCheck());
    EXPECT_TRUE(m_radio->WaitFor('V', 10000));
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_INIT);
}

TEST_F(Unit, StaticAddressStopsTheDhcpClientTheUnitStartedAndNtpFollowsItsSetting)
{
    ASSERT_TRUE(Boot());
    Server_TickForTest();  // carrier up on a DHCP board: the unit starts the client
    ASSERT_EQ(m_board.Commands().back(), "udhcpc -R -b -p /var/run/udhcpc.eth0.pid -i eth0 &");
    using Lines = std::vector<std::string>;
    const std::vector<std::pair<Lines, Lines>> steps = {
        {{"ntp 1 10.0.0.1,10.0.0.2", "update"}, {"ntpcheck-start.sh start 10.0.0.1 10.0.0.2"}},
        {{"ntp 1 10.0.0.1,10.0.0.2", "update"}, {}},  // running with these servers already
        // Else a lease renewal could put the old address back.
        {{"netparam 192.168.1.10 255.255.255.0 0.0.0.0", "update"},
         {"kill `cat /var/run/udhcpc.eth0.pid`", "ifdown eth0", "ifup eth0"}},
        {{"restart"}, {"ntpcheck-start.sh stop", "ntpcheck-start.sh start 10.0.0.1 10.0.0.2"}},  // held in memory
        {{"ntp 0 10.0.0.1", "update"}, {"ntpcheck-start.sh stop"}},
    };
    for (const auto& [lines, want] : steps) {
        m_board.ClearCommands();
        for (std::string line : lines) {
            if (line == "restart") {
                Server_Restart();
            } else {
                CMD_Exec(nullptr, line.data());
            }
        }
        Server_OnIdle();
        EXPECT_EQ(m_board.Commands(), want) << lines.front();
    }
}

}  // namespace
