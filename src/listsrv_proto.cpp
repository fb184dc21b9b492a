// listsrv_proto: the list server wire protocol of the directory client. It
// owns the frames ('#', letter, fixed-width ASCII block, LF), the descriptor
// tables of the parameter blocks, the send and receive loops (every wait is
// a 50 ms slice that checks the module's stop flag, and a send or receive
// fails after 29,999 ms), the TCP request-response exchange, the UDP sends of
// health and port checks, and the parsers of everything a server sends. The
// parsers are pure functions over byte buffers that check every length before
// they read.
//
// Threads: whichever thread runs a request (the list thread, a caller of the
// request operations, the search engine). Locks: s_csList only while the
// unit's IDs, SC table or result table are copied into a frame.
#include <cstddef>
#include <cstring>
#include <iterator>

#include "dataconv.h"
#include "debug.h"
#include "listsrv_internal.h"
#include "util.h"

namespace lsv {

namespace {

constexpr char VAR_KIND_SERVERS = 'S';
constexpr char VAR_KIND_DGID = 'D';
constexpr char MODULATION_DIGITAL = '1';
constexpr int MAX_VAR_LENGTH_DIGITS = 4;

// ---- Descriptor tables --------------------------------------------------------

#define LSV_F(off, size, name, type, rec, member)                      \
    {                                                                  \
        off, size, name, type, static_cast<int>(offsetof(rec, member)) \
    }

namespace regist {
const GET_DATA_PARAM tbl_cmd[] = {
    LSV_F(0, 5, "LST_REGIST_CMD_PARAM:cServID", TYPE_TRIM_SZ, LISTSRV_REGIST_PARAM, szServID),
    LSV_F(5, 5, "LST_REGIST_CMD_PARAM:cRadioID", TYPE_TRIM_SZ, LISTSRV_REGIST_PARAM, szRadioID),
    LSV_F(10, 10, "LST_REGIST_CMD_PARAM:cCallSign", TYPE_TRIM_SZ, LISTSRV_REGIST_PARAM, szCallSign),
    LSV_F(20, 40, "LST_REGIST_CMD_PARAM:cCity", TYPE_TRIM_SZ, LISTSRV_REGIST_PARAM, szCity),
    LSV_F(60, 40, "LST_REGIST_CMD_PARAM:cState", TYPE_TRIM_SZ, LISTSRV_REGIST_PARAM, szState),
    LSV_F(100, 3, "LST_REGIST_CMD_PARAM:cCountry", TYPE_TRIM_SZ, LISTSRV_REGIST_PARAM, szCountry),
    LSV_F(103, 1, "LST_REGIST_CMD_PARAM:cModuration", TYPE_DEC_BT, LISTSRV_REGIST_PARAM, byModuration),
    LSV_F(104, 32, "LST_REGIST_CMD_PARAM:acScTable", TYPE_BYTES, LISTSRV_REGIST_PARAM, abyScTable),
    LSV_F(136, 1, "LST_REGIST_CMD_PARAM:cSearchResp", TYPE_DEC_BT, LISTSRV_REGIST_PARAM, bySearchResp),
    LSV_F(137, 30, "LST_REGIST_CMD_PARAM:cSignature", TYPE_TRIM_SZ, LISTSRV_REGIST_PARAM, szSignature),
    LSV_F(167, 60, "LST_REGIST_CMD_PARAM:cMailAddr", TYPE_TRIM_SZ, LISTSRV_REGIST_PARAM, szMailAddr),
};
static_assert(167 + 60 == REGIST_CMD_LEN, "a registration block is 227 bytes");

const GET_DATA_PARAM tbl_res[] = {
    LSV_F(0, 5, "LST_REGIST_RES_PARAM:cServID", TYPE_TRIM_SZ, LISTSRV_REGIST_PARAM, szServID),
    LSV_F(5, 14, "LST_REGIST_RES_PARAM:cLastUpdate", TYPE_TRIM_SZ, LISTSRV_REGIST_PARAM, szLastUpdate),
};
static_assert(5 + 14 == REGIST_RES_LEN, "a registration answer is 19 bytes");
}  // namespace regist

// Search records.
namespace search {
const GET_DATA_PARAM tbl_res[] = {
    LSV_F(112, 1, "LST_SEARCH_RES_PARAM_V:cSearchResp", TYPE_DEC_BT, LISTSRV_SEARCH_RES_PARAM, bySearchResp),
};
const GET_DATA_PARAM tbl_res_ip[] = {
    LSV_F(10, 8, "LST_SEARCH_RES_PARAM_V:cIpAddr", TYPE_HEX_DW, LISTSRV_SEARCH_RES_PARAM, dwIpAddr),
};
const GET_DATA_PARAM tbl_res_open[] = {
    LSV_F(0, 5, "LST_SEARCH_RES_PARAM_V:cServID", TYPE_TRIM_SZ, LISTSRV_SEARCH_RES_PARAM, szServID),
    LSV_F(5, 5, "LST_SEARCH_RES_PARAM_V:cRadioID", TYPE_TRIM_SZ, LISTSRV_SEARCH_RES_PARAM, szRadioID),
    LSV_F(18, 10, "LST_SEARCH_RES_PARAM_V:cCallSign", TYPE_TRIM_SZ, LISTSRV_SEARCH_RES_PARAM, szCallSign),
    LSV_F(28, 40, "LST_SEARCH_RES_PARAM_V:cCity", TYPE_TRIM_SZ, LISTSRV_SEARCH_RES_PARAM, szCity),
    LSV_F(68, 40, "LST_SEARCH_RES_PARAM_V:cState", TYPE_TRIM_SZ, LISTSRV_SEARCH_RES_PARAM, szState),
    LSV_F(108, 3, "LST_SEARCH_RES_PARAM_V:cCountry", TYPE_TRIM_SZ, LISTSRV_SEARCH_RES_PARAM, szCountry),
    LSV_F(111, 1, "LST_SEARCH_RES_PARAM_V:cModuration", TYPE_DEC_BT, LISTSRV_SEARCH_RES_PARAM, byModuration),
    LSV_F(113, 14, "LST_SEARCH_RES_PARAM_V:cLastUpdate", TYPE_TRIM_SZ, LISTSRV_SEARCH_RES_PARAM, szLastUpdate),
};
const GET_DATA_PARAM tbl_res_conf[] = {
    LSV_F(0, 5, "LST_SEARCH_RES_PARAM_V:cServID", TYPE_TRIM_SZ, LISTSRV_SEARCH_RES_PARAM, szServID),
    LSV_F(5, 5, "LST_SEARCH_RES_PARAM_V:cRadioID", TYPE_TRIM_SZ, LISTSRV_SEARCH_RES_PARAM, szRadioID),
    LSV_F(18, 10, "LST_SEARCH_RES_PARAM_V:cCallSign", TYPE_TRIM_SZ, LISTSRV_SEARCH_RES_PARAM, szCallSign),
};
static_assert(113 + 14 == SEARCH_REC_LEN, "a search record is 127 bytes");
}  // namespace search

// List records.
namespace getlist {
const GET_DATA_PARAM tbl_res_no_data[] = {
    LSV_F(5, 5, "LST_GET_LIST_RES_PARAM_V:cRadioID", TYPE_TRIM_SZ, LISTSRV_LIST_PARAM, szRadioID),
};
const GET_DATA_PARAM tbl_res[] = {
    LSV_F(136, 1, "LST_GET_LIST_RES_PARAM_V:cSearchResp", TYPE_DEC_BT, LISTSRV_LIST_PARAM, bySearchResp),
};
const GET_DATA_PARAM tbl_res_ip[] = {
    LSV_F(137, 8, "LST_GET_LIST_RES_PARAM_V:cIpAddr", TYPE_HEX_DW, LISTSRV_LIST_PARAM, dwIpAddr),
};
const GET_DATA_PARAM tbl_res_open[] = {
    LSV_F(0, 5, "LST_GET_LIST_RES_PARAM_V:cServID", TYPE_TRIM_SZ, LISTSRV_LIST_PARAM, szServID),
    LSV_F(5, 5, "LST_GET_LIST_RES_PARAM_V:cRadioID", TYPE_TRIM_SZ, LISTSRV_LIST_PARAM, szRadioID),
    LSV_F(10, 10, "LST_GET_LIST_RES_PARAM_V:cCallSign", TYPE_TRIM_SZ, LISTSRV_LIST_PARAM, szCallSign),
    LSV_F(20, 40, "LST_GET_LIST_RES_PARAM_V:cCity", TYPE_TRIM_SZ, LISTSRV_LIST_PARAM, szCity),
    LSV_F(60, 40, "LST_GET_LIST_RES_PARAM_V:cState", TYPE_TRIM_SZ, LISTSRV_LIST_PARAM, szState),
    LSV_F(100, 3, "LST_GET_LIST_RES_PARAM_V:cCountry", TYPE_TRIM_SZ, LISTSRV_LIST_PARAM, szCountry),
    LSV_F(103, 1, "LST_GET_LIST_RES_PARAM_V:cModuration", TYPE_DEC_BT, LISTSRV_LIST_PARAM, byModuration),
    LSV_F(104, 32, "LST_GET_LIST_RES_PARAM_V:acScTable", TYPE_BYTES, LISTSRV_LIST_PARAM, abyScTable),
    LSV_F(136, 1, "LST_GET_LIST_RES_PARAM_V:cSearchResp", TYPE_DEC_BT, LISTSRV_LIST_PARAM, bySearchResp),
    LSV_F(145, 14, "LST_GET_LIST_RES_PARAM_V:cLastUpdate", TYPE_TRIM_SZ, LISTSRV_LIST_PARAM, szLastUpdate),
};
const GET_DATA_PARAM tbl_res_conf[] = {
    LSV_F(0, 5, "LST_GET_LIST_RES_PARAM_V:cServID", TYPE_TRIM_SZ, LISTSRV_LIST_PARAM, szServID),
    LSV_F(5, 5, "LST_GET_LIST_RES_PARAM_V:cRadioID", TYPE_TRIM_SZ, LISTSRV_LIST_PARAM, szRadioID),
    LSV_F(10, 10, "LST_GET_LIST_RES_PARAM_V:cCallSign", TYPE_TRIM_SZ, LISTSRV_LIST_PARAM, szCallSign),
};
static_assert(145 + 14 == GET_LIST_REC_LEN, "a list record is 159 bytes");
}  // namespace getlist

// Health check answer entries.
namespace health {
const GET_DATA_PARAM tbl_res_id[] = {
    LSV_F(0, 5, "LST_HEALTH_CHECK_RES_PARAM_V:cServID", TYPE_DEC_DW, HEALTH_CHECK_RES_V, dwServID),
};
const GET_DATA_PARAM tbl_res_ip[] = {
    LSV_F(5, 8, "LST_HEALTH_CHECK_RES_PARAM_V:cIpAddr", TYPE_HEX_DW, HEALTH_CHECK_RES_V, dwIpAddr),
};

}  // namespace health

#undef LSV_F

template <size_t N>
BOOL Unpack(const BYTE* pData, const GET_DATA_PARAM (&aTable)[N], void* pRecord)
{
    if (!GetData(reinterpret_cast<const char*>(pData), aTable, static_cast<int>(N), pRecord)) {
        DebugPrint("[W] GetData() failed\n");
        return FALSE;
    }
    return TRUE;
}

bool IsDecimal(const BYTE* p, int n)
{
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') {
            return false;
        }
    }
    return true;
}

