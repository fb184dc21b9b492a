// kovalan's peer link as a process: the daemon on a simulated board, radio
// and USB console, against independent peers (PeerSim) that each have an
// address of their own in 127.0.0.0/8; two units on loopback, one of them on
// a tick the test moves (UnitClock); three units in a network lab. The link's
// states, packets and filters are tested in process (server_lan_test).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "loopnet.h"
#include "net_lab.h"
#include "peer_sim.h"
#include "pty_link.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "setting_client.h"
#include "sim_board.h"
#include "unit_clock.h"
#include "unit_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sim::PeerSim;
using sim::radio::Frame;
namespace peer = sim::peer;

#ifdef KOVALAN_E2E_SANITIZED
constexpr int SLOW = 4;
#else
constexpr int SLOW = 1;
#endif

constexpr int CODE = 5;           // the unit's radio admits this code
constexpr int OTHER_CODE = 9;     // and not this one
const std::string UNIT_ADDRESS = "127.0.0.1";
const std::string NEAR = "127.0.0.2";      // target 0
const std::string FAR = "127.0.0.3";       // target 1
// How quiet a peer or the radio must stay to count as "nothing came".
constexpr int QUIET_MS = 300;

// A UDP port nobody uses now, other than `unlike`.
int FreeUdpPort(int unlike = 0)
{
    int port = unlike;
    while (port == unlike) {
        port = loopnet::FreePort(SOCK_DGRAM);
    }
    return port;
}

