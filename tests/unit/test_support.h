// Shared helpers of the unit tests: temporary folders that clean up after
// themselves, file reading and writing, and capture of the daemon's debug
// output (which goes to the standard output).
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "winemu.h"

namespace testsupport {

// A fresh folder below $TMPDIR (or /tmp), removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::vector<BYTE> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<BYTE>& bytes);
std::string ReadFileText(const std::string& path);
// Occurrences of needle in text (overlapping ones included).
size_t CountOf(const std::string& text, const std::string& needle);

// Waits until pred() holds, looking every 5 ms; false after the time-out. The
// deadline only keeps a faulty build from hanging: a correct one meets the
// condition long before, however busy the machine.
template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(20000))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Waits until some thread is in a bounded event wait of ms (a pause of that
// length has begun), so that a test clock move made afterwards counts for it;
// false after the time-out.
bool WaitForPause(DWORD ms, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// Runs the debug output (InitDebugPrint) for the lifetime of the object and
// captures what it prints; text() stops the capture and returns it.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;
    std::string text();

private:
    bool m_capturing;
};

// Runs the debug output for the lifetime of the object and collects the
// standard output through a pipe as it comes, so a test can wait for a line
// that another thread prints. Text() includes everything printed before the
// call. On a failed test the output is shown.
class StdoutTap {
public:
    StdoutTap();
    ~StdoutTap();
    StdoutTap(const StdoutTap&) = delete;
    StdoutTap& operator=(const StdoutTap&) = delete;
    std::string Text();
    // Occurrences of needle in the output so far.
    int Count(const std::string& needle);
    // Waits until needle occurred count times; false after the time-out.
    bool WaitForCount(const std::string& needle, int count,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

private:
    void ReadLoop();
    // Moves what the pipe holds into m_text; false once the pipe has ended.
    bool DrainLocked();

    int m_read = -1;
    int m_saved = -1;
    std::thread m_reader;
    std::mutex m_lock;
    std::string m_text;
};

}  // namespace testsupport
