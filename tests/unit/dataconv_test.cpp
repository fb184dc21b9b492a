#include "dataconv.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>

#include "test_support.h"

namespace {

using testsupport::DebugCapture;

// A status record of a unit as a protocol module would declare it.
struct UNIT_STATUS {
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
    {0, 10, "UNIT_STATUS_PARAM:cCallsign", TYPE_TRIM_SZ, offsetof(UNIT_STATUS, szCallsign)},
    {10, 1, "UNIT_STATUS_PARAM:cBand", TYPE_CHAR, offsetof(UNIT_STATUS, cBand)},
    {11, 5, "UNIT_STATUS_PARAM:cGroupId", TYPE_DEC_WD, offsetof(UNIT_STATUS, wGroupId)},
    {16, 9, "UNIT_STATUS_PARAM:cFrequency", TYPE_DEC_DW, offsetof(UNIT_STATUS, dwFrequency)},
    {25, 2, "UNIT_STATUS_PARAM:cLevel", TYPE_HEX_BT, offsetof(UNIT_STATUS, byLevel)},
    {27, 4, "UNIT_STATUS_PARAM:cTone", TYPE_HEX_WD, offsetof(UNIT_STATUS, wTone)},
    {31, 8, "UNIT_STATUS_PARAM:cSerial", TYPE_HEX_DW, offsetof(UNIT_STATUS, dwSerial)},
    {39, 3, "UNIT_STATUS_PARAM:cMode", TYPE_DEC_BT, offsetof(UNIT_STATUS, byMode)},
    {42, 4, "UNIT_STATUS_PARAM:cModel", TYPE_ASCII, offsetof(UNIT_STATUS, acModel)},
    {46, 8, "UNIT_STATUS_PARAM:cVersion", TYPE_ASCIIZ, offsetof(UNIT_STATUS, szVersion)},
    {54, 6, "UNIT_STATUS_PARAM:cKey", TYPE_BYTES, offsetof(UNIT_STATUS, abyKey)},
    {60, 14, "UNIT_STATUS_PARAM:cTime", TYPE_SYSTIME, offsetof(UNIT_STATUS, stTime)},
};
constexpr int kStatusParams = sizeof(s_aStatusParam) / sizeof(s_aStatusParam[0]);

const std::string kStatusText = std::string("JR1ZZA    ") + "B" + "00123" + "439850000" + "7F" + "0885" + "DEADBEEF" +
                                "003" + "KV4A" + "01.04.04" + "0A1B2C" + "20240229235959";

// The record of kStatusText; bytes no field covers hold 0xCC.
UNIT_STATUS StatusRecord()
{
    UNIT_STATUS st;
    std::memset(&st, 0xCC, sizeof(st));
    std::memcpy(st.szCallsign, "JR1ZZA\0\0\0\0", 11);
    st.cBand = 'B';
    st.wGroupId = 123;
    st.dwFrequency = 439850000;
    st.byLevel = 0x7F;
    st.wTone = 0x0885;
    st.dwSerial = 0xDEADBEEF;
    st.byMode = 3;
    std::memcpy(st.acModel, "KV4A", 4);
    std::memcpy(st.szVersion, "01.04.04", 9);
    std::memcpy(st.abyKey, "\x0A\x1B\x2C", 3);
    st.stTime = {2024, 2, 0, 29, 23, 59, 59, 0};
    return st;
}

GET_DATA_PARAM Field(DATA_TYPE type, int nSize, int nDataOffset = 0)
{
    return {0, nSize, "TEST_PARAM:cField", type, nDataOffset};
}

// The printed lines without their "YYYY/MM/DD hh:mm:ss " stamps, leaving out
// the log thread's own start and end lines.
std::string Printed(DebugCapture& capture)
{
    static const std::regex stamped(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} (.*))");
    std::istringstream in(capture.text());
    std::string line;
    std::string out;
    while (std::getline(in, line)) {
        std::smatch match;
        if (!std::regex_match(line, match, stamped)) {
            ADD_FAILURE() << "line without time stamp: " << line;
        } else if (match[1] != "start LOG thread" && match[1] != "end LOG thread") {
            out += match[1].str() + "\n";
        }
    }
    return out;
}

