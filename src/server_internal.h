// server_internal: what the unit core's files share. Each part keeps its own
// state static in its file and offers the operations declared here:
//  - server.cpp, the spine: life cycle, idle loop, the 100 ms tick, the
//    routing of events, and the state every part reads (unit state, settings
//    snapshot, events, queues, locks);
//  - server_sio.cpp, the radio link: the frame receiver, the radio's identity
//    and status, the keep-alive, silence and health timers;
//  - server_lan.cpp, the peer link: the target table and link states, the own
//    code table's bits, line occupancy, the LAN-to-radio queue's owner and
//    release, the radio transmission sent to the peers, the UDP clients;
//  - server_rec.cpp: recording and playback;
//  - server_led.cpp: the LED patterns and the communication flash;
//  - server_stranger.cpp: the tally of packets from addresses that are no
//    target's.
// No part writes another part's variables. Included only by server*.cpp
// (and by the tests that drive the parts directly).
//
// Locks and what they guard:
//  - s_csSerial: the radio link's state, every frame sent to the radio, the
//    peer status for the radio, the radio transmission buffer, the release
//    of the LAN-to-radio queue, the radio side of recording;
//  - s_csTarget: the peer link's target table, own code table, occupancy and
//    UDP clients, s_Config's targets and ports, the delayed save, the LEDs;
//  - s_csTxQueue (owner of the LAN-to-radio queue) and s_csRecFile (the
//    recording files), innermost.
// Every peer packet is sent with s_csTarget held, and the UDP clients are set
// and cleared under it, so no sender uses a freed client.
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

// ---- Shared state (defined in server.cpp) ------------------------------------

extern std::atomic<UNIT_STATE> s_eState;
extern CONFIG_PARAM s_Config;  // settings snapshot; targets and ports under s_csTarget
extern NET_PARAM s_NetParam;   // the unit's own address, under s_csTarget
extern MAC_ADDRESS s_MacAdrs;  // read once by Server_Init; survives restarts
extern std::atomic<BOOL> s_bStopReq;
extern std::atomic<BOOL> s_bPowerDown;
extern std::atomic<BOOL> s_bRestartReq;
extern HANDLE s_hEvCancel;
extern HANDLE s_hEvPlay;
extern TX_QUEUE s_LanTxQueue;  // radio frames for the peers (TxLanThread)
extern TX_QUEUE s_SioTxQueue;  // peer and playback frames for the radio (idle loop)
extern TX_QUEUE s_RecQueue;    // recording frames for RecThread

extern CRITICAL_SECTION s_csSerial;
extern CRITICAL_SECTION s_csTarget;
extern CRITICAL_SECTION s_csRecFile;
extern CRITICAL_SECTION s_csTxQueue;

// ---- server.cpp ----------------------------------------------------------------

// Wakes the idle loop (a frame queued for the radio, a restart request).
void WakeIdleLoop();
// Test seam: the queues and events Server_Init creates, without the other
// modules, so the parts can be driven directly after Server_Construct.
BOOL Server_CreateQueuesForTest();

// ---- server_sio.cpp: the radio link ------------------------------------------

// Resets the radio link: the receiver to its header state, its times and
// counters to 0, the radio's identity and status and the peer status cleared.
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
// The radio's identity from its version check (set once, before READY).
const VERS_INFO& SioRadioIdentity();
// Test seam: while set, every framed command goes to the hook instead of the
// serial port (TRUE: it went out). Null: the port.
typedef BOOL (*SIO_SEND_HOOK)(const BYTE* pFrame, int nLen);
void SioSetSendHookForTest(SIO_SEND_HOOK hook);

// ---- server_lan.cpp: the peer link -----------------------------------------

// Radio channel of a voice frame.
enum _TRX_CH : int {
    TRX_CH_A = 0,
    TRX_CH_B = 1,
};
typedef _TRX_CH TRX_CH;

