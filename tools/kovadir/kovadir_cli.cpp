// kovadir_cli: see the header. Every command runs the daemon's own directory
// client through its public operations: a session starts it, the command
// waits until the list thread has got as far as the command needs (server
// addresses known, or a list server chosen), runs one request and prints
// its result; the session then stops the client again.
#include "kovadir_cli.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

#include "kovadir_unit.h"
#include "util.h"

#ifndef KOVADIR_VERSION
#define KOVADIR_VERSION "0"
#endif

namespace {

constexpr const char* HELP_TEXT = R"(NAME
       kovadir - run the KOVA-LAN unit's directory client against list servers

SYNOPSIS
       kovadir [--host H --url U --http-port P --tcp-port P --udp-port P
               --rx-port P --serv-id ID --radio-id ID --callsign C ...]
               status|regist|search KEY TEXT|list RADIOID...|portcheck PORT
       kovadir [OPTIONS] servers
       kovadir [OPTIONS] register --radio-id ID --callsign CALL [REGISTRATION]
       kovadir [OPTIONS] search [--by KEY] TEXT
       kovadir [OPTIONS] portcheck [PORT]
       kovadir [OPTIONS] online
       kovadir --help | --version

DESCRIPTION
       kovadir runs the directory client of the KOVA-LAN unit on a PC, as
       the unit would run it once started: it learns the list servers'
       addresses from the list file (or takes them from --server), chooses a
       list server, and sends one request. It plays the unit's receive port
       itself: a UDP socket (--rx-port) that hands the list servers' health
       and port check answers to the client.

COMMANDS
       status
              Waits until the client is online (see online) or --timeout
              has passed, sitting out the client's failures and retries as
              the unit would. Online, it prints what online prints and
              exits 0. Otherwise it prints "not online" with what the
              client is doing (for example searching for a list server,
              waiting for the radio ID, no list server address) and its
              state name, and exits 1. Either answer goes to standard
              output. Neither ID is needed: without them the client waits
              for them.

       servers
              Probes every list server at once with UDP health checks, as
              the unit does when it chooses a server, and then with TCP
              connects, as a registration does; prints one line per server,
              ranked: servers that answered the health check first, fastest
              first, then servers that only accepted the TCP connection.
              Answers later than 3 s after the first one count as none, as
              they do for the unit. Fails when no server answered at all.

       register --radio-id ID --callsign CALL [REGISTRATION]
       regist --radio-id ID --callsign CALL [REGISTRATION]
              Registers a repeater with the current list server, or with a
              server chosen at random among those that accept a TCP
              connection. Prints the server ID the server gave and the time
              of the entry. Without --serv-id the registration is a first
              one and the server gives a new ID.

       search KEY TEXT
       search [--by KEY] TEXT
              Searches the directory of the chosen list server. KEY is one
              of callsign (the default), servid, radioid, city, state,
              country; a single operand is the TEXT. Prints one line per
              repeater found.

       list RADIO-ID...
              Retrieves the current entries of up to 100 repeaters by their
              radio IDs, as the unit does for the repeaters it follows.
              Prints one line per ID, "-" for an ID the directory does not
              hold.

       portcheck [PORT]
              Asks every list server to send a datagram to UDP port PORT of
              this host (default: the receive port) and reports whether one
              arrived. A PORT other than the receive port is opened for the
              check.

       online
              Waits until the chosen list server answers the unit's periodic
              health check (the first goes out about 1 s after the server
              was chosen), then prints the server and this host's address as
              the server sees it. Unlike status it needs both IDs and gives
              up at the client's first failure (reason on standard error).

OPTIONS
       --host H
              The host of the list file of server addresses (a name or a
              dotted address).
       --url U
              The list file's path on that host (default /), for example
              /list.txt. A full http:// URL is sent to the host as it is.
       --http-port P
              The HTTP port of that host (default 80). --host H --url U
              --http-port P name the same file as --list-url http://H:P/U.
       --list-url http://HOST[:PORT]/PATH
              The list file of server addresses (HTTP, port 80 by default).
       --server ADDR
              A list server's IPv4 address; repeat for up to 8. Replaces the
              list file. --host, --list-url and --server exclude each other.
       --prefer ADDR
              Choose this server whenever it answers.
       --tcp-port N, --udp-port N
              The list servers' TCP and UDP ports. The TCP port is needed by
              servers, register, search and list; the UDP port by every
              command but register.
       --rx-port N
              This host's receive UDP port, named in health checks (default:
              any free port).
       --serv-id ID, --radio-id ID
              The unit's server ID (five digits) and radio ID (up to five
              characters), sent in every request. search, list and online
              need both; register and portcheck need --radio-id; status
              needs neither.
       --timeout S
              Seconds to wait for the client to get ready, or for status
              to get online (default 20).
       -v, --verbose
              Prints the directory client's trace lines on standard output.
       --help Shows this text.
       --version
              Shows the version.

