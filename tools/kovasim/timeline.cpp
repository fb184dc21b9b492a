// timeline: events of the demo and the LED watcher (see timeline.h).
#include "timeline.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "sim_board.h"

namespace kovasim {

namespace {

constexpr int LED_SAMPLE_MS = 10;
constexpr size_t DATE_PREFIX = 20;  // "2024/01/31 12:00:00 "

// Lines about the unit's state, its links, the frames it relays, and its
// recordings and playbacks.
constexpr const char* RELEVANT[] = {
    "[I] state ready", "connect req", "connect ack", "target detected", "target lost", "no response",   "Rx: Sio",
    "Tx: Sio",         "Rx: Lan",     "Tx: Lan",     "OCCUPY",          "RELASE",      "status notify", "no signal",
    "Rx: rec",         "Tx: rec",     "Rx: play",    "Tx: play",        "[W]",
};

}  // namespace

void Timeline::Add(Clock::time_point when, const std::string& who, const std::string& what)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_events.push_back({when, who, what});
}

double Timeline::Ms(Clock::time_point when) const
{
    return std::chrono::duration<double, std::milli>(when - m_start).count();
}

std::string Timeline::WithoutDate(const std::string& line)
{
    static const char* shape = "0000/00/00 00:00:00 ";
    if (line.size() < DATE_PREFIX) {
        return line;
    }
    for (size_t i = 0; i < DATE_PREFIX; ++i) {
        bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (shape[i] == '0' ? !digit : line[i] != shape[i]) {
            return line;
        }
    }
    return line.substr(DATE_PREFIX);
}

bool Timeline::Relevant(const std::string& text)
{
    return std::any_of(std::begin(RELEVANT), std::end(RELEVANT),
                       [&](const char* key) { return text.find(key) != std::string::npos; });
}

void Timeline::AddUnitLines(const std::string& who, const std::vector<sim::UnitLine>& lines, bool all)
{
    for (const sim::UnitLine& line : lines) {
        std::string text = WithoutDate(line.text);
        if (!text.empty() && (all || Relevant(text))) {
            Add(line.arrival, who, text);
        }
    }
}

std::string Timeline::Render() const
{
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        events = m_events;
    }
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.when < b.when; });
    std::string out = "     t/ms  who        what\n";
    for (const Event& e : events) {
        char head[40];
        std::snprintf(head, sizeof(head), "%9.1f  %-9s  ", Ms(e.when), e.who.c_str());
        out += head + e.what + "\n";
    }
    return out;
}

// --- LEDs ------------------------------------------------------------------------

LedWatch::LedWatch(Timeline& timeline, std::vector<std::pair<std::string, const sim::SimBoard*>> boards)
    : m_timeline(timeline), m_boards(std::move(boards))
{
}

LedWatch::~LedWatch()
{
    Stop();
}

void LedWatch::Start()
{
    if (!m_thread.joinable()) {
        m_stop = false;
        m_thread = std::thread(&LedWatch::Loop, this);
    }
}

void LedWatch::Stop()
{
    if (m_thread.joinable()) {
        m_stop = true;
        m_thread.join();
    }
}

std::string LedWatch::State(const sim::SimBoard& board)
{
    return std::string("comm ") + (board.LedLit(sim::SimBoard::COMM_LED_GPIO) ? "on" : "off") + ", alarm " +
           (board.LedLit(sim::SimBoard::ALARM_LED_GPIO) ? "on" : "off");
}

void LedWatch::Loop()
{
    std::vector<std::string> last(m_boards.size());
    while (!m_stop) {
        for (size_t i = 0; i < m_boards.size(); ++i) {
            std::string now = State(*m_boards[i].second);
            if (now != last[i]) {
                m_timeline.Add("LEDs " + m_boards[i].first, now);
                last[i] = now;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(LED_SAMPLE_MS));
    }
}

}  // namespace kovasim
