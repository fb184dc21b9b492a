// server: the unit core's spine. It constructs, initialises, starts and stops
// every module in a fixed order; owns the unit's shared state (unit state,
// target table, settings snapshot, queues, events, locks); runs the idle loop
// (restart, USB port failure, committed settings, the delayed save of peer
// data) and the 100 ms timer tick; starts and stops the DHCP client and the
// NTP check as the settings ask; creates and stops the worker threads; and
// routes the events of the command server and the USB console.
//
// The idle loop never spins: a pass that finds nothing to do waits on the
// wake-up descriptor (written by a restart request, a stop, and by whoever
// queues a frame for the radio) or until the nearest deadline it keeps, and
// never longer than one timer tick, so sources that cannot signal (a USB port
// failure, settings committed by a command session) are seen within 100 ms.
//
// Threads: main (life cycle, idle loop, USB reopen), TimerThread,
// TxLanThread, RecThread, PlayThread, the USB receive thread (UsbCallback)
// and the command server's threads (CmdServerCallback). Locks: see
// server_internal.h; the idle loop tries the command lock before s_csTarget
// and never holds s_csTarget while it joins a thread, runs a shell command or
// writes the configuration file.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "board.h"
#include "cmd.h"
#include "cmdsrv.h"
#include "commlib.h"
#include "debug.h"
#include "helpers.h"
#include "led.h"
#include "link.h"
#include "listsrv.h"
#include "serial.h"
#include "server_internal.h"
#include "sub.h"
#include "usbfunc.h"
#include "util.h"

// ---- Shared state --------------------------------------------------------------

std::atomic<UNIT_STATE> s_eState{UNIT_STATE_NONE};
CONFIG_PARAM s_Config;
NET_PARAM s_NetParam;
MAC_ADDRESS s_MacAdrs;
std::atomic<BOOL> s_bStopReq{FALSE};
std::atomic<BOOL> s_bPowerDown{FALSE};
std::atomic<BOOL> s_bRestartReq{FALSE};
HANDLE s_hEvCancel = nullptr;
HANDLE s_hEvPlay = nullptr;
TX_QUEUE s_LanTxQueue;
TX_QUEUE s_SioTxQueue;
TX_QUEUE s_RecQueue;

CRITICAL_SECTION s_csSerial = nullptr;
CRITICAL_SECTION s_csTarget = nullptr;
CRITICAL_SECTION s_csRecFile = nullptr;
CRITICAL_SECTION s_csTxQueue = nullptr;

