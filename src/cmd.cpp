// cmd: the command interpreter and its sessions. It owns the 65 user records
// of the connected clients (plus one record of the local console), the
// command lock, the update signal and counter, and the table that maps a
// command word to its handler (the handlers live in cmd_config.cpp,
// cmd_target.cpp and cmd_device.cpp). It splits a line into words, runs the
// handler under the command lock and sends replies to the client the line
// came from: the USB port (USBFUNC_Send), a TCP setting connection
// (CmdServer_Send) or the console (CON_Puts).
//
// Threads: CMD_Exec on the thread that delivered the line (a TCP connection
// thread, the USB receive thread, or the caller of CMD_OnIdle); CMD_OnTimer
// on the unit core's timer thread; CMD_TryLock, CMD_IsUpdated and
// CMD_IsWriteBusy on the idle loop; log-on and log-off on the accepting and
// disconnecting threads.
// Locks: the command lock (s_bLocked, guarded by s_csUser, taken by polling
// every 1 ms) before s_csCmd (pClient, nResetState, dwFlags and dwWriteTime
// of every record). s_csCmd is never held while waiting for the command lock
// or while calling out of the module. Working copies and staged network
// parameters are touched only by handlers, under the command lock.
#include "cmd.h"

#include <atomic>
#include <cstdarg>
#include <cstring>

#include "cmd_internal.h"
#include "cmdsrv.h"
#include "console.h"
#include "debug.h"
#include "helpers.h"
#include "usbfunc.h"
#include "util.h"

namespace {

// The words of one line; pArgv[0] is the command word.
struct tagCMD_PARAMS {
    int nArgc;
    char* pArgv[CMD_MAX_ARGS];
};
typedef tagCMD_PARAMS CMD_PARAMS;

struct tagDISPATCH_TBL {
    const char* pszCmd;
    CMD_HANDLER pfnProc;
};
typedef tagDISPATCH_TBL DISPATCH_TBL;

// Searched in order; the setting tool may send the directory commands, which
// this unit answers with "command error".
const DISPATCH_TBL s_aCmdTbl[] = {
    {"conn", OnConnect},
    {"disc", OnDisconnect},
    {"save", OnSaveConfig},
    {"reboot", OnReboot},
    {"netparam", OnNetParam},
    {"currip", OnGetCurrIpParam},
    {"status", OnGetStatus},
    {"target", OnSetTarget},
    {"enable", OnSetEnable},
    {"vers", OnGetVersion},
    {"update", OnUpdate},
    {"mac", OnMacAddress},
    {"udpport", OnSetUdpPort},
    {"chkpass", OnCheckPassWord},
    {"setpass", OnSetPassWord},
    {"factset", OnFactSettting},
    {"getdest", OnGetDestList},
    {"setdest", OnSetDestList},
    {"enableall", OnSetEnableAll},
    {"myrep", OnGetMyRepInfo},
    {"log", OnGetLogData},
    {"logsize", OnGetLogSize},
    {"logflag", OnSetLogFlag},
    {"listsrv", OnSetListServer},
    {"search", OnStartSearch},
    {"searchres", OnGetSearchRes},
    {"lock", OnSetLock},
    {"regist", OnDirectoryCommand},
    {"portchk", OnDirectoryCommand},
    {"repsearch", OnDirectoryCommand},
    {"liststatus", OnGetListStatus},
    {"listinfo", OnDirectoryCommand},
    {"listdebug", OnDirectoryCommand},
    {"settingport", OnSetSettingPort},
    {"ntp", OnSetNtp},
    {"updatecount", OnGetUpdateCount},
    {nullptr, nullptr},
};

constexpr char CMD_DELIMITERS[] = " \t";
constexpr DWORD CMD_LOCK_POLL_MS = 1;

USER_STATUS s_aUserStatus[CMD_MAX_USERS];
// The console's session: always present, never one of the 65 client records.
USER_STATUS s_ConsoleUser;
CRITICAL_SECTION s_csCmd = nullptr;
CRITICAL_SECTION s_csUser = nullptr;
std::atomic<BOOL> s_bLocked{FALSE};
std::atomic<BOOL> s_bUpdated{FALSE};
std::atomic<DWORD> s_dwUpdateCount{1};
char s_szCmdBuff[CMD_LINE_MAX];
int s_nCmdIndex = 0;

// A record starts logged off, with no working copy and no reset step.
void ResetSession(USER_STATUS* pUser, LPVOID pClient)
{
    pUser->pClient = pClient;
    pUser->nResetState = 0;
    pUser->dwFlags = 0;
}

BOOL GetCommandParam(char* pszLine, CMD_PARAMS* pParams)
{
    pParams->nArgc = 0;
    char* pNext = pszLine;
    char* pWord;
    while ((pWord = str_token(&pNext, CMD_DELIMITERS)) != nullptr) {
        if (pParams->nArgc == CMD_MAX_ARGS) {
            return FALSE;
        }
        pParams->pArgv[pParams->nArgc++] = pWord;
    }
    return TRUE;
}

void DispatchCommand(LPVOID pClient, CMD_PARAMS* pParams)
{
    const DISPATCH_TBL* pRow = s_aCmdTbl;
    while (pRow->pszCmd != nullptr && __stricmp(pRow->pszCmd, pParams->pArgv[0]) != 0) {
        ++pRow;
    }
    if (pRow->pszCmd == nullptr) {
        ShowError(pClient, ERR_COMMAND);
        return;
    }
    if (!CMD_LockUser(pClient)) {
        // The connection closed while the command waited; the reply fails too.
        ShowError(pClient, ERR_COMMAND);
        return;
    }
    BOOL bDone = pRow->pfnProc(pClient, pParams->nArgc, pParams->pArgv);
    CMD_Unlock();
    if (!bDone) {
        ShowError(pClient, ERR_COMMAND);
    }
}

// Strips leading zeros; FALSE for an empty word or one with more than
// nMaxDigits significant digits (its value cannot fit 32 bits).
BOOL SignificantDigits(const char* pszWord, int nMaxDigits, const char** ppDigits, int* pnLen)
{
    if (pszWord == nullptr || *pszWord == '\0') {
        return FALSE;
    }
    while (pszWord[0] == '0' && pszWord[1] != '\0') {
        ++pszWord;
    }
    int nLen = static_cast<int>(std::strlen(pszWord));
    if (nLen > nMaxDigits) {
        return FALSE;
    }
    *ppDigits = pszWord;
    *pnLen = nLen;
    return TRUE;
}

}  // namespace

