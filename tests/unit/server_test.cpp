// The unit core in process on a simulated board, its radio on a pty: the
// version and code-table answers byte for byte, the keep-alive and the health
// time-out on the test clock, the restart on a second version check, the peer
// status handed to the radio, power-down, the LEDs read from their GPIO value
// files, the idle loop's wait, and a start that must fail. The timer tick is
// driven by the test; every test brings a unit up and down again, so the life
// cycle runs many times in one process.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "config.h"
#include "debug.h"
#include "pty_link.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "server.h"
#include "sim_board.h"
#include "sockutil.h"
#include "test_support.h"
#include "unit_fixture.h"
#include "winemu.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using testsupport::StdoutTap;

// A UDP port nobody uses now, for the unit's peer port.
int FreeUdpPort()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// Log records that reach the ring log writer.
std::mutex g_logLock;
std::vector<std::string> g_logTexts;
BOOL RecordLog(const SYSTEMTIME*, const char* pData, int nLength)
{
    std::lock_guard<std::mutex> guard(g_logLock);
    g_logTexts.emplace_back(pData, static_cast<size_t>(nLength));
    return TRUE;
}
int LoggedCount(const std::string& needle)
{
    std::lock_guard<std::mutex> guard(g_logLock);
    int n = 0;
    for (const std::string& t : g_logTexts) {
        n += t.find(needle) != std::string::npos ? 1 : 0;
    }
    return n;
}

class UnitInProcess : public testsupport::InProcessUnit {
   protected:
    void TearDown() override
    {
        InProcessUnit::TearDown();
        Debug_SetLogWriterForTest(nullptr);
    }

    // Brings the unit up as main does, with the tick left to the test.
    bool Boot(const std::string& ini = "CommPort=2\nUsbPort=0\n")
    {
        int port = FreeUdpPort();
        m_board.WriteFile("/var/local/kovalan.ini", ini + "RxUdpPort=" + std::to_string(port) +
                                                        "\nTxUdpPort=" + std::to_string(port) + "\nProgram=KOVA-LAN\n");
        Sock_Construct();
        Server_Construct();
        m_constructed = true;
        CONFIG_Init();
        CONFIG_Load("/var/local/kovalan.ini", nullptr);
        m_tap = std::make_unique<StdoutTap>();
        char path[BOARD_PATH_MAX];
        Board_MapPath("/var/local/kovalan.log", path, sizeof(path));
        OpenLogFile(path, 0x40000);
        Server_SetManualTimerForTest(TRUE);
        bool ok = Sock_Init() && Server_Init() && Server_Start();
        m_radio = std::make_unique<sim::RadioSim>(*m_radioLink);
        return ok;
    }
    // Bare ticks: these tests send the radio's status reports themselves.
    void Tick(int n = 1)
    {
        for (int i = 0; i < n; ++i) {
            Server_TickForTest();
        }
    }
    bool Identify(const sim::radio::RadioIdentity& id = {}, const sim::radio::CodeTable& table = {})
    {
        if (!m_radio->Identify(id, table)) {
            return false;
        }
        // The radio has the code-table answer while the unit's handler may
        // still be finishing it under the serial lock (it notes the time of
        // that send, which the keep-alive counts from). Reading the repeater
        // information takes the same lock, so it returns after the handler.
        MY_REPEATER_INFO info;
        Server_GetMyRepeaterInfo(&info);
        return Server_GetUnitState() == UNIT_STATE_READY;
    }
    // The status character of the next frame of this command, or 0.
    char NextStatus(char command, int timeoutMs = 1000)
    {
        auto frame = m_radio->WaitFor(command, timeoutMs);
        if (!frame) {
            return 0;
        }
        EXPECT_TRUE(frame->ok()) << sim::radio::Hex(frame->raw);
        auto stat = sim::radio::ParseStatusAnswer(frame->param);
        return stat ? *stat : '?';
    }
    bool Lit(int gpio) { return m_board.LedLit(gpio); }
};

constexpr int COMM = sim::SimBoard::COMM_LED_GPIO;
constexpr int ALARM = sim::SimBoard::ALARM_LED_GPIO;

TEST_F(UnitInProcess, VersionAndCodeTableAreAnsweredByteForByteAndTheUnitBecomesReady)
{
    ASSERT_TRUE(Boot());
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_NONE);
    ASSERT_TRUE(m_radio->SendVersionCheck());
    auto v = m_radio->WaitFor('V', 2000);
    ASSERT_TRUE(v);
    const std::string param = "KOVA-LAN        ALLALL1.4.4 20210413                      ";
    ASSERT_EQ(param.size(), 58u);
    EXPECT_EQ(v->param, param);
    EXPECT_EQ(v->raw, sim::radio::Encode('V', param)) << sim::radio::Hex(v->raw);
    EXPECT_TRUE(v->ok());
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_INIT);

    ASSERT_TRUE(m_radio->SendCodeTable());
    auto i = m_radio->WaitFor('I', 2000);
    ASSERT_TRUE(i);
    EXPECT_EQ(sim::radio::Hex(i->raw), "01 49 30 30 30 31 30 04 33 46");
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_READY);
    EXPECT_TRUE(m_tap->WaitForCount("[I] state ready", 1));
}

