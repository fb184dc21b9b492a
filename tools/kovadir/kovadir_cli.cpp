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

namespace {

constexpr const char* HELP_TEXT = R"(Usage: kovadir [OPTIONS] COMMAND [ARGS...]
Runs the KOVA-LAN unit's directory client on this PC against list servers.

Commands:
  status              wait until online (see --timeout), or say what the
                      client is doing instead
  servers             probe every list server and rank those that answer
  register, regist    register the repeater (needs --radio-id, --callsign)
  search [KEY] TEXT   search the directory; KEY is callsign (the default),
                      servid, radioid, city, state or country
  list RADIO-ID...    the current entries of up to 100 repeaters
  portcheck [PORT]    have the list servers send to a UDP port of this host
  online              wait for the chosen server's health check answer

Options:
  --host H [--url PATH] [--http-port P]  the list file of server addresses
  --list-url http://HOST[:PORT]/PATH     the same, as one URL
  --server ADDR            a fixed list server instead (up to 8)
  --prefer ADDR            choose this server whenever it answers
  --tcp-port N, --udp-port N             the list servers' ports
  --rx-port N              this host's receive UDP port (any free one)
  --serv-id ID, --radio-id ID            the unit's server ID and radio ID
  --callsign CALL          the repeater's call sign (taken by every command)
  --city, --state, --country, --modulation, --search-resp, --sc-table,
  --signature, --mail      more of a registration
  --by KEY                 the search key
  --timeout S              seconds to wait for the client (20)
  -v, --verbose            the client's trace lines on standard output
  -h, --help               show this help
  --version                show the version

Exit status: 0 success, 1 refused or failed, 2 no list server reached,
64 a wrong command line.
See kovadir(1).
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
        // The repeater's call sign is part of the unit's settings that every
        // command accepts; only register sends it.
        if (name != "--callsign") {
            pOpt->registOptions.push_back(name);
        }
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

// A request that failed: a list server that did not answer is unreachable,
// anything else (a refusal, a bad answer) a failure.
int RequestFailed(std::ostream& err, const std::string& what, WORD wCode)
{
    char szCode[8];
    std::snprintf(szCode, sizeof(szCode), "%04X", wCode);
    err << "kovadir: " << what << ": " << CodeText(wCode) << " (code " << szCode << ")\n";
    return wCode == LISTSRV_ERR_COMM ? KOVADIR_EXIT_UNREACHABLE : KOVADIR_EXIT_FAILURE;
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
        return KOVADIR_EXIT_UNREACHABLE;
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
        // No datagram is the check's own answer: the port is not reachable from outside.
        RequestFailed(err, "portcheck of UDP port " + std::to_string(nPort), wCode);
        return KOVADIR_EXIT_FAILURE;
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
    // Waiting for an ID is this command line's own lack; every other state
    // means no list server was reached.
    return state == LIST_STATE_WAIT_ID ? KOVADIR_EXIT_FAILURE : KOVADIR_EXIT_UNREACHABLE;
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
    if (!session.Start(dir, &why)) {
        err << "kovadir: " << o.typed << ": " << why << "\n";
        return KOVADIR_EXIT_FAILURE;
    }
    if (!session.WaitForState(StateNeeded(o.command), o.nTimeoutS * 1000, &why)) {
        err << "kovadir: " << o.typed << ": " << why << "\n";
        return KOVADIR_EXIT_UNREACHABLE;
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
        out << "kovadir " << KOVA_VERSION << "\n";
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
