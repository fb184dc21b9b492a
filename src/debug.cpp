// debug: time-stamped diagnostic lines on the standard output, and copies of
// enabled categories handed through the log queue to the log thread, which
// stores them in the ring log file (module log).
//
// Threads: DebugPrint, DebugLog and DebugDump run on every thread. Each
// formats in its own buffers and writes one line under s_csLog. The log
// thread is the only caller of the ring log writer and never holds the queue's
// lock while writing the file. FreeDebugPrint waits until no print call is
// still running before it deletes the queue and the output lock, so the debug
// output can be started and stopped again in one process.
#include "debug.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "helpers.h"
#include "log.h"
#include "txqueue.h"
#include "util.h"

namespace {

constexpr DWORD LOG_QUEUE_RECORD_SIZE = 529;  // time (16 bytes) + up to 513 characters
constexpr DWORD LOG_QUEUE_RECORDS = 64;
constexpr int LOG_TIME_SIZE = 16;
constexpr int QUEUED_TEXT_MAX = static_cast<int>(LOG_QUEUE_RECORD_SIZE) - LOG_TIME_SIZE;
constexpr int PREFIX_LENGTH = 20;  // "YYYY/MM/DD hh:mm:ss "
constexpr int DUMP_BYTES_PER_ROW = 16;
constexpr int DUMP_CAPTION_MAX = 128;
static_assert(TxQueue_StorageSize(LOG_QUEUE_RECORD_SIZE, LOG_QUEUE_RECORDS) == 34112);

CRITICAL_SECTION s_csLog = nullptr;
std::atomic<bool> s_bInit{false};
std::atomic<bool> s_bDebugLog{false};
std::atomic<bool> s_bStopReq{false};
std::atomic<bool> s_bLogEnable{false};
std::atomic<DWORD> s_dwLogFlag{0};
std::atomic<int> s_nCallsInFlight{0};
std::atomic<DEBUG_LOG_WRITER> s_pfnWriter{nullptr};
HANDLE s_hLogThread = nullptr;
TX_QUEUE s_LogQueue;
BYTE s_abyLogQueueData[TxQueue_StorageSize(LOG_QUEUE_RECORD_SIZE, LOG_QUEUE_RECORDS)];

// Marks a print call as running so that FreeDebugPrint does not delete what
// it uses; false when the debug output is not running.
class PrintCall {
public:
    PrintCall() { s_nCallsInFlight.fetch_add(1); }
    ~PrintCall() { s_nCallsInFlight.fetch_sub(1); }
    PrintCall(const PrintCall&) = delete;
    PrintCall& operator=(const PrintCall&) = delete;
    bool active() const { return s_bInit.load(); }
};

void WriteOutput(const char* text, size_t length)
{
    EnterCriticalSection(&s_csLog);
    fwrite(text, 1, length, stdout);
    fflush(stdout);
    LeaveCriticalSection(&s_csLog);
}

int FormatPrefix(char* buf, size_t size, const SYSTEMTIME& t)
{
    return _snprintf(buf, size, "%04d/%02d/%02d %02d:%02d:%02d ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                     t.wSecond);
}

// Prints the prefix and the message as one line of at most 519 characters.
// A cut line still ends with a line feed so the next line starts on its own.
void PrintLine(const SYSTEMTIME& time, const char* message, int messageLength)
{
    char line[DEBUG_LINE_MAX + 1];
    int length = FormatPrefix(line, sizeof(line), time);
    int room = DEBUG_LINE_MAX - length;
    bool cut = messageLength > room;
    int copied = cut ? room : messageLength;
    std::memcpy(line + length, message, static_cast<size_t>(copied));
    length += copied;
    if (cut) {
        line[length - 1] = '\n';
    }
    WriteOutput(line, static_cast<size_t>(length));
}

// The queued time: its eight fields in declared order, two bytes each.
void PutTime(BYTE* p, const SYSTEMTIME& t)
{
    const WORD fields[8] = {t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
    for (int i = 0; i < 8; ++i) {
        PutBE16(p + 2 * i, fields[i]);
    }
}

SYSTEMTIME GetTime(const BYTE* p)
{
    SYSTEMTIME t;
    t.wYear = GetBE16(p);
    t.wMonth = GetBE16(p + 2);
    t.wDayOfWeek = GetBE16(p + 4);
    t.wDay = GetBE16(p + 6);
    t.wHour = GetBE16(p + 8);
    t.wMinute = GetBE16(p + 10);
    t.wSecond = GetBE16(p + 12);
    t.wMilliseconds = GetBE16(p + 14);
    return t;
}

// Reads the time once for the line and formats the caller's message.
__attribute__((format(printf, 4, 0))) int FormatNow(SYSTEMTIME* time, char* message, size_t size,
                                                    const char* format, va_list args)
{
    GetLocalTime(time);
    return _vsnprintf(message, size, format, args);
}

bool ShouldQueue(DWORD dwMask, int messageLength)
{
    return s_bDebugLog.load() && s_bLogEnable.load() && (dwMask & s_dwLogFlag.load()) != 0 && messageLength > 0;
}

// Waits (1 ms steps) for a free record rather than lose the line; gives up
// once logging is disabled or the debug output is stopping.
void QueueLogRecord(const SYSTEMTIME& time, const char* message, int messageLength)
{
    BYTE* slot;
    while ((slot = TxQueue_GetWritePtr(&s_LogQueue)) == nullptr) {
        if (s_bStopReq.load() || !s_bLogEnable.load()) {
            return;
        }
        Sleep(1);
    }
    int textLength = messageLength > QUEUED_TEXT_MAX ? QUEUED_TEXT_MAX : messageLength;
    PutTime(slot, time);
    std::memcpy(slot + LOG_TIME_SIZE, message, static_cast<size_t>(textLength));
    TxQueue_WriteComplete(&s_LogQueue, slot, static_cast<DWORD>(LOG_TIME_SIZE + textLength));
}

DWORD LogThread(LPVOID)
{
    DebugPrint("start LOG thread\n");
    while (!s_bStopReq.load()) {
        TxQueue_Wait(&s_LogQueue, INFINITE);
        if (s_bStopReq.load()) {
            break;
        }
        WriteLog();
    }
    // Records queued before the stop still reach the file.
    while (WriteLog()) {
    }
    DebugPrint("end LOG thread\n");
    return 0;
}

void DumpRow(const SYSTEMTIME& time, const char* caption, const BYTE* row, int count, int offset)
{
    char line[PREFIX_LENGTH + DUMP_CAPTION_MAX + 8 + DUMP_BYTES_PER_ROW * 4 + 8];
    int length = FormatPrefix(line, sizeof(line), time);
    length += _snprintf(line + length, sizeof(line) - static_cast<size_t>(length), "%.*s [%04X]", DUMP_CAPTION_MAX,
                        caption, static_cast<unsigned>(offset & 0xFFFF));
    for (int i = 0; i < count; ++i) {
        line[length++] = ' ';
        bin2ascii2(row[i], line + length);
        length += 2;
    }
    line[length++] = ' ';
    line[length++] = '|';
    for (int i = 0; i < count; ++i) {
        line[length++] = (row[i] >= 0x20 && row[i] < 0x7F) ? static_cast<char>(row[i]) : '.';
    }
    line[length++] = '|';
    line[length++] = '\n';
    WriteOutput(line, static_cast<size_t>(length));
}

}  // namespace

BOOL InitDebugPrint()
{
    if (s_bInit.load()) {
        return TRUE;
    }
    s_bStopReq.store(false);
    s_bDebugLog.store(false);
    InitializeCriticalSection(&s_csLog);
    LOG_Init();
    TxQueue_Init(&s_LogQueue);
    if (!TxQueue_Create(&s_LogQueue, s_abyLogQueueData, LOG_QUEUE_RECORD_SIZE, LOG_QUEUE_RECORDS)) {
        TxQueue_Delete(&s_LogQueue);
        LOG_Exit();
        DeleteCriticalSection(&s_csLog);
        return FALSE;
    }
    // Output runs before the log thread starts, so its first line is printed.
    s_bInit.store(true);
    s_hLogThread = CreateThread(nullptr, 0, LogThread, nullptr, 0, nullptr);
    if (s_hLogThread == nullptr) {
        s_bInit.store(false);
        TxQueue_Delete(&s_LogQueue);
        LOG_Exit();
        DeleteCriticalSection(&s_csLog);
        return FALSE;
    }
    SetThreadPriority(s_hLogThread, 1);
    return TRUE;
}

void FreeDebugPrint()
{
    if (!s_bInit.load() || s_hLogThread == nullptr) {
        return;
    }
    s_bStopReq.store(true);
    TxQueue_Set(&s_LogQueue);
    WaitForSingleObject(s_hLogThread, INFINITE);
    CloseHandle(s_hLogThread);
    s_hLogThread = nullptr;
    s_bDebugLog.store(false);
    LOG_Exit();
    s_bInit.store(false);
    while (s_nCallsInFlight.load() != 0) {
        Sleep(1);
    }
    TxQueue_Delete(&s_LogQueue);
    DeleteCriticalSection(&s_csLog);
}

BOOL OpenLogFile(const char* pszPath, DWORD dwSize)
{
    if (!s_bInit.load() || !LOG_Open(pszPath, dwSize)) {
        return FALSE;
    }
    s_bDebugLog.store(true);
    return TRUE;
}

void CloseLogFile()
{
    if (s_bDebugLog.exchange(false)) {
        LOG_Close();
    }
}

void SetLogFlag(BOOL bEnable, DWORD dwFlag)
{
    s_dwLogFlag.store(dwFlag);
    s_bLogEnable.store(bEnable != 0);
}

void DebugPrint(const char* format, ...)
{
    PrintCall call;
    if (!call.active()) {
        return;
    }
    SYSTEMTIME time;
    char message[DEBUG_LINE_MAX + 1];
    va_list args;
    va_start(args, format);
    int length = FormatNow(&time, message, sizeof(message), format, args);
    va_end(args);
    PrintLine(time, message, length);
}

void DebugLog(DWORD dwMask, const char* format, ...)
{
    PrintCall call;
    if (!call.active() || s_bStopReq.load()) {
        return;
    }
    SYSTEMTIME time;
    // The file copy keeps more of a long message than the console line does.
    char message[QUEUED_TEXT_MAX + 1];
    va_list args;
    va_start(args, format);
    int length = FormatNow(&time, message, sizeof(message), format, args);
    va_end(args);
    PrintLine(time, message, length);
    if (ShouldQueue(dwMask, length)) {
        QueueLogRecord(time, message, length);
    }
}

void DebugDump(const char* caption, const void* data, int len)
{
    PrintCall call;
    if (!call.active() || len <= 0 || data == nullptr) {
        return;
    }
    SYSTEMTIME time;
    GetLocalTime(&time);
    const BYTE* bytes = static_cast<const BYTE*>(data);
    for (int offset = 0; offset < len; offset += DUMP_BYTES_PER_ROW) {
        int count = len - offset < DUMP_BYTES_PER_ROW ? len - offset : DUMP_BYTES_PER_ROW;
        DumpRow(time, caption != nullptr ? caption : "", bytes + offset, count, offset);
    }
}

BOOL WriteLog()
{
    DWORD length = 0;
    BYTE* slot = TxQueue_GetReadPtr(&s_LogQueue, &length);
    if (slot == nullptr) {
        return FALSE;
    }
    if (length < static_cast<DWORD>(LOG_TIME_SIZE)) {
        TxQueue_ReadComplete(&s_LogQueue, slot);
        return FALSE;
    }
    SYSTEMTIME time = GetTime(slot);
    char text[DEBUG_LOG_TEXT_MAX + 1];
    int textLength = static_cast<int>(length) - LOG_TIME_SIZE;
    if (textLength > DEBUG_LOG_TEXT_MAX) {
        textLength = DEBUG_LOG_TEXT_MAX;
    }
    std::memcpy(text, slot + LOG_TIME_SIZE, static_cast<size_t>(textLength));
    text[textLength] = '\0';
    // Released before the file work: producers never wait on the disk.
    TxQueue_ReadComplete(&s_LogQueue, slot);

    DEBUG_LOG_WRITER writer = s_pfnWriter.load();
    BOOL written = writer != nullptr ? writer(&time, text, textLength) : LOG_Write(&time, text, textLength);
    if (!written) {
        // Stop queuing until the file is opened again.
        s_bDebugLog.store(false);
        return FALSE;
    }
    return TRUE;
}

void Debug_SetLogWriterForTest(DEBUG_LOG_WRITER writer)
{
    s_pfnWriter.store(writer);
}
