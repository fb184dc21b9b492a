// server_led: the unit's two status LEDs. Once per timer tick it chooses the
// pattern each LED should show from the unit state, the Ethernet carrier (not
// judged during the first 29 ticks after a start) and recent voice traffic to
// the peers, and advances each LED by one 100 ms step of its pattern through
// the led driver. A start on factory settings after both settings files
// failed their check shows the error pattern on the communication LED until
// the next committed update, so that a unit that lost its settings is seen.
//
// Threads: the timer thread; LedFlashComm on TxLanThread. Locks: runs with
// s_csTarget held, which guards the pattern state; the flash count is atomic.
#include <atomic>

#include "led.h"
#include "server_internal.h"

namespace {

constexpr DWORD LINK_DELAY_TICKS = 30;  // start-up grace of the carrier check
constexpr DWORD LED_COMM_FLASH_TICKS = 3;

// LED patterns and the two LEDs.
enum _LED_PAT : int {
    LED_PAT_OFF = 0,
    LED_PAT_ON = 1,
    LED_PAT_BLINK = 2,
    LED_PAT_ERROR = 3,
    LED_PAT_BLINK_1SHOT = 4,
};
typedef _LED_PAT LED_PAT;

enum _LED_INDEX : int {
    INDEX_LED_COMM = 0,
    INDEX_LED_ALARM = 1,
    INDEX_LED_MAX = 2,
};

// Pattern state of one LED.
struct tagLED_CTRL_TBL {
    LED_PAT pat;         // pattern requested for this tick
    int nCount;          // current step
    int nMaxCount;       // steps of the pattern
    int nInterval;       // ticks on the current step (every step lasts one tick)
    const BYTE* pbyPat;  // the step table shown; null while steady
};
typedef tagLED_CTRL_TBL LED_CTRL_TBL;

LED_CTRL_TBL s_LedCtrlTbl[INDEX_LED_MAX];
std::atomic<DWORD> s_dwTmLedComm{0};  // reloaded by the LAN sender, counted down by the tick
DWORD s_dwTmLinkDelay = 0;            // ticks since the start, up to the grace
std::atomic<bool> s_bSettingsAlarm{false};  // set by initialisation, cleared by the idle loop

// One entry per 100 ms step; 1 = lit.
const BYTE s_abyLedPat_Blink[] = {1, 1, 1, 1, 0, 0, 0, 0};
const BYTE s_abyLedPat_Error[] = {1, 0, 1, 0, 0, 0, 0, 0};
const BYTE s_abyLedPat_Blink2[] = {0, 1};
// The driver's mask of each LED.
const DWORD s_adwLedBit[INDEX_LED_MAX] = {1u << IDX_OP_COMM, 1u << IDX_OP_ALARM};

template <int N>
constexpr int Steps(const BYTE (&)[N])
{
    return N;
}

// Advances LED nIndex by one tick and drives it.
void UpdateLed(int nIndex)
{
    LED_CTRL_TBL& led = s_LedCtrlTbl[nIndex];
    bool lit;
    if (led.pat == LED_PAT_OFF || led.pat == LED_PAT_ON) {
        led.pbyPat = nullptr;
        led.nCount = 0;
        led.nInterval = 0;
        lit = led.pat == LED_PAT_ON;
    } else {
        // A table is chosen only at its first step, so a pattern in progress
        // finishes before another one starts.
        if (led.nCount == 0) {
            if (led.pat == LED_PAT_ERROR) {
                led.pbyPat = s_abyLedPat_Error;
                led.nMaxCount = Steps(s_abyLedPat_Error);
            } else if (led.pat == LED_PAT_BLINK_1SHOT) {
                led.pbyPat = s_abyLedPat_Blink2;
                led.nMaxCount = Steps(s_abyLedPat_Blink2);
            } else {
                led.pbyPat = s_abyLedPat_Blink;
                led.nMaxCount = Steps(s_abyLedPat_Blink);
            }
        }
        lit = led.pbyPat[led.nCount] != 0;
        ++led.nCount;
        led.nInterval = 0;
        if (led.nCount >= led.nMaxCount) {
            led.nCount = 0;
            if (led.pat == LED_PAT_BLINK_1SHOT) {
                led.pat = LED_PAT_ON;
            }
        }
    }
    if (lit) {
        LED_On(s_adwLedBit[nIndex], TRUE);
    } else {
        LED_Off(s_adwLedBit[nIndex], TRUE);
    }
}

}  // namespace

void InitLedCtrl()
{
    for (LED_CTRL_TBL& led : s_LedCtrlTbl) {
        led = LED_CTRL_TBL{LED_PAT_OFF, 0, 0, 0, nullptr};
    }
    s_dwTmLedComm.store(0);
    s_dwTmLinkDelay = 0;
}

void LedSetSettingsAlarm(BOOL bOn)
{
    s_bSettingsAlarm.store(bOn != FALSE);
}

void LedFlashComm()
{
    s_dwTmLedComm.store(LED_COMM_FLASH_TICKS);
}

void LedOnTimer(BOOL bLinkUp)
{
    if (s_dwTmLinkDelay < LINK_DELAY_TICKS) {
        ++s_dwTmLinkDelay;
    }
    UNIT_STATE state = s_eState.load();
    bool active = state == UNIT_STATE_READY || state == UNIT_STATE_ERROR;
    bool link = s_dwTmLinkDelay < LINK_DELAY_TICKS ? true : bLinkUp != 0;
    DWORD dwComm = s_dwTmLedComm.load();

    LED_PAT comm;
    if (link) {
        comm = !active ? LED_PAT_OFF : (dwComm != 0 ? LED_PAT_BLINK_1SHOT : LED_PAT_ON);
    } else {
        comm = active ? LED_PAT_ON : LED_PAT_OFF;
    }
    if (s_bSettingsAlarm.load()) {
        comm = LED_PAT_ERROR;
    }
    s_LedCtrlTbl[INDEX_LED_COMM].pat = comm;
    if (dwComm != 0) {
        // Only this thread counts down; the LAN sender may reload it meanwhile.
        s_dwTmLedComm.compare_exchange_strong(dwComm, dwComm - 1);
    }
    UpdateLed(INDEX_LED_COMM);

    s_LedCtrlTbl[INDEX_LED_ALARM].pat = link ? LED_PAT_OFF : LED_PAT_BLINK;
    UpdateLed(INDEX_LED_ALARM);
}
