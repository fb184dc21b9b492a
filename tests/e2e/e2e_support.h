// What the end-to-end tests share: the daemon under test, room for an
// instrumented daemon, waiting for a condition with a deadline, whether a UDP port is taken, a program
// run to its end, and a unit on a simulated board with its radio and USB console.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopnet.h"
#include "pty_link.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "setting_client.h"
#include "sim_board.h"
#include "unit_clock.h"
#include "unit_process.h"

namespace e2e {

// Room for the waits: an instrumented daemon, or one run through an emulator
// ($KOVALAN_E2E_SLOW), is slower and busier.
#ifdef KOVALAN_E2E_SANITIZED
constexpr int SLOW_LEAST = 4;
#else
constexpr int SLOW_LEAST = 1;
#endif
inline const int SLOW =
    std::max(SLOW_LEAST, std::atoi(std::getenv("KOVALAN_E2E_SLOW") ? std::getenv("KOVALAN_E2E_SLOW") : ""));

// The daemon under test: $KOVALAN_BINARY when set (the board's build run
// through qemu-arm by a wrapper), else the one built with these tests.
inline std::string DaemonBinary()
{
    const char* env = std::getenv("KOVALAN_BINARY");
    return env != nullptr && *env != '\0' ? env : KOVALAN_E2E_BINARY;
}

// True once pred holds, polling until timeoutMs passed.
template <typename Pred>
bool Eventually(Pred pred, int timeoutMs = 3000 * SLOW)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// True while something holds UDP port `port` of 127.0.0.1 (a unit binds its peer port on every address).
inline bool PortTaken(int port)
{
    int fd = loopnet::BindUdp(static_cast<uint16_t>(port));
    if (fd >= 0) {
        close(fd);
    }
    return fd < 0;
}

// A program run to its end: how it ended and everything it printed.
struct Finished {
    sim::UnitExit exit;
    std::string output;
    std::vector<sim::UnitLine> lines;
};
inline Finished RunToEnd(const std::string& binary, const std::vector<std::string>& args, int timeoutMs)
{
    sim::UnitProcess p;
    sim::UnitOptions o;
    o.binary = binary;
    o.args = args;
    Finished f;
    if (!p.Start(o)) {
        f.output = p.error();
        return f;
    }
    f.exit = p.WaitExit(timeoutMs);
    p.Kill();
    p.WaitForLine("\x01 no such line", 2000);  // returns once the output has closed
    f.output = p.Output();
    f.lines = p.Lines();
    return f;
}

// One unit: its board, its radio on a pty (dev/ttymxc1), its USB console on another (dev/ttyGS0), its
// process and, when asked for, a tick the test moves. At its end a sanitizer report of the unit (an
// instrumented unit reports on its standard error and runs on) fails the test, and its output is printed
// when the test failed.
class Unit {
   public:
    static constexpr int CODE = 5;  // the unit's radio admits this code

    explicit Unit(std::string name = "unit") : m_name(std::move(name)) { m_table.Admit(CODE); }
    ~Unit()
    {
        Kill();
        for (const char* report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:"}) {
            EXPECT_EQ(Output().find(report), std::string::npos) << m_name << ": " << report;
        }
        if (::testing::Test::HasFailure()) {
            std::fprintf(stderr, "--- %s output ---\n%s-------------------\n", m_name.c_str(), Output().c_str());
        }
    }

