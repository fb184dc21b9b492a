// listsrv_find: how the directory client finds a list server. It fetches the
// list file of server addresses over HTTP and decodes it (each "^" line is a
// dotted address in hexadecimal pairs, XORed with a 17-byte key), keeps the
// server table, and runs the search engine: it probes every server of the
// table at once, by TCP connect or by UDP health or port checks, waits for
// the answers and picks one of the servers that answered.
//
// Threads: the list thread (table loads, server searches) and any caller of
// the request operations (each with its own search record on its stack).
// Locks: s_csList while the table or the settings are read or written; never
// across a connect, a wait or the HTTP exchange.
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "debug.h"
#include "helpers.h"
#include "httpcomm.h"
#include "listsrv_internal.h"
#include "util.h"

namespace lsv {

namespace {

// The list file's key: 16 characters and a zero byte, so every 17th byte
// passes unchanged.
constexpr char s_acDecKey[] = "Jx4Tq9Wm2Rz7Vk5P";
constexpr int DEC_KEY_LEN = 17;
static_assert(sizeof(s_acDecKey) == DEC_KEY_LEN, "the key is 17 bytes with its zero byte");

constexpr int LIST_FILE_MAX = 1023;  // body bytes fetched at most
constexpr int PLAIN_MAX = 63;        // decoded bytes kept of one line (an address needs 15)
constexpr char LINE_MARK = '^';

bool IsLineEnd(char c)
{
    return c == '\r' || c == '\n';
}

// One "^" line (without the mark): the address, or 0 after a warning.
DWORD DecodeLine(const char* pLine, int nLen)
{
    int nDigits = nLen - 1;
    const char* pHex = pLine + 1;
    BYTE byDummy = 0;
    bool bValid = nDigits % 2 == 0;
    for (int i = 0; bValid && i < nDigits; ++i) {
        bValid = ascii2bin(pHex[i], &byDummy) != FALSE;
    }
    if (!bValid) {
        DebugPrint("[W] invalid list address (%.*s)\n", nLen, pLine);
        return 0;
    }
    char szPlain[PLAIN_MAX + 1];
    int nPlain = 0;
    for (int i = 0; i < nDigits / 2 && nPlain < PLAIN_MAX; ++i) {
        BYTE by = 0;
        ascii2tobin(pHex + 2 * i, &by);
        szPlain[nPlain++] = static_cast<char>(by ^ static_cast<BYTE>(s_acDecKey[i % DEC_KEY_LEN]));
    }
    szPlain[nPlain] = '\0';
    DWORD dwAdrs = 0;
    bool bTooLong = nDigits / 2 > PLAIN_MAX && std::strlen(szPlain) == static_cast<size_t>(PLAIN_MAX);
    if (bTooLong || !str2ipadrs(szPlain, &dwAdrs)) {
        DebugPrint("[W] invalid list address2 (%s)\n", szPlain);
        return 0;
    }
    return dwAdrs;
}

BOOL GetHostAdrs(const char* pszHost, DWORD* pdwAdrs)
{
    if (str2ipadrs(pszHost, pdwAdrs)) {
        return TRUE;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pResult = nullptr;
    int err = getaddrinfo(pszHost, nullptr, &hints, &pResult);
    if (err != 0 || pResult == nullptr) {
        DebugPrint("[W] getaddrinfo() failed, err=%d\n", err);
        DebugPrint("[W] GetHostAdrs() failed\n");
        return FALSE;
    }
    const sockaddr_in* pIn = reinterpret_cast<const sockaddr_in*>(pResult->ai_addr);
    *pdwAdrs = ntohl(pIn->sin_addr.s_addr);
    freeaddrinfo(pResult);
    return TRUE;
}

// Fetches the list file into pBody (LIST_FILE_MAX + 1 bytes).
BOOL HttpGetListAdrs(DWORD dwHost, const char* pszUrl, int nPort, char* pBody, int* pnLen)
{
    DebugPrint("host addr=%d.%d.%d.%d\n", LSV_IP(dwHost));
    DebugPrint("getting list file %s\n", pszUrl);
    HTTP_PARAM param;
    std::memset(&param, 0, sizeof(param));
    _strlcpy(param.szUrl, pszUrl, sizeof(param.szUrl));
    pBody[0] = '\0';
    // An error page is not a list file: only a 200 answer replaces the table.
    if (!HTTP_Get(&param, static_cast<WORD>(nPort), dwHost, pBody, LIST_FILE_MAX) || param.nRetCode != 200) {
        DebugPrint("[W] HTTP_Get(%s) failed\n", pszUrl);
        DebugPrint("[W] HttpGetListAdrs() failed\n");
        return FALSE;
    }
    *pnLen = static_cast<int>(std::strlen(pBody));
    return TRUE;
}

// Fetches and decodes the list file; -1 if it could not be had.
int FetchListFile(DWORD* adwAdrs)
{
    char szHost[HOST_TEXT_CHARS + 1];
    char szUrl[HOST_TEXT_CHARS + 1];
    EnterCriticalSection(&s_csList);
    _strlcpy(szHost, s_szHostName, sizeof(szHost));
    _strlcpy(szUrl, s_szHostUrl, sizeof(szUrl));
    int nPort = s_nHttpPort;
    LeaveCriticalSection(&s_csList);
    DebugPrint("searching host %s\n", szHost);
    DWORD dwHost = 0;
    char szBody[LIST_FILE_MAX + 1];
    int nLen = 0;
    if (!GetHostAdrs(szHost, &dwHost) || !HttpGetListAdrs(dwHost, szUrl, nPort, szBody, &nLen)) {
        return -1;
    }
    return ListSrv_DecodeListFile(szBody, nLen, adwAdrs, LISTSRV_SERVER_MAX);
}

// Replaces the table (s_csList held); clears a current server that left it.
void ReplaceTableLocked(const DWORD* adwAdrs, int nNum)
{
    s_nNumListServInfo = nNum;
    for (int i = 0; i < nNum; ++i) {
        s_aListServInfo[i] = LIST_SERVER_INFO{adwAdrs[i], 0};
    }
    if (s_dwCurrServerIP != 0 && FindServerLocked(s_dwCurrServerIP) < 0) {
        DebugLog(LOG_CAT_WARNING, "[W] current ip not exist %d.%d.%d.%d\n", LSV_IP(s_dwCurrServerIP));
        s_dwCurrServerIP = 0;
    }
}

// Enters the address error state (s_csList held); TRUE when newly entered.
BOOL EnterAdrsErrorLocked(BOOL* pbStatus)
{
    s_dwCurrServerIP = 0;
    BOOL bEntered = s_nListState != LIST_STATE_GET_SERVER_ERR;
    *pbStatus = SetListStateLocked(LIST_STATE_GET_SERVER_ERR);
    return bEntered;
}

DWORD AdrsFailed(BOOL bReload)
{
    BOOL bStatus = FALSE;
    EnterCriticalSection(&s_csList);
    BOOL bLog = bReload ? !s_bAdrsReloadError : EnterAdrsErrorLocked(&bStatus);
    if (bReload) {
        s_bAdrsReloadError = TRUE;  // keep the old table; try again in an hour
    }
    LeaveCriticalSection(&s_csList);
    if (bLog) {
        DebugLog(LOG_CAT_WARNING,
                 bReload ? "[W] cannot reload list server address\n" : "[W] cannot get list server address\n");
    }
    if (bStatus) {
        RaiseEvent(LISTSRV_EVENT_STATUS_CHANGED);
    }
    return bReload ? RELOAD_FAIL_MS : WAIT_ADRS_ERR_MS;
}

// Fixed testing addresses replace the file (s_csList held): their number.
int TakeDbgAddressesLocked(DWORD* adwAdrs)
{
    int nNum = 0;
    for (int i = 0; i < LISTSRV_SERVER_MAX; ++i) {
        if (s_adwDbgServAdrs[i] != 0) {
            DebugPrint("dbgserv[%d] addr=%d.%d.%d.%d\n", i, LSV_IP(s_adwDbgServAdrs[i]));
            adwAdrs[nNum++] = s_adwDbgServAdrs[i];
        }
    }
    return nNum;
}

// ---- Search engine ----------------------------------------------------------

void CloseWork(SEARCH_WORK* pWork)
{
    if (pWork->pSock != nullptr) {
        Sock_Disconnect(pWork->pSock);
        pWork->pSock = nullptr;
    }
}

void FailWork(SEARCH_WORK* pWork)
{
    pWork->eSearchState = SEARCH_FAILED;
    CloseWork(pWork);
}

void MarkAnswered(SEARCH_WORK* pWork)
{
    pWork->eSearchState = SEARCH_CONNECTED;
    pWork->dwAnswered = GetTickCount();
}

int PendingError(NPSOCK_PARAM pSock)
{
    int nPending = 0;
    socklen_t nLength = sizeof(nPending);
    if (getsockopt(pSock->sock.load(), SOL_SOCKET, SO_ERROR, &nPending, &nLength) != 0) {
        nPending = errno;
    }
    return nPending;
}

// A finished connect: blocking mode again and answered, or failed.
void OnConnectDone(SEARCH_WORK* pWork)
{
    if (PendingError(pWork->pSock) != 0) {
        DebugPrint("connect failed %d.%d.%d.%d\n", LSV_IP(pWork->dwAdrs));
        FailWork(pWork);
        return;
    }
    DebugPrint("connected %d.%d.%d.%d\n", LSV_IP(pWork->dwAdrs));
    if (!Sock_SetNonBlockingMode(pWork->pSock, FALSE)) {
        DebugPrint("[W] SetNonBlockingMode() failed\n");
        FailWork(pWork);
        return;
    }
    MarkAnswered(pWork);
}

void StartTcpWork(SEARCH_WORK* pWork, DWORD dwNow)
{
    DebugPrint("connecting %d.%d.%d.%d\n", LSV_IP(pWork->dwAdrs));
    pWork->dwTimeout = dwNow;
    // A connect that is only started: the socket layer's connect waits for
    // its end, and the search waits for all servers at once.
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(pWork->nTxPort));
    address.sin_addr.s_addr = htonl(pWork->dwAdrs);
    pWork->pSock->nPort = static_cast<WORD>(pWork->nTxPort);
    pWork->pSock->ulAdrs = pWork->dwAdrs;
    if (connect(pWork->pSock->sock.load(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        OnConnectDone(pWork);
        return;
    }
    int err = errno;
    if (err == EINPROGRESS || err == EAGAIN) {
        pWork->eSearchState = SEARCH_CONNECTING;
        return;
    }
    DebugPrint("[W] connect() failed. error=%d\n", err);
    FailWork(pWork);
}

void StartUdpWork(SEARCH_PARAM* pParam, SEARCH_WORK* pWork, DWORD dwNow)
{
    pWork->dwTimeout = pWork->dwTxPeriod = dwNow;
    BOOL bSent;
    if (pWork->eMethod == SEARCH_METHOD_HEALTH_CHECK) {
        pWork->eSearchState = SEARCH_TX_HEALTH_CHECK;
        GetHealthCheckCount(pWork->dwAdrs, &pWork->dwRxHealthCheckCnt);
        DebugPrint("tx health check %d.%d.%d.%d\n", LSV_IP(pWork->dwAdrs));
        bSent = TxHealthCheck(pParam->pUdpSock, pWork->nTxPort, pWork->dwAdrs, ListSrv_GetRxUdpPort(), FALSE);
        if (!bSent) {
            DebugPrint("[W] TxHealthCheck() failed\n");
        }
    } else {
        pWork->eSearchState = SEARCH_TX_PORT_CHECK;
        GetPortCheckCount(pWork->nRxPort, pWork->dwAdrs, &pWork->dwRxPortCheckCnt);
        DebugPrint("tx port check %d.%d.%d.%d\n", LSV_IP(pWork->dwAdrs));
        bSent = TxPortCheck(pParam->pUdpSock, pWork->nTxPort, pWork->dwAdrs, pWork->nRxPort);
        if (!bSent) {
            DebugPrint("[W] TxPortCheck() failed\n");
        }
    }
    if (!bSent) {
        FailWork(pWork);
    }
}

BOOL SearchInit(SEARCH_PARAM* pParam)
{
    for (int i = 0; i < pParam->nNumOfWorks; ++i) {
        SEARCH_WORK* pWork = &pParam->aWork[i];
        pWork->bUsed = pWork->dwAdrs != 0;
        if (!pWork->bUsed) {
            continue;
        }
        if (pWork->eMethod != SEARCH_METHOD_TCP) {
            if (pParam->pUdpSock == nullptr && (pParam->pUdpSock = Sock_GetSocket(FALSE)) == nullptr) {
                DebugPrint("[W] socket() failed\n");
                return FALSE;
            }
            continue;
        }
        if ((pWork->pSock = Sock_GetSocket(TRUE)) == nullptr) {
            DebugPrint("[W] socket() failed\n");
            return FALSE;
        }
        if (!Sock_SetNonBlockingMode(pWork->pSock, TRUE)) {
            DebugPrint("[W] SetNonBlockingMode() failed\n");
            return FALSE;
        }
    }
    return TRUE;
}

BOOL SearchStart(SEARCH_PARAM* pParam, DWORD dwNow)
{
    int nUsed = 0;
    int nFailed = 0;
    for (int i = 0; i < pParam->nNumOfWorks; ++i) {
        SEARCH_WORK* pWork = &pParam->aWork[i];
        if (!pWork->bUsed) {
            continue;
        }
        pWork->nIndex = nUsed++;
        if (pWork->eMethod == SEARCH_METHOD_TCP) {
            StartTcpWork(pWork, dwNow);
        } else {
            StartUdpWork(pParam, pWork, dwNow);
        }
        nFailed += pWork->eSearchState == SEARCH_FAILED ? 1 : 0;
    }
    if (nFailed >= nUsed) {
        DebugPrint("[W] SearchStart() failed\n");
        return FALSE;
    }
    return TRUE;
}

// A UDP probe's timer: answered, timed out, or sent again. FALSE when it failed.
BOOL OnTimerProbe(SEARCH_WORK* pWork, DWORD dwNow, BOOL bHealth)
{
    DWORD dwCount = 0;
    BOOL bKnown = bHealth ? GetHealthCheckCount(pWork->dwAdrs, &dwCount)
                          : GetPortCheckCount(pWork->nRxPort, pWork->dwAdrs, &dwCount);
    DWORD dwNoted = bHealth ? pWork->dwRxHealthCheckCnt : pWork->dwRxPortCheckCnt;
    const char* pszWhat = bHealth ? "health check" : "port check";
    // An answer counted before the limit wins over the limit.
    if (bKnown && dwCount != dwNoted) {
        DebugPrint("%s detect %d.%d.%d.%d\n", pszWhat, LSV_IP(pWork->dwAdrs));
        MarkAnswered(pWork);
        return TRUE;
    }
    if (dwNow - pWork->dwTimeout > PROBE_TIMEOUT_MS) {
        DebugPrint("[W] %d.%d.%d.%d %s timeout\n", LSV_IP(pWork->dwAdrs), pszWhat);
        pWork->eSearchState = SEARCH_FAILED;
        return FALSE;
    }
    if (dwNow - pWork->dwTxPeriod < PROBE_RESEND_MS) {
        return TRUE;
    }
    pWork->dwTxPeriod = dwNow;
    return TRUE;  // the caller sends again
}

BOOL OnTimerSearch(SEARCH_PARAM* pParam, SEARCH_WORK* pWork, DWORD dwNow)
{
    switch (pWork->eSearchState) {
        case SEARCH_CONNECTING:
            if (dwNow - pWork->dwTimeout >= CONNECT_TIMEOUT_MS) {
                DebugPrint("[W] %d.%d.%d.%d connect timeout\n", LSV_IP(pWork->dwAdrs));
                pWork->eSearchState = SEARCH_FAILED;
                return FALSE;
            }
            return TRUE;
        case SEARCH_TX_HEALTH_CHECK:
        case SEARCH_TX_PORT_CHECK: {
            BOOL bHealth = pWork->eSearchState == SEARCH_TX_HEALTH_CHECK;
            DWORD dwLastTx = pWork->dwTxPeriod;
            if (!OnTimerProbe(pWork, dwNow, bHealth)) {
                return FALSE;
            }
            if (pWork->eSearchState == SEARCH_CONNECTED || pWork->dwTxPeriod == dwLastTx) {
                return TRUE;
            }
            BOOL bSent =
                bHealth ? TxHealthCheck(pParam->pUdpSock, pWork->nTxPort, pWork->dwAdrs, ListSrv_GetRxUdpPort(), FALSE)
                        : TxPortCheck(pParam->pUdpSock, pWork->nTxPort, pWork->dwAdrs, pWork->nRxPort);
            if (!bSent) {
                pWork->eSearchState = SEARCH_FAILED;
            }
            return bSent;
        }
        default:
            return TRUE;
    }
}

// Waits up to 50 ms for a pending connect (or for the stop event while UDP
// probes run); FALSE when the step ends without looking at the entries.
BOOL WaitSearchEvents(SEARCH_PARAM* pParam, short* asRevents)
{
    pollfd aFds[LISTSRV_SERVER_MAX];
    int anWork[LISTSRV_SERVER_MAX];
    int nFds = 0;
    for (int i = 0; i < pParam->nNumOfWorks; ++i) {
        asRevents[i] = 0;
        const SEARCH_WORK& work = pParam->aWork[i];
        if (work.eSearchState == SEARCH_CONNECTING && work.pSock != nullptr) {
            aFds[nFds] = pollfd{work.pSock->sock.load(), POLLOUT, 0};
            anWork[nFds++] = i;
        }
    }
    if (nFds == 0) {
        if (pParam->pUdpSock == nullptr) {
            return FALSE;
        }
        return WaitForSingleObject(s_hEvCancel, IO_POLL_MS) == WAIT_TIMEOUT;
    }
    int ret = poll(aFds, static_cast<nfds_t>(nFds), static_cast<int>(IO_POLL_MS));
    if (ret < 0) {
        if (!s_bStopReq.load()) {
            DebugPrint("[W] select() failed. error=%d\n", errno);
        }
        return FALSE;
    }
    for (int k = 0; k < nFds; ++k) {
        asRevents[anWork[k]] = aFds[k].revents;
    }
    return TRUE;
}

void SearchOnIdle(SEARCH_PARAM* pParam, DWORD dwNow)
{
    short asRevents[LISTSRV_SERVER_MAX];
    if (!WaitSearchEvents(pParam, asRevents)) {
        return;
    }
    for (int i = 0; i < pParam->nNumOfWorks; ++i) {
        SEARCH_WORK* pWork = &pParam->aWork[i];
        if (pWork->pSock != nullptr) {
            BOOL bKeep = OnTimerSearch(pParam, pWork, dwNow);
            if (bKeep && pWork->eSearchState == SEARCH_CONNECTING && asRevents[i] != 0) {
                OnConnectDone(pWork);
            }
            if (!bKeep || pWork->eSearchState == SEARCH_FAILED) {
                FailWork(pWork);
            }
        } else if (pParam->pUdpSock != nullptr && pWork->bUsed && !OnTimerSearch(pParam, pWork, dwNow)) {
            CloseWork(pWork);
        }
    }
}

void CountStates(const SEARCH_PARAM* pParam, int* pnUsed, int* pnConnected, int* pnFailed)
{
    *pnUsed = *pnConnected = *pnFailed = 0;
    for (int i = 0; i < pParam->nNumOfWorks; ++i) {
        const SEARCH_WORK& work = pParam->aWork[i];
        if (work.bUsed) {
            ++*pnUsed;
            *pnConnected += work.eSearchState == SEARCH_CONNECTED ? 1 : 0;
            *pnFailed += work.eSearchState == SEARCH_FAILED ? 1 : 0;
        }
    }
}

void ClearSearch(SEARCH_PARAM* pParam)
{
    std::memset(pParam, 0, sizeof(*pParam));
}

}  // namespace

int LoadDbgTableLocked()
{
    DWORD adwAdrs[LISTSRV_SERVER_MAX];
    int nNum = TakeDbgAddressesLocked(adwAdrs);
    ReplaceTableLocked(adwAdrs, nNum);
    return nNum;
}

DWORD GetServerAdrs(BOOL bReload)
{
    if (s_bStopReq.load()) {
        return 0;
    }
    DWORD adwAdrs[LISTSRV_SERVER_MAX];
    EnterCriticalSection(&s_csList);
    int nNum = TakeDbgAddressesLocked(adwAdrs);
    LeaveCriticalSection(&s_csList);
    if (nNum == 0) {
        nNum = FetchListFile(adwAdrs);
        if (nNum < 0) {
            return AdrsFailed(bReload);
        }
    }
    BOOL bStatus = FALSE;
    BOOL bLog = FALSE;
    DWORD dwWait = 0;
    EnterCriticalSection(&s_csList);
    ReplaceTableLocked(adwAdrs, nNum);
    if (nNum == 0) {
        bLog = EnterAdrsErrorLocked(&bStatus);
        dwWait = WAIT_ADRS_EMPTY_MS;
    } else {
        s_bAdrsReloadError = FALSE;
        s_dwTmServAdrsLoad = GetTickCount();
        bLog = s_nListState < LIST_STATE_WAIT_ID;
        if (bLog) {
            SetListStateLocked(LIST_STATE_WAIT_ID);
        }
    }
    LeaveCriticalSection(&s_csList);
    if (bLog) {
        if (nNum == 0) {
            DebugLog(LOG_CAT_WARNING, "[W] no list address found\n");
        } else {
            DebugLog(LOG_CAT_INFO, "[I] got list server address\n");
        }
    }
    if (bStatus) {
        RaiseEvent(LISTSRV_EVENT_STATUS_CHANGED);
    }
    return dwWait;
}

int SearchServer(SEARCH_PARAM* pParam, SEARCH_METHOD eMethod, int nTxPort, int nRxPort)
{
    ClearSearch(pParam);
    EnterCriticalSection(&s_csList);
    for (int i = 0; i < s_nNumListServInfo; ++i) {
        SEARCH_WORK* pWork = &pParam->aWork[i];
        pWork->dwAdrs = s_aListServInfo[i].dwAdrs;
        pWork->eMethod = eMethod;
        pWork->nTxPort = nTxPort;
        pWork->nRxPort = nRxPort;
    }
    pParam->nNumOfWorks = s_nNumListServInfo;
    LeaveCriticalSection(&s_csList);
    if (pParam->nNumOfWorks == 0) {
        DebugPrint("[W] no list server exist\n");
        return 0;
    }
    if (!SearchInit(pParam)) {
        DebugPrint("[W] SearchInit() failed %d\n", pParam->nNumOfWorks);
        return 0;
    }
    if (!SearchStart(pParam, GetTickCount())) {
        return 0;
    }
    BOOL bAnswered = FALSE;
    DWORD dwFirst = 0;
    for (;;) {
        if (s_bStopReq.load()) {
            DebugPrint("[W] SearchServer() canceled\n");
            return 0;
        }
        SearchOnIdle(pParam, GetTickCount());
        int nUsed, nConnected, nFailed;
        CountStates(pParam, &nUsed, &nConnected, &nFailed);
        if (nFailed >= nUsed) {
            DebugPrint("[W] SEARCH_FAILED %d\n", nFailed);
            return 0;
        }
        // Once nobody is pending there is nothing more to wait for.
        if (nConnected + nFailed >= nUsed) {
            return nConnected;
        }
        if (nConnected > 0) {
            DWORD dwNow = GetTickCount();
            if (!bAnswered) {
                bAnswered = TRUE;
                dwFirst = dwNow;
            } else if (dwNow - dwFirst > SEARCH_LATE_MS) {
                return nConnected;
            }
        }
    }
}

SEARCH_WORK* SelectServer(SEARCH_PARAM* pParam, int nConnected)
{
    EnterCriticalSection(&s_csList);
    DWORD dwPrimary = s_dwDbgPrimaryIP;
    LeaveCriticalSection(&s_csList);
    if (dwPrimary != 0) {
        for (int i = 0; i < pParam->nNumOfWorks; ++i) {
            SEARCH_WORK* pWork = &pParam->aWork[i];
            if (pWork->eSearchState == SEARCH_CONNECTED && pWork->dwAdrs == dwPrimary) {
                return pWork;
            }
        }
    }
    int k = nConnected <= 1 ? 0 : GetRandom(nConnected);
    for (int i = 0; i < pParam->nNumOfWorks; ++i) {
        SEARCH_WORK* pWork = &pParam->aWork[i];
        if (pWork->eSearchState == SEARCH_CONNECTED && k-- == 0) {
            return pWork;
        }
    }
    return nullptr;
}

SEARCH_WORK* ConnectServer(SEARCH_PARAM* pParam, DWORD dwAdrs, int nPort)
{
    ClearSearch(pParam);
    SEARCH_WORK* pWork = &pParam->aWork[0];
    pWork->dwAdrs = dwAdrs;
    pWork->nTxPort = nPort;
    pWork->eMethod = SEARCH_METHOD_TCP;
    pParam->nNumOfWorks = 1;
    if (!SearchInit(pParam)) {
        DebugPrint("[W] SearchInit() failed\n");
        return nullptr;
    }
    if (!SearchStart(pParam, GetTickCount())) {
        return nullptr;
    }
    for (;;) {
        if (pWork->eSearchState == SEARCH_CONNECTED) {
            return pWork;
        }
        if (pWork->eSearchState == SEARCH_FAILED) {
            DebugPrint("[W] SEARCH_FAILED\n");
            return nullptr;
        }
        if (s_bStopReq.load()) {
            DebugPrint("[W] ConnectServer() canceled.\n");
            return nullptr;
        }
        SearchOnIdle(pParam, GetTickCount());
    }
}

void SearchExit(SEARCH_PARAM* pParam)
{
    for (int i = 0; i < pParam->nNumOfWorks; ++i) {
        CloseWork(&pParam->aWork[i]);
    }
    if (pParam->pUdpSock != nullptr) {
        Sock_Disconnect(pParam->pUdpSock);
        pParam->pUdpSock = nullptr;
    }
}

void SearchKeepOnly(SEARCH_PARAM* pParam, const SEARCH_WORK* pKeep)
{
    for (int i = 0; i < pParam->nNumOfWorks; ++i) {
        if (&pParam->aWork[i] != pKeep) {
            CloseWork(&pParam->aWork[i]);
        }
    }
}

}  // namespace lsv

using namespace lsv;

int ListSrv_DecodeListFile(const char* pText, int nLength, DWORD* adwAdrs, int nMax)
{
    int nNum = 0;
    int nPos = 0;
    while (nPos < nLength && pText[nPos] != '\0' && nNum < nMax) {
        int nEnd = nPos;
        while (nEnd < nLength && pText[nEnd] != '\0' && !IsLineEnd(pText[nEnd])) {
            ++nEnd;
        }
        if (nEnd > nPos && pText[nPos] == LINE_MARK) {
            DWORD dwAdrs = DecodeLine(pText + nPos, nEnd - nPos);
            if (dwAdrs != 0) {
                DebugPrint("listserv[%d] addr=%d.%d.%d.%d\n", nNum, LSV_IP(dwAdrs));
                adwAdrs[nNum++] = dwAdrs;
            }
        }
        nPos = nEnd;
        if (nPos < nLength && IsLineEnd(pText[nPos])) {
            ++nPos;
        }
    }
    return nNum;
}

BOOL ListSrv_DbgProbeServers(LISTSRV_PROBE eProbe, LISTSRV_PROBE_RES* aRes, int* pnNum, WORD* pwResCode)
{
    BOOL bTcp = eProbe == LISTSRV_PROBE_TCP;
    DebugPrint("[I] probe servers (%s)\n", bTcp ? "TCP" : "HEALTH_CHECK");
    *pnNum = 0;
    if (s_bStopReq.load()) {
        *pwResCode = LISTSRV_ERR_CANCELED;
        return FALSE;
    }
    EnterCriticalSection(&s_csList);
    BOOL bReady = s_bStarted.load() && s_nListState >= LIST_STATE_WAIT_ID;
    int nPort = bTcp ? s_nTcpPort : s_nTxUdpPort;
    LeaveCriticalSection(&s_csList);
    if (!bReady) {
        DebugPrint("[W] now list-sever is not ready\n");
        *pwResCode = LISTSRV_ERR_NOT_READY;
        return FALSE;
    }
    SEARCH_PARAM search;
    int nConnected = SearchServer(&search, bTcp ? SEARCH_METHOD_TCP : SEARCH_METHOD_HEALTH_CHECK, nPort, 0);
    for (int i = 0; i < search.nNumOfWorks && i < LISTSRV_SERVER_MAX; ++i) {
        const SEARCH_WORK& work = search.aWork[i];
        BOOL bAnswered = work.eSearchState == SEARCH_CONNECTED;
        aRes[i] = LISTSRV_PROBE_RES{work.dwAdrs, bAnswered, bAnswered ? work.dwAnswered - work.dwTimeout : 0};
        ++*pnNum;
    }
    SearchExit(&search);
    *pwResCode = nConnected > 0 ? LISTSRV_RES_OK : LISTSRV_ERR_COMM;
    return nConnected > 0;
}
