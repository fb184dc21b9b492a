// The directory client's list thread against stand-in list servers on
// loopback: going online, fall-back, the wait for IDs, registration and list
// retrieval. Long waits run on the test clock.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "listsrv_fixture.h"

namespace {

using namespace lsvtest;
using sim::ListBehaviour;
using sim::ListFault;
using sim::ListFileText;
using sim::ListKind;

sim::ListRepeater Repeater(const std::string& servId, const std::string& radioId, DWORD ip)
{
    sim::ListRepeater r;
    r.servId = servId;
    r.radioId = radioId;
    r.callSign = "JR" + radioId;
    r.city = "Aoba";
    r.ipAddr = ip;
    r.lastUpdate = "20220101000000";
    return r;
}

class ListSrvThread : public ListSrvTest {
   protected:
    // Two servers listed in the file served by the first.
    void StartFarm(const char* radioId = "R0042")
    {
        ASSERT_TRUE(m_farm.Start(2, ListFileText::Of({"127.0.0.1", "127.0.0.2"})));
        Configure("00042", radioId);
        ASSERT_TRUE(ListSrv_Start());
    }
    static bool StateIs(LIST_STATE s) { return ListSrv_GetListState() == s; }
    // Waits for READY and moves the clock to the first periodic health check.
    void GoOnline()
    {
        ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() >= LIST_STATE_READY; }, 8000));
        WinEmu_AdvanceTicksForTest(1000);
        ASSERT_TRUE(WaitUntil([] { return StateIs(LIST_STATE_ONLINE); }, 5000));
    }
    void AddToAll(const sim::ListRepeater& r)
    {
        for (size_t i = 0; i < m_farm.size(); ++i) {
            m_farm[i].AddRepeater(r);
        }
    }
    sim::ListServerSim& Current() { return m_farm[static_cast<size_t>(m_farm.IndexOf(ListSrv_GetCurrentIP()))]; }
    void SilenceHealthChecks()
    {
        for (size_t i = 0; i < m_farm.size(); ++i) {
            m_farm[i].SetBehaviour(ListKind::HealthCheck, ListBehaviour{.fault = ListFault::Silent});
        }
    }
};

TEST_F(ListSrvThread, GoesOnlineAndFallsBackToSearchAfter120SecondsWithoutAnswers)
{
    StartFarm();
    GoOnline();
    DWORD globalIp = 0;
    EXPECT_TRUE(WaitUntil([&] { return ListSrv_GetStatus(&globalIp) && globalIp != 0; }, 3000));
    EXPECT_EQ(globalIp, Ip(127, 0, 0, 1));  // the sender's address the server saw
    EXPECT_EQ(m_events.count(LISTSRV_EVENT_STATUS_CHANGED), 1);
    ASSERT_GE(m_farm.IndexOf(ListSrv_GetCurrentIP()), 0);
    auto periodic = Current().Requests(ListKind::HealthCheck);
    ASSERT_FALSE(periodic.empty());
    EXPECT_TRUE(periodic.back().hasS);
    EXPECT_TRUE(periodic.back().hasD);
    EXPECT_EQ(periodic.back().ids, std::vector<std::string>{"00042"});

    SilenceHealthChecks();
    // The periodic check sent after the move shows a step has looked at the
    // clock: 119 s without answers is still online.
    const size_t sent = Current().RequestCount(ListKind::HealthCheck);
    WinEmu_AdvanceTicksForTest(119000);
    ASSERT_TRUE(Current().WaitForRequests(ListKind::HealthCheck, sent + 1, 5000));
    EXPECT_TRUE(StateIs(LIST_STATE_ONLINE));
    WinEmu_AdvanceTicksForTest(1100);
    ASSERT_TRUE(WaitUntil(
        [] { return ListSrv_GetListState() == LIST_STATE_SEARCH || ListSrv_GetListState() == LIST_STATE_SEARCH_ERR; },
        3000));
    EXPECT_FALSE(ListSrv_GetStatus(nullptr));
    EXPECT_EQ(m_events.count(LISTSRV_EVENT_STATUS_CHANGED), 2);
    EXPECT_TRUE(Has(Log(), "[W] list server offline !!\n"));
}

