// demo: the two-unit exchange and a recording played back (see demo.h). The
// steps run in a fixed order, each with a bounded wait; the first one that
// fails ends the run with its reason. The frames are judged by relay_check
// against what the harness's radios actually wrote and read, never by the
// units' own account; the units' lines only annotate the timeline.
#include "demo.h"

#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "board_root.h"
#include "loopnet.h"
#include "radio_sim.h"
#include "relay_check.h"
#include "sim_board.h"
#include "sim_unit.h"
#include "timeline.h"

namespace kovasim {

namespace {

constexpr int TARGET_INDEX = 1;
constexpr const char* LOOPBACK = "127.0.0.1";
constexpr int LINK_MS = 4000;  // both units connected after both are ready
constexpr int POLL_MS = 100;
constexpr int ARRIVAL_MS = 2000;  // the end frame at the far radio after it was sent
constexpr int SETTLE_MS = 400;    // between the two transmissions
// Before the last look: a unit's communication LED flickers for three to
// four 100 ms ticks after the last frame it sent and is then steady again.
constexpr int LAST_LOOK_MS = 700;
constexpr size_t PAYLOAD_SIZE = 40;
constexpr size_t TAIL_LINES = 15;
// The recording: radio A records into this slot (two hex digits on the
// line, "0C") and asks for it back on channel A.
constexpr int REC_SLOT = 12;
constexpr uint16_t REC_COUNTER = 0x0300;
constexpr int REC_VOICE_FRAMES = 4;
constexpr int ANSWER_MS = 2000;  // the unit's 'R' or 'L' answer after the request

struct Side {
    std::string name;
    sim::SimBoard board;
    RootSettings settings;
    std::unique_ptr<SimUnit> unit;
    std::string lastStatus;  // the latest reply to "status 1"
};

// What one transmission did.
struct Direction {
    std::string label;  // "A -> B"
    size_t sent = 0;
    RelayReport report;
};

// What the recording and its playback did.
struct Playback {
    std::string label;                // "A's recording in slot 12"
    std::vector<SentFrame> recorded;  // the 'R' frames as the radio wrote them
    bool played = false;              // the unit took the play request; report and offsets hold
    RelayReport report;               // the 'F' frames that came back against the recorded ones
    std::vector<PlayedOffset> offsets;
};

using Note = std::function<std::string(const RelayedFrame&)>;

std::string Fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

// Two distinct free UDP ports of 127.0.0.1.
bool PickPorts(int* p, int* q)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        *p = loopnet::FreePort(SOCK_DGRAM);
        *q = loopnet::FreePort(SOCK_DGRAM);
        if (*p != 0 && *q != 0 && *p != *q) {
            return true;
        }
    }
    return false;
}

class Demo {
   public:
    Demo(const DemoOptions& options, std::ostream& out, const std::atomic<bool>& stop)
        : m_options(options), m_out(out), m_stop(stop), m_start(Clock::now()), m_timeline(m_start)
    {
    }
    int Run();

   private:
    bool Step(bool ok, const std::string& why);
    bool Prepare();
    bool StartUnits();
    bool Link();
    void Snapshot(const std::string& label);
    std::string StatusOf(Side& side);
    Direction Exchange(Side& from, Side& to, uint16_t counter);
    void Transmit(Side& from, const std::vector<std::string>& params, std::vector<SentFrame>* sent);
    void AddArrivals(const std::string& who, const std::vector<sim::radio::Frame>& frames, const RelayReport& report,
                     const std::vector<SentFrame>& sent, const Note& note);
    bool Record(Side& side, Playback* p);
    bool Play(Side& side, Playback* p);
    bool Answer(Side& side, size_t mark, char command, const std::string& request);
    void StopUnits();
    void Finish(const std::vector<Direction>& directions, const Playback& playback);
    void PrintDirection(const Direction& d);
    void PrintPlayback(const Playback& p);

    const DemoOptions& m_options;
    std::ostream& m_out;
    const std::atomic<bool>& m_stop;
    Clock::time_point m_start;
    Timeline m_timeline;
    Side m_a;
    Side m_b;
    std::vector<std::string> m_snapshots;
    std::vector<std::string> m_failures;
    std::string m_tails;  // the units' last lines when a step failed
};

bool Demo::Step(bool ok, const std::string& why)
{
    if (m_stop) {
        m_failures.push_back("interrupted");
        return false;
    }
    if (!ok) {
        m_failures.push_back(why);
    }
    return ok;
}

