// cmdsrv: the command server transport. It owns the UDP receive socket and
// its thread, the setting listener's port, the outgoing TCP connection and
// its thread (binary frames, or text lines with reconnection), and the one
// owner callback every event goes to. Accepted connections run on the socket
// layer's accept threads: the setting port's through the text line loop, the
// data port's through the binary frame loop.
//
// Threads: the lifecycle calls and the connection calls come from the owner;
// events are raised on the UDP receive thread, the accept threads and the
// outgoing-connection thread. Locks: s_csCallback (the callback pair, copied
// out before each call), s_csSock (s_pTcpSock between the reconnecting thread
// and the calls that end it; the socket table lock is taken inside it).
#include "cmdsrv.h"

#include <atomic>

#include "debug.h"
#include "util.h"

namespace {

constexpr long s_lSessionTimeout = 30000;  // binary-frame receive time-out
constexpr long s_lConnectTimeout = 30000;  // outgoing connect time-out
constexpr long s_lSessionTimeout2 = 120000;  // idle time-out of a text connection
constexpr long s_lTxTimeout = 10000;  // send time-out (TCP and UDP)
constexpr long s_lRxTimeout = 10000;  // receive time-out of CmdServer_Receive

constexpr DWORD RECONNECT_PAUSE_MS = 3000;
constexpr int TEXT_RX_SIZE = 512;
constexpr int DISCARD_CHUNK = 256;

constexpr BYTE KEY_BACKSPACE = 8;
constexpr BYTE KEY_TAB = 9;
constexpr BYTE KEY_LINE_FEED = 10;
constexpr BYTE KEY_RETURN = 13;
constexpr BYTE KEY_ESCAPE = 27;
constexpr BYTE FIRST_PRINTABLE = 32;
constexpr BYTE LAST_KEPT = 127;

CRITICAL_SECTION s_csCallback = nullptr;
CMDSERVER_CALLBACK s_pfnCallback = nullptr;  // under s_csCallback
LPVOID s_pCallbackParam = nullptr;  // under s_csCallback
std::atomic<NPSOCK_PARAM> s_pUdpSock{nullptr};
HANDLE s_hRxUdpThread = nullptr;
NPSOCK_PARAM s_pTcpSock = nullptr;  // under s_csSock
HANDLE s_hRxTcpThread = nullptr;
std::atomic<WORD> s_nTcpPort{0};
std::atomic<ULONG> s_ulTcpAdrs{0};
HANDLE s_hEvCancel = nullptr;
CRITICAL_SECTION s_csSock = nullptr;
WORD s_nSettingPort = 0;

NPSOCK_PARAM AsSock(LPVOID pClient)
{
    return static_cast<NPSOCK_PARAM>(pClient);
}

void RaiseEvent(NPSOCK_PARAM pClient, CMDSRV_EVENT eEvent, LPVOID pData, int nLen)
{
    EnterCriticalSection(&s_csCallback);
    CMDSERVER_CALLBACK pfnCallback = s_pfnCallback;
    LPVOID pParam = s_pCallbackParam;
    LeaveCriticalSection(&s_csCallback);
    if (pfnCallback != nullptr) {
        pfnCallback(pClient, eEvent, pData, nLen, pParam);
    }
}

BOOL TxCommand(NPSOCK_PARAM pClient, const void* pData, int nDataLen, long lTimeout)
{
    if (nDataLen < 1) {
        return TRUE;
    }
    const BYTE* pBytes = static_cast<const BYTE*>(pData);
    DWORD dwStart = GetTickCount();
    int nSent = 0;
    while (nSent < nDataLen) {
        int n = Sock_Send(pClient, pBytes + nSent, nDataLen - nSent, lTimeout);
        if (n <= 0) {
            DebugPrint("WARNING: Sock_Send() failed\n");
            return FALSE;
        }
        nSent += n;
        if (nSent < nDataLen && lTimeout > 0 && GetTickCount() - dwStart >= static_cast<DWORD>(lTimeout)) {
            DebugPrint("WARNING: TxCommand() timeout\n");
            return FALSE;
        }
    }
    return TRUE;
}

// Reads one frame into pData (nBuffSize bytes). Each read asks for exactly
// the missing bytes with the per-read time-out; the whole frame must also
// arrive within lTimeout. A frame larger than the buffer fails before any of
// its payload is read.
BOOL RxCommand(NPSOCK_PARAM pClient, BYTE* pData, int nBuffSize, int* pnDataLen, long lTimeout)
{
    if (nBuffSize < CMDSRV_HEADER_SIZE) {
        return FALSE;
    }
    DWORD dwStart = GetTickCount();
    int nHave = 0;
    int nWant = CMDSRV_HEADER_SIZE;
    bool bHeaderDone = false;
    while (nHave < nWant) {
        int n = Sock_Receive(pClient, pData + nHave, nWant - nHave, lTimeout);
        if (n <= 0) {
            DebugPrint("WARNING: Sock_Receive() failed\n");
            return FALSE;
        }
        nHave += n;
        if (lTimeout > 0 && GetTickCount() - dwStart >= static_cast<DWORD>(lTimeout)) {
            DebugPrint("WARNING: RxCommand() timeout\n");
            return FALSE;
        }
        if (!bHeaderDone && nHave == CMDSRV_HEADER_SIZE) {
            bHeaderDone = true;
            nWant = CMDSRV_HEADER_SIZE + GetBE16(pData + CMDSRV_HEADER_LENGTH);
            if (nWant > nBuffSize) {
                DebugPrint("WARNING: RxCommand() frame of %d bytes exceeds the %d-byte buffer\n", nWant, nBuffSize);
                return FALSE;
            }
        }
    }
    *pnDataLen = nWant;
    return TRUE;
}

void RxCmdLoop(NPSOCK_PARAM pClient)
{
    BYTE abyFrame[CMDSRV_FRAME_BUFFER_SIZE];
    int nLen = 0;
    while (RxCommand(pClient, abyFrame, sizeof(abyFrame), &nLen, s_lSessionTimeout)) {
        RaiseEvent(pClient, CMDSRV_EVENT_RX_CMD, abyFrame, nLen);
    }
}

void RxSettingLoop(NPSOCK_PARAM pClient)
{
    char szLine[CMDSRV_LINE_BUFFER_SIZE];
    int nIndex = 0;
    BYTE abyRx[TEXT_RX_SIZE];
    for (;;) {
        int n = Sock_Receive(pClient, abyRx, sizeof(abyRx), s_lSessionTimeout2);
        if (n <= 0) {
            DebugPrint("WARNING: Sock_Receive() failed\n");
            return;
        }
        for (int i = 0; i < n; ++i) {
            if (CmdServer_EditLine(szLine, &nIndex, abyRx[i])) {
                // Only the line end is echoed; replies come from the owner.
                TxCommand(pClient, "\r\n", 2, s_lTxTimeout);
                RaiseEvent(pClient, CMDSRV_EVENT_RX_SETTING, szLine, nIndex);
                nIndex = 0;
            }
        }
    }
}

void OnSettingAccept(NPSOCK_PARAM pClient)
{
    // The line-end echo and the reply go out as separate small writes; without
    // this the reply waits about 40 ms for the echo's acknowledgement.
    Sock_SetTcpNoDelay(pClient, TRUE);
    RaiseEvent(pClient, CMDSRV_EVENT_ACCEPT, nullptr, 0);
    RxSettingLoop(pClient);
    RaiseEvent(pClient, CMDSRV_EVENT_DISCONNECT, nullptr, 0);
}

void OnUserAccept(NPSOCK_PARAM pClient)
{
    RaiseEvent(pClient, CMDSRV_EVENT_ACCEPT, nullptr, 0);
    RxCmdLoop(pClient);
    RaiseEvent(pClient, CMDSRV_EVENT_DISCONNECT, nullptr, 0);
}

DWORD RxUdpThread(LPVOID param)
{
    NPSOCK_PARAM pSock = static_cast<NPSOCK_PARAM>(param);
    BYTE abyData[CMDSRV_UDP_MAX];
    DebugPrint("start UDP server..\n");
    for (;;) {
        ULONG ulAdrs = 0;
        int n = Sock_ReceiveFrom(pSock, abyData, sizeof(abyData), 0, &ulAdrs, 0);
        if (n < 0) {
            break;
        }
        if (n == 0) {
            continue;  // an empty datagram carries nothing for the owner
        }
        pSock->ulAdrs = ulAdrs;
        RaiseEvent(pSock, CMDSRV_EVENT_RX_DATA, abyData, n);
    }
    DebugPrint("WARNING: Sock_ReceiveFrom() failed\n");
    DebugPrint("UDP server stopped..\n");
    return 0;
}

BOOL StartUdp(WORD nUdpDataPort)
{
    NPSOCK_PARAM pSock = Sock_GetSocket(FALSE);
    if (pSock == nullptr) {
        DebugPrint("WARNING: Sock_GetSocket() failed\n");
        return FALSE;
    }
    if (!Sock_Bind(pSock, nUdpDataPort, 0)) {
        DebugPrint("WARNING: Sock_Bind(%d) failed\n", nUdpDataPort);
        Sock_Disconnect(pSock);
        return FALSE;
    }
    s_pUdpSock = pSock;
    s_hRxUdpThread = Sock_StartThread(RxUdpThread, pSock);
    return s_hRxUdpThread != nullptr;
}

void StopUdp()
{
    NPSOCK_PARAM pSock = s_pUdpSock.load();
    if (pSock != nullptr) {
        Sock_MarkCancel(pSock);
        Sock_Shutdown(pSock, TRUE, TRUE);
    }
    if (s_hRxUdpThread != nullptr) {
        _CancelThread(s_hRxUdpThread);
        WaitForSingleObject(s_hRxUdpThread, INFINITE);
        CloseHandle(s_hRxUdpThread);
        s_hRxUdpThread = nullptr;
    }
    if (pSock != nullptr) {
        s_pUdpSock = nullptr;
        Sock_Disconnect(pSock);
    }
}

BOOL ListenOn(WORD nPort, LISTEN_CALLBACK pCallback)
{
    if (!Sock_Listen(nPort, pCallback)) {
        DebugPrint("WARNING: Sock_Listen(%d) failed\n", nPort);
        return FALSE;
    }
    return TRUE;
}

void JoinOutgoingThread()
{
    if (s_hRxTcpThread != nullptr) {
        _CancelThread(s_hRxTcpThread);
        WaitForSingleObject(s_hRxTcpThread, INFINITE);
        CloseHandle(s_hRxTcpThread);
        s_hRxTcpThread = nullptr;
    }
}

DWORD RxTcpThread(LPVOID param)
{
    NPSOCK_PARAM pSock = static_cast<NPSOCK_PARAM>(param);
    if (!Sock_Connect(pSock, pSock->nPort.load(), pSock->ulAdrs.load(), s_lConnectTimeout)) {
        DebugPrint("WARNING: Sock_Connect() failed\n");
        RaiseEvent(pSock, CMDSRV_EVENT_CONN_FAILED, nullptr, 0);
        return 0;
    }
    RaiseEvent(pSock, CMDSRV_EVENT_CONNECT, nullptr, 0);
    RxCmdLoop(pSock);
    RaiseEvent(pSock, CMDSRV_EVENT_DISCONNECT, nullptr, 0);
    DebugPrint("end of RxTcpThread\n");
    return 0;
}

// One attempt of the reconnecting text connection.
void RunTextConnection()
{
    EnterCriticalSection(&s_csSock);
    NPSOCK_PARAM pSock = Sock_GetSocket(TRUE);
    if (pSock == nullptr) {
        DebugPrint("WARNING: Sock_GetSocket() failed\n");
    }
    s_pTcpSock = pSock;
    WORD nPort = s_nTcpPort.load();
    ULONG ulAdrs = s_ulTcpAdrs.load();
    bool bCancelled = WaitForSingleObject(s_hEvCancel, 0) == WAIT_OBJECT_0;
    LeaveCriticalSection(&s_csSock);

    if (pSock != nullptr && !bCancelled) {
        if (Sock_Connect(pSock, nPort, ulAdrs, s_lConnectTimeout)) {
            RaiseEvent(pSock, CMDSRV_EVENT_CONNECT, nullptr, 0);
            RxSettingLoop(pSock);
            RaiseEvent(pSock, CMDSRV_EVENT_DISCONNECT, nullptr, 0);
        } else {
            DebugPrint("WARNING: Sock_Connect() failed\n");
            RaiseEvent(pSock, CMDSRV_EVENT_CONN_FAILED, nullptr, 0);
        }
    }

    EnterCriticalSection(&s_csSock);
    pSock = s_pTcpSock;
    s_pTcpSock = nullptr;
    LeaveCriticalSection(&s_csSock);
    Sock_Disconnect(pSock);
}

DWORD RxTcpThread2(LPVOID)
{
    for (;;) {
        RunTextConnection();
        if (WaitForSingleObject(s_hEvCancel, RECONNECT_PAUSE_MS) == WAIT_OBJECT_0) {
            DebugPrint("end of RxTcpThread2\n");
            return 0;
        }
    }
}

}  // namespace

