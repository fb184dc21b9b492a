// Shared ground of the directory client's tests (listsrv_*_test.cpp): a
// fixture that brings the socket layer and the module up and down around each
// test and captures the debug output, a farm of stand-in list servers on
// 127.0.0.1, 127.0.0.2, ... sharing their ports, and a receiver that plays the
// unit core's part on the UDP side (it owns the unit's main receive port and
// hands list server answers to the module). Loopback only.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "list_server_sim.h"
#include "listsrv.h"
#include "loopnet.h"
#include "sockutil.h"
#include "test_support.h"

namespace lsvtest {

using Clock = std::chrono::steady_clock;

inline bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

inline int Count(const std::string& text, const std::string& part)
{
    return static_cast<int>(testsupport::CountOf(text, part));
}

template <class Cond>
bool WaitUntil(Cond cond, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// True once an asynchronous call has returned; the deadline only keeps a
// faulty build from hanging.
template <class Future>
bool Ends(Future& result)
{
    return result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

// The pauses of 10 s and longer awaited here are the list thread's: nothing
// else in these tests waits that long.
using testsupport::WaitForPause;

constexpr DWORD Ip(int a, int b, int c, int d)
{
    return (static_cast<DWORD>(a) << 24) | (static_cast<DWORD>(b) << 16) | (static_cast<DWORD>(c) << 8) |
           static_cast<DWORD>(d);
}

// Sockets of this process bound to a UDP port, from the kernel's table.
inline int UdpSocketsOnPort(uint16_t port)
{
    std::ifstream in("/proc/self/net/udp");
    std::string line;
    char needle[8];
    std::snprintf(needle, sizeof(needle), ":%04X ", port);
    int n = 0;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        if ((local + " ").find(needle) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

// The unit core's UDP side: receives on 127.0.0.1:port() and passes every
// list server answer to the module, as the unit's receiver would.
class UnitReceiver {
   public:
    UnitReceiver()
    {
        m_fd = loopnet::BindUdp(0);
        m_port = loopnet::LocalPort(m_fd);
        m_thread = std::thread([this] { Loop(); });
    }
    ~UnitReceiver()
    {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    uint16_t port() const { return m_port; }
    int healthAnswers() const { return m_health.load(); }
    int portAnswers() const { return m_portChecks.load(); }

   private:
    void Loop()
    {
        while (!m_stop) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) {
                continue;
            }
            BYTE buf[2048];
            sockaddr_in from{};
            socklen_t len = sizeof(from);
            ssize_t n = recvfrom(m_fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 18 || buf[16] != '$') {
                continue;
            }
            DWORD sender = ntohl(from.sin_addr.s_addr);
            if (buf[17] == 'H') {
                ListSrv_OnRxHealthCheck(buf, static_cast<int>(n), sender);
                ++m_health;
            } else if (buf[17] == 'P') {
                ListSrv_OnRxPortCheck(buf, static_cast<int>(n), sender, m_port);
                ++m_portChecks;
            }
        }
    }

    int m_fd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_health{0};
    std::atomic<int> m_portChecks{0};
    std::thread m_thread;
};

// n list servers on 127.0.0.1 .. 127.0.0.n with the same three ports.
class ServerFarm {
   public:
    bool Start(int n, const std::string& listFile = std::string())
    {
        for (int i = 0; i < n; ++i) {
            sim::ListServerConfig config;
            config.address = "127.0.0." + std::to_string(i + 1);
            config.http = i == 0;
            config.listFile = listFile;
            config.lastUpdate = "20240102030405";
            config.nextServId = 10001 + 100 * static_cast<unsigned>(i);
            if (i > 0) {
                config.tcpPort = m_servers[0]->tcpPort();
                config.udpPort = m_servers[0]->udpPort();
            }
            m_servers.push_back(std::make_unique<sim::ListServerSim>(config));
            if (!m_servers.back()->Start()) {
                ADD_FAILURE() << "list server " << i << ": " << m_servers.back()->why();
                return false;
            }
        }
        return true;
    }
    void Stop()
    {
        for (auto& s : m_servers) {
            s->Stop();
        }
    }
    sim::ListServerSim& operator[](size_t i) { return *m_servers[i]; }
    size_t size() const { return m_servers.size(); }
    int tcpPort() const { return m_servers[0]->tcpPort(); }
    int udpPort() const { return m_servers[0]->udpPort(); }
    int httpPort() const { return m_servers[0]->httpPort(); }
    DWORD address(size_t i) const { return m_servers[i]->addressValue(); }
    // Index of the server with the address, -1 if none.
    int IndexOf(DWORD addr) const
    {
        for (size_t i = 0; i < m_servers.size(); ++i) {
            if (m_servers[i]->addressValue() == addr) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

   private:
    std::vector<std::unique_ptr<sim::ListServerSim>> m_servers;
};

// Events raised by the module, in order.
class EventLog {
   public:
    static void Callback(unsigned uEvent, LPVOID pParam)
    {
        EventLog* self = static_cast<EventLog*>(pParam);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_events.push_back(uEvent);
    }
    int count(unsigned uEvent) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (unsigned e : m_events) {
            n += e == uEvent ? 1 : 0;
        }
        return n;
    }

   private:
    mutable std::mutex m_mutex;
    std::vector<unsigned> m_events;
};

class ListSrvTest : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { WinEmu_Init(); }

    void SetUp() override
    {
        Sock_Construct();
        ASSERT_TRUE(Sock_Init());
        m_tap.emplace();
        ListSrv_Construct();
        ASSERT_TRUE(ListSrv_Init());
        ListSrv_SetCallback(EventLog::Callback, &m_events);
    }

    void TearDown() override
    {
        ListSrv_Stop();
        m_receiver.reset();
        m_farm.Stop();
        ListSrv_Destruct();
        m_tap.reset();  // shows the module's output when the test failed
        Sock_Destruct();
    }

    // The module's settings for the farm and a unit receiving on m_receiver.
    void Configure(const char* servId = "00042", const char* radioId = "R0042")
    {
        if (!m_receiver) {
            m_receiver = std::make_unique<UnitReceiver>();
        }
        ListSrv_SetHostName("127.0.0.1");
        ListSrv_SetHostUrl("/list.txt");
        if (m_farm.size() > 0) {
            ListSrv_SetHttpPort(m_farm.httpPort());
            ListSrv_SetTcpPort(m_farm.tcpPort());
            ListSrv_SetTxUdpPort(m_farm.udpPort());
        }
        ListSrv_SetRxUdpPort(m_receiver->port());
        SetServID(servId);
        ListSrv_SetRadioID(radioId);
    }

    static void SetServID(const char* servId)
    {
        ListSrv_Lock();
        ListSrv_SetServID(servId);
        ListSrv_Unlock();
    }

    // Starts without the list thread; the farm's servers are the table.
    void StartFixed(size_t nServers)
    {
        ListSrv_DisableThread(TRUE);
        for (size_t i = 0; i < nServers; ++i) {
            ListSrv_SetDbgServAdrs(static_cast<int>(i), m_farm.address(i));
        }
        ASSERT_TRUE(ListSrv_Start());
    }

    // Everything printed so far.
    std::string Log()
    {
        return m_tap ? m_tap->Text() : std::string();
    }

    // Lines "health check detect <addr>" printed so far. Each answer gives two:
    // the receiving side's when it counts the answer, then the search's when
    // it notes it.
    int DetectLines(DWORD addr) { return m_tap ? m_tap->Count(NotedAnswerLine(addr)) : 0; }

    // Waits until a search has noted one more answer of the server at addr
    // than when DetectLines gave linesBefore: the point from which a move of
    // the test clock counts for that answer.
    bool WaitForNotedAnswer(DWORD addr, int linesBefore = 0)
    {
        return m_tap && m_tap->WaitForCount(NotedAnswerLine(addr), linesBefore + 2, std::chrono::milliseconds(3000));
    }

    static std::string NotedAnswerLine(DWORD addr)
    {
        char line[64];
        std::snprintf(line, sizeof(line), "health check detect %u.%u.%u.%u\n", addr >> 24, (addr >> 16) & 0xFF,
                      (addr >> 8) & 0xFF, addr & 0xFF);
        return line;
    }

    ServerFarm m_farm;
    std::unique_ptr<UnitReceiver> m_receiver;
    EventLog m_events;
    std::optional<testsupport::StdoutTap> m_tap;
};

}  // namespace lsvtest
