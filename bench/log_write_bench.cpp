// Records per second the ring log store takes from the log thread: LOG_Write
// of a 40-byte text, each one record with its journal, so two device syncs.
// The store lives on a real disk (/var/tmp), not on a memory file system, for
// the syncs to cost what they cost on a board's storage. Timed by the wall
// clock: the syncs are waiting, not computing.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "log.h"

namespace {

void BM_LogWrite40(benchmark::State& state)
{
    char folder[] = "/var/tmp/kovalan-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        state.SkipWithError("cannot make a folder in /var/tmp");
        return;
    }
    const std::string logPath = std::string(folder) + "/kovalan.log";
    const std::string bakPath = std::string(folder) + "/kovalan.lbk";
    LOG_Init();
    if (!LOG_Open(logPath.c_str(), 262144)) {
        state.SkipWithError("LOG_Open failed");
    } else {
        SYSTEMTIME t{};
        t.wYear = 2021;
        t.wMonth = 4;
        t.wDay = 13;
        t.wHour = 10;
        const char text[] = "[W] peer 10.77.0.12 not responding (3s).";
        static_assert(sizeof text - 1 == 40);
        for (auto _ : state) {
            if (!LOG_Write(&t, text, static_cast<int>(sizeof text - 1))) {
                state.SkipWithError("LOG_Write failed");
                break;
            }
            t.wSecond = static_cast<WORD>((t.wSecond + 1) % 60);
        }
        state.SetItemsProcessed(state.iterations());
    }
    LOG_Exit();
    unlink(logPath.c_str());
    unlink(bakPath.c_str());
    rmdir(folder);
}

}  // namespace

BENCHMARK(BM_LogWrite40)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

BENCHMARK_MAIN();
