// winemu: threads, locks, events, ticks and calendar time in Windows calling
// shapes on POSIX (see winemu.h for the semantics callers rely on).
//
// Every object is a heap record whose address is its handle. A thread record
// remembers whether its thread still has to be joined; an event record keeps
// its flag under its own mutex and wakes INFINITE waiters through its
// condition variable, while bounded waits poll the flag every 20 ms.
#include "winemu.h"

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>

#include "board.h"
#include "debug.h"
#include "helpers.h"

enum HandleKind : int { HANDLE_KIND_THREAD = 0, HANDLE_KIND_LOCK = 1, HANDLE_KIND_EVENT = 2 };

struct tagHANDLE_PARAM {
    int nType;
    pthread_t tid;
    bool bJoinable;  // the thread was started and not yet joined
    pthread_mutex_t hMutex;
    pthread_cond_t cond;
    unsigned int flag;
    int manual;
};

namespace {

constexpr DWORD BOUNDED_WAIT_POLL_MS = 20;

// Checked once at start so that a broken thread library is reported early.
pthread_attr_t s_ThreadAttr;
bool s_bThreadAttrReady = false;
std::atomic<DWORD> s_dwTestTickOffset{0};

// The time-outs of the bounded waits now in progress (0: a free slot), so a
// test can see that a thread's wait has begun before it moves the clock. A
// wait that finds no free slot simply goes unseen.
constexpr int WAIT_SLOTS = 64;
std::atomic<DWORD> s_adwActiveWaitMs[WAIT_SLOTS];

void SignalHandler(int sig)
{
    // Only here to interrupt a Sleep or a select of the thread it is sent to.
    signal(sig, SignalHandler);
}

HANDLE NewHandle(int nType)
{
    HANDLE h = new (std::nothrow) tagHANDLE_PARAM();
    if (h == nullptr) {
        DebugPrint("WARNING: malloc() failed\n");
        return nullptr;
    }
    h->nType = nType;
    return h;
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
};

void* ThreadEntry(void* arg)
{
    ThreadStart* ts = static_cast<ThreadStart*>(arg);
    ThreadStart copy = *ts;
    delete ts;
    DWORD result = copy.start(copy.parameter);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(result));
}

BOOL LockEventMutex(HANDLE h)
{
    int ret = pthread_mutex_lock(&h->hMutex);
    if (ret != 0) {
        DebugPrint("WARNING: pthread_mutex_lock() failed (ret=%d)\n", ret);
        return FALSE;
    }
    return TRUE;
}

BOOL UnlockEventMutex(HANDLE h)
{
    int ret = pthread_mutex_unlock(&h->hMutex);
    if (ret != 0) {
        DebugPrint("WARNING: pthread_mutex_unlock() failed (ret=%d)\n", ret);
        return FALSE;
    }
    return TRUE;
}

DWORD JoinThread(HANDLE h)
{
    if (!h->bJoinable) {
        return WAIT_OBJECT_0;
    }
    int ret = pthread_join(h->tid, nullptr);
    if (ret != 0) {
        DebugPrint("WARNING: pthread_join() failed (ret=%d)\n", ret);
        return WAIT_FAILED;
    }
    h->bJoinable = false;
    return WAIT_OBJECT_0;
}

// Consumes the flag of a signalled event (mutex held): an automatic-reset
// event is cleared by the wait that takes it.
void ConsumeEvent(HANDLE h)
{
    if (h->manual == 0) {
        h->flag = 0;
    }
}

DWORD WaitEventInfinite(HANDLE h)
{
    while (h->flag == 0) {
        int ret = pthread_cond_wait(&h->cond, &h->hMutex);
        if (ret != 0) {
            DebugPrint("WARNING: pthread_cond_wait() failed (ret=%d)\n", ret);
            return WAIT_FAILED;
        }
    }
    ConsumeEvent(h);
    return WAIT_OBJECT_0;
}

