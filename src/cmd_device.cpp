// cmd_device: the command handlers that act on the board at once rather than
// on a working copy — reboot, the network parameters (staged for update or
// applied temporarily) and the interface's actual address, the MAC address in
// the OTP fuses, and the ring log store.
//
// Threads and locks: every handler runs under the command lock on the thread
// of its client's line (see cmd.cpp); the network and log modules take their
// own locks.
#include <cstring>

#include "board.h"
#include "cmd_internal.h"
#include "debug.h"
#include "helpers.h"
#include "log.h"
#include "mac.h"
#include "net.h"
#include "util.h"

namespace {

// LOG_Get's text buffer: 127 data bytes as hexadecimal digits at most.
constexpr int LOG_TEXT_SIZE = 256;
constexpr int NET_ADDRESS_WORDS = 3;  // address, netmask, gateway

BOOL SendAddressLine(LPVOID pClient, const NET_PARAM* pParam)
{
    char szGateway[32] = "";
    if (pParam->dwGateway != 0) {
        _snprintf(szGateway, sizeof(szGateway), " gateway=%s", Dotted(pParam->dwGateway).sz);
    }
    return Printf(pClient, "address=%s netmask=%s%s\r\n", Dotted(pParam->dwIpAdrs).sz, Dotted(pParam->dwSubnetMask).sz,
                  szGateway);
}

// Options and addresses of netparam's change form over the configured
// parameters; FALSE for an unknown option or an address that does not parse.
BOOL ParseNetParamWords(int nArgc, char** pArgv, NET_PARAM* pParam, BOOL* pbTemporary)
{
    DWORD* apdwField[NET_ADDRESS_WORDS] = {&pParam->dwIpAdrs, &pParam->dwSubnetMask, &pParam->dwGateway};
    int nPlain = 0;
    *pbTemporary = FALSE;
    for (int i = 1; i < nArgc; ++i) {
        const char* pszWord = pArgv[i];
        if (pszWord[0] == '-' || pszWord[0] == '/') {
            if (pszWord[1] == 't') {
                *pbTemporary = TRUE;
            } else if (pszWord[1] != 'r') {  // "r" is accepted and has no effect
                return FALSE;
            }
        } else if (nPlain < NET_ADDRESS_WORDS) {
            if (!str2ipadrs(pszWord, apdwField[nPlain])) {
                return FALSE;
            }
            ++nPlain;
        }
    }
    return TRUE;
}

// "h:h:h:h:h:h", exactly six non-empty hexadecimal fields up to FF.
BOOL ParseMacWord(char* pszWord, MAC_ADDRESS* pMac)
{
    int nFields = 0;
    char* pField = pszWord;
    for (;;) {
        char* pColon = std::strchr(pField, ':');
        if (pColon != nullptr) {
            *pColon = '\0';
        }
        DWORD dwByte = 0;
        if (nFields == MAC_ADDRESS_LEN || !ParseHex(pField, 0xFF, &dwByte)) {
            return FALSE;
        }
        pMac->abyAdrs[nFields++] = static_cast<BYTE>(dwByte);
        if (pColon == nullptr) {
            break;
        }
        pField = pColon + 1;
    }
    return nFields == MAC_ADDRESS_LEN;
}

char LogKindLetter(DWORD dwKind)
{
    BOOL bFirst = (dwKind & LOG_KIND_FIRST) != 0;
    BOOL bWritten = (dwKind & LOG_KIND_WRITTEN) != 0;
    if (bFirst) {
        return bWritten ? 'L' : 'S';
    }
    return bWritten ? 'E' : '|';
}

}  // namespace

BOOL OnReboot(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    Puts(pClient, CMD_REPLY_OK);
    // Give the reply time to leave before the board goes down.
    Sleep(CMD_REBOOT_DELAY_MS);
    Board_RunCommand("reboot");
    return TRUE;
}

