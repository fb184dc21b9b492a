// Tokenising and trimming of command text, hex byte strings and address
// parsing. Fixed-length number fields are covered through the field codec.
#include "util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

std::vector<std::string> AllTokens(char* text, const char* delimiters)
{
    std::vector<std::string> tokens;
    char* next = text;
    while (char* token = str_token(&next, delimiters)) {
        tokens.push_back(token);
    }
    EXPECT_EQ(*next, '\0');  // left at the terminator, so a further call stays empty
    EXPECT_EQ(str_token(&next, delimiters), nullptr);
    return tokens;
}

TEST(TextTokens, QuotedDelimiterStaysInsideTokenAndDelimitersAloneGiveNone)
{
    char line[] = "  SET \t NAME \"My Repeater\"\t";
    EXPECT_EQ(AllTokens(line, " \t"), (std::vector<std::string>{"SET", "NAME", "\"My Repeater\""}));
    char list[] = "a,\"b,c\",d";
    EXPECT_EQ(AllTokens(list, ","), (std::vector<std::string>{"a", "\"b,c\"", "d"}));
    char open[] = "x,\"y,z";  // an unclosed quote runs to the end of the text
    EXPECT_EQ(AllTokens(open, ","), (std::vector<std::string>{"x", "\"y,z"}));
    char delimitersOnly[] = ", ,,";
    EXPECT_TRUE(AllTokens(delimitersOnly, ", ").empty());
    char rest[] = "a b,c";
    EXPECT_EQ(AllTokens(rest, ""), (std::vector<std::string>{"a b,c"}));
    char* none = nullptr;
    EXPECT_EQ(str_token(&none, ","), nullptr);
}

TEST(TextTrim, BlanksAreCutAtBothEndsOnly)
{
    char padded[] = "  abc  \t";
    char inner[] = "\ta  b ";
    char blanks[] = "   ";
    char quoted[] = "\"a\"b\"\"";
    EXPECT_STREQ(str_trim(padded), "abc");
    EXPECT_STREQ(str_trim(inner), "a  b");
    EXPECT_STREQ(str_trim(blanks), "");
    str_remove_quotation(quoted);
    EXPECT_STREQ(quoted, "ab");
}

TEST(HexBytes, ByteStringRoundTripsAndStopsAtFirstBadPair)
{
    const BYTE data[] = {0x00, 0x9F, 0xA0, 0xFF};
    char text[9];
    bytes2str(text, data, 4);
    EXPECT_STREQ(text, "009FA0FF");
    BYTE out[4] = {};
    EXPECT_TRUE(str2bytes("009fa0Ff", out, 4));
    EXPECT_EQ(Bytes(out, out + 4), Bytes(data, data + 4));

    BYTE partial[3] = {1, 2, 3};
    EXPECT_FALSE(str2bytes("AB:@`g", partial, 3));  // neighbours of the digit ranges
    EXPECT_EQ(Bytes(partial, partial + 3), (Bytes{0xAB, 2, 3}));
    std::vector<char> shortText = {'A', 'B', 'C', '\0'};  // fails at its end, reads no further
    EXPECT_FALSE(str2bytes(shortText.data(), partial, 3));

    const BYTE zeros[] = {0, 0, 1};
    EXPECT_TRUE(is_bytes_zero(zeros, 2));
    EXPECT_FALSE(is_bytes_zero(zeros, 3));
}

TEST(Addresses, DottedAddressPutsFirstNumberInHighByteAndRejectsAnythingElse)
{
    DWORD address = 0;
    EXPECT_TRUE(str2ipadrs("192.168.0.1", &address));
    EXPECT_EQ(address, 0xC0A80001u);
    EXPECT_TRUE(str2ipadrs("010.001.0.255", &address));
    EXPECT_EQ(address, 0x0A0100FFu);
    for (const char* bad : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.4.", "1234.1.1.1", "0001.1.1.1",
                            " 1.2.3.4", "1.2.3.4 ", "+1.2.3.4", "1.2.3.4x", ""}) {
        address = 0x5A5A5A5A;
        EXPECT_FALSE(str2ipadrs(bad, &address)) << bad;
        EXPECT_EQ(address, 0x5A5A5A5Au) << bad;
    }
}

TEST(Addresses, RejectedMacAddressWritesNoByte)
{
    BYTE mac[6] = {};
    EXPECT_TRUE(str2macadrs("00:1a:2B:3c:4D:5e", mac));
    EXPECT_EQ(Bytes(mac, mac + 6), (Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
    EXPECT_TRUE(str2macadrs("00:11:22:33:44:55:", mac));
    EXPECT_EQ(mac[5], 0x55);
    for (const char* bad : {"0:11:22:33:44:55", "00-11-22-33-44-55", "00:11:22:33:44:55:66", "00:11:22:33:44:555",
                            "00:11:22:33:44:5", "00:11:22:33:44:55::", "00:11:22:33:44:GG", ""}) {
        BYTE kept[6] = {9, 9, 9, 9, 9, 9};
        EXPECT_FALSE(str2macadrs(bad, kept)) << bad;
        EXPECT_EQ(Bytes(kept, kept + 6), Bytes(6, 9)) << bad;
    }
}

}  // namespace
