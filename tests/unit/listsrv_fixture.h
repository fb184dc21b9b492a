// Shared ground of the directory client's tests: the module brought up and down
// around each test with its output captured, stand-in list servers, and the
// unit core's UDP receiver. Loopback only.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
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

using sim::ListBehaviour;
using sim::ListFault;
using sim::ListFileText;
using sim::ListKind;
using testsupport::CountOf;
using testsupport::WaitForPause;
using testsupport::WaitUntil;

// The deadline only keeps a faulty build from hanging.
template <class Future>
bool Ends(Future& result)
{
    return result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

// A port as the requests carry it: five digits, zero-padded.
inline std::string Port5(unsigned port)
{
    std::string digits = std::to_string(port);
    return std::string(digits.size() < 5 ? 5 - digits.size() : 0, '0') + digits;
}

inline bool StateAtLeast(LIST_STATE s)
{
    return ListSrv_GetListState() >= s;
}

constexpr DWORD Ip(int a, int b, int c, int d)
{
    return static_cast<DWORD>(a) << 24 | static_cast<DWORD>(b) << 16 | static_cast<DWORD>(c) << 8 | d;
}

// Sockets of this process bound to a UDP port, from the kernel's table.
inline int UdpSocketsOnPort(uint16_t port)
{
    std::ifstream in("/proc/self/net/udp");
    std::string line, slot, local;
    char needle[8];
    std::snprintf(needle, sizeof(needle), ":%04X ", port);
    int n = 0;
    while (std::getline(in, line)) {
        std::istringstream(line) >> slot >> local;
        n += (local + " ").find(needle) != std::string::npos ? 1 : 0;
    }
    return n;
}

// Receives on 127.0.0.1:port() and passes list server answers to the module.
struct UnitReceiver {
    int fd = loopnet::BindUdp(0);
    uint16_t port = loopnet::LocalPort(fd);
    std::atomic<bool> stop{false};
    std::atomic<int> portAnswers{0};
    std::thread thread{[this] {
        while (!stop) {
            pollfd pfd{fd, POLLIN, 0};
            BYTE buf[2048];
            sockaddr_in from{};
            socklen_t len = sizeof(from);
            auto* addr = reinterpret_cast<sockaddr*>(&from);
            ssize_t n = poll(&pfd, 1, 20) <= 0 ? 0 : recvfrom(fd, buf, sizeof(buf), 0, addr, &len);
            if (n >= 18 && buf[16] == '$' && buf[17] == 'H') {
                ListSrv_OnRxHealthCheck(buf, static_cast<int>(n), ntohl(from.sin_addr.s_addr));
            } else if (n >= 18 && buf[16] == '$' && buf[17] == 'P') {
                ListSrv_OnRxPortCheck(buf, static_cast<int>(n), ntohl(from.sin_addr.s_addr), port);
                ++portAnswers;
            }
        }
    }};
    ~UnitReceiver()
    {
        stop = true;
        thread.join();
        close(fd);
    }
};

// n list servers on 127.0.0.1 .. 127.0.0.n sharing the first one's ports; the
// first serves the list file.
class ServerFarm {
   public:
    bool Start(int n, const std::string& listFile = std::string())
    {
        for (int i = 0; i < n; ++i) {
            const sim::ListServerConfig config{.address = "127.0.0." + std::to_string(i + 1),
                                               .tcpPort = i > 0 ? tcpPort() : uint16_t{0},
                                               .udpPort = i > 0 ? udpPort() : uint16_t{0},
                                               .http = i == 0,
                                               .listFile = listFile,
                                               .nextServId = 10001 + 100 * static_cast<unsigned>(i),
                                               .lastUpdate = "20240102030405"};
            if (!m_servers.emplace_back(std::make_unique<sim::ListServerSim>(config))->Start()) {
                ADD_FAILURE() << "list server " << i << ": " << m_servers.back()->why();
                return false;
            }
        }
        return true;
    }
    void Stop() { m_servers.clear(); }
    void SetAll(ListKind kind, const ListBehaviour& behaviour)
    {
        for (auto& s : m_servers) {
            s->SetBehaviour(kind, behaviour);
        }
    }
    size_t Total(ListKind kind)
    {
        size_t n = 0;
        for (auto& s : m_servers) {
            n += s->RequestCount(kind);
        }
        return n;
    }
    sim::ListServerSim& operator[](size_t i) { return *m_servers[i]; }
    size_t size() const { return m_servers.size(); }
    uint16_t tcpPort() const { return m_servers[0]->tcpPort(); }
    uint16_t udpPort() const { return m_servers[0]->udpPort(); }
    DWORD address(size_t i) const { return m_servers[i]->addressValue(); }
    int IndexOf(DWORD addr) const
    {
        auto it = std::find_if(m_servers.begin(), m_servers.end(), [=](auto& s) { return s->addressValue() == addr; });
        return it == m_servers.end() ? -1 : static_cast<int>(it - m_servers.begin());
    }

   private:
    std::vector<std::unique_ptr<sim::ListServerSim>> m_servers;
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
        ListSrv_SetCallback(
            [](unsigned uEvent, LPVOID pParam) { ++(*static_cast<std::array<std::atomic<int>, 4>*>(pParam))[uEvent]; },
            &m_events);
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

    void Configure(const char* servId = "00042", const char* radioId = "R0042")
    {
        m_receiver = std::make_unique<UnitReceiver>();
        ListSrv_SetHostName("127.0.0.1");
        ListSrv_SetHostUrl("/list.txt");
        if (m_farm.size() > 0) {
            ListSrv_SetHttpPort(m_farm[0].httpPort());
            ListSrv_SetTcpPort(m_farm.tcpPort());
            ListSrv_SetTxUdpPort(m_farm.udpPort());
        }
        ListSrv_SetRxUdpPort(m_receiver->port);
        SetServID(servId);
        ListSrv_SetRadioID(radioId);
    }

    static void SetServID(const char* servId)
    {
        ListSrv_Lock();
        ListSrv_SetServID(servId);
        ListSrv_Unlock();
    }

    // Starts n stand-in servers as the table, without the list thread.
    void StartFixed(int n)
    {
        ASSERT_TRUE(m_farm.Start(n));
        Configure();
        ListSrv_DisableThread(TRUE);
        for (int i = 0; i < n; ++i) {
            ListSrv_SetDbgServAdrs(i, m_farm.address(static_cast<size_t>(i)));
        }
        ASSERT_TRUE(ListSrv_Start());
    }

    int Events(unsigned uEvent) const { return m_events[uEvent].load(); }

    std::string Log() { return m_tap->Text(); }

    // Waits until a search has noted the first answer of the server at addr
    // (each answer prints its line twice: counted, then noted).
    bool WaitForNotedAnswer(DWORD addr)
    {
        char line[64];
        std::snprintf(line, sizeof(line), "health check detect %u.%u.%u.%u\n", addr >> 24, (addr >> 16) & 0xFF,
                      (addr >> 8) & 0xFF, addr & 0xFF);
        return m_tap->WaitForCount(line, 2, std::chrono::milliseconds(3000));
    }

    ServerFarm m_farm;
    std::unique_ptr<UnitReceiver> m_receiver;
    std::array<std::atomic<int>, 4> m_events{};
    std::optional<testsupport::StdoutTap> m_tap;
};

}  // namespace lsvtest
