// listsrv: the directory client. It keeps the unit attached to a list server
// (a directory of repeaters): it learns the servers' addresses from an HTTP
// list file, chooses one, registers the unit's repeater, searches the
// directory, keeps the entries of up to 100 followed repeaters (the targets)
// current, and sends health and port checks over UDP. The unit core
// constructs, initialises, seeds, stops and destroys it and tells it the
// unit's receive UDP port, but never starts it; a caller that enables the
// directory (the kovadir tool, tests) calls ListSrv_Start.
//
// Threads: the list thread (server choice and list retrieval) and the
// port-check thread exist from ListSrv_Start to ListSrv_Stop. Request
// operations (ListSrv_Regist, ListSrv_Search, ListSrv_PortCheck, the testing
// operations) block on the caller's thread. The receive handlers run on the
// thread that owns the unit's main UDP socket. The event callback runs on the
// thread that detected the event, outside every lock of the module.
//
// Locks: the port-check lock before the list lock (ListSrv_Lock); a small
// target lock and the random generator's lock are innermost. No lock is held
// across a send, a receive or an HTTP exchange. The stop and started flags are
// atomic; the cancel and port-check events are manual-reset.
#pragma once

#include "winemu.h"

// ---- Values ------------------------------------------------------------------

constexpr int LISTSRV_TARGET_MAX = 100;      // followed repeaters (target indices 0..99)
constexpr int LISTSRV_SERVER_MAX = 8;        // list servers in the table
constexpr int LISTSRV_HEALTH_RES_MAX = 101;  // "S" entries taken from one health check answer

// Result codes of the request operations besides the server's own four-digit
// codes (0 = success; other server codes are passed through unchanged).
constexpr WORD LISTSRV_RES_OK = 0x0000;
constexpr WORD LISTSRV_ERR_COMM = 0x8000;        // no server, connection, send or receive failed or timed out
constexpr WORD LISTSRV_ERR_INVALID = 0x8001;     // the response does not decode
constexpr WORD LISTSRV_ERR_CANCELED = 0x8002;    // the module is stopping
constexpr WORD LISTSRV_ERR_PORT = 0x8004;        // the UDP port to be checked could not be opened
constexpr WORD LISTSRV_ERR_NOT_READY = 0x8005;   // not started, no server address, or no current server
constexpr WORD LISTSRV_ERR_SEARCH_KEY = 0x9000;  // unknown search key

// Callback events.
constexpr unsigned LISTSRV_EVENT_NONE = 0;
constexpr unsigned LISTSRV_EVENT_GET_LIST = 1;        // the retrieved list changed
constexpr unsigned LISTSRV_EVENT_ADDR_CHANGED = 2;    // an address in the list changed
constexpr unsigned LISTSRV_EVENT_STATUS_CHANGED = 3;  // the online state changed

constexpr BOOL LISTSRV_STATUS_OFFLINE = 0;
constexpr BOOL LISTSRV_STATUS_ONLINE = 1;

// The list thread's state.
enum _LIST_STATE : int {
    LIST_STATE_NONE = 0,            // nothing done yet
    LIST_STATE_GET_SERVER = 1,      // fetching the server addresses
    LIST_STATE_GET_SERVER_ERR = 2,  // fetching failed; retrying
    LIST_STATE_WAIT_ID = 3,         // addresses known; waiting for a server ID and radio ID
    LIST_STATE_SEARCH = 4,          // choosing a list server
    LIST_STATE_SEARCH_ERR = 5,      // no server answered; retrying
    LIST_STATE_GET_LIST = 6,        // fetching the requested list
    LIST_STATE_GET_LIST_ERR = 7,    // fetching the list failed
    LIST_STATE_READY = 8,           // attached; waiting for the server's health check answer
    LIST_STATE_ONLINE = 9,          // the current server answers health checks
};
typedef _LIST_STATE LIST_STATE;

enum _SEARCH_KEY : int {
    SEARCH_KEY_SERVER_ID = 0,  // "S"
    SEARCH_KEY_CALLSIGN = 1,   // "C"
    SEARCH_KEY_RADIO_ID = 2,   // "R"
    SEARCH_KEY_CITY = 3,       // "T"
    SEARCH_KEY_STATE = 4,      // "P"
    SEARCH_KEY_COUNTRY = 5,    // "N"
};
typedef _SEARCH_KEY SEARCH_KEY;

