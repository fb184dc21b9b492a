// The key=value engine on a record with one field of every type: defaults,
// which texts each type accepts, the line each forms, that a rejected text
// leaves its field and a parse never touches a neighbouring field, key
// matching (every row of a key, no prefix), and lines cut to the caller's buffer.

#include "conftbl.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "dataconv.h"  // both headers name a TYPE_BYTES: they must live together
#include "helpers.h"

namespace {

static_assert(static_cast<int>(CONFIG_TYPE::TYPE_BYTES) == 9 && static_cast<int>(CONFIG_TYPE::TYPE_MAC) == 10 &&
              TYPE_BYTES == 10);

struct Rec {
    int nInt;
    BOOL bBool;
    char szStr[6];
    DWORD dwIp;
    int nLong;
    DWORD dwDword;
    DWORD dwHexDw;
    BYTE byHexBt;
    BYTE byByte;
    BYTE abyBytes[3];
    BYTE abyMac[6];
    BOOL bTwin;  // a second row with the key "bool"
};

#define FIELD(f) static_cast<int>(offsetof(Rec, f))
const CONFIG_TBL kTbl[] = {
    {"int", FIELD(nInt), CONFIG_TYPE::TYPE_INT, 21110, nullptr, 0},
    {"bool", FIELD(bBool), CONFIG_TYPE::TYPE_BOOL, 1, nullptr, 0},
    {"str", FIELD(szStr), CONFIG_TYPE::TYPE_STR, 0, "dflt", 6},
    {"ip", FIELD(dwIp), CONFIG_TYPE::TYPE_IP, 0xC0A80001, nullptr, 0},
    {"long", FIELD(nLong), CONFIG_TYPE::TYPE_LONG, 7, nullptr, 0},
    {"dword", FIELD(dwDword), CONFIG_TYPE::TYPE_DWORD, 8, nullptr, 0},
    {"hexdw", FIELD(dwHexDw), CONFIG_TYPE::TYPE_HEXDW, 0xFFFFFFFF, nullptr, 0},
    {"hexbt", FIELD(byHexBt), CONFIG_TYPE::TYPE_HEXBT, 0x1AB, nullptr, 0},
    {"byte", FIELD(byByte), CONFIG_TYPE::TYPE_BYTE, 300, nullptr, 0},
    {"bytes", FIELD(abyBytes), CONFIG_TYPE::TYPE_BYTES, 0x5A, nullptr, 3},
    {"mac", FIELD(abyMac), CONFIG_TYPE::TYPE_MAC, 0x12FF, nullptr, 0},
    {"BOOL", FIELD(bTwin), CONFIG_TYPE::TYPE_BOOL, 0, nullptr, 0},
};
#undef FIELD
constexpr int kRows = static_cast<int>(sizeof(kTbl) / sizeof(kTbl[0]));

// The lines of the defaults, written out by hand.
const char* const kDefaultLines[kRows] = {
    "int=21110", "bool=1",  "str=dflt",     "ip=192.168.0.1",        "long=7", "dword=8", "hexdw=FFFFFFFF",
    "hexbt=AB",  "byte=44", "bytes=5A5A5A", "mac=FF:FF:FF:FF:FF:FF", "BOOL=0",
};

std::string Line(const Rec& rec, int row)
{
    char buf[CONFTBL_LINE_MAX];
    CONFTBL_GetParam(&kTbl[row], &rec, buf, sizeof(buf));
    return buf;
}

Rec Defaults()
{
    Rec rec;
    std::memset(&rec, 0xEE, sizeof(rec));
    CONFTBL_SetDefaultAll(kTbl, kRows, &rec);
    return rec;
}

TEST(ConfigTable, DefaultsFormTheirLinesCutToTheCallersBufferAndFillByteIsTheLowByte)
{
    const Rec rec = Defaults();
    for (int row = 0; row < kRows; ++row) {
        const std::string full = kDefaultLines[row];
        EXPECT_EQ(Line(rec, row), full);
        for (int size = 1; size <= static_cast<int>(full.size()) + 1; ++size) {
            char buf[64];
            std::memset(buf, '#', sizeof(buf));
            CONFTBL_GetParam(&kTbl[row], &rec, buf, size);
            EXPECT_EQ(std::string(buf), full.substr(0, static_cast<size_t>(size - 1))) << full << " in " << size;
            EXPECT_EQ(buf[size], '#') << full << " in " << size;
        }
    }
    EXPECT_EQ(rec.szStr[4], '\0');
}

TEST(ConfigTable, EachTypeAcceptsItsTextsAndRejectsOthersLeavingTheField)
{
    struct Case {
        const char* key;  // in another case than the table's, as a hand-edited file may have it
        const char* text;
        bool accepted;
        const char* value;  // the key's rows after an accepted parse; a rejected one leaves the defaults
    };
    const Case cases[] = {
        {"INT", "123", true, "123"},
        {"Int", "", true, "0"},
        {"int", "-1", false, ""},
        {"int", "12a", false, ""},
        {"int", "4294967295", true, "4294967295"},  // reads back as itself
        {"int", "4294967296", true, "0"},           // 32-bit arithmetic
        {"long", "2147483648", true, "2147483648"},
        {"dword", "42", true, "42"},
        {"STR", "\"ab\"c", true, "abc"},
        {"str", "abcdefgh", true, "abcde"},
        {"str", "", true, ""},
        {"str", " a", true, "\" a\""},  // quoted so that it reads back with its blank
        {"str", "abcd ", true, "\"abcd \""},
        {"IP", "010.0.0.255", true, "10.0.0.255"},
        {"ip", "1.2.3", false, ""},
        {"ip", "", false, ""},
        {"hexdw", "fF", true, "000000FF"},
        {"hexdw", "123456789", true, "23456789"},
        {"hexdw", "", true, "00000000"},
        {"hexdw", "0x1", false, ""},
        {"hexbt", "1fe", true, "FE"},
        {"hexbt", "g", false, ""},
        {"byte", "300", true, "44"},
        {"byte", "2.5", false, ""},
        {"bytes", "0a1B2c", true, "0A1B2C"},
        {"bytes", "0a1B", false, ""},    // too short: nothing written
        {"bytes", "0a1Bzz", false, ""},  // a bad last pair: nothing written
        {"mac", "00:1a:2B:3c:4D:5e", true, "00:1A:2B:3C:4D:5E"},
        {"mac", "00:1a:2B:3c:4D:5e:", true, "00:1A:2B:3C:4D:5E"},
        {"mac", "00:11:22:33:44:5", false, ""},
        {"mac", "00-11-22-33-44-55", false, ""},
        {"bool", "3", true, "3"},  // every row of the key, stored as it is, not reduced to 1
        {"nokey", "1", true, ""},
        {"in", "1", true, ""},  // no prefix match
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.text);
        Rec rec = Defaults();
        std::string text = c.text;
        BOOL matched = 5;
        EXPECT_EQ(CONFTBL_LoadParam(kTbl, kRows, &rec, c.key, text.data(), &matched), c.accepted ? TRUE : FALSE);
        bool known = false;
        for (int row = 0; row < kRows; ++row) {
            const bool mine = c.accepted && __stricmp(kTbl[row].pszName, c.key) == 0;
            known = known || mine;
            EXPECT_EQ(Line(rec, row), mine ? std::string(kTbl[row].pszName) + "=" + c.value : kDefaultLines[row])
                << "row " << kTbl[row].pszName;
        }
        EXPECT_EQ(matched, c.accepted ? BOOL(known) : 5) << "left untouched on a rejection";
    }
    Rec rec = Defaults();
    char text[] = "1";
    EXPECT_TRUE(CONFTBL_LoadParam(kTbl, 0, &rec, "int", text, nullptr));  // no rows: no match, no flag to write
    EXPECT_EQ(Line(rec, 0), kDefaultLines[0]);
}

}  // namespace
