// dataconv: the fixed-width field codec of the radio and list-server text
// protocols. A protocol module describes a message's parameter area with a
// constant table of field descriptors; GetData unpacks the text area into a
// native record, SetData packs the record into the text area, GetDataArray
// unpacks a run of equal fields into an array. Fields are converted strictly
// in table order and conversion stops at the first bad field, leaving the
// fields before it written. No state: callable from any thread.
//
// A field's text is nSize characters at nOffset; a negative nSize counts as a
// width of 0. TYPE_CHAR always uses one character and TYPE_SYSTIME always
// fourteen, whatever nSize says. The codec reads and writes nothing outside
// the fields and members its descriptors give.
#pragma once

#include <cstddef>

#include "winemu.h"

enum _DATA_TYPE : int {
    TYPE_ASCII = 0,  // nSize characters copied (stops at a NUL)
    TYPE_ASCIIZ = 1,  // as TYPE_ASCII, member of nSize + 1 bytes, terminated
    TYPE_DEC_DW = 2,  // nSize decimal digits, 32-bit member
    TYPE_DEC_WD = 3,  // 16-bit member
    TYPE_DEC_BT = 4,  // 8-bit member
    TYPE_HEX_DW = 5,  // nSize hexadecimal digits, 32-bit member
    TYPE_HEX_WD = 6,
    TYPE_HEX_BT = 7,
    TYPE_TRIM_SZ = 8,  // blank-padded text, member of nSize + 1 bytes
    TYPE_CHAR = 9,  // one character
    TYPE_BYTES = 10,  // nSize hex digits, nSize / 2 bytes (an odd last digit is not used)
    TYPE_SYSTIME = 11,  // 14 digits YYYYMMDDhhmmss, SYSTEMTIME member
};
typedef _DATA_TYPE DATA_TYPE;

struct tagGET_DATA_PARAM {
    int nOffset;  // first character of the field in the text area
    int nSize;  // width in characters
    const char* pszName;  // "RECORD:field", used in warning lines
    DATA_TYPE Type;
    int nDataOffset;  // member position in the native record
};
typedef tagGET_DATA_PARAM GET_DATA_PARAM;

struct tagGET_DATA_ARRAY_PARAM {
    int nOffset;
    int nSize;  // width of one element
    const char* pszName;
    DATA_TYPE Type;
    int nDataOffset;  // first native element
    int nNumOfDatas;  // number of elements
    int nDataSize;  // native element distance (character-array form only); an
                    // element keeps at most min(nSize, nDataSize - 1) characters
};
typedef tagGET_DATA_ARRAY_PARAM GET_DATA_ARRAY_PARAM;

// pData is the text area in all three calls. TRUE when every field converted;
// a count below 1 is TRUE at once and touches nothing.
BOOL GetData(const char* pData, const GET_DATA_PARAM* aParam, int nNumOfParams, void* pBase);
BOOL SetData(char* pData, const GET_DATA_PARAM* aParam, int nNumOfParams, const void* pBase);
BOOL GetDataArray(const char* pData, const GET_DATA_ARRAY_PARAM* pParam, void* pBase);
