// kovalan's peer link: the daemon as a process on a simulated board, radio and
// USB console, against independent peers (PeerSim) that each have an address of
// their own in 127.0.0.0/8; time-outs run on a unit tick the test moves
// (UnitClock). Also two units on loopback and three in a network lab.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
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
constexpr int NOBODYS_CODE = 50;  // no table admits it
const std::string UNIT_ADDRESS = "127.0.0.1";
const std::string NEAR = "127.0.0.2";      // target 0
const std::string FAR = "127.0.0.3";       // target 1
const std::string STRANGER = "127.0.0.9";  // no target
// How quiet a peer or the radio must stay to count as "nothing came".
constexpr int QUIET_MS = 300;

int Ms(Clock::duration d)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

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

// 32 upper-case hex digits of a code table, as the unit lists it.
std::string TableText(const std::array<uint8_t, 16>& table)
{
    std::string text;
    char digits[3];
    for (uint8_t b : table) {
        std::snprintf(digits, sizeof(digits), "%02X", b);
        text += digits;
    }
    return text;
}

sim::Transmission Talk(char command, int code, uint16_t counter, int voiceFrames = 4, const std::string& group = "  ")
{
    return {.command = command,
            .group = group,
            .code = code,
            .counter = counter,
            .voiceFrames = voiceFrames,
            .payloadSize = 30,
            .spacingMs = 20};
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

// Sends the areas as voice packets of one message, 20 ms apart.
bool SendAreas(PeerSim& from, const std::vector<std::string>& areas, uint16_t msgId, uint8_t ch = 0)
{
    for (size_t i = 0; i < areas.size(); ++i) {
        if (i) {
            std::this_thread::sleep_for(20ms);
        }
        if (!from.SendVoice(static_cast<uint32_t>(1000 + 20 * i), msgId, ch, areas[i])) {
            return false;
        }
    }
    return true;
}

// Starts the peer's wait cursor at the packets still to come.
void FromNow(PeerSim& p)
{
    p.SetCursor(p.Count());
}

// Up to `count` items from next(ms left), which gives nullopt when none came, within timeoutMs in all.
template <typename T, typename Next>
std::vector<T> Gather(size_t count, int timeoutMs, Next next)
{
    std::vector<T> items;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (std::optional<T> item; items.size() < count; items.push_back(*item)) {
        if (!(item = next(std::max(0, Ms(deadline - Clock::now()))))) {
            break;
        }
    }
    return items;
}

// The next `count` voice packets at the peer, read by the strict decoder.
std::vector<peer::Voice> VoiceAt(PeerSim& p, size_t count, int timeoutMs)
{
    return Gather<peer::Voice>(count, timeoutMs, [&](int ms) -> std::optional<peer::Voice> {
        auto packet = p.WaitFor(peer::TYPE_VOICE, ms);
        auto v = packet ? peer::DecodeVoice(packet->raw) : std::nullopt;
        if (packet && !v) {
            ADD_FAILURE() << "voice packet out of layout: " << Hex(packet->raw);
        }
        return v;
    });
}

// Expects one message on channel ch carrying exactly these areas, in order.
void ExpectMessage(const std::vector<peer::Voice>& voice, const std::vector<std::string>& areas, uint8_t ch)
{
    ASSERT_EQ(voice.size(), areas.size());
    for (size_t i = 0; i < areas.size(); ++i) {
        EXPECT_EQ(voice[i].area, areas[i]) << "packet " << i;
        EXPECT_EQ(voice[i].header.ch, ch) << "packet " << i;
        EXPECT_EQ(voice[i].header.msgId, voice.front().header.msgId) << "packet " << i;
        if (i) {
            // Unsigned: a time running backwards shows as a huge step.
            EXPECT_LT(voice[i].header.time - voice[i - 1].header.time, 1000u) << "sender time runs on, packet " << i;
        }
    }
    EXPECT_NE(voice.front().header.msgId, 0);
}

// Expects the peer to hear the radio transmission t as one message on channel ch; what it heard.
std::vector<peer::Voice> ExpectHeard(PeerSim& p, const sim::Transmission& t, uint8_t ch)
{
    std::vector<peer::Voice> voice = VoiceAt(p, RelayedAreas(t).size(), 2000 * SLOW);
    ExpectMessage(voice, RelayedAreas(t), ch);
    return voice;
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
        auto ready = m_process.WaitForLine("[I] state ready", 2000 * SLOW);
        m_readyAt = ready ? m_process.Lines()[*ready].arrival : Clock::now();
        m_radio->StartKeepAlive(1000);
        return ready.has_value();
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
        // The keep-alive seen may have left just before the jump: one more tick has run after this.
        std::this_thread::sleep_for(std::chrono::milliseconds(50 * SLOW));
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

    std::string Ask(const std::string& line, const std::string& lastPrefix = "")
    {
        return m_console
            ->Command(line, {.lines = lastPrefix.empty() ? 1 : 0, .lastPrefix = lastPrefix, .timeoutMs = 3000 * SLOW})
            .text;
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
        return Gather<Frame>(count, timeoutMs, [&](int ms) { return m_radio->WaitFor(isVoice, ms); });
    }
    // The status character of the next status notice ('P') the radio gets within timeoutMs.
    std::optional<char> RadioNotice(int timeoutMs)
    {
        auto f = m_radio->WaitFor('P', timeoutMs);
        return f ? sim::radio::ParseStatusAnswer(f->param) : std::nullopt;
    }
    // The radio reports a status with this stat character (the other fields as its keep-alive has them).
    bool RadioReports(char stat) { return m_radio->SendStatus({.stat = stat}, 'C'); }

    sim::RadioSim& radio() { return *m_radio; }
    sim::SimBoard& board() { return m_board; }
    sim::UnitProcess& process() { return m_process; }
    Clock::time_point readyAt() const { return m_readyAt; }
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
    Clock::time_point m_readyAt{};
};

// An instrumented unit reports what it found on its standard error and runs on: such a report fails the test.
void ExpectNoSanitizerReport(const std::vector<Unit*>& units)
{
    for (Unit* u : units) {
        std::string output = u->process().Output();
        for (const char* report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:"}) {
            EXPECT_EQ(output.find(report), std::string::npos) << u->name() << ": " << report;
        }
    }
}

// At the end of a test: fails it on a sanitizer report of a unit, and prints the units' output when it failed.
void ReviewOutput(const std::vector<Unit*>& units)
{
    ExpectNoSanitizerReport(units);
    if (!::testing::Test::HasFailure()) {
        return;
    }
    for (Unit* u : units) {
        std::fprintf(stderr, "--- %s output ---\n%s", u->name().c_str(), u->process().Output().c_str());
    }
}
// Reviews the units' output when it goes out of scope.
struct Review {
    std::vector<Unit*> units;
    ~Review() { ReviewOutput(units); }
};

// One unit whose targets 0 and 1 are the peers `near` and `far`; a third
// peer, the stranger, is no target of it.
class PeerLink : public ::testing::Test {
   protected:
    void SetUp() override
    {
        int rx = FreeUdpPort();
        int tx = FreeUdpPort(rx);
        m_unit.Configure(rx, tx, {NEAR, FAR});
        const std::pair<PeerSim*, std::string> peers[] = {{&m_near, NEAR}, {&m_far, FAR}, {&m_stranger, STRANGER}};
        for (const auto& [p, address] : peers) {
            ASSERT_TRUE(p->Open(address, static_cast<uint16_t>(tx))) << p->error();
            p->SetDestination(UNIT_ADDRESS, static_cast<uint16_t>(rx));
        }
        nearId = {.mac = {0x02, 0, 0, 0, 0, 0x02},
                  .callSign = "PEERN00002",
                  .radioId = "22222",
                  .locDgid = 0x33,
                  .defDgid = 0x44};
        nearId.Admit(CODE);
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
        return Ready() && m_unit.Detected(NEAR, 2000 * SLOW) && m_unit.Detected(FAR, 2000 * SLOW);
    }
    // The unit starts and its radio is ready.
    bool Ready() { return m_unit.Start() && m_unit.MakeReady(); }
    void PeersFromNow()
    {
        FromNow(m_near);
        FromNow(m_far);
    }
    // The peer sends the areas as message msgId and the radio gets them all, in order, as command.
    void ExpectPassed(PeerSim& from, const std::vector<std::string>& areas, uint16_t msgId, char command = 'F')
    {
        ASSERT_TRUE(SendAreas(from, areas, msgId));
        ExpectAreas(m_unit.RadioVoice(areas.size(), 2000 * SLOW), areas, command);
    }

    Unit m_unit{"unit", "CALLU00001", "11111"};
    PeerSim m_near;
    PeerSim m_far;
    PeerSim m_stranger;
    peer::Identity nearId;
    peer::Identity farId;
};

TEST_F(PeerLink, AsksEachTargetOnceTheRadioIsReadyAndLinksOnItsAcknowledgement)
{
    ASSERT_TRUE(m_unit.Start());
    EXPECT_FALSE(m_near.WaitFor(peer::TYPE_CONNECT_REQ, QUIET_MS)) << "no request before the radio is known";
    EXPECT_EQ(m_unit.Ask("status 0"), "idle\r\n");

    ASSERT_TRUE(m_unit.MakeReady());
    auto first = m_near.WaitFor(peer::TYPE_CONNECT_REQ, 1000 * SLOW);
    ASSERT_TRUE(first);
    EXPECT_TRUE(peer::IsConnectRequest(first->raw)) << Hex(first->raw);
    EXPECT_EQ(first->fromAddress, UNIT_ADDRESS);
    EXPECT_LT(Ms(first->arrival - m_unit.readyAt()), 300 * SLOW) << "the first request is due at once";
    EXPECT_TRUE(m_far.WaitFor(peer::TYPE_CONNECT_REQ, 1000 * SLOW)) << "every target is asked";
    auto second = m_near.WaitFor(peer::TYPE_CONNECT_REQ, 2000 * SLOW);
    ASSERT_TRUE(second);
    EXPECT_GE(Ms(second->arrival - first->arrival), 900);
    EXPECT_LE(Ms(second->arrival - first->arrival), 1300 * SLOW);
    EXPECT_TRUE(m_unit.StatusIs(0, "connecting"));

    m_near.SetAutoAck(true);
    auto detected = m_unit.Detected(NEAR, 2000 * SLOW);
    ASSERT_TRUE(detected);
    EXPECT_TRUE(m_unit.StatusIs(0, "connected"));
    EXPECT_EQ(m_unit.Ask("status 1"), "connecting\r\n") << "the far peer has not answered";
    FromNow(m_near);
    EXPECT_FALSE(m_near.WaitFor(peer::TYPE_CONNECT_REQ, 1200)) << "a linked target is asked only for its keep-alive";
    EXPECT_EQ(m_near.autoAcks(), 1) << "one acknowledgement links";
}

TEST_F(PeerLink, TakesATargetsIdentityFromItsAcknowledgementAndAnswersWithItsOwn)
{
    m_near.SetIdentity(nearId);
    m_near.SetAutoAck(true);
    ASSERT_TRUE(Ready());
    ASSERT_TRUE(m_unit.Detected(NEAR, 2000 * SLOW));

    // What the unit tells a target that asks.
    FromNow(m_near);
    ASSERT_TRUE(m_near.SendConnectRequest());
    auto ack = m_near.WaitFor(peer::TYPE_CONNECT_ACK, 1000 * SLOW);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->fromAddress, UNIT_ADDRESS);
    auto told = peer::DecodeAck(ack->raw);
    ASSERT_TRUE(told) << Hex(ack->raw);
    EXPECT_EQ(told->version, (std::array<uint8_t, 4>{1, 4, 4, 0}));
    EXPECT_EQ(told->mac, (std::array<uint8_t, 6>{0x02, 0, 0, 0, 0, 0x01})) << "the board's OTP MAC";
    EXPECT_EQ(told->callSign + "/" + told->radioId, "CALLU00001/11111");
    EXPECT_EQ(told->table, m_unit.table.code);
    EXPECT_EQ((std::array<int, 3>{told->listServer, told->locDgid, told->defDgid}),
              (std::array<int, 3>{0, 0x11, 0x22}));

    // What it learnt from the near peer's acknowledgement reaches its target list.
    std::string nearLine = "getdest 0 enable=1 target=" + NEAR + " sctbl=" + TableText(nearId.table) +
                           " callsign=\"PEERN00002\" radioid=\"22222\" memo=\"\" loc_dgid=33 def_dgid=44\r\n";
    EXPECT_TRUE(Eventually([&] { return m_unit.Ask("getdest 0 0") == nearLine; }, 2000 * SLOW))
        << m_unit.Ask("getdest 0 0");

    // An acknowledgement cut inside the code table is refused; a whole one links; one without the
    // DG-IDs sets both to 255.
    farId.locDgid = 0x55;
    farId.defDgid = 0x66;
    ASSERT_TRUE(m_far.Send(peer::ConnectAck(farId, peer::ACK_MIN_SIZE - 1)));
    EXPECT_TRUE(m_unit.Says("[W] invalid data length 57", 1000 * SLOW));
    EXPECT_EQ(m_unit.Ask("status 1"), "connecting\r\n");
    ASSERT_TRUE(m_far.Send(peer::ConnectAck(farId)));
    ASSERT_TRUE(m_unit.Detected(FAR, 1000 * SLOW));
    std::string farLine = "getdest 1 enable=1 target=" + FAR + " sctbl=" + TableText(farId.table) +
                          " callsign=\"PEERF00003\" radioid=\"33333\" memo=\"\" loc_dgid=";
    EXPECT_TRUE(Eventually([&] { return m_unit.Ask("getdest 1 1") == farLine + "55 def_dgid=66\r\n"; }, 2000 * SLOW))
        << m_unit.Ask("getdest 1 1");
    ASSERT_TRUE(m_far.Send(peer::ConnectAck(farId, peer::ACK_MIN_SIZE)));
    EXPECT_TRUE(Eventually([&] { return m_unit.Ask("getdest 1 1") == farLine + "FF def_dgid=FF\r\n"; }, 2000 * SLOW))
        << m_unit.Ask("getdest 1 1");
}

