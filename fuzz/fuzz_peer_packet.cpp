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

#include "config.h"
#include "server.h"

namespace {

constexpr int MAX_DATAGRAM = 4096;
constexpr int TARGETS = 3;
const ULONG SENDERS[] = {0x0A000001, 0x0A000002, 0x0A000003, 0x0A00004D};

// One radio frame: SOH, command, length as four hex digits, the parameters,
// EOT and the two hex digits of the 8-bit sum of SOH through EOT.
void FeedRadioFrame(char cCmd, const std::string& param)
{
    static const char s_szHex[] = "0123456789ABCDEF";
    std::vector<BYTE> f = {0x01, static_cast<BYTE>(cCmd)};
    size_t n = param.size();
    for (int shift = 12; shift >= 0; shift -= 4) {
        f.push_back(static_cast<BYTE>(s_szHex[(n >> shift) & 0xF]));
    }
    f.insert(f.end(), param.begin(), param.end());
    f.push_back(0x04);
    BYTE sum = 0;
    for (BYTE b : f) {
        sum = static_cast<BYTE>(sum + b);
    }
    f.push_back(static_cast<BYTE>(s_szHex[sum >> 4]));
    f.push_back(static_cast<BYTE>(s_szHex[sum & 0xF]));
    Server_FeedRadioForTest(f.data(), static_cast<int>(f.size()));
}

void BringUp()
{
    Server_Construct();
    CONFIG_Init();
    CONFIG_PARAM* cfg = CONFIG_Get();
    for (int i = 0; i < TARGETS; ++i) {
        cfg->aTargetInfo[i].bEnable = TRUE;
        cfg->aTargetInfo[i].dwTargetIP = SENDERS[i];
    }
    Server_Connect();  // takes the configuration over
    FeedRadioFrame('V', "FUZZ-RADIO      ALLALL1.0.0 20240101 12345      FUZZ0CALL ");
    FeedRadioFrame('I', "200000000000000000000000000000801234");
    if (Server_GetUnitState() != UNIT_STATE_READY) {
        std::abort();
    }
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
