// server_lan: the peer link of the unit core. It owns the packets exchanged
// with the peer units (targets) over UDP, built and parsed byte by byte; each
// target's link state with its retries and time-outs and the tick's send turn
// of at most 5 control packets; the code-table (group) filter and the bits
// learnt from voice traffic; line occupancy (one peer at a time talks to the
// radio); the ownership of the LAN-to-radio queue; the radio's 'G'/'g' voice
// frames, held until their transmission is identified and then queued for
// TxLanThread, which sends them to every admitting target; and the idle
// loop's release of peer and playback records to the radio as 'F'/'f'.
//
// Packet (multi-byte numbers big-endian): a 16-byte header - length of the
// rest (2), type (1: 0 voice, 7 connect request, 8 acknowledgement, 11 status
// notice), 3 zero bytes, sender time (4), message number (2), radio channel
// (1), 3 zero bytes; the last three only in voice packets - then the body:
// voice the radio's voice area unchanged (15 to 1434 bytes), acknowledgement
// 44 bytes (version, MAC, call sign, radio ID, code table, list-server flag,
// two DG-IDs), status notice 8 bytes (message number, status, 5 zero bytes).
//
// Threads: OnRxLanPacket on the command server's UDP receive thread;
// LanOnTimer on TimerThread; OnRxSioTxData and SendStatusNotify on the radio
// port's receive thread; TxLanThread on its own; ReleaseSioTxData on the main
// thread (idle loop). Locks: s_csTarget guards the target table, the own code
// table's bits, the occupancy and every send (TxLanThread takes it per target,
// so a long fan-out never holds it for more than one send); s_csSerial guards
// the radio transmission buffer and the release state; s_csTxQueue, innermost,
// guards the queue owner. Order: s_csSerial, s_csTarget, s_csTxQueue.
#include <atomic>
#include <cstddef>
#include <cstring>

#include "cmdsrv.h"
#include "dataconv.h"
#include "debug.h"
#include "helpers.h"
#include "server_internal.h"
#include "util.h"

// The four numbers of a dotted IPv4 address, most significant first.
#define LAN_IP(a)                                                                                                    \
    static_cast<int>(((a) >> 24) & 0xFF), static_cast<int>(((a) >> 16) & 0xFF), static_cast<int>(((a) >> 8) & 0xFF), \
        static_cast<int>((a)&0xFF)

