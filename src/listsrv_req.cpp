// listsrv_req: the directory client's TCP services. Registration and search
// are blocking requests on the caller's thread; list retrieval keeps the
// entries of up to 100 followed repeaters (the targets) current and runs on
// the list thread, on request and once an hour while online. The results are
// read between ListSrv_Lock and ListSrv_Unlock.
//
// Threads: callers of ListSrv_Regist, ListSrv_Search, ListSrv_DbgGetList and
// the target operations; the list thread for the retrieval step. Locks:
// s_csList around the unit's IDs, the state and the result tables, with
// s_csTarget inside it for the targets' radio IDs; neither is held across a
// connection, an exchange or the enumeration callback.
#include <cstring>

#include "debug.h"
#include "helpers.h"
#include "listsrv_internal.h"
#include "util.h"

namespace lsv {

namespace {

constexpr char GET_LIST_KIND_RADIO = 'R';
constexpr char SEARCH_KEY_LETTERS[] = {'S', 'C', 'R', 'T', 'P', 'N'};

// The records of one list answer.
struct ListAnswer {
    LIST_GET_RES_WORK aRec[LISTSRV_TARGET_MAX];
    int nNum;
};

// Takes the current server and the TCP port; 0 when there is none.
DWORD TakeCurrent(int* pnTcpPort)
{
    EnterCriticalSection(&s_csList);
    DWORD dwCurr = s_dwCurrServerIP;
    *pnTcpPort = s_nTcpPort;
    LeaveCriticalSection(&s_csList);
    return dwCurr;
}

// A connection to the current server (or to one chosen by TCP probes when
// there is none), or null with the result code.
SEARCH_WORK* ConnectForRegist(SEARCH_PARAM* pSearch, DWORD dwCurr, int nTcpPort, WORD* pwResCode)
{
    *pwResCode = LISTSRV_ERR_COMM;
    if (dwCurr != 0) {
        DebugLog(LOG_CAT_INFO, "ConnectServer(%d.%d.%d.%d:%d) start\n", LSV_IP(dwCurr), nTcpPort);
        SEARCH_WORK* pWork = ConnectServer(pSearch, dwCurr, nTcpPort);
        if (pWork == nullptr) {
            DebugLog(LOG_CAT_WARNING, "[W] ConnectServer() faild\n");
        }
        return pWork;
    }
    DebugLog(LOG_CAT_INFO, "SearchServer(TCP,%d) start\n", nTcpPort);
    int nConnected = SearchServer(pSearch, SEARCH_METHOD_TCP, nTcpPort, 0);
    if (nConnected == 0) {
        DebugLog(LOG_CAT_WARNING, "[W] SearchServer() faild\n");
        return nullptr;
    }
    SEARCH_WORK* pWork = SelectServer(pSearch, nConnected);
    if (pWork == nullptr) {
        DebugLog(LOG_CAT_WARNING, "[W] SelectServer() faild\n");
        return nullptr;
    }
    DebugLog(LOG_CAT_INFO, "server selected %d.%d.%d.%d\n", LSV_IP(pWork->dwAdrs));
    SearchKeepOnly(pSearch, pWork);
    return pWork;
}

// The REGIST exchange on a connection: 0 or the failure's code.
WORD TxRegistReq(NPSOCK_PARAM pSock, LISTSRV_REGIST_PARAM* pParam)
{
    BYTE abyFrame[REGIST_CMD_LEN + CMD_FRAME_EXTRA];
    BYTE abyRes[REGIST_RES_LEN + 1];
    PackRegist(abyFrame + CMD_HEAD_LEN, pParam);
    WORD wCode = LISTSRV_ERR_COMM;
    if (!TxTcpCmd(pSock, CMD_REGIST, abyFrame, REGIST_CMD_LEN, abyRes, REGIST_RES_LEN, &wCode)) {
        DebugPrint("[W] TxTcpCmd (CMD_REGIST) failed\n");
        // A success code without the block that carries the server ID is no
        // registration: the caller would have no ID to keep.
        return wCode == LISTSRV_RES_OK ? LISTSRV_ERR_INVALID : wCode;
    }
    if (wCode != LISTSRV_RES_OK) {
        DebugPrint("[W] CMD_REGIST ret=%04X\n", wCode);
        return wCode;
    }
    return UnpackRegistRes(abyRes, pParam);
}

// Builds the SEARCH block (the frame has room for the '#', letter and LF).
WORD BuildSearchReq(BYTE* pFrame, const LISTSRV_SEARCH_REQ_PARAM* pParam)
{
    BYTE* pBlock = pFrame + CMD_HEAD_LEN;
    FillBlanks(pBlock, SEARCH_CMD_LEN);
    int nKey = static_cast<int>(pParam->eKey);
    if (nKey < 0 || nKey >= static_cast<int>(sizeof(SEARCH_KEY_LETTERS))) {
        DebugPrint("[W] unknown search key %d\n", nKey);
        return LISTSRV_ERR_SEARCH_KEY;
    }
    CopyUnitIDs(reinterpret_cast<char*>(pBlock), reinterpret_cast<char*>(pBlock + SERV_ID_CHARS));
    pBlock[10] = static_cast<BYTE>(SEARCH_KEY_LETTERS[nKey]);
    PutField(pBlock + 11, SEARCH_KEY_TEXT_LEN, pParam->pszKey);
    return LISTSRV_RES_OK;
}

// Reads a SEARCH record stream and hands every hit to the callback.
WORD ReadSearchStream(NPSOCK_PARAM pSock, LISTSRV_ENUM_PROC pfnCallback, LPVOID pCallbackParam)
{
    BYTE abyRec[SEARCH_REC_LEN];
    for (;;) {
        if (s_bStopReq.load()) {
            DebugPrint("[W] TxSearchReq() canceled\n");
            return LISTSRV_ERR_CANCELED;
        }
        int ret = RxTcpRes(pSock, abyRec, SEARCH_REC_LEN);
        if (ret < 1) {
            DebugPrint("[W] RxTcpRes() failed\n");
            return LISTSRV_ERR_COMM;
        }
        if (ret == 1 && abyRec[0] == LF) {
            return LISTSRV_RES_OK;
        }
        if (ret != SEARCH_REC_LEN) {
            DebugPrint("[W] RxTcpRes() return invalid length (%d != %d)\n", ret, SEARCH_REC_LEN);
            return LISTSRV_ERR_INVALID;
        }
        LISTSRV_SEARCH_RES_PARAM hit;
        WORD wParse = ListSrv_ParseSearchRecord(abyRec, ret, &hit);
        if (wParse == 1) {
            continue;
        }
        if (wParse != LISTSRV_RES_OK) {
            return wParse;
        }
        if (pfnCallback != nullptr && !pfnCallback(&hit, pCallbackParam)) {
            DebugPrint("[W] LISTSRV_ENUM_PROC failed\n");
            return LISTSRV_ERR_COMM;
        }
    }
}

WORD TxSearchReq(NPSOCK_PARAM pSock, const LISTSRV_SEARCH_REQ_PARAM* pParam, LISTSRV_ENUM_PROC pfnCallback,
                 LPVOID pCallbackParam)
{
    BYTE abyFrame[SEARCH_CMD_LEN + CMD_FRAME_EXTRA];
    WORD wCode = BuildSearchReq(abyFrame, pParam);
    if (wCode != LISTSRV_RES_OK) {
        return wCode;
    }
    if (!TxTcpCmd(pSock, CMD_SEARCH, abyFrame, SEARCH_CMD_LEN, abyFrame, 0, &wCode)) {
        DebugPrint("[W] TxTcpCmd (CMD_SEARCH) failed\n");
        return wCode;
    }
    if (wCode != LISTSRV_RES_OK) {
        DebugPrint("[W] CMD_SEARCH ret=%04X\n", wCode);
        return wCode;
    }
    return ReadSearchStream(pSock, pfnCallback, pCallbackParam);
}

// Reads a GET_LIST record stream: at most 100 records.
WORD ReadListStream(NPSOCK_PARAM pSock, ListAnswer* pAnswer)
{
    BYTE abyRec[GET_LIST_REC_LEN];
    pAnswer->nNum = 0;
    while (pAnswer->nNum < LISTSRV_TARGET_MAX) {
        if (s_bStopReq.load()) {
            DebugPrint("[W] TxGetListReq() canceled\n");
            return LISTSRV_ERR_CANCELED;
        }
        int ret = RxTcpRes(pSock, abyRec, GET_LIST_REC_LEN);
        if (ret < 1) {
            DebugPrint("[W] RxTcpRes() failed\n");
            return LISTSRV_ERR_COMM;
        }
        if (ret == 1 && abyRec[0] == LF) {
            return LISTSRV_RES_OK;
        }
        if (ret != GET_LIST_REC_LEN) {
            DebugPrint("[W] RxTcpRes() return invalid length (%d != %d)\n", ret, GET_LIST_REC_LEN);
            return LISTSRV_ERR_INVALID;
        }
        LIST_GET_RES_WORK* pRec = &pAnswer->aRec[pAnswer->nNum];
        *pRec = LIST_GET_RES_WORK{};
        WORD wParse = ListSrv_ParseListRecord(abyRec, ret, &pRec->Param, &pRec->dwServID);
        if (wParse != LISTSRV_RES_OK) {
            return wParse;
        }
        ++pAnswer->nNum;
    }
    return LISTSRV_RES_OK;
}

// Copies an answer into every result entry of the same radio ID; TRUE when
// one was written.
BOOL ApplyListAnswer(const ListAnswer& answer)
{
    BOOL bWritten = FALSE;
    int nNoData = 0;
    EnterCriticalSection(&s_csList);
    for (int r = 0; r < answer.nNum; ++r) {
        const LIST_GET_RES_WORK& rec = answer.aRec[r];
        nNoData += rec.dwServID == 0 ? 1 : 0;
        if (rec.Param.szRadioID[0] == '\0') {
            continue;
        }
        for (LIST_GET_RES_WORK& res : s_aListGetResWork) {
            if (std::strcmp(res.Param.szRadioID, rec.Param.szRadioID) == 0) {
                res.Param = rec.Param;
                res.dwServID = rec.dwServID;
                res.bChanged = TRUE;
                bWritten = TRUE;
            }
        }
    }
    s_nListNoDataCount.store(nNoData);
    LeaveCriticalSection(&s_csList);
    return bWritten;
}

// The GET_LIST exchange for n radio IDs.
BOOL TxGetListReq(NPSOCK_PARAM pSock, const LIST_GET_REQ_WORK* aReq, int n, WORD* pwResCode)
{
    BYTE abyFrame[GET_LIST_FRAME_MAX];
    BYTE* pBlock = abyFrame + CMD_HEAD_LEN;
    n = n > LISTSRV_TARGET_MAX ? LISTSRV_TARGET_MAX : n;
    CopyUnitIDs(reinterpret_cast<char*>(pBlock), reinterpret_cast<char*>(pBlock + SERV_ID_CHARS));
    for (int i = 0; i < n; ++i) {
        BYTE* pEntry = pBlock + GET_LIST_CMD_LEN + GET_LIST_CMD_V_LEN * i;
        pEntry[0] = static_cast<BYTE>(GET_LIST_KIND_RADIO);
        PutField(pEntry + 1, RADIO_ID_CHARS, aReq[i].szRadioID);
    }
    int nBlock = GET_LIST_CMD_LEN + GET_LIST_CMD_V_LEN * n;
    if (!TxTcpCmd(pSock, CMD_GET_LIST, abyFrame, nBlock, abyFrame, 0, pwResCode)) {
        DebugPrint("[W] TxTcpCmd (CMD_GET_LIST) failed\n");
        return FALSE;
    }
    if (*pwResCode != LISTSRV_RES_OK) {
        DebugPrint("[W] CMD_GET_LIST ret=%04X\n", *pwResCode);
        return FALSE;
    }
    static_assert(sizeof(ListAnswer) < 32 * 1024, "one answer fits on a thread's stack");
    ListAnswer answer;
    *pwResCode = ReadListStream(pSock, &answer);
    if (*pwResCode != LISTSRV_RES_OK) {
        return FALSE;
    }
    if (answer.nNum > 0 && ApplyListAnswer(answer)) {
        RaiseEvent(LISTSRV_EVENT_GET_LIST);
    }
    return TRUE;
}

// Connects to dwCurr and retrieves the request list: the result code;
// *pbConnected tells whether the connection was made.
WORD RetrieveFrom(DWORD dwCurr, int nTcpPort, const LIST_GET_REQ_WORK* aReq, int n, BOOL bLogConnect, BOOL* pbConnected)
{
    *pbConnected = FALSE;
    DebugPrint("ConnectServer(%d.%d.%d.%d:%d) start\n", LSV_IP(dwCurr), nTcpPort);
    SEARCH_PARAM search;
    SEARCH_WORK* pWork = ConnectServer(&search, dwCurr, nTcpPort);
    if (pWork == nullptr) {
        if (bLogConnect) {
            DebugLog(LOG_CAT_WARNING, "[W] list connect failed\n");
        } else {
            DebugPrint("[W] ConnectServer() faild\n");
        }
        SearchExit(&search);
        return LISTSRV_ERR_COMM;
    }
    *pbConnected = TRUE;
    DebugPrint("tx get list req %d.%d.%d.%d\n", LSV_IP(dwCurr));
    WORD wCode = LISTSRV_ERR_COMM;
    BOOL bOk = TxGetListReq(pWork->pSock, aReq, n, &wCode);
    SearchExit(&search);
    return bOk ? LISTSRV_RES_OK : (wCode == LISTSRV_RES_OK ? LISTSRV_ERR_COMM : wCode);
}

// Rebuilds the request from the targets (s_csList held).
void RebuildRequestLocked()
{
    s_bGetListReq.store(FALSE);
    int k = 0;
    EnterCriticalSection(&s_csTarget);
    for (int i = 0; i < LISTSRV_TARGET_MAX; ++i) {
        LIST_GET_RES_WORK& res = s_aListGetResWork[i];
        const char* pszID = s_aListGetReqWork[i].szRadioID;
        if (pszID[0] != '\0') {
            _strlcpy(s_aListGetTempWork[k++].szRadioID, pszID, sizeof(LIST_GET_REQ_WORK));
        }
        _strlcpy(res.Param.szRadioID, pszID, sizeof(res.Param.szRadioID));
        res.Param.szServID[0] = '\0';
        res.bChanged = FALSE;
        res.dwServID = 0;
        res.Param.dwIpAddr = 0;
    }
    LeaveCriticalSection(&s_csTarget);
    s_nNumOfReqParam = k;
    if (k == 0) {
        s_nNumOfGetList = 0;
    }
}

// READY with fresh health check timers (s_csList held).
void BecomeReadyLocked(DWORD dwNow)
{
    SetListStateLocked(LIST_STATE_READY);
    s_dwTmRxIdleTime = dwNow;
    s_dwTmTxHealthCheck = dwNow - HEALTH_FIRST_DELAY_MS;
}

DWORD BecomeReady()
{
    EnterCriticalSection(&s_csList);
    BecomeReadyLocked(GetTickCount());
    LeaveCriticalSection(&s_csList);
    DebugLog(LOG_CAT_INFO, "[I] list server ready\n");
    return STEP_MS;
}

// Leaves for another state, clearing the current server (s_csList taken).
void LeaveForState(LIST_STATE eState, BOOL bClearCurrent)
{
    EnterCriticalSection(&s_csList);
    if (bClearCurrent) {
        s_dwCurrServerIP = 0;
    }
    BOOL bChanged = SetListStateLocked(eState);
    LeaveCriticalSection(&s_csList);
    if (bChanged) {
        RaiseEvent(LISTSRV_EVENT_STATUS_CHANGED);
    }
}

DWORD OnRetrievalDone(LIST_STATE eState, int n)
{
    DWORD dwNow = GetTickCount();
    BOOL bAttached = eState == LIST_STATE_READY || eState == LIST_STATE_ONLINE;
    EnterCriticalSection(&s_csList);
    s_nNumOfGetList = n;
    s_dwTmListLoad = dwNow;
    s_nNumOfReqParam = 0;
    if (bAttached) {
        s_dwTmRxIdleTime = dwNow;
        s_dwTmTxHealthCheck = dwNow - HEALTH_FIRST_DELAY_MS;
    }
    LeaveCriticalSection(&s_csList);
    return bAttached ? STEP_MS : BecomeReady();
}

DWORD OnRetrievalFailed()
{
    EnterCriticalSection(&s_csList);
    BOOL bEnter = s_nListState != LIST_STATE_GET_LIST_ERR;
    BOOL bChanged = FALSE;
    if (bEnter) {
        s_dwCurrServerIP = 0;
        bChanged = SetListStateLocked(LIST_STATE_GET_LIST_ERR);
    }
    LeaveCriticalSection(&s_csList);
    if (bEnter) {
        DebugLog(LOG_CAT_WARNING, "[W] get list failed\n");
    }
    if (bChanged) {
        RaiseEvent(LISTSRV_EVENT_STATUS_CHANGED);
    }
    return WAIT_RETRY_MS;
}

}  // namespace

void ClearListTables()
{
    EnterCriticalSection(&s_csTarget);
    std::memset(s_aListGetReqWork, 0, sizeof(s_aListGetReqWork));
    LeaveCriticalSection(&s_csTarget);
    std::memset(s_aListGetTempWork, 0, sizeof(s_aListGetTempWork));
    std::memset(s_aListGetResWork, 0, sizeof(s_aListGetResWork));
    s_bGetListReq.store(FALSE);
    s_nListNoDataCount.store(0);
    s_nHealthNoDataCount.store(0);
}

DWORD OnListRetrieval(LIST_STATE eState, BOOL* pbGoOn)
{
    *pbGoOn = FALSE;
    EnterCriticalSection(&s_csList);
    if (s_szServID[0] == '\0') {
        LeaveCriticalSection(&s_csList);
        LeaveForState(LIST_STATE_WAIT_ID, TRUE);
        return STEP_MS;
    }
    BOOL bReload =
        eState == LIST_STATE_ONLINE && s_nNumOfGetList != 0 && GetTickCount() - s_dwTmListLoad > LIST_RELOAD_MS;
    if (bReload) {
        DebugPrint("list reload..\n");
    }
    if (bReload || s_bGetListReq.load()) {
        RebuildRequestLocked();
    }
    int n = s_nNumOfReqParam;
    static LIST_GET_REQ_WORK s_aReq[LISTSRV_TARGET_MAX];  // list thread only
    std::memcpy(s_aReq, s_aListGetTempWork, sizeof(s_aReq));
    DWORD dwCurr = s_dwCurrServerIP;
    int nTcpPort = s_nTcpPort;
    LeaveCriticalSection(&s_csList);
    if (n == 0) {
        if (eState == LIST_STATE_READY || eState == LIST_STATE_ONLINE) {
            *pbGoOn = TRUE;
            return 0;
        }
        return BecomeReady();
    }
    if (dwCurr == 0) {
        DebugLog(LOG_CAT_WARNING, "[W] current server ip is empty\n");
        LeaveForState(LIST_STATE_SEARCH, FALSE);
        return WAIT_RETRY_MS;
    }
    BOOL bConnected = FALSE;
    WORD wCode = RetrieveFrom(dwCurr, nTcpPort, s_aReq, n, TRUE, &bConnected);
    if (s_bStopReq.load()) {
        return 0;
    }
    if (!bConnected) {
        LeaveForState(LIST_STATE_SEARCH, TRUE);
        return WAIT_RETRY_MS;
    }
    return wCode == LISTSRV_RES_OK ? OnRetrievalDone(eState, n) : OnRetrievalFailed();
}

}  // namespace lsv