REGISTRATION
       --callsign CALL (up to 10 characters), --city TEXT and --state TEXT
       (up to 40 each), --country CODE (up to 3), --modulation D and
       --search-resp D (one digit each; a non-zero --search-resp shows
       others only the server ID, radio ID, call sign and address),
       --sc-table HEX (32 hexadecimal digits), --signature TEXT (up to 30),
       --mail ADDR (up to 60). --serv-id renews the registration of that ID.

EXIT STATUS
       0      The request succeeded (servers: at least one server answered;
              status: online).
       1      No list server could be had, or the request failed or was
              refused; the reason is on standard error (status: not online
              in time, on standard output).
       2      The command line is wrong.

EXAMPLES
       kovadir --host lists.example.net --url /kova.txt --udp-port 30002 \
               --serv-id 10001 --radio-id 12345 status
       kovadir --host lists.example.net --url /kova.txt --tcp-port 30001 \
               --radio-id 12345 --callsign JA7KOV regist
       kovadir --list-url http://lists.example.net/kova.txt \
               --tcp-port 30001 --udp-port 30002 servers
       kovadir --server 192.0.2.10 --tcp-port 30001 register \
               --radio-id 12345 --callsign JA7KOV --city Sendai
       kovadir --server 192.0.2.10 --tcp-port 30001 --udp-port 30002 \
               --serv-id 10001 --radio-id 12345 search city Sendai
)";

struct Options {
    DirSettings dir;
    bool bHelp = false;
    bool bVersion = false;
    bool bListUrl = false;  // the list file is named (by --list-url, or by --host and its companions)
    std::string host;       // --host, --url and --http-port: the list file's parts
    std::string url;
    int nHttpPort = 80;
    bool bHost = false;
    bool bUrl = false;
    bool bHttpPort = false;
    int nTimeoutS = 20;
    std::string command;  // the command, "regist" taken as "register"
    std::string typed;    // the command word as given, for messages
    std::vector<std::string> operands;
    std::string searchBy = "callsign";
    bool bSearchBy = false;
    LISTSRV_REGIST_PARAM regist{};
    std::vector<std::string> registOptions;  // the registration options given
};

int UsageError(std::ostream& err, const std::string& what)
{
    err << "kovadir: " << what << "\nTry 'kovadir --help'.\n";
    return KOVADIR_EXIT_USAGE;
}

bool ParseNumber(const std::string& text, int nMin, int nMax, int* pnValue)
{
    DWORD dwValue = 0;
    if (text.empty() || text.size() > 9 || !decstr2dword(text.c_str(), static_cast<int>(text.size()), &dwValue) ||
        static_cast<long>(dwValue) < nMin || static_cast<long>(dwValue) > nMax) {
        return false;
    }
    *pnValue = static_cast<int>(dwValue);
    return true;
}

bool IsPlainText(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// A text field: printable, at most nMax characters, copied with its terminator.
std::string TextField(const std::string& text, size_t nMax, char* pDst)
{
    if (text.size() > nMax) {
        return "at most " + std::to_string(nMax) + " characters";
    }
    if (!IsPlainText(text)) {
        return "printable characters only";
    }
    std::memcpy(pDst, text.c_str(), text.size() + 1);
    return std::string();
}

std::string ParseListUrl(const std::string& url, DirSettings* pDir)
{
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) {
        return "the list URL must begin with http://";
    }
    std::string rest = url.substr(scheme.size());
    size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    pDir->path = slash == std::string::npos ? "/" : rest.substr(slash);
    size_t colon = authority.find(':');
    pDir->host = authority.substr(0, colon);
    pDir->httpPort = 80;
    if (colon != std::string::npos && !ParseNumber(authority.substr(colon + 1), 1, 65535, &pDir->httpPort)) {
        return "bad port in the list URL";
    }
    if (pDir->host.empty() || pDir->host.size() > 128 || pDir->path.size() > 128 || !IsPlainText(url) ||
        url.find(' ') != std::string::npos) {
        return "bad list URL (host and path up to 128 characters each, no blanks)";
    }
    return std::string();
}

