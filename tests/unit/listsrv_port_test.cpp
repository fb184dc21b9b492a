// The directory client's UDP side: health check answers (online state,
// followed repeaters' addresses, the unit's own address) handed in by the
// unit core's receiver, port check answers on the main port and on further
// ports with sockets of their own, and the port check operation against
// stand-in list servers. Loopback only.
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "listsrv_fixture.h"
#include "listsrv_internal.h"

namespace {

using namespace lsvtest;

constexpr DWORD kServerA = Ip(10, 0, 0, 1);
constexpr DWORD kServerB = Ip(10, 0, 0, 2);
constexpr DWORD kStranger = Ip(10, 9, 9, 9);

std::string Answer(char letter, const std::string& params, const std::string& code = "0000")
{
    return std::string(16, '\0') + "$" + letter + code + params;
}

BOOL Health(const std::string& datagram, DWORD from)
{
    return ListSrv_OnRxHealthCheck(datagram.data(), static_cast<int>(datagram.size()), from);
}

// Server table A and B without the list thread, A current; the unit follows
// repeater 00007 as target 2 and 4.
class ListSrvUdp : public ListSrvTest {
   protected:
    void SetUp() override
    {
        ListSrvTest::SetUp();
        Configure();
        ListSrv_DisableThread(TRUE);
        ListSrv_SetDbgServAdrs(0, kServerA);
        ListSrv_SetDbgServAdrs(1, kServerB);
        ASSERT_TRUE(ListSrv_Start());
        ListSrv_SetCurrentIP(kServerA);
        ListSrv_Lock();
        for (int i : {2, 4}) {
            lsv::LIST_GET_RES_WORK& res = lsv::s_aListGetResWork[i];
            std::strcpy(res.Param.szServID, "00007");
            std::strcpy(res.Param.szRadioID, "11111");
            res.dwServID = 0x80000007u;
            res.Param.dwIpAddr = Ip(10, 7, 0, 1);
        }
        lsv::SetListStateLocked(LIST_STATE_READY);
        ListSrv_Unlock();
    }
    static DWORD HealthCount(DWORD server)
    {
        DWORD count = 0;
        EXPECT_TRUE(lsv::GetHealthCheckCount(server, &count));
        return count;
    }
    static std::vector<int> Changed()
    {
        std::vector<int> changed;
        ListSrv_Lock();
        for (int pos = -1; ListSrv_GetNextListParam(&pos) != nullptr;) {
            changed.push_back(pos);
        }
        ListSrv_Unlock();
        return changed;
    }
};

// The search counts a server as answering by this counter, so an answer
// wrongly counted or refused here decides the server choice.
TEST_F(ListSrvUdp, OnlyWellFormedAnswersCountWhateverTheirResultCode)
{
    const struct {
        std::string datagram;
        bool counts;
    } cases[] = {
        {Answer('H', ""), true},
        {Answer('H', "", "0102"), true},
        {Answer('P', "R0042"), false},  // the answer to another request
        {Answer('H', "", "00x0"), false},
        {Answer('H', "").substr(0, 21), false},
        {"\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.datagram.size());
        const DWORD before = HealthCount(kServerB);
        Health(c.datagram, kServerB);
        EXPECT_EQ(HealthCount(kServerB), before + (c.counts ? 1 : 0));
    }
    EXPECT_EQ(ListSrv_GetListState(), LIST_STATE_READY);  // B is not the current server
}

TEST_F(ListSrvUdp, CurrentServersAnswerMakesReadyOnlineOnceAndRestartsTheOfflineTimer)
{
    const std::string bare = Answer('H', "");
    EXPECT_TRUE(Health(bare, kServerA));
    EXPECT_EQ(ListSrv_GetListState(), LIST_STATE_ONLINE);
    EXPECT_TRUE(ListSrv_GetStatus(nullptr));
    EXPECT_EQ(Events(LISTSRV_EVENT_STATUS_CHANGED), 1);

    ListSrv_Lock();
    lsv::s_dwTmRxIdleTime = GetTickCount() - 100000;
    ListSrv_Unlock();
    EXPECT_TRUE(Health(bare, kServerA));
    ListSrv_Lock();
    const DWORD idle = GetTickCount() - lsv::s_dwTmRxIdleTime;
    ListSrv_Unlock();
    EXPECT_LT(idle, 1000u);
    EXPECT_EQ(Events(LISTSRV_EVENT_STATUS_CHANGED), 1);
}

TEST_F(ListSrvUdp, ServerPartUpdatesFollowedRepeatersAndTheUnitsOwnAddressOnlyFromListServers)
{
    std::string moved = Answer('H', "S0039" + std::string("000070A070002") + "000420A2A0001" + std::string(13, ' '));
    EXPECT_FALSE(Health(moved, kStranger));  // not a list server: nothing taken
    EXPECT_TRUE(Changed().empty());
    DWORD global = 0;
    ListSrv_GetStatus(&global);
    EXPECT_EQ(global, 0u);

    EXPECT_TRUE(Health(moved, kServerB));
    EXPECT_EQ(Events(LISTSRV_EVENT_ADDR_CHANGED), 1);
    EXPECT_EQ(Changed(), (std::vector<int>{2, 4}));
    ListSrv_Lock();
    EXPECT_EQ(ListSrv_GetListParam(4)->dwIpAddr, Ip(10, 7, 0, 2));
    ListSrv_Unlock();
    ListSrv_GetStatus(&global);
    EXPECT_EQ(global, Ip(10, 42, 0, 1));
    EXPECT_EQ(ListSrv_GetNoIdCount(), 1);

    EXPECT_TRUE(Health(moved, kServerB));  // the same address again
    EXPECT_EQ(Events(LISTSRV_EVENT_ADDR_CHANGED), 1);
    EXPECT_TRUE(Changed().empty());
    EXPECT_FALSE(Health(Answer('H', "S0013" + std::string("000070A0700Z2")), kServerB));
}

TEST_F(ListSrvUdp, PortCheckAnswersOnTheMainPortAreCountedOnlyForTheUnitsRadioId)
{
    const int port = m_receiver->port();
    auto count = [port](DWORD server) {
        DWORD n = 99;
        return lsv::GetPortCheckCount(port, server, &n) ? static_cast<int>(n) : -1;
    };
    const std::string good = Answer('P', "R0042"), other = Answer('P', "R0043");
    ASSERT_EQ(good.size(), 27u);
    EXPECT_TRUE(ListSrv_OnRxPortCheck(good.data(), 27, kServerB, port));
    EXPECT_EQ(count(kServerB), 1);
    EXPECT_EQ(count(kServerA), 0);
    EXPECT_FALSE(ListSrv_OnRxPortCheck(good.data(), 26, kServerB, port));
    EXPECT_FALSE(ListSrv_OnRxPortCheck(other.data(), 27, kServerB, port));
    EXPECT_TRUE(ListSrv_OnRxPortCheck(good.data(), 27, kStranger, port));  // not counted
    EXPECT_EQ(count(kServerB), 1);
    EXPECT_EQ(count(kStranger), -1);
}

// ---- The port check operation against stand-in servers ------------------------

class ListSrvPortCheck : public ListSrvTest {
   protected:
    void SetUp() override
    {
        ListSrvTest::SetUp();
        ASSERT_TRUE(m_farm.Start(2));
        Configure();
        StartFixed(2);
    }
    void Answers(ListBehaviour b)
    {
        m_farm[0].SetBehaviour(ListKind::PortCheck, b);
        m_farm[1].SetBehaviour(ListKind::PortCheck, b);
    }
    static std::future<std::pair<BOOL, WORD>> CheckAsync(int port)
    {
        return std::async(std::launch::async, [port] {
            WORD code = 0xFFFF;
            BOOL ok = ListSrv_PortCheck(port, &code);
            return std::make_pair(ok, code);
        });
    }
};

TEST_F(ListSrvPortCheck, MainPortIsCheckedThroughTheUnitsOwnSocket)
{
    Answers(ListBehaviour{.delayMs = 300});
    const uint16_t port = m_receiver->port();
    auto check = CheckAsync(port);
    ASSERT_TRUE(m_farm[1].WaitForRequests(ListKind::PortCheck, 1, 3000));
    EXPECT_EQ(UdpSocketsOnPort(port), 1);
    EXPECT_EQ(check.get(), std::make_pair(TRUE, WORD{0}));
    EXPECT_GE(m_receiver->portAnswers(), 1);
    auto requests = m_farm[0].Requests(ListKind::PortCheck);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].raw.size(), 13u);
    EXPECT_EQ(requests[0].port, port);
    EXPECT_EQ(requests[0].radioId, "R0042");
}

