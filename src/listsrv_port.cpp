// listsrv_port: the UDP side of the directory client. Health checks tell a
// list server that the unit is alive and which repeaters it follows; the
// answers prove the server reachable and bring the current addresses of those
// repeaters and of the unit itself. Port checks ask a server to send a
// datagram to a given UDP port of the unit. This file counts the answers per
// server (the search engine watches the counters), keeps the port-check
// entries (the main receive port, served by the unit core's socket, and up to
// eight further ports with sockets of their own), runs the port-check thread
// that listens on the further sockets, and sends the list thread's periodic
// health check.
//
// Threads: the unit core's receiving thread (ListSrv_OnRxHealthCheck,
// ListSrv_OnRxPortCheck), the port-check thread, the list thread, callers of
// ListSrv_PortCheck and ListSrv_DbgHealthCheck. Locks: s_csPortCheck before
// s_csList; neither is held across a wait, and the callback runs outside both.
#include <poll.h>

#include <cerrno>
#include <cstring>

#include "debug.h"
#include "helpers.h"
#include "listsrv_internal.h"
#include "util.h"

namespace lsv {

namespace {

constexpr DWORD DBG_HEALTH_POLL_MS = 50;

// The entry that serves nPort (s_csPortCheck held): the main entry for the
// main receive port, else a used further entry; null when none.
PORT_CHECK_INFO* FindPortCheckLocked(int nPort)
{
    if (s_PortCheckMain.nUsed > 0 && s_PortCheckMain.nPort == nPort) {
        return &s_PortCheckMain;
    }
    for (PORT_CHECK_INFO& info : s_aPortCheckInfo) {
        if (info.nUsed > 0 && info.nPort == nPort) {
            return &info;
        }
    }
    return nullptr;
}

// Closes a further entry's socket and lowers the open count (s_csPortCheck held).
void CloseFurtherSocketLocked(PORT_CHECK_INFO& info)
{
    if (info.pSock == nullptr) {
        return;
    }
    Sock_Disconnect(info.pSock);
    info.pSock = nullptr;
    --s_nPortCheckCnt;
    if (s_nPortCheckCnt <= 0) {
        s_nPortCheckCnt = 0;
        if (s_hEvPortCheck != nullptr) {
            ResetEvent(s_hEvPortCheck);
        }
    }
}

void FreeFurtherLocked(PORT_CHECK_INFO& info)
{
    CloseFurtherSocketLocked(info);
    info = PORT_CHECK_INFO{};
}

BOOL OpenFurtherLocked(PORT_CHECK_INFO& info, int nPort)
{
    NPSOCK_PARAM pSock = Sock_GetSocket(FALSE);
    if (pSock == nullptr) {
        DebugPrint("[W] socket(SOCK_DGRAM) failed\n");
        return FALSE;
    }
    if (!Sock_Bind(pSock, static_cast<WORD>(nPort), 0)) {
        DebugPrint("[W] bind(%d) failed\n", nPort);
        Sock_Disconnect(pSock);
        return FALSE;
    }
    info = PORT_CHECK_INFO{};
    info.nPort = nPort;
    info.nUsed = 1;
    info.pSock = pSock;
    ++s_nPortCheckCnt;
    SetEvent(s_hEvPortCheck);
    return TRUE;
}

BOOL AddPortCheck(int nPort)
{
    if (nPort <= 0 || nPort > 0xFFFF) {
        return FALSE;
    }
    EnterCriticalSection(&s_csPortCheck);
    BOOL bOk = TRUE;
    PORT_CHECK_INFO* pInfo = FindPortCheckLocked(nPort);
    if (pInfo == &s_PortCheckMain) {
        // The unit core's socket receives on the main port.
    } else if (pInfo != nullptr) {
        ++pInfo->nUsed;
    } else {
        bOk = FALSE;
        for (PORT_CHECK_INFO& info : s_aPortCheckInfo) {
            if (info.nUsed == 0) {
                bOk = OpenFurtherLocked(info, nPort);
                break;
            }
        }
    }
    LeaveCriticalSection(&s_csPortCheck);
    return bOk;
}

void DeletePortCheck(int nPort)
{
    EnterCriticalSection(&s_csPortCheck);
    PORT_CHECK_INFO* pInfo = FindPortCheckLocked(nPort);
    if (pInfo != nullptr && pInfo != &s_PortCheckMain && --pInfo->nUsed <= 0) {
        FreeFurtherLocked(*pInfo);
    }
    LeaveCriticalSection(&s_csPortCheck);
}

// Counts a port check answer from dwAdrs into an entry (both locks held).
void CountPortCheckLocked(PORT_CHECK_INFO& info, DWORD dwAdrs)
{
    int nIndex = FindServerLocked(dwAdrs);
    if (nIndex >= 0) {
        ++info.adwRxPortCheckCnt[nIndex];
    }
}

// The radio ID of a port check answer against the unit's (s_csList held).
BOOL IsOwnRadioIDLocked(const char* pszRadioID)
{
    BYTE abyOwn[RADIO_ID_CHARS];
    PutField(abyOwn, RADIO_ID_CHARS, s_szRadioID);
    if (std::memcmp(abyOwn, pszRadioID, RADIO_ID_CHARS) != 0) {
        DebugPrint("[W] port check id mismatch\n");
        return FALSE;
    }
    return TRUE;
}

// One datagram on a further socket (s_csPortCheck held).
BOOL OnRxPortCheck(PORT_CHECK_INFO& info)
{
    BYTE abyData[UDP_RX_MAX];
    ULONG ulFrom = 0;
    int nLen = Sock_ReceiveFrom(info.pSock, abyData, sizeof(abyData), 0, &ulFrom, 0);
    if (nLen < 0) {
        DebugPrint("[W] Sock_ReceiveFrom() failed\n");
        CloseFurtherSocketLocked(info);  // the entry stays in use until its port is removed
        return FALSE;
    }
    DebugDump("Rx PORT CHECK 2", abyData, nLen);
    char szRadioID[RADIO_ID_CHARS + 1];
    if (!ListSrv_ParsePortCheckRes(abyData, nLen, szRadioID)) {
        return FALSE;
    }
    EnterCriticalSection(&s_csList);
    BOOL bOwn = IsOwnRadioIDLocked(szRadioID);
    if (bOwn) {
        CountPortCheckLocked(info, ulFrom);
    }
    LeaveCriticalSection(&s_csList);
    return bOwn;
}

// The open further sockets (s_csPortCheck taken): their number.
int CollectPortSockets(pollfd* aFds, int* anEntry, NPSOCK_PARAM* apSock)
{
    int n = 0;
    EnterCriticalSection(&s_csPortCheck);
    for (int i = 0; i < LISTSRV_SERVER_MAX; ++i) {
        const PORT_CHECK_INFO& info = s_aPortCheckInfo[i];
        if (info.nUsed > 0 && info.pSock != nullptr) {
            aFds[n] = pollfd{info.pSock->sock.load(), POLLIN, 0};
            anEntry[n] = i;
            apSock[n++] = info.pSock;
        }
    }
    LeaveCriticalSection(&s_csPortCheck);
    return n;
}

// Serves the further sockets until none is left or the module stops.
void ServePortSockets()
{
    while (!s_bStopReq.load()) {
        pollfd aFds[LISTSRV_SERVER_MAX];
        int anEntry[LISTSRV_SERVER_MAX];
        NPSOCK_PARAM apSock[LISTSRV_SERVER_MAX];
        int n = CollectPortSockets(aFds, anEntry, apSock);
        if (n == 0) {
            return;
        }
        int ret = poll(aFds, static_cast<nfds_t>(n), static_cast<int>(IO_POLL_MS));
        if (ret < 0) {
            if (!s_bStopReq.load()) {
                DebugPrint("[W] select() failed. error=%d\n", errno);
            }
            return;
        }
        EnterCriticalSection(&s_csPortCheck);
        for (int k = 0; k < n && ret > 0; ++k) {
            PORT_CHECK_INFO& info = s_aPortCheckInfo[anEntry[k]];
            // The entry may have been freed and reopened meanwhile: only a
            // socket that is still the same and readable now is read.
            if (aFds[k].revents != 0 && info.pSock == apSock[k] && Sock_WaitForReceive(info.pSock, 0) == 1) {
                OnRxPortCheck(info);
            }
        }
        LeaveCriticalSection(&s_csPortCheck);
    }
}

// Applies the "S" entries of a health check answer; TRUE when a followed
// repeater's address changed.
BOOL ApplyHealthEntries(const HEALTH_CHECK_RES_V* aRes, int nNum)
{
    BOOL bChanged = FALSE;
    int nNoData = 0;
    EnterCriticalSection(&s_csList);
    for (int i = 0; i < nNum; ++i) {
        if (aRes[i].dwServID == 0) {
            ++nNoData;
            continue;
        }
        // Every target that follows the repeater gets its address, as every
        // one got the repeater's record from the list retrieval.
        BOOL bMatched = FALSE;
        for (LIST_GET_RES_WORK& res : s_aListGetResWork) {
            if (res.dwServID != aRes[i].dwServID) {
                continue;
            }
            bMatched = TRUE;
            if (res.Param.dwIpAddr != aRes[i].dwIpAddr) {
                res.Param.dwIpAddr = aRes[i].dwIpAddr;
                res.bChanged = TRUE;
                bChanged = TRUE;
            }
        }
        if (!bMatched && aRes[i].dwServID == s_dwServID) {
            s_dwGlobalIP = aRes[i].dwIpAddr;
        }
    }
    LeaveCriticalSection(&s_csList);
    s_nHealthNoDataCount.store(nNoData);
    return bChanged;
}

// Whether dwAdrs is one of the list servers in the table.
bool IsKnownServer(DWORD dwAdrs)
{
    EnterCriticalSection(&s_csList);
    bool bKnown = FindServerLocked(dwAdrs) >= 0;
    LeaveCriticalSection(&s_csList);
    return bKnown;
}

// Counts a health check answer from dwAdrs: -1 unknown sender, 1 the unit
// went online, 0 otherwise.
int CountHealthAnswer(DWORD dwAdrs)
{
    int nResult = -1;
    EnterCriticalSection(&s_csList);
    int nIndex = FindServerLocked(dwAdrs);
    if (nIndex >= 0) {
        nResult = 0;
        ++s_aListServInfo[nIndex].dwRxHealthCheckCnt;
        DebugPrint("health check detect %d.%d.%d.%d\n", LSV_IP(dwAdrs));
        if (dwAdrs == s_dwCurrServerIP) {
            s_dwTmRxIdleTime = GetTickCount();
            if (s_nListState == LIST_STATE_READY) {
                SetListStateLocked(LIST_STATE_ONLINE);
                nResult = 1;
            }
        }
    }
    LeaveCriticalSection(&s_csList);
    return nResult;
}

void ResetEntry(PORT_CHECK_INFO& info)
{
    info = PORT_CHECK_INFO{};
}

// Sends the testing health check and waits for the current server's answer.
WORD RunDbgHealthCheck(DWORD dwCurr, int nTxPort, int nRxPort, DWORD dwCount0)
{
    DebugPrint("tx health check %d.%d.%d.%d\n", LSV_IP(dwCurr));
    if (!TxHealthCheck(s_pUdpSock, nTxPort, dwCurr, nRxPort, TRUE)) {
        DebugPrint("[W] TxHealthCheck() faild\n");
        return LISTSRV_ERR_COMM;
    }
    DWORD dwStart = GetTickCount();
    DWORD dwLastTx = dwStart;
    for (;;) {
        if (WaitForSingleObject(s_hEvCancel, DBG_HEALTH_POLL_MS) != WAIT_TIMEOUT || s_bStopReq.load()) {
            return LISTSRV_ERR_CANCELED;
        }
        DWORD dwCount = dwCount0;
        GetHealthCheckCount(dwCurr, &dwCount);
        if (dwCount != dwCount0) {
            DebugPrint("health check detect\n");
            return LISTSRV_RES_OK;
        }
        DWORD dwNow = GetTickCount();
        if (dwNow - dwStart > PROBE_TIMEOUT_MS) {
            DebugPrint("[W] health check timeout\n");
            return LISTSRV_ERR_COMM;
        }
        if (dwNow - dwLastTx >= PROBE_RESEND_MS) {
            dwLastTx = dwNow;
            if (!TxHealthCheck(s_pUdpSock, nTxPort, dwCurr, nRxPort, TRUE)) {
                DebugPrint("[W] TxHealthCheck() faild\n");
                return LISTSRV_ERR_COMM;
            }
        }
    }
}

// Runs the testing health check only while the module is started. The caller
// is counted in s_nDbgHealthCallers first, so ListSrv_Stop (which clears
// s_bStarted, cancels and then waits for the count to drop) never frees the
// UDP socket under a check that is still sending on it.
WORD RunDbgHealthCheckWhileStarted(DWORD dwCurr, int nTxPort, DWORD dwCount0)
{
    s_nDbgHealthCallers.fetch_add(1);
    WORD wResCode = LISTSRV_ERR_NOT_READY;
    if (s_bStarted.load()) {
        wResCode = RunDbgHealthCheck(dwCurr, nTxPort, ListSrv_GetRxUdpPort(), dwCount0);
    }
    s_nDbgHealthCallers.fetch_sub(1);
    return wResCode;
}

// Writes the testing IDs into the result table (s_csList held).
void WriteDbgServIDsLocked(const char* const* apszServIDs, int n)
{
    s_bGetListReq.store(FALSE);
    std::memset(s_aListGetResWork, 0, sizeof(s_aListGetResWork));
    for (int i = 0; i < n; ++i) {
        LIST_GET_RES_WORK& res = s_aListGetResWork[i];
        const char* pszID = apszServIDs[i] != nullptr ? apszServIDs[i] : "";
        _strlcpy(res.Param.szServID, pszID, sizeof(res.Param.szServID));
        DWORD dwValue = 0;
        int nLen = static_cast<int>(std::strlen(res.Param.szServID));
        res.dwServID = nLen > 0 && decstr2dword(res.Param.szServID, nLen, &dwValue) ? (dwValue | SERV_ID_PRESENT) : 0;
        res.bChanged = TRUE;
    }
}

}  // namespace

void ResetPortChecks()
{
    EnterCriticalSection(&s_csPortCheck);
    for (PORT_CHECK_INFO& info : s_aPortCheckInfo) {
        FreeFurtherLocked(info);
    }
    s_nPortCheckCnt = 0;
    // The main port is a setting of the unit core: it survives the reset.
    ResetEntry(s_PortCheckMain);
    if (s_nRxUdpPort != 0) {
        s_PortCheckMain.nPort = s_nRxUdpPort;
        s_PortCheckMain.nUsed = 1;
    }
    LeaveCriticalSection(&s_csPortCheck);
}

BOOL GetHealthCheckCount(DWORD dwAdrs, DWORD* pdwCount)
{
    EnterCriticalSection(&s_csList);
    int nIndex = FindServerLocked(dwAdrs);
    if (nIndex >= 0) {
        *pdwCount = s_aListServInfo[nIndex].dwRxHealthCheckCnt;
    }
    LeaveCriticalSection(&s_csList);
    return nIndex >= 0;
}

BOOL GetPortCheckCount(int nPort, DWORD dwAdrs, DWORD* pdwCount)
{
    EnterCriticalSection(&s_csPortCheck);
    EnterCriticalSection(&s_csList);
    PORT_CHECK_INFO* pInfo = FindPortCheckLocked(nPort);
    int nIndex = FindServerLocked(dwAdrs);
    BOOL bFound = pInfo != nullptr && nIndex >= 0;
    if (bFound) {
        *pdwCount = pInfo->adwRxPortCheckCnt[nIndex];
    }
    LeaveCriticalSection(&s_csList);
    LeaveCriticalSection(&s_csPortCheck);
    return bFound;
}

DWORD PortCheckThread(LPVOID)
{
    DebugPrint("start port check thread\n");
    while (!s_bStopReq.load()) {
        WaitForSingleObject(s_hEvPortCheck, INFINITE);
        if (s_bStopReq.load()) {
            break;
        }
        ServePortSockets();
    }
    DebugPrint("end port check thread\n");
    return 0;
}

DWORD OnHealthCheckStep()
{
    EnterCriticalSection(&s_csList);
    if (s_szServID[0] == '\0' || GetTickCount() - s_dwTmRxIdleTime > IDLE_LIMIT_MS) {
        BOOL bOffline = s_szServID[0] != '\0';
        s_dwCurrServerIP = 0;
        BOOL bChanged = SetListStateLocked(bOffline ? LIST_STATE_SEARCH : LIST_STATE_WAIT_ID);
        LeaveCriticalSection(&s_csList);
        if (bOffline) {
            DebugLog(LOG_CAT_WARNING, "[W] list server offline !!\n");
        }
        if (bOffline || bChanged) {
            RaiseEvent(LISTSRV_EVENT_STATUS_CHANGED);
        }
        return STEP_MS;
    }
    DWORD dwNow = GetTickCount();
    BOOL bDue = dwNow - s_dwTmTxHealthCheck >= HEALTH_PERIOD_MS;
    DWORD dwCurr = s_dwCurrServerIP;
    int nTxPort = s_nTxUdpPort;
    if (bDue) {
        s_dwTmTxHealthCheck = dwNow;
    }
    LeaveCriticalSection(&s_csList);
    if (bDue) {
        // A failure is reported by the send and not retried before the next period.
        TxHealthCheck(s_pUdpSock, nTxPort, dwCurr, ListSrv_GetRxUdpPort(), TRUE);
    }
    return STEP_MS;
}

}  // namespace lsv

