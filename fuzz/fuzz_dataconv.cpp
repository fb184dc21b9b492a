// Fuzz target of the field codec. The input is a parameter area: for each
// fixed descriptor table it is cut or padded (with '0') to the table's full
// text width in a buffer of exactly that size, so any read past a field shows
// up. A successful unpack must pack to a text that unpacks to the identical
// record, and no unpack may write a record byte that no member covers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dataconv.h"

namespace {

#define COUNT_OF(a) static_cast<int>(sizeof(a) / sizeof((a)[0]))

// Every type, at the widths a protocol table would use.
struct STATUS_RECORD {
    char szCallsign[11];
    char cBand;
    WORD wGroupId;
    DWORD dwFrequency;
    BYTE byLevel;
    WORD wTone;
    DWORD dwSerial;
    BYTE byMode;
    char acModel[4];
    char szVersion[9];
    BYTE abyKey[3];
    SYSTEMTIME stTime;
};
const GET_DATA_PARAM s_aStatusParam[] = {
    {0, 10, "STATUS_PARAM:cCallsign", TYPE_TRIM_SZ, offsetof(STATUS_RECORD, szCallsign)},
    {10, 1, "STATUS_PARAM:cBand", TYPE_CHAR, offsetof(STATUS_RECORD, cBand)},
    {11, 5, "STATUS_PARAM:cGroupId", TYPE_DEC_WD, offsetof(STATUS_RECORD, wGroupId)},
    {16, 9, "STATUS_PARAM:cFrequency", TYPE_DEC_DW, offsetof(STATUS_RECORD, dwFrequency)},
    {25, 2, "STATUS_PARAM:cLevel", TYPE_HEX_BT, offsetof(STATUS_RECORD, byLevel)},
    {27, 4, "STATUS_PARAM:cTone", TYPE_HEX_WD, offsetof(STATUS_RECORD, wTone)},
    {31, 8, "STATUS_PARAM:cSerial", TYPE_HEX_DW, offsetof(STATUS_RECORD, dwSerial)},
    {39, 3, "STATUS_PARAM:cMode", TYPE_DEC_BT, offsetof(STATUS_RECORD, byMode)},
    {42, 4, "STATUS_PARAM:cModel", TYPE_ASCII, offsetof(STATUS_RECORD, acModel)},
    {46, 8, "STATUS_PARAM:cVersion", TYPE_ASCIIZ, offsetof(STATUS_RECORD, szVersion)},
    {54, 6, "STATUS_PARAM:cKey", TYPE_BYTES, offsetof(STATUS_RECORD, abyKey)},
    {60, 14, "STATUS_PARAM:cTime", TYPE_SYSTIME, offsetof(STATUS_RECORD, stTime)},
};

// Zero and negative widths; the time stamp is fourteen digits regardless.
struct EMPTY_RECORD {
    DWORD dwNumber;
    WORD wNumber;
    char acText[1];
    char szText[1];
    char szTrim[1];
    BYTE abyNone[1];
    char cChar;
    BYTE byNumber;
    SYSTEMTIME stTime;
};
const GET_DATA_PARAM s_aEmptyParam[] = {
    {0, 0, "EMPTY_PARAM:cDec", TYPE_DEC_DW, offsetof(EMPTY_RECORD, dwNumber)},
    {0, 0, "EMPTY_PARAM:cHex", TYPE_HEX_WD, offsetof(EMPTY_RECORD, wNumber)},
    {0, 0, "EMPTY_PARAM:cAscii", TYPE_ASCII, offsetof(EMPTY_RECORD, acText)},
    {0, 0, "EMPTY_PARAM:cAsciiz", TYPE_ASCIIZ, offsetof(EMPTY_RECORD, szText)},
    {0, -3, "EMPTY_PARAM:cTrim", TYPE_TRIM_SZ, offsetof(EMPTY_RECORD, szTrim)},
    {0, 1, "EMPTY_PARAM:cBytes", TYPE_BYTES, offsetof(EMPTY_RECORD, abyNone)},
    {0, 0, "EMPTY_PARAM:cChar", TYPE_CHAR, offsetof(EMPTY_RECORD, cChar)},
    {0, -2, "EMPTY_PARAM:cByte", TYPE_HEX_BT, offsetof(EMPTY_RECORD, byNumber)},
    {1, 0, "EMPTY_PARAM:cTime", TYPE_SYSTIME, offsetof(EMPTY_RECORD, stTime)},
};

// Odd byte-string widths and numbers wider or narrower than their members.
struct ODD_RECORD {
    BYTE abyOne[1];
    BYTE abySeven[3];
    DWORD dwWide;
    BYTE byDecWide;
    BYTE byHexWide;
    WORD wDecOne;
    WORD wHexWide;
    DWORD dwHexWide;
    char szTrimOne[2];
    char szTrimLong[21];
    BYTE abyThree[1];
};
const GET_DATA_PARAM s_aOddParam[] = {
    {0, 3, "ODD_PARAM:cThree", TYPE_BYTES, offsetof(ODD_RECORD, abyThree)},
    {3, 7, "ODD_PARAM:cSeven", TYPE_BYTES, offsetof(ODD_RECORD, abySeven)},
    {10, 12, "ODD_PARAM:cWide", TYPE_DEC_DW, offsetof(ODD_RECORD, dwWide)},
    {22, 5, "ODD_PARAM:cDecWide", TYPE_DEC_BT, offsetof(ODD_RECORD, byDecWide)},
    {27, 4, "ODD_PARAM:cHexWide", TYPE_HEX_BT, offsetof(ODD_RECORD, byHexWide)},
    {31, 1, "ODD_PARAM:cDecOne", TYPE_DEC_WD, offsetof(ODD_RECORD, wDecOne)},
    {32, 6, "ODD_PARAM:cHexWideWd", TYPE_HEX_WD, offsetof(ODD_RECORD, wHexWide)},
    {38, 10, "ODD_PARAM:cHexWideDw", TYPE_HEX_DW, offsetof(ODD_RECORD, dwHexWide)},
    {48, 1, "ODD_PARAM:cTrimOne", TYPE_TRIM_SZ, offsetof(ODD_RECORD, szTrimOne)},
    {49, 20, "ODD_PARAM:cTrimLong", TYPE_TRIM_SZ, offsetof(ODD_RECORD, szTrimLong)},
    {69, 1, "ODD_PARAM:cOne", TYPE_BYTES, offsetof(ODD_RECORD, abyOne)},
};

struct Table {
    const GET_DATA_PARAM* aParam;
    int nParams;
    size_t nRecordSize;
};
const Table s_aTables[] = {
    {s_aStatusParam, COUNT_OF(s_aStatusParam), sizeof(STATUS_RECORD)},
    {s_aEmptyParam, COUNT_OF(s_aEmptyParam), sizeof(EMPTY_RECORD)},
    {s_aOddParam, COUNT_OF(s_aOddParam), sizeof(ODD_RECORD)},
};

// Runs, including the code table of the radio and a rejected type.
const GET_DATA_ARRAY_PARAM s_aRuns[] = {
    {0, 2, "RUN:acCode", TYPE_HEX_BT, 0, 16, 0},
    {1, 5, "RUN:awPort", TYPE_DEC_WD, 1, 3, 0},
    {0, 8, "RUN:adwId", TYPE_HEX_DW, 3, 2, 4},
    {0, 3, "RUN:abyDigit", TYPE_DEC_BT, 0, 4, 0},
    {0, 0, "RUN:adwNone", TYPE_DEC_DW, 0, 5, 0},
    {2, 4, "RUN:acName", TYPE_ASCIIZ, 0, 3, 5},
    {2, 3, "RUN:acWide", TYPE_ASCIIZ, 0, 2, 9},
    {0, 4, "RUN:acNoRoom", TYPE_ASCIIZ, 0, 2, 0},
    {0, 6, "RUN:abyKey", TYPE_BYTES, 0, 2, 3},
};

int Width(int nSize) { return nSize > 0 ? nSize : 0; }

// Characters of the text area a descriptor covers.
int TextWidth(const GET_DATA_PARAM& param)
{
    switch (param.Type) {
    case TYPE_CHAR:
        return 1;
    case TYPE_SYSTIME:
        return 14;
    default:
        return Width(param.nSize);
    }
}

// Bytes of the native member a descriptor covers.
int MemberWidth(const GET_DATA_PARAM& param)
{
    switch (param.Type) {
    case TYPE_ASCII:
        return Width(param.nSize);
    case TYPE_ASCIIZ:
    case TYPE_TRIM_SZ:
        return Width(param.nSize) + 1;
    case TYPE_DEC_DW:
    case TYPE_HEX_DW:
        return 4;
    case TYPE_DEC_WD:
    case TYPE_HEX_WD:
        return 2;
    case TYPE_BYTES:
        return Width(param.nSize) / 2;
    case TYPE_SYSTIME:
        return 16;
    default:
        return 1;
    }
}

// A text buffer of exactly nWidth characters holding the input, '0'-padded.
std::vector<char> TextArea(const uint8_t* data, size_t size, size_t nWidth)
{
    std::vector<char> text(nWidth, '0');
    size_t n = size < nWidth ? size : nWidth;
    if (n > 0) {
        std::memcpy(text.data(), data, n);
    }
    return text;
}

void CheckTable(const Table& table, const uint8_t* data, size_t size)
{
    size_t nTextWidth = 0;
    // Records start one byte into their buffers, so members are misaligned.
    std::vector<bool> covered(table.nRecordSize + 1, false);
    for (int i = 0; i < table.nParams; ++i) {
        const GET_DATA_PARAM& param = table.aParam[i];
        size_t nEnd = static_cast<size_t>(param.nOffset + TextWidth(param));
        nTextWidth = nEnd > nTextWidth ? nEnd : nTextWidth;
        for (int k = 0; k < MemberWidth(param); ++k) {
            covered[static_cast<size_t>(1 + param.nDataOffset + k)] = true;
        }
    }
    std::vector<char> text = TextArea(data, size, nTextWidth);
    std::vector<BYTE> first(table.nRecordSize + 1, 0);
    BOOL bOk = GetData(text.data(), table.aParam, table.nParams, first.data() + 1);
    for (size_t i = 0; i < first.size(); ++i) {
        if (!covered[i] && first[i] != 0) {
            abort();  // written outside every member
        }
    }
    if (!bOk) {
        return;
    }
    // Packing pads a blank-padded string with blanks, so a value that ends in
    // blanks (kept when the text had a NUL after them) comes back without them.
    for (int i = 0; i < table.nParams; ++i) {
        const GET_DATA_PARAM& param = table.aParam[i];
        if (param.Type == TYPE_TRIM_SZ) {
            char* psz = reinterpret_cast<char*>(first.data() + 1 + param.nDataOffset);
            for (size_t n = strnlen(psz, static_cast<size_t>(MemberWidth(param))); n > 0 && psz[n - 1] == ' '; --n) {
                psz[n - 1] = '\0';
            }
        }
    }
    std::vector<char> packed(nTextWidth, '\0');
    if (!SetData(packed.data(), table.aParam, table.nParams, first.data() + 1)) {
        abort();
    }
    std::vector<BYTE> second(table.nRecordSize + 1, 0);
    if (!GetData(packed.data(), table.aParam, table.nParams, second.data() + 1) || first != second) {
        abort();
    }
}

void CheckRun(const GET_DATA_ARRAY_PARAM& run, const uint8_t* data, size_t size)
{
    size_t nTextWidth = static_cast<size_t>(run.nOffset + run.nNumOfDatas * Width(run.nSize));
    size_t nStep = run.Type == TYPE_ASCIIZ   ? static_cast<size_t>(Width(run.nDataSize))
                   : run.Type == TYPE_DEC_DW || run.Type == TYPE_HEX_DW ? 4
                   : run.Type == TYPE_DEC_WD || run.Type == TYPE_HEX_WD ? 2
                                                                        : 1;
    std::vector<char> text = TextArea(data, size, nTextWidth);
    // Exactly the bytes the run may write (and one that stays unused, so the
    // buffer is never empty), so any write past the last element is caught.
    std::vector<BYTE> record(1 + static_cast<size_t>(run.nDataOffset) + static_cast<size_t>(run.nNumOfDatas) * nStep);
    GetDataArray(text.data(), &run, record.data() + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (const Table& table : s_aTables) {
        CheckTable(table, data, size);
    }
    for (const GET_DATA_ARRAY_PARAM& run : s_aRuns) {
        CheckRun(run, data, size);
    }
    return 0;
}
