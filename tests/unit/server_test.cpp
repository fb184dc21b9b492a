// The LEDs driven tick by tick; the whole unit in process on a simulated
// board (radio on a pty, peer on loopback, tick driven by the test) for what
// the parts' suites cannot show: ports, threads and idle loop wired to the
// parts, and the restart. (A start that must fail: tests/e2e/daemon_test.)
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cmd.h"
#include "led.h"
#include "peer_sim.h"
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

// A UDP port nobody uses now.
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

class Unit : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(Board_SetRoot(m_board.root().c_str()));
        ASSERT_TRUE(WinEmu_Init());
        m_radioLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttymxc1");
        ASSERT_TRUE(m_radioLink->plugged()) << m_radioLink->error();
        ASSERT_TRUE(m_peer.Open("127.0.0.2", 0)) << m_peer.error();
    }
    void TearDown() override
    {
        m_radio.reset();
        Server_Destruct();
        Sock_Destruct();
        m_tap.reset();
        Server_SetManualTimerForTest(FALSE);
        m_peer.Close();
        m_radioLink.reset();
        Board_SetRoot(nullptr);
    }
    // Brings the unit core up as main does, the tick left to the test, its
    // radio simulated at the far end of the pty, target 0 the peer.
    bool Boot()
    {
        const int unitPort = FreeUdpPort();
        m_peer.SetDestination("127.0.0.1", static_cast<uint16_t>(unitPort));
        m_board.WriteFile("/var/local/kovalan.ini", "CommPort=2\nUsbPort=0\nRxUdpPort=" + std::to_string(unitPort) +
                                                        "\nTxUdpPort=" + std::to_string(m_peer.port()) +
                                                        "\nProgram=KOVA-LAN\nTarget0=1,127.0.0.2," +
                                                        std::string(32, '0') + "\n");
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
    // Runs the idle loop until the radio got n voice frames or 10 s passed.
    size_t VoiceFramesToRadio(size_t n)
    {
        size_t got = 0;
        auto deadline = Clock::now() + 10s;
        auto voice = [](const radio::Frame& f) { return f.command == 'F' || f.command == 'f'; };
        while (got < n && Clock::now() < deadline) {
            Server_OnIdle();
            while (m_radio->WaitFor(voice, 0)) {
                ++got;
            }
        }
        return got;
    }
    std::string Answer(char command)
    {
        auto f = m_radio->WaitFor(command, 10000);
        return f ? f->param : "";
    }

    sim::SimBoard m_board;
    std::unique_ptr<sim::PtyLink> m_radioLink;
    std::unique_ptr<sim::RadioSim> m_radio;
    std::unique_ptr<testsupport::StdoutTap> m_tap;
    sim::PeerSim m_peer;
};

TEST_F(Unit, RadioPeerRecorderAndLedsAreWiredToTheirPortsAndThreads)
{
    sim::peer::Identity peer;
    peer.Admit(9);
    m_peer.SetIdentity(peer);
    m_peer.SetAutoAck(true);
    ASSERT_TRUE(Boot());
    radio::CodeTable table;
    table.Admit(5);
    ASSERT_TRUE(m_radio->Identify({}, table));  // answered over the radio port
    ASSERT_EQ(Server_GetUnitState(), UNIT_STATE_READY);

    // The tick sends the connect request; the answer comes in through the command server.
    Server_TickForTest();
    EXPECT_TRUE(m_board.LedLit(sim::SimBoard::COMM_LED_GPIO));
    CLIENT_STATUS status = NONE;
    testsupport::WaitUntil([&] { return !Server_GetTargetStatus(0, &status) || status == CONNECTED; });
    ASSERT_EQ(status, CONNECTED);

    // A radio transmission reaches the peer through TxLanThread...
    const std::string area = radio::VoiceParam({'I', "  ", 0x100, 9}, "from-the-radio");
    ASSERT_TRUE(m_radio->SendFrame('G', radio::VoiceParam({'H', "  ", 0x100, 9}, "head")));
    ASSERT_TRUE(m_radio->SendFrame('G', area));
    auto voice = m_peer.WaitFor(sim::peer::TYPE_VOICE, 10000);
    ASSERT_TRUE(voice);
    EXPECT_EQ(std::string(voice->raw.begin() + 16, voice->raw.end()), area);

    // ... and the peer's voice reaches the radio through the idle loop.
    ASSERT_TRUE(m_peer.SendVoice(1, 0x0102, 0, radio::VoiceParam({'0', "  ", 1, 5}, "from-the-peer")));
    ASSERT_EQ(VoiceFramesToRadio(1), 1u);

    // A recording is written by RecThread and played back by PlayThread.
    for (const std::string& p : sim::RadioSim::RecordingParams({3, 5, 0x0200, 2, 20, 0})) {
        ASSERT_TRUE(m_radio->SendFrame('R', p));
    }
    EXPECT_EQ(Answer('R'), "R030");
    EXPECT_TRUE(m_board.Exists("/var/local/DATA\\REC003.dat"));
    Server_OnIdle();  // the peer's turn on the queue ends: free after 1000 ms empty
    WinEmu_AdvanceTicksForTest(1000);
    Server_OnIdle();
    ASSERT_TRUE(m_radio->SendPlay(3));
    EXPECT_EQ(Answer('L'), "030");
    EXPECT_EQ(VoiceFramesToRadio(4), 4u);
}

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
