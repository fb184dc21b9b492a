// cmd_target: the command handlers of the target list and the peer links —
// connect and disconnect, a target's link state, its address and enable, the
// whole enable row, the entry listing and editing, this repeater's own
// description, and the peer search.
//
// Threads and locks: every handler runs under the command lock on the thread
// of its client's line (see cmd.cpp); the unit core's calls take its own
// locks.
#include <cstddef>
#include <cstring>

#include "cmd_internal.h"
#include "debug.h"
#include "helpers.h"
#include "server.h"
#include "util.h"

namespace {

constexpr int SCTABLE_TEXT_SIZE = 2 * CONFIG_SCTABLE_SIZE + 1;

// setdest's keys in "Fixed IP" mode.
const CONFIG_TBL s_aDestTblFixed[] = {
    {"enable", offsetof(TARGET_INFO, bEnable), CONFIG_TYPE::TYPE_BOOL, 0, nullptr, 0},
    {"target", offsetof(TARGET_INFO, dwTargetIP), CONFIG_TYPE::TYPE_IP, 0, nullptr, 0},
    {"memo", offsetof(TARGET_INFO, szMemo), CONFIG_TYPE::TYPE_STR, 0, "", CONFIG_MEMO_SIZE},
};
// setdest's keys in "ListServer" mode.
const CONFIG_TBL s_aDestTblList[] = {
    {"enable", offsetof(TARGET_INFO, bEnable), CONFIG_TYPE::TYPE_BOOL, 0, nullptr, 0},
    {"callsign", offsetof(TARGET_INFO, szCallSign), CONFIG_TYPE::TYPE_STR, 0, "", CONFIG_CALLSIGN_SIZE},
    {"radioid", offsetof(TARGET_INFO, szRadioID), CONFIG_TYPE::TYPE_STR, 0, "", CONFIG_RADIOID_SIZE},
    {"memo", offsetof(TARGET_INFO, szMemo), CONFIG_TYPE::TYPE_STR, 0, "", CONFIG_MEMO_SIZE},
};
constexpr int DEST_TBL_FIXED_ROWS = sizeof(s_aDestTblFixed) / sizeof(s_aDestTblFixed[0]);
constexpr int DEST_TBL_LIST_ROWS = sizeof(s_aDestTblList) / sizeof(s_aDestTblList[0]);

// The last search's results (used under the command lock only).
SEARCH_RESULT s_aSearchResult[SERVER_TARGET_COUNT];

const char* StatusWord(CLIENT_STATUS eStatus)
{
    switch (eStatus) {
        case CONNECTING:
            return "connecting\r\n";
        case CONNECTED:
            return "connected\r\n";
        case DISCONNECTING:
            return "disconnecting\r\n";
        case WAIT_DISCONNECT:
            return "wait disconnect\r\n";
        default:
            return "idle\r\n";
    }
}

void SetEnableOf(TARGET_INFO* pTarget, BOOL bEnable)
{
    if (pTarget->bEnable != bEnable) {
        pTarget->bEnable = bEnable;
        pTarget->bChanged = TRUE;
    }
}

// The call sign and radio ID a peer told, as a reply may carry them.
struct PeerNames {
    char szCallSign[CONFIG_CALLSIGN_SIZE];
    char szRadioID[CONFIG_RADIOID_SIZE];
};
PeerNames SafeNames(const char* pszCallSign, const char* pszRadioID)
{
    PeerNames names;
    str_safe_text(names.szCallSign, pszCallSign, CONFIG_CALLSIGN_SIZE - 1);
    str_safe_text(names.szRadioID, pszRadioID, CONFIG_RADIOID_SIZE - 1);
    return names;
}

BOOL SendDestLine(LPVOID pClient, int nIndex, const TARGET_INFO* pTarget, BOOL bListServer)
{
    char szTable[SCTABLE_TEXT_SIZE];
    bytes2str(szTable, pTarget->abySCTable, CONFIG_SCTABLE_SIZE);
    PeerNames names = SafeNames(pTarget->szCallSign, pTarget->szRadioID);
    char szCurrent[40] = "";
    if (bListServer) {
        _snprintf(szCurrent, sizeof(szCurrent), " currentip=%s", Dotted(pTarget->dwCurrentIP).sz);
    }
    return Printf(pClient,
                  "getdest %d enable=%d target=%s sctbl=%s callsign=\"%s\" radioid=\"%s\" memo=\"%.*s\"%s "
                  "loc_dgid=%02X def_dgid=%02X\r\n",
                  nIndex, pTarget->bEnable ? 1 : 0, Dotted(pTarget->dwTargetIP).sz, szTable, names.szCallSign,
                  names.szRadioID, CONFIG_MEMO_SIZE - 1, pTarget->szMemo, szCurrent, pTarget->byLocDGID,
                  pTarget->byDefDGID);
}

BOOL SendSearchLine(LPVOID pClient, const SEARCH_RESULT* pResult)
{
    char szTable[SCTABLE_TEXT_SIZE];
    bytes2str(szTable, pResult->abySCTable, CONFIG_SCTABLE_SIZE);
    const BYTE* mac = pResult->MacAdrs.abyAdrs;
    PeerNames names = SafeNames(pResult->szCallSign, pResult->szRadioID);
    return Printf(pClient,
                  "searchres OK target=%s vers=%08X mac=%02X:%02X:%02X:%02X:%02X:%02X callsign=\"%s\" "
                  "radioid=\"%s\" sctbl=%s listsrv=%d loc_dgid=%02X def_dgid=%02X\r\n",
                  Dotted(pResult->ulAdrs).sz, pResult->dwVers, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5],
                  names.szCallSign, names.szRadioID, szTable, pResult->bListServer, pResult->byLocDGID,
                  pResult->byDefDGID);
}