template <typename Pred>
bool Eventually(Pred pred, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// A whole output line ending in text (dots, brackets and parentheses taken literally).
std::regex LineEndingIn(const std::string& text)
{
    return std::regex(std::regex_replace(text, std::regex(R"([.\[\]()])"), R"(\$&)") + "$");
}

using sim::radio::Hex;

sim::Transmission Talk(char command, int code, uint16_t counter, int voiceFrames = 4)
{
    return {.command = command, .code = code, .counter = counter, .voiceFrames = voiceFrames, .payloadSize = 30};
}
// The radio areas of Talk(...).
std::vector<std::string> TalkAreas(char command, int code, uint16_t counter, int voiceFrames = 4)
{
    return sim::RadioSim::TransmissionParams(Talk(command, code, counter, voiceFrames));
}

// What a radio transmission's areas look like after crossing a unit: the
// identification frame takes the header frame's place, so the header frame
// itself never leaves the sending unit.
std::vector<std::string> RelayedAreas(const sim::Transmission& t)
{
    std::vector<std::string> areas = sim::RadioSim::TransmissionParams(t);
    areas.erase(areas.begin());
    return areas;
}

// Starts the peer's wait cursor at the packets still to come.
void FromNow(PeerSim& p)
{
    p.SetCursor(p.Count());
}

// The next `count` voice packets at the peer (fewer when they stop coming), read by the strict decoder.
std::vector<peer::Voice> VoiceAt(PeerSim& p, size_t count, int timeoutMs)
{
    std::vector<peer::Voice> voice;
    while (voice.size() < count) {
        auto packet = p.WaitFor(peer::TYPE_VOICE, timeoutMs);
        if (!packet) {
            break;
        }
        auto v = peer::DecodeVoice(packet->raw);
        if (!v) {
            ADD_FAILURE() << "voice packet out of layout: " << Hex(packet->raw);
            break;
        }
        voice.push_back(*v);
    }
    return voice;
}

// Expects the peer to hear the radio transmission t as one message on channel ch, in order.
void ExpectHeard(PeerSim& p, const sim::Transmission& t, uint8_t ch)
{
    const std::vector<std::string> areas = RelayedAreas(t);
    const std::vector<peer::Voice> voice = VoiceAt(p, areas.size(), 2000 * SLOW);
    ASSERT_EQ(voice.size(), areas.size());
    for (size_t i = 0; i < areas.size(); ++i) {
        EXPECT_EQ(voice[i].area, areas[i]) << "packet " << i;
        EXPECT_EQ(voice[i].header.ch, ch) << "packet " << i;
        EXPECT_EQ(voice[i].header.msgId, voice.front().header.msgId) << "packet " << i;
    }
    EXPECT_NE(voice.front().header.msgId, 0);
}

// Expects the radio frames to carry exactly these areas, in this order, as command.
void ExpectAreas(const std::vector<Frame>& frames, const std::vector<std::string>& areas, char command)
{
    ASSERT_EQ(frames.size(), areas.size());
    for (size_t i = 0; i < areas.size(); ++i) {
        EXPECT_EQ(frames[i].command, command) << "frame " << i;
        EXPECT_EQ(frames[i].param, areas[i]) << "frame " << i;
        EXPECT_TRUE(frames[i].ok()) << "frame " << i;
    }
}

// One unit: its board, radio, USB console, process and, when asked for, a tick the test moves.
class Unit {
   public:
    Unit(std::string name, std::string callSign, std::string radioId) : m_name(std::move(name))
    {
        m_radioLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttymxc1");
        m_usbLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttyGS0");
        m_console = std::make_unique<sim::SettingClient>(*m_usbLink);
        identity.callSign = callSign;
        identity.radioId = radioId;
        table.Admit(CODE);
        table.locDgid = 0x11;
        table.defDgid = 0x22;
    }
    ~Unit() { Kill(); }

    // The ini file: ports and targets 0, 1, ... at the given addresses.
    void Configure(int rxPort, int txPort, const std::vector<std::string>& targets)
    {
        std::string ini = "CommPort=2\nUsbPort=1000\nRxUdpPort=" + std::to_string(rxPort) +
                          "\nTxUdpPort=" + std::to_string(txPort) + "\nProgram=KOVA-LAN\n";
        for (size_t i = 0; i < targets.size(); ++i) {
            ini += "Target" + std::to_string(i) + "=1," + targets[i] + "," + std::string(32, '0') + "\n";
        }
        m_board.WriteFile("/var/local/kovalan.ini", ini);
    }
    // The next Start runs the unit on a tick the test moves (Advance); false when that cannot be had here.
    bool UseMovableClock()
    {
        m_clock = std::make_unique<sim::UnitClock>();
        return m_clock->ok();
    }
    std::string clockProblem() const { return m_clock ? m_clock->why() : "no movable clock asked for"; }
    // Starts the process (in a lab member when lab is given) and waits for its timer thread.
    bool Start(const sim::NetLab* lab = nullptr, int member = 0)
    {
        sim::UnitOptions options;
        options.binary = KOVALAN_E2E_BINARY;
        options.root = m_board.root();
        if (lab) {
            lab->Place(&options, member);
        }
        if (m_clock) {
            m_clock->Apply(&options);
        }
        if (!m_process.Start(options)) {
            ADD_FAILURE() << m_name << ": " << m_process.error();
            return false;
        }
        return m_process.WaitForLine("start timer thread", 5000 * SLOW).has_value();
    }
    // The radio identifies itself and keeps the line alive; true at "[I] state ready".
    bool MakeReady()
    {
        if (!m_radio) {
            m_radio = std::make_unique<sim::RadioSim>(*m_radioLink);
        }
        m_radio->Clear();
        if (!m_radio->Identify(identity, table, 2000 * SLOW)) {
            return false;
        }
        bool ready = m_process.WaitForLine("[I] state ready", 2000 * SLOW).has_value();
        m_radio->StartKeepAlive(1000);
        return ready;
    }
    void Kill()
    {
        if (m_radio) {
            m_radio->StopKeepAlive();
        }
        m_process.Kill();
    }

    // Moves the unit's tick ms on in steps the radio's 10 s silence limit allows; the radio
    // reports before each step, and the unit's timer has ticked on the new time after it.
    bool Advance(int64_t ms)
    {
        constexpr int64_t STEP_MS = 8000;
        if (!m_clock || !m_clock->ok() || ms < 1000) {
            ADD_FAILURE() << "Advance needs a movable clock and at least 1000 ms";
            return false;
        }
        auto toRadio = [](const Frame& f) { return f.command == 'C' || f.command == 'P'; };
        for (int64_t left = ms; left > 0;) {
            int64_t step = left > STEP_MS + 1000 ? STEP_MS : left;
            left -= step;
            size_t line = m_process.Lines().size();
            if (!m_radio->SendStatus({}, 'P') || !m_process.WaitForLine("Rx: Status:", 1000 * SLOW, line)) {
                ADD_FAILURE() << m_name << " did not take the radio's report";
                return false;
            }
            size_t cursor = m_radio->cursor();
            m_radio->SetCursor(m_radio->FrameCount());
            m_clock->Advance(step);
            bool ticked = m_radio->WaitFor(toRadio, 1000 * SLOW).has_value();
            m_radio->SetCursor(cursor);
            if (!ticked) {
                ADD_FAILURE() << m_name << "'s timer did not tick after the clock moved";
                return false;
            }
        }
        return true;
    }

    // The first "[I] target detected ADDRESS" line from line `from` on: its time, waiting up to timeoutMs.
    std::optional<Clock::time_point> Detected(const std::string& address, int timeoutMs, size_t from = 0)
    {
        auto line = m_process.WaitForRegex(LineEndingIn("[I] target detected " + address), timeoutMs, from);
        if (!line) {
            return std::nullopt;
        }
        return m_process.Lines()[*line].arrival;
    }
    // True when a line ending in text comes (from line `from` on) within timeoutMs.
    bool Says(const std::string& text, int timeoutMs, size_t from = 0)
    {
        return m_process.WaitForRegex(LineEndingIn(text), timeoutMs, from).has_value();
    }
    size_t LineCount() const { return m_process.Lines().size(); }

    std::string Ask(const std::string& line)
    {
        sim::ReplyEnd end;
        end.lines = 1;
        end.timeoutMs = 3000 * SLOW;
        return m_console->Command(line, end).text;
    }
    bool StatusIs(int target, const std::string& word, int timeoutMs = 2000 * SLOW)
    {
        return Eventually([&] { return Ask("status " + std::to_string(target)) == word + "\r\n"; }, timeoutMs);
    }

    // Marks the radio's frames so far as seen.
    void RadioFromNow() { m_radio->SetCursor(m_radio->FrameCount()); }
    // The next `count` voice frames ('F'/'f') the radio got, waiting up to timeoutMs in all.
    std::vector<Frame> RadioVoice(size_t count, int timeoutMs)
    {
        auto isVoice = [](const Frame& f) { return f.command == 'F' || f.command == 'f'; };
        std::vector<Frame> frames;
        for (std::optional<Frame> f; frames.size() < count && (f = m_radio->WaitFor(isVoice, timeoutMs));) {
            frames.push_back(*f);
        }
        return frames;
    }
    sim::RadioSim& radio() { return *m_radio; }
    sim::SimBoard& board() { return m_board; }
    sim::UnitProcess& process() { return m_process; }
    const std::string& name() const { return m_name; }

    sim::radio::RadioIdentity identity;
    sim::radio::CodeTable table;

   private:
    std::string m_name;
    sim::SimBoard m_board;
    std::unique_ptr<sim::PtyLink> m_radioLink;
    std::unique_ptr<sim::PtyLink> m_usbLink;
    std::unique_ptr<sim::SettingClient> m_console;
    std::unique_ptr<sim::RadioSim> m_radio;
    std::unique_ptr<sim::UnitClock> m_clock;
    sim::UnitProcess m_process;
};

// At the end of a test: fails it on a sanitizer report of a unit (an instrumented unit reports on its
// standard error and runs on), and prints the units' output when it failed.
void ReviewOutput(const std::vector<Unit*>& units)
{
    for (Unit* u : units) {
        std::string output = u->process().Output();
        for (const char* report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:"}) {
            EXPECT_EQ(output.find(report), std::string::npos) << u->name() << ": " << report;
        }
    }
    for (Unit* u : units) {
        if (::testing::Test::HasFailure()) {
            std::fprintf(stderr, "--- %s output ---\n%s", u->name().c_str(), u->process().Output().c_str());
        }
    }
}
// Reviews the units' output when it goes out of scope.
struct Review {
    std::vector<Unit*> units;
    ~Review() { ReviewOutput(units); }
};

// One unit whose targets 0 and 1 are the peers `near` and `far`.
class PeerLink : public ::testing::Test {
   protected:
    void SetUp() override
    {
        int rx = FreeUdpPort();
        int tx = FreeUdpPort(rx);
        m_unit.Configure(rx, tx, {NEAR, FAR});
        const std::pair<PeerSim*, std::string> peers[] = {{&m_near, NEAR}, {&m_far, FAR}};
        for (const auto& [p, address] : peers) {
            ASSERT_TRUE(p->Open(address, static_cast<uint16_t>(tx))) << p->error();
            p->SetDestination(UNIT_ADDRESS, static_cast<uint16_t>(rx));
        }
        nearId = {.mac = {0x02, 0, 0, 0, 0, 0x02}, .callSign = "PEERN00002", .radioId = "22222"};
        farId = {.mac = {0x02, 0, 0, 0, 0, 0x03}, .callSign = "PEERF00003", .radioId = "33333"};
    }
    void TearDown() override { ReviewOutput({&m_unit}); }

    // The unit running and ready, and linked to both peers, which keep acknowledging.
    bool LinkUp()
    {
        m_near.SetIdentity(nearId);
        m_far.SetIdentity(farId);
        m_near.SetAutoAck(true);
        m_far.SetAutoAck(true);
        return m_unit.Start() && m_unit.MakeReady() && m_unit.Detected(NEAR, 2000 * SLOW) &&
               m_unit.Detected(FAR, 2000 * SLOW);
    }
    void PeersFromNow()
    {
        FromNow(m_near);
        FromNow(m_far);
    }
    Unit m_unit{"unit", "CALLU00001", "11111"};
    PeerSim m_near;
    PeerSim m_far;
    peer::Identity nearId;
    peer::Identity farId;
};

TEST_F(PeerLink, AsksItsTargetsOnlyOnceTheRadioIsReadyLinksOnAnAcknowledgementAndTellsItsOwnIdentity)
{
    ASSERT_TRUE(m_unit.Start());
    EXPECT_FALSE(m_near.WaitFor(peer::TYPE_CONNECT_REQ, QUIET_MS)) << "no request before the radio is known";
    EXPECT_EQ(m_unit.Ask("status 0"), "idle\r\n");

    ASSERT_TRUE(m_unit.MakeReady());
    for (PeerSim* p : {&m_near, &m_far}) {
        auto request = p->WaitFor(peer::TYPE_CONNECT_REQ, 2000 * SLOW);
        ASSERT_TRUE(request) << "every target is asked";
        EXPECT_TRUE(peer::IsConnectRequest(request->raw)) << Hex(request->raw);
        EXPECT_EQ(request->fromAddress, UNIT_ADDRESS);
    }
    EXPECT_TRUE(m_unit.StatusIs(0, "connecting"));
    m_near.SetIdentity(nearId);
    m_near.SetAutoAck(true);
    ASSERT_TRUE(m_unit.Detected(NEAR, 2000 * SLOW));
    EXPECT_TRUE(m_unit.StatusIs(0, "connected"));
    EXPECT_EQ(m_unit.Ask("status 1"), "connecting\r\n") << "the far peer has not answered";

    // What the unit tells a target that asks: the board's fuses, the radio's identity and table.
    FromNow(m_near);
    ASSERT_TRUE(m_near.SendConnectRequest());
    auto ack = m_near.WaitFor(peer::TYPE_CONNECT_ACK, 1000 * SLOW);
    ASSERT_TRUE(ack);
    auto told = peer::DecodeAck(ack->raw);
    ASSERT_TRUE(told) << Hex(ack->raw);
    EXPECT_EQ(told->version, (std::array<uint8_t, 4>{1, 4, 4, 0}));
    EXPECT_EQ(told->mac, (std::array<uint8_t, 6>{0x02, 0, 0, 0, 0, 0x01})) << "the board's OTP MAC";
    EXPECT_EQ(told->callSign + "/" + told->radioId, "CALLU00001/11111");
    EXPECT_EQ(told->table, m_unit.table.code);
    EXPECT_EQ((std::array<int, 3>{told->listServer, told->locDgid, told->defDgid}),
              (std::array<int, 3>{0, 0x11, 0x22}));
}

TEST_F(PeerLink, RadioVoiceReachesOnlyAdmittingPeersAsOneMessageAndPeerVoiceReachesTheRadio)
{
    nearId.Admit(CODE);
    farId.Admit(OTHER_CODE);
    ASSERT_TRUE(LinkUp());
    PeersFromNow();
    sim::Transmission first = Talk('G', CODE, 0x0100);
    ASSERT_TRUE(m_unit.radio().SendTransmission(first));
    ExpectHeard(m_near, first, 0);
    EXPECT_TRUE(VoiceAt(m_far, 1, QUIET_MS).empty()) << "the far peer's table does not admit the code";

    m_unit.RadioFromNow();
    sim::Transmission back = Talk('g', CODE, 0x0700);
    ASSERT_TRUE(m_near.SendTransmission(back, 0x0033, 5000));
    ExpectAreas(m_unit.RadioVoice(TalkAreas('g', CODE, 0x0700).size(), 2000 * SLOW), TalkAreas('g', CODE, 0x0700),
                'f');
    EXPECT_TRUE(m_unit.Says("OCCUPY " + NEAR, 1000 * SLOW));
}

// Sends t from one unit's radio and expects the other unit's radio to hear it whole, in order.
void ExpectRelayed(Unit& from, Unit& to, const sim::Transmission& t)
{
    SCOPED_TRACE(from.name() + " -> " + to.name());
    to.RadioFromNow();
    ASSERT_TRUE(from.radio().SendTransmission(t));
    ExpectAreas(to.RadioVoice(RelayedAreas(t).size(), 2000 * SLOW), RelayedAreas(t), t.command == 'g' ? 'f' : 'F');
}

// Two units on this machine's loopback, each the other's target 0 at
// 127.0.0.1, one receiving on the port the other sends to. Unit A's tick can
// be moved, so that it notices B's silence without waiting two minutes.
TEST(TwoUnits, LinkOnLoopbackRelayBothWaysAndLinkAgainAfterOneIsKilledAndRestarted)
{
    Unit a("unit A", "CALLA00001", "11111");
    Unit b("unit B", "CALLB00002", "22222");
    Review review{{&a, &b}};
    int portA = FreeUdpPort();
    int portB = FreeUdpPort(portA);
    a.Configure(portA, portB, {UNIT_ADDRESS});
    b.Configure(portB, portA, {UNIT_ADDRESS});
    bool movable = a.UseMovableClock();
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(a.MakeReady());
    ASSERT_TRUE(b.MakeReady());
    for (Unit* u : {&a, &b}) {
        ASSERT_TRUE(u->Detected(UNIT_ADDRESS, 2000 * SLOW)) << u->name();
        EXPECT_TRUE(u->StatusIs(0, "connected")) << u->name();
    }
    ExpectRelayed(a, b, Talk('G', CODE, 0x0100));
    ExpectRelayed(b, a, Talk('g', CODE, 0x0200));

    b.Kill();
    if (movable) {
        // Two minutes without a word from B: A gives the link up and tries again.
        ASSERT_TRUE(a.Advance(121000));
        EXPECT_TRUE(a.StatusIs(0, "connecting"));
    } else {
        std::printf("A's tick cannot be moved here (%s): its 120 s silence limit is not checked\n",
                    a.clockProblem().c_str());
    }

    size_t fromLine = a.LineCount();
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.MakeReady());
    ASSERT_TRUE(b.Detected(UNIT_ADDRESS, 3000 * SLOW));
    EXPECT_TRUE(b.StatusIs(0, "connected"));
    EXPECT_TRUE(a.StatusIs(0, "connected"));
    if (movable) {
        EXPECT_TRUE(a.Detected(UNIT_ADDRESS, 3000 * SLOW, fromLine)) << "A links to the restarted B again";
    }
    ExpectRelayed(b, a, Talk('G', CODE, 0x0500));
    ExpectRelayed(a, b, Talk('G', CODE, 0x0600));
}

