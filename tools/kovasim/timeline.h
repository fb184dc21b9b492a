// timeline: the demo's record of what happened when. Events come from the
// demo itself, from the units' output lines, from the radios' received
// frames and from a watcher that samples the boards' LED lines; they are
// printed sorted by time since the demo began.
//
// Threads: Timeline::Add may be called from any thread (m_lock guards the
// events). LedWatch runs one sampling thread between Start and Stop; it only
// reads the boards' GPIO files, and nothing else touches those boards while
// it runs.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "unit_process.h"

namespace sim {
class SimBoard;
}

namespace kovasim {

using Clock = std::chrono::steady_clock;

class Timeline {
   public:
    explicit Timeline(Clock::time_point start) : m_start(start) {}

    void Add(Clock::time_point when, const std::string& who, const std::string& what);
    void Add(const std::string& who, const std::string& what) { Add(Clock::now(), who, what); }
    // Milliseconds since the start.
    double Ms(Clock::time_point when) const;
    // A unit's output lines as events of `who`: the ones about state, links,
    // relayed frames, recordings and playbacks (every line when all is set),
    // without the date.
    void AddUnitLines(const std::string& who, const std::vector<sim::UnitLine>& lines, bool all);
    // Every event, oldest first, one line each.
    std::string Render() const;

    // A unit's line without its "YYYY/MM/DD hh:mm:ss " prefix.
    static std::string WithoutDate(const std::string& line);
    // True for the lines the timeline shows by default.
    static bool Relevant(const std::string& text);

   private:
    struct Event {
        Clock::time_point when;
        std::string who;
        std::string what;
    };
    Clock::time_point m_start;
    mutable std::mutex m_lock;
    std::vector<Event> m_events;
};

// Samples the communication and alarm LEDs of named boards every 10 ms and
// adds each change to the timeline.
class LedWatch {
   public:
    LedWatch(Timeline& timeline, std::vector<std::pair<std::string, const sim::SimBoard*>> boards);
    ~LedWatch();
    LedWatch(const LedWatch&) = delete;
    LedWatch& operator=(const LedWatch&) = delete;

    void Start();
    void Stop();
    // "comm on, alarm off" for one board, read now.
    static std::string State(const sim::SimBoard& board);

   private:
    void Loop();

    Timeline& m_timeline;
    std::vector<std::pair<std::string, const sim::SimBoard*>> m_boards;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace kovasim
