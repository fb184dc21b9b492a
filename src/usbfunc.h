// usbfunc: the board's USB device port as a serial port. It loads the USB
// gadget serial driver, opens the gadget's tty as serial channel 1, hands
// received bytes to one registered callback, sends with a bounded wait for
// transmit space, and tells its owner, from the owner's idle step, that the
// port has failed so that the owner can close and reopen it.
//
// Threads: received bytes reach the callback on the channel's receive thread
// (under the channel's csCallback); a failure reaches it only on the thread
// that calls USBFUNC_OnIdle. USBFUNC_Send may be called from any thread and
// may block its caller for about 10 s. The callback must never close or
// reopen the port itself. The callback and its parameter are set together
// under a lock that is never held while the callback runs; the failure flag
// is an atomic word. The owner clears the callback before closing the port
// and sets it before opening it.
#pragma once

#include "winemu.h"

// The USB identity the gadget presents. 0x1209 is the open vendor number
// pool whose product number 0x0001 is set aside for private testing: it can
// never clash with a shipped product. A unit sold in numbers needs numbers
// assigned to it; the host's driver binds by the CDC ACM class, not by them.
constexpr WORD USBFUNC_VENDOR_ID = 0x1209;
constexpr WORD USBFUNC_PRODUCT_ID = 0x0001;
constexpr const char* USBFUNC_PRODUCT_NAME = "KOVA-LAN";
constexpr const char* USBFUNC_MANUFACTURER_NAME = "Varnoth Denki";

constexpr int USB_SERIAL_PORT = 1;  // the serial channel of the USB port
constexpr long USBFUNC_BAUD_RATE = 9600;
constexpr int USBFUNC_RX_BLOCK = 256;  // bytes per USBFUNC_EVENT_RX at most
constexpr DWORD USBFUNC_SEND_POLL_MS = 10;  // step of the wait for transmit space
constexpr DWORD USBFUNC_SEND_WAIT_MS = 9999;  // longest wait without space

// Callback events; only RX and DETACH are raised.
constexpr DWORD USBFUNC_EVENT_NONE = 0;
constexpr DWORD USBFUNC_EVENT_RX = 1;  // data and length carry received bytes
constexpr DWORD USBFUNC_EVENT_TX = 2;
constexpr DWORD USBFUNC_EVENT_ATTACH = 3;
constexpr DWORD USBFUNC_EVENT_DETACH = 4;  // the port failed; data null, length 0
constexpr DWORD USBFUNC_EVENT_OPEN = 5;
constexpr DWORD USBFUNC_EVENT_CLOSE = 6;

typedef void (*USBFUNC_CALLBACK)(DWORD dwEvent, BYTE* pData, int nLength, LPVOID pParam);

// Clears the callback and the failure flag.
void USBFUNC_Construct();
// Loads the gadget serial driver through the board's shell; always TRUE.
BOOL USBFUNC_Init();
// Opens serial channel 1 on device number nPort at 9600 baud, 8N1.
BOOL USBFUNC_Open(int nPort);
// Closes serial channel 1.
void USBFUNC_Close();
// Closes serial channel 1.
void USBFUNC_Destruct();
// Sets the callback and its parameter (null: received bytes are dropped).
void USBFUNC_SetCallback(USBFUNC_CALLBACK pfnCallback, LPVOID pParam);
// Delivers a pending port failure as USBFUNC_EVENT_DETACH, once.
void USBFUNC_OnIdle();
// Hands all bytes to the channel, waiting up to about 10 s for space; FALSE
// when the port has failed, is closed, or stays full.
BOOL USBFUNC_Send(const BYTE* pData, int nLength);
// The pseudo client handle of the USB port (1) and its test.
LPVOID USBFUNC_GetHandle();
BOOL USBFUNC_IsHandle(LPVOID handle);
// Constant answers: never busy, always attached, nothing to acknowledge.
BOOL USBFUNC_IsTxBusy();
BOOL USBFUNC_IsAttached();
void USBFUNC_RxAck();
