// The command interpreter over a loopback setting connection and the USB
// console (a pty standing for the gadget tty) on a simulated board, with a
// recording stand-in for the unit core.
#include "cmd.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
#include "pty_link.h"
#include "serial.h"
#include "server.h"
#include "setting_client.h"
#include "sim_board.h"
#include "sockutil.h"
#include "test_support.h"
#include "usbfunc.h"

// --- the unit core and the directory client, as the commands see them ---

namespace {

// Target n reports link state n % 6; the search is busy until told otherwise.
struct FakeUnit {
    std::mutex mutex;
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

BOOL Server_Connect()
{
    std::lock_guard<std::mutex> lock(g_unit->mutex);
    return ++g_unit->connects > 0;
}
void Server_Disconnect()
{
    std::lock_guard<std::mutex> lock(g_unit->mutex);
    ++g_unit->disconnects;
}
BOOL Server_GetTargetStatus(unsigned int nIndex, CLIENT_STATUS* pStatus)
{
    *pStatus = static_cast<CLIENT_STATUS>(nIndex % 6);
    return nIndex < SERVER_TARGET_COUNT;
}
void Server_GetMyRepeaterInfo(MY_REPEATER_INFO* pInfo)
{
    *pInfo = MY_REPEATER_INFO{"KOVA-RADIO", "D1", "T2", "1.02", "20210413", "00042", "JA1XYZ", {0, 0xFE}, 1, 0x7F};
}
BOOL Server_SearchReq()
{
    std::lock_guard<std::mutex> lock(g_unit->mutex);
    return ++g_unit->searches > 0;
}
BOOL Server_GetSearchResult(SEARCH_RESULT aResult[SERVER_TARGET_COUNT])
{
    std::lock_guard<std::mutex> lock(g_unit->mutex);
    std::memcpy(aResult, g_unit->results, sizeof(g_unit->results));
    return !g_unit->searchBusy;
}
void ListSrv_Lock()
{
    std::lock_guard<std::mutex> lock(g_unit->mutex);
    g_unit->listLocked = true;
}
void ListSrv_Unlock()
{
    std::lock_guard<std::mutex> lock(g_unit->mutex);
    g_unit->listLocked = false;
}
void ListSrv_SetServID(const char* pszID)
{
    std::lock_guard<std::mutex> lock(g_unit->mutex);
    g_unit->servIds.push_back(pszID);
    g_unit->servIdOutsideLock = g_unit->servIdOutsideLock || !g_unit->listLocked;
}

namespace {

using sim::ReplyEnd;
using sim::SettingClient;
using testsupport::DebugCapture;

const char kIni[] = "/var/local/kovalan.ini";
const char kDefaultIni[] =
    "RxUdpPort=21110\nTxUdpPort=21110\nSettingPort=21002\nCommPort=2\nUsbPort=1000\nPassWord=tarnwick\n"
    "LockEnable=0\nLogEnableDbg=1\nLogFlagDbg=FFFFFFFF\nVersion=01040400\nProgram=KOVA-LAN\n";
const std::string kNg = "NG\r\n";
const std::string kOk = "OK\r\n";
const std::string kCommandError = "command error\r\n";

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

// The unit core's USB line editor, on the USB channel's receive thread.
char g_usbLine[CMDSRV_LINE_BUFFER_SIZE];
int g_usbIndex = 0;
void OnUsbEvent(DWORD event, BYTE* data, int length, LPVOID)
{
    for (int i = 0; event == USBFUNC_EVENT_RX && i < length; ++i) {
        if (CmdServer_EditLine(g_usbLine, &g_usbIndex, data[i])) {
            USBFUNC_Send(reinterpret_cast<const BYTE*>("\r\n"), 2);
            g_usbIndex = 0;
            CMD_Exec(USBFUNC_GetHandle(), g_usbLine);
        }
    }
}

using testsupport::CountOf;

std::string Repeat(const std::string& text, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += text;
    }
    return out;
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
        CmdServer_SetCallback(OnServerEvent, nullptr);
        m_port = loopnet::FreePort(SOCK_STREAM);
        ASSERT_TRUE(CmdServer_Start(0, loopnet::FreePort(SOCK_DGRAM), m_port));
    }
    void TearDown() override
    {
        CloseUsb();
        CmdServer_Destruct();
        Sock_Destruct();
        CMD_Destruct();
        LOG_Exit();
        NET_Destruct();
        Board_SetRoot(nullptr);
    }

