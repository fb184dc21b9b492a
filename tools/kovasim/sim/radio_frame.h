// radio_frame: the repeater radio's serial frames, as the radio side sees
// them. Builds frames byte by byte (SOH, command letter, four upper-case hex
// digits of the parameter length, the parameter area, EOT, two upper-case hex
// digits of the 8-bit sum of SOH through EOT), splits a byte stream into
// frames with a resumable collector that judges each frame (checksum, length
// field, digit case) without trusting it, and packs and unpacks the parameter
// areas of every command the radio and the unit exchange.
//
// Written from the protocol's description alone; it shares no code with the
// daemon, so a fault in the daemon's codec shows up against it. No state
// beyond a FrameCollector's own; one thread per collector.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::radio {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t EOT = 0x04;
constexpr size_t HEAD_SIZE = 6;  // SOH, command, four length digits
constexpr size_t TAIL_SIZE = 3;  // EOT, two checksum digits
constexpr size_t FRAME_OVERHEAD = HEAD_SIZE + TAIL_SIZE;
constexpr size_t MAX_UNIT_RX_PARAM = 1425;  // longest parameter area the unit accepts
constexpr size_t MAX_UNIT_TX_PARAM = 1434;  // longest parameter area the unit may send

// Parameter widths of the fixed layouts.
constexpr size_t VERSION_PARAM_SIZE = 58;
constexpr size_t CODE_TABLE_PARAM_SIZE = 32;
constexpr size_t CODE_TABLE_DGID_PARAM_SIZE = 36;
constexpr size_t STATUS_PARAM_SIZE = 14;
constexpr size_t VOICE_HEADER_SIZE = 15;
constexpr size_t PLAY_PARAM_SIZE = 2;
constexpr size_t PLAY_ANSWER_SIZE = 3;
constexpr size_t RECORD_ANSWER_SIZE = 4;

using Clock = std::chrono::steady_clock;

// Low 8 bits of the sum of the bytes.
uint8_t Sum8(const uint8_t* data, size_t length);
// A whole frame for a command letter and its parameter area.
std::vector<uint8_t> Encode(char command, std::string_view param);
// Same, with the length field written as given (for malformed-frame tests).
std::vector<uint8_t> EncodeWithLengthField(char command, std::string_view lengthDigits, std::string_view param);
// Bytes as "01 49 30 ..." for failure messages.
std::string Hex(const std::vector<uint8_t>& bytes);

// One frame taken from the stream, judged against the layout.
struct Frame {
    char command = 0;
    std::string param;            // the bytes between the length field and EOT
    std::vector<uint8_t> raw;     // SOH through the second checksum digit
    Clock::time_point arrival{};  // when its last byte arrived
    bool lengthValid = false;     // four upper-case hex digits equal to param.size()
    bool sumValid = false;        // two upper-case hex digits equal to the sum
    uint32_t lengthField = 0;     // the length field's value when it was hex
    bool ok() const { return lengthValid && sumValid; }
};

// Splits a byte stream into frames, resumable at any byte. A frame is SOH up to
// EOT plus the two bytes after it; a SOH restarts collection; bytes outside a
// frame (and frames cut off by a SOH) count as stray.
class FrameCollector {
public:
    // Feeds bytes that arrived at `when`; completed frames are appended to out.
    void Feed(const uint8_t* data, size_t length, Clock::time_point when, std::vector<Frame>* out);
    void Feed(const std::vector<uint8_t>& bytes, std::vector<Frame>* out)
    {
        Feed(bytes.data(), bytes.size(), Clock::now(), out);
    }
    // Bytes that belonged to no complete frame so far.
    size_t strayBytes() const { return m_stray; }
    // True while a frame is half collected.
    bool midFrame() const { return m_state != State::Head; }

private:
    enum class State { Head, Data, SumHigh, SumLow };
    void Finish(Clock::time_point when, std::vector<Frame>* out);

    State m_state = State::Head;
    std::vector<uint8_t> m_frame;
    size_t m_stray = 0;
};

// --- Parameter areas sent by the radio ---------------------------------------

