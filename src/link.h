// link: whether the Ethernet interface eth0 has a carrier (cable plugged and
// link up), read from the kernel's carrier file of the interface, which stays
// open from LINK_Init to LINK_Destruct.
//
// Threads: LINK_Get runs on the unit core's timer thread; the life cycle on
// the main thread. No locks.
#pragma once

#include "winemu.h"

// No file open.
void LINK_Construct();
// Opens the carrier file; FALSE with a warning line when it cannot.
BOOL LINK_Init();
// Reads the carrier into *pbLink (a failed read counts as no carrier);
// FALSE, *pbLink untouched, when the file is not open.
BOOL LINK_Get(BOOL* pbLink);
// Closes the carrier file.
void LINK_Destruct();
