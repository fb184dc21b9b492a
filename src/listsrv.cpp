// listsrv: the directory client's life cycle, settings, status, random
// generator and the list thread, a state machine that keeps the unit attached
// to a working list server (see listsrv.h and listsrv_internal.h). The list
// thread moves from fetching the server addresses through waiting for the
// unit's IDs and choosing a server to retrieving the followed repeaters'
// entries and sending periodic health checks; every failure is logged once
// when its error state is entered and retried after a pause.
//
// Threads: the unit core's main thread (life cycle, seed, receive port), the
// command handlers (server ID, under ListSrv_Lock), any caller of the settings
// operations, and the list thread. Locks: s_csList for settings and state;
// s_csRand for the generator; network operations run outside every lock.
#include "listsrv.h"

#include <cstring>
#include <ctime>
#include <random>

#include "debug.h"
#include "helpers.h"
#include "httpcomm.h"
#include "listsrv_internal.h"
#include "util.h"

namespace lsv {

char s_szHostName[HOST_TEXT_CHARS + 1];
char s_szHostUrl[HOST_TEXT_CHARS + 1];
int s_nHttpPort = 0;
int s_nTcpPort = 0;
int s_nTxUdpPort = 0;
char s_szServID[SERV_ID_CHARS + 1];
DWORD s_dwServID = 0;
char s_szRadioID[RADIO_ID_CHARS + 1];
BYTE s_abyScTable[SC_TABLE_BYTES];
DWORD s_adwDbgServAdrs[LISTSRV_SERVER_MAX];
DWORD s_dwDbgPrimaryIP = 0;
BOOL s_bDisableThread = FALSE;
LISTSRV_CALLBACK s_pfnCallback = nullptr;
LPVOID s_pCallbackParam = nullptr;

LIST_SERVER_INFO s_aListServInfo[LISTSRV_SERVER_MAX];
int s_nNumListServInfo = 0;
LIST_STATE s_nListState = LIST_STATE_NONE;
DWORD s_dwCurrServerIP = 0;
DWORD s_dwGlobalIP = 0;
DWORD s_dwTmServAdrsLoad = 0;
BOOL s_bAdrsReloadError = FALSE;
DWORD s_dwTmTxHealthCheck = 0;
DWORD s_dwTmRxIdleTime = 0;
DWORD s_dwTmListLoad = 0;
int s_nNumOfGetList = 0;
std::atomic<BOOL> s_bGetListReq{FALSE};
int s_nNumOfReqParam = 0;
LIST_GET_REQ_WORK s_aListGetReqWork[LISTSRV_TARGET_MAX];
LIST_GET_REQ_WORK s_aListGetTempWork[LISTSRV_TARGET_MAX];
LIST_GET_RES_WORK s_aListGetResWork[LISTSRV_TARGET_MAX];
std::atomic<int> s_nListNoDataCount{0};
std::atomic<int> s_nHealthNoDataCount{0};
std::atomic<BOOL> s_bStopReq{TRUE};
std::atomic<BOOL> s_bStarted{FALSE};
std::atomic<int> s_nDbgHealthCallers{0};
HANDLE s_hEvCancel = nullptr;
HANDLE s_hEvPortCheck = nullptr;
NPSOCK_PARAM s_pUdpSock = nullptr;

int s_nRxUdpPort = 0;
PORT_CHECK_INFO s_PortCheckMain;
PORT_CHECK_INFO s_aPortCheckInfo[LISTSRV_SERVER_MAX];
int s_nPortCheckCnt = 0;

CRITICAL_SECTION s_csList = nullptr;
CRITICAL_SECTION s_csPortCheck = nullptr;
CRITICAL_SECTION s_csTarget = nullptr;

namespace {

constexpr int DISCARDED_DRAWS = 3;  // numbers drawn and dropped after each seeding
constexpr int THREAD_PRIORITY = 1;
constexpr DWORD THREAD_END_POLL_MS = 20;

DWORD s_dwSeed = 0;
HANDLE s_hListThread = nullptr;
HANDLE s_hPortCheckThread = nullptr;
std::atomic<BOOL> s_bListThreadRunning{FALSE};
std::atomic<BOOL> s_bPortCheckThreadRunning{FALSE};
CRITICAL_SECTION s_csRand = nullptr;
std::mt19937 s_Random;

// Resets the module state; the stop flag is set, as before any start.
void InitValiables()
{
    s_bStopReq.store(TRUE);
    s_bStarted.store(FALSE);
    s_hListThread = nullptr;
    s_hPortCheckThread = nullptr;
    s_pUdpSock = nullptr;
    EnterCriticalSection(&s_csList);
    std::memset(s_aListServInfo, 0, sizeof(s_aListServInfo));
    s_nNumListServInfo = 0;
    s_nListState = LIST_STATE_NONE;
    s_dwCurrServerIP = 0;
    s_dwGlobalIP = 0;
    s_dwTmServAdrsLoad = 0;
    s_bAdrsReloadError = FALSE;
    s_dwTmTxHealthCheck = 0;
    s_dwTmRxIdleTime = 0;
    s_dwTmListLoad = 0;
    s_nNumOfGetList = 0;
    s_nNumOfReqParam = 0;
    ClearListTables();
    LeaveCriticalSection(&s_csList);
    ResetPortChecks();
}

// Seeds the generator with the calendar time plus the seed, its bytes reversed.
void InitRandom()
{
    EnterCriticalSection(&s_csRand);
    DWORD v = static_cast<DWORD>(time(nullptr)) + s_dwSeed;
    DWORD reversed = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
    s_Random.seed(reversed);
    for (int i = 0; i < DISCARDED_DRAWS; ++i) {
        s_Random();
    }
    LeaveCriticalSection(&s_csRand);
}

// Ends a thread of the module. The stop flag (set by the caller) ends its
// loop; the cancel signal cuts short a sleep or a select, and the HTTP
// connections are cancelled again, until the thread has left its loop: an
// exchange that began just after the first cancel cannot hold the stop up
// for its own time-outs. Then it is joined.
void EndThread(HANDLE* phThread, const std::atomic<BOOL>& bRunning)
{
    if (*phThread == nullptr) {
        return;
    }
    while (bRunning.load()) {
        HTTP_CancelAll();
        _CancelThread(*phThread);
        Sleep(THREAD_END_POLL_MS);
    }
    WaitForSingleObject(*phThread, INFINITE);
    CloseHandle(*phThread);
    *phThread = nullptr;
}

// Starts a thread of the module; bRunning is set before it runs and cleared
// by the thread when it leaves its loop.
HANDLE StartThread(LPTHREAD_START_ROUTINE start, std::atomic<BOOL>* pbRunning)
{
    pbRunning->store(TRUE);
    HANDLE hThread = CreateThread(nullptr, 0, start, nullptr, 0, nullptr);
    if (hThread == nullptr) {
        pbRunning->store(FALSE);
        DebugPrint("[W] error at CreateThread()\n");
        return nullptr;
    }
    if (!SetThreadPriority(hThread, THREAD_PRIORITY)) {
        DebugPrint("[W] error at SetThreadPriority()\n");
        s_bStopReq.store(TRUE);
        SetEvent(s_hEvCancel);
        SetEvent(s_hEvPortCheck);
        EndThread(&hThread, *pbRunning);
        return nullptr;
    }
    return hThread;
}

void CopySetting(char* pDst, size_t nSize, const char* pszSrc)
{
    EnterCriticalSection(&s_csList);
    _strlcpy(pDst, pszSrc != nullptr ? pszSrc : "", nSize);
    LeaveCriticalSection(&s_csList);
}

void SetIntSetting(int* pnDst, int nValue)
{
    EnterCriticalSection(&s_csList);
    *pnDst = nValue;
    LeaveCriticalSection(&s_csList);
}

// ---- The list thread ----------------------------------------------------------

DWORD StepWaitId()
{
    EnterCriticalSection(&s_csList);
    BOOL bReady = s_szRadioID[0] != '\0' && s_szServID[0] != '\0';
    if (bReady) {
        SetListStateLocked(LIST_STATE_SEARCH);
    }
    LeaveCriticalSection(&s_csList);
    if (bReady) {
        DebugLog(LOG_CAT_INFO, "[I] now searching list server..\n");
    }
    return STEP_MS;
}

// A failed search: the error state is logged once when it is entered.
DWORD SearchFailed(DWORD dwWait)
{
    EnterCriticalSection(&s_csList);
    BOOL bEntered = s_nListState != LIST_STATE_SEARCH_ERR;
    SetListStateLocked(LIST_STATE_SEARCH_ERR);
    s_dwCurrServerIP = 0;
    LeaveCriticalSection(&s_csList);
    if (bEntered) {
        DebugLog(LOG_CAT_WARNING, "[W] list server search failed\n");
    }
    return dwWait;
}

DWORD EnterGetList(DWORD dwCurr)
{
    EnterCriticalSection(&s_csList);
    s_dwCurrServerIP = dwCurr;
    SetListStateLocked(LIST_STATE_GET_LIST);
    s_nNumOfGetList = 0;
    LeaveCriticalSection(&s_csList);
    DebugLog(LOG_CAT_INFO, "[I] current list server=%d.%d.%d.%d,\n", LSV_IP(dwCurr));
    return STEP_MS;
}

DWORD StepSearch()
{
    EnterCriticalSection(&s_csList);
    if (s_szServID[0] == '\0') {
        s_dwCurrServerIP = 0;
        BOOL bChanged = SetListStateLocked(LIST_STATE_WAIT_ID);
        LeaveCriticalSection(&s_csList);
        if (bChanged) {
            RaiseEvent(LISTSRV_EVENT_STATUS_CHANGED);
        }
        return STEP_MS;
    }
    DWORD dwCurr = s_dwCurrServerIP;
    int nTxUdpPort = s_nTxUdpPort;
    LeaveCriticalSection(&s_csList);
    if (dwCurr != 0) {
        return EnterGetList(dwCurr);  // chosen by a registration meanwhile
    }
    DebugPrint("SearchServer(HEALTH_CHECK,%d) start\n", nTxUdpPort);
    SEARCH_PARAM search;
    int nConnected = SearchServer(&search, SEARCH_METHOD_HEALTH_CHECK, nTxUdpPort, 0);
    SEARCH_WORK* pChosen = nConnected > 0 ? SelectServer(&search, nConnected) : nullptr;
    DWORD dwChosen = pChosen != nullptr ? pChosen->dwAdrs : 0;
    SearchExit(&search);
    if (s_bStopReq.load()) {
        return 0;
    }
    if (nConnected == 0) {
        DebugPrint("[W] SearchServer() faild\n");
        return SearchFailed(WAIT_SEARCH_NONE_MS);
    }
    if (dwChosen == 0) {
        DebugPrint("[W] SelectServer() faild\n");
        return SearchFailed(WAIT_RETRY_MS);
    }
    return EnterGetList(dwChosen);
}

// Reloads the server table once a day, or once an hour after a failed reload.
// 0 to go on with the state, else the time to wait.
DWORD CheckAddressReload()
{
    EnterCriticalSection(&s_csList);
    DWORD dwNow = GetTickCount();
    DWORD dwPeriod = s_bAdrsReloadError ? ADRS_RELOAD_ERR_MS : ADRS_RELOAD_MS;
    BOOL bDue = dwNow - s_dwTmServAdrsLoad >= dwPeriod;
    if (bDue) {
        s_dwTmServAdrsLoad = dwNow;
    }
    LeaveCriticalSection(&s_csList);
    if (!bDue) {
        return 0;
    }
    DebugPrint("server address realoading..\n");
    return GetServerAdrs(TRUE);
}

// One step of the list thread: the time to sleep before the next.
DWORD OnListThreadProc()
{
    if (s_bStopReq.load()) {
        return 0;
    }
    LIST_STATE eState = ListSrv_GetListState();
    if (eState == LIST_STATE_NONE) {
        EnterCriticalSection(&s_csList);
        SetListStateLocked(LIST_STATE_GET_SERVER);
        LeaveCriticalSection(&s_csList);
        DebugLog(LOG_CAT_INFO, "[I] now getting list server address..\n");
        return STEP_MS;
    }
    DWORD dwWait = eState <= LIST_STATE_GET_SERVER_ERR ? GetServerAdrs(FALSE) : CheckAddressReload();
    if (dwWait != 0 || s_bStopReq.load()) {
        return s_bStopReq.load() ? 0 : dwWait;
    }
    eState = ListSrv_GetListState();
    switch (eState) {
        case LIST_STATE_NONE:
        case LIST_STATE_GET_SERVER:
        case LIST_STATE_GET_SERVER_ERR:
            return STEP_MS;
        case LIST_STATE_WAIT_ID:
            return StepWaitId();
        case LIST_STATE_SEARCH:
        case LIST_STATE_SEARCH_ERR:
            return StepSearch();
        default:
            break;
    }
    BOOL bGoOn = FALSE;
    dwWait = OnListRetrieval(eState, &bGoOn);
    return bGoOn ? OnHealthCheckStep() : dwWait;
}

DWORD ListThread(LPVOID)
{
    DebugPrint("start LIST thread\n");
    while (!s_bStopReq.load()) {
        DWORD dwWait = OnListThreadProc();
        if (s_bStopReq.load() || WaitForSingleObject(s_hEvCancel, dwWait) != WAIT_TIMEOUT) {
            break;
        }
    }
    DebugPrint("end LIST thread\n");
    s_bListThreadRunning.store(FALSE);
    return 0;
}

DWORD PortCheckThreadMain(LPVOID pParam)
{
    DWORD dwResult = PortCheckThread(pParam);
    s_bPortCheckThreadRunning.store(FALSE);
    return dwResult;
}

// Undoes a partial start.
void AbortStart()
{
    s_bStopReq.store(TRUE);
    SetEvent(s_hEvCancel);
    SetEvent(s_hEvPortCheck);
    EndThread(&s_hListThread, s_bListThreadRunning);
    EndThread(&s_hPortCheckThread, s_bPortCheckThreadRunning);
    if (s_pUdpSock != nullptr) {
        Sock_Disconnect(s_pUdpSock);
        s_pUdpSock = nullptr;
    }
}

}  // namespace

int GetRandom(int n)
{
    if (n <= 1) {
        return 0;
    }
    EnterCriticalSection(&s_csRand);
    DWORD r = static_cast<DWORD>(s_Random()) >> 1;  // 0 .. 2^31 - 1
    LeaveCriticalSection(&s_csRand);
    return static_cast<int>((static_cast<uint64_t>(n) * r) >> 31);
}

void RaiseEvent(unsigned uEvent)
{
    EnterCriticalSection(&s_csList);
    LISTSRV_CALLBACK pfn = s_pfnCallback;
    LPVOID pParam = s_pCallbackParam;
    LeaveCriticalSection(&s_csList);
    if (pfn != nullptr) {
        pfn(uEvent, pParam);
    }
}

BOOL SetListStateLocked(LIST_STATE eState)
{
    BOOL bWasOnline = s_nListState == LIST_STATE_ONLINE;
    s_nListState = eState;
    return bWasOnline != (eState == LIST_STATE_ONLINE);
}

int FindServerLocked(DWORD dwAdrs)
{
    if (dwAdrs == 0) {
        return -1;
    }
    for (int i = 0; i < s_nNumListServInfo; ++i) {
        if (s_aListServInfo[i].dwAdrs == dwAdrs) {
            return i;
        }
    }
    return -1;
}

void CopyUnitIDs(char* pServID, char* pRadioID)
{
    EnterCriticalSection(&s_csList);
    PutField(reinterpret_cast<BYTE*>(pServID), SERV_ID_CHARS, s_szServID);
    PutField(reinterpret_cast<BYTE*>(pRadioID), RADIO_ID_CHARS, s_szRadioID);
    LeaveCriticalSection(&s_csList);
}

}  // namespace lsv

