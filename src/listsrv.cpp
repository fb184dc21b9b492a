// listsrv: the directory client's life cycle, settings, locks, random
// generator and port-check entries (see listsrv.h). The module is constructed,
// initialised, seeded and stopped by the unit core but never started here, so
// its thread handles stay null, its own UDP socket is never made and no
// further port-check socket is ever opened; the stop path still handles them
// as a started module would have them.
//
// Threads: the unit core's main thread and the command handlers. Locks:
// s_csPortCheck (port-check entries and the receive port) before s_csList
// (settings and IDs); s_csRand guards the generator.
#include "listsrv.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <random>

#include "debug.h"
#include "helpers.h"
#include "httpcomm.h"
#include "sockutil.h"
#include "util.h"

namespace {

constexpr int PORT_CHECK_ENTRIES = 8;
constexpr int LIST_SERVER_MAX = 8;
constexpr int SERV_ID_CHARS = 5;
constexpr DWORD SERV_ID_PRESENT = 0x80000000u;  // set in every server number
constexpr int DISCARDED_DRAWS = 3;              // numbers drawn and dropped after each seeding

// One UDP port whose reachability is checked.
struct PortCheckInfo {
    int nPort;
    int nUsed;                                 // use count; 0 = free
    NPSOCK_PARAM pSock;                        // bound socket of a further entry; null when none
    DWORD adwRxPortCheckCnt[LIST_SERVER_MAX];  // answers per server table index
};

// Settings.
char s_szServID[SERV_ID_CHARS + 1];
DWORD s_dwServID = 0;
DWORD s_dwSeed = 0;
int s_nRxUdpPort = 0;

// State.
std::atomic<bool> s_bStopReq{true};
std::atomic<bool> s_bStarted{false};
HANDLE s_hListThread = nullptr;
HANDLE s_hPortCheckThread = nullptr;
HANDLE s_hEvCancel = nullptr;
HANDLE s_hEvPortCheck = nullptr;
NPSOCK_PARAM s_pUdpSock = nullptr;
PortCheckInfo s_PortCheckMain;
PortCheckInfo s_aPortCheckInfo[PORT_CHECK_ENTRIES];
int s_nPortCheckCnt = 0;

CRITICAL_SECTION s_csList = nullptr;
CRITICAL_SECTION s_csPortCheck = nullptr;
CRITICAL_SECTION s_csRand = nullptr;
std::mt19937 s_Random;

void ClearPortCheck(PortCheckInfo& info)
{
    info = PortCheckInfo{};
}

// Resets the module state; the stop flag is set, as before any start.
void InitValiables()
{
    s_bStopReq.store(true);
    s_bStarted.store(false);
    s_hListThread = nullptr;
    s_hPortCheckThread = nullptr;
    s_pUdpSock = nullptr;
    ClearPortCheck(s_PortCheckMain);
    for (PortCheckInfo& info : s_aPortCheckInfo) {
        ClearPortCheck(info);
    }
    s_nPortCheckCnt = 0;
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

// Ends a thread of the module: the cancel signal cuts short a sleep or a
// select, the stop flag (set by the caller) ends its loop; then it is joined.
void EndThread(HANDLE* phThread)
{
    if (*phThread == nullptr) {
        return;
    }
    _CancelThread(*phThread);
    WaitForSingleObject(*phThread, INFINITE);
    CloseHandle(*phThread);
    *phThread = nullptr;
}

// Frees a further entry: closes its socket and lowers the open count.
void FreePortCheck(PortCheckInfo& info)
{
    if (info.pSock != nullptr) {
        Sock_Disconnect(info.pSock);
        info.pSock = nullptr;
        --s_nPortCheckCnt;
        if (s_nPortCheckCnt == 0 && s_hEvPortCheck != nullptr) {
            ResetEvent(s_hEvPortCheck);
        }
    }
    ClearPortCheck(info);
}

}  // namespace

void ListSrv_Construct()
{
    HTTP_Construct();
    s_szServID[0] = '\0';
    s_dwServID = 0;
    s_dwSeed = 0;
    s_nRxUdpPort = 0;
    s_hEvCancel = nullptr;
    s_hEvPortCheck = nullptr;
    InitValiables();
    InitializeCriticalSection(&s_csList);
    InitializeCriticalSection(&s_csPortCheck);
    InitializeCriticalSection(&s_csRand);
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

void ListSrv_Stop()
{
    s_bStopReq.store(true);
    s_bStarted.store(false);
    if (s_hEvCancel != nullptr) {
        SetEvent(s_hEvCancel);
    }
    if (s_hEvPortCheck != nullptr) {
        SetEvent(s_hEvPortCheck);
    }
    HTTP_CancelAll();
    EndThread(&s_hListThread);
    EndThread(&s_hPortCheckThread);
    if (s_pUdpSock != nullptr) {
        Sock_Disconnect(s_pUdpSock);
        s_pUdpSock = nullptr;
    }
}

void ListSrv_Destruct()
{
    ListSrv_Stop();
    if (s_csPortCheck != nullptr) {
        EnterCriticalSection(&s_csPortCheck);
        for (PortCheckInfo& info : s_aPortCheckInfo) {
            FreePortCheck(info);
        }
        LeaveCriticalSection(&s_csPortCheck);
    }
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
    DeleteCriticalSection(&s_csPortCheck);
    DeleteCriticalSection(&s_csList);
}

void ListSrv_SetSeed(DWORD dwVal)
{
    s_dwSeed = dwVal;
    InitRandom();
}

void ListSrv_SetRxUdpPort(int nPort)
{
    EnterCriticalSection(&s_csPortCheck);
    s_nRxUdpPort = nPort;
    // The main socket now serves the port: a further entry for it is no longer needed.
    for (PortCheckInfo& info : s_aPortCheckInfo) {
        if (info.nUsed > 0 && info.nPort == nPort) {
            FreePortCheck(info);
        }
    }
    s_PortCheckMain.nPort = nPort;
    s_PortCheckMain.nUsed = 1;
    LeaveCriticalSection(&s_csPortCheck);
}

void ListSrv_Lock()
{
    EnterCriticalSection(&s_csList);
}

void ListSrv_Unlock()
{
    LeaveCriticalSection(&s_csList);
}

void ListSrv_SetServID(const char* pszID)
{
    if (pszID == nullptr) {
        pszID = "";
    }
    _strlcpy(s_szServID, pszID, sizeof(s_szServID));
    DWORD dwValue = 0;
    int nLength = static_cast<int>(std::strlen(pszID));
    if (decstr2dword(pszID, nLength, &dwValue)) {
        s_dwServID = dwValue | SERV_ID_PRESENT;
    } else {
        s_dwServID |= SERV_ID_PRESENT;
    }
}

void ListSrv_GetServID(char (&szID)[6], DWORD* pdwServID)
{
    _strlcpy(szID, s_szServID, sizeof(szID));
    *pdwServID = s_dwServID;
}

int ListSrv_GetRxUdpPort()
{
    EnterCriticalSection(&s_csPortCheck);
    int nPort = s_nRxUdpPort;
    LeaveCriticalSection(&s_csPortCheck);
    return nPort;
}
