// The bounded formatter and the string routines that differ from the C library.
#include "helpers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(BoundedFormat, LongExpansionIsCutTerminatedAndCountsWhatWasWritten)
{
    struct {
        char buf[8];
        char canary;
    } guarded;
    guarded.canary = 'Z';
    EXPECT_EQ(_sprintf(guarded.buf, "%s-%08lX", "abc", 0xDEADBEEFUL), 7);
    EXPECT_STREQ(guarded.buf, "abc-DEA");
    EXPECT_EQ(guarded.canary, 'Z');

    char area[8] = "#######";
    EXPECT_EQ(_snprintf(area, 4, "%d", 123456), 3);
    EXPECT_EQ(std::string(area, 5), std::string("123\0#", 5));
    EXPECT_EQ(_snprintf(area, 0, "%s", "x"), 0);  // no room: nothing written
    EXPECT_EQ(area[0], '1');
    EXPECT_EQ(_snprintf(area, 1, "%s", "x"), 0);
    EXPECT_EQ(area[0], '\0');

    char buf[32];  // the system's formats keep their widths and case
    EXPECT_EQ(_sprintf(buf, "%02X:%04d %08lX %x%c%s%d", 0x0A, 7, 0x12ABUL, 255u, 'K', "OVA", -5), 25);
    EXPECT_STREQ(buf, "0A:0007 000012AB ffKOVA-5");
}

TEST(StringCopies, StrncpyNeverPadsAndTerminatesOnlyAShortSource)
{
    char dst[8] = "XXXXXXX";
    _strncpy(dst, "ab", 5);
    EXPECT_EQ(std::string(dst, 7), std::string("ab\0XXXX", 7));
    _strncpy(dst, "abcdef", 3);
    EXPECT_EQ(std::string(dst, 7), "abcXXXX");

    char small[4];
    EXPECT_EQ(_strlcpy(small, "abcdef", sizeof(small)), 3u);
    EXPECT_STREQ(small, "abc");
}

TEST(StringCompare, CaseFoldingCoversAsciiLettersOnly)
{
    EXPECT_EQ(__stricmp("SetIP", "setip"), 0);
    EXPECT_LT(__stricmp("a", "B"), 0);  // compared folded, not as raw codes
    EXPECT_GT(__stricmp("abc", "AB"), 0);
    EXPECT_NE(__stricmp("[@", "{`"), 0);
    EXPECT_NE(__stricmp("\xC9", "\xE9"), 0);
    EXPECT_EQ(__strnicmp("IPADDR", "ipaddr2", 6), 0);
    EXPECT_LT(__strnicmp("ab", "ABC", 3), 0);
}

}  // namespace