TEST_F(PeerLink, IgnoresEveryPacketFromAnAddressThatIsNoTarget)
{
    ASSERT_TRUE(LinkUp());
    m_unit.RadioFromNow();
    size_t from = m_unit.LineCount();
    ASSERT_TRUE(m_stranger.SendConnectRequest());
    ASSERT_TRUE(m_stranger.SendConnectAck());
    ASSERT_TRUE(m_stranger.SendStatus(3, 6));
    ASSERT_TRUE(m_stranger.SendTransmission(Talk('G', CODE, 0x0100, 2), 0x0040));
    EXPECT_TRUE(m_unit.Says("[W] target not found " + STRANGER, 1000 * SLOW, from));
    EXPECT_TRUE(m_unit.Says("[W] target not found " + STRANGER + " (status)", 1000 * SLOW, from));
    EXPECT_FALSE(m_stranger.WaitFor(peer::TYPE_CONNECT_ACK, QUIET_MS)) << "a stranger's request gets no answer";
    EXPECT_TRUE(m_unit.RadioVoice(1, QUIET_MS).empty()) << "a stranger's voice does not reach the radio";
    EXPECT_FALSE(m_unit.RadioNotice(QUIET_MS)) << "a stranger's status does not reach the radio";
    EXPECT_EQ(m_unit.Ask("status 0"), "connected\r\n");
}

