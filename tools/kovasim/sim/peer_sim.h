// PeerSim: another LAN unit at the far end of the peer link, on a UDP socket.
//
// It speaks the peer packets with a codec of its own (sim::peer): every
// packet opens with a 16-byte big-endian header (data length, type, sender
// time, message number, radio channel); type 0 carries the radio's voice-data
// area unchanged, 7 is a bare connect request, 8 a 60-byte connect
// acknowledgement with the sender's version, MAC, call sign, radio ID, code
// table, list-server flag and DG-IDs, 11 a 24-byte status notice. The
// simulator sends any of them (also cut-short acknowledgements), answers
// connect requests with acknowledgements when told to, and collects every
// packet it receives with its sender and arrival time.
//
// Written from the packet layouts alone; it shares no code with the
// daemon. The voice-data area comes from radio_frame's builder, since the
// unit relays the radio's area unchanged.
//
// Threads: a receiver thread collects packets and sends the automatic
// acknowledgements; public methods may be called from any test thread, except
// that Open and Close must not race the other calls. m_lock guards the
// collected packets and the settings.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "radio_frame.h"

namespace sim {

struct Transmission;

namespace peer {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr size_t HEADER_SIZE = 16;
constexpr size_t ACK_SIZE = 60;        // header + 44
constexpr size_t ACK_MIN_SIZE = 58;    // shortest acknowledgement a unit accepts (no DG-IDs)
constexpr size_t STATUS_SIZE = 24;     // header + 8
constexpr size_t MIN_VOICE_AREA = 15;  // the radio's voice-data head alone
constexpr size_t MAX_VOICE_AREA = 1434;
constexpr uint16_t DEFAULT_PORT = 21110;  // a unit's factory peer port

enum Type : uint8_t { TYPE_VOICE = 0, TYPE_CONNECT_REQ = 7, TYPE_CONNECT_ACK = 8, TYPE_STATUS = 11 };

// The header's fields; time, message number and channel are for voice only.
struct Header {
    uint16_t length = 0;  // bytes after the header
    uint8_t type = 0;
    uint32_t time = 0;   // sender's ms tick of the frame
    uint16_t msgId = 0;  // transmission number
    uint8_t ch = 0;      // 0 = channel A, 1 = channel B
};

// What a unit tells about itself in its acknowledgement.
struct Identity {
    std::array<uint8_t, 4> version{1, 4, 4, 0};
    std::array<uint8_t, 6> mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
    std::string callSign = "PEER0CALL";  // at most 10 characters, NUL-padded on the wire
    std::string radioId = "54321";       // at most 5 characters
    std::array<uint8_t, 16> table{};     // bit (n mod 8) of byte (n div 8) admits code n
    uint8_t listServer = 0;
    uint8_t locDgid = 0;
    uint8_t defDgid = 0;
    // Admits code n (0-127).
    void Admit(int n) { table[static_cast<size_t>(n / 8) & 15] |= static_cast<uint8_t>(1u << (n % 8)); }
};

struct StatusNotice {
    uint16_t msgId = 0;
    uint8_t status = 0;
};

struct Voice {
    Header header;
    radio::VoiceFrame frame;  // the decoded voice-data area
    std::string area;         // the area as it came
};

// --- Building -----------------------------------------------------------------
// The 16 header bytes.
Bytes EncodeHeader(const Header& header);
// Header alone, type 7.
Bytes ConnectRequest();
// 60 bytes, or the first `size` of them (58 or 59 leave out DG-IDs), the length field saying so.
Bytes ConnectAck(const Identity& identity, size_t size = ACK_SIZE);
// 24 bytes: message number, status, five reserved zeros.
Bytes StatusNoticePacket(uint16_t msgId, uint8_t status);
// Header (length = area size) + the voice-data area.
Bytes VoicePacket(uint32_t time, uint16_t msgId, uint8_t ch, std::string_view area);
// Same, the area built from the radio's voice head and payload.
Bytes VoicePacket(uint32_t time, uint16_t msgId, uint8_t ch, const radio::VoiceHeader& head, std::string_view payload);

// --- Reading (strict: any byte out of its layout gives nullopt) ----------------
// The header of any packet of at least 16 bytes.
std::optional<Header> DecodeHeader(const Bytes& packet);
// True for exactly 16 bytes, all 0 but the type 7.
bool IsConnectRequest(const Bytes& packet);
// A 60-byte acknowledgement with length field 44; texts end at their first NUL
// and everything after it must be NUL.
std::optional<Identity> DecodeAck(const Bytes& packet);
// A 24-byte status notice with length field 8 and zero reserved bytes.
std::optional<StatusNotice> DecodeStatus(const Bytes& packet);
// A voice packet whose length field matches its size (15-1434 bytes of area)
// with zero bytes where the header has no field, and a decodable area.
std::optional<Voice> DecodeVoice(const Bytes& packet);

}  // namespace peer

// One packet as the simulator received it.
struct PeerPacket {
    peer::Bytes raw;
    peer::Clock::time_point arrival{};
    std::string fromAddress;  // dotted IPv4
    uint16_t fromPort = 0;
    // Type byte, -1 when the packet is shorter than a header.
    int type() const { return raw.size() >= peer::HEADER_SIZE ? raw[2] : -1; }
};

class PeerSim {
   public:
    using Predicate = std::function<bool(const PeerPacket&)>;

