// kovasim_cli: the command line of kovasim, simulated KOVA-LAN boards on a
// PC: the verbs demo, make-root, run and list-server, their options and help texts, and
// where the daemon's binary is found. Kept apart from main() so that the
// verbs can be run in process.
#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

#include "cli_convention.h"

// Exit statuses.
inline constexpr int KOVASIM_EXIT_OK = KOVA_EXIT_OK;
// The demo failed, or a root or unit could not be made or run.
inline constexpr int KOVASIM_EXIT_FAILURE = KOVA_EXIT_FAILED;
inline constexpr int KOVASIM_EXIT_USAGE = KOVA_EXIT_USAGE;

// Runs one command line (without the program name). `stop` is set by the
// caller's SIGINT/SIGTERM handler; demo and run end early when it is.
int KovasimMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                const std::atomic<bool>& stop);
