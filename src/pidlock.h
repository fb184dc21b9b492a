// pidlock: one daemon per board. The daemon holds an exclusive flock on its
// pid file, "/var/run/kovalan.pid" (below the root on a simulated board), for
// its whole life and keeps its process id in it; a second daemon finds the
// lock taken and learns the holder's id. The descriptor is closed on exec, so
// the shell commands the daemon runs (a DHCP client left in the background
// among them) never inherit the lock. The lock ends with the process, however
// it ends; a clean stop also empties the file.
//
// Threads: the main thread, at start and at the end.
#pragma once

#include "winemu.h"

constexpr const char* PIDLOCK_FILE = "/var/run/kovalan.pid";

enum class PIDLOCK_RESULT {
    LOCKED,  // this process holds the board now
    TAKEN,   // another process holds it
    FAILED,  // the file could not be opened or locked
};

// Takes the board's lock and writes this process's id into the file. On
// TAKEN *pnHolder is the holder's id (0 when the file does not say); on
// FAILED *pnErrno says why.
PIDLOCK_RESULT PidLock_Acquire(int* pnHolder, int* pnErrno);
// Empties the file and gives the lock up (no-op when not held).
void PidLock_Release();
