// Fuzzes the HTTP response parser over arbitrary bytes. The first byte sets
// the body buffer's size (nMaxDataLen, 0 to 1020); the rest is the response as
// a server would send it before closing. The buffer is a heap block of exactly
// nMaxDataLen + 1 bytes, so the sanitizers catch any write past it. Checked:
//  - a parsed body fits the buffer, is terminated, matches nLength and is a
//    run of bytes of the input;
//  - the Content-Type kept fits its field;
//  - a response whose body was accepted also parses without a body buffer,
//    and parsing is deterministic.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "httpcomm.h"

namespace {

void Require(bool property, const char* what)
{
    if (!property) {
        fprintf(stderr, "http response parser violation: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    int nMaxDataLen = data[0] * 4;
    const uint8_t* response = data + 1;
    int nLen = static_cast<int>(size - 1);

    std::vector<uint8_t> body(static_cast<size_t>(nMaxDataLen) + 1);
    HTTP_PARAM param{};
    int nGot = -1;
    BOOL ok = HTTP_ParseResponse(response, nLen, &param, body.data(), nMaxDataLen, &nGot);
    Require(strnlen(param.szType, sizeof(param.szType)) < sizeof(param.szType), "type field terminated");
    if (ok) {
        Require(nGot >= 0 && nGot <= nMaxDataLen, "body fits the buffer");
        Require(body[static_cast<size_t>(nGot)] == 0, "body terminated");
        Require(param.nLength == nGot, "nLength is the body's length");
        Require(std::search(response, response + nLen, body.begin(), body.begin() + nGot) != response + nLen ||
                    nGot == 0,
                "body comes from the input");
    }

    HTTP_PARAM again{};
    std::vector<uint8_t> body2(static_cast<size_t>(nMaxDataLen) + 1);
    int nGot2 = -1;
    Require(HTTP_ParseResponse(response, nLen, &again, body2.data(), nMaxDataLen, &nGot2) == ok, "deterministic");
    Require(!ok || (nGot2 == nGot && std::memcmp(body.data(), body2.data(), static_cast<size_t>(nGot) + 1) == 0),
            "same body twice");

    HTTP_PARAM headersOnly{};
    BOOL okHeaders = HTTP_ParseResponse(response, nLen, &headersOnly, nullptr, 0, nullptr);
    Require(!ok || okHeaders, "an accepted response parses without a body buffer");
    Require(!ok || headersOnly.nRetCode == param.nRetCode, "same status without a body buffer");
    return 0;
}