using namespace lsv;

void ListSrv_Construct()
{
    HTTP_Construct();
    InitializeCriticalSection(&s_csList);
    InitializeCriticalSection(&s_csPortCheck);
    InitializeCriticalSection(&s_csTarget);
    InitializeCriticalSection(&s_csRand);
    s_szHostName[0] = '\0';
    s_szHostUrl[0] = '\0';
    s_nHttpPort = s_nTcpPort = s_nTxUdpPort = 0;
    s_nRxUdpPort = 0;
    s_szServID[0] = '\0';
    s_dwServID = 0;
    s_szRadioID[0] = '\0';
    std::memset(s_abyScTable, 0, sizeof(s_abyScTable));
    s_dwSeed = 0;
    std::memset(s_adwDbgServAdrs, 0, sizeof(s_adwDbgServAdrs));
    s_dwDbgPrimaryIP = 0;
    s_bDisableThread = FALSE;
    s_pfnCallback = nullptr;
    s_pCallbackParam = nullptr;
    s_hEvCancel = nullptr;
    s_hEvPortCheck = nullptr;
    InitValiables();
}

BOOL ListSrv_Init()
{
    if (!HTTP_Init()) {
        DebugLog(LOG_CAT_WARNING, "[W] HTTP_Init() failed\n");
        return FALSE;
    }
    s_hEvCancel = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    s_hEvPortCheck = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    if (s_hEvCancel == nullptr || s_hEvPortCheck == nullptr) {
        DebugLog(LOG_CAT_WARNING, "[W] CreateEvent() failed\n");
        return FALSE;
    }
    return TRUE;
}

