// server_rec: voice recording and playback in the unit core. The radio asks
// for a recording with 'R' frames (identification 'I', voice '0'-'3', end
// 'T') carrying a slot number (0-99 or 127); the frames are queued for
// RecThread, which writes one file per slot. The radio asks for a playback
// with 'L' (channel A) or 'l' (channel B) for slot 0-100 or 127; the request
// is answered at once and PlayThread feeds the slot's records into the
// LAN-to-radio queue, whose release in the idle loop sends them to the radio
// as 'F'/'f' with the spacing they had when recorded.
//
// Files (names hold a backslash, an ordinary character on the unit's file
// system, so they lie in /var/local and begin with "DATA\"):
//  - "DATA\RECnnn.dat": an 8-byte header ("KOVA", record count big-endian,
//    0, sum of bytes 0-6), then records: data length L (2, big-endian,
//    15-1434), tick of the frame (4, big-endian), 0, sum of the data, then the
//    L bytes of the 'R' frame's parameter area.
//  - "DATA\REC_INFO.dat": 32 bytes, the slot as "%03d" NUL-padded to 16,
//    15 zero bytes, sum of bytes 0-30; all zero when no recording is open.
//    A slot named there at start-up was cut off by a power loss: its file
//    is checked and set aside as "DATA\RECnnn.kkk" unless it reads back whole.
//
// Threads: OnRxSioRecData, OnRxSioPlay, StopDataPlay and RecOnTimer run with
// s_csSerial held (serial receive thread, timer thread); RecThread and
// PlayThread run on their own; CheckRecFile on the main thread at start-up.
// Locks: s_csRecFile guards the three open files, the record count and the
// playback request; it is innermost and never held while s_csSerial or
// s_csTxQueue is taken. The recording state of the radio side (accepting
// frames, a response due, the slot, the time-out) is guarded by s_csSerial.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "board.h"
#include "dataconv.h"
#include "debug.h"
#include "helpers.h"
#include "server_internal.h"
#include "sub.h"
#include "util.h"

