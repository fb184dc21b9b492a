// httpcomm: the HTTP client exchanges, the server side's accept handler and
// answers, and the table of open HTTP connections (see httpcomm.h).
//
// A response or request is read through a Reader: one byte at a time for the
// status, request and header lines, in blocks for a body. A Reader draws
// either from a connection or from bytes in memory, so the same parser serves
// the connections and HTTP_ParseResponse (tests, fuzzing). Every length that
// comes from the peer is checked against the caller's buffer before a byte is
// stored, and every line is bounded.
//
// A cancel (HTTP_CancelAll) marks each connection cancelled and shuts it down
// rather than closing its descriptor: a shutdown wakes a thread blocked in a
// wait or receive on the connection at once, and the descriptor number cannot
// be handed to another socket while that thread still uses it. The owner of
// the exchange closes it as usual when it gives up.
//
// Threads: client exchanges on their callers' threads, server connections on
// the socket layer's accept threads. Locks: s_csCallback (callback pair, held
// for one whole notification); s_csSock (connection table and the list of
// listening ports), taken before the socket layer's table lock and never
// while waiting for a thread.
#include "httpcomm.h"

#include <algorithm>
#include <cstring>

#include "debug.h"
#include "helpers.h"
#include "sockutil.h"
#include "util.h"

