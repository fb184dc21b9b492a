// listsrv_internal: the state and internal operations the directory client's
// files share: listsrv.cpp (life cycle, settings, the list thread's state
// machine), listsrv_proto.cpp (the wire protocol: frames, descriptor tables,
// the send and receive loops, the record parsers), listsrv_find.cpp (the list
// file, the search engine and server choice), listsrv_req.cpp (registration,
// search, list retrieval and the list accessors) and listsrv_port.cpp (health
// and port checks, the port-check thread). Included only by listsrv*.cpp and
// by the module's own tests (search engine, counters, list state).
//
// Everything lives in namespace lsv so that the module's s_ names never meet
// another module's at link time.
//
// Locks and what they guard:
//  - s_csPortCheck: the port-check entries, s_nPortCheckCnt, s_nRxUdpPort;
//  - s_csList: settings, IDs, SC table, the server table and its counters, the
//    list state, the current server, the timers, the list result tables;
//  - s_csTarget: the targets' radio IDs (innermost; taken inside s_csList);
//  - s_csRand: the random generator (alone).
// Order: s_csPortCheck before s_csList before s_csTarget. None is held across
// a network wait or an HTTP exchange, nor while the event callback runs.
#pragma once

#include <atomic>

#include "listsrv.h"
#include "sockutil.h"
#include "winemu.h"