TEST_F(PeerLink, GivesUpAfterThreeUnansweredRequestsAndTriesAgain45SecondsLater)
{
    if (!m_unit.UseMovableClock()) {
        GTEST_SKIP() << m_unit.clockProblem();
    }
    ASSERT_TRUE(Ready());
    ASSERT_TRUE(m_near.WaitFor(peer::TYPE_CONNECT_REQ, 1000 * SLOW));
    for (int i = 2; i <= 3; ++i) {
        ASSERT_TRUE(m_unit.Advance(1000));
        ASSERT_TRUE(m_near.WaitFor(peer::TYPE_CONNECT_REQ, 1000 * SLOW)) << "request " << i << " a second later";
    }
    size_t from = m_unit.LineCount();
    ASSERT_TRUE(m_unit.Advance(1000));
    EXPECT_FALSE(m_near.WaitFor(peer::TYPE_CONNECT_REQ, QUIET_MS)) << "three requests make one attempt";
    EXPECT_FALSE(m_unit.Says("[W] connect timeout " + NEAR, 0, from)) << "given up before 3 s";

    ASSERT_TRUE(m_unit.Advance(2100));
    EXPECT_TRUE(m_unit.Says("[W] connect timeout " + NEAR, 1000 * SLOW, from));
    EXPECT_TRUE(m_unit.StatusIs(0, "connecting"));
    ASSERT_TRUE(m_unit.Advance(43000));
    EXPECT_FALSE(m_near.WaitFor(peer::TYPE_CONNECT_REQ, QUIET_MS)) << "the next attempt waits 45 s";
    ASSERT_TRUE(m_unit.Advance(2500));
    EXPECT_TRUE(m_near.WaitFor(peer::TYPE_CONNECT_REQ, 1000 * SLOW)) << "a new attempt 45 s after the time-out";

    m_near.SetAutoAck(true);
    EXPECT_TRUE(m_unit.Detected(NEAR, 2000 * SLOW));
}

