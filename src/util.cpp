// util: tokenising, trimming and the fixed-length, address and hex-string
// conversions of command, configuration and protocol text (see util.h).
#include "util.h"

#include <cstring>

#include "debug.h"

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

bool IsDelimiter(char c, const char* delimiters)
{
    return c != '\0' && std::strchr(delimiters, c) != nullptr;
}

bool DecimalDigit(char c, DWORD* value)
{
    if (c < '0' || c > '9') {
        return false;
    }
    *value = static_cast<DWORD>(c - '0');
    return true;
}

// Reads one run of 1-3 decimal digits below 256 at *pp and advances past it.
bool ReadAddressGroup(const char** pp, DWORD* group)
{
    const char* p = *pp;
    DWORD value = 0;
    int digits = 0;
    DWORD digit = 0;
    while (DecimalDigit(*p, &digit)) {
        if (++digits > 3) {
            return false;
        }
        value = value * 10 + digit;
        ++p;
    }
    if (digits == 0 || value > 255) {
        return false;
    }
    *group = value;
    *pp = p;
    return true;
}

}  // namespace

char* str_token(char** ppNext, const char* delimiters)
{
    if (ppNext == nullptr || *ppNext == nullptr) {
        return nullptr;
    }
    char* p = *ppNext;
    while (IsDelimiter(*p, delimiters)) {
        ++p;
    }
    char* start = p;
    bool quoted = false;
    for (; *p != '\0'; ++p) {
        if (*p == '"') {
            quoted = !quoted;
        } else if (!quoted && IsDelimiter(*p, delimiters)) {
            *p = '\0';
            *ppNext = p + 1;
            return *start != '\0' ? start : nullptr;
        }
    }
    *ppNext = p;
    return *start != '\0' ? start : nullptr;
}

char* str_trim(char* s)
{
    if (s == nullptr) {
        return nullptr;
    }
    while (is_blank(*s)) {
        ++s;
    }
    char* trailing = nullptr;
    for (char* p = s; *p != '\0'; ++p) {
        if (is_blank(*p)) {
            if (trailing == nullptr) {
                trailing = p;
            }
        } else {
            trailing = nullptr;
        }
    }
    if (trailing != nullptr) {
        *trailing = '\0';
    }
    return s;
}

void str_remove_quotation(char* s)
{
    char* out = s;
    for (char* p = s; *p != '\0'; ++p) {
        if (*p != '"') {
            *out++ = *p;
        }
    }
    *out = '\0';
}

BOOL str_safe_text(char* out, const char* in, int n)
{
    BOOL bClean = TRUE;
    int i = 0;
    for (; i < n && in[i] != '\0'; ++i) {
        char c = in[i];
        bool bSafe = c >= 0x20 && c <= 0x7E && c != '"' && c != ';' && c != '\\';
        out[i] = bSafe ? c : STR_SAFE_FILL;
        bClean = bSafe ? bClean : FALSE;
    }
    out[i] = '\0';
    return bClean;
}

BOOL decstr2dword(const char* s, int len, DWORD* out)
{
    DWORD value = 0;
    for (int i = 0; i < len; ++i) {
        DWORD digit = 0;
        if (!DecimalDigit(s[i], &digit)) {
            return FALSE;
        }
        value = value * 10 + digit;
    }
    *out = value;
    return TRUE;
}

BOOL hexstr2dword(const char* s, int len, DWORD* out)
{
    DWORD value = 0;
    for (int i = 0; i < len; ++i) {
        BYTE nibble = 0;
        if (!ascii2bin(s[i], &nibble)) {
            return FALSE;
        }
        value = (value << 4) | nibble;
    }
    *out = value;
    return TRUE;
}

void dword2decstr(DWORD value, char* buf, int len)
{
    for (int i = len - 1; i >= 0; --i) {
        buf[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

void dword2hexstr(DWORD value, char* buf, int len)
{
    for (int i = len - 1; i >= 0; --i) {
        buf[i] = kHexDigits[value & 0x0F];
        value >>= 4;
    }
}

BOOL ascii2bin(char c, BYTE* out)
{
    if (c >= '0' && c <= '9') {
        *out = static_cast<BYTE>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
        *out = static_cast<BYTE>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
        *out = static_cast<BYTE>(c - 'a' + 10);
    } else {
        return FALSE;
    }
    return TRUE;
}

BOOL ascii2tobin(const char* two, BYTE* out)
{
    BYTE high = 0;
    BYTE low = 0;
    if (!ascii2bin(two[0], &high) || !ascii2bin(two[1], &low)) {
        return FALSE;
    }
    *out = static_cast<BYTE>((high << 4) | low);
    return TRUE;
}

void bin2ascii(BYTE value, char* out)
{
    *out = kHexDigits[value & 0x0F];
}

void bin2ascii2(BYTE value, char* out)
{
    out[0] = kHexDigits[value >> 4];
    out[1] = kHexDigits[value & 0x0F];
}

void bytes2fixstr(char* out, const BYTE* in, int len)
{
    for (int i = 0; i < len; ++i) {
        bin2ascii2(in[i], out + 2 * i);
    }
}

void bytes2str(char* out, const BYTE* in, int len)
{
    if (len < 0) {
        len = 0;
    }
    bytes2fixstr(out, in, len);
    out[2 * len] = '\0';
}

BOOL str2bytes(const char* s, BYTE* out, int len)
{
    for (int i = 0; i < len; ++i) {
        // The pair check stops at a terminator, so a short text never reads past it.
        if (!ascii2tobin(s + 2 * i, out + i)) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL is_bytes_zero(const BYTE* data, int len)
{
    for (int i = 0; i < len; ++i) {
        if (data[i] != 0) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL str2ipadrs(const char* s, DWORD* out)
{
    if (s == nullptr) {
        return FALSE;
    }
    const char* p = s;
    DWORD address = 0;
    for (int group = 0; group < 4; ++group) {
        if (group > 0) {
            if (*p != '.') {
                return FALSE;
            }
            ++p;
        }
        DWORD value = 0;
        if (!ReadAddressGroup(&p, &value)) {
            return FALSE;
        }
        address = (address << 8) | value;
    }
    if (*p != '\0') {
        return FALSE;
    }
    *out = address;
    return TRUE;
}

BOOL str2macadrs(const char* s, BYTE mac[6])
{
    if (s == nullptr) {
        return FALSE;
    }
    BYTE bytes[6];
    const char* p = s;
    for (int group = 0; group < 6; ++group) {
        if (group > 0) {
            if (*p != ':') {
                return FALSE;
            }
            ++p;
        }
        if (!ascii2tobin(p, &bytes[group])) {
            return FALSE;
        }
        p += 2;
    }
    if (*p == ':') {
        ++p;
    }
    if (*p != '\0') {
        return FALSE;
    }
    std::memcpy(mac, bytes, sizeof(bytes));
    return TRUE;
}

BOOL Lock(pthread_mutex_t* mutex)
{
    if (pthread_mutex_lock(mutex) != 0) {
        DebugPrint("WARNING: pthread_mutex_lock() failed\n");
        return FALSE;
    }
    return TRUE;
}

BOOL Unlock(pthread_mutex_t* mutex)
{
    if (pthread_mutex_unlock(mutex) != 0) {
        DebugPrint("WARNING: pthread_mutex_unlock() failed\n");
        return FALSE;
    }
    return TRUE;
}
