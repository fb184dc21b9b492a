// kovactl_edit: see the header. libedit's readline interface is used because
// it gives history and completion with a few calls; completion asks the
// command table for the words that may follow what is typed.
#include "kovactl_edit.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "kovactl_commands.h"
#include "kovactl_reply.h"

#ifdef KOVACTL_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace {

std::atomic<bool> g_stop{false};

void OnInterrupt(int)
{
    g_stop = true;
}

// Reads a line from the terminal with echo off.
bool AskPassword(std::string* password)
{
    std::cerr << "PassWord: " << std::flush;
    termios saved;
    const bool tty = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    const bool ok = static_cast<bool>(std::getline(std::cin, *password));
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::cerr << "\n";
    }
    return ok;
}

#ifdef KOVACTL_HAVE_LIBEDIT
std::string HistoryPath()
{
    const char* home = std::getenv("HOME");
    return home != nullptr ? std::string(home) + "/.kovactl_history" : "";
}

std::vector<std::string> g_candidates;

char* NextCandidate(const char* text, int state)
{
    static size_t next = 0;
    next = state == 0 ? 0 : next;
    while (next < g_candidates.size()) {
        const std::string& c = g_candidates[next++];
        if (c.compare(0, std::strlen(text), text) == 0) {
            return strdup(c.c_str());
        }
    }
    return nullptr;
}

char** Complete(const char* text, int start, int)
{
    std::vector<std::string> words = CtlSplitWords(std::string(rl_line_buffer, static_cast<size_t>(start)));
    g_candidates = CtlCompletions(words);
    rl_attempted_completion_over = 1;  // never fall back to file names
    return rl_completion_matches(text, NextCandidate);
}

bool EditLine(std::string* line)
{
    char* text = readline("kovactl> ");
    if (text == nullptr) {
        std::cerr << "\n";
        return false;
    }
    *line = text;
    if (line->find_first_not_of(" \t") != std::string::npos) {
        add_history(text);
    }
    std::free(text);
    return true;
}
#endif

bool PlainLine(std::string* line, bool prompt)
{
    if (prompt) {
        std::cerr << "kovactl> " << std::flush;
    }
    return static_cast<bool>(std::getline(std::cin, *line));
}

}  // namespace

CtlLineSource CtlTerminalSource(bool interactive, bool catchInterrupt)
{
    if (catchInterrupt) {
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigaction(SIGINT, &sa, nullptr);
    }
    CtlLineSource source;
    source.interactive = interactive;
    source.stop = &g_stop;
    source.askPassword = AskPassword;
    source.read = [interactive](std::string* line) { return PlainLine(line, interactive); };
#ifdef KOVACTL_HAVE_LIBEDIT
    if (interactive) {
        rl_readline_name = "kovactl";
        rl_attempted_completion_function = Complete;
        using_history();
        const std::string path = HistoryPath();
        if (!path.empty()) {
            read_history(path.c_str());
        }
        source.read = EditLine;
    }
#endif
    return source;
}

void CtlTerminalClose()
{
#ifdef KOVACTL_HAVE_LIBEDIT
    const std::string path = HistoryPath();
    if (!path.empty() && history_length > 0) {
        write_history(path.c_str());
        history_truncate_file(path.c_str(), 1000);
    }
#endif
}
