// server_led: the unit's two status LEDs. Once per timer tick it chooses the
// pattern each LED should show from the unit state, the Ethernet carrier (not
// judged during the first 29 ticks after a start) and recent voice traffic to
// the peers, and advances each LED by one 100 ms step of its pattern through
// the led driver.
//
// Threads: the timer thread only. Locks: runs with s_csTarget held, which
// guards the pattern state.
#include "led.h"
#include "server_internal.h"

namespace {

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
}

void LedOnTimer()
{
    UNIT_STATE state = s_eState.load();
    bool active = state == UNIT_STATE_READY || state == UNIT_STATE_ERROR;
    bool link = s_dwTmLinkDelay < LINK_DELAY_TICKS ? true : s_bLinkUp != 0;
    DWORD dwComm = s_dwTmLedComm.load();

    LED_PAT comm;
    if (link) {
        comm = !active ? LED_PAT_OFF : (dwComm != 0 ? LED_PAT_BLINK_1SHOT : LED_PAT_ON);
    } else {
        comm = active ? LED_PAT_ON : LED_PAT_OFF;
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
