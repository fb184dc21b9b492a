/* unit_clock_preload: a library preloaded into a unit process so that a test
 * can move the unit's millisecond tick forward without waiting.
 *
 * The unit's tick counter reads the raw monotonic clock and nothing else in
 * it does, so this library wraps clock_gettime and adds a shift to
 * CLOCK_MONOTONIC_RAW readings only; every other clock (the ones condition
 * variables, sleeps and time stamps use) passes through untouched. The shift
 * is a 64-bit millisecond count at the start of the file named by
 * KOVALAN_TICK_SHIFT_FILE, mapped shared and read on every call, which the
 * test (UnitClock) rewrites in place. Without that variable, or with a file
 * that cannot be mapped, the library changes nothing.
 *
 * Threads: any; the shift is read with one relaxed atomic load. Built without
 * sanitizers so that it loads into instrumented and plain processes alike.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

/* Where time_t is 64 bits on a 32-bit system, callers (and this definition)
 * reach the 64-bit entry point under its own name; the real one is looked up
 * under that name too, never the 32-bit one with its smaller timespec. */
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
#define CLOCK_GETTIME_NAME "__clock_gettime64"
#define CLOCK_GETTIME_SYSCALL SYS_clock_gettime64
#else
#define CLOCK_GETTIME_NAME "clock_gettime"
#define CLOCK_GETTIME_SYSCALL SYS_clock_gettime
#endif

typedef int (*ClockGetTime)(clockid_t, struct timespec*);

static ClockGetTime s_real;
static _Atomic int64_t* s_shiftMs;

__attribute__((constructor)) static void UnitClockSetUp(void)
{
    /* Copied, not cast: ISO C has no conversion from an object pointer to a function pointer. */
    void* real = dlsym(RTLD_NEXT, CLOCK_GETTIME_NAME);
    memcpy(&s_real, &real, sizeof(s_real));
    const char* path = getenv("KOVALAN_TICK_SHIFT_FILE");
    if (path == NULL || *path == '\0') {
        return;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    void* map = mmap(NULL, sizeof(int64_t), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map != MAP_FAILED) {
        s_shiftMs = (_Atomic int64_t*)map;
    }
}

int clock_gettime(clockid_t id, struct timespec* ts)
{
    /* Before the constructor ran (another library's constructor asking the time), ask the kernel. */
    int ret = s_real != NULL ? s_real(id, ts) : (int)syscall(CLOCK_GETTIME_SYSCALL, id, ts);
    if (ret != 0 || id != CLOCK_MONOTONIC_RAW || s_shiftMs == NULL) {
        return ret;
    }
    int64_t shift = atomic_load_explicit(s_shiftMs, memory_order_relaxed);
    ts->tv_sec += (time_t)(shift / 1000);
    ts->tv_nsec += (long)(shift % 1000) * 1000000L;
    if (ts->tv_nsec >= 1000000000L) {
        ts->tv_nsec -= 1000000000L;
        ts->tv_sec += 1;
    } else if (ts->tv_nsec < 0) {
        ts->tv_nsec += 1000000000L;
        ts->tv_sec -= 1;
    }
    return ret;
}