// Four decimal digits as a result code; "0102" is 0x0102, so "%04X" prints
// the digits as they came.
BOOL ReadResultCode(const BYTE* p, WORD* pwCode)
{
    DWORD dwValue = 0;
    if (!IsDecimal(p, 4) || !hexstr2dword(reinterpret_cast<const char*>(p), 4, &dwValue)) {
        DebugPrint("[W] invalid response code\n");
        return FALSE;
    }
    *pwCode = static_cast<WORD>(dwValue);
    return TRUE;
}

BOOL IsStopped()
{
    return s_bStopReq.load();
}

// One 50 ms writability wait of a send loop: 1 ready, 0 go on, -1 failed.
int WaitTxSlice(NPSOCK_PARAM pSock, DWORD dwStart, const char* pszWho)
{
    if (IsStopped()) {
        DebugPrint("[W] %s() canceled\n", pszWho);
        return -1;
    }
    if (GetTickCount() - dwStart > IO_TIMEOUT_MS) {
        DebugPrint("[W] %s() timeout\n", pszWho);
        return -1;
    }
    int ret = Sock_WaitForTransmit(pSock, static_cast<long>(IO_POLL_MS));
    if (ret < 0) {
        // The cancel signal of a stop interrupts the wait.
        DebugPrint(IsStopped() ? "[W] %s() canceled\n" : "[W] WaitForTransmit() failed\n", pszWho);
    }
    return ret;
}