using namespace lsv;

BOOL ListSrv_Regist(LISTSRV_REGIST_PARAM* pParam, WORD* pwResCode)
{
    DebugLog(LOG_CAT_INFO, "[I] regist start\n");
    if (s_bStopReq.load()) {
        DebugLog(LOG_CAT_WARNING, "[W] resigt canceled\n");
        *pwResCode = LISTSRV_ERR_CANCELED;
        return FALSE;
    }
    EnterCriticalSection(&s_csList);
    BOOL bReady = s_bStarted.load() && s_nListState >= LIST_STATE_WAIT_ID;
    LeaveCriticalSection(&s_csList);
    if (!bReady) {
        DebugLog(LOG_CAT_WARNING, "[W] now list-sever is not ready\n");
        *pwResCode = LISTSRV_ERR_NOT_READY;
        return FALSE;
    }
    int nTcpPort = 0;
    DWORD dwCurr = TakeCurrent(&nTcpPort);
    SEARCH_PARAM search;
    SEARCH_WORK* pWork = ConnectForRegist(&search, dwCurr, nTcpPort, pwResCode);
    if (pWork != nullptr) {
        DebugLog(LOG_CAT_INFO, "tx regist req %d.%d.%d.%d\n", LSV_IP(pWork->dwAdrs));
        *pwResCode = TxRegistReq(pWork->pSock, pParam);
        if (*pwResCode == LISTSRV_RES_OK) {
            ListSrv_SetCurrentIP(pWork->dwAdrs);
        } else {
            DebugLog(LOG_CAT_WARNING, "[W] TxRegistReq() faild\n");
        }
    }
    SearchExit(&search);
    if (pWork == nullptr || *pwResCode != LISTSRV_RES_OK) {
        DebugLog(LOG_CAT_INFO, "[I] regist NG (%04X)\n", *pwResCode);
        return FALSE;
    }
    DebugLog(LOG_CAT_INFO, "[I] regist OK\n");
    return TRUE;
}

