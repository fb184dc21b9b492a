// httpcomm: a small HTTP/1.1 client and server over the socket layer. Every
// open HTTP connection, client or server side, is entered in one table of 64
// so that HTTP_CancelAll can close them all at once. The directory client
// constructs and initialises the module; the unit core never starts the
// directory client, so in this system the module carries no traffic. This
// file holds the module's life cycle, its callback registration and the
// cancel; the exchanges come with the directory client's work.
//
// Threads: any thread. Locks: s_csCallback guards the callback pair and is
// held for the whole of one notification; s_csSock guards the connection
// table. Both are innermost apart from the socket layer's table lock, which
// HTTP_CancelAll takes (through Sock_Close) while holding s_csSock.
#pragma once

#include "winemu.h"

// Connections the table holds at most.
constexpr int HTTP_SOCK_TABLE_SIZE = 64;

// Time limits of one exchange in milliseconds.
struct tagHTTP_TIMEOUT {
    long lConnTimeout;
    long lTxTimeout;
    long lRxTimeout;
};
typedef tagHTTP_TIMEOUT HTTP_TIMEOUT;

// One request or response description.
struct tagHTTP_PARAM {
    int nMethod;  // 1 GET, 2 POST
    char szUrl[256];
    char szType[32];
    char szAction[64];
    int nLength;
    int nRetCode;
    HTTP_TIMEOUT Timeout;
    BOOL bSetTimeout;  // 0: connect 10 000 ms, send 5 000 ms, receive 30 000 ms
};
typedef tagHTTP_PARAM HTTP_PARAM;

// Server-side events.
constexpr unsigned HTTP_EVENT_NONE = 0;
constexpr unsigned HTTP_EVENT_ACCEPT = 1;
constexpr unsigned HTTP_EVENT_CONNECT = 2;
constexpr unsigned HTTP_EVENT_DISCONNECT = 3;
constexpr unsigned HTTP_EVENT_GET = 4;
constexpr unsigned HTTP_EVENT_POST = 5;

// callback(connection, event, parameter given to HTTP_SetCallback) -> HTTP status.
typedef int (*HTTP_CALLBACK)(LPVOID pClient, unsigned uEvent, LPVOID pParam);

// Clears the callback and the connection table and creates the two locks.
void HTTP_Construct();
// Nothing to prepare; TRUE.
BOOL HTTP_Init();
// Nothing to stop.
void HTTP_Stop();
// Destroys the locks.
void HTTP_Destruct();
// Registers the server side's event callback and its parameter.
void HTTP_SetCallback(HTTP_CALLBACK pfnCallback, LPVOID pParam);
// Closes every connection in the table, so every blocked exchange fails at once.
void HTTP_CancelAll();
