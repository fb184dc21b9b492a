// kovasim: simulated KOVA-LAN boards on a PC. See kovasim --help. SIGINT and
// SIGTERM only set a flag that the running verb watches; it then stops its
// units and removes what it made.
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "kovasim_cli.h"

namespace {

std::atomic<bool> s_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

void OnStopSignal(int)
{
    s_stop.store(true);
}

void InstallSignals()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv)
{
    InstallSignals();
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return KovasimMain(args, std::cout, std::cerr, s_stop);
}
