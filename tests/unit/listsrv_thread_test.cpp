// The directory client's list thread against stand-in list servers; long waits
// run on the test clock.
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "listsrv_fixture.h"

namespace {

using namespace lsvtest;
using Positions = std::vector<int>;

class ListSrvThread : public ListSrvTest {
   protected:
    void StartFarm(const char* servId = "00042", const char* radioId = "R0042", int n = 2)
    {
        const std::vector<std::string> all{"127.0.0.1", "127.0.0.2", "127.0.0.3"};
        ASSERT_TRUE(m_farm.Start(n, ListFileText::Of({all.begin(), all.begin() + n})));
        Configure(servId, radioId);
        ASSERT_TRUE(ListSrv_Start());
    }
    static void GoOnline()
    {
        ASSERT_TRUE(WaitUntil([] { return StateAtLeast(LIST_STATE_READY); }));
        WinEmu_AdvanceTicksForTest(1000);
        ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() == LIST_STATE_ONLINE; }));
    }
    void AddToAll(const std::string& servId, const std::string& radioId, DWORD ip)
    {
        const sim::ListRepeater r{.servId = servId, .radioId = radioId, .callSign = "JR" + radioId, .city = {},
                                  .state = {}, .country = {}, .ipAddr = ip, .lastUpdate = "20220101000000",
                                  .signature = {}, .mailAddr = {}};
        for (size_t i = 0; i < m_farm.size(); ++i) {
            m_farm[i].AddRepeater(r);
        }
    }
    sim::ListServerSim& Current() { return m_farm[static_cast<size_t>(m_farm.IndexOf(ListSrv_GetCurrentIP()))]; }
    template <class Check>
    static Positions Entries(Check check)
    {
        Positions order;
        ListSrv_Lock();
        for (int pos = -1; const LISTSRV_LIST_PARAM* entry = ListSrv_GetNextListParam(&pos);) {
            order.push_back(pos);
            check(pos, *entry);
        }
        ListSrv_Unlock();
        return order;
    }
};

TEST_F(ListSrvThread, GoesOnlineAndFallsBackToSearchAfter120SecondsWithoutAnswers)
{
    StartFarm();
    GoOnline();
    DWORD globalIp = 0;
    EXPECT_TRUE(WaitUntil([&] { return ListSrv_GetStatus(&globalIp) && globalIp != 0; }));
    EXPECT_EQ(globalIp, Ip(127, 0, 0, 1));  // the sender's address the server saw
    EXPECT_EQ(Events(LISTSRV_EVENT_STATUS_CHANGED), 1);
    ASSERT_GE(m_farm.IndexOf(ListSrv_GetCurrentIP()), 0);
    auto periodic = Current().Requests(ListKind::HealthCheck);
    ASSERT_FALSE(periodic.empty());
    EXPECT_EQ(std::make_tuple(periodic.back().hasS, periodic.back().hasD, periodic.back().ids),
              std::make_tuple(true, true, std::vector<std::string>{"00042"}));

    m_farm.SetAll(ListKind::HealthCheck, {.fault = ListFault::Silent});
    // A check sent after the move shows a step has looked at the clock.
    const size_t sent = Current().RequestCount(ListKind::HealthCheck);
    WinEmu_AdvanceTicksForTest(119000);
    ASSERT_TRUE(Current().WaitForRequests(ListKind::HealthCheck, sent + 1, 5000));
    EXPECT_EQ(ListSrv_GetListState(), LIST_STATE_ONLINE);
    WinEmu_AdvanceTicksForTest(1100);
    // The offline event is raised after the status turns: wait for both.
    ASSERT_TRUE(WaitUntil([&] { return !ListSrv_GetStatus(nullptr) && Events(LISTSRV_EVENT_STATUS_CHANGED) >= 2; }));
    EXPECT_LE(ListSrv_GetListState(), LIST_STATE_SEARCH_ERR);
    EXPECT_EQ(Events(LISTSRV_EVENT_STATUS_CHANGED), 2);
}

// Without a current server a registration probes every server by TCP connect.
TEST_F(ListSrvThread, UnitWaitsForItsRadioIdRegistersWithAServerThatAcceptedAndWaitsAgainWithoutAServerId)
{
    StartFarm("00042", "", 3);
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() == LIST_STATE_WAIT_ID; }));
    EXPECT_EQ(m_farm.Total(ListKind::HealthCheck), 0u);
    LISTSRV_REGIST_PARAM p{};
    std::strcpy(p.szRadioID, "R0042");
    std::strcpy(p.szCallSign, "JA7KOV");
    WORD code = 0xFFFF;
    ASSERT_TRUE(ListSrv_Regist(&p, &code));
    const DWORD registered = ListSrv_GetCurrentIP();
    const int chosen = m_farm.IndexOf(registered);
    ASSERT_GE(chosen, 0);
    EXPECT_EQ(std::string(p.szServID), std::to_string(10001 + 100 * chosen));
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(WaitUntil([this, i] { return m_farm[i].Connections() >= 1u; })) << i;
        EXPECT_EQ(m_farm[i].RequestCount(ListKind::Regist), static_cast<int>(i) == chosen ? 1u : 0u) << i;
    }
    SetServID(p.szServID);  // the caller keeps the ID it was given
    ListSrv_SetRadioID("R0042");
    GoOnline();
    EXPECT_EQ(ListSrv_GetCurrentIP(), registered);  // no search: the registered server is kept
    ASSERT_TRUE(ListSrv_Regist(&p, &code));
    ASSERT_EQ(m_farm[static_cast<size_t>(chosen)].RequestCount(ListKind::Regist), 2u);
    EXPECT_EQ(m_farm[static_cast<size_t>(chosen)].Requests(ListKind::Regist)[1].servId, p.szServID);

    SetServID("");
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() == LIST_STATE_WAIT_ID; }));
    EXPECT_EQ(ListSrv_GetCurrentIP(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return Events(LISTSRV_EVENT_STATUS_CHANGED) >= 2; }));  // after the state
    EXPECT_EQ(Events(LISTSRV_EVENT_STATUS_CHANGED), 2);  // online, then offline
}