BOOL ListSrv_Start()
{
    if (s_bStarted.load()) {
        DebugPrint("[W] list server is already started\n");
        return TRUE;
    }
    if (s_hEvCancel == nullptr || s_hEvPortCheck == nullptr) {
        return FALSE;  // not initialised
    }
    InitRandom();
    InitValiables();
    s_bStopReq.store(FALSE);
    ResetEvent(s_hEvCancel);
    ResetEvent(s_hEvPortCheck);
    s_pUdpSock = Sock_GetSocket(FALSE);
    if (s_pUdpSock == nullptr) {
        DebugPrint("[W] socket() failed\n");
        s_bStopReq.store(TRUE);
        return FALSE;
    }
    EnterCriticalSection(&s_csList);
    BOOL bDisable = s_bDisableThread;
    // Without the list thread the fixed addresses are the table, and with
    // addresses at hand the requests can run as after a loaded list file.
    if (bDisable && LoadDbgTableLocked() > 0) {
        SetListStateLocked(LIST_STATE_WAIT_ID);
    }
    LeaveCriticalSection(&s_csList);
    if (!bDisable && (s_hListThread = StartThread(ListThread, &s_bListThreadRunning)) == nullptr) {
        AbortStart();
        return FALSE;
    }
    if ((s_hPortCheckThread = StartThread(PortCheckThreadMain, &s_bPortCheckThreadRunning)) == nullptr) {
        AbortStart();
        return FALSE;
    }
    s_bStarted.store(TRUE);
    return TRUE;
}