namespace {

// ---- Packet layout -------------------------------------------------------------

constexpr int LAN_HEADER_SIZE = 16;
constexpr int LAN_OFS_LENGTH = 0;
constexpr int LAN_OFS_TYPE = 2;
constexpr int LAN_OFS_TIME = 6;
constexpr int LAN_OFS_MSGID = 10;
constexpr int LAN_OFS_CH = 12;

constexpr BYTE LAN_TYPE_VOICE = 0;
constexpr BYTE LAN_TYPE_CONNECT_REQ = 7;
constexpr BYTE LAN_TYPE_CONNECT_ACK = 8;
constexpr BYTE LAN_TYPE_STATUS = 11;

constexpr int LAN_VOICE_MAX = LAN_HEADER_SIZE + SIO_DATA_MAX;
static_assert(LAN_VOICE_MAX <= CMDSRV_UDP_MAX, "the largest voice packet fits a datagram");

// Connect acknowledgement body.
constexpr int ACK_PARAM_SIZE = 44;
constexpr int ACK_PACKET_SIZE = LAN_HEADER_SIZE + ACK_PARAM_SIZE;
constexpr int ACK_OFS_VERS = 16;
constexpr int ACK_OFS_MAC = 20;
constexpr int ACK_OFS_CALLSIGN = 26;
constexpr int ACK_CALLSIGN_SIZE = 10;
constexpr int ACK_OFS_RADIOID = 36;
constexpr int ACK_RADIOID_SIZE = 5;
constexpr int ACK_OFS_SCTABLE = 41;
constexpr int ACK_SCTABLE_SIZE = 16;
constexpr int ACK_OFS_LISTSERVER = 57;
constexpr int ACK_OFS_LOCDGID = 58;
constexpr int ACK_OFS_DEFDGID = 59;
constexpr int ACK_MIN_SIZE = 58;  // shorter ones carry no list-server flag
constexpr DWORD LAN_PROTOCOL_VERSION = 0x01040400;
static_assert(ACK_OFS_DEFDGID + 1 == ACK_PACKET_SIZE, "the acknowledgement is 60 bytes");
static_assert(ACK_OFS_SCTABLE + ACK_SCTABLE_SIZE == ACK_OFS_LISTSERVER, "flags follow the table");
static_assert(ACK_OFS_RADIOID + ACK_RADIOID_SIZE == ACK_OFS_SCTABLE, "the table follows the radio ID");
static_assert(ACK_RADIOID_SIZE < ACK_CALLSIGN_SIZE, "either text fits a call sign's buffer");

// Status notice body.
constexpr int STATUS_PARAM_SIZE = 8;
constexpr int STATUS_PACKET_SIZE = LAN_HEADER_SIZE + STATUS_PARAM_SIZE;
constexpr int STATUS_OFS_MSGID = 16;
constexpr int STATUS_OFS_STATUS = 18;
static_assert(STATUS_PACKET_SIZE == 24, "the status notice is 24 bytes");

// ---- Timing and limits ---------------------------------------------------------

constexpr DWORD CONNECT_INTERVAL_MS = 1000;  // between connect requests of one attempt
constexpr int CONNECT_REQUESTS = 3;          // requests of one attempt
constexpr DWORD CONNECT_TIMEOUT_MS = 3000;   // after the last request of an attempt
constexpr DWORD CONNECT_PAUSE_MS = 45000;    // before the next attempt
constexpr DWORD KEEPALIVE_MS = 30000;        // connect request to a connected target
constexpr DWORD NO_RESPONSE_MS = 120000;     // silence that drops a connected target
constexpr int SEND_TURN_PACKETS = 5;         // control packets per tick
constexpr int FANOUT_BURST = 16;             // sends of one frame before a pause
constexpr DWORD FANOUT_PAUSE_MS = 10;
constexpr DWORD QUEUE_EMPTY_RELEASE_MS = 1000;  // an owned queue left empty this long is freed
constexpr int SIO_RX_BUFFER_RECORDS = 64;
constexpr WORD MSG_ID_WRAP = 0x8000;
constexpr DWORD CODE_ANY = 127;  // passes every table
constexpr DWORD GROUP_ALL = 0x80000000;
constexpr DWORD GROUP_PRESENT = 0x40000000;
constexpr BYTE LAN_STATUS_NO_TARGET = 1;
constexpr WORD STATUS_ID_WRAP = 0x8000;
constexpr DWORD LINE_RELEASE_MS = 1000;
constexpr DWORD LAN_TX_REQ_TIMEOUT_MS = 2000;
constexpr DWORD SEARCH_PROBE_BACKDATE_MS = 1000;

// ---- Records -------------------------------------------------------------------

// One peer unit (target); index i mirrors configuration entry i.
struct tagTARGET_WORK {
    CLIENT_STATUS eStatus;
    DWORD dwReconnTime;
    int nConnectRetry;
    BOOL bTxConnectReq;
    WORD wTxPackDataCnt;
    DWORD dwRxIdleTime;
    BOOL bSearchReq;
    BOOL bRxConnectAck;
    BOOL bParamChanged;
    BOOL bTxConnAckReq;
    DWORD dwReconnDelay;
    ULONG ulAdrs;  // 0: slot unused
    SQL_CODE_INFO SqlCodeInfo;
    DWORD dwVers;
    MAC_ADDRESS MacAdrs;
    char szCallSign[11];
    char szRadioID[6];
    BOOL bListServer;
    BOOL bSelfLink;  // its acknowledgements carry the own MAC address
};
typedef tagTARGET_WORK TARGET_WORK;

// One buffered radio frame.
struct tagSIO_DATA {
    COMMON_DATA_HEADER header;
    BYTE abyData[SIO_DATA_MAX];
    int nDataLen;
};
typedef tagSIO_DATA SIO_DATA;

// The start of a radio transmission, kept until it is identified.
struct tagSIO_RX_DATA_BUFF {
    SIO_DATA aData[SIO_RX_BUFFER_RECORDS];
    int nCount;
};
typedef tagSIO_RX_DATA_BUFF SIO_RX_DATA_BUFF;

#define VOICE_FIELD(f) static_cast<int>(offsetof(COMMON_DATA_HEADER, f))
const GET_DATA_PARAM SIO_COMMON_DATA_HEADER[] = {
    {0, 1, "SIO_COMMON_DATA_HEADER:cType", TYPE_CHAR, VOICE_FIELD(cType)},
    {3, 4, "SIO_COMMON_DATA_HEADER:cCounter", TYPE_HEX_DW, VOICE_FIELD(dwCounter)},
    {7, 8, "SIO_COMMON_DATA_HEADER:cFICH", TYPE_HEX_DW, VOICE_FIELD(dwFICH)},
};
const GET_DATA_PARAM SIO_GROUP_NUMBER = {1, 2, "SIO_COMMON_DATA_HEADER:cRecCh", TYPE_DEC_DW, VOICE_FIELD(dwGroupID)};
#undef VOICE_FIELD

// ---- State ---------------------------------------------------------------------

// Under s_csTarget: the target table (index i mirrors configuration entry i),
// the send turn's position, the own code table, the line occupancy by a peer,
// the last status notice number and the UDP clients.
TARGET_WORK s_aTargetWork[SERVER_TARGET_COUNT];
int s_nTargetIndex = 0;
SQL_CODE_INFO s_SqlCodeInfo;
ULONG s_ulOccupyTargetAdrs = 0;
DWORD s_dwLineBusyTime = 0;
WORD s_wStatusID = 0;
LPVOID s_pUdpClient = nullptr;   // voice
LPVOID s_pUdpClient2 = nullptr;  // control packets
std::atomic<LAN_SEND_HOOK> s_pfnSendHook{nullptr};

// Under s_csSerial: the radio transmission being sent to the peers.
BOOL s_bLanTxDataReq = FALSE;
DWORD s_dwTmLanTxDataReq = 0;

// Under s_csSerial: the radio transmission being buffered and its number.
SIO_RX_DATA_BUFF s_SioRxDataBuff;
WORD s_wTxMsgID = 0;

// Under s_csTxQueue: the owner of the LAN-to-radio queue.
BOOL s_bTxQueueOwner = FALSE;
unsigned int s_ulTxQueueOwnerID = 0;

// Under s_csSerial: the release to the radio.
COMMON_DATA_HEADER s_SioTxHeader;
BYTE s_abySioTxData[SIO_DATA_MAX];
int s_nSioTxDataLen = 0;  // length of the record waiting for release; 0 = none
WORD s_wRxMsgID = 0;
DWORD s_dwHeaderStartTime = 0;
DWORD s_dwSioTxStartTime = 0;
BOOL s_bSioTxEmptyStarted = FALSE;
DWORD s_dwSioTxEmptyTime = 0;

// ---- Code tables ---------------------------------------------------------------

bool TableHas(const BYTE* abyCode, DWORD n)
{
    return ((abyCode[(n / 8) & 15] >> (n % 8)) & 1) != 0;
}

void TableSet(BYTE* abyCode, DWORD n)
{
    abyCode[(n / 8) & 15] = static_cast<BYTE>(abyCode[(n / 8) & 15] | (1u << (n % 8)));
}

DWORD CodeOf(const COMMON_DATA_HEADER& h)
{
    return h.dwFICH & 0x7F;
}

DWORD GroupOf(const COMMON_DATA_HEADER& h)
{
    return h.dwGroupID & 0x7F;
}

bool HasGroup(const COMMON_DATA_HEADER& h)
{
    return (h.dwGroupID & GROUP_PRESENT) != 0;
}

bool ForAllGroups(const COMMON_DATA_HEADER& h)
{
    return (h.dwGroupID & GROUP_ALL) != 0;
}

// A table admits a frame by its code, by code 127, or by its group.
bool Admits(const BYTE* abyCode, const COMMON_DATA_HEADER& h)
{
    DWORD d = CodeOf(h);
    return d == CODE_ANY || TableHas(abyCode, d) || (HasGroup(h) && TableHas(abyCode, GroupOf(h)));
}

// A group frame teaches a table that admits its group the frame's code too.
void LearnCodeByGroup(TARGET_WORK& t, const COMMON_DATA_HEADER& h)
{
    BYTE* abyCode = t.SqlCodeInfo.abyCode;
    if (HasGroup(h) && TableHas(abyCode, GroupOf(h)) && !TableHas(abyCode, CodeOf(h))) {
        TableSet(abyCode, CodeOf(h));
        t.bParamChanged = TRUE;
    }
}

// The own table learns a code; the connected peers are told. Caller holds s_csTarget.
void LearnOwnCode(DWORD d)
{
    if (!TableHas(s_SqlCodeInfo.abyCode, d)) {
        TableSet(s_SqlCodeInfo.abyCode, d);
        AnnounceCodeTable();
    }
}

void ClearScTable(TARGET_WORK* pTarget)
{
    SQL_CODE_INFO& info = pTarget->SqlCodeInfo;
    if (!is_bytes_zero(info.abyCode, sizeof(info.abyCode))) {
        std::memset(info.abyCode, 0, sizeof(info.abyCode));
        info.byLocDGID = DGID_NONE;
        info.byDefDGID = DGID_NONE;
        pTarget->bParamChanged = TRUE;
    }
}

// ---- Traces ----------------------------------------------------------------------

// The fields of a voice trace line: channel, code, type, counter, group.
struct VoiceTrace {
    char cCh;
    int nCode;
    char cType;
    int nCounter;
    char szGroup[16];
};

VoiceTrace TraceOf(const COMMON_DATA_HEADER& h)
{
    VoiceTrace v = {h.byCh == TRX_CH_A ? 'A' : 'B', static_cast<int>(CodeOf(h)), h.cType, static_cast<int>(h.dwCounter),
                    ""};
    if (ForAllGroups(h)) {
        _sprintf(v.szGroup, "grp=%s", "**");
    } else if (HasGroup(h)) {
        _sprintf(v.szGroup, "grp=%d", static_cast<int>(GroupOf(h)));
    }
    return v;
}

// ---- Building packets --------------------------------------------------------------

// The 16-byte header with every field 0 but the length and the type.
void PutLanHeader(BYTE* p, int nBodyLen, BYTE byType)
{
    std::memset(p, 0, LAN_HEADER_SIZE);
    PutBE16(p + LAN_OFS_LENGTH, static_cast<DWORD>(nBodyLen));
    p[LAN_OFS_TYPE] = byType;
}

// A voice packet's header for a record of n data bytes; the data follows it.
void PutVoiceHeader(BYTE* p, const COMMON_DATA_HEADER& h, int n)
{
    PutLanHeader(p, n, LAN_TYPE_VOICE);
    PutBE32(p + LAN_OFS_TIME, h.dwTime);
    PutBE16(p + LAN_OFS_MSGID, h.wMsgID);
    p[LAN_OFS_CH] = h.byCh;
}

// n characters of a text, NUL-padded, no terminator.
void PutText(BYTE* p, const char* psz, int n)
{
    std::memset(p, 0, static_cast<size_t>(n));
    for (int i = 0; i < n && psz[i] != '\0'; ++i) {
        p[i] = static_cast<BYTE>(psz[i]);
    }
}

// The acknowledgement: own version, MAC, radio identity and code table.
// Caller holds s_csTarget (the own table's bits, the list-server flag).
void BuildConnectAck(BYTE (&p)[ACK_PACKET_SIZE])
{
    PutLanHeader(p, ACK_PARAM_SIZE, LAN_TYPE_CONNECT_ACK);
    PutBE32(p + ACK_OFS_VERS, LAN_PROTOCOL_VERSION);
    std::memcpy(p + ACK_OFS_MAC, s_MacAdrs.abyAdrs, sizeof(s_MacAdrs.abyAdrs));
    const VERS_INFO& radio = SioRadioIdentity();
    PutText(p + ACK_OFS_CALLSIGN, radio.szCallSign, ACK_CALLSIGN_SIZE);
    PutText(p + ACK_OFS_RADIOID, radio.szRadioID, ACK_RADIOID_SIZE);
    std::memcpy(p + ACK_OFS_SCTABLE, s_SqlCodeInfo.abyCode, ACK_SCTABLE_SIZE);
    p[ACK_OFS_LISTSERVER] = s_Config.bListServer ? 1 : 0;
    p[ACK_OFS_LOCDGID] = s_SqlCodeInfo.byLocDGID;
    p[ACK_OFS_DEFDGID] = s_SqlCodeInfo.byDefDGID;
}

// ---- Sending -------------------------------------------------------------------------

// One packet to a peer's transmit port. Caller holds s_csTarget, which also
// keeps the client alive.
BOOL SendPacket(LPVOID pClient, const BYTE* p, int n, ULONG ulAdrs)
{
    LAN_SEND_HOOK hook = s_pfnSendHook.load(std::memory_order_relaxed);
    bool bSent = hook != nullptr ? hook(ulAdrs, p, n) != FALSE
                                 : pClient != nullptr && CmdServer_SendTo(pClient, p, n, static_cast<WORD>(s_Config.nTxUdpPort), ulAdrs);
    if (!bSent) {
        DebugLog(LOG_CAT_WARNING, "[W] CmdServer_SendTo(%d.%d.%d.%d) failed\n", LAN_IP(ulAdrs));
        return FALSE;
    }
    return TRUE;
}

BOOL SendConnectReq(ULONG ulAdrs)
{
    DebugPrint("Tx: connect req %d.%d.%d.%d\n", LAN_IP(ulAdrs));
    BYTE abyPacket[LAN_HEADER_SIZE];
    PutLanHeader(abyPacket, 0, LAN_TYPE_CONNECT_REQ);
    return SendPacket(s_pUdpClient2, abyPacket, sizeof(abyPacket), ulAdrs);
}

BOOL SendConnectAck(ULONG ulAdrs)
{
    DebugPrint("Tx: connect ack %d.%d.%d.%d\n", LAN_IP(ulAdrs));
    BYTE abyPacket[ACK_PACKET_SIZE];
    BuildConnectAck(abyPacket);
    return SendPacket(s_pUdpClient2, abyPacket, sizeof(abyPacket), ulAdrs);
}

// ---- Target link state -----------------------------------------------------------------

// The first target with this address, or null (0 is nobody's address).
TARGET_WORK* FindTarget(ULONG ulAdrs)
{
    if (ulAdrs == 0) {
        return nullptr;
    }
    for (TARGET_WORK& t : s_aTargetWork) {
        if (t.ulAdrs == ulAdrs) {
            return &t;
        }
    }
    return nullptr;
}

// A fresh connect attempt whose first request is due at the next tick.
void RestartLink(TARGET_WORK& t, DWORD now)
{
    t.eStatus = CONNECTING;
    t.dwReconnTime = now - CONNECT_INTERVAL_MS;
    t.nConnectRetry = 0;
    t.bTxConnectReq = FALSE;
    t.bSearchReq = FALSE;
    t.dwReconnDelay = 0;
}

// Connecting or probing: a request every second, three of them, then a
// time-out 3 s after the last and a pause of 45 s.
void SuperviseAttempt(TARGET_WORK& t, DWORD now)
{
    if (t.nConnectRetry < CONNECT_REQUESTS) {
        if (now - t.dwReconnTime >= t.dwReconnDelay + CONNECT_INTERVAL_MS) {
            t.dwReconnDelay = 0;
            t.dwReconnTime = now;
            t.bTxConnectReq = TRUE;
        }
        return;
    }
    if (now - t.dwReconnTime >= CONNECT_TIMEOUT_MS) {
        DebugPrint("[W] connect timeout %d.%d.%d.%d\n", LAN_IP(t.ulAdrs));
        if (t.eStatus == CONNECTED) {
            ClearScTable(&t);
            DebugLog(LOG_CAT_PEER, "[W] target lost %d.%d.%d.%d\n", LAN_IP(t.ulAdrs));
        }
        RestartLink(t, now);
        t.dwReconnDelay = CONNECT_PAUSE_MS;
    }
}

// Connected: a keep-alive request every 30 s; 120 s of silence drops it.
void SuperviseConnected(TARGET_WORK& t, DWORD now)
{
    if (now - t.dwReconnTime >= KEEPALIVE_MS) {
        t.dwReconnTime = now;
        t.bTxConnectReq = TRUE;
    }
    if (now - t.dwRxIdleTime >= NO_RESPONSE_MS) {
        DebugLog(LOG_CAT_PEER, "[W] target no response %d.%d.%d.%d\n", LAN_IP(t.ulAdrs));
        ClearScTable(&t);
        RestartLink(t, now);
    }
}

void SuperviseTarget(TARGET_WORK& t, DWORD now)
{
    if ((t.bSearchReq || t.eStatus == CONNECTING) && !t.bTxConnectReq) {
        SuperviseAttempt(t, now);
    } else if (t.eStatus == CONNECTED && !t.bTxConnectReq) {
        SuperviseConnected(t, now);
    } else if (t.eStatus == WAIT_DISCONNECT) {
        t.eStatus = NONE;
    }
}

// The request of a connect attempt or probe; TRUE when a packet went out.
BOOL SendAttemptRequest(TARGET_WORK& t, DWORD now)
{
    bool bWasConnected = t.eStatus == CONNECTED;
    t.bTxConnectReq = FALSE;
    t.dwReconnTime = now;
    if (SendConnectReq(t.ulAdrs)) {
        ++t.nConnectRetry;
        return TRUE;
    }
    DebugLog(LOG_CAT_WARNING, "[W] SendConnectReq() failed\n");
    if (bWasConnected) {
        ClearScTable(&t);
    }
    t.eStatus = CONNECTING;
    t.nConnectRetry = 0;
    t.bSearchReq = FALSE;
    t.dwReconnDelay = 0;
    return FALSE;
}

// A connected target's keep-alive request or due acknowledgement.
BOOL SendConnectedPacket(TARGET_WORK& t, DWORD now)
{
    if (t.bTxConnectReq) {
        t.bTxConnectReq = FALSE;
        t.dwReconnTime = now;
        if (SendConnectReq(t.ulAdrs)) {
            return TRUE;
        }
        DebugLog(LOG_CAT_WARNING, "[W] SendConnectReq() failed\n");
    } else if (t.bTxConnAckReq) {
        t.bTxConnAckReq = FALSE;
        if (SendConnectAck(t.ulAdrs)) {
            return TRUE;
        }
        DebugLog(LOG_CAT_WARNING, "[W] SendConnectAck() failed 2\n");
    } else {
        return FALSE;
    }
    ClearScTable(&t);
    RestartLink(t, now);
    return FALSE;
}

// One target's visit in the send turn; TRUE when it took a packet.
BOOL SendTurnVisit(TARGET_WORK& t, DWORD now)
{
    if (t.ulAdrs == 0) {
        return FALSE;
    }
    if (t.bSearchReq || t.eStatus == CONNECTING) {
        return t.bTxConnectReq ? SendAttemptRequest(t, now) : FALSE;
    }
    if (t.eStatus == CONNECTED) {
        return SendConnectedPacket(t, now);
    }
    return FALSE;
}

// ---- Control packets from a peer ---------------------------------------------------------

void OnRxConnectReq(ULONG ulAdrs)
{
    DebugPrint("Rx: connect req %d.%d.%d.%d\n", LAN_IP(ulAdrs));
    EnterCriticalSection(&s_csTarget);
    TARGET_WORK* t = FindTarget(ulAdrs);
    if (t != nullptr) {
        t->bTxConnAckReq = FALSE;  // answered now, not at the send turn
        SendConnectAck(ulAdrs);
    }
    LeaveCriticalSection(&s_csTarget);
}

// A text field of n characters, taken when it does not start with 0, as
// the ini file and the command replies can carry it (str_safe_text); TRUE
// when the stored text changed and the peer's had to be altered.
bool TakeText(char* pszOut, const BYTE* p, int n)
{
    if (p[0] == 0) {
        return false;
    }
    char szText[ACK_CALLSIGN_SIZE + 1];
    bool bAltered = !str_safe_text(szText, reinterpret_cast<const char*>(p), n);
    bool bChanged = std::strcmp(szText, pszOut) != 0;
    std::memcpy(pszOut, szText, static_cast<size_t>(n) + 1);
    return bAltered && bChanged;
}

// What an acknowledgement tells about the peer. Caller holds s_csTarget.
void TakeAckData(TARGET_WORK& t, const BYTE* p, int nLen)
{
    t.dwVers = GetBE32(p + ACK_OFS_VERS);
    std::memcpy(t.MacAdrs.abyAdrs, p + ACK_OFS_MAC, sizeof(t.MacAdrs.abyAdrs));
    if (!s_Config.bListServer) {
        bool bAltered = TakeText(t.szCallSign, p + ACK_OFS_CALLSIGN, ACK_CALLSIGN_SIZE);
        bAltered = TakeText(t.szRadioID, p + ACK_OFS_RADIOID, ACK_RADIOID_SIZE) || bAltered;
        if (bAltered) {
            DebugLog(LOG_CAT_WARNING, "[W] call sign or radio ID of %d.%d.%d.%d: unusable characters replaced by '%c'\n",
                     LAN_IP(t.ulAdrs), STR_SAFE_FILL);
        }
    }
    std::memcpy(t.SqlCodeInfo.abyCode, p + ACK_OFS_SCTABLE, ACK_SCTABLE_SIZE);
    t.SqlCodeInfo.byLocDGID = DGID_NONE;
    t.SqlCodeInfo.byDefDGID = DGID_NONE;
    if (nLen >= ACK_PACKET_SIZE) {
        t.SqlCodeInfo.byLocDGID = p[ACK_OFS_LOCDGID];
        t.SqlCodeInfo.byDefDGID = p[ACK_OFS_DEFDGID];
    }
    t.bListServer = p[ACK_OFS_LISTSERVER] != 0 ? TRUE : FALSE;
    t.bRxConnectAck = TRUE;
}

// The unit's own MAC address (a board whose address could not be read has
// none, and links to peers that send none).
bool IsOwnMac(const BYTE* pMac)
{
    const BYTE* own = s_MacAdrs.abyAdrs;
    return !is_bytes_zero(own, sizeof(s_MacAdrs.abyAdrs)) && std::memcmp(pMac, own, sizeof(s_MacAdrs.abyAdrs)) == 0;
}

// An acknowledgement carrying the unit's own MAC address came from the unit
// itself (its own address and port as a target, or a forwarded port that
// loops back): the target is not taken as connected. Said once per such target.
void RefuseSelfLink(TARGET_WORK& t)
{
    if (!t.bSelfLink) {
        t.bSelfLink = TRUE;
        DebugLog(LOG_CAT_WARNING, "[W] target %d.%d.%d.%d is this unit itself (own MAC address): not linked\n",
                 LAN_IP(t.ulAdrs));
    }
}

void OnRxConnectAck(ULONG ulAdrs, const BYTE* p, int nLen)
{
    DebugPrint("Rx: connect ack %d.%d.%d.%d\n", LAN_IP(ulAdrs));
    if (nLen < ACK_MIN_SIZE) {
        DebugPrint("[W] invalid data length %d\n", nLen);
        return;
    }
    EnterCriticalSection(&s_csTarget);
    TARGET_WORK* t = FindTarget(ulAdrs);
    if (t == nullptr) {
        DebugPrint("[W] target not found %d.%d.%d.%d\n", LAN_IP(ulAdrs));
        LeaveCriticalSection(&s_csTarget);
        return;
    }
    if (IsOwnMac(p + ACK_OFS_MAC)) {
        RefuseSelfLink(*t);
        LeaveCriticalSection(&s_csTarget);
        return;
    }
    t->bSelfLink = FALSE;
    DWORD now = GetTickCount();
    t->dwReconnTime = now;
    t->dwRxIdleTime = now;
    t->dwReconnDelay = 0;
    if (t->eStatus == CONNECTING) {
        DebugLog(LOG_CAT_PEER, "[I] target detected %d.%d.%d.%d\n", LAN_IP(ulAdrs));
        t->eStatus = CONNECTED;
        t->wTxPackDataCnt = 0;
        t->bTxConnAckReq = FALSE;
    }
    t->bSearchReq = FALSE;
    TakeAckData(*t, p, nLen);
    LeaveCriticalSection(&s_csTarget);
}

void OnRxStatusNotify(ULONG ulAdrs, const BYTE* p, int nLen)
{
    if (nLen < STATUS_PACKET_SIZE) {
        DebugPrint("[W] invalid data length %d (status)\n", nLen);
        return;
    }
    EnterCriticalSection(&s_csTarget);
    bool bKnown = FindTarget(ulAdrs) != nullptr;
    if (!bKnown) {
        DebugPrint("[W] target not found %d.%d.%d.%d (status)\n", LAN_IP(ulAdrs));
    } else {
        DebugLog(LOG_CAT_PEER, "Rx: status notify %d.%d.%d.%d (%d)\n", LAN_IP(ulAdrs), p[STATUS_OFS_STATUS]);
    }
    LeaveCriticalSection(&s_csTarget);
    if (bKnown) {
        // s_csSerial comes before s_csTarget: the lock is left first.
        SetLanStatus(ulAdrs, GetBE16(p + STATUS_OFS_MSGID), p[STATUS_OFS_STATUS]);
    }
}

// ---- Voice data from a peer --------------------------------------------------------------

// Checks a voice packet and decodes its record header; the data is the
// returned count of bytes after the packet header, or -1 to drop it.
int ParsePeerVoice(ULONG ulAdrs, const BYTE* p, int nLen, COMMON_DATA_HEADER* pHeader)
{
    int n = GetBE16(p + LAN_OFS_LENGTH);
    if (!CheckParamLength(n, VOICE_HEAD_SIZE)) {
        return -1;
    }
    // Only data that is both present and fits a queue record is relayed.
    int nReceived = nLen > LAN_HEADER_SIZE ? nLen - LAN_HEADER_SIZE : 0;
    int nLimit = nReceived < SIO_DATA_MAX ? nReceived : SIO_DATA_MAX;
    if (n > nLimit) {
        DebugPrint("[W] voice packet length %d exceeds %d\n", n, nLimit);
        return -1;
    }
    const char* pArea = reinterpret_cast<const char*>(p + LAN_HEADER_SIZE);
    *pHeader = COMMON_DATA_HEADER{};
    if (!DecodeVoiceHeader(pArea, pHeader)) {
        return -1;
    }
    GetSioGroupID(pArea, pHeader);
    pHeader->dwTime = GetBE32(p + LAN_OFS_TIME);
    pHeader->wMsgID = GetBE16(p + LAN_OFS_MSGID);
    pHeader->ulAdrs = ulAdrs;
    pHeader->byCh = p[LAN_OFS_CH];
    return n;
}

// What a peer's frame teaches the tables. Caller holds s_csTarget.
void LearnFromPeerFrame(const COMMON_DATA_HEADER& h, DWORD now)
{
    DWORD d = CodeOf(h);
    for (TARGET_WORK& t : s_aTargetWork) {
        if (t.ulAdrs == 0 || t.eStatus != CONNECTED) {
            continue;
        }
        if (t.ulAdrs != h.ulAdrs) {
            LearnCodeByGroup(t, h);
            continue;
        }
        t.dwReconnTime = now;
        t.dwRxIdleTime = now;
        t.dwReconnDelay = 0;
        if ((HasGroup(h) || ForAllGroups(h)) && !TableHas(t.SqlCodeInfo.abyCode, d)) {
            TableSet(t.SqlCodeInfo.abyCode, d);
            t.bParamChanged = TRUE;
        }
    }
    if (HasGroup(h)) {
        LearnOwnCode(d);
    }
}

// Line occupancy: TRUE when the frame's peer holds the line (taking a free one).
bool OccupyLine(const COMMON_DATA_HEADER& h, DWORD now)
{
    if (s_ulOccupyTargetAdrs == 0) {
        s_ulOccupyTargetAdrs = h.ulAdrs;
        s_dwLineBusyTime = now;
        DebugPrint("OCCUPY %d.%d.%d.%d\n", LAN_IP(h.ulAdrs));
        return true;
    }
    if (s_ulOccupyTargetAdrs != h.ulAdrs) {
        return false;
    }
    s_dwLineBusyTime = now;
    if (h.cType == 'T') {
        s_ulOccupyTargetAdrs = 0;
    }
    return true;
}

// Filter, learning and occupancy; TRUE when the frame goes on to the radio.
bool AdmitPeerFrame(const COMMON_DATA_HEADER& h)
{
    EnterCriticalSection(&s_csTarget);
    DWORD now = GetTickCount();
    bool bAdmit = FindTarget(h.ulAdrs) != nullptr && Admits(s_SqlCodeInfo.abyCode, h);
    if (bAdmit) {
        LearnFromPeerFrame(h, now);
        bAdmit = OccupyLine(h, now);
    }
    LeaveCriticalSection(&s_csTarget);
    return bAdmit;
}

void QueueForRadio(const COMMON_DATA_HEADER& h, const BYTE* pData, int n)
{
    if (!SetTxQueueOwner(h.ulAdrs)) {
        DebugLog(LOG_CAT_WARNING, "[W] cannot take queue %08X\n", static_cast<unsigned>(h.ulAdrs));
        return;
    }
    if (!PostDataToTxQueue(&s_SioTxQueue, &h, pData, n)) {
        DebugLog(LOG_CAT_WARNING, "[W] PostDataToTxQueue (LAN) failed\n");
        ReleaseTxQueueOwner(h.ulAdrs);
        return;
    }
    WakeIdleLoop();
}

void OnRxLanVoice(ULONG ulAdrs, const BYTE* p, int nLen)
{
    COMMON_DATA_HEADER h;
    int n = ParsePeerVoice(ulAdrs, p, nLen, &h);
    if (n < 0) {
        return;
    }
    VoiceTrace v = TraceOf(h);
    DebugLog(LOG_CAT_PEER, "Rx: Lan %c [%03d][%c][%05d] %s\n", v.cCh, v.nCode, v.cType, v.nCounter, v.szGroup);
    if (AdmitPeerFrame(h)) {
        QueueForRadio(h, p + LAN_HEADER_SIZE, n);
    }
}

// ---- Voice data from the radio -------------------------------------------------------------

void NextTxMsgID()
{
    s_wTxMsgID = static_cast<WORD>(s_wTxMsgID + 1);
    if (s_wTxMsgID == MSG_ID_WRAP) {
        s_wTxMsgID = 1;
    }
}

void PostToLan(COMMON_DATA_HEADER* pHeader, const BYTE* pData, int n)
{
    pHeader->wMsgID = s_wTxMsgID;
    if (!PostDataToTxQueue(&s_LanTxQueue, pHeader, pData, n)) {
        DebugLog(LOG_CAT_WARNING, "[W] PostDataToTxQueue (LAN) failed\n");
    }
}

void StoreSioData(SIO_DATA* pSlot, const COMMON_DATA_HEADER* pHeader, const char* pParam, int n)
{
    pSlot->header = *pHeader;
    std::memcpy(pSlot->abyData, pParam, static_cast<size_t>(n));
    pSlot->nDataLen = n;
}

// The buffer holds this frame alone: a new transmission starts.
void RestartBuffer(const COMMON_DATA_HEADER* pHeader, const char* pParam, int n)
{
    StoreSioData(&s_SioRxDataBuff.aData[0], pHeader, pParam, n);
    s_SioRxDataBuff.nCount = 1;
    NextTxMsgID();
}

BOOL OnRxSioTxDataHeader(const COMMON_DATA_HEADER* pHeader, const char* pParam, int n)
{
    RestartBuffer(pHeader, pParam, n);
    s_bLanTxDataReq = FALSE;
    return TRUE;
}

BOOL OnRxSioTxDataVoice(COMMON_DATA_HEADER* pHeader, const char* pParam, int n)
{
    if (s_bLanTxDataReq) {
        s_dwTmLanTxDataReq = pHeader->dwTime;
        PostToLan(pHeader, reinterpret_cast<const BYTE*>(pParam), n);
        return TRUE;
    }
    if (s_SioRxDataBuff.nCount < 1) {
        DebugLog(LOG_CAT_WARNING, "[W] no header exist. ignore\n");
        return FALSE;
    }
    if (s_SioRxDataBuff.nCount >= SIO_RX_BUFFER_RECORDS) {
        DebugLog(LOG_CAT_WARNING, "[W] rx data buffer overlow\n");
        return FALSE;
    }
    StoreSioData(&s_SioRxDataBuff.aData[s_SioRxDataBuff.nCount++], pHeader, pParam, n);
    return TRUE;
}

// The identification: the buffered start of the transmission goes out, the
// identification in the place of the header, the voice frames after it moved
// in time so that the last of them lands on the identification's time.
BOOL OnRxSioTxDataID(const COMMON_DATA_HEADER* pHeader, const char* pParam, int n)
{
    SIO_RX_DATA_BUFF& b = s_SioRxDataBuff;
    if (b.nCount < 1 || pHeader->dwCounter != b.aData[0].header.dwCounter) {
        RestartBuffer(pHeader, pParam, n);
    } else {
        DWORD dwShift = pHeader->dwTime - b.aData[b.nCount - 1].header.dwTime;
        StoreSioData(&b.aData[0], pHeader, pParam, n);
        for (int i = 1; i < b.nCount; ++i) {
            b.aData[i].header.dwTime += dwShift;
        }
    }
    s_bLanTxDataReq = TRUE;
    s_dwTmLanTxDataReq = pHeader->dwTime;
    BOOL bOk = TRUE;
    for (int i = 0; i < b.nCount; ++i) {
        b.aData[i].header.wMsgID = s_wTxMsgID;
        if (!PostDataToTxQueue(&s_LanTxQueue, &b.aData[i].header, b.aData[i].abyData, b.aData[i].nDataLen)) {
            DebugLog(LOG_CAT_WARNING, "[W] PostDataToTxQueue (LAN) failed\n");
            bOk = FALSE;
            break;
        }
    }
    b.nCount = 0;
    return bOk;
}

BOOL OnRxSioTxDataEnd(COMMON_DATA_HEADER* pHeader, const char* pParam, int n)
{
    s_SioRxDataBuff.nCount = 0;
    if (s_bLanTxDataReq) {
        s_bLanTxDataReq = FALSE;
        PostToLan(pHeader, reinterpret_cast<const BYTE*>(pParam), n);
    }
    return TRUE;
}

// ---- Radio to peers -----------------------------------------------------------------------

// One target's share of a radio frame, under s_csTarget. *pbAdmitted tells
// whether any target admitted the frame; *pnSent counts successful sends.
// TRUE when this target was sent the frame.
bool SendFrameToTarget(TARGET_WORK& t, const COMMON_DATA_HEADER& h, const BYTE* pPacket, int nPacket, bool* pbAdmitted,
                       int* pnSent)
{
    if (t.ulAdrs == 0 || t.eStatus != CONNECTED || !Admits(t.SqlCodeInfo.abyCode, h)) {
        return false;
    }
    if (!*pbAdmitted) {
        *pbAdmitted = true;
        if (HasGroup(h) || ForAllGroups(h)) {
            LearnOwnCode(CodeOf(h));
        }
    }
    LearnCodeByGroup(t, h);
    if (!SendPacket(s_pUdpClient, pPacket, nPacket, t.ulAdrs)) {
        ClearScTable(&t);
        RestartLink(t, GetTickCount());
        return false;
    }
    if (++*pnSent == 1) {
        LedFlashComm();
        VoiceTrace v = TraceOf(h);
        DebugLog(LOG_CAT_PEER, "Tx: Lan %c [%03d][%c][%05d] %s\n", v.cCh, v.nCode, v.cType, v.nCounter, v.szGroup);
    }
    return true;
}

// Sends one radio frame to every connected target that admits it.
void SendFrameToTargets(const COMMON_DATA_HEADER& h, const BYTE* pPacket, int nPacket)
{
    bool bAdmitted = false;
    int nSent = 0;
    for (TARGET_WORK& t : s_aTargetWork) {
        if (s_bStopReq.load()) {
            return;
        }
        EnterCriticalSection(&s_csTarget);
        bool bSent = SendFrameToTarget(t, h, pPacket, nPacket, &bAdmitted, &nSent);
        LeaveCriticalSection(&s_csTarget);
        if (bSent && nSent % FANOUT_BURST == 0) {
            Sleep(FANOUT_PAUSE_MS);
        }
    }
    if (!bAdmitted) {
        // The radio hears status '1' with its next status notice.
        SetLanStatus(0, h.wMsgID, LAN_STATUS_NO_TARGET);
    }
}

// ---- The LAN-to-radio queue ---------------------------------------------------------------

// Frees the queue whoever holds it.
void ReleaseAnyTxQueueOwner()
{
    EnterCriticalSection(&s_csTxQueue);
    s_bTxQueueOwner = FALSE;
    s_ulTxQueueOwnerID = 0;
    LeaveCriticalSection(&s_csTxQueue);
}

// The empty-queue timer: an owner that queued nothing for 1000 ms lets go.
void ExpireEmptyOwner(DWORD now, DWORD* pdwWait)
{
    unsigned int id = 0;
    if (!GetTxQueueOwner(&id)) {
        s_bSioTxEmptyStarted = FALSE;
        return;
    }
    if (!s_bSioTxEmptyStarted) {
        s_bSioTxEmptyStarted = TRUE;
        s_dwSioTxEmptyTime = now;
    } else if (now - s_dwSioTxEmptyTime >= QUEUE_EMPTY_RELEASE_MS) {
        s_bSioTxEmptyStarted = FALSE;
        ReleaseTxQueueOwner(id);
        return;
    }
    DWORD dwLeft = QUEUE_EMPTY_RELEASE_MS - (now - s_dwSioTxEmptyTime);
    *pdwWait = dwLeft < *pdwWait ? dwLeft : *pdwWait;
}

// Takes the next record into the release slot; FALSE when the queue is empty.
bool TakeNextRecord()
{
    while (!TxQueue_IsEmpty(&s_SioTxQueue)) {
        s_nSioTxDataLen = GetDataFromTxQueue(&s_SioTxQueue, &s_SioTxHeader, s_abySioTxData);
        if (s_nSioTxDataLen > 0) {
            return true;
        }
    }
    return false;
}

// TRUE when the waiting record is due. A record that does not continue the
// message being released starts a new one and is due at once; playback
// records of one message keep their recorded spacing.
bool RecordDue(DWORD now, DWORD* pdwWait)
{
    const COMMON_DATA_HEADER& h = s_SioTxHeader;
    if (h.wMsgID != s_wRxMsgID || h.ulAdrs != 0) {
        s_wRxMsgID = h.wMsgID;
        s_dwHeaderStartTime = h.dwTime;
        s_dwSioTxStartTime = now;
        return true;
    }
    DWORD dwElapsed = now - s_dwSioTxStartTime;
    DWORD dwOffset = h.dwTime - s_dwHeaderStartTime;
    if (dwElapsed >= dwOffset) {
        return true;
    }
    DWORD dwLeft = dwOffset - dwElapsed;
    *pdwWait = dwLeft < *pdwWait ? dwLeft : *pdwWait;
    return false;
}

void ReleaseRecord()
{
    int n = s_nSioTxDataLen;
    s_nSioTxDataLen = 0;
    const COMMON_DATA_HEADER& h = s_SioTxHeader;
    if (h.cType == 'T' && TxQueue_IsEmpty(&s_SioTxQueue)) {
        ReleaseAnyTxQueueOwner();
        s_wRxMsgID = 0;
        s_bSioTxEmptyStarted = FALSE;
    }
    VoiceTrace v = TraceOf(h);
    DebugLog(LOG_CAT_RADIO, "Tx: Sio %c [%03d][%c][%05d] %s\n", v.cCh, v.nCode, v.cType, v.nCounter, v.szGroup);
    BYTE byCmd = h.byCh == TRX_CH_B ? 'f' : 'F';
    if (!TxSioCommand(byCmd, s_abySioTxData, n)) {
        DebugLog(LOG_CAT_WARNING, "[W] TxSioCommand(%c,%d) failed\n", byCmd, n);
    }
}

// A status notice to a peer; caller holds s_csTarget.
BOOL SendStatusNotify(ULONG ulAdrs, WORD wMsgID, BYTE byStatus)
{
    DebugPrint("Tx: status notify %d.%d.%d.%d (%d)\n", LAN_IP(ulAdrs), byStatus);
    DebugLog(LOG_CAT_PEER, "Tx: status notify %d.%d.%d.%d (%d)\n", LAN_IP(ulAdrs), byStatus);
    BYTE abyPacket[STATUS_PACKET_SIZE];
    PutLanHeader(abyPacket, STATUS_PARAM_SIZE, LAN_TYPE_STATUS);
    std::memset(abyPacket + LAN_HEADER_SIZE, 0, STATUS_PARAM_SIZE);
    PutBE16(abyPacket + STATUS_OFS_MSGID, wMsgID);
    abyPacket[STATUS_OFS_STATUS] = byStatus;
    return SendPacket(s_pUdpClient2, abyPacket, sizeof(abyPacket), ulAdrs);
}

// ---- The target table --------------------------------------------------------------------

void ResetCodeInfo(SQL_CODE_INFO* pInfo)
{
    std::memset(pInfo->abyCode, 0, sizeof(pInfo->abyCode));
    pInfo->byLocDGID = DGID_NONE;
    pInfo->byDefDGID = DGID_NONE;
}

// Clears all 100 target records; both DG-IDs of each become 255.
void InitTargetWork()
{
    for (TARGET_WORK& t : s_aTargetWork) {
        std::memset(&t, 0, sizeof(t));
        t.eStatus = NONE;
        t.SqlCodeInfo.byLocDGID = DGID_NONE;
        t.SqlCodeInfo.byDefDGID = DGID_NONE;
    }
}

// Copies a target's identity and code table into every configuration entry
// with its address; TRUE when a call sign or radio ID changed.
BOOL UpdateTargetInfo_Sub(CONFIG_PARAM* pConfig, const TARGET_WORK* pTarget)
{
    BOOL bChanged = FALSE;
    for (TARGET_INFO& entry : pConfig->aTargetInfo) {
        if (entry.dwTargetIP != pTarget->ulAdrs) {
            continue;
        }
        if (std::strncmp(entry.szCallSign, pTarget->szCallSign, CONFIG_CALLSIGN_SIZE - 1) != 0 ||
            std::strncmp(entry.szRadioID, pTarget->szRadioID, CONFIG_RADIOID_SIZE - 1) != 0) {
            _strlcpy(entry.szCallSign, pTarget->szCallSign, sizeof(entry.szCallSign));
            _strlcpy(entry.szRadioID, pTarget->szRadioID, sizeof(entry.szRadioID));
            bChanged = TRUE;
        }
        std::memcpy(entry.abySCTable, pTarget->SqlCodeInfo.abyCode, sizeof(entry.abySCTable));
        entry.byLocDGID = pTarget->SqlCodeInfo.byLocDGID;
        entry.byDefDGID = pTarget->SqlCodeInfo.byDefDGID;
    }
    return bChanged;
}

bool IsProbed(const TARGET_WORK& t)
{
    return (t.eStatus == CONNECTING || t.eStatus == CONNECTED) && t.bSearchReq;
}

bool IsLinkActive(const TARGET_WORK& t)
{
    return t.eStatus == CONNECTING || t.eStatus == CONNECTED;
}

bool SearchRunning()
{
    for (const TARGET_WORK& t : s_aTargetWork) {
        if (IsProbed(t)) {
            return true;
        }
    }
    return false;
}

}  // namespace

