// Fuzzes the radio frame receiver with an arbitrary byte stream: fed whole and
// again in pieces whose sizes come from the input, it must pass the same
// frames to the protocol handlers in the same order, each parameter area
// inside the received frame (at most 1425 characters). A difference aborts;
// the sanitizers catch any access outside a buffer. The unit is READY with
// two targets before each feed (identified again when a frame took it out of
// READY), so voice, status, recording and play frames reach their READY
// handlers: the transmission buffer, the code-table filter and the queue to
// the peers. It has no ports, so answers cannot go out; debug output stays off.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_unit_ready.h"
#include "server.h"

namespace {

constexpr int MAX_RX_PARAM = 1425;
const ULONG TARGETS[] = {0x0A000001, 0x0A000002};

struct Seen {
    BYTE byCmd;
    std::string param;
    bool operator==(const Seen&) const = default;
};

std::vector<Seen> s_seen;

void Observe(BYTE byCmd, const BYTE* pParam, int nLen)
{
    if (nLen < 0 || nLen > MAX_RX_PARAM) {
        std::abort();
    }
    s_seen.push_back({byCmd, std::string(reinterpret_cast<const char*>(pParam), static_cast<size_t>(nLen))});
}

// SOH, EOT, EOT returns the receiver to its header state from any state
// without completing a frame.
void ResetReceiver()
{
    static const BYTE s_abyReset[] = {0x01, 0x04, 0x04};
    Server_FeedRadioForTest(s_abyReset, sizeof(s_abyReset));
    if (Server_GetUnitState() != UNIT_STATE_READY) {
        fuzz_unit::IdentifyRadio();
    }
}

std::vector<Seen> FeedWhole(const uint8_t* data, size_t size)
{
    ResetReceiver();
    s_seen.clear();
    Server_FeedRadioForTest(data, static_cast<int>(size));
    return s_seen;
}

std::vector<Seen> FeedInPieces(const uint8_t* data, size_t size)
{
    ResetReceiver();
    s_seen.clear();
    uint32_t state = static_cast<uint32_t>(size) * 2654435761u + (size > 0 ? data[0] : 0);
    size_t at = 0;
    while (at < size) {
        state = state * 1103515245u + 12345u;
        size_t n = 1 + (state >> 16) % 64;
        if (n > size - at) {
            n = size - at;
        }
        Server_FeedRadioForTest(data + at, static_cast<int>(n));
        at += n;
    }
    return s_seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool s_bReady = [] {
        fuzz_unit::BringUp(TARGETS, 2);
        Server_SetRadioFrameObserverForTest(Observe);
        return true;
    }();
    (void)s_bReady;
    if (size > 65536) {
        return 0;
    }
    std::vector<Seen> whole = FeedWhole(data, size);
    std::vector<Seen> pieces = FeedInPieces(data, size);
    if (whole != pieces) {
        std::abort();
    }
    return 0;
}