namespace {

constexpr const char* DATA_FOLDER = "/var/local/DATA";
constexpr int RADIO_PORT = 0;  // serial channel of the radio
constexpr long RADIO_BAUD_RATE = 38400;
constexpr int RADIO_CHAR_BITS = 8;
constexpr int RADIO_STOP_BITS = 1;
constexpr char RADIO_PARITY = 'N';
constexpr int THREAD_PRIORITY = 1;
constexpr DWORD RESTART_PAUSE_MS = 100;
constexpr DWORD SAVE_DELAY_MS = 5000;
constexpr DWORD USB_REOPEN_RETRY_MS = 1000;
constexpr WORD CLOCK_FLOOR_YEAR = 2017;
constexpr int CLOCK_FLOOR_TRIES = 4;
constexpr int CLOCK_FLOOR_GOOD_READS = 2;
constexpr DWORD CLOCK_FLOOR_PAUSE_MS = 1000;

BYTE s_abyLanTxQueueData[TxQueue_StorageSize(SERVER_QUEUE_RECORD_SIZE, LAN_TX_QUEUE_RECORDS)];
BYTE s_abySioTxQueueData[TxQueue_StorageSize(SERVER_QUEUE_RECORD_SIZE, SIO_TX_QUEUE_RECORDS)];
BYTE s_abyRecQueueData[TxQueue_StorageSize(SERVER_QUEUE_RECORD_SIZE, REC_QUEUE_RECORDS)];

HANDLE s_hTimerThread = nullptr;
HANDLE s_hTxLanThread = nullptr;
HANDLE s_hRecThread = nullptr;
HANDLE s_hPlayThread = nullptr;

BOOL s_bDhcpStart = FALSE;      // under s_csTarget; read by Server_Stop after the join
BOOL s_bLinkUp = FALSE;         // timer thread: the carrier at this tick and the last
BOOL s_bLinkUpPrev = FALSE;
BOOL s_bTargetChanged = FALSE;  // under s_csTarget
DWORD s_dwTmTargetChange = 0;
char s_szUsbCmdBuff[CMDSRV_LINE_BUFFER_SIZE];  // USB receive thread only
int s_nUsbCmdIndex = 0;

// Main thread only.
BOOL s_bNtpStart = FALSE;          // the unit started the NTP check
BOOL s_bUsbLoggedOn = FALSE;       // the USB console's user record is held
BOOL s_bUsbReopenPending = FALSE;  // a failed reopen is retried
DWORD s_dwTmUsbReopen = 0;
bool s_bConstructed = false;

std::atomic<int> s_fdIdleWake{-1};
std::atomic<BOOL> s_bManualTimer{FALSE};

static_assert(sizeof(s_szUsbCmdBuff) == 512, "the USB console line holds 511 characters");

// ---- State --------------------------------------------------------------------

// Resets the module state. The events, queues, locks, thread handles, client
// pointers and the MAC address read at initialisation are kept: they belong
// to the life cycle, not to one run of the unit.
void InitValiables()
{
    s_eState.store(UNIT_STATE_NONE);
    std::memset(&s_Config, 0, sizeof(s_Config));
    s_NetParam = NET_PARAM{};
    s_bStopReq.store(FALSE);
    s_bPowerDown.store(FALSE);
    s_bRestartReq.store(FALSE);
    InitLedCtrl();
    s_bLinkUp = FALSE;
    s_bLinkUpPrev = FALSE;
    s_bDhcpStart = FALSE;
    s_bTargetChanged = FALSE;
    s_dwTmTargetChange = 0;
    s_szUsbCmdBuff[0] = '\0';
    s_nUsbCmdIndex = 0;
    InitSioVariables();
    InitLanVariables();
    InitRecVariables();
}

DWORD MinDelay(DWORD a, DWORD b)
{
    return a < b ? a : b;
}

// Waits up to dwMs for a wake-up, then consumes it.
void IdleWait(DWORD dwMs)
{
    int fd = s_fdIdleWake.load();
    pollfd pfd = {fd, POLLIN, 0};
    int ret = poll(&pfd, fd >= 0 ? 1 : 0, static_cast<int>(dwMs));
    if (ret > 0 && (pfd.revents & POLLIN) != 0) {
        uint64_t count = 0;
        ssize_t n = read(fd, &count, sizeof(count));
        (void)n;
    }
}

// ---- Worker threads ------------------------------------------------------------

// One 100 ms tick: carrier, the peer link (line release, supervision, send
// turn), LEDs, DHCP, the radio link, recording, the radio transmission's
// time-out and the command interpreter's timers, in this order.
void OnTimerTick()
{
    BOOL bLink = FALSE;
    LINK_Get(&bLink);
    s_bLinkUpPrev = s_bLinkUp;
    s_bLinkUp = bLink;

    EnterCriticalSection(&s_csTarget);
    DWORD now = GetTickCount();
    LanOnTimer(now);
    LedOnTimer(s_bLinkUp);
    if (s_bLinkUp && !s_bLinkUpPrev && NET_IsEnableDHCP() && !NET_IsActiveDHCP()) {
        DebugPrint("[I] restart DHCP\n");
        NET_StartDHCP();
        s_bDhcpStart = TRUE;
    }
    LeaveCriticalSection(&s_csTarget);

    EnterCriticalSection(&s_csSerial);
    now = GetTickCount();
    SioOnTimer(now);
    RecOnTimer(now);
    LanTxReqOnTimer(now);
    LeaveCriticalSection(&s_csSerial);
    CMD_OnTimer();
}

DWORD TimerThread(LPVOID)
{
    DebugPrint("start timer thread\n");
    while (WaitForSingleObject(s_hEvCancel, TIMER_TICK_MS) == WAIT_TIMEOUT) {
        OnTimerTick();
    }
    DebugPrint("end timer thread\n");
    return 0;
}

BOOL StartWorker(HANDLE* phThread, LPTHREAD_START_ROUTINE start)
{
    *phThread = CreateThread(nullptr, 0, start, nullptr, 0, nullptr);
    if (*phThread == nullptr) {
        DebugLog(LOG_CAT_WARNING, "[W] error at CreateThread()\n");
        return FALSE;
    }
    if (!SetThreadPriority(*phThread, THREAD_PRIORITY)) {
        DebugLog(LOG_CAT_WARNING, "[W] error at SetThreadPriority()\n");
        return FALSE;
    }
    return TRUE;
}

void JoinWorker(HANDLE* phThread)
{
    if (*phThread != nullptr) {
        WaitForSingleObject(*phThread, INFINITE);
        CloseHandle(*phThread);
        *phThread = nullptr;
    }
}

// ---- Event routing -------------------------------------------------------------

unsigned long HandleText(LPVOID pClient)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pClient));
}

