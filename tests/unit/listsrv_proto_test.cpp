// The directory client's wire protocol: parsers against hand-written bytes, the
// UDP side, and exchanges with a stand-in server that misbehaves on request.
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "listsrv_fixture.h"
#include "listsrv_internal.h"

namespace {

using namespace lsvtest;
using Result = std::pair<BOOL, WORD>;

const BYTE* Bytes(const std::string& s)
{
    return reinterpret_cast<const BYTE*>(s.data());
}

sim::ListRepeater Repeater(const std::string& servId, const std::string& radioId, int searchResp = 0)
{
    sim::ListRepeater r{.servId = servId, .radioId = radioId, .callSign = "JA1" + radioId, .city = "Sendai",
                        .state = "Miyagi", .country = "JPN", .moduration = 3, .searchResp = searchResp,
                        .ipAddr = Ip(10, 1, 2, 3), .lastUpdate = "20230405060708", .signature = {}, .mailAddr = {}};
    for (size_t i = 0; i < r.scTable.size(); ++i) {
        r.scTable[i] = static_cast<uint8_t>(0x11 * i);
    }
    return r;
}

template <class Record>
std::string Text(const Record& r)
{
    char s[256];
    std::snprintf(s, sizeof(s), "%s|%s|%s|%s|%s|%s|%d|%d|%08X|%s", r.szServID, r.szRadioID, r.szCallSign, r.szCity,
                  r.szState, r.szCountry, r.byModuration, r.bySearchResp, static_cast<unsigned>(r.dwIpAddr),
                  r.szLastUpdate);
    return s;
}

// The 16-byte header, "$", the letter, the code, then the parameters.
std::string Answer(char letter, const std::string& params, const std::string& code = "0000")
{
    return std::string(16, '\0') + "$" + letter + code + params;
}

// Runs call(&code) on a thread of its own; code starts at a value no call gives.
template <class Call>
std::future<Result> Async(Call call)
{
    return std::async(std::launch::async, [call] {
        WORD code = 0xFFFF;
        BOOL ok = call(&code);
        return Result(ok, code);
    });
}

// A wrong letter, bad digits and a code in the header: the registration exchanges.
TEST(ListSrvParse, TcpHeaderWithoutItsMarkOrFourCharactersIsInvalid)
{
    testsupport::DebugCapture capture;
    WORD code = 0xFFFF;
    for (const char* bad : {"#R0000", "$R00"}) {
        EXPECT_EQ(ListSrv_ParseTcpResHeader(Bytes(bad), static_cast<int>(std::strlen(bad)), 'R', &code),
                  LISTSRV_ERR_INVALID) << bad;
    }
}

TEST(ListSrvParse, SearchAndListRecordsDiscloseOnlyWhatTheRepeaterAllows)
{
    testsupport::DebugCapture capture;
    LISTSRV_SEARCH_RES_PARAM hit;
    const std::string open = sim::ListServerSim::SearchRecord(Repeater("00007", "12345"));
    ASSERT_EQ(open.size(), 127u);
    ASSERT_EQ(ListSrv_ParseSearchRecord(Bytes(open), 127, &hit), 0);
    EXPECT_EQ(Text(hit), "00007|12345|JA112345|Sendai|Miyagi|JPN|3|0|0A010203|20230405060708");
    const std::string closed = sim::ListServerSim::SearchRecord(Repeater("00008", "54321", 1));
    ASSERT_EQ(ListSrv_ParseSearchRecord(Bytes(closed), 127, &hit), 0);
    EXPECT_EQ(Text(hit), "00008|54321|JA154321||||0|1|0A010203|");
    EXPECT_EQ(ListSrv_ParseSearchRecord(Bytes(" " + open.substr(1)), 127, &hit), 1);  // blank: skipped
    EXPECT_EQ(ListSrv_ParseSearchRecord(Bytes(open), 126, &hit), LISTSRV_ERR_INVALID);
    std::string badModulation = open;
    badModulation[111] = 'x';
    EXPECT_EQ(ListSrv_ParseSearchRecord(Bytes(badModulation), 127, &hit), LISTSRV_ERR_INVALID);

    LISTSRV_LIST_PARAM entry;
    DWORD servId = 0;
    std::string rec = sim::ListServerSim::ListRecord(Repeater("01234", "77777"));
    ASSERT_EQ(rec.size(), 159u);
    ASSERT_EQ(ListSrv_ParseListRecord(Bytes(rec), 159, &entry, &servId), 0);
    EXPECT_EQ(servId, 0x80000000u | 1234u);
    EXPECT_EQ(Text(entry), "01234|77777|JA177777|Sendai|Miyagi|JPN|3|0|0A010203|20230405060708");
    EXPECT_EQ(entry.abyScTable[15], 0xFF);
    const std::string none = sim::ListServerSim::NoDataRecord("66666");
    ASSERT_EQ(ListSrv_ParseListRecord(Bytes(none), 159, &entry, &servId), 0);
    EXPECT_EQ(servId, 0u);
    EXPECT_EQ(Text(entry), "|66666|||||0|0|00000000|");
    rec[2] = 'A';  // a server ID that is text but not a number
    EXPECT_EQ(ListSrv_ParseListRecord(Bytes(rec), 159, &entry, &servId), LISTSRV_ERR_INVALID);
}

TEST(ListSrvParse, HealthCheckPartsAreBoundedByTheDatagram)
{
    testsupport::DebugCapture capture;
    HEALTH_CHECK_RES_V res[LISTSRV_HEALTH_RES_MAX];
    int n = -1;
    // An "S" part (an entry, an ID without address, an empty entry), then a part of another kind.
    const std::string answer =
        Answer('H', "S0039" + std::string("00007C0A80001") + "00009        " + std::string(13, ' ') + "X0002ab");
    ASSERT_TRUE(ListSrv_CheckUdpRes(Bytes(answer), static_cast<int>(answer.size()), 'H', 22));
    ASSERT_TRUE(ListSrv_ParseHealthCheckRes(Bytes(answer), static_cast<int>(answer.size()), res, 101, &n));
    ASSERT_EQ(n, 3);
    EXPECT_EQ(std::make_tuple(res[0].dwServID, res[0].dwIpAddr, res[1].dwServID, res[1].dwIpAddr, res[2].dwServID),
              std::make_tuple(0x80000007u, Ip(192, 168, 0, 1), 0x80000009u, 0u, 0u));
    EXPECT_EQ(res[2].dwIpAddr, 0u);
    // A part longer than the datagram, a length that is no number, an address that is no hex.
    for (const char* part : {"S001400007C0A80001", "S00x300007C0A80001", "S001300007C0A8000Z"}) {
        const std::string bad = Answer('H', part);
        EXPECT_FALSE(ListSrv_ParseHealthCheckRes(Bytes(bad), static_cast<int>(bad.size()), res, 101, &n)) << part;
    }
}

constexpr DWORD kServerA = Ip(10, 0, 0, 1);
constexpr DWORD kServerB = Ip(10, 0, 0, 2);
constexpr DWORD kStranger = Ip(10, 9, 9, 9);

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

TEST_F(ListSrvUdp, AnswersCountGoOnlineAndUpdateFollowedRepeatersAndTheUnitsAddressOnlyWhenWellFormedAndFromListServers)
{
    const std::pair<std::string, DWORD> cases[] = {
        {Answer('H', ""), 1},
        {Answer('H', "", "0102"), 1},
        {Answer('P', "R0042"), 0},  // the answer to another request
        {Answer('H', "", "00x0"), 0},
        {Answer('H', "").substr(0, 21), 0},
        {"\n", 0},
    };
    for (const auto& [datagram, counts] : cases) {
        SCOPED_TRACE(datagram.size());
        DWORD before = 0, after = 0;
        EXPECT_TRUE(lsv::GetHealthCheckCount(kServerB, &before));
        Health(datagram, kServerB);
        EXPECT_TRUE(lsv::GetHealthCheckCount(kServerB, &after));
        EXPECT_EQ(after, before + counts);
    }
    EXPECT_EQ(ListSrv_GetListState(), LIST_STATE_READY);  // B is not the current server

    const std::string bare = Answer('H', "");
    EXPECT_TRUE(Health(bare, kServerA));
    EXPECT_EQ(ListSrv_GetListState(), LIST_STATE_ONLINE);
    EXPECT_TRUE(ListSrv_GetStatus(nullptr));
    ListSrv_Lock();
    lsv::s_dwTmRxIdleTime = GetTickCount() - 100000;
    ListSrv_Unlock();
    EXPECT_TRUE(Health(bare, kServerA));
    ListSrv_Lock();
    EXPECT_LT(GetTickCount() - lsv::s_dwTmRxIdleTime, 1000u);
    ListSrv_Unlock();
    EXPECT_EQ(Events(LISTSRV_EVENT_STATUS_CHANGED), 1);

    const std::string moved =
        Answer('H', "S0039" + std::string("000070A070002") + "000420A2A0001" + std::string(13, ' '));
    EXPECT_FALSE(Health(moved, kStranger));  // not a list server: nothing taken
    EXPECT_TRUE(Changed().empty());
    DWORD global = 0;
    ListSrv_GetStatus(&global);
    EXPECT_EQ(global, 0u);

    EXPECT_TRUE(Health(moved, kServerB));
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

    // Port check answers on the main port count only for the unit's radio ID.
    const int port = m_receiver->port;
    auto count = [port](DWORD server) {
        DWORD n = 99;
        return lsv::GetPortCheckCount(port, server, &n) ? static_cast<int>(n) : -1;
    };
    const std::string good = Answer('P', "R0042"), other = Answer('P', "R0043");
    ASSERT_EQ(good.size(), 27u);
    EXPECT_TRUE(ListSrv_OnRxPortCheck(good.data(), 27, kServerB, port));
    EXPECT_FALSE(ListSrv_OnRxPortCheck(good.data(), 26, kServerB, port));
    EXPECT_FALSE(ListSrv_OnRxPortCheck(other.data(), 27, kServerB, port));
    EXPECT_TRUE(ListSrv_OnRxPortCheck(good.data(), 27, kStranger, port));  // not counted
    EXPECT_EQ(std::make_tuple(count(kServerA), count(kServerB), count(kStranger)), std::make_tuple(0, 1, -1));
}

class ListSrvPortCheck : public ListSrvTest {
   protected:
    void SetUp() override
    {
        ListSrvTest::SetUp();
        StartFixed(2);
    }
    static std::future<Result> CheckAsync(int port)
    {
        return Async([port](WORD* code) { return ListSrv_PortCheck(port, code); });
    }
};

TEST_F(ListSrvPortCheck, MainPortIsCheckedThroughTheUnitsOwnSocket)
{
    m_farm.SetAll(ListKind::PortCheck, {.delayMs = 300});
    const uint16_t port = m_receiver->port;
    auto check = CheckAsync(port);
    ASSERT_TRUE(m_farm[1].WaitForRequests(ListKind::PortCheck, 1, 3000));
    EXPECT_EQ(UdpSocketsOnPort(port), 1);
    EXPECT_EQ(check.get(), Result(TRUE, 0));
    EXPECT_GE(m_receiver->portAnswers, 1);
    auto requests = m_farm[0].Requests(ListKind::PortCheck);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].raw, "#P" + Port5(port) + "R0042\n");
}

