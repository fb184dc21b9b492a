// kovactl_cli: see the header. Options come before the command word, so that
// a command's own options (netparam -t) reach the unit untouched.

#include "kovactl_cli.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "kovactl_commands.h"
#include "kovactl_json.h"
#include "kovactl_link.h"
#include "kovactl_reply.h"
#include "kovactl_session.h"

#ifndef KOVACTL_VERSION
#define KOVACTL_VERSION "0"
#endif

namespace {

constexpr const char* DEFAULT_DEVICE = "/dev/ttyACM0";
constexpr int MAX_TIMEOUT_MS = 600000;

constexpr const char* HELP_TEXT = R"(Usage: kovactl [OPTIONS] COMMAND [ARGS...]
       kovactl [OPTIONS]            (a session: lines from standard input)
       kovactl --help | --version

Sends setting commands to a KOVA-LAN unit over its USB port (a serial port
on the PC) or its TCP setting port, and prints the replies. Each line is
checked against the unit's commands before it is sent; a refusal is
explained. Edits stay in the unit's working copy until `commit` (save and
update, then every edit of the session read back and compared); the unit
drops them 60 s after the last edit or at `vers`.

kovactl's own words: commit, targets [--configured],
log [--json] [--since TIME] [--follow] [--raw], help [COMMAND], quit, exit.
`kovactl help` lists the unit's commands with their arguments.

Options:
  -d, --device DEVICE      serial device (default /dev/ttyACM0)
  -t, --tcp HOST[:PORT]    TCP setting port instead (default port 21002)
  -b, --baud BAUD          line speed (default 9600)
  -p, --password PASSWORD  open the lock with chkpass first (visible in ps:
                           prefer the three below)
      --password-file FILE the PassWord is the first line of FILE
      --ask-password       ask for the PassWord on the terminal
                           (KOVACTL_PASSWORD in the environment also works)
      --json               one JSON object per reply
      --timeout MS         wait for a connection and each reply byte (3000)
      --quiet MS           silence that ends a reply of unknown length (300)
  -h, --help               this text
      --version            the version

Exit status: 0 accepted or read; 1 refused (NG, an error reply, a refused
PassWord, a line refused before sending, an edit lost at commit); 2 the unit
cannot be reached; 64 a wrong command line.

See kovactl(1).
)";

