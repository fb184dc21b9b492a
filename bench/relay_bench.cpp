// How fast, and at what cost, the kovalan daemon relays voice between its
// radio and its peers, measured on simulated boards in one run:
//  - radio to peer: a whole 'G' frame written to the radio pty until the peer
//    has the voice datagram; peer to radio: the datagram sent until the 'F'
//    frame has been read whole from the pty; p50, p99 and max of each, for a
//    unit with the log settings as shipped (every trace line also stored in
//    the ring log file) and one that stores no trace lines there;
//  - the floor of both paths: a bench thread doing the same pty read and UDP
//    send (and the reverse) with no daemon in between, timed by the same
//    radio and peer stand-ins, so each daemon figure is shown as a multiple
//    of what the pty and the loopback cost by themselves;
//  - fan-out: one frame to 100 connected targets on 127.0.0.1-100 (time to
//    the first and the last datagram, the daemon's CPU per frame);
//  - the daemon's CPU while ready with 100 connected targets and no traffic,
//    and its resident memory;
//  - the same figures for a comparison server, Debian's svxreflector, with
//    our own clients of its protocol (reflector_peer.h): one hop client to
//    client against a direct UDP floor, one frame to 100 clients, idle with
//    100 clients, memory; then one table of both with ours/theirs. Where the
//    server is not installed its rows are skipped with a line saying so.
//
// The daemon is the kovalan built beside this program, run with --root on a
// SimBoard; the radio is a RadioSim on a PtyLink, every peer a PeerSim on its
// own loopback address that answers connect requests. Nothing leaves
// 127.0.0.0/8. Frames are sent one at a time (the next only after the last
// one arrived), so every figure is one frame's own latency; frame k goes
// over the floor and each unit in turn before frame k + 1, so all of them
// share the machine's load of the moment, and a round starts no sooner than
// the pacing interval after the last one. Every path then checks what
// arrived: each frame once, whole, on its channel, under one message number,
// in the order sent; the program exits 1 when any frame was lost, altered or
// out of order, or when a figure could not be measured.
//
// Environment knobs: KOVALAN_RELAY_FRAMES (2000), KOVALAN_RELAY_INTERVAL_US
// (3000), KOVALAN_RELAY_FANOUT_FRAMES (120), KOVALAN_RELAY_IDLE_S (10),
// KOVALAN_BINARY (the daemon to run), KOVALAN_BINARY_BEFORE (an earlier
// build whose fan-out and idle figures are printed first, in the same run).
//
// Threads: main drives everything; the floor relay has one thread; the
// harness objects keep their own reader threads.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_unit.h"
#include "loopnet.h"
#include "peer_sim.h"
#include "pty_link.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "reflector_peer.h"
#include "sim_board.h"
#include "unit_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t CODE = 5;            // the frames' code number; every table admits it
constexpr size_t PAYLOAD = 40;          // voice bytes after the 15-character head
constexpr int WARM_UP = 20;             // frames sent before the counted ones
constexpr int FRAME_TIMEOUT_MS = 1000;  // a frame not there by then is lost
constexpr int MAX_LOST_IN_A_ROW = 10;   // a path that loses this many is given up
constexpr int FANOUT_TARGETS = 100;
constexpr uint16_t END_COUNTER = 0xFFFF;    // the end frame's counter, above every voice frame's
constexpr int MAX_FRAMES = 60000;           // counters 1.. stay below END_COUNTER
constexpr char RADIO_DEVICE[] = "ttymxc1";  // CommPort=2

int EnvInt(const char* name, int fallback)
{
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

double Us(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

std::string Dotted(int last)
{
    return "127.0.0." + std::to_string(last);
}

// ---- Figures -------------------------------------------------------------------

struct Series {
    std::vector<double> us;
    int lost = 0;
    int altered = 0;     // arrived with a voice area, channel or message number other than sent
    int outOfOrder = 0;  // arrived twice, or after a frame sent later
    bool gaveUp = false;

    double Percentile(double p) const
    {
        if (us.empty()) {
            return 0;
        }
        std::vector<double> s = us;
        std::sort(s.begin(), s.end());
        size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(s.size()) + 0.999999);
        return s[std::clamp<size_t>(rank, 1, s.size()) - 1];
    }
    double Max() const { return us.empty() ? 0 : *std::max_element(us.begin(), us.end()); }
};

// CPU time of every thread of a process in ns, from the scheduler's own
// count (/proc/PID/task/*/schedstat); -1 when unreadable.
long long CpuNs(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) {
        return -1;
    }
    long long ns = 0;
    while (dirent* e = readdir(d.get())) {
        if (e->d_name[0] == '.') {
            continue;
        }
        std::ifstream in(dir + "/" + e->d_name + "/schedstat");
        long long run = 0;
        if (in >> run) {
            ns += run;
        }
    }
    return ns;
}

// A line of /proc/PID/status in kB ("VmRSS", "VmHWM"); -1 when missing.
long StatusKb(pid_t pid, const std::string& key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            return std::atol(line.c_str() + key.size() + 1);
        }
    }
    return -1;
}

// ---- Frames --------------------------------------------------------------------

std::string VoiceArea(char type, uint16_t counter)
{
    sim::radio::VoiceHeader head;
    head.type = type;
    head.counter = counter;
    head.fich = CODE;
    return sim::radio::VoiceParam(head, sim::radio::Payload(PAYLOAD, counter));
}

char VoiceType(int k)
{
    return static_cast<char>('0' + k % 4);
}

// The voice packet a peer got for the frame with this counter and type.
sim::PeerSim::Predicate PacketFor(uint16_t counter, char type)
{
    return [counter, type](const sim::PeerPacket& p) {
        auto v = sim::peer::DecodeVoice(p.raw);
        return v && v->frame.header.counter == counter && v->frame.header.type == type;
    };
}