TEST_F(ListSrvThread, WaitsForTheRadioIdAndReturnsToWaitingWhenTheServerIdIsCleared)
{
    StartFarm("");
    ASSERT_TRUE(WaitUntil([] { return StateIs(LIST_STATE_WAIT_ID); }, 5000));
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::HealthCheck) + m_farm[1].RequestCount(ListKind::HealthCheck), 0u);

    ListSrv_SetRadioID("R0042");
    GoOnline();
    SetServID("");
    ASSERT_TRUE(WaitUntil([] { return StateIs(LIST_STATE_WAIT_ID); }, 3000));
    EXPECT_EQ(ListSrv_GetCurrentIP(), 0u);
    EXPECT_EQ(m_events.count(LISTSRV_EVENT_STATUS_CHANGED), 2);  // online, then offline
}

TEST_F(ListSrvThread, RegistBeforeTheAddressesAreKnownIsNotReady)
{
    ASSERT_TRUE(m_farm.Start(1, ListFileText::Of({"127.0.0.1"})));
    m_farm[0].SetBehaviour(ListKind::Http, ListBehaviour{.fault = ListFault::Silent});
    Configure();
    ASSERT_TRUE(ListSrv_Start());
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::Http, 1, 5000));
    EXPECT_TRUE(StateIs(LIST_STATE_GET_SERVER));
    LISTSRV_REGIST_PARAM p{};
    std::strcpy(p.szRadioID, "R0042");
    WORD code = 0;
    EXPECT_FALSE(ListSrv_Regist(&p, &code));
    EXPECT_EQ(code, LISTSRV_ERR_NOT_READY);
}

TEST_F(ListSrvTest, RegistWithoutCurrentServerPicksOneThatAcceptedAndMakesItCurrent)
{
    ASSERT_TRUE(m_farm.Start(3));
    Configure();
    StartFixed(3);
    ASSERT_EQ(ListSrv_GetCurrentIP(), 0u);
    LISTSRV_REGIST_PARAM p{};
    std::strcpy(p.szRadioID, "R0042");
    std::strcpy(p.szCallSign, "JA7KOV");
    WORD code = 0xFFFF;
    ASSERT_TRUE(ListSrv_Regist(&p, &code));
    int chosen = m_farm.IndexOf(ListSrv_GetCurrentIP());
    ASSERT_GE(chosen, 0);
    EXPECT_EQ(std::string(p.szServID), std::to_string(10001 + 100 * chosen));
    for (size_t i = 0; i < 3; ++i) {
        // Every server was probed (counted once its service thread took the connection).
        EXPECT_TRUE(WaitUntil([this, i] { return m_farm[i].Connections() >= 1u; }, 2000)) << i;
        EXPECT_EQ(m_farm[i].RequestCount(ListKind::Regist), static_cast<int>(i) == chosen ? 1u : 0u) << i;
    }
    // With a current server the next registration goes straight to it.
    std::strcpy(p.szCallSign, "JA7NEW");
    ASSERT_TRUE(ListSrv_Regist(&p, &code));
    EXPECT_EQ(m_farm[static_cast<size_t>(chosen)].RequestCount(ListKind::Regist), 2u);
    EXPECT_EQ(m_farm[static_cast<size_t>(chosen)].Requests(ListKind::Regist)[1].servId, p.szServID);
}