void ListSrv_Stop()
{
    s_bStopReq.store(TRUE);
    s_bStarted.store(FALSE);
    if (s_hEvCancel != nullptr) {
        SetEvent(s_hEvCancel);
    }
    if (s_hEvPortCheck != nullptr) {
        SetEvent(s_hEvPortCheck);
    }
    HTTP_CancelAll();
    EndThread(&s_hListThread, s_bListThreadRunning);
    EndThread(&s_hPortCheckThread, s_bPortCheckThreadRunning);
    // A testing health check sees the cancel within one poll and leaves.
    while (s_nDbgHealthCallers.load() != 0) {
        Sleep(1);
    }
    if (s_pUdpSock != nullptr) {
        Sock_Disconnect(s_pUdpSock);
        s_pUdpSock = nullptr;
    }
    // No further port-check socket outlives the module's run.
    if (s_csPortCheck != nullptr) {
        ResetPortChecks();
    }
}

void ListSrv_Destruct()
{
    ListSrv_Stop();
    if (s_hEvCancel != nullptr) {
        CloseHandle(s_hEvCancel);
        s_hEvCancel = nullptr;
    }
    if (s_hEvPortCheck != nullptr) {
        CloseHandle(s_hEvPortCheck);
        s_hEvPortCheck = nullptr;
    }
    HTTP_Destruct();
    DeleteCriticalSection(&s_csRand);
    DeleteCriticalSection(&s_csTarget);
    DeleteCriticalSection(&s_csPortCheck);
    DeleteCriticalSection(&s_csList);
}

