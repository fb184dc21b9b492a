// What one DebugLog call costs its caller: formatting, the console write and
// the copy into the log queue. The console goes to /dev/null, and the log
// thread hands records to a writer that keeps nothing, so the figure is the
// caller's own work and not the storage's speed (bench/log_write_bench
// measures that).

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "debug.h"

namespace {

BOOL DiscardRecord(const SYSTEMTIME*, const char*, int)
{
    return TRUE;
}

class DebugOutputToNull {
public:
    DebugOutputToNull()
    {
        fflush(stdout);
        m_saved = freopen("/dev/null", "w", stdout) != nullptr;
        Debug_SetLogWriterForTest(DiscardRecord);
        InitDebugPrint();
        // A real store must open for copies to be queued; the writer above
        // stands in for its writes.
        m_saved = m_saved && mkdtemp(m_folder) != nullptr;
        m_path = std::string(m_folder) + "/kovalan.log";
        m_saved = m_saved && OpenLogFile(m_path.c_str(), 64 * 64);
    }
    ~DebugOutputToNull()
    {
        FreeDebugPrint();
        Debug_SetLogWriterForTest(nullptr);
        unlink(m_path.c_str());
        unlink((std::string(m_folder) + "/kovalan.lbk").c_str());
        rmdir(m_folder);
    }
    DebugOutputToNull(const DebugOutputToNull&) = delete;
    DebugOutputToNull& operator=(const DebugOutputToNull&) = delete;
    bool ok() const { return m_saved; }

private:
    bool m_saved;
    char m_folder[32] = "/tmp/kovalan-bench-XXXXXX";
    std::string m_path;
};

void BM_DebugLogConsoleOnly(benchmark::State& state)
{
    DebugOutputToNull output;
    SetLogFlag(TRUE, LOG_CAT_WARNING);
    for (auto _ : state) {
        DebugLog(LOG_CAT_RADIO, "Rx: %c %d bytes from %d.%d.%d.%d\n", 'G', 52, 10, 77, 0, 12);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DebugLogQueued(benchmark::State& state)
{
    DebugOutputToNull output;
    if (!output.ok()) {
        state.SkipWithError("cannot open the log store");
        return;
    }
    SetLogFlag(TRUE, LOG_CAT_WARNING);
    for (auto _ : state) {
        DebugLog(LOG_CAT_WARNING, "[W] target %d.%d.%d.%d not responding\n", 10, 77, 0, 12);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DebugPrint(benchmark::State& state)
{
    DebugOutputToNull output;
    for (auto _ : state) {
        DebugPrint("WARNING: %s failed (ret=%d)\n", "pthread_mutex_lock()", 22);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_DebugPrint);
BENCHMARK(BM_DebugLogConsoleOnly);
BENCHMARK(BM_DebugLogQueued);

// The benchmarks send the debug lines to /dev/null through the standard
// output, so the results are written to the standard error instead.
int main(int argc, char** argv)
{
    std::vector<char*> args(argv, argv + argc);
    char out[] = "--benchmark_out=/dev/stderr";
    char format[] = "--benchmark_out_format=console";
    args.push_back(out);
    args.push_back(format);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
