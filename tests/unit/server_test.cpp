// The unit core's spine and LEDs. The LED patterns are driven directly, tick
// by tick. The whole unit in process on a simulated board (radio on a pty,
// a peer on a loopback UDP socket, the tick driven by the test) shows only
// what the parts' own suites cannot: the ports, threads and idle loop wired
// to the parts, the restart, and a start that must fail.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "led.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "server.h"
#include "server_internal.h"
#include "sim_board.h"
#include "test_support.h"
#include "unit_fixture.h"
#include "winemu.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
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
        std::string out;
        for (int i = 0; i < n; ++i) {
            out += step + " ";
        }
        return out;
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
    const std::vector<Case> cases = {
        {UNIT_STATE_NONE, TRUE, Repeat("00", 45)},  {UNIT_STATE_INIT, TRUE, Repeat("00", 45)},
        {UNIT_STATE_READY, TRUE, Repeat("10", 45)}, {UNIT_STATE_ERROR, TRUE, Repeat("10", 45)},
        {UNIT_STATE_NONE, FALSE, noCarrier('0')},   {UNIT_STATE_INIT, FALSE, noCarrier('0')},
        {UNIT_STATE_READY, FALSE, noCarrier('1')},  {UNIT_STATE_ERROR, FALSE, noCarrier('1')},
    };
    for (const Case& c : cases) {
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

// A peer unit on 127.0.0.2.
class FarPeer {
   public:
    FarPeer(int port, int unitPort) : m_unitPort(unitPort)
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = inet_addr("127.0.0.2");
        m_bound = bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~FarPeer() { close(m_fd); }
    FarPeer(const FarPeer&) = delete;
    FarPeer& operator=(const FarPeer&) = delete;
    bool bound() const { return m_bound; }
    bool Send(const Bytes& packet)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(m_unitPort));
        to.sin_addr.s_addr = inet_addr("127.0.0.1");
        return sendto(m_fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) ==
               static_cast<ssize_t>(packet.size());
    }
    // The next packet of this type; packets of other types are passed over.
    std::optional<Bytes> ReceiveType(uint8_t type, int timeoutMs = 2000)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            pollfd pfd = {m_fd, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) {
                continue;
            }
            Bytes buf(2048);
            ssize_t n = recv(m_fd, buf.data(), buf.size(), 0);
            if (n > 2 && buf[2] == type) {
                buf.resize(static_cast<size_t>(n));
                return buf;
            }
        }
        return std::nullopt;
    }

   private:
    int m_unitPort;
    int m_fd = -1;
    bool m_bound = false;
};

Bytes Packet(const std::string& hex, const std::string& text = "")
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 3) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

class Unit : public testsupport::InProcessUnit {
   protected:
    bool Boot(const std::string& comm = "CommPort=2\n")
    {
        int unitPort = FreeUdpPort();
        int peerPort = FreeUdpPort();
        m_peer = std::make_unique<FarPeer>(peerPort, unitPort);
        return m_peer->bound() &&
               StartUnit(comm + "UsbPort=0\nRxUdpPort=" + std::to_string(unitPort) +
                         "\nTxUdpPort=" + std::to_string(peerPort) + "\nProgram=KOVA-LAN\nTarget0=1,127.0.0.2," +
                         std::string(32, '0') + "\n");
    }
    bool WaitConnected()
    {
        auto deadline = Clock::now() + 2s;
        CLIENT_STATUS s = NONE;
        while (Server_GetTargetStatus(0, &s) && s != CONNECTED && Clock::now() < deadline) {
            std::this_thread::sleep_for(2ms);
        }
        return s == CONNECTED;
    }
    std::string Answer(char command)
    {
        auto f = m_radio->WaitFor(command, 2000);
        return f ? f->param : "";
    }
    std::unique_ptr<FarPeer> m_peer;
};

TEST_F(Unit, RadioPeerRecorderAndLedsAreWiredToTheirPortsAndThreads)
{
    ASSERT_TRUE(Boot());
    radio::CodeTable table;
    table.Admit(5);
    ASSERT_TRUE(m_radio->Identify({}, table));  // answered over the radio port
    ASSERT_EQ(Server_GetUnitState(), UNIT_STATE_READY);

    // The tick sends the connect request to the peer's port; its answer comes
    // in through the command server.
    Server_TickForTest();
    EXPECT_TRUE(m_board.LedLit(sim::SimBoard::COMM_LED_GPIO));
    ASSERT_TRUE(m_peer->ReceiveType(7));
    Bytes ack = Packet("00 2C 08 00 00 00 00 00 00 00 00 00 00 00 00 00 01 04 04 00 02 11 22 33 44 55 ");
    ack.resize(ack.size() + 15 + 16 + 3, 0);  // no names, a table admitting code 9 only, DG-IDs
    ack[26 + 15 + 1] = 0x02;
    ASSERT_TRUE(m_peer->Send(ack));
    ASSERT_TRUE(WaitConnected());

    // A radio transmission reaches the peer through TxLanThread...
    const std::string area = "I  0100" + std::string("00000009") + "from-the-radio";
    ASSERT_TRUE(m_radio->SendFrame('G', "H  0100" + std::string("00000009") + "head"));
    ASSERT_TRUE(m_radio->SendFrame('G', area));
    auto voice = m_peer->ReceiveType(0);
    ASSERT_TRUE(voice);
    EXPECT_EQ(std::string(voice->begin() + 16, voice->end()), area);

    // ... and the peer's voice reaches the radio through the idle loop.
    const std::string back = "0  0001" + std::string("00000005") + "from-the-peer";
    ASSERT_EQ(back.size(), 0x1Cu);
    ASSERT_TRUE(m_peer->Send(Packet("00 1C 00 00 00 00 00 00 00 01 01 02 00 00 00 00 ", back)));
    auto frames = VoiceFramesToRadio(1, 2s);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].param, back);

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
    EXPECT_EQ(VoiceFramesToRadio(4, 3s).size(), 4u);
}

TEST_F(Unit, SecondVersionCheckRestartsTheUnitWhichAnswersTheNextOne)
{
    ASSERT_TRUE(Boot());
    ASSERT_TRUE(m_radio->Identify({}, {}));
    m_radio->Clear();
    ASSERT_TRUE(m_radio->SendVersionCheck());
    auto deadline = Clock::now() + 3s;
    while (m_tap->Count("now restarting..") == 0 && Clock::now() < deadline) {
        Server_OnIdle();
    }
    ASSERT_EQ(m_tap->Count("now restarting.."), 1);
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_NONE);
    ASSERT_TRUE(m_radio->SendVersionCheck());
    EXPECT_TRUE(m_radio->WaitFor('V', 2000));
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_INIT);
}

TEST_F(Unit, NoRadioPortMeansNoStart)
{
    EXPECT_FALSE(Boot("CommPort=0\n"));
    EXPECT_TRUE(m_tap->WaitForCount("[W] serial port no is invalid", 1));
}

}  // namespace