bool Demo::Prepare()
{
    int p = 0;
    int q = 0;
    if (!PickPorts(&p, &q)) {
        m_failures.push_back("no two free UDP ports on 127.0.0.1");
        return false;
    }
    m_a.name.assign(1, 'A');  // assign(): GCC 12 at -O3 misreports operator= from a literal (-Wrestrict)
    m_b.name.assign(1, 'B');
    m_a.settings.rxPort = m_b.settings.txPort = p;
    m_a.settings.txPort = m_b.settings.rxPort = q;
    m_a.settings.mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0A};
    m_b.settings.mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0B};
    for (Side* side : {&m_a, &m_b}) {
        side->settings.targets = {{TARGET_INDEX, LOOPBACK, true}};
        ApplySettings(side->board, side->settings);
        m_out << "  unit " << side->name << ": board " << side->board.root() << ", receives on UDP "
              << side->settings.rxPort << ", sends to " << side->settings.txPort << ", target " << TARGET_INDEX << " = "
              << LOOPBACK << "\n";
    }
    m_out << "  both radios admit code " << m_options.code << "; a transmission is a header, an identification, "
          << m_options.voiceFrames << " voice frames and an end, " << m_options.spacingMs << " ms apart\n"
          << "  then radio A records an identification, " << REC_VOICE_FRAMES << " voice frames and an end into slot "
          << REC_SLOT << " and has unit A play them back on channel A\n\n";
    m_out.flush();  // the timeline follows at the end
    return true;
}

bool Demo::StartUnits()
{
    for (Side* side : {&m_a, &m_b}) {
        SimUnitSetup setup;
        setup.name = side->name;
        setup.root = side->board.root();
        setup.binary = m_options.binary;
        setup.radioDevice = DeviceName(side->settings.commPort);
        setup.consoleDevice = DeviceName(side->settings.usbPort);
        setup.slow = m_options.slow;
        side->unit = std::make_unique<SimUnit>(setup);
        std::string why;
        if (!Step(side->unit->Start(&why), why)) {
            return false;
        }
        m_timeline.Add("demo", "unit " + side->name + " runs (pid " + std::to_string(side->unit->process().pid()) +
                                   "), radio and console plugged in");
    }
    return true;
}

std::string Demo::StatusOf(Side& side)
{
    auto reply = side.unit->Command("status " + std::to_string(TARGET_INDEX));
    std::string word = reply ? *reply : "(no reply)";
    if (word != side.lastStatus) {
        m_timeline.Add("console " + side.name, "status " + std::to_string(TARGET_INDEX) + " -> " + word);
        side.lastStatus = word;
    }
    return word;
}

void Demo::Snapshot(const std::string& label)
{
    std::string a = StatusOf(m_a);
    std::string b = StatusOf(m_b);
    std::string text = label + ": status " + std::to_string(TARGET_INDEX) + " " + a + " on A, " + b + " on B; LEDs A " +
                       LedWatch::State(m_a.board) + " | B " + LedWatch::State(m_b.board);
    m_timeline.Add("check", text);
    m_snapshots.push_back(text);
}

