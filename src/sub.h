// sub: small file-system helpers and the additive checksum that stored
// records and several serial frames carry. Stateless; callable from any thread.
#pragma once

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