namespace {

// ---- Formats -------------------------------------------------------------------

constexpr const char* REC_FOLDER = "/var/local/DATA";
constexpr const char* REC_PREFIX = "REC";
constexpr const char* REC_EXT = ".dat";
constexpr const char* REC_INFO_NAME = "REC_INFO.dat";

constexpr int REC_FILE_HEADER_SIZE = 8;
constexpr int RFH_OFS_SIGNATURE = 0;
constexpr int RFH_SIGNATURE_SIZE = 4;
constexpr int RFH_OFS_COUNT = 4;
constexpr int RFH_OFS_RESERVED = 6;
constexpr int RFH_OFS_SUM = 7;
constexpr const char REC_SIGNATURE[RFH_SIGNATURE_SIZE + 1] = "KOVA";
static_assert(RFH_OFS_SUM + 1 == REC_FILE_HEADER_SIZE, "the file header is 8 bytes");
static_assert(RFH_OFS_SIGNATURE + RFH_SIGNATURE_SIZE == RFH_OFS_COUNT, "the count follows the signature");

constexpr int REC_DATA_HEADER_SIZE = 8;
constexpr int RDH_OFS_LENGTH = 0;
constexpr int RDH_OFS_TIME = 2;
constexpr int RDH_OFS_RESERVED = 6;
constexpr int RDH_OFS_SUM = 7;
static_assert(RDH_OFS_SUM + 1 == REC_DATA_HEADER_SIZE, "the record header is 8 bytes");
constexpr int REC_DATA_MIN = VOICE_HEAD_SIZE;
constexpr int REC_DATA_MAX = SIO_DATA_MAX;

constexpr int REC_INFO_SIZE = 32;
constexpr int RI_NAME_SIZE = 16;
constexpr int RI_OFS_SUM = 31;
static_assert(RI_NAME_SIZE + 15 == RI_OFS_SUM && RI_OFS_SUM + 1 == REC_INFO_SIZE, "the index is 32 bytes");
constexpr int RI_NAME_DIGITS_MAX = 9;  // more cannot name a slot

// Records of one recording: identification, 598 voice records, end.
constexpr int REC_COUNT_MAX = 600;
constexpr int REC_COUNT_BEFORE_END = REC_COUNT_MAX - 1;

constexpr DWORD REC_TIMEOUT_MS = 2000;
constexpr DWORD REC_SLOT_ANY = 127;
constexpr DWORD REC_SLOT_LAST = 99;
constexpr DWORD PLAY_SLOT_LAST = 100;
constexpr WORD PLAY_MSG_ID_FIRST = 0x8000;
constexpr int PLAY_BURST_RECORDS = 8;
constexpr DWORD PLAY_BURST_PAUSE_MS = 10;
constexpr unsigned int PLAY_QUEUE_OWNER = 0;

// 'R' answer: 'R', slot (2 hex), blank, result; 'L'/'l' answer: slot (2 hex), blank, result.
constexpr int REC_RES_PARAM_SIZE = 4;
constexpr int PLAY_CMD_PARAM_SIZE = 2;
constexpr int PLAY_RES_PARAM_SIZE = 3;

// The slot of a recording frame, in the group field of the voice area's head.
#define VOICE_FIELD(f) static_cast<int>(offsetof(COMMON_DATA_HEADER, f))
const GET_DATA_PARAM SIO_REC_CH = {1, 2, "SIO_COMMON_DATA_HEADER:cRecCh", TYPE_HEX_DW, VOICE_FIELD(dwRecCh)};
#undef VOICE_FIELD

// Slot and result of an answer to the radio.
struct tagSLOT_RES {
    DWORD dwRecCh;
    char cStat;
};
typedef tagSLOT_RES SLOT_RES;
#define SLOT_FIELD(f) static_cast<int>(offsetof(SLOT_RES, f))
const GET_DATA_PARAM SIO_PLAY_CMD_PARAM[] = {
    {0, 2, "SIO_PLAY_CMD_PARAM:cRecCh", TYPE_HEX_DW, SLOT_FIELD(dwRecCh)},
};
const GET_DATA_PARAM SIO_PLAY_RES_PARAM[] = {
    {0, 2, "SIO_PLAY_RES_PARAM:cRecCh", TYPE_HEX_DW, SLOT_FIELD(dwRecCh)},
    {2, 1, "SIO_PLAY_RES_PARAM:cStat", TYPE_CHAR, SLOT_FIELD(cStat)},
};
const GET_DATA_PARAM SIO_REC_RES_PARAM[] = {
    {1, 2, "SIO_REC_RES_PARAM:cRecCh", TYPE_HEX_DW, SLOT_FIELD(dwRecCh)},
    {3, 1, "SIO_REC_RES_PARAM:cStat", TYPE_CHAR, SLOT_FIELD(cStat)},
};
#undef SLOT_FIELD

// ---- State ---------------------------------------------------------------------

// Under s_csSerial: the radio side of a recording.
BOOL s_bRecDataReq = FALSE;  // 'R' frames are being accepted
BOOL s_bRecording = FALSE;   // a recording is open and owes the radio a response
DWORD s_dwRecCh = 0;         // slot being recorded
DWORD s_dwTmRecTimeout = 0;  // tick of the last accepted 'R' frame

// Under s_csRecFile.
FILE* s_fpRecFile = nullptr;
FILE* s_fpRecInfo = nullptr;
int s_nRecDataCount = 0;
BOOL s_bPlayDataReq = FALSE;
DWORD s_dwPlayCh = 0;  // slot to be played
TRX_CH s_ePlayCh = TRX_CH_A;
FILE* s_fpPlayFile = nullptr;  // null: no playback
int s_nPlayDataCount = 0;

// PlayThread only.
WORD s_wRecID = 0;

// ---- Names ---------------------------------------------------------------------

// The board path of a name built from the folder prefix.
bool MapName(const char* pszName, char* pszOut, int nOutSize)
{
    return Board_MapPath(pszName, pszOut, nOutSize) != FALSE;
}

void RecFileName(char (&szName)[BOARD_PATH_MAX], int nCh)
{
    _sprintf(szName, "%s\\%s%03d%s", REC_FOLDER, REC_PREFIX, nCh, REC_EXT);
}

void RecInfoName(char (&szName)[BOARD_PATH_MAX])
{
    _sprintf(szName, "%s\\%s", REC_FOLDER, REC_INFO_NAME);
}

void SetAsideName(char (&szName)[BOARD_PATH_MAX], int nCh, int k)
{
    if (k < 1000) {
        _sprintf(szName, "%s\\%s%03d.%03d", REC_FOLDER, REC_PREFIX, nCh, k);
    } else {
        _sprintf(szName, "%s\\%s%03d.%d", REC_FOLDER, REC_PREFIX, nCh, k);
    }
}

// Opens a named file with the mode; "[W] cannot open %s" when it does not.
FILE* OpenNamed(const char* pszName, const char* pszMode, bool bReport)
{
    char szPath[BOARD_PATH_MAX];
    FILE* fp = MapName(pszName, szPath, sizeof(szPath)) ? OpenFile(szPath, pszMode) : nullptr;
    if (fp == nullptr && bReport) {
        DebugLog(LOG_CAT_WARNING, "[W] cannot open %s\n", pszName);
    }
    return fp;
}

// For update, created when it does not exist.
FILE* OpenForUpdate(const char* pszName)
{
    FILE* fp = OpenNamed(pszName, "r+b", false);
    return fp != nullptr ? fp : OpenNamed(pszName, "wb", true);
}

bool IsRecSlot(DWORD dwCh)
{
    return dwCh <= REC_SLOT_LAST || dwCh == REC_SLOT_ANY;
}

bool IsPlaySlot(DWORD dwCh)
{
    return dwCh <= PLAY_SLOT_LAST || dwCh == REC_SLOT_ANY;
}

// ---- The index -----------------------------------------------------------------

void BuildRecInfo(BYTE (&aby)[REC_INFO_SIZE], int nCh)
{
    std::memset(aby, 0, sizeof(aby));
    char szName[RI_NAME_SIZE + 1];
    _sprintf(szName, "%03d", nCh);
    std::memcpy(aby, szName, std::strlen(szName));
    aby[RI_OFS_SUM] = CalcCheckSum(aby, RI_OFS_SUM);
}

// Writes the index naming the slot and leaves it open in s_fpRecInfo.
BOOL WriteRecInfo(int nCh)
{
    char szName[BOARD_PATH_MAX];
    RecInfoName(szName);
    FILE* fp = OpenForUpdate(szName);
    if (fp == nullptr) {
        return FALSE;
    }
    BYTE aby[REC_INFO_SIZE];
    BuildRecInfo(aby, nCh);
    if (std::fseek(fp, 0, SEEK_SET) != 0 || std::fwrite(aby, 1, sizeof(aby), fp) != sizeof(aby)) {
        DebugLog(LOG_CAT_WARNING, "[W] fwrite() failed (recinfo)\n");
        std::fclose(fp);
        return FALSE;
    }
    if (!FlushFile(fp)) {
        DebugLog(LOG_CAT_WARNING, "[W] FlushFile() failed (recinfo)\n");
        std::fclose(fp);
        return FALSE;
    }
    s_fpRecInfo = fp;
    return TRUE;
}

// Closes the recording file and clears the index. Caller holds s_csRecFile.
void CloseRecFile()
{
    if (s_fpRecFile != nullptr) {
        std::fclose(s_fpRecFile);
        s_fpRecFile = nullptr;
    }
    if (s_fpRecInfo == nullptr) {
        return;
    }
    static const BYTE s_abyZero[REC_INFO_SIZE] = {};
    if (std::fseek(s_fpRecInfo, 0, SEEK_SET) != 0) {
        DebugLog(LOG_CAT_WARNING, "[W] fseek() failed (recinfo)\n");
    } else if (std::fwrite(s_abyZero, 1, sizeof(s_abyZero), s_fpRecInfo) != sizeof(s_abyZero)) {
        DebugLog(LOG_CAT_WARNING, "[W] fwrite() failed (recinfo)\n");
    }
    std::fclose(s_fpRecInfo);
    s_fpRecInfo = nullptr;
}

// ---- Recording file records ----------------------------------------------------

BOOL WriteRecHeader(FILE* fp, int nCount)
{
    if (std::fseek(fp, 0, SEEK_SET) != 0) {
        DebugLog(LOG_CAT_WARNING, "[W] fseek() failed\n");
        return FALSE;
    }
    BYTE aby[REC_FILE_HEADER_SIZE];
    std::memcpy(aby + RFH_OFS_SIGNATURE, REC_SIGNATURE, RFH_SIGNATURE_SIZE);
    PutBE16(aby + RFH_OFS_COUNT, static_cast<WORD>(nCount));
    aby[RFH_OFS_RESERVED] = 0;
    aby[RFH_OFS_SUM] = CalcCheckSum(aby, RFH_OFS_SUM);
    if (std::fwrite(aby, 1, sizeof(aby), fp) != sizeof(aby)) {
        DebugLog(LOG_CAT_WARNING, "[W] fwrite() failed\n");
        return FALSE;
    }
    if (!FlushFile(fp)) {
        DebugLog(LOG_CAT_WARNING, "[W] FlushFile() failed\n");
        return FALSE;
    }
    return TRUE;
}

BOOL ReadRecHeader(FILE* fp, int* pnCount)
{
    if (std::fseek(fp, 0, SEEK_SET) != 0) {
        DebugLog(LOG_CAT_WARNING, "[W] fseek() failed\n");
        return FALSE;
    }
    BYTE aby[REC_FILE_HEADER_SIZE];
    if (std::fread(aby, 1, sizeof(aby), fp) != sizeof(aby)) {
        DebugLog(LOG_CAT_WARNING, "[W] fread() failed\n");
        return FALSE;
    }
    if (std::memcmp(aby + RFH_OFS_SIGNATURE, REC_SIGNATURE, RFH_SIGNATURE_SIZE) != 0) {
        DebugLog(LOG_CAT_WARNING, "[W] file signature mismatch\n");
        return FALSE;
    }
    if (CalcCheckSum(aby, RFH_OFS_SUM) != aby[RFH_OFS_SUM]) {
        DebugLog(LOG_CAT_WARNING, "[W] file header checksum error\n");
        return FALSE;
    }
    *pnCount = GetBE16(aby + RFH_OFS_COUNT);
    return TRUE;
}

BOOL WriteRecData(FILE* fp, DWORD dwTime, const BYTE* pData, int nLen)
{
    BYTE aby[REC_DATA_HEADER_SIZE];
    PutBE16(aby + RDH_OFS_LENGTH, static_cast<WORD>(nLen));
    PutBE32(aby + RDH_OFS_TIME, dwTime);
    aby[RDH_OFS_RESERVED] = 0;
    aby[RDH_OFS_SUM] = CalcCheckSum(pData, nLen);
    // Handed to the system at once (not forced to the device): a record
    // survives a crash of the daemon, and readers see the file as it grows.
    if (std::fwrite(aby, 1, sizeof(aby), fp) != sizeof(aby) ||
        std::fwrite(pData, 1, static_cast<size_t>(nLen), fp) != static_cast<size_t>(nLen) || std::fflush(fp) != 0) {
        DebugLog(LOG_CAT_WARNING, "[W] fwrite() failed\n");
        return FALSE;
    }
    return TRUE;
}

// pData holds REC_DATA_MAX bytes.
BOOL ReadRecData(FILE* fp, COMMON_DATA_HEADER* pHeader, BYTE* pData, int* pnLen)
{
    BYTE aby[REC_DATA_HEADER_SIZE];
    if (std::fread(aby, 1, sizeof(aby), fp) != sizeof(aby)) {
        DebugLog(LOG_CAT_WARNING, "[W] fread() failed\n");
        return FALSE;
    }
    int nLen = GetBE16(aby + RDH_OFS_LENGTH);
    if (nLen < REC_DATA_MIN || nLen > REC_DATA_MAX) {
        DebugLog(LOG_CAT_WARNING, "[W] invalid rec data length %d\n", nLen);
        return FALSE;
    }
    if (std::fread(pData, 1, static_cast<size_t>(nLen), fp) != static_cast<size_t>(nLen)) {
        DebugLog(LOG_CAT_WARNING, "[W] fread() failed\n");
        return FALSE;
    }
    if (CalcCheckSum(pData, nLen) != aby[RDH_OFS_SUM]) {
        DebugLog(LOG_CAT_WARNING, "[W] file data checksum error\n");
        return FALSE;
    }
    std::memset(pHeader, 0, sizeof(*pHeader));
    if (!DecodeVoiceFields(reinterpret_cast<const char*>(pData), pHeader)) {
        DebugLog(LOG_CAT_WARNING, "[W] GetData() failed (PLAY)\n");
        return FALSE;
    }
    pHeader->dwTime = GetBE32(aby + RDH_OFS_TIME);
    *pnLen = nLen;
    return TRUE;
}

// The slot's file opened for reading past its header, its record count in
// *pnCount; null when it is missing (reported when asked), its header is bad
// or it counts no records. Caller holds s_csRecFile.
FILE* OpenRecordedSlot(int nCh, bool bReportMissing, int* pnCount)
{
    char szName[BOARD_PATH_MAX];
    RecFileName(szName, nCh);
    FILE* fp = OpenNamed(szName, "rb", bReportMissing);
    if (fp == nullptr) {
        return nullptr;
    }
    int nCount = 0;
    if (!ReadRecHeader(fp, &nCount)) {
        DebugLog(LOG_CAT_WARNING, "[W] ReadRecHeader() failed\n");
    } else if (nCount == 0) {
        DebugLog(LOG_CAT_WARNING, "[W] rec file has no data\n");
    } else {
        *pnCount = nCount;
        return fp;
    }
    std::fclose(fp);
    return nullptr;
}

// TRUE when the slot has a valid file with records. Caller holds s_csRecFile.
BOOL IsRecFileExist(int nCh)
{
    int nCount = 0;
    FILE* fp = OpenRecordedSlot(nCh, false, &nCount);
    if (fp == nullptr) {
        return FALSE;
    }
    std::fclose(fp);
    return TRUE;
}

// ---- RecThread's steps (s_csRecFile held) -------------------------------------------

// Opens the slot's file and the index; FALSE (both closed) on failure.
BOOL OpenRecFile(int nCh)
{
    char szName[BOARD_PATH_MAX];
    RecFileName(szName, nCh);
    s_fpRecFile = OpenForUpdate(szName);
    if (s_fpRecFile == nullptr) {
        DebugLog(LOG_CAT_WARNING, "[W] OpenRecFile(%d) failed\n", nCh);
        return FALSE;
    }
    if (!WriteRecInfo(nCh)) {
        DebugLog(LOG_CAT_WARNING, "[W] WriteRecInfo() failed\n");
        std::fclose(s_fpRecFile);
        s_fpRecFile = nullptr;
        DebugLog(LOG_CAT_WARNING, "[W] OpenRecFile(%d) failed\n", nCh);
        return FALSE;
    }
    return TRUE;
}

// Appends one record; on failure the recording is closed.
BOOL AppendRecord(const COMMON_DATA_HEADER& h, const BYTE* pData, int n)
{
    if (!WriteRecData(s_fpRecFile, h.dwTime, pData, n)) {
        DebugLog(LOG_CAT_WARNING, "[W] WriteRecData() failed\n");
        CloseRecFile();
        return FALSE;
    }
    ++s_nRecDataCount;
    return TRUE;
}

BOOL StoreRecStart(const COMMON_DATA_HEADER& h, const BYTE* pData, int n)
{
    CloseRecFile();
    if (s_bPowerDown.load()) {
        DebugLog(LOG_CAT_WARNING, "[W] power down mode. rec ignore\n");
        return FALSE;
    }
    int nCh = static_cast<int>(h.dwRecCh);
    if (!OpenRecFile(nCh)) {
        return FALSE;
    }
    s_nRecDataCount = 0;
    if (!WriteRecHeader(s_fpRecFile, 0)) {
        DebugLog(LOG_CAT_WARNING, "[W] WriteRecHeader() failed\n");
        CloseRecFile();
        return FALSE;
    }
    return AppendRecord(h, pData, n);
}

BOOL StoreRecEnd(const COMMON_DATA_HEADER& h, const BYTE* pData, int n)
{
    if (s_fpRecFile == nullptr) {
        DebugLog(LOG_CAT_WARNING, "[W] fp is NULL. rec ignore\n");
        return FALSE;
    }
    if (s_bPowerDown.load()) {
        DebugLog(LOG_CAT_WARNING, "[W] power down mode. rec ignore\n");
        CloseRecFile();
        return FALSE;
    }
    if (!AppendRecord(h, pData, n)) {
        return FALSE;
    }
    if (!WriteRecHeader(s_fpRecFile, s_nRecDataCount)) {
        DebugLog(LOG_CAT_WARNING, "[W] WriteRecHeader() failed\n");
        CloseRecFile();
        return FALSE;
    }
    return TRUE;
}

BOOL StoreRecVoice(const COMMON_DATA_HEADER& h, const BYTE* pData, int n)
{
    if (s_fpRecFile == nullptr) {
        return FALSE;
    }
    if (s_bPowerDown.load()) {
        DebugLog(LOG_CAT_WARNING, "[W] power down mode. rec ignore\n");
        CloseRecFile();
        return FALSE;
    }
    if (s_nRecDataCount >= REC_COUNT_BEFORE_END) {
        DebugLog(LOG_CAT_WARNING, "[W] over max rec count\n");
        return FALSE;
    }
    return AppendRecord(h, pData, n);
}

// One record from the recording queue.
void StoreRecord(const COMMON_DATA_HEADER& h, const BYTE* pData, int n)
{
    EnterCriticalSection(&s_csRecFile);
    BOOL bOk = FALSE;
    bool bEnd = false;
    switch (h.cType) {
        case 'I':
            bOk = StoreRecStart(h, pData, n);
            break;
        case 'T':
            bOk = StoreRecEnd(h, pData, n);
            bEnd = true;
            break;
        default:
            bOk = StoreRecVoice(h, pData, n);
            break;
    }
    LeaveCriticalSection(&s_csRecFile);
    if (!bEnd) {
        return;
    }
    EnterCriticalSection(&s_csSerial);
    if (s_bRecording) {
        StopDataRec(h.dwRecCh, bOk ? '0' : '1');
    }
    LeaveCriticalSection(&s_csSerial);
}

// ---- Playback ------------------------------------------------------------------

// Takes the pending request and opens its file; FALSE when there is nothing
// to play. Caller holds s_csRecFile.
BOOL OpenPlayFile()
{
    DWORD dwCh = s_dwPlayCh;
    BOOL bReq = s_bPlayDataReq;
    s_bPlayDataReq = FALSE;
    ResetEvent(s_hEvPlay);
    if (!bReq) {
        return FALSE;
    }
    int nCh = static_cast<int>(dwCh);
    s_fpPlayFile = OpenRecordedSlot(nCh, true, &s_nPlayDataCount);
    if (s_fpPlayFile == nullptr) {
        DebugLog(LOG_CAT_WARNING, "[W] OpenPlayFile(%d) failed\n", nCh);
        return FALSE;
    }
    return TRUE;
}

void NextRecID()
{
    s_wRecID = static_cast<WORD>(s_wRecID + 1);
    if (s_wRecID < PLAY_MSG_ID_FIRST) {  // 0 at the start and after 0xFFFF
        s_wRecID = PLAY_MSG_ID_FIRST;
    }
}

// Waits while the LAN-to-radio queue is full; FALSE on a stop request.
bool WaitQueueRoom()
{
    while (TxQueue_IsFull(&s_SioTxQueue)) {
        if (s_bStopReq.load()) {
            return false;
        }
        Sleep(1);
    }
    return !s_bStopReq.load();
}

// Reads the next record and queues it. 1 queued or dropped, 0 the file was
// closed meanwhile, -1 a read error. Caller holds s_csRecFile.
int QueueNextRecord(COMMON_DATA_HEADER* pHeader, BYTE* pData)
{
    if (s_fpPlayFile == nullptr) {
        return 0;
    }
    int n = 0;
    if (!ReadRecData(s_fpPlayFile, pHeader, pData, &n)) {
        DebugLog(LOG_CAT_WARNING, "[W] ReadRecData() failed\n");
        return -1;
    }
    pHeader->wMsgID = s_wRecID;
    pHeader->byCh = static_cast<BYTE>(s_ePlayCh);
    if (!PostDataToTxQueue(&s_SioTxQueue, pHeader, pData, n)) {
        DebugLog(LOG_CAT_WARNING, "[W] PostDataToTxQueue (PLAY) failed\n");
    }
    return 1;
}

void ClosePlayFile()
{
    EnterCriticalSection(&s_csRecFile);
    if (s_fpPlayFile != nullptr) {
        std::fclose(s_fpPlayFile);
        s_fpPlayFile = nullptr;
    }
    LeaveCriticalSection(&s_csRecFile);
}

// The radio-side acceptance of one 'R' frame's type. Caller holds s_csSerial.
void AcceptRecFrame(const COMMON_DATA_HEADER& h, const char* pParam, int nLen)
{
    const BYTE* pData = reinterpret_cast<const BYTE*>(pParam);
    bool bPost = false;
    switch (h.cType) {
        case 'I':
            if (!IsRecSlot(h.dwRecCh)) {
                DebugLog(LOG_CAT_WARNING, "[W] invalid rec ch %d\n", static_cast<int>(h.dwRecCh));
                return;
            }
            if (!PostDataToTxQueue(&s_RecQueue, &h, pData, nLen)) {
                break;
            }
            s_bRecDataReq = TRUE;
            s_bRecording = TRUE;
            s_dwRecCh = h.dwRecCh;
            s_dwTmRecTimeout = h.dwTime;
            return;
        case '0':
        case '1':
        case '2':
        case '3':
            if (!s_bRecDataReq) {
                return;
            }
            s_dwTmRecTimeout = h.dwTime;
            bPost = true;
            break;
        case 'T':
            if (!s_bRecDataReq) {
                return;
            }
            s_bRecDataReq = FALSE;
            bPost = true;
            break;
        default:
            DebugLog(LOG_CAT_WARNING, "[W] unknown rec data type (%02X)\n", static_cast<BYTE>(h.cType));
            return;
    }
    if (bPost && PostDataToTxQueue(&s_RecQueue, &h, pData, nLen)) {
        return;
    }
    DebugLog(LOG_CAT_WARNING, "[W] PostDataToTxQueue (REC) failed\n");
    if (h.cType == 'T') {
        // The time-out no longer runs once the end frame is taken: without
        // this the radio would wait for an answer forever and the file and
        // the index would stay open.
        StopDataRec(s_dwRecCh, '1');
    }
}

// The checks of a play request: '0' with the queue now owned by playback, or '1'.
char CheckPlayRequest(DWORD dwCh, bool* pbTaken)
{
    *pbTaken = false;
    if (!IsPlaySlot(dwCh)) {
        DebugLog(LOG_CAT_WARNING, "[W] invalid rec ch %d\n", static_cast<int>(dwCh));
        return '1';
    }
    EnterCriticalSection(&s_csRecFile);
    bool bPlaying = s_fpPlayFile != nullptr;
    bool bExist = !bPlaying && IsRecFileExist(static_cast<int>(dwCh));
    LeaveCriticalSection(&s_csRecFile);
    if (bPlaying) {
        DebugLog(LOG_CAT_WARNING, "[W] now playing\n");
        return '1';
    }
    if (!bExist) {
        DebugLog(LOG_CAT_WARNING, "[W] rec %d file is not exist\n", static_cast<int>(dwCh));
        return '1';
    }
    unsigned int id = 0;
    if (GetTxQueueOwner(&id)) {
        DebugLog(LOG_CAT_WARNING, "[W] now tx queue is busy\n");
        return '1';
    }
    if (!SetTxQueueOwner(PLAY_QUEUE_OWNER)) {
        DebugLog(LOG_CAT_WARNING, "[W] cannot take queue %08X\n", PLAY_QUEUE_OWNER);
        return '1';
    }
    *pbTaken = true;
    return '0';
}

// ---- Start-up check ------------------------------------------------------------

// The slot the index names: 1 a slot in *pnCh, 0 none (no index, no
// recording was open, or the index is unreadable), -1 a name that is no number.
int ReadRecInfoSlot(int* pnCh)
{
    char szName[BOARD_PATH_MAX];
    RecInfoName(szName);
    FILE* fp = OpenNamed(szName, "rb", false);
    if (fp == nullptr) {
        return 0;
    }
    BYTE aby[REC_INFO_SIZE];
    size_t nRead = std::fread(aby, 1, sizeof(aby), fp);
    std::fclose(fp);
    if (nRead != sizeof(aby)) {
        DebugLog(LOG_CAT_WARNING, "[W] rec info read error\n");
        return 0;
    }
    if (CalcCheckSum(aby, RI_OFS_SUM) != aby[RI_OFS_SUM]) {
        DebugLog(LOG_CAT_WARNING, "[W] rec info checksum error\n");
        return 0;
    }
    char szCh[RI_NAME_SIZE + 1];
    std::memcpy(szCh, aby, RI_NAME_SIZE);
    szCh[RI_NAME_SIZE] = '\0';
    int nDigits = static_cast<int>(std::strlen(szCh));
    if (nDigits == 0) {
        return 0;
    }
    DWORD dwCh = 0;
    if (nDigits > RI_NAME_DIGITS_MAX || !decstr2dword(szCh, nDigits, &dwCh)) {
        DebugLog(LOG_CAT_WARNING, "[W] invalid rec info. ch=%s\n", szCh);
        return -1;
    }
    *pnCh = static_cast<int>(dwCh);
    return 1;
}

// How many of the nCount records after the header read back whole in a row.
int CountReadableRecords(FILE* fp, int nCount)
{
    COMMON_DATA_HEADER h;
    BYTE abyData[REC_DATA_MAX];
    int n = 0;
    int nRead = 0;
    while (nRead < nCount && ReadRecData(fp, &h, abyData, &n)) {
        ++nRead;
    }
    return nRead;
}

// TRUE when the file's header is valid and every counted record reads back.
bool RecFileReadsBack(FILE* fp, const char* pszName)
{
    int nCount = 0;
    if (!ReadRecHeader(fp, &nCount)) {
        DebugLog(LOG_CAT_WARNING, "[W] invalid rec file header %s\n", pszName);
        return false;
    }
    if (CountReadableRecords(fp, nCount) < nCount) {
        DebugLog(LOG_CAT_WARNING, "[W] invalid rec data %s\n", pszName);
        return false;
    }
    return true;
}

// Renames the slot's file to its first free set-aside name.
void DiscardRecFile(int nCh, const char* pszName)
{
    DebugLog(LOG_CAT_INFO, "[I] discarding file (%d)\n", nCh);
    char szFrom[BOARD_PATH_MAX];
    char szAside[BOARD_PATH_MAX];
    char szTo[BOARD_PATH_MAX];
    bool bMapped = MapName(pszName, szFrom, sizeof(szFrom));
    for (int k = 0; bMapped; ++k) {
        SetAsideName(szAside, nCh, k);
        if (!MapName(szAside, szTo, sizeof(szTo))) {
            bMapped = false;
        } else if (!IsFileExist(szTo)) {
            break;
        }
    }
    if (!bMapped || !RenameFile(szFrom, szTo)) {
        DebugLog(LOG_CAT_WARNING, "[W] rename(%s) failed\n", pszName);
        DebugLog(LOG_CAT_WARNING, "[W] DiscardRecFile(%d) failed\n", nCh);
    }
}

}  // namespace

