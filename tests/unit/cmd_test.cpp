// The command interpreter driven directly: a setting client is a socket record
// over one end of a socket pair, and a recording stand-in plays the unit core.
// One test runs lines over a real TCP connection. (The USB console is driven
// through the daemon as a process: tests/e2e.)
#include "cmd.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "board.h"
#include "cmdsrv.h"
#include "config.h"
#include "console.h"
#include "listsrv.h"
#include "log.h"
#include "loopnet.h"
#include "net.h"
#include "power_cut.h"
#include "serial.h"
#include "server.h"
#include "setting_client.h"
#include "sim_board.h"
#include "sockutil.h"
#include "test_support.h"
#include "usbfunc.h"

namespace {

// Target n reports link state n % 6; the search is busy until told otherwise.
struct FakeUnit {
    int connects = 0;
    int disconnects = 0;
    int searches = 0;
    bool searchBusy = true;
    SEARCH_RESULT results[SERVER_TARGET_COUNT] = {};
    std::vector<std::string> servIds;
    bool listLocked = false;
    bool servIdOutsideLock = false;
};
FakeUnit* g_unit = nullptr;

}  // namespace

BOOL Server_Connect() { return ++g_unit->connects > 0; }
void Server_Disconnect() { ++g_unit->disconnects; }
BOOL Server_GetTargetStatus(unsigned int nIndex, CLIENT_STATUS* pStatus)
{
    *pStatus = static_cast<CLIENT_STATUS>(nIndex % 6);
    return nIndex < SERVER_TARGET_COUNT;
}
void Server_GetMyRepeaterInfo(MY_REPEATER_INFO* pInfo)
{
    *pInfo = MY_REPEATER_INFO{"KOVA-RADIO", "D1", "T2", "1.02", "20210413", "00042", "JA1XYZ", {0, 0xFE}, 1, 0x7F};
}
BOOL Server_SearchReq() { return ++g_unit->searches > 0; }
BOOL Server_GetSearchResult(SEARCH_RESULT aResult[SERVER_TARGET_COUNT])
{
    std::memcpy(aResult, g_unit->results, sizeof(g_unit->results));
    return !g_unit->searchBusy;
}
void ListSrv_Lock() { g_unit->listLocked = true; }
void ListSrv_Unlock() { g_unit->listLocked = false; }
void ListSrv_SetServID(const char* pszID)
{
    g_unit->servIds.push_back(pszID);
    g_unit->servIdOutsideLock = g_unit->servIdOutsideLock || !g_unit->listLocked;
}

namespace {

using testsupport::CountOf;

const char kIni[] = "/var/local/kovalan.ini";
const std::string kNg = "NG\r\n";
const std::string kOk = "OK\r\n";
const std::string kCommandError = "command error\r\n";
const std::string kVersion = "KOVA-LAN Ver 1.4.4.0\r\n";
const std::string kHardwareError = "hardware error\r\n";

// The unit core's routing of setting-connection events.
void OnServerEvent(LPVOID client, DWORD event, LPVOID data, int, LPVOID)
{
    if (event == CMDSRV_EVENT_ACCEPT) {
        CMD_LogOnUser(client);
    } else if (event == CMDSRV_EVENT_DISCONNECT) {
        CMD_LogOffUser(client);
    } else if (event == CMDSRV_EVENT_RX_SETTING) {
        CMD_Exec(client, static_cast<char*>(data));
    }
}

std::string Repeat(const std::string& text, int count)
{
    return count > 0 ? text + Repeat(text, count - 1) : "";
}

// A setting client's socket record over a socket pair; the test holds the far end.
struct Client {
    Client()
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        sock.sock.store(fds[0]);
        peer = fds[1];
    }
    ~Client()
    {
        close(sock.sock.load());
        close(peer);
    }
    SOCK_PARAM sock{};
    int peer = -1;
};

// Runs the lines for the client in turn; everything it was sent.
std::string Asks(Client& c, std::initializer_list<std::string> lines)
{
    std::string reply;
    for (std::string line : lines) {
        CMD_Exec(&c.sock, line.data());
        char buf[4096];
        for (ssize_t n; (n = recv(c.peer, buf, sizeof(buf), MSG_DONTWAIT)) > 0;) {
            reply.append(buf, static_cast<size_t>(n));
        }
    }
    return reply;
}