// Bounded wait: polls the flag every 20 ms with the mutex released in
// between. Returns with the mutex held.
DWORD WaitEventBounded(HANDLE h, DWORD dwMilliseconds)
{
    DWORD start = GetTickCount();
    int nSlot = WinEmu_TimedWaitBegun(dwMilliseconds);
    pthread_mutex_unlock(&h->hMutex);
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= dwMilliseconds) {
            pthread_mutex_lock(&h->hMutex);
            break;
        }
        pthread_mutex_lock(&h->hMutex);
        if (h->flag != 0) {
            ConsumeEvent(h);
            result = WAIT_OBJECT_0;
            break;
        }
        pthread_mutex_unlock(&h->hMutex);
        Sleep(BOUNDED_WAIT_POLL_MS);
    }
    WinEmu_TimedWaitEnded(nSlot);
    return result;
}

DWORD WaitEvent(HANDLE h, DWORD dwMilliseconds)
{
    if (!LockEventMutex(h)) {
        return WAIT_FAILED;
    }
    DWORD result;
    if (h->flag != 0) {
        ConsumeEvent(h);
        result = WAIT_OBJECT_0;
    } else if (dwMilliseconds == INFINITE) {
        result = WaitEventInfinite(h);
    } else if (dwMilliseconds == 0) {
        result = WAIT_TIMEOUT;
    } else {
        result = WaitEventBounded(h, dwMilliseconds);
    }
    if (!UnlockEventMutex(h)) {
        return WAIT_FAILED;
    }
    return result;
}

int64_t FloorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

bool IsGregorianLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

}  // namespace

int WinEmu_TimedWaitBegun(DWORD dwMilliseconds)
{
    for (int i = 0; i < WAIT_SLOTS; ++i) {
        DWORD free = 0;
        if (s_adwActiveWaitMs[i].compare_exchange_strong(free, dwMilliseconds)) {
            return i;
        }
    }
    return -1;
}

void WinEmu_TimedWaitEnded(int nSlot)
{
    if (nSlot >= 0) {
        s_adwActiveWaitMs[nSlot].store(0);
    }
}

BOOL WinEmu_Init()
{
    if (!s_bThreadAttrReady) {
        int ret = pthread_attr_init(&s_ThreadAttr);
        if (ret != 0) {
            DebugPrint("WARNING: pthread_attr_init() failed (ret=%d)\n", ret);
            return FALSE;
        }
        s_bThreadAttrReady = true;
    }
    signal(SIGUSR1, SignalHandler);
    return TRUE;
}

void Sleep(DWORD dwMilliseconds)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(dwMilliseconds / 1000);
    ts.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    // Not resumed after a signal: the cancel signal ends the sleep early.
    nanosleep(&ts, nullptr);
}

DWORD GetTickCount()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms) + s_dwTestTickOffset.load(std::memory_order_relaxed);
}

DWORD _TickToMsec(DWORD ticks)
{
    return ticks;
}

void WinEmu_AdvanceTicksForTest(DWORD ms)
{
    s_dwTestTickOffset.fetch_add(ms, std::memory_order_relaxed);
}

int WinEmu_BoundedWaitsForTest(DWORD dwMilliseconds)
{
    int n = 0;
    for (const std::atomic<DWORD>& slot : s_adwActiveWaitMs) {
        n += slot.load() == dwMilliseconds ? 1 : 0;
    }
    return n;
}

