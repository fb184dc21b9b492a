// sockutil: the socket table, listen and accept threads, and sends, receives
// and connects with time-outs.
//
// The table (g_SockTbl, 64 entries) and every close or shutdown of one of its
// descriptors are guarded by g_csTbl. Sends and receives run without it. The
// listen thread of a listener and the accept thread of a connection own their
// descriptor: they are the ones that close it and free their entry when they
// end. A stop (Sock_StopListen, Sock_Stop) therefore only shuts the
// descriptors down and marks them closed: on Linux a close() does not wake a
// thread blocked in accept() or recv() on the descriptor, and the number could
// be reused by the next socket() while that thread still uses it, whereas a
// shutdown() wakes it at once. The cancel signal then cuts short a thread
// waiting in a timed wait. A stop never waits for a thread while holding
// g_csTbl, because the ending threads need it to free their entries.
//
// Threads: any. Locks: g_csTbl only (innermost apart from the debug output).
#include "sockutil.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "debug.h"
#include "wsockemu.h"

namespace {

// The address buffer handed to accept(): one IPv4 socket address.
constexpr socklen_t ACCEPT_ADDRESS_SIZE = 16;
static_assert(sizeof(sockaddr_in) == ACCEPT_ADDRESS_SIZE, "IPv4 socket address is 16 bytes");

// Waits up to this long are one poll. Longer ones are cut into slices of at
// most WAIT_SLICE_MS whose deadline is measured with GetTickCount: the tick
// counter is the clock tests move, so a test of a 120 s idle time-out jumps
// the clock and sees the wait end within one slice instead of waiting. A
// slice is a blocking poll, so the wait does not spin, and the cancel signal
// still ends it at once.
constexpr long WAIT_SINGLE_MAX_MS = 1000;
constexpr long WAIT_SLICE_MS = 250;

// Pause before accepting again after the process ran out of descriptors or
// memory, so the pending connection does not make the listen thread spin.
constexpr DWORD ACCEPT_RESOURCE_PAUSE_MS = 100;

constexpr int SOCKET_WORKER_PRIORITY = 1;

SOCK_TABLE g_SockTbl[SOCK_TABLE_SIZE];
CRITICAL_SECTION g_csTbl = nullptr;
std::atomic<BOOL> g_bStopReq{FALSE};

bool IsUsable(NPSOCK_PARAM p)
{
    return p != nullptr && p->sock.load() != INVALID_SOCKET && !p->bClose.load() && !p->bCancel.load();
}

sockaddr_in MakeAddress(WORD nPort, ULONG ulAdrs)
{
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(nPort);
    address.sin_addr.s_addr = htonl(ulAdrs);
    return address;
}

void PrintAddress(const char* pszWhat, ULONG ulAdrs)
{
    DebugPrint("%s %d.%d.%d.%d\n", pszWhat, static_cast<int>((ulAdrs >> 24) & 0xFF),
               static_cast<int>((ulAdrs >> 16) & 0xFF), static_cast<int>((ulAdrs >> 8) & 0xFF),
               static_cast<int>(ulAdrs & 0xFF));
}

SOCK_TABLE* TableEntryOf(NPSOCK_PARAM p)
{
    for (SOCK_TABLE& entry : g_SockTbl) {
        if (&entry.sock == p) {
            return &entry;
        }
    }
    return nullptr;
}

// Takes a free entry (g_csTbl held). Finished threads of free entries are
// joined first, so the entry handed out has no thread handle.
NPSOCK_PARAM AddTable()
{
    for (SOCK_TABLE& entry : g_SockTbl) {
        if (!entry.bUsed && entry.sock.hThread != nullptr) {
            CloseHandle(entry.sock.hThread);
            entry.sock.hThread = nullptr;
        }
    }
    for (SOCK_TABLE& entry : g_SockTbl) {
        if (!entry.bUsed) {
            entry.bUsed = TRUE;
            entry.sock.nPort = 0;
            entry.sock.ulAdrs = 0;
            entry.sock.pParam = nullptr;
            entry.sock.pCallback = nullptr;
            return &entry.sock;
        }
    }
    return nullptr;
}

// Fills a fresh entry with its descriptor (g_csTbl held).
void OpenEntry(NPSOCK_PARAM p, SOCKET fd)
{
    p->sock = fd;
    p->bClose = FALSE;
    p->bCancel = FALSE;
}

// Closes the descriptor if the entry still holds one (g_csTbl held). A
// descriptor a stop has shut down is released here too.
void CloseLocked(NPSOCK_PARAM p)
{
    SOCKET fd = p->sock.exchange(INVALID_SOCKET);
    if (fd != INVALID_SOCKET) {
        p->bClose = TRUE;
        close(fd);
    }
}

// Wakes every thread blocked on the descriptor and makes every later
// operation fail, leaving the release to the descriptor's owner (g_csTbl held).
void ShutLocked(NPSOCK_PARAM p)
{
    SOCKET fd = p->sock.load();
    if (fd != INVALID_SOCKET && !p->bClose.load()) {
        p->bClose = TRUE;
        shutdown(fd, SHUT_RDWR);
    }
}

// Closes the descriptor and frees the entry (g_csTbl held); a thread handle
// stays for AddTable or a stop to join.
void ReleaseLocked(NPSOCK_PARAM p)
{
    CloseLocked(p);
    p->bClose = TRUE;
    SOCK_TABLE* entry = TableEntryOf(p);
    if (entry != nullptr) {
        entry->bUsed = FALSE;
    }
}

int PollOnce(SOCKET fd, bool bWrite, long lTimeout)
{
    pollfd pfd;
    pfd.fd = fd;
    pfd.events = static_cast<short>(bWrite ? POLLOUT : POLLIN);
    pfd.revents = 0;
    int ret = poll(&pfd, 1, static_cast<int>(std::max(lTimeout, 0L)));
    if (ret <= 0) {
        return ret < 0 ? -1 : 0;  // an interruption by the cancel signal is an error
    }
    return (pfd.revents & POLLNVAL) != 0 ? -1 : 1;
}

// One wait for readability or writability: 1 ready, 0 time-out, -1 error.
int WaitFor(NPSOCK_PARAM p, long lTimeout, bool bWrite)
{
    if (!IsUsable(p)) {
        return -1;
    }
    if (lTimeout <= WAIT_SINGLE_MAX_MS) {
        return PollOnce(p->sock.load(), bWrite, lTimeout);
    }
    DWORD dwStart = GetTickCount();
    int nSlot = WinEmu_TimedWaitBegun(static_cast<DWORD>(lTimeout));
    int ret = 0;
    for (;;) {
        DWORD dwElapsed = GetTickCount() - dwStart;
        if (dwElapsed >= static_cast<DWORD>(lTimeout)) {
            break;
        }
        long lSlice = std::min(lTimeout - static_cast<long>(dwElapsed), WAIT_SLICE_MS);
        ret = PollOnce(p->sock.load(), bWrite, lSlice);
        if (ret == 0 && !IsUsable(p)) {
            ret = -1;  // closed or cancelled while the cancel signal was not in a poll
        }
        if (ret != 0) {
            break;
        }
    }
    WinEmu_TimedWaitEnded(nSlot);
    return ret;
}

bool SetNonBlocking(SOCKET fd, BOOL bSet)
{
    int on = bSet ? 1 : 0;
    return ioctl(fd, FIONBIO, &on) == 0;
}

// Errors after which the listener is still fine and accepting again makes sense.
bool IsPassingAcceptError(int err)
{
    switch (err) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

bool IsResourceAcceptError(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

DWORD AcceptThread(LPVOID param)
{
    NPSOCK_PARAM p = static_cast<NPSOCK_PARAM>(param);
    if (p->pCallback != nullptr) {
        p->pCallback(p);
    }
    EnterCriticalSection(&g_csTbl);
    ReleaseLocked(p);
    LeaveCriticalSection(&g_csTbl);
    return 0;
}

// Gives an accepted descriptor an entry and a thread. FALSE when the
// listener itself is being stopped and its loop must end.
bool StartConnection(NPSOCK_PARAM pListener, SOCKET fd, ULONG ulAdrs)
{
    EnterCriticalSection(&g_csTbl);
    bool bListenerStopped = !IsUsable(pListener);
    if (bListenerStopped || g_bStopReq.load()) {
        LeaveCriticalSection(&g_csTbl);
        DebugPrint("WARNING: accept ignored\n");
        close(fd);
        return !bListenerStopped;
    }
    NPSOCK_PARAM p = AddTable();
    if (p == nullptr) {
        LeaveCriticalSection(&g_csTbl);
        DebugPrint("WARNING: AddTable() failed\n");
        close(fd);
        return true;
    }
    OpenEntry(p, fd);
    p->ulAdrs = ulAdrs;
    p->nPort = pListener->nPort.load();
    p->pCallback = pListener->pCallback;
    p->hThread = Sock_StartThread(AcceptThread, p);
    if (p->hThread == nullptr) {
        DebugPrint("WARNING: OnUserAccept() failed\n");
        ReleaseLocked(p);
    }
    LeaveCriticalSection(&g_csTbl);
    return true;
}

DWORD ListenThread(LPVOID param)
{
    NPSOCK_PARAM pListener = static_cast<NPSOCK_PARAM>(param);
    DebugPrint("start server..\n");
    for (;;) {
        sockaddr_in peer;
        std::memset(&peer, 0, sizeof(peer));
        socklen_t nLength = ACCEPT_ADDRESS_SIZE;
        // Only this thread closes the listening descriptor, so it stays valid here.
        SOCKET fd = accept4(pListener->sock.load(), reinterpret_cast<sockaddr*>(&peer), &nLength, SOCK_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            if (IsUsable(pListener) && (IsPassingAcceptError(err) || IsResourceAcceptError(err))) {
                if (IsResourceAcceptError(err)) {
                    Sleep(ACCEPT_RESOURCE_PAUSE_MS);
                }
                continue;
            }
            DebugPrint("WARNING: error at accept()\n");
            break;
        }
        ULONG ulAdrs = ntohl(peer.sin_addr.s_addr);
        PrintAddress("accepted", ulAdrs);
        if (!StartConnection(pListener, fd, ulAdrs)) {
            break;
        }
    }
    EnterCriticalSection(&g_csTbl);
    ReleaseLocked(pListener);
    LeaveCriticalSection(&g_csTbl);
    DebugPrint("server stopped..\n");
    return 0;
}

// Joins, one at a time, the threads of every entry (bAllPorts) or of the
// entries of nPort, taking each handle out under the lock and waiting outside it.
void JoinEntryThreads(bool bAllPorts, WORD nPort)
{
    for (SOCK_TABLE& entry : g_SockTbl) {
        EnterCriticalSection(&g_csTbl);
        HANDLE hThread = entry.sock.hThread;
        if (hThread != nullptr && (bAllPorts || entry.sock.nPort.load() == nPort)) {
            entry.sock.hThread = nullptr;
        } else {
            hThread = nullptr;
        }
        LeaveCriticalSection(&g_csTbl);
        if (hThread != nullptr) {
            WaitForSingleObject(hThread, INFINITE);
            CloseHandle(hThread);
        }
    }
}

// Shuts down and cancels the used entries (with a thread, on nPort, unless
// bAllPorts), then joins their threads.
void StopEntries(bool bAllPorts, WORD nPort)
{
    if (g_csTbl == nullptr) {
        return;
    }
    g_bStopReq = TRUE;
    EnterCriticalSection(&g_csTbl);
    for (SOCK_TABLE& entry : g_SockTbl) {
        NPSOCK_PARAM p = &entry.sock;
        bool bMatch = bAllPorts || (p->hThread != nullptr && p->nPort.load() == nPort);
        if (entry.bUsed && bMatch) {
            ShutLocked(p);
            if (p->hThread != nullptr) {
                _CancelThread(p->hThread);
            }
        }
    }
    LeaveCriticalSection(&g_csTbl);
    JoinEntryThreads(bAllPorts, nPort);
    g_bStopReq = FALSE;
}

// Creates, prepares and binds a listening socket; -1 after reporting a failure.
SOCKET OpenListener(WORD nPort)
{
    SOCKET fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        DebugPrint("WARNING: socket() failed\n");
        return INVALID_SOCKET;
    }
    int on = 1;
    const char* pszFailure = nullptr;
    sockaddr_in address = MakeAddress(nPort, INADDR_ANY);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        pszFailure = "WARNING: setsockopt() failed\n";
    } else if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        pszFailure = "WARNING: bind() failed\n";
    } else if (listen(fd, SOCK_LISTEN_BACKLOG) != 0) {
        pszFailure = "WARNING: error at listen()\n";
    }
    if (pszFailure != nullptr) {
        DebugPrint("%s", pszFailure);
        close(fd);
        return INVALID_SOCKET;
    }
    return fd;
}

}  // namespace