// Three units in a network lab, each with its own eth0 and address, every one
// the others' targets.
TEST(PeerLab, ThreeUnitsOnOneSegmentLinkUpOverTheirOwnEth0AndRelayEachWay)
{
    constexpr int N = 3;
    sim::NetLab lab(N);
    if (!lab.ok()) {
        GTEST_SKIP() << "no network lab here: " << lab.why();
    }
    std::vector<std::unique_ptr<Unit>> units;
    Review review;
    for (int i = 0; i < N; ++i) {
        std::string n = std::to_string(i);
        units.push_back(std::make_unique<Unit>("lab unit " + n, "CALLN0000" + n, "4444" + n));
        review.units.push_back(units.back().get());
        std::vector<std::string> targets;
        for (int j = 0; j < N; ++j) {
            if (j != i) {
                targets.push_back(sim::NetLab::Address(j));
            }
        }
        units[i]->board().SetStaticInterfaces(sim::NetLab::Address(i), "255.255.255.0");
        units[i]->Configure(peer::DEFAULT_PORT, peer::DEFAULT_PORT, targets);
        ASSERT_TRUE(units[i]->Start(&lab, i));
    }
    for (auto& u : units) {
        ASSERT_TRUE(u->MakeReady()) << u->name();
    }
    for (int i = 0; i < N; ++i) {
        EXPECT_EQ(units[i]->Ask("currip"), "address=" + sim::NetLab::Address(i) + " netmask=255.255.255.0\r\n");
        for (int j = 0; j < N; ++j) {
            if (j != i) {
                ASSERT_TRUE(units[i]->Detected(sim::NetLab::Address(j), 2000 * SLOW)) << i << " sees " << j;
            }
        }
        EXPECT_TRUE(units[i]->StatusIs(0, "connected"));
        EXPECT_TRUE(units[i]->StatusIs(1, "connected"));
    }

    sim::Transmission t = Talk('G', CODE, 0x0800);
    for (int j = 1; j < N; ++j) {
        units[j]->RadioFromNow();
    }
    ASSERT_TRUE(units[0]->radio().SendTransmission(t));
    for (int j = 1; j < N; ++j) {
        SCOPED_TRACE(units[j]->name());
        ExpectAreas(units[j]->RadioVoice(RelayedAreas(t).size(), 2000 * SLOW), RelayedAreas(t), 'F');
    }
}

}  // namespace