void InitializeCriticalSection(LPCRITICAL_SECTION cs)
{
    HANDLE h = NewHandle(HANDLE_KIND_LOCK);
    if (h == nullptr) {
        return;
    }
    int ret = pthread_mutex_init(&h->hMutex, nullptr);
    if (ret != 0) {
        DebugPrint("WARNING: pthread_mutex_init() failed (ret=%d)\n", ret);
        delete h;
        return;
    }
    *cs = h;
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs)
{
    HANDLE h = *cs;
    if (h == nullptr) {
        return;
    }
    int ret = pthread_mutex_destroy(&h->hMutex);
    if (ret != 0) {
        DebugPrint("WARNING: pthread_mutex_destroy() failed (ret=%d)\n", ret);
    }
    delete h;
    *cs = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs)
{
    int ret = pthread_mutex_lock(&(*cs)->hMutex);
    if (ret != 0) {
        DebugPrint("WARNING: pthread_mutex_lock() failed (ret=%d)\n", ret);
    }
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs)
{
    int ret = pthread_mutex_unlock(&(*cs)->hMutex);
    if (ret != 0) {
        DebugPrint("WARNING: pthread_mutex_unlock() failed (ret=%d)\n", ret);
    }
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD dwStackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD, LPDWORD pThreadId)
{
    HANDLE h = NewHandle(HANDLE_KIND_THREAD);
    if (h == nullptr) {
        return nullptr;
    }
    ThreadStart* ts = new (std::nothrow) ThreadStart{start, parameter};
    if (ts == nullptr) {
        DebugPrint("WARNING: malloc() failed\n");
        delete h;
        return nullptr;
    }

    // An explicit stack size takes the default attributes with that size.
    pthread_attr_t attr;
    pthread_attr_t* pAttr = nullptr;
    if (dwStackSize != 0) {
        int ret = pthread_attr_init(&attr);
        if (ret == 0) {
            ret = pthread_attr_setstacksize(&attr, dwStackSize);
            if (ret != 0) {
                pthread_attr_destroy(&attr);
            }
        }
        if (ret != 0) {
            DebugPrint("WARNING: pthread_attr_setstacksize() failed (ret=%d)\n", ret);
            delete ts;
            delete h;
            return nullptr;
        }
        pAttr = &attr;
    }
    int ret = pthread_create(&h->tid, pAttr, ThreadEntry, ts);
    if (pAttr != nullptr) {
        pthread_attr_destroy(pAttr);
    }
    if (ret != 0) {
        DebugPrint("WARNING: pthread_create() failed (ret=%d)\n", ret);
        delete ts;
        delete h;
        return nullptr;
    }
    h->bJoinable = true;
    if (pThreadId != nullptr) {
        *pThreadId = static_cast<DWORD>(h->tid);
    }
    return h;
}

BOOL CloseHandle(HANDLE h)
{
    if (h == nullptr) {
        return TRUE;
    }
    if (h->nType == HANDLE_KIND_THREAD) {
        JoinThread(h);
    } else {
        int ret = pthread_mutex_destroy(&h->hMutex);
        if (ret != 0) {
            DebugPrint("WARNING: pthread_mutex_destroy() failed (ret=%d)\n", ret);
        }
        if (h->nType == HANDLE_KIND_EVENT) {
            pthread_cond_destroy(&h->cond);
        }
    }
    delete h;
    return TRUE;
}

HANDLE CreateEvent(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, const char*)
{
    HANDLE h = NewHandle(HANDLE_KIND_EVENT);
    if (h == nullptr) {
        return nullptr;
    }
    int ret = pthread_mutex_init(&h->hMutex, nullptr);
    if (ret != 0) {
        DebugPrint("WARNING: pthread_mutex_init() failed (ret=%d)\n", ret);
        delete h;
        return nullptr;
    }
    ret = pthread_cond_init(&h->cond, nullptr);
    if (ret != 0) {
        DebugPrint("WARNING: pthread_cond_init() failed (ret=%d)\n", ret);
        pthread_mutex_destroy(&h->hMutex);
        delete h;
        return nullptr;
    }
    h->flag = bInitialState != 0 ? 1u : 0u;
    h->manual = bManualReset != 0 ? 1 : 0;
    return h;
}

BOOL SetEvent(HANDLE h)
{
    if (h == nullptr || h->nType != HANDLE_KIND_EVENT || !LockEventMutex(h)) {
        return FALSE;
    }
    h->flag = 1;
    BOOL ok = TRUE;
    int ret = pthread_cond_broadcast(&h->cond);
    if (ret != 0) {
        DebugPrint("WARNING: pthread_cond_signal() failed (ret=%d)\n", ret);
        ok = FALSE;
    }
    if (!UnlockEventMutex(h)) {
        ok = FALSE;
    }
    return ok;
}