    SettingClient* Tcp()
    {
        m_tcp.push_back(std::make_unique<SettingClient>("127.0.0.1", m_port));
        return m_tcp.back().get();
    }
    // The USB console with its user record, as the unit core opens it.
    SettingClient* Usb()
    {
        m_gadget = std::make_unique<sim::PtyLink>(m_board.root(), "ttyGS0");
        Serial_Construct();
        Serial_Init();
        USBFUNC_Construct();
        USBFUNC_SetCallback(OnUsbEvent, nullptr);
        EXPECT_TRUE(USBFUNC_Open(1000));
        EXPECT_TRUE(CMD_LogOnUser(USBFUNC_GetHandle()));
        m_usb = std::make_unique<SettingClient>(*m_gadget);
        return m_usb.get();
    }
    void CloseUsb()
    {
        if (m_gadget) {
            USBFUNC_SetCallback(nullptr, nullptr);
            USBFUNC_Close();
            Serial_Destruct();
            CMD_LogOffUser(USBFUNC_GetHandle());
            m_usb.reset();
            m_gadget.reset();
        }
    }

    // The reply to one line: `lines` lines, or whatever came until quiet.
    static std::string Ask(SettingClient* c, const std::string& line, int lines = 1)
    {
        ReplyEnd end;
        end.lines = lines;
        return c->Command(line, end).text;
    }
    static std::string AskUntil(SettingClient* c, const std::string& line, const std::string& lastPrefix)
    {
        ReplyEnd end;
        end.lastPrefix = lastPrefix;
        return c->Command(line, end).text;
    }

    // The live configuration as a holder of the command lock sees it.
    static CONFIG_PARAM Live()
    {
        CMD_Lock();
        CONFIG_PARAM copy = *CONFIG_Get();
        CMD_Unlock();
        return copy;
    }
    static TARGET_INFO Live(int n) { return Live().aTargetInfo[n]; }
    // Changes the live configuration as the unit core does, under the command lock.
    template <typename F>
    static void EditLive(F edit)
    {
        CMD_Lock();
        edit(CONFIG_Get());
        CMD_Unlock();
    }

    FakeUnit m_unit;
    sim::SimBoard m_board;
    WORD m_port = 0;
    std::vector<std::unique_ptr<SettingClient>> m_tcp;
    std::unique_ptr<sim::PtyLink> m_gadget;
    std::unique_ptr<SettingClient> m_usb;
};

// --- the interpreter ---

TEST_F(CommandSet, WordsMatchInAnyCaseAndLinesAreSplitIntoAtMost16Words)
{
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "VeRs"), "KOVA-LAN Ver 1.4.4.0\r\n");
    EXPECT_EQ(Ask(c, "\t vers  \t"), "KOVA-LAN Ver 1.4.4.0\r\n");
    EXPECT_EQ(Ask(c, "ver"), kCommandError);
    EXPECT_EQ(Ask(c, "   ", 0), "");
    EXPECT_EQ(Ask(c, "getdest 1" + Repeat(" 1", 15)), "parameter error\r\n");
    EXPECT_EQ(Ask(c, "getdest 1" + Repeat(" 1", 14)).substr(0, 10), "getdest 1 ");
    // A quoted blank keeps one word: two words, the PassWord is just wrong.
    EXPECT_EQ(Ask(c, "chkpass \"tarn wick\""), kNg);
    EXPECT_EQ(Ask(c, "chkpass tarn wick"), kCommandError);
}

TEST_F(CommandSet, WrongWordCountsAndBadArgumentsAreCommandErrorsThatChangeNothing)
{
    // clang-format off
    const char* bad[] = {
        "conn x", "disc x", "save x", "reboot x", "currip x", "vers x", "update x", "myrep x", "log x", "logsize x",
        "status", "status 1 2", "status x", "status 100", "target", "target 1 2 3", "target 100",
        "target 5 300.1.1.1", "target 4294967296 1.2.3.4", "enable", "enable 1 1 1", "enable 100 1", "enable 1 2",
        "mac 1 2", "mac 1:2:3:4:5", "mac 1:2:3:4:5:1FF", "mac 1:2:3:4::5", "mac 1:2:3:4:5:6:",
        "mac 1:2:3:4:5:100000001", "udpport 0", "udpport 65536", "udpport 4294967297", "udpport 1 2",
        "chkpass", "chkpass a b", "setpass a", "setpass a b c", "factset", "factset x", "factset 0 0",
        "getdest 1", "getdest 5 3", "getdest 0 100", "setdest 1 1", "setdest 100 1 enable=1", "setdest 1 x enable=1",
        "enableall 1 2", "logflag enable=1", "logflag a b c", "logflag enable=1 flag=xyz", "listsrv 2",
        "listsrv 1 2", "search x", "searchres x", "lock 1", "lock 2 x", "lock 1 2 3", "regist", "portchk 1",
        "repsearch", "listinfo", "listdebug 1", "liststatus x", "settingport 0", "settingport 65536",
        "settingport 1 2", "ntp 1", "ntp 2 x", "ntp 1 2 3", "updatecount x", "netparam -x", "netparam 1.2.3",
        "netparam 10.0.0.1 255.0.0", "netparam -", "bogus"};
    // clang-format on
    SettingClient* c = Usb();
    CONFIG_PARAM before = Live();
    for (const char* line : bad) {
        EXPECT_EQ(Ask(c, line), kCommandError) << line;
    }
    CONFIG_PARAM after = Live();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(before)), 0);
    EXPECT_FALSE(CMD_IsWriteBusy());
    EXPECT_TRUE(m_board.Commands().empty());
    std::lock_guard<std::mutex> lock(m_unit.mutex);
    EXPECT_EQ(m_unit.connects + m_unit.disconnects + m_unit.searches, 0);
}

