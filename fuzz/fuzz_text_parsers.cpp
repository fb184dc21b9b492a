// Fuzzes the parsers of command and configuration text. The first byte picks
// one: the tokeniser (next byte: count of delimiter bytes that follow, then the
// text), the dotted IPv4 parser, the MAC address parser or the hex byte string
// reader (next byte: byte count). Each checks a property and aborts when it
// does not hold; the sanitizers catch any read or write outside the copies.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "util.h"

namespace {

void Require(bool property)
{
    if (!property) {
        std::abort();
    }
}

// A heap copy of exactly size bytes plus a terminator, so any read past the
// end is caught.
std::vector<char> Terminated(const uint8_t* data, size_t size)
{
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    return text;
}

void FuzzTokens(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return;
    }
    size_t count = data[0] % 4;
    ++data;
    --size;
    std::string delimiters;
    for (; count > 0 && size > 0; --count, ++data, --size) {
        if (data[0] != '\0') {
            delimiters.push_back(static_cast<char>(data[0]));
        }
    }
    std::vector<char> text = Terminated(data, size);
    char* begin = text.data();
    char* end = begin + std::strlen(begin);  // the text ends at its first zero byte
    char* next = begin;
    char* token;
    while ((token = str_token(&next, delimiters.c_str())) != nullptr) {
        size_t length = std::strlen(token);
        Require(token >= begin && token + length <= end && length > 0);
        Require(next >= token + length && next <= end);  // progress, inside the text
        Require(delimiters.find(token[0]) == std::string::npos);
        bool quoted = false;
        for (const char* p = token; *p != '\0'; ++p) {
            if (*p == '"') {
                quoted = !quoted;
            } else {
                Require(quoted || delimiters.find(*p) == std::string::npos);
            }
        }
    }
    Require(next == end);
}

void FuzzIpAddress(const uint8_t* data, size_t size)
{
    std::vector<char> text = Terminated(data, size);
    DWORD address = 0x5A5A5A5A;
    if (!str2ipadrs(text.data(), &address)) {
        Require(address == 0x5A5A5A5A);
        return;
    }
    char printed[16];
    std::snprintf(printed, sizeof(printed), "%d.%d.%d.%d", static_cast<int>(address >> 24),
                  static_cast<int>((address >> 16) & 0xFF), static_cast<int>((address >> 8) & 0xFF),
                  static_cast<int>(address & 0xFF));
    DWORD again = 0;
    Require(str2ipadrs(printed, &again) && again == address);
}

void FuzzMacAddress(const uint8_t* data, size_t size)
{
    std::vector<char> text = Terminated(data, size);
    BYTE mac[6] = {9, 9, 9, 9, 9, 9};
    if (!str2macadrs(text.data(), mac)) {
        for (BYTE b : mac) {
            Require(b == 9);
        }
        return;
    }
    char printed[18];
    std::snprintf(printed, sizeof(printed), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    BYTE again[6] = {};
    Require(str2macadrs(printed, again) && std::memcmp(again, mac, sizeof(mac)) == 0);
}

void FuzzByteString(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return;
    }
    int len = data[0] % 64;
    std::vector<char> text = Terminated(data + 1, size - 1);
    std::vector<BYTE> bytes(static_cast<size_t>(len));
    if (!str2bytes(text.data(), bytes.data(), len)) {
        return;
    }
    std::vector<char> printed(2 * static_cast<size_t>(len) + 1);
    bytes2str(printed.data(), bytes.data(), len);
    Require(std::strlen(printed.data()) == 2 * static_cast<size_t>(len));
    for (size_t i = 0; i < 2 * static_cast<size_t>(len); ++i) {
        Require(std::tolower(static_cast<unsigned char>(text[i])) ==
                std::tolower(static_cast<unsigned char>(printed[i])));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    switch (data[0] % 4) {
        case 0:
            FuzzTokens(data + 1, size - 1);
            break;
        case 1:
            FuzzIpAddress(data + 1, size - 1);
            break;
        case 2:
            FuzzMacAddress(data + 1, size - 1);
            break;
        default:
            FuzzByteString(data + 1, size - 1);
            break;
    }
    return 0;
}