// Writes the '#', the letter and the LF around a block; the frame length.
int FrameCommand(BYTE* pFrame, char cCmd, int nBlockLen)
{
    pFrame[0] = static_cast<BYTE>(REQ_START);
    pFrame[1] = static_cast<BYTE>(cCmd);
    pFrame[CMD_HEAD_LEN + nBlockLen] = LF;
    return nBlockLen + CMD_FRAME_EXTRA;
}

// Sends a UDP frame and reports a short send with the command's name.
BOOL SendUdpFrame(NPSOCK_PARAM pSock, int nTxPort, DWORD dwAdrs, const BYTE* pFrame, int nLen, const char* pszCmd)
{
    DebugDump("Tx UDP", pFrame, nLen);
    int ret = TxUdpSock(pSock, nTxPort, dwAdrs, pFrame, nLen);
    if (ret != nLen) {
        DebugPrint("[W] TxUdpSock() failed. ret=%d\n", ret);
        DebugPrint("[W] TxUdpCmd (%s) failed\n", pszCmd);
        return FALSE;
    }
    return TRUE;
}

BOOL DecodeHealthEntry(const BYTE* pEntry, HEALTH_CHECK_RES_V* pRes)
{
    *pRes = HEALTH_CHECK_RES_V{};
    if (pEntry[5] != ' ' && !Unpack(pEntry, health::tbl_res_ip, pRes)) {
        return FALSE;
    }
    if (pEntry[0] != ' ') {
        if (!Unpack(pEntry, health::tbl_res_id, pRes)) {
            DebugPrint("[W] OnRxHealthCheck_ServID() failed\n");
            return FALSE;
        }
        pRes->dwServID |= SERV_ID_PRESENT;
    }
    return TRUE;
}

}  // namespace

