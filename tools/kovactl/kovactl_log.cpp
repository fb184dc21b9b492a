// kovactl_log: see the header. Record kinds of the reply: "L" (or "S")
// starts a text and carries its time, "E" (or "|") continues the text
// written just before it. Reversed to oldest first, a text is its start
// record followed by its continuations.

#include "kovactl_log.h"

#include <algorithm>
#include <cctype>

#include "kovactl_json.h"

namespace {

constexpr char LOG_PREFIX[] = "log ";
constexpr size_t STAMP_DIGITS = 14;  // YYYYMMDDhhmmss

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool FromHex(const std::string& hex, std::string* bytes)
{
    if (hex.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = HexValue(hex[i]);
        const int lo = HexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        *bytes += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

bool AllDigits(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// "YYYYMMDDhhmmss" as "YYYY-MM-DD hh:mm:ss".
std::string StampTime(const std::string& s)
{
    return s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2) + " " + s.substr(8, 2) + ":" + s.substr(10, 2) +
           ":" + s.substr(12, 2);
}

struct Record {
    bool bFirst = false;
    std::string time;
    std::string bytes;
};

bool ParseRecord(const std::string& line, Record* r)
{
    if (line.compare(0, sizeof(LOG_PREFIX) - 1, LOG_PREFIX) != 0 || line.size() < sizeof(LOG_PREFIX)) {
        return false;
    }
    const char kind = line[sizeof(LOG_PREFIX) - 1];
    std::string rest = line.substr(sizeof(LOG_PREFIX));
    r->bFirst = kind == 'L' || kind == 'S';
    if (!r->bFirst && kind != 'E' && kind != '|') {
        return false;
    }
    if (rest.empty() || rest[0] != ' ') {
        return false;
    }
    rest.erase(0, 1);
    if (r->bFirst) {
        if (rest.size() < STAMP_DIGITS + 1 || rest[STAMP_DIGITS] != ' ' || !AllDigits(rest.substr(0, STAMP_DIGITS))) {
            return false;
        }
        r->time = StampTime(rest.substr(0, STAMP_DIGITS));
        rest.erase(0, STAMP_DIGITS + 1);
    }
    return FromHex(rest, &r->bytes);
}

// Splits the stored text into category and message.
CtlLogMessage Message(const std::string& time, std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '\0')) {
        text.pop_back();
    }
    CtlLogMessage m;
    m.time = time;
    if (text.rfind("[I] ", 0) == 0 || text.rfind("[W] ", 0) == 0) {
        m.category = text[1];
        text.erase(0, 4);
    } else if (text.rfind("Rx: ", 0) == 0 || text.rfind("Tx: ", 0) == 0) {
        m.category = 'T';
    }
    m.text = text;
    return m;
}

const char* CategoryName(char c)
{
    switch (c) {
        case 'I':
            return "info";
        case 'W':
            return "warning";
        case 'T':
            return "trace";
        default:
            return "other";
    }
}

bool Same(const CtlLogMessage& a, const CtlLogMessage& b)
{
    return a.time == b.time && a.category == b.category && a.text == b.text;
}

}  // namespace

bool CtlDecodeLog(const std::vector<std::string>& lines, std::vector<CtlLogMessage>* messages, std::string* error)
{
    std::vector<Record> records;
    for (const std::string& line : lines) {
        if (line == "log Z") {
            break;
        }
        Record r;
        if (!ParseRecord(line, &r)) {
            *error = "not a log record: " + line;
            return false;
        }
        records.push_back(std::move(r));
    }
    std::reverse(records.begin(), records.end());
    messages->clear();
    std::string time;
    std::string text;
    bool open = false;
    for (const Record& r : records) {
        if (r.bFirst) {
            if (open) {
                messages->push_back(Message(time, text));
            }
            time = r.time;
            text = r.bytes;
            open = true;
        } else if (open) {
            text += r.bytes;
        }
    }
    if (open) {
        messages->push_back(Message(time, text));
    }
    return true;
}

bool CtlParseLogTime(const std::string& text, std::string* time)
{
    // YYYY-MM-DD, then optionally a blank or T and hh:mm[:ss].
    static const std::string SHAPE = "dddd-dd-dd hh:mm:ss";
    if (text.size() != 10 && text.size() != 16 && text.size() != 19) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const char want = SHAPE[i];
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        const bool ok = want == ' '                    ? (text[i] == ' ' || text[i] == 'T')
                        : (want == '-' || want == ':') ? text[i] == want
                                                       : digit;
        if (!ok) {
            return false;
        }
    }
    std::string out = text.size() == 10 ? text + " 00:00:00" : text;
    out[10] = ' ';
    *time = out.size() == 16 ? out + ":00" : out;
    return true;
}

std::string CtlLogLine(const CtlLogMessage& m)
{
    const std::string category = m.category == '-' ? "[-]" : std::string("[") + m.category + "]";
    return m.time + " " + category + " " + m.text;
}

std::string CtlLogJson(const CtlLogMessage& m)
{
    std::string time = m.time;
    if (time.size() > 10) {
        time[10] = 'T';
    }
    return "{\"time\": " + CtlJsonString(time) + ", \"category\": " + CtlJsonString(CategoryName(m.category)) +
           ", \"text\": " + CtlJsonString(m.text) + "}";
}

std::vector<CtlLogMessage> CtlNewLogMessages(const std::vector<CtlLogMessage>& before,
                                             const std::vector<CtlLogMessage>& now)
{
    if (before.empty()) {
        return now;
    }
    for (size_t i = now.size(); i-- > 0;) {
        if (Same(now[i], before.back())) {
            return std::vector<CtlLogMessage>(now.begin() + static_cast<long>(i) + 1, now.end());
        }
    }
    return now;
}