// --- session helpers ---

USER_STATUS* GetUserStatus(LPVOID pClient)
{
    if (pClient == nullptr) {
        return &s_ConsoleUser;
    }
    USER_STATUS* pFound = nullptr;
    EnterCriticalSection(&s_csCmd);
    for (USER_STATUS& user : s_aUserStatus) {
        if (user.pClient == pClient) {
            pFound = &user;
            break;
        }
    }
    LeaveCriticalSection(&s_csCmd);
    return pFound;
}

void ReloadConfig(USER_STATUS* pUser)
{
    constexpr DWORD EDITING = USER_FLAG_LOADED | USER_FLAG_WRITE_BUSY;
    if ((GetUserFlags(pUser) & EDITING) != EDITING) {
        pUser->ConfigParam = *CONFIG_Get();
        SetUserFlag(pUser, USER_FLAG_LOADED);
    }
}

void SetWriteBusy(USER_STATUS* pUser)
{
    EnterCriticalSection(&s_csCmd);
    pUser->dwWriteTime = GetTickCount();
    pUser->dwFlags |= USER_FLAG_WRITE_BUSY;
    LeaveCriticalSection(&s_csCmd);
}

void SetUserFlag(USER_STATUS* pUser, DWORD dwBits)
{
    EnterCriticalSection(&s_csCmd);
    pUser->dwFlags |= dwBits;
    LeaveCriticalSection(&s_csCmd);
}

