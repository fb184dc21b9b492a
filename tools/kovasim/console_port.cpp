// console_port: see the header. Bytes from the PC wait for room at the
// unit's end (the unit always reads); bytes from the unit that the PC's
// terminal cannot take are dropped.
#include "console_port.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kovasim {

namespace {

constexpr int POLL_MS = 50;
constexpr int ROOM_WAIT_MS = 1000;

}  // namespace

ConsolePort::ConsolePort(sim::PtyLink& unit, const std::string& path) : m_unit(unit)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        m_error = path + " exists and is not a link: choose another path";
        return;
    }
    unlink(path.c_str());
    m_pc = std::make_unique<sim::PtyLink>(path);
    if (!m_pc->plugged()) {
        m_error = m_pc->error();
        return;
    }
    m_thread = std::thread([this] { Relay(); });
}

ConsolePort::~ConsolePort()
{
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void ConsolePort::Relay()
{
    while (!m_stop) {
        pollfd p[2] = {{m_unit.master(), POLLIN, 0}, {m_pc->master(), POLLIN, 0}};
        if (poll(p, 2, POLL_MS) <= 0) {
            continue;
        }
        if ((p[0].revents & POLLIN) != 0) {
            m_pc->Write(m_unit.ReadAvailable(), 0);
        }
        if ((p[1].revents & POLLIN) != 0) {
            m_unit.Write(m_pc->ReadAvailable(), ROOM_WAIT_MS);
        }
        if (((p[0].revents | p[1].revents) & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            poll(nullptr, 0, POLL_MS);  // a pulled cable: wait for the unit to go
        }
    }
}

}  // namespace kovasim
