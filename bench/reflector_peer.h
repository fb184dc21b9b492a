// reflector_peer: the comparison peer of the relay benchmark, Debian's
// svxreflector conference server, run on loopback with a generated
// configuration, and our own clients of its published client protocol
// (version 1.0, the one its 19.09 package speaks):
//  - TCP, every message framed by a 4-byte big-endian length: the client
//    sends its protocol version (type 5: major, minor); the server sends a
//    20-byte challenge (10); the client answers with its call sign and the
//    HMAC-SHA1 of the challenge under its password (11); the server sends
//    log-on OK (12) and its server information (100: a 32-bit client ID, the
//    node list, the codecs); both sides send heartbeats (1) every 10 s;
//  - UDP to the same port: type, client ID and a sequence number (16 bits
//    each, big-endian), then the body; heartbeats (1) every 15 s, audio (101)
//    carrying a byte vector (16-bit count, then the bytes). The first datagram
//    tells the server the client's UDP port; audio from the client that talks
//    goes to every other client.
// Numbers are big-endian; strings and byte vectors carry a 16-bit length.
//
// The benchmark's audio is its own voice area; its first two bytes are the
// frame's counter, which is how a receiver tells frames apart.
//
// Threads: the main thread logs clients on and sends audio; every client,
// and the floor's receiver, has its own reader thread, as every peer of the
// daemon has in the benchmark, so both daemons wake the same number of
// receivers; one more thread sends the heartbeats.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace refl {

using Clock = std::chrono::steady_clock;

constexpr char BINARY[] = "/usr/bin/svxreflector";

// HMAC-SHA1 of data under key.
std::array<uint8_t, 20> HmacSha1(const std::string& key, const uint8_t* data, size_t n);

// The server as a child process on 127.0.0.1 with `users` accounts B0, B1, ...
class Reflector {
   public:
    ~Reflector();
    // False with the reason when the server cannot be run or does not listen.
    bool Start(int users, std::string* why);
    void Stop();
    pid_t pid() const { return m_pid; }
    uint16_t port() const { return m_port; }
    static const char* Password() { return "bench key"; }

   private:
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_dir;
};

// Clients of one server, plus a floor pair: two plain UDP sockets, the
// first sending straight to the second, read by the same thread.
class Clients {
   public:
    explicit Clients(uint16_t port);
    ~Clients();
    Clients(const Clients&) = delete;
    Clients& operator=(const Clients&) = delete;

    // Logs on `count` more clients; false with the reason at the first failure.
    bool LogOn(int count, std::string* why);
    size_t size() const { return m_clients.size(); }
    // Audio from client i; the counter goes in the first two bytes of `area`.
    bool SendAudio(size_t i, const std::string& area);
    // The same bytes straight from the floor's sender to its receiver.
    bool SendFloor(const std::string& area);
    // When client i (or the floor's receiver, FLOOR) got the frame with this
    // counter; nothing when it did not come within timeoutMs.
    std::optional<Clock::time_point> WaitFor(size_t i, uint16_t counter, int timeoutMs);
    // The bytes client i got for a counter ("" when none).
    std::string Got(size_t i, uint16_t counter);
    // Ends client i's connection; it gets nothing more.
    void Drop(size_t i);

    static constexpr size_t FLOOR = static_cast<size_t>(-1);

   private:
    struct Client {
        int tcp = -1;
        int udp = -1;
        uint16_t id = 0;
        uint16_t seq = 0;
        std::string tcpIn;
        Clock::time_point tcpSent, udpSent;
        std::map<uint16_t, std::pair<Clock::time_point, std::string>> got;
    };
    bool LogOnOne(Client* c, const std::string& callsign, std::string* why);
    bool SendUdp(Client* c, uint16_t type, const std::string& body);
    void Reader(Client* c, bool raw);
    void ReadUdp(Client* c, bool raw);
    void ReadTcp(Client* c);
    void Heartbeats();
    bool Stopping();

    uint16_t m_port;
    std::vector<Client> m_clients;
    Client m_floor;
    int m_floorTx = -1;
    int m_wake[2] = {-1, -1};
    std::mutex m_mutex;  // every client's state, and every send
    std::condition_variable m_arrived;
    std::vector<std::thread> m_threads;
    bool m_stop = false;
};

}  // namespace refl
