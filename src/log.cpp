// log: the ring log file. The daemon's diagnostic lines are kept in a file of
// fixed-size 64-byte records used as a ring, with a full copy of the ring in
// memory so that readers never touch the file. The write position is not
// stored anywhere: every record carries a 4-bit generation that changes each
// time the writer wraps to slot 0, and the position is found again at open as
// the first slot whose generation differs from the one before it.
//
// Power loss: before a record goes to its slot it is written, with the slot's
// offset, to a 70-byte journal next to the log file (extension ".lbk") and
// flushed to the device. At the next open a valid journal is written back into
// its slot if the slot does not hold it, so at most the one record being
// written when power went can be lost, and never half of one.
//
// Threads: the debug output's log thread is the only writer; command handlers
// read. Every operation takes s_csLog, the module's only lock; it is held
// during file output (the writer's thread exists for that), never while
// calling into another module that locks.

#include "log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "sub.h"
#include "util.h"

namespace {

// ---- File formats -----------------------------------------------------------

// A record (one slot of the log file). Bytes 0-7 are its LOG_TIME, bytes 0-11
// its LOG_REC_HEADER; multi-byte numbers are most significant byte first.
constexpr DWORD REC_OFS_YEAR = 0;  // 2 bytes
constexpr DWORD REC_OFS_MONTH = 2;
constexpr DWORD REC_OFS_DAY = 3;
constexpr DWORD REC_OFS_HOUR = 4;
constexpr DWORD REC_OFS_MINUTE = 5;
constexpr DWORD REC_OFS_SECOND = 6;
constexpr DWORD REC_OFS_TIME_RESERVED = 7;
constexpr DWORD LOG_TIME_SIZE = 8;
constexpr DWORD REC_OFS_LENGTH = 8;  // 2 bytes: data bytes in use, 1..52
constexpr DWORD REC_OFS_FLAG = 10;
constexpr DWORD REC_OFS_SUM = 11;  // 8-bit sum of the data bytes in use
constexpr DWORD LOG_REC_HEADER_SIZE = 12;
constexpr DWORD REC_OFS_DATA = 12;  // zero-filled after the last byte in use
static_assert(LOG_TIME_SIZE == REC_OFS_LENGTH);
static_assert(REC_OFS_DATA == LOG_REC_HEADER_SIZE);
static_assert(REC_OFS_DATA + LOG_RECORD_DATA_MAX == LOG_RECORD_SIZE);

// Bits of a record's flag byte.
constexpr BYTE FLAG_GENERATION = 0x0F;
constexpr BYTE FLAG_UNUSED = 0x30;   // always 0 in what this module writes
constexpr BYTE FLAG_FIRST = 0x40;    // first record of a text
constexpr BYTE FLAG_WRITTEN = 0x80;  // on every record this module writes
constexpr int GENERATIONS = 16;

// The journal: the offset of the slot being written, the record meant for it,
// a reserved zero and the 8-bit sum of the 69 bytes before the sum.
constexpr DWORD BAK_OFS_OFFSET = 0;  // 4 bytes
constexpr DWORD BAK_OFS_DATA = 4;
constexpr DWORD BAK_OFS_RESERVED = 68;
constexpr DWORD BAK_OFS_SUM = 69;
static_assert(BAK_OFS_DATA + LOG_RECORD_SIZE == BAK_OFS_RESERVED);
static_assert(BAK_OFS_SUM + 1 == LOG_JOURNAL_SIZE);

const char* const JOURNAL_EXT = ".lbk";

// The journal record exactly as its file holds it; fields at the BAK_OFS_
// offsets.
struct _BAK_INFO {
    BYTE aby[LOG_JOURNAL_SIZE];
};
typedef _BAK_INFO BAK_INFO;

// ---- Module state -------------------------------------------------------------

CRITICAL_SECTION s_csLog;
std::atomic<bool> s_bInit{false};  // s_csLog exists

DWORD s_dwLogSize;  // ring capacity in bytes, a multiple of 64
BYTE* s_pbyMem;     // image of the ring; null while closed
FILE* s_fpLog;
FILE* s_fpBak;
DWORD s_dwFileSize;   // bytes of the ring present in the file
DWORD s_dwLogPtr;     // offset of the next slot to write
int s_nLogCount;      // current generation, 0..15
BAK_INFO s_BakInfo;   // journal last written or read
BOOL s_bBakExist;     // the journal read at open was valid
DWORD s_dwBakOffset;  // the slot that journal names

// ---- Records ------------------------------------------------------------------

// A record can be served when its length is in range and its data sum.
bool IsValidRecord(const BYTE* pRec)
{
    DWORD dwLength = GetBE16(pRec + REC_OFS_LENGTH);
    if (dwLength < 1 || dwLength > static_cast<DWORD>(LOG_RECORD_DATA_MAX)) {
        return false;
    }
    return CalcCheckSum(pRec + REC_OFS_DATA, static_cast<int>(dwLength)) == pRec[REC_OFS_SUM];
}

// A journal is trusted only when everything in it is what this module writes:
// its own sum, an aligned slot inside the ring, and a valid record carrying
// the written mark with the unused flag bits clear. Anything less is taken
// for a torn or foreign journal and ignored.
bool IsValidJournal(const BAK_INFO& bak, DWORD dwLogSize)
{
    if (CalcCheckSum(bak.aby, static_cast<int>(BAK_OFS_SUM)) != bak.aby[BAK_OFS_SUM]) {
        return false;
    }
    DWORD dwOffset = GetBE32(bak.aby + BAK_OFS_OFFSET);
    if (dwOffset % LOG_RECORD_SIZE != 0 || dwOffset > dwLogSize - LOG_RECORD_SIZE) {
        return false;
    }
    const BYTE* pRec = bak.aby + BAK_OFS_DATA;
    BYTE byFlag = pRec[REC_OFS_FLAG];
    return IsValidRecord(pRec) && (byFlag & FLAG_WRITTEN) != 0 && (byFlag & FLAG_UNUSED) == 0;
}

void PutTime(BYTE* pRec, const SYSTEMTIME* pTime)
{
    PutBE16(pRec + REC_OFS_YEAR, pTime->wYear);
    pRec[REC_OFS_MONTH] = static_cast<BYTE>(pTime->wMonth);
    pRec[REC_OFS_DAY] = static_cast<BYTE>(pTime->wDay);
    pRec[REC_OFS_HOUR] = static_cast<BYTE>(pTime->wHour);
    pRec[REC_OFS_MINUTE] = static_cast<BYTE>(pTime->wMinute);
    pRec[REC_OFS_SECOND] = static_cast<BYTE>(pTime->wSecond);
    pRec[REC_OFS_TIME_RESERVED] = 0;
}

void GetTime(const BYTE* pRec, SYSTEMTIME* pTime)
{
    pTime->wYear = static_cast<WORD>(GetBE16(pRec + REC_OFS_YEAR));
    pTime->wMonth = pRec[REC_OFS_MONTH];
    pTime->wDayOfWeek = 0;
    pTime->wDay = pRec[REC_OFS_DAY];
    pTime->wHour = pRec[REC_OFS_HOUR];
    pTime->wMinute = pRec[REC_OFS_MINUTE];
    pTime->wSecond = pRec[REC_OFS_SECOND];
    pTime->wMilliseconds = 0;
}

// ---- Files --------------------------------------------------------------------

bool SeekTo(FILE* fp, DWORD dwOffset)
{
    return fseeko(fp, static_cast<off_t>(dwOffset), SEEK_SET) == 0;
}

// Writes len bytes at dwOffset and forces them to the device.
bool WriteAt(FILE* fp, DWORD dwOffset, const BYTE* pData, size_t len)
{
    return SeekTo(fp, dwOffset) && fwrite(pData, 1, len, fp) == len && FlushFile(fp);
}

// Writes s_BakInfo over the journal and forces it to the device: the record
// part first, the slot's offset last. A write torn by a power cut leaves the
// new bytes in front of the old ones; written in one piece, a journal torn
// just after the flag byte of a text's second record would carry the next
// slot's offset (+64 in the sum) and no first-record mark (-64), so it would
// pass its check while naming the next slot with the previous record. Written
// this way, the offset and the flag of a torn journal never change together.
bool WriteJournal()
{
    return SeekTo(s_fpBak, BAK_OFS_DATA) &&
           fwrite(s_BakInfo.aby + BAK_OFS_DATA, 1, LOG_JOURNAL_SIZE - BAK_OFS_DATA, s_fpBak) ==
               LOG_JOURNAL_SIZE - BAK_OFS_DATA &&
           WriteAt(s_fpBak, BAK_OFS_OFFSET, s_BakInfo.aby + BAK_OFS_OFFSET, BAK_OFS_DATA);
}

// Replaces the file by an empty one, closing the old stream first.
FILE* RenewFile(FILE* fp, const char* pszPath)
{
    if (fp != nullptr) {
        fclose(fp);
    }
    return OpenFile(pszPath, "w+b");
}

// Opens a file for update, creating it empty when it does not exist. The size
// is capped at 0xFFFFFFFF, which no ring reaches (capacities are multiples of
// 64), so a huge file still counts as too large.
FILE* Open(const char* pszPath, DWORD* pdwFileSize)
{
    FILE* fp = OpenFile(pszPath, "r+b");
    if (fp == nullptr) {
        // Only a missing file is created: any other failure (a full descriptor
        // table, no permission) must not cost the file its contents.
        if (errno != ENOENT) {
            return nullptr;
        }
        *pdwFileSize = 0;
        return RenewFile(nullptr, pszPath);
    }
    off_t size = -1;
    if (fseeko(fp, 0, SEEK_END) == 0) {
        size = ftello(fp);
    }
    if (size < 0) {
        fclose(fp);
        return nullptr;
    }
    *pdwFileSize = static_cast<uint64_t>(size) > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(size);
    return fp;
}

// Pads a file whose last slot is incomplete with zeros up to the slot's end,
// so that every slot of the file can be read and rewritten whole.
bool AddEmptyData(FILE* fp, DWORD* pdwFileSize)
{
    DWORD dwMissing = (LOG_RECORD_SIZE - *pdwFileSize % LOG_RECORD_SIZE) % LOG_RECORD_SIZE;
    if (dwMissing == 0) {
        return true;
    }
    static const BYTE s_abyZero[LOG_RECORD_SIZE] = {};
    if (!WriteAt(fp, *pdwFileSize, s_abyZero, dwMissing)) {
        return false;
    }
    *pdwFileSize += dwMissing;
    return true;
}

void CloseFiles()
{
    if (s_fpLog != nullptr) {
        fclose(s_fpLog);
        s_fpLog = nullptr;
    }
    if (s_fpBak != nullptr) {
        fclose(s_fpBak);
        s_fpBak = nullptr;
    }
    delete[] s_pbyMem;
    s_pbyMem = nullptr;
}

// Opens the journal and keeps it in s_BakInfo when it can be trusted. A
// journal of any other size than 70 bytes, or one that cannot be read, is
// replaced by an empty one: it holds nothing to repair.
bool OpenJournal(const char* pszLogPath, DWORD dwLogSize)
{
    size_t len = strlen(pszLogPath);
    char* pszBakPath = new (std::nothrow) char[len + strlen(JOURNAL_EXT) + 1];
    if (pszBakPath == nullptr) {
        return false;
    }
    ChangeFileExt(pszBakPath, static_cast<int>(len + strlen(JOURNAL_EXT) + 1), pszLogPath, JOURNAL_EXT);

    DWORD dwBakSize = 0;
    s_fpBak = Open(pszBakPath, &dwBakSize);
    if (s_fpBak != nullptr && dwBakSize != 0) {
        bool bRead = dwBakSize == LOG_JOURNAL_SIZE && SeekTo(s_fpBak, 0) &&
                     fread(s_BakInfo.aby, 1, LOG_JOURNAL_SIZE, s_fpBak) == LOG_JOURNAL_SIZE;
        if (bRead && IsValidJournal(s_BakInfo, dwLogSize)) {
            s_bBakExist = TRUE;
            s_dwBakOffset = GetBE32(s_BakInfo.aby + BAK_OFS_OFFSET);
        } else if (!bRead) {
            s_fpBak = RenewFile(s_fpBak, pszBakPath);
        }
    }
    delete[] pszBakPath;
    return s_fpBak != nullptr;
}

// Writes the journal's record back into its slot, in the image and the file.
// On failure the slot is cleared in the image: what the file holds there is
// known to be wrong, and the image must never serve it.
bool RecoverData(DWORD dwOffset)
{
    const BYTE* pRec = s_BakInfo.aby + BAK_OFS_DATA;
    if (!WriteAt(s_fpLog, dwOffset, pRec, LOG_RECORD_SIZE)) {
        memset(s_pbyMem + dwOffset, 0, LOG_RECORD_SIZE);
        return false;
    }
    memcpy(s_pbyMem + dwOffset, pRec, LOG_RECORD_SIZE);
    return true;
}

// Walks the slots present in the file to find the write position and the
// current generation (s_dwLogPtr, s_nLogCount), repairing the journal's slot
// on the way. May recreate the log file empty.
bool FindWritePosition(const char* pszPath)
{
    bool bFound = false;
    int nGeneration = 0;
    for (DWORD dwOffset = 0; dwOffset < s_dwFileSize; dwOffset += LOG_RECORD_SIZE) {
        BYTE* pRec = s_pbyMem + dwOffset;
        // The journal is always written and flushed before its slot, so a
        // valid journal is the intended content of the slot it names. The
        // slot is rewritten whenever it differs, not only when it fails its
        // check: a write torn inside the header leaves the old record under
        // a partly new time stamp, which still sums correctly and would
        // otherwise be served as a record nobody wrote. A slot that already
        // equals the journal is left alone, so a clean open writes nothing.
        // Only slots of the file are repaired: a journal naming the slot past
        // its end is for a write that never reached the file, and dropping it
        // loses what a power loss just before the journal write would lose.
        if (s_bBakExist && dwOffset == s_dwBakOffset &&
            memcmp(pRec, s_BakInfo.aby + BAK_OFS_DATA, LOG_RECORD_SIZE) != 0) {
            RecoverData(dwOffset);
        }
        if (!IsValidRecord(pRec)) {
            continue;
        }
        int nRecGeneration = pRec[REC_OFS_FLAG] & FLAG_GENERATION;
        if (!bFound) {
            bFound = true;
            nGeneration = nRecGeneration;
        } else if (nRecGeneration != nGeneration) {
            // Older records of the previous round start here.
            s_dwLogPtr = dwOffset;
            s_nLogCount = nGeneration;
            return true;
        }
    }
    if (!bFound) {
        s_dwLogPtr = 0;
        s_nLogCount = 0;
        if (s_dwFileSize == 0) {
            return true;
        }
        // Nothing usable: start over with an empty file.
        memset(s_pbyMem, 0, s_dwLogSize);
        s_dwFileSize = 0;
        s_fpLog = RenewFile(s_fpLog, pszPath);
        return s_fpLog != nullptr;
    }
    if (s_dwFileSize >= s_dwLogSize) {
        // The ring ended exactly at its last slot.
        s_dwLogPtr = 0;
        s_nLogCount = (nGeneration + 1) % GENERATIONS;
    } else {
        s_dwLogPtr = s_dwFileSize;
        s_nLogCount = nGeneration;
    }
    return true;
}

bool OpenStore(const char* pszPath, DWORD dwLogSize)
{
    s_dwLogSize = dwLogSize;
    s_pbyMem = new (std::nothrow) BYTE[dwLogSize];
    if (s_pbyMem == nullptr) {
        return false;
    }
    s_fpLog = Open(pszPath, &s_dwFileSize);
    if (s_fpLog == nullptr) {
        return false;
    }
    if (s_dwFileSize > dwLogSize) {
        // Written for another capacity: its ring cannot be followed.
        s_dwFileSize = 0;
        s_fpLog = RenewFile(s_fpLog, pszPath);
        if (s_fpLog == nullptr) {
            return false;
        }
    }
    // Padding cannot pass the capacity: both are multiples of 64 from here.
    if (!AddEmptyData(s_fpLog, &s_dwFileSize)) {
        return false;
    }
    if (s_dwFileSize > 0 && (!SeekTo(s_fpLog, 0) || fread(s_pbyMem, 1, s_dwFileSize, s_fpLog) != s_dwFileSize)) {
        s_dwFileSize = 0;
        s_fpLog = RenewFile(s_fpLog, pszPath);
        if (s_fpLog == nullptr) {
            return false;
        }
    }
    memset(s_pbyMem + s_dwFileSize, 0, dwLogSize - s_dwFileSize);

    if (!OpenJournal(pszPath, dwLogSize)) {
        return false;
    }
    return FindWritePosition(pszPath);
}

}  // namespace

