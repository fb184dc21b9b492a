// The kovalan daemon's own timing as a process on a simulated board, measured
// and printed (the tests check only order, content and state):
//  - playback: a recording of KOVALAN_PLAYBACK_FRAMES frames made with
//    irregular gaps (15 to 40 ms, drawn from a seed) is played back; each
//    frame's offset from the first one that came back against the offset the
//    unit stamped on it at recording, and each gap against its recorded gap:
//    p50, p99 and max of the error, and the earliest frame;
//  - the radio line: from the code table written to its answer read, and the
//    interval between two keep-alives (1 s by design);
//  - the peer link: from the unit turning ready to its first connect request,
//    and the interval between two unanswered requests (1 s by design);
//  - the stop: how long SIGTERM and SIGINT take to end the unit (under 1 s by
//    design).
// Exits 1 when a frame did not come back whole and in order, or a figure
// could not be measured.
//
// Environment knobs: KOVALAN_PLAYBACK_FRAMES (200, at least 3),
// KOVALAN_BENCH_SEED (the gap seed), KOVALAN_BINARY (the daemon to run).
//
// Threads: main drives everything; the simulators keep their own reader threads.
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "loopnet.h"
#include "peer_sim.h"
#include "pty_link.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "sim_board.h"
#include "unit_process.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace radio = sim::radio;

constexpr int SLOT = 5;
constexpr int CODE = 5;
constexpr char REC_FILE[] = "/var/local/DATA\\REC005.dat";
constexpr char PEER_ADDRESS[] = "127.0.0.2";  // target 0; it never answers

int EnvInt(const char* name, int fallback)
{
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// p50, p99 (nearest rank) and max of the absolute values, in ms.
void PrintSpread(const char* what, std::vector<double> v)
{
    for (double& x : v) {
        x = x < 0 ? -x : x;
    }
    std::sort(v.begin(), v.end());
    auto rank = [&v](double p) { return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))]; };
    std::printf("  %-34s p50 %6.2f  p99 %6.2f  max %6.2f ms\n", what, rank(0.50), rank(0.99), v.back());
}

// The ticks the unit stamped on the records of a recording file: an 8-byte
// header, then per record its length (2 bytes, big-endian), its tick (4
// bytes, big-endian), 2 more bytes and the data.
std::vector<uint32_t> RecordTicks(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<uint32_t> ticks;
    for (size_t at = 8; at + 8 <= b.size();) {
        size_t length = static_cast<size_t>(b[at] << 8 | b[at + 1]);
        ticks.push_back(static_cast<uint32_t>(b[at + 2]) << 24 | static_cast<uint32_t>(b[at + 3]) << 16 |
                        static_cast<uint32_t>(b[at + 4]) << 8 | b[at + 5]);
        at += 8 + length;
    }
    return ticks;
}

// One unit on a board of its own with a radio; target 0 is a peer that never answers.
struct Unit {
    sim::SimBoard board;
    sim::PtyLink radioLink{board.root(), "ttymxc1"};
    std::unique_ptr<sim::RadioSim> radio;
    sim::UnitProcess process;
    sim::PeerSim peer;

    bool Start()
    {
        const int rx = loopnet::FreePort(SOCK_DGRAM);
        const int tx = loopnet::FreePort(SOCK_DGRAM);
        board.WriteFile("/var/local/kovalan.ini", "CommPort=2\nUsbPort=0\nRxUdpPort=" + std::to_string(rx) +
                                                      "\nTxUdpPort=" + std::to_string(tx) + "\nProgram=KOVA-LAN\nTarget0=1," +
                                                      PEER_ADDRESS + "," + std::string(32, '0') + "\n");
        if (!peer.Open(PEER_ADDRESS, static_cast<uint16_t>(tx))) {
            std::fprintf(stderr, "peer: %s\n", peer.error().c_str());
            return false;
        }
        sim::UnitOptions options;
        options.binary = sim::UnitProcess::DefaultBinary();
        options.root = board.root();
        if (!process.Start(options) || !process.WaitForLine("start timer thread", 10000)) {
            std::fprintf(stderr, "the unit did not start: %s\n%s", process.error().c_str(), process.Output().c_str());
            return false;
        }
        radio = std::make_unique<sim::RadioSim>(radioLink);
        return true;
    }
};