TEST_F(UnitInProcess, RepeaterInfoCarriesTheRadiosIdentityAndCodeTable)
{
    ASSERT_TRUE(Boot());
    sim::radio::RadioIdentity id;
    id.name = "RPT-NAME";
    id.version = "2.1.0";
    id.radioId = "R0001";
    id.callSign = "JA1ZZZ";
    sim::radio::CodeTable table;
    table.Admit(5);
    table.Admit(127);
    table.locDgid = 0x12;
    table.defDgid = 0x34;
    ASSERT_TRUE(Identify(id, table));

    MY_REPEATER_INFO info;
    Server_GetMyRepeaterInfo(&info);
    EXPECT_STREQ(info.szName, "RPT-NAME");
    EXPECT_STREQ(info.szVersion, "2.1.0");
    EXPECT_STREQ(info.szRadioID, "R0001");
    EXPECT_STREQ(info.szCallSign, "JA1ZZZ");
    EXPECT_EQ(info.abySCTable[0], 0x20);
    EXPECT_EQ(info.abySCTable[15], 0x80);
    EXPECT_EQ(info.byLocDGID, 0x12);
    EXPECT_EQ(info.byDefDGID, 0x34);

    // A table of 32 characters carries no DG-IDs: both become 255.
    sim::radio::CodeTable plain;
    plain.Admit(1);
    ASSERT_TRUE(m_radio->SendCodeTable(plain));
    ASSERT_TRUE(m_radio->WaitFor('I', 2000));
    Server_GetMyRepeaterInfo(&info);
    EXPECT_EQ(info.abySCTable[0], 0x02);
    EXPECT_EQ(info.byLocDGID, 255);
    EXPECT_EQ(info.byDefDGID, 255);

    CLIENT_STATUS status;
    EXPECT_TRUE(Server_GetTargetStatus(99, &status));
    EXPECT_FALSE(Server_GetTargetStatus(100, &status));
}

TEST_F(UnitInProcess, KeepAliveAfterOneSecondAndErrorOnceAfterTenSilentSeconds)
{
    ASSERT_TRUE(Boot());
    ASSERT_TRUE(Identify());
    m_radio->Clear();

    // Real time passes as well, so each check keeps a margin on the test clock.
    WinEmu_AdvanceTicksForTest(800);
    Tick();
    EXPECT_FALSE(m_radio->WaitFor('C', 100));
    WinEmu_AdvanceTicksForTest(200);
    Tick();
    EXPECT_EQ(NextStatus('C'), '0');

    WinEmu_AdvanceTicksForTest(8000);
    Tick();
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_READY);
    WinEmu_AdvanceTicksForTest(2000);
    Tick();
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_ERROR);
    WinEmu_AdvanceTicksForTest(10000);
    Tick(3);
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_ERROR);
    EXPECT_TRUE(m_tap->WaitForCount("[W] health check timeout", 1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(m_tap->Count("[W] health check timeout"), 1);
}

TEST_F(UnitInProcess, SecondVersionCheckRestartsTheUnitWithoutAnAnswer)
{
    ASSERT_TRUE(Boot());
    ASSERT_TRUE(Identify());
    m_radio->Clear();
    ASSERT_TRUE(m_radio->SendVersionCheck());
    auto deadline = Clock::now() + 3s;
    while (m_tap->Count("now restarting..") == 0 && Clock::now() < deadline) {
        Server_OnIdle();
    }
    ASSERT_EQ(m_tap->Count("now restarting.."), 1);
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_NONE);
    EXPECT_FALSE(m_radio->WaitFor('V', 100));

    // The restarted unit answers the next one.
    ASSERT_TRUE(m_radio->SendVersionCheck());
    EXPECT_TRUE(m_radio->WaitFor('V', 2000));
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_INIT);
}

TEST_F(UnitInProcess, PendingPeerStatusIsConsumedAndTwoIsReportedAsZero)
{
    ASSERT_TRUE(Boot());
    ASSERT_TRUE(Identify());
    m_radio->Clear();

    SetLanStatus(0x0A000001, 1, 2);
    Tick(2);  // the line is still busy from the code-table answer
    EXPECT_FALSE(m_radio->WaitFor('P', 100));
    Tick();
    EXPECT_EQ(NextStatus('P'), '0');

    // Consumed: the next keep-alive is a plain 'C' and no notice follows.
    WinEmu_AdvanceTicksForTest(1000);
    Tick(4);
    EXPECT_EQ(NextStatus('C'), '0');
    EXPECT_FALSE(m_radio->WaitFor('P', 100));

    SetLanStatus(0x0A000001, 2, 5);
    Tick(3);
    EXPECT_EQ(NextStatus('P'), '5');
    SetLanStatus(0x0A000001, 2, 5);  // the same notice again is no news
    Tick(3);
    EXPECT_FALSE(m_radio->WaitFor('P', 100));
}