void FillBlanks(BYTE* pBlock, int nLen)
{
    std::memset(pBlock, ' ', static_cast<size_t>(nLen));
}

void PutField(BYTE* pField, int nWidth, const char* pszText)
{
    int i = 0;
    for (; pszText != nullptr && i < nWidth && pszText[i] != '\0'; ++i) {
        pField[i] = static_cast<BYTE>(pszText[i]);
    }
    for (; i < nWidth; ++i) {
        pField[i] = ' ';
    }
}

void PutDecField(BYTE* pField, int nWidth, DWORD dwValue)
{
    dword2decstr(dwValue, reinterpret_cast<char*>(pField), nWidth);
}

BOOL PackRegist(BYTE* pBlock, const LISTSRV_REGIST_PARAM* pParam)
{
    FillBlanks(pBlock, REGIST_CMD_LEN);
    return SetData(reinterpret_cast<char*>(pBlock), regist::tbl_cmd, static_cast<int>(std::size(regist::tbl_cmd)),
                   pParam);
}

WORD UnpackRegistRes(const BYTE* pBlock, LISTSRV_REGIST_PARAM* pParam)
{
    if (pBlock[0] == ' ') {
        DebugPrint("[W] server id is blank\n");
        return LISTSRV_ERR_INVALID;
    }
    return Unpack(pBlock, regist::tbl_res, pParam) ? LISTSRV_RES_OK : LISTSRV_ERR_INVALID;
}

int TxSock(NPSOCK_PARAM pSock, const BYTE* pData, int nDataLen)
{
    DWORD dwStart = GetTickCount();
    int nSent = 0;
    while (nSent < nDataLen) {
        int ret = WaitTxSlice(pSock, dwStart, "TxSock");
        if (ret < 0) {
            return -1;
        }
        if (ret == 0) {
            continue;
        }
        int n = Sock_Send(pSock, pData + nSent, nDataLen - nSent, 0);
        if (n < 1) {
            DebugPrint("[W] send() failed %d\n", n);
            return -1;
        }
        nSent += n;
    }
    return nSent;
}

