// kovasim_cli: see the header. Each verb parses its own options into the
// settings of demo, board_root or run and hands over; usage errors end with
// status 64 and a pointer to the verb's help.
#include "kovasim_cli.h"

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>

#include "board_root.h"
#include "demo.h"
#include "list_server.h"
#include "run.h"
#include "unit_process.h"

namespace {

constexpr const char* TOOL_HELP = R"(Usage: kovasim [OPTIONS] VERB [ARGS...]
Simulated KOVA-LAN boards on this PC: board roots for `kovalan --root DIR`,
with a simulated repeater radio and console cable, and stand-in list servers.
Nothing touches the PC's network settings, clock or files outside the roots.

Verbs:
  demo          two units linked over 127.0.0.1 relay and record a voice
                exchange; prints a timeline, exits 0 when every frame arrived
  make-root DIR make a board root in DIR for a unit to run on
  run DIR [--console PATH]
                run one unit on DIR with a simulated radio until Ctrl-C;
                --console offers its USB console at PATH for kovactl -d PATH
  list-server   stand-in list servers on 127.0.0.1 to 127.0.0.N until Ctrl-C

Options:
  --kovalan PATH  the daemon to run (demo, run); else $KOVALAN_BINARY, then a
                  kovalan beside kovasim, two folders up or in ../sbin
  -h, --help      show this help; VERB --help shows the verb's own
  --version       show the version

Exit status: 0 success, 1 the demo failed or a root, unit or list server
could not be made or run, 64 a wrong command line.
See kovasim(1).
)";

constexpr const char* LIST_SERVER_HELP = R"(NAME
       kovasim list-server - stand-in list servers for trying the directory client

SYNOPSIS
       kovasim list-server [--servers N] [--tcp-port P] [--udp-port P] [--http-port P]
                           [--url PATH] [--repeater SERVID,RADIOID,CALLSIGN]... [--quiet]

DESCRIPTION
       Runs N stand-in list servers (default 1, at most 8) on 127.0.0.1 to
       127.0.0.N until SIGINT or SIGTERM. They share the TCP port (REGIST,
       SEARCH, GET_LIST), the UDP port (health and port checks) and the HTTP
       port; the first one serves the list file naming every server at PATH
       (default /list.txt). Ports left out are chosen free and printed, with
       a kovadir command line that uses them. Every request and its answer
       is printed as it comes.

OPTIONS
       --servers N        how many servers (1 to 8)
       --tcp-port P, --udp-port P, --http-port P
                          the ports to listen on (default: free ports)
       --url PATH         where the list file is served (default /list.txt)
       --repeater SERVID,RADIOID,CALLSIGN
                          a repeater every server's directory holds from the
                          start (repeat for more)
       --quiet            print only the ports, not the requests

EXAMPLE
       kovasim list-server --servers 3 --repeater 10001,R0042,JA7KOV
)";

constexpr const char* DEMO_HELP = R"(NAME
       kovasim demo - two simulated units relaying a voice exchange

SYNOPSIS
       kovasim demo [--kovalan PATH] [--frames N] [--spacing MS] [--code N]
                    [--verbose] [--keep DIR] [--slow N]

DESCRIPTION
       Makes two boards in temporary folders and starts a unit and a
       simulated radio on each. Unit A receives peer packets on UDP port P of
       127.0.0.1 and sends to port Q, unit B the other way round; each one's
       target 1 is 127.0.0.1, enabled. Both radios identify themselves, the
       units link, radio A transmits (header, identification, voice frames,
       end) and radio B must hear every frame but the header, which the
       identification replaces, as 'F' frames in order; then B answers the
       same way. Last, radio A records an identification, four voice frames
       and an end into slot 12 ('R' frames, as far apart as the voice
       frames), unit A must answer that it recorded them, radio A asks for
       slot 12 on channel A ('L') and must get every recorded frame back as
       an 'F' frame, in order.

       The timeline shows, in milliseconds since the start: what each radio
       sent and got (with each frame's radio-to-radio latency), what each
       unit relayed (its own output lines), the consoles' `status 1`
       replies and every change of the LEDs, with a look at both before,
       during and after the exchange, and the unit's answers to the
       recording and the play request, with each played-back frame's time
       beside the time it had when it was recorded. Every process and
       folder it made is gone when it ends.

OPTIONS
       --frames N     voice frames per transmission, 0 to 60 (6)
       --spacing MS   pause between frames, 1 to 200 ms (20)
       --code N       the frames' code number, 0 to 127 (5); both radios admit it
       --verbose      every line of the units' output in the timeline
       --keep DIR     copy both board roots (settings, logs, command logs)
                      to DIR/A and DIR/B at the end
       --slow N       multiply every wait by N, 1 to 20 (for sanitizer builds)
       --kovalan PATH the daemon to run

EXIT STATUS
       0 when every frame arrived in order both ways and both units stopped
       cleanly; 1 otherwise, naming each frame that was missing, out of
       order or damaged.
)";

