// kovadir against stand-in list servers on 127.0.0.1 .. 127.0.0.3 sharing
// their ports, the first also serving the list file. Each command runs the
// directory client in process from start to stop, as the tool on a PC does.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kovadir_cli.h"
#include "listsrv_fixture.h"
#include "winemu.h"

namespace {

using sim::ListBehaviour;
using sim::ListFault;
using sim::ListFileText;
using sim::ListKind;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome Kovadir(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    const int status = KovadirMain(args, out, err);
    return {status, out.str(), err.str()};
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Moves the test clock on five times as fast as real time while it lives.
class FastClock {
   public:
    FastClock()
    {
        m_thread = std::thread([this] {
            while (!m_stop) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                WinEmu_AdvanceTicksForTest(80);
            }
        });
    }
    ~FastClock()
    {
        m_stop = true;
        m_thread.join();
    }

   private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Three stand-in servers on 127.0.0.1 .. 127.0.0.3, the first serving the list file naming them all.
class KovadirTest : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_farm.Start(3, ListFileText::Of({"127.0.0.1", "127.0.0.2", "127.0.0.3"})));
    }
    // The options that reach the farm (the list file by --host, --url and --http-port
    // when a url is given), then the command words.
    std::vector<std::string> Args(std::vector<std::string> words, const std::string& servId = "00042",
                                  const std::string& url = "")
    {
        std::vector<std::string> args = {"--tcp-port", std::to_string(m_farm.tcpPort()),
                                         "--udp-port", std::to_string(m_farm.udpPort()),
                                         "--radio-id", "R0042",
                                         "--timeout",  "10"};
        if (url.empty()) {
            args.insert(args.end(), {"--list-url", "http://127.0.0.1:" + HttpPort() + "/list.txt"});
        } else {
            args.insert(args.end(), {"--host", "127.0.0.1", "--url", url, "--http-port", HttpPort()});
        }
        if (!servId.empty()) {
            args.insert(args.end(), {"--serv-id", servId});
        }
        args.insert(args.end(), words.begin(), words.end());
        return args;
    }
    std::string HttpPort() { return std::to_string(m_farm[0].httpPort()); }

    const ListBehaviour m_silent{.fault = ListFault::Silent};
    lsvtest::ServerFarm m_farm;
};

TEST(Kovadir, CommandLineErrors)
{
    // A server, both ports and both IDs, as a search needs.
    const std::string F = "--server 10.0.0.1 --tcp-port 1 --udp-port 2 --radio-id R1 --serv-id 00001";
    const std::pair<std::string, const char*> cases[] = {
        {"", "no command given"},
        {"--server 10.0.0.1 frobnicate", "unknown command frobnicate"},
        {"--server 10.0.0.1 --tcp-port 1 servers", "servers needs --udp-port N"},
        {"--tcp-port 1 --udp-port 2 servers", "give --host H [--url U], --list-url URL or --server ADDR"},
        {"--host 10.0.0.1 --list-url http://x/y --udp-port 2 status",
         "--list-url excludes --host, --url and --http-port"},
        {"--server 10.0.0.1 --http-port 8080 --udp-port 2 status", "--server excludes --host, --url and --http-port"},
        {"--url /list.txt --udp-port 2 status", "--url and --http-port need --host H"},
        {"--host 10.0.0.1:80 --udp-port 2 status", "--host takes a host name or address only"},
        {"--host 10.0.0.1 --url list.txt --udp-port 2 status", "--url takes the list file's path"},
        {"--server 10.0.0.1 --tcp-port 1 --radio-id R1 regist", "regist needs --callsign CALL"},
        {F + " search town X", "search KEY: callsign, servid, radioid, city, state or country, not town"},
        {F + " --by city search city X", "give the key once"},
        {"--list-url ftp://x/y --tcp-port 1 --udp-port 2 servers", "must begin with http://"},
        {"--server 10.0.0.300 servers", "not an IPv4 address: 10.0.0.300"},
        {"--server 10.0.0.1 --tcp-port 70000 servers", "bad port 70000"},
        {"--server 10.0.0.1 --tcp-port 1 register --callsign JA7KOV", "register needs --radio-id"},
        {"--server 10.0.0.1 --tcp-port 1 --radio-id R1 register --callsign ABCDEFGHIJK",
         "--callsign: at most 10 characters"},
        {F + " search --city X JA", "--city is an option of register"},
        {"--server 10.0.0.1 --serv-id 42 online", "a server ID is five digits"},
        {"--server 10.0.0.1 search", "search needs a TEXT"},
        {"--server 10.0.0.1 --udp-port 2 --radio-id R1 portcheck 1 2", "portcheck: too many operands"},
        {"--server 10.0.0.1 --tcp-port", "--tcp-port needs a value"},
    };
    for (const auto& [line, message] : cases) {
        std::vector<std::string> args;
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            args.push_back(word);
        }
        Outcome r = Kovadir(args);
        EXPECT_EQ(r.status, KOVADIR_EXIT_USAGE) << message;
        EXPECT_TRUE(Has(r.err, message)) << r.err;
        EXPECT_TRUE(Has(r.err, "Try 'kovadir --help'.")) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(KovadirTest, ServersRanksHealthCheckAnswersFirstTcpOnlyServersAfterAndFailsWhenNoneAnswers)
{
    m_farm[1].SetBehaviour(ListKind::HealthCheck, m_silent);
    FastClock clock;
    Outcome r = Kovadir(Args({"servers"}));
    ASSERT_EQ(r.status, KOVADIR_EXIT_OK) << r.err;
    EXPECT_EQ(r.out.rfind("RANK", 0), 0u) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
    // 127.0.0.2 answers only the TCP connect: ranked after the other two.
    const size_t last = r.out.find("\n3     127.0.0.2        no answer     ");
    ASSERT_NE(last, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("no answer"), last + 24) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 4), " ms\n");
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::Http), 1u);

    // Nothing listens on 127.0.0.9: the health checks go unanswered and the connect is refused.
    r = Kovadir({"--server", "127.0.0.9", "--tcp-port", std::to_string(m_farm.tcpPort()), "--udp-port",
                 std::to_string(m_farm.udpPort()), "servers"});
    EXPECT_EQ(r.status, KOVADIR_EXIT_UNREACHABLE);
    EXPECT_TRUE(Has(r.out, "-     127.0.0.9        no answer     no answer\n")) << r.out;
    EXPECT_TRUE(Has(r.err, "kovadir: servers: none of the 1 list servers answered")) << r.err;
}