void ListSrv_SetHostName(const char* pszName)
{
    CopySetting(s_szHostName, sizeof(s_szHostName), pszName);
}

void ListSrv_SetHostUrl(const char* pszUrl)
{
    CopySetting(s_szHostUrl, sizeof(s_szHostUrl), pszUrl);
}

void ListSrv_SetHttpPort(int nPort)
{
    SetIntSetting(&s_nHttpPort, nPort);
}

void ListSrv_SetTcpPort(int nPort)
{
    SetIntSetting(&s_nTcpPort, nPort);
}

void ListSrv_SetTxUdpPort(int nPort)
{
    SetIntSetting(&s_nTxUdpPort, nPort);
}

void ListSrv_SetServID(const char* pszID)
{
    if (pszID == nullptr) {
        pszID = "";
    }
    _strlcpy(s_szServID, pszID, sizeof(s_szServID));
    DWORD dwValue = 0;
    int nLength = static_cast<int>(std::strlen(s_szServID));
    if (nLength == 0) {
        s_dwServID = 0;  // no ID: no server number either
    } else if (decstr2dword(s_szServID, nLength, &dwValue)) {
        s_dwServID = dwValue | SERV_ID_PRESENT;
    } else {
        s_dwServID |= SERV_ID_PRESENT;
    }
}