TEST_F(ListSrvThread, RetrievalFillsEveryTargetOfARadioAndHealthChecksKeepTheirAddresses)
{
    StartFarm();
    GoOnline();
    AddToAll(Repeater("00007", "11111", Ip(10, 0, 0, 7)));
    AddToAll(Repeater("00008", "22222", Ip(10, 0, 0, 8)));
    ASSERT_TRUE(ListSrv_SetTargetRadioID(3, "11111"));
    ASSERT_TRUE(ListSrv_SetTargetRadioID(7, "22222"));
    ASSERT_TRUE(ListSrv_SetTargetRadioID(9, "22222"));
    ASSERT_TRUE(ListSrv_SetTargetRadioID(5, "99999"));
    EXPECT_FALSE(ListSrv_SetTargetRadioID(100, "33333"));
    ListSrv_GetListReq();
    ASSERT_TRUE(WaitUntil([this] { return m_events.count(LISTSRV_EVENT_GET_LIST) == 1; }, 5000));
    auto lists = Current().Requests(ListKind::GetList);
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].ids, (std::vector<std::string>{"11111", "99999", "22222", "22222"}));

    ListSrv_Lock();
    int pos = -1;
    std::vector<int> order;
    while (const LISTSRV_LIST_PARAM* entry = ListSrv_GetNextListParam(&pos)) {
        order.push_back(pos);
        if (pos == 7 || pos == 9) {
            EXPECT_STREQ(entry->szServID, "00008");
            EXPECT_EQ(entry->dwIpAddr, Ip(10, 0, 0, 8));
        }
    }
    int again = -1;
    EXPECT_EQ(ListSrv_GetNextListParam(&again), nullptr);
    EXPECT_STREQ(ListSrv_GetListParam(5)->szServID, "");
    EXPECT_EQ(ListSrv_GetListParam(100), nullptr);
    ListSrv_Unlock();
    EXPECT_EQ(order, (std::vector<int>{3, 5, 7, 9}));  // 5 got its no-data record
    EXPECT_EQ(ListSrv_GetNoIdCount(), 1);

    // Repeater 00008 moves; the next periodic health check brings its address.
    AddToAll(Repeater("00008", "22222", Ip(10, 0, 8, 8)));
    size_t before = Current().RequestCount(ListKind::HealthCheck);
    WinEmu_AdvanceTicksForTest(30000);
    ASSERT_TRUE(WaitUntil([this] { return m_events.count(LISTSRV_EVENT_ADDR_CHANGED) == 1; }, 5000));
    auto checks = Current().Requests(ListKind::HealthCheck);
    ASSERT_GT(checks.size(), before);
    EXPECT_EQ(checks.back().ids, (std::vector<std::string>{"00007", "00008", "00008", "00042"}));
    ListSrv_Lock();
    pos = -1;
    order.clear();
    while (const LISTSRV_LIST_PARAM* entry = ListSrv_GetNextListParam(&pos)) {
        order.push_back(pos);
        EXPECT_EQ(entry->dwIpAddr, Ip(10, 0, 8, 8));
    }
    ListSrv_Unlock();
    EXPECT_EQ(order, (std::vector<int>{7, 9}));  // every target following that repeater

    // Once an hour the list is fetched again.
    WinEmu_AdvanceTicksForTest(3600000);
    ASSERT_TRUE(WaitUntil([this] { return m_events.count(LISTSRV_EVENT_GET_LIST) == 2; }, 5000));
    EXPECT_TRUE(StateIs(LIST_STATE_ONLINE));
    EXPECT_TRUE(Has(Log(), "list reload..\n"));
}

TEST_F(ListSrvThread, FailedRetrievalDropsTheServerAndSearchesAgain)
{
    StartFarm();
    GoOnline();
    Current().SetBehaviour(ListKind::GetList, ListBehaviour{.fault = ListFault::BadDigits, .times = 1});
    ASSERT_TRUE(ListSrv_SetTargetRadioID(0, "11111"));
    ListSrv_GetListReq();
    ASSERT_TRUE(WaitUntil([] { return StateIs(LIST_STATE_GET_LIST_ERR); }, 5000));
    EXPECT_EQ(ListSrv_GetCurrentIP(), 0u);
    EXPECT_EQ(m_events.count(LISTSRV_EVENT_STATUS_CHANGED), 2);
    // After the pause the request is still pending: with no current server the
    // thread goes back to SEARCH after a second pause, then fetches the list.
    ASSERT_TRUE(WaitForPause(10000));
    WinEmu_AdvanceTicksForTest(10000);
    ASSERT_TRUE(WaitUntil([] { return StateIs(LIST_STATE_SEARCH); }, 5000));
    ASSERT_TRUE(WaitForPause(10000));
    WinEmu_AdvanceTicksForTest(10000);
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() >= LIST_STATE_READY; }, 8000));
    EXPECT_EQ(m_events.count(LISTSRV_EVENT_GET_LIST), 1);
    std::string log = Log();
    EXPECT_EQ(Count(log, "[W] get list failed\n"), 1);
    EXPECT_TRUE(Has(log, "[W] current server ip is empty\n"));
}

// ---- Time-outs of the error states -------------------------------------------