template <class T>
std::string Pack(DATA_TYPE type, int nSize, T value)
{
    std::string text(8, '#');
    GET_DATA_PARAM param = Field(type, nSize);
    EXPECT_TRUE(SetData(text.data(), &param, 1, &value));
    return text;
}

template <class T>
T Unpack(DATA_TYPE type, const std::string& text, T initial = 0)
{
    GET_DATA_PARAM param = Field(type, static_cast<int>(text.size()));
    T value = initial;
    EXPECT_TRUE(GetData(text.c_str(), &param, 1, &value)) << text;
    return value;
}

}  // namespace

TEST(FieldCodec, RecordPacksToItsExactWireTextAndBack)
{
    UNIT_STATUS want = StatusRecord();
    char text[75];
    std::memset(text, '#', sizeof(text));
    ASSERT_TRUE(SetData(text, s_aStatusParam, kStatusParams, &want));
    EXPECT_EQ(std::string(text, 74), kStatusText);
    EXPECT_EQ(text[74], '#');

    UNIT_STATUS got;
    std::memset(&got, 0xCC, sizeof(got));
    ASSERT_TRUE(GetData(kStatusText.c_str(), s_aStatusParam, kStatusParams, &got));
    EXPECT_EQ(std::memcmp(&got, &want, sizeof(got)), 0);
}

TEST(FieldCodec, NumbersPackModuloTheirWidthAndUnpackWithoutRangeCheck)
{
    EXPECT_EQ(Pack<DWORD>(TYPE_DEC_DW, 4, 123456), "3456####");
    EXPECT_EQ(Pack<DWORD>(TYPE_HEX_DW, 4, 109517), "ABCD####");
    EXPECT_EQ(Pack<BYTE>(TYPE_HEX_BT, 2, 255), "FF######");
    EXPECT_EQ(Pack<WORD>(TYPE_DEC_WD, 7, 65535), "0065535#");
    EXPECT_EQ(Pack<BYTE>(TYPE_DEC_BT, 0, 9), "########");

    EXPECT_EQ(Unpack<BYTE>(TYPE_DEC_BT, "00042"), 42);
    EXPECT_EQ(Unpack<BYTE>(TYPE_HEX_BT, "ab"), 171);
    EXPECT_EQ(Pack<BYTE>(TYPE_HEX_BT, 2, 171), "AB######");
    EXPECT_EQ(Unpack<WORD>(TYPE_HEX_WD, "1aBc"), 0x1ABC);
    EXPECT_EQ(Unpack<WORD>(TYPE_DEC_WD, "70000"), 70000 & 0xFFFF);
    EXPECT_EQ(Unpack<BYTE>(TYPE_DEC_BT, "300"), 300 & 0xFF);
    EXPECT_EQ(Unpack<DWORD>(TYPE_DEC_DW, "4294967297"), 1u);
    EXPECT_EQ(Unpack<DWORD>(TYPE_HEX_DW, "123456789"), 0x23456789u);
    EXPECT_EQ(Unpack<DWORD>(TYPE_DEC_DW, "", 77), 0u);
}

TEST(FieldCodec, NonDigitFailsTheFieldByNameAndLeavesTheMember)
{
    DebugCapture capture;
    const struct {
        DATA_TYPE type;
        const char* text;
    } cases[] = {{TYPE_DEC_BT, "0004A"}, {TYPE_DEC_BT, " 42"}, {TYPE_DEC_DW, "-42"}, {TYPE_HEX_WD, "0x1F"},
                 {TYPE_HEX_BT, "G1"}};
    std::string expected;
    for (const auto& c : cases) {
        GET_DATA_PARAM param = Field(c.type, static_cast<int>(std::strlen(c.text)));
        DWORD value = 0x5A5A5A5A;
        EXPECT_FALSE(GetData(c.text, &param, 1, &value)) << c.text;
        EXPECT_EQ(value, 0x5A5A5A5Au) << c.text;
        expected += "WARNING: invalid param TEST_PARAM:cField\n";
    }
    EXPECT_EQ(Printed(capture), expected);
}

