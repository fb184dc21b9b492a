// dataconv: converts between the fixed-width ASCII parameter areas of the
// radio and list-server protocols and the native records the protocol modules
// work on. A constant descriptor table drives each conversion; the codec keeps
// no state, takes no lock and may be called from any thread on separate
// buffers.
//
// Bounds: the tables are trusted (they are constant tables of the protocol
// modules), but the codec itself never reaches outside the extent a descriptor
// gives: a field's text is nSize characters at nOffset (one character for
// TYPE_CHAR, fourteen for TYPE_SYSTIME), a member is the type's native width
// at nDataOffset. A negative nSize counts as a width of 0. Every native member
// is read and written through memcpy of its own width, so records need no
// particular alignment and byte order is the host's on every board.
#include "dataconv.h"

#include <cstring>

#include "debug.h"
#include "helpers.h"
#include "util.h"

namespace {

static_assert(sizeof(SYSTEMTIME) == 16, "a time member is 16 bytes on every board");

// Characters of a time stamp, YYYYMMDDhhmmss, whatever the descriptor's width.
constexpr int SYSTIME_TEXT_WIDTH = 14;

// The fields of a time stamp in text order with their widths in digits.
struct TimeField {
    WORD SYSTEMTIME::*pField;
    int nDigits;
};
constexpr TimeField s_aTimeFields[] = {
    {&SYSTEMTIME::wYear, 4}, {&SYSTEMTIME::wMonth, 2},  {&SYSTEMTIME::wDay, 2},
    {&SYSTEMTIME::wHour, 2}, {&SYSTEMTIME::wMinute, 2}, {&SYSTEMTIME::wSecond, 2},
};

constexpr int TimeTextWidth()
{
    int nWidth = 0;
    for (const TimeField& field : s_aTimeFields) {
        nWidth += field.nDigits;
    }
    return nWidth;
}
static_assert(TimeTextWidth() == SYSTIME_TEXT_WIDTH, "a time stamp is YYYYMMDDhhmmss");

int FieldWidth(int nSize) { return nSize > 0 ? nSize : 0; }

const char* FieldName(const char* pszName) { return pszName != nullptr ? pszName : ""; }

bool IsHexType(DATA_TYPE type) { return type == TYPE_HEX_DW || type == TYPE_HEX_WD || type == TYPE_HEX_BT; }

// Bytes of the native member of a numeric type.
size_t NumberWidth(DATA_TYPE type)
{
    switch (type) {
    case TYPE_DEC_DW:
    case TYPE_HEX_DW:
        return sizeof(DWORD);
    case TYPE_DEC_WD:
    case TYPE_HEX_WD:
        return sizeof(WORD);
    default:
        return sizeof(BYTE);
    }
}

// Stores the low 8, 16 or 32 bits of value, as the member is wide.
void StoreNumber(BYTE* pMember, size_t nWidth, DWORD dwValue)
{
    if (nWidth == sizeof(DWORD)) {
        std::memcpy(pMember, &dwValue, sizeof(DWORD));
    } else if (nWidth == sizeof(WORD)) {
        WORD wValue = static_cast<WORD>(dwValue);
        std::memcpy(pMember, &wValue, sizeof(WORD));
    } else {
        *pMember = static_cast<BYTE>(dwValue);
    }
}

DWORD LoadNumber(const BYTE* pMember, size_t nWidth)
{
    if (nWidth == sizeof(DWORD)) {
        DWORD dwValue;
        std::memcpy(&dwValue, pMember, sizeof(DWORD));
        return dwValue;
    }
    if (nWidth == sizeof(WORD)) {
        WORD wValue;
        std::memcpy(&wValue, pMember, sizeof(WORD));
        return wValue;
    }
    return *pMember;
}

// A numeric field of nWidth digits into its member; the member is left as it
// was when a character is not a digit of the type.
BOOL UnpackNumber(const char* pText, int nWidth, DATA_TYPE type, const char* pszName, BYTE* pMember)
{
    DWORD dwValue = 0;
    BOOL bOk = IsHexType(type) ? hexstr2dword(pText, nWidth, &dwValue) : decstr2dword(pText, nWidth, &dwValue);
    if (!bOk) {
        DebugPrint("WARNING: invalid param %s\n", FieldName(pszName));
        return FALSE;
    }
    StoreNumber(pMember, NumberWidth(type), dwValue);
    return TRUE;
}

// Copies up to nWidth characters; a NUL within them ends the copy and is
// copied too. True when the text filled the whole width.
bool CopyText(char* pDst, const char* pSrc, int nWidth)
{
    _strncpy(pDst, pSrc, static_cast<size_t>(nWidth));
    return std::memchr(pSrc, '\0', static_cast<size_t>(nWidth)) == nullptr;
}

// The member is cleared, then filled field by field; on a bad digit the
// fields before it stay set and the rest stay 0.
BOOL UnpackTime(const char* pText, BYTE* pMember)
{
    SYSTEMTIME st = {};
    BOOL bOk = TRUE;
    for (const TimeField& field : s_aTimeFields) {
        DWORD dwValue;
        if (!decstr2dword(pText, field.nDigits, &dwValue)) {
            bOk = FALSE;
            break;
        }
        st.*field.pField = static_cast<WORD>(dwValue);
        pText += field.nDigits;
    }
    std::memcpy(pMember, &st, sizeof(st));
    return bOk;
}

// Each field keeps its value modulo its width (a year of 12345 is written
// 2345), as every decimal field does, so the stamp is always 14 digits and
// the fields stay at their positions.
void PackTime(char* pText, const BYTE* pMember)
{
    SYSTEMTIME st;
    std::memcpy(&st, pMember, sizeof(st));
    for (const TimeField& field : s_aTimeFields) {
        dword2decstr(st.*field.pField, pText, field.nDigits);
        pText += field.nDigits;
    }
}

BOOL IsKnownType(DATA_TYPE type)
{
    if (static_cast<unsigned>(type) > static_cast<unsigned>(TYPE_SYSTIME)) {
        DebugPrint("WARNING: invalid param type %d\n", static_cast<int>(type));
        return FALSE;
    }
    return TRUE;
}

BOOL UnpackField(const char* pData, const GET_DATA_PARAM& param, BYTE* pRecord)
{
    if (!IsKnownType(param.Type)) {
        return FALSE;
    }
    const char* pText = pData + param.nOffset;
    BYTE* pMember = pRecord + param.nDataOffset;
    char* pszMember = reinterpret_cast<char*>(pMember);
    int nWidth = FieldWidth(param.nSize);

    switch (param.Type) {
    case TYPE_ASCII:
        CopyText(pszMember, pText, nWidth);
        return TRUE;
    case TYPE_ASCIIZ:
        CopyText(pszMember, pText, nWidth);
        pszMember[nWidth] = '\0';
        return TRUE;
    case TYPE_DEC_DW:
    case TYPE_DEC_WD:
    case TYPE_DEC_BT:
    case TYPE_HEX_DW:
    case TYPE_HEX_WD:
    case TYPE_HEX_BT:
        return UnpackNumber(pText, nWidth, param.Type, param.pszName, pMember);
    case TYPE_TRIM_SZ: {
        bool bFull = CopyText(pszMember, pText, nWidth);
        pszMember[nWidth] = '\0';
        // Padding exists only in a field that runs to its full width; blanks
        // before a NUL in the text belong to the value.
        if (bFull) {
            for (int i = nWidth - 1; i >= 0 && pszMember[i] == ' '; --i) {
                pszMember[i] = '\0';
            }
        }
        return TRUE;
    }
    case TYPE_CHAR:
        *pMember = static_cast<BYTE>(*pText);
        return TRUE;
    case TYPE_BYTES:
        return str2bytes(pText, pMember, nWidth / 2);
    case TYPE_SYSTIME:
        return UnpackTime(pText, pMember);
    }
    return FALSE;
}

BOOL PackField(char* pData, const GET_DATA_PARAM& param, const BYTE* pRecord)
{
    if (!IsKnownType(param.Type)) {
        return FALSE;
    }
    char* pText = pData + param.nOffset;
    const BYTE* pMember = pRecord + param.nDataOffset;
    int nWidth = FieldWidth(param.nSize);

    switch (param.Type) {
    case TYPE_ASCII:
    case TYPE_ASCIIZ:
        std::memcpy(pText, pMember, static_cast<size_t>(nWidth));
        return TRUE;
    case TYPE_DEC_DW:
    case TYPE_DEC_WD:
    case TYPE_DEC_BT:
        dword2decstr(LoadNumber(pMember, NumberWidth(param.Type)), pText, nWidth);
        return TRUE;
    case TYPE_HEX_DW:
    case TYPE_HEX_WD:
    case TYPE_HEX_BT:
        dword2hexstr(LoadNumber(pMember, NumberWidth(param.Type)), pText, nWidth);
        return TRUE;
    case TYPE_TRIM_SZ: {
        const void* pEnd = std::memchr(pMember, '\0', static_cast<size_t>(nWidth));
        size_t nLength = pEnd != nullptr ? static_cast<size_t>(static_cast<const BYTE*>(pEnd) - pMember)
                                         : static_cast<size_t>(nWidth);
        std::memcpy(pText, pMember, nLength);
        std::memset(pText + nLength, ' ', static_cast<size_t>(nWidth) - nLength);
        return TRUE;
    }
    case TYPE_CHAR:
        *pText = static_cast<char>(*pMember);
        return TRUE;
    case TYPE_BYTES:
        // An odd width leaves the field's last character as it was.
        bytes2fixstr(pText, pMember, nWidth / 2);
        return TRUE;
    case TYPE_SYSTIME:
        PackTime(pText, pMember);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

BOOL GetData(const char* pData, const GET_DATA_PARAM* aParam, int nNumOfParams, void* pBase)
{
    BYTE* pRecord = static_cast<BYTE*>(pBase);
    for (int i = 0; i < nNumOfParams; ++i) {
        if (!UnpackField(pData, aParam[i], pRecord)) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL SetData(char* pData, const GET_DATA_PARAM* aParam, int nNumOfParams, const void* pBase)
{
    const BYTE* pRecord = static_cast<const BYTE*>(pBase);
    for (int i = 0; i < nNumOfParams; ++i) {
        if (!PackField(pData, aParam[i], pRecord)) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL GetDataArray(const char* pData, const GET_DATA_ARRAY_PARAM* pParam, void* pBase)
{
    const GET_DATA_ARRAY_PARAM& param = *pParam;
    if (param.nNumOfDatas < 1) {
        return TRUE;
    }
    if (param.Type < TYPE_ASCIIZ || param.Type > TYPE_HEX_BT) {
        DebugPrint("WARNING: invalid data type %s\n", FieldName(param.pszName));
        return FALSE;
    }
    int nWidth = FieldWidth(param.nSize);
    const char* pText = pData + param.nOffset;
    BYTE* pMember = static_cast<BYTE*>(pBase) + param.nDataOffset;

    if (param.Type == TYPE_ASCIIZ) {
        // Each element is a terminated string of nDataSize bytes; the copy
        // never runs past the element's nSize characters in the text.
        if (param.nDataSize < 1) {
            return TRUE;
        }
        int nCopy = param.nDataSize - 1 < nWidth ? param.nDataSize - 1 : nWidth;
        for (int k = 0; k < param.nNumOfDatas; ++k) {
            char* pszElement = reinterpret_cast<char*>(pMember) + static_cast<ptrdiff_t>(k) * param.nDataSize;
            CopyText(pszElement, pText + static_cast<ptrdiff_t>(k) * nWidth, nCopy);
            pszElement[param.nDataSize - 1] = '\0';
        }
        return TRUE;
    }

    size_t nStep = NumberWidth(param.Type);
    for (int k = 0; k < param.nNumOfDatas; ++k) {
        if (!UnpackNumber(pText + static_cast<ptrdiff_t>(k) * nWidth, nWidth, param.Type, param.pszName,
                          pMember + static_cast<size_t>(k) * nStep)) {
            return FALSE;
        }
    }
    return TRUE;
}