TEST_F(PeerLink, KeepAliveEvery30SecondsHoldsTheLinkAndTwoMinutesOfSilenceDropIt)
{
    if (!m_unit.UseMovableClock()) {
        GTEST_SKIP() << m_unit.clockProblem();
    }
    ASSERT_TRUE(LinkUp());
    FromNow(m_near);
    ASSERT_TRUE(m_unit.Advance(29000));
    EXPECT_FALSE(m_near.WaitFor(peer::TYPE_CONNECT_REQ, 100)) << "no keep-alive before 30 s";
    ASSERT_TRUE(m_unit.Advance(2000));
    auto keepAlive = m_near.WaitFor(peer::TYPE_CONNECT_REQ, 1000 * SLOW);
    ASSERT_TRUE(keepAlive) << "keep-alive request after 30 s";
    EXPECT_TRUE(peer::IsConnectRequest(keepAlive->raw)) << Hex(keepAlive->raw);

    // Answered keep-alives hold the link well past the silence limit.
    size_t from = m_unit.LineCount();
    ASSERT_TRUE(m_unit.Advance(100000));
    EXPECT_GE(m_near.Count(peer::TYPE_CONNECT_REQ), 4u) << "one keep-alive every 30 s";
    EXPECT_FALSE(m_unit.Says("[W] target no response " + NEAR, 0, from));
    EXPECT_EQ(m_unit.Ask("status 0"), "connected\r\n");

    // The peer falls silent right after one last packet.
    m_near.SetAutoAck(false);
    ASSERT_TRUE(m_near.SendConnectAck());
    ASSERT_TRUE(m_unit.Says("Rx: connect ack " + NEAR, 1000 * SLOW, from));
    from = m_unit.LineCount();
    ASSERT_TRUE(m_unit.Advance(118000));
    EXPECT_FALSE(m_unit.Says("[W] target no response " + NEAR, 0, from)) << "dropped before 120 s of silence";
    EXPECT_EQ(m_unit.Ask("status 0"), "connected\r\n");
    ASSERT_TRUE(m_unit.Advance(3000));
    EXPECT_TRUE(m_unit.Says("[W] target no response " + NEAR, 1000 * SLOW, from));
    EXPECT_TRUE(m_unit.StatusIs(0, "connecting"));
    EXPECT_EQ(m_unit.Ask("status 1"), "connected\r\n") << "the far peer kept answering";

    // Once it answers again it is linked again.
    m_near.SetAutoAck(true);
    EXPECT_TRUE(m_unit.Detected(NEAR, 2000 * SLOW, from));
    EXPECT_TRUE(m_unit.StatusIs(0, "connected"));
}