TEST(FieldCodec, TrimSzDropsBlankPaddingOnlyWhenTheFieldRunsFullWidth)
{
    auto unpack = [](const char* text, int nSize) {
        char sz[6];
        std::memset(sz, 'x', sizeof(sz));
        GET_DATA_PARAM param = Field(TYPE_TRIM_SZ, nSize);
        EXPECT_TRUE(GetData(text, &param, 1, sz));
        EXPECT_EQ(sz[nSize], '\0');
        return std::string(sz);
    };
    EXPECT_EQ(unpack("ABC  ", 5), "ABC");
    EXPECT_EQ(unpack("     ", 5), "");
    EXPECT_EQ(unpack("  AB ", 5), "  AB");
    EXPECT_EQ(unpack("AB\t\t\t", 5), "AB\t\t\t");
    EXPECT_EQ(unpack("AB \0 ", 5), "AB ");
    EXPECT_EQ(unpack("", 0), "");
    char sz[6] = "     ";  // bytes after an early NUL are not part of the value
    GET_DATA_PARAM param = Field(TYPE_TRIM_SZ, 5);
    ASSERT_TRUE(GetData("AB\0  ", &param, 1, sz));
    EXPECT_EQ(std::memcmp(sz, "AB\0  ", 6), 0);

    auto pack = [](const char* value) {
        std::string text(6, '#');
        GET_DATA_PARAM param = Field(TYPE_TRIM_SZ, 5);
        EXPECT_TRUE(SetData(text.data(), &param, 1, value));
        return text;
    };
    EXPECT_EQ(pack("AB"), "AB   #");
    EXPECT_EQ(pack(""), "     #");
    EXPECT_EQ(pack("ABCDEFG"), "ABCDE#");
}

TEST(FieldCodec, AsciiStopsAtNulWhileAsciizAlwaysTerminatesAndCharIgnoresWidth)
{
    auto unpack = [](DATA_TYPE type, int nSize, const char* text) {
        std::string member(6, 'x');
        GET_DATA_PARAM param = Field(type, nSize);
        EXPECT_TRUE(GetData(text, &param, 1, member.data()));
        return member;
    };
    EXPECT_EQ(unpack(TYPE_ASCII, 4, "ABCDEF"), "ABCDxx");
    EXPECT_EQ(unpack(TYPE_ASCII, 4, "AB\0D"), std::string("AB\0xxx", 6));
    EXPECT_EQ(unpack(TYPE_ASCIIZ, 4, "ABCDEF"), std::string("ABCD\0x", 6));
    EXPECT_EQ(unpack(TYPE_ASCIIZ, 4, "A\0CD"), std::string("A\0xx\0x", 6));
    EXPECT_EQ(unpack(TYPE_CHAR, 0, "QR"), "Qxxxxx");
    EXPECT_EQ(unpack(TYPE_CHAR, 5, "QR"), "Qxxxxx");

    struct Model {
        char ac[4];
    };
    EXPECT_EQ(Pack(TYPE_ASCII, 4, Model{{'A', '\0', 'C', 'D'}}), std::string("A\0CD####", 8));
    EXPECT_EQ(Pack<char>(TYPE_CHAR, 0, 'Q'), "Q#######");
}

TEST(FieldCodec, BytesUseWholeDigitPairsAndFailSilentlyOnNonHex)
{
    BYTE aby[16];
    std::memset(aby, 0xEE, sizeof(aby));
    GET_DATA_PARAM odd = Field(TYPE_BYTES, 5);
    ASSERT_TRUE(GetData("0a1BZ", &odd, 1, aby));
    EXPECT_EQ(aby[0], 0x0A);
    EXPECT_EQ(aby[1], 0x1B);
    EXPECT_EQ(aby[2], 0xEE);

    std::string text(6, '#');
    ASSERT_TRUE(SetData(text.data(), &odd, 1, aby));
    EXPECT_EQ(text, "0A1B##");

    GET_DATA_PARAM wide = Field(TYPE_BYTES, 32);
    ASSERT_TRUE(GetData("00112233445566778899AABBCCDDEEFF", &wide, 1, aby));
    EXPECT_EQ(aby[15], 0xFF);
    std::memset(aby, 0, sizeof(aby));
    DebugCapture capture;
    EXPECT_FALSE(GetData("00112233445566778899G", &wide, 1, aby));
    EXPECT_EQ(aby[9], 0x99);
    EXPECT_EQ(Printed(capture), "");
}