// The list file named by --host, --url and --http-port, taken exactly as
// --list-url http://HOST:PORT/PATH takes it. A full http:// URL in --url goes
// to the client as it is, as the unit's own setting would: the request for it
// goes to --host. An error text or nothing.
std::string TakeHostOptions(Options* pOpt)
{
    const bool bParts = pOpt->bHost || pOpt->bUrl || pOpt->bHttpPort;
    if (!bParts) {
        return std::string();
    }
    if (pOpt->bListUrl) {
        return "--list-url excludes --host, --url and --http-port";
    }
    if (!pOpt->dir.servers.empty()) {
        return "--server excludes --host, --url and --http-port";
    }
    if (!pOpt->bHost) {
        return "--url and --http-port need --host H";
    }
    if (pOpt->host.find_first_of("/:") != std::string::npos) {
        return "--host takes a host name or address only (no port, no path): " + pOpt->host;
    }
    const std::string& url = pOpt->url;
    const bool bFullUrl = url.compare(0, 7, "http://") == 0;
    if (pOpt->bUrl && url.compare(0, 1, "/") != 0 && !bFullUrl) {
        return "--url takes the list file's path (/PATH) or a full http:// URL";
    }
    std::string e = ParseListUrl(
        "http://" + pOpt->host + ":" + std::to_string(pOpt->nHttpPort) + (bFullUrl ? "/" : url), &pOpt->dir);
    if (e.empty() && bFullUrl) {
        if (url.size() > 128 || !IsPlainText(url) || url.find(' ') != std::string::npos) {
            return "bad --url (up to 128 characters, no blanks)";
        }
        pOpt->dir.path = url;
    }
    pOpt->bListUrl = true;
    return e;
}

std::string ParseAddress(const std::string& text, DWORD* pdwAdrs)
{
    if (!str2ipadrs(text.c_str(), pdwAdrs) || *pdwAdrs == 0) {
        return "not an IPv4 address: " + text;
    }
    return std::string();
}

using Setter = std::function<std::string(Options&, const std::string&)>;

std::string SetPort(int* pnPort, int nMin, const std::string& value)
{
    return ParseNumber(value, nMin, 65535, pnPort) ? std::string() : "bad port " + value;
}

// The options that take a value; each returns an error text or nothing.
const std::map<std::string, Setter>& ValueOptions()
{
    static const std::map<std::string, Setter> s_options = {
        {"--list-url",
         [](Options& o, const std::string& v) {
             o.bListUrl = true;
             return ParseListUrl(v, &o.dir);
         }},
        {"--host",
         [](Options& o, const std::string& v) {
             o.bHost = true;
             o.host = v;
             return std::string();
         }},
        {"--url",
         [](Options& o, const std::string& v) {
             o.bUrl = true;
             o.url = v;
             return std::string();
         }},
        {"--http-port",
         [](Options& o, const std::string& v) {
             o.bHttpPort = true;
             return SetPort(&o.nHttpPort, 1, v);
         }},
        {"--server",
         [](Options& o, const std::string& v) {
             DWORD dwAdrs = 0;
             std::string e = ParseAddress(v, &dwAdrs);
             if (e.empty() && o.dir.servers.size() >= LISTSRV_SERVER_MAX) {
                 e = "at most 8 --server addresses";
             }
             o.dir.servers.push_back(dwAdrs);
             return e;
         }},
        {"--prefer", [](Options& o, const std::string& v) { return ParseAddress(v, &o.dir.prefer); }},
        {"--tcp-port", [](Options& o, const std::string& v) { return SetPort(&o.dir.tcpPort, 1, v); }},
        {"--udp-port", [](Options& o, const std::string& v) { return SetPort(&o.dir.udpPort, 1, v); }},
        {"--rx-port", [](Options& o, const std::string& v) { return SetPort(&o.dir.rxPort, 0, v); }},
        {"--serv-id",
         [](Options& o, const std::string& v) {
             int n = 0;
             if (v.size() != 5 || !ParseNumber(v, 0, 99999, &n)) {
                 return std::string("a server ID is five digits");
             }
             o.dir.servId = v;
             return TextField(v, 5, o.regist.szServID);
         }},
        {"--radio-id",
         [](Options& o, const std::string& v) {
             if (v.empty() || v.find(' ') != std::string::npos) {
                 return std::string("a radio ID is one to five characters without blanks");
             }
             o.dir.radioId = v;
             return TextField(v, 5, o.regist.szRadioID);
         }},
        {"--timeout",
         [](Options& o, const std::string& v) {
             return ParseNumber(v, 1, 3600, &o.nTimeoutS) ? std::string() : "bad --timeout " + v;
         }},
        {"--by",
         [](Options& o, const std::string& v) {
             o.searchBy = v;
             o.bSearchBy = true;
             return std::string();
         }},
    };
    return s_options;
}

