// kovactl_link: see the header. Descriptors are non-blocking and every wait
// is a poll with the caller's time limit, so a unit that stops answering
// never hangs the tool. The serial line is set raw because the PC's own line
// discipline would otherwise echo the unit's replies back to it as input
// and translate its line ends.

#include "kovactl_link.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

struct BaudRow {
    int baud;
    speed_t speed;
};

constexpr BaudRow BAUD_TABLE[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

const BaudRow* FindBaud(int baud)
{
    for (const BaudRow& row : BAUD_TABLE) {
        if (row.baud == baud) {
            return &row;
        }
    }
    return nullptr;
}

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// poll on one descriptor, restarted after signals; the revents, 0 on time-out.
short PollOne(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int ret = poll(&p, 1, RemainingMs(deadline));
        if (ret > 0) {
            return p.revents;
        }
        if (ret == 0 || errno != EINTR) {
            return 0;
        }
    }
}

std::string ErrnoText(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool SetRaw(int fd, speed_t speed, std::string* error)
{
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        *error = errno == ENOTTY ? "not a serial port" : ErrnoText("cannot read the line settings");
        return false;
    }

    // No echo, no line editing, no signals, no CR/LF translation on either side.
    cfmakeraw(&tio);
    tio.c_cflag &= static_cast<tcflag_t>(~(CSTOPB | CRTSCTS));
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= static_cast<tcflag_t>(~(IXON | IXOFF | IXANY));
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 || tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = ErrnoText("cannot set the line");
        return false;
    }
    // Whatever the unit sent before this session is not a reply to it.
    tcflush(fd, TCIOFLUSH);
    return true;
}

// Finishes a non-blocking connect within timeoutMs.
bool AwaitConnect(int fd, int timeoutMs, std::string* error)
{
    short revents = PollOne(fd, POLLOUT, timeoutMs);
    if (revents == 0) {
        *error = "no answer within " + std::to_string(timeoutMs) + " ms";
        return false;
    }
    int soError = 0;
    socklen_t len = sizeof(soError);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0) {
        *error = std::strerror(soError != 0 ? soError : errno);
        return false;
    }
    return true;
}

// One connect attempt to one resolved address.
int ConnectOne(const addrinfo* ai, int timeoutMs, std::string* error)
{
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        *error = ErrnoText("socket");
        return -1;
    }
    bool ok = connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
    if (!ok && errno == EINPROGRESS) {
        ok = AwaitConnect(fd, timeoutMs, error);
    } else if (!ok) {
        *error = std::strerror(errno);
    }
    if (!ok) {
        close(fd);
        return -1;
    }
    // Commands are small request-and-answer writes: send each at once.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

}  // namespace

bool CtlIsSupportedBaud(int baud)
{
    return FindBaud(baud) != nullptr;
}

bool CtlOpenSerial(const std::string& path, int baud, CtlLink* link, std::string* error)
{
    const BaudRow* row = FindBaud(baud);
    if (row == nullptr) {
        *error = "unsupported baud rate " + std::to_string(baud);
        return false;
    }
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = ErrnoText("cannot open " + path);
        return false;
    }
    std::string why;
    if (!SetRaw(fd, row->speed, &why)) {
        *error = path + ": " + why;
        close(fd);
        return false;
    }
    link->fd = fd;
    link->bSerial = true;
    link->name = path;
    return true;
}

bool CtlOpenTcp(const std::string& host, uint16_t port, int timeoutMs, CtlLink* link, std::string* error)
{
    const std::string name = host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0) {
        *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    std::string why = "no address";
    int fd = -1;
    for (const addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = ConnectOne(ai, timeoutMs, &why);
    }
    freeaddrinfo(list);
    if (fd < 0) {
        *error = "cannot connect to " + name + ": " + why;
        return false;
    }
    link->fd = fd;
    link->bSerial = false;
    link->name = name;
    return true;
}

void CtlClose(CtlLink* link)
{
    if (link->fd >= 0) {
        close(link->fd);
        link->fd = -1;
    }
}

bool CtlSend(const CtlLink& link, const std::string& bytes, int timeoutMs, std::string* error)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = link.bSerial ? write(link.fd, bytes.data() + done, bytes.size() - done)
                                 : send(link.fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            *error = ErrnoText("cannot send to " + link.name);
            return false;
        }
        if ((PollOne(link.fd, POLLOUT, RemainingMs(deadline)) & POLLOUT) == 0) {
            *error = link.name + " takes no data";
            return false;
        }
    }
    return true;
}

CtlRx CtlReceive(const CtlLink& link, std::string* out, int waitMs)
{
    short revents = PollOne(link.fd, POLLIN, waitMs);
    if (revents == 0) {
        return CtlRx::TIMEOUT;
    }
    char buf[4096];
    ssize_t n;
    do {
        n = read(link.fd, buf, sizeof(buf));
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        out->append(buf, static_cast<size_t>(n));
        return CtlRx::DATA;
    }
    if (n < 0 && errno == EAGAIN) {
        return CtlRx::TIMEOUT;
    }
    return CtlRx::CLOSED;  // end of stream, a pulled cable (EIO) or a reset
}

void CtlDrain(const CtlLink& link)
{
    std::string junk;
    while (CtlReceive(link, &junk, 0) == CtlRx::DATA) {
        junk.clear();
    }
}