// ---- Operations ---------------------------------------------------------------------------

void InitLanVariables()
{
    // Runs before the threads start (and before the locks exist at construction).
    InitTargetWork();
    s_nTargetIndex = 0;
    ResetCodeInfo(&s_SqlCodeInfo);
    s_ulOccupyTargetAdrs = 0;
    s_dwLineBusyTime = 0;
    s_wStatusID = 0;
    s_bLanTxDataReq = FALSE;
    s_dwTmLanTxDataReq = 0;
    s_SioRxDataBuff.nCount = 0;
    s_wTxMsgID = 0;
    s_bTxQueueOwner = FALSE;
    s_ulTxQueueOwnerID = 0;
    s_SioTxHeader = COMMON_DATA_HEADER{};
    s_nSioTxDataLen = 0;
    s_wRxMsgID = 0;
    s_dwHeaderStartTime = 0;
    s_dwSioTxStartTime = 0;
    s_bSioTxEmptyStarted = FALSE;
    s_dwSioTxEmptyTime = 0;
    StrangerReset();
}

void LanSetClients(LPVOID pClient, LPVOID pClient2)
{
    s_pUdpClient = pClient;
    s_pUdpClient2 = pClient2;
}

void LanTakeClients(LPVOID* ppClient, LPVOID* ppClient2)
{
    *ppClient = s_pUdpClient;
    *ppClient2 = s_pUdpClient2;
    s_pUdpClient = nullptr;
    s_pUdpClient2 = nullptr;
}