    PeerSim() = default;
    ~PeerSim();
    PeerSim(const PeerSim&) = delete;
    PeerSim& operator=(const PeerSim&) = delete;

    // Binds to address:port (port 0: any free one) in the calling thread's
    // network namespace and starts the receiver; false with error() on failure.
    bool Open(const std::string& address, uint16_t port);
    // Stops the receiver and closes the socket; the collected packets stay.
    void Close();
    const std::string& error() const { return m_error; }
    uint16_t port() const { return m_port; }

    // Where the Send calls go: the unit's address and receive port.
    void SetDestination(const std::string& address, uint16_t port);
    // The identity put into acknowledgements.
    void SetIdentity(const peer::Identity& identity);
    // Answers every connect request with an acknowledgement of `size` bytes,
    // sent to the request's source address at the destination port (the
    // source port when no destination is set).
    void SetAutoAck(bool on, size_t size = peer::ACK_SIZE);
    // Acknowledgements sent automatically so far.
    int autoAcks() const;

    // --- Sending (to the destination) -------------------------------------------
    bool Send(const peer::Bytes& packet);
    bool SendConnectRequest();
    bool SendConnectAck(size_t size = peer::ACK_SIZE);
    bool SendStatus(uint16_t msgId, uint8_t status);
    bool SendVoice(uint32_t time, uint16_t msgId, uint8_t ch, std::string_view area);
    // A radio transmission's areas (as RadioSim sends them) as voice packets,
    // spacingMs apart, with sender times startTime, startTime + spacingMs, ...
    bool SendTransmission(const Transmission& t, uint16_t msgId, uint32_t startTime = 0);

    // --- Collecting ---------------------------------------------------------------
    std::vector<PeerPacket> Packets() const;
    size_t Count() const;
    size_t Count(int type) const;
    // Forgets collected packets and rewinds the wait cursor.
    void Clear();
    // The first packet at or after the wait cursor of that type / matching,
    // waiting up to timeoutMs; the cursor moves past it. nullopt when none came
    // (the cursor stays). The predicate runs under the simulator's lock: it
    // must not call the simulator.
    std::optional<PeerPacket> WaitFor(int type, int timeoutMs);
    std::optional<PeerPacket> WaitFor(const Predicate& match, int timeoutMs);
    size_t cursor() const;
    void SetCursor(size_t index);

   private:
    void ReceiverLoop(int fd, int wakeFd);
    bool SendTo(const peer::Bytes& packet, const std::string& address, uint16_t port);

    int m_fd = -1;
    int m_wake[2] = {-1, -1};
    uint16_t m_port = 0;
    std::string m_error;
    std::thread m_receiver;

    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<PeerPacket> m_packets;
    size_t m_cursor = 0;
    std::string m_destAddress;
    uint16_t m_destPort = 0;
    peer::Identity m_identity;
    bool m_autoAck = false;
    size_t m_autoAckSize = peer::ACK_SIZE;
    int m_autoAcks = 0;
};

}  // namespace sim
