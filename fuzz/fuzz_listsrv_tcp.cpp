// Fuzz target of what a list server sends over TCP: the six-byte response
// header, the 127-byte search record and the 159-byte list record. The first
// input byte picks the parser; the rest is handed over in a buffer of exactly
// its size, so a parser that reads past the length it was given shows up. A
// record taken as good must hold terminated texts and a proper server number.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "listsrv.h"

namespace {

void CheckText(const char* psz, size_t nSize)
{
    if (std::memchr(psz, '\0', nSize) == nullptr) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    std::vector<BYTE> rest(data + 1, data + size);
    int nLen = static_cast<int>(rest.size());
    const BYTE* p = rest.empty() ? nullptr : rest.data();
    switch (data[0] % 3) {
        case 0: {
            WORD wCode = 0;
            static const char s_acCmds[] = {'R', 'S', 'L'};
            if (p != nullptr) {
                ListSrv_ParseTcpResHeader(p, nLen, s_acCmds[data[0] / 3 % 3], &wCode);
            }
            break;
        }
        case 1: {
            LISTSRV_SEARCH_RES_PARAM hit;
            if (p != nullptr && ListSrv_ParseSearchRecord(p, nLen, &hit) == 0) {
                CheckText(hit.szServID, sizeof(hit.szServID));
                CheckText(hit.szCity, sizeof(hit.szCity));
                CheckText(hit.szLastUpdate, sizeof(hit.szLastUpdate));
            }
            break;
        }
        default: {
            LISTSRV_LIST_PARAM entry;
            DWORD dwServID = 0;
            if (p != nullptr && ListSrv_ParseListRecord(p, nLen, &entry, &dwServID) == 0) {
                CheckText(entry.szRadioID, sizeof(entry.szRadioID));
                CheckText(entry.szState, sizeof(entry.szState));
                if (dwServID != 0 && (dwServID & 0x80000000u) == 0) {
                    std::abort();
                }
            }
            break;
        }
    }
    return 0;
}
