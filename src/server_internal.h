// server_internal: the state and the internal operations that the unit
// core's files share: server.cpp (life cycle, idle loop, timer tick, event
// routing), server_sio.cpp (the radio serial protocol), server_lan.cpp (the
// peer link), server_rec.cpp (recording and playback) and server_led.cpp
// (the LED patterns). Included only by server*.cpp.
//
// Locks and what they guard:
//  - s_csSerial: the radio receiver, every frame sent to the radio, the radio's
//    identity, code table and status, the peer status for the radio;
//  - s_csTarget: the target table, s_Config's targets and ports, the line
//    occupancy, the delayed save, the LED pattern state;
//  - s_csTxQueue (owner of the LAN-to-radio queue) and s_csRecFile (the
//    recording files), innermost.
// The two UDP clients are set and cleared under s_csTarget, and every peer
// packet is sent with s_csTarget held, so no sender uses a freed client.
// Order: s_csSerial before s_csTarget, never the reverse; the command lock
// (tried by the idle loop only) before s_csTarget.
//
// Events: s_hEvCancel and s_hEvPlay are manual-reset. Flags and values read
// by threads that hold none of the locks are std::atomic.
#pragma once

#include <atomic>

#include "config.h"
#include "mac.h"
#include "net.h"
#include "server.h"
#include "txqueue.h"
#include "winemu.h"

// ---- Sizes and timing --------------------------------------------------------

constexpr int SIO_DATA_MAX = 1434;  // largest voice-data parameter area, and received frame
constexpr DWORD TIMER_TICK_MS = 100;
constexpr DWORD LINK_DELAY_TICKS = 30;  // start-up grace of the carrier check
constexpr int LAN_TX_QUEUE_RECORDS = 64;
constexpr int SIO_TX_QUEUE_RECORDS = 1800;
constexpr int REC_QUEUE_RECORDS = 64;
constexpr BYTE DGID_NONE = 255;

// ---- Records -----------------------------------------------------------------

// A 128-bit code table (bit n mod 8 of byte n div 8 admits code n) with the
// local and default DG-ID.
struct tagSQL_CODE_INFO {
    BYTE abyCode[16];
    BYTE byLocDGID;
    BYTE byDefDGID;
};
typedef tagSQL_CODE_INFO SQL_CODE_INFO;

// The radio's identity from its version check.
struct tagVERS_INFO {
    char szName[17];
    char szDST[4];
    char szType[4];
    char szVersion[7];
    char szDate[9];
    char szRadioID[6];
    char szCallSign[11];
};
typedef tagVERS_INFO VERS_INFO;

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
};
typedef tagTARGET_WORK TARGET_WORK;

// The in-memory header that travels with every voice frame through the
// queues. Queue records are memory only: the header is stored as it is.
struct tagCOMMON_DATA_HEADER {
    char cType;
    DWORD dwCounter;
    DWORD dwFICH;
    DWORD dwRecCh;
    DWORD dwGroupID;
    DWORD dwTime;
    WORD wMsgID;
    ULONG ulAdrs;
    BYTE byCh;
};
typedef tagCOMMON_DATA_HEADER COMMON_DATA_HEADER;

// One queue record: the header and up to SIO_DATA_MAX data bytes.
constexpr DWORD SERVER_QUEUE_RECORD_SIZE = sizeof(COMMON_DATA_HEADER) + SIO_DATA_MAX;

// Receiver states of the radio line.
enum _SIO_RX_STATE : int {
    SIO_RX_STATE_HEAD = 0,   // waiting for SOH
    SIO_RX_STATE_DATA = 1,   // collecting up to EOT
    SIO_RX_STATE_SUM_H = 2,  // first checksum digit
    SIO_RX_STATE_SUM_L = 3,  // second checksum digit
};
typedef _SIO_RX_STATE SIO_RX_STATE;

// LED patterns and the two LEDs.
enum _LED_PAT : int {
    LED_PAT_OFF = 0,
    LED_PAT_ON = 1,
    LED_PAT_BLINK = 2,
    LED_PAT_ERROR = 3,
    LED_PAT_BLINK_1SHOT = 4,
};
typedef _LED_PAT LED_PAT;

enum _LED_INDEX : int {
    INDEX_LED_COMM = 0,
    INDEX_LED_ALARM = 1,
    INDEX_LED_MAX = 2,
};

// Pattern state of one LED.
struct tagLED_CTRL_TBL {
    LED_PAT pat;         // pattern requested for this tick
    int nCount;          // current step
    int nMaxCount;       // steps of the pattern
    int nInterval;       // ticks on the current step (every step lasts one tick)
    const BYTE* pbyPat;  // the step table shown; null while steady
};
typedef tagLED_CTRL_TBL LED_CTRL_TBL;