BOOL OnNetParam(LPVOID pClient, int nArgc, char** pArgv)
{
    NET_PARAM param;
    NET_GetAddress(&param);
    if (nArgc == 1) {
        if (param.bDHCP) {
            Puts(pClient, "dhcp\r\n");
        } else {
            SendAddressLine(pClient, &param);
        }
        return TRUE;
    }
    // The DHCP flag stays as configured: an address of 0.0.0.0 selects DHCP
    // when the parameters are applied.
    BOOL bTemporary = FALSE;
    if (!ParseNetParamWords(nArgc, pArgv, &param, &bTemporary)) {
        return FALSE;
    }
    USER_STATUS* pUser = GetCheckedUser(pClient, TRUE);
    if (pUser == nullptr) {
        return TRUE;
    }
    if (bTemporary) {
        NET_TempSetAddress(&param);
    } else {
        pUser->NetParam = param;
        SetUserFlag(pUser, USER_FLAG_NETPARAM);
    }
    SetWriteBusy(pUser);
    Puts(pClient, CMD_REPLY_OK);
    return TRUE;
}

BOOL OnGetCurrIpParam(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    NET_PARAM param;
    if (!NET_GetIfAddress(&param)) {
        // The interface could not be asked: no address to show.
        Puts(pClient, CMD_REPLY_NG);
        return TRUE;
    }
    SendAddressLine(pClient, &param);
    return TRUE;
}

BOOL OnMacAddress(LPVOID pClient, int nArgc, char** pArgv)
{
    MAC_ADDRESS mac;
    if (nArgc == 1) {
        if (!MAC_Read(&mac)) {
            Puts(pClient, CMD_REPLY_NG);
            return TRUE;
        }
        const BYTE* b = mac.abyAdrs;
        Printf(pClient, "%02X:%02X:%02X:%02X:%02X:%02X\r\n", b[0], b[1], b[2], b[3], b[4], b[5]);
        return TRUE;
    }
    MAC_ADDRESS newMac;
    if (nArgc != 2 || !ParseMacWord(pArgv[1], &newMac)) {
        return FALSE;
    }
    // The fuses must be readable before they are programmed.
    BOOL bDone = MAC_Read(&mac) && MAC_Write(&newMac);
    Puts(pClient, bDone ? CMD_REPLY_OK : CMD_REPLY_NG);
    return TRUE;
}

BOOL OnGetLogData(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    if (GetCheckedUser(pClient, TRUE) == nullptr) {
        return TRUE;
    }
    char szData[LOG_TEXT_SIZE];
    SYSTEMTIME time;
    DWORD dwPtr = 0;
    DWORD dwKind = 0;
    for (BOOL bFirst = TRUE; LOG_Get(&time, szData, LOG_TEXT_SIZE, bFirst, &dwPtr, &dwKind) > 0; bFirst = FALSE) {
        char szStamp[20] = "";
        if ((dwKind & LOG_KIND_FIRST) != 0) {
            _snprintf(szStamp, sizeof(szStamp), " %04d%02d%02d%02d%02d%02d", time.wYear, time.wMonth, time.wDay,
                      time.wHour, time.wMinute, time.wSecond);
        }
        if (!Printf(pClient, "log %c%s %s\r\n", LogKindLetter(dwKind), szStamp, szData)) {
            DebugPrint("WARNING: Puts() failed\n");
            return TRUE;
        }
    }
    Puts(pClient, "log Z\r\n");
    return TRUE;
}

BOOL OnGetLogSize(LPVOID pClient, int nArgc, char**)
{
    if (nArgc != 1) {
        return FALSE;
    }
    if (GetCheckedUser(pClient, TRUE) == nullptr) {
        return TRUE;
    }
    DWORD dwLogSize = 0;
    DWORD dwFileSize = 0;
    DWORD dwRecSize = 0;
    LOG_GetSize(&dwLogSize, &dwFileSize, &dwRecSize);
    Printf(pClient, "logsize=%d filesize=%d recsize=%d\r\n", static_cast<int>(dwLogSize), static_cast<int>(dwFileSize),
           static_cast<int>(dwRecSize));
    return TRUE;
}
