// mac: the board's MAC address in the processor's one-time-programmable fuse
// registers, which the kernel's OTP driver exposes as two text files holding
// "0x" and hexadecimal digits: HW_OCOTP_MAC1 the first two bytes (a 16-bit
// value), HW_OCOTP_MAC0 the last four (a 32-bit value), most significant first.
//
// Threads: the unit core's initialisation and the command handlers (under the
// command lock). The module has no state and takes no lock.
#pragma once

#include "winemu.h"

constexpr int MAC_ADDRESS_LEN = 6;

struct tagMAC_ADDRESS {
    BYTE abyAdrs[MAC_ADDRESS_LEN];
};
typedef tagMAC_ADDRESS MAC_ADDRESS;

// Nothing to prepare; TRUE.
BOOL MAC_Init();
// Reads both fuse files into *pMac; FALSE with a warning line when a file
// cannot be opened or read or holds no valid value (bytes already read stay).
BOOL MAC_Read(MAC_ADDRESS* pMac);
// Programs both fuse files from *pMac; FALSE with a warning line when a file
// cannot be opened, written or read back.
BOOL MAC_Write(const MAC_ADDRESS* pMac);