TEST_F(ListSrvPortCheck, OtherPortSharesOneBoundSocketBetweenOverlappingChecksAndClosesIt)
{
    m_farm.SetAll(ListKind::PortCheck, {.delayMs = 400});
    const uint16_t port = loopnet::FreePort(SOCK_DGRAM);
    auto first = CheckAsync(port);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::PortCheck, 1, 3000));
    auto second = CheckAsync(port);
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::PortCheck, 2, 3000));
    EXPECT_EQ(UdpSocketsOnPort(port), 1);
    EXPECT_EQ(first.get(), Result(TRUE, 0));
    EXPECT_EQ(second.get(), Result(TRUE, 0));
    // Gone once the port-check thread's current 50 ms wait on it has ended.
    EXPECT_TRUE(WaitUntil([port] { return UdpSocketsOnPort(port) == 0; }));
    EXPECT_EQ(m_receiver->portAnswers, 0);
}

TEST_F(ListSrvPortCheck, PortThatCannotBeBoundOrIsNeverAnsweredFails)
{
    const uint16_t port = loopnet::FreePort(SOCK_DGRAM);
    const int blocker = loopnet::BindUdp(port);
    ASSERT_GE(blocker, 0);
    EXPECT_EQ(CheckAsync(port).get(), Result(FALSE, LISTSRV_ERR_PORT));
    close(blocker);
    EXPECT_EQ(m_farm[0].RequestCount(ListKind::PortCheck), 0u);

    m_farm.SetAll(ListKind::PortCheck, {.fault = ListFault::Silent});
    auto check = CheckAsync(port);
    // Both probes are out, so their start ticks are taken: the move counts.
    ASSERT_TRUE(m_farm[1].WaitForRequests(ListKind::PortCheck, 1, 3000));
    WinEmu_AdvanceTicksForTest(5000);
    ASSERT_TRUE(Ends(check));
    EXPECT_EQ(check.get(), Result(FALSE, LISTSRV_ERR_COMM));
    EXPECT_TRUE(WaitUntil([port] { return UdpSocketsOnPort(port) == 0; }));
}

