// cmd_config: the command handlers of the session and the unit-wide settings
// — save and commit, the version reset, the ports, the lock and PassWord, the
// factory reset, debug-log and NTP settings, the update counter and the
// directory commands, which this unit answers as a client never started.
//
// Threads and locks: every handler runs under the command lock on the thread
// of its client's line (see cmd.cpp); the directory client's lock is taken
// inside it by factset.
#include <cstddef>
#include <cstring>

#include "cmd_internal.h"
#include "cmdsrv.h"
#include "debug.h"
#include "helpers.h"
#include "listsrv.h"
#include "util.h"

namespace {

constexpr DWORD PORT_MAX = 65535;

// Argument record of logflag.
struct tagLOGFLAG_ARGS {
    BOOL bEnable;
    DWORD dwFlag;
};
typedef tagLOGFLAG_ARGS LOGFLAG_ARGS;

const CONFIG_TBL s_aLogFlagTbl[] = {
    {"enable", offsetof(LOGFLAG_ARGS, bEnable), CONFIG_TYPE::TYPE_BOOL, 0, nullptr, 0},
    {"flag", offsetof(LOGFLAG_ARGS, dwFlag), CONFIG_TYPE::TYPE_HEXDW, 0xFFFFFFFF, nullptr, 0},
};
constexpr int LOGFLAG_TBL_ROWS = sizeof(s_aLogFlagTbl) / sizeof(s_aLogFlagTbl[0]);

// Scratch record of the lock commands (used under the command lock only).
CONFIG_PARAM s_LockCommit;

// A port word 1 to 65535.
BOOL ParsePort(const char* pszWord, int* pnPort)
{
    DWORD dwPort = 0;
    if (!ParseDecimal(pszWord, PORT_MAX, &dwPort) || dwPort == 0) {
        return FALSE;
    }
    *pnPort = static_cast<int>(dwPort);
    return TRUE;
}

// A PassWord must read back from the configuration file as it was typed:
// the file's reader drops quotes and cuts a value at ';'.
BOOL IsStorablePassWord(const char* pszWord)
{
    return IsStorableText(pszWord) && std::strchr(pszWord, '"') == nullptr;
}

// Saves the live configuration with a new PassWord and lock switch and makes
// it live, leaving any other edit in the user's working copy uncommitted;
// the working copy takes the two fields too. FALSE (nothing changed) when the
// file could not be written.
BOOL CommitLock(USER_STATUS* pUser, const char* pszPassWord, BOOL bLockEnable)
{
    s_LockCommit = *CONFIG_Get();
    std::memset(s_LockCommit.szPassWord, 0, sizeof(s_LockCommit.szPassWord));
    _strlcpy(s_LockCommit.szPassWord, pszPassWord, sizeof(s_LockCommit.szPassWord));
    s_LockCommit.bLockEnable = bLockEnable;
    if (!CMD_SaveConfig(&s_LockCommit)) {
        return FALSE;
    }
    WriteBackConfig(&s_LockCommit);
    std::memcpy(pUser->ConfigParam.szPassWord, s_LockCommit.szPassWord, sizeof(s_LockCommit.szPassWord));
    pUser->ConfigParam.bLockEnable = bLockEnable;
    return TRUE;
}

}  // namespace

BOOL OnSaveConfig(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
    if (pUser != nullptr) {
        SetUserFlag(pUser, USER_FLAG_SAVE);
        Puts(pClient, CMD_REPLY_OK);
    }
    return TRUE;
}

BOOL OnGetVersion(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    USER_STATUS* pUser = GetUserStatus(pClient);
    if (pUser == nullptr) {
        Puts(pClient, CMD_REPLY_NG);
        return TRUE;
    }
    SetResetState(pUser, 0);
    ResetUserFlag(pUser, ~USER_FLAG_LOGON);
    Puts(pClient, CMD_VERSION_TEXT);
    return TRUE;
}

BOOL OnUpdate(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
    if (pUser == nullptr) {
        return TRUE;
    }
    DWORD dwFlags = GetUserFlags(pUser);
    ResetUserFlag(pUser, ~USER_FLAG_LOGON);
    if ((dwFlags & USER_FLAG_SAVE) != 0 && !CMD_SaveConfig(&pUser->ConfigParam)) {
        ShowError(pClient, ERR_HARDWARE);
        return TRUE;
    }
    if ((dwFlags & USER_FLAG_NETPARAM) != 0) {
        NET_SetAddress(&pUser->NetParam);
    }
    Puts(pClient, CMD_REPLY_OK);
    // A new address or setting port cuts a TCP client off: let it read the
    // reply and go before the unit core applies the change.
    if (IsNetworkClient(pClient) && (NET_IsChanged() || (dwFlags & USER_FLAG_RESTART) != 0)) {
        CmdServer_WaitForDisconnect(pClient, CMD_DISCONNECT_WAIT_MS);
    }
    WriteBackConfig(&pUser->ConfigParam);
    RaiseUpdate();
    return TRUE;
}