size_t HealthRequests(ServerFarm& farm)
{
    size_t n = 0;
    for (size_t i = 0; i < farm.size(); ++i) {
        n += farm[i].RequestCount(ListKind::HealthCheck);
    }
    return n;
}

TEST_F(ListSrvThread, UnansweredSearchIsLoggedOnceAndRetriedEveryTwentySeconds)
{
    ASSERT_TRUE(m_farm.Start(2));
    Configure();
    ListSrv_SetDbgServAdrs(0, m_farm.address(0));
    ListSrv_SetDbgServAdrs(1, m_farm.address(1));
    SilenceHealthChecks();
    ASSERT_TRUE(ListSrv_Start());
    // Once both probes are out their start ticks are taken; each search then
    // fails at the move and the thread pauses 20 s.
    ASSERT_TRUE(WaitUntil([this] { return HealthRequests(m_farm) >= 2; }, 5000));
    WinEmu_AdvanceTicksForTest(5000);
    ASSERT_TRUE(WaitForPause(20000));
    EXPECT_TRUE(StateIs(LIST_STATE_SEARCH_ERR));
    size_t n0 = HealthRequests(m_farm);
    WinEmu_AdvanceTicksForTest(20000);
    ASSERT_TRUE(WaitUntil([&] { return HealthRequests(m_farm) >= n0 + 2; }, 3000));
    WinEmu_AdvanceTicksForTest(5000);
    ASSERT_TRUE(WaitForPause(20000));
    EXPECT_TRUE(StateIs(LIST_STATE_SEARCH_ERR));

    for (size_t i = 0; i < m_farm.size(); ++i) {
        m_farm[i].ClearBehaviours();
    }
    WinEmu_AdvanceTicksForTest(20000);
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() >= LIST_STATE_READY; }, 5000));
    EXPECT_GE(m_farm.IndexOf(ListSrv_GetCurrentIP()), 0);
    std::string log = Log();
    EXPECT_EQ(Count(log, "[W] SEARCH_FAILED 2\n"), 2);
    EXPECT_EQ(Count(log, "[W] list server search failed\n"), 1);
}

TEST_F(ListSrvThread, ListFileWithoutAddressesIsFetchedAgainOnlyAfterAMinute)
{
    ASSERT_TRUE(m_farm.Start(1, ListFileText().Line("# no servers today").Line("^").text()));
    Configure();
    ASSERT_TRUE(ListSrv_Start());
    ASSERT_TRUE(WaitUntil([] { return StateIs(LIST_STATE_GET_SERVER_ERR); }, 5000));
    ASSERT_TRUE(WaitForPause(60000));
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::Http), 1u);
    m_farm[0].SetListFile(ListFileText::Of({"127.0.0.1"}));
    WinEmu_AdvanceTicksForTest(60000);
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() >= LIST_STATE_READY; }, 5000));
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::Http), 2u);
    std::string log = Log();
    EXPECT_EQ(Count(log, "[W] no list address found\n"), 1);
}

