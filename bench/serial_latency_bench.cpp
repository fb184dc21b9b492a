// Latency through serial channel 0 over a pseudo-terminal linked into a
// simulated board: from the moment a short message is handed to Serial_Send
// until the far end has read all of it (transmit thread wake-up, ring copy,
// device write, pty), and the other way: from the far end's write until the
// channel's callback has drained the message from the receive ring. Each
// benchmark reports the median and the 99th percentile of 2000 messages.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "serial.h"
#include "winemu.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int MESSAGES = 2000;

std::atomic<size_t> s_received{0};

void DrainCallback(int channel, DWORD event, LPVOID)
{
    if (event != SERIAL_EVENT_RECEIVE) {
        return;
    }
    BYTE buf[256];
    int n;
    while ((n = Serial_Receive(channel, buf, sizeof(buf))) > 0) {
        s_received.fetch_add(static_cast<size_t>(n));
    }
}

// A board root with dev/ttymxc0 linked to a raw pseudo-terminal, and channel
// 0 open on it.
class PtyChannel {
public:
    PtyChannel()
    {
        char pattern[] = "/tmp/kovalan-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return;
        }
        m_root = pattern;
        std::filesystem::create_directories(m_root + "/dev");
        char name[256] = {};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
            return;
        }
        termios raw;
        tcgetattr(m_slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(m_slave, TCSANOW, &raw);
        if (symlink(name, (m_root + "/dev/ttymxc0").c_str()) != 0) {
            return;
        }
        WinEmu_Init();
        Board_SetRoot(m_root.c_str());
        Serial_Construct();
        Serial_Init();
        Serial_SetCallback(0, DrainCallback, nullptr);
        SERIAL_OPEN_PARAM param{1, 38400, 8, 1, 'N'};
        m_ok = Serial_Open(0, &param) != FALSE;
    }
    ~PtyChannel()
    {
        Serial_Destruct();
        Board_SetRoot(nullptr);
        if (m_master >= 0) {
            close(m_master);
        }
        if (m_slave >= 0) {
            close(m_slave);
        }
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }
    PtyChannel(const PtyChannel&) = delete;
    PtyChannel& operator=(const PtyChannel&) = delete;

    bool ok() const { return m_ok; }
    int master() const { return m_master; }

private:
    std::string m_root;
    int m_master = -1;
    int m_slave = -1;
    bool m_ok = false;
};

bool ReadAll(int fd, size_t count)
{
    BYTE buf[4096];
    while (count > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) {
            return false;
        }
        ssize_t n = read(fd, buf, count < sizeof(buf) ? count : sizeof(buf));
        if (n <= 0) {
            return false;
        }
        count -= static_cast<size_t>(n);
    }
    return true;
}

void ReportPercentiles(benchmark::State& state, std::vector<double>& micros)
{
    if (micros.empty()) {
        return;
    }
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros[std::min(micros.size() - 1, static_cast<size_t>(q * micros.size()))]; };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
}

void BM_SerialSendToPeer(benchmark::State& state)
{
    PtyChannel channel;
    if (!channel.ok()) {
        state.SkipWithError("cannot open channel 0 on a pseudo-terminal");
        return;
    }
    std::vector<BYTE> message(static_cast<size_t>(state.range(0)), 0x5A);
    std::vector<double> micros;
    micros.reserve(MESSAGES);
    for (auto _ : state) {
        auto start = Clock::now();
        Serial_Send(0, message.data(), static_cast<int>(message.size()));
        if (!ReadAll(channel.master(), message.size())) {
            state.SkipWithError("the far end did not get the message");
            break;
        }
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        micros.push_back(seconds * 1e6);
    }
    ReportPercentiles(state, micros);
}

void BM_PeerToSerialCallback(benchmark::State& state)
{
    PtyChannel channel;
    if (!channel.ok()) {
        state.SkipWithError("cannot open channel 0 on a pseudo-terminal");
        return;
    }
    std::vector<BYTE> message(static_cast<size_t>(state.range(0)), 0xA5);
    std::vector<double> micros;
    micros.reserve(MESSAGES);
    for (auto _ : state) {
        size_t target = s_received.load() + message.size();
        auto start = Clock::now();
        if (write(channel.master(), message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
            state.SkipWithError("write to the far end failed");
            break;
        }
        while (s_received.load() < target) {
            if (Clock::now() - start > std::chrono::seconds(2)) {
                state.SkipWithError("the callback did not get the message");
                return;
            }
            std::this_thread::yield();
        }
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        micros.push_back(seconds * 1e6);
    }
    ReportPercentiles(state, micros);
}

}  // namespace

BENCHMARK(BM_SerialSendToPeer)->Arg(16)->Arg(200)->Iterations(MESSAGES)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PeerToSerialCallback)
    ->Arg(16)
    ->Arg(200)
    ->Iterations(MESSAGES)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