BOOL ResetEvent(HANDLE h)
{
    if (h == nullptr || h->nType != HANDLE_KIND_EVENT || !LockEventMutex(h)) {
        return FALSE;
    }
    h->flag = 0;
    return UnlockEventMutex(h);
}

DWORD WaitForSingleObject(HANDLE h, DWORD dwMilliseconds)
{
    if (h == nullptr) {
        return WAIT_FAILED;
    }
    if (h->nType == HANDLE_KIND_THREAD) {
        // A wait on a thread joins it whatever the time-out says.
        return JoinThread(h);
    }
    if (h->nType != HANDLE_KIND_EVENT) {
        return WAIT_FAILED;
    }
    return WaitEvent(h, dwMilliseconds);
}

BOOL SetThreadPriority(HANDLE, int)
{
    return TRUE;
}

void _CancelThread(HANDLE h)
{
    if (h != nullptr && h->nType == HANDLE_KIND_THREAD && h->bJoinable) {
        pthread_kill(h->tid, SIGUSR1);
    }
}

void GetLocalTime(SYSTEMTIME* pTime)
{
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    pTime->wYear = static_cast<WORD>(local.tm_year + 1900);
    pTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
    pTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    pTime->wDay = static_cast<WORD>(local.tm_mday);
    pTime->wHour = static_cast<WORD>(local.tm_hour);
    pTime->wMinute = static_cast<WORD>(local.tm_min);
    pTime->wSecond = static_cast<WORD>(local.tm_sec);
    pTime->wMilliseconds = 0;
}

BOOL SetLocalTime(const SYSTEMTIME* pTime)
{
    if (Board_IsSimulated()) {
        // A simulated board never sets the PC's clock; the request is recorded.
        char line[64];
        _sprintf(line, "settime %04d-%02d-%02d %02d:%02d:%02d", pTime->wYear, pTime->wMonth, pTime->wDay,
                 pTime->wHour, pTime->wMinute, pTime->wSecond);
        return Board_RecordCommand(line);
    }
    struct tm local = {};
    local.tm_year = pTime->wYear - 1900;
    local.tm_mon = pTime->wMonth - 1;
    local.tm_mday = pTime->wDay;
    local.tm_hour = pTime->wHour;
    local.tm_min = pTime->wMinute;
    local.tm_sec = pTime->wSecond;
    local.tm_isdst = -1;
    time_t t = mktime(&local);
    if (t == static_cast<time_t>(-1)) {
        return FALSE;
    }
    struct timeval tv;
    tv.tv_sec = t;
    tv.tv_usec = 0;
    return settimeofday(&tv, nullptr) == 0 ? TRUE : FALSE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* pTime, FILETIME* pFileTime)
{
    static const int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int64_t years = static_cast<int64_t>(pTime->wYear) - 1601;
    int64_t days = 365 * years + FloorDiv(years, 4) - FloorDiv(years, 100) + FloorDiv(years, 400);
    for (int month = 1; month < pTime->wMonth && month <= 12; ++month) {
        days += kDaysInMonth[month - 1];
        if (month == 2 && IsGregorianLeapYear(pTime->wYear)) {
            days += 1;
        }
    }
    days += static_cast<int64_t>(pTime->wDay) - 1;
    int64_t intervals = days * 864000000000LL + static_cast<int64_t>(pTime->wHour) * 36000000000LL +
                        static_cast<int64_t>(pTime->wMinute) * 600000000LL +
                        static_cast<int64_t>(pTime->wSecond) * 10000000LL +
                        static_cast<int64_t>(pTime->wMilliseconds) * 10000LL;
    uint64_t u = static_cast<uint64_t>(intervals);
    pFileTime->dwLowDateTime = static_cast<DWORD>(u & 0xFFFFFFFFu);
    pFileTime->dwHighDateTime = static_cast<DWORD>(u >> 32);
    return TRUE;
}