constexpr const char* MAKE_ROOT_HELP = R"(NAME
       kovasim make-root - make a simulated board's root folder

SYNOPSIS
       kovasim make-root DIR [options]

DESCRIPTION
       Makes DIR (missing or empty) a board root: etc/network/interfaces,
       etc/resolv.conf, proc/net/route, the MAC fuses in sys/fsl_otp, the
       carrier in sys/class/net/eth0, the LED lines in sys/class/gpio, the
       var folders, the sbin/board-command stand-in that records what the
       unit would run, and var/local/kovalan.ini with the chosen ports and
       targets. The radio and console devices (dev/ttymxc1, dev/ttyGS0)
       appear while `kovasim run DIR` runs.

OPTIONS
       --rx-port P          RxUdpPort, where the unit receives (21110)
       --tx-port Q          TxUdpPort, where it sends to its targets (21110)
       --target N=ADDR[,off]
                            target entry N (0-99) at the dotted address,
                            enabled unless ",off"; repeatable. The unit really
                            sends to it: keep to 127.0.0.1 unless you mean it.
       --mac MAC            the MAC fuses, as 02:00:00:00:00:01 (that one)
       --static ADDR,MASK[,GW]
                            a static eth0 in the interfaces file
       --dhcp               eth0 by DHCP (the default)
       --no-carrier         the Ethernet cable unplugged
       --comm-port N        CommPort, the radio's line (2: dev/ttymxc1)
       --usb-port N         UsbPort, the console (1000: dev/ttyGS0; 0 none)

EXAMPLE
       kovasim make-root /tmp/unit-a --rx-port 40001 --tx-port 40002 \
               --target 1=127.0.0.1
)";

constexpr const char* RUN_HELP = R"(NAME
       kovasim run - run one unit on a board root with a simulated radio

SYNOPSIS
       kovasim run DIR [--kovalan PATH] [--code N] [--slow N] [--console PATH]

DESCRIPTION
       Plugs a simulated radio into DIR's radio line and a console cable
       into its USB port (as the root's settings name them), starts
       `kovalan --root DIR`, lets the radio identify itself and keep the line
       alive, and prints the unit's output and the frames it sends to its
       radio (all but the keep-alive) until Ctrl-C or SIGTERM, which stop
       the unit in order. Lines typed on standard input:

       TEXT       a console command (status 1, target 1, mac, log, ...)
       !tx [N]    the radio transmits: header, identification, N voice
                  frames (6), end
       !id        the radio identifies itself again
       !help      this list

       Two units on two roots whose ports cross (one's --rx-port is the
       other's --tx-port, both with --target 1=127.0.0.1) link with each
       other: run each in its own terminal and type !tx in one.

OPTIONS
       --code N       the radio admits only code N and transmits it; without
                      it, the radio admits every code and transmits code 5
       --slow N       multiply every wait by N, 1 to 20
       --kovalan PATH the daemon to run
       --console PATH offer the unit's USB console as a serial device at
                      PATH, as a PC sees the board's port: kovactl -d PATH
                      talks to the unit while the radio keeps running (typed
                      lines then no longer go to the console)

EXIT STATUS
       0 when the unit was stopped and ended cleanly; 1 when it could not be
       started, ended by itself, or did not stop cleanly.
)";

// The verb's arguments after the verb, one at a time, with --name=value split.
class Options {
   public:
    Options(const std::vector<std::string>& args, std::ostream& err, const char* verb)
        : m_args(args), m_err(err), m_verb(verb)
    {
    }
    // The next argument; false at the end. An option's name goes to *name,
    // a plain argument to *plain.
    bool Next(std::string* name, std::string* plain)
    {
        if (m_at >= m_args.size()) {
            return false;
        }
        std::string arg = m_args[m_at++];
        m_inline.reset();
        name->clear();
        plain->clear();
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            *plain = arg;
            return true;
        }
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            m_inline = arg.substr(eq + 1);
            arg.erase(eq);
        }
        *name = arg;
        return true;
    }
    // The current option's value; false (after a message) when it has none.
    bool Value(const std::string& name, std::string* value)
    {
        if (m_inline) {
            *value = *m_inline;
            return true;
        }
        if (m_at < m_args.size()) {
            *value = m_args[m_at++];
            return true;
        }
        return Fail(name + " needs a value");
    }
    bool Number(const std::string& name, int lo, int hi, int* out)
    {
        std::string text;
        if (!Value(name, &text)) {
            return false;
        }
        bool digits = !text.empty() && text.size() <= 6 && text.find_first_not_of("0123456789") == std::string::npos;
        int value = digits ? std::stoi(text) : -1;
        if (!digits || value < lo || value > hi) {
            return Fail(name + " takes a number from " + std::to_string(lo) + " to " + std::to_string(hi) + ", not '" +
                        text + "'");
        }
        *out = value;
        return true;
    }
    bool Fail(const std::string& why)
    {
        m_err << "kovasim " << m_verb << ": " << why << "\n(see kovasim " << m_verb << " --help)\n";
        return false;
    }

   private:
    const std::vector<std::string>& m_args;
    std::ostream& m_err;
    const char* m_verb;
    size_t m_at = 0;
    std::optional<std::string> m_inline;
};

