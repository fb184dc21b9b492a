// UnitProcess: the daemon as a child process on a simulated board.
//
// Runs `BINARY --root DIR [args]`, optionally inside a named network
// namespace (/var/run/netns/NAME, as `ip netns add` makes it), one named by a
// file (a NetLab member), or a fresh one of its own with only loopback up;
// collects its standard output and error line by line on a reader thread;
// waits for a line containing a text or matching a pattern, with a deadline;
// signals it and waits for its exit with a deadline, reporting the status and
// the time taken. The destructor kills and reaps the child if it still runs;
// only the child's own PID is ever signalled.
//
// The child dies with the thread that started it (parent-death signal), so a
// crashed test leaves no unit behind: start it from the test's own thread.
//
// Threads: one reader thread per running child; the collected lines are
// guarded by m_lock, the public methods are for one test thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

struct UnitOptions {
    std::string binary;             // the daemon (see UnitProcess::DefaultBinary)
    std::string root;               // passed as --root DIR unless empty
    std::vector<std::string> args;  // further arguments
    std::vector<std::string> env;   // extra "NAME=value" entries
    std::string netns;              // run inside this named network namespace
    std::string netnsPath;          // or inside the namespace this file names (e.g. /proc/PID/fd/N)
    bool newNetns = false;          // run inside a new namespace of its own (loopback up)
};

struct UnitLine {
    std::string text;  // without its line feed
    bool stderrLine = false;
    std::chrono::steady_clock::time_point arrival{};
};

struct UnitExit {
    bool exited = false;  // the child ended (false: still running at the deadline)
    int status = -1;      // exit status 0-255 when it exited normally
    int signal = 0;       // the signal that ended it, else 0
    int elapsedMs = 0;    // from the request (signal or wait) to the exit
};

class UnitProcess {
public:
    // $KOVALAN_BINARY, else KOVALAN_BINARY_PATH as the including test target defines it, else "".
    static std::string DefaultBinary()
    {
        const char* env = std::getenv("KOVALAN_BINARY");
        if (env && *env) {
            return env;
        }
#ifdef KOVALAN_BINARY_PATH
        return KOVALAN_BINARY_PATH;
#else
        return "";
#endif
    }
    // True when a new network namespace can be made here (a probe child tries).
    static bool CanMakeNetns(std::string* why);

    UnitProcess() = default;
    ~UnitProcess();
    UnitProcess(const UnitProcess&) = delete;
    UnitProcess& operator=(const UnitProcess&) = delete;

    // Starts the child; false with error() when it could not be run.
    bool Start(const UnitOptions& options);
    const std::string& error() const
    {
        return m_error;
    }
    pid_t pid() const
    {
        return m_pid;
    }
    // True while the child has not been reaped.
    bool running();

    // Lines so far (both streams in arrival order) and all output as one text.
    std::vector<UnitLine> Lines() const;
    std::string Output() const;
    // Index of the first line at or after `from` containing text / matching
    // pattern, waiting up to timeoutMs; nullopt when none came (or the child
    // ended and its output closed first).
    std::optional<size_t> WaitForLine(const std::string& text, int timeoutMs, size_t from = 0);
    std::optional<size_t> WaitForRegex(const std::regex& pattern, int timeoutMs, size_t from = 0);

    // Sends a signal to the child (false when it is gone).
    bool Signal(int sig);
    // Sends sig and waits up to timeoutMs for the exit.
    UnitExit Stop(int sig = SIGTERM, int timeoutMs = 3000);
    // Waits up to timeoutMs for the exit, and for the last lines the child
    // wrote to reach Lines(), without signalling.
    UnitExit WaitExit(int timeoutMs);
    // SIGKILL and reap; no-op when not running.
    void Kill();

private:
    template <typename Match>
    std::optional<size_t> WaitForMatch(Match match, int timeoutMs, size_t from);
    void ReaderLoop(int outFd, int errFd, int wakeFd);
    void Reap(int status);
    void StopReader();

    pid_t m_pid = -1;
    bool m_reaped = true;
    UnitExit m_exit;
    std::string m_error;
    int m_wake[2] = {-1, -1};
    std::thread m_reader;

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<UnitLine> m_lines;
    bool m_outputClosed = false;
};

}  // namespace sim