TEST_F(CommandSet, ACommandWaitsForTheCommandLockAndIsDroppedWhenItsConnectionIsStopped)
{
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "vers"), "KOVA-LAN Ver 1.4.4.0\r\n");  // logs the connection on
    // The echoed line end comes before the command runs; while the lock is
    // held the command cannot have reached the unit core.
    CMD_Lock();
    ASSERT_TRUE(c->Send("conn\r"));
    EXPECT_EQ(c->ReadUntil("\r\n", 2000), "\r\n");
    {
        std::lock_guard<std::mutex> lock(m_unit.mutex);
        EXPECT_EQ(m_unit.connects, 0);
    }
    CMD_Unlock();
    EXPECT_EQ(c->ReadUntil(kOk, 2000), kOk);

    CMD_Lock();
    ASSERT_TRUE(c->Send("conn\r"));
    c->ReadUntil("\r\n", 2000);
    CmdServer_Stop();  // shuts every connection: the waiting command gives up
    CMD_Unlock();
    std::lock_guard<std::mutex> lock(m_unit.mutex);
    EXPECT_EQ(m_unit.connects, 1);
}

TEST_F(CommandSet, The66thClientGetsNgWhereARecordIsNeededAndRepeatedLogOnsKeepOneRecord)
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
    SettingClient* late = Tcp();
    EXPECT_EQ(Ask(late, "udpport"), kNg);
    EXPECT_EQ(Ask(late, "vers"), kNg);
    EXPECT_EQ(Ask(late, "status 0"), "idle\r\n");
    EXPECT_EQ(Ask(late, "mac"), "02:00:00:00:00:01\r\n");
    EXPECT_TRUE(CMD_LogOffUser(&clients[0]));
    EXPECT_FALSE(CMD_LogOffUser(&clients[0]));
}

// --- sessions, commit and the update signal ---

TEST_F(CommandSet, EditsStayInTheirUsersWorkingCopyUntilUpdateCommitsThem)
{
    SettingClient* usb = Usb();
    SettingClient* tcp = Tcp();
    EXPECT_EQ(Ask(tcp, "updatecount"), "00000001\r\n");
    EXPECT_EQ(Ask(usb, "udpport"), "21110\r\n");
    DebugCapture capture;
    EXPECT_EQ(Ask(tcp, "udpport 30000"), kOk);
    EXPECT_NE(capture.text().find("UDP port changed 30000\n"), std::string::npos);
    EXPECT_EQ(Ask(tcp, "udpport"), "30000\r\n");
    EXPECT_EQ(Ask(usb, "udpport"), "21110\r\n");
    EXPECT_EQ(Live().nRxUdpPort, 21110);
    EXPECT_TRUE(CMD_IsWriteBusy());
    EXPECT_EQ(Ask(tcp, "update"), kOk);
    // The reply goes out before the commit: taking the command lock waits
    // for the command to finish.
    EXPECT_EQ(Live().nRxUdpPort, 30000);
    EXPECT_TRUE(CMD_IsUpdated());
    EXPECT_FALSE(CMD_IsUpdated());
    EXPECT_FALSE(CMD_IsWriteBusy());
    EXPECT_EQ(Live().nTxUdpPort, 30000);
    // A user who is not editing reads what another one committed.
    EXPECT_EQ(Ask(usb, "udpport"), "30000\r\n");
    EXPECT_EQ(Ask(usb, "enable 7 1"), kOk);
    EXPECT_EQ(Ask(tcp, "enable 7"), "0\r\n");
    EXPECT_EQ(Ask(usb, "update"), kOk);
    EXPECT_TRUE(Live(7).bEnable);
    EXPECT_EQ(Ask(tcp, "updatecount"), "00000003\r\n");
    EXPECT_FALSE(m_board.Exists(kIni));  // nobody asked for a save
}

TEST_F(CommandSet, AnEditIsDroppedByVersOrAfter60SecondsAlone)
{
    CONFIG_Get()->bLockEnable = TRUE;
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "chkpass tarnwick"), kOk);
    EXPECT_EQ(Ask(c, "udpport 30000"), kOk);
    EXPECT_EQ(Ask(c, "factset 0"), kOk);
    EXPECT_EQ(Ask(c, "vers"), "KOVA-LAN Ver 1.4.4.0\r\n");
    EXPECT_FALSE(CMD_IsWriteBusy());
    EXPECT_EQ(Ask(c, "udpport"), "21110\r\n");  // still logged on
    EXPECT_EQ(Ask(c, "factset 1"), kNg);

    EXPECT_EQ(Ask(c, "udpport 30000"), kOk);
    WinEmu_AdvanceTicksForTest(59000);
    CMD_OnTimer();
    EXPECT_TRUE(CMD_IsWriteBusy());
    WinEmu_AdvanceTicksForTest(2000);
    CMD_OnTimer();
    EXPECT_FALSE(CMD_IsWriteBusy());
    EXPECT_EQ(Ask(c, "enable 3 1"), kOk);
    EXPECT_EQ(Ask(c, "update"), kOk);
    EXPECT_EQ(Live().nTxUdpPort, 21110);
    EXPECT_TRUE(Live(3).bEnable);
}

