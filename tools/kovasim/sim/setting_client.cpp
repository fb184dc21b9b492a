// SettingClient: the setting tool's side of the text command protocol (see
// setting_client.h). Synchronous reads and writes with deadlines on one
// descriptor; no threads, no locks.
#include "setting_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "pty_link.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view LINE_END = "\r\n";
constexpr int WRITE_TIMEOUT_MS = 3000;

int MsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool PollFor(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    int ret;
    do {
        ret = poll(&p, 1, timeoutMs);
    } while (ret < 0 && errno == EINTR);
    return ret > 0 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
}

int ConnectTcp(const std::string& host, uint16_t port, int timeoutMs)
{
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        return fd;
    }
    int error = errno;
    socklen_t size = sizeof(error);
    if (error == EINPROGRESS && PollFor(fd, POLLOUT, timeoutMs) &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
        return fd;
    }
    close(fd);
    return -1;
}

// True when the reply held in `r` meets an explicit end condition.
bool MeetsEnd(const SettingReply& r, const ReplyEnd& end)
{
    if (end.lines > 0 && r.echoed && static_cast<int>(r.lines.size()) >= end.lines) {
        return true;
    }
    if (!end.lastPrefix.empty()) {
        for (const std::string& line : r.lines) {
            if (line.compare(0, end.lastPrefix.size(), end.lastPrefix) == 0) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

SettingClient::SettingClient(PtyLink& usb) : m_link(&usb) {}

SettingClient::SettingClient(const std::string& host, uint16_t port, int connectTimeoutMs)
    : m_fd(ConnectTcp(host, port, connectTimeoutMs)), m_own(true)
{
}

SettingClient::SettingClient(int fd, bool own) : m_fd(fd), m_own(own) {}

SettingClient::~SettingClient()
{
    Close();
}

void SettingClient::Close()
{
    if (m_own && m_fd >= 0) {
        close(m_fd);
    }
    m_fd = -1;
    m_link = nullptr;
}

int SettingClient::Fd() const
{
    if (m_link) {
        return m_link->master();
    }
    return m_gone ? -1 : m_fd;
}

bool SettingClient::Send(std::string_view bytes)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(WRITE_TIMEOUT_MS);
    while (!bytes.empty()) {
        int fd = Fd();
        if (fd < 0) {
            return false;
        }
        ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else if (!PollFor(fd, POLLOUT, MsUntil(deadline))) {
            return false;
        }
    }
    return true;
}

bool SettingClient::ReadSome(std::string* out, int waitMs)
{
    int fd = Fd();
    if (fd < 0) {
        return false;
    }
    if (!PollFor(fd, POLLIN, waitMs)) {
        return true;  // nothing yet
    }
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n > 0) {
        out->append(buf, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return true;
    }
    if (!m_link) {
        m_gone = true;  // the unit closed the connection
    }
    return false;
}

SettingReply SettingClient::Split(const std::string& raw)
{
    SettingReply r;
    r.raw = raw;
    r.echoed = raw.compare(0, LINE_END.size(), LINE_END) == 0;
    r.text = r.echoed ? raw.substr(LINE_END.size()) : raw;
    size_t at = 0;
    for (size_t end; (end = r.text.find(LINE_END, at)) != std::string::npos; at = end + LINE_END.size()) {
        r.lines.push_back(r.text.substr(at, end - at));
    }
    return r;
}

SettingReply SettingClient::Command(std::string_view line, const ReplyEnd& end, std::string_view terminator)
{
    std::string bytes(line);
    bytes += terminator;
    if (!Send(bytes)) {
        return SettingReply{};
    }
    return Collect(end);
}

SettingReply SettingClient::Collect(const ReplyEnd& end)
{
    const bool explicitEnd = end.lines > 0 || !end.lastPrefix.empty();
    auto deadline = Clock::now() + std::chrono::milliseconds(end.timeoutMs);
    auto lastByte = Clock::now();
    std::string raw;
    for (;;) {
        size_t before = raw.size();
        int wait = MsUntil(deadline);
        if (!explicitEnd) {
            wait = std::min(wait, MsUntil(lastByte + std::chrono::milliseconds(end.quietMs)));
        }
        bool alive = ReadSome(&raw, wait);
        SettingReply r = Split(raw);
        if (raw.size() > before) {
            lastByte = Clock::now();
            if (explicitEnd && MeetsEnd(r, end)) {
                r.complete = true;
                return r;
            }
            continue;
        }
        if (!alive || MsUntil(deadline) == 0) {
            return r;
        }
        if (!explicitEnd && MsUntil(lastByte + std::chrono::milliseconds(end.quietMs)) == 0) {
            r.complete = true;
            return r;
        }
    }
}

std::string SettingClient::ReadUntil(std::string_view suffix, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string raw;
    while (raw.size() < suffix.size() || raw.compare(raw.size() - suffix.size(), suffix.size(), suffix) != 0) {
        int wait = MsUntil(deadline);
        if (wait == 0 || !ReadSome(&raw, wait)) {
            break;
        }
    }
    return raw;
}

std::string SettingClient::ReadQuiet(int quietMs, int timeoutMs)
{
    ReplyEnd end;
    end.quietMs = quietMs;
    end.timeoutMs = timeoutMs;
    return Collect(end).raw;
}

void SettingClient::Drain()
{
    std::string dropped;
    for (;;) {
        size_t before = dropped.size();
        if (!ReadSome(&dropped, 0) || dropped.size() == before) {
            return;
        }
    }
}

}  // namespace sim