TEST_F(ListSrvThread, RetrievalFillsEveryTargetOfARadioHealthChecksKeepTheirAddressesAndAFailureSearchesAgain)
{
    StartFarm();
    GoOnline();
    AddToAll("00007", "11111", Ip(10, 0, 0, 7));
    AddToAll("00008", "22222", Ip(10, 0, 0, 8));
    for (auto [target, radio] : {std::pair{3, "11111"}, {7, "22222"}, {9, "22222"}, {5, "99999"}}) {
        ASSERT_TRUE(ListSrv_SetTargetRadioID(target, radio));
    }
    EXPECT_FALSE(ListSrv_SetTargetRadioID(100, "33333"));
    ListSrv_GetListReq();
    ASSERT_TRUE(WaitUntil([this] { return Events(LISTSRV_EVENT_GET_LIST) == 1; }));
    auto lists = Current().Requests(ListKind::GetList);
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].ids, (std::vector<std::string>{"11111", "99999", "22222", "22222"}));
    EXPECT_EQ(Entries([](int pos, const LISTSRV_LIST_PARAM& e) {
                  if (pos == 7 || pos == 9) {
                      EXPECT_STREQ(e.szServID, "00008");
                      EXPECT_EQ(e.dwIpAddr, Ip(10, 0, 0, 8));
                  }
              }),
              (Positions{3, 5, 7, 9}));  // 5 got its no-data record
    ListSrv_Lock();
    EXPECT_STREQ(ListSrv_GetListParam(5)->szServID, "");
    EXPECT_EQ(ListSrv_GetListParam(100), nullptr);
    ListSrv_Unlock();
    EXPECT_TRUE(Entries([](int, const LISTSRV_LIST_PARAM&) {}).empty());  // each change is handed out once
    EXPECT_EQ(ListSrv_GetNoIdCount(), 1);

    // Repeater 00008 moves; the next periodic health check brings its address.
    AddToAll("00008", "22222", Ip(10, 0, 8, 8));
    WinEmu_AdvanceTicksForTest(30000);
    ASSERT_TRUE(WaitUntil([this] { return Events(LISTSRV_EVENT_ADDR_CHANGED) == 1; }));
    EXPECT_EQ(Current().Requests(ListKind::HealthCheck).back().ids,
              (std::vector<std::string>{"00007", "00008", "00008", "00042"}));
    EXPECT_EQ(Entries([](int, const LISTSRV_LIST_PARAM& e) { EXPECT_EQ(e.dwIpAddr, Ip(10, 0, 8, 8)); }),
              (Positions{7, 9}));

    WinEmu_AdvanceTicksForTest(3600000);
    ASSERT_TRUE(WaitUntil([this] { return Events(LISTSRV_EVENT_GET_LIST) == 2; }));
    EXPECT_EQ(ListSrv_GetListState(), LIST_STATE_ONLINE);

    // A failed retrieval drops the server; the request stays pending: the
    // thread searches again, then fetches the list.
    Current().SetBehaviour(ListKind::GetList, ListBehaviour{.fault = ListFault::BadDigits, .times = 1});
    ListSrv_GetListReq();
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() == LIST_STATE_GET_LIST_ERR; }));
    EXPECT_EQ(ListSrv_GetCurrentIP(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return Events(LISTSRV_EVENT_STATUS_CHANGED) >= 2; }));  // after the state
    EXPECT_EQ(Events(LISTSRV_EVENT_STATUS_CHANGED), 2);
    ASSERT_TRUE(WaitForPause(10000));
    WinEmu_AdvanceTicksForTest(10000);
    ASSERT_TRUE(WaitUntil([] { return ListSrv_GetListState() == LIST_STATE_SEARCH; }));
    ASSERT_TRUE(WaitForPause(10000));
    WinEmu_AdvanceTicksForTest(10000);
    ASSERT_TRUE(WaitUntil([] { return StateAtLeast(LIST_STATE_READY); }));
    EXPECT_EQ(Events(LISTSRV_EVENT_GET_LIST), 3);
    EXPECT_EQ(CountOf(Log(), "[W] get list failed\n"), 1u);
}

