// conftbl: defaults, parsing and line forming of table-described record
// fields (see conftbl.h). Fields are reached through the row's byte offset
// and copied with memcpy, so a table may describe any record.
#include "conftbl.h"

#include <cstring>

#include "helpers.h"
#include "util.h"

namespace {

constexpr int MAC_SIZE = 6;

BYTE* FieldOf(const CONFIG_TBL* pTbl, void* pVal)
{
    return static_cast<BYTE*>(pVal) + pTbl->offset;
}

const BYTE* FieldOf(const CONFIG_TBL* pTbl, const void* pVal)
{
    return static_cast<const BYTE*>(pVal) + pTbl->offset;
}

void PutDword(BYTE* field, DWORD value)
{
    std::memcpy(field, &value, sizeof(value));
}

DWORD GetDword(const BYTE* field)
{
    DWORD value = 0;
    std::memcpy(&value, field, sizeof(value));
    return value;
}

// At most nSize - 1 characters, terminated; the rest of the field is zeroed
// so that no characters of an earlier value stay behind.
void PutText(BYTE* field, int nSize, const char* text)
{
    std::memset(field, 0, static_cast<size_t>(nSize));
    _strlcpy(reinterpret_cast<char*>(field), text, static_cast<size_t>(nSize));
}

BOOL ParseDecimal(const char* text, DWORD* value)
{
    return decstr2dword(text, static_cast<int>(std::strlen(text)), value);
}

BOOL ParseHex(const char* text, DWORD* value)
{
    return hexstr2dword(text, static_cast<int>(std::strlen(text)), value);
}

// 2 * nLen hexadecimal digits into nLen bytes; the field is written only when
// every pair is valid (the helper would leave the bytes before a bad pair).
BOOL ParseBytes(const char* text, BYTE* field, int nLen)
{
    for (int i = 0; i < 2 * nLen; ++i) {
        BYTE nibble = 0;
        if (!ascii2bin(text[i], &nibble)) {  // also stops at the terminator
            return FALSE;
        }
    }
    return str2bytes(text, field, nLen);
}

BOOL ParseMac(const char* text, BYTE* field)
{
    BYTE mac[MAC_SIZE];
    if (!str2macadrs(text, mac)) {
        return FALSE;
    }
    std::memcpy(field, mac, sizeof(mac));
    return TRUE;
}

// A text field that begins or ends with a blank is written inside double
// quotes: the reader trims blanks off a value and removes quotes, so only the
// quoted form reads back as the same text.
void FormText(const char* pszName, const BYTE* field, int nMaxLen, char* out, int nSize)
{
    const char* text = reinterpret_cast<const char*>(field);
    int len = static_cast<int>(strnlen(text, static_cast<size_t>(nMaxLen > 0 ? nMaxLen - 1 : 0)));
    bool quote = len > 0 && (is_blank(text[0]) || is_blank(text[len - 1]));
    _snprintf(out, static_cast<size_t>(nSize), quote ? "%s=\"%.*s\"" : "%s=%.*s", pszName, len, text);
}

void FormBytes(const char* pszName, const BYTE* field, int nLen, char* out, int nSize)
{
    int n = _snprintf(out, static_cast<size_t>(nSize), "%s=", pszName);
    for (int i = 0; i < 2 * nLen && n + 1 < nSize; ++i) {
        char pair[2];
        bin2ascii2(field[i / 2], pair);
        out[n++] = pair[i % 2];
    }
    out[n] = '\0';
}

}  // namespace

void CONFTBL_SetDefault(const CONFIG_TBL* pTbl, void* pVal)
{
    BYTE* field = FieldOf(pTbl, pVal);
    switch (pTbl->Type) {
        case CONFIG_TYPE::TYPE_INT:
        case CONFIG_TYPE::TYPE_BOOL:
        case CONFIG_TYPE::TYPE_IP:
        case CONFIG_TYPE::TYPE_LONG:
        case CONFIG_TYPE::TYPE_DWORD:
        case CONFIG_TYPE::TYPE_HEXDW:
            PutDword(field, pTbl->dwDefault);
            break;
        case CONFIG_TYPE::TYPE_HEXBT:
        case CONFIG_TYPE::TYPE_BYTE:
            *field = static_cast<BYTE>(pTbl->dwDefault);
            break;
        case CONFIG_TYPE::TYPE_STR:
            if (pTbl->nMaxLen > 0) {
                PutText(field, pTbl->nMaxLen, pTbl->pszDefault != nullptr ? pTbl->pszDefault : "");
            }
            break;
        case CONFIG_TYPE::TYPE_BYTES:
            if (pTbl->nMaxLen > 0) {
                std::memset(field, static_cast<BYTE>(pTbl->dwDefault), static_cast<size_t>(pTbl->nMaxLen));
            }
            break;
        case CONFIG_TYPE::TYPE_MAC:
            std::memset(field, static_cast<BYTE>(pTbl->dwDefault), MAC_SIZE);
            break;
    }
}

void CONFTBL_SetDefaultAll(const CONFIG_TBL* pTbl, int nNumOfTables, void* pVal)
{
    for (int i = 0; i < nNumOfTables; ++i) {
        CONFTBL_SetDefault(&pTbl[i], pVal);
    }
}

