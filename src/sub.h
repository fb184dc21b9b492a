// sub: small file-system helpers and the additive checksum that stored
// records and several serial frames carry. Callable from any thread.
//
// Files the unit must keep across a power cut (settings, ring log, recordings)
// are opened with OpenFile, flushed with FlushFile and renamed with
// RenameFile. A test can install a file trace: the writes those streams hand
// to the operating system, the flushes to the device and the renames are then
// reported in the order they happen, so that the test can rebuild the files as
// a power cut at any point would leave them. Without a trace these are plain
// stdio and system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "winemu.h"

// Creates one directory (mode 0755); TRUE if it exists afterwards.
BOOL MakeDirectory(const char* path);
// TRUE if the path names an existing file or directory.
BOOL IsFileExist(const char* path);
// Flushes the stream and forces its data to the storage device.
BOOL FlushFile(FILE* fp);
// Sum of the bytes modulo 256.
BYTE CalcCheckSum(const void* data, int len);
// Copies path to out with the text after its last '.' replaced by ext
// (which carries its own dot). out holds outSize bytes; the result is cut to fit.
void ChangeFileExt(char* out, int outSize, const char* path, const char* ext);

// Opens a file like fopen; a stream that can write is traced while a trace is set.
FILE* OpenFile(const char* path, const char* mode);
// Renames from to to (replacing to) and forces the folder's entries to the
// device, so that the new name survives a power cut; TRUE if both succeed.
BOOL RenameFile(const char* from, const char* to);

// One operation a file trace is told about. Paths are as the file was opened.
enum class FILE_OP_KIND {
    CREATE,    // path opened empty: created, or cut to zero length
    WRITE,     // len bytes at offset handed to the operating system (not yet on the device)
    SYNC,      // the file's data forced to the device
    RENAME,    // path renamed to path2
    SYNC_DIR,  // the entries of folder path forced to the device
};
struct FILE_OP {
    FILE_OP_KIND kind;
    const char* path;
    const char* path2;
    uint64_t offset;
    const BYTE* data;
    size_t len;
};
typedef void (*FILE_TRACE_FN)(void* pCtx, const FILE_OP& op);
// Installs a trace (null: none). Streams opened while it is set report to it
// for as long as they live; set and clear it while no such stream is in use.
void SetFileTrace(FILE_TRACE_FN pfn, void* pCtx);