class CommandSet : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { WinEmu_Init(); }

    void SetUp() override
    {
        g_unit = &m_unit;
        ASSERT_TRUE(Board_SetRoot(m_board.root().c_str()));
        CONFIG_Init();
        CONFIG_Load(kIni, nullptr);
        NET_Construct();
        NET_Init();
        LOG_Init();
        CMD_Construct();
        ASSERT_TRUE(CMD_Init());
        Sock_Construct();
        ASSERT_TRUE(Sock_Init());
        CmdServer_Construct();
        ASSERT_TRUE(CmdServer_Init());
    }
    void TearDown() override
    {
        CmdServer_Destruct();
        Sock_Destruct();
        CMD_Destruct();
        LOG_Exit();
        NET_Destruct();
        Board_SetRoot(nullptr);
    }

    Client& User()
    {
        Client& c = m_clients.emplace_back();
        EXPECT_TRUE(CMD_LogOnUser(&c.sock));
        return c;
    }
    static const CONFIG_PARAM& Live() { return *CONFIG_Get(); }

    FakeUnit m_unit;
    sim::SimBoard m_board;
    std::deque<Client> m_clients;
};

TEST_F(CommandSet, BadLinesAndArgumentsAreRejectedAndChangeNothing)
{
    // clang-format off
    const char* bad[] = {
        "ver", "conn x", "disc x", "save x", "reboot x", "currip x", "vers x", "update x", "myrep x", "log x",
        "logsize x", "status", "status 1 2", "status x", "status 100", "target", "target 1 2 3", "target 100",
        "target 5 300.1.1.1", "target 4294967296 1.2.3.4", "enable", "enable 1 1 1", "enable 100 1", "enable 1 2",
        "mac 1 2", "mac 1:2:3:4:5", "mac 1:2:3:4:5:1FF", "mac 1:2:3:4::5", "mac 1:2:3:4:5:6:",
        "mac 1:2:3:4:5:100000001", "udpport 0", "udpport 65536", "udpport 4294967297", "udpport 1 2",
        "chkpass", "chkpass a b", "chkpass tarn wick", "setpass a", "setpass a b c", "factset", "factset x",
        "factset 0 0", "getdest 1", "getdest 5 3", "getdest 0 100", "setdest 1 1", "setdest 100 1 enable=1",
        "setdest 1 x enable=1", "enableall 1 2", "logflag enable=1", "logflag a b c", "logflag enable=1 flag=xyz",
        "listsrv 2", "listsrv 1 2", "search x", "searchres x", "lock 1", "lock 2 x", "lock 1 2 3", "regist",
        "portchk 1", "repsearch", "listinfo", "listdebug 1", "liststatus x", "settingport 0", "settingport 65536",
        "settingport 1 2", "ntp 1", "ntp 2 x", "ntp 1 2 3", "updatecount x", "netparam -x", "netparam 1.2.3",
        "netparam 10.0.0.1 255.0.0", "netparam -", "bogus"};
    // clang-format on
    Client& c = User();
    const CONFIG_PARAM before = Live();
    for (const char* line : bad) {
        EXPECT_EQ(Asks(c, {line}), kCommandError) << line;
    }
    EXPECT_EQ(Asks(c, {"getdest 1" + Repeat(" 1", 15)}), "parameter error\r\n");  // 17 words
    EXPECT_EQ(Asks(c, {"   "}), "");
    EXPECT_EQ(std::memcmp(&before, &Live(), sizeof(before)), 0);
    EXPECT_FALSE(CMD_IsWriteBusy());
    EXPECT_TRUE(m_board.Commands().empty());
    EXPECT_EQ(m_unit.connects + m_unit.disconnects + m_unit.searches, 0);

    // Words match in any case, blanks and tabs split them, 16 are allowed,
    // and a quoted blank keeps one word (two words: the PassWord is just wrong).
    EXPECT_EQ(Asks(c, {"\t VeRs  \t"}), kVersion);
    EXPECT_EQ(Asks(c, {"getdest 1" + Repeat(" 1", 14)}).substr(0, 10), "getdest 1 ");
    EXPECT_EQ(Asks(c, {"chkpass \"tarn wick\""}), kNg);
}

TEST_F(CommandSet, ACommandRunsOnlyUnderTheCommandLockAndGivesUpWhenItsConnectionCloses)
{
    Client& c = User();
    CMD_Lock();
    c.sock.bClose = TRUE;  // a stop shut the connection while the command waited
    EXPECT_EQ(Asks(c, {"conn"}), "");
    CMD_Unlock();
    EXPECT_EQ(m_unit.connects, 0);
    c.sock.bClose = FALSE;
    EXPECT_EQ(Asks(c, {"conn"}), kOk);
    EXPECT_EQ(m_unit.connects, 1);
}

