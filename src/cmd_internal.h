// cmd_internal: what the command interpreter's files share — the user
// record, its flag bits, the reply and argument helpers every handler uses,
// and the handlers themselves. Included only by cmd*.cpp.
//
// Handlers run one at a time under the command lock; a handler reads and
// writes its own user's working copy and staged network parameters freely,
// changes flag bits only through SetUserFlag/ResetUserFlag/SetWriteBusy (which
// take s_csCmd), and writes the live configuration only through
// WriteBackConfig.
#pragma once

#include "cmd.h"
#include "config.h"
#include "conftbl.h"
#include "net.h"
#include "winemu.h"

// Flag bits of USER_STATUS::dwFlags.
constexpr DWORD USER_FLAG_LOGON = 0x01;       // chkpass with the right PassWord
constexpr DWORD USER_FLAG_LOADED = 0x02;      // ConfigParam holds a copy
constexpr DWORD USER_FLAG_NETPARAM = 0x04;    // NetParam staged for update
constexpr DWORD USER_FLAG_RESTART = 0x08;     // the setting port changed
constexpr DWORD USER_FLAG_SAVE = 0x10;        // update writes the file
constexpr DWORD USER_FLAG_WRITE_BUSY = 0x20;  // in the middle of an edit

// A user leaves the middle of an edit this long after the last change.
constexpr DWORD CMD_WRITE_BUSY_MS = 60000;
// update waits this long for a TCP client to go before a change that cuts it.
constexpr long CMD_DISCONNECT_WAIT_MS = 5000;
// reboot answers first and runs the command after this pause.
constexpr DWORD CMD_REBOOT_DELAY_MS = 200;
// The PassWord keeps at most this many characters.
constexpr int CMD_PASSWORD_MAX = CONFIG_PASSWORD_SIZE - 1;
// The NTP server text keeps at most this many characters.
constexpr int CMD_NTP_SERVER_MAX = 255;
// One formatted reply line, line end and terminator included.
constexpr int CMD_REPLY_MAX = 512;

constexpr char CMD_VERSION_TEXT[] = "KOVA-LAN Ver 1.4.4.0\r\n";
constexpr char CMD_REPLY_OK[] = "OK\r\n";
constexpr char CMD_REPLY_NG[] = "NG\r\n";

// One client's session.
struct tagUSER_STATUS {
    LPVOID pClient;            // null marks a free record (except the console's own record)
    int nResetState;           // step of the two-step factory reset: 0 or 1
    DWORD dwFlags;             // USER_FLAG_ bits, changed under s_csCmd
    DWORD dwWriteTime;         // tick of the last edit, written under s_csCmd
    CONFIG_PARAM ConfigParam;  // the working copy
    NET_PARAM NetParam;        // staged by netparam
};
typedef tagUSER_STATUS USER_STATUS;

// The error replies of ShowError.
enum _ERR : int {
    ERR_NONE = 0,
    ERR_COMMAND = 1,
    ERR_PARAM = 2,
    ERR_HARDWARE = 3,
    ERR_UNKONWN = 4,
};

// A handler answers and returns TRUE, or returns FALSE for "command error".
typedef BOOL (*CMD_HANDLER)(LPVOID pClient, int nArgc, char** pArgv);

// --- session helpers (cmd.cpp) ---

// The client's record, or null; the console (null client) has its own record.
USER_STATUS* GetUserStatus(LPVOID pClient);
// Copies the live configuration into the working copy unless the user is in
// the middle of an edit (loaded and write-busy): reading and changing commands
// alike see the live values, or their own edits while editing.
void ReloadConfig(USER_STATUS* pUser);
// Stamps the edit time and sets USER_FLAG_WRITE_BUSY.
void SetWriteBusy(USER_STATUS* pUser);
void SetUserFlag(USER_STATUS* pUser, DWORD dwBits);
void ResetUserFlag(USER_STATUS* pUser, DWORD dwBits);
DWORD GetUserFlags(USER_STATUS* pUser);
// Sets the reset step under s_csCmd.
void SetResetState(USER_STATUS* pUser, int nState);
// TRUE when the working copy has the lock off or the user is logged on.
BOOL IsAutholized(const USER_STATUS* pUser);
// Copies a whole configuration over the live one.
void WriteBackConfig(const CONFIG_PARAM* pConfig);
// Raises the update signal and advances the update counter (never 0).
void RaiseUpdate();
DWORD GetUpdateCount();
// Defaults of the table's fields in pVal, then every key=value word of
// pArgv[0..nArgc) applied; FALSE when a known key has a bad value.
BOOL GetConfigParam(const CONFIG_TBL* pTbl, int nNumOfTables, void* pVal, int nArgc, char** pArgv);

// --- replies (cmd.cpp) ---

// Sends text to the client; TRUE on success (a failure is printed).
BOOL Puts(LPVOID pClient, const char* pszText);
// Formats one reply and sends it.
BOOL Printf(LPVOID pClient, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
void ShowError(LPVOID pClient, int nKind);
// The user's record with its working copy loaded, and (bLocked) the lock
// check: null after answering "NG" when there is no record or the lock is
// closed.
USER_STATUS* GetCheckedUser(LPVOID pClient, BOOL bLocked);
// TRUE for a TCP client (neither the console nor the USB port).
BOOL IsNetworkClient(LPVOID pClient);

// An address as "a.b.c.d", first number from the most significant byte;
// used as Dotted(x).sz inside one reply's formatting.
struct tagDOTTED_TEXT {
    char sz[16];
};
typedef tagDOTTED_TEXT DOTTED_TEXT;
DOTTED_TEXT Dotted(DWORD dwAdrs);

// --- argument parsing (cmd.cpp) ---

// A whole word as an unsigned decimal number no larger than dwMax.
BOOL ParseDecimal(const char* pszWord, DWORD dwMax, DWORD* pdwValue);
// A whole word as an unsigned hexadecimal number no larger than dwMax.
BOOL ParseHex(const char* pszWord, DWORD dwMax, DWORD* pdwValue);
// A target index 0 to 99.
BOOL ParseTargetIndex(const char* pszWord, int* pnIndex);
// TRUE when the text survives a save and reload of the configuration file
// unchanged apart from quotes (no ';', which starts a comment there).
BOOL IsStorableText(const char* pszText);

// --- handlers: cmd_config.cpp ---
BOOL OnSaveConfig(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnGetVersion(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnUpdate(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnSetUdpPort(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnSetSettingPort(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnCheckPassWord(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnSetPassWord(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnSetLock(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnFactSettting(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnSetLogFlag(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnSetNtp(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnGetUpdateCount(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnSetListServer(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnGetListStatus(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnDirectoryCommand(LPVOID pClient, int nArgc, char** pArgv);

// --- handlers: cmd_target.cpp ---
BOOL OnConnect(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnDisconnect(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnGetStatus(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnSetTarget(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnSetEnable(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnSetEnableAll(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnGetDestList(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnSetDestList(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnGetMyRepInfo(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnStartSearch(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnGetSearchRes(LPVOID pClient, int nArgc, char** pArgv);

// --- handlers: cmd_device.cpp ---
BOOL OnReboot(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnNetParam(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnGetCurrIpParam(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnMacAddress(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnGetLogData(LPVOID pClient, int nArgc, char** pArgv);
BOOL OnGetLogSize(LPVOID pClient, int nArgc, char** pArgv);
