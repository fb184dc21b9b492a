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

void LOG_Init();
void LOG_Exit();
// Opens (or creates) the ring of dwLogSize bytes and finds the write position.
BOOL LOG_Open(const char* pszPath, DWORD dwLogSize);
void LOG_Close();
// Stores one text; a length of 0 succeeds without writing.
BOOL LOG_Write(const SYSTEMTIME* pTime, const char* pData, int nLength);
// One record, newest first (bFirst) or before *pdwPtr: its data as hex digits
// in pszData (terminated), its time and kind. Returns the digits, 0 at the end.
int LOG_Get(SYSTEMTIME* pTime, char* pszData, int nMaxLength, BOOL bFirst, DWORD* pdwPtr, DWORD* pdwFlag);
void LOG_GetSize(DWORD* pdwLogSize, DWORD* pdwFileSize, DWORD* pdwRecSize);
