// What a flood of voice packets from an address that is not a target costs
// a real peer's voice: a kovalan on a simulated board, with the log settings
// as shipped (LogFlagDbg=FFFFFFFF), has one connected target on 127.0.0.2;
// a stranger on 127.0.0.3 sends well-formed voice packets to the unit's
// receive port at a fixed rate while the target talks for a few seconds at
// 50 frames a second. The radio counts the target's frames it was handed as
// 'F'; every one of them must arrive.
//
// The same run is made for each daemon given: the kovalan built beside this
// program (or $KOVALAN_BINARY), then, when $KOVALAN_FLOOD_COMPARE names
// another build (for example one of an earlier commit), that one too, so
// the two rows share the machine and the setup. A run without a flood is
// made first for each, as the reference.
//
// Environment knobs: KOVALAN_FLOOD_RATE (stranger packets a second, 10000),
// KOVALAN_FLOOD_SECONDS (4), KOVALAN_FLOOD_COMPARE (a second daemon).
// Exit status 1 when the first daemon lost a frame or a figure could not be
// had. Nothing leaves 127.0.0.0/8.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_unit.h"
#include "loopnet.h"
#include "peer_sim.h"
#include "pty_link.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "sim_board.h"
#include "unit_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int CODE = 5;
constexpr size_t PAYLOAD = 40;
constexpr auto FRAME_SPACING = 20ms;
constexpr char RADIO_DEVICE[] = "ttymxc1";
const std::string TARGET = "127.0.0.2";
const std::string STRANGER = "127.0.0.3";

int EnvInt(const char* name, int fallback)
{
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

std::string VoiceArea(char type, uint16_t counter)
{
    sim::radio::VoiceHeader head;
    head.type = type;
    head.counter = counter;
    head.fich = CODE;
    return sim::radio::VoiceParam(head, sim::radio::Payload(PAYLOAD, counter));
}

struct Figures {
    bool ok = false;
    std::string why;
    int sent = 0;        // the target's voice frames
    int arrived = 0;     // of them, handed to the radio
    long flood = 0;      // stranger packets sent
    int floodLines = 0;  // output lines that name the stranger
};

// The unit, its radio and its one target; the stranger floods from its own socket.
class FloodRun {
   public:
    explicit FloodRun(std::string binary) : m_binary(std::move(binary)) {}

    Figures Run(int rate, int seconds)
    {
        Figures f;
        if (!Start(&f.why)) {
            return f;
        }
        std::atomic<bool> stop{false};
        std::atomic<long> flooded{0};
        std::thread flood;
        if (rate > 0) {
            flood = std::thread([&] { Flood(rate, stop, flooded); });
        }
        std::this_thread::sleep_for(200ms);  // the flood is on before the target talks
        Talk(seconds, &f);
        stop = true;
        if (flood.joinable()) {
            flood.join();
        }
        f.flood = flooded.load();
        for (const sim::UnitLine& line : m_process.Lines()) {
            f.floodLines += line.text.find(STRANGER) != std::string::npos ? 1 : 0;
        }
        m_radio->StopKeepAlive();
        sim::UnitExit e = m_process.Stop(SIGTERM, 5000);
        f.ok = e.exited && e.status == 0;
        f.why = f.ok ? "" : "the daemon did not stop cleanly";
        return f;
    }

   private:
    bool Start(std::string* why)
    {
        m_link = std::make_unique<sim::PtyLink>(m_board.root(), RADIO_DEVICE);
        // The target's port first: a free port is only free until bound.
        if (!m_target.Open(TARGET, 0) || !m_stranger.Open(STRANGER, 0)) {
            *why = "cannot open the peers' sockets";
            return false;
        }
        uint16_t rxPort = loopnet::FreePort(SOCK_DGRAM);
        uint16_t txPort = m_target.port();
        m_board.WriteFile("/var/local/kovalan.ini", "CommPort=2\nUsbPort=0\nRxUdpPort=" + std::to_string(rxPort) +
                                                        "\nTxUdpPort=" + std::to_string(txPort) + "\nTarget0=1," +
                                                        TARGET + "," + std::string(32, '0') + "\nProgram=KOVA-LAN\n");
        sim::peer::Identity identity;
        identity.Admit(CODE);
        m_target.SetDestination("127.0.0.1", rxPort);
        m_target.SetIdentity(identity);
        m_target.SetAutoAck(true);
        m_stranger.SetDestination("127.0.0.1", rxPort);
        m_radio = bench::StartWithRadio(m_process, *m_link, m_binary, m_board.root(), CODE, "[I] target detected", why);
        return m_radio != nullptr;
    }

    // `rate` packets a second, sent in 1 ms slices.
    void Flood(int rate, const std::atomic<bool>& stop, std::atomic<long>& flooded)
    {
        sim::peer::Bytes packet = sim::peer::VoicePacket(0, 7, 0, VoiceArea('0', 1));
        Clock::time_point start = Clock::now();
        long sent = 0;
        while (!stop) {
            long due = static_cast<long>(std::chrono::duration<double>(Clock::now() - start).count() *
                                         static_cast<double>(rate));
            for (; sent < due && !stop; ++sent) {
                m_stranger.Send(packet);
            }
            std::this_thread::sleep_for(1ms);
        }
        flooded = sent;
    }

    // One transmission from the target, then what the radio got of it.
    void Talk(int seconds, Figures* f)
    {
        size_t from = m_radio->FrameCount();
        int frames = seconds * 1000 / static_cast<int>(FRAME_SPACING.count());
        Clock::time_point next = Clock::now();
        for (int k = 1; k <= frames; ++k) {
            std::this_thread::sleep_until(next);
            next += FRAME_SPACING;
            m_target.SendVoice(static_cast<uint32_t>(k) * 20u, 1, 0,
                               VoiceArea(static_cast<char>('0' + k % 4), static_cast<uint16_t>(k)));
        }
        m_target.SendVoice(static_cast<uint32_t>(frames + 1) * 20u, 1, 0,
                           VoiceArea('T', static_cast<uint16_t>(frames + 1)));
        std::this_thread::sleep_for(1500ms);  // what is still queued reaches the radio
        std::set<int> got;
        for (const sim::radio::Frame& fr : m_radio->FramesSince(from)) {
            auto v = fr.command == 'F' && fr.ok() ? sim::radio::ParseVoiceParam(fr.param) : std::nullopt;
            if (v && v->header.counter >= 1 && v->header.counter <= frames) {
                got.insert(v->header.counter);
            }
        }
        f->sent = frames;
        f->arrived = static_cast<int>(got.size());
    }

    std::string m_binary;
    sim::SimBoard m_board;
    std::unique_ptr<sim::PtyLink> m_link;
    sim::UnitProcess m_process;
    std::unique_ptr<sim::RadioSim> m_radio;
    sim::PeerSim m_target;
    sim::PeerSim m_stranger;
};

void PrintRow(const char* name, int rate, const Figures& f)
{
    if (!f.ok) {
        std::printf("  %-10s %8d  not measured: %s\n", name, rate, f.why.c_str());
        return;
    }
    std::printf("  %-10s %8d %9ld %7d %7d %7d %6.1f%% %8d\n", name, rate, f.flood, f.sent, f.arrived,
                f.sent - f.arrived, 100.0 * (f.sent - f.arrived) / std::max(f.sent, 1), f.floodLines);
}

}  // namespace