void Sock_Construct()
{
    for (SOCK_TABLE& entry : g_SockTbl) {
        entry.bUsed = FALSE;
        entry.sock.sock = INVALID_SOCKET;
        entry.sock.nPort = 0;
        entry.sock.ulAdrs = 0;
        entry.sock.pParam = nullptr;
        entry.sock.pCallback = nullptr;
        entry.sock.hThread = nullptr;
        entry.sock.bClose = TRUE;
        entry.sock.bCancel = FALSE;
    }
    g_bStopReq = FALSE;
    if (g_csTbl == nullptr) {
        InitializeCriticalSection(&g_csTbl);
    }
}

BOOL Sock_Init()
{
    WSADATA wsaData;
    if (WSAStartup(0x0101, &wsaData) != 0) {
        DebugPrint("WARNING: Failed to WSAStartup\n");
        return FALSE;
    }
    if ((wsaData.wVersion & 0xFF) != 1 || ((wsaData.wVersion >> 8) & 0xFF) != 1) {
        DebugPrint("WARNING: Winsock version error\n");
        return FALSE;
    }
    // A write to a socket whose peer has gone must return an error, not end the process.
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGPIPE, &action, nullptr) != 0) {
        DebugPrint("WARNING: Error setting up SIGPIPE handler\n");
        return FALSE;
    }
    return TRUE;
}