TEST(FieldCodec, TimeStampAlwaysSpansFourteenDigitsWhateverItsWidth)
{
    SYSTEMTIME st;
    std::memset(&st, 0xFF, sizeof(st));
    GET_DATA_PARAM param = Field(TYPE_SYSTIME, 0);
    ASSERT_TRUE(GetData("20240229235959", &param, 1, &st));
    SYSTEMTIME leap = {2024, 2, 0, 29, 23, 59, 59, 0};
    EXPECT_EQ(std::memcmp(&st, &leap, sizeof(st)), 0);

    char text[16] = "###############";
    ASSERT_TRUE(SetData(text, &param, 1, &st));
    EXPECT_STREQ(text, "20240229235959#");

    SYSTEMTIME big = {12345, 123, 0, 7, 0, 100, 65535, 0};
    ASSERT_TRUE(SetData(text, &param, 1, &big));
    EXPECT_STREQ(text, "23452307000035#");

    DebugCapture capture;
    std::memset(&st, 0xFF, sizeof(st));
    EXPECT_FALSE(GetData("2024X229235959", &param, 1, &st));
    SYSTEMTIME yearOnly = {2024, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(&st, &yearOnly, sizeof(st)), 0);
    EXPECT_EQ(Printed(capture), "");
}

TEST(FieldCodec, BadDigitStopsUnpackingAndKeepsEarlierFields)
{
    std::string text = kStatusText;
    text[24] = 'X';  // last digit of the frequency, the fourth field
    UNIT_STATUS got;
    std::memset(&got, 0xCC, sizeof(got));
    DebugCapture capture;
    EXPECT_FALSE(GetData(text.c_str(), s_aStatusParam, kStatusParams, &got));
    EXPECT_EQ(Printed(capture), "WARNING: invalid param UNIT_STATUS_PARAM:cFrequency\n");
    EXPECT_STREQ(got.szCallsign, "JR1ZZA");
    EXPECT_EQ(got.cBand, 'B');
    EXPECT_EQ(got.wGroupId, 123);
    const char* pRecord = reinterpret_cast<const char*>(&got);
    size_t nRest = offsetof(UNIT_STATUS, dwFrequency);
    EXPECT_EQ(std::string(pRecord + nRest, sizeof(got) - nRest), std::string(sizeof(got) - nRest, '\xCC'))
        << "the bad field and those after it stay unwritten";
}

TEST(FieldCodec, CountBelowOneTouchesNothing)
{
    DebugCapture capture;
    const GET_DATA_PARAM bad = Field(static_cast<DATA_TYPE>(12), 4);
    const GET_DATA_ARRAY_PARAM run = {0, 2, "RUN:acCode", TYPE_ASCII, 0, 0, 0};
    UNIT_STATUS record;
    std::memset(&record, 0xCC, sizeof(record));
    char text[8] = "1234567";
    for (int count : {0, -1}) {
        GET_DATA_ARRAY_PARAM emptyRun = run;
        emptyRun.nNumOfDatas = count;
        EXPECT_TRUE(GetData(text, &bad, count, &record));
        EXPECT_TRUE(SetData(text, &bad, count, &record));
        EXPECT_TRUE(GetDataArray(text, &emptyRun, &record));
    }
    UNIT_STATUS untouched;
    std::memset(&untouched, 0xCC, sizeof(untouched));
    EXPECT_EQ(std::memcmp(&record, &untouched, sizeof(record)), 0);
    EXPECT_STREQ(text, "1234567");
    EXPECT_EQ(Printed(capture), "");
}

