#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "debug.h"

namespace testsupport {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kovalan-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed for " << pattern;
    }
    m_path = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::vector<BYTE> ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::vector<BYTE>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFileText(const std::string& path)
{
    std::vector<BYTE> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

size_t CountOf(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

DebugCapture::DebugCapture() : m_capturing(true)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    InitDebugPrint();
}

DebugCapture::~DebugCapture()
{
    text();
}

std::string DebugCapture::text()
{
    if (!m_capturing) {
        return std::string();
    }
    FreeDebugPrint();
    fflush(stdout);
    m_capturing = false;
    return testing::internal::GetCapturedStdout();
}

bool WaitForPause(DWORD ms, std::chrono::milliseconds timeout)
{
    return WaitUntil([ms] { return WinEmu_BoundedWaitsForTest(ms) != 0; }, timeout);
}

StdoutTap::StdoutTap()
{
    std::fflush(stdout);
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return;
    }
    m_read = fds[0];
    fcntl(m_read, F_SETFL, fcntl(m_read, F_GETFL) | O_NONBLOCK);
    m_saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    m_reader = std::thread([this] { ReadLoop(); });
    InitDebugPrint();
}

StdoutTap::~StdoutTap()
{
    FreeDebugPrint();
    std::fflush(stdout);
    if (m_saved >= 0) {
        dup2(m_saved, STDOUT_FILENO);  // the pipe's last writer goes: the reader sees its end
        close(m_saved);
    }
    if (m_reader.joinable()) {
        m_reader.join();
    }
    if (m_read >= 0) {
        close(m_read);
    }
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "--- unit output ---\n%s-------------------\n", Text().c_str());
    }
}

std::string StdoutTap::Text()
{
    std::fflush(stdout);
    std::lock_guard<std::mutex> guard(m_lock);
    DrainLocked();
    return m_text;
}

bool StdoutTap::DrainLocked()
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(m_read, buf, sizeof(buf));
        if (n > 0) {
            m_text.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && errno == EAGAIN;  // false at the pipe's end or on an error
        }
    }
}

int StdoutTap::Count(const std::string& needle)
{
    return static_cast<int>(CountOf(Text(), needle));
}

bool StdoutTap::WaitForCount(const std::string& needle, int count, std::chrono::milliseconds timeout)
{
    return WaitUntil([&] { return Count(needle) >= count; }, timeout);
}

// Keeps the pipe from filling while nobody asks for the text. Reads happen
// only under the lock, so the text keeps the order in which it was written.
void StdoutTap::ReadLoop()
{
    for (;;) {
        pollfd pfd{m_read, POLLIN, 0};
        if (poll(&pfd, 1, 100) < 0 && errno != EINTR) {
            return;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        if (!DrainLocked()) {
            return;
        }
    }
}

}  // namespace testsupport