bool Executable(const std::string& path)
{
    return !path.empty() && access(path.c_str(), X_OK) == 0 && !std::filesystem::is_directory(path);
}

// The daemon: the option, $KOVALAN_BINARY, beside kovasim, the build tree's
// top, or ../sbin (/usr/bin/kovasim finds /usr/sbin/kovalan).
std::string FindDaemon(const std::string& option, std::ostream& err)
{
    if (!option.empty()) {
        if (Executable(option)) {
            return option;
        }
        err << "kovasim: --kovalan " << option << " is not an executable\n";
        return "";
    }
    std::string env = sim::UnitProcess::DefaultBinary();
    if (!env.empty()) {
        if (Executable(env)) {
            return env;
        }
        err << "kovasim: KOVALAN_BINARY=" << env << " is not an executable\n";
        return "";
    }
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        for (const std::filesystem::path& candidate :
             {self.parent_path() / "kovalan", self.parent_path().parent_path().parent_path() / "kovalan",
              self.parent_path().parent_path() / "sbin" / "kovalan"}) {
            if (Executable(candidate.string())) {
                return candidate.lexically_normal().string();
            }
        }
    }
    err << "kovasim: cannot find the kovalan daemon; give --kovalan PATH or set KOVALAN_BINARY\n";
    return "";
}

// "N=ADDR" or "N=ADDR,off".
bool ParseTarget(const std::string& text, kovasim::TargetSetting* t)
{
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq > 2 || text.find_first_not_of("0123456789") != eq) {
        return false;
    }
    t->index = std::stoi(text.substr(0, eq));
    std::string address = text.substr(eq + 1);
    t->enabled = true;
    size_t comma = address.find(',');
    if (comma != std::string::npos) {
        std::string state = address.substr(comma + 1);
        if (state != "off" && state != "on") {
            return false;
        }
        t->enabled = state == "on";
        address.erase(comma);
    }
    t->address = address;
    return kovasim::ValidAddress(address);
}

// "ADDR,MASK" or "ADDR,MASK,GW".
bool ParseStatic(const std::string& text, kovasim::RootSettings* s)
{
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t comma; (comma = text.find(',', from)) != std::string::npos; from = comma + 1) {
        parts.push_back(text.substr(from, comma - from));
    }
    parts.push_back(text.substr(from));
    if (parts.size() < 2 || parts.size() > 3) {
        return false;
    }
    for (const std::string& p : parts) {
        if (!kovasim::ValidAddress(p)) {
            return false;
        }
    }
    s->dhcp = false;
    s->address = parts[0];
    s->netmask = parts[1];
    s->gateway = parts.size() == 3 ? parts[2] : "";
    return true;
}

bool IsHelp(const std::vector<std::string>& args)
{
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            return true;
        }
    }
    return false;
}