BOOL OnSetUdpPort(LPVOID pClient, int nArgc, char** pArgv)
{
    int nPort = 0;
    if (nArgc == 1) {
        USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
        if (pUser != nullptr) {
            Printf(pClient, "%d\r\n", pUser->ConfigParam.nTxUdpPort);
        }
        return TRUE;
    }
    if (nArgc != 2 || !ParsePort(pArgv[1], &nPort)) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
    if (pUser == nullptr) {
        return TRUE;
    }
    CONFIG_PARAM* pConfig = &pUser->ConfigParam;
    if (pConfig->nTxUdpPort != nPort || pConfig->nRxUdpPort != nPort) {
        DebugPrint("UDP port changed %d\n", nPort);
    }
    pConfig->nTxUdpPort = nPort;
    pConfig->nRxUdpPort = nPort;
    SetWriteBusy(pUser);
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnSetSettingPort(LPVOID pClient, int nArgc, char** pArgv)
{
    int nPort = 0;
    if (nArgc == 1) {
        USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
        if (pUser != nullptr) {
            Printf(pClient, "%d\r\n", pUser->ConfigParam.nSettingPort);
        }
        return TRUE;
    }
    if (nArgc != 2 || !ParsePort(pArgv[1], &nPort)) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
    if (pUser == nullptr) {
        return TRUE;
    }
    if (pUser->ConfigParam.nSettingPort != nPort) {
        pUser->ConfigParam.nSettingPort = nPort;
        DebugPrint("setting port changed %d\n", nPort);
        SetUserFlag(pUser, USER_FLAG_RESTART);
    }
    SetWriteBusy(pUser);
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnCheckPassWord(LPVOID pClient, int nArgc, char** pArgv)
{
    if (nArgc != 2) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, FALSE);
    if (pUser == nullptr) {
        return TRUE;
    }
    if (std::strcmp(pArgv[1], pUser->ConfigParam.szPassWord) == 0) {
        SetUserFlag(pUser, USER_FLAG_LOGON);
        Puts(pClient, CMD_REPLY_OK);
    } else {
        Puts(pClient, CMD_REPLY_NG);
    }
    return TRUE;
}

BOOL OnSetPassWord(LPVOID pClient, int nArgc, char** pArgv)
{
    if (nArgc != 3 || !IsStorablePassWord(pArgv[2])) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, FALSE);
    if (pUser == nullptr) {
        return TRUE;
    }
    CONFIG_PARAM* pConfig = &pUser->ConfigParam;
    if (std::strcmp(pArgv[1], pConfig->szPassWord) != 0) {
        Puts(pClient, CMD_REPLY_NG);
        return TRUE;
    }
    // Whoever changes the PassWord must open the lock with it again.
    ResetUserFlag(pUser, USER_FLAG_LOGON);
    if (std::strcmp(pArgv[2], pConfig->szPassWord) != 0 && !CommitLock(pUser, pArgv[2], pConfig->bLockEnable)) {
        ShowError(pClient, ERR_HARDWARE);
        return TRUE;
    }
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnSetLock(LPVOID pClient, int nArgc, char** pArgv)
{
    DWORD dwOn = 0;
    if (nArgc == 1) {
        USER_STATUS* pUser = GetCheckedUser(pClient, FALSE);
        if (pUser != nullptr) {
            Printf(pClient, "%d\r\n", pUser->ConfigParam.bLockEnable ? 1 : 0);
        }
        return TRUE;
    }
    if (nArgc != 3 || !ParseDecimal(pArgv[1], 1, &dwOn) || (dwOn == 1 && !IsStorablePassWord(pArgv[2]))) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, FALSE);
    if (pUser == nullptr) {
        return TRUE;
    }
    CONFIG_PARAM* pConfig = &pUser->ConfigParam;
    BOOL bAllowed =
        dwOn == 1 ? !pConfig->bLockEnable : pConfig->bLockEnable && std::strcmp(pArgv[2], pConfig->szPassWord) == 0;
    if (!bAllowed) {
        Puts(pClient, CMD_REPLY_NG);
        return TRUE;
    }
    const char* pszPassWord = dwOn == 1 ? pArgv[2] : pConfig->szPassWord;
    if (!CommitLock(pUser, pszPassWord, dwOn == 1 ? TRUE : FALSE)) {
        ShowError(pClient, ERR_HARDWARE);
        return TRUE;
    }
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnFactSettting(LPVOID pClient, int nArgc, char** pArgv)
{
    DWORD dwStep = 0;
    if (nArgc != 2 || !ParseDecimal(pArgv[1], 0xFFFFFFFF, &dwStep)) {
        return FALSE;
    }
    USER_STATUS* pUser = GetUserStatus(pClient);
    if (pUser == nullptr || dwStep != static_cast<DWORD>(pUser->nResetState)) {
        Puts(pClient, CMD_REPLY_NG);
        return TRUE;
    }
    if (dwStep == 0) {
        SetResetState(pUser, 1);
        Puts(pClient, CMD_REPLY_OK);
        return TRUE;
    }
    SetResetState(pUser, 0);
    ReloadConfig(pUser);
    CONFIG_PARAM* pConfig = &pUser->ConfigParam;
    CONFIG_Reset(pConfig);
    if (!CMD_SaveConfig(pConfig)) {
        ShowError(pClient, ERR_HARDWARE);
        return TRUE;
    }
    WriteBackConfig(pConfig);
    ListSrv_Lock();
    ListSrv_SetServID(pConfig->szServID);
    ListSrv_Unlock();
    RaiseUpdate();
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnSetLogFlag(LPVOID pClient, int nArgc, char** pArgv)
{
    if (nArgc == 1) {
        USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
        if (pUser != nullptr) {
            Printf(pClient, "enable=%d flag=%08X\r\n", pUser->ConfigParam.bLogEnable, pUser->ConfigParam.dwLogFlag);
        }
        return TRUE;
    }
    LOGFLAG_ARGS args;
    if (nArgc != 3 || !GetConfigParam(s_aLogFlagTbl, LOGFLAG_TBL_ROWS, &args, nArgc - 1, pArgv + 1)) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
    if (pUser == nullptr) {
        return TRUE;
    }
    pUser->ConfigParam.bLogEnable = args.bEnable;
    pUser->ConfigParam.dwLogFlag = args.dwFlag;
    SetWriteBusy(pUser);
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnSetNtp(LPVOID pClient, int nArgc, char** pArgv)
{
    DWORD dwEnable = 0;
    if (nArgc == 1) {
        USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
        if (pUser != nullptr) {
            Printf(pClient, "ntp %d \"%s\"\r\n", pUser->ConfigParam.bNtpEnable ? 1 : 0, pUser->ConfigParam.szNtpServer);
        }
        return TRUE;
    }
    if (nArgc != 3 || !ParseDecimal(pArgv[1], 1, &dwEnable)) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
    if (pUser == nullptr) {
        return TRUE;
    }
    str_remove_quotation(pArgv[2]);
    CONFIG_PARAM* pConfig = &pUser->ConfigParam;
    static_assert(sizeof(pConfig->szNtpServer) == CMD_NTP_SERVER_MAX + 1, "the NTP server field holds 255 characters");
    std::memset(pConfig->szNtpServer, 0, sizeof(pConfig->szNtpServer));
    _strlcpy(pConfig->szNtpServer, pArgv[2], sizeof(pConfig->szNtpServer));
    pConfig->bNtpEnable = static_cast<BOOL>(dwEnable);
    SetWriteBusy(pUser);
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnGetUpdateCount(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    if (GetCheckedUser(pClient, TRUE) != nullptr) {
        Printf(pClient, "%08X\r\n", GetUpdateCount());
    }
    return TRUE;
}

BOOL OnSetListServer(LPVOID pClient, int nArgc, char** pArgv)
{
    DWORD dwMode = 0;
    if (nArgc == 1) {
        USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
        if (pUser != nullptr) {
            Printf(pClient, "%d\r\n", pUser->ConfigParam.bListServer ? 1 : 0);
        }
        return TRUE;
    }
    if (nArgc != 2 || !ParseDecimal(pArgv[1], 1, &dwMode)) {
        return FALSE;
    }
    // The unit stays in the mode its configuration holds: nothing is stored.
    if (GetCheckedUser(pClient, TRUE) != nullptr) {
        Puts(pClient, CMD_REPLY_OK);
    }
    return TRUE;
}

BOOL OnGetListStatus(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    // The directory client is never started: always offline, no global address.
    if (GetCheckedUser(pClient, TRUE) != nullptr) {
        Printf(pClient, "status=%s globalip=%d.%d.%d.%d\r\n", "offline", 0, 0, 0, 0);
    }
    return TRUE;
}

BOOL OnDirectoryCommand(LPVOID, int, char**)
{
    return FALSE;
}