    // The ini file: the ports and targets 0, 1, ... at the given addresses.
    void Configure(int rxPort, int txPort, const std::vector<std::string>& targets = {})
    {
        std::string ini = "CommPort=2\nUsbPort=1000\nRxUdpPort=" + std::to_string(rxPort) +
                          "\nTxUdpPort=" + std::to_string(txPort) + "\nProgram=KOVA-LAN\n";
        for (size_t i = 0; i < targets.size(); ++i) {
            ini += "Target" + std::to_string(i) + "=1," + targets[i] + "," + std::string(32, '0') + "\n";
        }
        m_board.WriteFile("/var/local/kovalan.ini", ini);
    }
    // The next Start runs the unit on a tick the test moves (Advance); false when that cannot be had here.
    bool UseMovableClock()
    {
        m_clock = std::make_unique<sim::UnitClock>();
        return m_clock->ok();
    }
    // Starts the process, its options adjusted by `adjust` (a lab member, a namespace of its own), and
    // waits for its timer thread.
    bool Start(const std::function<void(sim::UnitOptions&)>& adjust = {})
    {
        sim::UnitOptions options;
        options.binary = DaemonBinary();
        options.root = m_board.root();
        if (m_clock) {
            m_clock->Apply(&options);
        }
        if (adjust) {
            adjust(options);
        }
        if (!m_process.Start(options) || !m_process.WaitForLine("start timer thread", 5000 * SLOW)) {
            ADD_FAILURE() << m_name << " did not start: " << m_process.error();
            return false;
        }
        return true;
    }
    // Makes the unit ready with a radio that identifies itself and keeps the line alive.
    bool MakeReady()
    {
        m_radio = std::make_unique<sim::RadioSim>(m_radioLink);
        bool ready = m_radio->Identify({}, m_table, 2000 * SLOW) &&
                     m_process.WaitForLine("[I] state ready", 2000 * SLOW).has_value();
        m_radio->StartKeepAlive(1000);
        EXPECT_TRUE(ready) << m_name << " did not become ready";
        return ready;
    }
    bool StartReady(const std::function<void(sim::UnitOptions&)>& adjust = {}) { return Start(adjust) && MakeReady(); }
    void Kill()
    {
        m_radio.reset();
        m_process.Kill();
    }

    // Moves the unit's tick ms on in steps the radio's 10 s silence limit allows; the radio
    // reports before each step, and the unit's timer has ticked on the new time after it.
    bool Advance(int64_t ms)
    {
        constexpr int64_t STEP_MS = 8000;
        auto toRadio = [](const sim::radio::Frame& f) { return f.command == 'C' || f.command == 'P'; };
        for (int64_t left = ms; left > 0;) {
            int64_t step = left > STEP_MS + 1000 ? STEP_MS : left;
            left -= step;
            size_t line = m_process.Lines().size();
            if (!m_radio->SendStatus({}, 'P') || !m_process.WaitForLine("Rx: Status:", 1000 * SLOW, line)) {
                ADD_FAILURE() << m_name << " did not take the radio's report";
                return false;
            }
            m_radio->SetCursor(m_radio->FrameCount());
            m_clock->Advance(step);
            if (!m_radio->WaitFor(toRadio, 1000 * SLOW)) {
                ADD_FAILURE() << m_name << "'s timer did not tick after the clock moved";
                return false;
            }
        }
        return true;
    }

    // A setting command over the USB console; its reply of `lines` lines.
    std::string Ask(const std::string& line, int lines = 1)
    {
        sim::ReplyEnd end;
        end.lines = lines;
        end.timeoutMs = 3000 * SLOW;
        return m_console.Command(line, end).text;
    }
    bool StatusIs(int target, const std::string& word)
    {
        return Eventually([&] { return Ask("status " + std::to_string(target)) == word + "\r\n"; });
    }

    // The radio simulator on the radio port, made at the first use.
    sim::RadioSim& radio()
    {
        if (!m_radio) {
            m_radio = std::make_unique<sim::RadioSim>(m_radioLink);
        }
        return *m_radio;
    }
    void DropRadio() { m_radio.reset(); }
    sim::SimBoard& board() { return m_board; }
    sim::UnitProcess& process() { return m_process; }
    sim::PtyLink& usbLink() { return m_usbLink; }
    sim::SettingClient& console() { return m_console; }
    sim::UnitClock& clock() { return *m_clock; }
    const std::string& name() const { return m_name; }
    std::string Output() const { return m_process.Output(); }

   private:
    std::string m_name;
    sim::radio::CodeTable m_table;
    sim::SimBoard m_board;
    sim::PtyLink m_radioLink{m_board.root(), "ttymxc1"};
    sim::PtyLink m_usbLink{m_board.root(), "ttyGS0"};
    sim::SettingClient m_console{m_usbLink};
    std::unique_ptr<sim::RadioSim> m_radio;
    std::unique_ptr<sim::UnitClock> m_clock;
    sim::UnitProcess m_process;
};

}  // namespace e2e
