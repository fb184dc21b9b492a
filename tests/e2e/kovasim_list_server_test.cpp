// `kovasim list-server` as a process: the farm's servers listen on
// 127.0.0.1-N on the ports asked for, the first serves a list file that names
// every server (read back with the harness's own decoder), a repeater given
// on the command line is in the directory, and SIGTERM stops the farm with
// exit 0. (Its command line is checked in process: tests/tools/kovasim_test.)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "list_server_sim.h"
#include "loopnet.h"
#include "unit_process.h"

namespace {

using e2e::SLOW;

// A TCP connection to address:port succeeds.
bool Accepts(const std::string& address, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    return ok;
}

// The plain text of every encoded line of an HTTP answer's body.
std::vector<std::string> ListedAddresses(const std::string& answer)
{
    std::vector<std::string> listed;
    std::istringstream body(answer.substr(answer.find("\r\n\r\n") + 4));
    for (std::string line; std::getline(body, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (auto plain = sim::ListFileText::DecodeLine(line)) {
            listed.push_back(*plain);
        }
    }
    return listed;
}

TEST(KovasimListServer, FarmListensOnEveryAddressServesItsListFileAndStopsOnSigterm)
{
    uint16_t tcp = loopnet::FreePort(SOCK_STREAM);
    uint16_t udp = loopnet::FreePort(SOCK_DGRAM);
    uint16_t http = loopnet::FreePort(SOCK_STREAM);
    ASSERT_NE(tcp, http);
    sim::UnitProcess farm;
    sim::UnitOptions o;
    o.binary = KOVASIM_E2E_BINARY;
    o.args = {"list-server", "--servers", "3",   "--tcp-port",      std::to_string(tcp), "--udp-port",
              std::to_string(udp), "--http-port", std::to_string(http), "--url", "/servers.txt", "--repeater",
              "10001,R0042,JA7KOV"};
    ASSERT_TRUE(farm.Start(o)) << farm.error();
    ASSERT_TRUE(farm.WaitForLine("try: kovadir", 5000 * SLOW)) << farm.Output();
    for (const char* address : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
        EXPECT_TRUE(Accepts(address, tcp)) << address;
    }
    EXPECT_FALSE(Accepts("127.0.0.4", tcp));

    int fd = loopnet::ConnectTcp(http);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(loopnet::WriteAll(fd, "GET /servers.txt HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"));
    std::string answer = loopnet::ReadFor(fd, 1 << 16, 2000 * SLOW);
    close(fd);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    EXPECT_EQ(ListedAddresses(answer), (std::vector<std::string>{"127.0.0.1", "127.0.0.2", "127.0.0.3"}));

    // A search by call sign finds the repeater given on the command line.
    fd = loopnet::ConnectTcp(tcp);
    ASSERT_GE(fd, 0);
    // Requester's server ID and radio ID, key letter, the 40-character text.
    std::string search = "#S10002R0001C" + std::string("JA") + std::string(38, ' ') + "\n";
    ASSERT_TRUE(loopnet::WriteAll(fd, search));
    std::string reply = loopnet::ReadFor(fd, 6 + 127 + 1, 2000 * SLOW);
    close(fd);
    EXPECT_EQ(reply.substr(0, 6), "$S0000");
    EXPECT_NE(reply.find("10001R0042"), std::string::npos) << reply;
    EXPECT_TRUE(farm.WaitForLine("SEARCH", 2000 * SLOW)) << "the request is printed";

    sim::UnitExit exit = farm.Stop(SIGTERM, 3000 * SLOW);
    EXPECT_TRUE(exit.exited && exit.status == 0) << farm.Output();
    EXPECT_TRUE(farm.WaitForLine("list servers stopped", 2000 * SLOW)) << farm.Output();  // output may lag the exit
}

}  // namespace