// The entry's texts must read back from the configuration file as given.
BOOL IsStorableEntry(const TARGET_INFO* pTarget)
{
    return IsStorableText(pTarget->szCallSign) && IsStorableText(pTarget->szRadioID) && IsStorableText(pTarget->szMemo);
}

// What a new address or radio identifier invalidates, and the change mark.
void MarkDestChanges(const TARGET_INFO* pOld, TARGET_INFO* pNew, BOOL bListServer)
{
    if (pNew->bEnable != pOld->bEnable) {
        pNew->bChanged = TRUE;
    }
    if (!bListServer && pNew->dwTargetIP != pOld->dwTargetIP) {
        std::memset(pNew->szCallSign, 0, sizeof(pNew->szCallSign));
        std::memset(pNew->szRadioID, 0, sizeof(pNew->szRadioID));
        std::memset(pNew->abySCTable, 0, sizeof(pNew->abySCTable));
        pNew->bChanged = TRUE;
    }
    if (bListServer && std::strcmp(pNew->szRadioID, pOld->szRadioID) != 0) {
        pNew->bChanged = TRUE;
        pNew->dwCurrentIP = 0;
        std::memset(pNew->abySCTable, 0, sizeof(pNew->abySCTable));
    }
}

}  // namespace

BOOL OnConnect(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    Server_Connect();
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnDisconnect(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    Server_Disconnect();
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnGetStatus(LPVOID pClient, int nArgc, char** pArgv)
{
    DWORD dwIndex = 0;
    CLIENT_STATUS eStatus = NONE;
    if (nArgc != 2 || !ParseDecimal(pArgv[1], 0xFFFFFFFF, &dwIndex) || !Server_GetTargetStatus(dwIndex, &eStatus)) {
        return FALSE;
    }
    Puts(pClient, StatusWord(eStatus));
    return TRUE;
}

BOOL OnSetTarget(LPVOID pClient, int nArgc, char** pArgv)
{
    int nIndex = 0;
    DWORD dwAdrs = 0;
    if ((nArgc != 2 && nArgc != 3) || !ParseTargetIndex(pArgv[1], &nIndex) ||
        (nArgc == 3 && !str2ipadrs(pArgv[2], &dwAdrs))) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
    if (pUser == nullptr) {
        return TRUE;
    }
    TARGET_INFO* pTarget = &pUser->ConfigParam.aTargetInfo[nIndex];
    if (nArgc == 2) {
        Printf(pClient, "%s\r\n", Dotted(pTarget->dwTargetIP).sz);
        return TRUE;
    }
    if (pTarget->dwTargetIP != dwAdrs) {
        pTarget->dwTargetIP = dwAdrs;
        pTarget->bChanged = TRUE;
    }
    SetWriteBusy(pUser);
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnSetEnable(LPVOID pClient, int nArgc, char** pArgv)
{
    int nIndex = 0;
    DWORD dwEnable = 0;
    if ((nArgc != 2 && nArgc != 3) || !ParseTargetIndex(pArgv[1], &nIndex) ||
        (nArgc == 3 && !ParseDecimal(pArgv[2], 1, &dwEnable))) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
    if (pUser == nullptr) {
        return TRUE;
    }
    TARGET_INFO* pTarget = &pUser->ConfigParam.aTargetInfo[nIndex];
    if (nArgc == 2) {
        Printf(pClient, "%d\r\n", pTarget->bEnable ? 1 : 0);
        return TRUE;
    }
    SetEnableOf(pTarget, dwEnable != 0 ? TRUE : FALSE);
    SetWriteBusy(pUser);
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnSetEnableAll(LPVOID pClient, int nArgc, char** pArgv)
{
    if (nArgc == 2) {
        // The first 100 characters count; a shorter word stops at its end.
        for (int i = 0; i < CONFIG_MAX_TARGET; ++i) {
            if (pArgv[1][i] != '0' && pArgv[1][i] != '1') {
                return FALSE;
            }
        }
    } else if (nArgc != 1) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
    if (pUser == nullptr) {
        return TRUE;
    }
    TARGET_INFO* aTarget = pUser->ConfigParam.aTargetInfo;
    if (nArgc == 1) {
        char szRow[CONFIG_MAX_TARGET + 3];
        for (int i = 0; i < CONFIG_MAX_TARGET; ++i) {
            szRow[i] = aTarget[i].bEnable ? '1' : '0';
        }
        std::memcpy(szRow + CONFIG_MAX_TARGET, "\r\n", 3);
        Puts(pClient, szRow);
        return TRUE;
    }
    for (int i = 0; i < CONFIG_MAX_TARGET; ++i) {
        SetEnableOf(&aTarget[i], pArgv[1][i] == '1' ? TRUE : FALSE);
    }
    SetWriteBusy(pUser);
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnGetDestList(LPVOID pClient, int nArgc, char** pArgv)
{
    int nFrom = 0;
    int nTo = 0;
    if (nArgc < 3 || !ParseTargetIndex(pArgv[1], &nFrom) || !ParseTargetIndex(pArgv[2], &nTo) || nFrom > nTo) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
    if (pUser == nullptr) {
        return TRUE;
    }
    const CONFIG_PARAM* pConfig = &pUser->ConfigParam;
    for (int n = nFrom; n <= nTo; ++n) {
        if (!SendDestLine(pClient, n, &pConfig->aTargetInfo[n], pConfig->bListServer)) {
            DebugPrint("WARNING: Puts() failed\n");
            break;
        }
    }
    return TRUE;
}

BOOL OnSetDestList(LPVOID pClient, int nArgc, char** pArgv)
{
    int nIndex = 0;
    DWORD dwReply = 0;
    if (nArgc < 4 || !ParseTargetIndex(pArgv[1], &nIndex) || !ParseDecimal(pArgv[2], 0xFFFFFFFF, &dwReply)) {
        return FALSE;
    }
    USER_STATUS* pUser = GetUserStatus(pClient);
    if (pUser == nullptr) {
        Puts(pClient, CMD_REPLY_NG);
        return TRUE;
    }
    ReloadConfig(pUser);
    BOOL bListServer = pUser->ConfigParam.bListServer;
    const TARGET_INFO* pOld = &pUser->ConfigParam.aTargetInfo[nIndex];
    TARGET_INFO entry = *pOld;
    BOOL bParsed = bListServer ? GetConfigParam(s_aDestTblList, DEST_TBL_LIST_ROWS, &entry, nArgc - 3, pArgv + 3)
                               : GetConfigParam(s_aDestTblFixed, DEST_TBL_FIXED_ROWS, &entry, nArgc - 3, pArgv + 3);
    if (!bParsed || !IsStorableEntry(&entry)) {
        return FALSE;
    }
    if (!IsAutholized(pUser)) {
        Puts(pClient, CMD_REPLY_NG);
        return TRUE;
    }
    MarkDestChanges(pOld, &entry, bListServer);
    pUser->ConfigParam.aTargetInfo[nIndex] = entry;
    SetWriteBusy(pUser);
    if (dwReply != 0) {
        Puts(pClient, CMD_REPLY_OK);
    }
    return TRUE;
}

BOOL OnGetMyRepInfo(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    if (GetCheckedUser(pClient, TRUE) == nullptr) {
        return TRUE;
    }
    MY_REPEATER_INFO info;
    Server_GetMyRepeaterInfo(&info);
    char szTable[SCTABLE_TEXT_SIZE];
    bytes2str(szTable, info.abySCTable, CONFIG_SCTABLE_SIZE);
    Printf(pClient,
           "myrep name=\"%.*s\" dst=\"%.*s\" type=\"%.*s\" version=\"%.*s\" date=\"%.*s\" radioid=\"%.*s\" "
           "callsign=\"%.*s\" sctbl=%s loc_dgid=%02X def_dgid=%02X\r\n",
           static_cast<int>(sizeof(info.szName) - 1), info.szName, static_cast<int>(sizeof(info.szDST) - 1), info.szDST,
           static_cast<int>(sizeof(info.szType) - 1), info.szType, static_cast<int>(sizeof(info.szVersion) - 1),
           info.szVersion, static_cast<int>(sizeof(info.szDate) - 1), info.szDate,
           static_cast<int>(sizeof(info.szRadioID) - 1), info.szRadioID, static_cast<int>(sizeof(info.szCallSign) - 1),
           info.szCallSign, szTable, info.byLocDGID, info.byDefDGID);
    return TRUE;
}

BOOL OnStartSearch(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    if (GetCheckedUser(pClient, TRUE) != nullptr) {
        Server_SearchReq();  // a search already running is left alone
        Puts(pClient, CMD_REPLY_OK);
    }
    return TRUE;
}

BOOL OnGetSearchRes(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    if (GetCheckedUser(pClient, TRUE) == nullptr) {
        return TRUE;
    }
    if (!Server_GetSearchResult(s_aSearchResult)) {
        Puts(pClient, "searchres BUSY\r\n");
        return TRUE;
    }
    for (const SEARCH_RESULT& result : s_aSearchResult) {
        if (result.ulAdrs != 0 && !SendSearchLine(pClient, &result)) {
            DebugPrint("WARNING: Puts() failed\n");
            return TRUE;
        }
    }
    Puts(pClient, "searchres END\r\n");
    return TRUE;
}