// The 'F' frame the radio got for the voice area with this counter and type.
sim::RadioSim::Predicate FrameFor(uint16_t counter, char type)
{
    return [counter, type](const sim::radio::Frame& f) {
        auto v = f.command == 'F' && f.ok() ? sim::radio::ParseVoiceParam(f.param) : std::nullopt;
        return v && v->header.counter == counter && v->header.type == type;
    };
}

// ---- What arrived: once, whole and in order ------------------------------------

// Counters in arrival order must rise strictly: a frame that comes twice, or
// after one sent later, counts once as out of order.
int OutOfOrder(const std::vector<uint16_t>& counters)
{
    int bad = 0;
    for (size_t i = 1, top = 0; i < counters.size(); ++i) {
        if (counters[i] <= counters[top]) {
            ++bad;
        } else {
            top = i;
        }
    }
    return bad;
}

// Every voice packet a peer collected: one transmission, sent in rising
// counter order, so one non-zero message number and rising counters. The
// header frame shares the identification's counter; the unit sends the
// identification in its place, a relay with no buffer sends both, so it is
// left out of the order.
void CheckPeerStream(const sim::PeerSim& peer, Series* s)
{
    std::vector<uint16_t> counters;
    std::set<uint16_t> msgIds;
    for (const sim::PeerPacket& p : peer.Packets()) {
        if (p.type() != sim::peer::TYPE_VOICE) {
            continue;
        }
        auto v = sim::peer::DecodeVoice(p.raw);
        if (!v) {
            ++s->altered;
            continue;
        }
        if (v->frame.header.type == 'H') {
            continue;
        }
        counters.push_back(v->frame.header.counter);
        msgIds.insert(v->header.msgId);
        s->altered += v->header.ch != 0 ? 1 : 0;
    }
    s->altered += msgIds.size() > 1 || msgIds.count(0) != 0 ? 1 : 0;
    s->outOfOrder += OutOfOrder(counters);
}

// Every voice frame the radio got since `from`: all on channel A ('F'), rising counters.
void CheckRadioStream(const sim::RadioSim& radio, size_t from, Series* s)
{
    std::vector<uint16_t> counters;
    for (const sim::radio::Frame& f : radio.FramesSince(from)) {
        if (f.command != 'F' && f.command != 'f') {
            continue;
        }
        auto v = f.ok() ? sim::radio::ParseVoiceParam(f.param) : std::nullopt;
        if (!v || f.command != 'F') {
            ++s->altered;
            continue;
        }
        counters.push_back(v->header.counter);
    }
    s->outOfOrder += OutOfOrder(counters);
}

// ---- The floor: the same pty read and UDP send, and back, with no daemon -------