// The radio's identity, sent with 'V'.
struct RadioIdentity {
    std::string name = "SIM-RADIO";     // 16
    std::string dst = "ALL";            // 3
    std::string type = "ALL";           // 3
    std::string version = "1.0.0";      // 6
    std::string date = "20240101";      // 8
    std::string radioId = "12345";      // 5
    std::string callSign = "SIM0CALL";  // 10
};
// 58 characters: fields left-aligned and blank-padded, reserved blanks.
std::string VersionCheckParam(const RadioIdentity& identity);

// The radio's code table, sent with 'I': bit (n mod 8) of byte (n div 8) admits code n.
struct CodeTable {
    std::array<uint8_t, 16> code{};
    std::optional<uint8_t> locDgid;  // both DG-IDs present, or neither
    uint8_t defDgid = 0;
    // Admits code n (0-127).
    void Admit(int n) { code[static_cast<size_t>(n / 8) & 15] |= static_cast<uint8_t>(1u << (n % 8)); }
};
// 32 hex digits, or 36 with the two DG-IDs.
std::string CodeTableParam(const CodeTable& table);

// The radio's status report, sent with 'C' or 'P'; every field is one character.
struct RadioStatus {
    char stat = '0';  // 4 power down, 5-7 passed to the peer on the line
    char lsig = '0';
    char rsig = '0';
    char ltrxA = '0';  // local receive, channel A (3 = receiving)
    char ltrxB = '0';  // local receive, channel B
    char rtrxA = '0';  // radio transmit, channel A (4 = transmitting)
    char rtrxB = '0';
    std::string radioId = "12345";  // 5
    char strm = '0';
    char buffer = '0';
};
std::string StatusParam(const RadioStatus& status);

// The 15-character head of every voice-data area.
struct VoiceHeader {
    char type = '0';           // 'H'/'h' header, 'I'/'i' identification, '0'-'3' voice, 'T' end
    std::string group = "  ";  // 'G'/'g'/'F'/'f': "  " none, "**" all, two decimal digits a group
    uint16_t counter = 0;      // four hex digits
    uint32_t fich = 0;         // eight hex digits; low 7 bits are the code number
};
// Voice area for 'G'/'g' (and 'F'/'f'): header then payload.
std::string VoiceParam(const VoiceHeader& header, std::string_view payload);
// Recording area for 'R': the group field carries the slot as two hex digits.
std::string RecordParam(char type, int slot, uint16_t counter, uint32_t fich, std::string_view payload);
// Play request for 'L'/'l': the slot as two hex digits.
std::string PlayParam(int slot);
// A payload of printable bytes (never SOH or EOT) that varies with seed.
std::string Payload(size_t length, unsigned seed);

// --- Parameter areas sent by the unit -----------------------------------------

// The unit's answer to 'V'; nullopt unless exactly 58 characters with blanks in the reserved part.
struct VersionAnswer {
    std::string name, dst, type, version, date;  // trailing blanks removed
};
std::optional<VersionAnswer> ParseVersionAnswer(std::string_view param);
// The status character of a 'C'/'P' from the unit; nullopt unless 14 characters, a digit and 13 blanks.
std::optional<char> ParseStatusAnswer(std::string_view param);
// A voice area ('F'/'f' from the unit, or any 'G'/'g'/'R'); nullopt when shorter than its header or
// when the counter or FICH are not hex (either case: relayed areas pass unchanged). The group
// field is returned as its two characters.
struct VoiceFrame {
    VoiceHeader header;
    std::string payload;
};
std::optional<VoiceFrame> ParseVoiceParam(std::string_view param);
// The unit's answer to 'L'/'l': slot (two upper-case hex digits) and result character.
struct SlotAnswer {
    int slot = 0;
    char result = 0;
};
std::optional<SlotAnswer> ParsePlayAnswer(std::string_view param);
// The unit's 'R' answer: 'R', slot (two upper-case hex digits), result character at offset 3.
std::optional<SlotAnswer> ParseRecordAnswer(std::string_view param);

}  // namespace sim::radio
