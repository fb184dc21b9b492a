// kovactl_commands: see the header. The unit answers a bad line with only
// "command error", "parameter error" or "NG"; checking here first lets
// kovactl say which word is wrong and what the unit takes instead.

#include "kovactl_commands.h"

#include <algorithm>
#include <cctype>

namespace {

using A = CtlArg;
using E = CtlEffect;

constexpr size_t MAX_WORDS = 16;
constexpr size_t TARGET_COUNT = 100;
constexpr size_t PASSWORD_MAX = 16;
constexpr size_t MEMO_MAX = 64;
constexpr size_t CALLSIGN_MAX = 10;
constexpr size_t RADIOID_MAX = 5;
constexpr size_t NTP_SERVER_MAX = 255;

const CtlArgRule N{A::INDEX, "N"};
const CtlArgRule ADDR{A::ADDRESS, "A.B.C.D"};
const CtlArgRule PORT{A::PORT, "PORT"};
const CtlArgRule FLAG{A::FLAG, "0|1"};
const CtlArgRule PASS{A::PASSWORD, "PASSWORD"};

// kovactl's own words: handled here, never sent as typed.
struct LocalWord {
    const char* word;
    const char* usage;
    const char* summary;
};
const LocalWord LOCAL_WORDS[] = {
    {"commit", "commit", "save and update, then read back every edit of this session and compare"},
    {"targets", "targets [--configured]", "the target table with link states (--configured: only entries in use)"},
    {"log", "log [--json] [--since TIME] [--follow]", "the ring log as time-stamped lines, oldest first"},
    {"help", "help [COMMAND]", "this list, or one command's forms"},
    {"quit", "quit", "end an interactive session (also exit)"},
};

const std::vector<CtlCommand>& Table()
{
    static const std::vector<CtlCommand> table = {
        {"conn", false, false, {{{}, false, E::NOW, "connect to the configured targets"}}},
        {"disc", false, false, {{{}, false, E::NOW, "disconnect from all targets"}}},
        {"save", true, false, {{{}, false, E::COMMIT, "mark the edits for the settings file (at update)"}}},
        {"reboot", false, false, {{{}, false, E::NOW, "restart the board"}}},
        {"netparam",
         true,
         false,
         {{{}, false, E::READ, "configured address, netmask, gateway (or dhcp)"},
          {{{A::NETWORD, "[-t] A.B.C.D [NETMASK [GATEWAY]]"}},
           true,
           E::EDIT,
           "stage a new address (0.0.0.0: DHCP); -t applies it at once, unsaved"}}},
        {"currip", false, false, {{{}, false, E::READ, "the interface's actual address"}}},
        {"status", false, false, {{{N}, false, E::READ, "link state of target N"}}},
        {"target",
         true,
         false,
         {{{N}, false, E::READ, "address of target N"}, {{N, ADDR}, false, E::EDIT, "set the address of target N"}}},
        {"enable",
         true,
         false,
         {{{N}, false, E::READ, "whether target N is enabled"},
          {{N, FLAG}, false, E::EDIT, "enable or disable target N"}}},
        {"vers", false, false, {{{}, false, E::SESSION, "the unit's version; drops the session's uncommitted edits"}}},
        {"update", true, false, {{{}, false, E::COMMIT, "make the edits live (and write them if saved)"}}},
        {"mac",
         false,
         false,
         {{{}, false, E::READ, "the MAC address"},
          {{{A::MAC, "HH:HH:HH:HH:HH:HH"}}, false, E::NOW, "program the MAC address"}}},
        {"udpport",
         true,
         false,
         {{{}, false, E::READ, "the peer-link UDP port"}, {{PORT}, false, E::EDIT, "set the peer-link UDP port"}}},
        {"chkpass", false, false, {{{PASS}, false, E::NOW, "open the lock for this session"}}},
        {"setpass",
         false,
         false,
         {{{{A::PASSWORD, "OLD"}, {A::PASSWORD, "NEW"}}, false, E::NOW, "change the PassWord (saved at once)"}}},
        {"factset", false, false, {{{{A::STEP, "0|1"}}, false, E::NOW, "factory reset: factset 0, then factset 1"}}},
        {"getdest",
         true,
         false,
         {{{{A::INDEX, "FROM"}, {A::INDEX, "TO"}}, false, E::READ, "target entries FROM to TO"}}},
        {"setdest",
         true,
         false,
         {{{N, {A::REPLYFLAG, "REPLY"}, {A::DESTKEY, "KEY=VALUE..."}},
           true,
           E::EDIT,
           "set entry N whole: enable=0|1 target=A.B.C.D memo=TEXT (keys left out take their defaults)"}}},
        {"enableall",
         true,
         false,
         {{{}, false, E::READ, "all 100 enables as digits"},
          {{{A::DIGITS, "DIGITS"}}, false, E::EDIT, "set all 100 enables (100 digits 0 or 1)"}}},
        {"myrep", true, false, {{{}, false, E::READ, "this repeater's description"}}},
        {"log", true, false, {{{}, false, E::READ, "the ring log (kovactl decodes it)"}}},
        {"logsize", true, false, {{{}, false, E::READ, "the ring log's sizes"}}},
        {"logflag",
         true,
         false,
         {{{}, false, E::READ, "debug-log settings"},
          {{{A::LOGKEY, "enable=0|1"}, {A::LOGKEY, "flag=HEX"}}, false, E::EDIT, "set the debug-log settings"}}},
        {"listsrv",
         true,
         false,
         {{{}, false, E::READ, "directory mode (0 Fixed IP, 1 ListServer)"},
          {{FLAG}, false, E::READ, "accepted but changes nothing"}}},
        {"search", true, false, {{{}, false, E::NOW, "probe the connected peers"}}},
        {"searchres", true, false, {{{}, false, E::READ, "the search results"}}},
        {"lock",
         false,
         false,
         {{{}, false, E::READ, "whether the lock is on"},
          {{FLAG, PASS}, false, E::NOW, "lock 1 PASSWORD switches the lock on; lock 0 PASSWORD off"}}},
        {"regist", false, true, {}},
        {"portchk", false, true, {}},
        {"repsearch", false, true, {}},
        {"liststatus", true, false, {{{}, false, E::READ, "directory status"}}},
        {"listinfo", false, true, {}},
        {"listdebug", false, true, {}},
        {"settingport",
         true,
         false,
         {{{}, false, E::READ, "the TCP setting port"}, {{PORT}, false, E::EDIT, "set the TCP setting port"}}},
        {"ntp",
         true,
         false,
         {{{}, false, E::READ, "NTP settings"},
          {{FLAG, {A::TEXT, "SERVER", NTP_SERVER_MAX}}, false, E::EDIT, "set NTP on or off and its server"}}},
        {"updatecount", true, false, {{{}, false, E::READ, "the count of updates"}}},
    };
    return table;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool AllDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool AllHex(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

// A decimal word within [lo, hi]; leading zeros are fine, as for the unit.
bool InRange(const std::string& text, unsigned long lo, unsigned long hi)
{
    if (!AllDigits(text)) {
        return false;
    }
    const size_t first = text.find_first_not_of('0');
    if (first != std::string::npos && text.size() - first > 9) {
        return false;
    }
    const unsigned long v = first == std::string::npos ? 0 : std::stoul(text.substr(first));
    return v >= lo && v <= hi;
}

std::string Unquoted(const std::string& text)
{
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

std::vector<std::string> Split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(sep, start)) != std::string::npos; start = at + 1) {
        parts.push_back(text.substr(start, at - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::string Quote(const std::string& word)
{
    return "'" + word + "'";
}

// One setdest key=value word; "" when the unit takes it.
std::string CheckDestKey(const std::string& word)
{
    const size_t eq = word.find('=');
    if (eq == std::string::npos) {
        return Quote(word) +
               " is not KEY=VALUE; the keys are enable, target, memo (callsign, radioid in ListServer mode)";
    }
    const std::string key = Lower(word.substr(0, eq));
    const std::string value = Unquoted(word.substr(eq + 1));
    if (key == "enable") {
        return value == "0" || value == "1" ? "" : "enable= takes 0 or 1, not " + Quote(value);
    }
    if (key == "target") {
        return CtlIsAddress(value) ? "" : "target= takes a dotted address a.b.c.d (each 0-255), not " + Quote(value);
    }
    const size_t limit = key == "memo"       ? MEMO_MAX
                         : key == "callsign" ? CALLSIGN_MAX
                         : key == "radioid"  ? RADIOID_MAX
                                             : 0;
    if (limit == 0) {
        return "unknown key " + Quote(key) +
               "; the keys are enable, target, memo (callsign, radioid in ListServer mode)";
    }
    return value.size() <= limit
               ? ""
               : key + "= takes at most " + std::to_string(limit) + " characters, not " + std::to_string(value.size());
}

std::string CheckLogKey(const std::string& word)
{
    const size_t eq = word.find('=');
    const std::string key = Lower(word.substr(0, eq));
    const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
    if (eq != std::string::npos && key == "enable") {
        return value == "0" || value == "1" ? "" : "enable= takes 0 or 1, not " + Quote(value);
    }
    if (eq != std::string::npos && key == "flag") {
        return AllHex(value) && value.size() <= 8 ? "" : "flag= takes 1 to 8 hexadecimal digits, not " + Quote(value);
    }
    return Quote(word) + " is not enable=0|1 or flag=HEX (logflag takes both words)";
}

// netparam's words after the command word; "" when the unit takes them.
std::string CheckNetWords(const std::vector<std::string>& words)
{
    size_t plain = 0;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w[0] == '-' || w[0] == '/') {
            if (w.size() < 2 || (w[1] != 't' && w[1] != 'r')) {
                return "option " + Quote(w) + " is unknown; netparam takes -t (apply at once, unsaved) and -r";
            }
            continue;
        }
        static const char* const NAMES[] = {"the address", "the netmask", "the gateway"};
        if (plain < 3 && !CtlIsAddress(w)) {
            return std::string(NAMES[plain]) + " must be a dotted address a.b.c.d (each 0-255), not " + Quote(w);
        }
        ++plain;
    }
    return plain <= 3
               ? ""
               : "netparam takes at most an address, a netmask and a gateway; the unit ignores " + Quote(words.back());
}

// One argument against its rule; "" when it fits.
std::string CheckArg(const CtlArgRule& rule, const std::string& word)
{
    switch (rule.kind) {
        case A::INDEX:
            return InRange(word, 0, TARGET_COUNT - 1)
                       ? ""
                       : std::string(rule.name) + " is a target number from 0 to 99, not " + Quote(word);
        case A::ADDRESS:
            return CtlIsAddress(word) ? ""
                                      : "the address must be dotted a.b.c.d, each number 0 to 255, not " + Quote(word);
        case A::PORT:
            return InRange(word, 1, 65535) ? "" : "the port must be a number from 1 to 65535, not " + Quote(word);
        case A::FLAG:
        case A::STEP:
            return InRange(word, 0, 1) ? "" : "the value must be 0 or 1, not " + Quote(word);
        case A::REPLYFLAG:
            return AllDigits(word) ? "" : "REPLY must be a number (0: no OK on success, 1: OK), not " + Quote(word);
        case A::DIGITS:
            if (word.size() < TARGET_COUNT || word.find_first_not_of("01", 0) < TARGET_COUNT) {
                return "enableall takes 100 digits, each 0 or 1, target 0 first (got " + std::to_string(word.size()) +
                       " characters)";
            }
            return word.size() > TARGET_COUNT ? "enableall takes exactly 100 digits; the unit would ignore the " +
                                                    std::to_string(word.size() - TARGET_COUNT) + " after them"
                                              : "";
        case A::MAC: {
            const std::vector<std::string> fields = Split(word, ':');
            const bool ok = fields.size() == 6 && std::all_of(fields.begin(), fields.end(), [](const std::string& f) {
                                return AllHex(f) && f.size() <= 2;
                            });
            return ok ? ""
                      : "the MAC address is six hexadecimal fields 00 to FF joined by colons (02:00:00:00:00:01), "
                        "not " +
                            Quote(word);
        }
        case A::PASSWORD:
            return !word.empty() && word.size() <= PASSWORD_MAX && word.find_first_of(" \t\"") == std::string::npos
                       ? ""
                       : std::string(rule.name) +
                             " is 1 to 16 characters without blanks or quotes (the unit keeps 16 and compares exactly)";
        case A::TEXT:
            return Unquoted(word).size() <= rule.maxLength
                       ? ""
                       : std::string(rule.name) + " takes at most " + std::to_string(rule.maxLength) + " characters";
        case A::DESTKEY:
            return CheckDestKey(word);
        case A::LOGKEY:
            return CheckLogKey(word);
        case A::NETWORD:
            return "";  // checked as a whole
    }
    return "";
}

std::string FormUsage(const CtlCommand& c, const CtlForm& f)
{
    std::string text = c.word;
    for (const CtlArgRule& a : f.args) {
        text += std::string(" ") + a.name;
    }
    return text;
}

}  // namespace

const std::vector<CtlCommand>& CtlCommandTable()
{
    return Table();
}

const CtlCommand* CtlFindCommand(const std::string& word)
{
    const std::string lower = Lower(word);
    for (const CtlCommand& c : Table()) {
        if (lower == c.word) {
            return &c;
        }
    }
    return nullptr;
}

const CtlForm* CtlFindForm(const CtlCommand& command, size_t argCount)
{
    for (const CtlForm& f : command.forms) {
        if (argCount == f.args.size() || (f.bMore && argCount >= f.args.size())) {
            return &f;
        }
    }
    return nullptr;
}

std::string CtlUsage(const CtlCommand& command)
{
    std::string text;
    for (const CtlForm& f : command.forms) {
        text += "  " + FormUsage(command, f) + "\n";
    }
    return text;
}

bool CtlIsAddress(const std::string& text)
{
    const std::vector<std::string> parts = Split(text, '.');
    return parts.size() == 4 && std::all_of(parts.begin(), parts.end(),
                                            [](const std::string& p) { return p.size() <= 3 && InRange(p, 0, 255); });
}

std::string CtlCanonicalAddress(const std::string& text)
{
    std::string out;
    for (const std::string& p : Split(text, '.')) {
        if (!out.empty()) {
            out += '.';
        }
        out += std::to_string(std::stoul(p));
    }
    return out;
}

std::string CtlCheckWords(const std::vector<std::string>& words)
{
    if (words.empty()) {
        return "";
    }
    if (words.size() > MAX_WORDS) {
        return "the line has " + std::to_string(words.size()) + " words; the unit takes at most 16";
    }
    const CtlCommand* c = CtlFindCommand(words[0]);
    if (c == nullptr) {
        return "the unit has no command " + Quote(words[0]) + "; 'help' lists them";
    }
    if (c->bRetired) {
        return std::string(c->word) +
               " is a directory command this unit does not run (it always answers command error)";
    }
    const CtlForm* f = CtlFindForm(*c, words.size() - 1);
    if (f == nullptr) {
        return std::string(c->word) + " does not take " + std::to_string(words.size() - 1) + " word" +
               (words.size() == 2 ? "" : "s") + "; its forms are:\n" + CtlUsage(*c).substr(0, CtlUsage(*c).size() - 1);
    }
    if (!f->args.empty() && f->args[0].kind == A::NETWORD) {
        const std::string why = CheckNetWords(words);
        return why.empty() ? "" : std::string(c->word) + ": " + why;
    }
    for (size_t i = 1; i < words.size(); ++i) {
        const CtlArgRule& rule = f->args[std::min(i - 1, f->args.size() - 1)];
        if (std::string why = CheckArg(rule, words[i]); !why.empty()) {
            return std::string(c->word) + ": " + why + "\n  usage: " + FormUsage(*c, *f);
        }
    }
    if (Lower(words[0]) == "getdest" && std::stoul(words[1]) > std::stoul(words[2])) {
        return "getdest: FROM must not be above TO (" + words[1] + " > " + words[2] + ")";
    }
    return "";
}

std::string CtlExplainRefusal(const std::vector<std::string>& words, const CtlResult& result, bool passwordGiven)
{
    const CtlCommand* c = words.empty() ? nullptr : CtlFindCommand(words[0]);
    if (c == nullptr || result.lines.empty()) {
        return "";
    }
    const std::string word = c->word;
    const std::string& reply = result.lines.front();
    const std::string lead = word + ": the unit answered \"" + reply + "\": ";
    if (reply == "parameter error") {
        return lead + "the line had more than 16 words";
    }
    if (reply == "hardware error") {
        return lead + "it could not write its settings file; the edits are dropped, send them again";
    }
    if (reply == "command error") {
        return lead + (word == "status" ? "it cannot report on that entry"
                                        : "kovactl found the words well-formed, so the unit's firmware checks them "
                                          "differently (an older or newer version?)");
    }
    if (reply != "NG") {
        return "";
    }
    const std::string step = words.size() > 1 ? words[1] : "";
    if (word == "chkpass") {
        return lead + "the PassWord is wrong (it is case-sensitive)";
    }
    if (word == "setpass") {
        return lead + "the old PassWord is wrong";
    }
    if (word == "lock" && step == "1") {
        return lead + "the lock is on already; switch it off first with lock 0 PASSWORD";
    }
    if (word == "lock") {
        return lead + "the lock is off already, or the PassWord is wrong";
    }
    if (word == "factset") {
        return lead + (step == "1" ? "factset 1 must follow factset 0 in the same session (vers in between starts over)"
                                   : "factset 0 was sent already; send factset 1 to reset, or vers to cancel");
    }
    if (word == "mac") {
        return lead + (words.size() == 1 ? "it cannot read its MAC fuses" : "it could not program the MAC fuses");
    }
    if (c->bLocked) {
        return lead + (passwordGiven ? "the PassWord opened the lock earlier, but the session was reset (vers or a "
                                       "reconnect) or the unit has no session for this client"
                                     : "the lock is on and no PassWord was given: use -p, --password-file, "
                                       "KOVACTL_PASSWORD or chkpass first");
    }
    return lead + "the unit has no session for this client (too many clients)";
}

std::string CtlHelpText(const std::string& word)
{
    if (!word.empty()) {
        for (const LocalWord& l : LOCAL_WORDS) {
            if (Lower(word) == l.word || (Lower(word) == "exit" && std::string(l.word) == "quit")) {
                return std::string("  ") + l.usage + "\n      " + l.summary + " (kovactl's own)\n";
            }
        }
        const CtlCommand* c = CtlFindCommand(word);
        if (c == nullptr || c->bRetired) {
            return c == nullptr ? "no command " + Quote(word) + "; 'help' lists them\n"
                                : std::string(c->word) + ": a directory command this unit does not run\n";
        }
        std::string text;
        for (const CtlForm& f : c->forms) {
            text +=
                "  " + FormUsage(*c, f) + "\n      " + f.summary + (f.effect == E::EDIT ? " (then commit)" : "") + "\n";
        }
        return text + (c->bLocked ? "  needs the PassWord when the lock is on\n" : "");
    }
    std::string text = "Commands of the unit (edits become live with commit):\n";
    for (const CtlCommand& c : Table()) {
        if (!c.bRetired) {
            for (const CtlForm& f : c.forms) {
                std::string usage = FormUsage(c, f);
                usage.resize(std::max<size_t>(usage.size(), 34), ' ');
                text += "  " + usage + "  " + f.summary + "\n";
            }
        }
    }
    text += "kovactl's own words:\n";
    for (const LocalWord& l : LOCAL_WORDS) {
        std::string usage = l.usage;
        usage.resize(std::max<size_t>(usage.size(), 34), ' ');
        text += "  " + usage + "  " + l.summary + "\n";
    }
    return text;
}

std::vector<std::string> CtlCompletions(const std::vector<std::string>& words)
{
    std::vector<std::string> out;
    if (words.empty()) {
        for (const CtlCommand& c : Table()) {
            if (!c.bRetired) {
                out.push_back(c.word);
            }
        }
        for (const LocalWord& l : LOCAL_WORDS) {
            out.push_back(l.word);
        }
        out.push_back("exit");
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
        return out;
    }
    const std::string first = Lower(words[0]);
    if (first == "targets") {
        return {"--configured"};
    }
    if (first == "log") {
        return {"--follow", "--json", "--since"};
    }
    if (first == "help") {
        return words.size() == 1 ? CtlCompletions({}) : out;
    }
    const CtlCommand* c = CtlFindCommand(first);
    if (c == nullptr) {
        return out;
    }
    const size_t at = words.size() - 1;  // the argument being completed
    for (const CtlForm& f : c->forms) {
        if (at >= f.args.size() && !(f.bMore && !f.args.empty())) {
            continue;
        }
        const CtlArg kind = f.args[std::min(at, f.args.size() - 1)].kind;
        if (kind == A::FLAG || kind == A::STEP || kind == A::REPLYFLAG) {
            out.insert(out.end(), {"0", "1"});
        } else if (kind == A::DESTKEY) {
            out.insert(out.end(), {"enable=", "memo=", "target="});
        } else if (kind == A::LOGKEY) {
            out.push_back(at == 0 ? "enable=" : "flag=");
        } else if (kind == A::NETWORD && at == 0) {
            out.push_back("-t");
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}
