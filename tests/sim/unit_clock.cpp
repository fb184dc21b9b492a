// UnitClock: the test's side of the tick shift (see unit_clock.h). The shift
// file is one page, mapped shared; the count sits at its start and is stored
// with an atomic write, which the preload library reads with an atomic load.
#include "unit_clock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "unit_process.h"

namespace sim {

namespace {

constexpr size_t SHIFT_FILE_SIZE = 4096;
constexpr const char* SHIFT_FILE_VARIABLE = "KOVALAN_TICK_SHIFT_FILE";
// An instrumented unit refuses to start unless its sanitizer runtime is the first library, which a preload is not.
constexpr const char* ASAN_LINK_ORDER = "verify_asan_link_order=0";

static_assert(std::atomic_ref<int64_t>::is_always_lock_free, "the preload reads the shift without a lock");

// The value a unit would get for name: its own extra entry, else the test's environment.
std::string Inherited(const UnitOptions& options, const std::string& name)
{
    for (const std::string& entry : options.env) {
        if (entry.compare(0, name.size() + 1, name + "=") == 0) {
            return entry.substr(name.size() + 1);
        }
    }
    const char* value = std::getenv(name.c_str());
    return value ? value : "";
}

// Sets (or replaces) name=value among the unit's extra entries.
void SetEntry(UnitOptions* options, const std::string& name, const std::string& value)
{
    std::vector<std::string>& env = options->env;
    for (std::string& entry : env) {
        if (entry.compare(0, name.size() + 1, name + "=") == 0) {
            entry = name + "=" + value;
            return;
        }
    }
    env.push_back(name + "=" + value);
}

}  // namespace

UnitClock::UnitClock()
{
    if (PreloadPath().empty()) {
        m_why = "no tick preload library (build the kovalan_tick_preload target or set KOVALAN_TICK_PRELOAD)";
        return;
    }
    char dir[] = "/tmp/kovalan-clock-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        m_why = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    m_dir = dir;
    m_file = m_dir + "/tick-shift";
    int fd = open(m_file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, SHIFT_FILE_SIZE) != 0) {
        m_why = "shift file " + m_file + ": " + std::strerror(errno);
    } else {
        void* map = mmap(nullptr, SHIFT_FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            m_why = std::string("mmap: ") + std::strerror(errno);
        } else {
            m_shift = static_cast<int64_t*>(map);  // the new file reads 0
        }
    }
    if (fd >= 0) {
        close(fd);
    }
}

UnitClock::~UnitClock()
{
    if (m_shift) {
        munmap(m_shift, SHIFT_FILE_SIZE);
    }
    // A unit still running keeps its own mapping; the name can go.
    if (!m_file.empty()) {
        unlink(m_file.c_str());
    }
    if (!m_dir.empty()) {
        rmdir(m_dir.c_str());
    }
}

std::string UnitClock::PreloadPath()
{
    const char* env = std::getenv("KOVALAN_TICK_PRELOAD");
    std::string path = env && *env ? env : "";
#ifdef KOVALAN_TICK_PRELOAD_PATH
    if (path.empty()) {
        path = KOVALAN_TICK_PRELOAD_PATH;
    }
#endif
    return !path.empty() && access(path.c_str(), R_OK) == 0 ? path : "";
}

void UnitClock::Apply(UnitOptions* options) const
{
    if (!ok()) {
        return;
    }
    std::string preload = Inherited(*options, "LD_PRELOAD");
    std::string asan = Inherited(*options, "ASAN_OPTIONS");
    SetEntry(options, "LD_PRELOAD", PreloadPath() + (preload.empty() ? "" : ":" + preload));
    SetEntry(options, "ASAN_OPTIONS", asan.empty() ? ASAN_LINK_ORDER : asan + ":" + ASAN_LINK_ORDER);
    SetEntry(options, SHIFT_FILE_VARIABLE, m_file);
}

void UnitClock::Advance(int64_t ms)
{
    if (m_shift) {
        std::atomic_ref<int64_t>(*m_shift).fetch_add(ms, std::memory_order_relaxed);
    }
}

int64_t UnitClock::shiftMs() const
{
    return m_shift ? std::atomic_ref<int64_t>(*m_shift).load(std::memory_order_relaxed) : 0;
}

}  // namespace sim
