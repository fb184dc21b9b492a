// httpcomm: a small HTTP/1.1 client and server over the socket layer. The
// client performs one GET or POST per connection and returns the response
// body in the caller's buffer; the server side accepts connections on a
// listening port, parses each request and hands it to the registered
// callback as events, which answers with HTTP_Reply / HTTP_Send. Every open
// HTTP connection, client or server side, is entered in one table of 64 so
// that HTTP_CancelAll can end them all at once. The directory client
// constructs and initialises the module; the unit core never starts the
// directory client, so in this system the module carries no traffic.
//
// Threads: any thread; several exchanges may run at once, each with its own
// socket record and HTTP_PARAM. Server connections run on the socket layer's
// accept threads. Locks: s_csCallback guards the callback pair and is held
// for the whole of one notification (notifications are serialised);
// s_csSock guards the connection table and the listening ports. s_csSock is
// innermost apart from the socket layer's table lock, which HTTP_CancelAll
// and a client's socket request take while holding it. The callback may use
// the operations for its connection below and may run client exchanges, but
// must not call HTTP_SetCallback (its lock is held during the notification).
#pragma once

#include "winemu.h"

// Connections the table holds at most.
constexpr int HTTP_SOCK_TABLE_SIZE = 64;

// Time limits of one exchange in milliseconds; 0 or less: no limit.
struct tagHTTP_TIMEOUT {
    long lConnTimeout;  // the connect
    long lTxTimeout;  // sending one message
    long lRxTimeout;  // receiving one line, or one whole body
};
typedef tagHTTP_TIMEOUT HTTP_TIMEOUT;

// One request or response description.
struct tagHTTP_PARAM {
    int nMethod;  // 1 GET, 2 POST
    char szUrl[256];
    char szType[32];
    char szAction[64];
    int nLength;  // Content-Length sent or received; after a client exchange the body's length
    int nRetCode;  // status of the last response (client side)
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
// Stops the listeners HTTP_Start started and their connections; safe to call twice.
void HTTP_Stop();
// HTTP_Stop, then destroys the locks.
void HTTP_Destruct();
// Registers the server side's event callback and its parameter.
void HTTP_SetCallback(HTTP_CALLBACK pfnCallback, LPVOID pParam);
// Cancels and shuts down every connection in the table, so every blocked
// exchange fails at once; each owner then closes its own connection.
void HTTP_CancelAll();

// GETs the URL szUrl of pParam from ulAdrs:nPort (IPv4, first octet in the top
// byte). Up to nMaxDataLen body bytes go to pData followed by a zero byte (the
// buffer holds nMaxDataLen + 1 bytes); nRetCode gets the status, nLength the
// body length. TRUE once a well-formed response was read, whatever its status;
// FALSE when the body announced does not fit (Content-Length >= nMaxDataLen)
// or does not arrive whole. Without Content-Length the body ends at the close.
BOOL HTTP_Get(HTTP_PARAM* pParam, WORD nPort, ULONG ulAdrs, LPVOID pData, int nMaxDataLen);
// POSTs nDataLen bytes of pData (type szType, extra line szAction) to szUrl and
// reads the response as HTTP_Get; with pRetData null no body is read and any
// Content-Length is accepted.
BOOL HTTP_Post(HTTP_PARAM* pParam, WORD nPort, ULONG ulAdrs, const void* pData, int nDataLen,
               LPVOID pRetData, int nMaxDataLen);
// Parses one whole response held in pBuf (status line, header lines, body) the
// way HTTP_Get reads it from a connection: the body (at most nMaxDataLen bytes,
// then a zero byte) goes to pData when it is not null, its length to
// *pnDataLen when that is not null. For tests and fuzzing.
BOOL HTTP_ParseResponse(const void* pBuf, int nLen, HTTP_PARAM* pParam, LPVOID pData, int nMaxDataLen,
                        int* pnDataLen);

// Listens on nPort (up to 8 ports at once) and serves every accepted connection
// through the callback: ACCEPT (200 admits), then GET or POST once the request
// line and headers are read, then DISCONNECT. FALSE with a warning otherwise.
BOOL HTTP_Start(WORD nPort);

// Inside the callback, pClient being the connection it was given:
// The connection's request description (method, URL, type, length); answers
// take their header block's szType and szAction from it.
HTTP_PARAM* HTTP_GetParam(LPVOID pClient);
// The peer's IPv4 address (first octet in the top byte).
ULONG HTTP_GetAddress(LPVOID pClient);
// The connection's local port.
WORD HTTP_GetPort(LPVOID pClient);
// Reads the request body, at most nMaxDataLen - 1 bytes and no more than its
// Content-Length, into pData and terminates it; FALSE on failure.
BOOL HTTP_Receive(LPVOID pClient, LPVOID pData, int nMaxDataLen);
// Sends the status line of nStatus (200, 400, 404, 500); with data also the
// header block (Content-Type szType, Content-Length nDataLen, szAction), the
// empty line and the body. FALSE for another status or a failed send.
BOOL HTTP_Reply(LPVOID pClient, int nStatus, const void* pData, int nDataLen);
// Sends the header block of the connection's HTTP_PARAM with Content-Length
// nDataLen, the empty line and nDataLen bytes of pData; FALSE on failure.
BOOL HTTP_Send(LPVOID pClient, const void* pData, int nDataLen);
