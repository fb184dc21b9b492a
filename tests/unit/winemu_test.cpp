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

TEST(Events, ZeroTimeoutWaitConsumesOnlyAutomaticResetEventsAndFailsOnALock)
{
    HANDLE automatic = CreateEvent(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEvent(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_LT(ElapsedMs(start), 10);
    CloseHandle(automatic);
    CloseHandle(manual);

    CRITICAL_SECTION cs = nullptr;
    InitializeCriticalSection(&cs);
    ASSERT_NE(cs, nullptr);
    EXPECT_EQ(WaitForSingleObject(cs, 0), WAIT_FAILED);
    DeleteCriticalSection(&cs);
    EXPECT_EQ(cs, nullptr);
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

DWORD SetEventAfter30Ms(LPVOID event)
{
    Sleep(30);
    SetEvent(static_cast<HANDLE>(event));
    return 0;
}

TEST(Events, InfiniteWaitWakesOnSetAndBoundedWaitSeesItAtNextPoll)
{
    HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, SetEventAfter30Ms, event, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_GE(ElapsedMs(start), 25);
    CloseHandle(thread);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // consumed by the wait

    thread = CreateThread(nullptr, 0, SetEventAfter30Ms, event, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(event);
}

std::atomic<int> s_threadRuns{0};

DWORD SlowThread(LPVOID param)
{
    Sleep(*static_cast<DWORD*>(param));
    s_threadRuns.fetch_add(1);
    return 7;
}

TEST(Threads, WaitOrCloseJoinsWhateverTheTimeoutAndASecondWaitReturnsAtOnce)
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

    thread = CreateThread(nullptr, 64 * 1024, SlowThread, &delay, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));  // still running: the close joins it
    EXPECT_EQ(s_threadRuns.load(), 2);
}

// A blocking call of 5 s in a thread; elapsedMs and result after it ended.
struct Blocked {
    int fd;  // -1: Sleep, else select on it
    int result;
    long elapsedMs;
};

DWORD BlockFiveSeconds(LPVOID param)
{
    Blocked* b = static_cast<Blocked*>(param);
    auto start = Clock::now();
    if (b->fd < 0) {
        Sleep(5000);
    } else {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(b->fd, &readable);
        struct timeval timeout = {5, 0};
        b->result = select(b->fd + 1, &readable, nullptr, nullptr, &timeout);
    }
    b->elapsedMs = ElapsedMs(start);
    return 0;
}

TEST(Threads, CancelSignalEndsASleepOrASelectEarly)
{
    ASSERT_TRUE(WinEmu_Init());
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    for (int fd : {-1, fds[0]}) {
        SCOPED_TRACE(fd < 0 ? "Sleep" : "select");
        Blocked blocked{fd, 0, -1};
        HANDLE thread = CreateThread(nullptr, 0, BlockFiveSeconds, &blocked, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        Sleep(50);
        _CancelThread(thread);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        EXPECT_GE(blocked.elapsedMs, 0);
        EXPECT_LT(blocked.elapsedMs, 2000);
        EXPECT_EQ(blocked.result, fd < 0 ? 0 : -1);  // interrupted, nothing readable
    }
    close(fds[0]);
    close(fds[1]);
}

std::atomic<int> s_longWaitsSignalled{0};
std::atomic<int> s_longWaitsTimedOut{0};

DWORD WaitLongOnEvent(LPVOID param)
{
    DWORD result = WaitForSingleObject(static_cast<HANDLE>(param), 987654);
    (result == WAIT_OBJECT_0 ? s_longWaitsSignalled : s_longWaitsTimedOut).fetch_add(1);
    return result;
}

TEST(Ticks, BoundedWaitInProgressIsSeenAndAClockMoveAfterThatEndsIt)
{
    HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(WinEmu_BoundedWaitsForTest(987654), 0);
    HANDLE first = CreateThread(nullptr, 0, WaitLongOnEvent, event, 0, nullptr);
    HANDLE second = CreateThread(nullptr, 0, WaitLongOnEvent, event, 0, nullptr);
    auto start = Clock::now();
    while (WinEmu_BoundedWaitsForTest(987654) < 2 && ElapsedMs(start) < 3000) {
        Sleep(2);
    }
    ASSERT_EQ(WinEmu_BoundedWaitsForTest(987654), 2);
    EXPECT_EQ(WinEmu_BoundedWaitsForTest(987653), 0);
    SetEvent(event);  // one waiter takes the automatic-reset event at its next poll
    while (WinEmu_BoundedWaitsForTest(987654) > 1 && ElapsedMs(start) < 3000) {
        Sleep(2);
    }
    EXPECT_EQ(WinEmu_BoundedWaitsForTest(987654), 1);
    WinEmu_AdvanceTicksForTest(987654);  // the other times out
    WaitForSingleObject(first, INFINITE);
    WaitForSingleObject(second, INFINITE);
    EXPECT_EQ(s_longWaitsSignalled.load(), 1);
    EXPECT_EQ(s_longWaitsTimedOut.load(), 1);
    EXPECT_EQ(WinEmu_BoundedWaitsForTest(987654), 0) << "an ended wait still counted";
    CloseHandle(first);
    CloseHandle(second);
    CloseHandle(event);
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

TEST(CalendarTime, SimulatedBoardRecordsClockRequestAndLocalTimeHasNoMilliseconds)
{
    testsupport::TempDir root;
    ASSERT_TRUE(Board_SetRoot(root.path().c_str()));
    SYSTEMTIME t = {2017, 1, 0, 1, 0, 0, 0, 0};
    EXPECT_TRUE(SetLocalTime(&t));
    Board_SetRoot(nullptr);
    EXPECT_EQ(testsupport::ReadFileText(root.file("var/log/board-commands.log")), "settime 2017-01-01 00:00:00\n");
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_GT(now.wYear, 2017);  // the host clock was left alone
    EXPECT_EQ(now.wMilliseconds, 0);
    EXPECT_LE(now.wDayOfWeek, 6);
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
    constexpr uint64_t day = 864000000000u;
    EXPECT_EQ(FileTimeOf(1601, 1, 1), 0u);
    EXPECT_EQ(FileTimeOf(1601, 1, 2), day);
    EXPECT_EQ(FileTimeOf(2000, 3, 1) - FileTimeOf(2000, 2, 1), 29 * day);
    EXPECT_EQ(FileTimeOf(1900, 3, 1) - FileTimeOf(1900, 2, 1), 28 * day);
    // The Unix epoch is 11 644 473 600 seconds after 1601.
    EXPECT_EQ(FileTimeOf(1970, 1, 1), 116444736000000000u);
    EXPECT_EQ(FileTimeOf(1970, 1, 1, 1, 2, 3, 4) - FileTimeOf(1970, 1, 1), 37230040000u);
}

}  // namespace
