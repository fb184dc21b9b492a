// cmd: the command interpreter. It turns a text line from the setting tool
// (the USB serial port, a TCP setting connection, or the local console) into
// one call of a command handler under the global command lock, and sends the
// handler's reply back where the line came from. Each connected client has a
// user record with its log-on state, a private working copy of the whole
// configuration and staged network parameters; `update` commits the copy to
// the live configuration and raises the update signal the unit core polls.
//
// Threads: CMD_Exec runs on the thread that delivered the line (a TCP
// connection thread or the USB receive path); CMD_OnTimer on the unit core's
// timer thread; CMD_TryLock/CMD_IsUpdated/CMD_IsWriteBusy on the idle loop.
// Locks: the command lock (a flag guarded by s_csUser, taken by polling)
// before s_csCmd (the user table); s_csCmd is never held while waiting for
// the command lock.
#pragma once

#include "config.h"
#include "winemu.h"

constexpr int CMD_MAX_USERS = 65;
constexpr int CMD_MAX_ARGS = 16;
constexpr int CMD_LINE_MAX = 512;

void CMD_Construct();
BOOL CMD_Init();
void CMD_Destruct();
// Parses and runs one command line from pClient (USB handle, socket record,
// or null for the console).
void CMD_Exec(LPVOID pClient, char* pszData);
// Runs a completed console line, if any.
void CMD_OnIdle();
// Expires write-busy flags 60 s after a user's last edit.
void CMD_OnTimer();
// A user record for a new client; FALSE when all 65 are taken.
BOOL CMD_LogOnUser(LPVOID pClient);
BOOL CMD_LogOffUser(LPVOID pClient);
// The command lock: blocking, for a client (gives up when a TCP client's
// connection closed while waiting), and non-blocking.
void CMD_Lock();
BOOL CMD_LockUser(LPVOID pClient);
void CMD_Unlock();
BOOL CMD_TryLock();
// TRUE once after settings were committed.
BOOL CMD_IsUpdated();
// TRUE while any user is in the middle of an edit.
BOOL CMD_IsWriteBusy();
// Saves a configuration (null: the live one) stamped with the program's name
// and version.
BOOL CMD_SaveConfig(CONFIG_PARAM* pConfig);