bool Demo::Link()
{
    sim::radio::CodeTable table;
    table.Admit(m_options.code);
    for (Side* side : {&m_a, &m_b}) {
        std::string why;
        m_timeline.Add("radio " + side->name, "identifies itself ('V', then its code table 'I')");
        if (!Step(side->unit->Identify(table, &why), why)) {
            return false;
        }
    }
    for (Side* side : {&m_a, &m_b}) {
        std::string why;
        if (!Step(side->unit->WaitReady(&why), why)) {
            return false;
        }
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(LINK_MS * m_options.slow);
    while (!m_stop) {
        bool linked = StatusOf(m_a) == "connected";
        linked = StatusOf(m_b) == "connected" && linked;
        if (linked) {
            return true;
        }
        if (Clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
    }
    return Step(false, "the units did not link within " + Fixed(LINK_MS * m_options.slow / 1000.0, 1) + " s: status " +
                           std::to_string(TARGET_INDEX) + " is '" + m_a.lastStatus + "' on A and '" + m_b.lastStatus +
                           "' on B");
}

void Demo::Transmit(Side& from, const std::vector<std::string>& params, std::vector<SentFrame>* sent)
{
    for (size_t i = 0; i < params.size(); ++i) {
        if (i != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(m_options.spacingMs));
        }
        SentFrame frame{'G', params[i], Clock::now()};
        bool ok = from.unit->radio().SendFrame(frame.command, frame.param);
        m_timeline.Add(frame.sent, "radio " + from.name,
                       std::string(ok ? "sends G " : "could not send G ") + DescribeVoice(frame.param));
        sent->push_back(frame);
    }
}

// A timeline line for every 'F'/'f' frame; `note` adds to the line of one
// the report matched to a sent frame.
void Demo::AddArrivals(const std::string& who, const std::vector<sim::radio::Frame>& frames, const RelayReport& report,
                       const std::vector<SentFrame>& sent, const Note& note)
{
    for (const sim::radio::Frame& f : frames) {
        if (f.command != 'F' && f.command != 'f') {
            continue;
        }
        std::string text = std::string("gets ") + f.command + " " + DescribeVoice(f.param);
        for (const RelayedFrame& r : report.frames) {
            if (r.arrived && r.arrival == f.arrival && sent[r.sentIndex].param == f.param) {
                text += note(r);
            }
        }
        m_timeline.Add(f.arrival, who, text);
    }
}

Direction Demo::Exchange(Side& from, Side& to, uint16_t counter)
{
    Direction d;
    d.label = from.name + " -> " + to.name;
    sim::Transmission t;
    t.command = 'G';
    t.code = m_options.code;
    t.counter = counter;
    t.voiceFrames = m_options.voiceFrames;
    t.payloadSize = PAYLOAD_SIZE;
    std::vector<std::string> params = sim::RadioSim::TransmissionParams(t);
    size_t mark = to.unit->radio().FrameCount();

    std::vector<SentFrame> sent;
    std::thread sender(&Demo::Transmit, this, std::ref(from), std::cref(params), &sent);
    std::this_thread::sleep_for(std::chrono::milliseconds(m_options.spacingMs * static_cast<int>(params.size()) / 2));
    Snapshot("during " + from.name + "'s transmission");
    sender.join();

    // Done when the far radio has the end frame (or the wait is over).
    to.unit->radio().SetCursor(mark);
    const std::string& last = params.back();
    to.unit->radio().WaitFor([&](const sim::radio::Frame& f) { return f.param == last; }, ARRIVAL_MS * m_options.slow);
    std::vector<sim::radio::Frame> received = to.unit->radio().FramesSince(mark);
    d.sent = sent.size();
    d.report = CheckRelay(sent, received);
    AddArrivals("radio " + to.name, received, d.report, sent,
                [](const RelayedFrame& r) { return ", " + Fixed(r.latencyUs / 1000.0, 2) + " ms after it was sent"; });
    return d;
}

// The unit's answer to the radio's request: the first `command` frame after
// `mark`, which must name the slot with result '0'.
bool Demo::Answer(Side& side, size_t mark, char command, const std::string& request)
{
    sim::RadioSim& radio = side.unit->radio();
    radio.SetCursor(mark);
    std::string letter(1, command);
    auto frame = radio.WaitFor(command, ANSWER_MS * m_options.slow);
    if (!frame) {
        return Step(false, "radio " + side.name + " got no '" + letter + "' answer to " + request + " within " +
                               Fixed(ANSWER_MS * m_options.slow / 1000.0, 1) + " s");
    }
    auto answer =
        command == 'R' ? sim::radio::ParseRecordAnswer(frame->param) : sim::radio::ParsePlayAnswer(frame->param);
    std::string shown = letter + " '" + frame->param + "'";
    if (!answer) {
        m_timeline.Add(frame->arrival, "radio " + side.name, "gets " + shown + ", which is no answer");
        return Step(false, "unit " + side.name + " answered " + request + " with the unreadable " + shown);
    }
    bool ok = answer->slot == REC_SLOT && answer->result == '0';
    std::string meaning = command == 'R' ? (answer->result == '0' ? "recorded" : "not recorded")
                                         : (answer->result == '0' ? "accepted, playing on channel A" : "refused");
    m_timeline.Add(frame->arrival, "radio " + side.name,
                   "gets answer " + shown + ": slot " + std::to_string(answer->slot) + " " + meaning);
    return Step(ok, "unit " + side.name + " answered " + request + " with " + shown + " (slot " +
                        std::to_string(answer->slot) + ", result '" + std::string(1, answer->result) + "')");
}

// The radio sends a short recording as 'R' frames, spaced as a radio sends
// voice, and the unit must answer that the slot was recorded.
bool Demo::Record(Side& side, Playback* p)
{
    sim::Recording r;
    r.slot = REC_SLOT;
    r.code = m_options.code;
    r.counter = REC_COUNTER;
    r.voiceFrames = REC_VOICE_FRAMES;
    r.payloadSize = PAYLOAD_SIZE;
    std::vector<std::string> params = sim::RadioSim::RecordingParams(r);
    sim::RadioSim& radio = side.unit->radio();
    size_t mark = radio.FrameCount();
    std::string slot = "slot " + std::to_string(REC_SLOT);
    for (size_t i = 0; i < params.size(); ++i) {
        if (i != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(m_options.spacingMs));
        }
        SentFrame frame{'R', params[i], Clock::now()};
        if (!radio.SendFrame(frame.command, frame.param)) {
            m_timeline.Add(frame.sent, "radio " + side.name, "could not send R " + DescribeVoice(frame.param));
            return Step(false, "radio " + side.name + " could not send its recording");
        }
        double at = p->recorded.empty() ? 0.0 : m_timeline.Ms(frame.sent) - m_timeline.Ms(p->recorded[0].sent);
        m_timeline.Add(frame.sent, "radio " + side.name,
                       "sends R " + DescribeVoice(frame.param) + " for " + slot + ", at +" + Fixed(at, 1) + " ms");
        p->recorded.push_back(frame);
    }
    return Answer(side, mark, 'R', "the recording of " + slot);
}

