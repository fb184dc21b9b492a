// Runs arbitrary command lines through the command interpreter on a
// simulated board, as the local console's user (replies go to /dev/null):
// either typed text through the channels' line editor, or raw lines of any
// bytes. Every input starts from a fresh session, default settings and no ini
// file. The unit core and the
// directory client are stand-ins that answer like an idle unit.
//
// Checked after each input: the live configuration's texts are terminated
// inside their fields, its ports are those a command may set, and whatever
// the commands committed survives a save and reload of the ini file: the
// unit must never accept a value it cannot keep.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board.h"
#include "cmd.h"
#include "cmdsrv.h"
#include "config.h"
#include "console.h"
#include "helpers.h"
#include "listsrv.h"
#include "log.h"
#include "net.h"
#include "server.h"

// --- stand-ins for the unit core and the directory client ---

BOOL Server_Connect()
{
    return TRUE;
}
void Server_Disconnect() {}
BOOL Server_GetTargetStatus(unsigned int nIndex, CLIENT_STATUS* pStatus)
{
    if (nIndex >= SERVER_TARGET_COUNT) {
        return FALSE;
    }
    *pStatus = static_cast<CLIENT_STATUS>(nIndex % 6);
    return TRUE;
}
void Server_GetMyRepeaterInfo(MY_REPEATER_INFO* pInfo)
{
    memset(pInfo, 0, sizeof(*pInfo));
    _strlcpy(pInfo->szName, "FUZZ-REPEATER", sizeof(pInfo->szName));
}
BOOL Server_SearchReq()
{
    return TRUE;
}
BOOL Server_GetSearchResult(SEARCH_RESULT aResult[SERVER_TARGET_COUNT])
{
    memset(aResult, 0, sizeof(SEARCH_RESULT) * SERVER_TARGET_COUNT);
    aResult[3].ulAdrs = 0x0A000003;
    return TRUE;
}
void ListSrv_Lock() {}
void ListSrv_Unlock() {}
void ListSrv_SetServID(const char*) {}

namespace {

const char kIni[] = "/var/local/kovalan.ini";
constexpr size_t LINE_MAX_BYTES = 600;

std::string s_root;

void Check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "command set violation: %s\n", what);
        abort();
    }
}

void WriteText(const std::string& boardPath, const char* text)
{
    FILE* fp = fopen((s_root + boardPath).c_str(), "w");
    Check(fp != nullptr, "cannot write a board file");
    fputs(text, fp);
    fclose(fp);
}

void MakeBoard()
{
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fuzz-cmd-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    Check(mkdtemp(buf.data()) != nullptr, "cannot make a temporary folder");
    s_root = buf.data();
    for (const char* dir : {"/var", "/var/local", "/var/log", "/var/run", "/etc", "/etc/network", "/sys",
                            "/sys/fsl_otp", "/proc", "/proc/net"}) {
        Check(mkdir((s_root + dir).c_str(), 0755) == 0, "cannot make the board folders");
    }
    WriteText("/etc/network/interfaces", "auto lo eth0\niface lo inet loopback\niface eth0 inet dhcp\n");
    WriteText("/proc/net/route", "Iface\tDestination\tGateway \tFlags\n");
    Check(Board_SetRoot(s_root.c_str()) != FALSE, "cannot set the board root");

    int sink = open("/dev/null", O_WRONLY);
    int keys = open("/dev/null", O_RDONLY);
    Check(sink >= 0 && keys >= 0, "cannot open /dev/null");
    CON_SetDescriptorsForTest(keys, sink);

    LOG_Init();
    Check(LOG_Open((s_root + "/var/local/kovalan.log").c_str(), 4096) != FALSE, "cannot open the log store");
    SYSTEMTIME t = {2021, 4, 2, 13, 12, 0, 0, 0};
    const char text[] = "[I] state ready, and a second record's worth of text after the first fifty-two";
    LOG_Write(&t, text, static_cast<int>(sizeof(text) - 1));
    NET_Construct();
    CMD_Construct();
    CMD_Init();
}

// Default settings, no ini file, the OTP fuses and the network as at start.
void ResetUnit()
{
    unlink((s_root + kIni).c_str());
    unlink((s_root + "/var/local/kovalan.bak").c_str());
    unlink((s_root + "/var/log/board-commands.log").c_str());
    rmdir((s_root + kIni).c_str());
    WriteText("/sys/fsl_otp/HW_OCOTP_MAC1", "0x0200\n");
    WriteText("/sys/fsl_otp/HW_OCOTP_MAC0", "0x00000001\n");
    CONFIG_Init();
    CONFIG_Load(kIni, nullptr);
    NET_Destruct();
    NET_Construct();
    NET_Init();
    CMD_Destruct();
    CMD_Construct();
}