BOOL CmdServer_EditLine(char (&szLine)[CMDSRV_LINE_BUFFER_SIZE], int* pnIndex, BYTE c)
{
    switch (c) {
    case KEY_BACKSPACE:
        if (*pnIndex > 0) {
            --*pnIndex;
        }
        return FALSE;
    case KEY_LINE_FEED:
    case KEY_RETURN:
        szLine[*pnIndex] = '\0';
        return TRUE;
    case KEY_ESCAPE:
        *pnIndex = 0;
        return FALSE;
    default:
        break;
    }
    if (c == KEY_TAB) {
        c = ' ';
    }
    if (c >= FIRST_PRINTABLE && c <= LAST_KEPT && *pnIndex < CMDSRV_LINE_MAX) {
        szLine[(*pnIndex)++] = static_cast<char>(c);
    }
    return FALSE;
}

void CmdServer_Construct()
{
    if (s_csCallback == nullptr) {
        InitializeCriticalSection(&s_csCallback);
    }
    if (s_csSock == nullptr) {
        InitializeCriticalSection(&s_csSock);
    }
    s_pfnCallback = nullptr;
    s_pCallbackParam = nullptr;
    s_pUdpSock = nullptr;
    s_hRxUdpThread = nullptr;
    s_pTcpSock = nullptr;
    s_hRxTcpThread = nullptr;
    s_nTcpPort = 0;
    s_ulTcpAdrs = 0;
    s_nSettingPort = 0;
}

