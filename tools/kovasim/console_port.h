// console_port: the unit's USB console offered to the PC's own tools. The
// unit's end of the console cable is a pseudo-terminal in the board root
// (dev/ttyGS0); this makes a second one, links its terminal at a path of
// the caller's choosing, and copies bytes both ways between the two, as the
// USB cable and the PC's serial driver do for a board. `kovactl -d PATH`
// then opens PATH as it would open /dev/ttyACM0.
//
// The PC end stays open here, so a tool that closes it and opens it again
// finds the line as it left it; bytes the unit sends while no tool reads are
// dropped once the terminal's buffer is full, as a PC drops them.
//
// Threads: one relay thread of its own; construct and destroy on one thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "pty_link.h"

namespace kovasim {

class ConsolePort {
   public:
    // Links a new terminal at path (replacing a stale link, never a file)
    // and relays between it and unit, the unit's console cable.
    ConsolePort(sim::PtyLink& unit, const std::string& path);
    ~ConsolePort();
    ConsolePort(const ConsolePort&) = delete;
    ConsolePort& operator=(const ConsolePort&) = delete;

    bool ok() const { return m_thread.joinable(); }
    const std::string& error() const { return m_error; }

   private:
    void Relay();

    sim::PtyLink& m_unit;
    std::unique_ptr<sim::PtyLink> m_pc;  // held open: the PC end survives a tool closing it
    std::string m_error;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace kovasim