int Demo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop)
{
    Options o(args, err, "demo");
    kovasim::DemoOptions d;
    std::string kovalan, name, plain;
    while (o.Next(&name, &plain)) {
        bool ok = true;
        if (!plain.empty()) {
            ok = o.Fail("takes no argument '" + plain + "'");
        } else if (name == "--kovalan") {
            ok = o.Value(name, &kovalan);
        } else if (name == "--frames") {
            ok = o.Number(name, 0, 60, &d.voiceFrames);
        } else if (name == "--spacing") {
            ok = o.Number(name, 1, 200, &d.spacingMs);
        } else if (name == "--code") {
            ok = o.Number(name, 0, 127, &d.code);
        } else if (name == "--slow") {
            ok = o.Number(name, 1, 20, &d.slow);
        } else if (name == "--keep") {
            ok = o.Value(name, &d.keepDir);
        } else if (name == "--verbose") {
            d.verbose = true;
        } else {
            ok = o.Fail("unknown option " + name);
        }
        if (!ok) {
            return KOVASIM_EXIT_USAGE;
        }
    }
    d.binary = FindDaemon(kovalan, err);
    if (d.binary.empty()) {
        return KOVASIM_EXIT_FAILURE;
    }
    return kovasim::RunDemo(d, out, stop);
}

// One make-root option into the settings; false after a message.
bool MakeRootOption(Options& o, const std::string& name, kovasim::RootSettings* s)
{
    std::string value;
    if (name == "--rx-port") {
        return o.Number(name, 1, 65535, &s->rxPort);
    }
    if (name == "--tx-port") {
        return o.Number(name, 1, 65535, &s->txPort);
    }
    if (name == "--comm-port") {
        return o.Number(name, 0, 1099, &s->commPort);
    }
    if (name == "--usb-port") {
        return o.Number(name, 0, 1099, &s->usbPort);
    }
    if (name == "--no-carrier") {
        s->carrier = false;
        return true;
    }
    if (name == "--dhcp") {
        s->dhcp = true;
        return true;
    }
    if (!o.Value(name, &value)) {
        return false;
    }
    if (name == "--target") {
        kovasim::TargetSetting t;
        if (!ParseTarget(value, &t)) {
            return o.Fail("--target takes N=ADDR or N=ADDR,off with N from 0 to 99, not '" + value + "'");
        }
        s->targets.push_back(t);
        return true;
    }
    if (name == "--mac") {
        return kovasim::ParseMac(value, &s->mac) || o.Fail("--mac takes six hex pairs like 02:00:00:00:00:01");
    }
    if (name == "--static") {
        return ParseStatic(value, s) || o.Fail("--static takes ADDR,MASK or ADDR,MASK,GW, dotted");
    }
    return o.Fail("unknown option " + name);
}

int MakeRoot(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Options o(args, err, "make-root");
    kovasim::RootSettings s;
    std::string dir, name, plain;
    while (o.Next(&name, &plain)) {
        bool ok = true;
        if (!plain.empty()) {
            ok = dir.empty() ? (dir = plain, true) : o.Fail("takes one folder, not also '" + plain + "'");
        } else {
            ok = MakeRootOption(o, name, &s);
        }
        if (!ok) {
            return KOVASIM_EXIT_USAGE;
        }
    }
    if (dir.empty()) {
        o.Fail("needs the folder to make");
        return KOVASIM_EXIT_USAGE;
    }
    std::string why;
    if (!kovasim::MakeRoot(dir, s, &why)) {
        err << "kovasim make-root: " << why << "\n";
        return KOVASIM_EXIT_FAILURE;
    }
    out << "board root made in " << dir << "\n"
        << kovasim::IniText(s) << "run a unit on it: kovasim run " << dir << "\n";
    return KOVASIM_EXIT_OK;
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop)
{
    Options o(args, err, "run");
    kovasim::RunOptions r;
    std::string kovalan, name, plain;
    while (o.Next(&name, &plain)) {
        bool ok = true;
        if (!plain.empty()) {
            ok = r.root.empty() ? (r.root = plain, true) : o.Fail("takes one folder, not also '" + plain + "'");
        } else if (name == "--kovalan") {
            ok = o.Value(name, &kovalan);
        } else if (name == "--code") {
            ok = o.Number(name, 0, 127, &r.code);
        } else if (name == "--slow") {
            ok = o.Number(name, 1, 20, &r.slow);
        } else if (name == "--console") {
            ok = o.Value(name, &r.consolePath);
        } else {
            ok = o.Fail("unknown option " + name);
        }
        if (!ok) {
            return KOVASIM_EXIT_USAGE;
        }
    }
    if (r.root.empty()) {
        o.Fail("needs the board root to run on");
        return KOVASIM_EXIT_USAGE;
    }
    r.binary = FindDaemon(kovalan, err);
    if (r.binary.empty()) {
        return KOVASIM_EXIT_FAILURE;
    }
    return kovasim::RunUnit(r, out, err, stop);
}

