// net: the configured parameters of eth0, the interfaces and name server
// files, the routing table and the command lines of the interface, the DHCP
// client and the NTP check (see net.h).
//
// s_cs guards s_NetParam, s_NetParamSave, s_bChanged and s_bModified. It is
// held across the file writes and the interface restart of NET_Update, so a
// concurrent NET_GetAddress waits for the restart. NET_GetIfAddress and the
// DHCP and NTP operations touch no guarded state and take no lock.
//
// Both files this module reads are outside input: a line is read into a fixed
// buffer of NET_LINE_MAX characters and the rest of a longer line is skipped,
// so no line can make the readers leave their buffers, and the tail of a long
// comment is never taken for a setting.
#include "net.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "board.h"
#include "debug.h"
#include "helpers.h"
#include "sub.h"
#include "util.h"

namespace {

constexpr const char* INTERFACES_PATH = "/etc/network/interfaces";
constexpr const char* RESOLV_CONF_PATH = "/etc/resolv.conf";
constexpr const char* ROUTE_PATH = "/proc/net/route";
constexpr const char* DHCP_PID_PATH = "/var/run/udhcpc.eth0.pid";
constexpr const char* NTP_PID_PATH = "/var/run/ntpcheck.pid";
constexpr const char* NTP_RESULT_PATH = "/var/run/ntpcheck.result";
constexpr const char* NAME_SERVER = "8.8.8.8";
constexpr const char* INTERFACE_NAME = "eth0";
constexpr const char* WORD_DELIMITERS = " \t";

// The NTP check's start command, then the server list.
constexpr char NTP_START_PREFIX[] = "ntpcheck-start.sh start ";
constexpr int NTP_START_PREFIX_LEN = static_cast<int>(sizeof(NTP_START_PREFIX) - 1);

// The start command with a 255-character server list fits.
constexpr int COMMAND_MAX = 320;

// The lines after eth0's own section: the board image's other interfaces.
constexpr const char* INTERFACES_TAIL =
    "\niface wlan0 inet dhcp\n  wireless_mode managed\n  wireless_essid any\n  wpa-driver wext\n"
    "  wpa-conf /etc/wpa_supplicant.conf\n\niface eth1 inet dhcp\niface atml0 inet dhcp\n"
    "iface usb0 inet dhcp\niface bnep0 inet dhcp\n";

CRITICAL_SECTION s_cs = nullptr;
NET_PARAM s_NetParam = {};
NET_PARAM s_NetParamSave = {};
BOOL s_bChanged = FALSE;
BOOL s_bModified = FALSE;

// A board file as a stream; null when it cannot be opened.
FILE* OpenBoardStream(const char* pszPath, const char* pszMode)
{
    char path[BOARD_PATH_MAX];
    if (!Board_MapPath(pszPath, path, sizeof(path))) {
        return nullptr;
    }
    return fopen(path, pszMode);
}

BOOL BoardFileExists(const char* pszPath)
{
    char path[BOARD_PATH_MAX];
    return Board_MapPath(pszPath, path, sizeof(path)) && IsFileExist(path);
}

// Reads the next line without its line feed; characters past NET_LINE_MAX
// are skipped. False at the end of the file when nothing was read.
bool ReadLine(FILE* fp, char (&line)[NET_LINE_MAX + 1])
{
    int len = 0;
    int c = EOF;
    while ((c = getc(fp)) != EOF && c != '\n') {
        if (len < NET_LINE_MAX) {
            line[len++] = static_cast<char>(c);
        }
    }
    line[len] = '\0';
    return c != EOF || len > 0;
}

bool SameParam(const NET_PARAM& a, const NET_PARAM& b)
{
    return a.bDHCP == b.bDHCP && a.dwIpAdrs == b.dwIpAdrs && a.dwSubnetMask == b.dwSubnetMask &&
           a.dwGateway == b.dwGateway;
}

void ApplyDhcpRule(NET_PARAM* pParam)
{
    pParam->bDHCP = pParam->dwIpAdrs == 0 ? TRUE : FALSE;
}

// "a.b.c.d" of an address whose first number is its most significant byte.
void FormatDotted(char (&out)[16], DWORD dwAdrs)
{
    _sprintf(out, "%d.%d.%d.%d", static_cast<int>(dwAdrs >> 24), static_cast<int>((dwAdrs >> 16) & 0xFF),
             static_cast<int>((dwAdrs >> 8) & 0xFF), static_cast<int>(dwAdrs & 0xFF));
}

// One line of eth0's section: an "iface" line was handled by the caller.
void ReadSettingLine(const char* pszKey, char** ppNext, NET_PARAM* pParam)
{
    DWORD* pdwValue = nullptr;
    if (std::strcmp(pszKey, "address") == 0) {
        pdwValue = &pParam->dwIpAdrs;
    } else if (std::strcmp(pszKey, "netmask") == 0) {
        pdwValue = &pParam->dwSubnetMask;
    } else if (std::strcmp(pszKey, "gateway") == 0) {
        pdwValue = &pParam->dwGateway;
    } else {
        return;
    }
    // A value that is no dotted address leaves the field as it was.
    str2ipadrs(str_token(ppNext, WORD_DELIMITERS), pdwValue);
}

// An "iface" line: TRUE when it opens eth0's section, whose method it applies.
bool ReadIfaceLine(char** ppNext, NET_PARAM* pParam)
{
    const char* name = str_token(ppNext, WORD_DELIMITERS);
    if (name == nullptr || std::strcmp(name, INTERFACE_NAME) != 0) {
        return false;
    }
    const char* family = str_token(ppNext, WORD_DELIMITERS);
    const char* method = str_token(ppNext, WORD_DELIMITERS);
    if (family != nullptr && method != nullptr && std::strcmp(family, "inet") == 0) {
        if (std::strcmp(method, "dhcp") == 0) {
            pParam->bDHCP = TRUE;
        } else if (std::strcmp(method, "static") == 0) {
            pParam->bDHCP = FALSE;
        }
    }
    return true;
}

// Reads eth0's configuration from the interfaces file; FALSE (DHCP) when the
// file cannot be opened. Without an address the configuration is DHCP, and a
// DHCP configuration keeps no address, netmask or gateway.
BOOL ReadConfig(NET_PARAM* pParam)
{
    *pParam = NET_PARAM{TRUE, 0, 0, 0};
    FILE* fp = OpenBoardStream(INTERFACES_PATH, "r");
    if (fp == nullptr) {
        return FALSE;
    }
    char line[NET_LINE_MAX + 1];
    bool inSection = false;
    while (ReadLine(fp, line)) {
        line[std::strcspn(line, "#\r\n")] = '\0';
        char* next = line;
        const char* key = str_token(&next, WORD_DELIMITERS);
        if (key == nullptr) {
            continue;
        }
        if (std::strcmp(key, "iface") == 0) {
            inSection = ReadIfaceLine(&next, pParam);
        } else if (inSection) {
            ReadSettingLine(key, &next, pParam);
        }
    }
    fclose(fp);
    if (pParam->dwIpAdrs == 0) {
        pParam->bDHCP = TRUE;
    }
    if (pParam->bDHCP) {
        *pParam = NET_PARAM{TRUE, 0, 0, 0};
    }
    return TRUE;
}

// The single name server line, flushed to the device.
BOOL WriteResolvConf()
{
    FILE* fp = OpenBoardStream(RESOLV_CONF_PATH, "w");
    if (fp == nullptr) {
        return FALSE;
    }
    bool ok = fprintf(fp, "nameserver %s\n", NAME_SERVER) > 0 && FlushFile(fp);
    if (fclose(fp) != 0) {
        ok = false;
    }
    return ok ? TRUE : FALSE;
}

// Writes the lines of the interfaces file for param, stopping at the first
// failed write; TRUE when every line was written.
bool WriteInterfacesLines(FILE* fp, const NET_PARAM& param)
{
    char address[16], netmask[16], gateway[16];
    FormatDotted(address, param.dwIpAdrs);
    FormatDotted(netmask, param.dwSubnetMask);
    FormatDotted(gateway, param.dwGateway);
    bool ok = fputs("# /etc/network/interfaces -- configuration file for ifup(8), ifdown(8)\n", fp) >= 0 &&
              fputs("\n", fp) >= 0 && fputs("auto lo eth0\n", fp) >= 0 && fputs("iface lo inet loopback\n", fp) >= 0;
    if (ok && param.bDHCP) {
        ok = fputs("iface eth0 inet dhcp\n", fp) >= 0;
    } else if (ok) {
        ok = fputs("iface eth0 inet static\n", fp) >= 0 && fprintf(fp, "  address %s\n", address) > 0 &&
             fprintf(fp, "  netmask %s\n", netmask) > 0 &&
             (param.dwGateway == 0 || fprintf(fp, "  gateway %s\n", gateway) > 0);
    }
    return ok && fputs(INTERFACES_TAIL, fp) >= 0;
}

// Reads a file through to its end; false when it cannot be opened or read.
bool ReadThrough(const char* pszPath)
{
    FILE* fp = OpenBoardStream(pszPath, "r");
    if (fp == nullptr) {
        return false;
    }
    char buf[512];
    while (fread(buf, 1, sizeof(buf), fp) == sizeof(buf)) {
    }
    bool ok = ferror(fp) == 0;
    fclose(fp);
    return ok;
}

// Rewrites the interfaces file from s_NetParam (DHCP rule applied) and, for a
// static configuration, the name server file. Caller holds s_cs.
BOOL WriteConfig()
{
    ApplyDhcpRule(&s_NetParam);
    // What the file now says: a later commit of the same values is no change.
    s_NetParamSave = s_NetParam;
    FILE* fp = OpenBoardStream(INTERFACES_PATH, "w");
    bool ok = fp != nullptr;
    if (ok) {
        ok = WriteInterfacesLines(fp, s_NetParam) && FlushFile(fp);
        if (fclose(fp) != 0) {
            ok = false;
        }
    }
    if (!ok || !ReadThrough(INTERFACES_PATH)) {
        DebugPrint("WARNING: NET_Update::WriteConfig() failed\n");
        return FALSE;
    }
    if (!s_NetParam.bDHCP && !WriteResolvConf()) {
        DebugPrint("WARNING: NET_Update::WriteResolvConf() failed\n");
        return FALSE;
    }
    return TRUE;
}

// A route line "eth0 00000000 GGGGGGGG ...": the gateway of eth0's default
// route, as the kernel prints it (network byte order read as a host number).
bool ParseDefaultRoute(char* pszLine, DWORD* pdwGateway)
{
    char* next = pszLine;
    const char* iface = str_token(&next, WORD_DELIMITERS);
    const char* destination = str_token(&next, WORD_DELIMITERS);
    const char* gateway = str_token(&next, WORD_DELIMITERS);
    if (iface == nullptr || destination == nullptr || gateway == nullptr || std::strcmp(iface, INTERFACE_NAME) != 0 ||
        std::strcmp(destination, "00000000") != 0 || std::strlen(gateway) != 8) {
        return false;
    }
    DWORD value = 0;
    if (!hexstr2dword(gateway, 8, &value)) {
        return false;
    }
    *pdwGateway = ntohl(value);
    return true;
}

// The ioctl request's answer as a host-order address.
bool AskInterface(int sock, unsigned long request, DWORD* pdwValue)
{
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof(ifr));
    _strlcpy(ifr.ifr_name, INTERFACE_NAME, sizeof(ifr.ifr_name));
    if (ioctl(sock, request, &ifr) < 0) {
        return false;
    }
    struct sockaddr_in sin;
    std::memcpy(&sin, &ifr.ifr_addr, sizeof(sin));
    *pdwValue = ntohl(sin.sin_addr.s_addr);
    return true;
}