// Resets the peer link: all 100 targets cleared (both DG-IDs 255), the own
// code table empty, the line free, the radio transmission buffer and number,
// the LAN-to-radio queue's owner and its release state. The UDP clients are kept.
void InitLanVariables();
// The UDP clients for control packets (pClient2) and voice (pClient); caller
// holds s_csTarget. LanTakeClients hands them back and forgets them.
void LanSetClients(LPVOID pClient, LPVOID pClient2);
void LanTakeClients(LPVOID* ppClient, LPVOID* ppClient2);
// The unit became READY: every target takes its address from s_Config (see
// AssignableTargetAddress) and starts connecting. Caller holds s_csTarget.
BOOL LanEnterReady();
// The address target i takes from s_Config: the configured address when the
// entry is enabled, not 0, held by no lower-indexed target and not the unit's
// own; else 0. Caller holds s_csTarget.
ULONG AssignableTargetAddress(int i);
// Target i's entry of s_Config changed: NONE, then CONNECTING with a fresh
// attempt when it takes an address. Caller holds s_csTarget.
void LanRebuildTarget(int i, DWORD now);
// Every target with an address starts a fresh attempt, its first request due
// at once. Always TRUE. Caller holds s_csTarget.
BOOL StartConnect();
// Every target that is not NONE goes to WAIT_DISCONNECT and stops being
// probed; caller holds s_csTarget.
void DisconnectTargets();
// Starts probing every active target, the first request due at once; FALSE
// while a search runs. Caller holds s_csTarget.
BOOL LanSearchReq(DWORD now);
// The connected targets' identities (zero for the others); FALSE while a
// search runs. Caller holds s_csTarget.
BOOL LanGetSearchResult(SEARCH_RESULT aResult[SERVER_TARGET_COUNT]);
// Target i's link state (0..99); caller holds s_csTarget.
CLIENT_STATUS LanTargetStatus(int i);
// Copies what the targets told about themselves into pConfig's entries with
// their addresses; TRUE when a call sign or radio ID changed. Caller holds s_csTarget.
BOOL LanCopyTargetInfo(CONFIG_PARAM* pConfig);
// The own code table: store one (TRUE when it differs from the one held) and
// read it. Caller holds s_csTarget.
BOOL LanSetCodeTable(const SQL_CODE_INFO& info);
void LanGetCodeTable(SQL_CODE_INFO* pInfo);
// The radio's call state (5-7) goes to the peer holding the line, if any,
// in a status notice with the next message number. Caller holds s_csTarget.
void LanNotifyOccupant(BYTE byStat);
// The tick's peer step: the line released after 1000 ms without a frame of
// its occupant, the strangers' counts that are due, supervision of every
// target, then the send turn of at most 5 control packets. Caller holds s_csTarget.
void LanOnTimer(DWORD now);
// The tick's radio-transmission step: 2000 ms without a frame ends the
// transmission being sent to the peers. Caller holds s_csSerial.
void LanTxReqOnTimer(DWORD now);
// One datagram from ulAdrs on the peer port; ignored unless the unit is READY.
// A datagram from an address that is no target's is only counted (StrangerNote).
void OnRxLanPacket(ULONG ulAdrs, const BYTE* pData, int nLen);
// The tally of datagrams from addresses that are no target's (server_stranger):
// a new source is told at once, then its count once per 10 s; the tick's step
// tells the counts whose period is over. Caller holds s_csTarget.
void StrangerNote(ULONG ulAdrs, DWORD now);
void StrangerReport(DWORD now);
void StrangerReset();
// 'G' (channel A) and 'g' (channel B) from the radio; caller holds s_csSerial.
BOOL OnRxSioTxData(const char* pParam, int nLen, TRX_CH eCh);
// Every connected target is due an acknowledgement carrying the own code
// table. Caller holds s_csTarget.
void AnnounceCodeTable();
// Radio-to-peer sender thread, and the fan-out of one queued radio frame to
// every connected target that admits it (FALSE: the queue was empty).
DWORD TxLanThread(LPVOID);
BOOL LanSendQueuedFrame();
// Test seam: while set, every peer packet goes to the hook instead of a UDP
// client (TRUE: it went out). Null: the clients.
typedef BOOL (*LAN_SEND_HOOK)(ULONG ulAdrs, const BYTE* pData, int nLen);
void LanSetSendHookForTest(LAN_SEND_HOOK hook);

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

// ---- server_rec.cpp: recording and playback ----------------------------------

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
// RecThread's step: one record from the recording queue into its file;
// FALSE when the queue was empty.
BOOL RecWriteNext();
// PlayThread's step: takes the pending play request and opens its file;
// FALSE when there is nothing to play.
BOOL PlayOpenRequested();
// Feeds the opened playback file to the LAN-to-radio queue; FALSE on a read error.
BOOL PlayDataLoop();
// Start-up check: a recording the index still names is set aside unless its
// file reads back whole.
void CheckRecFile();

// ---- server_led.cpp: the LEDs ------------------------------------------------

// Both LEDs off with no pattern, no flash due, the carrier grace restarted.
void InitLedCtrl();
// The tick's LED step from the unit state and the carrier (bLinkUp), which
// is not judged during the first 29 ticks after a start; caller holds s_csTarget.
void LedOnTimer(BOOL bLinkUp);
// The communication LED flashes once for the next 3 ticks (voice sent to a peer).
void LedFlashComm();
// While set, the communication LED shows the error pattern whatever the unit
// does: the unit started on factory settings because no settings file passed
// its check. Set at initialisation, cleared by the next committed update; a
// restart of the unit keeps it.
void LedSetSettingsAlarm(BOOL bOn);