class ListSrvExchange : public ListSrvTest {
   protected:
    void SetUp() override
    {
        ListSrvTest::SetUp();
        StartFixed(1);
        ListSrv_SetCurrentIP(m_farm.address(0));
    }
    static BOOL Regist(WORD* code, LISTSRV_REGIST_PARAM* p)
    {
        *p = LISTSRV_REGIST_PARAM{};
        std::strcpy(p->szRadioID, "R0042");
        std::strcpy(p->szCallSign, "JA7KOV");
        p->abyScTable[0] = 0xA5;
        std::strcpy(p->szMailAddr, "op@example.org");
        return ListSrv_Regist(p, code);
    }
    void Behave(ListKind kind, ListFault fault, const std::string& code = std::string(), char letter = 0)
    {
        m_farm[0].SetBehaviour(kind, ListBehaviour{.fault = fault, .times = 1, .letter = letter, .code = code});
    }
};

TEST_F(ListSrvExchange, RegistTakesTheServersIdAndSendsEveryFieldOrReportsTheServersCodeOrInvalidResponse)
{
    LISTSRV_REGIST_PARAM p;
    WORD code = 0xFFFF;
    ASSERT_TRUE(Regist(&code, &p));
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(p.szServID, "10001");
    EXPECT_STREQ(p.szLastUpdate, "20240102030405");
    auto requests = m_farm[0].Requests(ListKind::Regist);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].raw, "#R     R0042JA7KOV" + std::string(87, ' ') + "0A5" + std::string(30, '0') + "0" +
                                   std::string(30, ' ') + "op@example.org" + std::string(46, ' ') + "\n");
    EXPECT_EQ(ListSrv_GetCurrentIP(), m_farm.address(0));

    const std::tuple<ListFault, std::string, char, WORD> cases[] = {
        {ListFault::ErrorCode, "0102", 0, 0x0102},  // header and a lone LF
        {ListFault::WrongLetter, "", 'S', LISTSRV_ERR_INVALID},
        {ListFault::BadDigits, "00A1", 0, LISTSRV_ERR_INVALID},
        {ListFault::ErrorCode, "0000", 0, LISTSRV_ERR_INVALID},  // "success" without the ID block
        {ListFault::ShortRecord, "", 0, LISTSRV_ERR_COMM},
    };
    for (const auto& [fault, answer, letter, expected] : cases) {
        Behave(ListKind::Regist, fault, answer, letter);
        EXPECT_FALSE(Regist(&code, &p));
        EXPECT_EQ(code, expected) << static_cast<int>(fault) << " " << answer;
        EXPECT_STREQ(p.szServID, "");
    }
}

