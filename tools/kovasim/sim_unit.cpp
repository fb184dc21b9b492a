// sim_unit: a unit with its radio and console (see sim_unit.h). Tear-down
// runs in reverse: console and radio first (their threads stop), then the
// daemon, then the cables, so nothing reads a descriptor that has gone.
#include "sim_unit.h"

#include <algorithm>
#include <csignal>

#include "pty_link.h"

namespace kovasim {

namespace {

constexpr int START_MS = 5000;   // process start to "start timer thread"
constexpr int ANSWER_MS = 2000;  // each answer of the identification
constexpr int READY_MS = 2000;
constexpr int STOP_MS = 2000;        // the daemon promises one second
constexpr int KEEP_ALIVE_MS = 1000;  // a radio's status report every second
constexpr int QUIET_MS = 300;        // a reply of unknown length ends when the unit falls quiet
// The output closes a moment before the child can be reaped: a unit whose
// output closed is given this long to be seen as ended.
constexpr int EXIT_GRACE_MS = 500;

}  // namespace

std::string DescribeExit(const sim::UnitExit& exit)
{
    if (!exit.exited) {
        return "still running";
    }
    return exit.signal != 0 ? "ended by signal " + std::to_string(exit.signal)
                            : "exit status " + std::to_string(exit.status);
}

bool CleanExit(const sim::UnitExit& exit)
{
    return exit.exited && exit.signal == 0 && exit.status == 0;
}

SimUnit::SimUnit(const SimUnitSetup& setup) : m_setup(setup) {}

SimUnit::~SimUnit()
{
    m_console.reset();
    m_radio.reset();
    if (m_process.running()) {
        m_process.Stop(SIGTERM, STOP_MS * m_setup.slow);
        m_process.Kill();
    }
    m_consoleLink.reset();
    m_radioLink.reset();
}

bool SimUnit::Start(std::string* why)
{
    m_radioLink = std::make_unique<sim::PtyLink>(m_setup.root, m_setup.radioDevice);
    if (!m_radioLink->plugged()) {
        *why = "radio cable: " + m_radioLink->error();
        return false;
    }
    if (!m_setup.consoleDevice.empty()) {
        m_consoleLink = std::make_unique<sim::PtyLink>(m_setup.root, m_setup.consoleDevice);
        if (!m_consoleLink->plugged()) {
            *why = "console cable: " + m_consoleLink->error();
            return false;
        }
        m_console = std::make_unique<sim::SettingClient>(*m_consoleLink);
    }
    m_radio = std::make_unique<sim::RadioSim>(*m_radioLink);
    sim::UnitOptions options;
    options.binary = m_setup.binary;
    options.root = m_setup.root;
    if (!m_process.Start(options)) {
        *why = "cannot start " + m_setup.binary + ": " + m_process.error();
        return false;
    }
    if (!m_process.WaitForLine("start timer thread", START_MS * m_setup.slow)) {
        sim::UnitExit exit = m_process.WaitExit(EXIT_GRACE_MS);
        *why = exit.exited ? "unit " + m_setup.name + " ended during its start (" + DescribeExit(exit) + ")"
                           : "unit " + m_setup.name + " did not start its timer in time";
        return false;
    }
    return true;
}

bool SimUnit::Identify(const sim::radio::CodeTable& table, std::string* why)
{
    if (!m_radio->Identify({}, table, ANSWER_MS * m_setup.slow)) {
        *why = "unit " + m_setup.name + " did not answer its radio's identification";
        return false;
    }
    m_radio->StartKeepAlive(KEEP_ALIVE_MS);
    return true;
}

bool SimUnit::WaitReady(std::string* why)
{
    if (!m_process.WaitForLine("[I] state ready", READY_MS * m_setup.slow)) {
        *why = "unit " + m_setup.name + " did not become ready";
        return false;
    }
    return true;
}

std::optional<std::string> SimUnit::Command(const std::string& line)
{
    if (!m_console) {
        return std::nullopt;
    }
    sim::ReplyEnd end;
    end.lines = 1;
    end.timeoutMs = ANSWER_MS * m_setup.slow;
    sim::SettingReply reply = m_console->Command(line, end);
    if (reply.lines.empty()) {
        return std::nullopt;
    }
    return reply.lines.front();
}

std::vector<std::string> SimUnit::Converse(const std::string& line)
{
    if (!m_console) {
        return {};
    }
    sim::ReplyEnd end;
    end.quietMs = QUIET_MS * m_setup.slow;
    end.timeoutMs = ANSWER_MS * m_setup.slow;
    return m_console->Command(line, end).lines;
}

sim::UnitExit SimUnit::Stop()
{
    if (m_radio) {
        m_radio->StopKeepAlive();
    }
    return m_process.Stop(SIGTERM, STOP_MS * m_setup.slow);
}

std::string SimUnit::OutputTail(size_t count) const
{
    std::vector<sim::UnitLine> lines = m_process.Lines();
    size_t from = lines.size() > count ? lines.size() - count : 0;
    std::string text;
    for (size_t i = from; i < lines.size(); ++i) {
        text += "    " + lines[i].text + "\n";
    }
    return text;
}

}  // namespace kovasim