TEST_F(CommandSet, SaveWritesTheDefaultsFileAtUpdateExactlyAsDescribed)
{
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "save"), kOk);
    EXPECT_FALSE(m_board.Exists(kIni));
    EXPECT_EQ(Ask(c, "update"), kOk);
    EXPECT_EQ(m_board.ReadFile(kIni), kDefaultIni);
    EXPECT_EQ(m_board.ReadFile("/var/local/kovalan.bak"), kDefaultIni);
    // A second update without save leaves the file alone.
    EXPECT_EQ(Ask(c, "udpport 30000"), kOk);
    EXPECT_EQ(Ask(c, "update"), kOk);
    EXPECT_EQ(m_board.ReadFile(kIni), kDefaultIni);
}

TEST_F(CommandSet, AFailedSaveAnswersHardwareErrorAndLeavesTheLiveConfigurationAlone)
{
    // A folder where the ini file belongs cannot be written.
    ASSERT_EQ(mkdir(m_board.Path(kIni).c_str(), 0755), 0);
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "udpport 30000"), kOk);
    EXPECT_EQ(Ask(c, "save"), kOk);
    EXPECT_EQ(Ask(c, "update"), "hardware error\r\n");
    EXPECT_EQ(Ask(c, "lock 1 secret"), "hardware error\r\n");
    EXPECT_EQ(Ask(c, "setpass tarnwick other"), "hardware error\r\n");
    EXPECT_EQ(Ask(c, "factset 0"), kOk);
    EXPECT_EQ(Ask(c, "factset 1"), "hardware error\r\n");
    EXPECT_EQ(Live().nTxUdpPort, 21110);
    EXPECT_FALSE(Live().bLockEnable);
    EXPECT_STREQ(Live().szPassWord, "tarnwick");
    EXPECT_FALSE(CMD_IsUpdated());
    EXPECT_EQ(Ask(c, "lock"), "0\r\n");
}

TEST_F(CommandSet, UpdateAfterANewSettingPortWaitsForTheTcpClientToGo)
{
    SettingClient* c = Tcp();
    DebugCapture capture;
    EXPECT_EQ(Ask(c, "settingport 21003"), kOk);
    EXPECT_EQ(Ask(c, "settingport"), "21003\r\n");
    EXPECT_NE(capture.text().find("setting port changed 21003\n"), std::string::npos);
    EXPECT_EQ(Ask(c, "update"), kOk);
    // The reply leaves before the commit, which holds the command lock while
    // it waits for the client to go.
    EXPECT_FALSE(CMD_TryLock());
    EXPECT_FALSE(CMD_IsUpdated());
    c->Close();
    EXPECT_EQ(Live().nSettingPort, 21003);
    EXPECT_TRUE(CMD_IsUpdated());
}

// --- lock, PassWord, factory reset ---

TEST_F(CommandSet, WithTheLockOnOnlyTheOpenCommandsWorkUntilChkpass)
{
    SettingClient* owner = Tcp();
    EXPECT_EQ(Ask(owner, "lock 1 secret"), kOk);
    EXPECT_NE(m_board.ReadFile(kIni).find("PassWord=secret\nLockEnable=1\n"), std::string::npos);
    EXPECT_EQ(Ask(owner, "udpport"), kNg);  // the owner is logged off too
    EXPECT_EQ(Ask(owner, "lock 1 again"), kNg);

    SettingClient* c = Usb();
    for (const char* locked : {"save", "update", "target 1", "getdest 0 0", "enableall", "myrep", "log", "logsize",
                               "logflag", "searchres", "updatecount", "setdest 1 1 enable=1", "netparam -r"}) {
        EXPECT_EQ(Ask(c, locked), kNg) << locked;
    }
    for (const char* open : {"status 0", "netparam", "mac", "conn", "disc", "lock"}) {
        EXPECT_NE(Ask(c, open), kNg) << open;
    }
    EXPECT_EQ(Ask(c, "chkpass SECRET"), kNg);
    EXPECT_EQ(Ask(c, "chkpass secret"), kOk);
    EXPECT_EQ(Ask(c, "udpport"), "21110\r\n");
    EXPECT_EQ(Ask(c, "lock 0 wrong"), kNg);
    EXPECT_EQ(Ask(c, "lock 0 secret"), kOk);
    EXPECT_FALSE(Live().bLockEnable);
    EXPECT_EQ(Ask(owner, "udpport"), "21110\r\n");
    EXPECT_EQ(Ask(c, "lock 0 secret"), kNg);
}