TEST_F(PeerLink, RadioVoiceGoesToEveryPeerWhoseTableAdmitsItInOrderAsOneMessage)
{
    nearId.Admit(CODE);
    farId.Admit(OTHER_CODE);
    ASSERT_TRUE(LinkUp());
    PeersFromNow();
    sim::Transmission first = Talk('G', CODE, 0x0100);
    ASSERT_TRUE(m_unit.radio().SendTransmission(first));
    std::vector<peer::Voice> atNear = ExpectHeard(m_near, first, 0);
    EXPECT_TRUE(VoiceAt(m_far, 1, QUIET_MS).empty()) << "the far peer's table does not admit the code";
    ASSERT_FALSE(atNear.empty());

    // Code 127 passes every table; channel B; the next message number.
    sim::Transmission all = Talk('g', 127, 0x0200);
    ASSERT_TRUE(m_unit.radio().SendTransmission(all));
    std::vector<peer::Voice> allNear = ExpectHeard(m_near, all, 1);
    ExpectHeard(m_far, all, 1);
    if (!allNear.empty()) {
        EXPECT_EQ(allNear.front().header.msgId, atNear.front().header.msgId + 1);
    }

    // The far peer's code goes to it alone.
    sim::Transmission other = Talk('G', OTHER_CODE, 0x0300);
    ASSERT_TRUE(m_unit.radio().SendTransmission(other));
    ExpectHeard(m_far, other, 0);
    EXPECT_TRUE(VoiceAt(m_near, 1, QUIET_MS).empty());

    // Voice nobody admits goes nowhere, and the radio hears status 1 for it.
    m_unit.RadioFromNow();
    ASSERT_TRUE(m_unit.radio().SendTransmission(Talk('G', NOBODYS_CODE, 0x0400, 2)));
    EXPECT_EQ(m_unit.RadioNotice(1000 * SLOW), '1');
    EXPECT_TRUE(VoiceAt(m_near, 1, QUIET_MS).empty());
    EXPECT_TRUE(VoiceAt(m_far, 1, 0).empty());
}

