// helpers: string and memory routines and the bounded formatter (see helpers.h
// for where they differ from the C library).
#include "helpers.h"

#include <cstdio>
#include <cstring>

namespace {

int FoldCase(int c)
{
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

}  // namespace

char* _strcpy(char* dst, const char* src)
{
    return std::strcpy(dst, src);
}

char* _strncpy(char* dst, const char* src, size_t n)
{
    size_t i = 0;
    for (; i < n && src[i] != '\0'; ++i) {
        dst[i] = src[i];
    }
    if (i < n) {
        dst[i] = '\0';
    }
    return dst;
}

size_t _strlcpy(char* dst, const char* src, size_t size)
{
    if (size == 0) {
        return 0;
    }
    size_t i = 0;
    for (; i + 1 < size && src[i] != '\0'; ++i) {
        dst[i] = src[i];
    }
    dst[i] = '\0';
    return i;
}

char* _strcat(char* dst, const char* src)
{
    return std::strcat(dst, src);
}

char* _strchr(const char* s, int c)
{
    if (c == '\0' || s[0] == '\0') {
        return nullptr;
    }
    return const_cast<char*>(std::strchr(s, c));
}

char* _strrchr(const char* s, int c)
{
    if (c == '\0' || s[0] == '\0') {
        return nullptr;
    }
    return const_cast<char*>(std::strrchr(s, c));
}

int _strcmp(const char* a, const char* b)
{
    return std::strcmp(a, b);
}

int _strncmp(const char* a, const char* b, size_t n)
{
    return std::strncmp(a, b, n);
}

int __stricmp(const char* a, const char* b)
{
    return __strnicmp(a, b, static_cast<size_t>(-1));
}

int __strnicmp(const char* a, const char* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        int ca = FoldCase(static_cast<unsigned char>(a[i]));
        int cb = FoldCase(static_cast<unsigned char>(b[i]));
        if (ca != cb) {
            return ca - cb;
        }
        if (ca == '\0') {
            return 0;
        }
    }
    return 0;
}

void* _memcpy(void* dst, const void* src, size_t n)
{
    return std::memcpy(dst, src, n);
}

void* _memset(void* dst, int c, size_t n)
{
    return std::memset(dst, c, n);
}

int _memcmp(const void* a, const void* b, size_t n)
{
    return std::memcmp(a, b, n);
}

size_t _strlen(const char* s)
{
    return std::strlen(s);
}

int _vsnprintf(char* buf, size_t size, const char* format, va_list args)
{
    if (buf == nullptr || size == 0) {
        return 0;
    }
    int n = std::vsnprintf(buf, size, format, args);
    if (n < 0) {
        buf[0] = '\0';
        return 0;
    }
    // What was written, not what would have been: callers advance by it.
    return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}

int _snprintf(char* buf, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(buf, size, format, args);
    va_end(args);
    return n;
}
