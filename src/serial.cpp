// serial: the serial channel layer (see serial.h). It owns the two channel
// records s_aWork with their rings, transmit threads and callbacks, and is
// the driver's notification procedure for the slots it opened.
//
// Threads: the owner opens and closes; any thread sends, receives and asks;
// TxThread (one per open channel) drains the transmit ring to the device; the
// driver's receive thread runs CommNotifyProc, which fills the receive ring
// and calls the callback. Locks: csCallback may be held while csPort is taken
// (the callback drains the ring with Serial_Receive), never the reverse;
// csPort is never held while a callback runs, a device is written or a
// thread is waited for (Serial_Open holds it while it opens the device).
//
// Closing a channel first closes its device, which cuts short a device write
// the transmit thread may be blocked in, and only then joins that thread; so
// a device that accepts no data cannot hold a close up.
#include "serial.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "commlib.h"
#include "debug.h"

struct tagPORT_WORK {
    int nPort;  // device number last opened
    long lBaudRate;  // baud rate last opened
    int nCommID;  // driver slot, -1 while closed
    BYTE abyRxData[SERIAL_RX_BUFF_SIZE];
    int nRxDataLen;
    int nRxDataPtr_W;
    int nRxDataPtr_R;
    BYTE abyTxData[SERIAL_TX_BUFF_SIZE];
    int nTxDataLen;
    int nTxDataPtr_W;
    int nTxDataPtr_R;
    std::atomic<BOOL> bStopReq{FALSE};  // the transmit thread must end
    HANDLE hTxThread;
    HANDLE hEvSend;  // manual reset; set while the transmit ring holds bytes
    SERIAL_CALLBACK pCallback;
    LPVOID pParam;
    CRITICAL_SECTION csPort;  // rings, counters, nCommID, bRxOverflow
    CRITICAL_SECTION csCallback;  // pCallback and pParam; held while the callback runs
    bool bRxOverflow;  // bytes were dropped since the receive ring was last empty
};
typedef tagPORT_WORK PORT_WORK;

static_assert(SERIAL_RX_BUFF_SIZE == 16 * SERIAL_BLOCK_SIZE && SERIAL_TX_BUFF_SIZE == 64 * SERIAL_BLOCK_SIZE);

