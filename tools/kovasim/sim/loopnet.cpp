// loopnet: raw loopback sockets and private namespaces for network tests.
#include "loopnet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace loopnet {

namespace {

// A connect that stays unanswered this long counts as dropped.
constexpr int SILENT_PROBE_MS = 300;
constexpr int MAX_FILLERS = 8;

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(LOOPBACK);
    return address;
}

int BindLoopback(int type, uint16_t port)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

enum class Probe { Connected, Unanswered, Refused };

// A non-blocking connect and what became of it within timeoutMs.
Probe ProbeConnect(int fd, uint16_t port, int timeoutMs)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    sockaddr_in address = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        return Probe::Connected;
    }
    if (errno != EINPROGRESS) {
        return Probe::Refused;
    }
    pollfd pfd = {fd, POLLOUT, 0};
    int ready = poll(&pfd, 1, timeoutMs);
    if (ready == 0) {
        return Probe::Unanswered;
    }
    int err = 0;
    socklen_t length = sizeof(err);
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length);
    return ready == 1 && err == 0 ? Probe::Connected : Probe::Refused;
}

}  // namespace

uint16_t FreePort(int type)
{
    int fd = BindLoopback(type, 0);
    uint16_t port = fd >= 0 ? LocalPort(fd) : 0;
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

int ConnectTcp(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

int ListenTcp(uint16_t port)
{
    int fd = BindLoopback(SOCK_STREAM, port);
    if (fd >= 0 && listen(fd, 16) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

int AcceptFor(int listener, int timeoutMs)
{
    pollfd pfd = {listener, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) != 1) {
        return -1;
    }
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

int BindUdp(uint16_t port)
{
    return BindLoopback(SOCK_DGRAM, port);
}

bool SendDatagram(int fd, uint16_t port, const std::string& bytes)
{
    sockaddr_in address = Loopback(port);
    ssize_t n = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    return n == static_cast<ssize_t>(bytes.size());
}

uint16_t LocalPort(int fd)
{
    sockaddr_in address;
    socklen_t length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

bool WriteAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string ReadFor(int fd, size_t count, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string out;
    while (out.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd pfd = {fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) != 1) {
            break;
        }
        char buf[4096];
        ssize_t n = recv(fd, buf, std::min(sizeof(buf), count - out.size()), 0);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

bool SeesClose(int fd, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd pfd = {fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) != 1) {
            return false;
        }
        char buf[4096];
        if (recv(fd, buf, sizeof(buf), 0) <= 0) {
            return true;
        }
    }
}

bool EnterPrivateNetNamespace(std::string* why)
{
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("cannot make a network namespace: ") + std::strerror(errno);
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0) {
        close(fd);
    }
    if (!up) {
        *why = std::string("cannot bring up lo in the namespace: ") + std::strerror(errno);
    }
    return up;
}

SilentTcpTarget::SilentTcpTarget()
{
    m_listener = BindLoopback(SOCK_STREAM, 0);
    if (m_listener < 0 || listen(m_listener, 0) != 0) {
        return;
    }
    m_port = LocalPort(m_listener);
    // Connections complete until the accept queue is full; the first one left
    // unanswered proves that further SYNs are dropped.
    for (int i = 0; i < MAX_FILLERS && !m_ready; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        m_fillers.push_back(fd);
        Probe probe = ProbeConnect(fd, m_port, SILENT_PROBE_MS);
        if (probe == Probe::Refused) {
            return;
        }
        m_ready = probe == Probe::Unanswered;
    }
}

SilentTcpTarget::~SilentTcpTarget()
{
    for (int fd : m_fillers) {
        close(fd);
    }
    if (m_listener >= 0) {
        close(m_listener);
    }
}

}  // namespace loopnet