BOOL ListSrv_Search(const LISTSRV_SEARCH_REQ_PARAM* pParam, LISTSRV_ENUM_PROC pfnCallback, LPVOID pCallbackParam,
                    WORD* pwResCode)
{
    DebugLog(LOG_CAT_INFO, "[I] search start\n");
    int nTcpPort = 0;
    DWORD dwCurr = TakeCurrent(&nTcpPort);
    if (s_bStopReq.load()) {
        DebugLog(LOG_CAT_WARNING, "[W] search canceled\n");
        *pwResCode = LISTSRV_ERR_CANCELED;
    } else if (dwCurr == 0) {
        DebugLog(LOG_CAT_WARNING, "[W] now list-sever is offline\n");
        *pwResCode = LISTSRV_ERR_NOT_READY;
    } else {
        DebugLog(LOG_CAT_INFO, "ConnectServer(%d.%d.%d.%d:%d) start\n", LSV_IP(dwCurr), nTcpPort);
        SEARCH_PARAM search;
        SEARCH_WORK* pWork = ConnectServer(&search, dwCurr, nTcpPort);
        if (pWork == nullptr) {
            DebugLog(LOG_CAT_WARNING, "[W] ConnectServer() faild\n");
            *pwResCode = LISTSRV_ERR_COMM;
        } else {
            DebugLog(LOG_CAT_INFO, "tx search req %d.%d.%d.%d\n", LSV_IP(dwCurr));
            *pwResCode = TxSearchReq(pWork->pSock, pParam, pfnCallback, pCallbackParam);
            if (*pwResCode != LISTSRV_RES_OK) {
                DebugLog(LOG_CAT_WARNING, "[W] TxSearchReq() faild\n");
            }
        }
        SearchExit(&search);
    }
    if (*pwResCode != LISTSRV_RES_OK) {
        DebugLog(LOG_CAT_INFO, "[I] search NG (%04X)\n", *pwResCode);
        return FALSE;
    }
    DebugLog(LOG_CAT_INFO, "[I] search OK\n");
    return TRUE;
}