struct Options {
    std::string device = DEFAULT_DEVICE;
    std::string host;  // TCP when not empty
    uint16_t port = CTL_DEFAULT_SETTING_PORT;
    int baud = CTL_DEFAULT_BAUD;
    bool bPassword = false;
    std::string password;
    std::string passwordFile;
    bool bAskPassword = false;
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
    } else if (name == "--password-file") {
        o->passwordFile = value;
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
                                        "--baud", "-p",       "--password", "--timeout", "--quiet", "--password-file"};
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
        } else if (name == "--ask-password") {
            o->bAskPassword = true;
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

// The PassWord from the file, the terminal or the environment, when -p gave none;
// false (reported) when a source was named but gave nothing.
bool FindPassword(Options* o, const std::function<bool(std::string*)>& ask, std::ostream& err)
{
    if (o->bPassword) {
        return true;
    }
    if (!o->passwordFile.empty()) {
        std::ifstream file(o->passwordFile);
        if (!file || !std::getline(file, o->password) || o->password.empty()) {
            err << "kovactl: cannot read a PassWord from " << o->passwordFile << "\n";
            return false;
        }
    } else if (o->bAskPassword) {
        if (!ask || !ask(&o->password) || o->password.empty()) {
            err << "kovactl: no PassWord was typed\n";
            return false;
        }
    } else if (const char* env = std::getenv("KOVACTL_PASSWORD"); env != nullptr && *env != '\0') {
        o->password = env;
    }
    if (!o->password.empty() && o->password.back() == '\r') {
        o->password.pop_back();
    }
    o->bPassword = !o->password.empty();
    return true;
}

// Opens the lock with the PassWord; 0, or the exit status of the failure
// (reported). A refused PassWord is no failure when the lock is off.
int CheckPassword(const CtlLink& link, const Options& o, std::ostream& err)
{
    const CtlResult r = CtlTransact(link, CtlJoinArgs({"chkpass", o.password}), o.timeouts);
    if (r.outcome == CtlOutcome::OK) {
        return 0;
    }
    if (r.outcome == CtlOutcome::NG) {
        const CtlResult lock = CtlTransact(link, "lock", o.timeouts);
        if (lock.outcome == CtlOutcome::VALUE && lock.lines.front() == "0") {
            return 0;
        }
        err << "kovactl: the PassWord was refused (the unit answered NG to chkpass; it is case-sensitive)\n";
        return KOVACTL_EXIT_REFUSED;
    }
    err << "kovactl: chkpass: " << (r.error.empty() ? "the unit answered \"" + r.lines.front() + "\"" : r.error) << "\n";
    return CtlExitStatus(r.outcome) == 0 ? KOVACTL_EXIT_REFUSED : CtlExitStatus(r.outcome);
}

// Lines from the reader until it ends or a line asks to quit; the worst status.
int RunSession(CtlSession& session, const CtlReadLine& read)
{
    int status = KOVACTL_EXIT_OK;
    std::string text;
    bool quit = false;
    while (!quit && read(&text)) {
        const int lineStatus = session.Run(text, &quit);
        if (lineStatus == KOVACTL_EXIT_UNREACHABLE) {
            return lineStatus;
        }
        status = std::max(status, lineStatus);
    }
    return status;
}

int Run(Options& o, const CtlLineSource& source, std::ostream& out, std::ostream& err)
{
    if (!FindPassword(&o, source.askPassword, err)) {
        return KOVACTL_EXIT_REFUSED;
    }
    CtlSessionOptions so;
    so.bJson = o.bJson;
    so.bInteractive = o.command.empty() && source.interactive;
    so.bPasswordGiven = o.bPassword;
    so.password = o.password;
    so.timeouts = o.timeouts;
    so.stop = source.stop;
    CtlLink link;
    CtlSession session(link, so, out, err);
    const std::string single = CtlJoinArgs(o.command);
    int status = 0;
    bool quit = false;
    if (!o.command.empty() && session.Offline(single, &status, &quit)) {
        return status;
    }
    std::string why;
    const bool opened = o.host.empty() ? CtlOpenSerial(o.device, o.baud, &link, &why)
                                       : CtlOpenTcp(o.host, o.port, o.timeouts.replyMs, &link, &why);
    if (!opened) {
        if (o.bJson && !o.command.empty() && o.command[0] != "targets" && o.command[0] != "log") {
            out << "{\"command\": " << CtlJsonString(single)
                << ", \"reply\": [], \"outcome\": \"unreachable\", \"error\": " << CtlJsonString(why) << "}\n";
        }
        err << "kovactl: " << why << "\n";
        return KOVACTL_EXIT_UNREACHABLE;
    }
    status = o.bPassword ? CheckPassword(link, o, err) : 0;
    if (status == 0 && o.command.empty()) {
        status = RunSession(session, source.read);
        if (session.PendingEdits() > 0) {
            err << "kovactl: " << session.PendingEdits()
                << " edit(s) not committed: the unit drops them 60 s after the last one (send commit)\n";
        }
    } else if (status == 0) {
        status = session.Run(single, &quit);
    }
    CtlClose(&link);
    return status;
}

}  // namespace

int KovactlMain(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                bool prompt)
{
    CtlLineSource source;
    source.read = [&in, &err, prompt](std::string* line) {
        if (prompt) {
            err << "kovactl> " << std::flush;
        }
        return static_cast<bool>(std::getline(in, *line));
    };
    source.interactive = prompt;
    return KovactlMain(args, source, out, err);
}

int KovactlMain(const std::vector<std::string>& args, const CtlLineSource& source, std::ostream& out,
                std::ostream& err)
{
    // The shell's completion asks for the words that may follow the completed ones.
    if (!args.empty() && args[0] == "--complete") {
        const size_t from = args.size() > 1 && args[1] == "--" ? 2 : 1;
        for (const std::string& word : CtlCompletions(std::vector<std::string>(args.begin() + static_cast<long>(from), args.end()))) {
            out << word << "\n";
        }
        return KOVACTL_EXIT_OK;
    }
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
    return Run(o, source, out, err);
}