namespace {

// RxSock's loop from its start tick.
int RxSockSince(DWORD dwStart, NPSOCK_PARAM pSock, BYTE* pData, int nDataLen)
{
    int nCount = 0;
    while (nCount < nDataLen) {
        if (IsStopped()) {
            DebugPrint("[W] RxSock() canceled\n");
            return -1;
        }
        if (GetTickCount() - dwStart > IO_TIMEOUT_MS) {
            DebugPrint("[W] RxSock() timeout\n");
            return -1;
        }
        int ret = Sock_WaitForReceive(pSock, static_cast<long>(IO_POLL_MS));
        if (ret == 0) {
            continue;
        }
        if (ret < 0) {
            DebugPrint(IsStopped() ? "[W] RxSock() canceled\n" : "[W] WaitForReceive() failed\n");
            return -1;
        }
        int n = Sock_Receive(pSock, pData + nCount, nDataLen - nCount, 0);
        if (n < 1) {
            DebugPrint("[W] recv() failed %d\n", n);
            return -1;
        }
        nCount += n;
        // A chunk that ends in LF ends the read: the streams' closing LF.
        if (pData[nCount - 1] == LF) {
            break;
        }
    }
    return nCount;
}

}  // namespace

int RxSock(NPSOCK_PARAM pSock, BYTE* pData, int nDataLen)
{
    DWORD dwStart = GetTickCount();
    int nSlot = WinEmu_TimedWaitBegun(IO_TIMEOUT_MS);
    int nCount = RxSockSince(dwStart, pSock, pData, nDataLen);
    WinEmu_TimedWaitEnded(nSlot);
    return nCount;
}

BOOL TxTcpCmd(NPSOCK_PARAM pSock, char cCmd, BYTE* pCmd, int nCmdLen, BYTE* pRes, int nResLen, WORD* pwResCode)
{
    int nFrame = FrameCommand(pCmd, cCmd, nCmdLen);
    DebugDump("Tx TCP", pCmd, nFrame);
    int ret = TxSock(pSock, pCmd, nFrame);
    if (ret != nFrame) {
        DebugPrint("[W] TxSock() failed. ret=%d\n", ret);
        *pwResCode = LISTSRV_ERR_COMM;
        return FALSE;
    }
    BYTE abyHead[TCP_RES_HEAD_LEN];
    ret = RxSock(pSock, abyHead, TCP_RES_HEAD_LEN);
    if (ret != TCP_RES_HEAD_LEN) {
        DebugPrint("[W] RxSock() failed. ret=%d\n", ret);
        *pwResCode = LISTSRV_ERR_COMM;
        return FALSE;
    }
    DebugDump("Rx TCP", abyHead, TCP_RES_HEAD_LEN);
    WORD wCode = 0;
    WORD wCheck = ListSrv_ParseTcpResHeader(abyHead, TCP_RES_HEAD_LEN, cCmd, &wCode);
    if (wCheck != LISTSRV_RES_OK) {
        *pwResCode = wCheck;
        return FALSE;
    }
    if (nResLen == 0) {
        *pwResCode = wCode;
        return TRUE;
    }
    ret = RxSock(pSock, pRes, nResLen + 1);
    if (ret == nResLen + 1 || (ret == 1 && pRes[0] == LF)) {
        DebugDump("Rx TCP", pRes, ret);
        *pwResCode = wCode;
        return ret == nResLen + 1;  // a lone LF: the server sent no block
    }
    DebugPrint("[W] RxSock() failed. ret=%d\n", ret);
    *pwResCode = LISTSRV_ERR_COMM;
    return FALSE;
}

int RxTcpRes(NPSOCK_PARAM pSock, BYTE* pRes, int nResLen)
{
    int ret = RxSock(pSock, pRes, nResLen);
    if (ret < 1) {
        DebugPrint("[W] RxSock() failed. ret=%d\n", ret);
    } else {
        DebugDump("Rx TCP", pRes, ret);
    }
    return ret;
}