// ---- Operations ----------------------------------------------------------------

void InitRecVariables()
{
    // Runs while no recording thread runs: Stop closed what was open.
    s_bRecDataReq = FALSE;
    s_bRecording = FALSE;
    s_dwRecCh = 0;
    s_dwTmRecTimeout = 0;
    s_fpRecFile = nullptr;
    s_fpRecInfo = nullptr;
    s_nRecDataCount = 0;
    s_bPlayDataReq = FALSE;
    s_dwPlayCh = 0;
    s_ePlayCh = TRX_CH_A;
    s_fpPlayFile = nullptr;
    s_nPlayDataCount = 0;
    s_wRecID = 0;
}

BOOL OnRxSioRecData(const char* pParam, int nLen)
{
    if (!CheckParamLength(nLen, REC_DATA_MIN)) {
        return FALSE;
    }
    COMMON_DATA_HEADER h = {};
    if (!DecodeVoiceHeader(pParam, &h)) {
        return FALSE;
    }
    if (!GetData(pParam, &SIO_REC_CH, 1, &h)) {
        DebugPrint("[W] GetData() failed\n");
        return FALSE;
    }
    h.dwTime = GetTickCount();
    DebugLog(LOG_CAT_RADIO, "Rx: rec [%03d][%c][%05d][%03d]\n", static_cast<int>(h.dwFICH & 0x7F), h.cType,
             static_cast<int>(h.dwCounter), static_cast<int>(h.dwRecCh));
    AcceptRecFrame(h, pParam, nLen);
    return TRUE;
}