BOOL LanEnterReady()
{
    InitTargetWork();
    for (int i = 0; i < SERVER_TARGET_COUNT; ++i) {
        s_aTargetWork[i].ulAdrs = AssignableTargetAddress(i);
    }
    return StartConnect();
}

ULONG AssignableTargetAddress(int i)
{
    const TARGET_INFO& entry = s_Config.aTargetInfo[i];
    ULONG ulAdrs = entry.dwTargetIP;
    if (!entry.bEnable || ulAdrs == 0 || ulAdrs == s_NetParam.dwIpAdrs) {
        return 0;
    }
    for (int j = 0; j < i; ++j) {
        if (s_aTargetWork[j].ulAdrs == ulAdrs) {
            return 0;
        }
    }
    return ulAdrs;
}

void LanRebuildTarget(int i, DWORD now)
{
    TARGET_WORK& t = s_aTargetWork[i];
    t.eStatus = NONE;
    t.ulAdrs = 0;
    t.bSelfLink = FALSE;
    ULONG ulAdrs = AssignableTargetAddress(i);
    if (ulAdrs != 0) {
        t.ulAdrs = ulAdrs;
        // A fresh attempt whose first request waits one interval.
        RestartLink(t, now);
        t.dwReconnTime = now;
    }
}

void DisconnectTargets()
{
    for (TARGET_WORK& t : s_aTargetWork) {
        if (t.eStatus != NONE) {
            t.eStatus = WAIT_DISCONNECT;
            t.bSearchReq = FALSE;
        }
    }
}

