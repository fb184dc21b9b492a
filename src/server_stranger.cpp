// server_stranger: the tally of packets that reach the peer port from an
// address that is no target's. Such packets are dropped before anything
// about them is traced; what is said of them is one warning per source per
// 10 s with the count, so that a flood costs the UDP receive thread no log
// record per packet (each record waits for the storage device, and while the
// receive thread waits the kernel drops datagrams, real peers' included).
//
// Up to STRANGER_SOURCES sources are told apart; any further one is counted
// under "other addresses", so a flood from many spoofed sources still gives
// a bounded number of lines.
//
// Threads and locks: StrangerNote runs on the command server's UDP receive
// thread, StrangerReport on TimerThread; both with s_csTarget held, which
// guards the tally.
#include "debug.h"
#include "helpers.h"
#include "server_internal.h"

namespace {

constexpr int STRANGER_SOURCES = 8;
constexpr int OTHER_SOURCES = STRANGER_SOURCES;  // the slot of every source beyond them
constexpr DWORD STRANGER_REPORT_MS = 10000;

struct StrangerTally {
    bool bActive;      // a source is counted here
    ULONG ulAdrs;      // the source; unused in the slot of other addresses
    DWORD dwCount;     // packets since the last line
    DWORD dwLastLine;  // tick of the last line
};

StrangerTally s_aTally[STRANGER_SOURCES + 1];

StrangerTally& SlotFor(ULONG ulAdrs)
{
    StrangerTally* pFree = nullptr;
    for (int i = 0; i < STRANGER_SOURCES; ++i) {
        StrangerTally& t = s_aTally[i];
        if (t.bActive && t.ulAdrs == ulAdrs) {
            return t;
        }
        if (!t.bActive && pFree == nullptr) {
            pFree = &t;
        }
    }
    return pFree != nullptr ? *pFree : s_aTally[OTHER_SOURCES];
}

// The first line of a source, or its count since the last line.
void Tell(const StrangerTally& t, int nSlot, DWORD now, bool bFirst)
{
    char szWho[32];
    if (nSlot == OTHER_SOURCES) {
        _sprintf(szWho, "%s", "other addresses");
    } else {
        _sprintf(szWho, "%d.%d.%d.%d", static_cast<int>((t.ulAdrs >> 24) & 0xFF),
                 static_cast<int>((t.ulAdrs >> 16) & 0xFF), static_cast<int>((t.ulAdrs >> 8) & 0xFF),
                 static_cast<int>(t.ulAdrs & 0xFF));
    }
    if (bFirst) {
        DebugLog(LOG_CAT_WARNING, "[W] packets from %s ignored: not a target\n", szWho);
    } else {
        DebugLog(LOG_CAT_WARNING, "[W] %u packets from %s ignored in %u s: not a target\n",
                 static_cast<unsigned>(t.dwCount), szWho, static_cast<unsigned>((now - t.dwLastLine) / 1000));
    }
}

}  // namespace

void StrangerNote(ULONG ulAdrs, DWORD now)
{
    StrangerTally& t = SlotFor(ulAdrs);
    if (!t.bActive) {
        // A new source is told at once, then at most once per period.
        t = StrangerTally{true, ulAdrs, 0, now};
        Tell(t, static_cast<int>(&t - s_aTally), now, true);
        return;
    }
    ++t.dwCount;
}

void StrangerReport(DWORD now)
{
    for (int i = 0; i <= STRANGER_SOURCES; ++i) {
        StrangerTally& t = s_aTally[i];
        if (!t.bActive || now - t.dwLastLine < STRANGER_REPORT_MS) {
            continue;
        }
        if (t.dwCount == 0) {
            t.bActive = false;  // quiet for a whole period: the slot is free again
            continue;
        }
        Tell(t, i, now, false);
        t.dwCount = 0;
        t.dwLastLine = now;
    }
}

void StrangerReset()
{
    for (StrangerTally& t : s_aTally) {
        t = StrangerTally{};
    }
}
