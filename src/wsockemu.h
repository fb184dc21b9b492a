// wsockemu: the socket start-up call in its Windows shape. Sockets need no
// preparation on Linux; the call only fills in the version record.
#pragma once

#include "winemu.h"

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;

struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    uint16_t iMaxSockets;
    uint16_t iMaxUdpDg;
    char* lpVendorInfo;
};
typedef WSAData WSADATA;

// Clears the record, reports the requested version, returns 0.
int WSAStartup(WORD wVersionRequested, WSAData* pData);