BOOL OnRxSioPlay(const char* pParam, int nLen, TRX_CH eCh)
{
    if (!CheckParamLength(nLen, PLAY_CMD_PARAM_SIZE)) {
        return FALSE;
    }
    SLOT_RES req = {};
    if (!GetData(pParam, SIO_PLAY_CMD_PARAM, 1, &req)) {
        DebugPrint("[W] GetData() failed\n");
        return FALSE;
    }
    char cCh = eCh == TRX_CH_B ? 'B' : 'A';
    DebugLog(LOG_CAT_RADIO, "Rx: play: %c ch=%d\n", cCh, static_cast<int>(req.dwRecCh));
    bool bTaken = false;
    SLOT_RES res = {req.dwRecCh, CheckPlayRequest(req.dwRecCh, &bTaken)};
    DebugLog(LOG_CAT_RADIO, "Tx: play: %c ch=%d res=%c\n", cCh, static_cast<int>(res.dwRecCh), res.cStat);
    char acParam[PLAY_RES_PARAM_SIZE];
    std::memset(acParam, ' ', sizeof(acParam));
    SetData(acParam, SIO_PLAY_RES_PARAM, 2, &res);
    BYTE byCmd = eCh == TRX_CH_B ? 'l' : 'L';
    if (!TxSioCommand(byCmd, reinterpret_cast<const BYTE*>(acParam), PLAY_RES_PARAM_SIZE)) {
        DebugLog(LOG_CAT_WARNING, "[W] TxSioCommand(%c) failed\n", byCmd);
        if (bTaken) {
            ReleaseTxQueueOwner(PLAY_QUEUE_OWNER);
        }
        return FALSE;
    }
    if (res.cStat == '0') {
        EnterCriticalSection(&s_csRecFile);
        s_dwPlayCh = req.dwRecCh;
        s_bPlayDataReq = TRUE;
        s_ePlayCh = eCh;
        SetEvent(s_hEvPlay);
        LeaveCriticalSection(&s_csRecFile);
    }
    return TRUE;
}

