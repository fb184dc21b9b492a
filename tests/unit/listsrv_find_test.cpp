// How the directory client finds a list server: the list file decoder, the
// table loaded over HTTP or taken from fixed testing addresses, the search
// engine probing several stand-in servers at once by UDP health check or TCP
// connect, and the choice among the servers that answered. Long waits run on
// the test clock. Loopback only.
#include <future>
#include <map>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "listsrv_fixture.h"
#include "listsrv_internal.h"

namespace {

using namespace lsvtest;
using sim::ListBehaviour;
using sim::ListFault;
using sim::ListFileText;
using sim::ListKind;

int Decode(const std::string& text, DWORD* out, int max = LISTSRV_SERVER_MAX)
{
    return ListSrv_DecodeListFile(text.data(), static_cast<int>(text.size()), out, max);
}

TEST(ListSrvListFile, CommentGoodAndOddDigitLinesGiveOneAddressAndOneWarning)
{
    testsupport::DebugCapture capture;
    std::string text = ListFileText().Line("# list servers").Address("10.0.0.1").Line("^4A7").text();
    DWORD addrs[LISTSRV_SERVER_MAX] = {};
    EXPECT_EQ(Decode(text, addrs), 1);
    EXPECT_EQ(addrs[0], Ip(10, 0, 0, 1));
    std::string log = capture.text();
    EXPECT_EQ(Count(log, "[W] invalid list address"), 1);
    EXPECT_TRUE(Has(log, "[W] invalid list address (^4A7)\n"));
    EXPECT_TRUE(Has(log, "listserv[0] addr=10.0.0.1\n"));
}

TEST(ListSrvListFile, TenGoodLinesFillEightEntriesInFileOrderWhateverTheLineEnds)
{
    ListFileText file;
    for (int i = 1; i <= 10; ++i) {
        file.Address("192.168.7." + std::to_string(i));
    }
    for (const char* eol : {"\r\n", "\n", "\r"}) {
        testsupport::DebugCapture capture;
        DWORD addrs[LISTSRV_SERVER_MAX] = {};
        ASSERT_EQ(Decode(file.text(eol), addrs), 8) << "line end " << static_cast<int>(eol[0]);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(addrs[i], Ip(192, 168, 7, i + 1));
        }
    }
}

TEST(ListSrvListFile, KeyLeavesEverySeventeenthByteAndBadTextIsRejected)
{
    testsupport::DebugCapture capture;
    // 20 plain characters: byte 16 meets the key's zero byte.
    std::string text = ListFileText()
                           .Encoded("1.2.3.4ABCDEFGHIJKLM")
                           .Line("^")
                           .Line("^zz")
                           .Address("10.0.0.300")
                           .Address("172.16.0.9")
                           .text();
    DWORD addrs[LISTSRV_SERVER_MAX] = {};
    ASSERT_EQ(Decode(text, addrs), 1);
    EXPECT_EQ(addrs[0], Ip(172, 16, 0, 9));
    std::string log = capture.text();
    EXPECT_TRUE(Has(log, "[W] invalid list address2 (1.2.3.4ABCDEFGHIJKLM)\n"));
    EXPECT_TRUE(Has(log, "[W] invalid list address2 ()\n"));
    EXPECT_TRUE(Has(log, "[W] invalid list address (^zz)\n"));
    EXPECT_TRUE(Has(log, "[W] invalid list address2 (10.0.0.300)\n"));
}

TEST_F(ListSrvTest, ListThreadLoadsTheTableOverHttpAndAFixedAddressSkipsIt)
{
    ListFileText file;
    for (int i = 1; i <= 10; ++i) {
        file.Address("10.9.0." + std::to_string(i));
    }
    ASSERT_TRUE(m_farm.Start(1, file.text()));
    Configure("00042", "");  // no radio ID: the thread stops at WAIT_ID
    ASSERT_TRUE(ListSrv_Start());
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() == LIST_STATE_WAIT_ID; }, 5000));
    DWORD table[LISTSRV_SERVER_MAX] = {};
    ASSERT_EQ(ListSrv_GetServerAdrs(table, LISTSRV_SERVER_MAX), 8);
    EXPECT_EQ(table[7], Ip(10, 9, 0, 8));
    ASSERT_EQ(m_farm[0].RequestCount(ListKind::Http), 1u);
    EXPECT_EQ(m_farm[0].Requests(ListKind::Http)[0].url, "/list.txt");
    ListSrv_Stop();

    ListSrv_SetDbgServAdrs(3, Ip(10, 77, 0, 3));
    ListSrv_SetDbgServAdrs(1, Ip(10, 77, 0, 1));
    ASSERT_TRUE(ListSrv_Start());
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() == LIST_STATE_WAIT_ID; }, 5000));
    ASSERT_EQ(ListSrv_GetServerAdrs(table, LISTSRV_SERVER_MAX), 2);
    EXPECT_EQ(table[0], Ip(10, 77, 0, 1));
    EXPECT_EQ(table[1], Ip(10, 77, 0, 3));
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::Http), 1u);
    std::string log = Log();
    EXPECT_TRUE(Has(log, "dbgserv[3] addr=10.77.0.3\n"));
    EXPECT_EQ(Count(log, "[I] got list server address\n"), 2);
}

