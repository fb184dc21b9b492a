// server_sio: the radio serial protocol of the unit core. It owns the frame
// receiver (a resumable state machine fed with whatever a read returned), the
// validation and dispatch of complete frames (voice data 'G'/'g' goes to the
// peer link, recording frames 'R' and play requests 'L'/'l' to recording and
// playback), the handlers of the radio's version check ('V'), code table
// ('I') and status reports ('C', 'P'), the framing of every command sent to
// the radio (TxSioCommand), the status parameter, and the tick's radio steps:
// the receive time-out, the status notice, the keep-alive and the health check.
//
// Frame (both directions): SOH, command letter, the parameter length n as
// four hex digits, n parameter characters, EOT, then the 8-bit sum of SOH
// through EOT as two hex digits.
//
// Threads: SerialCallback runs on the radio port's receive thread; SioOnTimer
// on the timer thread; SetLanStatus on the peer-link threads. Locks: every
// function here runs with s_csSerial held (SerialCallback and SetLanStatus
// take it); the code-table and status handlers and the health check take
// s_csTarget inside it, and the recording handlers s_csRecFile.
#include <atomic>
#include <cstddef>
#include <cstring>

#include "dataconv.h"
#include "debug.h"
#include "helpers.h"
#include "serial.h"
#include "server_internal.h"
#include "sub.h"
#include "util.h"

