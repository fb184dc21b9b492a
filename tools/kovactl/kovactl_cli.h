// kovactl_cli: the command line of kovactl, the setting tool: options, the
// help text, one command, an interactive session over standard input, the
// `targets` table, and the exit status. Kept apart from main() so that the
// tests run it in process (also under qemu-arm).
//
// Threads: one call at a time; no state between calls.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

// Exit statuses.
inline constexpr int KOVACTL_EXIT_OK = 0;           // a change accepted or a value read
inline constexpr int KOVACTL_EXIT_REFUSED = 1;      // "NG" or an error reply
inline constexpr int KOVACTL_EXIT_UNREACHABLE = 2;  // no device, refused, closed or no answer in time
inline constexpr int KOVACTL_EXIT_USAGE = 64;       // the command line is wrong

// Runs one command line (without the program name). Replies go to out,
// messages to err; an interactive session reads its lines from in and, when
// prompt is true (a terminal), writes a prompt to err before each.
int KovactlMain(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                bool prompt = false);
