// server: the unit core. It constructs, initialises, starts and stops every
// other module in a fixed order, runs the idle loop that applies committed
// settings and releases voice frames to the radio, keeps the unit state and
// the table of the 100 peer units (targets), and ticks every 100 ms for peer
// supervision, the LEDs, DHCP and the radio's health. The radio serial
// protocol, the peer link, recording and playback and the LED patterns are
// parts of this module in their own server_*.cpp files, which share
// server_internal.h.
//
// Threads: main (idle loop), TimerThread, TxLanThread, RecThread, PlayThread,
// plus the callers of the event routes (serial receive thread, USB receive
// thread, command server threads). Locks: s_csSerial before s_csTarget;
// s_csTxQueue and s_csRecFile innermost; the command lock (cmd) is taken by
// the idle loop only by trying, before s_csTarget.
#pragma once

#include "mac.h"
#include "winemu.h"

// Link state of one peer unit.
enum _CLIENT_STATUS : int {
    NONE = 0,
    CONNECTING = 1,
    CONNECTED = 2,
    DISCONNECTING = 3,
    WAIT_DISCONNECT = 4,
    WAIT_LIST = 5,
};
typedef _CLIENT_STATUS CLIENT_STATUS;

// The unit's own radio, as the setting tool's "myrep" shows it.
struct tagMY_REPEATER_INFO {
    char szName[17];
    char szDST[4];
    char szType[4];
    char szVersion[7];
    char szDate[9];
    char szRadioID[6];
    char szCallSign[11];
    BYTE abySCTable[16];
    BYTE byLocDGID;
    BYTE byDefDGID;
};
typedef tagMY_REPEATER_INFO MY_REPEATER_INFO;

// One target's answer to a search.
struct tagSEARCH_RESULT {
    ULONG ulAdrs;
    DWORD dwVers;
    MAC_ADDRESS MacAdrs;
    char szCallSign[11];
    char szRadioID[6];
    BYTE abySCTable[16];
    BOOL bListServer;
    BYTE byLocDGID;
    BYTE byDefDGID;
};
typedef tagSEARCH_RESULT SEARCH_RESULT;

constexpr int SERVER_TARGET_COUNT = 100;

// The unit's state, driven by its radio.
enum _UNIT_STATE : int {
    UNIT_STATE_NONE = 0,   // started; the radio has not identified itself yet
    UNIT_STATE_INIT = 1,   // version check answered; waiting for the code table
    UNIT_STATE_READY = 2,  // radio known and alive
    UNIT_STATE_ERROR = 3,  // the radio stopped answering
};
typedef _UNIT_STATE UNIT_STATE;

// Life cycle, called by main in this order (teardown in reverse).
void Server_Construct();
BOOL Server_Init();
BOOL Server_Start();
// One pass of the idle loop; waits for work instead of spinning.
void Server_OnIdle();
void Server_Stop();
void Server_Destruct();
// Asks the idle loop to stop and start the unit again.
void Server_Restart();

// Takes the live configuration and starts connecting to the targets.
BOOL Server_Connect();
// Every active target goes to WAIT_DISCONNECT.
void Server_Disconnect();
// Link state of target nIndex (0..99); FALSE above 99.
BOOL Server_GetTargetStatus(unsigned int nIndex, CLIENT_STATUS* pStatus);
// The radio's identity and code table.
void Server_GetMyRepeaterInfo(MY_REPEATER_INFO* pInfo);
// Starts probing every configured target; FALSE while a search runs.
BOOL Server_SearchReq();
// The 100 results of the last search; FALSE while it still runs.
BOOL Server_GetSearchResult(SEARCH_RESULT aResult[SERVER_TARGET_COUNT]);
// Records a peer's status notice for the radio's next status report.
void SetLanStatus(ULONG ulAdrs, WORD wMsgID, BYTE byStatus);
// The unit's current state.
UNIT_STATE Server_GetUnitState();
// Wakes the idle loop's wait at once; async-signal-safe, so a signal handler
// may call it after setting its stop flag.
void Server_Wake();

// Test seams (never called by the daemon itself).
// Feeds bytes to the radio receiver as the serial receive thread does.
void Server_FeedRadioForTest(const BYTE* pData, int nLen);
// Told the command letter and parameter area of every radio frame that passed
// validation, before it is handled (null: nobody). Runs under the serial lock.
typedef void (*SERVER_RADIO_FRAME_OBSERVER)(BYTE byCmd, const BYTE* pParam, int nLen);
void Server_SetRadioFrameObserverForTest(SERVER_RADIO_FRAME_OBSERVER observer);
// Hands one datagram from ulAdrs to the peer link as the command server's
// UDP receive thread does (ignored unless the unit is READY).
void Server_FeedPeerPacketForTest(ULONG ulAdrs, const BYTE* pData, int nLen);
// While set, Server_Start creates no timer thread and the test drives the
// 100 ms tick itself with Server_TickForTest.
void Server_SetManualTimerForTest(BOOL bManual);
void Server_TickForTest();
// Runs the start-up check of an interrupted recording (as Server_Init does).
void Server_CheckRecFileForTest();
// Reads slot nCh's recording file back: the number of its counted records
// that read back whole in a row, -1 when the file or its header is bad.
int Server_ReadRecFileForTest(int nCh);