// ---- Shared state (defined in server.cpp) ------------------------------------

extern std::atomic<UNIT_STATE> s_eState;
extern CONFIG_PARAM s_Config;  // settings snapshot; targets and ports under s_csTarget
extern NET_PARAM s_NetParam;
extern MAC_ADDRESS s_MacAdrs;  // read once by Server_Init; survives restarts
extern std::atomic<BOOL> s_bStopReq;
extern std::atomic<BOOL> s_bPowerDown;
extern std::atomic<BOOL> s_bRestartReq;
extern HANDLE s_hEvCancel;
extern HANDLE s_hEvPlay;
extern LPVOID s_pUdpClient;
extern LPVOID s_pUdpClient2;
extern TX_QUEUE s_LanTxQueue;
extern TX_QUEUE s_SioTxQueue;
extern TX_QUEUE s_RecQueue;

extern TARGET_WORK s_aTargetWork[SERVER_TARGET_COUNT];
extern int s_nTargetIndex;
extern SQL_CODE_INFO s_SqlCodeInfo;
extern VERS_INFO s_VersInfo;
extern STATUS_NOTIFY_INFO s_StatusInfo;
extern LAN_STATUS_INFO s_LanStatus;
extern BOOL s_bLanStatusChanged;
extern WORD s_wStatusID;

extern LED_CTRL_TBL s_LedCtrlTbl[INDEX_LED_MAX];
extern std::atomic<DWORD> s_dwTmLedComm;  // reloaded by the LAN sender, counted down by the tick
extern DWORD s_dwTmLinkDelay;
extern BOOL s_bLinkUp;
extern BOOL s_bLinkUpPrev;

// Line occupancy by a peer (set by the peer link; released by the tick).
extern ULONG s_ulOccupyTargetAdrs;
extern DWORD s_dwLineBusyTime;
// The radio transmission being sent to the peers (set by the peer link).
extern BOOL s_bLanTxDataReq;
extern DWORD s_dwTmLanTxDataReq;

extern CRITICAL_SECTION s_csSerial;
extern CRITICAL_SECTION s_csTarget;
extern CRITICAL_SECTION s_csRecFile;
extern CRITICAL_SECTION s_csTxQueue;

// ---- server.cpp ----------------------------------------------------------------

// Clears all 100 target records; both DG-IDs of each become 255.
void InitTargetWork();
// The address target i takes from s_Config: the configured address when the
// entry is enabled, not 0, held by no lower-indexed target and not the unit's
// own; else 0. Caller holds s_csTarget.
ULONG AssignableTargetAddress(int i);
// Copies a target's identity and code table into every configuration entry
// with its address; TRUE when a call sign or radio ID changed.
BOOL UpdateTargetInfo_Sub(CONFIG_PARAM* pConfig, const TARGET_WORK* pTarget);
// Every target that is not NONE goes to WAIT_DISCONNECT and stops being
// probed; caller holds s_csTarget.
void DisconnectTargets();
// Wakes the idle loop (a frame queued for the radio, a restart request).
void WakeIdleLoop();
// Radio-to-peer sender thread (server_lan.cpp).
DWORD TxLanThread(LPVOID);

// ---- server_sio.cpp ----------------------------------------------------------

// Resets the radio protocol's state: the receiver to its header state, its
// times and counters to 0.
void InitSioVariables();
// Feeds received bytes to the receiver; caller holds s_csSerial.
void SioRx_Feed(const BYTE* pData, int nLen);
// Serial port 0's callback: reads what arrived and feeds it.
void SerialCallback(int nChannel, DWORD nEvent, LPVOID pParam);
// Frames and sends one command to the radio; caller holds s_csSerial.
BOOL TxSioCommand(BYTE byCmd, const BYTE* pParam, int nLength);
// The tick's radio steps (receive time-out, status notice, keep-alive,
// health check); caller holds s_csSerial.
void SioOnTimer(DWORD now);
// Test seam: the validated-frame observer.
void SioRx_SetObserver(SERVER_RADIO_FRAME_OBSERVER observer);
// FALSE, with "[W] invalid param length" printed, when a frame's parameter
// area is shorter than nMin.
BOOL CheckParamLength(int nLen, int nMin);

// ---- server_lan.cpp ----------------------------------------------------------

// Radio channel of a voice frame.
enum _TRX_CH : int {
    TRX_CH_A = 0,
    TRX_CH_B = 1,
};
typedef _TRX_CH TRX_CH;

