#include "dataconv.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>


namespace {

using Bytes = std::vector<BYTE>;

// A status record of a unit as a protocol module would declare it.
struct UNIT_STATUS {
    char szCallsign[11];
    char cBand;
    BYTE byGroup;
    DWORD dwFrequency;
    BYTE abyKey[3];
    DWORD dwCode;
};

const GET_DATA_PARAM s_aStatusParam[] = {
    {0, 10, "UNIT_STATUS_PARAM:cCallsign", TYPE_TRIM_SZ, offsetof(UNIT_STATUS, szCallsign)},
    {10, 1, "UNIT_STATUS_PARAM:cBand", TYPE_CHAR, offsetof(UNIT_STATUS, cBand)},
    {11, 3, "UNIT_STATUS_PARAM:cGroup", TYPE_DEC_BT, offsetof(UNIT_STATUS, byGroup)},
    {14, 9, "UNIT_STATUS_PARAM:cFrequency", TYPE_DEC_DW, offsetof(UNIT_STATUS, dwFrequency)},
    {23, 6, "UNIT_STATUS_PARAM:cKey", TYPE_BYTES, offsetof(UNIT_STATUS, abyKey)},
    {29, 8, "UNIT_STATUS_PARAM:cCode", TYPE_HEX_DW, offsetof(UNIT_STATUS, dwCode)},
};
constexpr int kStatusParams = sizeof(s_aStatusParam) / sizeof(s_aStatusParam[0]);
const std::string kStatusText = "JR1ZZA    B1234398500000A1B2C0BADF00D";

const auto Field = [](DATA_TYPE type, int nSize) { return GET_DATA_PARAM{0, nSize, "TEST_PARAM:cField", type, 0}; };

std::string PackFrom(DATA_TYPE type, int nSize, const void* pMember)
{
    std::string text(8, '#');
    GET_DATA_PARAM param = Field(type, nSize);
    EXPECT_TRUE(SetData(text.data(), &param, 1, pMember));
    return text;
}
template <class T>
std::string Pack(DATA_TYPE type, int nSize, T value)
{
    return PackFrom(type, nSize, &value);
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

TEST(FieldCodec, RecordPacksToItsExactWireTextAndBackAndABadDigitStopsTheFieldsAfterIt)
{
    UNIT_STATUS want, got;  // bytes no field covers hold 0xCC
    std::memset(&want, 0xCC, sizeof(want));
    std::memcpy(&want, "JR1ZZA\0\0\0\0\0B{", 13);
    std::memcpy(want.abyKey, "\x0A\x1B\x2C", 3);
    want.dwFrequency = 439850000;
    want.dwCode = 0x0BADF00D;
    char text[38];
    std::memset(text, '#', sizeof(text));
    ASSERT_TRUE(SetData(text, s_aStatusParam, kStatusParams, &want));
    EXPECT_EQ(std::string(text, sizeof(text)), kStatusText + "#");
    std::memset(&got, 0xCC, sizeof(got));
    ASSERT_TRUE(GetData(kStatusText.c_str(), s_aStatusParam, kStatusParams, &got));
    EXPECT_EQ(std::memcmp(&got, &want, sizeof(got)), 0);

    std::string bad = kStatusText;
    bad[22] = 'X';  // last digit of the frequency, the fourth field
    std::memset(&got, 0xCC, sizeof(got));
    want.dwFrequency = want.dwCode = 0xCCCCCCCC;
    std::memset(want.abyKey, 0xCC, 3);
    EXPECT_FALSE(GetData(bad.c_str(), s_aStatusParam, kStatusParams, &got));
    EXPECT_EQ(std::memcmp(&got, &want, sizeof(got)), 0) << "the bad field and those after it stay unwritten";
}

TEST(FieldCodec, NumbersWrapToTheirWidthPackInUpperCaseAndANonDigitFailsTheField)
{
    EXPECT_EQ((std::vector<std::string>{Pack<DWORD>(TYPE_DEC_DW, 4, 123456), Pack<DWORD>(TYPE_HEX_DW, 4, 0x1ABCD),
                                        Pack<BYTE>(TYPE_HEX_BT, 2, 0xAF), Pack<BYTE>(TYPE_DEC_BT, 3, 7),
                                        Pack<BYTE>(TYPE_DEC_BT, 0, 9)}),
              (std::vector<std::string>{"3456####", "ABCD####", "AF######", "007#####", "########"}));
    EXPECT_EQ((std::vector<DWORD>{Unpack<BYTE>(TYPE_DEC_BT, "00042"), Unpack<BYTE>(TYPE_HEX_BT, "ab"),
                                  Unpack<BYTE>(TYPE_DEC_BT, "300"), Unpack<DWORD>(TYPE_DEC_DW, "4294967297"),
                                  Unpack<DWORD>(TYPE_HEX_DW, "123456789"), Unpack<DWORD>(TYPE_DEC_DW, "", 77)}),
              (std::vector<DWORD>{42, 0xAB, 300 & 0xFF, 1, 0x23456789, 0}));

    // A character that is no digit of the type fails the field.
    const struct {
        DATA_TYPE type;
        const char* text;
    } cases[] = {{TYPE_DEC_BT, "0004A"}, {TYPE_DEC_BT, " 42"}, {TYPE_DEC_DW, "-42"}, {TYPE_HEX_DW, "0x1F"},
                 {TYPE_HEX_BT, "G1"},    {TYPE_BYTES, "0011G233"}};
    for (auto [type, text] : cases) {
        GET_DATA_PARAM param = Field(type, static_cast<int>(std::strlen(text)));
        DWORD value = 0x5A5A5A5A;
        const bool ok = GetData(text, &param, 1, &value);  // BYTES: 00 11 set
        EXPECT_EQ(std::make_tuple(ok, value), std::make_tuple(false, type == TYPE_BYTES ? 0x5A5A1100u : 0x5A5A5A5Au))
            << text;
    }
}

struct TextCase {
    DATA_TYPE type;
    int nSize;
    std::string text, member;
};
using S = std::string;

// Members start as six blanks. TRIM_SZ drops blank padding only from a text
// of full width (leading blanks and tabs are the value's); BYTES takes whole
// digit pairs only; a negative width counts as 0.
TEST(FieldCodec, TextTypesUnpackToTheirExactMemberBytes)
{
    // clang-format off
    const TextCase cases[] = {
        {TYPE_TRIM_SZ, 5, "ABC  ", S("ABC\0\0\0", 6)},         {TYPE_TRIM_SZ, 5, "     ", S(6, '\0')},
        {TYPE_TRIM_SZ, 5, "  AB ", S("  AB\0\0", 6)},          {TYPE_TRIM_SZ, 5, "AB\t\t\t", S("AB\t\t\t\0", 6)},
        {TYPE_TRIM_SZ, 5, S("AB \0 ", 5), S("AB \0 \0", 6)},   {TYPE_TRIM_SZ, 0, "", S("\0     ", 6)},
        {TYPE_TRIM_SZ, -1, "AB", S("\0     ", 6)},             {TYPE_CHAR, 0, "QR", "Q     "},
        {TYPE_CHAR, 5, "QR", "Q     "},                        {TYPE_BYTES, 5, "0a1BZ", "\x0A\x1B    "},
        {TYPE_BYTES, -3, "0A", "      "}};
    // clang-format on
    for (const TextCase& c : cases) {
        std::string member(6, ' ');
        GET_DATA_PARAM param = Field(c.type, c.nSize);
        EXPECT_EQ((std::tuple{GetData(c.text.c_str(), &param, 1, member.data()) != FALSE, member}),
                  std::make_tuple(true, c.member))
            << c.text;
    }
}

// Texts start as eight '#'. An odd BYTES width leaves its last character.
TEST(FieldCodec, TextTypesPackToTheirExactText)
{
    // clang-format off
    const TextCase cases[] = {
        {TYPE_TRIM_SZ, 5, "AB   ###", "AB"},        {TYPE_TRIM_SZ, 5, "     ###", ""},
        {TYPE_TRIM_SZ, 5, "ABCDE###", "ABCDEFG"},   {TYPE_TRIM_SZ, -1, "########", "AB"},
        {TYPE_CHAR, 0, "Q#######", "QR"},           {TYPE_BYTES, 5, "0A1B####", "\x0A\x1B\x2C"},
        {TYPE_BYTES, -3, "########", "\x0A"}};
    // clang-format on
    for (const TextCase& c : cases) {
        std::string member = c.member;
        member.resize(16, '\0');
        EXPECT_EQ(PackFrom(c.type, c.nSize, member.data()), c.text) << c.text;
    }
}

TEST(FieldCodec, RunFillsEachElementAndStopsAtABadOne)
{
    const std::string code = "00010a0B7F80feFF1020304050607080";
    const GET_DATA_ARRAY_PARAM run = {0, 2, "SQL_CODE_PARAM:acCode", TYPE_HEX_BT, 1, 16, 0};
    Bytes aby(18, 0xEE);
    ASSERT_TRUE(GetDataArray(code.c_str(), &run, aby.data()));
    const Bytes want = {0xEE, 0x00, 0x01, 0x0A, 0x0B, 0x7F, 0x80, 0xFE, 0xFF,
                        0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0xEE};
    EXPECT_EQ(aby, want);
    aby.assign(18, 0xEE);
    EXPECT_FALSE(GetDataArray((code.substr(0, 11) + "g" + code.substr(12)).c_str(), &run, aby.data()));
    Bytes wantBad(18, 0xEE);
    std::copy(want.begin(), want.begin() + 6, wantBad.begin());
    EXPECT_EQ(aby, wantBad) << "the elements before the bad fifth are set";
}