using namespace lsv;

void ListSrv_SetRxUdpPort(int nPort)
{
    EnterCriticalSection(&s_csPortCheck);
    s_nRxUdpPort = nPort;
    // The main socket now serves the port: a further entry for it is no longer needed.
    for (PORT_CHECK_INFO& info : s_aPortCheckInfo) {
        if (info.nUsed > 0 && info.nPort == nPort) {
            FreeFurtherLocked(info);
        }
    }
    s_PortCheckMain.nPort = nPort;
    s_PortCheckMain.nUsed = 1;
    LeaveCriticalSection(&s_csPortCheck);
}

int ListSrv_GetRxUdpPort()
{
    EnterCriticalSection(&s_csPortCheck);
    int nPort = s_nRxUdpPort;
    LeaveCriticalSection(&s_csPortCheck);
    return nPort;
}

BOOL ListSrv_OnRxHealthCheck(const void* pParam, int nLength, DWORD dwAdrs)
{
    if (s_bStopReq.load()) {
        return FALSE;
    }
    const BYTE* pData = static_cast<const BYTE*>(pParam);
    DebugDump("Rx HEALTH CHECK", pData, nLength);
    if (!ListSrv_CheckUdpRes(pData, nLength, CMD_HEALTH_CHECK, UDP_RES_COMMON_LEN)) {
        return FALSE;
    }
    if (!IsKnownServer(dwAdrs)) {
        // Addresses are taken only from the list servers in the table, so a
        // stray datagram cannot redirect the followed repeaters.
        DebugPrint("[W] health check from unknown server %d.%d.%d.%d\n", LSV_IP(dwAdrs));
        return FALSE;
    }
    // The answer's addresses are in place before it can make the unit
    // online, so nobody sees the unit online without the address the
    // server sees it at.
    HEALTH_CHECK_RES_V aRes[LISTSRV_HEALTH_RES_MAX];
    int nNum = 0;
    BOOL bParsed = ListSrv_ParseHealthCheckRes(pData, nLength, aRes, LISTSRV_HEALTH_RES_MAX, &nNum);
    bool bAddrChanged = bParsed && ApplyHealthEntries(aRes, nNum);
    int nCount = CountHealthAnswer(dwAdrs);
    if (nCount > 0) {
        DebugLog(LOG_CAT_INFO, "[I] list server online\n");
    }
    if (bAddrChanged) {
        RaiseEvent(LISTSRV_EVENT_ADDR_CHANGED);
    }
    if (nCount > 0) {
        RaiseEvent(LISTSRV_EVENT_STATUS_CHANGED);
    }
    return bParsed;
}