TEST_F(CommandSet, SetpassNeedsTheOldPasswordAndLogsTheUserOff)
{
    CONFIG_Get()->bLockEnable = TRUE;
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "chkpass tarnwick"), kOk);
    EXPECT_EQ(Ask(c, "setpass wrong new"), kNg);
    EXPECT_EQ(Ask(c, "setpass tarnwick 0123456789abcdefXYZ"), kOk);
    EXPECT_STREQ(Live().szPassWord, "0123456789abcdef");
    EXPECT_NE(m_board.ReadFile(kIni).find("PassWord=0123456789abcdef\n"), std::string::npos);
    EXPECT_EQ(Ask(c, "udpport"), kNg);
    EXPECT_EQ(Ask(c, "chkpass 0123456789abcdef"), kOk);
    EXPECT_EQ(Ask(c, "udpport"), "21110\r\n");
    // Texts the ini file cannot keep would lock the owner out after a restart.
    EXPECT_EQ(Ask(c, "setpass 0123456789abcdef a;b"), kCommandError);
    EXPECT_EQ(Ask(c, "setpass 0123456789abcdef \"ab\""), kCommandError);
    EXPECT_EQ(Ask(c, "udpport"), "21110\r\n");
}

TEST_F(CommandSet, LockAndSetpassCommitOnlyTheirOwnFields)
{
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "udpport 30000"), kOk);
    EXPECT_EQ(Ask(c, "lock 1 secret"), kOk);
    EXPECT_EQ(Live().nTxUdpPort, 21110);
    EXPECT_NE(m_board.ReadFile(kIni).find("TxUdpPort=21110\n"), std::string::npos);
    EXPECT_FALSE(CMD_IsUpdated());
    EXPECT_EQ(Ask(c, "chkpass secret"), kOk);
    EXPECT_EQ(Ask(c, "update"), kOk);  // the edit is still there to commit
    EXPECT_EQ(Live().nTxUdpPort, 30000);
    EXPECT_TRUE(Live().bLockEnable);
}

TEST_F(CommandSet, FactsetResetsOnlyAfterStepZeroAndRaisesTheUpdate)
{
    CONFIG_PARAM* live = CONFIG_Get();
    live->nTxUdpPort = live->nRxUdpPort = 30000;
    live->nSettingPort = 21004;
    live->bLockEnable = TRUE;
    live->aTargetInfo[9].bEnable = TRUE;
    live->aTargetInfo[9].dwTargetIP = 0x0A000009;
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "factset 1"), kNg);
    EXPECT_EQ(Ask(c, "factset 0"), kOk);
    EXPECT_EQ(Ask(c, "factset 0"), kNg);
    EXPECT_EQ(Ask(c, "factset 1"), kOk);
    CONFIG_PARAM reset = Live();
    EXPECT_EQ(reset.nTxUdpPort, 21110);
    EXPECT_EQ(reset.nSettingPort, 21004);
    EXPECT_FALSE(reset.bLockEnable);
    EXPECT_FALSE(reset.aTargetInfo[9].bEnable);
    EXPECT_EQ(reset.aTargetInfo[9].dwTargetIP, 0u);
    EXPECT_TRUE(CMD_IsUpdated());
    EXPECT_EQ(m_board.ReadFile(kIni).find("Target"), std::string::npos);
    EXPECT_NE(m_board.ReadFile(kIni).find("SettingPort=21004\n"), std::string::npos);
    EXPECT_EQ(Ask(c, "updatecount"), "00000002\r\n");
    EXPECT_EQ(Ask(c, "factset 1"), kNg);
    std::lock_guard<std::mutex> lock(m_unit.mutex);
    EXPECT_EQ(m_unit.servIds, std::vector<std::string>{""});
    EXPECT_FALSE(m_unit.servIdOutsideLock);
    EXPECT_FALSE(m_unit.listLocked);
}

// --- targets ---

TEST_F(CommandSet, TargetEnableAndEnableallMarkOnlyTheEntriesTheyChange)
{
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "target 5 10.0.0.5"), kOk);
    EXPECT_EQ(Ask(c, "target 5"), "10.0.0.5\r\n");
    EXPECT_EQ(Ask(c, "target 7 0.0.0.0"), kOk);
    EXPECT_EQ(Ask(c, "enable 7 0"), kOk);
    EXPECT_EQ(Ask(c, "enable 7"), "0\r\n");
    std::string row = Repeat("10", 50);
    EXPECT_EQ(Ask(c, "enableall " + row.substr(0, 99)), kCommandError);
    EXPECT_EQ(Ask(c, "enableall " + row.substr(0, 98) + "21"), kCommandError);
    EXPECT_EQ(Ask(c, "enableall " + row + "1"), kOk);
    EXPECT_EQ(Ask(c, "enableall"), row + "\r\n");
    EXPECT_EQ(Ask(c, "update"), kOk);
    CONFIG_PARAM live = Live();
    EXPECT_EQ(live.aTargetInfo[5].dwTargetIP, 0x0A000005u);
    EXPECT_TRUE(live.aTargetInfo[5].bChanged);
    EXPECT_FALSE(live.aTargetInfo[7].bChanged);
    EXPECT_TRUE(live.aTargetInfo[98].bEnable && live.aTargetInfo[98].bChanged);
    EXPECT_FALSE(live.aTargetInfo[99].bEnable);
}

