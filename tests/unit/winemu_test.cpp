// The Windows-style runtime. Time-outs run on the test clock.
#include "winemu.h"

#include <gtest/gtest.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <tuple>
#include <vector>

#include "board.h"
#include "test_support.h"

namespace {

using testsupport::WaitUntil;

TEST(Events, ZeroTimeoutWaitConsumesOnlyAutomaticResetEvents)
{
    HANDLE automatic = CreateEvent(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEvent(nullptr, TRUE, TRUE, nullptr);
    const auto set = [](HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; };
    EXPECT_EQ((std::vector<bool>{set(automatic), set(automatic), set(manual), set(manual), ResetEvent(manual) != FALSE,
                                 set(manual)}),
              (std::vector<bool>{true, false, true, true, true, false}));
    CloseHandle(automatic);
    CloseHandle(manual);
}

std::atomic<int> s_threadRuns{0};

DWORD SlowThread(LPVOID param)
{
    Sleep(*static_cast<DWORD*>(param));
    s_threadRuns.fetch_add(1);
    return 7;
}

TEST(Threads, WaitOrCloseJoinsWhateverTheTimeout)
{
    s_threadRuns.store(0);
    DWORD delay = 60;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, SlowThread, &delay, 0, &id);
    ASSERT_NE(thread, nullptr);
    // The second wait is on a thread already joined.
    EXPECT_EQ((std::tuple{WaitForSingleObject(thread, 0), s_threadRuns.load(), WaitForSingleObject(thread, INFINITE),
                          CloseHandle(thread)}),
              std::make_tuple(WAIT_OBJECT_0, 1, WAIT_OBJECT_0, TRUE));

    thread = CreateThread(nullptr, 64 * 1024, SlowThread, &delay, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));  // still running: the close joins it
    EXPECT_EQ(s_threadRuns.load(), 2);
}

// A blocking call of a minute in a thread: Sleep (fd -1) or select on fd.
struct Blocked {
    int fd;
    int result = 0;
    std::atomic<bool> ended{false};
};

DWORD BlockAMinute(LPVOID param)
{
    Blocked* b = static_cast<Blocked*>(param);
    if (b->fd < 0) {
        Sleep(60000);
    } else {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(b->fd, &readable);
        struct timeval timeout = {60, 0};
        b->result = select(b->fd + 1, &readable, nullptr, nullptr, &timeout);
    }
    b->ended.store(true);
    return 0;
}

TEST(Threads, CancelSignalEndsASleepOrASelectEarly)
{
    ASSERT_TRUE(WinEmu_Init());
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    for (int fd : {-1, fds[0]}) {
        SCOPED_TRACE(fd < 0 ? "Sleep" : "select");
        Blocked blocked{fd};
        HANDLE thread = CreateThread(nullptr, 0, BlockAMinute, &blocked, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        // A signal sent before the thread blocks is lost: send until it ends.
        EXPECT_TRUE(WaitUntil([&] {
            _CancelThread(thread);
            return blocked.ended.load();
        }));
        CloseHandle(thread);
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

TEST(Ticks, BoundedWaitSeesSetEventAndAClockMoveEndsTheOther)
{
    HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(WinEmu_BoundedWaitsForTest(987654), 0);
    HANDLE first = CreateThread(nullptr, 0, WaitLongOnEvent, event, 0, nullptr);
    HANDLE second = CreateThread(nullptr, 0, WaitLongOnEvent, event, 0, nullptr);
    ASSERT_TRUE(WaitUntil([] { return WinEmu_BoundedWaitsForTest(987654) == 2; }));
    EXPECT_EQ(WinEmu_BoundedWaitsForTest(987653), 0);
    SetEvent(event);  // one waiter takes the automatic-reset event at its next poll
    ASSERT_TRUE(WaitUntil([] { return s_longWaitsSignalled.load() == 1; }));
    EXPECT_EQ(WinEmu_BoundedWaitsForTest(987654), 1) << "an ended wait still counted";
    WinEmu_AdvanceTicksForTest(987654);  // the other times out
    WaitForSingleObject(first, INFINITE);
    WaitForSingleObject(second, INFINITE);
    EXPECT_EQ(
        std::make_tuple(s_longWaitsSignalled.load(), s_longWaitsTimedOut.load(), WinEmu_BoundedWaitsForTest(987654)),
        std::make_tuple(1, 1, 0));
    CloseHandle(first);
    CloseHandle(second);
    CloseHandle(event);
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
    GetLocalTime(&now);  // the host clock was left alone
    EXPECT_TRUE(now.wYear > 2017 && now.wMilliseconds == 0 && now.wDayOfWeek <= 6)
        << now.wYear << " " << now.wMilliseconds << " " << now.wDayOfWeek;
}

}  // namespace
