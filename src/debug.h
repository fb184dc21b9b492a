// debug: the daemon's diagnostic output. DebugPrint writes a time-stamped line
// to the standard output; DebugLog does the same and, for enabled categories,
// hands a copy through a 64-record queue to the log thread, which stores it in
// the ring log file (module log). DebugDump prints bytes as a hex dump.
//
// Threads: the print calls may be used from any thread; each line (each dump
// row) is written whole under the output lock. Only the log thread calls the
// ring log writer, so a caller never waits on file output — except when the
// queue is full, where DebugLog waits in 1 ms steps for a free record rather
// than lose the line (it gives up once logging is disabled or stopping).
// Locks: the output lock is innermost; the queue lock is held only for copies.
#pragma once

#include <cstdarg>

#include "winemu.h"

// Log categories (the mask argument of DebugLog).
constexpr DWORD LOG_CAT_INFO = 0x0001;  // lines beginning "[I] "
constexpr DWORD LOG_CAT_WARNING = 0x0004;  // lines beginning "[W] "
constexpr DWORD LOG_CAT_RADIO = 0x0100;  // radio serial trace
constexpr DWORD LOG_CAT_PEER = 0x0200;  // peer link trace
constexpr DWORD LOG_CAT_DIRECTORY = 0x0400;  // directory client trace

// A printed line is at most this many characters (prefix included).
constexpr int DEBUG_LINE_MAX = 519;
// A log-file copy keeps at most this many characters of text.
constexpr int DEBUG_LOG_TEXT_MAX = 512;

// Starts the log thread and its queue; until then nothing is printed.
BOOL InitDebugPrint();
// Stops the log thread after it has stored every queued record.
void FreeDebugPrint();
// Opens the ring log file; copies are queued from then on.
BOOL OpenLogFile(const char* pszPath, DWORD dwSize);
// Stops queuing copies and closes the ring log file.
void CloseLogFile();
// Enables or disables copies to the file and sets the category mask.
void SetLogFlag(BOOL bEnable, DWORD dwFlag);

void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugLog(DWORD dwMask, const char* format, ...) __attribute__((format(printf, 2, 3)));
void DebugDump(const char* caption, const void* data, int len);

// Moves one queued record to the ring log file; FALSE when none was written.
BOOL WriteLog();

// Test seam: the function the log thread hands records to (LOG_Write when null).
typedef BOOL (*DEBUG_LOG_WRITER)(const SYSTEMTIME* pTime, const char* pData, int nLength);
void Debug_SetLogWriterForTest(DEBUG_LOG_WRITER writer);
