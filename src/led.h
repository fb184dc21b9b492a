// led: the unit's two LEDs, driven through GPIO lines 7 (communication LED)
// and 6 (alarm LED) of the board's sysfs GPIO interface. Both LEDs are lit by
// a low level: a lit LED has "0" in its value file, a dark one "1". The module
// only switches LEDs; blink patterns are timed by the unit core's timer.
//
// The wanted state is one bit per LED (0x1 communication, 0x2 alarm; 1 = lit).
// Only the LEDs whose bit changed since the last update are written, so
// switching on a lit LED costs no file write.
//
// Threads: LED_On, LED_Off and LED_Update run on the unit core's timer thread
// only; LED_Get may be called from any thread. No locks.
#pragma once

#include "winemu.h"

// LED indices and their bits in the wanted state (bit = 1 << index).
constexpr int IDX_OP_COMM = 0;
constexpr int IDX_OP_ALARM = 1;
constexpr int IDX_MAX_LED_PORTS = 2;

// Both LEDs dark, no files open; the first update writes both.
void LED_Construct();
// Exports GPIO 7 and 6 as outputs and keeps their value files open, then
// shows the wanted state. FALSE with a warning line when a file cannot be opened.
BOOL LED_Init();
// Closes the value files.
void LED_Destruct();
// Lights the LEDs of mask; bUpdate writes the change at once.
void LED_On(DWORD dwMask, BOOL bUpdate);
// Darkens the LEDs of mask; bUpdate writes the change at once.
void LED_Off(DWORD dwMask, BOOL bUpdate);
// Writes the LEDs whose wanted state differs from what was last written.
void LED_Update();
// The wanted state, one bit per LED.
DWORD LED_Get();
