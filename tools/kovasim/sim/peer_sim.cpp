// PeerSim: the peer packet codec and a peer unit on a UDP socket (see
// peer_sim.h). Packets are built and read byte by byte; the receiver thread
// polls the socket and a wake pipe, and m_lock guards what it collects.
#include "peer_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "radio_sim.h"

namespace sim {

namespace peer {

namespace {

// Header offsets.
constexpr size_t OFF_LENGTH = 0;
constexpr size_t OFF_TYPE = 2;
constexpr size_t OFF_TIME = 6;
constexpr size_t OFF_MSGID = 10;
constexpr size_t OFF_CH = 12;
// Acknowledgement offsets.
constexpr size_t OFF_VERSION = 16;
constexpr size_t OFF_MAC = 20;
constexpr size_t OFF_CALLSIGN = 26;
constexpr size_t CALLSIGN_SIZE = 10;
constexpr size_t OFF_RADIOID = 36;
constexpr size_t RADIOID_SIZE = 5;
constexpr size_t OFF_TABLE = 41;
constexpr size_t OFF_LISTSERVER = 57;
constexpr size_t OFF_LOCDGID = 58;
constexpr size_t OFF_DEFDGID = 59;
// Status notice offsets.
constexpr size_t OFF_STATUS_MSGID = 16;
constexpr size_t OFF_STATUS = 18;
constexpr size_t OFF_STATUS_RESERVED = 19;
static_assert(OFF_DEFDGID + 1 == ACK_SIZE, "acknowledgement layout");
static_assert(OFF_STATUS_RESERVED + 5 == STATUS_SIZE, "status notice layout");
static_assert(OFF_TABLE + 16 == OFF_LISTSERVER, "code table layout");

void Put16(Bytes& b, size_t at, uint32_t v)
{
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

void Put32(Bytes& b, size_t at, uint32_t v)
{
    Put16(b, at, v >> 16);
    Put16(b, at + 2, v & 0xFFFF);
}

uint16_t Get16(const Bytes& b, size_t at)
{
    return static_cast<uint16_t>((b[at] << 8) | b[at + 1]);
}

uint32_t Get32(const Bytes& b, size_t at)
{
    return (static_cast<uint32_t>(Get16(b, at)) << 16) | Get16(b, at + 2);
}

bool ZeroRange(const Bytes& b, size_t from, size_t to)
{
    return std::all_of(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to),
                       [](uint8_t x) { return x == 0; });
}

// A text field: its bytes up to the first NUL; nullopt when a non-NUL follows that NUL.
std::optional<std::string> TextField(const Bytes& b, size_t at, size_t size)
{
    std::string text;
    size_t i = 0;
    for (; i < size && b[at + i] != 0; ++i) {
        text += static_cast<char>(b[at + i]);
    }
    if (!ZeroRange(b, at + i, at + size)) {
        return std::nullopt;
    }
    return text;
}

// Zero where a control packet's header has no field: bytes 3-15.
bool ControlHeaderClean(const Bytes& b)
{
    return ZeroRange(b, OFF_TYPE + 1, HEADER_SIZE);
}

void PutText(Bytes& b, size_t at, size_t size, const std::string& text)
{
    for (size_t i = 0; i < size && i < text.size(); ++i) {
        b[at + i] = static_cast<uint8_t>(text[i]);
    }
}

}  // namespace

namespace {

// Writes the header fields into the first 16 bytes of b (already that long).
void PutHeader(Bytes& b, const Header& h)
{
    Put16(b, OFF_LENGTH, h.length);
    b[OFF_TYPE] = h.type;
    Put32(b, OFF_TIME, h.time);
    Put16(b, OFF_MSGID, h.msgId);
    b[OFF_CH] = h.ch;
}

}  // namespace

Bytes EncodeHeader(const Header& h)
{
    Bytes b(HEADER_SIZE, 0);
    PutHeader(b, h);
    return b;
}

Bytes ConnectRequest()
{
    Header h;
    h.type = TYPE_CONNECT_REQ;
    return EncodeHeader(h);
}

Bytes ConnectAck(const Identity& id, size_t size)
{
    size = std::max(HEADER_SIZE, std::min(size, ACK_SIZE));
    Header h;
    h.type = TYPE_CONNECT_ACK;
    h.length = static_cast<uint16_t>(size - HEADER_SIZE);
    Bytes b(ACK_SIZE, 0);  // every packet is made at its full size at once
    PutHeader(b, h);
    std::copy(id.version.begin(), id.version.end(), b.begin() + OFF_VERSION);
    std::copy(id.mac.begin(), id.mac.end(), b.begin() + OFF_MAC);
    PutText(b, OFF_CALLSIGN, CALLSIGN_SIZE, id.callSign);
    PutText(b, OFF_RADIOID, RADIOID_SIZE, id.radioId);
    std::copy(id.table.begin(), id.table.end(), b.begin() + OFF_TABLE);
    b[OFF_LISTSERVER] = id.listServer;
    b[OFF_LOCDGID] = id.locDgid;
    b[OFF_DEFDGID] = id.defDgid;
    b.resize(size);
    return b;
}

Bytes StatusNoticePacket(uint16_t msgId, uint8_t status)
{
    Header h;
    h.type = TYPE_STATUS;
    h.length = STATUS_SIZE - HEADER_SIZE;
    Bytes b(STATUS_SIZE, 0);
    PutHeader(b, h);
    Put16(b, OFF_STATUS_MSGID, msgId);
    b[OFF_STATUS] = status;
    return b;
}

Bytes VoicePacket(uint32_t time, uint16_t msgId, uint8_t ch, std::string_view area)
{
    Header h;
    h.type = TYPE_VOICE;
    h.length = static_cast<uint16_t>(area.size());
    h.time = time;
    h.msgId = msgId;
    h.ch = ch;
    Bytes b(HEADER_SIZE + area.size(), 0);
    PutHeader(b, h);
    std::copy(area.begin(), area.end(), b.begin() + HEADER_SIZE);
    return b;
}

Bytes VoicePacket(uint32_t time, uint16_t msgId, uint8_t ch, const radio::VoiceHeader& head, std::string_view payload)
{
    return VoicePacket(time, msgId, ch, radio::VoiceParam(head, payload));
}

std::optional<Header> DecodeHeader(const Bytes& b)
{
    if (b.size() < HEADER_SIZE) {
        return std::nullopt;
    }
    Header h;
    h.length = Get16(b, OFF_LENGTH);
    h.type = b[OFF_TYPE];
    h.time = Get32(b, OFF_TIME);
    h.msgId = Get16(b, OFF_MSGID);
    h.ch = b[OFF_CH];
    return h;
}

bool IsConnectRequest(const Bytes& b)
{
    return b.size() == HEADER_SIZE && b[OFF_TYPE] == TYPE_CONNECT_REQ && ZeroRange(b, 0, OFF_TYPE) &&
           ZeroRange(b, OFF_TYPE + 1, HEADER_SIZE);
}

std::optional<Identity> DecodeAck(const Bytes& b)
{
    if (b.size() != ACK_SIZE || b[OFF_TYPE] != TYPE_CONNECT_ACK || Get16(b, OFF_LENGTH) != ACK_SIZE - HEADER_SIZE ||
        !ControlHeaderClean(b)) {
        return std::nullopt;
    }
    auto callSign = TextField(b, OFF_CALLSIGN, CALLSIGN_SIZE);
    auto radioId = TextField(b, OFF_RADIOID, RADIOID_SIZE);
    if (!callSign || !radioId) {
        return std::nullopt;
    }
    Identity id;
    std::copy_n(b.begin() + OFF_VERSION, id.version.size(), id.version.begin());
    std::copy_n(b.begin() + OFF_MAC, id.mac.size(), id.mac.begin());
    id.callSign = *callSign;
    id.radioId = *radioId;
    std::copy_n(b.begin() + OFF_TABLE, id.table.size(), id.table.begin());
    id.listServer = b[OFF_LISTSERVER];
    id.locDgid = b[OFF_LOCDGID];
    id.defDgid = b[OFF_DEFDGID];
    return id;
}

std::optional<StatusNotice> DecodeStatus(const Bytes& b)
{
    if (b.size() != STATUS_SIZE || b[OFF_TYPE] != TYPE_STATUS || Get16(b, OFF_LENGTH) != STATUS_SIZE - HEADER_SIZE ||
        !ControlHeaderClean(b) || !ZeroRange(b, OFF_STATUS_RESERVED, STATUS_SIZE)) {
        return std::nullopt;
    }
    return StatusNotice{Get16(b, OFF_STATUS_MSGID), b[OFF_STATUS]};
}

std::optional<Voice> DecodeVoice(const Bytes& b)
{
    auto h = DecodeHeader(b);
    if (!h || h->type != TYPE_VOICE || h->length != b.size() - HEADER_SIZE || h->length < MIN_VOICE_AREA ||
        h->length > MAX_VOICE_AREA || !ZeroRange(b, OFF_TYPE + 1, OFF_TIME) || !ZeroRange(b, OFF_CH + 1, HEADER_SIZE)) {
        return std::nullopt;
    }
    Voice v;
    v.header = *h;
    v.area.assign(b.begin() + HEADER_SIZE, b.end());
    auto frame = radio::ParseVoiceParam(v.area);
    if (!frame) {
        return std::nullopt;
    }
    v.frame = *frame;
    return v;
}

}  // namespace peer

namespace {

bool MakeAddress(const std::string& dotted, uint16_t port, sockaddr_in* out)
{
    std::memset(out, 0, sizeof(*out));
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    return inet_pton(AF_INET, dotted.c_str(), &out->sin_addr) == 1;
}

}  // namespace

PeerSim::~PeerSim()
{
    Close();
}

bool PeerSim::Open(const std::string& address, uint16_t port)
{
    Close();
    sockaddr_in local;
    if (!MakeAddress(address, port, &local)) {
        m_error = "not a dotted IPv4 address: '" + address + "'";
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        m_error = "bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_error = std::string("pipe: ") + std::strerror(errno);
        close(fd);
        return false;
    }
    socklen_t length = sizeof(local);
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    m_port = ntohs(local.sin_port);
    m_fd = fd;
    m_error.clear();
    m_receiver = std::thread(&PeerSim::ReceiverLoop, this, m_fd, m_wake[0]);
    return true;
}

void PeerSim::Close()
{
    if (m_receiver.joinable()) {
        char wake = 1;
        (void)!write(m_wake[1], &wake, 1);
        m_receiver.join();
    }
    for (int* fd : {&m_wake[0], &m_wake[1], &m_fd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void PeerSim::SetDestination(const std::string& address, uint16_t port)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_destAddress = address;
    m_destPort = port;
}

void PeerSim::SetIdentity(const peer::Identity& identity)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_identity = identity;
}

void PeerSim::SetAutoAck(bool on, size_t size)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_autoAck = on;
    m_autoAckSize = size;
}

int PeerSim::autoAcks() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_autoAcks;
}