BOOL LanSearchReq(DWORD now)
{
    if (SearchRunning()) {
        return FALSE;
    }
    // The probe's first connect request is due at once.
    for (TARGET_WORK& t : s_aTargetWork) {
        if (IsLinkActive(t)) {
            t.dwReconnTime = now - SEARCH_PROBE_BACKDATE_MS;
            t.nConnectRetry = 0;
            t.bTxConnectReq = FALSE;
            t.bSearchReq = TRUE;
            t.dwReconnDelay = 0;
        }
    }
    return TRUE;
}

BOOL LanGetSearchResult(SEARCH_RESULT aResult[SERVER_TARGET_COUNT])
{
    if (SearchRunning()) {
        return FALSE;
    }
    for (int i = 0; i < SERVER_TARGET_COUNT; ++i) {
        const TARGET_WORK& t = s_aTargetWork[i];
        SEARCH_RESULT& r = aResult[i];
        std::memset(&r, 0, sizeof(r));
        if (t.eStatus != CONNECTED) {
            continue;
        }
        r.ulAdrs = t.ulAdrs;
        r.dwVers = t.dwVers;
        r.MacAdrs = t.MacAdrs;
        _strlcpy(r.szCallSign, t.szCallSign, sizeof(r.szCallSign));
        _strlcpy(r.szRadioID, t.szRadioID, sizeof(r.szRadioID));
        std::memcpy(r.abySCTable, t.SqlCodeInfo.abyCode, sizeof(r.abySCTable));
        r.bListServer = t.bListServer;
        r.byLocDGID = t.SqlCodeInfo.byLocDGID;
        r.byDefDGID = t.SqlCodeInfo.byDefDGID;
    }
    return TRUE;
}

