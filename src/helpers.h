// helpers: the daemon's string and memory routines and its bounded printf-style
// formatter. They behave like the C library's routines of the same name except:
//  - _strncpy copies at most n characters and writes one terminator only when
//    the source ended before n; it never pads;
//  - _strchr and _strrchr return null for the zero character and an empty text;
//  - __stricmp and __strnicmp fold 'A'-'Z' to lower case before comparing;
//  - _sprintf and _vsprintf never write past their destination: the array
//    forms take its size from the array, the pointer forms are told it. They
//    return the number of characters actually written (without terminator).
// Stateless; callable from any thread.
#pragma once

#include <cstdarg>
#include <cstddef>

char* _strcpy(char* dst, const char* src);
char* _strncpy(char* dst, const char* src, size_t n);
// Copies at most size - 1 characters and always terminates (size > 0).
size_t _strlcpy(char* dst, const char* src, size_t size);
char* _strcat(char* dst, const char* src);
char* _strchr(const char* s, int c);
char* _strrchr(const char* s, int c);
int _strcmp(const char* a, const char* b);
int _strncmp(const char* a, const char* b, size_t n);
int __stricmp(const char* a, const char* b);
int __strnicmp(const char* a, const char* b, size_t n);
void* _memcpy(void* dst, const void* src, size_t n);
void* _memset(void* dst, int c, size_t n);
int _memcmp(const void* a, const void* b, size_t n);
size_t _strlen(const char* s);

int _snprintf(char* buf, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
int _vsnprintf(char* buf, size_t size, const char* format, va_list args) __attribute__((format(printf, 3, 0)));

template <size_t N>
__attribute__((format(printf, 2, 3))) int _sprintf(char (&buf)[N], const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(buf, N, format, args);
    va_end(args);
    return n;
}

template <size_t N>
__attribute__((format(printf, 2, 0))) int _vsprintf(char (&buf)[N], const char* format, va_list args)
{
    return _vsnprintf(buf, N, format, args);
}
