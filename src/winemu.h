// winemu: the Windows-style runtime every module of the daemon is written
// against — integer and flag types, threads, non-recursive locks, events with
// manual or automatic reset, the millisecond tick counter, sleeps and calendar
// time — implemented on POSIX threads and clocks.
//
// Semantics kept on purpose (callers pace themselves by them):
//  - a bounded WaitForSingleObject on an event polls every 20 ms, so it
//    notices SetEvent late by up to 20 ms and overshoots its time-out by up to
//    20 ms; an INFINITE wait sleeps on a condition variable;
//  - a wait on a thread always joins it, whatever the time-out;
//  - locks are not recursive;
//  - SIGUSR1 (sent by _CancelThread) ends a Sleep or a select early.
//
// Time: GetTickCount is the raw monotonic clock plus an offset that only tests
// move (WinEmu_AdvanceTicksForTest), so a test of a long time-out jumps the
// clock instead of waiting.
//
// Threads: every operation may be called from any thread. An event's flag is
// read and written only under the event's own mutex.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef int BOOL;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef void* LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

struct tagHANDLE_PARAM;
typedef tagHANDLE_PARAM* HANDLE;

// A lock is a slot holding the address of its record.
typedef HANDLE CRITICAL_SECTION;
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID);

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD INFINITE = 0xFFFFFFFFu;

// Calendar time, eight 16-bit fields in this order.
struct _SYSTEMTIME {
    WORD wYear;  // full year, e.g. 2017
    WORD wMonth;  // 1..12
    WORD wDayOfWeek;  // 0 = Sunday
    WORD wDay;  // 1..31
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
typedef _SYSTEMTIME SYSTEMTIME;

// 100-ns intervals since 1601-01-01 00:00, low word first.
struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
typedef _FILETIME FILETIME;

// Prepares the thread attribute template and installs the SIGUSR1 handler.
BOOL WinEmu_Init();

// Suspends the calling thread; SIGUSR1 ends the sleep early.
void Sleep(DWORD dwMilliseconds);
// Milliseconds of the raw monotonic clock (plus the test offset), 32 bits.
DWORD GetTickCount();
// A tick is one millisecond.
DWORD _TickToMsec(DWORD ticks);

// Test clock seam: moves GetTickCount forward (or, with a wrapped value,
// anywhere) for the whole process. Never called by the daemon itself.
void WinEmu_AdvanceTicksForTest(DWORD ms);
// Test seam: how many threads are now in a bounded wait with this
// time-out, counted from when the wait has taken its start time. A test that
// sees one before it moves the clock knows the move counts for that wait.
int WinEmu_BoundedWaitsForTest(DWORD dwMilliseconds);
// A wait of another module that runs out on GetTickCount (a socket wait, a
// protocol exchange) notes its time-out from the moment it has taken its
// start tick until it returns, so WinEmu_BoundedWaitsForTest counts it too.
// Begun gives a slot (-1 when all are taken: the wait goes unseen); Ended
// frees it and takes -1.
int WinEmu_TimedWaitBegun(DWORD dwMilliseconds);
void WinEmu_TimedWaitEnded(int nSlot);

void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);

// Starts start(parameter) at once; stack size 0 uses the system default.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attr, DWORD dwStackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD dwCreationFlags, LPDWORD pThreadId);
// Joins a thread that was not yet joined, destroys locks and events, frees the record.
BOOL CloseHandle(HANDLE h);

HANDLE CreateEvent(LPSECURITY_ATTRIBUTES attr, BOOL bManualReset, BOOL bInitialState, const char* name);
BOOL SetEvent(HANDLE h);
BOOL ResetEvent(HANDLE h);
// WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED; see the header comment.
DWORD WaitForSingleObject(HANDLE h, DWORD dwMilliseconds);
// Every thread runs with default scheduling: does nothing, returns TRUE.
BOOL SetThreadPriority(HANDLE h, int priority);
// Sends SIGUSR1 to a thread that was not yet joined.
void _CancelThread(HANDLE h);

// Local calendar time, whole seconds (wMilliseconds is always 0).
void GetLocalTime(SYSTEMTIME* pTime);
// Sets the wall clock from local calendar time; on a simulated board the
// request is only recorded in the board's command log.
BOOL SetLocalTime(const SYSTEMTIME* pTime);
// Calendar fields to 100-ns intervals since 1601 without any time-zone shift.
BOOL SystemTimeToFileTime(const SYSTEMTIME* pTime, FILETIME* pFileTime);