void CmdServerCallback(LPVOID pClient, DWORD nEvent, LPVOID pData, int nLen, LPVOID)
{
    switch (nEvent) {
        case CMDSRV_EVENT_ACCEPT:
            DebugPrint("accepted %08lX\n", HandleText(pClient));
            if (!CMD_LogOnUser(pClient)) {
                DebugPrint("[W] CMD_LogOnUser() failed\n");
            }
            break;
        case CMDSRV_EVENT_DISCONNECT:
            DebugPrint("disconnected %08lX\n", HandleText(pClient));
            CMD_LogOffUser(pClient);
            break;
        case CMDSRV_EVENT_RX_DATA:
            // A peer packet; the sender is the datagram's source address.
            OnRxLanPacket(CmdServer_GetAddress(pClient), static_cast<const BYTE*>(pData), nLen);
            break;
        case CMDSRV_EVENT_RX_SETTING:
            if (pData != nullptr) {
                CMD_Exec(pClient, static_cast<char*>(pData));
            }
            break;
        default:
            break;
    }
}

// The USB console's line editor, on the USB receive thread.
void OnUsbByte(BYTE c)
{
    if (!CmdServer_EditLine(s_szUsbCmdBuff, &s_nUsbCmdIndex, c)) {
        return;
    }
    static const BYTE s_abyLineEnd[] = {'\r', '\n'};
    USBFUNC_Send(s_abyLineEnd, sizeof(s_abyLineEnd));
    s_nUsbCmdIndex = 0;
    CMD_Exec(USBFUNC_GetHandle(), s_szUsbCmdBuff);
}

void UsbCallback(DWORD nEvent, BYTE* pData, int nLen, LPVOID);

// TRUE when the USB port's device is there to be opened.
bool UsbDeviceExists(int nPort)
{
    char szDevice[BOARD_PATH_MAX];
    char szPath[BOARD_PATH_MAX];
    CommLib_DevicePath(nPort, szDevice, sizeof(szDevice));
    return Board_MapPath(szDevice, szPath, sizeof(szPath)) && IsFileExist(szPath);
}

// Opens the USB console and logs its user on; bReport: report a failure.
BOOL OpenUsbConsole(int nPort, BOOL bReport)
{
    USBFUNC_SetCallback(UsbCallback, nullptr);
    if (!USBFUNC_Open(nPort)) {
        USBFUNC_SetCallback(nullptr, nullptr);
        if (bReport) {
            DebugLog(LOG_CAT_WARNING, "[W] USBFUNC_Open(%d) failed\n", nPort);
        }
        return FALSE;
    }
    s_bUsbLoggedOn = CMD_LogOnUser(USBFUNC_GetHandle());
    if (!s_bUsbLoggedOn) {
        DebugLog(LOG_CAT_WARNING, "[W] CMD_LogOnUser() failed\n");
    }
    return TRUE;
}

void CloseUsbConsole()
{
    USBFUNC_SetCallback(nullptr, nullptr);
    USBFUNC_Close();
    // Closing joined the receive thread: the line and the user are free now.
    s_nUsbCmdIndex = 0;
    if (s_bUsbLoggedOn) {
        CMD_LogOffUser(USBFUNC_GetHandle());
        s_bUsbLoggedOn = FALSE;
    }
}

// The USB port failed (main thread): close it and open it again.
void ReOpenUsbPort()
{
    DebugPrint("[I] USB reopen..\n");
    CloseUsbConsole();
    s_bUsbReopenPending = FALSE;
    int nPort = CONFIG_Get()->nUsbPort;
    if (nPort != 0) {
        if (!OpenUsbConsole(nPort, TRUE)) {
            DebugLog(LOG_CAT_WARNING, "[W] ReOpenUsbPort() failed\n");
            // The cable may come back: try again, quietly, until it does.
            s_bUsbReopenPending = TRUE;
            s_dwTmUsbReopen = GetTickCount();
            return;
        }
    }
    DebugPrint("OK\n");
}

void RetryUsbReopen()
{
    if (!s_bUsbReopenPending || GetTickCount() - s_dwTmUsbReopen < USB_REOPEN_RETRY_MS) {
        return;
    }
    s_dwTmUsbReopen = GetTickCount();
    int nPort = CONFIG_Get()->nUsbPort;
    if (nPort == 0) {
        s_bUsbReopenPending = FALSE;
        return;
    }
    if (UsbDeviceExists(nPort) && OpenUsbConsole(nPort, FALSE)) {
        s_bUsbReopenPending = FALSE;
        DebugPrint("[I] USB reopened\n");
    }
}