BOOL CmdServer_Init()
{
    if (s_hEvCancel == nullptr) {
        s_hEvCancel = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        if (s_hEvCancel == nullptr) {
            DebugPrint("WARNING: CreateEvent() failed\n");
            return FALSE;
        }
    }
    return TRUE;
}

BOOL CmdServer_Start(WORD nTcpDataPort, WORD nUdpDataPort, WORD nSettingPort)
{
    if (!Sock_Start()) {
        DebugPrint("WARNING: Sock_Start() failed\n");
        return FALSE;
    }
    if (nSettingPort != 0) {
        if (!ListenOn(nSettingPort, OnSettingAccept)) {
            return FALSE;
        }
        s_nSettingPort = nSettingPort;
    }
    if (nTcpDataPort != 0 && !ListenOn(nTcpDataPort, OnUserAccept)) {
        return FALSE;
    }
    return StartUdp(nUdpDataPort);
}

void CmdServer_Stop()
{
    // The outgoing connections end first: the reconnecting one would
    // otherwise come back after the socket layer stopped.
    CmdServer_Disconnect2();
    StopUdp();
    if (s_nSettingPort != 0) {
        Sock_StopListen(s_nSettingPort);
        s_nSettingPort = 0;
    }
    Sock_Stop();
}

void CmdServer_Destruct()
{
    CmdServer_Stop();
    if (s_hEvCancel != nullptr) {
        CloseHandle(s_hEvCancel);
        s_hEvCancel = nullptr;
    }
    DeleteCriticalSection(&s_csCallback);
    DeleteCriticalSection(&s_csSock);
}

