// log: the ring log file, a fixed-size ring of 64-byte records kept on the
// board's storage and mirrored in memory. Each record write is preceded by a
// 70-byte journal of it (the log file's name with ".lbk"), so a record torn by
// power loss is repaired at the next open. Texts longer than one record run
// over consecutive records. Readers walk the ring newest record first.
//
// Threads: the debug output's log thread is the only writer; command handlers
// read. Every operation takes the module's lock; nothing else is locked here.
#pragma once

#include "winemu.h"

constexpr DWORD LOG_RECORD_SIZE = 64;
constexpr int LOG_RECORD_DATA_MAX = 52;
constexpr DWORD LOG_JOURNAL_SIZE = 70;

// Kinds reported by LOG_Get.
constexpr DWORD LOG_KIND_WRITTEN = 2;  // the record carries its written mark
constexpr DWORD LOG_KIND_FIRST = 1;  // the record starts a text

// Prepares the module's lock; the store starts closed.
void LOG_Init();
// Closes the store and removes the lock.
void LOG_Exit();
// Opens (or creates) the ring of dwLogSize bytes (a non-zero multiple of 64)
// and finds the write position; an open store is closed first.
BOOL LOG_Open(const char* pszPath, DWORD dwLogSize);
// Closes both files and frees the image; the sizes stay readable.
void LOG_Close();
// Stores one text; a length of 0 succeeds without writing. Fails while the
// store is closed; a failed file write closes it.
BOOL LOG_Write(const SYSTEMTIME* pTime, const char* pData, int nLength);
// One record, newest first (bFirst) or before *pdwPtr: its data as hex digits
// in pszData (terminated, at most nMaxLength characters with the terminator),
// its time and kind. Returns the digits, 0 at the end.
int LOG_Get(SYSTEMTIME* pTime, char* pszData, int nMaxLength, BOOL bFirst, DWORD* pdwPtr, DWORD* pdwFlag);
// Capacity, bytes of the ring in the file, and the record size 64.
void LOG_GetSize(DWORD* pdwLogSize, DWORD* pdwFileSize, DWORD* pdwRecSize);
