// UnitClock: moves the millisecond tick of unit processes forward from the
// test, so that a 30 s keep-alive or a 120 s silence limit takes no 30 or
// 120 s of waiting.
//
// A unit measures every interval with its tick counter, which reads the raw
// monotonic clock. A unit started with options passed through Apply() loads
// the preload library (unit_clock_preload.c), which adds this clock's shift to
// that one clock; Advance() grows the shift and the unit sees the jump at its
// next reading, while its sleeps, waits and time stamps, and the test's own
// clocks, keep real time. The shift is a 64-bit millisecond count in a small
// file in a temporary folder, mapped shared by the test and the units.
//
// Threads: Advance and shiftMs may be called from any thread (one atomic
// access each); construct, Apply and destroy on the test thread.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

struct UnitOptions;

class UnitClock {
   public:
    // Makes the shift file (shift 0); ok() tells whether a unit can use it.
    UnitClock();
    ~UnitClock();
    UnitClock(const UnitClock&) = delete;
    UnitClock& operator=(const UnitClock&) = delete;

    // False, with the reason in why(), when there is no preload library or no shift file.
    bool ok() const { return m_why.empty(); }
    const std::string& why() const { return m_why; }
    // The preload library: $KOVALAN_TICK_PRELOAD, else the one built with the harness ("" if none).
    static std::string PreloadPath();
    // The file a unit maps (the value of KOVALAN_TICK_SHIFT_FILE).
    const std::string& shiftFile() const { return m_file; }

    // Adds the preload library and the shift file to the unit's environment,
    // keeping any preload and AddressSanitizer options it would have had.
    void Apply(UnitOptions* options) const;
    // Moves every unit using this clock ms further on.
    void Advance(int64_t ms);
    int64_t shiftMs() const;

   private:
    std::string m_why;
    std::string m_dir;
    std::string m_file;
    int64_t* m_shift = nullptr;  // the mapped count; accessed atomically
};

}  // namespace sim