BOOL ListSrv_SetTargetRadioID(int nIndex, const char* pszID)
{
    if (nIndex < 0 || nIndex >= LISTSRV_TARGET_MAX) {
        return FALSE;
    }
    EnterCriticalSection(&s_csTarget);
    _strlcpy(s_aListGetReqWork[nIndex].szRadioID, pszID != nullptr ? pszID : "", sizeof(LIST_GET_REQ_WORK));
    LeaveCriticalSection(&s_csTarget);
    return TRUE;
}

void ListSrv_GetListReq()
{
    s_bGetListReq.store(TRUE);
}

const LISTSRV_LIST_PARAM* ListSrv_GetNextListParam(int* pnPos)
{
    if (pnPos == nullptr || *pnPos >= LISTSRV_TARGET_MAX - 1) {
        return nullptr;
    }
    for (int i = *pnPos < -1 ? 0 : *pnPos + 1; i < LISTSRV_TARGET_MAX; ++i) {
        if (s_aListGetResWork[i].bChanged) {
            s_aListGetResWork[i].bChanged = FALSE;
            *pnPos = i;
            return &s_aListGetResWork[i].Param;
        }
    }
    return nullptr;
}

const LISTSRV_LIST_PARAM* ListSrv_GetListParam(int nIndex)
{
    if (nIndex < 0 || nIndex >= LISTSRV_TARGET_MAX) {
        return nullptr;
    }
    return &s_aListGetResWork[nIndex].Param;
}

