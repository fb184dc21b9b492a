// kovactl_cli: see the header. Options come before the command word, so that
// a command's own options (netparam -t) reach the unit untouched.

#include "kovactl_cli.h"

#include <algorithm>

#include "kovactl_json.h"
#include "kovactl_link.h"
#include "kovactl_reply.h"
#include "kovactl_targets.h"

#ifndef KOVACTL_VERSION
#define KOVACTL_VERSION "0"
#endif

namespace {

constexpr const char* DEFAULT_DEVICE = "/dev/ttyACM0";
constexpr int MAX_TIMEOUT_MS = 600000;

constexpr const char* HELP_TEXT = R"(NAME
       kovactl - send setting commands to a KOVA-LAN unit

SYNOPSIS
       kovactl [OPTIONS] COMMAND [ARGS...]
       kovactl [OPTIONS] targets
       kovactl [OPTIONS]            (commands read from standard input)
       kovactl --help | --version

DESCRIPTION
       kovactl talks to a unit over the board's USB port, which the PC sees
       as a serial port (/dev/ttyACM0 by default), or over a TCP connection
       to the unit's setting port. It sends one text command, prints the
       unit's reply lines and exits with a status that tells acceptance,
       refusal and an unreachable unit apart.

       COMMAND [ARGS...] is sent as one line, the words joined by blanks.
       An argument with a blank in it is put in double quotes (after the
       "=" of a key=value word), so setdest 3 1 "memo=east hill" sends
       memo="east hill". The commands and their replies are described in
       docs/commands.md; the command word may be in any case.

       targets shows the 100 target entries with their link states as a
       table: number, enable, address, state (idle, connecting, connected,
       disconnecting, wait disconnect), call sign, radio identifier and
       memo. It reads them with "getdest 0 99" and "status n". Where the
       unit answers "status n" with NG or an error, that answer stands in
       the state column and the exit status is 1.

       With no COMMAND, kovactl reads command lines from standard input (a
       terminal or a pipe), sends each and prints its reply; the word
       targets works there too. Empty lines are skipped. The session ends
       at the end of the input.

       Edits live in a session of the unit until update commits them. Over
       the USB port the session outlasts one kovactl run; a TCP connection
       is a session of its own, so send the edits and the update in one
       session (a pipe) there. An update that moves the setting port or the
       address ends a TCP session: the unit drops what follows.

       How a reply ends. The unit answers each line end with "\r\n" and
       sends no prompt; kovactl drops that echo (and an echo of the typed
       text, should a line have one) and knows the commands: getdest FROM
       TO gives TO-FROM+1 lines, log ends with "log Z", searchres with
       "searchres END" or "searchres BUSY", setdest N 0 gives no line when
       accepted (kovactl waits the quiet time for a refusal), every other
       command of the unit one line. A first line NG or "... error" ends
       any reply. The reply to an unknown word ends when the unit has been
       quiet for the quiet time.

OPTIONS
       -d DEVICE, --device DEVICE
              The serial device (default /dev/ttyACM0). It is set raw, 8
              data bits, no parity, 1 stop bit, no flow control, at the
              baud rate below; input left from before is dropped.

       -t HOST[:PORT], --tcp HOST[:PORT]
              Connect to the setting port instead (default port 21002, the
              configured SettingPort of a unit as delivered). An IPv6
              address goes in brackets: [::1]:21002. A unit as delivered
              does not open its TCP setting listener; use -d there.

       -b BAUD, --baud BAUD
              Line speed (default 9600, the rate the unit opens its end of
              the USB port with; a USB serial link carries data at its own
              speed whatever is set).

       -p PASSWORD, --password PASSWORD
              Send "chkpass PASSWORD" first, to open a unit whose lock is
              on. A refused PassWord ends kovactl with status 1.

       --json Machine-readable output. A command gives one object per line:
              {"command": ..., "reply": [lines], "outcome": ...}, with
              "error" added when no complete reply came; outcome is one of
              ok, value, no_reply, ng, error, timeout, incomplete,
              unreachable. targets gives an array of objects with index,
              enable, target, status, callsign, radioid, memo, sctbl,
              currentip (ListServer mode only), loc_dgid and def_dgid, and
              nothing on standard output when the entries cannot be read.

       --timeout MS
              Longest wait for a connection, for the first byte of a reply
              and between its bytes (default 3000).

       --quiet MS
              Silence that ends a reply of unknown length (default 300).

       -h, --help
              Shows this text.

       --version
              Shows the version.

EXIT STATUS
       0      The change was accepted (OK, or no reply where none is due)
              or a value was read.
       1      The unit answered NG, "command error", "parameter error" or
              "hardware error" (in a session: to at least one line; for
              targets: to any of its reads), the PassWord given with -p was
              refused, or a line could not be sent as typed.
       2      The unit cannot be reached: no such device, connection
              refused, the connection closed, no answer within the
              time-out, or a reply that stopped before its end.
       64     The command line is wrong.

EXAMPLES
       kovactl vers
       kovactl -t 192.168.1.20 netparam
       kovactl -d /dev/ttyACM1 target 5 10.0.0.5
       kovactl enable 5 1 && kovactl save && kovactl update
       kovactl --json targets
       printf 'udpport 30000\nsave\nupdate\n' | kovactl -t 192.168.1.20:21002
)";