TEST_F(CommandSet, GetdestListsEntriesFromToInclusive)
{
    CONFIG_Get()->aTargetInfo[7] = TARGET_INFO{3, 0xC0A80107, "JA1ABC", "12345", "a, b", {0xAB}, 0x0A, 0xFF, 0, 0};
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "getdest 7 7"),
              "getdest 7 enable=1 target=192.168.1.7 sctbl=AB000000000000000000000000000000 callsign=\"JA1ABC\" "
              "radioid=\"12345\" memo=\"a, b\" loc_dgid=0A def_dgid=FF\r\n");
    ReplyEnd all;
    all.lines = 100;
    std::vector<std::string> lines = c->Command("getdest 0 99 extra", all).lines;
    ASSERT_EQ(lines.size(), 100u);
    EXPECT_EQ(lines[99],
              "getdest 99 enable=0 target=0.0.0.0 sctbl=00000000000000000000000000000000 callsign=\"\" "
              "radioid=\"\" memo=\"\" loc_dgid=FF def_dgid=FF");
    EditLive([](CONFIG_PARAM* p) {
        p->bListServer = TRUE;
        p->aTargetInfo[7].dwCurrentIP = 0x0A000001;
    });
    EXPECT_NE(Ask(c, "getdest 7 7").find("memo=\"a, b\" currentip=10.0.0.1 loc_dgid=0A"), std::string::npos);
}

TEST_F(CommandSet, SetdestResetsWhatItIsNotGivenAndWhatANewAddressInvalidates)
{
    CONFIG_Get()->aTargetInfo[3] = TARGET_INFO{1, 0x0A000003, "JA1ABC", "12345", "old", {0x55}, 0xFF, 0xFF, 0, 0};
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "setdest 3 1 enable=1 target=bad"), kCommandError);
    EXPECT_EQ(Ask(c, "setdest 3 1 memo=a;b"), kCommandError);
    EXPECT_EQ(Ask(c, "getdest 3 3").substr(0, 43), "getdest 3 enable=1 target=10.0.0.3 sctbl=55");
    EXPECT_EQ(Ask(c, "setdest 3 0 TARGET=10.0.0.9 junk other=1", 0), "");
    EXPECT_EQ(Ask(c, "getdest 3 3"),
              "getdest 3 enable=0 target=10.0.0.9 sctbl=00000000000000000000000000000000 callsign=\"\" radioid=\"\" "
              "memo=\"\" loc_dgid=FF def_dgid=FF\r\n");
    EXPECT_EQ(Ask(c, "setdest 4 1 enable=1 target=10.0.0.3 memo=\"two words\""), kOk);
    EXPECT_EQ(Ask(c, "update"), kOk);
    EXPECT_TRUE(Live(3).bChanged);
    EXPECT_STREQ(Live(4).szMemo, "two words");

    // In ListServer mode the radio identifier is the key; the address stays.
    EditLive([](CONFIG_PARAM* p) {
        p->bListServer = TRUE;
        p->aTargetInfo[4].bChanged = FALSE;
        p->aTargetInfo[4].dwCurrentIP = 0x0A000063;
        p->aTargetInfo[4].abySCTable[0] = 0x11;
    });
    EXPECT_EQ(Ask(c, "setdest 4 1 enable=1 callsign=\"JA2XYZ\" radioid=54321 memo=two target=1.1.1.1"), kOk);
    EXPECT_EQ(Ask(c, "update"), kOk);
    TARGET_INFO t = Live(4);
    EXPECT_EQ(t.dwTargetIP, 0x0A000003u);
    EXPECT_STREQ(t.szCallSign, "JA2XYZ");
    EXPECT_EQ(t.dwCurrentIP, 0u);
    EXPECT_EQ(t.abySCTable[0], 0);
    EXPECT_TRUE(t.bChanged);
}

// --- the unit core's answers ---

