// httpcomm: the HTTP module's life cycle, callback and connection table (see
// httpcomm.h). The table entries are the socket records of open exchanges;
// nothing enters one until the exchanges are built, so HTTP_CancelAll finds
// an empty table in this system.
//
// Threads: any thread; the directory client's stop path calls HTTP_CancelAll.
// Locks: s_csCallback, s_csSock (see httpcomm.h).
#include "httpcomm.h"

#include "sockutil.h"

namespace {

HTTP_CALLBACK s_pfnCallback = nullptr;
LPVOID s_pCallbackParam = nullptr;
CRITICAL_SECTION s_csCallback = nullptr;
CRITICAL_SECTION s_csSock = nullptr;
NPSOCK_PARAM s_apSockTbl[HTTP_SOCK_TABLE_SIZE];

}  // namespace

void HTTP_Construct()
{
    s_pfnCallback = nullptr;
    s_pCallbackParam = nullptr;
    for (NPSOCK_PARAM& pSock : s_apSockTbl) {
        pSock = nullptr;
    }
    InitializeCriticalSection(&s_csCallback);
    InitializeCriticalSection(&s_csSock);
}

BOOL HTTP_Init()
{
    return TRUE;
}

void HTTP_Stop() {}

void HTTP_Destruct()
{
    DeleteCriticalSection(&s_csSock);
    DeleteCriticalSection(&s_csCallback);
}

void HTTP_SetCallback(HTTP_CALLBACK pfnCallback, LPVOID pParam)
{
    EnterCriticalSection(&s_csCallback);
    s_pfnCallback = pfnCallback;
    s_pCallbackParam = pParam;
    LeaveCriticalSection(&s_csCallback);
}

void HTTP_CancelAll()
{
    if (s_csSock == nullptr) {
        return;
    }
    EnterCriticalSection(&s_csSock);
    for (NPSOCK_PARAM pSock : s_apSockTbl) {
        if (pSock != nullptr) {
            Sock_Close(pSock);
        }
    }
    LeaveCriticalSection(&s_csSock);
}