// The registration options: each fills a field of the registration.
const std::map<std::string, Setter>& RegistOptions()
{
    auto digit = [](BYTE* pby) {
        return [pby](const std::string& v) {
            if (v.size() != 1 || v[0] < '0' || v[0] > '9') {
                return std::string("one digit");
            }
            *pby = static_cast<BYTE>(v[0] - '0');
            return std::string();
        };
    };
    static const std::map<std::string, Setter> s_options = {
        {"--callsign", [](Options& o, const std::string& v) { return TextField(v, 10, o.regist.szCallSign); }},
        {"--city", [](Options& o, const std::string& v) { return TextField(v, 40, o.regist.szCity); }},
        {"--state", [](Options& o, const std::string& v) { return TextField(v, 40, o.regist.szState); }},
        {"--country", [](Options& o, const std::string& v) { return TextField(v, 3, o.regist.szCountry); }},
        {"--signature", [](Options& o, const std::string& v) { return TextField(v, 30, o.regist.szSignature); }},
        {"--mail", [](Options& o, const std::string& v) { return TextField(v, 60, o.regist.szMailAddr); }},
        {"--modulation", [digit](Options& o, const std::string& v) { return digit(&o.regist.byModuration)(v); }},
        {"--search-resp", [digit](Options& o, const std::string& v) { return digit(&o.regist.bySearchResp)(v); }},
        {"--sc-table",
         [](Options& o, const std::string& v) {
             if (v.size() != 32 || !str2bytes(v.c_str(), o.regist.abyScTable, 16)) {
                 return std::string("32 hexadecimal digits");
             }
             return std::string();
         }},
    };
    return s_options;
}

// One option at args[*pi] (moving *pi past its value); an error text or nothing.
std::string ParseOption(const std::vector<std::string>& args, size_t* pi, Options* pOpt)
{
    std::string name = args[*pi];
    std::string value;
    bool bInline = false;
    size_t eq = name.find('=');
    if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
        bInline = true;
    }
    if (!bInline && (name == "-v" || name == "--verbose" || name == "-h" || name == "--help" || name == "--version")) {
        pOpt->dir.verbose = pOpt->dir.verbose || name == "-v" || name == "--verbose";
        pOpt->bHelp = pOpt->bHelp || name == "-h" || name == "--help";
        pOpt->bVersion = pOpt->bVersion || name == "--version";
        return std::string();
    }
    auto valueOption = ValueOptions().find(name);
    auto registOption = RegistOptions().find(name);
    if (valueOption == ValueOptions().end() && registOption == RegistOptions().end()) {
        return "unknown option " + name;
    }
    if (!bInline) {
        if (*pi + 1 >= args.size()) {
            return name + " needs a value";
        }
        value = args[++*pi];
    }
    if (registOption != RegistOptions().end()) {
        pOpt->registOptions.push_back(name);
        std::string e = registOption->second(*pOpt, value);
        return e.empty() ? e : name + ": " + e;
    }
    return valueOption->second(*pOpt, value);
}