void UsbCallback(DWORD nEvent, BYTE* pData, int nLen, LPVOID)
{
    if (nEvent == USBFUNC_EVENT_RX) {
        for (int i = 0; i < nLen; ++i) {
            OnUsbByte(pData[i]);
        }
    } else if (nEvent == USBFUNC_EVENT_DETACH) {
        ReOpenUsbPort();
    }
}

// ---- Initialisation steps ------------------------------------------------------

BOOL CreateQueues()
{
    return TxQueue_Create(&s_LanTxQueue, s_abyLanTxQueueData, SERVER_QUEUE_RECORD_SIZE, LAN_TX_QUEUE_RECORDS) &&
           TxQueue_Create(&s_SioTxQueue, s_abySioTxQueueData, SERVER_QUEUE_RECORD_SIZE, SIO_TX_QUEUE_RECORDS) &&
           TxQueue_Create(&s_RecQueue, s_abyRecQueueData, SERVER_QUEUE_RECORD_SIZE, REC_QUEUE_RECORDS);
}

BOOL CreateEvents()
{
    s_hEvCancel = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    s_hEvPlay = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    s_fdIdleWake.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return s_hEvCancel != nullptr && s_hEvPlay != nullptr && s_fdIdleWake.load() >= 0;
}

// Initialises the modules in order; the first failure is reported and ends it.
BOOL InitModules()
{
    struct Step {
        BOOL (*init)();
        const char* pszFailure;
    };
    static const Step s_aSteps[] = {
        {CMD_Init, "[W] CMD_Init() failed\n"},
        {NET_Init, "[W] NET_Init() failed\n"},
        {MAC_Init, "[W] MAC_Init() failed\n"},
        {LED_Init, "[W] LED_Init() failed\n"},
        {Serial_Init, "[W] Serial_Init() failed\n"},
        {USBFUNC_Init, "[W] USBFUNC_Init() failed\n"},
        {CmdServer_Init, "[W] CmdServer_Init() failed\n"},
        {LINK_Init, "[W] LINK_Init() failed\n"},
    };
    for (const Step& step : s_aSteps) {
        if (!step.init()) {
            DebugLog(LOG_CAT_WARNING, "%s", step.pszFailure);
            return FALSE;
        }
    }
    if (!MAC_Read(&s_MacAdrs)) {
        DebugLog(LOG_CAT_WARNING, "[W] MAC_Read() failed\n");
        return FALSE;
    }
    if (!ListSrv_Init()) {
        DebugLog(LOG_CAT_WARNING, "[W] ListSrv_Init() failed\n");
        return FALSE;
    }
    return TRUE;
}

void MakeDataFolder()
{
    char szPath[BOARD_PATH_MAX];
    if (!Board_MapPath(DATA_FOLDER, szPath, sizeof(szPath)) || !MakeDirectory(szPath)) {
        DebugLog(LOG_CAT_WARNING, "[W] cannot create folder %s\n", DATA_FOLDER);
    }
}

// A board that lost its clock starts in 1970: raise it to 2017-01-01 so that
// time stamps sort after those written before.
void ApplyClockFloor()
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    if (st.wYear >= CLOCK_FLOOR_YEAR) {
        return;
    }
    int nGoodReads = 0;
    for (int i = 0; i < CLOCK_FLOOR_TRIES && nGoodReads < CLOCK_FLOOR_GOOD_READS; ++i) {
        const SYSTEMTIME floor = {CLOCK_FLOOR_YEAR, 1, 0, 1, 0, 0, 0, 0};
        SetLocalTime(&floor);
        Sleep(CLOCK_FLOOR_PAUSE_MS);
        GetLocalTime(&st);
        nGoodReads = st.wYear >= CLOCK_FLOOR_YEAR ? nGoodReads + 1 : 0;
    }
}

BOOL OpenRadioPort(int nPort)
{
    Serial_SetCallback(RADIO_PORT, SerialCallback, nullptr);
    SERIAL_OPEN_PARAM param;
    param.nPort = nPort;
    param.lBaudRate = RADIO_BAUD_RATE;
    param.nCharBits = RADIO_CHAR_BITS;
    param.nStopBit = RADIO_STOP_BITS;
    param.cParity = RADIO_PARITY;
    if (!Serial_Open(RADIO_PORT, &param)) {
        DebugLog(LOG_CAT_WARNING, "[W] Serial_Open(%d) failed\n", nPort);
        return FALSE;
    }
    return TRUE;
}

// ---- Idle loop steps -----------------------------------------------------------