BOOL Sock_Start()
{
    return TRUE;
}

void Sock_Stop()
{
    StopEntries(true, 0);
}

void Sock_Destruct()
{
    Sock_Stop();
    if (g_csTbl == nullptr) {
        return;
    }
    // Every thread has ended: what the owners did not release goes now.
    EnterCriticalSection(&g_csTbl);
    for (SOCK_TABLE& entry : g_SockTbl) {
        if (entry.bUsed) {
            ReleaseLocked(&entry.sock);
        }
    }
    LeaveCriticalSection(&g_csTbl);
    DeleteCriticalSection(&g_csTbl);
}

NPSOCK_PARAM Sock_GetSocket(BOOL bStreamSock)
{
    SOCKET fd = socket(AF_INET, (bStreamSock ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        DebugPrint("WARNING: error at socket()\n");
        return nullptr;
    }
    EnterCriticalSection(&g_csTbl);
    NPSOCK_PARAM p = AddTable();
    if (p != nullptr) {
        OpenEntry(p, fd);
    }
    LeaveCriticalSection(&g_csTbl);
    if (p == nullptr) {
        DebugPrint("WARNING: Failed to AddTable()\n");
        close(fd);
    }
    return p;
}

BOOL Sock_Bind(NPSOCK_PARAM pSock, WORD nPort, ULONG ulAdrs)
{
    if (!IsUsable(pSock)) {
        return FALSE;
    }
    SOCKET fd = pSock->sock.load();
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        DebugPrint("WARNING: setsockopt() failed\n");
        return FALSE;
    }
    sockaddr_in address = MakeAddress(nPort, ulAdrs);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        DebugPrint("WARNING: error at bind()\n");
        return FALSE;
    }
    pSock->nPort = nPort;
    pSock->ulAdrs = ulAdrs;
    return TRUE;
}