// The radio asks for the slot on channel A; once the unit took the request
// every recorded frame must come back as 'F', in order, with its spacing.
bool Demo::Play(Side& side, Playback* p)
{
    sim::RadioSim& radio = side.unit->radio();
    size_t mark = radio.FrameCount();
    std::string slot = "slot " + std::to_string(REC_SLOT);
    m_timeline.Add("radio " + side.name,
                   "asks to play " + slot + " on channel A (L '" + sim::radio::PlayParam(REC_SLOT) + "')");
    if (!Step(radio.SendPlay(REC_SLOT, 'L'), "radio " + side.name + " could not send its play request")) {
        return false;
    }
    if (!Answer(side, mark, 'L', "the play request for " + slot)) {
        return false;
    }
    const std::string& last = p->recorded.back().param;
    int waitMs = (ARRIVAL_MS + m_options.spacingMs * static_cast<int>(p->recorded.size())) * m_options.slow;
    radio.WaitFor([&](const sim::radio::Frame& f) { return f.command == 'F' && f.param == last; }, waitMs);
    std::vector<sim::radio::Frame> received = radio.FramesSince(mark);
    p->played = true;
    p->report = CheckRelay(p->recorded, received);
    p->offsets = PlaybackOffsets(p->recorded, p->report);
    AddArrivals("radio " + side.name, received, p->report, p->recorded, [&](const RelayedFrame& r) {
        for (const PlayedOffset& o : p->offsets) {
            if (o.sentIndex == r.sentIndex) {
                return " from " + slot + ", at +" + Fixed(o.playedMs, 1) + " ms (recorded at +" +
                       Fixed(o.recordedMs, 1) + " ms)";
            }
        }
        return std::string();
    });
    if (!p->report.ok()) {
        return false;  // its problems join the failures at the end
    }
    return Step(true, "");
}

void Demo::StopUnits()
{
    for (Side* side : {&m_a, &m_b}) {
        if (!side->unit || !side->unit->process().running()) {
            continue;
        }
        sim::UnitExit exit = side->unit->Stop();
        std::string how = DescribeExit(exit);
        m_timeline.Add("demo", "unit " + side->name + " stopped with SIGTERM: " + how + " after " +
                                   std::to_string(exit.elapsedMs) + " ms");
        if (!CleanExit(exit)) {
            m_failures.push_back("unit " + side->name + " did not stop cleanly (" + how + ")");
        }
    }
}

void Demo::PrintDirection(const Direction& d)
{
    const RelayReport& r = d.report;
    m_out << "  " << d.label << ": " << d.sent << " frames sent, " << r.frames.size()
          << " to relay (the identification takes the header's place), " << r.arrivedCount() << " arrived"
          << (r.ok() ? " in order" : "");
    long lo = -1, hi = -1, sum = 0, n = 0;
    for (const RelayedFrame& f : r.frames) {
        if (f.arrived) {
            lo = lo < 0 ? f.latencyUs : std::min(lo, f.latencyUs);
            hi = std::max(hi, f.latencyUs);
            sum += f.latencyUs;
            ++n;
        }
    }
    if (n > 0) {
        m_out << "; latency min " << Fixed(lo / 1000.0, 2) << ", mean " << Fixed(sum / 1000.0 / n, 2) << ", max "
              << Fixed(hi / 1000.0, 2) << " ms";
    }
    m_out << "\n";
    for (const std::string& problem : r.problems) {
        m_out << "    " << problem << "\n";
    }
}