int TxUdpSock(NPSOCK_PARAM pSock, int nPort, DWORD dwAdrs, const BYTE* pData, int nDataLen)
{
    DWORD dwStart = GetTickCount();
    for (;;) {
        int ret = WaitTxSlice(pSock, dwStart, "TxUdpSock");
        if (ret < 0) {
            return -1;
        }
        if (ret > 0) {
            break;
        }
    }
    int n = Sock_SendTo(pSock, pData, nDataLen, static_cast<WORD>(nPort), dwAdrs, 0);
    if (n < 1) {
        DebugPrint("[W] sento() failed %d\n", n);
        return -1;
    }
    return n;
}

int BuildHealthCheck(BYTE* pFrame, int nPort, const char* pServID, const char* pRadioID,
                     const char (*aIDs)[SERV_ID_CHARS + 1], int k, const BYTE* pbySc)
{
    BYTE* p = pFrame + CMD_HEAD_LEN;
    PutDecField(p, 5, static_cast<DWORD>(nPort));
    std::memcpy(p + 5, pServID, SERV_ID_CHARS);
    std::memcpy(p + 10, pRadioID, RADIO_ID_CHARS);
    int nBlock = HEALTH_CMD_LEN;
    if (pbySc != nullptr) {
        k = k < 0 ? 0 : (k > LISTSRV_TARGET_MAX ? LISTSRV_TARGET_MAX : k);
        BYTE* v = p + nBlock;
        v[0] = static_cast<BYTE>(VAR_KIND_SERVERS);
        PutDecField(v + 1, MAX_VAR_LENGTH_DIGITS, static_cast<DWORD>(SERV_ID_CHARS * k + SERV_ID_CHARS));
        for (int i = 0; i < k; ++i) {
            PutField(v + VAR_HEAD_LEN + SERV_ID_CHARS * i, SERV_ID_CHARS, aIDs[i]);
        }
        std::memcpy(v + VAR_HEAD_LEN + SERV_ID_CHARS * k, pServID, SERV_ID_CHARS);
        nBlock += VAR_HEAD_LEN + SERV_ID_CHARS * (k + 1);
        v = p + nBlock;
        v[0] = static_cast<BYTE>(VAR_KIND_DGID);
        PutDecField(v + 1, MAX_VAR_LENGTH_DIGITS, HEALTH_DGID_LEN);
        bytes2fixstr(reinterpret_cast<char*>(v + VAR_HEAD_LEN), pbySc, SC_TABLE_BYTES);
        v[VAR_HEAD_LEN + 2 * SC_TABLE_BYTES] = static_cast<BYTE>(MODULATION_DIGITAL);
        nBlock += VAR_HEAD_LEN + HEALTH_DGID_LEN;
    }
    return FrameCommand(pFrame, CMD_HEALTH_CHECK, nBlock);
}

int BuildPortCheck(BYTE* pFrame, int nPort, const char* pRadioID)
{
    PutDecField(pFrame + CMD_HEAD_LEN, 5, static_cast<DWORD>(nPort));
    std::memcpy(pFrame + CMD_HEAD_LEN + 5, pRadioID, RADIO_ID_CHARS);
    return FrameCommand(pFrame, CMD_PORT_CHECK, PORT_CHECK_CMD_LEN);
}

BOOL TxHealthCheck(NPSOCK_PARAM pSock, int nTxPort, DWORD dwAdrs, int nPort, BOOL bParts)
{
    char acServID[SERV_ID_CHARS];
    char acRadioID[RADIO_ID_CHARS];
    static_assert(sizeof(LIST_GET_REQ_WORK) == SERV_ID_CHARS + 1, "an ID record is a terminated 5-character text");
    char aIDs[LISTSRV_TARGET_MAX][SERV_ID_CHARS + 1];
    BYTE abySc[SC_TABLE_BYTES];
    int k = 0;
    EnterCriticalSection(&s_csList);
    PutField(reinterpret_cast<BYTE*>(acServID), SERV_ID_CHARS, s_szServID);
    PutField(reinterpret_cast<BYTE*>(acRadioID), RADIO_ID_CHARS, s_szRadioID);
    if (bParts) {
        for (const LIST_GET_RES_WORK& work : s_aListGetResWork) {
            if (work.Param.szServID[0] != '\0') {
                std::memcpy(aIDs[k++], work.Param.szServID, SERV_ID_CHARS + 1);
            }
        }
        std::memcpy(abySc, s_abyScTable, sizeof(abySc));
    }
    LeaveCriticalSection(&s_csList);
    BYTE abyFrame[HEALTH_FRAME_MAX];
    int nLen = BuildHealthCheck(abyFrame, nPort, acServID, acRadioID, aIDs, k, bParts ? abySc : nullptr);
    return SendUdpFrame(pSock, nTxPort, dwAdrs, abyFrame, nLen, "CMD_HEALTH_CHECK");
}

