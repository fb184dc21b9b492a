// listsrv: the directory client. It keeps the unit attached to a list server
// (a directory of repeaters): it learns the servers' addresses from an HTTP
// list file, chooses one, registers the unit, searches and retrieves entries,
// and sends health and port checks. The unit core constructs, initialises,
// seeds, stops and destroys it and tells it the unit's receive UDP port, but
// never starts it, so none of its threads run in this system. This header
// holds the operations the unit core and the command set call; the module's
// threads, protocol and requests come with the directory client's work.
//
// Threads: the unit core's main thread (life cycle, seed, receive port) and
// the command handlers (server ID, under ListSrv_Lock). Locks: s_csPortCheck
// before s_csList; s_csRand (the random generator) stands alone. The stop and
// started flags are atomic. s_hEvCancel and s_hEvPortCheck are manual-reset
// events.
#pragma once

#include "winemu.h"

// Constructs the HTTP module, clears every setting, resets the state (the
// stop flag set) and creates the three locks.
void ListSrv_Construct();
// Initialises the HTTP module and creates the two events; FALSE with a
// warning line on failure.
BOOL ListSrv_Init();
// Sets the stop flag, wakes and ends whatever runs, cancels open HTTP
// exchanges; safe to call twice and on a module that was never started.
void ListSrv_Stop();
// ListSrv_Stop, then frees the events, the HTTP module and the locks.
void ListSrv_Destruct();
// Stores the random seed (the unit passes the last four MAC bytes) and
// reseeds the generator with it and the calendar time.
void ListSrv_SetSeed(DWORD dwVal);
// The unit's main receive UDP port, named in health checks.
void ListSrv_SetRxUdpPort(int nPort);
// The module's list lock, for callers of ListSrv_SetServID.
void ListSrv_Lock();
void ListSrv_Unlock();
// The unit's server ID: at most 5 characters; its number is the decimal value
// with bit 31 set (a text that is not all digits keeps the previous number).
// The caller holds ListSrv_Lock.
void ListSrv_SetServID(const char* pszID);
// The stored server ID and its number (for the command set and tests).
void ListSrv_GetServID(char (&szID)[6], DWORD* pdwServID);
// The main receive UDP port last set (0 before any).
int ListSrv_GetRxUdpPort();