// Runs a command line, every comma replaced by a blank.
void RunWithCommasAsBlanks(char* pszCommand)
{
    for (char* p = pszCommand; *p != '\0'; ++p) {
        if (*p == ',') {
            *p = ' ';
        }
    }
    Board_RunCommand(pszCommand);
}

// A server list reaches the shell: only the characters of host names,
// addresses and the list's separators may pass.
bool IsServerList(const char* pszServer)
{
    for (const char* p = pszServer; *p != '\0'; ++p) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == '_' || c == ':' || c == ',' || c == ' ';
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace

void NET_Construct()
{
    DeleteCriticalSection(&s_cs);
    InitializeCriticalSection(&s_cs);
    s_NetParam = NET_PARAM{};
    s_NetParamSave = NET_PARAM{};
    s_bChanged = FALSE;
    s_bModified = FALSE;
}

void NET_Destruct()
{
    s_NetParam = NET_PARAM{};
    s_NetParamSave = NET_PARAM{};
    s_bChanged = FALSE;
    s_bModified = FALSE;
    DeleteCriticalSection(&s_cs);
}

BOOL NET_Init()
{
    EnterCriticalSection(&s_cs);
    if (!ReadConfig(&s_NetParam)) {
        DebugPrint("WARNING: NET_Init:ReadConfig() failed\n");
    }
    s_NetParamSave = s_NetParam;
    BOOL ok = TRUE;
    if (!s_NetParam.bDHCP && !WriteResolvConf()) {
        DebugPrint("WARNING: NET_Init::WriteResolvConf() failed\n");
        ok = FALSE;
    }
    LeaveCriticalSection(&s_cs);
    return ok;
}

void NET_GetAddress(NET_PARAM* pParam)
{
    EnterCriticalSection(&s_cs);
    *pParam = s_NetParam;
    LeaveCriticalSection(&s_cs);
}

BOOL NET_SetAddress(const NET_PARAM* pParam)
{
    EnterCriticalSection(&s_cs);
    if (!SameParam(*pParam, s_NetParam)) {
        s_NetParam = *pParam;
        s_bChanged = TRUE;
        s_bModified = TRUE;
    } else if (!SameParam(s_NetParamSave, s_NetParam) || s_bChanged) {
        // A temporary address is in use, or an earlier write failed: the
        // file does not hold these values yet.
        s_bChanged = TRUE;
        s_bModified = TRUE;
    }
    LeaveCriticalSection(&s_cs);
    return TRUE;
}

BOOL NET_IsChanged()
{
    EnterCriticalSection(&s_cs);
    BOOL changed = s_bChanged;
    LeaveCriticalSection(&s_cs);
    return changed;
}

BOOL NET_IsModified()
{
    EnterCriticalSection(&s_cs);
    BOOL modified = s_bModified;
    s_bModified = FALSE;
    LeaveCriticalSection(&s_cs);
    return modified;
}

BOOL NET_Update(BOOL bRestart)
{
    EnterCriticalSection(&s_cs);
    BOOL ok = TRUE;
    if (s_bChanged) {
        ok = WriteConfig();
        // A failed write stays marked, so the next commit tries again.
        s_bChanged = ok ? FALSE : TRUE;
    }
    if (ok && bRestart) {
        Board_RunCommand("ifdown eth0");
        Board_RunCommand("ifup eth0");
    }
    LeaveCriticalSection(&s_cs);
    return ok;
}

BOOL NET_TempSetAddress(const NET_PARAM* pParam)
{
    EnterCriticalSection(&s_cs);
    s_NetParam = *pParam;
    ApplyDhcpRule(&s_NetParam);
    char address[16], netmask[16];
    FormatDotted(address, s_NetParam.dwIpAdrs);
    FormatDotted(netmask, s_NetParam.dwSubnetMask);
    char command[COMMAND_MAX];
    _sprintf(command, "ifconfig eth0 %s netmask %s", address, netmask);
    Board_RunCommand(command);
    LeaveCriticalSection(&s_cs);
    return TRUE;
}

BOOL NET_GetIfAddress(NET_PARAM* pParam)
{
    *pParam = NET_PARAM{};
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        DebugPrint("WARNING: socket() failed\n");
        return FALSE;
    }
    const char* failure = nullptr;
    if (!AskInterface(sock, SIOCGIFADDR, &pParam->dwIpAdrs)) {
        failure = "WARNING: ioctl (SIOCGIFADDR) failed\n";
    } else if (!AskInterface(sock, SIOCGIFNETMASK, &pParam->dwSubnetMask)) {
        failure = "WARNING: ioctl (SIOCGIFNETMASK) failed\n";
    }
    close(sock);
    if (failure != nullptr) {
        DebugPrint("%s", failure);
        *pParam = NET_PARAM{};
        return FALSE;
    }
    pParam->dwGateway = NET_GetDefaultGateway();
    return TRUE;
}