// The NTP check follows the NTP settings (held in memory only): started with
// the server list when enabled, again when bChanged says the list may have
// changed; stopped when disabled while running. Main thread.
void FollowNtpSetting(BOOL bChanged)
{
    if (!s_Config.bNtpEnable) {
        if (s_bNtpStart || NET_IsStartNTP()) {
            DebugLog(LOG_CAT_INFO, "[I] stop NTP check\n");
            NET_StopNTP();
        }
        s_bNtpStart = FALSE;
        return;
    }
    if (s_Config.szNtpServer[0] == '\0') {
        DebugLog(LOG_CAT_WARNING, "[W] NTP enabled without a server\n");
        return;
    }
    if (!bChanged && NET_IsStartNTP()) {
        return;
    }
    DebugLog(LOG_CAT_INFO, "[I] start NTP check %s\n", s_Config.szNtpServer);
    if (NET_StartNTP(s_Config.szNtpServer)) {
        s_bNtpStart = TRUE;
    } else {
        DebugLog(LOG_CAT_WARNING, "[W] NET_StartNTP() failed\n");
    }
}

// Applies settings a command session committed. Caller holds the command lock.
// The interface restart and the move of the UDP port run after s_csTarget is
// left: one runs shell commands, the other joins the thread that delivers peer
// packets, whose handlers take s_csTarget.
void ApplyUpdate()
{
    DebugLog(LOG_CAT_INFO, "[I] parameter update..\n");
    LedSetSettingsAlarm(FALSE);  // the operator has seen to the settings
    const CONFIG_PARAM* cfg = CONFIG_Get();
    EnterCriticalSection(&s_csTarget);
    DWORD now = GetTickCount();
    bool bNetChanged = NET_IsModified() != FALSE;
    bool bStopDhcp = false;
    if (bNetChanged) {
        NET_GetAddress(&s_NetParam);
        // A static address: the DHCP client the unit started goes, or a lease
        // renewal could put the old address back.
        bStopDhcp = s_NetParam.dwIpAdrs != 0 && s_bDhcpStart;
        s_bDhcpStart = bStopDhcp ? FALSE : s_bDhcpStart;
    }
    bool bRxPortChanged = cfg->nRxUdpPort != s_Config.nRxUdpPort;
    if (bRxPortChanged) {
        s_Config.nRxUdpPort = cfg->nRxUdpPort;
    }
    bool bTxPortChanged = cfg->nTxUdpPort != s_Config.nTxUdpPort;
    if (bTxPortChanged) {
        s_Config.nTxUdpPort = cfg->nTxUdpPort;
    }
    for (int i = 0; i < SERVER_TARGET_COUNT; ++i) {
        const TARGET_INFO& in = cfg->aTargetInfo[i];
        TARGET_INFO& mine = s_Config.aTargetInfo[i];
        if (bNetChanged || bTxPortChanged || in.bEnable != mine.bEnable || in.dwTargetIP != mine.dwTargetIP) {
            mine.bEnable = in.bEnable;
            mine.dwTargetIP = in.dwTargetIP;
            if (s_eState.load() == UNIT_STATE_READY) {
                LanRebuildTarget(i, now);
            }
        }
    }
    if (cfg->bLogEnable != s_Config.bLogEnable || cfg->dwLogFlag != s_Config.dwLogFlag) {
        s_Config.bLogEnable = cfg->bLogEnable;
        s_Config.dwLogFlag = cfg->dwLogFlag;
        SetLogFlag(s_Config.bLogEnable, s_Config.dwLogFlag);
    }
    bool bNtpChanged = cfg->bNtpEnable != s_Config.bNtpEnable ||
                       std::strcmp(cfg->szNtpServer, s_Config.szNtpServer) != 0;
    if (bNtpChanged) {
        s_Config.bNtpEnable = cfg->bNtpEnable;
        _strlcpy(s_Config.szNtpServer, cfg->szNtpServer, sizeof(s_Config.szNtpServer));
    }
    int nRxUdpPort = s_Config.nRxUdpPort;
    BOOL bListServer = s_Config.bListServer;
    LeaveCriticalSection(&s_csTarget);

    if (bStopDhcp) {
        DebugLog(LOG_CAT_INFO, "[I] stop DHCP: static address\n");
        NET_StopDHCP();
    }
    if (bNtpChanged) {
        FollowNtpSetting(TRUE);
    }
    if (bNetChanged && !NET_Update(TRUE)) {
        DebugLog(LOG_CAT_WARNING, "[W] NET_Update() failed\n");
    }
    if (bRxPortChanged) {
        if (bListServer) {
            ListSrv_SetRxUdpPort(nRxUdpPort);
        }
        if (!CmdServer_RestartUDP(static_cast<WORD>(nRxUdpPort))) {
            DebugLog(LOG_CAT_WARNING, "[W] CmdServer_RestartUDP() failed\n");
        }
    }
    DebugLog(LOG_CAT_INFO, "OK\n");
}