namespace lsv {

// ---- Sizes, letters, timing --------------------------------------------------

constexpr int SERV_ID_CHARS = 5;
constexpr int RADIO_ID_CHARS = 5;
constexpr int SC_TABLE_BYTES = 16;
constexpr int HOST_TEXT_CHARS = 128;
constexpr DWORD SERV_ID_PRESENT = 0x80000000u;  // set in every server number

constexpr char REQ_START = '#';
constexpr char RES_START = '$';
constexpr BYTE LF = 0x0A;
constexpr char CMD_REGIST = 'R';
constexpr char CMD_SEARCH = 'S';
constexpr char CMD_GET_LIST = 'L';
constexpr char CMD_HEALTH_CHECK = 'H';
constexpr char CMD_PORT_CHECK = 'P';

// Frame: '#', letter, block, LF.
constexpr int CMD_HEAD_LEN = 2;
constexpr int CMD_FRAME_EXTRA = 3;
// TCP response header: '$', letter, four digits.
constexpr int TCP_RES_HEAD_LEN = 6;
// UDP answer: 16-byte header, '$', letter, four digits.
constexpr int UDP_HEADER_LEN = 16;
constexpr int UDP_RES_COMMON_LEN = 22;
constexpr int PORT_CHECK_RES_MIN = 27;
constexpr int UDP_RX_MAX = 1400;

constexpr int REGIST_CMD_LEN = 227;
constexpr int REGIST_RES_LEN = 19;
constexpr int SEARCH_CMD_LEN = 51;
constexpr int SEARCH_KEY_TEXT_LEN = 40;
constexpr int SEARCH_REC_LEN = 127;
constexpr int GET_LIST_CMD_LEN = 10;
constexpr int GET_LIST_CMD_V_LEN = 6;
constexpr int GET_LIST_REC_LEN = 159;
constexpr int HEALTH_CMD_LEN = 15;
constexpr int PORT_CHECK_CMD_LEN = 10;
constexpr int VAR_HEAD_LEN = 5;
constexpr int HEALTH_RES_V_LEN = 13;
constexpr int HEALTH_DGID_LEN = 33;
// A health check with variable parts for k IDs: 66 + 5k bytes on the wire.
constexpr int HEALTH_FRAME_MAX = CMD_FRAME_EXTRA + HEALTH_CMD_LEN + VAR_HEAD_LEN +
                                 SERV_ID_CHARS * (LISTSRV_TARGET_MAX + 1) + VAR_HEAD_LEN + HEALTH_DGID_LEN;
constexpr int GET_LIST_FRAME_MAX = CMD_FRAME_EXTRA + GET_LIST_CMD_LEN + GET_LIST_CMD_V_LEN * LISTSRV_TARGET_MAX;

constexpr DWORD IO_POLL_MS = 50;        // every wait checks the stop flag this often
constexpr DWORD IO_TIMEOUT_MS = 29999;  // a send or receive fails after more than this
constexpr DWORD CONNECT_TIMEOUT_MS = 30000;
constexpr DWORD PROBE_TIMEOUT_MS = 4999;  // a UDP probe fails after more than this
constexpr DWORD PROBE_RESEND_MS = 2000;
constexpr DWORD SEARCH_LATE_MS = 2999;  // answers after the first are awaited this long
constexpr DWORD HEALTH_PERIOD_MS = 30000;
constexpr DWORD HEALTH_FIRST_DELAY_MS = 29000;  // the first periodic check goes out ~1 s after ready
constexpr DWORD IDLE_LIMIT_MS = 119999;
constexpr DWORD LIST_RELOAD_MS = 3599999;
constexpr DWORD ADRS_RELOAD_MS = 86400000;
constexpr DWORD ADRS_RELOAD_ERR_MS = 3600000;
constexpr DWORD STEP_MS = 50;
constexpr DWORD WAIT_ADRS_ERR_MS = 10000;
constexpr DWORD WAIT_ADRS_EMPTY_MS = 60000;
constexpr DWORD WAIT_SEARCH_NONE_MS = 20000;
constexpr DWORD WAIT_RETRY_MS = 10000;
constexpr DWORD RELOAD_FAIL_MS = 50;

// ---- Records -----------------------------------------------------------------

struct LIST_SERVER_INFO {
    DWORD dwAdrs;
    DWORD dwRxHealthCheckCnt;
};

struct LIST_GET_REQ_WORK {
    char szRadioID[RADIO_ID_CHARS + 1];
};

struct LIST_GET_RES_WORK {
    LISTSRV_LIST_PARAM Param;
    BOOL bChanged;
    DWORD dwServID;  // with bit 31 set; 0 = none
};

// One UDP port whose reachability is checked.
struct PORT_CHECK_INFO {
    int nPort;
    int nUsed;                                    // use count; 0 = free
    NPSOCK_PARAM pSock;                           // bound socket of a further entry; null when none
    DWORD adwRxPortCheckCnt[LISTSRV_SERVER_MAX];  // answers per server table index
};

enum SEARCH_METHOD : int {
    SEARCH_METHOD_TCP = 0,
    SEARCH_METHOD_HEALTH_CHECK = 1,
    SEARCH_METHOD_PORT_CHECK = 2,
};

enum SEARCH_STATE : int {
    SEARCH_NONE = 0,
    SEARCH_CONNECTING = 1,
    SEARCH_TX_HEALTH_CHECK = 2,
    SEARCH_WAIT_HEALTH_CHECK = 3,  // never entered
    SEARCH_TX_PORT_CHECK = 4,
    SEARCH_CONNECTED = 5,  // the server answered
    SEARCH_FAILED = 6,
};

// One probed server.
struct SEARCH_WORK {
    BOOL bUsed;
    DWORD dwAdrs;
    int nTxPort;
    int nRxPort;  // PORT_CHECK only
    SEARCH_METHOD eMethod;
    SEARCH_STATE eSearchState;
    NPSOCK_PARAM pSock;  // own TCP socket; null when closed
    DWORD dwTimeout;     // tick the attempt started
    DWORD dwTxPeriod;    // tick of the last transmission
    DWORD dwAnswered;    // tick the answer was seen (SEARCH_CONNECTED)
    DWORD dwRxHealthCheckCnt;
    DWORD dwRxPortCheckCnt;
    int nIndex;
};

// One search, on the caller's stack.
struct SEARCH_PARAM {
    SEARCH_WORK aWork[LISTSRV_SERVER_MAX];
    int nNumOfWorks;
    NPSOCK_PARAM pUdpSock;  // shared by every UDP probe; null when closed
};

// ---- Shared state (defined in listsrv.cpp) -----------------------------------

// Settings, under s_csList.
extern char s_szHostName[HOST_TEXT_CHARS + 1];
extern char s_szHostUrl[HOST_TEXT_CHARS + 1];
extern int s_nHttpPort;
extern int s_nTcpPort;
extern int s_nTxUdpPort;
extern char s_szServID[SERV_ID_CHARS + 1];
extern DWORD s_dwServID;
extern char s_szRadioID[RADIO_ID_CHARS + 1];
extern BYTE s_abyScTable[SC_TABLE_BYTES];
extern DWORD s_adwDbgServAdrs[LISTSRV_SERVER_MAX];
extern DWORD s_dwDbgPrimaryIP;
extern BOOL s_bDisableThread;
extern LISTSRV_CALLBACK s_pfnCallback;
extern LPVOID s_pCallbackParam;

// State, under s_csList unless atomic.
extern LIST_SERVER_INFO s_aListServInfo[LISTSRV_SERVER_MAX];
extern int s_nNumListServInfo;
extern LIST_STATE s_nListState;
extern DWORD s_dwCurrServerIP;
extern DWORD s_dwGlobalIP;
extern DWORD s_dwTmServAdrsLoad;
extern BOOL s_bAdrsReloadError;
extern DWORD s_dwTmTxHealthCheck;
extern DWORD s_dwTmRxIdleTime;
extern DWORD s_dwTmListLoad;
extern int s_nNumOfGetList;
extern std::atomic<BOOL> s_bGetListReq;
extern int s_nNumOfReqParam;
extern LIST_GET_REQ_WORK s_aListGetReqWork[LISTSRV_TARGET_MAX];  // under s_csTarget
extern LIST_GET_REQ_WORK s_aListGetTempWork[LISTSRV_TARGET_MAX];
extern LIST_GET_RES_WORK s_aListGetResWork[LISTSRV_TARGET_MAX];
extern std::atomic<int> s_nListNoDataCount;
extern std::atomic<int> s_nHealthNoDataCount;
extern std::atomic<BOOL> s_bStopReq;
extern std::atomic<BOOL> s_bStarted;
extern std::atomic<int> s_nDbgHealthCallers;  // ListSrv_DbgHealthCheck calls inside their check
extern HANDLE s_hEvCancel;
extern HANDLE s_hEvPortCheck;
extern NPSOCK_PARAM s_pUdpSock;  // the module's unbound UDP socket while started

// Port-check entries, under s_csPortCheck.
extern int s_nRxUdpPort;
extern PORT_CHECK_INFO s_PortCheckMain;
extern PORT_CHECK_INFO s_aPortCheckInfo[LISTSRV_SERVER_MAX];
extern int s_nPortCheckCnt;

extern CRITICAL_SECTION s_csList;
extern CRITICAL_SECTION s_csPortCheck;
extern CRITICAL_SECTION s_csTarget;

// ---- listsrv.cpp --------------------------------------------------------------

// A random index below n (0 for n <= 1).
int GetRandom(int n);
// Calls the event callback outside every lock.
void RaiseEvent(unsigned uEvent);
// Sets the list state (s_csList held); TRUE when the online status changed.
BOOL SetListStateLocked(LIST_STATE eState);
// Index of dwAdrs in the server table, -1 if absent (s_csList held).
int FindServerLocked(DWORD dwAdrs);
// The unit's IDs as blank-padded 5-character fields (takes s_csList).
void CopyUnitIDs(char* pServID, char* pRadioID);
// "%d.%d.%d.%d" arguments.
#define LSV_IP(a)                                                                                                    \
    static_cast<int>(((a) >> 24) & 0xFF), static_cast<int>(((a) >> 16) & 0xFF), static_cast<int>(((a) >> 8) & 0xFF), \
        static_cast<int>((a)&0xFF)

// ---- listsrv_proto.cpp --------------------------------------------------------

// Send and receive loops with the 50 ms stop checks and the 30 s limit.
int TxSock(NPSOCK_PARAM pSock, const BYTE* pData, int nDataLen);
int RxSock(NPSOCK_PARAM pSock, BYTE* pData, int nDataLen);
// One TCP exchange; pCmd holds the block at offset 2 and room for the frame.
BOOL TxTcpCmd(NPSOCK_PARAM pSock, char cCmd, BYTE* pCmd, int nCmdLen, BYTE* pRes, int nResLen, WORD* pwResCode);
// One record of a stream: the bytes read or a value below 1.
int RxTcpRes(NPSOCK_PARAM pSock, BYTE* pRes, int nResLen);
// One datagram to nPort:dwAdrs with the stop checks: the bytes sent or -1.
int TxUdpSock(NPSOCK_PARAM pSock, int nPort, DWORD dwAdrs, const BYTE* pData, int nDataLen);
// Writes n characters of a text into a blank-padded field.
void PutField(BYTE* pField, int nWidth, const char* pszText);
// Writes a zero-filled decimal field.
void PutDecField(BYTE* pField, int nWidth, DWORD dwValue);
// Builds a health check frame; aIDs (k server IDs, may be null) and the SC
// table add the "S" and "D" parts. The frame length.
// pServID and pRadioID are 5-character fields; aIDs are terminated texts.
int BuildHealthCheck(BYTE* pFrame, int nPort, const char* pServID, const char* pRadioID,
                     const char (*aIDs)[SERV_ID_CHARS + 1], int k, const BYTE* pbySc);
// Builds a port check frame; its length.
int BuildPortCheck(BYTE* pFrame, int nPort, const char* pRadioID);
// Sends a health check to nTxPort:dwAdrs from pSock; with bParts the
// variable parts come from the result table and the unit's settings.
BOOL TxHealthCheck(NPSOCK_PARAM pSock, int nTxPort, DWORD dwAdrs, int nPort, BOOL bParts);
// Sends a port check for nPort to nTxPort:dwAdrs.
BOOL TxPortCheck(NPSOCK_PARAM pSock, int nTxPort, DWORD dwAdrs, int nPort);
// Fills the frame's block with blanks.
void FillBlanks(BYTE* pBlock, int nLen);
// Packs a registration into its 227-byte block.
BOOL PackRegist(BYTE* pBlock, const LISTSRV_REGIST_PARAM* pParam);
// Unpacks the 19-byte registration answer: 0, or LISTSRV_ERR_INVALID for a
// blank server ID or a field that does not decode.
WORD UnpackRegistRes(const BYTE* pBlock, LISTSRV_REGIST_PARAM* pParam);

// ---- listsrv_find.cpp ---------------------------------------------------------

// Loads the server table (list file or fixed addresses); 0 on success, else
// the time to wait before the next step.
DWORD GetServerAdrs(BOOL bReload);
// Replaces the server table by the fixed testing addresses (s_csList held);
// their number.
int LoadDbgTableLocked();
// Probes every server of the table; the number that answered.
int SearchServer(SEARCH_PARAM* pParam, SEARCH_METHOD eMethod, int nTxPort, int nRxPort);
// The chosen answered entry or null.
SEARCH_WORK* SelectServer(SEARCH_PARAM* pParam, int nConnected);
// A TCP connection to one server, or null.
SEARCH_WORK* ConnectServer(SEARCH_PARAM* pParam, DWORD dwAdrs, int nPort);
// Closes every socket of a search record.
void SearchExit(SEARCH_PARAM* pParam);
// Closes every socket but the chosen entry's.
void SearchKeepOnly(SEARCH_PARAM* pParam, const SEARCH_WORK* pKeep);

// ---- listsrv_req.cpp ----------------------------------------------------------

// The list thread's step in the states GET_LIST to ONLINE; *pbGoOn is set
// when nothing needed fetching in READY or ONLINE.
DWORD OnListRetrieval(LIST_STATE eState, BOOL* pbGoOn);
// Clears the list tables (targets included).
void ClearListTables();

// ---- listsrv_port.cpp ---------------------------------------------------------

// The list thread's periodic health check in READY and ONLINE.
DWORD OnHealthCheckStep();
// Health check answers counted from dwAdrs; FALSE if it is not in the table.
BOOL GetHealthCheckCount(DWORD dwAdrs, DWORD* pdwCount);
// Port check answers counted for nPort from dwAdrs.
BOOL GetPortCheckCount(int nPort, DWORD dwAdrs, DWORD* pdwCount);
// Clears the port-check entries, closing their sockets; keeps the main port.
void ResetPortChecks();
// The port-check thread.
DWORD PortCheckThread(LPVOID);

}  // namespace lsv
