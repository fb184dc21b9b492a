// usbfunc: the USB gadget serial port (see usbfunc.h). It owns the registered
// callback, its parameter and the pending-failure flag, and is serial channel
// 1's callback.
//
// Threads: SerialCallback runs on the channel's receive thread and only
// forwards bytes or raises the flag; USBFUNC_OnIdle runs on the owner's idle
// thread and is the only place a failure is delivered; USBFUNC_Send runs on
// the command interpreter's threads. Its one lock, s_mtxCallback, guards the
// callback and its parameter and is held only to copy them; the failure flag
// is an atomic word; the serial layer's locks are taken through its calls.
#include "usbfunc.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "board.h"
#include "debug.h"
#include "helpers.h"
#include "serial.h"
#include "util.h"

namespace {

constexpr int USBFUNC_CHAR_BITS = 8;
constexpr int USBFUNC_STOP_BITS = 1;
constexpr char USBFUNC_PARITY = 'N';
constexpr uintptr_t USBFUNC_PSEUDO_HANDLE = 1;  // never a real client's address

// The callback and its parameter change together under s_mtxCallback, which
// is held only to copy them, never while the callback runs.
pthread_mutex_t s_mtxCallback = PTHREAD_MUTEX_INITIALIZER;
USBFUNC_CALLBACK s_pfnCallback = nullptr;
LPVOID s_pParam = nullptr;
std::atomic<BOOL> s_bRemoved{FALSE};  // the channel failed and the owner was not yet told

// Calls the registered callback, if any, with the parameter registered with it.
void RaiseEvent(DWORD dwEvent, BYTE* pData, int nLength)
{
    Lock(&s_mtxCallback);
    USBFUNC_CALLBACK callback = s_pfnCallback;
    LPVOID param = s_pParam;
    Unlock(&s_mtxCallback);
    if (callback != nullptr) {
        callback(dwEvent, pData, nLength, param);
    }
}

// Channel 1's callback, on its receive thread. A failure is only noted here:
// the owner closes and reopens the port, which this thread cannot do.
void SerialCallback(int nChannel, DWORD dwEvent, LPVOID)
{
    if (dwEvent == SERIAL_EVENT_DISC) {
        s_bRemoved.store(TRUE);
        return;
    }
    if (dwEvent != SERIAL_EVENT_RECEIVE) {
        return;
    }
    BYTE block[USBFUNC_RX_BLOCK];
    int n;
    while ((n = Serial_Receive(nChannel, block, USBFUNC_RX_BLOCK)) > 0) {
        RaiseEvent(USBFUNC_EVENT_RX, block, n);
    }
}

// Free transmit space, waiting for it in 10 ms steps; 0 when none came within
// the limit, the port failed meanwhile, or it was closed.
int WaitForTxSpace()
{
    int room = Serial_GetOutRemainSize(USB_SERIAL_PORT);
    if (room > 0) {
        return room;
    }
    DWORD start = GetTickCount();
    for (;;) {
        Sleep(USBFUNC_SEND_POLL_MS);
        if (s_bRemoved.load() || !Serial_IsOpened(USB_SERIAL_PORT)) {
            return 0;
        }
        room = Serial_GetOutRemainSize(USB_SERIAL_PORT);
        if (room > 0) {
            return room;
        }
        if (GetTickCount() - start > USBFUNC_SEND_WAIT_MS) {
            return 0;
        }
    }
}

}  // namespace

void USBFUNC_Construct()
{
    USBFUNC_SetCallback(nullptr, nullptr);
    s_bRemoved.store(FALSE);
}

BOOL USBFUNC_Init()
{
    char command[256];
    _sprintf(command, "modprobe g_serial.ko idVendor=0x%04X idProduct=0x%04X iProduct=\"%s\" iManufacturer=\"%s\"",
             USBFUNC_VENDOR_ID, USBFUNC_PRODUCT_ID, USBFUNC_PRODUCT_NAME, USBFUNC_MANUFACTURER_NAME);
    // A missing driver shows when the port is opened.
    Board_RunCommand(command);
    return TRUE;
}

BOOL USBFUNC_Open(int nPort)
{
    Serial_SetCallback(USB_SERIAL_PORT, SerialCallback, nullptr);
    SERIAL_OPEN_PARAM param;
    param.nPort = nPort;
    param.lBaudRate = USBFUNC_BAUD_RATE;
    param.nCharBits = USBFUNC_CHAR_BITS;
    param.nStopBit = USBFUNC_STOP_BITS;
    param.cParity = USBFUNC_PARITY;
    if (!Serial_Open(USB_SERIAL_PORT, &param)) {
        DebugPrint("WARNING: Serial_Open(%d) failed\n", nPort);
        return FALSE;
    }
    return TRUE;
}

void USBFUNC_Close()
{
    Serial_Close(USB_SERIAL_PORT);
}

void USBFUNC_Destruct()
{
    Serial_Close(USB_SERIAL_PORT);
}

void USBFUNC_SetCallback(USBFUNC_CALLBACK pfnCallback, LPVOID pParam)
{
    Lock(&s_mtxCallback);
    s_pfnCallback = pfnCallback;
    s_pParam = pParam;
    Unlock(&s_mtxCallback);
}

void USBFUNC_OnIdle()
{
    if (s_bRemoved.exchange(FALSE)) {
        RaiseEvent(USBFUNC_EVENT_DETACH, nullptr, 0);
    }
}

BOOL USBFUNC_Send(const BYTE* pData, int nLength)
{
    if (nLength == 0) {
        return TRUE;
    }
    if (pData == nullptr || nLength < 0 || s_bRemoved.load() || !Serial_IsOpened(USB_SERIAL_PORT)) {
        return FALSE;
    }
    int done = 0;
    while (done < nLength) {
        int room = WaitForTxSpace();
        if (room <= 0) {
            return FALSE;
        }
        int chunk = nLength - done < room ? nLength - done : room;
        // Another sender may have taken some of the space: advance by what was taken.
        int accepted = Serial_Send(USB_SERIAL_PORT, pData + done, chunk);
        if (accepted <= 0) {
            DebugPrint("WARNING: Serial_Send (USB_SERIAL_PORT) failed\n");
            return FALSE;
        }
        done += accepted;
        if (done < nLength && s_bRemoved.load()) {
            return FALSE;
        }
    }
    return TRUE;
}

LPVOID USBFUNC_GetHandle()
{
    return reinterpret_cast<LPVOID>(USBFUNC_PSEUDO_HANDLE);
}

BOOL USBFUNC_IsHandle(LPVOID handle)
{
    return reinterpret_cast<uintptr_t>(handle) == USBFUNC_PSEUDO_HANDLE ? TRUE : FALSE;
}

BOOL USBFUNC_IsTxBusy()
{
    return FALSE;
}

BOOL USBFUNC_IsAttached()
{
    return TRUE;
}

void USBFUNC_RxAck()
{
}