namespace {

constexpr int THREAD_PRIORITY = 1;

PORT_WORK s_aWork[SERIAL_CHANNEL_MAX];

bool IsLegalChannel(int nChannel)
{
    if (nChannel < 0 || nChannel >= SERIAL_CHANNEL_MAX) {
        DebugPrint("WARNING: illegal channel %d\n", nChannel);
        return false;
    }
    return true;
}

void ReportNotOpened(int nChannel)
{
    DebugPrint("WARNING: channel %d is not opened\n", nChannel);
}

void EmptyRings(PORT_WORK& w)
{
    w.nRxDataLen = 0;
    w.nRxDataPtr_W = 0;
    w.nRxDataPtr_R = 0;
    w.nTxDataLen = 0;
    w.nTxDataPtr_W = 0;
    w.nTxDataPtr_R = 0;
    w.bRxOverflow = false;
}

void CallBack(int nChannel, DWORD dwEvent)
{
    PORT_WORK& w = s_aWork[nChannel];
    EnterCriticalSection(&w.csCallback);
    if (w.pCallback != nullptr) {
        w.pCallback(nChannel, dwEvent, w.pParam);
    }
    LeaveCriticalSection(&w.csCallback);
}

int FindChannel(int nSlot)
{
    for (int ch = 0; ch < SERIAL_CHANNEL_MAX; ++ch) {
        EnterCriticalSection(&s_aWork[ch].csPort);
        bool match = s_aWork[ch].nCommID == nSlot;
        LeaveCriticalSection(&s_aWork[ch].csPort);
        if (match) {
            return ch;
        }
    }
    return -1;
}

// Appends what fits of one driver block to the receive ring; the number of
// bytes added, or -1 when the channel no longer uses the slot.
int StoreReceived(int nChannel, int nSlot, const BYTE* data, int n)
{
    PORT_WORK& w = s_aWork[nChannel];
    EnterCriticalSection(&w.csPort);
    if (w.nCommID != nSlot) {
        LeaveCriticalSection(&w.csPort);
        return -1;
    }
    int room = SERIAL_RX_BUFF_SIZE - w.nRxDataLen;
    int added = n < room ? n : room;
    CommRing_Put(w.abyRxData, SERIAL_RX_BUFF_SIZE, &w.nRxDataLen, &w.nRxDataPtr_W, data, added);
    bool firstDrop = added < n && !w.bRxOverflow;
    if (added < n) {
        w.bRxOverflow = true;
    }
    LeaveCriticalSection(&w.csPort);
    if (firstDrop) {
        DebugPrint("WARNING: rx buffer full channel %d, dropping new bytes\n", nChannel);
    }
    return added;
}

// The driver's notification procedure, on the device's receive thread.
void CommNotifyProc(int nSlot, DWORD dwEvent)
{
    int ch = FindChannel(nSlot);
    if (ch < 0) {
        return;
    }
    if (dwEvent == COMM_NOTIFY_ERROR) {
        CallBack(ch, SERIAL_EVENT_DISC);
        return;
    }
    BYTE block[SERIAL_BLOCK_SIZE];
    for (;;) {
        int n = ReadCommBlock(nSlot, block, SERIAL_BLOCK_SIZE);
        if (n <= 0) {
            break;
        }
        int added = StoreReceived(ch, nSlot, block, n);
        if (added < 0) {
            break;
        }
        if (added > 0) {
            CallBack(ch, SERIAL_EVENT_RECEIVE);
        }
    }
}

// Takes the next block of at most 1434 bytes off the transmit ring and the
// slot to write it to (-1 once the channel is closing).
int TakeTxBlock(PORT_WORK& w, BYTE* block, int* pnSlot)
{
    EnterCriticalSection(&w.csPort);
    int n = w.nTxDataLen < SERIAL_BLOCK_SIZE ? w.nTxDataLen : SERIAL_BLOCK_SIZE;
    CommRing_Get(w.abyTxData, SERIAL_TX_BUFF_SIZE, &w.nTxDataLen, &w.nTxDataPtr_R, block, n);
    if (w.nTxDataLen == 0) {
        // Also when nothing was there, so that a stray wake-up cannot spin.
        ResetEvent(w.hEvSend);
    }
    *pnSlot = w.nCommID;
    LeaveCriticalSection(&w.csPort);
    return n;
}

DWORD TxThread(LPVOID parameter)
{
    PORT_WORK& w = s_aWork[reinterpret_cast<intptr_t>(parameter)];
    DebugPrint("start SERIAL tx thread\n");
    BYTE block[SERIAL_BLOCK_SIZE];
    for (;;) {
        if (w.bStopReq.load()) {
            break;
        }
        WaitForSingleObject(w.hEvSend, INFINITE);
        if (w.bStopReq.load()) {
            break;
        }
        int slot = -1;
        int n = TakeTxBlock(w, block, &slot);
        if (n > 0 && slot >= 0 && !w.bStopReq.load()) {
            // Blocking; a failure is reported by the driver and the block is lost.
            WriteCommBlock(slot, block, n);
        }
    }
    DebugPrint("end SERIAL tx thread\n");
    return 0;
}

// Under csPort: the channel's size counter, or -1 (reported) when closed.
int QueryLocked(int nChannel, const int PORT_WORK::*field)
{
    if (!IsLegalChannel(nChannel)) {
        return -1;
    }
    PORT_WORK& w = s_aWork[nChannel];
    EnterCriticalSection(&w.csPort);
    int value = w.nCommID >= 0 ? w.*field : -1;
    LeaveCriticalSection(&w.csPort);
    if (value < 0) {
        ReportNotOpened(nChannel);
    }
    return value;
}

}  // namespace