void CmdServer_SetCallback(CMDSERVER_CALLBACK pfnCallback, LPVOID pParam)
{
    EnterCriticalSection(&s_csCallback);
    s_pfnCallback = pfnCallback;
    s_pCallbackParam = pParam;
    LeaveCriticalSection(&s_csCallback);
}

LPVOID CmdServer_GetClient()
{
    NPSOCK_PARAM pSock = Sock_GetSocket(FALSE);
    if (pSock == nullptr) {
        DebugPrint("WARNING: Sock_GetSocket() failed\n");
    }
    return pSock;
}

BOOL CmdServer_SendTo(LPVOID pClient, const void* pData, int nDataLen, WORD nPort, ULONG ulAdrs)
{
    if (Sock_SendTo(AsSock(pClient), pData, nDataLen, nPort, ulAdrs, s_lTxTimeout) > 0) {
        return TRUE;
    }
    DebugPrint("WARNING: Sock_SendTo() failed\n");
    return FALSE;
}

BOOL CmdServer_Send(LPVOID pSock, const void* pData, int nDataLen)
{
    return TxCommand(AsSock(pSock), pData, nDataLen, s_lTxTimeout);
}

BOOL CmdServer_Receive(LPVOID pClient, LPVOID pData, int* pnDataLen)
{
    if (pnDataLen == nullptr) {
        return FALSE;
    }
    return RxCommand(AsSock(pClient), static_cast<BYTE*>(pData), *pnDataLen, pnDataLen, s_lRxTimeout);
}

WORD CmdServer_GetPort(LPVOID pClient)
{
    return Sock_GetPort(AsSock(pClient));
}

ULONG CmdServer_GetAddress(LPVOID pClient)
{
    return pClient != nullptr ? AsSock(pClient)->ulAdrs.load() : 0;
}

LPVOID CmdServer_GetUdpClient()
{
    return s_pUdpSock.load();
}

