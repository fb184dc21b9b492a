// console_port: see the header. Both masters are non-blocking. Bytes from
// the PC wait for room at the unit's end (the unit always reads); bytes from
// the unit that the PC's terminal cannot take are dropped.
#include "console_port.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kovasim {

namespace {

constexpr int POLL_MS = 50;
constexpr int ROOM_WAIT_MS = 1000;

// Writes all of data to fd, waiting up to waitMs for room; false if it could not.
bool WriteAll(int fd, const char* data, size_t length, int waitMs)
{
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        pollfd room{fd, POLLOUT, 0};
        if (waitMs <= 0 || poll(&room, 1, waitMs) <= 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

ConsolePort::ConsolePort(int unitMaster, const std::string& path) : m_unit(unitMaster), m_path(path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        m_error = path + " exists and is not a link: choose another path";
        return;
    }
    unlink(path.c_str());
    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_error = std::string("openpty: ") + std::strerror(errno);
        return;
    }
    termios raw;
    tcgetattr(m_slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(m_slave, TCSANOW, &raw);
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    if (symlink(name, path.c_str()) != 0) {
        m_error = "cannot link " + path + ": " + std::strerror(errno);
        return;
    }
    m_thread = std::thread([this] { Relay(); });
}

ConsolePort::~ConsolePort()
{
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
        unlink(m_path.c_str());
    }
    if (m_master >= 0) {
        close(m_master);
    }
    if (m_slave >= 0) {
        close(m_slave);
    }
}

void ConsolePort::Relay()
{
    char buf[4096];
    while (!m_stop) {
        pollfd p[2] = {{m_unit, POLLIN, 0}, {m_master, POLLIN, 0}};
        if (poll(p, 2, POLL_MS) <= 0) {
            continue;
        }
        if ((p[0].revents & POLLIN) != 0) {
            const ssize_t n = read(m_unit, buf, sizeof buf);
            if (n > 0) {
                WriteAll(m_master, buf, static_cast<size_t>(n), 0);
            }
        }
        if ((p[1].revents & POLLIN) != 0) {
            const ssize_t n = read(m_master, buf, sizeof buf);
            if (n > 0) {
                WriteAll(m_unit, buf, static_cast<size_t>(n), ROOM_WAIT_MS);
            }
        }
        if (((p[0].revents | p[1].revents) & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            poll(nullptr, 0, POLL_MS);  // a pulled cable: wait for the unit to go
        }
    }
}

}  // namespace kovasim
