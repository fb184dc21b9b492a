// kovactl_cli: the command line of kovactl, the setting tool: options, the
// help text, one command, an interactive session over standard input, the
// `targets` table, and the exit status. Kept apart from main() so that the
// tests run it in process (also under qemu-arm).
//
// Threads: one call at a time; no state between calls.
#pragma once

#include <atomic>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

// Exit statuses.
inline constexpr int KOVACTL_EXIT_OK = 0;           // a change accepted or a value read
inline constexpr int KOVACTL_EXIT_REFUSED = 1;      // "NG" or an error reply
inline constexpr int KOVACTL_EXIT_UNREACHABLE = 2;  // no device, refused, closed or no answer in time
inline constexpr int KOVACTL_EXIT_USAGE = 64;       // the command line is wrong

// Where a session's lines come from: standard input, or the line editor on a terminal.
using CtlReadLine = std::function<bool(std::string* line)>;
struct CtlLineSource {
    CtlReadLine read;                                 // false at the end of the input
    std::function<bool(std::string*)> askPassword;    // reads a PassWord without echo (--ask-password)
    bool interactive = false;                         // a person types the lines
    const std::atomic<bool>* stop = nullptr;          // set on Ctrl-C: ends log --follow
};

// Runs one command line (without the program name). Replies go to out,
// messages to err; an interactive session reads its lines from in and, when
// prompt is true (a terminal), writes a prompt to err before each.
int KovactlMain(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                bool prompt = false);
// The same with the session's lines from source.
int KovactlMain(const std::vector<std::string>& args, const CtlLineSource& source, std::ostream& out,
                std::ostream& err);
