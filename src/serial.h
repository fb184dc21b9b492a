// serial: the serial channel layer. Two numbered channels (0: the radio's
// UART, 1: the USB gadget port) sit on driver slots of commlib. Each channel
// has a 22 944-byte receive ring, a 91 776-byte transmit ring drained by its
// own transmit thread in device writes of at most 1434 bytes, and a callback
// that is told when bytes have arrived or the device has failed.
//
// Threads: any thread may send, receive and query. The callback runs on the
// driver's receive thread of the channel's device, under the channel's
// csCallback, and may call Serial_Receive. Channels are opened and closed
// from one thread (the owner's), never from their own callback: closing
// joins the receive thread the callback runs on.
//
// Locks: csPort (rings, counters, nCommID) and csCallback (callback and its
// parameter, held while it runs). csCallback is never taken while csPort is
// held. hEvSend is a manual-reset event, set while the transmit ring holds
// bytes.
//
// Receive ring full: arriving bytes that do not fit are dropped and the bytes
// already in the ring are kept, so a reader resumes exactly where it stopped;
// one "WARNING: " line reports each burst, which ends when the ring has been
// emptied.
#pragma once

#include "winemu.h"

constexpr int SERIAL_CHANNEL_MAX = 2;
constexpr int SERIAL_BLOCK_SIZE = 1434;  // largest device write and ring transfer
constexpr int SERIAL_RX_BUFF_SIZE = 22944;  // 16 blocks
constexpr int SERIAL_TX_BUFF_SIZE = 91776;  // 64 blocks

// Callback events.
constexpr DWORD SERIAL_EVENT_RECEIVE = 0;  // bytes were added to the receive ring
constexpr DWORD SERIAL_EVENT_DISC = 1;  // the device failed; the channel stays open until closed

typedef void (*SERIAL_CALLBACK)(int nChannel, DWORD dwEvent, LPVOID pParam);

struct tagSERIAL_OPEN_PARAM {
    int nPort;  // device number: 1..999 UART n - 1, 1000 and above gadget tty n - 1000
    long lBaudRate;  // 2400 ... 230400; any other value gives 1200
    int nCharBits;  // 7, else 8
    int nStopBit;  // 2, else 1
    char cParity;  // 'E'/'e' even, 'O'/'o' odd, else none
};
typedef tagSERIAL_OPEN_PARAM SERIAL_OPEN_PARAM;

// Clears both channels and creates their locks.
void Serial_Construct();
// Creates the transmit events; FALSE on failure.
BOOL Serial_Init();
// Opens the channel's device and starts its transmit thread.
BOOL Serial_Open(int nChannel, const SERIAL_OPEN_PARAM* pParam);
// Stops the transmit thread and closes the device; unsent bytes are dropped.
void Serial_Close(int nChannel);
// Closes both channels and frees what Construct and Init made.
void Serial_Destruct();
BOOL Serial_IsOpened(int nChannel);
// Sets the channel's callback; allowed before Serial_Open.
BOOL Serial_SetCallback(int nChannel, SERIAL_CALLBACK pCallback, LPVOID pParam);
// Queues min(len, free space) bytes for sending; never blocks; the count.
int Serial_Send(int nChannel, const BYTE* pData, int nLen);
// Takes up to size received bytes; the count (0: nothing there).
int Serial_Receive(int nChannel, BYTE* pBuf, int nSize);
// Bytes in the receive ring.
int Serial_GetInQueueSize(int nChannel);
// Bytes in the transmit ring.
int Serial_GetOutQueueSize(int nChannel);
// Free bytes of the transmit ring.
int Serial_GetOutRemainSize(int nChannel);