TEST_F(KovadirTest, RegisteredRepeaterIsFoundBySearchAndList)
{
    const std::string prefer = "127.0.0.2";  // every command talks to the same directory
    Outcome reg = Kovadir(Args({"--prefer", prefer, "register", "--callsign", "JA7KOV", "--city", "Sendai", "--country",
                                "JPN", "--sc-table", "A5000000000000000000000000000001"},
                               ""));  // a first registration
    EXPECT_EQ(reg.out, "list server   127.0.0.2\nserver ID     10101\nlast update   20240102030405\n") << reg.err;
    auto entry = m_farm[1].Find("10101");
    EXPECT_EQ(entry ? entry->scTable[0] + entry->scTable[15] : 0, 0xA6);

    // The key as the first operand; one operand alone is the text, searched by call sign.
    std::string found;
    for (auto words : {std::vector<std::string>{"search", "--by", "city", "send"}, {"search", "country", "jp"},
                       {"search", "country"}}) {
        words.insert(words.begin(), {"--prefer", prefer});
        found += Kovadir(Args(words, "10101")).out;
    }
    const std::string hit =
        "SERVID RADIO CALLSIGN   ADDRESS         PLACE\n10101  R0042 JA7KOV     127.0.0.1       Sendai, JPN\n"
        "1 repeater found\n";
    EXPECT_EQ(found, hit + hit + "0 repeaters found\n");
    std::string sent;
    for (const auto& req : m_farm[1].Requests(ListKind::Search)) {
        sent += req.searchKind + (" " + req.searchKey + " " + req.servId + "\n");
    }
    EXPECT_EQ(sent, "T send 10101\nN jp 10101\nC country 10101\n");

    // Renewing the registration under its ID keeps the ID.
    Outcome renew = Kovadir(Args({"--prefer", prefer, "--callsign", "JA7NEW", "regist"}, "10101"));
    EXPECT_EQ(renew.out, "list server   127.0.0.2\nserver ID     10101\nlast update   20240102030405\n") << renew.err;
    EXPECT_EQ(m_farm[1].Find("10101")->callSign, "JA7NEW");

    Outcome list = Kovadir(Args({"--prefer", prefer, "list", "R0042", "77777"}, "10101"));
    EXPECT_EQ(list.out,
              "RADIO SERVID CALLSIGN   ADDRESS         LAST UPDATE    PLACE\n"
              "R0042 10101  JA7NEW     127.0.0.1       20240102030405\n77777 -      (not in the directory)\n")
        << list.err;
}