BOOL Sock_Connect(NPSOCK_PARAM pSock, WORD nPort, ULONG ulAdrs, long lTimeout)
{
    if (!IsUsable(pSock)) {
        return FALSE;
    }
    DebugPrint("start connection..\n");
    pSock->nPort = nPort;
    pSock->ulAdrs = ulAdrs;
    SOCKET fd = pSock->sock.load();
    if (lTimeout > 0) {
        SetNonBlocking(fd, TRUE);
    }
    sockaddr_in address = MakeAddress(nPort, ulAdrs);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        int err = errno;
        if (err != EINPROGRESS || lTimeout <= 0) {
            DebugPrint("error at connect() %d\n", err);
            return FALSE;
        }
        if (Sock_WaitForTransmit(pSock, lTimeout) != 1) {
            DebugPrint("WARNING: WaitForTransmit() failed\n");
            return FALSE;  // the socket stays non-blocking
        }
        int nPending = 0;
        socklen_t nLength = sizeof(nPending);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nPending, &nLength) != 0) {
            nPending = errno;
        }
        if (nPending != 0) {
            DebugPrint("connect() failed. err=%d\n", nPending);
            return FALSE;
        }
    }
    if (lTimeout > 0) {
        SetNonBlocking(fd, FALSE);
    }
    PrintAddress("connected", ulAdrs);
    return TRUE;
}