// Copies what the targets told about themselves into the configuration and
// saves it 5000 ms after the last change. Caller holds the command lock.
// Returns the time to the pending save, or one tick when none is pending.
DWORD CopyTargetsAndSave()
{
    DWORD dwDue = TIMER_TICK_MS;
    bool bSave = false;
    EnterCriticalSection(&s_csTarget);
    if (!CMD_IsWriteBusy()) {
        CONFIG_PARAM* cfg = CONFIG_Get();
        DWORD now = GetTickCount();
        if (LanCopyTargetInfo(cfg)) {
            s_bTargetChanged = TRUE;
            s_dwTmTargetChange = now;
        } else if (s_bTargetChanged) {
            DWORD dwElapsed = now - s_dwTmTargetChange;
            if (dwElapsed >= SAVE_DELAY_MS) {
                s_bTargetChanged = FALSE;
                bSave = !s_bPowerDown.load();
            } else {
                dwDue = MinDelay(dwDue, SAVE_DELAY_MS - dwElapsed);
            }
        }
    }
    LeaveCriticalSection(&s_csTarget);
    // The file is written under the command lock only, so the timer never waits for it.
    if (bSave && !CMD_SaveConfig(nullptr)) {
        DebugLog(LOG_CAT_WARNING, "[W] CMD_SaveConfig failed\n");
    }
    return dwDue;
}

}  // namespace

// ---- Internal operations -------------------------------------------------------

void WakeIdleLoop()
{
    Server_Wake();
}

// ---- Life cycle ----------------------------------------------------------------

void Server_Construct()
{
    Serial_Construct();
    USBFUNC_Construct();
    CMD_Construct();
    NET_Construct();
    LED_Construct();
    CmdServer_Construct();
    LINK_Construct();
    ListSrv_Construct();
    TxQueue_Init(&s_LanTxQueue);
    TxQueue_Init(&s_SioTxQueue);
    TxQueue_Init(&s_RecQueue);
    s_hEvCancel = nullptr;
    s_hEvPlay = nullptr;
    LanSetClients(nullptr, nullptr);
    s_hTimerThread = nullptr;
    s_hTxLanThread = nullptr;
    s_hRecThread = nullptr;
    s_hPlayThread = nullptr;
    std::memset(&s_MacAdrs, 0, sizeof(s_MacAdrs));
    s_bUsbLoggedOn = FALSE;
    s_bUsbReopenPending = FALSE;
    InitValiables();
    InitializeCriticalSection(&s_csSerial);
    InitializeCriticalSection(&s_csTarget);
    InitializeCriticalSection(&s_csRecFile);
    InitializeCriticalSection(&s_csTxQueue);
    s_bConstructed = true;
}

BOOL Server_Init()
{
    const CONFIG_PARAM* cfg = CONFIG_Get();
    SetLogFlag(cfg->bLogEnable, cfg->dwLogFlag);
    LedSetSettingsAlarm(CONFIG_GetLoadSource() == CONFIG_SOURCE::NONE_VALID);
    if (!CreateQueues()) {
        DebugLog(LOG_CAT_WARNING, "[W] CreateTxQueue() failed\n");
        return FALSE;
    }
    if (!CreateEvents()) {
        DebugLog(LOG_CAT_WARNING, "[W] CreateEvent() failed\n");
        return FALSE;
    }
    if (!InitModules()) {
        return FALSE;
    }
    ListSrv_SetSeed(GetBE32(&s_MacAdrs.abyAdrs[2]));
    MakeDataFolder();
    CheckRecFile();
    ApplyClockFloor();
    return TRUE;
}

