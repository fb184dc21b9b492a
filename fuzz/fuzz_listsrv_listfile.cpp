// Fuzz target of the directory client's list file decoder. The input is the
// body of the list file as fetched over HTTP, in a buffer of exactly its size
// (no terminator), so any read past the text shows up. The decoder must keep
// to the table size it is given and accept only real addresses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "listsrv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> body(data, data + size);
    for (int nMax : {LISTSRV_SERVER_MAX, 1}) {
        DWORD adwAdrs[LISTSRV_SERVER_MAX + 1];
        adwAdrs[nMax] = 0xA5A5A5A5u;  // a guard after the table handed over
        int n = ListSrv_DecodeListFile(body.data(), static_cast<int>(body.size()), adwAdrs, nMax);
        if (n < 0 || n > nMax || adwAdrs[nMax] != 0xA5A5A5A5u) {
            std::abort();
        }
        for (int i = 0; i < n; ++i) {
            if (adwAdrs[i] == 0) {
                std::abort();
            }
        }
    }
    return 0;
}
