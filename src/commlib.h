// commlib: the serial port driver. It opens a terminal device of the board in
// raw mode, runs one receive thread per open device that blocks in read() and
// fills a 2048-byte ring, and writes blocks synchronously. Two slots (0, 1).
// It also holds the byte-ring copy routines that the channel layer (serial)
// uses for its own rings.
//
// Threads: CreateCommPort, DestroyCommPort and InstallNotifyProc are called by
// the slot's owner; the receive thread calls the notification procedure
// (without holding any driver lock), and ReadCommBlock is normally called from
// there; WriteCommBlock is called by one writer thread (the channel's transmit
// thread). Locks: mtxCallback guards the notification procedure, mtxBuff the
// ring; neither is held while calling out. The write lock is held for the
// length of one device write and lets DestroyCommPort cut short a write that
// the device does not accept.
//
// Closing: the descriptor is swapped for a dead one (reads see end of file,
// writes fail at once) and the cancel signal (SIGUSR1) interrupts a blocked
// read or write, whose restart then ends at once; only after both threads are
// out is the descriptor number released, so a restart can never land on a
// descriptor that something else opened meanwhile. WinEmu_Init must have
// installed the signal's handler.
#pragma once

#include "winemu.h"

constexpr int COMM_PORT_MAX = 2;  // driver slots
constexpr int COMM_RX_BUFF_SIZE = 2048;  // the driver's receive ring
constexpr int COMM_READ_SIZE = 256;  // bytes asked for by one read()

// Notification events of the driver.
constexpr DWORD COMM_NOTIFY_RXDATA = 1;  // bytes were added to the driver's ring
constexpr DWORD COMM_NOTIFY_ERROR = 0x80;  // the read failed (device gone)

typedef void (*COMMNFYPROC)(int nSlot, DWORD dwEvent);

// Clears both slots (none may be open).
void CommLib_Init();
// Opens "/dev/ttymxc%d" (nCommPort 1..999 -> n - 1) or "/dev/ttyGS%d"
// (1000 and above -> n - 1000) below the board root and starts its receive
// thread; the slot number, or -1.
int CreateCommPort(int nCommPort, long lBaudRate, int nByteSize, char cParity, int nStopBits, BOOL bXon,
                   BOOL bDTRDSR, BOOL bRTSCTS);
// Closes the device, ends its receive thread and any write in progress. TRUE.
BOOL DestroyCommPort(int nSlot);
// Moves up to size bytes out of the driver's ring; the count.
int ReadCommBlock(int nSlot, BYTE* pBuf, int nSize);
// One blocking write of len bytes; TRUE only if all of them were written.
BOOL WriteCommBlock(int nSlot, const void* pBuf, int nLen);
// Sets the slot's notification procedure (pParam and dwParam are not used).
BOOL InstallNotifyProc(int nSlot, LPVOID pParam, DWORD dwParam, COMMNFYPROC proc);

// The device number's board path ("/dev/ttymxc0", "/dev/ttyGS0", ...).
void CommLib_DevicePath(int nCommPort, char* pszOut, int nOutSize);

// Test seam: told the length of every device write (null: nobody).
typedef void (*COMM_WRITE_OBSERVER)(int nSlot, int nLen);
void CommLib_SetWriteObserverForTest(COMM_WRITE_OBSERVER observer);

// Byte rings: nSize bytes of storage, *pnLen bytes held from index *pnRead,
// the next byte goes to *pnWrite. The caller holds the ring's lock and never
// puts more than the free space nor takes more than *pnLen.
void CommRing_Put(BYTE* pbyRing, int nSize, int* pnLen, int* pnWrite, const BYTE* pSrc, int n);
void CommRing_Get(const BYTE* pbyRing, int nSize, int* pnLen, int* pnRead, BYTE* pDst, int n);