// ---- Records -----------------------------------------------------------------

// A repeater's registration; szServID and szLastUpdate are replaced by the answer.
struct tagLISTSRV_REGIST_PARAM {
    char szServID[6];  // empty for a first registration
    char szRadioID[6];
    char szCallSign[11];
    char szCity[41];
    char szState[41];
    char szCountry[4];
    BYTE byModuration;
    BYTE abyScTable[16];
    BYTE bySearchResp;  // non-zero: searches and lists disclose only server ID, radio ID, call sign
    char szSignature[31];
    char szMailAddr[61];
    char szLastUpdate[15];
};
typedef tagLISTSRV_REGIST_PARAM LISTSRV_REGIST_PARAM;

struct tagLISTSRV_SEARCH_REQ_PARAM {
    SEARCH_KEY eKey;
    const char* pszKey;  // the key text; at most 40 characters are sent
};
typedef tagLISTSRV_SEARCH_REQ_PARAM LISTSRV_SEARCH_REQ_PARAM;

// One search hit.
struct tagLISTSRV_SEARCH_RES_PARAM {
    char szServID[6];
    char szRadioID[6];
    DWORD dwIpAddr;  // 0 when not given
    char szCallSign[11];
    char szCity[41];
    char szState[41];
    char szCountry[4];
    BYTE byModuration;
    BYTE bySearchResp;
    char szLastUpdate[15];
};
typedef tagLISTSRV_SEARCH_RES_PARAM LISTSRV_SEARCH_RES_PARAM;

// One retrieved entry of a followed repeater.
struct tagLISTSRV_LIST_PARAM {
    char szServID[6];
    char szRadioID[6];
    char szCallSign[11];
    char szCity[41];
    char szState[41];
    char szCountry[4];
    BYTE byModuration;
    BYTE abyScTable[16];
    BYTE bySearchResp;
    DWORD dwIpAddr;
    char szLastUpdate[15];
};
typedef tagLISTSRV_LIST_PARAM LISTSRV_LIST_PARAM;

// One entry of a health check answer's "S" part.
struct tagHEALTH_CHECK_RES_V {
    DWORD dwServID;  // decimal value with bit 31 set; 0 = no ID
    DWORD dwIpAddr;  // 0 = no address
};
typedef tagHEALTH_CHECK_RES_V HEALTH_CHECK_RES_V;

// callback(event, parameter given to ListSrv_SetCallback).
typedef void (*LISTSRV_CALLBACK)(unsigned uEvent, LPVOID pParam);
// Called once per search hit; FALSE stops the search.
typedef BOOL (*LISTSRV_ENUM_PROC)(const LISTSRV_SEARCH_RES_PARAM* pRes, LPVOID pParam);

// ---- Life cycle --------------------------------------------------------------

// Constructs the HTTP module, clears every setting, resets the state (the
// stop flag set) and creates the locks.
void ListSrv_Construct();
// Initialises the HTTP module and creates the two events; FALSE with a
// warning line on failure.
BOOL ListSrv_Init();
// Resets the state, makes the module's UDP socket and starts the list thread
// (unless disabled) and the port-check thread; TRUE if already started.
BOOL ListSrv_Start();
// Sets the stop flag, wakes and ends whatever runs, cancels open HTTP
// exchanges, closes the module's sockets; safe to call twice and on a module
// that was never started.
void ListSrv_Stop();
// ListSrv_Stop, then frees the events, the HTTP module and the locks.
void ListSrv_Destruct();

// ---- Settings (each takes the list lock unless it says otherwise) ------------