std::string ParseArgs(const std::vector<std::string>& args, Options* pOpt)
{
    bool bOptionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!bOptionsEnded && a == "--") {
            bOptionsEnded = true;
        } else if (!bOptionsEnded && a.size() > 1 && a[0] == '-') {
            std::string e = ParseOption(args, &i, pOpt);
            if (!e.empty()) {
                return e;
            }
        } else if (pOpt->command.empty()) {
            pOpt->command = a;
        } else {
            pOpt->operands.push_back(a);
        }
    }
    return std::string();
}

// What a command needs of the options; an error text or nothing.
std::string CheckNeeds(const Options& o)
{
    const std::string& c = o.command;
    const std::string& t = o.typed;
    const bool bTcp = c == "servers" || c == "register" || c == "search" || c == "list";
    const bool bUdp = c != "register";
    const bool bBothIds = c == "search" || c == "list" || c == "online";
    if (!o.bListUrl && o.dir.servers.empty()) {
        return "give --host H [--url U], --list-url URL or --server ADDR";
    }
    if (o.bListUrl && !o.dir.servers.empty()) {
        return "--list-url and --server exclude each other";
    }
    if (bTcp && o.dir.tcpPort == 0) {
        return t + " needs --tcp-port N";
    }
    if (bUdp && o.dir.udpPort == 0) {
        return t + " needs --udp-port N";
    }
    if ((bBothIds || c == "register" || c == "portcheck") && o.dir.radioId.empty()) {
        return t + " needs --radio-id ID";
    }
    if (bBothIds && o.dir.servId.empty()) {
        return t + " needs --serv-id ID";
    }
    if (c == "register" && o.regist.szCallSign[0] == '\0') {
        return t + " needs --callsign CALL";
    }
    if (!o.registOptions.empty() && c != "register") {
        return o.registOptions.front() + " is an option of register";
    }
    if (o.bSearchBy && c != "search") {
        return "--by is an option of search";
    }
    return std::string();
}

std::string CodeText(WORD wCode)
{
    switch (wCode) {
        case LISTSRV_ERR_COMM:
            return "no answer from a list server (connection, send or receive failed or timed out)";
        case LISTSRV_ERR_INVALID:
            return "the list server's answer does not decode";
        case LISTSRV_ERR_CANCELED:
            return "cancelled";
        case LISTSRV_ERR_PORT:
            return "the UDP port cannot be opened here";
        case LISTSRV_ERR_NOT_READY:
            return "the directory client is not ready";
        case LISTSRV_ERR_SEARCH_KEY:
            return "unknown search key";
        default: {
            char szCode[8];
            std::snprintf(szCode, sizeof(szCode), "%04X", wCode);
            return std::string("the list server refused it with code ") + szCode;
        }
    }
}

int RequestFailed(std::ostream& err, const std::string& what, WORD wCode)
{
    char szCode[8];
    std::snprintf(szCode, sizeof(szCode), "%04X", wCode);
    err << "kovadir: " << what << ": " << CodeText(wCode) << " (code " << szCode << ")\n";
    return KOVADIR_EXIT_FAILURE;
}

std::string Address(DWORD dwAdrs)
{
    return dwAdrs != 0 ? DirDotted(dwAdrs) : "-";
}

std::string Column(const std::string& text, size_t nWidth)
{
    return text.size() >= nWidth ? text + " " : text + std::string(nWidth - text.size(), ' ');
}

// One output line without trailing blanks.
std::string Line(std::string text)
{
    text.erase(text.find_last_not_of(' ') + 1);
    return text + "\n";
}

std::string Place(const char* pszCity, const char* pszState, const char* pszCountry)
{
    std::string place;
    for (const char* psz : {pszCity, pszState, pszCountry}) {
        if (psz[0] != '\0') {
            place += (place.empty() ? "" : ", ") + std::string(psz);
        }
    }
    return place;
}

// ---- Commands ------------------------------------------------------------------

struct ServerLine {
    DWORD dwAdrs = 0;
    LISTSRV_PROBE_RES health{};
    LISTSRV_PROBE_RES tcp{};
};