TEST_F(KovadirTest, RefusedRegistrationExitsOneAndMissingListFileTwoWithTheReason)
{
    m_farm.SetAll(ListKind::Regist, {.fault = ListFault::ErrorCode, .code = "0102"});
    Outcome reg = Kovadir(Args({"register", "--callsign", "JA7KOV"}));
    EXPECT_EQ(reg.status, KOVADIR_EXIT_FAILURE);
    EXPECT_TRUE(Has(reg.err, "kovadir: register: the list server refused it with code 0102 (code 0102)")) << reg.err;

    m_farm[0].SetBehaviour(ListKind::Http, {.fault = ListFault::ErrorCode, .code = "404"});
    Outcome servers = Kovadir(Args({"servers"}));
    EXPECT_EQ(servers.status, KOVADIR_EXIT_UNREACHABLE);
    EXPECT_TRUE(Has(servers.err, "kovadir: servers: no list server address from http://127.0.0.1:")) << servers.err;
    EXPECT_EQ(servers.out, "");
}

TEST_F(KovadirTest, PortCheckAndOnlineReportWhatTheServersSaw)
{
    Outcome check = Kovadir(Args({"portcheck"}));
    ASSERT_EQ(check.status, KOVADIR_EXIT_OK) << check.err;
    EXPECT_TRUE(Has(check.out, "is reachable from the list servers\n")) << check.out;
    EXPECT_EQ(m_farm[2].RequestCount(ListKind::PortCheck), 1u);

    m_farm.SetAll(ListKind::PortCheck, m_silent);
    {
        FastClock clock;
        Outcome unreachable = Kovadir(Args({"portcheck"}));
        EXPECT_EQ(unreachable.status, KOVADIR_EXIT_FAILURE);
        EXPECT_TRUE(Has(unreachable.err, "kovadir: portcheck of UDP port ")) << unreachable.err;
        EXPECT_TRUE(Has(unreachable.err, "(code 8000)")) << unreachable.err;
    }

    FastClock clock;  // the first periodic health check goes out a second after the choice
    Outcome online = Kovadir(Args({"--prefer", "127.0.0.3", "online"}));
    ASSERT_EQ(online.status, KOVADIR_EXIT_OK) << online.err;
    EXPECT_EQ(online.out, "online at list server 127.0.0.3; this unit is seen as 127.0.0.1\n");
}

TEST_F(KovadirTest, StatusOverHostUrlAndHttpPortWithCallsignReportsTheServerOnceOnline)
{
    FastClock clock;
    Outcome r = Kovadir(Args({"--prefer", "127.0.0.3", "--callsign", "JA7KOV", "status"}, "00042", "/list.txt"));
    ASSERT_EQ(r.status, KOVADIR_EXIT_OK) << r.err << r.out;
    EXPECT_EQ(r.out, "online at list server 127.0.0.3; this unit is seen as 127.0.0.1\n");
}

TEST_F(KovadirTest, StatusTimingOutNamesWhatTheClientIsDoing)
{
    m_farm.SetAll(ListKind::HealthCheck, m_silent);
    const std::string fullUrl = "http://127.0.0.1:" + HttpPort() + "/list.txt";
    struct Case {
        std::vector<std::string> args;
        std::string line;
        int status;
    };
    const Case cases[] = {
        {Args({"--timeout", "1", "status"}, "", "/list.txt"),
         "not online after 1 s: waiting for the server ID (state WAIT_ID)\n", KOVADIR_EXIT_FAILURE},
        {Args({"--timeout", "2", "status"}), "not online after 2 s: searching for a list server (state SEARCH)\n",
         KOVADIR_EXIT_UNREACHABLE},
        // A full URL goes to the host as it is; this server only knows the path, answers 404.
        {Args({"--timeout", "1", "status"}, "00042", fullUrl),
         "not online after 1 s: no list server address from " + fullUrl + " at 127.0.0.1:" + HttpPort() +
             " (the list file cannot be had or holds none) (state GET_SERVER_ERR)\n",
         KOVADIR_EXIT_UNREACHABLE},
    };
    for (const Case& c : cases) {
        Outcome r = Kovadir(c.args);
        EXPECT_EQ(r.status, c.status) << c.line;
        EXPECT_EQ(r.out, c.line);
        EXPECT_EQ(r.err, "");
    }
    const auto fetches = m_farm[0].Requests(ListKind::Http);
    EXPECT_EQ(fetches.size() == 3 ? fetches[2].url : "", fullUrl);
}

}  // namespace