BOOL TxPortCheck(NPSOCK_PARAM pSock, int nTxPort, DWORD dwAdrs, int nPort)
{
    char acServID[SERV_ID_CHARS];
    char acRadioID[RADIO_ID_CHARS];
    CopyUnitIDs(acServID, acRadioID);
    BYTE abyFrame[PORT_CHECK_CMD_LEN + CMD_FRAME_EXTRA];
    int nLen = BuildPortCheck(abyFrame, nPort, acRadioID);
    return SendUdpFrame(pSock, nTxPort, dwAdrs, abyFrame, nLen, "CMD_PORT_CHECK");
}

}  // namespace lsv

using namespace lsv;

WORD ListSrv_ParseTcpResHeader(const BYTE* pData, int nLength, char cCmd, WORD* pwResCode)
{
    if (nLength < TCP_RES_HEAD_LEN || pData[0] != static_cast<BYTE>(RES_START) || pData[1] != static_cast<BYTE>(cCmd)) {
        DebugPrint("[W] not matched packet %02X %02X\n", nLength > 0 ? pData[0] : 0, nLength > 1 ? pData[1] : 0);
        return LISTSRV_ERR_INVALID;
    }
    return ReadResultCode(pData + 2, pwResCode) ? LISTSRV_RES_OK : LISTSRV_ERR_INVALID;
}

WORD ListSrv_ParseSearchRecord(const BYTE* pData, int nLength, LISTSRV_SEARCH_RES_PARAM* pRes)
{
    if (nLength != SEARCH_REC_LEN) {
        return LISTSRV_ERR_INVALID;
    }
    if (pData[0] == ' ') {
        return 1;  // no entry: skipped
    }
    *pRes = LISTSRV_SEARCH_RES_PARAM{};
    if (!Unpack(pData, search::tbl_res, pRes)) {
        return LISTSRV_ERR_INVALID;
    }
    if (pData[10] != ' ' && !Unpack(pData, search::tbl_res_ip, pRes)) {
        return LISTSRV_ERR_INVALID;
    }
    BOOL bOk =
        pRes->bySearchResp != 0 ? Unpack(pData, search::tbl_res_conf, pRes) : Unpack(pData, search::tbl_res_open, pRes);
    return bOk ? LISTSRV_RES_OK : LISTSRV_ERR_INVALID;
}

WORD ListSrv_ParseListRecord(const BYTE* pData, int nLength, LISTSRV_LIST_PARAM* pRes, DWORD* pdwServID)
{
    *pdwServID = 0;
    if (nLength != GET_LIST_REC_LEN) {
        return LISTSRV_ERR_INVALID;
    }
    *pRes = LISTSRV_LIST_PARAM{};
    if (pData[0] == ' ') {
        // The server has no entry for this radio.
        return Unpack(pData, getlist::tbl_res_no_data, pRes) ? LISTSRV_RES_OK : LISTSRV_ERR_INVALID;
    }
    if (!Unpack(pData, getlist::tbl_res, pRes)) {
        return LISTSRV_ERR_INVALID;
    }
    if (pData[137] != ' ' && !Unpack(pData, getlist::tbl_res_ip, pRes)) {
        return LISTSRV_ERR_INVALID;
    }
    BOOL bOk = pRes->bySearchResp != 0 ? Unpack(pData, getlist::tbl_res_conf, pRes)
                                       : Unpack(pData, getlist::tbl_res_open, pRes);
    if (!bOk) {
        return LISTSRV_ERR_INVALID;
    }
    DWORD dwValue = 0;
    if (!IsDecimal(pData, SERV_ID_CHARS) ||
        !decstr2dword(reinterpret_cast<const char*>(pData), SERV_ID_CHARS, &dwValue)) {
        DebugPrint("[W] ServID is not number\n");
        return LISTSRV_ERR_INVALID;
    }
    *pdwServID = dwValue | SERV_ID_PRESENT;
    return LISTSRV_RES_OK;
}