TEST_F(CommandSet, StatusConnSearchAndMyrepReportTheUnitCore)
{
    SettingClient* c = Tcp();
    const char* words[] = {"idle", "connecting", "connected", "disconnecting", "wait disconnect", "idle"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(Ask(c, "status " + std::to_string(i)), std::string(words[i]) + "\r\n");
    }
    EXPECT_EQ(Ask(c, "conn"), kOk);
    EXPECT_EQ(Ask(c, "disc"), kOk);
    EXPECT_EQ(Ask(c, "search"), kOk);
    EXPECT_EQ(Ask(c, "myrep"),
              "myrep name=\"KOVA-RADIO\" dst=\"D1\" type=\"T2\" version=\"1.02\" date=\"20210413\" radioid=\"00042\" "
              "callsign=\"JA1XYZ\" sctbl=00FE0000000000000000000000000000 loc_dgid=01 def_dgid=7F\r\n");
    EXPECT_EQ(Ask(c, "searchres"), "searchres BUSY\r\n");
    {
        std::lock_guard<std::mutex> lock(m_unit.mutex);
        EXPECT_EQ(m_unit.connects + m_unit.disconnects + m_unit.searches, 3);
        m_unit.searchBusy = false;
        m_unit.results[7] =
            SEARCH_RESULT{0x0A000007, 0x01040400, {{2, 0, 0, 0, 0xAB, 7}}, "JA7AAA", "00007", {0x10}, TRUE, 0xFF, 0};
    }
    EXPECT_EQ(AskUntil(c, "searchres", "searchres END"),
              "searchres OK target=10.0.0.7 vers=01040400 mac=02:00:00:00:AB:07 callsign=\"JA7AAA\" radioid=\"00007\" "
              "sctbl=10000000000000000000000000000000 listsrv=1 loc_dgid=FF def_dgid=00\r\nsearchres END\r\n");
}

TEST_F(CommandSet, AListingStopsAtTheFirstReplyThatCannotBeSent)
{
    // The USB user is logged on but its port is not open: every send fails.
    Serial_Construct();
    ASSERT_TRUE(Serial_Init());
    ASSERT_TRUE(CMD_LogOnUser(USBFUNC_GetHandle()));
    {
        std::lock_guard<std::mutex> lock(m_unit.mutex);
        m_unit.searchBusy = false;
        m_unit.results[4].ulAdrs = 0x0A000004;
    }
    DebugCapture capture;
    for (std::string line : {"getdest 0 99", "searchres", "log"}) {
        CMD_Exec(USBFUNC_GetHandle(), line.data());
    }
    std::string printed = capture.text();
    Serial_Destruct();
    // The listings stop at their first line; the empty log's only line is its closing line.
    EXPECT_EQ(CountOf(printed, "WARNING: Puts() failed\n"), 2u);
    EXPECT_EQ(CountOf(printed, "WARNING: USBFUNC_Send() failed\n"), 3u);
}

// --- settings held in the record only ---

TEST_F(CommandSet, LogflagNtpAndListsrvReadBackWhatWasSet)
{
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "logflag"), "enable=1 flag=FFFFFFFF\r\n");
    EXPECT_EQ(Ask(c, "logflag enable=0 flag=00000105"), kOk);
    EXPECT_EQ(Ask(c, "logflag"), "enable=0 flag=00000105\r\n");
    EXPECT_EQ(Ask(c, "logflag enable=1 nothing"), kOk);
    EXPECT_EQ(Ask(c, "logflag"), "enable=1 flag=FFFFFFFF\r\n");

    EXPECT_EQ(Ask(c, "ntp"), "ntp 0 \"\"\r\n");
    EXPECT_EQ(Ask(c, "ntp 1 \"10.0.0.1,10.0.0.2\""), kOk);
    EXPECT_EQ(Ask(c, "ntp"), "ntp 1 \"10.0.0.1,10.0.0.2\"\r\n");
    std::string longName = Repeat("n", 300);
    EXPECT_EQ(Ask(c, "ntp 0 " + longName), kOk);
    EXPECT_EQ(Ask(c, "ntp"), "ntp 0 \"" + longName.substr(0, 255) + "\"\r\n");

    EXPECT_EQ(Ask(c, "listsrv 1"), kOk);
    EXPECT_EQ(Ask(c, "listsrv"), "0\r\n");
    EXPECT_EQ(Ask(c, "liststatus"), "status=offline globalip=0.0.0.0\r\n");
    EXPECT_EQ(Ask(c, "udpport 65535"), kOk);
    EXPECT_EQ(Ask(c, "update"), kOk);
    EXPECT_EQ(Live().dwLogFlag, 0xFFFFFFFFu);
    EXPECT_EQ(Live().nRxUdpPort, 65535);
    EXPECT_FALSE(Live().bListServer);
}

// --- the board: network, MAC, log store, reboot ---