namespace {

constexpr long DEFAULT_CONN_TIMEOUT_MS = 10000;
constexpr long DEFAULT_TX_TIMEOUT_MS = 5000;
constexpr long DEFAULT_RX_TIMEOUT_MS = 30000;
// A server connection waits this long after its answer for the client to close.
constexpr long SERVER_LINGER_MS = 30000;
// A line fails when this many bytes came without a line feed.
constexpr int LINE_LIMIT = 2048;
// Sends go out in blocks so that the send time-out covers the whole message.
constexpr int SEND_BLOCK_SIZE = 4096;
constexpr int DRAIN_BLOCK_SIZE = 512;
// Ports that HTTP_Start may listen on at once.
constexpr int HTTP_MAX_LISTEN = 8;

constexpr int HTTP_STATUS_OK = 200;
constexpr int METHOD_GET = 1;
constexpr int METHOD_POST = 2;

constexpr size_t URL_MAX_LEN = sizeof(HTTP_PARAM::szUrl) - 1;
constexpr size_t TYPE_MAX_LEN = sizeof(HTTP_PARAM::szType) - 1;
// The longest decimal value taken from a peer: nine digits always fit an int.
constexpr size_t DECIMAL_MAX_DIGITS = 9;

const char* const TOKEN_BLANKS = " \t";
const char* const VALUE_DELIMITERS = "; \t";

// What a connection's socket record carries in pParam: the exchange's
// description (the caller's for a client, the connection's own for a server)
// and how much of a request body the server side has read so far.
struct Connection {
    HTTP_PARAM* pParam;
    int nBodyRead;
    HTTP_PARAM own;
};

// Where a message is read from: a connection (pSock) or bytes in memory.
struct Reader {
    NPSOCK_PARAM pSock;
    const BYTE* pBuf;
    int nLen;
    int nPos;
    long lRxTimeout;  // per line and per body; 0 or less: no limit
};

enum ReadStatus { READ_DATA, READ_CLOSED, READ_TIMEOUT, READ_WAIT_FAILED, READ_FAILED };

HTTP_CALLBACK s_pfnCallback = nullptr;
LPVOID s_pCallbackParam = nullptr;
CRITICAL_SECTION s_csCallback = nullptr;
CRITICAL_SECTION s_csSock = nullptr;
NPSOCK_PARAM s_apSockTbl[HTTP_SOCK_TABLE_SIZE];
WORD s_anListenPort[HTTP_MAX_LISTEN];
int s_nListenCount = 0;

int Octet(ULONG ulAdrs, int nShift)
{
    return static_cast<int>((ulAdrs >> nShift) & 0xFF);
}

HTTP_TIMEOUT TimeoutsOf(const HTTP_PARAM* pParam)
{
    if (pParam->bSetTimeout) {
        return pParam->Timeout;
    }
    return HTTP_TIMEOUT{DEFAULT_CONN_TIMEOUT_MS, DEFAULT_TX_TIMEOUT_MS, DEFAULT_RX_TIMEOUT_MS};
}

// Milliseconds left of lTimeout since dwStart; 0 when spent. lTimeout must be > 0.
long Remaining(DWORD dwStart, long lTimeout)
{
    DWORD dwElapsed = GetTickCount() - dwStart;
    return dwElapsed >= static_cast<DWORD>(lTimeout) ? 0 : lTimeout - static_cast<long>(dwElapsed);
}

// A decimal number of at most nine significant digits; FALSE for anything else.
bool ParseDecimal(const char* psz, int* pnValue)
{
    size_t nLen = std::strlen(psz);
    size_t nLead = 0;
    while (nLead + 1 < nLen && psz[nLead] == '0') {
        ++nLead;
    }
    DWORD dwValue = 0;
    if (nLen == 0 || nLen - nLead > DECIMAL_MAX_DIGITS ||
        !decstr2dword(psz + nLead, static_cast<int>(nLen - nLead), &dwValue)) {
        return false;
    }
    *pnValue = static_cast<int>(dwValue);
    return true;
}

// ---------------------------------------------------------------- reading

// Up to nWant bytes (nWant > 0) into pDst, waiting at most what is left of
// the reader's time-out since dwStart. *pnGot receives the count, *pnWaitRet
// the result of a failed wait.
ReadStatus ReadSome(Reader& r, BYTE* pDst, int nWant, DWORD dwStart, int* pnGot, int* pnWaitRet)
{
    *pnGot = 0;
    if (r.pSock == nullptr) {
        int nTake = std::min(nWant, r.nLen - r.nPos);
        if (nTake <= 0) {
            return READ_CLOSED;
        }
        std::memcpy(pDst, r.pBuf + r.nPos, static_cast<size_t>(nTake));
        r.nPos += nTake;
        *pnGot = nTake;
        return READ_DATA;
    }
    if (r.lRxTimeout > 0) {
        long lLeft = Remaining(dwStart, r.lRxTimeout);
        int nWait = lLeft > 0 ? Sock_WaitForReceive(r.pSock, lLeft) : 0;
        if (nWait == 0) {
            return READ_TIMEOUT;
        }
        if (nWait < 0) {
            *pnWaitRet = nWait;
            return READ_WAIT_FAILED;
        }
    }
    int n = Sock_Receive(r.pSock, pDst, nWant, 0);
    if (n < 0 || (n == 0 && r.pSock->bCancel.load())) {
        return READ_FAILED;  // a cancelled connection reads as ended: that is no end of message
    }
    *pnGot = n;
    return n == 0 ? READ_CLOSED : READ_DATA;
}

// One line without its LF (and a CR before it), terminated, into szLine.
bool ReceiveLine(Reader& r, char (&szLine)[LINE_LIMIT])
{
    DWORD dwStart = GetTickCount();
    int nLen = 0;
    for (;;) {
        BYTE byChar = 0;
        int nGot = 0;
        int nWaitRet = 0;
        ReadStatus status = ReadSome(r, &byChar, 1, dwStart, &nGot, &nWaitRet);
        if (status == READ_TIMEOUT) {
            DebugPrint("WARNING: RxCommand() timeout\n");
            return false;
        }
        if (status == READ_WAIT_FAILED || status == READ_FAILED) {
            DebugPrint("WARNING: Sock_Receive() failed\n");
            return false;
        }
        if (status == READ_CLOSED) {
            return false;
        }
        if (byChar == '\n') {
            if (nLen > 0 && szLine[nLen - 1] == '\r') {
                --nLen;
            }
            szLine[nLen] = '\0';
            return true;
        }
        if (nLen == LINE_LIMIT - 1) {
            return false;  // LINE_LIMIT bytes without a line feed
        }
        szLine[nLen++] = static_cast<char>(byChar);
    }
}

// nWant bytes of body into pDst within the receive time-out. A peer that
// closes early ends the body with what came, unless bExact (the length was
// announced, so a shorter body is a broken one).
bool ReceiveBody(Reader& r, BYTE* pDst, int nWant, bool bExact, int* pnGot)
{
    DWORD dwStart = GetTickCount();
    int nTotal = 0;
    while (nTotal < nWant) {
        int nGot = 0;
        int nWaitRet = 0;
        ReadStatus status = ReadSome(r, pDst + nTotal, nWant - nTotal, dwStart, &nGot, &nWaitRet);
        if (status == READ_DATA) {
            nTotal += nGot;
            continue;
        }
        if (status == READ_CLOSED && !bExact) {
            break;
        }
        if (status == READ_CLOSED) {
            DebugPrint("WARNING: body ended after %d of %d bytes\n", nTotal, nWant);
        } else if (status == READ_TIMEOUT) {
            DebugPrint("WARNING: Receive() timeout\n");
        } else if (status == READ_WAIT_FAILED) {
            DebugPrint("WARNING: Sock_WaitForReceive() failed Ret=%d\n", nWaitRet);
        } else {
            DebugPrint("WARNING: Sock_Receive() failed\n");
        }
        return false;
    }
    *pnGot = nTotal;
    return true;
}

// One header line. Content-Type goes to szType, Content-Length to nLength
// (*pbHaveLength set); with bLimit a length of nMaxDataLen or more fails.
bool ParseHeaderLine(char* pszLine, HTTP_PARAM* pParam, bool bLimit, int nMaxDataLen, bool* pbHaveLength)
{
    char* pColon = std::strchr(pszLine, ':');
    if (pColon == nullptr) {
        DebugPrint("WARNING: unknown parameter %s\n", pszLine);
        return false;
    }
    *pColon = '\0';
    char* pszName = str_trim(pszLine);
    char* pNext = pColon + 1;
    char* pszValue = str_token(&pNext, VALUE_DELIMITERS);
    if (pszValue == nullptr) {
        return true;
    }
    if (__stricmp(pszName, "Content-Type") == 0) {
        if (std::strlen(pszValue) > TYPE_MAX_LEN) {
            DebugPrint("WARNING: invalid content-type %s\n", pszValue);
            return false;
        }
        _strlcpy(pParam->szType, pszValue, sizeof(pParam->szType));
    } else if (__stricmp(pszName, "Content-Length") == 0) {
        int nLength = 0;
        if (!ParseDecimal(pszValue, &nLength)) {
            DebugPrint("WARNING: invalid content-length %s\n", pszValue);
            return false;
        }
        pParam->nLength = nLength;
        *pbHaveLength = true;
        if (bLimit && nLength >= nMaxDataLen) {
            DebugPrint("WARNING: too long content-length %d\n", nLength);
            return false;
        }
    }
    return true;
}

// Header lines up to and including the empty line.
bool ReadHeaders(Reader& r, HTTP_PARAM* pParam, bool bLimit, int nMaxDataLen, bool* pbHaveLength)
{
    char szLine[LINE_LIMIT];
    for (;;) {
        if (!ReceiveLine(r, szLine)) {
            DebugPrint("WARNING: ReceiveLine() failed\n");
            return false;
        }
        if (szLine[0] == '\0') {
            return true;
        }
        if (!ParseHeaderLine(szLine, pParam, bLimit, nMaxDataLen, pbHaveLength)) {
            return false;
        }
    }
}

bool IsKnownProtocol(const char* psz)
{
    return std::strcmp(psz, "HTTP/1.0") == 0 || std::strcmp(psz, "HTTP/1.1") == 0;
}

bool ParseStatusLine(char* pszLine, HTTP_PARAM* pParam)
{
    char* pNext = pszLine;
    char* pszProtocol = str_token(&pNext, TOKEN_BLANKS);
    if (pszProtocol == nullptr || !IsKnownProtocol(pszProtocol)) {
        DebugPrint("WARNING: unknown protocol %s\n", pszProtocol != nullptr ? pszProtocol : "");
        return false;
    }
    char* pszStatus = str_token(&pNext, TOKEN_BLANKS);
    if (pszStatus == nullptr) {
        DebugPrint("WARNING: str_token() failed 2\n");
        return false;
    }
    int nStatus = 0;
    if (!ParseDecimal(pszStatus, &nStatus)) {
        DebugPrint("WARNING: invalid status %s\n", pszStatus);
        return false;
    }
    pParam->nRetCode = nStatus;
    if (nStatus != HTTP_STATUS_OK) {
        DebugPrint("WARNING: server retunrs %d\n", nStatus);
    }
    return true;
}

// A whole response: status line, header lines and, with pData, the body (at
// most nMaxDataLen bytes, terminated). nLength ends as the body's length.
BOOL ReadResponse(Reader& r, HTTP_PARAM* pParam, BYTE* pData, int nMaxDataLen, int* pnDataLen)
{
    char szLine[LINE_LIMIT];
    if (!ReceiveLine(r, szLine)) {
        DebugPrint("WARNING: ReceiveLine() failed\n");
        return FALSE;
    }
    if (!ParseStatusLine(szLine, pParam)) {
        return FALSE;
    }
    pParam->nLength = 0;
    bool bHaveLength = false;
    if (!ReadHeaders(r, pParam, pData != nullptr, nMaxDataLen, &bHaveLength)) {
        return FALSE;
    }
    if (pData == nullptr) {
        return TRUE;
    }
    int nGot = 0;
    if (!ReceiveBody(r, pData, bHaveLength ? pParam->nLength : nMaxDataLen, bHaveLength, &nGot)) {
        DebugPrint("WARNING: Receive() failed\n");
        return FALSE;
    }
    pData[nGot] = 0;
    pParam->nLength = nGot;
    if (pnDataLen != nullptr) {
        *pnDataLen = nGot;
    }
    return TRUE;
}

// ---------------------------------------------------------------- sending

// All nLen bytes within lTimeout ms in total (0 or less: no limit).
bool SendAll(NPSOCK_PARAM pSock, const void* pData, int nLen, long lTimeout)
{
    const BYTE* pBytes = static_cast<const BYTE*>(pData);
    DWORD dwStart = GetTickCount();
    for (int nSent = 0; nSent < nLen;) {
        int nBlock = std::min(nLen - nSent, SEND_BLOCK_SIZE);
        long lWait = 0;
        if (lTimeout > 0 && (lWait = Remaining(dwStart, lTimeout)) == 0) {
            DebugPrint("WARNING: Send() timeout\n");
            return false;
        }
        int ret = Sock_Send(pSock, pBytes + nSent, nBlock, lWait);
        if (ret < 0) {
            DebugPrint("WARNING: Sock_Send() failed\n");
            return false;
        }
        if (ret == 0) {
            DebugPrint("WARNING: Send() timeout\n");
            return false;
        }
        nSent += nBlock;
    }
    return true;
}

bool SendString(NPSOCK_PARAM pSock, const char* psz, long lTimeout)
{
    if (!SendAll(pSock, psz, static_cast<int>(std::strlen(psz)), lTimeout)) {
        DebugPrint("WARNING: SendSring(%s) failed\n", psz);
        return false;
    }
    return true;
}

// A text field that ends inside its array and carries no line break, so it
// cannot end the header block early or add lines of its own.
template <size_t N>
bool IsSafeField(const char (&sz)[N])
{
    size_t nLen = strnlen(sz, N);
    return nLen < N && std::strpbrk(sz, "\r\n") == nullptr;
}

bool IsSafeUrl(const char (&szUrl)[sizeof(HTTP_PARAM::szUrl)])
{
    size_t nLen = strnlen(szUrl, sizeof(szUrl));
    if (nLen == 0 || nLen == sizeof(szUrl)) {
        return false;
    }
    return std::none_of(szUrl, szUrl + nLen, [](char c) {
        BYTE by = static_cast<BYTE>(c);
        return by <= ' ' || by == 0x7F;
    });
}

// The header block (type, length, extra line, empty line) and the body.
bool SendMessage(NPSOCK_PARAM pSock, HTTP_PARAM* pParam, const void* pBody, int nBodyLen, long lTimeout)
{
    if (!IsSafeField(pParam->szType) || !IsSafeField(pParam->szAction)) {
        DebugPrint("WARNING: invalid header field\n");
        return false;
    }
    pParam->nLength = nBodyLen;
    char szBlock[128 + sizeof(pParam->szType) + sizeof(pParam->szAction)];
    int nLen = 0;
    if (pParam->szType[0] != '\0') {
        nLen += _snprintf(szBlock + nLen, sizeof(szBlock) - nLen, "Content-Type: %s\r\n", pParam->szType);
    }
    if (pParam->nLength != 0) {
        nLen += _snprintf(szBlock + nLen, sizeof(szBlock) - nLen, "Content-Length: %d\r\n", pParam->nLength);
    }
    if (pParam->szAction[0] != '\0') {
        nLen += _snprintf(szBlock + nLen, sizeof(szBlock) - nLen, "%s\r\n", pParam->szAction);
    }
    nLen += _snprintf(szBlock + nLen, sizeof(szBlock) - nLen, "\r\n");
    if (!SendAll(pSock, szBlock, nLen, lTimeout) || !SendAll(pSock, pBody, nBodyLen, lTimeout)) {
        DebugPrint("WARNING: SendData() failed\n");
        return false;
    }
    return true;
}

// A body argument: a length of 0 or more, and bytes behind a length above 0.
bool IsValidBody(const void* pData, int nDataLen)
{
    return nDataLen == 0 || (nDataLen > 0 && pData != nullptr);
}

// ---------------------------------------------------------------- table

// Enters pSock in the first free slot (s_csSock held); FALSE when all are taken.
bool AddTableLocked(NPSOCK_PARAM pSock)
{
    for (NPSOCK_PARAM& pEntry : s_apSockTbl) {
        if (pEntry == nullptr) {
            pEntry = pSock;
            return true;
        }
    }
    return false;
}

bool AddTable(NPSOCK_PARAM pSock)
{
    EnterCriticalSection(&s_csSock);
    bool bAdded = AddTableLocked(pSock);
    LeaveCriticalSection(&s_csSock);
    if (!bAdded) {
        DebugPrint("WARNING: AddTable() failed\n");
    }
    return bAdded;
}

void DeleteTable(NPSOCK_PARAM pSock)
{
    bool bFound = false;
    EnterCriticalSection(&s_csSock);
    for (NPSOCK_PARAM& pEntry : s_apSockTbl) {
        if (pEntry == pSock) {
            pEntry = nullptr;
            bFound = true;
            break;
        }
    }
    LeaveCriticalSection(&s_csSock);
    if (!bFound) {
        DebugPrint("WARNING: DeleteTable() failed\n");
    }
}

// A TCP socket for a client exchange, entered in the table. The slot is
// looked for first, so a full table refuses without taking a socket.
NPSOCK_PARAM OpenClientSocket(Connection* pConn)
{
    const char* pszFailure = nullptr;
    NPSOCK_PARAM pSock = nullptr;
    EnterCriticalSection(&s_csSock);
    if (std::find(std::begin(s_apSockTbl), std::end(s_apSockTbl), nullptr) == std::end(s_apSockTbl)) {
        pszFailure = "WARNING: AddTable() failed\n";
    } else if ((pSock = Sock_GetSocket(TRUE)) == nullptr) {
        pszFailure = "WARNING: GenSrv_GetSocket() failed\n";
    } else {
        pSock->pParam = pConn;
        AddTableLocked(pSock);
    }
    LeaveCriticalSection(&s_csSock);
    if (pszFailure != nullptr) {
        DebugPrint("%s", pszFailure);
    }
    return pSock;
}

Connection* ConnectionOf(LPVOID pClient)
{
    NPSOCK_PARAM pSock = static_cast<NPSOCK_PARAM>(pClient);
    return pSock != nullptr ? static_cast<Connection*>(pSock->pParam) : nullptr;
}

// ---------------------------------------------------------------- client

bool SendRequest(NPSOCK_PARAM pSock, HTTP_PARAM* pParam, WORD nPort, ULONG ulAdrs, bool bPost, const void* pBody,
                 int nBodyLen, long lTimeout)
{
    char szLine[URL_MAX_LEN + 96];
    _sprintf(szLine, "%s %s HTTP/1.1\r\nHost: %d.%d.%d.%d:%d\r\n%s", bPost ? "POST" : "GET", pParam->szUrl,
             Octet(ulAdrs, 24), Octet(ulAdrs, 16), Octet(ulAdrs, 8), Octet(ulAdrs, 0), static_cast<int>(nPort),
             bPost ? "" : "\r\n");
    if (!SendString(pSock, szLine, lTimeout)) {
        return false;
    }
    return !bPost || SendMessage(pSock, pParam, pBody, nBodyLen, lTimeout);
}

// One exchange on its own connection; the body of a POST is pBody (bPost).
BOOL RunExchange(HTTP_PARAM* pParam, WORD nPort, ULONG ulAdrs, bool bPost, const void* pBody, int nBodyLen,
                 LPVOID pRetData, int nMaxDataLen)
{
    if (s_csSock == nullptr || pParam == nullptr || (pRetData != nullptr && nMaxDataLen < 0) ||
        !IsValidBody(pBody, nBodyLen)) {
        return FALSE;
    }
    if (!IsSafeUrl(pParam->szUrl)) {
        DebugPrint("WARNING: invalid url\n");
        return FALSE;
    }
    Connection conn{pParam, 0, HTTP_PARAM{}};
    NPSOCK_PARAM pSock = OpenClientSocket(&conn);
    if (pSock == nullptr) {
        return FALSE;
    }
    HTTP_TIMEOUT timeout = TimeoutsOf(pParam);
    BOOL bOk = FALSE;
    if (!Sock_Connect(pSock, nPort, ulAdrs, timeout.lConnTimeout)) {
        DebugPrint("WARNING: Sock_Connect(%d, %d.%d.%d.%d) failed\n", static_cast<int>(nPort), Octet(ulAdrs, 24),
                   Octet(ulAdrs, 16), Octet(ulAdrs, 8), Octet(ulAdrs, 0));
    } else {
        Sock_SetTcpNoDelay(pSock, TRUE);
        if (SendRequest(pSock, pParam, nPort, ulAdrs, bPost, pBody, nBodyLen, timeout.lTxTimeout)) {
            Reader reader{pSock, nullptr, 0, 0, timeout.lRxTimeout};
            bOk = ReadResponse(reader, pParam, static_cast<BYTE*>(pRetData), nMaxDataLen, nullptr);
        }
    }
    DeleteTable(pSock);
    Sock_Disconnect(pSock);
    return bOk;
}

// ---------------------------------------------------------------- server

int Notify(NPSOCK_PARAM pSock, unsigned uEvent)
{
    EnterCriticalSection(&s_csCallback);
    int nResult = s_pfnCallback != nullptr ? s_pfnCallback(pSock, uEvent, s_pCallbackParam) : HTTP_STATUS_OK;
    LeaveCriticalSection(&s_csCallback);
    return nResult;
}

bool ParseRequestLine(char* pszLine, HTTP_PARAM* pParam)
{
    char* pNext = pszLine;
    char* pszMethod = str_token(&pNext, TOKEN_BLANKS);
    if (pszMethod == nullptr) {
        DebugPrint("WARNING: str_token() failed 1\n");
        return false;
    }
    if (std::strcmp(pszMethod, "GET") == 0) {
        pParam->nMethod = METHOD_GET;
    } else if (std::strcmp(pszMethod, "POST") == 0) {
        pParam->nMethod = METHOD_POST;
    } else {
        DebugPrint("WARNING: unknown method %s failed\n", pszMethod);
        return false;
    }
    char* pszUrl = str_token(&pNext, TOKEN_BLANKS);
    if (pszUrl == nullptr) {
        DebugPrint("WARNING: str_token() failed 2\n");
        return false;
    }
    if (std::strlen(pszUrl) > URL_MAX_LEN) {
        DebugPrint("WARNING: too long url\n");
        return false;
    }
    _strlcpy(pParam->szUrl, pszUrl, sizeof(pParam->szUrl));
    char* pszProtocol = str_token(&pNext, TOKEN_BLANKS);
    if (pszProtocol == nullptr) {
        DebugPrint("WARNING: str_token() failed 3\n");
        return false;
    }
    if (!IsKnownProtocol(pszProtocol)) {
        DebugPrint("WARNING: unknown protocol %s\n", pszProtocol);
        return false;
    }
    return true;
}

bool ReadRequest(NPSOCK_PARAM pSock, HTTP_PARAM* pParam)
{
    Reader reader{pSock, nullptr, 0, 0, TimeoutsOf(pParam).lRxTimeout};
    char szLine[LINE_LIMIT];
    if (!ReceiveLine(reader, szLine)) {
        DebugPrint("WARNING: ReceiveLine() failed\n");
        return false;
    }
    bool bHaveLength = false;
    return ParseRequestLine(szLine, pParam) && ReadHeaders(reader, pParam, false, 0, &bHaveLength);
}

// After the answer: ends our sending direction, so that a client reading an
// answer without a length sees its end, then lets the client close first
// (reading and dropping what it still sends, up to SERVER_LINGER_MS), so that
// unread input does not make the close reset the connection under the answer.
void LingerForClose(NPSOCK_PARAM pSock)
{
    Sock_Shutdown(pSock, FALSE, TRUE);
    Reader reader{pSock, nullptr, 0, 0, SERVER_LINGER_MS};
    DWORD dwStart = GetTickCount();
    BYTE abyDrop[DRAIN_BLOCK_SIZE];
    int nGot = 0;
    int nWaitRet = 0;
    while (ReadSome(reader, abyDrop, sizeof(abyDrop), dwStart, &nGot, &nWaitRet) == READ_DATA) {
    }
}

// The socket layer's listener callback: one connection, on its accept thread.
void AcceptHandler(NPSOCK_PARAM pSock)
{
    if (!AddTable(pSock)) {
        return;
    }
    Connection conn{nullptr, 0, HTTP_PARAM{}};
    conn.pParam = &conn.own;
    pSock->pParam = &conn;
    Sock_SetTcpNoDelay(pSock, TRUE);
    int nResult = Notify(pSock, HTTP_EVENT_ACCEPT);
    if (nResult != HTTP_STATUS_OK) {
        DebugPrint("WARNING: Notify(HTTP_EVENT_ACCEPT) failed %d\n", nResult);
        DeleteTable(pSock);
        pSock->pParam = nullptr;
        return;
    }
    if (ReadRequest(pSock, conn.pParam)) {
        Notify(pSock, conn.pParam->nMethod == METHOD_POST ? HTTP_EVENT_POST : HTTP_EVENT_GET);
        LingerForClose(pSock);
    }
    DeleteTable(pSock);
    Notify(pSock, HTTP_EVENT_DISCONNECT);
    pSock->pParam = nullptr;
}

const char* StatusLineOf(int nStatus)
{
    switch (nStatus) {
    case 200:
        return "HTTP/1.1 200 OK\r\nConnection: close\r\n";
    case 400:
        return "HTTP/1.1 400 Bad Request\r\n";
    case 404:
        return "HTTP/1.1 404 Not Found\r\n";
    case 500:
        return "HTTP/1.1 500 Internal Server Error\r\n";
    default:
        return nullptr;
    }
}

}  // namespace