void Serial_Construct()
{
    CommLib_Init();
    for (PORT_WORK& w : s_aWork) {
        w.nPort = 0;
        w.lBaudRate = 0;
        w.nCommID = -1;
        EmptyRings(w);
        w.bStopReq.store(FALSE);
        w.hTxThread = nullptr;
        w.hEvSend = nullptr;
        w.pCallback = nullptr;
        w.pParam = nullptr;
        InitializeCriticalSection(&w.csPort);
        InitializeCriticalSection(&w.csCallback);
    }
}

BOOL Serial_Init()
{
    for (PORT_WORK& w : s_aWork) {
        if (w.hEvSend == nullptr) {
            w.hEvSend = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        }
        if (w.hEvSend == nullptr) {
            DebugPrint("WARNING: CreateEvent() failed\n");
            return FALSE;
        }
    }
    return TRUE;
}

BOOL Serial_Open(int nChannel, const SERIAL_OPEN_PARAM* pParam)
{
    if (!IsLegalChannel(nChannel) || pParam == nullptr) {
        return FALSE;
    }
    PORT_WORK& w = s_aWork[nChannel];
    EnterCriticalSection(&w.csPort);
    if (w.nCommID >= 0) {
        LeaveCriticalSection(&w.csPort);
        DebugPrint("WARNING: channel %d is already opened\n", nChannel);
        return FALSE;
    }
    w.nPort = pParam->nPort;
    w.lBaudRate = pParam->lBaudRate;
    EmptyRings(w);
    ResetEvent(w.hEvSend);
    w.bStopReq.store(FALSE);
    int slot = CreateCommPort(pParam->nPort, pParam->lBaudRate, pParam->nCharBits, pParam->cParity,
                              pParam->nStopBit, FALSE, FALSE, FALSE);
    if (slot < 0) {
        LeaveCriticalSection(&w.csPort);
        DebugPrint("WARNING: CreateCommPort() failed\n");
        return FALSE;
    }
    w.nCommID = slot;
    const char* failure = nullptr;
    if (!InstallNotifyProc(slot, nullptr, 0, CommNotifyProc)) {
        failure = "WARNING: InstallNotifyProc() failed\n";
    } else {
        w.hTxThread = CreateThread(nullptr, 0, TxThread, reinterpret_cast<LPVOID>(static_cast<intptr_t>(nChannel)),
                                   0, nullptr);
        if (w.hTxThread == nullptr) {
            failure = "WARNING: error at CreateThread()\n";
        } else if (!SetThreadPriority(w.hTxThread, THREAD_PRIORITY)) {
            failure = "WARNING: error at SetThreadPriority()\n";
        }
    }
    LeaveCriticalSection(&w.csPort);
    if (failure != nullptr) {
        DebugPrint("%s", failure);
        // Closing joins the receive thread, which may wait for csPort.
        Serial_Close(nChannel);
        return FALSE;
    }
    return TRUE;
}

void Serial_Close(int nChannel)
{
    if (!IsLegalChannel(nChannel)) {
        return;
    }
    PORT_WORK& w = s_aWork[nChannel];
    if (w.csPort == nullptr) {
        return;  // never constructed, or destructed
    }
    w.bStopReq.store(TRUE);
    if (w.hEvSend != nullptr) {
        SetEvent(w.hEvSend);
    }
    EnterCriticalSection(&w.csPort);
    int slot = w.nCommID;
    w.nCommID = -1;
    LeaveCriticalSection(&w.csPort);
    if (slot >= 0) {
        DestroyCommPort(slot);
    }
    if (w.hTxThread != nullptr) {
        WaitForSingleObject(w.hTxThread, INFINITE);
        CloseHandle(w.hTxThread);
        w.hTxThread = nullptr;
    }
    w.bStopReq.store(FALSE);
}

