// radio_frame: building, collecting and judging the radio's serial frames, and
// the parameter layouts of its commands (see radio_frame.h). Pure functions and
// one collector class; no locks, no threads.
#include "radio_frame.h"

#include <cstdio>

namespace sim::radio {

namespace {

constexpr char UPPER_HEX[] = "0123456789ABCDEF";

// Value of an upper-case hex digit, -1 otherwise (the unit writes upper case only).
int UpperHexValue(uint8_t c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Value of a hex digit of either case, -1 otherwise (what the unit accepts).
int AnyHexValue(char c)
{
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return UpperHexValue(static_cast<uint8_t>(c));
}

// `width` hex digits of value, most significant first, zero-filled.
std::string HexField(uint32_t value, int width)
{
    std::string out(static_cast<size_t>(width), '0');
    for (int i = width - 1; i >= 0; --i) {
        out[static_cast<size_t>(i)] = UPPER_HEX[value & 0xF];
        value >>= 4;
    }
    return out;
}

// A hex field; nullopt on a bad digit (or on a lower-case one when upperOnly).
std::optional<uint32_t> ParseHex(std::string_view text, bool upperOnly = false)
{
    uint32_t value = 0;
    for (char c : text) {
        int v = upperOnly ? UpperHexValue(static_cast<uint8_t>(c)) : AnyHexValue(c);
        if (v < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<uint32_t>(v);
    }
    return value;
}

// text cut or blank-padded on the right to width.
std::string Padded(const std::string& text, size_t width)
{
    std::string out = text.substr(0, width);
    out.resize(width, ' ');
    return out;
}

std::string TrimRight(std::string_view text)
{
    size_t end = text.find_last_not_of(' ');
    return end == std::string_view::npos ? std::string() : std::string(text.substr(0, end + 1));
}

bool AllBlanks(std::string_view text)
{
    return text.find_first_not_of(' ') == std::string_view::npos;
}

std::vector<uint8_t> Build(char command, std::string_view lengthDigits, std::string_view param)
{
    std::vector<uint8_t> frame;
    frame.reserve(FRAME_OVERHEAD + param.size());
    frame.push_back(SOH);
    frame.push_back(static_cast<uint8_t>(command));
    frame.insert(frame.end(), lengthDigits.begin(), lengthDigits.end());
    frame.insert(frame.end(), param.begin(), param.end());
    frame.push_back(EOT);
    uint8_t sum = Sum8(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(UPPER_HEX[sum >> 4]));
    frame.push_back(static_cast<uint8_t>(UPPER_HEX[sum & 0xF]));
    return frame;
}

}  // namespace

uint8_t Sum8(const uint8_t* data, size_t length)
{
    unsigned sum = 0;
    for (size_t i = 0; i < length; ++i) {
        sum += data[i];
    }
    return static_cast<uint8_t>(sum & 0xFF);
}

std::vector<uint8_t> Encode(char command, std::string_view param)
{
    return Build(command, HexField(static_cast<uint32_t>(param.size()), 4), param);
}

std::vector<uint8_t> EncodeWithLengthField(char command, std::string_view lengthDigits, std::string_view param)
{
    return Build(command, lengthDigits, param);
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char cell[4];
        std::snprintf(cell, sizeof(cell), i ? " %02X" : "%02X", bytes[i]);
        out += cell;
    }
    return out;
}

// --- Collector ----------------------------------------------------------------

void FrameCollector::Feed(const uint8_t* data, size_t length, Clock::time_point when, std::vector<Frame>* out)
{
    for (size_t i = 0; i < length; ++i) {
        uint8_t c = data[i];
        if (c == SOH) {
            m_stray += m_frame.size();  // a frame cut off by a new start
            m_frame.assign(1, SOH);
            m_state = State::Data;
            continue;
        }
        switch (m_state) {
            case State::Head:
                ++m_stray;
                break;
            case State::Data:
                m_frame.push_back(c);
                if (c == EOT) {
                    m_state = State::SumHigh;
                }
                break;
            case State::SumHigh:
                m_frame.push_back(c);
                m_state = State::SumLow;
                break;
            case State::SumLow:
                m_frame.push_back(c);
                Finish(when, out);
                break;
        }
    }
}

void FrameCollector::Finish(Clock::time_point when, std::vector<Frame>* out)
{
    Frame frame;
    frame.raw.swap(m_frame);
    frame.arrival = when;
    m_state = State::Head;

    const std::vector<uint8_t>& raw = frame.raw;
    const size_t eot = raw.size() - 3;
    int high = UpperHexValue(raw[raw.size() - 2]);
    int low = UpperHexValue(raw[raw.size() - 1]);
    frame.sumValid = high >= 0 && low >= 0 && static_cast<uint8_t>(high * 16 + low) == Sum8(raw.data(), eot + 1);
    if (raw.size() >= 2) {
        frame.command = static_cast<char>(raw[1]);
    }
    if (eot < HEAD_SIZE) {  // too short for a length field
        frame.param.clear();
        out->push_back(std::move(frame));
        return;
    }
    bool digits = true;
    uint32_t value = 0;
    for (size_t i = 2; i < HEAD_SIZE; ++i) {
        int v = UpperHexValue(raw[i]);
        digits = digits && v >= 0;
        value = value * 16 + static_cast<uint32_t>(v < 0 ? 0 : v);
    }
    frame.lengthField = digits ? value : 0;
    frame.param.assign(raw.begin() + HEAD_SIZE, raw.begin() + static_cast<long>(eot));
    frame.lengthValid = digits && value == frame.param.size();
    out->push_back(std::move(frame));
}

// --- Radio-side parameter areas -----------------------------------------------

std::string VersionCheckParam(const RadioIdentity& id)
{
    std::string p;
    p += Padded(id.name, 16);
    p += Padded(id.dst, 3);
    p += Padded(id.type, 3);
    p += Padded(id.version, 6);
    p += Padded(id.date, 8);
    p += ' ';
    p += Padded(id.radioId, 5);
    p += std::string(6, ' ');
    p += Padded(id.callSign, 10);
    return p;
}

std::string CodeTableParam(const CodeTable& table)
{
    std::string p;
    for (uint8_t byte : table.code) {
        p += HexField(byte, 2);
    }
    if (table.locDgid) {
        p += HexField(*table.locDgid, 2);
        p += HexField(table.defDgid, 2);
    }
    return p;
}

std::string StatusParam(const RadioStatus& s)
{
    std::string p;
    p += s.stat;
    p += s.lsig;
    p += s.rsig;
    p += s.ltrxA;
    p += s.ltrxB;
    p += s.rtrxA;
    p += s.rtrxB;
    p += Padded(s.radioId, 5);
    p += s.strm;
    p += s.buffer;
    return p;
}

std::string VoiceParam(const VoiceHeader& h, std::string_view payload)
{
    std::string p;
    p += h.type;
    p += Padded(h.group, 2);
    p += HexField(h.counter, 4);
    p += HexField(h.fich, 8);
    p += payload;
    return p;
}

std::string RecordParam(char type, int slot, uint16_t counter, uint32_t fich, std::string_view payload)
{
    VoiceHeader h;
    h.type = type;
    h.group = HexField(static_cast<uint32_t>(slot), 2);
    h.counter = counter;
    h.fich = fich;
    return VoiceParam(h, payload);
}

std::string PlayParam(int slot)
{
    return HexField(static_cast<uint32_t>(slot), 2);
}

std::string Payload(size_t length, unsigned seed)
{
    std::string p(length, ' ');
    for (size_t i = 0; i < length; ++i) {
        p[i] = static_cast<char>(0x20 + (seed * 31u + static_cast<unsigned>(i) * 7u) % 0x5F);
    }
    return p;
}

// --- Unit-side parameter areas ------------------------------------------------

std::optional<VersionAnswer> ParseVersionAnswer(std::string_view p)
{
    if (p.size() != VERSION_PARAM_SIZE || !AllBlanks(p.substr(36))) {
        return std::nullopt;
    }
    VersionAnswer a;
    a.name = TrimRight(p.substr(0, 16));
    a.dst = TrimRight(p.substr(16, 3));
    a.type = TrimRight(p.substr(19, 3));
    a.version = TrimRight(p.substr(22, 6));
    a.date = TrimRight(p.substr(28, 8));
    return a;
}

std::optional<char> ParseStatusAnswer(std::string_view p)
{
    if (p.size() != STATUS_PARAM_SIZE || p[0] < '0' || p[0] > '9' || !AllBlanks(p.substr(1))) {
        return std::nullopt;
    }
    return p[0];
}

std::optional<VoiceFrame> ParseVoiceParam(std::string_view p)
{
    if (p.size() < VOICE_HEADER_SIZE) {
        return std::nullopt;
    }
    auto counter = ParseHex(p.substr(3, 4));
    auto fich = ParseHex(p.substr(7, 8));
    if (!counter || !fich) {
        return std::nullopt;
    }
    VoiceFrame f;
    f.header.type = p[0];
    f.header.group = std::string(p.substr(1, 2));
    f.header.counter = static_cast<uint16_t>(*counter);
    f.header.fich = *fich;
    f.payload = std::string(p.substr(VOICE_HEADER_SIZE));
    return f;
}

std::optional<SlotAnswer> ParsePlayAnswer(std::string_view p)
{
    auto slot = p.size() == PLAY_ANSWER_SIZE ? ParseHex(p.substr(0, 2), true) : std::nullopt;
    if (!slot) {
        return std::nullopt;
    }
    return SlotAnswer{static_cast<int>(*slot), p[2]};
}

std::optional<SlotAnswer> ParseRecordAnswer(std::string_view p)
{
    auto slot = p.size() == RECORD_ANSWER_SIZE && p[0] == 'R' ? ParseHex(p.substr(1, 2), true) : std::nullopt;
    if (!slot) {
        return std::nullopt;
    }
    return SlotAnswer{static_cast<int>(*slot), p[3]};
}

}  // namespace sim::radio