BOOL ListSrv_OnRxPortCheck(const void* pParam, int nLength, DWORD dwAdrs, int nPort)
{
    if (s_bStopReq.load()) {
        return FALSE;
    }
    const BYTE* pData = static_cast<const BYTE*>(pParam);
    DebugDump("Rx PORT CHECK", pData, nLength);
    char szRadioID[RADIO_ID_CHARS + 1];
    if (!ListSrv_ParsePortCheckRes(pData, nLength, szRadioID)) {
        return FALSE;
    }
    EnterCriticalSection(&s_csPortCheck);
    EnterCriticalSection(&s_csList);
    BOOL bOwn = IsOwnRadioIDLocked(szRadioID);
    PORT_CHECK_INFO* pInfo = bOwn ? FindPortCheckLocked(nPort) : nullptr;
    if (pInfo != nullptr) {
        CountPortCheckLocked(*pInfo, dwAdrs);
        DebugPrint("port check detect %d\n", nPort);
    }
    LeaveCriticalSection(&s_csList);
    LeaveCriticalSection(&s_csPortCheck);
    return bOwn;
}

BOOL ListSrv_PortCheck(int nPort, WORD* pwResCode)
{
    DebugLog(LOG_CAT_INFO, "[I] port check\n");
    if (s_bStopReq.load()) {
        DebugLog(LOG_CAT_WARNING, "[W] port check canceled\n");
        *pwResCode = LISTSRV_ERR_CANCELED;
        return FALSE;
    }
    EnterCriticalSection(&s_csList);
    BOOL bReady = s_bStarted.load() && s_nListState >= LIST_STATE_WAIT_ID;
    int nTxPort = s_nTxUdpPort;
    LeaveCriticalSection(&s_csList);
    if (!bReady) {
        DebugLog(LOG_CAT_WARNING, "[W] now list-sever is offline\n");
        *pwResCode = LISTSRV_ERR_NOT_READY;
        return FALSE;
    }
    if (!AddPortCheck(nPort)) {
        DebugLog(LOG_CAT_WARNING, "[W] AddPortCheck(%d) failed\n", nPort);
        *pwResCode = LISTSRV_ERR_PORT;
        return FALSE;
    }
    DebugLog(LOG_CAT_INFO, "SearchServer(PORT_CHECK,%d,%d) start\n", nTxPort, nPort);
    SEARCH_PARAM search;
    int nConnected = SearchServer(&search, SEARCH_METHOD_PORT_CHECK, nTxPort, nPort);
    SearchExit(&search);
    DeletePortCheck(nPort);
    if (nConnected == 0) {
        DebugLog(LOG_CAT_WARNING, "[W] SearchServer() faild\n");
        *pwResCode = LISTSRV_ERR_COMM;
        DebugLog(LOG_CAT_INFO, "[I] port check NG (%04X)\n", *pwResCode);
        return FALSE;
    }
    *pwResCode = LISTSRV_RES_OK;
    DebugLog(LOG_CAT_INFO, "[I] port check OK\n");
    return TRUE;
}