TEST_F(ListSrvExchange, SilentServerFailsTheExchangeAfterThirtySecondsAndAStopEndsWaitingOnesAndRefusesNew)
{
    Behave(ListKind::Regist, ListFault::Silent);
    auto result = Async([](WORD* code) {
        LISTSRV_REGIST_PARAM p;
        return Regist(code, &p);
    });
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::Regist, 1, 5000));
    ASSERT_TRUE(testsupport::WaitForPause(lsv::IO_TIMEOUT_MS));  // the answer's wait has its start tick
    WinEmu_AdvanceTicksForTest(29000);
    // Not a duration: a limit shorter than 29 s would end the exchange now.
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    WinEmu_AdvanceTicksForTest(1000);
    ASSERT_TRUE(Ends(result));
    EXPECT_EQ(result.get(), Result(FALSE, LISTSRV_ERR_COMM));

    // The test clock stands still again: only the stop can end the waiting exchanges.
    m_farm[0].SetBehaviour(ListKind::Search, ListBehaviour{.fault = ListFault::Silent});
    m_farm[0].SetBehaviour(ListKind::HealthCheck, ListBehaviour{.fault = ListFault::Silent});
    static const LISTSRV_SEARCH_REQ_PARAM req{SEARCH_KEY_CALLSIGN, "JA"};
    auto search = [](WORD* code) { return ListSrv_Search(&req, nullptr, nullptr, code); };
    auto searching = Async(search);
    auto health = Async([](WORD* code) {
        const char* ids[] = {"00007"};
        return ListSrv_DbgHealthCheck(ids, 1, code);
    });
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::Search, 1, 5000));
    ASSERT_TRUE(m_farm[0].WaitForRequests(ListKind::HealthCheck, 1, 5000));
    ListSrv_Stop();
    ASSERT_TRUE(Ends(searching));
    ASSERT_TRUE(Ends(health));
    EXPECT_EQ(searching.get(), Result(FALSE, LISTSRV_ERR_COMM));
    EXPECT_EQ(health.get(), Result(FALSE, LISTSRV_ERR_CANCELED));
    EXPECT_EQ(Async(search).get(), Result(FALSE, LISTSRV_ERR_CANCELED));
}

