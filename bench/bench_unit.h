// bench_unit: what the process benchmarks share to bring a daemon up on a
// simulated board: the process started, a radio on the board's radio cable
// that identifies itself admitting one code, and its keep-alive running.
#pragma once

#include <memory>
#include <string>

#include "pty_link.h"
#include "radio_sim.h"
#include "unit_process.h"

namespace bench {

// Starts binary on root with a radio on link, waits for readyLine, and keeps
// the line alive; null with *why said when a step did not come about.
inline std::unique_ptr<sim::RadioSim> StartWithRadio(sim::UnitProcess& process, sim::PtyLink& link,
                                                     const std::string& binary, const std::string& root, int code,
                                                     const std::string& readyLine, std::string* why)
{
    sim::UnitOptions options;
    options.binary = binary;
    options.root = root;
    if (!link.plugged() || !process.Start(options)) {
        *why = link.plugged() ? process.error() : link.error();
        return nullptr;
    }
    if (!process.WaitForLine("start timer thread", 5000)) {
        *why = "the unit did not start";
        return nullptr;
    }
    auto radio = std::make_unique<sim::RadioSim>(link);
    sim::radio::CodeTable table;
    table.Admit(code);
    if (!radio->Identify({}, table, 3000) || !process.WaitForLine(readyLine, 5000)) {
        *why = "no \"" + readyLine + "\" from the unit";
        return nullptr;
    }
    radio->StartKeepAlive(1000);
    return radio;
}

}  // namespace bench