void HTTP_Construct()
{
    s_pfnCallback = nullptr;
    s_pCallbackParam = nullptr;
    for (NPSOCK_PARAM& pSock : s_apSockTbl) {
        pSock = nullptr;
    }
    s_nListenCount = 0;
    if (s_csCallback == nullptr) {
        InitializeCriticalSection(&s_csCallback);
    }
    if (s_csSock == nullptr) {
        InitializeCriticalSection(&s_csSock);
    }
}

BOOL HTTP_Init()
{
    return TRUE;
}

void HTTP_Stop()
{
    if (s_csSock == nullptr) {
        return;
    }
    WORD anPort[HTTP_MAX_LISTEN];
    EnterCriticalSection(&s_csSock);
    int nCount = s_nListenCount;
    std::copy(s_anListenPort, s_anListenPort + nCount, anPort);
    s_nListenCount = 0;
    LeaveCriticalSection(&s_csSock);
    // Outside the lock: the connections' accept threads need it to end.
    for (int i = 0; i < nCount; ++i) {
        Sock_StopListen(anPort[i]);
    }
}

void HTTP_Destruct()
{
    HTTP_Stop();
    DeleteCriticalSection(&s_csSock);
    DeleteCriticalSection(&s_csCallback);
}

void HTTP_SetCallback(HTTP_CALLBACK pfnCallback, LPVOID pParam)
{
    EnterCriticalSection(&s_csCallback);
    s_pfnCallback = pfnCallback;
    s_pCallbackParam = pParam;
    LeaveCriticalSection(&s_csCallback);
}