CLIENT_STATUS LanTargetStatus(int i)
{
    return s_aTargetWork[i].eStatus;
}

BOOL LanCopyTargetInfo(CONFIG_PARAM* pConfig)
{
    bool bChanged = false;
    for (TARGET_WORK& t : s_aTargetWork) {
        if (t.bParamChanged) {
            t.bParamChanged = FALSE;
            t.bRxConnectAck = FALSE;
            bChanged = UpdateTargetInfo_Sub(pConfig, &t) || bChanged;
        }
        if (t.ulAdrs != 0 && t.bRxConnectAck) {
            t.bRxConnectAck = FALSE;
            bChanged = UpdateTargetInfo_Sub(pConfig, &t) || bChanged;
        }
    }
    return bChanged ? TRUE : FALSE;
}

BOOL LanSetCodeTable(const SQL_CODE_INFO& info)
{
    bool changed = std::memcmp(info.abyCode, s_SqlCodeInfo.abyCode, sizeof(info.abyCode)) != 0 ||
                   info.byLocDGID != s_SqlCodeInfo.byLocDGID || info.byDefDGID != s_SqlCodeInfo.byDefDGID;
    if (changed) {
        s_SqlCodeInfo = info;
    }
    return changed ? TRUE : FALSE;
}

void LanGetCodeTable(SQL_CODE_INFO* pInfo)
{
    *pInfo = s_SqlCodeInfo;
}

