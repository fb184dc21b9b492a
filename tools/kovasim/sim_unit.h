// sim_unit: one simulated unit as kovasim runs it: the daemon as a child
// process on a board root, the radio's serial cable and the USB console
// cable plugged into the root's dev folder, the simulated radio on the first
// and the setting client on the second. The unit is stopped with SIGTERM and,
// failing that, killed; the cables are pulled when the unit goes.
//
// Built on the harness (PtyLink, RadioSim, SettingClient, UnitProcess). One
// thread drives a unit; the radio's own threads collect its frames.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "radio_frame.h"
#include "radio_sim.h"
#include "setting_client.h"
#include "unit_process.h"

namespace sim {
class PtyLink;
}

namespace kovasim {

struct SimUnitSetup {
    std::string name;           // "A", "B": how the timeline calls it
    std::string root;           // the board root
    std::string binary;         // the daemon
    std::string radioDevice;    // below dev/, "ttymxc1"
    std::string consoleDevice;  // below dev/, "ttyGS0"; "" for none
    int slow = 1;               // multiplies every wait (sanitizer builds)
};

// "exit status 0", "ended by signal 9" or "still running".
std::string DescribeExit(const sim::UnitExit& exit);
// True when the unit exited by itself with status 0.
bool CleanExit(const sim::UnitExit& exit);

class SimUnit {
   public:
    explicit SimUnit(const SimUnitSetup& setup);
    ~SimUnit();
    SimUnit(const SimUnit&) = delete;
    SimUnit& operator=(const SimUnit&) = delete;

    // Plugs the cables, starts the daemon and waits until its timer runs.
    bool Start(std::string* why);
    // The radio identifies itself with this code table and keeps the line alive.
    bool Identify(const sim::radio::CodeTable& table, std::string* why);
    // Waits for the unit's "[I] state ready" line.
    bool WaitReady(std::string* why);
    // One console command; the reply's first line, nullopt when none came.
    std::optional<std::string> Command(const std::string& line);
    // One console command; every reply line that came before the unit fell quiet.
    std::vector<std::string> Converse(const std::string& line);
    // SIGTERM, then the exit within a second (plus slack).
    sim::UnitExit Stop();

    const std::string& name() const { return m_setup.name; }
    sim::UnitProcess& process() { return m_process; }
    sim::RadioSim& radio() { return *m_radio; }
    bool hasConsole() const { return m_console != nullptr; }
    // The master of the console cable (-1 without a console), for a relay to a PC-side port.
    sim::PtyLink* consoleLink() const { return m_consoleLink.get(); }
    // The last lines of the unit's output, for failure reports.
    std::string OutputTail(size_t lines) const;

   private:
    SimUnitSetup m_setup;
    std::unique_ptr<sim::PtyLink> m_radioLink;
    std::unique_ptr<sim::PtyLink> m_consoleLink;
    sim::UnitProcess m_process;
    std::unique_ptr<sim::RadioSim> m_radio;
    std::unique_ptr<sim::SettingClient> m_console;
};

}  // namespace kovasim
