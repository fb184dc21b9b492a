// net: the configuration of the board's Ethernet interface eth0. It reads the
// configured address from the system's interfaces file at start, keeps the
// configured parameters, rewrites the interfaces file (and the name server
// file) when new parameters are committed, restarts the interface, applies
// temporary addresses, reports the interface's actual address, and starts and
// stops the DHCP client and the NTP check. Every file goes through
// Board_MapPath and every command line through Board_RunCommand.
//
// Whenever the module writes the interfaces file or applies a temporary
// address, bDHCP becomes 1 if the address is 0 and 0 otherwise: an address of
// 0.0.0.0 selects DHCP.
//
// Threads: command handlers (under the command lock), the unit core's idle
// step and timer thread. Locks: s_cs guards the configured parameters and
// flags; NET_Update holds it while it writes the files and restarts the
// interface. NET_GetIfAddress and the DHCP and NTP operations take no lock.
#pragma once

#include "winemu.h"

// IPv4 values have the first dotted number in the most significant byte.
struct tagNET_PARAM {
    BOOL bDHCP;  // non-zero: address by DHCP
    DWORD dwIpAdrs;
    DWORD dwSubnetMask;
    DWORD dwGateway;  // 0: none
};
typedef tagNET_PARAM NET_PARAM;

// Longest line of the interfaces file and the routing table that is read;
// the rest of a longer line is skipped.
constexpr int NET_LINE_MAX = 255;

// Zeroes the state and creates the lock.
void NET_Construct();
// Deletes the lock.
void NET_Destruct();
// Reads the interfaces file (DHCP when it cannot) and, for a static
// configuration, writes the name server file; FALSE when that fails.
BOOL NET_Init();
// The configured parameters.
void NET_GetAddress(NET_PARAM* pParam);
// Commits parameters: marks the files for rewriting when they differ from the
// configured ones or from those last written. TRUE.
BOOL NET_SetAddress(const NET_PARAM* pParam);
// TRUE while the interfaces file must be rewritten.
BOOL NET_IsChanged();
// TRUE once after a commit the unit core must apply.
BOOL NET_IsModified();
// Writes the files if marked, then, if bRestart, restarts the interface;
// FALSE (and no restart) when a file could not be written.
BOOL NET_Update(BOOL bRestart);
// Applies an address and netmask to the interface at once, without writing
// any file; the parameters become the configured ones. TRUE.
BOOL NET_TempSetAddress(const NET_PARAM* pParam);
// The interface's actual address and netmask and the default gateway
// (bDHCP 0); FALSE when the interface cannot be asked.
BOOL NET_GetIfAddress(NET_PARAM* pParam);
// The gateway of eth0's default route in the routing table; 0 when none.
DWORD NET_GetDefaultGateway();
// The configured DHCP flag.
BOOL NET_IsEnableDHCP();
// TRUE while the DHCP client's pid file exists.
BOOL NET_IsActiveDHCP();
// Starts the DHCP client in the background. TRUE.
BOOL NET_StartDHCP();
// Stops the DHCP client. TRUE.
BOOL NET_StopDHCP();
// TRUE while the NTP check's pid file exists.
BOOL NET_IsStartNTP();
// Starts the NTP check with a server or a comma-separated list of servers;
// FALSE with a warning line when the list holds characters that are no part
// of a host name or address, or does not fit the command line.
BOOL NET_StartNTP(const char* pszServer);
// Stops the NTP check. TRUE.
BOOL NET_StopNTP();
// TRUE once the NTP check's result file exists.
BOOL NET_IsSyncNTP();