TEST_F(ListSrvPortCheck, OtherPortSharesOneBoundSocketBetweenOverlappingChecksAndClosesIt)
{
    Answers(ListBehaviour{.delayMs = 400});
    const uint16_t port = loopnet::FreePort(SOCK_DGRAM);
    auto first = CheckAsync(port);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::PortCheck, 1, 3000));
    auto second = CheckAsync(port);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::PortCheck, 2, 3000));
    EXPECT_EQ(UdpSocketsOnPort(port), 1);
    EXPECT_EQ(first.get(), std::make_pair(TRUE, WORD{0}));
    EXPECT_EQ(second.get(), std::make_pair(TRUE, WORD{0}));
    // Gone once the port-check thread's current 50 ms wait on it has ended.
    EXPECT_TRUE(WaitUntil([port] { return UdpSocketsOnPort(port) == 0; }, 1000));
    EXPECT_EQ(m_receiver->portAnswers(), 0);
}

TEST_F(ListSrvPortCheck, PortThatCannotBeBoundOrIsNeverAnsweredFails)
{
    const uint16_t port = loopnet::FreePort(SOCK_DGRAM);
    const int blocker = loopnet::BindUdp(port);
    ASSERT_GE(blocker, 0);
    WORD code = 0;
    EXPECT_FALSE(ListSrv_PortCheck(port, &code));
    EXPECT_EQ(code, LISTSRV_ERR_PORT);
    close(blocker);
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::PortCheck), 0u);

    Answers(ListBehaviour{.fault = ListFault::Silent});
    auto check = CheckAsync(port);
    // Both probes are out, so their start ticks are taken: the move counts.
    ASSERT_TRUE(m_farm[1].WaitForRequests(ListKind::PortCheck, 1, 3000));
    WinEmu_AdvanceTicksForTest(5000);
    ASSERT_TRUE(Ends(check));
    EXPECT_EQ(check.get(), std::make_pair(FALSE, LISTSRV_ERR_COMM));
    EXPECT_TRUE(WaitUntil([port] { return UdpSocketsOnPort(port) == 0; }, 1000));
}

}  // namespace
