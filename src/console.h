// console: raw keyboard access for the local command console — a key test, a
// key read without echo, line reads and writes — and a non-blocking line
// editor that a polling loop calls. Works on the standard input and output;
// tests may point it at other descriptors (a pseudo-terminal).
// Threads: one caller (the console loop) at a time.
#pragma once

#include "winemu.h"

BOOL CON_Init();
// TRUE when a key is waiting; the key stays to be read.
BOOL CON_KbHit();
// Waits for one key, without echo.
int CON_GetChar();
// Reads a line of at most size - 1 characters without its line feed.
void CON_Gets(char* buf, int size);
void CON_Puts(const char* text);
int CON_PutChar(int ch);
// Collects one key per call into buf (*pos characters so far): backspace
// erases, tab counts as a space, Enter completes the line (TRUE).
BOOL CON_AsyncGets(char* buf, int size, int* pos);

// Windows-style names of the key calls.
inline BOOL _kbhit() { return CON_KbHit(); }
inline int getch() { return CON_GetChar(); }

// Test seam: the descriptors the console reads and writes (-1 restores the
// standard input and output).
void CON_SetDescriptorsForTest(int inFd, int outFd);
