// How the directory client finds a list server: the list file, the search
// probing stand-in servers, and the choice. Long waits run on the test clock.
#include <map>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "listsrv_fixture.h"
#include "listsrv_internal.h"

namespace {

using namespace lsvtest;

TEST(ListSrvListFile, BrokenLinesAreReportedAndSkippedAndEightAddressesAreTakenInFileOrder)
{
    ListFileText file;
    file.Line("# list servers")
        .Line("^4A7")                     // odd digit count
        .Encoded("1.2.3.4ABCDEFGHIJKLM")  // byte 16 meets the key's zero byte
        .Line("^")
        .Line("^zz")
        .Address("10.0.0.300");
    for (int i = 1; i <= 10; ++i) {
        file.Address(std::string("192.168.7.").append(std::to_string(i)));
    }
    for (const char* eol : {"\r\n", "\n", "\r"}) {
        SCOPED_TRACE(static_cast<int>(eol[0]));
        testsupport::DebugCapture capture;
        const std::string text = file.text(eol);
        std::vector<DWORD> addrs(LISTSRV_SERVER_MAX + 1);
        ASSERT_EQ(ListSrv_DecodeListFile(text.data(), static_cast<int>(text.size()), addrs.data(), LISTSRV_SERVER_MAX), 8);
        for (int i = 0; i <= LISTSRV_SERVER_MAX; ++i) {
            EXPECT_EQ(addrs[static_cast<size_t>(i)], i < 8 ? Ip(192, 168, 7, i + 1) : 0u) << i;
        }
        const std::string log = capture.text();
        for (const char* warning :
             {"[W] invalid list address (^4A7)\n", "[W] invalid list address2 (1.2.3.4ABCDEFGHIJKLM)\n",
              "[W] invalid list address2 ()\n", "[W] invalid list address (^zz)\n",
              "[W] invalid list address2 (10.0.0.300)\n"}) {
            EXPECT_EQ(CountOf(log, warning), 1u) << warning;
        }
    }
}

TEST_F(ListSrvTest, FixedTestingAddressesReplaceTheListFileInTheirOrder)
{
    ASSERT_TRUE(m_farm.Start(1, ListFileText::Of({"10.9.0.1"})));
    Configure("00042", "");  // no radio ID: the thread stops at WAIT_ID
    ListSrv_SetDbgServAdrs(3, Ip(10, 77, 0, 3));
    ListSrv_SetDbgServAdrs(1, Ip(10, 77, 0, 1));
    ASSERT_TRUE(ListSrv_Start());
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() == LIST_STATE_WAIT_ID; }));
    std::vector<DWORD> table(LISTSRV_SERVER_MAX);
    ASSERT_EQ(ListSrv_GetServerAdrs(table.data(), LISTSRV_SERVER_MAX), 2);
    table.resize(2);
    EXPECT_EQ(table, (std::vector<DWORD>{Ip(10, 77, 0, 1), Ip(10, 77, 0, 3)}));
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::Http), 0u);
}

// The error state logs its line once, when entered: the error page that
// follows the empty file only waits again.
TEST_F(ListSrvTest, EmptyListFileIsFetchedAgainAfterAMinuteAndAnErrorPageAfterTenSeconds)
{
    ASSERT_TRUE(m_farm.Start(1, ListFileText().Line("# no servers today").Line("^").text()));
    Configure();
    ASSERT_TRUE(ListSrv_Start());
    ASSERT_TRUE(WaitForPause(60000));
    EXPECT_EQ(ListSrv_GetListState(), LIST_STATE_GET_SERVER_ERR);
    m_farm[0].SetListFile(ListFileText::Of({"127.0.0.1"}));
    m_farm[0].SetBehaviour(ListKind::Http, ListBehaviour{.fault = ListFault::ErrorCode, .code = "404"});
    WinEmu_AdvanceTicksForTest(60000);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::Http, 2, 5000));
    ASSERT_TRUE(WaitForPause(10000));
    EXPECT_EQ(ListSrv_GetServerAdrs(nullptr, 0), 0);  // a 404 page is no list file
    m_farm[0].ClearBehaviours();
    WinEmu_AdvanceTicksForTest(10000);
    ASSERT_TRUE(WaitUntil([] { return StateAtLeast(LIST_STATE_READY); }));
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::Http), 3u);
    EXPECT_EQ(CountOf(Log(), "[W] no list address found\n"), 1u);
    EXPECT_EQ(CountOf(Log(), "[W] cannot get list server address\n"), 0u);
}

