// kovactl_reply: one command and its reply. It prepares a command line as
// the unit's line editor will take it, predicts from the command word how
// the reply ends, collects the reply bytes in a resumable parser (the unit's
// "\r\n" line-end echo, and an echo of the typed text from a line that has
// one, are dropped), and names the outcome.
//
// How a reply ends (the unit sends no prompt):
//   getdest FROM TO       TO-FROM+1 lines
//   log                   through the line "log Z"
//   searchres             through "searchres END" or "searchres BUSY"
//   setdest N 0 ...       one line, or none: ends after the quiet time
//   other known commands  one line
//   unknown words         every line until the quiet time passes
// A first line "NG", "command error", "parameter error" or "hardware error"
// ends any reply. Nothing at all within the reply time-out means the unit
// does not answer; a reply that stops before its end is incomplete.
//
// Threads: one caller at a time; parsers are independent values.
#pragma once

#include <string>
#include <vector>

#include "kovactl_link.h"

// The unit keeps at most this many characters of a line.
inline constexpr size_t CTL_LINE_MAX = 511;

enum class CtlShape {
    LINES,     // a known number of lines
    UNTIL,     // through one of the end lines
    OPTIONAL,  // one line or none
    QUIET,     // until the unit falls quiet
};

struct CtlExpect {
    CtlShape shape = CtlShape::LINES;
    size_t nLines = 1;
    std::vector<std::string> endLines;
};

enum class CtlOutcome {
    OK,           // "OK": a change was accepted
    VALUE,        // a value was read
    NO_REPLY,     // accepted without a reply (setdest with reply 0)
    NG,           // "NG"
    ERROR,        // "command error", "parameter error" or "hardware error"
    TIMEOUT,      // no answer within the reply time-out
    INCOMPLETE,   // the reply stopped before its end
    UNREACHABLE,  // no channel, or it closed
};

struct CtlTimeouts {
    int replyMs = 3000;  // longest wait for the first and each further byte
    int quietMs = 300;   // silence that ends a reply of unknown length
};

struct CtlResult {
    std::vector<std::string> lines;  // reply lines without "\r\n"
    CtlOutcome outcome = CtlOutcome::UNREACHABLE;
    std::string error;  // why, for TIMEOUT, INCOMPLETE and UNREACHABLE
};

// Joins command-line arguments into one line; an argument with a blank (or
// an empty one) is put in double quotes, after the "=" of a key=value word.
std::string CtlJoinArgs(const std::vector<std::string>& args);
// The line as the unit will see it: tabs as blanks, ends trimmed; false with
// *error for bytes the unit would drop or a line longer than it keeps.
bool CtlPrepareLine(const std::string& text, std::string* line, std::string* error);
// The words of a line as the unit splits them (quotes keep blanks in a word).
std::vector<std::string> CtlSplitWords(const std::string& line);
// How the reply to a prepared line ends.
CtlExpect CtlExpectFor(const std::string& line);
// The outcome of a complete reply.
CtlOutcome CtlClassify(const std::vector<std::string>& lines);
// The outcome's name in JSON output ("ok", "value", ...).
const char* CtlOutcomeName(CtlOutcome outcome);
// kovactl's exit status for an outcome: 0, 1 or 2.
int CtlExitStatus(CtlOutcome outcome);

// Collects one reply from bytes fed in any pieces.
class CtlReplyParser {
   public:
    CtlReplyParser(std::string sent, CtlExpect expect);
    // Takes received bytes; bytes after the reply's end are ignored.
    void Feed(const std::string& bytes);
    // The reply reached its end by content (not by silence).
    bool Complete() const { return m_bComplete; }
    // Something, if only the echo, has arrived.
    bool Answered() const { return m_bAnswered; }
    const std::vector<std::string>& Lines() const { return m_lines; }

   private:
    void TakeLine(std::string line);

    std::string m_sent;
    CtlExpect m_expect;
    std::string m_partial;
    std::vector<std::string> m_lines;
    bool m_bAnswered = false;
    bool m_bEchoDropped = false;
    bool m_bComplete = false;
};

// Sends a prepared line (terminated by a carriage return) and collects its reply.
CtlResult CtlTransact(const CtlLink& link, const std::string& line, const CtlTimeouts& timeouts);