void StopDataRec(DWORD dwCh, char cResult)
{
    s_bRecDataReq = FALSE;
    s_bRecording = FALSE;
    TxQueue_Clear(&s_RecQueue);
    EnterCriticalSection(&s_csRecFile);
    CloseRecFile();
    LeaveCriticalSection(&s_csRecFile);
    if (cResult == 0) {
        return;
    }
    DebugLog(LOG_CAT_RADIO, "Tx: rec: ch=%d res=%c\n", static_cast<int>(dwCh), cResult);
    SLOT_RES res = {dwCh, cResult};
    char acParam[REC_RES_PARAM_SIZE];
    std::memset(acParam, ' ', sizeof(acParam));
    acParam[0] = 'R';
    SetData(acParam, SIO_REC_RES_PARAM, 2, &res);
    if (!TxSioCommand('R', reinterpret_cast<const BYTE*>(acParam), REC_RES_PARAM_SIZE)) {
        DebugLog(LOG_CAT_WARNING, "[W] TxSioCommand(%c) failed\n", 'R');
    }
}

void StopRunningRec(char cResult)
{
    if (s_bRecording) {
        StopDataRec(s_dwRecCh, cResult);
    }
}

void StopDataPlay()
{
    EnterCriticalSection(&s_csRecFile);
    s_bPlayDataReq = FALSE;
    if (s_fpPlayFile != nullptr) {
        std::fclose(s_fpPlayFile);
        s_fpPlayFile = nullptr;
    }
    LeaveCriticalSection(&s_csRecFile);
}