struct Options {
    std::string device = DEFAULT_DEVICE;
    std::string host;  // TCP when not empty
    uint16_t port = CTL_DEFAULT_SETTING_PORT;
    int baud = CTL_DEFAULT_BAUD;
    bool bPassword = false;
    std::string password;
    bool bJson = false;
    bool bHelp = false;
    bool bVersion = false;
    CtlTimeouts timeouts;
    std::vector<std::string> command;
};

bool ParseNumber(const std::string& text, long minimum, long maximum, long* value)
{
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    *value = std::stol(text);
    return *value >= minimum && *value <= maximum;
}

// HOST, HOST:PORT or [IPV6]:PORT.
bool ParseTcpTarget(const std::string& text, Options* o)
{
    std::string host = text;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':')) {
            return false;
        }
        host = text.substr(1, close - 1);
        port = close + 1 < text.size() ? text.substr(close + 2) : "";
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        host = text.substr(0, text.find(':'));
        port = text.substr(text.find(':') + 1);
    }
    long value = CTL_DEFAULT_SETTING_PORT;
    if (host.empty() || (!port.empty() && !ParseNumber(port, 1, 65535, &value)) ||
        (port.empty() && text.back() == ':')) {
        return false;
    }
    o->host = host;
    o->port = static_cast<uint16_t>(value);
    return true;
}

int UsageError(std::ostream& err, const std::string& what)
{
    err << "kovactl: " << what << "\nTry 'kovactl --help'.\n";
    return KOVACTL_EXIT_USAGE;
}

// Applies one option that takes a value; false with *why on a bad value.
bool ApplyValue(const std::string& name, const std::string& value, Options* o, std::string* why)
{
    long n = 0;
    if (name == "-d" || name == "--device") {
        o->device = value;
    } else if (name == "-t" || name == "--tcp") {
        if (!ParseTcpTarget(value, o)) {
            *why = "bad HOST[:PORT]: " + value;
            return false;
        }
    } else if (name == "-b" || name == "--baud") {
        if (!ParseNumber(value, 1, 4000000, &n) || !CtlIsSupportedBaud(static_cast<int>(n))) {
            *why = "unsupported baud rate: " + value;
            return false;
        }
        o->baud = static_cast<int>(n);
    } else if (name == "-p" || name == "--password") {
        o->bPassword = true;
        o->password = value;
    } else if (name == "--timeout" || name == "--quiet") {
        if (!ParseNumber(value, 1, MAX_TIMEOUT_MS, &n)) {
            *why = name + " needs milliseconds from 1 to " + std::to_string(MAX_TIMEOUT_MS);
            return false;
        }
        (name == "--timeout" ? o->timeouts.replyMs : o->timeouts.quietMs) = static_cast<int>(n);
    }
    return true;
}

bool TakesValue(const std::string& name)
{
    static const char* const NAMES[] = {"-d",     "--device", "-t",         "--tcp",     "-b",
                                        "--baud", "-p",       "--password", "--timeout", "--quiet"};
    return std::find_if(std::begin(NAMES), std::end(NAMES), [&](const char* n) { return name == n; }) !=
           std::end(NAMES);
}

// Fills *o; 0 when it worked, else the exit status of the usage error (reported).
int ParseOptions(const std::vector<std::string>& args, Options* o, std::ostream& err)
{
    bool device = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            o->command.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
        if (a.size() < 2 || a[0] != '-') {
            o->command.assign(args.begin() + static_cast<long>(i), args.end());
            break;
        }
        const size_t eq = a.rfind("--", 0) == 0 ? a.find('=') : std::string::npos;
        const std::string name = a.substr(0, eq);
        if (name == "-h" || name == "--help") {
            o->bHelp = true;
        } else if (name == "--version") {
            o->bVersion = true;
        } else if (name == "--json") {
            o->bJson = true;
        } else if (TakesValue(name)) {
            if (eq == std::string::npos && i + 1 >= args.size()) {
                return UsageError(err, name + " needs a value");
            }
            const std::string value = eq != std::string::npos ? a.substr(eq + 1) : args[++i];
            std::string why;
            if (!ApplyValue(name, value, o, &why)) {
                return UsageError(err, why);
            }
            device = device || name == "-d" || name == "--device";
        } else {
            return UsageError(err, "unknown option " + a);
        }
    }
    if (device && !o->host.empty()) {
        return UsageError(err, "give either -d DEVICE or -t HOST[:PORT], not both");
    }
    return 0;
}