namespace {

// ---- Frame layout ------------------------------------------------------------

constexpr BYTE SIO_SOH = 0x01;
constexpr BYTE SIO_EOT = 0x04;
constexpr int SIO_CMD_OFFSET = 1;
constexpr int SIO_LEN_OFFSET = 2;
constexpr int SIO_LEN_DIGITS = 4;
constexpr int SIO_PARAM_OFFSET = 6;
constexpr int SIO_SUM_DIGITS = 2;
constexpr int SIO_FRAME_OVERHEAD = SIO_PARAM_OFFSET + 1 + SIO_SUM_DIGITS;  // head, EOT, sum
constexpr int SIO_RX_BEFORE_EOT_MAX = 1431;                                // bytes collected before EOT at most
constexpr int SIO_TX_PARAM_MAX = 1434;
constexpr int SIO_SHORTEST_CHECKED = 4;  // L - 4 must exceed this: head and length field present
static_assert(SIO_RX_BEFORE_EOT_MAX + 1 + SIO_SUM_DIGITS == SIO_DATA_MAX, "a received frame fills the buffer");
static_assert(SIO_PARAM_OFFSET == SIO_LEN_OFFSET + SIO_LEN_DIGITS, "the parameters follow the length field");

constexpr int SIO_PORT = 0;               // serial channel of the radio
constexpr int SIO_RX_HEAD_TICKS = 3;      // ticks of silence that abandon a frame
constexpr DWORD SIO_LINE_BUSY_TICKS = 3;  // ticks after a sent frame without a status notice
constexpr DWORD SIO_KEEPALIVE_MS = 1000;
constexpr DWORD SIO_HEALTH_TIMEOUT_MS = 10000;
constexpr BYTE POWER_DOWN_STATUS = 4;

// ---- Parameter areas ---------------------------------------------------------

// The radio's last status report.
struct tagSTATUS_NOTIFY_INFO {
    BYTE byStat;
    BYTE byLTRXA;
    BYTE byLTRXB;
    BYTE byRTRXA;
    BYTE byRTRXB;
    BYTE bySTRM;
    BYTE byBuffer;
};
typedef tagSTATUS_NOTIFY_INFO STATUS_NOTIFY_INFO;

// The last status notice a peer sent, to be passed on to the radio.
struct tagLAN_STATUS_INFO {
    ULONG ulAdrs;
    WORD wMsgID;
    BYTE byStatus;
};
typedef tagLAN_STATUS_INFO LAN_STATUS_INFO;

// Receiver states of the radio line.
enum _SIO_RX_STATE : int {
    SIO_RX_STATE_HEAD = 0,   // waiting for SOH
    SIO_RX_STATE_DATA = 1,   // collecting up to EOT
    SIO_RX_STATE_SUM_H = 2,  // first checksum digit
    SIO_RX_STATE_SUM_L = 3,  // second checksum digit
};
typedef _SIO_RX_STATE SIO_RX_STATE;

constexpr int VERS_CHECK_PARAM_SIZE = 58;
constexpr int SQL_CODE_PARAM_SIZE = 32;
constexpr int SQL_CODE_DGID_PARAM_SIZE = 36;
constexpr int STATUS_PARAM_SIZE = 14;

// The unit's own version answer.
struct tagVERS_RES {
    char szName[17];
    char szDST[4];
    char szType[4];
    char szVersion[7];
    char szDate[9];
};
typedef tagVERS_RES VERS_RES;

#define VERS_FIELD(f) static_cast<int>(offsetof(VERS_INFO, f))
const GET_DATA_PARAM SIO_VERS_CHECK_CMD_PARAM[] = {
    {0, 16, "SIO_VERS_CHECK_CMD_PARAM:cName", TYPE_TRIM_SZ, VERS_FIELD(szName)},
    {16, 3, "SIO_VERS_CHECK_CMD_PARAM:cDST", TYPE_TRIM_SZ, VERS_FIELD(szDST)},
    {19, 3, "SIO_VERS_CHECK_CMD_PARAM:cType", TYPE_TRIM_SZ, VERS_FIELD(szType)},
    {22, 6, "SIO_VERS_CHECK_CMD_PARAM:cVersion", TYPE_TRIM_SZ, VERS_FIELD(szVersion)},
    {28, 8, "SIO_VERS_CHECK_CMD_PARAM:cDate", TYPE_TRIM_SZ, VERS_FIELD(szDate)},
    {37, 5, "SIO_VERS_CHECK_CMD_PARAM:cRadioID", TYPE_TRIM_SZ, VERS_FIELD(szRadioID)},
    {48, 10, "SIO_VERS_CHECK_CMD_PARAM:cCallSign", TYPE_TRIM_SZ, VERS_FIELD(szCallSign)},
};
#undef VERS_FIELD

#define VERS_RES_FIELD(f) static_cast<int>(offsetof(VERS_RES, f))
const GET_DATA_PARAM SIO_VERS_CHECK_RES_PARAM[] = {
    {0, 16, "SIO_VERS_CHECK_RES_PARAM:cName", TYPE_TRIM_SZ, VERS_RES_FIELD(szName)},
    {16, 3, "SIO_VERS_CHECK_RES_PARAM:cDST", TYPE_TRIM_SZ, VERS_RES_FIELD(szDST)},
    {19, 3, "SIO_VERS_CHECK_RES_PARAM:cType", TYPE_TRIM_SZ, VERS_RES_FIELD(szType)},
    {22, 6, "SIO_VERS_CHECK_RES_PARAM:cVersion", TYPE_TRIM_SZ, VERS_RES_FIELD(szVersion)},
    {28, 8, "SIO_VERS_CHECK_RES_PARAM:cDate", TYPE_TRIM_SZ, VERS_RES_FIELD(szDate)},
};
#undef VERS_RES_FIELD

#define SQL_FIELD(f) static_cast<int>(offsetof(SQL_CODE_INFO, f))
const GET_DATA_ARRAY_PARAM SIO_SQL_CODE_CMD_PARAM_CODE = {
    0, 2, "SIO_SQL_CODE_CMD_PARAM:acCode", TYPE_HEX_BT, SQL_FIELD(abyCode), 16, 1,
};
const GET_DATA_PARAM SIO_SQL_CODE_CMD_PARAM_DGID[] = {
    {32, 2, "SIO_SQL_CODE_CMD_PARAM:cLocDGID", TYPE_HEX_BT, SQL_FIELD(byLocDGID)},
    {34, 2, "SIO_SQL_CODE_CMD_PARAM:cDefDGID", TYPE_HEX_BT, SQL_FIELD(byDefDGID)},
};
#undef SQL_FIELD

#define STATUS_FIELD(f) static_cast<int>(offsetof(STATUS_NOTIFY_INFO, f))
const GET_DATA_PARAM SIO_STATUS_NOTIFY_PARAM[] = {
    {0, 1, "SIO_STATUS_NOTIFY_PARAM:cStat", TYPE_DEC_BT, STATUS_FIELD(byStat)},
    {3, 1, "SIO_STATUS_NOTIFY_PARAM:cLTRXA", TYPE_HEX_BT, STATUS_FIELD(byLTRXA)},
    {4, 1, "SIO_STATUS_NOTIFY_PARAM:cLTRXB", TYPE_HEX_BT, STATUS_FIELD(byLTRXB)},
    {5, 1, "SIO_STATUS_NOTIFY_PARAM:cRTRXA", TYPE_HEX_BT, STATUS_FIELD(byRTRXA)},
    {6, 1, "SIO_STATUS_NOTIFY_PARAM:cRTRXB", TYPE_HEX_BT, STATUS_FIELD(byRTRXB)},
    {12, 1, "SIO_STATUS_NOTIFY_PARAM:cSTRM", TYPE_DEC_BT, STATUS_FIELD(bySTRM)},
    {13, 1, "SIO_STATUS_NOTIFY_PARAM:cBuffer", TYPE_DEC_BT, STATUS_FIELD(byBuffer)},
};
#undef STATUS_FIELD

template <typename T, int N>
constexpr int Rows(const T (&)[N])
{
    return N;
}

// ---- Receiver state ----------------------------------------------------------

SIO_RX_STATE s_eSioRxState = SIO_RX_STATE_HEAD;
BYTE s_abySioRxData[SIO_DATA_MAX];
int s_nSioRxDataIndex = 0;
BYTE s_bySioRxSum = 0;
int s_nSioRxDataLen = 0;
int s_nSioRxHeadTimer = 0;
DWORD s_dwSioRxCmdTime = 0;  // tick of the last accepted frame
DWORD s_dwSioIdleTime = 0;   // tick of the last frame sent
DWORD s_dwTmSioLineBusy = 0;
std::atomic<SERVER_RADIO_FRAME_OBSERVER> s_pfnObserver{nullptr};
std::atomic<SIO_SEND_HOOK> s_pfnSendHook{nullptr};

// ---- The radio and the peer status for it (under s_csSerial) ----------------

VERS_INFO s_VersInfo;
STATUS_NOTIFY_INFO s_StatusInfo;
LAN_STATUS_INFO s_LanStatus;
BOOL s_bLanStatusChanged = FALSE;

// Writes one whole frame to the radio port.
BOOL SendToPort(const BYTE* pFrame, int nFrame)
{
    if (!Serial_IsOpened(SIO_PORT)) {
        DebugLog(LOG_CAT_WARNING, "[W] serial port is not opened\n");
        DebugLog(LOG_CAT_WARNING, "[W] TxSerail() faild\n");
        return FALSE;
    }
    // Only whole frames go out: a frame cut short would garble the next one.
    // Every sender holds s_csSerial, so the room can only grow meanwhile.
    if (Serial_GetOutRemainSize(SIO_PORT) < nFrame || Serial_Send(SIO_PORT, pFrame, nFrame) <= 0) {
        DebugLog(LOG_CAT_WARNING, "[W] serial port send error\n");
        DebugLog(LOG_CAT_WARNING, "[W] TxSerail() faild\n");
        return FALSE;
    }
    return TRUE;
}

void Abandon()
{
    s_eSioRxState = SIO_RX_STATE_HEAD;
    s_nSioRxDataIndex = 0;
}

// ---- Sending -----------------------------------------------------------------

// The 14-character status parameter; a pending peer status is consumed and
// reported when it is one the radio knows (1, 5, 6, 7), else '0'.
void MakeSioStatusRes(BYTE (&abyParam)[STATUS_PARAM_SIZE])
{
    std::memset(abyParam, ' ', sizeof(abyParam));
    char cStat = '0';
    if (s_bLanStatusChanged) {
        s_bLanStatusChanged = FALSE;
        BYTE by = s_LanStatus.byStatus;
        if (by == 1 || by == 5 || by == 6 || by == 7) {
            cStat = static_cast<char>('0' + by);
        }
    }
    abyParam[0] = static_cast<BYTE>(cStat);
}

BOOL TxSioStatusNotify()
{
    BYTE abyParam[STATUS_PARAM_SIZE];
    MakeSioStatusRes(abyParam);
    DebugLog(LOG_CAT_RADIO, "Tx: status: %c\n", abyParam[0]);
    if (!TxSioCommand('P', abyParam, STATUS_PARAM_SIZE)) {
        DebugLog(LOG_CAT_WARNING, "[W] TxSioCommand(%c) failed\n", 'P');
        return FALSE;
    }
    return TRUE;
}

// ---- Handlers ----------------------------------------------------------------

void SendVersionAnswer()
{
    VERS_RES res = {};
    _strlcpy(res.szName, "KOVA-LAN", sizeof(res.szName));
    _strlcpy(res.szDST, "ALL", sizeof(res.szDST));
    _strlcpy(res.szType, "ALL", sizeof(res.szType));
    _sprintf(res.szVersion, "%d.%d.%d", 1, 4, 4);
    _strlcpy(res.szDate, "20210413", sizeof(res.szDate));
    char acParam[VERS_CHECK_PARAM_SIZE];
    std::memset(acParam, ' ', sizeof(acParam));
    SetData(acParam, SIO_VERS_CHECK_RES_PARAM, Rows(SIO_VERS_CHECK_RES_PARAM), &res);
    DebugLog(LOG_CAT_RADIO, "Tx: VersCheck: name=%s DST=%s type=%s vers=%s date=%s\n", res.szName, res.szDST,
             res.szType, res.szVersion, res.szDate);
    if (!TxSioCommand('V', reinterpret_cast<const BYTE*>(acParam), VERS_CHECK_PARAM_SIZE)) {
        DebugLog(LOG_CAT_WARNING, "[W] TxSioCommand(%c) failed\n", 'V');
    }
}

// 'V': the radio identifies itself. Answered only in NONE; any later one
// means the radio started again, and so does the unit.
void OnRxSioVersCheck(const char* pParam, int nLen)
{
    if (!CheckParamLength(nLen, VERS_CHECK_PARAM_SIZE)) {
        return;
    }
    VERS_INFO info = {};
    if (!GetData(pParam, SIO_VERS_CHECK_CMD_PARAM, Rows(SIO_VERS_CHECK_CMD_PARAM), &info)) {
        DebugPrint("[W] GetData() failed\n");
        return;
    }
    DebugLog(LOG_CAT_RADIO, "Rx: VersCheck: name=%s vers=%s radioid=%s callsign=%s\n", info.szName, info.szVersion,
             info.szRadioID, info.szCallSign);
    if (s_eState.load() == UNIT_STATE_NONE) {
        s_VersInfo = info;
        s_eState.store(UNIT_STATE_INIT);
        SendVersionAnswer();
    } else {
        s_bRestartReq.store(TRUE);
        WakeIdleLoop();
    }
}

// INIT -> READY: the radio is known; the targets take their addresses and the
// links start. Caller holds s_csSerial and s_csTarget.
void EnterReady(DWORD now)
{
    s_dwSioRxCmdTime = now;
    s_dwSioIdleTime = now;
    s_eState.store(UNIT_STATE_READY);
    DebugLog(LOG_CAT_INFO, "[I] state ready\n");
    NET_GetAddress(&s_NetParam);
    if (!LanEnterReady()) {
        DebugLog(LOG_CAT_WARNING, "[W] StartConnect() failed\n");
    }
}

// Stores a new code table and drives the state it arrives in.
void ApplyCodeTable(const SQL_CODE_INFO& info)
{
    EnterCriticalSection(&s_csTarget);
    bool changed = LanSetCodeTable(info) != FALSE;
    UNIT_STATE state = s_eState.load();
    if (state == UNIT_STATE_INIT) {
        EnterReady(GetTickCount());
    } else if (state == UNIT_STATE_READY && changed) {
        // The connected peers learn the new table from a fresh acknowledgement.
        AnnounceCodeTable();
    }
    LeaveCriticalSection(&s_csTarget);
}

// 'I': the radio's code table, with the DG-IDs when 36 characters came.
void OnRxSioSqlCode(const char* pParam, int nLen)
{
    if (!CheckParamLength(nLen, SQL_CODE_PARAM_SIZE)) {
        return;
    }
    SQL_CODE_INFO info = {};
    if (!GetDataArray(pParam, &SIO_SQL_CODE_CMD_PARAM_CODE, &info)) {
        DebugPrint("[W] GetDataArray() failed\n");
        return;
    }
    info.byLocDGID = DGID_NONE;
    info.byDefDGID = DGID_NONE;
    char szTable[SQL_CODE_PARAM_SIZE + 1];
    std::memcpy(szTable, pParam, SQL_CODE_PARAM_SIZE);
    szTable[SQL_CODE_PARAM_SIZE] = '\0';
    if (nLen < SQL_CODE_DGID_PARAM_SIZE) {
        DebugLog(LOG_CAT_RADIO, "RxSqlCode: tbl=%s\n", szTable);
    } else {
        if (!GetData(pParam, SIO_SQL_CODE_CMD_PARAM_DGID, Rows(SIO_SQL_CODE_CMD_PARAM_DGID), &info)) {
            DebugPrint("[W] GetData() failed\n");
            return;
        }
        DebugLog(LOG_CAT_RADIO, "RxSqlCode: tbl=%s locRPT=%d def=%d\n", szTable, info.byLocDGID, info.byDefDGID);
    }
    ApplyCodeTable(info);
    DebugLog(LOG_CAT_RADIO, "Tx: SqlCode: res=%c\n", '0');
    const BYTE abyRes[1] = {'0'};
    if (!TxSioCommand('I', abyRes, sizeof(abyRes))) {
        DebugLog(LOG_CAT_WARNING, "[W] TxSioResStatus(%c) failed\n", 'I');
    }
}

bool SameStatus(const STATUS_NOTIFY_INFO& a, const STATUS_NOTIFY_INFO& b)
{
    return a.byStat == b.byStat && a.byLTRXA == b.byLTRXA && a.byLTRXB == b.byLTRXB && a.byRTRXA == b.byRTRXA &&
           a.byRTRXB == b.byRTRXB && a.bySTRM == b.bySTRM && a.byBuffer == b.byBuffer;
}

// What a changed status report sets off.
void OnStatusChanged(const STATUS_NOTIFY_INFO& old, const STATUS_NOTIFY_INFO& now)
{
    if (old.byLTRXA == 3 && now.byLTRXA < 2) {
        DebugPrint("[I] rx no signal %c\n", 'A');
        ClearSioTxQueue();
        TxQueue_Clear(&s_LanTxQueue);
    }
    if (old.byLTRXB == 3 && now.byLTRXB < 2) {
        DebugPrint("[I] rx no signal %c\n", 'B');
        StopRunningRec('1');
    }
    if (old.byRTRXA == 4 && now.byRTRXA != 4) {
        DebugPrint("[I] tx no signal %c\n", 'A');
        StopDataPlay();
        ClearSioTxQueue();
    }
    if (old.byRTRXB == 4 && now.byRTRXB != 4) {
        DebugPrint("[I] tx no signal %c\n", 'B');
        StopDataPlay();
        ClearSioTxQueue();
    }
    if (now.byStat == POWER_DOWN_STATUS && !s_bPowerDown.load()) {
        s_bPowerDown.store(TRUE);
        DebugPrint("[I] Power down\n");
        StopDataRec(0, 0);
        CloseLogFile();
    }
    if (now.byStat >= 5 && now.byStat <= 7) {
        EnterCriticalSection(&s_csTarget);
        LanNotifyOccupant(now.byStat);
        LeaveCriticalSection(&s_csTarget);
    }
}

// 'C' (bForce FALSE) and 'P' (bForce TRUE): the radio's status report.
BOOL OnRxSioStatusNotify(const char* pParam, int nLen, BOOL bForce)
{
    if (!CheckParamLength(nLen, STATUS_PARAM_SIZE)) {
        return FALSE;
    }
    STATUS_NOTIFY_INFO info = {};
    if (!GetData(pParam, SIO_STATUS_NOTIFY_PARAM, Rows(SIO_STATUS_NOTIFY_PARAM), &info)) {
        DebugPrint("[W] GetData() failed\n");
        return FALSE;
    }
    STATUS_NOTIFY_INFO old = s_StatusInfo;
    s_StatusInfo = info;
    bool changed = !SameStatus(old, info);
    if (changed || bForce) {
        DebugLog(LOG_CAT_RADIO, "Rx: Status: stat=%c LTRX=%c,%c RTRX=%c.%c STRM=%c buff=%c\n", pParam[0], pParam[3],
                 pParam[4], pParam[5], pParam[6], pParam[12], pParam[13]);
    }
    if (changed) {
        OnStatusChanged(old, info);
    }
    return TRUE;
}

void Dispatch(BYTE byCmd, const char* pParam, int nLen)
{
    switch (byCmd) {
        case 'C':
            OnRxSioStatusNotify(pParam, nLen, FALSE);
            break;
        case 'P':
            OnRxSioStatusNotify(pParam, nLen, TRUE);
            break;
        case 'V':
            OnRxSioVersCheck(pParam, nLen);
            break;
        case 'I':
            OnRxSioSqlCode(pParam, nLen);
            break;
        case 'G':
            OnRxSioTxData(pParam, nLen, TRX_CH_A);
            break;
        case 'g':
            OnRxSioTxData(pParam, nLen, TRX_CH_B);
            break;
        case 'R':
            OnRxSioRecData(pParam, nLen);
            break;
        case 'L':
            OnRxSioPlay(pParam, nLen, TRX_CH_A);
            break;
        case 'l':
            OnRxSioPlay(pParam, nLen, TRX_CH_B);
            break;
        default:
            DebugPrint("[W] unknown rx cmd (%02X)\n", byCmd);
            break;
    }
}

// Validates a complete frame of nLen bytes in the receive buffer and hands
// it on. Only a frame that passes the checks counts as a sign of life.
void OnFrame(int nLen)
{
    const BYTE* f = s_abySioRxData;
    const char* pSum = reinterpret_cast<const char*>(f + nLen - SIO_SUM_DIGITS);
    BYTE bySum = 0;
    if (!ascii2tobin(pSum, &bySum)) {
        DebugPrint("[W] rx sum error %c%c\n", pSum[0], pSum[1]);
        return;
    }
    if (bySum != s_bySioRxSum) {
        DebugPrint("[W] rx sum error (%02X != %02X)\n", bySum, s_bySioRxSum);
        return;
    }
    if (nLen - 4 <= SIO_SHORTEST_CHECKED) {
        DebugPrint("[W] invalid cmd length %d\n", nLen - 4);
        return;
    }
    const char* pLen = reinterpret_cast<const char*>(f + SIO_LEN_OFFSET);
    DWORD dwParamLen = 0;
    if (!hexstr2dword(pLen, SIO_LEN_DIGITS, &dwParamLen)) {
        DebugPrint("[W] invalid cmd length %c%c%c%c\n", pLen[0], pLen[1], pLen[2], pLen[3]);
        return;
    }
    // The parameter bytes present are nLen - 9: a larger length field is refused.
    int nParamLen = static_cast<int>(dwParamLen);
    if (nParamLen >= nLen - 8) {
        DebugPrint("[W] invalid rx data length %d %d\n", nParamLen, nLen - 4);
        return;
    }
    BYTE byCmd = f[SIO_CMD_OFFSET];
    SERVER_RADIO_FRAME_OBSERVER observer = s_pfnObserver.load();
    if (observer != nullptr) {
        observer(byCmd, f + SIO_PARAM_OFFSET, nParamLen);
    }
    Dispatch(byCmd, reinterpret_cast<const char*>(f + SIO_PARAM_OFFSET), nParamLen);
    s_dwSioRxCmdTime = GetTickCount();
}

// One received byte.
void RxByte(BYTE c)
{
    s_nSioRxHeadTimer = SIO_RX_HEAD_TICKS;
    if (c == SIO_SOH) {
        s_abySioRxData[0] = SIO_SOH;
        s_bySioRxSum = SIO_SOH;
        s_nSioRxDataIndex = 1;
        s_eSioRxState = SIO_RX_STATE_DATA;
        return;
    }
    if (c == SIO_EOT) {
        if (s_eSioRxState != SIO_RX_STATE_DATA) {
            Abandon();
            return;
        }
        s_abySioRxData[s_nSioRxDataIndex++] = c;
        s_bySioRxSum = static_cast<BYTE>(s_bySioRxSum + c);
        s_eSioRxState = SIO_RX_STATE_SUM_H;
        return;
    }
    switch (s_eSioRxState) {
        case SIO_RX_STATE_DATA:
            s_abySioRxData[s_nSioRxDataIndex++] = c;
            s_bySioRxSum = static_cast<BYTE>(s_bySioRxSum + c);
            if (s_nSioRxDataIndex > SIO_RX_BEFORE_EOT_MAX) {
                Abandon();
            }
            break;
        case SIO_RX_STATE_SUM_H:
            s_abySioRxData[s_nSioRxDataIndex++] = c;
            s_eSioRxState = SIO_RX_STATE_SUM_L;
            break;
        case SIO_RX_STATE_SUM_L:
            s_abySioRxData[s_nSioRxDataIndex] = c;
            s_nSioRxDataLen = s_nSioRxDataIndex + 1;
            Abandon();
            s_nSioRxHeadTimer = 0;
            OnFrame(s_nSioRxDataLen);
            break;
        case SIO_RX_STATE_HEAD:
            break;
    }
}

}  // namespace

