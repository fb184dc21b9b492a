// conftbl: the table-driven key=value engine. A constant table of rows
// describes fields of a record (the configuration record, or the argument
// record of a text command): each row names its key, where its field lies in
// the record, how the field is held and written, and its default. The engine
// sets defaults, parses a value text into a field and forms a field's
// "key=value" line.
//
// Stateless; any thread, on records the caller owns and guards.
#pragma once

#include <cstddef>

#include "winemu.h"

// How a row's field is held, written and parsed. Scoped, because the field
// codec (dataconv.h) has plain enumerators of the same names
// (CONFIG_TYPE::TYPE_BYTES vs TYPE_BYTES); both headers go into one file.
enum class _CONFIG_TYPE : int {
    TYPE_INT = 0,    // 32-bit, decimal
    TYPE_BOOL = 1,   // 32-bit, decimal, stored unchanged (not reduced to 0/1)
    TYPE_STR = 2,    // text of nMaxLen bytes, at most nMaxLen - 1 characters
    TYPE_IP = 3,     // 32-bit address, dotted
    TYPE_LONG = 4,   // 32-bit, decimal
    TYPE_DWORD = 5,  // 32-bit, decimal
    TYPE_HEXDW = 6,  // 32-bit, eight upper-case hexadecimal digits
    TYPE_HEXBT = 7,  // 8-bit, two upper-case hexadecimal digits
    TYPE_BYTE = 8,   // 8-bit, decimal
    TYPE_BYTES = 9,  // nMaxLen bytes, two upper-case hexadecimal digits each
    TYPE_MAC = 10,   // 6 bytes, "XX:XX:XX:XX:XX:XX"
};
typedef _CONFIG_TYPE CONFIG_TYPE;

struct tagCONFIG_TBL {
    const char* pszName;  // the key, matched without regard to case
    int offset;           // byte position of the field in the described record
    CONFIG_TYPE Type;
    DWORD dwDefault;         // numeric default; low byte = fill byte of TYPE_BYTES and TYPE_MAC
    const char* pszDefault;  // TYPE_STR default (null = empty)
    int nMaxLen;             // field size in bytes of TYPE_STR and TYPE_BYTES
};
typedef tagCONFIG_TBL CONFIG_TBL;

// Longest line CONFTBL_GetParam forms for the configuration file's rows,
// terminator included.
constexpr int CONFTBL_LINE_MAX = 512;

// Writes the default of one row into the record pVal.
void CONFTBL_SetDefault(const CONFIG_TBL* pTbl, void* pVal);
// Writes the defaults of the first nNumOfTables rows.
void CONFTBL_SetDefaultAll(const CONFIG_TBL* pTbl, int nNumOfTables, void* pVal);
// Parses pszParam for the row's type and stores it; FALSE (field unchanged)
// when the text is not valid. The text may be modified (quotes removed).
BOOL CONFTBL_SetParam(const CONFIG_TBL* pTbl, void* pVal, char* pszParam);
// Sets every row whose key equals pszName (any case); FALSE as soon as one
// rejects the value (then *pbMatched is untouched), else TRUE with *pbMatched
// telling whether any row matched. pbMatched may be null.
BOOL CONFTBL_LoadParam(const CONFIG_TBL* pTbl, int nNumOfTables, void* pVal, const char* pszName, char* pszParam,
                       BOOL* pbMatched);
// Forms the row's "key=value" line (no line end) in pszParam of nSize bytes,
// cut to fit and always terminated.
void CONFTBL_GetParam(const CONFIG_TBL* pTbl, const void* pVal, char* pszParam, int nSize);
