// kovactl_reply: see the header. Words are split with the daemon's own
// tokeniser (util), so that the tool counts words exactly as the unit does
// when it predicts a reply's length.

#include "kovactl_reply.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "util.h"

namespace {

using Clock = std::chrono::steady_clock;

// The unit's words delimiters, and the most words it takes on a line.
constexpr char WORD_DELIMITERS[] = " \t";
constexpr size_t MAX_WORDS = 16;
// Entries of the target table: getdest indexes run 0 to 99.
constexpr unsigned TARGET_LAST_INDEX = 99;

// Commands of the unit whose reply is one line (the listings are handled apart).
constexpr const char* ONE_LINE_WORDS[] = {
    "conn",      "disc",      "save",       "reboot",   "netparam",  "currip",      "status",  "target",
    "enable",    "vers",      "update",     "mac",      "udpport",   "chkpass",     "setpass", "factset",
    "enableall", "myrep",     "logsize",    "logflag",  "listsrv",   "search",      "lock",    "regist",
    "portchk",   "repsearch", "liststatus", "listinfo", "listdebug", "settingport", "ntp",     "updatecount",
};

bool SameWord(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        char ca = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (ca != b[i]) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

// A decimal word's value up to limit; false when it is not all digits or larger.
bool SmallDecimal(const std::string& word, unsigned limit, unsigned* value)
{
    if (word.empty() || !std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    unsigned v = 0;
    for (char c : word) {
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > limit) {
            return false;
        }
    }
    *value = v;
    return true;
}

CtlExpect Lines(size_t n)
{
    CtlExpect e;
    e.shape = CtlShape::LINES;
    e.nLines = n;
    return e;
}

CtlExpect Until(std::vector<std::string> endLines)
{
    CtlExpect e;
    e.shape = CtlShape::UNTIL;
    e.endLines = std::move(endLines);
    return e;
}

CtlExpect Shaped(CtlShape shape)
{
    CtlExpect e;
    e.shape = shape;
    return e;
}

// getdest FROM TO: one line per entry, when the unit accepts the range.
CtlExpect ExpectGetdest(const std::vector<std::string>& words)
{
    unsigned from = 0;
    unsigned to = 0;
    if (words.size() >= 3 && SmallDecimal(words[1], TARGET_LAST_INDEX, &from) &&
        SmallDecimal(words[2], TARGET_LAST_INDEX, &to) && from <= to) {
        return Lines(to - from + 1);
    }
    return Lines(1);  // the unit refuses it in one line
}

bool IsFailureLine(const std::string& line)
{
    return line == "NG" || line == "command error" || line == "parameter error" || line == "hardware error";
}

}  // namespace

std::string CtlJoinArgs(const std::vector<std::string>& args)
{
    std::string line;
    for (const std::string& a : args) {
        if (!line.empty()) {
            line += ' ';
        }
        const bool blank = a.find_first_of(" \t") != std::string::npos;
        if (a.find('"') != std::string::npos || (!blank && !a.empty())) {
            line += a;  // nothing to protect, or quoted by the caller already
            continue;
        }
        const size_t eq = a.find('=');
        if (eq != std::string::npos && a.find_first_of(" \t") > eq) {
            line += a.substr(0, eq + 1) + '"' + a.substr(eq + 1) + '"';
        } else {
            line += '"' + a + '"';
        }
    }
    return line;
}

bool CtlPrepareLine(const std::string& text, std::string* line, std::string* error)
{
    // A line read from a file with CR LF ends keeps its CR: not part of the command.
    const size_t end = !text.empty() && text.back() == '\r' ? text.size() - 1 : text.size();
    std::string out;
    for (size_t i = 0; i < end; ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (u == '\t') {
            out += ' ';
        } else if (u >= 0x20 && u < 0x7F) {
            out += text[i];
        } else {
            // A CR or LF would end the line early; the unit drops other control and non-ASCII bytes.
            *error = "the line holds a byte the unit would not take as typed (only printable ASCII)";
            return false;
        }
    }
    const size_t first = out.find_first_not_of(' ');
    out = first == std::string::npos ? "" : out.substr(first, out.find_last_not_of(' ') - first + 1);
    if (out.size() > CTL_LINE_MAX) {
        *error = "the line has " + std::to_string(out.size()) + " characters; the unit keeps " +
                 std::to_string(CTL_LINE_MAX);
        return false;
    }
    *line = out;
    return true;
}

std::vector<std::string> CtlSplitWords(const std::string& line)
{
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    char* next = str_trim(buf.data());
    std::vector<std::string> words;
    while (char* word = str_token(&next, WORD_DELIMITERS)) {
        words.emplace_back(word);
    }
    return words;
}

CtlExpect CtlExpectFor(const std::string& line)
{
    const std::vector<std::string> words = CtlSplitWords(line);
    if (words.empty()) {
        return Lines(0);
    }
    if (words.size() > MAX_WORDS) {
        return Lines(1);  // "parameter error"
    }
    const std::string& w = words[0];
    if (SameWord(w, "getdest")) {
        return ExpectGetdest(words);
    }
    if (SameWord(w, "log")) {
        return words.size() == 1 ? Until({"log Z"}) : Lines(1);
    }
    if (SameWord(w, "searchres")) {
        return words.size() == 1 ? Until({"searchres END", "searchres BUSY"}) : Lines(1);
    }
    if (SameWord(w, "setdest")) {
        // A reply flag of 0 silences the "OK"; refusals are still sent.
        const bool silent =
            words.size() >= 4 && !words[2].empty() && words[2].find_first_not_of('0') == std::string::npos;
        return silent ? Shaped(CtlShape::OPTIONAL) : Lines(1);
    }
    for (const char* known : ONE_LINE_WORDS) {
        if (SameWord(w, known)) {
            return Lines(1);
        }
    }
    return Shaped(CtlShape::QUIET);
}

CtlOutcome CtlClassify(const std::vector<std::string>& lines)
{
    if (lines.empty()) {
        return CtlOutcome::NO_REPLY;
    }
    const std::string& first = lines.front();
    if (first == "OK") {
        return CtlOutcome::OK;
    }
    if (first == "NG") {
        return CtlOutcome::NG;
    }
    return IsFailureLine(first) ? CtlOutcome::ERROR : CtlOutcome::VALUE;
}

const char* CtlOutcomeName(CtlOutcome outcome)
{
    switch (outcome) {
        case CtlOutcome::OK:
            return "ok";
        case CtlOutcome::VALUE:
            return "value";
        case CtlOutcome::NO_REPLY:
            return "no_reply";
        case CtlOutcome::NG:
            return "ng";
        case CtlOutcome::ERROR:
            return "error";
        case CtlOutcome::TIMEOUT:
            return "timeout";
        case CtlOutcome::INCOMPLETE:
            return "incomplete";
        case CtlOutcome::UNREACHABLE:
            break;
    }
    return "unreachable";
}

int CtlExitStatus(CtlOutcome outcome)
{
    switch (outcome) {
        case CtlOutcome::OK:
        case CtlOutcome::VALUE:
        case CtlOutcome::NO_REPLY:
            return 0;
        case CtlOutcome::NG:
        case CtlOutcome::ERROR:
            return 1;
        default:
            return 2;
    }
}

CtlReplyParser::CtlReplyParser(std::string sent, CtlExpect expect)
    : m_sent(std::move(sent)), m_expect(std::move(expect))
{
    m_bComplete = m_expect.shape == CtlShape::LINES && m_expect.nLines == 0;
}

void CtlReplyParser::Feed(const std::string& bytes)
{
    for (char c : bytes) {
        if (m_bComplete) {
            return;
        }
        m_bAnswered = true;
        if (c == '\n') {
            TakeLine(std::move(m_partial));
            m_partial.clear();
        } else if (c != '\r') {
            m_partial += c;
        }
    }
}

void CtlReplyParser::TakeLine(std::string line)
{
    if (line.empty()) {
        return;  // the unit's "\r\n" answer to the line end
    }
    if (m_lines.empty() && !m_bEchoDropped && line == m_sent) {
        m_bEchoDropped = true;  // a line that echoes typed characters
        return;
    }
    m_lines.push_back(std::move(line));
    const std::string& last = m_lines.back();
    if (m_lines.size() == 1 && IsFailureLine(last)) {
        m_bComplete = true;
        return;
    }
    switch (m_expect.shape) {
        case CtlShape::LINES:
            m_bComplete = m_lines.size() >= m_expect.nLines;
            break;
        case CtlShape::UNTIL:
            m_bComplete =
                std::find(m_expect.endLines.begin(), m_expect.endLines.end(), last) != m_expect.endLines.end();
            break;
        case CtlShape::OPTIONAL:
            m_bComplete = true;
            break;
        case CtlShape::QUIET:
            break;
    }
}

CtlResult CtlTransact(const CtlLink& link, const std::string& line, const CtlTimeouts& timeouts)
{
    CtlResult result;
    const CtlExpect expect = CtlExpectFor(line);
    const bool quietEnds = expect.shape == CtlShape::OPTIONAL || expect.shape == CtlShape::QUIET;
    CtlReplyParser parser(line, expect);
    CtlDrain(link);
    if (!CtlSend(link, line + "\r", timeouts.replyMs, &result.error)) {
        result.outcome = CtlOutcome::UNREACHABLE;
        return result;
    }
    if (parser.Complete()) {  // an empty line: the unit only answers the line end
        result.outcome = CtlOutcome::NO_REPLY;
        return result;
    }
    for (;;) {
        const int waitMs = parser.Answered() && quietEnds ? timeouts.quietMs : timeouts.replyMs;
        std::string bytes;
        const CtlRx rx = CtlReceive(link, &bytes, waitMs);
        parser.Feed(bytes);
        if (parser.Complete() || (rx == CtlRx::TIMEOUT && parser.Answered() && quietEnds)) {
            result.lines = parser.Lines();
            result.outcome = CtlClassify(result.lines);
            return result;
        }
        if (rx == CtlRx::CLOSED) {
            result.lines = parser.Lines();
            result.outcome = CtlOutcome::UNREACHABLE;
            result.error = link.name + " closed the connection";
            return result;
        }
        if (rx == CtlRx::TIMEOUT) {
            result.lines = parser.Lines();
            result.outcome = parser.Answered() ? CtlOutcome::INCOMPLETE : CtlOutcome::TIMEOUT;
            result.error = parser.Answered()
                               ? "the reply stopped after " + std::to_string(result.lines.size()) + " lines"
                               : "no answer from " + link.name + " within " + std::to_string(timeouts.replyMs) + " ms";
            return result;
        }
    }
}
