// util: parsing and conversion of command, configuration and protocol text —
// in-place tokenising and trimming, fixed-length decimal and hexadecimal
// fields, dotted IPv4 and colon-separated MAC addresses, hex byte strings —
// and the plain mutex wrappers the serial layer uses. Nothing here allocates;
// every routine works in buffers the caller owns. Stateless; any thread.
//
// An IPv4 address is a DWORD whose most significant byte is the first number
// of the dotted form (1.2.3.4 is 0x01020304). Fixed-length numeric text has no
// terminator, is zero-padded on the left, and hex digits are written in upper
// case and read in either case.
#pragma once

#include <pthread.h>

#include "winemu.h"

// Big-endian (most significant byte first) fields of files and frames, built
// from shifts so every board writes the same bytes.
inline WORD GetBE16(const BYTE* p)
{
    return static_cast<WORD>((p[0] << 8) | p[1]);
}
inline DWORD GetBE32(const BYTE* p)
{
    return (static_cast<DWORD>(p[0]) << 24) | (static_cast<DWORD>(p[1]) << 16) | (static_cast<DWORD>(p[2]) << 8) |
           static_cast<DWORD>(p[3]);
}
inline void PutBE16(BYTE* p, DWORD value)
{
    p[0] = static_cast<BYTE>(value >> 8);
    p[1] = static_cast<BYTE>(value);
}
inline void PutBE32(BYTE* p, DWORD value)
{
    p[0] = static_cast<BYTE>(value >> 24);
    p[1] = static_cast<BYTE>(value >> 16);
    p[2] = static_cast<BYTE>(value >> 8);
    p[3] = static_cast<BYTE>(value);
}

// A blank is a space or a horizontal tab.
inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Next token of *ppNext split at any of delimiters (not inside double
// quotes, which stay in the token); null once the text is exhausted.
char* str_token(char** ppNext, const char* delimiters);
// First non-blank character; trailing blanks are cut off in place.
char* str_trim(char* s);
// Deletes every '"' in place.
void str_remove_quotation(char* s);
// Text a peer sent, made safe to store in the configuration file and to echo
// in a command reply, both of which hold it inside double quotes: at most n
// characters of in (up to its first NUL) to out, which holds n + 1, each
// byte outside printable ASCII (control bytes, line ends, escape sequences)
// and each of '"' ';' '\\' becoming STR_SAFE_FILL. A comma stays: inside
// the quotes it separates nothing. TRUE when nothing was replaced.
constexpr char STR_SAFE_FILL = '?';
BOOL str_safe_text(char* out, const char* in, int n);

// Exactly len decimal (hex) digits to a value; FALSE and out untouched on a
// bad digit. len <= 0 gives 0.
BOOL decstr2dword(const char* s, int len, DWORD* out);
BOOL hexstr2dword(const char* s, int len, DWORD* out);
// Exactly len digits, zero-padded, higher digits dropped; no terminator.
void dword2decstr(DWORD value, char* buf, int len);
void dword2hexstr(DWORD value, char* buf, int len);

BOOL ascii2bin(char c, BYTE* out);
BOOL ascii2tobin(const char* two, BYTE* out);
void bin2ascii(BYTE value, char* out);
void bin2ascii2(BYTE value, char* out);
// len bytes as 2 * len upper-case hex digits; bytes2str adds a terminator.
void bytes2fixstr(char* out, const BYTE* in, int len);
void bytes2str(char* out, const BYTE* in, int len);
// 2 * len hex digits to len bytes; FALSE at the first bad pair (earlier bytes stay).
BOOL str2bytes(const char* s, BYTE* out, int len);
BOOL is_bytes_zero(const BYTE* data, int len);

// "a.b.c.d", each group 1-3 digits below 256, nothing else.
BOOL str2ipadrs(const char* s, DWORD* out);
// Six groups of two hex digits separated by ':' (one trailing ':' tolerated).
BOOL str2macadrs(const char* s, BYTE mac[6]);

BOOL Lock(pthread_mutex_t* mutex);
BOOL Unlock(pthread_mutex_t* mutex);