BOOL Sock_Listen(WORD nPort, LISTEN_CALLBACK pCallback)
{
    SOCKET fd = OpenListener(nPort);
    if (fd == INVALID_SOCKET) {
        return FALSE;
    }
    EnterCriticalSection(&g_csTbl);
    NPSOCK_PARAM p = AddTable();
    if (p == nullptr) {
        LeaveCriticalSection(&g_csTbl);
        DebugPrint("WARNING: AddTable() failed\n");
        close(fd);
        return FALSE;
    }
    OpenEntry(p, fd);
    p->nPort = nPort;
    p->ulAdrs = 0;
    p->pCallback = pCallback;
    p->hThread = Sock_StartThread(ListenThread, p);
    BOOL bStarted = p->hThread != nullptr;
    if (!bStarted) {
        ReleaseLocked(p);
    }
    LeaveCriticalSection(&g_csTbl);
    return bStarted;
}

void Sock_StopListen(WORD nPort)
{
    StopEntries(false, nPort);
}

int Sock_Receive(NPSOCK_PARAM pSock, LPVOID buf, int nBuffLen, long lTimeout)
{
    if (!IsUsable(pSock) || nBuffLen < 0) {
        return -1;
    }
    if (lTimeout >= 1) {
        int ret = WaitFor(pSock, lTimeout, false);
        if (ret == 0) {
            return 0;
        }
        if (ret < 0) {
            DebugPrint("WARNING: WaitForReceive() failed\n");
            return -1;
        }
    }
    ssize_t n = recv(pSock->sock.load(), buf, static_cast<size_t>(nBuffLen), 0);
    if (n < 0) {
        DebugPrint("WARNING: recv() failed %d\n", errno);
        return -1;
    }
    return static_cast<int>(n);
}

int Sock_Send(NPSOCK_PARAM pSock, const void* buf, int nBuffSize, long lTimeout)
{
    if (!IsUsable(pSock)) {
        return -1;
    }
    if (nBuffSize < 1) {
        return 0;
    }
    const BYTE* pData = static_cast<const BYTE*>(buf);
    // With a time-out each send takes only what fits, so a peer that stops
    // reading ends in the time-out instead of blocking the sender for ever.
    int nFlags = MSG_NOSIGNAL | (lTimeout > 0 ? MSG_DONTWAIT : 0);
    int nSent = 0;
    while (nSent < nBuffSize) {
        if (lTimeout > 0) {
            int ret = WaitFor(pSock, lTimeout, true);
            if (ret == 0) {
                return 0;
            }
            if (ret < 0) {
                DebugPrint("WARNING: WaitForTransmit() failed\n");
                return -1;
            }
        }
        ssize_t n = send(pSock->sock.load(), pData + nSent, static_cast<size_t>(nBuffSize - nSent), nFlags);
        if (n < 0 && lTimeout > 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n < 1) {
            DebugPrint("WARNING: send() failed %d\n", errno);
            return -1;
        }
        nSent += static_cast<int>(n);
    }
    return nBuffSize;
}