struct Hits {
    std::vector<std::string> ids;
    size_t stopAfter = 0;  // 0: never
    static BOOL Collect(const LISTSRV_SEARCH_RES_PARAM* pRes, LPVOID pParam)
    {
        Hits* self = static_cast<Hits*>(pParam);
        self->ids.push_back(pRes->szServID);
        return self->stopAfter == 0 || self->ids.size() < self->stopAfter;
    }
};

TEST_F(ListSrvExchange, SearchSkipsBlankRecordsEndsAtTheLineFeedAndFailsOnShortRecordRefusingCallbackOrUnknownKey)
{
    const std::string a = sim::ListServerSim::SearchRecord(Repeater("00007", "11111"));
    const std::string b = sim::ListServerSim::SearchRecord(Repeater("00008", "22222", 1));
    m_farm[0].SetBehaviour(ListKind::Search, ListBehaviour{.fault = ListFault::Raw, .times = 1,
                                                           .raw = "$S0000" + a + " " + a.substr(1) + b + "\n"});
    Hits hits;
    LISTSRV_SEARCH_REQ_PARAM req{SEARCH_KEY_RADIO_ID, "1111122222abcdefghijklmnopqrstuvwxyz0123XYZ"};
    WORD code = 0xFFFF;
    ASSERT_TRUE(ListSrv_Search(&req, Hits::Collect, &hits, &code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(hits.ids, (std::vector<std::string>{"00007", "00008"}));
    auto requests = m_farm[0].Requests(ListKind::Search);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].raw, "#S00042R0042R1111122222abcdefghijklmnopqrstuvwxyz0123\n");

    m_farm[0].AddRepeater(Repeater("00007", "11111"));
    m_farm[0].AddRepeater(Repeater("00009", "11112"));
    Behave(ListKind::Search, ListFault::ShortRecord);
    req = {SEARCH_KEY_CALLSIGN, "JA"};
    EXPECT_FALSE(ListSrv_Search(&req, nullptr, nullptr, &code));
    EXPECT_EQ(code, LISTSRV_ERR_INVALID);
    Hits stopping{.ids = {}, .stopAfter = 1};
    EXPECT_FALSE(ListSrv_Search(&req, Hits::Collect, &stopping, &code));
    EXPECT_EQ(code, LISTSRV_ERR_COMM);
    EXPECT_EQ(stopping.ids.size(), 1u);
    LISTSRV_SEARCH_REQ_PARAM bad{static_cast<SEARCH_KEY>(6), "x"};
    EXPECT_FALSE(ListSrv_Search(&bad, nullptr, nullptr, &code));
    EXPECT_EQ(code, LISTSRV_ERR_SEARCH_KEY);
}

TEST_F(ListSrvExchange, GetListWithImmediateLineFeedSucceedsWithoutRecordsAndRequestsAreSentByteExact)
{
    Behave(ListKind::GetList, ListFault::LoneLf);
    const char* ids[] = {"11111", "22222"};
    WORD code = 0xFFFF;
    ASSERT_TRUE(ListSrv_DbgGetList(ids, 2, &code));
    EXPECT_EQ(code, 0);
    ListSrv_Lock();
    int pos = -1;
    EXPECT_EQ(ListSrv_GetNextListParam(&pos), nullptr);
    ListSrv_Unlock();
    EXPECT_EQ(Events(LISTSRV_EVENT_GET_LIST), 0);
    auto requests = m_farm[0].Requests(ListKind::GetList);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].raw, "#L00042R0042R11111R22222\n");

    m_farm[0].AddRepeater(Repeater("00007", "11111"));
    BYTE sc[16] = {0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xEF};
    ListSrv_SetSCTable(sc);
    const char* followed[] = {"00007", "00008", "00009"};
    code = 0xFFFF;
    ASSERT_TRUE(ListSrv_DbgHealthCheck(followed, 3, &code));
    EXPECT_EQ(code, 0);
    requests = m_farm[0].Requests(ListKind::HealthCheck);
    ASSERT_GE(requests.size(), 1u);
    char head[18];
    std::snprintf(head, sizeof(head), "#H%05u00042R0042", static_cast<unsigned>(m_receiver->port));
    EXPECT_EQ(requests[0].raw,
              head + std::string("S002000007000080000900042") + "D003312" + std::string(28, '0') + "EF1\n");
}

}  // namespace