void PrintResult(const std::string& line, const CtlResult& r, bool json, std::ostream& out, std::ostream& err)
{
    if (json) {
        out << "{\"command\": " << CtlJsonString(line) << ", \"reply\": " << CtlJsonStringArray(r.lines)
            << ", \"outcome\": " << CtlJsonString(CtlOutcomeName(r.outcome));
        if (!r.error.empty()) {
            out << ", \"error\": " << CtlJsonString(r.error);
        }
        out << "}\n";
    } else {
        for (const std::string& l : r.lines) {
            out << l << "\n";
        }
    }
    out.flush();
    if (!r.error.empty()) {
        err << "kovactl: " << r.error << "\n";
    }
}

int RunTargets(const CtlLink& link, const Options& o, std::ostream& out, std::ostream& err)
{
    std::vector<CtlTarget> targets;
    const CtlResult r = CtlReadTargets(link, o.timeouts, &targets);
    if (!targets.empty()) {
        if (o.bJson) {
            CtlPrintTargetJson(targets, out);
        } else {
            CtlPrintTargetTable(targets, out);
        }
        out.flush();
    }
    if (r.outcome != CtlOutcome::VALUE) {
        err << "kovactl: " << r.error << "\n";
        return CtlExitStatus(r.outcome);
    }
    return KOVACTL_EXIT_OK;
}

bool IsTargetsWord(const std::vector<std::string>& words)
{
    return words.size() == 1 && words[0] == "targets";
}

// Sends one line of text (a command, or "targets"); the exit status it earns.
int RunLine(const CtlLink& link, const std::string& text, const Options& o, std::ostream& out, std::ostream& err)
{
    std::string line;
    std::string why;
    if (!CtlPrepareLine(text, &line, &why)) {
        err << "kovactl: " << why << "\n";
        return KOVACTL_EXIT_REFUSED;
    }
    if (IsTargetsWord(CtlSplitWords(line))) {
        return RunTargets(link, o, out, err);
    }
    const CtlResult r = CtlTransact(link, line, o.timeouts);
    PrintResult(line, r, o.bJson, out, err);
    return CtlExitStatus(r.outcome);
}

int RunSession(const CtlLink& link, const Options& o, std::istream& in, std::ostream& out, std::ostream& err,
               bool prompt)
{
    int status = KOVACTL_EXIT_OK;
    std::string text;
    for (;;) {
        if (prompt) {
            err << "kovactl> " << std::flush;
        }
        if (!std::getline(in, text)) {
            break;
        }
        if (text.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        const int lineStatus = RunLine(link, text, o, out, err);
        if (lineStatus == KOVACTL_EXIT_UNREACHABLE) {
            return lineStatus;
        }
        status = std::max(status, lineStatus);
    }
    return status;
}

// Opens the lock with the PassWord; 0, or the exit status of the failure (reported).
int CheckPassword(const CtlLink& link, const Options& o, std::ostream& err)
{
    const CtlResult r = CtlTransact(link, CtlJoinArgs({"chkpass", o.password}), o.timeouts);
    if (r.outcome == CtlOutcome::OK) {
        return 0;
    }
    err << "kovactl: " << (r.outcome == CtlOutcome::NG ? "the PassWord was refused" : r.error) << "\n";
    return CtlExitStatus(r.outcome) == 0 ? KOVACTL_EXIT_REFUSED : CtlExitStatus(r.outcome);
}

int Run(const Options& o, std::istream& in, std::ostream& out, std::ostream& err, bool prompt)
{
    CtlLink link;
    std::string why;
    const bool opened = o.host.empty() ? CtlOpenSerial(o.device, o.baud, &link, &why)
                                       : CtlOpenTcp(o.host, o.port, o.timeouts.replyMs, &link, &why);
    if (!opened) {
        if (o.bJson && !o.command.empty() && !IsTargetsWord(o.command)) {
            CtlResult r;
            r.error = why;
            PrintResult(CtlJoinArgs(o.command), r, true, out, err);
        } else {
            err << "kovactl: " << why << "\n";
        }
        return KOVACTL_EXIT_UNREACHABLE;
    }
    int status = o.bPassword ? CheckPassword(link, o, err) : 0;
    if (status == 0) {
        status = o.command.empty() ? RunSession(link, o, in, out, err, prompt)
                                   : RunLine(link, CtlJoinArgs(o.command), o, out, err);
    }
    CtlClose(&link);
    return status;
}

}  // namespace

int KovactlMain(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                bool prompt)
{
    Options o;
    if (int status = ParseOptions(args, &o, err); status != 0) {
        return status;
    }
    if (o.bHelp) {
        out << HELP_TEXT;
        return KOVACTL_EXIT_OK;
    }
    if (o.bVersion) {
        out << "kovactl " << KOVACTL_VERSION << "\n";
        return KOVACTL_EXIT_OK;
    }
    return Run(o, in, out, err, prompt);
}