// Resets the peer link's own state: the radio transmission buffer and
// number, the LAN-to-radio queue's owner and the release state.
void InitLanVariables();
// Every target with an address starts a fresh attempt, its first request due
// at once. Always TRUE. Caller holds s_csTarget.
BOOL StartConnect();
// The tick's peer step: supervision of every target, then the send turn of
// at most 5 control packets. Caller holds s_csTarget.
void LanOnTimer(DWORD now);
// One datagram from ulAdrs on the peer port; ignored unless the unit is READY.
void OnRxLanPacket(ULONG ulAdrs, const BYTE* pData, int nLen);
// Sends a status notice to a peer; caller holds s_csTarget.
BOOL SendStatusNotify(ULONG ulAdrs, WORD wMsgID, BYTE byStatus);
// 'G' (channel A) and 'g' (channel B) from the radio; caller holds s_csSerial.
BOOL OnRxSioTxData(const char* pParam, int nLen, TRX_CH eCh);
// Every connected target is due an acknowledgement carrying the own code
// table. Caller holds s_csTarget.
void AnnounceCodeTable();
// The voice area's head: type, group, counter and FICH.
constexpr int VOICE_HEAD_SIZE = 15;
// Decodes the type, counter and FICH of a voice area of at least
// VOICE_HEAD_SIZE characters; FALSE when they do not decode.
BOOL DecodeVoiceFields(const char* pParam, COMMON_DATA_HEADER* pHeader);
// DecodeVoiceFields that prints "[W] GetData() failed" when they do not decode.
BOOL DecodeVoiceHeader(const char* pParam, COMMON_DATA_HEADER* pHeader);
// Sets pHeader->dwGroupID from characters 1-2 of a voice area; FALSE (group
// 0, a warning printed) when they are neither blanks, "**" nor a number.
BOOL GetSioGroupID(const char* pParam, COMMON_DATA_HEADER* pHeader);

// Queue records: the header and n (at most SIO_DATA_MAX) data bytes. FALSE
// when the queue is full or n is out of range.
BOOL PostDataToTxQueue(TX_QUEUE* q, const COMMON_DATA_HEADER* pHeader, const BYTE* pData, int n);
// Takes the oldest record into *pHeader and pData (SIO_DATA_MAX bytes);
// its data length, 0 when the queue is empty or the record was too short.
int GetDataFromTxQueue(TX_QUEUE* q, COMMON_DATA_HEADER* pHeader, BYTE* pData);
// Ownership of the LAN-to-radio queue (a peer's address, 0 for playback),
// under s_csTxQueue: take it (TRUE when free or already id's), read it
// (TRUE when owned), give it back (TRUE when id owned it).
BOOL SetTxQueueOwner(unsigned int id);
BOOL GetTxQueueOwner(unsigned int* pId);
BOOL ReleaseTxQueueOwner(unsigned int id);
// Empties the LAN-to-radio queue, drops the record waiting for release and
// releases the owner, whoever it is. Caller holds s_csSerial.
void ClearSioTxQueue();
// The idle loop's release of one queued record to the radio. TRUE when a
// record went out (more may follow at once); otherwise *pdwWait is lowered
// to the time until a held-back record or the empty-queue release is due.
// Caller holds s_csSerial.
BOOL ReleaseSioTxData(DWORD now, DWORD* pdwWait);

// ---- server_rec.cpp ----------------------------------------------------------

// Resets the recording state (no file is open when it runs).
void InitRecVariables();
// 'R' from the radio: checks, traces and queues a recording frame for
// RecThread. Caller holds s_csSerial.
BOOL OnRxSioRecData(const char* pParam, int nLen);
// 'L' (channel A) and 'l' (channel B): answers a play request and hands an
// accepted one to PlayThread. Caller holds s_csSerial.
BOOL OnRxSioPlay(const char* pParam, int nLen, TRX_CH eCh);
// Ends a recording: no more frames accepted, its file closed, the index
// cleared, and the 'R' answer with cResult sent unless it is 0. Caller
// holds s_csSerial.
void StopDataRec(DWORD dwCh, char cResult);
// StopDataRec for the slot being recorded, when a recording owes an answer.
// Caller holds s_csSerial.
void StopRunningRec(char cResult);
// Ends a running playback: the request is dropped and the file closed.
void StopDataPlay();
// The tick's recording step: 2000 ms without an accepted frame ends the
// recording with '1'. Caller holds s_csSerial.
void RecOnTimer(DWORD now);
// Recording writer and playback feeder threads.
DWORD RecThread(LPVOID);
DWORD PlayThread(LPVOID);
// Feeds the opened playback file to the LAN-to-radio queue; FALSE on a read error.
BOOL PlayDataLoop();
// Start-up check: a recording the index still names is set aside unless its
// file reads back whole.
void CheckRecFile();

// ---- server_led.cpp ----------------------------------------------------------

// Both LEDs off with no pattern.
void InitLedCtrl();
// The tick's LED step; caller holds s_csTarget.
void LedOnTimer();
