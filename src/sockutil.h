// sockutil: every TCP and UDP socket of the daemon. All sockets live in one
// process-wide table of 64 entries so that a stop can end every socket and
// every thread that uses one. Listening sockets get a listen thread and one
// accept thread per connection, which runs the listener's callback. Sends,
// receives and connects take an optional time-out in milliseconds (0 or less:
// none, the call blocks in the system call).
//
// Addresses are IPv4 numbers with the first dotted number in the most
// significant byte; ports are 16-bit numbers in host order (WORD, so a port
// above 32767 stays positive). The conversion to network order happens here.
//
// Threads: any thread may call any operation; sends and receives run without
// the table lock. The table lock g_csTbl guards the table and every close or
// shutdown of a descriptor in it; it is never held while waiting for a thread.
// The stop paths (Sock_StopListen, Sock_Stop) shut descriptors down, which
// wakes the threads blocked on them, and mark them closed; the descriptor
// itself is released once no thread can still be inside a call on it.
#pragma once

#include <atomic>

#include "winemu.h"

typedef int SOCKET;
constexpr SOCKET INVALID_SOCKET = -1;

// Entries of the socket table.
constexpr int SOCK_TABLE_SIZE = 64;
// Backlog of a listening socket.
constexpr int SOCK_LISTEN_BACKLOG = 128;

struct tagSOCK_PARAM;
typedef tagSOCK_PARAM SOCK_PARAM;
typedef tagSOCK_PARAM* NPSOCK_PARAM;

// Runs on a connection's own accept thread and owns the connection until it
// returns; the connection is then closed and its entry freed.
typedef void (*LISTEN_CALLBACK)(NPSOCK_PARAM pSock);

// One socket. Callers hold a pointer into the table. The fields other threads
// may read while the owner or the layer writes them are atomic.
struct tagSOCK_PARAM {
    std::atomic<SOCKET> sock;  // descriptor; -1 when none
    std::atomic<WORD> nPort;  // local port (listener, accepted), remote (connect), bound (bind)
    std::atomic<ULONG> ulAdrs;  // peer (accepted), remote (connect), bound (bind); 0 for a listener
    LPVOID pParam;  // free for the owner's use; never set by this layer
    LISTEN_CALLBACK pCallback;  // a listener's callback, copied into each of its connections
    HANDLE hThread;  // listen thread of a listener, accept thread of a connection, else null
    std::atomic<BOOL> bClose;  // closed by this layer: must not be used any more
    std::atomic<BOOL> bCancel;  // the owner cancelled all further traffic
};

struct tagSOCK_TABLE {
    BOOL bUsed;
    SOCK_PARAM sock;
};
typedef tagSOCK_TABLE SOCK_TABLE;

// Empties the table and creates the table lock (first thing in main).
void Sock_Construct();
// Checks the socket start-up version and ignores SIGPIPE.
BOOL Sock_Init();
// Nothing to start; TRUE.
BOOL Sock_Start();
// Ends every socket and joins every listen and accept thread; entries stay.
void Sock_Stop();
// Sock_Stop, releases what is left, deletes the table lock.
void Sock_Destruct();

// A new IPv4 TCP (TRUE) or UDP (FALSE) socket in a table entry, or null.
NPSOCK_PARAM Sock_GetSocket(BOOL bStreamSock);
// SO_REUSEADDR and bind to ulAdrs:nPort; records both on success.
BOOL Sock_Bind(NPSOCK_PARAM pSock, WORD nPort, ULONG ulAdrs);
// Connects to ulAdrs:nPort, within lTimeout ms when lTimeout > 0.
BOOL Sock_Connect(NPSOCK_PARAM pSock, WORD nPort, ULONG ulAdrs, long lTimeout);
// Listens on nPort (any address) and runs pCallback for every connection.
BOOL Sock_Listen(WORD nPort, LISTEN_CALLBACK pCallback);
// Ends the listener of nPort and its connections; returns after their threads ended.
void Sock_StopListen(WORD nPort);

// One receive: the count, 0 on time-out or when the peer closed, -1 on failure.
int Sock_Receive(NPSOCK_PARAM pSock, LPVOID buf, int nBuffLen, long lTimeout);
// Sends all bytes: nBuffSize, 0 on time-out (or nothing to send), -1 on failure.
int Sock_Send(NPSOCK_PARAM pSock, const void* buf, int nBuffSize, long lTimeout);
// One datagram to ulAdrs:nPort: the count or -1.
int Sock_SendTo(NPSOCK_PARAM pSock, const void* buf, int nBuffLen, WORD nPort, ULONG ulAdrs, long lTimeout);
// One datagram and its sender: the count, or -1 on failure or time-out.
int Sock_ReceiveFrom(NPSOCK_PARAM pSock, LPVOID buf, int nBuffLen, WORD nPort, ULONG* pulAdrs, long lTimeout);
// Waits up to lTimeout ms (0 or less: only looks) for readability: 1 ready,
// 0 time-out, -1 error, cancel signal or unusable entry.
int Sock_WaitForReceive(NPSOCK_PARAM pSock, long lTimeout);
// The same for writability.
int Sock_WaitForTransmit(NPSOCK_PARAM pSock, long lTimeout);

// Closes the descriptor once; the entry stays in use.
void Sock_Close(NPSOCK_PARAM pSock);
// Sock_Close and frees the entry; the pointer must not be used afterwards.
void Sock_Disconnect(NPSOCK_PARAM pSock);
// Shuts down both directions (TRUE, TRUE), sending (FALSE, TRUE) or receiving (otherwise).
void Sock_Shutdown(NPSOCK_PARAM pSock, BOOL bRead, BOOL bWrite);
// Every later operation on the entry fails at once.
void Sock_MarkCancel(NPSOCK_PARAM pSock);
// TCP_NODELAY on or off; TRUE if set.
BOOL Sock_SetTcpNoDelay(NPSOCK_PARAM pSock, BOOL bSet);
// Non-blocking mode on or off; TRUE on success.
BOOL Sock_SetNonBlockingMode(NPSOCK_PARAM pSock, BOOL bSet);
// The entry's port (0 for null).
WORD Sock_GetPort(NPSOCK_PARAM pSock);

// Starts a socket worker thread with stack size 0 at priority 1, reporting
// "WARNING: error at CreateThread()\n" and returning null if it cannot start.
HANDLE Sock_StartThread(LPTHREAD_START_ROUTINE start, LPVOID parameter);