// One --repeater value, SERVID,RADIOID,CALLSIGN, into the farm's directory; false after a message.
bool AddFarmRepeater(Options& o, const std::string& value, kovasim::ListServerOptions* l)
{
    size_t a = value.find(',');
    size_t b = a == std::string::npos ? a : value.find(',', a + 1);
    if (b == std::string::npos || value.find(',', b + 1) != std::string::npos) {
        return o.Fail("--repeater takes SERVID,RADIOID,CALLSIGN, not '" + value + "'");
    }
    kovasim::FarmRepeater r{value.substr(0, a), value.substr(a + 1, b - a - 1), value.substr(b + 1)};
    bool id = r.servId.size() == 5 && r.servId.find_first_not_of("0123456789") == std::string::npos;
    if (!id || r.radioId.empty() || r.radioId.size() > 5 || r.callSign.empty() || r.callSign.size() > 10) {
        return o.Fail("--repeater needs a five-digit server ID, a radio ID of 1-5 and a call sign of 1-10 characters");
    }
    l->repeaters.push_back(r);
    return true;
}

int ListServer(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               const std::atomic<bool>& stop)
{
    Options o(args, err, "list-server");
    kovasim::ListServerOptions l;
    std::string name, plain, value;
    while (o.Next(&name, &plain)) {
        int port = 0;
        bool ok = true;
        if (!plain.empty()) {
            ok = o.Fail("takes no operand '" + plain + "'");
        } else if (name == "--servers") {
            ok = o.Number(name, 1, kovasim::FARM_MAX_SERVERS, &l.servers);
        } else if (name == "--tcp-port" || name == "--udp-port" || name == "--http-port") {
            ok = o.Number(name, 1, 65535, &port);
            uint16_t* target = name == "--tcp-port" ? &l.tcpPort : name == "--udp-port" ? &l.udpPort : &l.httpPort;
            *target = static_cast<uint16_t>(port);
        } else if (name == "--url") {
            ok = o.Value(name, &l.listUrl) && (l.listUrl.rfind('/', 0) == 0 || o.Fail("--url takes a path from /"));
        } else if (name == "--repeater") {
            ok = o.Value(name, &value) && AddFarmRepeater(o, value, &l);
        } else if (name == "--quiet") {
            l.quiet = true;
        } else {
            ok = o.Fail("unknown option " + name);
        }
        if (!ok) {
            return KOVASIM_EXIT_USAGE;
        }
    }
    return kovasim::RunListServers(l, out, err, stop) == 0 ? KOVASIM_EXIT_OK : KOVASIM_EXIT_FAILURE;
}

}  // namespace

int KovasimMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                const std::atomic<bool>& stop)
{
    if (args.empty()) {
        err << TOOL_HELP;
        return KOVASIM_EXIT_USAGE;
    }
    const std::string& verb = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    struct Verb {
        const char* name;
        const char* help;
        std::function<int()> run;
    };
    const Verb verbs[] = {
        {"demo", DEMO_HELP, [&] { return Demo(rest, out, err, stop); }},
        {"make-root", MAKE_ROOT_HELP, [&] { return MakeRoot(rest, out, err); }},
        {"run", RUN_HELP, [&] { return Run(rest, out, err, stop); }},
        {"list-server", LIST_SERVER_HELP, [&] { return ListServer(rest, out, err, stop); }},
    };
    for (const Verb& v : verbs) {
        if (verb == v.name) {
            if (IsHelp(rest)) {
                out << v.help;
                return KOVASIM_EXIT_OK;
            }
            return v.run();
        }
    }
    if (verb == "--help" || verb == "-h" || verb == "help") {
        out << TOOL_HELP;
        return KOVASIM_EXIT_OK;
    }
    if (verb == "--version") {
        out << "kovasim " << KOVA_VERSION << "\n";
        return KOVASIM_EXIT_OK;
    }
    err << "kovasim: unknown verb '" << verb << "'\n(see kovasim --help)\n";
    return KOVASIM_EXIT_USAGE;
}