// --- Sending ------------------------------------------------------------------

bool PeerSim::SendTo(const peer::Bytes& packet, const std::string& address, uint16_t port)
{
    sockaddr_in to;
    if (m_fd < 0 || !MakeAddress(address, port, &to)) {
        return false;
    }
    ssize_t n = sendto(m_fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    return n == static_cast<ssize_t>(packet.size());
}

bool PeerSim::Send(const peer::Bytes& packet)
{
    std::string address;
    uint16_t port;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        address = m_destAddress;
        port = m_destPort;
    }
    return SendTo(packet, address, port);
}

bool PeerSim::SendConnectRequest()
{
    return Send(peer::ConnectRequest());
}

bool PeerSim::SendConnectAck(size_t size)
{
    peer::Identity identity;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        identity = m_identity;
    }
    return Send(peer::ConnectAck(identity, size));
}

bool PeerSim::SendStatus(uint16_t msgId, uint8_t status)
{
    return Send(peer::StatusNoticePacket(msgId, status));
}

bool PeerSim::SendVoice(uint32_t time, uint16_t msgId, uint8_t ch, std::string_view area)
{
    return Send(peer::VoicePacket(time, msgId, ch, area));
}

bool PeerSim::SendTransmission(const Transmission& t, uint16_t msgId, uint32_t startTime)
{
    uint8_t ch = t.command == 'g' ? 1 : 0;
    std::vector<std::string> areas = RadioSim::TransmissionParams(t);
    for (size_t i = 0; i < areas.size(); ++i) {
        if (i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(t.spacingMs));
        }
        uint32_t time = startTime + static_cast<uint32_t>(i) * static_cast<uint32_t>(t.spacingMs);
        if (!SendVoice(time, msgId, ch, areas[i])) {
            return false;
        }
    }
    return true;
}