TEST_F(PeerLink, GroupVoiceTeachesItsCodeToEveryTableThatAdmitsItsGroup)
{
    constexpr int GROUP = 9;
    constexpr int TAUGHT = 20;
    nearId.Admit(GROUP);
    farId.Admit(CODE);
    ASSERT_TRUE(LinkUp());
    PeersFromNow();
    size_t nearMark = m_near.cursor();
    size_t farMark = m_far.cursor();
    sim::Transmission grouped = Talk('G', TAUGHT, 0x0100, 3, "09");
    ASSERT_TRUE(m_unit.radio().SendTransmission(grouped));
    ExpectHeard(m_near, grouped, 0);
    EXPECT_TRUE(VoiceAt(m_far, 1, QUIET_MS).empty()) << "the far table admits neither the group nor the code";

    // The unit's own table learnt the code and tells every linked target (amid the voice, so from the mark).
    m_near.SetCursor(nearMark);
    m_far.SetCursor(farMark);
    peer::Identity taught;
    taught.table = m_unit.table.code;
    taught.Admit(TAUGHT);
    for (PeerSim* p : {&m_near, &m_far}) {
        auto ack = p->WaitFor(peer::TYPE_CONNECT_ACK, 1000 * SLOW);
        ASSERT_TRUE(ack) << "the new table is announced to " << (p == &m_near ? NEAR : FAR);
        auto told = peer::DecodeAck(ack->raw);
        ASSERT_TRUE(told) << Hex(ack->raw);
        EXPECT_EQ(TableText(told->table), TableText(taught.table));
    }

    // The near table learnt it too: the code alone now reaches the near peer, and still not the far one.
    PeersFromNow();
    sim::Transmission plain = Talk('G', TAUGHT, 0x0200, 3);
    ASSERT_TRUE(m_unit.radio().SendTransmission(plain));
    ExpectHeard(m_near, plain, 0);
    EXPECT_TRUE(VoiceAt(m_far, 1, QUIET_MS).empty());
}

TEST_F(PeerLink, PeerVoiceReachesTheRadioInOrderOnItsChannelAndOnlyForAdmittedCodes)
{
    ASSERT_TRUE(LinkUp());
    m_unit.RadioFromNow();
    sim::Transmission back = Talk('g', CODE, 0x0700);
    std::vector<std::string> areas = sim::RadioSim::TransmissionParams(back);
    ASSERT_TRUE(m_near.SendTransmission(back, 0x0033, 5000));
    ExpectAreas(m_unit.RadioVoice(areas.size(), 2000 * SLOW), areas, 'f');
    EXPECT_TRUE(m_unit.Says("OCCUPY " + NEAR, 1000 * SLOW));

    ASSERT_TRUE(m_near.SendTransmission(Talk('G', OTHER_CODE, 0x0800, 2), 0x0034));
    EXPECT_TRUE(m_unit.RadioVoice(1, QUIET_MS).empty()) << "the unit's own table does not admit the code";

    // Code 127, and a code of a group the own table admits, pass.
    for (const sim::Transmission& t : {Talk('G', 127, 0x0900, 2), Talk('G', 40, 0x0A00, 2, "05")}) {
        SCOPED_TRACE(t.code);
        ASSERT_TRUE(m_near.SendTransmission(t, static_cast<uint16_t>(t.counter >> 8)));
        ExpectAreas(m_unit.RadioVoice(sim::RadioSim::TransmissionParams(t).size(), 2000 * SLOW),
                    sim::RadioSim::TransmissionParams(t), 'F');
    }

    // Malformed packets inside a message are dropped; the rest of it arrives whole.
    areas = TalkAreas('G', CODE, 0x0B00, 3);
    peer::Bytes overlong = peer::VoicePacket(0, 0x0B, 0, areas[2]);
    overlong[1] = static_cast<uint8_t>(overlong[1] + 1);  // one byte more than came
    peer::Bytes tooShort = peer::VoicePacket(0, 0x0B, 0, areas[2].substr(0, peer::MIN_VOICE_AREA - 1));
    size_t from = m_unit.LineCount();
    ASSERT_TRUE(SendAreas(m_near, {areas[0], areas[1]}, 0x0B));
    ASSERT_TRUE(m_near.Send(overlong));
    ASSERT_TRUE(m_near.Send(tooShort));
    ASSERT_TRUE(SendAreas(m_near, {areas.begin() + 2, areas.end()}, 0x0B));
    ExpectAreas(m_unit.RadioVoice(areas.size(), 2000 * SLOW), areas, 'F');
    EXPECT_TRUE(m_unit.RadioVoice(1, QUIET_MS).empty());
    EXPECT_TRUE(m_unit.Says("[W] invalid param length", 1000 * SLOW, from));
}