int main()
{
    std::vector<std::pair<std::string, std::string>> daemons;
    daemons.emplace_back("this", sim::UnitProcess::DefaultBinary());
    if (const char* other = std::getenv("KOVALAN_FLOOD_COMPARE"); other != nullptr && *other != '\0') {
        daemons.emplace_back("compare", other);
    }
    if (daemons[0].second.empty()) {
        std::printf("stranger_flood_bench: no daemon to run (set KOVALAN_BINARY)\n");
        return 1;
    }
    int rate = std::max(EnvInt("KOVALAN_FLOOD_RATE", 10000), 1);
    int seconds = std::clamp(EnvInt("KOVALAN_FLOOD_SECONDS", 4), 1, 600);
    std::printf("stranger_flood_bench: a target talks %d s at 50 frames/s; log as shipped (LogFlagDbg=FFFFFFFF)\n",
                seconds);
    for (const auto& d : daemons) {
        std::printf("  %s: %s\n", d.first.c_str(), d.second.c_str());
    }
    std::printf("\n  %-10s %8s %9s %7s %7s %7s %7s %8s\n", "daemon", "flood/s", "flooded", "frames", "radio", "lost",
                "lost%", "lines");
    bool failed = false;
    for (size_t i = 0; i < daemons.size(); ++i) {
        for (int r : {0, rate}) {
            Figures f = FloodRun(daemons[i].second).Run(r, seconds);
            PrintRow(daemons[i].first.c_str(), r, f);
            std::fflush(stdout);
            failed = failed || (i == 0 && (!f.ok || f.arrived != f.sent));
        }
    }
    std::printf("\n  lines: the daemon's output lines that name the stranger's address\n");
    return failed ? 1 : 0;
}
