// pty_link: a serial cable into a simulated board. A pseudo-terminal pair in
// raw mode whose slave is linked into a board root as dev/<name> (ttymxc0,
// ttyGS0, ...); the test talks through the master. Pulling the cable closes
// the pair (the daemon's reads on it fail) and removes the link, so nothing
// can open a stale or reused terminal; plugging it back makes a new pair and
// links it again. Written on plain POSIX calls, independent of the daemon.
//
// Threads: one test thread drives a link; reads and writes may run on two
// threads at once (they touch the master descriptor only).
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class PtyLink {
public:
    // Makes the pair and links it as root/dev/deviceName (dev is created).
    PtyLink(const std::string& root, const std::string& deviceName);
    // Makes the pair and links it at linkPath, whose folder must exist.
    explicit PtyLink(const std::string& linkPath);
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // True while a pair is plugged in; error() says why not.
    bool plugged() const { return m_master >= 0; }
    const std::string& error() const { return m_error; }
    // The link below the root and the terminal it names.
    const std::string& linkPath() const { return m_linkPath; }
    const std::string& slavePath() const { return m_slavePath; }
    int master() const { return m_master; }

    // Writes every byte within timeoutMs; false if that did not happen.
    bool Write(const void* data, size_t length, int timeoutMs = 5000);
    bool Write(const std::string& text, int timeoutMs = 5000);
    bool Write(const std::vector<uint8_t>& bytes, int timeoutMs = 5000);
    // Reads until count bytes came or timeoutMs passed; what came.
    std::vector<uint8_t> ReadExactly(size_t count, int timeoutMs);
    // Waits up to waitMs for a first byte, then takes whatever is there.
    std::vector<uint8_t> ReadAvailable(int waitMs = 0);

    // The slave's terminal attributes as the daemon left them.
    bool SlaveAttributes(termios* attr) const;
    // Bytes written by the test that no reader of the slave has taken yet.
    size_t SlaveInputPending() const;

    // Closes the pair and removes the link.
    void Pull();
    // A new pair linked at the same place; false (see error()) on failure.
    bool Plug();

private:
    void Close();

    std::string m_linkPath;
    std::string m_slavePath;
    std::string m_error;
    int m_master = -1;
    int m_slave = -1;  // kept open so the master never sees the slave side gone
};

}  // namespace sim
