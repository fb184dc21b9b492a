// Fuzzes the peer link's packet handler with arbitrary datagrams. The first
// input byte picks the sender (one of three targets or a stranger), the rest
// is the datagram, handed over as the UDP receive thread does. The unit is
// made READY once with three targets by a radio that identifies itself; it has
// no ports, so every answer fails to go out. After each packet the targets'
// states and the identities learnt from acknowledgements must be sound; the
// sanitizers catch any access outside a buffer. Debug output stays off.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_unit_ready.h"
#include "server.h"

namespace {

constexpr int MAX_DATAGRAM = 4096;
constexpr int TARGETS = 3;
const ULONG SENDERS[] = {0x0A000001, 0x0A000002, 0x0A000003, 0x0A00004D};

void BringUp()
{
    fuzz_unit::BringUp(SENDERS, TARGETS);
}

void CheckTargets()
{
    for (unsigned i = 0; i < static_cast<unsigned>(SERVER_TARGET_COUNT); ++i) {
        CLIENT_STATUS s = NONE;
        if (!Server_GetTargetStatus(i, &s) || s < NONE || s > WAIT_LIST) {
            std::abort();
        }
    }
    static SEARCH_RESULT s_aResult[SERVER_TARGET_COUNT];
    if (!Server_GetSearchResult(s_aResult)) {
        return;
    }
    for (const SEARCH_RESULT& r : s_aResult) {
        if (strnlen(r.szCallSign, sizeof(r.szCallSign)) >= sizeof(r.szCallSign) ||
            strnlen(r.szRadioID, sizeof(r.szRadioID)) >= sizeof(r.szRadioID)) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool s_bReady = [] {
        BringUp();
        return true;
    }();
    (void)s_bReady;
    if (size < 1 || size > MAX_DATAGRAM + 1) {
        return 0;
    }
    ULONG ulAdrs = SENDERS[data[0] % (sizeof(SENDERS) / sizeof(SENDERS[0]))];
    // A copy of exactly the datagram's size, so a read past it is caught.
    std::vector<BYTE> datagram(data + 1, data + size);
    Server_FeedPeerPacketForTest(ulAdrs, datagram.data(), static_cast<int>(datagram.size()));
    CheckTargets();
    return 0;
}