void ResetUserFlag(USER_STATUS* pUser, DWORD dwBits)
{
    EnterCriticalSection(&s_csCmd);
    pUser->dwFlags &= ~dwBits;
    LeaveCriticalSection(&s_csCmd);
}

DWORD GetUserFlags(USER_STATUS* pUser)
{
    EnterCriticalSection(&s_csCmd);
    DWORD dwFlags = pUser->dwFlags;
    LeaveCriticalSection(&s_csCmd);
    return dwFlags;
}

void SetResetState(USER_STATUS* pUser, int nState)
{
    EnterCriticalSection(&s_csCmd);
    pUser->nResetState = nState;
    LeaveCriticalSection(&s_csCmd);
}

BOOL IsAutholized(const USER_STATUS* pUser)
{
    EnterCriticalSection(&s_csCmd);
    BOOL bLogOn = (pUser->dwFlags & USER_FLAG_LOGON) != 0;
    LeaveCriticalSection(&s_csCmd);
    return !pUser->ConfigParam.bLockEnable || bLogOn;
}

void WriteBackConfig(const CONFIG_PARAM* pConfig)
{
    CONFIG_PARAM* pLive = CONFIG_Get();
    if (pConfig != pLive) {
        *pLive = *pConfig;
    }
}

void RaiseUpdate()
{
    DWORD dwNext = s_dwUpdateCount.load() + 1;
    if (dwNext == 0) {
        dwNext = 1;  // the counter is never 0
    }
    s_dwUpdateCount.store(dwNext);
    s_bUpdated.store(TRUE);
}

DWORD GetUpdateCount()
{
    return s_dwUpdateCount.load();
}

BOOL GetConfigParam(const CONFIG_TBL* pTbl, int nNumOfTables, void* pVal, int nArgc, char** pArgv)
{
    CONFTBL_SetDefaultAll(pTbl, nNumOfTables, pVal);
    for (int i = 0; i < nArgc; ++i) {
        char* pEqual = std::strchr(pArgv[i], '=');
        if (pEqual == nullptr) {
            continue;
        }
        *pEqual = '\0';
        char* pszKey = str_trim(pArgv[i]);
        char* pszValue = str_trim(pEqual + 1);
        if (!CONFTBL_LoadParam(pTbl, nNumOfTables, pVal, pszKey, pszValue, nullptr)) {
            return FALSE;
        }
    }
    return TRUE;
}

// --- replies ---

BOOL Puts(LPVOID pClient, const char* pszText)
{
    int nLength = static_cast<int>(std::strlen(pszText));
    if (pClient == nullptr) {
        CON_Puts(pszText);
        return TRUE;
    }
    if (USBFUNC_IsHandle(pClient)) {
        if (!USBFUNC_Send(reinterpret_cast<const BYTE*>(pszText), nLength)) {
            DebugPrint("WARNING: USBFUNC_Send() failed\n");
            return FALSE;
        }
        return TRUE;
    }
    if (!CmdServer_Send(pClient, pszText, nLength)) {
        DebugPrint("WARNING: CmdServer_Send() failed\n");
        return FALSE;
    }
    return TRUE;
}

BOOL Printf(LPVOID pClient, const char* pszFormat, ...)
{
    char szLine[CMD_REPLY_MAX];
    va_list args;
    va_start(args, pszFormat);
    _vsprintf(szLine, pszFormat, args);
    va_end(args);
    return Puts(pClient, szLine);
}

void ShowError(LPVOID pClient, int nKind)
{
    switch (nKind) {
        case ERR_COMMAND:
            Puts(pClient, "command error\r\n");
            break;
        case ERR_PARAM:
            Puts(pClient, "parameter error\r\n");
            break;
        case ERR_HARDWARE:
            Puts(pClient, "hardware error\r\n");
            break;
        default:
            break;
    }
}

USER_STATUS* GetCheckedUser(LPVOID pClient, BOOL bLocked)
{
    USER_STATUS* pUser = GetUserStatus(pClient);
    if (pUser == nullptr) {
        Puts(pClient, CMD_REPLY_NG);
        return nullptr;
    }
    ReloadConfig(pUser);
    if (bLocked && !IsAutholized(pUser)) {
        Puts(pClient, CMD_REPLY_NG);
        return nullptr;
    }
    return pUser;
}

