// The movable unit clock: the preload library, loaded here the way a unit
// loads it (its shift file named in the environment at load time), moves the
// raw monotonic clock by what the test advances, at once and only forward,
// and leaves every other clock alone.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "unit_clock.h"

namespace {

using ClockGetTime = int (*)(clockid_t, timespec*);

// The name this build's calls of clock_gettime reach (the 64-bit entry point where time_t was widened).
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
constexpr const char* CLOCK_GETTIME_NAME = "__clock_gettime64";
#else
constexpr const char* CLOCK_GETTIME_NAME = "clock_gettime";
#endif

int64_t Ms(const timespec& ts)
{
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The preload's reading of a clock minus this process's own, in ms.
int64_t Lead(ClockGetTime shifted, clockid_t id)
{
    timespec own{};
    timespec moved{};
    clock_gettime(id, &own);
    EXPECT_EQ(shifted(id, &moved), 0);
    EXPECT_GE(moved.tv_nsec, 0);
    EXPECT_LT(moved.tv_nsec, 1000000000L);
    return Ms(moved) - Ms(own);
}

TEST(UnitClock, MovesOnlyTheRawMonotonicClockAndOnlyByWhatWasAdvanced)
{
    sim::UnitClock clock;
    ASSERT_TRUE(clock.ok()) << clock.why();
    setenv("KOVALAN_TICK_SHIFT_FILE", clock.shiftFile().c_str(), 1);
    void* preload = dlopen(sim::UnitClock::PreloadPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    unsetenv("KOVALAN_TICK_SHIFT_FILE");
    ASSERT_NE(preload, nullptr) << dlerror();
    void* symbol = dlsym(preload, CLOCK_GETTIME_NAME);
    ASSERT_NE(symbol, nullptr);
    ClockGetTime shifted;
    std::memcpy(&shifted, &symbol, sizeof(shifted));

    EXPECT_NEAR(Lead(shifted, CLOCK_MONOTONIC_RAW), 0, 20) << "no shift before an advance";
    // 999 ms past whole seconds, so that nearly every reading carries into the seconds.
    clock.Advance(30999);
    clock.Advance(60000);
    EXPECT_EQ(clock.shiftMs(), 90999);
    for (int i = 0; i < 50; ++i) {
        EXPECT_NEAR(Lead(shifted, CLOCK_MONOTONIC_RAW), 90999, 20);
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    for (clockid_t other : {CLOCK_MONOTONIC, CLOCK_REALTIME, CLOCK_BOOTTIME}) {
        EXPECT_NEAR(Lead(shifted, other), 0, 20) << "clock " << other;
    }
    dlclose(preload);
}

}  // namespace
