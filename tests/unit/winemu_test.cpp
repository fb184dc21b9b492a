// Waits, events, threads, the cancel signal, the tick counter and calendar
// conversions of the Windows-style runtime.
#include "winemu.h"

#include <gtest/gtest.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "board.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(Events, ZeroTimeoutWaitConsumesOnlyAutomaticResetEvents)
{
    HANDLE automatic = CreateEvent(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEvent(nullptr, TRUE, TRUE, nullptr);
    HANDLE unset = CreateEvent(nullptr, FALSE, FALSE, nullptr);

    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(unset, 0), WAIT_TIMEOUT);
    EXPECT_LT(ElapsedMs(start), 10);

    CloseHandle(automatic);
    CloseHandle(manual);
    CloseHandle(unset);
}

TEST(Events, BoundedWaitPollsEveryTwentyMilliseconds)
{
    HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    // A 1 ms wait lasts one 20 ms pause, unless the tick counter moves on
    // between noting the start and the first look (then it ends at once), so
    // of a few waits most must take the pause and none much longer.
    int paused = 0;
    for (int i = 0; i < 5; ++i) {
        auto start = Clock::now();
        EXPECT_EQ(WaitForSingleObject(event, 1), WAIT_TIMEOUT);
        long oneMs = ElapsedMs(start);
        paused += oneMs >= 18 ? 1 : 0;
        EXPECT_LT(oneMs, 200);
    }
    EXPECT_GE(paused, 3);

    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    long fiftyMs = ElapsedMs(start);
    EXPECT_GE(fiftyMs, 50);
    EXPECT_LT(fiftyMs, 50 + 20 + 150);
    CloseHandle(event);
}

struct SetLater {
    HANDLE event;
    DWORD delayMs;
};

DWORD SetEventAfterDelay(LPVOID param)
{
    SetLater* s = static_cast<SetLater*>(param);
    Sleep(s->delayMs);
    SetEvent(s->event);
    return 0;
}