BOOL CheckParamLength(int nLen, int nMin)
{
    if (nLen < nMin) {
        DebugPrint("[W] invalid param length\n");
        return FALSE;
    }
    return TRUE;
}

// ---- Operations --------------------------------------------------------------

void InitSioVariables()
{
    Abandon();
    s_bySioRxSum = 0;
    s_nSioRxDataLen = 0;
    s_nSioRxHeadTimer = 0;
    s_dwSioRxCmdTime = 0;
    s_dwSioIdleTime = 0;
    s_dwTmSioLineBusy = 0;
    s_VersInfo = VERS_INFO{};
    s_StatusInfo = STATUS_NOTIFY_INFO{};
    s_LanStatus = LAN_STATUS_INFO{};
    s_bLanStatusChanged = FALSE;
}

const VERS_INFO& SioRadioIdentity()
{
    return s_VersInfo;
}

void SioSetSendHookForTest(SIO_SEND_HOOK hook)
{
    s_pfnSendHook.store(hook);
}

void SioRx_Feed(const BYTE* pData, int nLen)
{
    for (int i = 0; i < nLen; ++i) {
        RxByte(pData[i]);
    }
}

void SioRx_SetObserver(SERVER_RADIO_FRAME_OBSERVER observer)
{
    s_pfnObserver.store(observer);
}