TEST_F(UnitInProcess, PowerDownStatusClosesTheLogFile)
{
    Debug_SetLogWriterForTest(RecordLog);
    {
        std::lock_guard<std::mutex> guard(g_logLock);
        g_logTexts.clear();
    }
    ASSERT_TRUE(Boot());
    ASSERT_TRUE(Identify());
    sim::radio::RadioStatus status;
    ASSERT_TRUE(m_radio->SendStatus(status, 'P'));
    ASSERT_TRUE(m_tap->WaitForCount("Rx: Status", 1));
    auto deadline = Clock::now() + 2s;
    while (LoggedCount("Rx: Status") == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(LoggedCount("Rx: Status"), 1);

    status.stat = '4';
    ASSERT_TRUE(m_radio->SendStatus(status, 'C'));
    ASSERT_TRUE(m_tap->WaitForCount("[I] Power down", 1));
    ASSERT_TRUE(m_radio->SendStatus(status, 'P'));
    ASSERT_TRUE(m_tap->WaitForCount("Rx: Status", 3));
    std::this_thread::sleep_for(100ms);
    // The power-down report itself is still logged; the one after it is not.
    EXPECT_EQ(LoggedCount("Rx: Status"), 2);
    EXPECT_EQ(m_tap->Count("[I] Power down"), 1);
}

TEST_F(UnitInProcess, LedsAreDarkBeforeTheRadioIsKnownWhileTheCarrierIsUp)
{
    ASSERT_TRUE(Boot());
    for (int tick = 1; tick <= 40; ++tick) {
        Tick();
        ASSERT_FALSE(Lit(COMM)) << "tick " << tick;
        ASSERT_FALSE(Lit(ALARM)) << "tick " << tick;
    }
    ASSERT_TRUE(m_radio->SendVersionCheck());
    ASSERT_TRUE(m_radio->WaitFor('V', 2000));
    Tick(10);
    EXPECT_FALSE(Lit(COMM));
    EXPECT_FALSE(Lit(ALARM));
    ASSERT_TRUE(m_radio->SendCodeTable());
    ASSERT_TRUE(m_radio->WaitFor('I', 2000));
    Tick();
    EXPECT_TRUE(Lit(COMM));
    EXPECT_FALSE(Lit(ALARM));
}

TEST_F(UnitInProcess, WithoutCarrierTheAlarmBlinksAfterTheGraceAndCommShowsAnActiveUnit)
{
    m_board.SetCarrier(false);
    ASSERT_TRUE(Boot());
    for (int tick = 1; tick <= 29; ++tick) {
        Tick();
        ASSERT_FALSE(Lit(ALARM)) << "tick " << tick;
        ASSERT_FALSE(Lit(COMM)) << "tick " << tick;
    }
    // 400 ms on, 400 ms off from the 30th tick on.
    std::string seen;
    for (int tick = 30; tick < 46; ++tick) {
        Tick();
        seen += Lit(ALARM) ? '1' : '0';
    }
    EXPECT_EQ(seen, "1111000011110000");
    EXPECT_FALSE(Lit(COMM));

    ASSERT_TRUE(Identify());
    Tick();
    EXPECT_TRUE(Lit(COMM));
    WinEmu_AdvanceTicksForTest(10000);
    Tick();
    ASSERT_EQ(Server_GetUnitState(), UNIT_STATE_ERROR);
    Tick(3);
    EXPECT_TRUE(Lit(COMM));
}

TEST_F(UnitInProcess, IdlePassWithNothingToDoWaitsOneTickUnlessWoken)
{
    ASSERT_TRUE(Boot());
    Server_OnIdle();  // settles anything left from the start
    auto start = Clock::now();
    Server_OnIdle();
    auto idle = Clock::now() - start;
    EXPECT_GE(idle, 80ms);
    EXPECT_LT(idle, 400ms);

    std::thread waker([] {
        std::this_thread::sleep_for(20ms);
        Server_Wake();
    });
    start = Clock::now();
    Server_OnIdle();
    auto woken = Clock::now() - start;
    waker.join();
    EXPECT_LT(woken, 80ms);
}

TEST_F(UnitInProcess, NoRadioPortMeansNoStart)
{
    EXPECT_FALSE(Boot("CommPort=0\nUsbPort=0\n"));
    EXPECT_TRUE(m_tap->WaitForCount("[W] serial port no is invalid", 1));
}

}  // namespace