class FloorRelay {
   public:
    // Reads radio frames from the link's slave and sends each voice area to
    // the peer at 127.0.0.1:peerPort; takes datagrams on its own port and
    // writes each area to the slave as an 'F' frame.
    FloorRelay(const sim::PtyLink& link, uint16_t peerPort) : m_peerPort(peerPort)
    {
        m_slave = open(link.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        m_udp = loopnet::BindUdp(0);
        m_ok = m_slave >= 0 && m_udp >= 0 && pipe2(m_wake, O_CLOEXEC) == 0;
        if (m_ok) {
            m_thread = std::thread(&FloorRelay::Loop, this);
        }
    }
    ~FloorRelay()
    {
        if (m_thread.joinable()) {
            char c = 1;
            (void)!write(m_wake[1], &c, 1);
            m_thread.join();
        }
        for (int fd : {m_slave, m_udp, m_wake[0], m_wake[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    FloorRelay(const FloorRelay&) = delete;
    FloorRelay& operator=(const FloorRelay&) = delete;
    bool ok() const { return m_ok; }
    uint16_t port() const { return loopnet::LocalPort(m_udp); }

   private:
    void Loop()
    {
        for (;;) {
            pollfd p[3] = {{m_slave, POLLIN, 0}, {m_udp, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (poll(p, 3, -1) < 0) {
                continue;
            }
            if (p[2].revents != 0) {
                return;
            }
            if (p[0].revents & POLLIN) {
                FromRadio();
            }
            if (p[1].revents & POLLIN) {
                FromPeer();
            }
        }
    }
    void FromRadio()
    {
        uint8_t buf[4096];
        ssize_t n = read(m_slave, buf, sizeof(buf));
        std::vector<sim::radio::Frame> frames;
        if (n > 0) {
            m_collector.Feed(buf, static_cast<size_t>(n), Clock::now(), &frames);
        }
        for (const sim::radio::Frame& f : frames) {
            if (f.ok() && f.command == 'G') {
                auto packet = sim::peer::VoicePacket(0, 1, 0, f.param);
                loopnet::SendDatagram(m_udp, m_peerPort, std::string(packet.begin(), packet.end()));
            }
        }
    }
    void FromPeer()
    {
        uint8_t buf[2048];
        ssize_t n = recv(m_udp, buf, sizeof(buf), 0);
        if (n < static_cast<ssize_t>(sim::peer::HEADER_SIZE)) {
            return;
        }
        std::string_view area(reinterpret_cast<const char*>(buf) + sim::peer::HEADER_SIZE,
                              static_cast<size_t>(n) - sim::peer::HEADER_SIZE);
        auto frame = sim::radio::Encode('F', area);
        (void)!write(m_slave, frame.data(), frame.size());
    }

    uint16_t m_peerPort;
    int m_slave = -1;
    int m_udp = -1;
    int m_wake[2] = {-1, -1};
    bool m_ok = false;
    std::thread m_thread;
    sim::radio::FrameCollector m_collector;
};

// ---- The two relay paths, timed from the radio's and the peer's side ----------

struct Path {
    sim::RadioSim* radio;
    sim::PeerSim* peer;
};

struct Pacing {
    int frames;
    Clock::duration interval;
};

// One 'G' frame: written to the pty at t0, taken by the peer at its arrival;
// false when it did not arrive.
bool TimeRadioFrame(const Path& path, uint16_t counter, char type, Series* out)
{
    std::string area = VoiceArea(type, counter);
    auto frame = sim::radio::Encode('G', area);
    Clock::time_point t0 = Clock::now();
    path.radio->SendRaw(frame);
    auto got = path.peer->WaitFor(PacketFor(counter, type), FRAME_TIMEOUT_MS);
    if (!got) {
        ++out->lost;
        return false;
    }
    auto voice = sim::peer::DecodeVoice(got->raw);
    out->altered += voice->area != area ? 1 : 0;
    out->us.push_back(Us(got->arrival - t0));
    return true;
}

// One voice datagram: sent at t0, its 'F' frame read whole by the radio.
bool TimePeerFrame(const Path& path, uint16_t counter, char type, Series* out)
{
    std::string area = VoiceArea(type, counter);
    Clock::time_point t0 = Clock::now();
    path.peer->SendVoice(static_cast<uint32_t>(counter) * 20u, 1, 0, area);
    auto got = path.radio->WaitFor(FrameFor(counter, type), FRAME_TIMEOUT_MS);
    if (!got) {
        ++out->lost;
        return false;
    }
    out->altered += got->param != area ? 1 : 0;
    out->us.push_back(Us(got->arrival - t0));
    return true;
}

using TimeOne = bool (*)(const Path&, uint16_t, char, Series*);

// Warm-up frames, then the counted ones. Frame k goes over every path in
// turn before frame k + 1, so all paths share the machine's load of the
// moment; a round starts no sooner than one interval after the previous one.
// Counters 1.. (0 is the transmission's head). A path that has given up, or
// loses MAX_LOST_IN_A_ROW frames in a row, is left out from then on.
void RunFrames(const std::vector<Path>& paths, const Pacing& pacing, TimeOne timeOne, std::vector<Series>* out)
{
    std::vector<int> lostInARow(paths.size(), 0);
    Clock::time_point next = Clock::now();
    for (int k = 0; k < WARM_UP + pacing.frames; ++k) {
        std::this_thread::sleep_until(next);
        next = Clock::now() + pacing.interval;
        for (size_t p = 0; p < paths.size(); ++p) {
            Series& s = (*out)[p];
            if (s.gaveUp) {
                continue;
            }
            Series warm;  // a warm-up frame's time is not counted, its loss or change is
            bool arrived = timeOne(paths[p], static_cast<uint16_t>(1 + k), VoiceType(k), k < WARM_UP ? &warm : &s);
            s.lost += warm.lost;
            s.altered += warm.altered;
            lostInARow[p] = arrived ? 0 : lostInARow[p] + 1;
            s.gaveUp = lostInARow[p] >= MAX_LOST_IN_A_ROW;
        }
    }
}

// The radio's transmission around the timed voice frames: a header and an
// identification frame before (the unit holds voice back until the
// identification), an end frame after.
bool OpenTransmission(const Path& path)
{
    path.radio->SendFrame('G', VoiceArea('H', 0));
    path.radio->SendFrame('G', VoiceArea('I', 0));
    return path.peer->WaitFor(PacketFor(0, 'I'), FRAME_TIMEOUT_MS).has_value();
}

std::vector<Series> RadioToPeer(const std::vector<Path>& paths, const Pacing& pacing)
{
    std::vector<Series> out(paths.size());
    for (size_t p = 0; p < paths.size(); ++p) {
        paths[p].peer->Clear();
        out[p].gaveUp = !OpenTransmission(paths[p]);
    }
    RunFrames(paths, pacing, TimeRadioFrame, &out);
    for (size_t p = 0; p < paths.size(); ++p) {
        paths[p].radio->SendFrame('G', VoiceArea('T', END_COUNTER));
        out[p].lost += paths[p].peer->WaitFor(PacketFor(END_COUNTER, 'T'), FRAME_TIMEOUT_MS) ? 0 : 1;
        CheckPeerStream(*paths[p].peer, &out[p]);
    }
    return out;
}

std::vector<Series> PeerToRadio(const std::vector<Path>& paths, const Pacing& pacing)
{
    std::vector<Series> out(paths.size());
    std::vector<size_t> from(paths.size());
    for (size_t p = 0; p < paths.size(); ++p) {
        from[p] = paths[p].radio->FrameCount();
        paths[p].radio->SetCursor(from[p]);
    }
    RunFrames(paths, pacing, TimePeerFrame, &out);
    for (size_t p = 0; p < paths.size(); ++p) {
        paths[p].peer->SendVoice(0, 1, 0, VoiceArea('T', END_COUNTER));  // frees the line
        out[p].lost += paths[p].radio->WaitFor(FrameFor(END_COUNTER, 'T'), FRAME_TIMEOUT_MS) ? 0 : 1;
        CheckRadioStream(*paths[p].radio, from[p], &out[p]);
    }
    return out;
}

// ---- A unit on a simulated board with its radio and peers ----------------------

// A free UDP port that no earlier call returned: free ports are only free
// until bound, and the units of one run bind theirs one after the other.
uint16_t UnusedPort()
{
    static std::set<uint16_t> given;
    uint16_t port = 0;
    do {
        port = loopnet::FreePort(SOCK_DGRAM);
    } while (port != 0 && !given.insert(port).second);
    return port;
}

class Unit {
   public:
    std::string binary;  // the daemon to run; empty: the default one

    // A board whose ini names `targets` targets on 127.0.0.first, first+1, ...,
    // each a PeerSim bound there that acknowledges connect requests; extraIni
    // holds further settings lines.
    bool Start(int targets, int first, const std::string& extraIni, std::string* why)
    {
        m_link = std::make_unique<sim::PtyLink>(m_board.root(), RADIO_DEVICE);
        uint16_t rxPort = UnusedPort();
        uint16_t txPort = UnusedPort();
        std::string ini = "CommPort=2\nUsbPort=0\nRxUdpPort=" + std::to_string(rxPort) +
                          "\nTxUdpPort=" + std::to_string(txPort) + "\n";
        sim::peer::Identity identity;
        identity.Admit(CODE);
        for (int i = 0; i < targets; ++i) {
            ini += "Target" + std::to_string(i) + "=1," + Dotted(first + i) + "," + std::string(32, '0') + "\n";
            auto peer = std::make_unique<sim::PeerSim>();
            if (!peer->Open(Dotted(first + i), txPort)) {
                *why = "peer " + Dotted(first + i) + ": " + peer->error();
                return false;
            }
            peer->SetDestination("127.0.0.1", rxPort);
            peer->SetIdentity(identity);
            peer->SetAutoAck(true);
            m_peers.push_back(std::move(peer));
        }
        m_board.WriteFile("/var/local/kovalan.ini", ini + extraIni + "Program=KOVA-LAN\n");
        return Run(why);
    }
    // Waits until every target is connected; the count that were.
    int WaitConnected(int timeoutMs)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int connected = 0;
        size_t from = 0;
        while (connected < static_cast<int>(m_peers.size())) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            auto at = m_process.WaitForLine("[I] target detected", std::max(left, 0), from);
            if (!at) {
                break;
            }
            ++connected;
            from = *at + 1;
        }
        return connected;
    }
    bool Said(const std::string& text) { return m_process.WaitForLine(text, 0).has_value(); }
    int Stop()
    {
        if (m_radio) {
            m_radio->StopKeepAlive();
        }
        sim::UnitExit e = m_process.Stop(SIGTERM, 3000);
        m_radio.reset();
        m_peers.clear();
        return e.exited ? e.status : -1;
    }
    pid_t pid() const { return m_process.pid(); }
    sim::RadioSim& radio() { return *m_radio; }
    sim::PeerSim& peer(size_t i) { return *m_peers[i]; }
    size_t peers() const { return m_peers.size(); }
    std::string Output() const { return m_process.Output(); }

   private:
    bool Run(std::string* why)
    {
        m_radio = bench::StartWithRadio(m_process, *m_link, binary.empty() ? sim::UnitProcess::DefaultBinary() : binary,
                                        m_board.root(), CODE, "[I] state ready", why);
        return m_radio != nullptr;
    }

    sim::SimBoard m_board;
    std::unique_ptr<sim::PtyLink> m_link;
    sim::UnitProcess m_process;
    std::unique_ptr<sim::RadioSim> m_radio;
    std::vector<std::unique_ptr<sim::PeerSim>> m_peers;
};

// ---- Fan-out and idle ------------------------------------------------------------

struct FanOut {
    Series first, last;  // time to the first / last of the 100 datagrams
    int incomplete = 0;  // frames some target never got
    Series stream;       // what the targets got, checked target by target
    double cpuMsPerFrame = 0;
};

// One frame to every peer: from t0 to the earliest and the latest arrival.
bool TimeFanOutFrame(Unit& unit, uint16_t counter, char type, FanOut* out)
{
    Clock::time_point t0 = Clock::now();
    unit.radio().SendFrame('G', VoiceArea(type, counter));
    Clock::time_point first = Clock::time_point::max(), last = Clock::time_point::min();
    for (size_t i = 0; i < unit.peers(); ++i) {
        auto got = unit.peer(i).WaitFor(PacketFor(counter, type), FRAME_TIMEOUT_MS);
        if (!got) {
            ++out->incomplete;
            return false;
        }
        first = std::min(first, got->arrival);
        last = std::max(last, got->arrival);
    }
    out->first.us.push_back(Us(first - t0));
    out->last.us.push_back(Us(last - t0));
    return true;
}

FanOut RunFanOut(Unit& unit, int frames)
{
    FanOut f;
    Path path{&unit.radio(), &unit.peer(0)};
    if (!OpenTransmission(path)) {
        f.incomplete = frames;
        return f;
    }
    // The identification frame's own fan-out must be over before the first
    // timed frame, or that frame waits behind it.
    for (size_t i = 1; i < unit.peers(); ++i) {
        f.stream.lost += unit.peer(i).WaitFor(PacketFor(0, 'I'), FRAME_TIMEOUT_MS) ? 0 : 1;
    }
    long long before = CpuNs(unit.pid());
    for (int k = 0; k < frames; ++k) {
        if (!TimeFanOutFrame(unit, static_cast<uint16_t>(1 + k), VoiceType(k), &f) && f.incomplete >= 3) {
            break;
        }
    }
    long long after = CpuNs(unit.pid());
    unit.radio().SendFrame('G', VoiceArea('T', END_COUNTER));
    for (size_t i = 0; i < unit.peers(); ++i) {
        f.stream.lost += unit.peer(i).WaitFor(PacketFor(END_COUNTER, 'T'), FRAME_TIMEOUT_MS) ? 0 : 1;
        CheckPeerStream(unit.peer(i), &f.stream);
    }
    f.cpuMsPerFrame = static_cast<double>(after - before) / 1e6 / std::max(frames, 1);
    return f;
}

struct Idle {
    double seconds = 0;
    double cpuPercent = 0;
    long rssKb[3] = {-1, -1, -1};  // ready before traffic, after traffic, after the idle time
    long hwmKb = -1;
};

void MeasureIdle(pid_t pid, int seconds, Idle* out)
{
    out->rssKb[1] = StatusKb(pid, "VmRSS");
    std::this_thread::sleep_for(1s);  // the fan-out's last sends and log lines settle
    long long before = CpuNs(pid);
    Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    long long after = CpuNs(pid);
    out->seconds = Us(Clock::now() - start) / 1e6;
    out->cpuPercent = 100.0 * static_cast<double>(after - before) / 1e9 / out->seconds;
    out->rssKb[2] = StatusKb(pid, "VmRSS");
    out->hwmKb = StatusKb(pid, "VmHWM");
}

// ---- Report ----------------------------------------------------------------------

// What went wrong in the run; the program's exit status is 1 unless empty.
struct Verdict {
    std::vector<std::string> faults;

    void Fault(const std::string& text) { faults.push_back(text); }
    // A path whose frames did not all arrive once, whole and in order.
    void Check(const std::string& path, const Series& s)
    {
        std::string what;
        auto add = [&what](int n, const char* text) {
            if (n > 0) {
                what += (what.empty() ? "" : ", ") + std::to_string(n) + " " + text;
            }
        };
        add(s.lost, "lost");
        add(s.altered, "altered");
        add(s.outOfOrder, "out of order");
        if (s.gaveUp) {
            what += what.empty() ? "given up" : ", given up";
        }
        if (!what.empty()) {
            Fault(path + ": " + what);
        }
    }
};

// The load averages, to show how busy the shared machine was.
std::string LoadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void PrintHeading(const char* first)
{
    std::printf("  %-24s %6s %5s %5s %9s %9s %9s\n", first, "frames", "lost", "order", "p50", "p99", "max");
}

void PrintRow(const char* name, const Series& s)
{
    const char* note = s.gaveUp ? "  (given up)" : s.altered != 0 ? "  (ALTERED)" : "";
    std::string order = s.outOfOrder == 0 ? "ok" : std::to_string(s.outOfOrder);
    std::printf("  %-24s %6zu %5d %5s %9.1f %9.1f %9.1f%s\n", name, s.us.size(), s.lost, order.c_str(),
                s.Percentile(50), s.Percentile(99), s.Max(), note);
}

void PrintRatio(const Series& daemon, const Series& floor)
{
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("  %-24s %18s %8.1fx %8.1fx %8.1fx\n", "    / floor", "",
                ratio(daemon.Percentile(50), floor.Percentile(50)), ratio(daemon.Percentile(99), floor.Percentile(99)),
                ratio(daemon.Max(), floor.Max()));
}

// One daemon configuration's figures on one path.
struct DaemonSeries {
    const char* name;
    bool measured;
    Series s;
};

void PrintLatency(const char* title, const std::vector<DaemonSeries>& daemons, const Series& floor)
{
    std::printf("\n%s\n", title);
    PrintHeading("latency (us)");
    for (const DaemonSeries& d : daemons) {
        if (!d.measured) {
            std::printf("  %-24s not measured: no target connected\n", d.name);
            continue;
        }
        PrintRow(d.name, d.s);
        if (!d.s.us.empty() && !floor.us.empty()) {
            PrintRatio(d.s, floor);
        }
    }
    PrintRow("floor (no daemon)", floor);
}

void PrintFanOut(const char* who, const FanOut& f, int frames)
{
    std::printf("\n%s: fan-out of one frame to %d connected receivers\n", who, FANOUT_TARGETS);
    PrintHeading("to the (ms)");
    auto ms = [](const Series& s) {
        Series m = s;
        for (double& v : m.us) {
            v /= 1000.0;
        }
        return m;
    };
    Series first = ms(f.first), last = ms(f.last);
    first.lost = last.lost = f.incomplete;
    first.outOfOrder = last.outOfOrder = f.stream.outOfOrder;
    PrintRow("first datagram", first);
    PrintRow("last datagram", last);
    std::printf("  daemon CPU per frame: %.3f ms over %d frames, %.1f us per target send\n", f.cpuMsPerFrame, frames,
                f.cpuMsPerFrame * 1000.0 / FANOUT_TARGETS);
}

void PrintIdle(const char* who, const Idle& idle, int connected)
{
    std::printf("\n%s: ready, %d connected peers, no voice traffic, %.1f s\n", who, connected, idle.seconds);
    std::printf("  daemon CPU: %.2f%% of one core\n", idle.cpuPercent);
    std::printf(
        "  VmRSS: %ld kB ready before traffic, %ld kB after the fan-out, %ld kB after the idle time (VmHWM %ld kB)\n",
        idle.rssKb[0], idle.rssKb[1], idle.rssKb[2], idle.hwmKb);
}

void PrintVerdict(const Verdict& v)
{
    std::printf("\nload average at the end: %s\n", LoadAverage().c_str());
    if (v.faults.empty()) {
        std::printf("result: every frame arrived once, whole and in order\n");
        return;
    }
    std::printf("result: FAILED\n");
    for (const std::string& f : v.faults) {
        std::printf("  - %s\n", f.c_str());
    }
}

// ---- The run -----------------------------------------------------------------------

// The two log settings the latency is measured with: as shipped, every
// trace line also goes to the ring log file (one synced record each); the
// other keeps only information and warning lines there. Both print every
// line on the standard output.
struct LogSetting {
    const char* name;
    const char* ini;
};
constexpr LogSetting LOG_SETTINGS[] = {
    {"kovalan, log as shipped", ""},
    {"kovalan, traces unlogged", "LogFlagDbg=00000005\n"},
};
constexpr size_t UNITS = std::size(LOG_SETTINGS);

// A one-target unit per log setting, on targets 127.0.0.2, .3, ...; false
// when one could not start. measured[k]: unit k's target connected.
bool StartLatencyUnits(std::unique_ptr<Unit> (&units)[UNITS], bool (&measured)[UNITS], Verdict* verdict)
{
    for (size_t k = 0; k < UNITS; ++k) {
        units[k] = std::make_unique<Unit>();
        std::string why;
        if (!units[k]->Start(1, static_cast<int>(2 + k), LOG_SETTINGS[k].ini, &why)) {
            verdict->Fault(std::string("latency: cannot set up ") + LOG_SETTINGS[k].name + ": " + why);
            return false;
        }
    }
    for (size_t k = 0; k < UNITS; ++k) {
        measured[k] = units[k]->WaitConnected(5000) == 1;
        if (!measured[k]) {
            verdict->Fault(units[k]->Said("peer link not built yet")
                               ? "latency: the daemon has no peer link yet (\"[W] peer link not built yet\")"
                               : "latency: the target did not connect within 5 s");
        }
    }
    return true;
}

// The floor and the one-target units, frame by frame, while all exist, so
// the figures of a path share the machine's load of the moment.
// One daemon's figures for the side-by-side table; a negative figure was not measured.
struct Side {
    double hopRadio = -1, hopPeer = -1;            // one hop p50 as a multiple of its floor
    double hopRadioUs = -1, hopPeerUs = -1;        // the same in us
    double cpuPerSendUs = -1;                      // fan-out CPU per receiver send
    double firstMs = -1, lastMs = -1;              // fan-out p50 time to the first / last receiver
    double idlePercent = -1;                       // idle CPU, % of one core
    long rssKb = -1;                               // resident memory at the end
};

double RatioP50(const Series& s, const Series& floor)
{
    return s.us.empty() || floor.us.empty() || floor.Percentile(50) <= 0 ? -1 : s.Percentile(50) / floor.Percentile(50);
}

void RunLatency(const Pacing& pacing, Verdict* verdict, Side* ours)
{
    sim::SimBoard floorBoard;
    sim::PtyLink floorLink(floorBoard.root(), RADIO_DEVICE);
    sim::RadioSim floorRadio(floorLink);
    sim::PeerSim floorPeer;
    if (!floorPeer.Open("127.0.0.1", 0)) {
        verdict->Fault("latency: floor peer: " + floorPeer.error());
        return;
    }
    FloorRelay floor(floorLink, floorPeer.port());
    floorPeer.SetDestination("127.0.0.1", floor.port());
    std::unique_ptr<Unit> units[UNITS];
    bool measured[UNITS] = {};
    if (!floor.ok()) {
        verdict->Fault("latency: cannot set up the floor relay");
        return;
    }
    if (!StartLatencyUnits(units, measured, verdict)) {
        return;
    }
    // Path 0 is the floor, then one per unit whose target connected.
    std::vector<Path> paths{{&floorRadio, &floorPeer}};
    for (size_t k = 0; k < UNITS; ++k) {
        if (measured[k]) {
            paths.push_back({&units[k]->radio(), &units[k]->peer(0)});
        }
    }
    std::vector<Series> radio = RadioToPeer(paths, pacing);
    std::vector<Series> peer = PeerToRadio(paths, pacing);
    for (size_t k = 0; k < UNITS; ++k) {
        int status = units[k]->Stop();
        if (status != 0) {
            verdict->Fault(std::string("latency: ") + LOG_SETTINGS[k].name + ": stopped with status " +
                           std::to_string(status));
        }
    }
    std::vector<DaemonSeries> radioRows, peerRows;
    for (size_t k = 0, p = 1; k < UNITS; ++k) {
        radioRows.push_back({LOG_SETTINGS[k].name, measured[k], measured[k] ? radio[p] : Series{}});
        peerRows.push_back({LOG_SETTINGS[k].name, measured[k], measured[k] ? peer[p] : Series{}});
        if (measured[k]) {
            verdict->Check(std::string(LOG_SETTINGS[k].name) + " radio -> peer", radio[p]);
            verdict->Check(std::string(LOG_SETTINGS[k].name) + " peer -> radio", peer[p]);
            ++p;
        }
    }
    if (measured[0]) {  // the unit as shipped stands for ours in the table
        ours->hopRadio = RatioP50(radio[1], radio[0]);
        ours->hopPeer = RatioP50(peer[1], peer[0]);
        ours->hopRadioUs = radio[1].Percentile(50);
        ours->hopPeerUs = peer[1].Percentile(50);
    }
    verdict->Check("floor radio -> peer", radio[0]);
    verdict->Check("floor peer -> radio", peer[0]);
    PrintLatency("radio 'G' frame written to the pty -> voice datagram received by the peer", radioRows, radio[0]);
    PrintLatency("voice datagram sent by the peer -> 'F' frame read whole from the pty", peerRows, peer[0]);
    std::printf(
        "\n  log as shipped: LogFlagDbg=FFFFFFFF, every trace line also stored in the ring log file;\n"
        "  traces unlogged: LogFlagDbg=00000005, only information and warning lines stored there.\n");
    std::fflush(stdout);
}

void RunHundred(int fanOutFrames, int idleSeconds, Verdict* verdict, Side* ours, const std::string& binary = "")
{
    Unit unit;
    unit.binary = binary;
    const char* name = binary.empty() ? "kovalan (targets 127.0.0.1-100)" : "kovalan BEFORE (targets 127.0.0.1-100)";
    std::string why;
    if (!unit.Start(FANOUT_TARGETS, 1, "", &why)) {
        verdict->Fault("fan-out: cannot set up: " + why);
        return;
    }
    Idle idle;
    idle.rssKb[0] = StatusKb(unit.pid(), "VmRSS");
    int connected = unit.WaitConnected(10000);
    if (connected == FANOUT_TARGETS) {
        FanOut f = RunFanOut(unit, fanOutFrames);
        PrintFanOut(name, f, fanOutFrames);
        ours->cpuPerSendUs = f.cpuMsPerFrame * 1000.0 / FANOUT_TARGETS;
        ours->firstMs = f.first.Percentile(50) / 1000.0;
        ours->lastMs = f.last.Percentile(50) / 1000.0;
        f.stream.lost += f.incomplete;
        verdict->Check("kovalan fan-out", f.stream);
    } else {
        std::printf("\nfan-out not measured: %d of %d targets connected\n", connected, FANOUT_TARGETS);
        verdict->Fault("fan-out: " + std::to_string(connected) + " of " + std::to_string(FANOUT_TARGETS) +
                       " targets connected within 10 s");
    }
    MeasureIdle(unit.pid(), idleSeconds, &idle);
    PrintIdle(name, idle, connected);
    ours->idlePercent = idle.cpuPercent;
    ours->rssKb = idle.rssKb[2];
    int status = unit.Stop();
    if (status != 0) {
        verdict->Fault("fan-out: the 100-target unit stopped with status " + std::to_string(status));
    }
}


// ---- The comparison server: the same figures over its own protocol -----------------

// The area a client sends: the frame's counter (two bytes, big-endian), then a voice area.
std::string PeerArea(uint16_t counter, char type)
{
    std::string area(1, static_cast<char>(counter >> 8));
    area += static_cast<char>(counter & 0xFF);
    return area + VoiceArea(type, counter);
}

// One frame from client 0 until client 1 has it, and the same bytes over the floor.
void TimePeerHop(refl::Clients& clients, uint16_t counter, char type, Series* server, Series* floor)
{
    std::string area = PeerArea(counter, type);
    Clock::time_point t0 = Clock::now();
    clients.SendAudio(0, area);
    auto got = clients.WaitFor(1, counter, FRAME_TIMEOUT_MS);
    if (!got) {
        ++server->lost;
    } else {
        server->altered += clients.Got(1, counter) != area ? 1 : 0;
        server->us.push_back(Us(*got - t0));
    }
    t0 = Clock::now();
    clients.SendFloor(area);
    got = clients.WaitFor(refl::Clients::FLOOR, counter, FRAME_TIMEOUT_MS);
    if (!got) {
        ++floor->lost;
    } else {
        floor->us.push_back(Us(*got - t0));
    }
}

void RunPeerLatency(const Pacing& pacing, Verdict* verdict, Side* theirs)
{
    refl::Reflector server;
    std::string why;
    if (!server.Start(2, &why)) {
        verdict->Fault("peer latency: " + why);
        return;
    }
    refl::Clients clients(server.port());
    if (!clients.LogOn(2, &why)) {
        verdict->Fault("peer latency: " + why);
        return;
    }
    Series hop, floor, warm;
    Clock::time_point next = Clock::now();
    for (int k = 0; k < WARM_UP + pacing.frames; ++k) {
        std::this_thread::sleep_until(next);
        next = Clock::now() + pacing.interval;
        bool counted = k >= WARM_UP;
        TimePeerHop(clients, static_cast<uint16_t>(1 + k), VoiceType(k), counted ? &hop : &warm, counted ? &floor : &warm);
    }
    hop.lost += warm.lost;
    verdict->Check("svxreflector one hop", hop);
    std::vector<DaemonSeries> rows{{"svxreflector", true, hop}};
    PrintLatency("client A's audio datagram -> client B has it, through svxreflector", rows, floor);
    theirs->hopRadio = theirs->hopPeer = RatioP50(hop, floor);
    theirs->hopRadioUs = theirs->hopPeerUs = hop.Percentile(50);
    std::fflush(stdout);
}

// Client 0 talks; clients 1..100 listen. Afterwards client 0 leaves and the
// 100 listeners stay connected for the idle figure.
void RunPeerHundred(int fanOutFrames, int idleSeconds, Verdict* verdict, Side* theirs)
{
    refl::Reflector server;
    std::string why;
    if (!server.Start(FANOUT_TARGETS + 1, &why)) {
        verdict->Fault("peer fan-out: " + why);
        return;
    }
    refl::Clients clients(server.port());
    if (!clients.LogOn(FANOUT_TARGETS + 1, &why)) {
        verdict->Fault("peer fan-out: " + why);
        return;
    }
    FanOut f;
    Idle idle;
    idle.rssKb[0] = StatusKb(server.pid(), "VmRSS");
    long long before = CpuNs(server.pid());
    for (int k = 0; k < fanOutFrames && f.incomplete < 3; ++k) {
        auto counter = static_cast<uint16_t>(1 + k);
        std::string area = PeerArea(counter, VoiceType(k));
        Clock::time_point t0 = Clock::now();
        clients.SendAudio(0, area);
        Clock::time_point first = Clock::time_point::max(), last = Clock::time_point::min();
        bool whole = true;
        for (size_t i = 1; i < clients.size() && whole; ++i) {
            auto got = clients.WaitFor(i, counter, FRAME_TIMEOUT_MS);
            whole = got.has_value() && clients.Got(i, counter) == area;
            if (whole) {
                first = std::min(first, *got);
                last = std::max(last, *got);
            }
        }
        if (!whole) {
            ++f.incomplete;
            continue;
        }
        f.first.us.push_back(Us(first - t0));
        f.last.us.push_back(Us(last - t0));
    }
    long long after = CpuNs(server.pid());
    f.cpuMsPerFrame = static_cast<double>(after - before) / 1e6 / std::max(fanOutFrames, 1);
    PrintFanOut("svxreflector (127.0.0.1, 100 clients)", f, fanOutFrames);
    f.stream.lost += f.incomplete;
    verdict->Check("svxreflector fan-out", f.stream);
    theirs->cpuPerSendUs = f.cpuMsPerFrame * 1000.0 / FANOUT_TARGETS;
    theirs->firstMs = f.first.Percentile(50) / 1000.0;
    theirs->lastMs = f.last.Percentile(50) / 1000.0;
    clients.Drop(0);
    MeasureIdle(server.pid(), idleSeconds, &idle);
    PrintIdle("svxreflector", idle, FANOUT_TARGETS);
    theirs->idlePercent = idle.cpuPercent;
    theirs->rssKb = idle.rssKb[2];
}

// Every figure of both daemons, and ours / theirs: below 1 ours is ahead.
void PrintComparison(const Side& ours, const Side& theirs)
{
    struct Row {
        const char* name;
        double a, b;
    };
    const Row rows[] = {
        {"one hop p50 / floor, radio->peer", ours.hopRadio, theirs.hopRadio},
        {"one hop p50 / floor, peer->radio", ours.hopPeer, theirs.hopPeer},
        {"one hop p50 us, radio->peer", ours.hopRadioUs, theirs.hopRadioUs},
        {"one hop p50 us, peer->radio", ours.hopPeerUs, theirs.hopPeerUs},
        {"fan-out CPU us per receiver send", ours.cpuPerSendUs, theirs.cpuPerSendUs},
        {"fan-out p50 ms to first receiver", ours.firstMs, theirs.firstMs},
        {"fan-out p50 ms to last receiver", ours.lastMs, theirs.lastMs},
        {"idle CPU % of a core, 100 peers", ours.idlePercent, theirs.idlePercent},
        {"VmRSS kB at the end", static_cast<double>(ours.rssKb), static_cast<double>(theirs.rssKb)},
    };
    std::printf("\nside by side: kovalan (log as shipped) and svxreflector; ours/theirs below 1: ours is ahead\n");
    std::printf("  %-34s %12s %12s %12s  %s\n", "figure", "kovalan", "svxreflector", "ours/theirs", "ahead");
    for (const Row& r : rows) {
        if (r.a < 0 || r.b < 0) {
            std::printf("  %-34s %12s %12s\n", r.name, r.a < 0 ? "-" : std::to_string(r.a).c_str(),
                        r.b < 0 ? "not run" : std::to_string(r.b).c_str());
            continue;
        }
        double ratio = r.b > 0 ? r.a / r.b : 0;
        std::printf("  %-34s %12.2f %12.2f %12.2f  %s\n", r.name, r.a, r.b, ratio,
                    ratio < 1 ? "kovalan" : ratio > 1 ? "svxreflector" : "even");
    }
    std::printf(
        "  the peer's one hop is client to client over UDP, its floor a datagram between two sockets;\n"
        "  ours pace a fan-out 10 ms after every 16 sends, so compare CPU per send, not time to the last.\n");
}

}  // namespace

int main()
{
    if (sim::UnitProcess::DefaultBinary().empty()) {
        std::printf("relay_bench: no daemon to run (set KOVALAN_BINARY)\n");
        return 1;
    }
    Pacing pacing{std::clamp(EnvInt("KOVALAN_RELAY_FRAMES", 2000), 1, MAX_FRAMES),
                  std::chrono::microseconds(EnvInt("KOVALAN_RELAY_INTERVAL_US", 3000))};
    int fanOutFrames = std::clamp(EnvInt("KOVALAN_RELAY_FANOUT_FRAMES", 120), 1, MAX_FRAMES);
    int idleSeconds = std::max(EnvInt("KOVALAN_RELAY_IDLE_S", 10), 1);
    std::printf(
        "relay_bench: %s\n  %d frames per path after %d warm-up frames, one at a time, at most one per %.1f ms; "
        "%zu-byte voice areas\n  %u CPUs online, load average %s\n",
        sim::UnitProcess::DefaultBinary().c_str(), pacing.frames, WARM_UP,
        std::chrono::duration<double, std::milli>(pacing.interval).count(), sim::radio::VOICE_HEADER_SIZE + PAYLOAD,
        std::thread::hardware_concurrency(), LoadAverage().c_str());
    std::fflush(stdout);

    Verdict verdict;
    Side ours, theirs;
    RunLatency(pacing, &verdict, &ours);
    if (const char* before = std::getenv("KOVALAN_BINARY_BEFORE")) {  // an earlier build, for a change's effect
        Side old;
        RunHundred(fanOutFrames, idleSeconds, &verdict, &old, before);
    }
    RunHundred(fanOutFrames, idleSeconds, &verdict, &ours);
    if (access(refl::BINARY, X_OK) == 0) {
        RunPeerLatency(pacing, &verdict, &theirs);
        RunPeerHundred(fanOutFrames, idleSeconds, &verdict, &theirs);
    } else {
        std::printf("\nsvxreflector rows skipped: %s is not installed (Debian package svxreflector)\n", refl::BINARY);
    }
    PrintComparison(ours, theirs);
    PrintVerdict(verdict);
    return verdict.faults.empty() ? 0 : 1;
}