BOOL Server_Start()
{
    InitValiables();
    s_Config = *CONFIG_Get();
    DebugLog(LOG_CAT_INFO, "Starting System (%s mode)\n", s_Config.bListServer ? "ListServer" : "Fixed IP");
    ResetEvent(s_hEvCancel);
    ResetEvent(s_hEvPlay);
    TxQueue_Clear(&s_LanTxQueue);
    TxQueue_Clear(&s_SioTxQueue);
    TxQueue_Clear(&s_RecQueue);

    if (s_Config.nCommPort == 0) {
        DebugLog(LOG_CAT_WARNING, "[W] serial port no is invalid\n");
        return FALSE;
    }
    if (!OpenRadioPort(s_Config.nCommPort)) {
        return FALSE;
    }
    if (s_Config.nUsbPort != 0 && !OpenUsbConsole(s_Config.nUsbPort, TRUE)) {
        return FALSE;
    }
    // The radio port is open already: its thread may send a status notice.
    LPVOID pClient = CmdServer_GetClient();
    LPVOID pClient2 = CmdServer_GetClient();
    EnterCriticalSection(&s_csTarget);
    LanSetClients(pClient, pClient2);
    LeaveCriticalSection(&s_csTarget);
    if (pClient == nullptr || pClient2 == nullptr) {
        DebugLog(LOG_CAT_WARNING, "[W] CmdServer_GetClient() failed\n");
        return FALSE;
    }
    if (!StartWorker(&s_hTxLanThread, TxLanThread) || !StartWorker(&s_hRecThread, RecThread) ||
        !StartWorker(&s_hPlayThread, PlayThread)) {
        return FALSE;
    }
    CmdServer_SetCallback(CmdServerCallback, nullptr);
    if (!CmdServer_Start(0, static_cast<WORD>(s_Config.nRxUdpPort), 0)) {
        DebugLog(LOG_CAT_WARNING, "[W] CmdServer_Start() failed\n");
        return FALSE;
    }
    if (!s_bManualTimer.load() && !StartWorker(&s_hTimerThread, TimerThread)) {
        return FALSE;
    }
    if (s_Config.bNtpEnable) {
        FollowNtpSetting(FALSE);
    }
    return TRUE;
}

void Server_OnIdle()
{
    bool bWorked = false;
    if (s_bRestartReq.exchange(FALSE)) {
        DebugLog(LOG_CAT_INFO, "now restarting..\n");
        Server_Stop();
        Sleep(RESTART_PAUSE_MS);
        Server_Start();  // a unit whose ports do not reopen idles on without threads
        bWorked = true;
    }
    USBFUNC_OnIdle();
    RetryUsbReopen();
    DWORD dwWait = TIMER_TICK_MS;
    if (CMD_TryLock()) {
        if (CMD_IsUpdated()) {
            ApplyUpdate();
            bWorked = true;
        }
        dwWait = MinDelay(dwWait, CopyTargetsAndSave());
        CMD_Unlock();
    }
    // Queued voice frames to the radio; whoever queues one wakes the loop,
    // and a record held back shortens the wait to its due time.
    EnterCriticalSection(&s_csSerial);
    if (ReleaseSioTxData(GetTickCount(), &dwWait)) {
        bWorked = true;
    }
    LeaveCriticalSection(&s_csSerial);
    if (!bWorked) {
        IdleWait(dwWait);
    }
}

void Server_Stop()
{
    Server_Disconnect();
    s_bStopReq.store(TRUE);
    ListSrv_Stop();
    CmdServer_Stop();
    if (s_hEvCancel != nullptr) {
        SetEvent(s_hEvCancel);
    }
    if (s_hEvPlay != nullptr) {
        SetEvent(s_hEvPlay);
    }
    TxQueue_Set(&s_LanTxQueue);
    TxQueue_Set(&s_SioTxQueue);
    TxQueue_Set(&s_RecQueue);
    JoinWorker(&s_hTxLanThread);
    JoinWorker(&s_hRecThread);
    JoinWorker(&s_hPlayThread);
    JoinWorker(&s_hTimerThread);
    s_bStopReq.store(FALSE);
    // The radio port is still open: its thread sends only under s_csTarget
    // and finds the clients gone.
    EnterCriticalSection(&s_csTarget);
    LPVOID pClient = nullptr;
    LPVOID pClient2 = nullptr;
    LanTakeClients(&pClient, &pClient2);
    LeaveCriticalSection(&s_csTarget);
    if (pClient != nullptr) {
        CmdServer_Disconnect(pClient);
    }
    if (pClient2 != nullptr) {
        CmdServer_Disconnect(pClient2);
    }
    Serial_Close(RADIO_PORT);
    CloseUsbConsole();
    s_bUsbReopenPending = FALSE;
    if (s_bDhcpStart) {
        NET_StopDHCP();
        s_bDhcpStart = FALSE;
    }
    if (s_bNtpStart) {
        NET_StopNTP();
        s_bNtpStart = FALSE;
    }
}

void Server_Restart()
{
    s_bRestartReq.store(TRUE);
    WakeIdleLoop();
}