TEST_F(ListSrvThread, DailyReloadDropsAVanishedCurrentServerAndAFailedOneKeepsTheTable)
{
    StartFarm();
    GoOnline();
    const DWORD first = ListSrv_GetCurrentIP();
    const DWORD other = first == m_farm.address(0) ? m_farm.address(1) : m_farm.address(0);
    char dotted[16];
    std::snprintf(dotted, sizeof(dotted), "127.0.0.%u", static_cast<unsigned>(other & 0xFF));
    m_farm[0].SetListFile(ListFileText::Of({dotted}));
    WinEmu_AdvanceTicksForTest(86400000);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::Http, 2, 5000));
    // The old server left the table: the thread searches again and takes the other one.
    ASSERT_TRUE(WaitUntil(
        [other] { return ListSrv_GetListState() >= LIST_STATE_READY && ListSrv_GetCurrentIP() == other; }, 5000));
    DWORD table[LISTSRV_SERVER_MAX] = {};
    ASSERT_EQ(ListSrv_GetServerAdrs(table, LISTSRV_SERVER_MAX), 1);
    EXPECT_EQ(table[0], other);

    m_farm[0].SetBehaviour(ListKind::Http, ListBehaviour{.fault = ListFault::ErrorCode, .code = "404"});
    const int changes = m_events.count(LISTSRV_EVENT_STATUS_CHANGED);
    WinEmu_AdvanceTicksForTest(86400000);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::Http, 3, 5000));
    // A day without answers also took the unit offline; its search is over.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return m_events.count(LISTSRV_EVENT_STATUS_CHANGED) > changes &&
                   ListSrv_GetListState() >= LIST_STATE_READY;
        },
        5000));
    ASSERT_EQ(ListSrv_GetServerAdrs(table, LISTSRV_SERVER_MAX), 1);
    EXPECT_EQ(table[0], other);
    // A failed reload is retried after an hour, not before: every step checks
    // the reload before it probes, so a probe sent after the move shows that
    // check was made.
    const size_t probes = HealthRequests(m_farm);
    WinEmu_AdvanceTicksForTest(3599000);
    ASSERT_TRUE(WaitUntil([&] { return HealthRequests(m_farm) > probes; }, 5000));
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::Http), 3u);
    WinEmu_AdvanceTicksForTest(1000);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::Http, 4, 5000));
    std::string log = Log();
    char gone[64];
    std::snprintf(gone, sizeof(gone), "[W] current ip not exist 127.0.0.%u\n", static_cast<unsigned>(first & 0xFF));
    EXPECT_TRUE(Has(log, gone));
    EXPECT_EQ(Count(log, "server address realoading..\n"), 3);
    EXPECT_EQ(Count(log, "[W] cannot reload list server address\n"), 1);
}

// ---- Stop -------------------------------------------------------------------------

// The test clock stands still: neither the exchange's time-out nor the
// pause's end can come, only the stop can end them.
TEST_F(ListSrvThread, StopEndsTheListThreadInAnHttpExchangeOrInAPause)
{
    ASSERT_TRUE(m_farm.Start(1, ListFileText::Of({"127.0.0.1"})));
    m_farm[0].SetBehaviour(ListKind::Http, ListBehaviour{.fault = ListFault::Silent});
    Configure();
    ASSERT_TRUE(ListSrv_Start());
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::Http, 1, 5000));
    auto stopped = std::async(std::launch::async, ListSrv_Stop);
    ASSERT_TRUE(Ends(stopped));

    m_farm[0].SetBehaviour(ListKind::Http, ListBehaviour{.fault = ListFault::ErrorCode, .code = "404"});
    ASSERT_TRUE(ListSrv_Start());
    ASSERT_TRUE(WaitForPause(10000));
    stopped = std::async(std::launch::async, ListSrv_Stop);
    ASSERT_TRUE(Ends(stopped));
    std::string log = Log();
    EXPECT_EQ(Count(log, "end LIST thread\n"), 2);
    EXPECT_EQ(Count(log, "end port check thread\n"), 2);
}

// ---- The whole client, as a caller that starts it sees it ----------------------

TEST_F(ListSrvThread, UnitWithoutServerIdRegistersAndKeepsTheServerItRegisteredWith)
{
    ASSERT_TRUE(m_farm.Start(3, ListFileText::Of({"127.0.0.1", "127.0.0.2", "127.0.0.3"})));
    Configure("", "R0042");
    ASSERT_TRUE(ListSrv_Start());
    ASSERT_TRUE(WaitUntil([] { return StateIs(LIST_STATE_WAIT_ID); }, 5000));
    LISTSRV_REGIST_PARAM p{};
    std::strcpy(p.szRadioID, "R0042");
    std::strcpy(p.szCallSign, "JA7KOV");
    WORD code = 0xFFFF;
    ASSERT_TRUE(ListSrv_Regist(&p, &code));
    const DWORD registered = ListSrv_GetCurrentIP();
    ASSERT_GE(m_farm.IndexOf(registered), 0);
    SetServID(p.szServID);  // the caller keeps the ID it was given
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() >= LIST_STATE_READY; }, 5000));
    EXPECT_EQ(ListSrv_GetCurrentIP(), registered);  // no search: the registered server is kept
    WinEmu_AdvanceTicksForTest(1000);               // the first periodic health check
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetStatus(nullptr) != FALSE; }, 5000));
    EXPECT_EQ(ListSrv_GetCurrentIP(), registered);
}

}  // namespace
