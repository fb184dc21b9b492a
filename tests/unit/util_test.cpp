// Tokenising and trimming of command text, hex byte strings and address
// parsing. Fixed-length number fields are covered through the field codec.
#include "util.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
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
    // Left at the terminator, so a further call stays empty.
    EXPECT_TRUE(*next == '\0' && str_token(&next, delimiters) == nullptr);
    return tokens;
}

TEST(TextTokens, QuotedDelimiterStaysInsideTokenAndDelimitersAloneGiveNone)
{
    // An unclosed quote runs to the end of the text.
    const struct {
        std::string text;
        const char* delimiters;
        std::vector<std::string> tokens;
    } cases[] = {{"  SET \t NAME \"My Repeater\"\t", " \t", {"SET", "NAME", "\"My Repeater\""}},
                 {"a,\"b,c\",d", ",", {"a", "\"b,c\"", "d"}},
                 {"x,\"y,z", ",", {"x", "\"y,z"}},
                 {", ,,", ", ", {}},
                 {"a b,c", "", {"a b,c"}}};
    for (auto c : cases) {
        EXPECT_EQ(AllTokens(c.text.data(), c.delimiters), c.tokens) << c.text;
    }
    char* none = nullptr;
    EXPECT_EQ(str_token(&none, ","), nullptr);
}

TEST(TextTrim, BlanksAreCutAtBothEndsOnly)
{
    for (auto [text, trimmed] :
         {std::pair<std::string, std::string>{"  abc  \t", "abc"}, {"\ta  b ", "a  b"}, {"   ", ""}}) {
        EXPECT_EQ(str_trim(text.data()), trimmed);
    }
    char quoted[] = "\"a\"b\"\"";
    str_remove_quotation(quoted);
    EXPECT_STREQ(quoted, "ab");
}

TEST(HexBytes, ByteStringRoundTripsAndStopsAtFirstBadPair)
{
    const BYTE data[] = {0x00, 0x9F, 0xA0, 0xFF};
    char text[9];
    bytes2str(text, data, 4);
    BYTE out[4] = {};
    const bool read = str2bytes("009fa0Ff", out, 4);
    EXPECT_EQ(std::make_tuple(std::string(text), read, Bytes(out, out + 4)),
              std::make_tuple(std::string("009FA0FF"), true, Bytes(data, data + 4)));

    BYTE partial[3] = {1, 2, 3};
    const bool bad = str2bytes("AB:@`g", partial, 3);  // neighbours of the digit ranges
    EXPECT_EQ(std::make_tuple(bad, Bytes(partial, partial + 3)), std::make_tuple(false, Bytes{0xAB, 2, 3}));
    std::vector<char> shortText = {'A', 'B', 'C', '\0'};  // fails at its end, reads no further
    EXPECT_FALSE(str2bytes(shortText.data(), partial, 3));

    const BYTE zeros[] = {0, 0, 1};
    EXPECT_TRUE(is_bytes_zero(zeros, 2) && !is_bytes_zero(zeros, 3));
}

TEST(Addresses, DottedAddressPutsFirstNumberInHighByteAndRejectsAnythingElse)
{
    DWORD address = 0, padded = 0;
    EXPECT_TRUE(str2ipadrs("192.168.0.1", &address) && str2ipadrs("010.001.0.255", &padded));
    EXPECT_EQ(std::make_tuple(address, padded), std::make_tuple(0xC0A80001u, 0x0A0100FFu));
    for (const char* bad : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.4.", "1234.1.1.1", "0001.1.1.1",
                            " 1.2.3.4", "1.2.3.4 ", "+1.2.3.4", "1.2.3.4x", ""}) {
        address = 0x5A5A5A5A;
        const bool ok = str2ipadrs(bad, &address);
        EXPECT_EQ(std::make_tuple(ok, address), std::make_tuple(false, 0x5A5A5A5Au)) << bad;
    }
}

TEST(Addresses, RejectedMacAddressWritesNoByte)
{
    BYTE mac[6] = {};
    BYTE trailing[6] = {};
    EXPECT_TRUE(str2macadrs("00:1a:2B:3c:4D:5e", mac) && str2macadrs("00:11:22:33:44:55:", trailing));
    EXPECT_EQ(Bytes(mac, mac + 6), (Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
    EXPECT_EQ(trailing[5], 0x55);
    for (const char* bad : {"0:11:22:33:44:55", "00-11-22-33-44-55", "00:11:22:33:44:55:66", "00:11:22:33:44:555",
                            "00:11:22:33:44:5", "00:11:22:33:44:55::", "00:11:22:33:44:GG", ""}) {
        BYTE kept[6] = {9, 9, 9, 9, 9, 9};
        const bool ok = str2macadrs(bad, kept);
        EXPECT_EQ(std::make_tuple(ok, Bytes(kept, kept + 6)), std::make_tuple(false, Bytes(6, 9))) << bad;
    }
}

}  // namespace