DOTTED_TEXT Dotted(DWORD dwAdrs)
{
    DOTTED_TEXT text;
    _sprintf(text.sz, "%u.%u.%u.%u", (dwAdrs >> 24) & 0xFF, (dwAdrs >> 16) & 0xFF, (dwAdrs >> 8) & 0xFF, dwAdrs & 0xFF);
    return text;
}

BOOL IsNetworkClient(LPVOID pClient)
{
    return pClient != nullptr && !USBFUNC_IsHandle(pClient);
}

// --- argument parsing ---

BOOL ParseDecimal(const char* pszWord, DWORD dwMax, DWORD* pdwValue)
{
    const char* pszDigits = nullptr;
    int nLen = 0;
    if (!SignificantDigits(pszWord, 10, &pszDigits, &nLen)) {
        return FALSE;
    }
    if (nLen == 10 && std::strcmp(pszDigits, "4294967295") > 0) {
        return FALSE;
    }
    DWORD dwValue = 0;
    if (!decstr2dword(pszDigits, nLen, &dwValue) || dwValue > dwMax) {
        return FALSE;
    }
    *pdwValue = dwValue;
    return TRUE;
}

BOOL ParseHex(const char* pszWord, DWORD dwMax, DWORD* pdwValue)
{
    const char* pszDigits = nullptr;
    int nLen = 0;
    if (!SignificantDigits(pszWord, 8, &pszDigits, &nLen)) {
        return FALSE;
    }
    DWORD dwValue = 0;
    if (!hexstr2dword(pszDigits, nLen, &dwValue) || dwValue > dwMax) {
        return FALSE;
    }
    *pdwValue = dwValue;
    return TRUE;
}

BOOL ParseTargetIndex(const char* pszWord, int* pnIndex)
{
    DWORD dwIndex = 0;
    if (!ParseDecimal(pszWord, CONFIG_MAX_TARGET - 1, &dwIndex)) {
        return FALSE;
    }
    *pnIndex = static_cast<int>(dwIndex);
    return TRUE;
}

BOOL IsStorableText(const char* pszText)
{
    return std::strchr(pszText, ';') == nullptr;
}

// --- interface ---

void CMD_Construct()
{
    std::memset(static_cast<void*>(s_aUserStatus), 0, sizeof(s_aUserStatus));
    std::memset(static_cast<void*>(&s_ConsoleUser), 0, sizeof(s_ConsoleUser));
    s_nCmdIndex = 0;
    s_bUpdated.store(FALSE);
    s_bLocked.store(FALSE);
    s_dwUpdateCount.store(1);
    if (s_csCmd == nullptr) {
        InitializeCriticalSection(&s_csCmd);
    }
    if (s_csUser == nullptr) {
        InitializeCriticalSection(&s_csUser);
    }
}

BOOL CMD_Init()
{
    s_nCmdIndex = 0;
    return CON_Init();
}

void CMD_Destruct()
{
    DeleteCriticalSection(&s_csCmd);
    DeleteCriticalSection(&s_csUser);
}

void CMD_Exec(LPVOID pClient, char* pszData)
{
    if (pszData == nullptr) {
        return;
    }
    CMD_PARAMS params;
    if (!GetCommandParam(str_trim(pszData), &params)) {
        ShowError(pClient, ERR_PARAM);
        return;
    }
    if (params.nArgc == 0) {
        return;
    }
    DispatchCommand(pClient, &params);
}

void CMD_OnIdle()
{
    if (CON_AsyncGets(s_szCmdBuff, CMD_LINE_MAX, &s_nCmdIndex)) {
        s_nCmdIndex = 0;
        CMD_Exec(nullptr, s_szCmdBuff);
    }
}