void RecOnTimer(DWORD now)
{
    if (s_bRecDataReq && now - s_dwTmRecTimeout >= REC_TIMEOUT_MS) {
        DebugLog(LOG_CAT_WARNING, "[W] rec timeout\n");
        StopDataRec(s_dwRecCh, '1');
    }
}

BOOL RecWriteNext()
{
    COMMON_DATA_HEADER h;
    static_assert(REC_DATA_MAX < 2048, "the record buffer lives on the thread's stack");
    BYTE abyData[REC_DATA_MAX];
    int n = GetDataFromTxQueue(&s_RecQueue, &h, abyData);
    if (n > 0) {
        StoreRecord(h, abyData, n);
    }
    return n > 0 ? TRUE : FALSE;
}

DWORD RecThread(LPVOID)
{
    DebugPrint("start REC thread\n");
    for (;;) {
        if (s_bStopReq.load()) {
            EnterCriticalSection(&s_csRecFile);
            CloseRecFile();
            LeaveCriticalSection(&s_csRecFile);
            DebugPrint("end REC thread\n");
            return 0;
        }
        TxQueue_Wait(&s_RecQueue, INFINITE);
        if (s_bStopReq.load()) {
            continue;
        }
        RecWriteNext();
    }
}

BOOL PlayDataLoop()
{
    NextRecID();
    COMMON_DATA_HEADER h;
    BYTE abyData[REC_DATA_MAX];
    BOOL bResult = TRUE;
    int nPosted = 0;
    for (int i = 0; i < s_nPlayDataCount; ++i) {
        if (!WaitQueueRoom()) {
            break;
        }
        EnterCriticalSection(&s_csRecFile);
        int r = QueueNextRecord(&h, abyData);
        LeaveCriticalSection(&s_csRecFile);
        if (r <= 0) {
            bResult = r == 0 ? TRUE : FALSE;
            break;
        }
        WakeIdleLoop();
        if (++nPosted % PLAY_BURST_RECORDS == 0) {
            Sleep(PLAY_BURST_PAUSE_MS);
        }
    }
    ClosePlayFile();
    return bResult;
}