void SerialCallback(int nChannel, DWORD nEvent, LPVOID)
{
    // A failed device is left to the next start: the radio line has no reopen.
    if (nEvent != SERIAL_EVENT_RECEIVE) {
        return;
    }
    BYTE abyBuf[SIO_DATA_MAX];
    // Everything that is there, so no bytes wait for the next arrival.
    for (;;) {
        int n = Serial_Receive(nChannel, abyBuf, sizeof(abyBuf));
        if (n <= 0) {
            return;
        }
        EnterCriticalSection(&s_csSerial);
        SioRx_Feed(abyBuf, n);
        LeaveCriticalSection(&s_csSerial);
    }
}

BOOL TxSioCommand(BYTE byCmd, const BYTE* pParam, int nLength)
{
    if (nLength < 0 || nLength > SIO_TX_PARAM_MAX) {
        DebugLog(LOG_CAT_WARNING, "[W] invalid tx length %d\n", nLength);
        return FALSE;
    }
    BYTE abyFrame[SIO_TX_PARAM_MAX + SIO_FRAME_OVERHEAD];
    abyFrame[0] = SIO_SOH;
    abyFrame[SIO_CMD_OFFSET] = byCmd;
    char* pLen = reinterpret_cast<char*>(abyFrame + SIO_LEN_OFFSET);
    bin2ascii2(static_cast<BYTE>(nLength >> 8), pLen);
    bin2ascii2(static_cast<BYTE>(nLength), pLen + 2);
    if (nLength > 0) {
        std::memcpy(abyFrame + SIO_PARAM_OFFSET, pParam, static_cast<size_t>(nLength));
    }
    int nEot = SIO_PARAM_OFFSET + nLength;
    abyFrame[nEot] = SIO_EOT;
    bin2ascii2(CalcCheckSum(abyFrame, nEot + 1), reinterpret_cast<char*>(abyFrame + nEot + 1));
    int nFrame = nLength + SIO_FRAME_OVERHEAD;

    SIO_SEND_HOOK hook = s_pfnSendHook.load(std::memory_order_relaxed);
    if (hook != nullptr ? !hook(abyFrame, nFrame) : !SendToPort(abyFrame, nFrame)) {
        return FALSE;
    }
    s_dwSioIdleTime = GetTickCount();
    s_dwTmSioLineBusy = SIO_LINE_BUSY_TICKS;
    return TRUE;
}