void CMD_OnTimer()
{
    DWORD dwNow = GetTickCount();
    EnterCriticalSection(&s_csCmd);
    auto expire = [dwNow](USER_STATUS& user) {
        if ((user.dwFlags & USER_FLAG_WRITE_BUSY) != 0 && dwNow - user.dwWriteTime >= CMD_WRITE_BUSY_MS) {
            user.dwFlags &= ~USER_FLAG_WRITE_BUSY;
        }
    };
    for (USER_STATUS& user : s_aUserStatus) {
        if (user.pClient != nullptr) {
            expire(user);
        }
    }
    expire(s_ConsoleUser);
    LeaveCriticalSection(&s_csCmd);
}

BOOL CMD_LogOnUser(LPVOID pClient)
{
    EnterCriticalSection(&s_csCmd);
    if (pClient == nullptr) {
        ResetSession(&s_ConsoleUser, nullptr);
        LeaveCriticalSection(&s_csCmd);
        return TRUE;
    }
    // A client that logs on again (the USB port after a restart of the unit)
    // starts a new session in its old record instead of taking another one.
    USER_STATUS* pFree = nullptr;
    for (USER_STATUS& user : s_aUserStatus) {
        if (user.pClient == pClient) {
            pFree = &user;
            break;
        }
        if (user.pClient == nullptr && pFree == nullptr) {
            pFree = &user;
        }
    }
    if (pFree != nullptr) {
        ResetSession(pFree, pClient);
    }
    LeaveCriticalSection(&s_csCmd);
    return pFree != nullptr ? TRUE : FALSE;
}

BOOL CMD_LogOffUser(LPVOID pClient)
{
    BOOL bFound = FALSE;
    EnterCriticalSection(&s_csCmd);
    if (pClient == nullptr) {
        ResetSession(&s_ConsoleUser, nullptr);
        bFound = TRUE;
    }
    for (USER_STATUS& user : s_aUserStatus) {
        if (pClient != nullptr && user.pClient == pClient) {
            ResetSession(&user, nullptr);
            bFound = TRUE;
            break;
        }
    }
    LeaveCriticalSection(&s_csCmd);
    return bFound;
}

void CMD_Lock()
{
    while (!CMD_TryLock()) {
        Sleep(CMD_LOCK_POLL_MS);
    }
}

BOOL CMD_LockUser(LPVOID pClient)
{
    while (!CMD_TryLock()) {
        if (IsNetworkClient(pClient) && CmdServer_IsClosed(pClient)) {
            return FALSE;
        }
        Sleep(CMD_LOCK_POLL_MS);
    }
    return TRUE;
}

void CMD_Unlock()
{
    EnterCriticalSection(&s_csUser);
    s_bLocked.store(FALSE);
    LeaveCriticalSection(&s_csUser);
}

BOOL CMD_TryLock()
{
    EnterCriticalSection(&s_csUser);
    BOOL bTaken = !s_bLocked.load();
    if (bTaken) {
        s_bLocked.store(TRUE);
    }
    LeaveCriticalSection(&s_csUser);
    return bTaken;
}

BOOL CMD_IsUpdated()
{
    return s_bUpdated.exchange(FALSE);
}

BOOL CMD_IsWriteBusy()
{
    BOOL bBusy = FALSE;
    EnterCriticalSection(&s_csCmd);
    for (const USER_STATUS& user : s_aUserStatus) {
        if (user.pClient != nullptr && (user.dwFlags & USER_FLAG_WRITE_BUSY) != 0) {
            bBusy = TRUE;
            break;
        }
    }
    if ((s_ConsoleUser.dwFlags & USER_FLAG_WRITE_BUSY) != 0) {
        bBusy = TRUE;
    }
    LeaveCriticalSection(&s_csCmd);
    return bBusy;
}

BOOL CMD_SaveConfig(CONFIG_PARAM* pConfig)
{
    CONFIG_PARAM* pParam = pConfig != nullptr ? pConfig : CONFIG_Get();
    std::memset(pParam->szProgram, 0, sizeof(pParam->szProgram));
    _strlcpy(pParam->szProgram, CONFIG_PROGRAM_NAME, sizeof(pParam->szProgram));
    pParam->dwVersion = CONFIG_PROGRAM_VERSION;
    return CONFIG_Save(pParam);
}