TEST_F(ListSrvTest, ErrorPageOrMissingHostGivesTheErrorStateOnceAndNoTable)
{
    ASSERT_TRUE(m_farm.Start(1, ListFileText::Of({"10.0.0.1"})));
    ListBehaviour notFound;
    notFound.fault = ListFault::ErrorCode;
    notFound.code = "404";
    m_farm[0].SetBehaviour(ListKind::Http, notFound);
    Configure();
    ASSERT_TRUE(ListSrv_Start());
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() == LIST_STATE_GET_SERVER_ERR; }, 5000));
    EXPECT_EQ(ListSrv_GetServerAdrs(nullptr, 0), 0);
    // The retry comes after 10 s; on the test clock it comes at once.
    m_farm[0].ClearBehaviours();
    ASSERT_TRUE(WaitForPause(10000));
    WinEmu_AdvanceTicksForTest(10000);
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() >= LIST_STATE_WAIT_ID; }, 5000));
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::Http), 2u);
    std::string log = Log();
    EXPECT_EQ(Count(log, "[W] cannot get list server address\n"), 1);
    EXPECT_TRUE(Has(log, "[W] HttpGetListAdrs() failed\n"));
}

// ---- Search engine -------------------------------------------------------------

class ListSrvSearch : public ListSrvTest {
   protected:
    void Farm(int n)
    {
        ASSERT_TRUE(m_farm.Start(n));
        Configure();
        StartFixed(static_cast<size_t>(n));
    }
    void Delay(size_t server, ListKind kind, ListFault fault, int delayMs)
    {
        ListBehaviour b;
        b.fault = fault;
        b.delayMs = delayMs;
        m_farm[server].SetBehaviour(kind, b);
    }
    std::future<int> SearchAsync(lsv::SEARCH_METHOD method, int port)
    {
        return std::async(std::launch::async, [this, method, port] {
            int n = lsv::SearchServer(&m_search, method, port, 0);
            for (int i = 0; i < m_search.nNumOfWorks; ++i) {
                m_answered[m_search.aWork[i].dwAdrs] = m_search.aWork[i].eSearchState == lsv::SEARCH_CONNECTED;
            }
            lsv::SearchExit(&m_search);
            return n;
        });
    }
    lsv::SEARCH_PARAM m_search{};
    std::map<DWORD, bool> m_answered;
};

TEST_F(ListSrvSearch, AnswersWithinThreeSecondsOfTheFirstCountAndLaterOnesAreNotAwaited)
{
    Farm(3);
    Delay(1, ListKind::HealthCheck, ListFault::None, 400);  // answers about 2.8 s in, on the test clock
    Delay(2, ListKind::HealthCheck, ListFault::Silent, 0);
    auto start = Clock::now();
    auto result = SearchAsync(lsv::SEARCH_METHOD_HEALTH_CHECK, m_farm.udpPort());
    ASSERT_TRUE(WaitForNotedAnswer(m_farm.address(0)));
    WinEmu_AdvanceTicksForTest(2400);
    ASSERT_TRUE(WaitForNotedAnswer(m_farm.address(1)));
    WinEmu_AdvanceTicksForTest(600);
    // The window closes now, not some real time later.
    ASSERT_EQ(result.wait_for(std::chrono::milliseconds(600)), std::future_status::ready);
    EXPECT_EQ(result.get(), 2);
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_TRUE(m_answered[m_farm.address(0)]);
    EXPECT_TRUE(m_answered[m_farm.address(1)]);
    EXPECT_FALSE(m_answered[m_farm.address(2)]);
    // Every probe was the 18-byte form naming the unit's receive port.
    for (size_t i = 0; i < 3; ++i) {
        auto requests = m_farm[i].Requests(ListKind::HealthCheck);
        ASSERT_GE(requests.size(), 1u);
        EXPECT_EQ(requests[0].raw.size(), 18u);
        EXPECT_EQ(requests[0].port, m_receiver->port());
        EXPECT_FALSE(requests[0].hasS);
    }
}