void SioOnTimer(DWORD now)
{
    if (s_nSioRxHeadTimer != 0 && --s_nSioRxHeadTimer == 0) {
        Abandon();
    }
    if (s_dwTmSioLineBusy != 0) {
        --s_dwTmSioLineBusy;
    }
    bool ready = s_eState.load() == UNIT_STATE_READY;
    if (s_dwTmSioLineBusy == 0 && ready && s_bLanStatusChanged) {
        TxSioStatusNotify();
        s_bLanStatusChanged = FALSE;
    }
    if (!ready) {
        return;
    }
    if (now - s_dwSioIdleTime >= SIO_KEEPALIVE_MS) {
        s_dwSioIdleTime = now;
        if (s_bLanStatusChanged) {
            TxSioStatusNotify();
            s_bLanStatusChanged = FALSE;
        } else {
            BYTE abyParam[STATUS_PARAM_SIZE];
            MakeSioStatusRes(abyParam);
            if (!TxSioCommand('C', abyParam, STATUS_PARAM_SIZE)) {
                DebugLog(LOG_CAT_WARNING, "[W] TxSioCommand(%c) failed\n", 'C');
            }
        }
    }
    if (now - s_dwSioRxCmdTime >= SIO_HEALTH_TIMEOUT_MS) {
        DebugLog(LOG_CAT_WARNING, "[W] health check timeout\n");
        s_eState.store(UNIT_STATE_ERROR);
        EnterCriticalSection(&s_csTarget);
        DisconnectTargets();
        LeaveCriticalSection(&s_csTarget);
    }
}

void SetLanStatus(ULONG ulAdrs, WORD wMsgID, BYTE byStatus)
{
    EnterCriticalSection(&s_csSerial);
    if (s_LanStatus.ulAdrs != ulAdrs || s_LanStatus.wMsgID != wMsgID || s_LanStatus.byStatus != byStatus) {
        s_LanStatus.ulAdrs = ulAdrs;
        s_LanStatus.wMsgID = wMsgID;
        s_LanStatus.byStatus = byStatus;
        s_bLanStatusChanged = TRUE;
    }
    LeaveCriticalSection(&s_csSerial);
}

void Server_FeedRadioForTest(const BYTE* pData, int nLen)
{
    EnterCriticalSection(&s_csSerial);
    SioRx_Feed(pData, nLen);
    LeaveCriticalSection(&s_csSerial);
}

void Server_SetRadioFrameObserverForTest(SERVER_RADIO_FRAME_OBSERVER observer)
{
    SioRx_SetObserver(observer);
}