TEST_F(PeerLink, SecondPeerIsIgnoredUntilTheFirstEndsOrFallsSilent)
{
    ASSERT_TRUE(LinkUp());
    m_unit.RadioFromNow();
    std::vector<std::string> nearTalk = TalkAreas('G', CODE, 0x0100);
    std::vector<std::string> start(nearTalk.begin(), nearTalk.begin() + 4);
    std::vector<std::string> rest(nearTalk.begin() + 4, nearTalk.end());
    ExpectPassed(m_near, start, 1);
    EXPECT_TRUE(m_unit.Says("OCCUPY " + NEAR, 1000 * SLOW));

    size_t from = m_unit.LineCount();
    ASSERT_TRUE(m_far.SendTransmission(Talk('G', CODE, 0x0200, 2), 2));
    EXPECT_TRUE(m_unit.RadioVoice(1, QUIET_MS).empty()) << "the line is the near peer's";
    EXPECT_FALSE(m_unit.process().WaitForLine("cannot take queue", 0, from))
        << "a peer off the line is dropped silently, before it asks for the radio queue";
    ExpectPassed(m_near, rest, 1);

    // The end frame freed the line.
    from = m_unit.LineCount();
    ExpectPassed(m_far, TalkAreas('G', CODE, 0x0300), 3);
    EXPECT_TRUE(m_unit.Says("OCCUPY " + FAR, 1000 * SLOW, from));

    // The far peer stops without an end frame: the line is its own for one second more.
    std::vector<std::string> cut = TalkAreas('G', CODE, 0x0400);
    cut.resize(3);
    from = m_unit.LineCount();
    ExpectPassed(m_far, cut, 4);
    ASSERT_TRUE(m_near.SendTransmission(Talk('G', CODE, 0x0500, 2), 5));
    EXPECT_TRUE(m_unit.RadioVoice(1, QUIET_MS).empty()) << "the line is still the far peer's";
    EXPECT_TRUE(m_unit.Says("RELASE timeout", 2000 * SLOW, from));
    std::this_thread::sleep_for(200ms);  // the radio queue is let go about as the line is
    ExpectPassed(m_near, TalkAreas('G', CODE, 0x0600), 6);
}

TEST_F(PeerLink, RadioStatusGoesToThePeerOnTheLineAndPeerStatusToTheRadio)
{
    ASSERT_TRUE(LinkUp());
    PeersFromNow();
    ASSERT_TRUE(m_unit.RadioReports('5'));
    EXPECT_FALSE(m_near.WaitFor(peer::TYPE_STATUS, QUIET_MS)) << "nobody is on the line";

    std::vector<std::string> talk = TalkAreas('G', CODE, 0x0100, 2);
    m_unit.RadioFromNow();
    ASSERT_TRUE(SendAreas(m_near, {talk.begin(), talk.end() - 1}, 1));
    ASSERT_EQ(m_unit.RadioVoice(talk.size() - 1, 2000 * SLOW).size(), talk.size() - 1);
    uint16_t expectedId = 1;
    for (char stat : {'6', '7'}) {
        ASSERT_TRUE(m_unit.RadioReports(stat));
        auto notice = m_near.WaitFor(peer::TYPE_STATUS, 1000 * SLOW);
        ASSERT_TRUE(notice) << "status " << stat;
        auto status = peer::DecodeStatus(notice->raw);
        ASSERT_TRUE(status) << Hex(notice->raw);
        EXPECT_EQ(status->status, stat - '0');
        EXPECT_EQ(status->msgId, expectedId++);
        EXPECT_EQ(notice->fromAddress, UNIT_ADDRESS);
    }
    EXPECT_FALSE(m_far.WaitFor(peer::TYPE_STATUS, 0)) << "only the peer on the line hears it";
    ASSERT_TRUE(SendAreas(m_near, {talk.back()}, 1));

    // A peer's status reaches the radio with the next status notice; a status 2 is told as 0.
    m_unit.RadioFromNow();
    ASSERT_TRUE(m_far.SendStatus(9, 6));
    EXPECT_EQ(m_unit.RadioNotice(1500 * SLOW), '6');
    ASSERT_TRUE(m_far.SendStatus(10, 2));
    EXPECT_EQ(m_unit.RadioNotice(1500 * SLOW), '0');
    peer::Bytes cut = peer::StatusNoticePacket(11, 5);
    cut.pop_back();
    ASSERT_TRUE(m_far.Send(cut));
    EXPECT_TRUE(m_unit.Says("[W] invalid data length 23 (status)", 1000 * SLOW));
    EXPECT_FALSE(m_unit.RadioNotice(QUIET_MS));
}