template <size_t N>
bool Terminated(const char (&text)[N])
{
    return memchr(text, '\0', N) != nullptr;
}

bool IsPort(int port)
{
    return port >= 1 && port <= 65535;
}

void CheckLive(const CONFIG_PARAM& p)
{
    Check(Terminated(p.szPassWord) && Terminated(p.szProgram) && Terminated(p.szNtpServer) && Terminated(p.szServID),
          "text field not terminated");
    Check(IsPort(p.nTxUdpPort) && IsPort(p.nRxUdpPort) && IsPort(p.nSettingPort), "port out of range");
    for (const TARGET_INFO& t : p.aTargetInfo) {
        Check(Terminated(t.szCallSign) && Terminated(t.szRadioID) && Terminated(t.szMemo),
              "target text not terminated");
    }
}

// What the commands committed must read back from the file it is saved to.
void CheckKept(CONFIG_PARAM* live)
{
    static CONFIG_PARAM reloaded;
    Check(CMD_SaveConfig(live) != FALSE, "save failed");
    Check(CONFIG_Load(kIni, &reloaded) != FALSE, "saved file not loaded");
    Check(live->nTxUdpPort == reloaded.nTxUdpPort && live->nRxUdpPort == reloaded.nRxUdpPort &&
              live->nSettingPort == reloaded.nSettingPort,
          "port not kept");
    Check(strcmp(live->szPassWord, reloaded.szPassWord) == 0, "PassWord not kept");
    Check((live->bLockEnable != 0) == (reloaded.bLockEnable != 0), "lock not kept");
    Check(live->bLogEnable == reloaded.bLogEnable && live->dwLogFlag == reloaded.dwLogFlag, "log flags not kept");
    for (int i = 0; i < CONFIG_MAX_TARGET; ++i) {
        const TARGET_INFO& x = live->aTargetInfo[i];
        const TARGET_INFO& y = reloaded.aTargetInfo[i];
        Check((x.bEnable != 0) == (y.bEnable != 0) && x.dwTargetIP == y.dwTargetIP &&
                  strcmp(x.szCallSign, y.szCallSign) == 0 && strcmp(x.szRadioID, y.szRadioID) == 0 &&
                  strcmp(x.szMemo, y.szMemo) == 0,
              "target not kept");
    }
}

// A reboot only pauses 200 ms before a logged command: not worth the time.
bool IsReboot(const char* line)
{
    while (*line == ' ' || *line == '\t') {
        ++line;
    }
    return __strnicmp(line, "reboot", 6) == 0 && (line[6] == '\0' || line[6] == ' ' || line[6] == '\t');
}

// Raw lines: split at line feeds only, any bytes (a NUL ends a line).
void RunRawLines(const uint8_t* data, size_t size)
{
    size_t start = 0;
    while (start < size) {
        const uint8_t* end = static_cast<const uint8_t*>(memchr(data + start, '\n', size - start));
        size_t length = (end != nullptr ? static_cast<size_t>(end - data) : size) - start;
        std::string line(reinterpret_cast<const char*>(data + start),
                         length < LINE_MAX_BYTES ? length : LINE_MAX_BYTES);
        start += length + 1;
        line = line.c_str();
        if (!IsReboot(line.c_str())) {
            CMD_Exec(nullptr, line.data());
        }
    }
}

// Lines as a setting tool's channel delivers them: through the line editor.
void RunTypedLines(const uint8_t* data, size_t size)
{
    char line[CMDSRV_LINE_BUFFER_SIZE];
    int index = 0;
    for (size_t i = 0; i < size; ++i) {
        if (CmdServer_EditLine(line, &index, data[i])) {
            index = 0;
            if (!IsReboot(line)) {
                CMD_Exec(nullptr, line);
            }
        }
    }
}

}  // namespace

// An input whose first byte is 0xFF is raw lines; any other is typed text,
// after which what was committed must survive a save and reload.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (s_root.empty()) {
        MakeBoard();
    }
    ResetUnit();
    bool raw = size > 0 && data[0] == 0xFF;
    if (raw) {
        RunRawLines(data + 1, size - 1);
    } else {
        RunTypedLines(data, size);
    }
    CMD_OnTimer();
    CMD_IsWriteBusy();
    CheckLive(*CONFIG_Get());
    if (!raw) {
        CheckKept(CONFIG_Get());
    }
    return 0;
}