TEST_F(CommandSet, The66thClientGetsNgWhereARecordIsNeededButTheConsoleKeepsItsOwnSession)
{
    int clients[CMD_MAX_USERS];
    for (int i = 0; i < CMD_MAX_USERS - 1; ++i) {
        ASSERT_TRUE(CMD_LogOnUser(&clients[i]));
    }
    // The USB port logs on again at every restart of the unit.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(CMD_LogOnUser(USBFUNC_GetHandle()));
    }
    EXPECT_FALSE(CMD_LogOnUser(&clients[CMD_MAX_USERS - 1]));
    Client late;
    EXPECT_EQ(Asks(late, {"udpport", "vers", "status 0", "mac"}), "NG\r\nNG\r\nidle\r\n02:00:00:00:00:01\r\n");

    Client console;  // the far end is the keyboard and the screen
    CON_SetDescriptorsForTest(console.sock.sock.load(), console.sock.sock.load());
    const std::string typed = "udpport 30000\rudpport\r";
    ASSERT_EQ(write(console.peer, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    for (size_t i = 0; i < typed.size(); ++i) {
        CMD_OnIdle();
    }
    CON_SetDescriptorsForTest(-1, -1);
    char shown[256] = {};
    ASSERT_GT(read(console.peer, shown, sizeof(shown) - 1), 0);
    EXPECT_EQ(std::string(shown), "udpport 30000\nOK\r\nudpport\n30000\r\n");
    EXPECT_TRUE(CMD_IsWriteBusy());
    EXPECT_TRUE(CMD_LogOffUser(&clients[0]));
    EXPECT_FALSE(CMD_LogOffUser(&clients[0]));
}

TEST_F(CommandSet, EditsStayInTheirUsersWorkingCopyUntilUpdateCommitsThem)
{
    Client& a = User();
    Client& b = User();
    EXPECT_EQ(Asks(a, {"updatecount", "udpport 30000", "udpport"}), "00000001\r\nOK\r\n30000\r\n");
    EXPECT_EQ(Asks(b, {"udpport"}), "21110\r\n");
    EXPECT_TRUE(CMD_IsWriteBusy());
    EXPECT_EQ(Asks(a, {"update"}), kOk);
    EXPECT_TRUE(CMD_IsUpdated());
    EXPECT_FALSE(CMD_IsUpdated());
    EXPECT_FALSE(CMD_IsWriteBusy());
    // A user who is not editing reads what another one committed.
    EXPECT_EQ(Asks(b, {"udpport", "enable 7 1"}), "30000\r\nOK\r\n");
    EXPECT_EQ(Asks(a, {"enable 7"}), "0\r\n");
    EXPECT_EQ(Asks(b, {"update"}), kOk);
    EXPECT_EQ(Asks(a, {"enable 7", "updatecount"}), "1\r\n00000003\r\n");
    EXPECT_FALSE(m_board.Exists(kIni));  // nobody asked for a save
}

TEST_F(CommandSet, AnEditIsDroppedByVersOrAfter60SecondsAlone)
{
    CONFIG_Get()->bLockEnable = TRUE;
    Client& c = User();
    EXPECT_EQ(Asks(c, {"chkpass tarnwick", "udpport 30000", "factset 0", "vers"}), "OK\r\nOK\r\nOK\r\n" + kVersion);
    EXPECT_FALSE(CMD_IsWriteBusy());
    EXPECT_EQ(Asks(c, {"udpport", "factset 1"}), "21110\r\nNG\r\n");  // still logged on

    EXPECT_EQ(Asks(c, {"udpport 30000"}), kOk);
    WinEmu_AdvanceTicksForTest(59000);
    CMD_OnTimer();
    EXPECT_TRUE(CMD_IsWriteBusy());
    WinEmu_AdvanceTicksForTest(2000);
    CMD_OnTimer();
    EXPECT_FALSE(CMD_IsWriteBusy());
    EXPECT_EQ(Asks(c, {"enable 3 1", "update", "udpport", "enable 3"}), "OK\r\nOK\r\n21110\r\n1\r\n");
}

TEST_F(CommandSet, SaveWritesTheStampedWorkingCopyAtTheNextUpdateOnly)
{
    const std::string saved =
        "RxUdpPort=30000\nTxUdpPort=30000\nSettingPort=21002\nCommPort=2\nUsbPort=1000\nPassWord=tarnwick\n"
        "LockEnable=0\nLogEnableDbg=1\nLogFlagDbg=FFFFFFFF\nVersion=01040400\nProgram=KOVA-LAN\n";
    Client& c = User();
    EXPECT_EQ(Asks(c, {"udpport 30000", "save"}), "OK\r\nOK\r\n");
    EXPECT_FALSE(m_board.Exists(kIni));
    EXPECT_EQ(Asks(c, {"update"}), kOk);
    EXPECT_EQ(m_board.ReadFile(kIni), saved);
    EXPECT_EQ(m_board.ReadFile("/var/local/kovalan.bak"), saved);
    // A second update without save leaves the file alone.
    EXPECT_EQ(Asks(c, {"udpport 30001", "update"}), "OK\r\nOK\r\n");
    EXPECT_EQ(m_board.ReadFile(kIni), saved);
}

TEST_F(CommandSet, AFailedSaveAnswersHardwareErrorAndLeavesTheLiveConfigurationAlone)
{
    ASSERT_EQ(mkdir(m_board.Path(kIni).c_str(), 0755), 0);  // the ini file cannot be written
    Client& c = User();
    EXPECT_EQ(Asks(c, {"udpport 30000", "save", "update", "lock 1 secret", "setpass tarnwick other", "factset 0",
                       "factset 1"}),
              "OK\r\nOK\r\n" + Repeat(kHardwareError, 3) + kOk + kHardwareError);
    EXPECT_EQ(Asks(User(), {"udpport", "lock", "chkpass tarnwick"}), "21110\r\n0\r\nOK\r\n");
    EXPECT_FALSE(CMD_IsUpdated());
    EXPECT_EQ(Asks(c, {"lock"}), "0\r\n");
}

// A cut anywhere in a command that saves leaves the old or the new settings.
TEST_F(CommandSet, PowerCutInASavingCommandLeavesTheOldOrTheNewSettings)
{
    const std::string folder = m_board.Path("/var/local");
    struct Case {
        const char* title;
        std::initializer_list<std::string> lines;
    };
    for (const Case& c : {Case{"save+update", {"udpport 30000", "save", "update"}}, Case{"lock", {"lock 1 secret"}},
                          Case{"setpass", {"setpass tarnwick other"}}, Case{"factset", {"factset 0", "factset 1"}}}) {
        powercut::Put(folder, {});
        CONFIG_Init();
        CONFIG_Load(kIni, nullptr);
        CONFIG_PARAM* live = CONFIG_Get();
        for (int i = 0; i < CONFIG_MAX_TARGET; ++i) {  // the 100 targets a unit can lose
            live->aTargetInfo[i].bEnable = TRUE;
            live->aTargetInfo[i].dwTargetIP = 0x0A000000u + DWORD(i);
            std::snprintf(live->aTargetInfo[i].szMemo, CONFIG_MEMO_SIZE, "repeater %d on the hill", i);
        }
        ASSERT_TRUE(CMD_SaveConfig(nullptr));
        const std::string oldStored = powercut::Stored(*live);
        Client& user = User();
        powercut::Recorder rec(folder);
        EXPECT_EQ(Asks(user, c.lines), Repeat(kOk, int(c.lines.size())));
        rec.Stop();
        const std::string newStored = powercut::Stored(*live);
        ASSERT_NE(newStored, oldStored);
        powercut::Run(c.title, rec, [&](const powercut::Cut&) {
            return powercut::SettingsOutcome(folder, oldStored, newStored);
        });
    }
}

TEST_F(CommandSet, UpdateAfterANewSettingPortHoldsTheCommitUntilTheTcpClientGoes)
{
    CmdServer_SetCallback(OnServerEvent, nullptr);
    const WORD port = loopnet::FreePort(SOCK_STREAM);
    ASSERT_TRUE(CmdServer_Start(0, loopnet::FreePort(SOCK_DGRAM), port));
    sim::ReplyEnd oneLine;
    oneLine.lines = 1;
    sim::SettingClient tcp("127.0.0.1", port);
    EXPECT_EQ(tcp.Command("settingport 21003", oneLine).text, kOk);
    EXPECT_EQ(tcp.Command("update", oneLine).text, kOk);
    // The command lock is held from before the reply until the commit after the client goes.
    EXPECT_FALSE(CMD_TryLock());
    EXPECT_FALSE(CMD_IsUpdated());
    tcp.Close();
    CMD_Lock();
    CMD_Unlock();
    EXPECT_EQ(Live().nSettingPort, 21003);
    EXPECT_TRUE(CMD_IsUpdated());
}

TEST_F(CommandSet, WithTheLockOnOnlyTheOpenCommandsWorkUntilChkpass)
{
    Client& owner = User();
    EXPECT_EQ(Asks(owner, {"udpport 30000", "lock 1 secret"}), "OK\r\nOK\r\n");
    // The lock commits only its own fields: the edit stays in the working copy.
    EXPECT_NE(m_board.ReadFile(kIni).find("TxUdpPort=21110\n"), std::string::npos);
    EXPECT_NE(m_board.ReadFile(kIni).find("PassWord=secret\nLockEnable=1\n"), std::string::npos);
    EXPECT_EQ(Live().nTxUdpPort, 21110);
    EXPECT_FALSE(CMD_IsUpdated());
    // The owner is logged off too; the edit is still there to commit.
    EXPECT_EQ(Asks(owner, {"udpport", "lock 1 again", "chkpass secret", "update"}), "NG\r\nNG\r\nOK\r\nOK\r\n");
    EXPECT_EQ(Live().nTxUdpPort, 30000);
    EXPECT_TRUE(Live().bLockEnable);

    Client& c = User();
    EXPECT_EQ(Asks(c, {"save", "update", "target 1", "getdest 0 0", "enableall", "myrep", "log", "logsize", "logflag",
                       "searchres", "updatecount", "setdest 1 1 enable=1", "netparam -r"}),
              Repeat(kNg, 13));
    EXPECT_EQ(Asks(c, {"status 0", "netparam", "mac", "conn", "disc", "lock"}),
              "idle\r\ndhcp\r\n02:00:00:00:00:01\r\nOK\r\nOK\r\n1\r\n");
    EXPECT_EQ(Asks(c, {"chkpass SECRET", "chkpass secret", "udpport", "lock 0 wrong", "lock 0 secret"}),
              "NG\r\nOK\r\n30000\r\nNG\r\nOK\r\n");
    EXPECT_FALSE(Live().bLockEnable);
    EXPECT_EQ(Asks(c, {"lock 0 secret"}), kNg);
}

TEST_F(CommandSet, SetpassNeedsTheOldPasswordAndLogsTheUserOff)
{
    CONFIG_Get()->bLockEnable = TRUE;
    Client& c = User();
    EXPECT_EQ(Asks(c, {"chkpass tarnwick", "setpass wrong new", "setpass tarnwick 0123456789abcdefXYZ"}),
              "OK\r\nNG\r\nOK\r\n");
    EXPECT_STREQ(Live().szPassWord, "0123456789abcdef");
    EXPECT_NE(m_board.ReadFile(kIni).find("PassWord=0123456789abcdef\n"), std::string::npos);
    // Texts the ini file cannot keep would lock the owner out after a restart.
    EXPECT_EQ(Asks(c, {"udpport", "chkpass 0123456789abcdef", "setpass 0123456789abcdef a;b",
                       "setpass 0123456789abcdef \"ab\"", "udpport"}),
              "NG\r\nOK\r\n" + kCommandError + kCommandError + "21110\r\n");
}

TEST_F(CommandSet, FactsetResetsOnlyAfterStepZeroAndRaisesTheUpdate)
{
    CONFIG_PARAM* live = CONFIG_Get();
    live->nTxUdpPort = live->nRxUdpPort = 30000;
    live->nSettingPort = 21004;
    live->bLockEnable = TRUE;
    live->aTargetInfo[9].bEnable = TRUE;
    live->aTargetInfo[9].dwTargetIP = 0x0A000009;
    Client& c = User();
    EXPECT_EQ(Asks(c, {"factset 1", "factset 0", "factset 0", "factset 1"}), "NG\r\nOK\r\nNG\r\nOK\r\n");
    EXPECT_TRUE(CMD_IsUpdated());
    EXPECT_EQ(m_board.ReadFile(kIni).find("Target"), std::string::npos);
    EXPECT_NE(m_board.ReadFile(kIni).find("SettingPort=21004\n"), std::string::npos);
    EXPECT_EQ(Asks(c, {"udpport", "settingport", "lock", "target 9", "updatecount", "factset 1"}),
              "21110\r\n21004\r\n0\r\n0.0.0.0\r\n00000002\r\nNG\r\n");
    EXPECT_EQ(m_unit.servIds, std::vector<std::string>{""});
    EXPECT_FALSE(m_unit.servIdOutsideLock);
    EXPECT_FALSE(m_unit.listLocked);
}

TEST_F(CommandSet, TargetEnableAndEnableallMarkOnlyTheEntriesTheyChange)
{
    Client& c = User();
    const std::string row = Repeat("10", 50);
    EXPECT_EQ(Asks(c, {"target 5 10.0.0.5", "target 5", "target 7 0.0.0.0", "enable 7 0",
                       "enableall " + row.substr(0, 99), "enableall " + row.substr(0, 98) + "21",
                       "enableall " + row + "1", "enableall", "update"}),
              "OK\r\n10.0.0.5\r\nOK\r\nOK\r\n" + kCommandError + kCommandError + kOk + row + "\r\nOK\r\n");
    const TARGET_INFO* t = Live().aTargetInfo;
    EXPECT_EQ(t[5].dwTargetIP, 0x0A000005u);
    EXPECT_TRUE(t[5].bChanged);
    EXPECT_FALSE(t[7].bChanged);
    EXPECT_TRUE(t[98].bEnable && t[98].bChanged);
    EXPECT_FALSE(t[99].bEnable);
}

TEST_F(CommandSet, GetdestListsEntriesFromToInclusive)
{
    CONFIG_Get()->aTargetInfo[7] = TARGET_INFO{3, 0xC0A80107, "JA1ABC", "12345", "a, b", {0xAB}, 0x0A, 0xFF, 0, 0};
    Client& c = User();
    EXPECT_EQ(Asks(c, {"getdest 7 7"}),
              "getdest 7 enable=1 target=192.168.1.7 sctbl=AB000000000000000000000000000000 callsign=\"JA1ABC\" "
              "radioid=\"12345\" memo=\"a, b\" loc_dgid=0A def_dgid=FF\r\n");
    const std::string all = Asks(c, {"getdest 60 99 extra"});
    EXPECT_EQ(CountOf(all, "\r\n"), 40u);
    EXPECT_EQ(all.substr(all.rfind("getdest ")),
              "getdest 99 enable=0 target=0.0.0.0 sctbl=00000000000000000000000000000000 callsign=\"\" "
              "radioid=\"\" memo=\"\" loc_dgid=FF def_dgid=FF\r\n");
    CONFIG_Get()->bListServer = TRUE;  // the current address is shown too
    CONFIG_Get()->aTargetInfo[7].dwCurrentIP = 0x0A000001;
    EXPECT_NE(Asks(c, {"getdest 7 7"}).find("memo=\"a, b\" currentip=10.0.0.1 loc_dgid=0A"), std::string::npos);
}

TEST_F(CommandSet, HostileCallSignCannotSplitTheIniLineOrForgeAReply)
{
    // Texts held byte for byte, as a peer sent them: each is shown and saved by the same rule.
    const std::vector<std::tuple<std::string, std::string, std::string, std::string>> rows = {
        {"AB\nUsbPort", "0\",x", "AB?UsbPort", "0?,x"},
        {"\r\nOK;\\\xff\r\nN", "\x1b[2J", "??OK?????N", "?[2J"},
    };
    const std::string table(32, '0');
    Client& c = User();
    for (const auto& [callSign, radioId, safeCall, safeRadio] : rows) {
        TARGET_INFO& t = CONFIG_Get()->aTargetInfo[7];
        t = TARGET_INFO{1, 0xC0A80107, "", "", "memo", {}, 0x0A, 0xFF, 0, 0};
        std::memcpy(t.szCallSign, callSign.c_str(), callSign.size());
        std::memcpy(t.szRadioID, radioId.c_str(), radioId.size());
        EXPECT_EQ(Asks(c, {"getdest 7 7"}), "getdest 7 enable=1 target=192.168.1.7 sctbl=" + table + " callsign=\"" +
                                                safeCall + "\" radioid=\"" + safeRadio +
                                                "\" memo=\"memo\" loc_dgid=0A def_dgid=FF\r\n");
        ASSERT_TRUE(CMD_SaveConfig(nullptr));
        // One whole line, the next one the file's own.
        const std::string text = testsupport::ReadFileText(m_board.root() + kIni);
        EXPECT_NE(text.find("\nTarget7=1,192.168.1.7," + table + ",\"" + safeCall + "\",\"" + safeRadio +
                            "\",\"memo\"\nVersion="),
                  std::string::npos)
            << text;
    }
}

TEST_F(CommandSet, SetdestResetsWhatItIsNotGivenAndWhatANewAddressInvalidates)
{
    CONFIG_Get()->aTargetInfo[3] = TARGET_INFO{1, 0x0A000003, "JA1ABC", "12345", "old", {0x55}, 0xFF, 0xFF, 0, 0};
    Client& c = User();
    EXPECT_EQ(Asks(c, {"setdest 3 1 enable=1 target=bad", "setdest 3 1 memo=a;b", "getdest 3 3"}).substr(0, 73),
              kCommandError + kCommandError + "getdest 3 enable=1 target=10.0.0.3 sctbl=55");
    EXPECT_EQ(Asks(c, {"setdest 3 0 TARGET=10.0.0.9 junk other=1"}), "");
    EXPECT_EQ(Asks(c, {"getdest 3 3"}),
              "getdest 3 enable=0 target=10.0.0.9 sctbl=00000000000000000000000000000000 callsign=\"\" radioid=\"\" "
              "memo=\"\" loc_dgid=FF def_dgid=FF\r\n");
    EXPECT_EQ(Asks(c, {"setdest 4 1 enable=1 target=10.0.0.3 memo=\"two words\"", "update"}), "OK\r\nOK\r\n");
    EXPECT_TRUE(Live().aTargetInfo[3].bChanged);
    EXPECT_STREQ(Live().aTargetInfo[4].szMemo, "two words");

    // In ListServer mode the radio identifier is the key; the address stays.
    CONFIG_PARAM* live = CONFIG_Get();
    live->bListServer = TRUE;
    live->aTargetInfo[4].bChanged = FALSE;
    live->aTargetInfo[4].dwCurrentIP = 0x0A000063;
    live->aTargetInfo[4].abySCTable[0] = 0x11;
    EXPECT_EQ(Asks(c, {"setdest 4 1 enable=1 callsign=\"JA2XYZ\" radioid=54321 memo=two target=1.1.1.1", "update"}),
              "OK\r\nOK\r\n");
    EXPECT_EQ(Asks(c, {"getdest 4 4"}),
              "getdest 4 enable=1 target=10.0.0.3 sctbl=00000000000000000000000000000000 callsign=\"JA2XYZ\" "
              "radioid=\"54321\" memo=\"two\" currentip=0.0.0.0 loc_dgid=FF def_dgid=FF\r\n");
    EXPECT_TRUE(Live().aTargetInfo[4].bChanged);
}

TEST_F(CommandSet, StatusConnSearchAndMyrepReportTheUnitCore)
{
    Client& c = User();
    EXPECT_EQ(Asks(c, {"status 0", "status 1", "status 2", "status 3", "status 4", "status 5", "conn", "disc",
                       "search"}),
              "idle\r\nconnecting\r\nconnected\r\ndisconnecting\r\nwait disconnect\r\nidle\r\nOK\r\nOK\r\nOK\r\n");
    EXPECT_EQ(m_unit.connects + m_unit.disconnects + m_unit.searches, 3);
    EXPECT_EQ(Asks(c, {"myrep"}),
              "myrep name=\"KOVA-RADIO\" dst=\"D1\" type=\"T2\" version=\"1.02\" date=\"20210413\" radioid=\"00042\" "
              "callsign=\"JA1XYZ\" sctbl=00FE0000000000000000000000000000 loc_dgid=01 def_dgid=7F\r\n");
    EXPECT_EQ(Asks(c, {"searchres"}), "searchres BUSY\r\n");
    m_unit.searchBusy = false;
    m_unit.results[7] =
        SEARCH_RESULT{0x0A000007, 0x01040400, {{2, 0, 0, 0, 0xAB, 7}}, "JA7AAA", "00007", {0x10}, TRUE, 0xFF, 0};
    EXPECT_EQ(Asks(c, {"searchres"}),
              "searchres OK target=10.0.0.7 vers=01040400 mac=02:00:00:00:AB:07 callsign=\"JA7AAA\" radioid=\"00007\" "
              "sctbl=10000000000000000000000000000000 listsrv=1 loc_dgid=FF def_dgid=00\r\nsearchres END\r\n");
}

TEST_F(CommandSet, AListingStopsAtTheFirstReplyThatCannotBeSent)
{
    // The USB user is logged on but its port is not open: every send fails.
    Serial_Construct();
    ASSERT_TRUE(Serial_Init());
    ASSERT_TRUE(CMD_LogOnUser(USBFUNC_GetHandle()));
    m_unit.searchBusy = false;
    m_unit.results[4].ulAdrs = 0x0A000004;
    testsupport::DebugCapture capture;
    for (std::string line : {"getdest 0 99", "searchres", "log"}) {
        CMD_Exec(USBFUNC_GetHandle(), line.data());
    }
    std::string printed = capture.text();
    Serial_Destruct();
    // The listings stop at their first line; the empty log's only line is its closing line.
    EXPECT_EQ(CountOf(printed, "WARNING: Puts() failed\n"), 2u);
    EXPECT_EQ(CountOf(printed, "WARNING: USBFUNC_Send() failed\n"), 3u);
}

TEST_F(CommandSet, LogflagNtpAndListsrvReadBackWhatWasSet)
{
    Client& c = User();
    const std::string longName = Repeat("n", 300);
    // A missing logflag key takes its default; listsrv leaves the mode as configured.
    EXPECT_EQ(Asks(c, {"logflag", "logflag enable=0 flag=00000105", "logflag", "logflag enable=1 nothing", "logflag",
                       "ntp", "ntp 1 \"10.0.0.1,10.0.0.2\"", "ntp", "ntp 0 " + longName, "ntp", "listsrv 1",
                       "listsrv", "liststatus", "udpport 65535", "update"}),
              "enable=1 flag=FFFFFFFF\r\nOK\r\nenable=0 flag=00000105\r\nOK\r\nenable=1 flag=FFFFFFFF\r\n"
              "ntp 0 \"\"\r\nOK\r\nntp 1 \"10.0.0.1,10.0.0.2\"\r\nOK\r\nntp 0 \"" +
                  longName.substr(0, 255) + "\"\r\nOK\r\n0\r\nstatus=offline globalip=0.0.0.0\r\nOK\r\nOK\r\n");
    EXPECT_EQ(Live().dwLogFlag, 0xFFFFFFFFu);
    EXPECT_EQ(Live().nRxUdpPort, 65535);
    EXPECT_FALSE(Live().bListServer);
}

TEST_F(CommandSet, NetparamStagesParametersForUpdateOrAppliesThemAtOnce)
{
    Client& c = User();
    EXPECT_EQ(Asks(c, {"netparam -r", "update"}), "OK\r\nOK\r\n");
    EXPECT_FALSE(NET_IsChanged());
    EXPECT_EQ(Asks(c, {"netparam 192.168.1.10 255.255.255.0 192.168.1.1 ignored", "netparam"}), "OK\r\ndhcp\r\n");
    EXPECT_FALSE(NET_IsChanged());
    // A new address cuts a TCP client off: update reads what the client
    // still sends until it goes, and only then commits.
    ASSERT_EQ(write(c.peer, "bye", 3), 3);
    ASSERT_EQ(shutdown(c.peer, SHUT_WR), 0);
    EXPECT_EQ(Asks(c, {"update"}), kOk);
    char rest[8];
    EXPECT_EQ(recv(c.sock.sock.load(), rest, sizeof(rest), MSG_DONTWAIT), 0);
    EXPECT_TRUE(NET_IsChanged());
    EXPECT_TRUE(CMD_IsUpdated());
    NET_PARAM staged;
    NET_GetAddress(&staged);
    EXPECT_EQ(staged.dwIpAdrs, 0xC0A8010Au);
    EXPECT_TRUE(m_board.Commands().empty());

    Client& d = User();
    EXPECT_EQ(Asks(d, {"netparam /t 10.0.0.3 255.255.255.0", "netparam", "netparam -t 10.0.0.4 255.0.0.0 0.0.0.0",
                       "netparam"}),
              "OK\r\naddress=10.0.0.3 netmask=255.255.255.0 gateway=192.168.1.1\r\n"
              "OK\r\naddress=10.0.0.4 netmask=255.0.0.0\r\n");
    EXPECT_EQ(m_board.Commands(), (std::vector<std::string>{"ifconfig eth0 10.0.0.3 netmask 255.255.255.0",
                                                            "ifconfig eth0 10.0.0.4 netmask 255.0.0.0"}));
}

TEST_F(CommandSet, MacProgramsTheOtpFusesAndRebootRunsOnlyTheRebootCommand)
{
    Client& c = User();
    EXPECT_EQ(Asks(c, {"mac 0:11:22:33:44:0AB", "mac", "reboot"}), "OK\r\n00:11:22:33:44:AB\r\nOK\r\n");
    EXPECT_EQ(m_board.Commands(), std::vector<std::string>{"reboot"});
    EXPECT_EQ(m_board.ReadFile("/sys/fsl_otp/HW_OCOTP_MAC0").find("0x223344ab"), 0u);
    EXPECT_EQ(m_board.ReadFile("/sys/fsl_otp/HW_OCOTP_MAC1").find("0x0011"), 0u);
    unlink(m_board.Path("/sys/fsl_otp/HW_OCOTP_MAC0").c_str());
    EXPECT_EQ(Asks(c, {"mac", "mac 02:00:00:00:00:02"}), "NG\r\nNG\r\n");
}

TEST_F(CommandSet, LogListsTheRingNewestFirstAndEndsWithTheZLine)
{
    Client& c = User();
    EXPECT_EQ(Asks(c, {"log"}), "log Z\r\n");
    ASSERT_TRUE(LOG_Open(m_board.Path("/var/local/kovalan.log").c_str(), 4096));
    SYSTEMTIME t = {2024, 1, 2, 2, 3, 4, 5, 0};
    ASSERT_TRUE(LOG_Write(&t, "abc", 3));
    t.wSecond = 6;
    std::string longText = Repeat("x", 52) + "y";
    ASSERT_TRUE(LOG_Write(&t, longText.data(), static_cast<int>(longText.size())));
    EXPECT_EQ(Asks(c, {"log"}),
              "log E 79\r\nlog L 20240102030406 " + Repeat("78", 52) + "\r\nlog L 20240102030405 616263\r\nlog Z\r\n");
    EXPECT_EQ(Asks(c, {"logsize"}), "logsize=4096 filesize=192 recsize=64\r\n");
}

}  // namespace
