// The bounded formatter and the string routines that differ from the C library.
#include "helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(BoundedFormat, LongExpansionIsCutTerminatedAndCountsWhatWasWritten)
{
    struct {
        char buf[8];
        char canary = 'Z';
    } guarded;
    const int cut = _sprintf(guarded.buf, "%s-%08lX", "abc", 0xDEADBEEFUL);
    EXPECT_EQ(std::make_tuple(cut, std::string(guarded.buf), guarded.canary), std::make_tuple(7, "abc-DEA", 'Z'));

    // With no room nothing is written.
    char area[8] = "#######";
    const int n4 = _snprintf(area, 4, "%d", 123456);
    const std::string cut4(area, 5);
    const int n0 = _snprintf(area, 0, "%s", "x");
    const char kept = area[0];
    EXPECT_EQ((std::tuple{n4, cut4, n0, kept, _snprintf(area, 1, "%s", "x"), area[0]}),
              std::make_tuple(3, std::string("123\0#", 5), 0, '1', 0, '\0'));

    char buf[32];  // the system's formats keep their widths and case
    const int wide = _sprintf(buf, "%02X:%04d %08lX %x%c%s%d", 0x0A, 7, 0x12ABUL, 255u, 'K', "OVA", -5);
    EXPECT_EQ(std::make_tuple(wide, std::string(buf)), std::make_tuple(25, "0A:0007 000012AB ffKOVA-5"));
}

TEST(StringCopies, StrncpyNeverPadsAndTerminatesOnlyAShortSource)
{
    char dst[8] = "XXXXXXX";
    _strncpy(dst, "ab", 5);
    const std::string shortSource(dst, 7);
    _strncpy(dst, "abcdef", 3);
    EXPECT_EQ(std::make_tuple(shortSource, std::string(dst, 7)),
              std::make_tuple(std::string("ab\0XXXX", 7), "abcXXXX"));

    char small[4];
    EXPECT_EQ((std::tuple{_strlcpy(small, "abcdef", sizeof(small)), std::string(small)}), std::make_tuple(3u, "abc"));
}

TEST(StringCompare, CaseFoldingCoversAsciiLettersOnly)
{
    // "a" and "B" are compared folded, not as raw codes.
    const auto sign = [](int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; };
    EXPECT_EQ(
        (std::vector<int>{sign(__stricmp("SetIP", "setip")), sign(__stricmp("a", "B")), sign(__stricmp("abc", "AB")),
                          sign(__stricmp("[@", "{`")) != 0, sign(__stricmp("\xC9", "\xE9")) != 0,
                          sign(__strnicmp("IPADDR", "ipaddr2", 6)), sign(__strnicmp("ab", "ABC", 3))}),
        (std::vector<int>{0, -1, 1, 1, 1, 0, -1}));
}

}  // namespace