TEST(FieldCodec, UnknownTypesAreRejectedByValueOrByName)
{
    DebugCapture capture;
    BYTE record[16] = {};
    char text[16] = "00123456789";
    const GET_DATA_PARAM table[] = {Field(TYPE_DEC_BT, 3), Field(static_cast<DATA_TYPE>(12), 2)};
    EXPECT_FALSE(GetData(text, table, 2, record));
    EXPECT_EQ(record[0], 1) << "the field before the bad descriptor is converted";
    const GET_DATA_PARAM negative = Field(static_cast<DATA_TYPE>(-1), 2);
    EXPECT_FALSE(SetData(text, &negative, 1, record));

    std::string expected = "WARNING: invalid param type 12\nWARNING: invalid param type -1\n";
    for (int type : {0, 8, 9, 10, 11, 12, -1}) {
        GET_DATA_ARRAY_PARAM run = {0, 2, "RUN:acCode", static_cast<DATA_TYPE>(type), 4, 2, 2};
        EXPECT_FALSE(GetDataArray(text, &run, record)) << type;
        expected += "WARNING: invalid data type RUN:acCode\n";
    }
    EXPECT_EQ(record[4], 0);
    EXPECT_STREQ(text, "00123456789");
    EXPECT_EQ(Printed(capture), expected);
}

TEST(FieldCodec, CodeTableRunFillsSixteenBytesFromThirtyTwoDigits)
{
    const char* code = "00010a0B7F80feFF1020304050607080";
    GET_DATA_ARRAY_PARAM run = {0, 2, "SQL_CODE_PARAM:acCode", TYPE_HEX_BT, 1, 16, 0};
    BYTE aby[18];
    std::memset(aby, 0xEE, sizeof(aby));
    ASSERT_TRUE(GetDataArray(code, &run, aby));
    const BYTE want[18] = {0xEE, 0x00, 0x01, 0x0A, 0x0B, 0x7F, 0x80, 0xFE, 0xFF,
                           0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0xEE};
    EXPECT_EQ(std::memcmp(aby, want, sizeof(aby)), 0);

    std::string bad = code;
    bad[11] = 'g';  // element 5
    std::memset(aby, 0xEE, sizeof(aby));
    DebugCapture capture;
    EXPECT_FALSE(GetDataArray(bad.c_str(), &run, aby));
    EXPECT_EQ(Printed(capture), "WARNING: invalid param SQL_CODE_PARAM:acCode\n");
    EXPECT_EQ(aby[5], 0x7F);
    EXPECT_EQ(aby[6], 0xEE);
}

TEST(FieldCodec, NumericRunIsPackedAtNaturalWidthEvenWhenUnaligned)
{
    GET_DATA_ARRAY_PARAM run = {2, 5, "RUN:awPort", TYPE_DEC_WD, 1, 3, 8};
    BYTE buf[9];
    std::memset(buf, 0xEE, sizeof(buf));
    ASSERT_TRUE(GetDataArray("--000016553565535", &run, buf));
    WORD w[3];
    std::memcpy(w, buf + 1, sizeof(w));
    EXPECT_EQ(w[0], 1);
    EXPECT_EQ(w[1], 65535);
    EXPECT_EQ(w[2], 65535);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(buf[7], 0xEE);
}

TEST(FieldCodec, StringRunTerminatesEachElementAndStaysWithinItsText)
{
    const char text[] = "ABCDEF\0GHIJK";
    GET_DATA_ARRAY_PARAM run = {0, 4, "RUN:acName", TYPE_ASCIIZ, 0, 3, 5};
    std::string out(16, 'x');
    ASSERT_TRUE(GetDataArray(text, &run, out.data()));
    EXPECT_EQ(out, std::string("ABCD\0EF\0x\0HIJK\0x", 16));

    run.nNumOfDatas = 2;
    run.nDataSize = 8;  // room for more than the element's 4 characters
    out.assign(16, 'x');
    ASSERT_TRUE(GetDataArray(text, &run, out.data()));
    EXPECT_EQ(out, std::string("ABCDxxx\0EF\0xxxx\0", 16));
}

TEST(FieldCodec, NegativeWidthIsZeroWidth)
{
    BYTE record[8];
    std::memset(record, 0xEE, sizeof(record));
    char text[8] = "1234567";
    const GET_DATA_PARAM table[] = {Field(TYPE_DEC_DW, -3, 0), Field(TYPE_TRIM_SZ, -1, 4), Field(TYPE_BYTES, -3, 6),
                                    Field(TYPE_ASCII, -2, 7)};
    ASSERT_TRUE(GetData(text, table, 4, record));
    EXPECT_EQ(std::memcmp(record, "\0\0\0\0\0\xEE\xEE\xEE", 8), 0);
    ASSERT_TRUE(SetData(text, table, 4, record));
    EXPECT_STREQ(text, "1234567");
}
