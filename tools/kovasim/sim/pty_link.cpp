// pty_link: pseudo-terminal cables into simulated boards (see pty_link.h).
#include "pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool WaitFor(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    int ret;
    do {
        ret = poll(&p, 1, timeoutMs);
    } while (ret < 0 && errno == EINTR);
    return ret > 0 && (p.revents & events) != 0;
}

}  // namespace

PtyLink::PtyLink(const std::string& root, const std::string& deviceName)
    : m_linkPath(root + "/dev/" + deviceName)
{
    std::error_code ec;
    std::filesystem::create_directories(root + "/dev", ec);
    if (ec) {
        m_error = "cannot create " + root + "/dev: " + ec.message();
        return;
    }
    Plug();
}

PtyLink::PtyLink(const std::string& linkPath) : m_linkPath(linkPath)
{
    Plug();
}

PtyLink::~PtyLink()
{
    Pull();
}

void PtyLink::Close()
{
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
    if (m_slave >= 0) {
        close(m_slave);
        m_slave = -1;
    }
}

void PtyLink::Pull()
{
    Close();
    unlink(m_linkPath.c_str());
    m_slavePath.clear();
}

bool PtyLink::Plug()
{
    Pull();
    char name[256] = {};
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        m_error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (symlink(name, m_linkPath.c_str()) != 0) {
        m_error = "symlink " + m_linkPath + ": " + std::strerror(errno);
        close(master);
        close(slave);
        return false;
    }
    m_master = master;
    m_slave = slave;
    m_slavePath = name;
    m_error.clear();
    return true;
}

bool PtyLink::Write(const void* data, size_t length, int timeoutMs)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (length > 0 && m_master >= 0) {
        ssize_t n = write(m_master, p, length);
        if (n > 0) {
            p += n;
            length -= static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else if (!WaitFor(m_master, POLLOUT, RemainingMs(deadline))) {
            return false;
        }
    }
    return length == 0;
}

bool PtyLink::Write(const std::string& text, int timeoutMs)
{
    return Write(text.data(), text.size(), timeoutMs);
}

bool PtyLink::Write(const std::vector<uint8_t>& bytes, int timeoutMs)
{
    return Write(bytes.data(), bytes.size(), timeoutMs);
}

std::vector<uint8_t> PtyLink::ReadExactly(size_t count, int timeoutMs)
{
    std::vector<uint8_t> out;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t buf[4096];
    while (out.size() < count && m_master >= 0) {
        size_t want = count - out.size() < sizeof(buf) ? count - out.size() : sizeof(buf);
        ssize_t n = read(m_master, buf, want);
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        } else if (!WaitFor(m_master, POLLIN, RemainingMs(deadline))) {
            break;
        }
    }
    return out;
}

std::vector<uint8_t> PtyLink::ReadAvailable(int waitMs)
{
    std::vector<uint8_t> out;
    if (m_master < 0 || (waitMs > 0 && !WaitFor(m_master, POLLIN, waitMs))) {
        return out;
    }
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = read(m_master, buf, sizeof(buf));
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

bool PtyLink::SlaveAttributes(termios* attr) const
{
    return m_slave >= 0 && tcgetattr(m_slave, attr) == 0;
}

size_t PtyLink::SlaveInputPending() const
{
    int pending = 0;
    if (m_slave < 0 || ioctl(m_slave, FIONREAD, &pending) != 0 || pending < 0) {
        return 0;
    }
    return static_cast<size_t>(pending);
}

}  // namespace sim