std::string ProbeText(const LISTSRV_PROBE_RES& res)
{
    return res.bAnswered ? std::to_string(res.dwAnswerMs) + " ms" : "no answer";
}

int CmdServers(std::ostream& out, std::ostream& err)
{
    LISTSRV_PROBE_RES aHealth[LISTSRV_SERVER_MAX];
    LISTSRV_PROBE_RES aTcp[LISTSRV_SERVER_MAX];
    int nHealth = 0;
    int nTcp = 0;
    WORD wCode = 0;
    ListSrv_DbgProbeServers(LISTSRV_PROBE_HEALTH_CHECK, aHealth, &nHealth, &wCode);
    ListSrv_DbgProbeServers(LISTSRV_PROBE_TCP, aTcp, &nTcp, &wCode);
    std::vector<ServerLine> lines(static_cast<size_t>(nHealth));
    for (int i = 0; i < nHealth; ++i) {
        lines[static_cast<size_t>(i)].dwAdrs = aHealth[i].dwAdrs;
        lines[static_cast<size_t>(i)].health = aHealth[i];
        if (i < nTcp && aTcp[i].dwAdrs == aHealth[i].dwAdrs) {
            lines[static_cast<size_t>(i)].tcp = aTcp[i];
        }
    }
    // Health check answers first, fastest first; then TCP only; then none.
    auto rank = [](const ServerLine& l) { return l.health.bAnswered ? 0 : l.tcp.bAnswered ? 1 : 2; };
    std::stable_sort(lines.begin(), lines.end(), [&rank](const ServerLine& a, const ServerLine& b) {
        if (rank(a) != rank(b)) {
            return rank(a) < rank(b);
        }
        return rank(a) == 0   ? a.health.dwAnswerMs < b.health.dwAnswerMs
               : rank(a) == 1 ? a.tcp.dwAnswerMs < b.tcp.dwAnswerMs
                              : false;
    });
    out << "RANK  ADDRESS          HEALTH CHECK  TCP CONNECT\n";
    int nRank = 0;
    for (const ServerLine& l : lines) {
        std::string rankText = rank(l) < 2 ? std::to_string(++nRank) : "-";
        out << Line(Column(rankText, 6) + Column(DirDotted(l.dwAdrs), 17) + Column(ProbeText(l.health), 14) +
                    ProbeText(l.tcp));
    }
    if (nRank == 0) {
        err << "kovadir: servers: none of the " << lines.size() << " list servers answered\n";
        return KOVADIR_EXIT_FAILURE;
    }
    return KOVADIR_EXIT_OK;
}

int CmdRegister(Options& o, std::ostream& out, std::ostream& err)
{
    WORD wCode = 0;
    if (!ListSrv_Regist(&o.regist, &wCode)) {
        return RequestFailed(err, "register", wCode);
    }
    out << "list server   " << DirDotted(ListSrv_GetCurrentIP()) << "\n";
    out << "server ID     " << o.regist.szServID << "\n";
    out << "last update   " << o.regist.szLastUpdate << "\n";
    return KOVADIR_EXIT_OK;
}

struct SearchHits {
    std::ostream* pOut;
    int nHits = 0;
    static BOOL Print(const LISTSRV_SEARCH_RES_PARAM* p, LPVOID pParam)
    {
        SearchHits* self = static_cast<SearchHits*>(pParam);
        if (self->nHits++ == 0) {
            *self->pOut << "SERVID RADIO CALLSIGN   ADDRESS         PLACE\n";
        }
        *self->pOut << Line(Column(p->szServID, 7) + Column(p->szRadioID, 6) + Column(p->szCallSign, 11) +
                            Column(Address(p->dwIpAddr), 16) + Place(p->szCity, p->szState, p->szCountry));
        return TRUE;
    }
};

