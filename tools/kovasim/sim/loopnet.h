// loopnet: raw-socket tools for network tests, written on plain POSIX calls
// and independent of the daemon's socket layer: free loopback ports, a
// loopback TCP client, timed reads, and a private network namespace with a
// TCP target that never answers. Nothing here sends to any address outside
// 127.0.0.1 of the calling thread's own namespace.
//
// Threads: any; EnterPrivateNetNamespace moves only the calling thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace loopnet {

constexpr uint32_t LOOPBACK = 0x7F000001;  // 127.0.0.1, first number in the top byte

// A port of 127.0.0.1 that nothing is bound to right now (SOCK_STREAM or SOCK_DGRAM).
uint16_t FreePort(int type);
// A blocking TCP connection to 127.0.0.1:port; -1 if refused.
int ConnectTcp(uint16_t port);
// A TCP listener on 127.0.0.1:port (0: any free port); -1 on failure.
int ListenTcp(uint16_t port);
// The next connection of a listener within timeoutMs; -1 if none came.
int AcceptFor(int listener, int timeoutMs);
// A UDP socket bound to 127.0.0.1:port (0: any free port); -1 on failure.
int BindUdp(uint16_t port);
// One datagram to 127.0.0.1:port; false if it did not go out whole.
bool SendDatagram(int fd, uint16_t port, const std::string& bytes);
// The local port a socket is bound to.
uint16_t LocalPort(int fd);
// Writes all bytes; false on failure.
bool WriteAll(int fd, const std::string& bytes);
// Reads until count bytes arrived, the peer closed, or timeoutMs passed.
std::string ReadFor(int fd, size_t count, int timeoutMs);
// True if the peer closes (or resets) the connection within timeoutMs; data read meanwhile is dropped.
bool SeesClose(int fd, int timeoutMs);

// Moves the calling thread into a new network namespace with its loopback
// interface up. False, with the reason in *why, where that is not allowed.
bool EnterPrivateNetNamespace(std::string* why);

// A TCP port on 127.0.0.1 that never answers a connect: a listener whose
// accept queue is filled and never accepted, so the kernel drops further
// SYNs. Make it inside a private namespace.
class SilentTcpTarget {
public:
    SilentTcpTarget();
    ~SilentTcpTarget();
    SilentTcpTarget(const SilentTcpTarget&) = delete;
    SilentTcpTarget& operator=(const SilentTcpTarget&) = delete;
    // True once a probe connect was seen to get no answer.
    bool ready() const { return m_ready; }
    uint16_t port() const { return m_port; }

private:
    int m_listener = -1;
    std::vector<int> m_fillers;
    uint16_t m_port = 0;
    bool m_ready = false;
};

}  // namespace loopnet