// Host serving the list file: a dotted IPv4 address or a name (128 characters at most).
void ListSrv_SetHostName(const char* pszName);
// Path of the list file on that host (128 characters at most).
void ListSrv_SetHostUrl(const char* pszUrl);
// HTTP port of that host.
void ListSrv_SetHttpPort(int nPort);
// The list servers' TCP port.
void ListSrv_SetTcpPort(int nPort);
// The list servers' UDP port.
void ListSrv_SetTxUdpPort(int nPort);
// The unit's main receive UDP port, named in health checks (takes the port-check lock).
void ListSrv_SetRxUdpPort(int nPort);
// The unit's server ID: at most 5 characters; its number is the decimal value
// with bit 31 set (a text that is not all digits keeps the previous number).
// The caller holds ListSrv_Lock.
void ListSrv_SetServID(const char* pszID);
// The unit's radio ID (at most 5 characters).
void ListSrv_SetRadioID(const char* pszID);
// The unit's 16-byte SC table.
void ListSrv_SetSCTable(const BYTE* pbyTable);
// Stores the random seed (the unit passes the last four MAC bytes) and
// reseeds the generator with it and the calendar time.
void ListSrv_SetSeed(DWORD dwVal);
// The event callback and its parameter.
void ListSrv_SetCallback(LISTSRV_CALLBACK pfnCallback, LPVOID pParam);
// A fixed server address for testing (index 0..7; 0 clears it); any set
// address replaces the list file.
void ListSrv_SetDbgServAdrs(int nIndex, DWORD dwAdrs);
// A preferred server for testing: chosen whenever it answered (0: none).
void ListSrv_SetDbgPrimaryIP(DWORD dwAdrs);
// TRUE: ListSrv_Start makes no list thread and takes the fixed addresses.
void ListSrv_DisableThread(BOOL bDisable);
// Sets the current list server (0: none).
void ListSrv_SetCurrentIP(DWORD dwAdrs);

// ---- Locking and status ------------------------------------------------------

// The module's list lock, held by callers of ListSrv_SetServID and by readers
// of ListSrv_GetNextListParam / ListSrv_GetListParam.
void ListSrv_Lock();
void ListSrv_Unlock();
// TRUE (LISTSRV_STATUS_ONLINE) exactly while the current server answers
// health checks; *pdwGlobalIP gets the unit's address as the server sees it.
BOOL ListSrv_GetStatus(DWORD* pdwGlobalIP);
// The list thread's state.
LIST_STATE ListSrv_GetListState();
// The current list server's address, 0 when there is none.
DWORD ListSrv_GetCurrentIP();
// The main receive UDP port last set (0 before any).
int ListSrv_GetRxUdpPort();
// The server table: up to nMax addresses into adwAdrs; the number in the table.
int ListSrv_GetServerAdrs(DWORD* adwAdrs, int nMax);

// ---- Requests (block on the caller's thread; result codes above) -------------

// Registers the repeater with the current server, or with one chosen among
// those accepting a TCP connection; on success that server becomes current.
BOOL ListSrv_Regist(LISTSRV_REGIST_PARAM* pParam, WORD* pwResCode);
// Searches the directory by one key; pfnCallback (may be null) gets each hit.
BOOL ListSrv_Search(const LISTSRV_SEARCH_REQ_PARAM* pParam, LISTSRV_ENUM_PROC pfnCallback, LPVOID pCallbackParam,
                    WORD* pwResCode);
// Checks that UDP port nPort of the unit is reachable from outside.
BOOL ListSrv_PortCheck(int nPort, WORD* pwResCode);

// ---- Followed repeaters ------------------------------------------------------

// Sets (pszID) or clears (null) the target at nIndex; FALSE outside 0..99.
BOOL ListSrv_SetTargetRadioID(int nIndex, const char* pszID);
// Asks the list thread to retrieve the targets' entries on its next step.
void ListSrv_GetListReq();
// The next entry after *pnPos (start with -1) written since it was last
// taken: clears its flag, stores its index in *pnPos; null when none. The
// caller holds ListSrv_Lock.
const LISTSRV_LIST_PARAM* ListSrv_GetNextListParam(int* pnPos);
// The entry of target nIndex, null outside 0..99. The caller holds ListSrv_Lock.
const LISTSRV_LIST_PARAM* ListSrv_GetListParam(int nIndex);
// Records without data in the last retrieval plus entries without an ID in
// the last health check answer.
int ListSrv_GetNoIdCount();

// ---- UDP answers (handed over by the owner of the unit's main UDP socket) ----

