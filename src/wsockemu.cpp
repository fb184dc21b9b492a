// wsockemu: WSAStartup on Linux, where sockets need no start-up.
#include "wsockemu.h"

#include <cstring>

int WSAStartup(WORD wVersionRequested, WSAData* pData)
{
    std::memset(pData, 0, sizeof(*pData));
    pData->wVersion = wVersionRequested;
    return 0;
}