TEST_F(ListSrvSearch, SilentServersAreProbedAgainEveryTwoSecondsAndFailAfterFive)
{
    Farm(2);
    Delay(0, ListKind::HealthCheck, ListFault::Silent, 0);
    Delay(1, ListKind::HealthCheck, ListFault::Silent, 0);
    auto result = SearchAsync(lsv::SEARCH_METHOD_HEALTH_CHECK, m_farm.udpPort());
    ASSERT_TRUE(m_farm[1].WaitForRequests(ListKind::HealthCheck, 1, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::HealthCheck), 1u);
    WinEmu_AdvanceTicksForTest(2000);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::HealthCheck, 2, 3000));
    ASSERT_TRUE(m_farm[1].WaitForRequests(ListKind::HealthCheck, 2, 3000));
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    WinEmu_AdvanceTicksForTest(3100);  // past 4999 ms since the start
    ASSERT_EQ(result.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    std::string log = Log();
    EXPECT_TRUE(Has(log, "[W] 127.0.0.2 health check timeout\n"));
    EXPECT_TRUE(Has(log, "[W] SEARCH_FAILED 2\n"));
}

TEST_F(ListSrvSearch, RefusedConnectionsFailAtOnceAndAnAcceptingServerIsNotKeptWaiting)
{
    Farm(1);
    ListSrv_Stop();
    uint16_t closedPort = loopnet::FreePort(SOCK_STREAM);
    ListSrv_SetDbgServAdrs(0, Ip(127, 0, 0, 5));
    ListSrv_SetDbgServAdrs(1, Ip(127, 0, 0, 6));
    ASSERT_TRUE(ListSrv_Start());
    auto start = Clock::now();
    EXPECT_EQ(SearchAsync(lsv::SEARCH_METHOD_TCP, closedPort).get(), 0);
    EXPECT_LT(MsSince(start), 1000);

    ListSrv_Stop();
    ListSrv_SetDbgServAdrs(0, m_farm.address(0));
    ASSERT_TRUE(ListSrv_Start());
    start = Clock::now();
    EXPECT_EQ(SearchAsync(lsv::SEARCH_METHOD_TCP, m_farm.tcpPort()).get(), 1);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_TRUE(m_answered[m_farm.address(0)]);
    EXPECT_TRUE(WaitUntil([this] { return m_farm[0].Connections() >= 1u; }, 2000));
    EXPECT_EQ(m_farm[0].Connections(), 1u);
    std::string log = Log();
    EXPECT_TRUE(Has(log, "[W] SEARCH_FAILED 2\n"));
    EXPECT_TRUE(Has(log, "connected 127.0.0.1\n"));
}

TEST_F(ListSrvSearch, StopEndsARunningSearchWithinAboutFiftyMilliseconds)
{
    Farm(2);
    Delay(0, ListKind::HealthCheck, ListFault::Silent, 0);
    Delay(1, ListKind::HealthCheck, ListFault::Silent, 0);
    auto result = SearchAsync(lsv::SEARCH_METHOD_HEALTH_CHECK, m_farm.udpPort());
    ASSERT_TRUE(m_farm[1].WaitForRequests(ListKind::HealthCheck, 1, 3000));
    auto start = Clock::now();
    ListSrv_Stop();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_LT(MsSince(start), 300);
    EXPECT_EQ(result.get(), 0);
    EXPECT_TRUE(Has(Log(), "[W] SearchServer() canceled\n"));
}