void LanNotifyOccupant(BYTE byStat)
{
    if (s_ulOccupyTargetAdrs != 0) {
        s_wStatusID = static_cast<WORD>(s_wStatusID + 1);
        if (s_wStatusID == STATUS_ID_WRAP) {
            s_wStatusID = 1;
        }
        SendStatusNotify(s_ulOccupyTargetAdrs, s_wStatusID, byStat);
    }
}

void LanTxReqOnTimer(DWORD now)
{
    if (s_bLanTxDataReq && now - s_dwTmLanTxDataReq >= LAN_TX_REQ_TIMEOUT_MS) {
        DebugLog(LOG_CAT_WARNING, "[W] tx req timeout\n");
        s_bLanTxDataReq = FALSE;
    }
}

void LanSetSendHookForTest(LAN_SEND_HOOK hook)
{
    s_pfnSendHook.store(hook);
}

BOOL StartConnect()
{
    DWORD now = GetTickCount();
    for (TARGET_WORK& t : s_aTargetWork) {
        if (t.ulAdrs != 0) {
            RestartLink(t, now);
            t.bRxConnectAck = FALSE;
        }
    }
    return TRUE;
}

void LanOnTimer(DWORD now)
{
    if (s_ulOccupyTargetAdrs != 0 && now - s_dwLineBusyTime >= LINE_RELEASE_MS) {
        s_ulOccupyTargetAdrs = 0;
        DebugPrint("RELASE timeout\n");
    }
    StrangerReport(now);
    for (TARGET_WORK& t : s_aTargetWork) {
        if (t.ulAdrs != 0) {
            SuperviseTarget(t, now);
        }
    }
    int nPackets = 0;
    for (int nVisits = 0; nVisits < SERVER_TARGET_COUNT && nPackets < SEND_TURN_PACKETS; ++nVisits) {
        if (SendTurnVisit(s_aTargetWork[s_nTargetIndex], now)) {
            ++nPackets;
        }
        s_nTargetIndex = (s_nTargetIndex + 1) % SERVER_TARGET_COUNT;
    }
}

void OnRxLanPacket(ULONG ulAdrs, const BYTE* pData, int nLen)
{
    if (s_eState.load() != UNIT_STATE_READY || pData == nullptr || nLen <= LAN_OFS_TYPE) {
        return;
    }
    // The sender first: nothing about a stranger's packet is traced or filed.
    EnterCriticalSection(&s_csTarget);
    bool bTarget = FindTarget(ulAdrs) != nullptr;
    if (!bTarget) {
        StrangerNote(ulAdrs, GetTickCount());
    }
    LeaveCriticalSection(&s_csTarget);
    if (!bTarget) {
        return;
    }
    switch (pData[LAN_OFS_TYPE]) {
        case LAN_TYPE_VOICE:
            OnRxLanVoice(ulAdrs, pData, nLen);
            break;
        case LAN_TYPE_CONNECT_REQ:
            OnRxConnectReq(ulAdrs);
            break;
        case LAN_TYPE_CONNECT_ACK:
            OnRxConnectAck(ulAdrs, pData, nLen);
            break;
        case LAN_TYPE_STATUS:
            OnRxStatusNotify(ulAdrs, pData, nLen);
            break;
        default:
            break;
    }
}