int ListSrv_GetNoIdCount()
{
    return s_nListNoDataCount.load() + s_nHealthNoDataCount.load();
}

BOOL ListSrv_DbgGetList(const char* const* apszRadioIDs, int nNumOfIDs, WORD* pwResCode)
{
    DebugPrint("[I] get list\n");
    int n = nNumOfIDs < 0 ? 0 : (nNumOfIDs > LISTSRV_TARGET_MAX ? LISTSRV_TARGET_MAX : nNumOfIDs);
    LIST_GET_REQ_WORK aReq[LISTSRV_TARGET_MAX];
    EnterCriticalSection(&s_csList);
    DWORD dwCurr = s_dwCurrServerIP;
    int nTcpPort = s_nTcpPort;
    if (dwCurr != 0) {
        s_bGetListReq.store(FALSE);
        std::memset(s_aListGetResWork, 0, sizeof(s_aListGetResWork));
        for (int i = 0; i < n; ++i) {
            _strlcpy(aReq[i].szRadioID, apszRadioIDs[i] != nullptr ? apszRadioIDs[i] : "", sizeof(aReq[i]));
            _strlcpy(s_aListGetResWork[i].Param.szRadioID, aReq[i].szRadioID, sizeof(aReq[i]));
        }
    }
    LeaveCriticalSection(&s_csList);
    if (dwCurr == 0) {
        DebugPrint("[W] now list sever is offline\n");
        *pwResCode = LISTSRV_ERR_COMM;
    } else {
        BOOL bConnected = FALSE;
        WORD wCode = RetrieveFrom(dwCurr, nTcpPort, aReq, n, FALSE, &bConnected);
        *pwResCode = wCode == LISTSRV_RES_OK ? LISTSRV_RES_OK : LISTSRV_ERR_COMM;
        if (wCode != LISTSRV_RES_OK && bConnected) {
            DebugPrint("[W] TxGetListReq() faild\n");
        }
    }
    if (*pwResCode != LISTSRV_RES_OK) {
        DebugPrint("[I] get list NG (%04X)\n", *pwResCode);
        return FALSE;
    }
    EnterCriticalSection(&s_csList);
    s_dwTmRxIdleTime = GetTickCount();
    LeaveCriticalSection(&s_csList);
    DebugPrint("[I] get list OK\n");
    return TRUE;
}
