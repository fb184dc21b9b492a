// reflector_peer: the comparison server as a process and our clients of it.
#include "reflector_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nettle/hmac.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "loopnet.h"

namespace refl {

namespace {

using namespace std::chrono_literals;

constexpr uint16_t MSG_HEARTBEAT = 1;
constexpr uint16_t MSG_PROTO_VER = 5;
constexpr uint16_t MSG_AUTH_CHALLENGE = 10;
constexpr uint16_t MSG_AUTH_RESPONSE = 11;
constexpr uint16_t MSG_AUTH_OK = 12;
constexpr uint16_t MSG_ERROR = 13;
constexpr uint16_t MSG_SERVER_INFO = 100;
constexpr uint16_t UDP_HEARTBEAT = 1;
constexpr uint16_t UDP_AUDIO = 101;
constexpr size_t CHALLENGE_SIZE = 20;
constexpr size_t UDP_HEADER_SIZE = 6;
constexpr auto TCP_HEARTBEAT_EVERY = 10s;
constexpr auto UDP_HEARTBEAT_EVERY = 15s;
constexpr int LOG_ON_TIMEOUT_MS = 3000;

// ---- Message fields ---------------------------------------------------------

void Put16(std::string* s, uint16_t v)
{
    *s += static_cast<char>(v >> 8);
    *s += static_cast<char>(v & 0xFF);
}

void PutBytes(std::string* s, const std::string& bytes)
{
    Put16(s, static_cast<uint16_t>(bytes.size()));
    *s += bytes;
}

uint16_t Get16(const std::string& s, size_t at)
{
    return at + 2 <= s.size() ? static_cast<uint16_t>((uint8_t(s[at]) << 8) | uint8_t(s[at + 1])) : 0;
}

uint32_t Get32(const std::string& s, size_t at)
{
    return (uint32_t{Get16(s, at)} << 16) | Get16(s, at + 2);
}

// A TCP message in its frame: length, then type and fields.
std::string Framed(uint16_t type, const std::string& fields)
{
    std::string body;
    Put16(&body, type);
    body += fields;
    std::string frame;
    Put16(&frame, static_cast<uint16_t>(body.size() >> 16));
    Put16(&frame, static_cast<uint16_t>(body.size() & 0xFFFF));
    return frame + body;
}

// Takes one whole frame's body off the front of `in`; nothing when incomplete.
std::optional<std::string> TakeFrame(std::string* in)
{
    if (in->size() < 4) {
        return std::nullopt;
    }
    size_t n = Get32(*in, 0);
    if (in->size() < 4 + n) {
        return std::nullopt;
    }
    std::string body = in->substr(4, n);
    in->erase(0, 4 + n);
    return body;
}

// The next frame on a blocking-free socket within timeoutMs.
std::optional<std::string> ReadFrame(int fd, std::string* in, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (auto f = TakeFrame(in)) {
            return f;
        }
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) {
            return std::nullopt;
        }
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            return std::nullopt;
        }
        in->append(buf, static_cast<size_t>(n));
    }
}

