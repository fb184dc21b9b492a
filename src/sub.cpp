// sub: directory creation, existence checks, flushing to the storage device,
// the additive checksum and file extension changes.
#include "sub.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "helpers.h"

BOOL MakeDirectory(const char* path)
{
    if (mkdir(path, 0755) == 0) {
        return TRUE;
    }
    if (errno != EEXIST) {
        return FALSE;
    }
    struct stat st;
    return (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) ? TRUE : FALSE;
}

BOOL IsFileExist(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? TRUE : FALSE;
}

BOOL FlushFile(FILE* fp)
{
    if (fp == nullptr || fflush(fp) != 0) {
        return FALSE;
    }
    return fdatasync(fileno(fp)) == 0 ? TRUE : FALSE;
}

BYTE CalcCheckSum(const void* data, int len)
{
    const BYTE* p = static_cast<const BYTE*>(data);
    BYTE sum = 0;
    for (int i = 0; i < len; ++i) {
        sum = static_cast<BYTE>(sum + p[i]);
    }
    return sum;
}

void ChangeFileExt(char* out, int outSize, const char* path, const char* ext)
{
    if (outSize < 1) {
        return;
    }
    size_t size = static_cast<size_t>(outSize);
    // The stem ends at the path's own last dot: a copy already cut to fit
    // could end before it and expose a dot of a directory name instead.
    const char* dot = std::strrchr(path, '.');
    size_t stem = dot != nullptr ? static_cast<size_t>(dot - path) : std::strlen(path);
    if (stem > size - 1) {
        stem = size - 1;
    }
    _strlcpy(out, path, stem + 1);
    _strlcpy(out + stem, ext, size - stem);
}