void LOG_Init()
{
    if (s_bInit) {
        return;
    }
    InitializeCriticalSection(&s_csLog);
    s_dwLogSize = 0;
    s_pbyMem = nullptr;
    s_fpLog = nullptr;
    s_fpBak = nullptr;
    s_dwFileSize = 0;
    s_dwLogPtr = 0;
    s_nLogCount = 0;
    memset(s_BakInfo.aby, 0, sizeof s_BakInfo.aby);
    s_bBakExist = FALSE;
    s_dwBakOffset = 0;
    s_bInit = true;
}

void LOG_Exit()
{
    if (!s_bInit) {
        return;
    }
    LOG_Close();
    s_bInit = false;
    DeleteCriticalSection(&s_csLog);
}

BOOL LOG_Open(const char* pszPath, DWORD dwLogSize)
{
    if (!s_bInit) {
        return FALSE;
    }
    EnterCriticalSection(&s_csLog);
    // A second open replaces the store; nothing of the first one may leak.
    CloseFiles();
    s_dwFileSize = 0;
    s_dwLogPtr = 0;
    s_nLogCount = 0;
    s_bBakExist = FALSE;
    s_dwBakOffset = 0;
    bool bOk = pszPath != nullptr && dwLogSize > 0 && dwLogSize % LOG_RECORD_SIZE == 0 && OpenStore(pszPath, dwLogSize);
    if (!bOk) {
        CloseFiles();
        s_dwLogSize = 0;
        s_dwFileSize = 0;
    }
    LeaveCriticalSection(&s_csLog);
    return bOk ? TRUE : FALSE;
}