DWORD NET_GetDefaultGateway()
{
    FILE* fp = OpenBoardStream(ROUTE_PATH, "r");
    if (fp == nullptr) {
        return 0;
    }
    DWORD gateway = 0;
    char line[NET_LINE_MAX + 1];
    while (ReadLine(fp, line) && !ParseDefaultRoute(line, &gateway)) {
    }
    fclose(fp);
    return gateway;
}

BOOL NET_IsEnableDHCP()
{
    EnterCriticalSection(&s_cs);
    BOOL dhcp = s_NetParam.bDHCP;
    LeaveCriticalSection(&s_cs);
    return dhcp;
}

BOOL NET_IsActiveDHCP()
{
    return BoardFileExists(DHCP_PID_PATH);
}

BOOL NET_StartDHCP()
{
    Board_RunCommand("udhcpc -R -b -p /var/run/udhcpc.eth0.pid -i eth0 &");
    return TRUE;
}

BOOL NET_StopDHCP()
{
    Board_RunCommand("kill `cat /var/run/udhcpc.eth0.pid`");
    return TRUE;
}

BOOL NET_IsStartNTP()
{
    return BoardFileExists(NTP_PID_PATH);
}

BOOL NET_StartNTP(const char* pszServer)
{
    char command[COMMAND_MAX];
    if (pszServer == nullptr || !IsServerList(pszServer) ||
        _sprintf(command, "%s%s", NTP_START_PREFIX, pszServer) !=
            NTP_START_PREFIX_LEN + static_cast<int>(std::strlen(pszServer))) {
        DebugPrint("WARNING: NET_StartNTP() invalid server list\n");
        return FALSE;
    }
    RunWithCommasAsBlanks(command);
    return TRUE;
}

BOOL NET_StopNTP()
{
    Board_RunCommand("ntpcheck-start.sh stop");
    return TRUE;
}

BOOL NET_IsSyncNTP()
{
    return BoardFileExists(NTP_RESULT_PATH);
}