void Demo::PrintPlayback(const Playback& p)
{
    m_out << "  " << p.label << ": " << p.recorded.size() << " frames recorded";
    if (!p.played) {
        m_out << ", not played back\n";
        return;
    }
    m_out << ", " << p.report.arrivedCount() << " played back" << (p.report.ok() ? " in order" : "") << " as 'F'";
    double worst = -1;
    for (const PlayedOffset& o : p.offsets) {
        worst = std::max(worst, std::fabs(o.playedMs - o.recordedMs));
    }
    if (worst >= 0) {
        m_out << "; each within " << Fixed(worst, 1) << " ms of its recorded offset";
    }
    m_out << "\n";
    for (const std::string& problem : p.report.problems) {
        m_out << "    " << problem << "\n";
    }
}

void Demo::Finish(const std::vector<Direction>& directions, const Playback& playback)
{
    m_out << m_timeline.Render() << "\n";
    if (!m_snapshots.empty()) {
        m_out << "What the consoles and LEDs showed:\n";
        for (const std::string& s : m_snapshots) {
            m_out << "  " << s << "\n";
        }
        m_out << "\n";
    }
    if (!directions.empty()) {
        m_out << "Frames:\n";
        for (const Direction& d : directions) {
            PrintDirection(d);
        }
        if (!playback.recorded.empty()) {
            PrintPlayback(playback);
        }
        m_out << "\n";
    }
    double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    if (m_failures.empty()) {
        m_out << "demo passed: every frame arrived in order, both ways and played back (" << Fixed(seconds, 1)
              << " s)\n";
        return;
    }
    m_out << "demo FAILED (" << Fixed(seconds, 1) << " s):\n";
    for (const std::string& f : m_failures) {
        m_out << "  " << f << "\n";
    }
    m_out << m_tails;
}

int Demo::Run()
{
    m_out << "kovasim demo: two simulated units linked over loopback\n";
    std::vector<Direction> directions;
    Playback playback;
    playback.label = "A's recording in slot " + std::to_string(REC_SLOT);
    if (!Prepare()) {
        Finish(directions, playback);
        return 1;
    }
    LedWatch leds(m_timeline, {{"A", &m_a.board}, {"B", &m_b.board}});
    bool ok = StartUnits();
    if (ok) {
        leds.Start();
        Snapshot("before the radios speak");
        ok = Link();
    }
    if (ok) {
        Snapshot("linked, before the exchange");
        directions.push_back(Exchange(m_a, m_b, 0x0100));
        std::this_thread::sleep_for(std::chrono::milliseconds(SETTLE_MS));
        ok = Step(true, "");
    }
    if (ok) {
        directions.push_back(Exchange(m_b, m_a, 0x0200));
        std::this_thread::sleep_for(std::chrono::milliseconds(LAST_LOOK_MS * m_options.slow));
        Snapshot("after the exchange");
        ok = Step(true, "");
    }
    if (ok) {
        ok = Record(m_a, &playback) && Play(m_a, &playback);
    }
    leds.Stop();
    StopUnits();
    for (const Direction& d : directions) {
        for (const std::string& problem : d.report.problems) {
            m_failures.push_back(d.label + ": " + problem);
        }
    }
    for (const std::string& problem : playback.report.problems) {
        m_failures.push_back(playback.label + ": " + problem);
    }
    for (Side* side : {&m_a, &m_b}) {
        if (side->unit) {
            m_timeline.AddUnitLines("unit " + side->name, side->unit->process().Lines(), m_options.verbose);
            if (!ok) {
                m_tails += "Last lines of unit " + side->name + ":\n" + side->unit->OutputTail(TAIL_LINES);
            }
            side->unit.reset();  // its cables out of the root before a copy is kept
        }
    }
    std::string why;
    if (!m_options.keepDir.empty()) {
        bool kept = CopyRoot(m_a.board.root(), m_options.keepDir + "/A", &why) &&
                    CopyRoot(m_b.board.root(), m_options.keepDir + "/B", &why);
        m_out << (kept ? "board roots kept in " + m_options.keepDir + "/A and /B\n" : why + "\n");
    }
    Finish(directions, playback);
    return m_failures.empty() ? 0 : 1;
}

}  // namespace

int RunDemo(const DemoOptions& options, std::ostream& out, const std::atomic<bool>& stop)
{
    try {
        Demo demo(options, out, stop);
        return demo.Run();
    } catch (const std::exception& e) {
        out << "demo FAILED: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace kovasim
