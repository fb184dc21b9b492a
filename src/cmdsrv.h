// cmdsrv: the unit's network front end on top of the socket layer. One owner
// registers one callback and receives every event of four kinds of traffic:
//  - the UDP socket bound to the peer-link receive port (datagrams in; the
//    owner also sends through it and through clients taken with
//    CmdServer_GetClient);
//  - a TCP listener on the setting port whose connections carry text command
//    lines, edited byte by byte by the text line loop;
//  - a TCP listener on a data port, and an outgoing TCP connection, carrying
//    binary frames with a 4-byte header;
//  - an outgoing TCP connection carrying text lines that reconnects by itself.
//
// A client (connection or socket) is identified by its socket record
// (NPSOCK_PARAM), handed to the owner as an untyped pointer; every pClient
// below is such a record.
//
// Threads: the callback runs on the UDP receive thread, on each accepted
// connection's own thread, on the outgoing-connection thread and on the
// reconnecting-connection thread, so the owner's handlers lock what they
// share. Locks: s_csCallback guards the callback pair (never held during a
// call); s_csSock guards the outgoing socket between the reconnecting thread
// and the calls that end it. Both are innermost apart from the socket table
// lock, which may be taken while s_csSock is held. s_hEvCancel is a
// manual-reset event.
#pragma once

#include "sockutil.h"
#include "winemu.h"

enum CMDSRV_EVENT : DWORD {
    CMDSRV_EVENT_NONE = 0,
    CMDSRV_EVENT_ACCEPT = 1,  // a TCP client was accepted (null, 0)
    CMDSRV_EVENT_CONNECT = 2,  // an outgoing TCP connection was made (null, 0)
    CMDSRV_EVENT_DISCONNECT = 3,  // a TCP connection's receive loop ended (null, 0)
    CMDSRV_EVENT_RX_CMD = 4,  // a whole binary frame, header included
    CMDSRV_EVENT_RX_DATA = 5,  // a UDP datagram (1 to 1450 bytes)
    CMDSRV_EVENT_RX_SETTING = 6,  // a text line, zero-terminated, its length (may be 0)
    CMDSRV_EVENT_SEND = 7,  // never raised
    CMDSRV_EVENT_CONN_FAILED = 8,  // an outgoing connect failed (null, 0)
};

// callback(client, event, data, length, parameter given to CmdServer_SetCallback)
typedef void (*CMDSERVER_CALLBACK)(LPVOID pClient, DWORD nEvent, LPVOID pData, int nLen, LPVOID pParam);

// Binary frame: command byte, payload length high and low byte, parameter
// byte, then the payload.
constexpr int CMDSRV_HEADER_SIZE = 4;
constexpr int CMDSRV_HEADER_COMMAND = 0;
constexpr int CMDSRV_HEADER_LENGTH = 1;  // big-endian, 2 bytes
constexpr int CMDSRV_HEADER_PARAM = 3;
// A connection's frame buffer; a frame announcing more closes the connection.
constexpr int CMDSRV_FRAME_BUFFER_SIZE = 1452;
// Largest UDP datagram delivered.
constexpr int CMDSRV_UDP_MAX = 1450;
// A text line holds at most CMDSRV_LINE_MAX characters and its terminator.
constexpr int CMDSRV_LINE_MAX = 511;
constexpr int CMDSRV_LINE_BUFFER_SIZE = CMDSRV_LINE_MAX + 1;

// The byte rules of every text command channel (TCP text connections and the
// USB console): backspace drops the last character, tab counts as a blank,
// escape empties the line, CR or LF ends it, 32 to 127 are kept while fewer
// than CMDSRV_LINE_MAX are held, every other byte is ignored. *pnIndex is the
// count held. TRUE when c ended the line: szLine is then terminated and
// *pnIndex is its length; the caller hands the line on and sets *pnIndex to 0.
BOOL CmdServer_EditLine(char (&szLine)[CMDSRV_LINE_BUFFER_SIZE], int* pnIndex, BYTE c);

// Sets the initial state and creates the locks.
void CmdServer_Construct();
// Creates the cancel event; 1, or 0 with a warning.
BOOL CmdServer_Init();
// Starts the listeners asked for (port 0: none) and the UDP socket; 1 on success.
BOOL CmdServer_Start(WORD nTcpDataPort, WORD nUdpDataPort, WORD nSettingPort);
// Ends the UDP socket and thread, the setting listener and every socket; safe twice.
void CmdServer_Stop();
// CmdServer_Stop, then frees the event and the locks.
void CmdServer_Destruct();

// Registers the owner's event function and the parameter passed back with every event.
void CmdServer_SetCallback(CMDSERVER_CALLBACK pfnCallback, LPVOID pParam);
// A new UDP client for sending, or null.
LPVOID CmdServer_GetClient();
// 1 if the datagram went out, else 0 with a warning.
BOOL CmdServer_SendTo(LPVOID pClient, const void* pData, int nDataLen, WORD nPort, ULONG ulAdrs);
// 1 if the whole buffer was sent on a TCP connection within the send time-out.
BOOL CmdServer_Send(LPVOID pSock, const void* pData, int nDataLen);
// Reads one binary frame within the receive time-out. *pnDataLen: in, the
// size of pData; out, the frame's size. A larger frame fails.
BOOL CmdServer_Receive(LPVOID pClient, LPVOID pData, int* pnDataLen);
// The client's port (on the UDP socket: its bound port).
WORD CmdServer_GetPort(LPVOID pClient);
// The client's peer address; on the UDP socket, the source of the datagram being delivered.
ULONG CmdServer_GetAddress(LPVOID pClient);
// The UDP receive socket.
LPVOID CmdServer_GetUdpClient();
// 1 if pClient is the UDP receive socket (0 for null).
BOOL CmdServer_IsUdpClient(LPVOID pClient);
// The socket's closed flag (TRUE for null).
BOOL CmdServer_IsClosed(LPVOID pClient);
// Binds the client; failure prints a warning.
BOOL CmdServer_Bind(LPVOID pClient, WORD nPort, ULONG ulAdrs);
// Closes the client's descriptor.
void CmdServer_Close(LPVOID pClient);

// Ends a client and frees it; the outgoing connection's thread is joined first.
void CmdServer_Disconnect(LPVOID pClient);
// Starts an outgoing binary-frame connection; its socket record or null.
LPVOID CmdServer_Connect(WORD nPort, ULONG ulAdrs);
// Starts the reconnecting text connection; 1 if its thread started.
BOOL CmdServer_Connect2(WORD nPort, ULONG ulAdrs);
// Ends the reconnecting text connection and joins its thread.
void CmdServer_Disconnect2();
// Reads and discards until the peer goes, it is quiet for lTimeout ms, or lTimeout ms passed.
void CmdServer_WaitForDisconnect(LPVOID pClient, long lTimeout);
// Moves the UDP socket and its thread to nUdpDataPort; 1 on success.
BOOL CmdServer_RestartUDP(WORD nUdpDataPort);
// Moves the setting listener to nSettingPort (nothing to do if it is there); 1 on success.
BOOL CmdServer_RestartSetting(WORD nSettingPort);