void ListSrv_SetRadioID(const char* pszID)
{
    CopySetting(s_szRadioID, sizeof(s_szRadioID), pszID);
}

void ListSrv_SetSCTable(const BYTE* pbyTable)
{
    EnterCriticalSection(&s_csList);
    if (pbyTable != nullptr) {
        std::memcpy(s_abyScTable, pbyTable, sizeof(s_abyScTable));
    } else {
        std::memset(s_abyScTable, 0, sizeof(s_abyScTable));
    }
    LeaveCriticalSection(&s_csList);
}

void ListSrv_SetSeed(DWORD dwVal)
{
    EnterCriticalSection(&s_csRand);
    s_dwSeed = dwVal;
    LeaveCriticalSection(&s_csRand);
    InitRandom();
}

void ListSrv_SetCallback(LISTSRV_CALLBACK pfnCallback, LPVOID pParam)
{
    EnterCriticalSection(&s_csList);
    s_pfnCallback = pfnCallback;
    s_pCallbackParam = pParam;
    LeaveCriticalSection(&s_csList);
}

void ListSrv_SetDbgServAdrs(int nIndex, DWORD dwAdrs)
{
    if (nIndex < 0 || nIndex >= LISTSRV_SERVER_MAX) {
        return;
    }
    EnterCriticalSection(&s_csList);
    s_adwDbgServAdrs[nIndex] = dwAdrs;
    LeaveCriticalSection(&s_csList);
}

void ListSrv_SetDbgPrimaryIP(DWORD dwAdrs)
{
    EnterCriticalSection(&s_csList);
    s_dwDbgPrimaryIP = dwAdrs;
    LeaveCriticalSection(&s_csList);
}

void ListSrv_DisableThread(BOOL bDisable)
{
    EnterCriticalSection(&s_csList);
    s_bDisableThread = bDisable;
    LeaveCriticalSection(&s_csList);
}

void ListSrv_SetCurrentIP(DWORD dwAdrs)
{
    EnterCriticalSection(&s_csList);
    s_dwCurrServerIP = dwAdrs;
    LeaveCriticalSection(&s_csList);
}

void ListSrv_Lock()
{
    EnterCriticalSection(&s_csList);
}

void ListSrv_Unlock()
{
    LeaveCriticalSection(&s_csList);
}

BOOL ListSrv_GetStatus(DWORD* pdwGlobalIP)
{
    EnterCriticalSection(&s_csList);
    if (pdwGlobalIP != nullptr) {
        *pdwGlobalIP = s_dwGlobalIP;
    }
    BOOL bOnline = s_nListState == LIST_STATE_ONLINE ? LISTSRV_STATUS_ONLINE : LISTSRV_STATUS_OFFLINE;
    LeaveCriticalSection(&s_csList);
    return bOnline;
}

LIST_STATE ListSrv_GetListState()
{
    EnterCriticalSection(&s_csList);
    LIST_STATE eState = s_nListState;
    LeaveCriticalSection(&s_csList);
    return eState;
}

DWORD ListSrv_GetCurrentIP()
{
    EnterCriticalSection(&s_csList);
    DWORD dwAdrs = s_dwCurrServerIP;
    LeaveCriticalSection(&s_csList);
    return dwAdrs;
}

int ListSrv_GetServerAdrs(DWORD* adwAdrs, int nMax)
{
    EnterCriticalSection(&s_csList);
    int nNum = s_nNumListServInfo;
    for (int i = 0; i < nNum && i < nMax; ++i) {
        adwAdrs[i] = s_aListServInfo[i].dwAdrs;
    }
    LeaveCriticalSection(&s_csList);
    return nNum;
}