void LOG_Close()
{
    if (!s_bInit) {
        return;
    }
    EnterCriticalSection(&s_csLog);
    CloseFiles();
    LeaveCriticalSection(&s_csLog);
}

BOOL LOG_Write(const SYSTEMTIME* pTime, const char* pData, int nLength)
{
    if (!s_bInit) {
        return FALSE;
    }
    EnterCriticalSection(&s_csLog);
    if (s_pbyMem == nullptr) {
        LeaveCriticalSection(&s_csLog);
        return FALSE;
    }
    if (nLength <= 0 || pTime == nullptr || pData == nullptr) {
        // Nothing to store; only a negative length or a missing text is a
        // caller's error, and neither harms the store.
        LeaveCriticalSection(&s_csLog);
        return nLength == 0 ? TRUE : FALSE;
    }

    BYTE abyRec[LOG_RECORD_SIZE];
    PutTime(abyRec, pTime);
    BYTE byFlag = static_cast<BYTE>(s_nLogCount | FLAG_FIRST);
    const BYTE* pSrc = reinterpret_cast<const BYTE*>(pData);
    int nLeft = nLength;
    bool bOk = true;
    while (nLeft > 0) {
        int nPiece = nLeft < LOG_RECORD_DATA_MAX ? nLeft : LOG_RECORD_DATA_MAX;
        PutBE16(abyRec + REC_OFS_LENGTH, static_cast<DWORD>(nPiece));
        abyRec[REC_OFS_FLAG] = static_cast<BYTE>(byFlag | FLAG_WRITTEN);
        abyRec[REC_OFS_SUM] = CalcCheckSum(pSrc, nPiece);
        memcpy(abyRec + REC_OFS_DATA, pSrc, static_cast<size_t>(nPiece));
        memset(abyRec + REC_OFS_DATA + nPiece, 0, static_cast<size_t>(LOG_RECORD_DATA_MAX - nPiece));

        // The journal reaches the device before the slot is touched.
        PutBE32(s_BakInfo.aby + BAK_OFS_OFFSET, s_dwLogPtr);
        memcpy(s_BakInfo.aby + BAK_OFS_DATA, abyRec, LOG_RECORD_SIZE);
        s_BakInfo.aby[BAK_OFS_RESERVED] = 0;
        s_BakInfo.aby[BAK_OFS_SUM] = CalcCheckSum(s_BakInfo.aby, static_cast<int>(BAK_OFS_SUM));
        if (!WriteJournal()) {
            bOk = false;
            break;
        }
        memcpy(s_pbyMem + s_dwLogPtr, abyRec, LOG_RECORD_SIZE);
        if (!WriteAt(s_fpLog, s_dwLogPtr, abyRec, LOG_RECORD_SIZE)) {
            bOk = false;
            break;
        }

        // The file grows only while its end is written; a position found
        // inside a shorter file (never left by this module) must not make
        // the size run ahead of the file.
        if (s_dwFileSize < s_dwLogPtr + LOG_RECORD_SIZE) {
            s_dwFileSize = s_dwLogPtr + LOG_RECORD_SIZE;
        }
        s_dwLogPtr += LOG_RECORD_SIZE;
        if (s_dwLogPtr >= s_dwLogSize) {
            s_dwLogPtr = 0;
            s_nLogCount = (s_nLogCount + 1) % GENERATIONS;
            byFlag = static_cast<BYTE>((byFlag & ~FLAG_GENERATION) | s_nLogCount);
        }
        byFlag = static_cast<BYTE>(byFlag & ~FLAG_FIRST);
        pSrc += nPiece;
        nLeft -= nPiece;
    }
    if (!bOk) {
        // The file no longer follows the image: stop until opened again.
        CloseFiles();
    }
    LeaveCriticalSection(&s_csLog);
    return bOk ? TRUE : FALSE;
}