int Sock_SendTo(NPSOCK_PARAM pSock, const void* buf, int nBuffLen, WORD nPort, ULONG ulAdrs, long)
{
    if (!IsUsable(pSock) || nBuffLen < 0) {
        return -1;
    }
    sockaddr_in address = MakeAddress(nPort, ulAdrs);
    ssize_t n = sendto(pSock->sock.load(), buf, static_cast<size_t>(nBuffLen), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    if (n < 0) {
        DebugPrint("WARNING: sendto() failed %d\n", errno);
        return -1;
    }
    return static_cast<int>(n);
}

int Sock_ReceiveFrom(NPSOCK_PARAM pSock, LPVOID buf, int nBuffLen, WORD, ULONG* pulAdrs, long lTimeout)
{
    if (!IsUsable(pSock) || nBuffLen < 0) {
        return -1;
    }
    // A failed wait is ignored: the receive itself tells what is wrong.
    if (lTimeout >= 1 && WaitFor(pSock, lTimeout, false) == 0) {
        return -1;
    }
    sockaddr_in from;
    std::memset(&from, 0, sizeof(from));
    socklen_t nLength = sizeof(from);
    ssize_t n = recvfrom(pSock->sock.load(), buf, static_cast<size_t>(nBuffLen), 0, reinterpret_cast<sockaddr*>(&from),
                         &nLength);
    if (n < 0) {
        DebugPrint("WARNING: recvfrom() failed %d\n", errno);
        return -1;
    }
    if (pulAdrs != nullptr) {
        *pulAdrs = ntohl(from.sin_addr.s_addr);
    }
    return static_cast<int>(n);
}

int Sock_WaitForReceive(NPSOCK_PARAM pSock, long lTimeout)
{
    return WaitFor(pSock, lTimeout, false);
}

int Sock_WaitForTransmit(NPSOCK_PARAM pSock, long lTimeout)
{
    return WaitFor(pSock, lTimeout, true);
}

void Sock_Close(NPSOCK_PARAM pSock)
{
    if (pSock == nullptr) {
        return;
    }
    EnterCriticalSection(&g_csTbl);
    CloseLocked(pSock);
    LeaveCriticalSection(&g_csTbl);
}

void Sock_Disconnect(NPSOCK_PARAM pSock)
{
    if (pSock == nullptr) {
        return;
    }
    EnterCriticalSection(&g_csTbl);
    ReleaseLocked(pSock);
    LeaveCriticalSection(&g_csTbl);
}

void Sock_Shutdown(NPSOCK_PARAM pSock, BOOL bRead, BOOL bWrite)
{
    if (pSock == nullptr) {
        return;
    }
    int how = SHUT_RD;
    if (bRead && bWrite) {
        how = SHUT_RDWR;
    } else if (bWrite) {
        how = SHUT_WR;
    }
    // Not refused after Sock_MarkCancel: cancelling and then shutting down is
    // how an owner wakes the thread that uses the socket.
    EnterCriticalSection(&g_csTbl);
    SOCKET fd = pSock->sock.load();
    if (fd != INVALID_SOCKET && !pSock->bClose.load()) {
        shutdown(fd, how);
    }
    LeaveCriticalSection(&g_csTbl);
}

void Sock_MarkCancel(NPSOCK_PARAM pSock)
{
    if (pSock != nullptr) {
        pSock->bCancel = TRUE;
    }
}

BOOL Sock_SetTcpNoDelay(NPSOCK_PARAM pSock, BOOL bSet)
{
    if (!IsUsable(pSock)) {
        return FALSE;
    }
    int on = bSet ? 1 : 0;
    return setsockopt(pSock->sock.load(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0;
}

BOOL Sock_SetNonBlockingMode(NPSOCK_PARAM pSock, BOOL bSet)
{
    if (!IsUsable(pSock)) {
        return FALSE;
    }
    return SetNonBlocking(pSock->sock.load(), bSet);
}

WORD Sock_GetPort(NPSOCK_PARAM pSock)
{
    return pSock != nullptr ? pSock->nPort.load() : 0;
}

HANDLE Sock_StartThread(LPTHREAD_START_ROUTINE start, LPVOID parameter)
{
    HANDLE hThread = CreateThread(nullptr, 0, start, parameter, 0, nullptr);
    if (hThread == nullptr) {
        DebugPrint("WARNING: error at CreateThread()\n");
        return nullptr;
    }
    // Every thread runs with default scheduling; a refusal is only reported,
    // since the thread is already running on its socket.
    if (!SetThreadPriority(hThread, SOCKET_WORKER_PRIORITY)) {
        DebugPrint("WARNING: error at SetThreadPriority()\n");
    }
    return hThread;
}