// The list thread's search: one server answers properly, one misbehaves in
// one way or another and is the preferred server (so counting its answer
// would always choose it), the third is silent.
TEST_F(ListSrvTest, ListThreadChoosesTheServerThatAnswersProperlyWhateverTheOthersSend)
{
    ASSERT_TRUE(m_farm.Start(3));
    Configure();
    for (size_t i = 0; i < 3; ++i) {
        ListSrv_SetDbgServAdrs(static_cast<int>(i), m_farm.address(i));
    }
    struct Round {
        ListFault fault;
        int delayMs;
        const char* rejected;  // what the module says about it, if it sees it at all
    };
    const Round rounds[] = {
        {ListFault::Silent, 0, nullptr},
        {ListFault::WrongLetter, 0, "[W] invalid port check length 22\n"},  // "$P": the port check handler's
        {ListFault::BadDigits, 0, "[W] invalid response code\n"},
        {ListFault::ShortRecord, 0, "[W] invalid health check length 21\n"},
        {ListFault::LoneLf, 0, nullptr},  // "\n" alone is no list server answer for the receiver
        // Late: after the window for further answers. Last, so that its answer
        // cannot fall into another round's search.
        {ListFault::None, 800, nullptr},
    };
    ListBehaviour silent;
    silent.fault = ListFault::Silent;
    int nRound = 0;
    for (const Round& r : rounds) {
        SCOPED_TRACE("round " + std::to_string(nRound));
        const size_t good = static_cast<size_t>(nRound) % 3;
        const size_t bad = (good + 1) % 3;
        for (size_t i = 0; i < 3; ++i) {
            m_farm[i].ClearBehaviours();
            m_farm[i].ClearRequests();
        }
        ListBehaviour b;
        b.fault = r.fault;
        b.delayMs = r.delayMs;
        m_farm[bad].SetBehaviour(ListKind::HealthCheck, b);
        m_farm[(good + 2) % 3].SetBehaviour(ListKind::HealthCheck, silent);
        ListSrv_SetDbgPrimaryIP(m_farm.address(bad));
        const int lines = DetectLines(m_farm.address(good));
        ASSERT_TRUE(ListSrv_Start());
        ASSERT_TRUE(WaitForNotedAnswer(m_farm.address(good), lines));
        WinEmu_AdvanceTicksForTest(3000);  // the window for further answers closes
        ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() >= LIST_STATE_READY; }, 3000));
        EXPECT_EQ(ListSrv_GetCurrentIP(), m_farm.address(good));
        ListSrv_Stop();
        ++nRound;
    }
    std::string log = Log();
    for (const Round& r : rounds) {
        if (r.rejected != nullptr) {
            EXPECT_TRUE(Has(log, r.rejected)) << r.rejected;
        }
    }
}

// ---- Choice ------------------------------------------------------------------------

lsv::SEARCH_PARAM Answered(const std::vector<std::pair<DWORD, bool>>& servers)
{
    lsv::SEARCH_PARAM p{};
    for (const auto& [addr, answered] : servers) {
        lsv::SEARCH_WORK& w = p.aWork[p.nNumOfWorks++];
        w.bUsed = TRUE;
        w.dwAdrs = addr;
        w.eSearchState = answered ? lsv::SEARCH_CONNECTED : lsv::SEARCH_FAILED;
    }
    return p;
}

TEST_F(ListSrvTest, PreferredServerIsAlwaysChosenOtherwiseEachAnsweredOneEquallyOften)
{
    const DWORD a = Ip(10, 0, 0, 1), b = Ip(10, 0, 0, 2), c = Ip(10, 0, 0, 3), d = Ip(10, 0, 0, 4);
    lsv::SEARCH_PARAM p = Answered({{a, true}, {b, false}, {c, true}, {d, true}});
    ListSrv_SetDbgPrimaryIP(c);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(lsv::SelectServer(&p, 3)->dwAdrs, c);
    }
    ListSrv_SetDbgPrimaryIP(b);  // preferred, but it did not answer: an ordinary draw
    std::random_device device;
    const DWORD seed = device();
    SCOPED_TRACE("seed " + std::to_string(seed));
    constexpr int kDraws = 6000;
    std::map<DWORD, int> chosen;
    for (int i = 0; i < kDraws; ++i) {
        if (i % 1000 == 0) {
            ListSrv_SetSeed(seed + static_cast<DWORD>(i));
        }
        lsv::SEARCH_WORK* w = lsv::SelectServer(&p, 3);
        ASSERT_NE(w, nullptr);
        ++chosen[w->dwAdrs];
    }
    EXPECT_EQ(chosen.count(b), 0u);
    for (DWORD addr : {a, c, d}) {
        EXPECT_NEAR(chosen[addr], kDraws / 3, 250) << std::hex << addr;  // about 7 standard deviations
    }
    lsv::SEARCH_PARAM none = Answered({{a, false}});
    EXPECT_EQ(lsv::SelectServer(&none, 0), nullptr);
}

}  // namespace