int CmdSearch(const Options& o, std::ostream& out, std::ostream& err)
{
    static const std::map<std::string, SEARCH_KEY> s_keys = {
        {"servid", SEARCH_KEY_SERVER_ID}, {"callsign", SEARCH_KEY_CALLSIGN}, {"radioid", SEARCH_KEY_RADIO_ID},
        {"city", SEARCH_KEY_CITY},        {"state", SEARCH_KEY_STATE},       {"country", SEARCH_KEY_COUNTRY},
    };
    LISTSRV_SEARCH_REQ_PARAM req{s_keys.at(o.searchBy), o.operands[0].c_str()};
    SearchHits hits{&out};
    WORD wCode = 0;
    if (!ListSrv_Search(&req, SearchHits::Print, &hits, &wCode)) {
        return RequestFailed(err, "search", wCode);
    }
    out << hits.nHits << (hits.nHits == 1 ? " repeater" : " repeaters") << " found\n";
    return KOVADIR_EXIT_OK;
}

int CmdList(const Options& o, std::ostream& out, std::ostream& err)
{
    std::vector<const char*> ids;
    for (const std::string& id : o.operands) {
        ids.push_back(id.c_str());
    }
    WORD wCode = 0;
    if (!ListSrv_DbgGetList(ids.data(), static_cast<int>(ids.size()), &wCode)) {
        return RequestFailed(err, "list", wCode);
    }
    out << "RADIO SERVID CALLSIGN   ADDRESS         LAST UPDATE    PLACE\n";
    ListSrv_Lock();
    for (size_t i = 0; i < ids.size(); ++i) {
        const LISTSRV_LIST_PARAM* p = ListSrv_GetListParam(static_cast<int>(i));
        if (p->szServID[0] == '\0') {
            out << Column(ids[i], 6) << "-      (not in the directory)\n";
            continue;
        }
        out << Line(Column(p->szRadioID, 6) + Column(p->szServID, 7) + Column(p->szCallSign, 11) +
                    Column(Address(p->dwIpAddr), 16) + Column(p->szLastUpdate, 15) +
                    Place(p->szCity, p->szState, p->szCountry));
    }
    ListSrv_Unlock();
    return KOVADIR_EXIT_OK;
}

int CmdPortCheck(const Options& o, int nRxPort, std::ostream& out, std::ostream& err)
{
    int nPort = nRxPort;
    if (!o.operands.empty() && !ParseNumber(o.operands[0], 1, 65535, &nPort)) {
        err << "kovadir: portcheck: bad port " << o.operands[0] << "\n";
        return KOVADIR_EXIT_USAGE;
    }
    WORD wCode = 0;
    if (!ListSrv_PortCheck(nPort, &wCode)) {
        return RequestFailed(err, "portcheck of UDP port " + std::to_string(nPort), wCode);
    }
    out << "UDP port " << nPort << " is reachable from the list servers\n";
    return KOVADIR_EXIT_OK;
}

int CmdOnline(std::ostream& out)
{
    DWORD dwGlobal = 0;
    ListSrv_GetStatus(&dwGlobal);
    out << "online at list server " << DirDotted(ListSrv_GetCurrentIP()) << "; this unit is seen as "
        << Address(dwGlobal) << "\n";
    return KOVADIR_EXIT_OK;
}

// Waits the whole time-out for the client to get online, through its
// retries, and says whether it did or what it is doing instead.
int CmdStatus(const Options& o, const DirSession& session, std::ostream& out)
{
    LIST_STATE state = session.WaitForOnline(o.nTimeoutS * 1000);
    if (state == LIST_STATE_ONLINE) {
        return CmdOnline(out);
    }
    out << "not online after " << o.nTimeoutS << " s: " << session.StateText(state) << " (state " << DirStateName(state)
        << ")\n";
    return KOVADIR_EXIT_FAILURE;
}

// The list state a command waits for before it runs.
LIST_STATE StateNeeded(const std::string& command)
{
    if (command == "search" || command == "list") {
        return LIST_STATE_READY;
    }
    if (command == "status") {
        return LIST_STATE_NONE;  // it does its own waiting
    }
    return command == "online" ? LIST_STATE_ONLINE : LIST_STATE_WAIT_ID;
}