class ListSrvSearch : public ListSrvTest {
   protected:
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
    StartFixed(3);
    m_farm[1].SetBehaviour(ListKind::HealthCheck, ListBehaviour{.delayMs = 400});
    m_farm[2].SetBehaviour(ListKind::HealthCheck, ListBehaviour{.fault = ListFault::Silent});
    auto result = SearchAsync(lsv::SEARCH_METHOD_HEALTH_CHECK, m_farm.udpPort());
    ASSERT_TRUE(WaitForNotedAnswer(m_farm.address(0)));
    WinEmu_AdvanceTicksForTest(2400);
    ASSERT_TRUE(WaitForNotedAnswer(m_farm.address(1)));
    EXPECT_NE(result.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    // Past the window on the test clock: the silent server's probe has 2 s
    // left, so only the window can end the search.
    WinEmu_AdvanceTicksForTest(600);
    ASSERT_TRUE(Ends(result));
    EXPECT_EQ(result.get(), 2);
    EXPECT_EQ(m_answered, (std::map<DWORD, bool>{
                              {m_farm.address(0), true}, {m_farm.address(1), true}, {m_farm.address(2), false}}));
    for (size_t i = 0; i < 3; ++i) {
        auto requests = m_farm[i].Requests(ListKind::HealthCheck);
        ASSERT_GE(requests.size(), 1u);
        EXPECT_EQ(requests[0].raw, "#H" + Port5(m_receiver->port) + "00042R0042\n");
    }
}

TEST_F(ListSrvSearch, SilentServersAreProbedEveryTwoSecondsFailAfterFiveAndAStopEndsTheSearch)
{
    StartFixed(2);
    m_farm.SetAll(ListKind::HealthCheck, {.fault = ListFault::Silent});
    auto result = SearchAsync(lsv::SEARCH_METHOD_HEALTH_CHECK, m_farm.udpPort());
    ASSERT_TRUE(m_farm[1].WaitForRequests(ListKind::HealthCheck, 1, 3000));
    WinEmu_AdvanceTicksForTest(2000);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::HealthCheck, 2, 3000));
    ASSERT_TRUE(m_farm[1].WaitForRequests(ListKind::HealthCheck, 2, 3000));
    EXPECT_NE(result.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    WinEmu_AdvanceTicksForTest(3100);  // past 4999 ms since the start
    ASSERT_TRUE(Ends(result));
    EXPECT_EQ(result.get(), 0);
    // One probe at the start and one at 2 s: none in between, none at the end.
    EXPECT_EQ(m_farm.Total(ListKind::HealthCheck), 4u);
    EXPECT_EQ(CountOf(Log(), "[W] SEARCH_FAILED 2\n"), 1u);

    result = SearchAsync(lsv::SEARCH_METHOD_HEALTH_CHECK, m_farm.udpPort());
    ASSERT_TRUE(m_farm[1].WaitForRequests(ListKind::HealthCheck, 3, 3000));
    ListSrv_Stop();
    ASSERT_TRUE(Ends(result));  // the probes' own time-out never comes on the still test clock
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(CountOf(Log(), "[W] SearchServer() canceled\n"), 1u);
}

// The test clock stands still here: a search that waited for a refused
// connection or for an answered one's window would never end.
TEST_F(ListSrvSearch, RefusedConnectionsFailAtOnceAndAnAcceptingServerIsNotKeptWaiting)
{
    StartFixed(1);
    ListSrv_Stop();
    ListSrv_SetDbgServAdrs(0, Ip(127, 0, 0, 5));
    ListSrv_SetDbgServAdrs(1, Ip(127, 0, 0, 6));
    ASSERT_TRUE(ListSrv_Start());
    auto refused = SearchAsync(lsv::SEARCH_METHOD_TCP, loopnet::FreePort(SOCK_STREAM));
    ASSERT_TRUE(Ends(refused));
    EXPECT_EQ(refused.get(), 0);

    ListSrv_Stop();
    ListSrv_SetDbgServAdrs(0, m_farm.address(0));
    ASSERT_TRUE(ListSrv_Start());
    auto accepted = SearchAsync(lsv::SEARCH_METHOD_TCP, m_farm.tcpPort());
    ASSERT_TRUE(Ends(accepted));
    EXPECT_EQ(accepted.get(), 1);
    EXPECT_TRUE(m_answered[m_farm.address(0)]);
    EXPECT_TRUE(WaitUntil([this] { return m_farm[0].Connections() >= 1u; }));
    EXPECT_EQ(m_farm[0].Connections(), 1u);
}

TEST_F(ListSrvTest, PreferredServerIsAlwaysChosenOtherwiseEachAnsweredOneEquallyOften)
{
    const DWORD a = Ip(10, 0, 0, 1), b = Ip(10, 0, 0, 2), c = Ip(10, 0, 0, 3), d = Ip(10, 0, 0, 4);
    lsv::SEARCH_PARAM p{};
    for (DWORD addr : {a, b, c, d}) {
        lsv::SEARCH_WORK& w = p.aWork[p.nNumOfWorks++];
        w.bUsed = TRUE;
        w.dwAdrs = addr;
        w.eSearchState = addr == b ? lsv::SEARCH_FAILED : lsv::SEARCH_CONNECTED;
    }
    ListSrv_SetDbgPrimaryIP(c);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(lsv::SelectServer(&p, 3)->dwAdrs, c);
    }
    ListSrv_SetDbgPrimaryIP(b);  // preferred, but it did not answer: an ordinary draw
    const DWORD seed = std::random_device()();
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
    p.aWork[0].eSearchState = p.aWork[2].eSearchState = p.aWork[3].eSearchState = lsv::SEARCH_FAILED;
    EXPECT_EQ(lsv::SelectServer(&p, 0), nullptr);
}

}  // namespace