void HTTP_CancelAll()
{
    if (s_csSock == nullptr) {
        return;
    }
    EnterCriticalSection(&s_csSock);
    for (NPSOCK_PARAM pSock : s_apSockTbl) {
        if (pSock != nullptr) {
            Sock_MarkCancel(pSock);
            Sock_Shutdown(pSock, TRUE, TRUE);
        }
    }
    LeaveCriticalSection(&s_csSock);
}

BOOL HTTP_Get(HTTP_PARAM* pParam, WORD nPort, ULONG ulAdrs, LPVOID pData, int nMaxDataLen)
{
    return RunExchange(pParam, nPort, ulAdrs, false, nullptr, 0, pData, nMaxDataLen);
}

BOOL HTTP_Post(HTTP_PARAM* pParam, WORD nPort, ULONG ulAdrs, const void* pData, int nDataLen, LPVOID pRetData,
               int nMaxDataLen)
{
    return RunExchange(pParam, nPort, ulAdrs, true, pData, nDataLen, pRetData, nMaxDataLen);
}

BOOL HTTP_ParseResponse(const void* pBuf, int nLen, HTTP_PARAM* pParam, LPVOID pData, int nMaxDataLen,
                        int* pnDataLen)
{
    if (pParam == nullptr || nLen < 0 || (pBuf == nullptr && nLen > 0) || (pData != nullptr && nMaxDataLen < 0)) {
        return FALSE;
    }
    Reader reader{nullptr, static_cast<const BYTE*>(pBuf), nLen, 0, 0};
    return ReadResponse(reader, pParam, static_cast<BYTE*>(pData), nMaxDataLen, pnDataLen);
}