int LOG_Get(SYSTEMTIME* pTime, char* pszData, int nMaxLength, BOOL bFirst, DWORD* pdwPtr, DWORD* pdwFlag)
{
    if (!s_bInit || pszData == nullptr || nMaxLength < 1 || pdwPtr == nullptr) {
        return 0;
    }
    EnterCriticalSection(&s_csLog);
    int nDigits = 0;
    DWORD dwOffset = bFirst ? s_dwLogPtr : *pdwPtr;
    // A position handed back by the caller is checked like any outside value.
    bool bWalk = s_pbyMem != nullptr && s_dwFileSize > 0 && dwOffset < s_dwLogSize && dwOffset % LOG_RECORD_SIZE == 0;
    // One round of the ring at most, whatever the slots hold.
    for (DWORD n = 0; bWalk && n < s_dwLogSize / LOG_RECORD_SIZE; n++) {
        dwOffset = (dwOffset == 0 ? s_dwLogSize : dwOffset) - LOG_RECORD_SIZE;
        if (dwOffset >= s_dwFileSize || dwOffset == s_dwLogPtr) {
            break;
        }
        const BYTE* pRec = s_pbyMem + dwOffset;
        if (!IsValidRecord(pRec)) {
            continue;
        }
        int nBytes = static_cast<int>(GetBE16(pRec + REC_OFS_LENGTH));
        if (nBytes > (nMaxLength - 1) / 2) {
            nBytes = (nMaxLength - 1) / 2;
        }
        bytes2str(pszData, pRec + REC_OFS_DATA, nBytes);
        if (pTime != nullptr) {
            GetTime(pRec, pTime);
        }
        if (pdwFlag != nullptr) {
            BYTE byFlag = pRec[REC_OFS_FLAG];
            *pdwFlag = ((byFlag & FLAG_WRITTEN) != 0 ? LOG_KIND_WRITTEN : 0) +
                       ((byFlag & FLAG_FIRST) != 0 ? LOG_KIND_FIRST : 0);
        }
        *pdwPtr = dwOffset;
        nDigits = 2 * nBytes;
        break;
    }
    LeaveCriticalSection(&s_csLog);
    return nDigits;
}

void LOG_GetSize(DWORD* pdwLogSize, DWORD* pdwFileSize, DWORD* pdwRecSize)
{
    DWORD dwLogSize = 0;
    DWORD dwFileSize = 0;
    if (s_bInit) {
        EnterCriticalSection(&s_csLog);
        dwLogSize = s_dwLogSize;
        dwFileSize = s_dwFileSize;
        LeaveCriticalSection(&s_csLog);
    }
    if (pdwLogSize != nullptr) {
        *pdwLogSize = dwLogSize;
    }
    if (pdwFileSize != nullptr) {
        *pdwFileSize = dwFileSize;
    }
    if (pdwRecSize != nullptr) {
        *pdwRecSize = LOG_RECORD_SIZE;
    }
}