// --- Receiving ----------------------------------------------------------------

void PeerSim::ReceiverLoop(int fd, int wakeFd)
{
    std::vector<uint8_t> buf(65536);
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (p[1].revents) {
            return;
        }
        sockaddr_in from;
        socklen_t length = sizeof(from);
        ssize_t n = recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) {
            continue;  // an ICMP error reported on the socket, or EINTR
        }
        PeerPacket packet;
        packet.raw.assign(buf.begin(), buf.begin() + n);
        packet.arrival = peer::Clock::now();
        char dotted[INET_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET, &from.sin_addr, dotted, sizeof(dotted));
        packet.fromAddress = dotted;
        packet.fromPort = ntohs(from.sin_port);

        std::optional<peer::Bytes> ack;
        uint16_t ackPort = packet.fromPort;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_autoAck && packet.type() == peer::TYPE_CONNECT_REQ) {
                ack = peer::ConnectAck(m_identity, m_autoAckSize);
                ackPort = m_destPort != 0 ? m_destPort : packet.fromPort;
                ++m_autoAcks;
            }
            m_packets.push_back(packet);
            m_arrived.notify_all();
        }
        if (ack) {
            SendTo(*ack, packet.fromAddress, ackPort);
        }
    }
}

std::vector<PeerPacket> PeerSim::Packets() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_packets;
}

size_t PeerSim::Count() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_packets.size();
}

size_t PeerSim::Count(int type) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<size_t>(
        std::count_if(m_packets.begin(), m_packets.end(), [type](const PeerPacket& p) { return p.type() == type; }));
}

void PeerSim::Clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_packets.clear();
    m_cursor = 0;
}

std::optional<PeerPacket> PeerSim::WaitFor(int type, int timeoutMs)
{
    return WaitFor([type](const PeerPacket& p) { return p.type() == type; }, timeoutMs);
}

std::optional<PeerPacket> PeerSim::WaitFor(const Predicate& match, int timeoutMs)
{
    auto deadline = peer::Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_lock);
    for (bool last = false;; last = m_arrived.wait_until(lock, deadline) == std::cv_status::timeout) {
        // From the cursor each time: a Clear or SetCursor meanwhile moves where the search starts.
        for (size_t i = m_cursor; i < m_packets.size(); ++i) {
            if (match(m_packets[i])) {
                m_cursor = i + 1;
                return m_packets[i];
            }
        }
        if (last) {
            return std::nullopt;
        }
    }
}

size_t PeerSim::cursor() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_cursor;
}

void PeerSim::SetCursor(size_t index)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_cursor = index;
}

}  // namespace sim