BOOL HTTP_Start(WORD nPort)
{
    if (s_csSock == nullptr) {
        return FALSE;
    }
    EnterCriticalSection(&s_csSock);
    bool bRoom = s_nListenCount < HTTP_MAX_LISTEN;
    if (bRoom) {
        s_anListenPort[s_nListenCount++] = nPort;  // before the listen, so no connection finds it missing
    }
    LeaveCriticalSection(&s_csSock);
    if (bRoom && Sock_Listen(nPort, AcceptHandler)) {
        return TRUE;
    }
    if (bRoom) {
        EnterCriticalSection(&s_csSock);
        WORD* pEnd = std::remove(s_anListenPort, s_anListenPort + s_nListenCount, nPort);
        s_nListenCount = static_cast<int>(pEnd - s_anListenPort);
        LeaveCriticalSection(&s_csSock);
    }
    DebugPrint("WARNING: Sock_Listen(%d) failed\n", static_cast<int>(nPort));
    return FALSE;
}

HTTP_PARAM* HTTP_GetParam(LPVOID pClient)
{
    Connection* pConn = ConnectionOf(pClient);
    return pConn != nullptr ? pConn->pParam : nullptr;
}

ULONG HTTP_GetAddress(LPVOID pClient)
{
    NPSOCK_PARAM pSock = static_cast<NPSOCK_PARAM>(pClient);
    return pSock != nullptr ? pSock->ulAdrs.load() : 0;
}