BOOL PlayOpenRequested()
{
    EnterCriticalSection(&s_csRecFile);
    BOOL bOpened = OpenPlayFile();
    LeaveCriticalSection(&s_csRecFile);
    return bOpened;
}

DWORD PlayThread(LPVOID)
{
    DebugPrint("start PLAY thread\n");
    while (!s_bStopReq.load()) {
        WaitForSingleObject(s_hEvPlay, INFINITE);
        if (s_bStopReq.load()) {
            break;
        }
        if (PlayOpenRequested()) {
            PlayDataLoop();
        }
    }
    DebugPrint("end PLAY thread\n");
    return 0;
}

void CheckRecFile()
{
    int nCh = 0;
    if (ReadRecInfoSlot(&nCh) <= 0) {
        return;
    }
    char szName[BOARD_PATH_MAX];
    RecFileName(szName, nCh);
    FILE* fp = OpenNamed(szName, "rb", false);
    if (fp == nullptr) {
        return;
    }
    bool bWhole = RecFileReadsBack(fp, szName);
    std::fclose(fp);
    if (!bWhole) {
        DiscardRecFile(nCh, szName);
    }
}

void Server_CheckRecFileForTest()
{
    CheckRecFile();
}

int Server_ReadRecFileForTest(int nCh)
{
    char szName[BOARD_PATH_MAX];
    RecFileName(szName, nCh);
    FILE* fp = OpenNamed(szName, "rb", false);
    if (fp == nullptr) {
        return -1;
    }
    int nCount = 0;
    int nRead = ReadRecHeader(fp, &nCount) ? CountReadableRecords(fp, nCount) : -1;
    std::fclose(fp);
    return nRead;
}
