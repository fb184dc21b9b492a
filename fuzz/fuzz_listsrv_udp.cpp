// Fuzz target of what a list server sends over UDP: health check answers with
// their variable parts and port check answers, each datagram in a buffer of
// exactly its size. The entries taken from an answer must stay within the
// table handed over, and every server number taken must carry bit 31.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "listsrv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<BYTE> datagram(data, data + size);
    const BYTE* p = datagram.empty() ? nullptr : datagram.data();
    int nLen = static_cast<int>(datagram.size());
    char cCmd = 0;
    ListSrv_IsListServerAnswer(p, nLen, &cCmd);
    if (ListSrv_CheckUdpRes(p, nLen, 'H', 22)) {
        for (int nMax : {LISTSRV_HEALTH_RES_MAX, 2}) {
            HEALTH_CHECK_RES_V aRes[LISTSRV_HEALTH_RES_MAX + 1];
            aRes[nMax].dwServID = 0x5A5A5A5Au;
            int nNum = -1;
            ListSrv_ParseHealthCheckRes(p, nLen, aRes, nMax, &nNum);
            if (nNum < 0 || nNum > nMax || aRes[nMax].dwServID != 0x5A5A5A5Au) {
                std::abort();
            }
            for (int i = 0; i < nNum; ++i) {
                if (aRes[i].dwServID != 0 && (aRes[i].dwServID & 0x80000000u) == 0) {
                    std::abort();
                }
            }
        }
    }
    char szRadioID[6];
    if (ListSrv_ParsePortCheckRes(p, nLen, szRadioID) && szRadioID[5] != '\0') {
        std::abort();
    }
    return 0;
}