WORD HTTP_GetPort(LPVOID pClient)
{
    return Sock_GetPort(static_cast<NPSOCK_PARAM>(pClient));
}

BOOL HTTP_Receive(LPVOID pClient, LPVOID pData, int nMaxDataLen)
{
    Connection* pConn = ConnectionOf(pClient);
    if (pConn == nullptr || pData == nullptr || nMaxDataLen < 1) {
        return FALSE;
    }
    int nLeft = std::max(pConn->pParam->nLength - pConn->nBodyRead, 0);
    Reader reader{static_cast<NPSOCK_PARAM>(pClient), nullptr, 0, 0, TimeoutsOf(pConn->pParam).lRxTimeout};
    int nGot = 0;
    if (!ReceiveBody(reader, static_cast<BYTE*>(pData), std::min(nLeft, nMaxDataLen - 1), true, &nGot)) {
        DebugPrint("WARNING: Receive() failed\n");
        return FALSE;
    }
    pConn->nBodyRead += nGot;
    static_cast<BYTE*>(pData)[nGot] = 0;
    return TRUE;
}

BOOL HTTP_Reply(LPVOID pClient, int nStatus, const void* pData, int nDataLen)
{
    Connection* pConn = ConnectionOf(pClient);
    if (pConn == nullptr || !IsValidBody(pData, nDataLen)) {
        return FALSE;
    }
    const char* pszStatus = StatusLineOf(nStatus);
    if (pszStatus == nullptr) {
        DebugPrint("WARNING: SendStatus(%d) failed\n", nStatus);
        return FALSE;
    }
    if (!SendString(static_cast<NPSOCK_PARAM>(pClient), pszStatus, TimeoutsOf(pConn->pParam).lTxTimeout)) {
        DebugPrint("WARNING: SendStatus(%d) failed\n", nStatus);
        return FALSE;
    }
    if (pData == nullptr || nDataLen == 0) {
        return TRUE;
    }
    return HTTP_Send(pClient, pData, nDataLen);
}

BOOL HTTP_Send(LPVOID pClient, const void* pData, int nDataLen)
{
    Connection* pConn = ConnectionOf(pClient);
    if (pConn == nullptr || !IsValidBody(pData, nDataLen)) {
        return FALSE;
    }
    return SendMessage(static_cast<NPSOCK_PARAM>(pClient), pConn->pParam, pData, nDataLen,
                       TimeoutsOf(pConn->pParam).lTxTimeout);
}