void AnnounceCodeTable()
{
    for (TARGET_WORK& t : s_aTargetWork) {
        if (t.eStatus == CONNECTED && t.ulAdrs != 0) {
            t.bTxConnAckReq = TRUE;
        }
    }
}

BOOL DecodeVoiceFields(const char* pParam, COMMON_DATA_HEADER* pHeader)
{
    constexpr int nRows = static_cast<int>(sizeof(SIO_COMMON_DATA_HEADER) / sizeof(SIO_COMMON_DATA_HEADER[0]));
    return GetData(pParam, SIO_COMMON_DATA_HEADER, nRows, pHeader) ? TRUE : FALSE;
}

BOOL DecodeVoiceHeader(const char* pParam, COMMON_DATA_HEADER* pHeader)
{
    if (!DecodeVoiceFields(pParam, pHeader)) {
        DebugPrint("[W] GetData() failed\n");
        return FALSE;
    }
    return TRUE;
}

BOOL GetSioGroupID(const char* pParam, COMMON_DATA_HEADER* pHeader)
{
    pHeader->dwGroupID = 0;
    if (pParam[1] == ' ' && pParam[2] == ' ') {
        return TRUE;
    }
    if (pParam[1] == '*' && pParam[2] == '*') {
        pHeader->dwGroupID = GROUP_ALL;
        return TRUE;
    }
    if (!GetData(pParam, &SIO_GROUP_NUMBER, 1, pHeader)) {
        pHeader->dwGroupID = 0;
        DebugPrint("[W] GetData() failed\n");
        return FALSE;
    }
    pHeader->dwGroupID |= GROUP_PRESENT;
    return TRUE;
}

BOOL OnRxSioTxData(const char* pParam, int nLen, TRX_CH eCh)
{
    if (!CheckParamLength(nLen, VOICE_HEAD_SIZE)) {
        return FALSE;
    }
    COMMON_DATA_HEADER h = {};
    if (!DecodeVoiceHeader(pParam, &h)) {
        return FALSE;
    }
    GetSioGroupID(pParam, &h);
    h.dwTime = GetTickCount();
    h.byCh = static_cast<BYTE>(eCh);
    VoiceTrace v = TraceOf(h);
    DebugLog(LOG_CAT_RADIO, "Rx: Sio %c [%03d][%c][%05d] %s\n", v.cCh, v.nCode, v.cType, v.nCounter, v.szGroup);
    switch (h.cType) {
        case 'H':
        case 'h':
            return OnRxSioTxDataHeader(&h, pParam, nLen);
        case '0':
        case '1':
        case '2':
        case '3':
            return OnRxSioTxDataVoice(&h, pParam, nLen);
        case 'I':
        case 'i':
            return OnRxSioTxDataID(&h, pParam, nLen);
        case 'T':
            return OnRxSioTxDataEnd(&h, pParam, nLen);
        default:
            DebugPrint("[W] unknown tx data type (%02X)\n", static_cast<BYTE>(h.cType));
            return FALSE;
    }
}

BOOL LanSendQueuedFrame()
{
    COMMON_DATA_HEADER h;
    static_assert(LAN_VOICE_MAX < 2048, "the packet buffer lives on the thread's stack");
    BYTE abyPacket[LAN_VOICE_MAX];
    int n = GetDataFromTxQueue(&s_LanTxQueue, &h, abyPacket + LAN_HEADER_SIZE);
    if (n == 0) {
        return FALSE;
    }
    PutVoiceHeader(abyPacket, h, n);
    SendFrameToTargets(h, abyPacket, LAN_HEADER_SIZE + n);
    return TRUE;
}

DWORD TxLanThread(LPVOID)
{
    DebugPrint("start LAN tx thread\n");
    for (;;) {
        if (s_bStopReq.load()) {
            DebugPrint("end LAN tx thread\n");
            return 0;
        }
        TxQueue_Wait(&s_LanTxQueue, INFINITE);
        if (s_bStopReq.load()) {
            continue;
        }
        LanSendQueuedFrame();
    }
}

BOOL PostDataToTxQueue(TX_QUEUE* q, const COMMON_DATA_HEADER* pHeader, const BYTE* pData, int n)
{
    if (n < 0 || n > SIO_DATA_MAX) {
        return FALSE;
    }
    BYTE* pSlot = TxQueue_GetWritePtr(q);
    if (pSlot == nullptr) {
        return FALSE;
    }
    // Queue records stay in memory: the header is kept as it is.
    std::memcpy(pSlot, pHeader, sizeof(*pHeader));
    if (n > 0) {
        std::memcpy(pSlot + sizeof(*pHeader), pData, static_cast<size_t>(n));
    }
    TxQueue_WriteComplete(q, pSlot, static_cast<DWORD>(sizeof(*pHeader) + static_cast<size_t>(n)));
    return TRUE;
}

int GetDataFromTxQueue(TX_QUEUE* q, COMMON_DATA_HEADER* pHeader, BYTE* pData)
{
    DWORD dwLength = 0;
    BYTE* pSlot = TxQueue_GetReadPtr(q, &dwLength);
    if (pSlot == nullptr) {
        return 0;
    }
    int n = 0;
    if (dwLength >= sizeof(*pHeader)) {
        std::memcpy(pHeader, pSlot, sizeof(*pHeader));
        DWORD dwData = dwLength - static_cast<DWORD>(sizeof(*pHeader));
        n = static_cast<int>(dwData < static_cast<DWORD>(SIO_DATA_MAX) ? dwData : SIO_DATA_MAX);
        std::memcpy(pData, pSlot + sizeof(*pHeader), static_cast<size_t>(n));
    }
    TxQueue_ReadComplete(q, pSlot);
    return n;
}

BOOL SetTxQueueOwner(unsigned int id)
{
    EnterCriticalSection(&s_csTxQueue);
    BOOL bOk = TRUE;
    if (!s_bTxQueueOwner) {
        s_bTxQueueOwner = TRUE;
        s_ulTxQueueOwnerID = id;
    } else if (s_ulTxQueueOwnerID != id) {
        bOk = FALSE;
    }
    LeaveCriticalSection(&s_csTxQueue);
    return bOk;
}

BOOL GetTxQueueOwner(unsigned int* pId)
{
    EnterCriticalSection(&s_csTxQueue);
    BOOL bOwned = s_bTxQueueOwner;
    if (bOwned) {
        *pId = s_ulTxQueueOwnerID;
    }
    LeaveCriticalSection(&s_csTxQueue);
    return bOwned;
}

BOOL ReleaseTxQueueOwner(unsigned int id)
{
    EnterCriticalSection(&s_csTxQueue);
    BOOL bOk = s_bTxQueueOwner && s_ulTxQueueOwnerID == id ? TRUE : FALSE;
    if (bOk) {
        s_bTxQueueOwner = FALSE;
        s_ulTxQueueOwnerID = 0;
    }
    LeaveCriticalSection(&s_csTxQueue);
    return bOk;
}

void ClearSioTxQueue()
{
    TxQueue_Clear(&s_SioTxQueue);
    s_nSioTxDataLen = 0;
    s_wRxMsgID = 0;
    ReleaseAnyTxQueueOwner();
    s_bSioTxEmptyStarted = FALSE;
}

BOOL ReleaseSioTxData(DWORD now, DWORD* pdwWait)
{
    if (!TxQueue_IsEmpty(&s_SioTxQueue) || s_nSioTxDataLen != 0) {
        s_bSioTxEmptyStarted = FALSE;
    } else {
        ExpireEmptyOwner(now, pdwWait);
    }
    if (s_nSioTxDataLen == 0 && !TakeNextRecord()) {
        return FALSE;
    }
    if (!RecordDue(now, pdwWait)) {
        return FALSE;
    }
    ReleaseRecord();
    return TRUE;
}

void Server_FeedPeerPacketForTest(ULONG ulAdrs, const BYTE* pData, int nLen)
{
    OnRxLanPacket(ulAdrs, pData, nLen);
}