void Server_Destruct()
{
    if (!s_bConstructed) {
        return;
    }
    Server_Stop();
    if (s_hEvCancel != nullptr) {
        CloseHandle(s_hEvCancel);
        s_hEvCancel = nullptr;
    }
    if (s_hEvPlay != nullptr) {
        CloseHandle(s_hEvPlay);
        s_hEvPlay = nullptr;
    }
    USBFUNC_Destruct();
    Serial_Destruct();
    CMD_Destruct();
    NET_Destruct();
    LED_Destruct();
    CmdServer_Destruct();
    LINK_Destruct();
    ListSrv_Destruct();
    TxQueue_Delete(&s_LanTxQueue);
    TxQueue_Delete(&s_SioTxQueue);
    TxQueue_Delete(&s_RecQueue);
    DeleteCriticalSection(&s_csSerial);
    DeleteCriticalSection(&s_csTarget);
    DeleteCriticalSection(&s_csRecFile);
    DeleteCriticalSection(&s_csTxQueue);
    int fd = s_fdIdleWake.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
    s_bConstructed = false;
}

// ---- Calls of other modules ----------------------------------------------------

BOOL Server_Connect()
{
    EnterCriticalSection(&s_csTarget);
    s_Config = *CONFIG_Get();
    BOOL bOk = StartConnect();
    LeaveCriticalSection(&s_csTarget);
    return bOk;
}

void Server_Disconnect()
{
    EnterCriticalSection(&s_csTarget);
    DisconnectTargets();
    LeaveCriticalSection(&s_csTarget);
}

BOOL Server_GetTargetStatus(unsigned int nIndex, CLIENT_STATUS* pStatus)
{
    if (nIndex >= static_cast<unsigned int>(SERVER_TARGET_COUNT)) {
        return FALSE;
    }
    EnterCriticalSection(&s_csTarget);
    *pStatus = LanTargetStatus(static_cast<int>(nIndex));
    LeaveCriticalSection(&s_csTarget);
    return TRUE;
}

void Server_GetMyRepeaterInfo(MY_REPEATER_INFO* pInfo)
{
    std::memset(pInfo, 0, sizeof(*pInfo));
    // The code table's bits are also learnt under s_csTarget: take both.
    EnterCriticalSection(&s_csSerial);
    EnterCriticalSection(&s_csTarget);
    const VERS_INFO& radio = SioRadioIdentity();
    SQL_CODE_INFO code;
    LanGetCodeTable(&code);
    _strlcpy(pInfo->szName, radio.szName, sizeof(pInfo->szName));
    _strlcpy(pInfo->szDST, radio.szDST, sizeof(pInfo->szDST));
    _strlcpy(pInfo->szType, radio.szType, sizeof(pInfo->szType));
    _strlcpy(pInfo->szVersion, radio.szVersion, sizeof(pInfo->szVersion));
    _strlcpy(pInfo->szDate, radio.szDate, sizeof(pInfo->szDate));
    _strlcpy(pInfo->szRadioID, radio.szRadioID, sizeof(pInfo->szRadioID));
    _strlcpy(pInfo->szCallSign, radio.szCallSign, sizeof(pInfo->szCallSign));
    std::memcpy(pInfo->abySCTable, code.abyCode, sizeof(pInfo->abySCTable));
    pInfo->byLocDGID = code.byLocDGID;
    pInfo->byDefDGID = code.byDefDGID;
    LeaveCriticalSection(&s_csTarget);
    LeaveCriticalSection(&s_csSerial);
}

BOOL Server_SearchReq()
{
    DWORD now = GetTickCount();
    EnterCriticalSection(&s_csTarget);
    BOOL bOk = LanSearchReq(now);
    LeaveCriticalSection(&s_csTarget);
    return bOk;
}

BOOL Server_GetSearchResult(SEARCH_RESULT aResult[SERVER_TARGET_COUNT])
{
    EnterCriticalSection(&s_csTarget);
    BOOL bOk = LanGetSearchResult(aResult);
    LeaveCriticalSection(&s_csTarget);
    return bOk;
}

UNIT_STATE Server_GetUnitState()
{
    return s_eState.load();
}

void Server_Wake()
{
    // Runs in signal handlers too: a write to the event counter, errno kept.
    int saved = errno;
    int fd = s_fdIdleWake.load();
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t n = write(fd, &one, sizeof(one));
        (void)n;
    }
    errno = saved;
}

BOOL Server_CreateQueuesForTest()
{
    return CreateQueues() && CreateEvents();
}

void Server_SetManualTimerForTest(BOOL bManual)
{
    s_bManualTimer.store(bManual);
}

void Server_TickForTest()
{
    OnTimerTick();
}