BOOL ListSrv_DbgHealthCheck(const char* const* apszServIDs, int nNumOfIDs, WORD* pwResCode)
{
    DebugPrint("[I] heath check\n");
    int n = nNumOfIDs < 0 ? 0 : (nNumOfIDs > LISTSRV_TARGET_MAX ? LISTSRV_TARGET_MAX : nNumOfIDs);
    EnterCriticalSection(&s_csList);
    DWORD dwCurr = s_dwCurrServerIP;
    int nTxPort = s_nTxUdpPort;
    DWORD dwCount0 = 0;
    if (dwCurr != 0) {
        WriteDbgServIDsLocked(apszServIDs, n);
        int nIndex = FindServerLocked(dwCurr);
        dwCount0 = nIndex >= 0 ? s_aListServInfo[nIndex].dwRxHealthCheckCnt : 0;
    }
    LeaveCriticalSection(&s_csList);
    if (dwCurr == 0) {
        DebugPrint("[W] now list-sever is offline\n");
        *pwResCode = LISTSRV_ERR_COMM;
    } else {
        *pwResCode = RunDbgHealthCheckWhileStarted(dwCurr, nTxPort, dwCount0);
    }
    if (*pwResCode != LISTSRV_RES_OK) {
        DebugPrint("[I] health check NG (%04X)\n", *pwResCode);
        return FALSE;
    }
    DebugPrint("[I] health check OK\n");
    return TRUE;
}