TEST_F(CommandSet, NetparamStagesParametersForUpdateOrAppliesThemAtOnce)
{
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "netparam -r"), kOk);
    EXPECT_EQ(Ask(c, "update"), kOk);
    EXPECT_FALSE(NET_IsChanged());
    EXPECT_EQ(Ask(c, "netparam 192.168.1.10 255.255.255.0 192.168.1.1 ignored"), kOk);
    EXPECT_FALSE(NET_IsChanged());
    EXPECT_EQ(Ask(c, "netparam"), "dhcp\r\n");
    EXPECT_EQ(Ask(c, "update"), kOk);
    EXPECT_TRUE(NET_IsChanged());
    NET_PARAM staged;
    NET_GetAddress(&staged);
    EXPECT_EQ(staged.dwIpAdrs, 0xC0A8010Au);
    EXPECT_EQ(staged.dwGateway, 0xC0A80101u);
    EXPECT_TRUE(m_board.Commands().empty());
    // A new address cuts a TCP client off: update waits for it to go, holding
    // the command lock, so Live() returns once the commit is done.
    c->Close();
    Live();
    EXPECT_TRUE(CMD_IsUpdated());

    c = Tcp();
    EXPECT_EQ(Ask(c, "netparam /t 10.0.0.3 255.255.255.0"), kOk);
    EXPECT_EQ(m_board.Commands(), std::vector<std::string>{"ifconfig eth0 10.0.0.3 netmask 255.255.255.0"});
    EXPECT_EQ(Ask(c, "netparam"), "address=10.0.0.3 netmask=255.255.255.0 gateway=192.168.1.1\r\n");
    EXPECT_EQ(Ask(c, "netparam -t 10.0.0.4 255.0.0.0 0.0.0.0"), kOk);
    EXPECT_EQ(Ask(c, "netparam"), "address=10.0.0.4 netmask=255.0.0.0\r\n");
}

TEST_F(CommandSet, MacReadsAndProgramsTheOtpFuses)
{
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "mac"), "02:00:00:00:00:01\r\n");
    EXPECT_EQ(Ask(c, "mac 0:11:22:33:44:0AB"), kOk);
    EXPECT_EQ(Ask(c, "mac"), "00:11:22:33:44:AB\r\n");
    EXPECT_EQ(m_board.ReadFile("/sys/fsl_otp/HW_OCOTP_MAC0").find("0x223344ab"), 0u);
    EXPECT_EQ(m_board.ReadFile("/sys/fsl_otp/HW_OCOTP_MAC1").find("0x0011"), 0u);
    unlink(m_board.Path("/sys/fsl_otp/HW_OCOTP_MAC0").c_str());
    EXPECT_EQ(Ask(c, "mac"), kNg);
    EXPECT_EQ(Ask(c, "mac 02:00:00:00:00:02"), kNg);
}

TEST_F(CommandSet, LogListsTheRingNewestFirstAndEndsWithTheZLine)
{
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "log"), "log Z\r\n");
    ASSERT_TRUE(LOG_Open(m_board.Path("/var/local/kovalan.log").c_str(), 4096));
    SYSTEMTIME t = {2024, 1, 2, 2, 3, 4, 5, 0};
    ASSERT_TRUE(LOG_Write(&t, "abc", 3));
    t.wSecond = 6;
    std::string longText = Repeat("x", 52) + "y";
    ASSERT_TRUE(LOG_Write(&t, longText.data(), static_cast<int>(longText.size())));
    EXPECT_EQ(AskUntil(c, "log", "log Z"),
              "log E 79\r\nlog L 20240102030406 " + Repeat("78", 52) + "\r\nlog L 20240102030405 616263\r\nlog Z\r\n");
    EXPECT_EQ(Ask(c, "logsize"), "logsize=4096 filesize=192 recsize=64\r\n");
}

TEST_F(CommandSet, RebootAnswersFirstAndRunsOnlyTheRebootCommand)
{
    SettingClient* c = Tcp();
    EXPECT_EQ(Ask(c, "reboot"), kOk);
    EXPECT_TRUE(m_board.Commands().empty());  // the reply leaves first
    for (int i = 0; i < 2000 && m_board.Commands().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(m_board.Commands(), std::vector<std::string>{"reboot"});
}

TEST_F(CommandSet, TheConsoleHasItsOwnSessionEvenWithEveryRecordTaken)
{
    int clients[CMD_MAX_USERS];
    for (int& client : clients) {
        ASSERT_TRUE(CMD_LogOnUser(&client));
    }
    int keys[2];
    int screen[2];
    ASSERT_EQ(pipe(keys), 0);
    ASSERT_EQ(pipe(screen), 0);
    CON_SetDescriptorsForTest(keys[0], screen[1]);
    const char typed[] = "udpport 30000\rudpport\r";
    ASSERT_EQ(write(keys[1], typed, sizeof(typed) - 1), static_cast<ssize_t>(sizeof(typed) - 1));
    for (size_t i = 0; i < sizeof(typed) - 1; ++i) {
        CMD_OnIdle();
    }
    CON_SetDescriptorsForTest(-1, -1);
    char shown[256] = {};
    ASSERT_GT(read(screen[0], shown, sizeof(shown) - 1), 0);
    EXPECT_NE(std::string(shown).find("\nOK\r\n"), std::string::npos);
    EXPECT_NE(std::string(shown).find("\n30000\r\n"), std::string::npos);
    EXPECT_TRUE(CMD_IsWriteBusy());
    for (int fd : {keys[0], keys[1], screen[0], screen[1]}) {
        close(fd);
    }
}

}  // namespace