BOOL ListSrv_CheckUdpRes(const BYTE* pData, int nLength, char cCmd, int nMinLength)
{
    const char* pszWhat = cCmd == CMD_HEALTH_CHECK ? "health check" : "port check";
    if (nMinLength < UDP_RES_COMMON_LEN) {
        nMinLength = UDP_RES_COMMON_LEN;
    }
    if (pData == nullptr || nLength < nMinLength) {
        DebugPrint("[W] invalid %s length %d\n", pszWhat, nLength);
        return FALSE;
    }
    if (pData[16] != static_cast<BYTE>(RES_START) || pData[17] != static_cast<BYTE>(cCmd)) {
        DebugPrint("[W] not %s packet %02X %02X\n", pszWhat, pData[16], pData[17]);
        return FALSE;
    }
    WORD wCode = 0;
    return ReadResultCode(pData + 18, &wCode);
}

BOOL ListSrv_ParseHealthCheckRes(const BYTE* pData, int nLength, HEALTH_CHECK_RES_V* aRes, int nMax, int* pnNum)
{
    *pnNum = 0;
    if (pData == nullptr || nLength < UDP_RES_COMMON_LEN) {
        return FALSE;
    }
    int nPos = UDP_RES_COMMON_LEN;
    while (nLength - nPos > 4) {
        const BYTE* pHead = pData + nPos;
        int nRemain = nLength - nPos - VAR_HEAD_LEN;
        DWORD dwLen = 0;
        if (nRemain < 0 || !IsDecimal(pHead + 1, MAX_VAR_LENGTH_DIGITS) ||
            !decstr2dword(reinterpret_cast<const char*>(pHead + 1), MAX_VAR_LENGTH_DIGITS, &dwLen)) {
            DebugPrint("[W] invalid variable length\n");
            DebugPrint("[W] OnRxHealthCheck_V() failed\n");
            return FALSE;
        }
        int nLen = static_cast<int>(dwLen);
        if (nLen > nRemain) {
            DebugPrint("[W] invalid variable length %d %d\n", nRemain, nLen);
            DebugPrint("[W] OnRxHealthCheck_V() failed\n");
            return FALSE;
        }
        if (pHead[0] == static_cast<BYTE>(VAR_KIND_SERVERS) && nLen >= HEALTH_RES_V_LEN) {
            int nEntries = nLen / HEALTH_RES_V_LEN;
            nEntries = nEntries > LISTSRV_HEALTH_RES_MAX ? LISTSRV_HEALTH_RES_MAX : nEntries;
            for (int i = 0; i < nEntries && *pnNum < nMax; ++i) {
                if (!DecodeHealthEntry(pHead + VAR_HEAD_LEN + HEALTH_RES_V_LEN * i, &aRes[*pnNum])) {
                    DebugPrint("[W] OnRxHealthCheck_V() failed\n");
                    return FALSE;
                }
                ++*pnNum;
            }
        }
        nPos += VAR_HEAD_LEN + nLen;
    }
    return TRUE;
}

BOOL ListSrv_ParsePortCheckRes(const BYTE* pData, int nLength, char (&szRadioID)[6])
{
    szRadioID[0] = '\0';
    if (!ListSrv_CheckUdpRes(pData, nLength, CMD_PORT_CHECK, PORT_CHECK_RES_MIN)) {
        return FALSE;
    }
    std::memcpy(szRadioID, pData + UDP_RES_COMMON_LEN, RADIO_ID_CHARS);
    szRadioID[RADIO_ID_CHARS] = '\0';
    return TRUE;
}

BOOL ListSrv_IsListServerAnswer(const void* pData, int nLength, char* pcCmd)
{
    const BYTE* p = static_cast<const BYTE*>(pData);
    if (p == nullptr || nLength < UDP_RES_COMMON_LEN || p[16] != static_cast<BYTE>(RES_START) ||
        (p[17] != static_cast<BYTE>(CMD_HEALTH_CHECK) && p[17] != static_cast<BYTE>(CMD_PORT_CHECK))) {
        return FALSE;
    }
    if (pcCmd != nullptr) {
        *pcCmd = static_cast<char>(p[17]);
    }
    return TRUE;
}