TEST(Events, InfiniteWaitWakesOnSetAndBoundedWaitSeesItAtNextPoll)
{
    HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    SetLater later{event, 30};
    HANDLE thread = CreateThread(nullptr, 0, SetEventAfterDelay, &later, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_GE(ElapsedMs(start), 25);
    CloseHandle(thread);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // consumed by the wait

    thread = CreateThread(nullptr, 0, SetEventAfterDelay, &later, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(event);
}

TEST(Events, WaitOnALockHandleFails)
{
    CRITICAL_SECTION cs = nullptr;
    InitializeCriticalSection(&cs);
    ASSERT_NE(cs, nullptr);
    EXPECT_EQ(WaitForSingleObject(cs, 0), WAIT_FAILED);
    EnterCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    DeleteCriticalSection(&cs);
    EXPECT_EQ(cs, nullptr);
}

std::atomic<int> s_threadRuns{0};

DWORD SlowThread(LPVOID param)
{
    Sleep(*static_cast<DWORD*>(param));
    s_threadRuns.fetch_add(1);
    return 7;
}

TEST(Threads, WaitJoinsWhateverTheTimeoutAndASecondWaitReturnsAtOnce)
{
    s_threadRuns.store(0);
    DWORD delay = 60;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, SlowThread, &delay, 0, &id);
    ASSERT_NE(thread, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_GE(ElapsedMs(start), 50);
    EXPECT_EQ(s_threadRuns.load(), 1);
    start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_LT(ElapsedMs(start), 10);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, ClosingARunningThreadJoinsIt)
{
    s_threadRuns.store(0);
    DWORD delay = 30;
    HANDLE thread = CreateThread(nullptr, 64 * 1024, SlowThread, &delay, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(s_threadRuns.load(), 1);
}

DWORD SleepLong(LPVOID param)
{
    auto start = Clock::now();
    Sleep(5000);
    *static_cast<long*>(param) = ElapsedMs(start);
    return 0;
}

TEST(Threads, CancelSignalEndsASleepEarly)
{
    ASSERT_TRUE(WinEmu_Init());
    long slept = -1;
    HANDLE thread = CreateThread(nullptr, 0, SleepLong, &slept, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    Sleep(50);
    _CancelThread(thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_GE(slept, 0);
    EXPECT_LT(slept, 2000);
}

struct SelectState {
    int fd;
    int result;
    long elapsedMs;
};

DWORD SelectLong(LPVOID param)
{
    SelectState* s = static_cast<SelectState*>(param);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s->fd, &readable);
    struct timeval timeout = {5, 0};
    auto start = Clock::now();
    s->result = select(s->fd + 1, &readable, nullptr, nullptr, &timeout);
    s->elapsedMs = ElapsedMs(start);
    return 0;
}

TEST(Threads, CancelSignalEndsASelectEarly)
{
    ASSERT_TRUE(WinEmu_Init());
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    SelectState state{fds[0], 0, -1};
    HANDLE thread = CreateThread(nullptr, 0, SelectLong, &state, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    Sleep(50);
    _CancelThread(thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(state.result, -1);  // interrupted, nothing readable
    EXPECT_LT(state.elapsedMs, 2000);
}

TEST(Ticks, TestClockMovesTicksAndDifferencesSurviveTheWrap)
{
    DWORD before = GetTickCount();
    WinEmu_AdvanceTicksForTest(120000);
    DWORD after = GetTickCount();
    EXPECT_GE(after - before, 120000u);
    EXPECT_LT(after - before, 121000u);

    // Put the counter just below the wrap, then step across it.
    WinEmu_AdvanceTicksForTest(0xFFFFFFF0u - GetTickCount());
    DWORD nearWrap = GetTickCount();
    WinEmu_AdvanceTicksForTest(100);
    DWORD wrapped = GetTickCount();
    EXPECT_LT(wrapped, nearWrap);
    EXPECT_GE(wrapped - nearWrap, 100u);
    EXPECT_LT(wrapped - nearWrap, 1000u);
    EXPECT_EQ(_TickToMsec(1234), 1234u);
}

TEST(CalendarTime, LocalTimeHasNoMilliseconds)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_EQ(now.wMilliseconds, 0);
    EXPECT_GE(now.wYear, 2000);
    EXPECT_GE(now.wMonth, 1);
    EXPECT_LE(now.wMonth, 12);
    EXPECT_LE(now.wDayOfWeek, 6);
}

TEST(CalendarTime, SimulatedBoardRecordsClockRequestInsteadOfSettingIt)
{
    testsupport::TempDir root;
    ASSERT_TRUE(Board_SetRoot(root.path().c_str()));
    SYSTEMTIME t = {2017, 1, 0, 1, 0, 0, 0, 0};
    EXPECT_TRUE(SetLocalTime(&t));
    Board_SetRoot(nullptr);
    EXPECT_EQ(testsupport::ReadFileText(root.file("var/log/board-commands.log")), "settime 2017-01-01 00:00:00\n");
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_GT(now.wYear, 2017);
}

uint64_t FileTimeOf(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0, WORD ms = 0)
{
    SYSTEMTIME t = {year, month, 0, day, hour, minute, second, ms};
    FILETIME ft = {0xDEADBEEF, 0xDEADBEEF};
    EXPECT_TRUE(SystemTimeToFileTime(&t, &ft));
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

TEST(CalendarTime, FileTimeCountsGregorianDaysFrom1601)
{
    EXPECT_EQ(FileTimeOf(1601, 1, 1), 0u);
    EXPECT_EQ(FileTimeOf(1601, 1, 2), 864000000000u);
    constexpr uint64_t day = 864000000000u;
    EXPECT_EQ(FileTimeOf(2000, 3, 1) - FileTimeOf(2000, 2, 1), 29 * day);
    EXPECT_EQ(FileTimeOf(1900, 3, 1) - FileTimeOf(1900, 2, 1), 28 * day);
    // The Unix epoch is 11 644 473 600 seconds after 1601.
    EXPECT_EQ(FileTimeOf(1970, 1, 1), 116444736000000000u);
    EXPECT_EQ(FileTimeOf(1970, 1, 1, 1, 2, 3, 4) - FileTimeOf(1970, 1, 1), 37230040000u);
}

}  // namespace