TEST_F(PeerLink, SearchAsksEveryLinkedTargetAgainAndListsOnlyThoseThatAnswer)
{
    if (!m_unit.UseMovableClock()) {
        GTEST_SKIP() << m_unit.clockProblem();
    }
    nearId.Admit(CODE);
    ASSERT_TRUE(LinkUp());
    PeersFromNow();
    m_far.SetAutoAck(false);
    size_t from = m_unit.LineCount();
    ASSERT_EQ(m_unit.Ask("search"), "OK\r\n");
    EXPECT_TRUE(m_near.WaitFor(peer::TYPE_CONNECT_REQ, 1000 * SLOW)) << "the probe asks at once";
    ASSERT_TRUE(m_far.WaitFor(peer::TYPE_CONNECT_REQ, 1000 * SLOW));
    EXPECT_EQ(m_unit.Ask("searchres"), "searchres BUSY\r\n") << "the far peer has not answered";
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(m_unit.Advance(1000));
        ASSERT_TRUE(m_far.WaitFor(peer::TYPE_CONNECT_REQ, 1000 * SLOW)) << "request " << i + 2;
    }
    ASSERT_TRUE(m_unit.Advance(3100));
    EXPECT_TRUE(m_unit.Says("[W] connect timeout " + FAR, 1000 * SLOW, from));
    EXPECT_TRUE(m_unit.Says("[W] target lost " + FAR, 1000 * SLOW, from));
    EXPECT_TRUE(m_unit.StatusIs(1, "connecting"));
    EXPECT_EQ(m_unit.Ask("status 0"), "connected\r\n");

    std::string expected = "searchres OK target=" + NEAR +
                           " vers=01040400 mac=02:00:00:00:00:02 callsign=\"PEERN00002\" radioid=\"22222\" sctbl=" +
                           TableText(nearId.table) + " listsrv=0 loc_dgid=33 def_dgid=44\r\nsearchres END\r\n";
    EXPECT_EQ(m_unit.Ask("searchres", "searchres END"), expected);
}

// Samples a LED every 5 ms while `during` runs and afterMs longer: true lit, false dark.
std::vector<bool> SampleLed(const sim::SimBoard& board, const std::function<void()>& during, int afterMs)
{
    std::atomic<bool> stop{false};
    std::vector<bool> samples;
    std::thread sampler([&] {
        while (!stop) {
            std::string value = board.GpioValue(sim::SimBoard::COMM_LED_GPIO);
            if (!value.empty() && (value[0] == '0' || value[0] == '1')) {
                samples.push_back(value[0] == '0');  // the line is active low
            }
            std::this_thread::sleep_for(5ms);
        }
    });
    during();
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    stop = true;
    sampler.join();
    return samples;
}

TEST_F(PeerLink, CommunicationLedFlickersOnlyWhileVoiceGoesToALinkedPeer)
{
    ASSERT_TRUE(Ready());
    ASSERT_TRUE(m_unit.StatusIs(0, "connecting"));
    ASSERT_TRUE(Eventually([&] { return m_unit.board().LedLit(sim::SimBoard::COMM_LED_GPIO); }, 1000 * SLOW));
    auto alone = SampleLed(
        m_unit.board(), [&] { m_unit.radio().SendTransmission(Talk('G', CODE, 0x0100, 15)); }, 200);
    ASSERT_FALSE(alone.empty());
    EXPECT_EQ(std::count(alone.begin(), alone.end(), false), 0) << "steady light: the voice went to nobody";

    m_near.SetIdentity(nearId);
    m_near.SetAutoAck(true);
    ASSERT_TRUE(m_unit.Detected(NEAR, 2000 * SLOW));
    auto linked = SampleLed(
        m_unit.board(), [&] { m_unit.radio().SendTransmission(Talk('G', CODE, 0x0200, 15)); }, 600);
    ASSERT_FALSE(linked.empty());
    EXPECT_GT(std::count(linked.begin(), linked.end(), false), 0) << "the LED flickers while voice goes out";
    EXPECT_TRUE(linked.back()) << "steady light again once the voice stopped";
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
        auto alone = SampleLed(
            a.board(), [&] { a.radio().SendTransmission(Talk('G', CODE, 0x0400, 15)); }, 200);
        EXPECT_EQ(std::count(alone.begin(), alone.end(), false), 0) << "steady light: the voice went to nobody";
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
TEST(PeerLab, ThreeUnitsOnOneSegmentLinkUpRelayEachWayAndLinkARestartedUnitAgain)
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
    ExpectRelayed(*units[2], *units[0], Talk('g', CODE, 0x0900));

    // The last unit, killed and started again, links to both others and is heard again.
    units[N - 1]->Kill();
    ASSERT_TRUE(units[N - 1]->Start(&lab, N - 1));
    ASSERT_TRUE(units[N - 1]->MakeReady());
    for (int j = 0; j < N - 1; ++j) {
        ASSERT_TRUE(units[N - 1]->Detected(sim::NetLab::Address(j), 3000 * SLOW)) << "restarted unit sees " << j;
        EXPECT_TRUE(units[N - 1]->StatusIs(j, "connected"));
    }
    ExpectRelayed(*units[N - 1], *units[1], Talk('G', CODE, 0x0A00));
}

}  // namespace