BOOL CONFTBL_SetParam(const CONFIG_TBL* pTbl, void* pVal, char* pszParam)
{
    BYTE* field = FieldOf(pTbl, pVal);
    DWORD value = 0;
    switch (pTbl->Type) {
        case CONFIG_TYPE::TYPE_INT:
        case CONFIG_TYPE::TYPE_BOOL:
        case CONFIG_TYPE::TYPE_LONG:
        case CONFIG_TYPE::TYPE_DWORD:
            if (!ParseDecimal(pszParam, &value)) {
                return FALSE;
            }
            PutDword(field, value);
            return TRUE;
        case CONFIG_TYPE::TYPE_IP:
            if (!str2ipadrs(pszParam, &value)) {
                return FALSE;
            }
            PutDword(field, value);
            return TRUE;
        case CONFIG_TYPE::TYPE_HEXDW:
            if (!ParseHex(pszParam, &value)) {
                return FALSE;
            }
            PutDword(field, value);
            return TRUE;
        case CONFIG_TYPE::TYPE_HEXBT:
        case CONFIG_TYPE::TYPE_BYTE:
            if (!(pTbl->Type == CONFIG_TYPE::TYPE_HEXBT ? ParseHex(pszParam, &value)
                                                        : ParseDecimal(pszParam, &value))) {
                return FALSE;
            }
            *field = static_cast<BYTE>(value);
            return TRUE;
        case CONFIG_TYPE::TYPE_STR:
            if (pTbl->nMaxLen < 1) {
                return FALSE;
            }
            str_remove_quotation(pszParam);
            PutText(field, pTbl->nMaxLen, pszParam);
            return TRUE;
        case CONFIG_TYPE::TYPE_BYTES:
            return ParseBytes(pszParam, field, pTbl->nMaxLen);
        case CONFIG_TYPE::TYPE_MAC:
            return ParseMac(pszParam, field);
    }
    return FALSE;
}

BOOL CONFTBL_LoadParam(const CONFIG_TBL* pTbl, int nNumOfTables, void* pVal, const char* pszName, char* pszParam,
                       BOOL* pbMatched)
{
    BOOL bMatched = FALSE;
    for (int i = 0; i < nNumOfTables; ++i) {
        if (__stricmp(pTbl[i].pszName, pszName) != 0) {
            continue;
        }
        if (!CONFTBL_SetParam(&pTbl[i], pVal, pszParam)) {
            return FALSE;
        }
        bMatched = TRUE;
    }
    if (pbMatched != nullptr) {
        *pbMatched = bMatched;
    }
    return TRUE;
}

void CONFTBL_GetParam(const CONFIG_TBL* pTbl, const void* pVal, char* pszParam, int nSize)
{
    if (nSize < 1) {
        return;
    }
    const BYTE* field = FieldOf(pTbl, pVal);
    const size_t size = static_cast<size_t>(nSize);
    const char* name = pTbl->pszName;
    // Only the 32-bit types read four bytes: a shorter field may end the record.
    const bool wide = pTbl->Type == CONFIG_TYPE::TYPE_INT || pTbl->Type == CONFIG_TYPE::TYPE_BOOL ||
                      pTbl->Type == CONFIG_TYPE::TYPE_LONG || pTbl->Type == CONFIG_TYPE::TYPE_DWORD ||
                      pTbl->Type == CONFIG_TYPE::TYPE_IP || pTbl->Type == CONFIG_TYPE::TYPE_HEXDW;
    const DWORD value = wide ? GetDword(field) : 0;
    switch (pTbl->Type) {
        case CONFIG_TYPE::TYPE_INT:
        case CONFIG_TYPE::TYPE_BOOL:
        case CONFIG_TYPE::TYPE_LONG:
        case CONFIG_TYPE::TYPE_DWORD:
            // Unsigned, so a value of 2^31 or more reads back as itself (the
            // reader takes no sign); below 2^31 this is the same text as "%d".
            _snprintf(pszParam, size, "%s=%u", name, static_cast<unsigned>(value));
            return;
        case CONFIG_TYPE::TYPE_IP:
            _snprintf(pszParam, size, "%s=%u.%u.%u.%u", name, static_cast<unsigned>(value >> 24),
                      static_cast<unsigned>((value >> 16) & 0xFF), static_cast<unsigned>((value >> 8) & 0xFF),
                      static_cast<unsigned>(value & 0xFF));
            return;
        case CONFIG_TYPE::TYPE_HEXDW:
            _snprintf(pszParam, size, "%s=%08X", name, static_cast<unsigned>(value));
            return;
        case CONFIG_TYPE::TYPE_HEXBT:
            _snprintf(pszParam, size, "%s=%02X", name, static_cast<unsigned>(*field));
            return;
        case CONFIG_TYPE::TYPE_BYTE:
            _snprintf(pszParam, size, "%s=%u", name, static_cast<unsigned>(*field));
            return;
        case CONFIG_TYPE::TYPE_STR:
            FormText(name, field, pTbl->nMaxLen, pszParam, nSize);
            return;
        case CONFIG_TYPE::TYPE_BYTES:
            FormBytes(name, field, pTbl->nMaxLen, pszParam, nSize);
            return;
        case CONFIG_TYPE::TYPE_MAC:
            _snprintf(pszParam, size, "%s=%02X:%02X:%02X:%02X:%02X:%02X", name, field[0], field[1], field[2], field[3],
                      field[4], field[5]);
            return;
    }
    pszParam[0] = '\0';
}