BOOL CmdServer_IsUdpClient(LPVOID pClient)
{
    return pClient != nullptr && pClient == s_pUdpSock.load();
}

BOOL CmdServer_IsClosed(LPVOID pClient)
{
    return pClient != nullptr ? AsSock(pClient)->bClose.load() : TRUE;
}

BOOL CmdServer_Bind(LPVOID pClient, WORD nPort, ULONG ulAdrs)
{
    if (!Sock_Bind(AsSock(pClient), nPort, ulAdrs)) {
        DebugPrint("WARNING: Sock_Bind(%d) failed\n", nPort);
        return FALSE;
    }
    return TRUE;
}

void CmdServer_Close(LPVOID pClient)
{
    Sock_Close(AsSock(pClient));
}

void CmdServer_Disconnect(LPVOID pClient)
{
    NPSOCK_PARAM pSock = AsSock(pClient);
    if (pSock == nullptr) {
        return;
    }
    EnterCriticalSection(&s_csSock);
    bool bOutgoing = pSock == s_pTcpSock;
    Sock_MarkCancel(pSock);
    Sock_Shutdown(pSock, TRUE, TRUE);
    LeaveCriticalSection(&s_csSock);
    if (!bOutgoing) {
        Sock_Disconnect(pSock);
        return;
    }
    SetEvent(s_hEvCancel);
    JoinOutgoingThread();
    // The reconnecting thread releases its own socket; only free it if it is still ours.
    EnterCriticalSection(&s_csSock);
    bool bStillOurs = pSock == s_pTcpSock;
    if (bStillOurs) {
        s_pTcpSock = nullptr;
    }
    LeaveCriticalSection(&s_csSock);
    if (bStillOurs) {
        Sock_Disconnect(pSock);
    }
}

LPVOID CmdServer_Connect(WORD nPort, ULONG ulAdrs)
{
    NPSOCK_PARAM pSock = Sock_GetSocket(TRUE);
    if (pSock == nullptr) {
        DebugPrint("WARNING: Sock_GetSocket() failed\n");
        return nullptr;
    }
    pSock->nPort = nPort;
    pSock->ulAdrs = ulAdrs;
    EnterCriticalSection(&s_csSock);
    s_pTcpSock = pSock;
    LeaveCriticalSection(&s_csSock);
    s_hRxTcpThread = Sock_StartThread(RxTcpThread, pSock);
    if (s_hRxTcpThread == nullptr) {
        EnterCriticalSection(&s_csSock);
        s_pTcpSock = nullptr;
        LeaveCriticalSection(&s_csSock);
        Sock_Disconnect(pSock);
        return nullptr;
    }
    return pSock;
}

BOOL CmdServer_Connect2(WORD nPort, ULONG ulAdrs)
{
    s_nTcpPort = nPort;
    s_ulTcpAdrs = ulAdrs;
    ResetEvent(s_hEvCancel);
    s_hRxTcpThread = Sock_StartThread(RxTcpThread2, nullptr);
    return s_hRxTcpThread != nullptr;
}

void CmdServer_Disconnect2()
{
    EnterCriticalSection(&s_csSock);
    SetEvent(s_hEvCancel);
    if (s_pTcpSock != nullptr) {
        Sock_MarkCancel(s_pTcpSock);
        Sock_Shutdown(s_pTcpSock, TRUE, TRUE);
    }
    LeaveCriticalSection(&s_csSock);
    JoinOutgoingThread();
}

void CmdServer_WaitForDisconnect(LPVOID pClient, long lTimeout)
{
    BYTE abyDiscard[DISCARD_CHUNK];
    DWORD dwStart = GetTickCount();
    while (Sock_Receive(AsSock(pClient), abyDiscard, sizeof(abyDiscard), lTimeout) > 0) {
        if (GetTickCount() - dwStart >= static_cast<DWORD>(lTimeout)) {
            return;
        }
    }
}

BOOL CmdServer_RestartUDP(WORD nUdpDataPort)
{
    StopUdp();
    return StartUdp(nUdpDataPort);
}

BOOL CmdServer_RestartSetting(WORD nSettingPort)
{
    if (nSettingPort == s_nSettingPort) {
        return TRUE;
    }
    if (s_nSettingPort != 0) {
        Sock_StopListen(s_nSettingPort);
    }
    // Cleared before listening again: after a failure no listener runs, and
    // the next call with the old port must start it rather than find it "there".
    s_nSettingPort = 0;
    if (nSettingPort == 0) {
        return TRUE;
    }
    if (!ListenOn(nSettingPort, OnSettingAccept)) {
        return FALSE;
    }
    s_nSettingPort = nSettingPort;
    return TRUE;
}
