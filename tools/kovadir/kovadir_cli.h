// kovadir_cli: the command line of kovadir, the directory tool: it runs the
// unit's directory client on a PC against list servers (status, servers,
// register, search, list, portcheck, online). Kept apart from main() so that
// the tests run it in process (also under qemu-arm).
//
// Threads: one call at a time (the directory client's state is process-wide).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli_convention.h"

// Exit statuses.
inline constexpr int KOVADIR_EXIT_OK = KOVA_EXIT_OK;
inline constexpr int KOVADIR_EXIT_FAILURE = KOVA_EXIT_FAILED;           // a refused or failed request
inline constexpr int KOVADIR_EXIT_UNREACHABLE = KOVA_EXIT_UNREACHABLE;  // no list server could be reached
inline constexpr int KOVADIR_EXIT_USAGE = KOVA_EXIT_USAGE;              // the command line is wrong

// Runs one command line (without the program name); results go to out,
// errors to err (the client's trace lines, with --verbose, to the standard output).
int KovadirMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