// One health check answer datagram (header included) from dwAdrs; FALSE when ignored.
BOOL ListSrv_OnRxHealthCheck(const void* pParam, int nLength, DWORD dwAdrs);
// One port check answer received on the main socket, port nPort, from dwAdrs.
BOOL ListSrv_OnRxPortCheck(const void* pParam, int nLength, DWORD dwAdrs, int nPort);
// TRUE when a datagram looks like a list server answer ("$" at offset 16
// followed by "H" or "P"), so a receiver can tell it from peer traffic.
BOOL ListSrv_IsListServerAnswer(const void* pData, int nLength, char* pcCmd);

// ---- Testing operations --------------------------------------------------------

// Sends health checks naming the given server IDs to the current server until
// it answers (about 5 s at most).
BOOL ListSrv_DbgHealthCheck(const char* const* apszServIDs, int nNumOfIDs, WORD* pwResCode);
// Retrieves the given radio IDs from the current server at once.
BOOL ListSrv_DbgGetList(const char* const* apszRadioIDs, int nNumOfIDs, WORD* pwResCode);

// How ListSrv_DbgProbeServers probes (the search methods of the module).
enum _LISTSRV_PROBE : int {
    LISTSRV_PROBE_TCP = 0,           // a TCP connect to the list servers' TCP port
    LISTSRV_PROBE_HEALTH_CHECK = 1,  // UDP health checks, as the list thread's search
};
typedef _LISTSRV_PROBE LISTSRV_PROBE;

// One list server as a probe of the whole table saw it.
struct tagLISTSRV_PROBE_RES {
    DWORD dwAdrs;
    BOOL bAnswered;    // answered before the probe ended (what a search would choose from)
    DWORD dwAnswerMs;  // from its probe's start to the answer being seen
};
typedef tagLISTSRV_PROBE_RES LISTSRV_PROBE_RES;

// Probes every server of the table at once, exactly as a search for a server
// does, and reports each one in table order (*pnNum entries of aRes, at most
// LISTSRV_SERVER_MAX). TRUE when at least one answered; else the result code.
BOOL ListSrv_DbgProbeServers(LISTSRV_PROBE eProbe, LISTSRV_PROBE_RES* aRes, int* pnNum, WORD* pwResCode);

// ---- Parsers of outside input (pure; for the module, tests and fuzzing) -----

// Decodes a list file body of nLength bytes (ends early at a zero byte) into
// at most nMax addresses; the number decoded.
int ListSrv_DecodeListFile(const char* pText, int nLength, DWORD* adwAdrs, int nMax);
// Checks a 6-byte TCP response header for command cCmd: 0 with the result in
// *pwResCode, or LISTSRV_ERR_INVALID.
WORD ListSrv_ParseTcpResHeader(const BYTE* pData, int nLength, char cCmd, WORD* pwResCode);
// One 127-byte search record: 0 with *pRes filled, 1 for a record to skip
// (blank server ID), or LISTSRV_ERR_INVALID.
WORD ListSrv_ParseSearchRecord(const BYTE* pData, int nLength, LISTSRV_SEARCH_RES_PARAM* pRes);
// One 159-byte list record: 0 with *pRes and *pdwServID (0 for a record
// without data) filled, or LISTSRV_ERR_INVALID.
WORD ListSrv_ParseListRecord(const BYTE* pData, int nLength, LISTSRV_LIST_PARAM* pRes, DWORD* pdwServID);
// The common part of a UDP answer for command cCmd: at least nMinLength
// bytes, "$", the letter and four decimal digits at offsets 16-21.
BOOL ListSrv_CheckUdpRes(const BYTE* pData, int nLength, char cCmd, int nMinLength);
// The variable parts of a health check answer (whole datagram): the "S"
// entries, at most nMax, into aRes and their number into *pnNum; FALSE when
// a part's length is wrong or an entry does not decode.
BOOL ListSrv_ParseHealthCheckRes(const BYTE* pData, int nLength, HEALTH_CHECK_RES_V* aRes, int nMax, int* pnNum);
// A port check answer (whole datagram): its radio ID (5 characters) into szRadioID.
BOOL ListSrv_ParsePortCheckRes(const BYTE* pData, int nLength, char (&szRadioID)[6]);
