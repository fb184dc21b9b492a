// What the end-to-end tests share: the daemon under test, room for an
// instrumented daemon, waiting for a condition with a deadline, whether a UDP port is taken, and a program
// run to its end.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "loopnet.h"
#include "unit_process.h"

namespace e2e {

// Room for the waits: an instrumented daemon, or one run through an emulator
// ($KOVALAN_E2E_SLOW), is slower and busier.
#ifdef KOVALAN_E2E_SANITIZED
constexpr int SLOW_LEAST = 4;
#else
constexpr int SLOW_LEAST = 1;
#endif
inline const int SLOW =
    std::max(SLOW_LEAST, std::atoi(std::getenv("KOVALAN_E2E_SLOW") ? std::getenv("KOVALAN_E2E_SLOW") : ""));

// The daemon under test: $KOVALAN_BINARY when set (the board's build run
// through qemu-arm by a wrapper), else the one built with these tests.
inline std::string DaemonBinary()
{
    const char* env = std::getenv("KOVALAN_BINARY");
    return env != nullptr && *env != '\0' ? env : KOVALAN_E2E_BINARY;
}

// True once pred holds, polling until timeoutMs passed.
template <typename Pred>
bool Eventually(Pred pred, int timeoutMs = 3000 * SLOW)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// True while something holds UDP port `port` of 127.0.0.1 (a unit binds its peer port on every address).
inline bool PortTaken(int port)
{
    int fd = loopnet::BindUdp(static_cast<uint16_t>(port));
    if (fd >= 0) {
        close(fd);
    }
    return fd < 0;
}

// A program run to its end: how it ended and everything it printed.
struct Finished {
    sim::UnitExit exit;
    std::string output;
    std::vector<sim::UnitLine> lines;
};
inline Finished RunToEnd(const std::string& binary, const std::vector<std::string>& args, int timeoutMs)
{
    sim::UnitProcess p;
    sim::UnitOptions o;
    o.binary = binary;
    o.args = args;
    Finished f;
    if (!p.Start(o)) {
        f.output = p.error();
        return f;
    }
    f.exit = p.WaitExit(timeoutMs);
    p.Kill();
    p.WaitForLine("\x01 no such line", 2000);  // returns once the output has closed
    f.output = p.Output();
    f.lines = p.Lines();
    return f;
}

}  // namespace e2e
