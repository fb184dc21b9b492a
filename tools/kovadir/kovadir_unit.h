// kovadir_unit: the unit's side of the directory client for kovadir. A
// session brings up the socket layer and the directory client with the
// tool's settings, plays the part of the unit core's UDP receiver (a socket
// on the unit's receive port whose list server answers it hands to the
// client) and takes everything down again in reverse order.
//
// Threads: the caller's, and the session's receiver thread, which only hands
// datagrams to the client's receive handlers. One session at a time in a
// process: the directory client's state is process-wide.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "listsrv.h"
#include "sockutil.h"

struct DirSettings {
    std::string host;  // the list file's host (dotted address or name); empty: fixed servers
    int httpPort = 80;
    std::string path;            // the list file's path on that host
    std::vector<DWORD> servers;  // fixed list server addresses instead of the list file
    DWORD prefer = 0;            // the server to choose whenever it answers (0: none)
    int tcpPort = 0;             // the list servers' TCP port
    int udpPort = 0;             // the list servers' UDP port
    int rxPort = 0;              // the unit's receive UDP port (0: any free port)
    std::string servId;          // the unit's server ID given to the client (empty: none)
    std::string radioId;         // the unit's radio ID given to the client (empty: none)
    bool verbose = false;        // the client's trace lines on standard output
};

class DirSession {
   public:
    DirSession() = default;
    ~DirSession() { Stop(); }
    DirSession(const DirSession&) = delete;
    DirSession& operator=(const DirSession&) = delete;

    // Brings everything up and starts the client; false with the reason.
    bool Start(const DirSettings& settings, std::string* why);
    // Stops the client and the receiver and takes everything down; safe to call twice.
    void Stop();
    // The receive port in use.
    int rxPort() const { return m_nRxPort; }
    // Waits until the list thread's state is at least want, within timeoutMs
    // of real time; false with the reason when an error state comes first or
    // the time runs out.
    bool WaitForState(LIST_STATE want, int timeoutMs, std::string* why) const;
    // Waits until the client is online, within timeoutMs of real time, sitting
    // out its error states (it retries them itself); the state it is in then.
    LIST_STATE WaitForOnline(int timeoutMs) const;
    // What the client is doing in a state, in words, for this session's settings.
    std::string StateText(LIST_STATE state) const;

   private:
    void ReceiveLoop();
    std::string ListFileText() const;

    DirSettings m_settings;
    bool m_bUp = false;
    bool m_bDebug = false;
    NPSOCK_PARAM m_pSock = nullptr;
    int m_nRxPort = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_receiver;
};

// The name of a list state, as the docs and the tool's messages use it.
const char* DirStateName(LIST_STATE state);
// "a.b.c.d" of an address held first octet in the top byte.
std::string DirDotted(DWORD dwAdrs);