void Serial_Destruct()
{
    // Every channel is closed (its receive thread joined) before any lock is
    // deleted: a receive thread still running looks at every channel's lock.
    for (int ch = 0; ch < SERIAL_CHANNEL_MAX; ++ch) {
        Serial_Close(ch);
    }
    for (int ch = 0; ch < SERIAL_CHANNEL_MAX; ++ch) {
        PORT_WORK& w = s_aWork[ch];
        if (w.csPort == nullptr) {
            continue;
        }
        CloseHandle(w.hEvSend);
        w.hEvSend = nullptr;
        DeleteCriticalSection(&w.csPort);
        DeleteCriticalSection(&w.csCallback);
    }
}

BOOL Serial_IsOpened(int nChannel)
{
    if (!IsLegalChannel(nChannel)) {
        return FALSE;
    }
    PORT_WORK& w = s_aWork[nChannel];
    EnterCriticalSection(&w.csPort);
    BOOL opened = w.nCommID >= 0 ? TRUE : FALSE;
    LeaveCriticalSection(&w.csPort);
    return opened;
}

BOOL Serial_SetCallback(int nChannel, SERIAL_CALLBACK pCallback, LPVOID pParam)
{
    if (!IsLegalChannel(nChannel)) {
        return FALSE;
    }
    PORT_WORK& w = s_aWork[nChannel];
    EnterCriticalSection(&w.csCallback);
    w.pCallback = pCallback;
    w.pParam = pParam;
    LeaveCriticalSection(&w.csCallback);
    return TRUE;
}

int Serial_Send(int nChannel, const BYTE* pData, int nLen)
{
    if (!IsLegalChannel(nChannel)) {
        return 0;
    }
    PORT_WORK& w = s_aWork[nChannel];
    EnterCriticalSection(&w.csPort);
    if (w.nCommID < 0) {
        LeaveCriticalSection(&w.csPort);
        ReportNotOpened(nChannel);
        return 0;
    }
    int room = SERIAL_TX_BUFF_SIZE - w.nTxDataLen;
    int n = (pData == nullptr || nLen <= 0) ? 0 : (nLen < room ? nLen : room);
    CommRing_Put(w.abyTxData, SERIAL_TX_BUFF_SIZE, &w.nTxDataLen, &w.nTxDataPtr_W, pData, n);
    if (n > 0) {
        SetEvent(w.hEvSend);
    }
    LeaveCriticalSection(&w.csPort);
    return n;
}

int Serial_Receive(int nChannel, BYTE* pBuf, int nSize)
{
    if (!IsLegalChannel(nChannel)) {
        return 0;
    }
    PORT_WORK& w = s_aWork[nChannel];
    EnterCriticalSection(&w.csPort);
    if (w.nCommID < 0) {
        LeaveCriticalSection(&w.csPort);
        ReportNotOpened(nChannel);
        return 0;
    }
    int n = (pBuf == nullptr || nSize <= 0) ? 0 : (nSize < w.nRxDataLen ? nSize : w.nRxDataLen);
    CommRing_Get(w.abyRxData, SERIAL_RX_BUFF_SIZE, &w.nRxDataLen, &w.nRxDataPtr_R, pBuf, n);
    if (w.nRxDataLen == 0) {
        w.bRxOverflow = false;  // the burst is over
    }
    LeaveCriticalSection(&w.csPort);
    return n;
}

int Serial_GetInQueueSize(int nChannel)
{
    int value = QueryLocked(nChannel, &PORT_WORK::nRxDataLen);
    return value < 0 ? 0 : value;
}

int Serial_GetOutQueueSize(int nChannel)
{
    int value = QueryLocked(nChannel, &PORT_WORK::nTxDataLen);
    return value < 0 ? 0 : value;
}

int Serial_GetOutRemainSize(int nChannel)
{
    int value = QueryLocked(nChannel, &PORT_WORK::nTxDataLen);
    return value < 0 ? 0 : SERIAL_TX_BUFF_SIZE - value;
}