int ConnectedUdp(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(loopnet::LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t CounterOf(const std::string& area)
{
    return Get16(area, 0);
}

}  // namespace

// The log-on answer: HMAC-SHA1 of the challenge keyed with the password,
// computed by Nettle.
std::array<uint8_t, 20> HmacSha1(const std::string& key, const uint8_t* data, size_t n)
{
    hmac_sha1_ctx ctx;
    hmac_sha1_set_key(&ctx, key.size(), reinterpret_cast<const uint8_t*>(key.data()));
    hmac_sha1_update(&ctx, n, data);
    std::array<uint8_t, 20> out{};
    hmac_sha1_digest(&ctx, out.size(), out.data());
    return out;
}

// ---- The server process -------------------------------------------------------

Reflector::~Reflector()
{
    Stop();
}

bool Reflector::Start(int users, std::string* why)
{
    char dir[] = "/tmp/relay-peer-XXXXXX";
    if (access(BINARY, X_OK) != 0 || mkdtemp(dir) == nullptr) {
        *why = std::string(BINARY) + " cannot be run";
        return false;
    }
    m_dir = dir;
    m_port = loopnet::FreePort(SOCK_STREAM);
    std::ofstream conf(m_dir + "/reflector.conf");
    conf << "[GLOBAL]\nTIMESTAMP_FORMAT=\"%H:%M:%S\"\nLISTEN_PORT=" << m_port << "\nCODECS=OPUS\n\n[USERS]\n";
    for (int i = 0; i < users; ++i) {
        conf << "B" << i << "=Bench\n";
    }
    conf << "\n[PASSWORDS]\nBench=\"" << Password() << "\"\n";
    conf.close();
    std::string config = "--config=" + m_dir + "/reflector.conf";
    std::string log = "--logfile=" + m_dir + "/reflector.log";
    m_pid = fork();
    if (m_pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        execl(BINARY, "svxreflector", config.c_str(), log.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 100 && m_pid > 0; ++i) {
        int fd = loopnet::ConnectTcp(m_port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    *why = "the server did not listen on port " + std::to_string(m_port);
    return false;
}

void Reflector::Stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    if (!m_dir.empty()) {
        std::string rm = "rm -rf '" + m_dir + "'";
        (void)!std::system(rm.c_str());
        m_dir.clear();
    }
}

// ---- Clients -------------------------------------------------------------------

Clients::Clients(uint16_t port) : m_port(port)
{
    m_floor.udp = loopnet::BindUdp(0);
    m_floorTx = loopnet::BindUdp(0);
    (void)!pipe2(m_wake, O_CLOEXEC);
}

Clients::~Clients()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    (void)!write(m_wake[1], "x", 1);  // stays readable: wakes every thread
    for (std::thread& t : m_threads) {
        t.join();
    }
    for (Client& c : m_clients) {
        for (int fd : {c.tcp, c.udp}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    for (int fd : {m_floor.udp, m_floorTx, m_wake[0], m_wake[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool Clients::LogOnOne(Client* c, const std::string& callsign, std::string* why)
{
    c->tcp = loopnet::ConnectTcp(m_port);
    std::string fields;
    Put16(&fields, 1);
    Put16(&fields, 0);
    if (c->tcp < 0 || !loopnet::WriteAll(c->tcp, Framed(MSG_PROTO_VER, fields))) {
        *why = callsign + ": no TCP connection";
        return false;
    }
    auto challenge = ReadFrame(c->tcp, &c->tcpIn, LOG_ON_TIMEOUT_MS);
    if (!challenge || Get16(*challenge, 0) != MSG_AUTH_CHALLENGE || Get16(*challenge, 2) != CHALLENGE_SIZE ||
        challenge->size() < 4 + CHALLENGE_SIZE) {
        *why = callsign + ": no challenge";
        return false;
    }
    auto digest = HmacSha1(Reflector::Password(), reinterpret_cast<const uint8_t*>(challenge->data() + 4), CHALLENGE_SIZE);
    fields.clear();
    PutBytes(&fields, callsign);
    PutBytes(&fields, std::string(digest.begin(), digest.end()));
    if (!loopnet::WriteAll(c->tcp, Framed(MSG_AUTH_RESPONSE, fields))) {
        *why = callsign + ": response not sent";
        return false;
    }
    for (;;) {
        auto m = ReadFrame(c->tcp, &c->tcpIn, LOG_ON_TIMEOUT_MS);
        uint16_t type = m ? Get16(*m, 0) : MSG_ERROR;
        if (type == MSG_ERROR) {
            *why = callsign + ": log-on refused";
            return false;
        }
        if (type == MSG_SERVER_INFO) {
            c->id = static_cast<uint16_t>(Get32(*m, 2));
            break;
        }
    }
    c->udp = ConnectedUdp(m_port);
    c->tcpSent = c->udpSent = Clock::now();
    if (c->udp < 0 || !SendUdp(c, UDP_HEARTBEAT, "")) {
        *why = callsign + ": no UDP socket";
        return false;
    }
    return true;
}

bool Clients::LogOn(int count, std::string* why)
{
    if (!m_threads.empty() || m_floor.udp < 0 || m_floorTx < 0 || m_wake[0] < 0) {
        *why = "clients already running";
        return false;
    }
    m_clients.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::string callsign = std::to_string(i);
        callsign.insert(callsign.begin(), 'B');
        if (!LogOnOne(&m_clients[static_cast<size_t>(i)], callsign, why)) {
            return false;
        }
    }
    for (Client& c : m_clients) {
        m_threads.emplace_back(&Clients::Reader, this, &c, false);
    }
    m_threads.emplace_back(&Clients::Reader, this, &m_floor, true);
    m_threads.emplace_back(&Clients::Heartbeats, this);
    return true;
}

bool Clients::SendUdp(Client* c, uint16_t type, const std::string& body)
{
    std::string d;
    Put16(&d, type);
    Put16(&d, c->id);
    Put16(&d, c->seq++);
    d += body;
    c->udpSent = Clock::now();
    return send(c->udp, d.data(), d.size(), 0) == static_cast<ssize_t>(d.size());
}

bool Clients::SendAudio(size_t i, const std::string& area)
{
    std::string body;
    PutBytes(&body, area);
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clients[i].udp >= 0 && SendUdp(&m_clients[i], UDP_AUDIO, body);
}

bool Clients::SendFloor(const std::string& area)
{
    return loopnet::SendDatagram(m_floorTx, loopnet::LocalPort(m_floor.udp), area);
}

std::optional<Clock::time_point> Clients::WaitFor(size_t i, uint16_t counter, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    Client& c = i == FLOOR ? m_floor : m_clients[i];
    if (!m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return c.got.count(counter) != 0; })) {
        return std::nullopt;
    }
    return c.got[counter].first;
}

std::string Clients::Got(size_t i, uint16_t counter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Client& c = i == FLOOR ? m_floor : m_clients[i];
    auto it = c.got.find(counter);
    return it == c.got.end() ? "" : it->second.second;
}

void Clients::Drop(size_t i)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int fd : {m_clients[i].tcp, m_clients[i].udp}) {
        if (fd >= 0) {
            shutdown(fd, SHUT_RDWR);
        }
    }
}

// A datagram: from the server a header and an audio vector, on the floor
// the bare area.
void Clients::ReadUdp(Client* c, bool raw)
{
    char buf[2048];
    ssize_t n = recv(c->udp, buf, sizeof(buf), MSG_DONTWAIT);
    Clock::time_point at = Clock::now();
    if (n <= 0) {
        return;
    }
    std::string d(buf, static_cast<size_t>(n));
    if (!raw) {
        if (Get16(d, 0) != UDP_AUDIO || d.size() < UDP_HEADER_SIZE + 2) {
            return;
        }
        d = d.substr(UDP_HEADER_SIZE + 2, Get16(d, UDP_HEADER_SIZE));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    c->got.emplace(CounterOf(d), std::make_pair(at, d));
    m_arrived.notify_all();
}

// The server's TCP messages (heartbeats, node and talker notices) are read
// and left aside.
void Clients::ReadTcp(Client* c)
{
    char buf[4096];
    ssize_t n = recv(c->tcp, buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) {
        c->tcpIn.append(buf, static_cast<size_t>(n));
        while (TakeFrame(&c->tcpIn)) {
        }
    } else if (n == 0) {
        close(c->tcp);
        close(c->udp);
        c->tcp = c->udp = -1;
    }
}

bool Clients::Stopping()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

void Clients::Heartbeats()
{
    while (!Stopping()) {
        pollfd p{m_wake[0], POLLIN, 0};
        poll(&p, 1, 1000);
        std::lock_guard<std::mutex> lock(m_mutex);
        Clock::time_point now = Clock::now();
        for (Client& c : m_clients) {
            if (c.tcp >= 0 && now - c.tcpSent >= TCP_HEARTBEAT_EVERY) {
                c.tcpSent = now;
                (void)!loopnet::WriteAll(c.tcp, Framed(MSG_HEARTBEAT, ""));
            }
            if (c.udp >= 0 && now - c.udpSent >= UDP_HEARTBEAT_EVERY) {
                SendUdp(&c, UDP_HEARTBEAT, "");
            }
        }
    }
}

// One client's reader: its datagrams, and its TCP messages until the server closes.
void Clients::Reader(Client* c, bool raw)
{
    while (!Stopping()) {
        int tcp, udp;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            tcp = c->tcp;
            udp = c->udp;
        }
        if (udp < 0) {
            return;
        }
        pollfd p[3] = {{m_wake[0], POLLIN, 0}, {udp, POLLIN, 0}, {tcp, POLLIN, 0}};
        if (poll(p, raw ? 2 : 3, -1) <= 0) {
            continue;
        }
        if (p[1].revents != 0) {
            ReadUdp(c, raw);
        }
        if (!raw && p[2].revents != 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            ReadTcp(c);
        }
    }
}

}  // namespace refl