int RunCommand(Options& o, std::ostream& out, std::ostream& err)
{
    DirSettings dir = o.dir;
    // The list thread goes past WAIT_ID only with both IDs: a command that
    // needs no server chosen keeps it there, so that it does not probe or
    // fetch alongside the request.
    if (StateNeeded(o.command) == LIST_STATE_WAIT_ID) {
        dir.servId.clear();
    }
    DirSession session;
    std::string why;
    if (!session.Start(dir, &why) || !session.WaitForState(StateNeeded(o.command), o.nTimeoutS * 1000, &why)) {
        err << "kovadir: " << o.typed << ": " << why << "\n";
        return KOVADIR_EXIT_FAILURE;
    }
    if (o.command == "status") {
        return CmdStatus(o, session, out);
    }
    if (o.command == "servers") {
        return CmdServers(out, err);
    }
    if (o.command == "register") {
        return CmdRegister(o, out, err);
    }
    if (o.command == "search") {
        return CmdSearch(o, out, err);
    }
    if (o.command == "list") {
        return CmdList(o, out, err);
    }
    if (o.command == "portcheck") {
        return CmdPortCheck(o, session.rxPort(), out, err);
    }
    return CmdOnline(out);
}

bool IsSearchKey(const std::string& key)
{
    return key == "callsign" || key == "servid" || key == "radioid" || key == "city" || key == "state" ||
           key == "country";
}

// search KEY TEXT: the key moves from the operands to searchBy.
std::string TakeSearchKey(Options* pOpt)
{
    if (pOpt->operands.size() != 2) {
        return std::string();
    }
    if (pOpt->bSearchBy) {
        return "search: give the key once, as --by KEY or as search KEY TEXT";
    }
    if (!IsSearchKey(pOpt->operands[0])) {
        return "search KEY: callsign, servid, radioid, city, state or country, not " + pOpt->operands[0];
    }
    pOpt->searchBy = pOpt->operands[0];
    pOpt->operands.erase(pOpt->operands.begin());
    return std::string();
}

// The operands a command takes (taking the key of search KEY TEXT); an error text or nothing.
std::string TakeOperands(Options* pOpt)
{
    static const std::map<std::string, std::pair<size_t, size_t>> s_counts = {
        {"servers", {0, 0}},   {"register", {0, 0}}, {"search", {1, 2}}, {"list", {1, LISTSRV_TARGET_MAX}},
        {"portcheck", {0, 1}}, {"online", {0, 0}},   {"status", {0, 0}},
    };
    const Options& o = *pOpt;
    auto it = s_counts.find(o.command);
    if (it == s_counts.end()) {
        return "unknown command " + o.command;
    }
    size_t n = o.operands.size();
    if (n < it->second.first) {
        return o.command == "search" ? "search needs a TEXT" : "list needs at least one RADIO-ID";
    }
    if (n > it->second.second) {
        return o.typed + ": too many operands";
    }
    std::string e = o.command == "search" ? TakeSearchKey(pOpt) : std::string();
    if (!e.empty()) {
        return e;
    }
    if (o.command == "search" && !IsSearchKey(o.searchBy)) {
        return "--by takes callsign, servid, radioid, city, state or country";
    }
    for (size_t i = 0; o.command == "list" && i < n; ++i) {
        if (o.operands[i].empty() || o.operands[i].size() > 5 || !IsPlainText(o.operands[i])) {
            return "a radio ID is one to five characters: " + o.operands[i];
        }
    }
    if (o.command == "search" && (o.operands[0].size() > 40 || !IsPlainText(o.operands[0]))) {
        return "search TEXT: at most 40 printable characters";
    }
    return std::string();
}

}  // namespace

int KovadirMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Options o;
    std::string e = ParseArgs(args, &o);
    if (!e.empty()) {
        return UsageError(err, e);
    }
    if (o.bHelp) {
        out << HELP_TEXT;
        return KOVADIR_EXIT_OK;
    }
    if (o.bVersion) {
        out << "kovadir " << KOVADIR_VERSION << "\n";
        return KOVADIR_EXIT_OK;
    }
    if (o.command.empty()) {
        return UsageError(err, "no command given");
    }
    o.typed = o.command;
    if (o.command == "regist") {
        o.command = "register";
    }
    e = TakeOperands(&o);
    if (e.empty()) {
        e = TakeHostOptions(&o);
    }
    if (e.empty()) {
        e = CheckNeeds(o);
    }
    if (!e.empty()) {
        return UsageError(err, e);
    }
    return RunCommand(o, out, err);
}