bool RadioLineAndPeerLink()
{
    Unit u;
    if (!u.Start()) {
        return false;
    }
    radio::CodeTable table;
    table.Admit(CODE);
    if (!u.radio->SendVersionCheck() || !u.radio->WaitFor('V', 5000)) {
        std::fprintf(stderr, "no answer to the version check\n");
        return false;
    }
    const Clock::time_point sent = Clock::now();
    u.radio->SendCodeTable(table);
    auto answer = u.radio->WaitFor('I', 5000);
    auto ready = u.process.WaitForLine("[I] state ready", 5000);
    auto keepAlive = u.radio->WaitFor('C', 5000);
    auto next = u.radio->WaitFor('C', 5000);
    auto request = u.peer.WaitFor(sim::peer::TYPE_CONNECT_REQ, 5000);
    auto again = u.peer.WaitFor(sim::peer::TYPE_CONNECT_REQ, 5000);
    if (!answer || !ready || !keepAlive || !next || !request || !again) {
        std::fprintf(stderr, "the radio line or the peer link did not come up\n%s", u.process.Output().c_str());
        return false;
    }
    const Clock::time_point readyAt = u.process.Lines()[*ready].arrival;
    std::printf("radio line:\n  code table to its answer            %8.2f ms\n", Ms(answer->arrival - sent));
    std::printf("  between two keep-alives             %8.2f ms (1000 by design)\n", Ms(next->arrival - keepAlive->arrival));
    std::printf("peer link:\n  ready to the first connect request  %8.2f ms\n", Ms(request->arrival - readyAt));
    std::printf("  between two unanswered requests     %8.2f ms (1000 by design)\n", Ms(again->arrival - request->arrival));
    return true;
}

bool Stops()
{
    std::printf("stop:\n");
    for (int sig : {SIGTERM, SIGINT}) {
        Unit u;
        if (!u.Start() || !u.radio->Identify({}, {}, 5000)) {
            return false;
        }
        sim::UnitExit exit = u.process.Stop(sig, 5000);
        if (!exit.exited || exit.status != 0) {
            std::fprintf(stderr, "the unit did not end cleanly on signal %d\n", sig);
            return false;
        }
        std::printf("  %-7s to the unit's exit            %8d ms (under 1000 by design)\n",
                    sig == SIGTERM ? "SIGTERM" : "SIGINT", exit.elapsedMs);
    }
    return true;
}

bool Playback(int frames, unsigned seed)
{
    Unit u;
    radio::CodeTable table;
    table.Admit(CODE);
    if (!u.Start() || !u.radio->Identify({}, table, 5000) || !u.process.WaitForLine("[I] state ready", 5000)) {
        return false;
    }
    u.radio->StartKeepAlive(1000);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> gapMs(15, 40);
    const std::vector<std::string> areas = sim::RadioSim::RecordingParams({SLOT, CODE, 0x1000, frames - 2, 40, 0});
    for (size_t i = 0; i < areas.size(); ++i) {
        if (i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs(random)));  // the radio's own pace
        }
        u.radio->SendFrame('R', areas[i]);
    }
    auto recorded = u.radio->WaitFor('R', 5000);
    const std::vector<uint32_t> ticks = RecordTicks(u.board.Path(REC_FILE));
    if (!recorded || ticks.size() != areas.size()) {
        std::fprintf(stderr, "the recording was not stored whole (%zu of %zu records)\n", ticks.size(), areas.size());
        return false;
    }
    const size_t from = u.radio->FrameCount();
    u.radio->SendPlay(SLOT, 'L');
    auto isVoice = [](const radio::Frame& f) { return f.command == 'F'; };
    std::vector<radio::Frame> got;
    const int spanMs = static_cast<int>(ticks.back() - ticks.front());
    u.radio->SetCursor(from);
    while (got.size() < areas.size()) {
        auto f = u.radio->WaitFor(isVoice, spanMs + 5000);
        if (!f) {
            break;
        }
        got.push_back(*f);
    }
    if (got.size() != areas.size()) {
        std::fprintf(stderr, "%zu of %zu frames came back\n", got.size(), areas.size());
        return false;
    }
    std::vector<double> offsetErr;
    std::vector<double> gapErr;
    double earliest = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i].param != areas[i]) {
            std::fprintf(stderr, "frame %zu came back altered or out of order\n", i);
            return false;
        }
        const double err = Ms(got[i].arrival - got[0].arrival) - (ticks[i] - ticks[0]);
        offsetErr.push_back(err);
        earliest = std::min(earliest, err);
        if (i) {
            gapErr.push_back(Ms(got[i].arrival - got[i - 1].arrival) - (ticks[i] - ticks[i - 1]));
        }
    }
    std::printf("playback of %d frames over %d ms (gap seed %u):\n", frames, spanMs, seed);
    PrintSpread("offset error", offsetErr);
    PrintSpread("gap error", gapErr);
    std::printf("  %-34s %6.2f ms\n", "earliest frame", earliest);
    return true;
}

}  // namespace

int main()
{
    const int frames = std::max(3, EnvInt("KOVALAN_PLAYBACK_FRAMES", 200));
    const unsigned seed = static_cast<unsigned>(EnvInt("KOVALAN_BENCH_SEED", 20240611));
    bool ok = RadioLineAndPeerLink();
    ok = Stops() && ok;
    ok = Playback(frames, seed) && ok;
    std::printf("%s\n", ok ? "unit timing: every figure measured" : "unit timing: FAILED");
    return ok ? 0 : 1;
}