TEST_F(ListSrvThread, UnansweredSearchIsLoggedOnceAndRetriedEveryTwentySeconds)
{
    ASSERT_TRUE(m_farm.Start(2));
    Configure();
    m_farm.SetAll(ListKind::HealthCheck, {.fault = ListFault::Silent});
    ListSrv_SetDbgServAdrs(0, m_farm.address(0));
    ListSrv_SetDbgServAdrs(1, m_farm.address(1));
    ASSERT_TRUE(ListSrv_Start());
    // Both probes out: their start ticks are taken, the move fails the search.
    for (size_t round = 1; round <= 2; ++round) {
        ASSERT_TRUE(WaitUntil([&] { return m_farm.Total(ListKind::HealthCheck) >= 2 * round; }));
        WinEmu_AdvanceTicksForTest(5000);
        ASSERT_TRUE(WaitForPause(20000));
        EXPECT_EQ(ListSrv_GetListState(), LIST_STATE_SEARCH_ERR);
        if (round == 2) {
            m_farm.SetAll(ListKind::HealthCheck, {.fault = ListFault::None});
        }
        WinEmu_AdvanceTicksForTest(20000);
    }
    ASSERT_TRUE(WaitUntil([] { return StateAtLeast(LIST_STATE_READY); }));
    EXPECT_GE(m_farm.IndexOf(ListSrv_GetCurrentIP()), 0);
    EXPECT_EQ(CountOf(Log(), "[W] list server search failed\n"), 1u);
}

TEST_F(ListSrvThread, DailyReloadDropsAVanishedCurrentServerAndAFailedOneKeepsTheTable)
{
    StartFarm();
    GoOnline();
    const DWORD other = ListSrv_GetCurrentIP() == m_farm.address(0) ? m_farm.address(1) : m_farm.address(0);
    m_farm[0].SetListFile(ListFileText::Of({"127.0.0." + std::to_string(other & 0xFF)}));
    WinEmu_AdvanceTicksForTest(86400000);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::Http, 2, 5000));
    ASSERT_TRUE(WaitUntil([other] { return StateAtLeast(LIST_STATE_READY) && ListSrv_GetCurrentIP() == other; }));
    DWORD table[LISTSRV_SERVER_MAX] = {};
    ASSERT_EQ(ListSrv_GetServerAdrs(table, LISTSRV_SERVER_MAX), 1);

    m_farm[0].SetBehaviour(ListKind::Http, ListBehaviour{.fault = ListFault::ErrorCode, .code = "404"});
    const int changes = Events(LISTSRV_EVENT_STATUS_CHANGED);
    WinEmu_AdvanceTicksForTest(86400000);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::Http, 3, 5000));
    // A day without answers also took the unit offline; its search is over.
    ASSERT_TRUE(
        WaitUntil([&] { return Events(LISTSRV_EVENT_STATUS_CHANGED) > changes && StateAtLeast(LIST_STATE_READY); }));
    ASSERT_EQ(ListSrv_GetServerAdrs(table, LISTSRV_SERVER_MAX), 1);
    EXPECT_EQ(table[0], other);
    // Each step checks the reload before it probes: a probe after the move shows the check.
    const size_t probes = m_farm.Total(ListKind::HealthCheck);
    WinEmu_AdvanceTicksForTest(3599000);
    ASSERT_TRUE(WaitUntil([&] { return m_farm.Total(ListKind::HealthCheck) > probes; }));
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::Http), 3u);
    WinEmu_AdvanceTicksForTest(1000);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::Http, 4, 5000));
    EXPECT_EQ(CountOf(Log(), "[W] cannot reload list server address\n"), 1u);
}

// The test clock stands still: only the stop can end the exchange or pause.
TEST_F(ListSrvThread, StopEndsTheListThreadInAnHttpExchangeOrInAPause)
{
    ASSERT_TRUE(m_farm.Start(1, ListFileText::Of({"127.0.0.1"})));
    m_farm[0].SetBehaviour(ListKind::Http, ListBehaviour{.fault = ListFault::Silent});
    Configure();
    ASSERT_TRUE(ListSrv_Start());
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::Http, 1, 5000));
    LISTSRV_REGIST_PARAM p{};
    std::strcpy(p.szRadioID, "R0042");
    WORD code = 0;
    EXPECT_FALSE(ListSrv_Regist(&p, &code));  // the server addresses are not known yet
    EXPECT_EQ(code, LISTSRV_ERR_NOT_READY);
    auto stopped = std::async(std::launch::async, ListSrv_Stop);
    ASSERT_TRUE(Ends(stopped));

    m_farm[0].SetBehaviour(ListKind::Http, ListBehaviour{.fault = ListFault::ErrorCode, .code = "404"});
    ASSERT_TRUE(ListSrv_Start());
    ASSERT_TRUE(WaitForPause(10000));
    stopped = std::async(std::launch::async, ListSrv_Stop);
    ASSERT_TRUE(Ends(stopped));
    EXPECT_EQ(CountOf(Log(), "end port check thread\n"), 2u);
}

}  // namespace
