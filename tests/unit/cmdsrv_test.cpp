// The command server transport against raw loopback peers; time-outs on the test clock.
#include "cmdsrv.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "loopnet.h"
#include "test_support.h"

namespace {

using loopnet::LOOPBACK;
using testsupport::DebugCapture;
using Lines = std::vector<std::string>;

const char kVersionReply[] = "KOVA-LAN Ver 1.4.4.0\r\n";

struct Event {
    LPVOID client;
    DWORD event;
    std::string data;  // "<null>" for no data
    ULONG address;
    BOOL isUdp;
};

// The owner: records every event and answers "vers" as the interpreter would.
struct Owner {
    static void Callback(LPVOID client, DWORD event, LPVOID data, int length, LPVOID param)
    {
        Owner* self = static_cast<Owner*>(param);
        std::string text = data != nullptr ? std::string(static_cast<const char*>(data), length) : "<null>";
        if (event == CMDSRV_EVENT_RX_SETTING && text == "vers") {
            CmdServer_Send(client, kVersionReply, sizeof(kVersionReply) - 1);
        }
        if (event == CMDSRV_EVENT_RX_SETTING && std::strlen(static_cast<const char*>(data)) != text.size()) {
            text += "<not terminated at its length>";
        }
        std::lock_guard<std::recursive_mutex> lock(self->mutex);
        self->events.push_back({client, event, text, CmdServer_GetAddress(client), CmdServer_IsUdpClient(client)});
        self->changed.notify_all();
    }
    bool WaitFor(DWORD event, size_t count, int timeoutMs = 3000)
    {
        std::unique_lock<std::recursive_mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return Of(event).size() >= count; });
    }
    std::vector<Event> Of(DWORD event)
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        std::vector<Event> out;
        std::copy_if(events.begin(), events.end(), std::back_inserter(out),
                     [event](const Event& e) { return e.event == event; });
        return out;
    }
    Lines Texts(DWORD event)
    {
        Lines out;
        for (const Event& e : Of(event)) {
            out.push_back(e.data);
        }
        return out;
    }

    std::recursive_mutex mutex;
    std::condition_variable_any changed;
    std::vector<Event> events;
};

// A binary frame built independently of the server's reader.
std::string Frame(int command, int length, char fill)
{
    const char head[] = {static_cast<char>(command), static_cast<char>((length >> 8) & 0xFF),
                         static_cast<char>(length & 0xFF), '\x5A'};
    return std::string(head, 4) + std::string(static_cast<size_t>(length), fill);
}

bool WriteAndWaitRead(int fd, LPVOID accepted, const std::string& bytes)
{
    const int server = static_cast<NPSOCK_PARAM>(accepted)->sock.load();
    if (!loopnet::WriteAll(fd, bytes)) {
        return false;
    }
    for (int i = 0; i < 1000; ++i) {
        int unacked = -1, unread = -1;
        if (ioctl(fd, TIOCOUTQ, &unacked) == 0 && ioctl(server, FIONREAD, &unread) == 0 && unacked == 0 &&
            unread == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

class CommandServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() { WinEmu_Init(); }
    void SetUp() override
    {
        Sock_Construct();
        ASSERT_TRUE(Sock_Init());
        CmdServer_Construct();
        ASSERT_TRUE(CmdServer_Init());
        CmdServer_SetCallback(Owner::Callback, &m_owner);
        ASSERT_TRUE(CmdServer_Start(m_data, m_udp, m_setting));
    }
    void TearDown() override
    {
        CmdServer_Destruct();
        Sock_Destruct();
        for (int fd : m_fds) {
            close(fd);
        }
    }
    // Once a receive wait of ms has begun: open a second short of ms, closed a second past it.
    bool ClosesAfter(DWORD ms, size_t count)
    {
        if (!testsupport::WaitForPause(ms)) {
            ADD_FAILURE() << "no receive wait of " << ms << " ms began";
            return false;
        }
        WinEmu_AdvanceTicksForTest(ms - 1000);
        if (m_owner.WaitFor(CMDSRV_EVENT_DISCONNECT, count, 700)) {
            ADD_FAILURE() << "closed before " << ms << " ms";
            return false;
        }
        WinEmu_AdvanceTicksForTest(2000);
        return m_owner.WaitFor(CMDSRV_EVENT_DISCONNECT, count);
    }
    int Keep(int fd)
    {
        m_fds.push_back(fd);
        return fd;
    }
    int Connect(WORD port) { return Keep(loopnet::ConnectTcp(port)); }

    Owner m_owner;
    std::vector<int> m_fds;
    WORD m_setting = loopnet::FreePort(SOCK_STREAM);
    WORD m_data = loopnet::FreePort(SOCK_STREAM);
    WORD m_udp = loopnet::FreePort(SOCK_DGRAM);
};

Lines Edited(const std::string& bytes)
{
    char line[CMDSRV_LINE_BUFFER_SIZE];
    int index = 0;
    Lines lines;
    for (char c : bytes) {
        if (CmdServer_EditLine(line, &index, static_cast<BYTE>(c))) {
            EXPECT_EQ(std::strlen(line), static_cast<size_t>(index));
            lines.emplace_back(line, static_cast<size_t>(index));
            index = 0;
        }
    }
    return lines;
}

TEST(CommandLine, EditingFollowsTheByteRules)
{
    EXPECT_EQ(Edited("ab\bc\r"), Lines{"ac"});
    EXPECT_EQ(Edited("\b\b\bx\n"), Lines{"x"}) << "backspace before the start of the line";
    EXPECT_EQ(Edited("a\tb\r"), Lines{"a b"});
    EXPECT_EQ(Edited("typo\x1bvers\r"), Lines{"vers"});
    EXPECT_EQ(Edited("\x01" "A\x80\xFF\x7F\r"), Lines{"A\x7F"});
    EXPECT_EQ(Edited("vers\r\n"), (Lines{"vers", ""}));
    std::string typed(600, 'k');
    EXPECT_EQ(Edited(typed + "\r"), Lines{std::string(511, 'k')});
    EXPECT_EQ(Edited(typed + "\bz\r"), Lines{std::string(510, 'k') + "z"});
}

TEST_F(CommandServer, TextConnectionEchoesOnlyLineEndsAroundTheReplyKeepsALineAcrossReadsAndIdlesOut120Seconds)
{
    int client = Connect(m_setting);
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_ACCEPT, 1));
    const Event accepted = m_owner.Of(CMDSRV_EVENT_ACCEPT)[0];
    EXPECT_EQ(std::make_pair(accepted.data, accepted.address), std::make_pair(std::string("<null>"), LOOPBACK));
    ASSERT_TRUE(WriteAndWaitRead(client, accepted.client, "ve"));
    ASSERT_TRUE(loopnet::WriteAll(client, "rs\r\n"));
    EXPECT_EQ(loopnet::ReadFor(client, 26, 3000), std::string("\r\n") + kVersionReply + "\r\n");
    EXPECT_EQ(loopnet::ReadFor(client, 1, 200), "");
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_RX_SETTING, 2));
    EXPECT_EQ(m_owner.Texts(CMDSRV_EVENT_RX_SETTING), (Lines{"vers", ""}));
    shutdown(client, SHUT_WR);
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_DISCONNECT, 1));
    EXPECT_EQ(m_owner.Of(CMDSRV_EVENT_DISCONNECT)[0].client, accepted.client);

    int idle = Connect(m_setting);
    ASSERT_TRUE(loopnet::WriteAll(idle, "\r"));
    ASSERT_EQ(loopnet::ReadFor(idle, 2, 3000), "\r\n");
    EXPECT_TRUE(ClosesAfter(120000, 2));
    EXPECT_TRUE(loopnet::SeesClose(idle, 2000));
}

TEST_F(CommandServer, StopEndsEveryConnectionAndTheServerStartsAgain)
{
    int client = Connect(m_setting);
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_ACCEPT, 1));
    CmdServer_Stop();
    EXPECT_TRUE(loopnet::SeesClose(client, 2000));
    EXPECT_EQ(m_owner.Of(CMDSRV_EVENT_DISCONNECT).size(), 1u);
    EXPECT_EQ(CmdServer_GetUdpClient(), nullptr);
    CmdServer_Stop();
    ASSERT_TRUE(CmdServer_Start(m_data, m_udp, m_setting));
    EXPECT_GE(Connect(m_setting), 0);
    EXPECT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_ACCEPT, 2));
}

TEST_F(CommandServer, BinaryFramesArriveWholeUpToTheBufferAndALargerOneOrSilenceOrASlowFrameEndsTheConnection)
{
    int client = Connect(m_data);
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_ACCEPT, 1));
    const std::string empty = Frame(0x10, 0, 0), three = Frame(0x11, 3, 'c');
    const std::string largest = Frame(0x12, CMDSRV_FRAME_BUFFER_SIZE - 4, 'L');
    ASSERT_TRUE(WriteAndWaitRead(client, m_owner.Of(CMDSRV_EVENT_ACCEPT)[0].client, empty + three.substr(0, 2)));
    ASSERT_TRUE(loopnet::WriteAll(client, three.substr(2) + largest + empty));
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_RX_CMD, 4));
    EXPECT_EQ(m_owner.Texts(CMDSRV_EVENT_RX_CMD), (Lines{empty, three, largest, empty}));

    DebugCapture quiet;
    ASSERT_TRUE(loopnet::WriteAll(client, Frame(0x13, CMDSRV_FRAME_BUFFER_SIZE - 3, 'X')));
    EXPECT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_DISCONNECT, 1));
    EXPECT_TRUE(loopnet::SeesClose(client, 2000));
    EXPECT_EQ(m_owner.Of(CMDSRV_EVENT_RX_CMD).size(), 4u);

    // A frame's deadline starts before its header is read.
    client = Connect(m_data);
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_ACCEPT, 2));
    const LPVOID accepted = m_owner.Of(CMDSRV_EVENT_ACCEPT)[1].client;
    const std::string frame = Frame(0x01, 2, 'p');
    ASSERT_TRUE(WriteAndWaitRead(client, accepted, frame.substr(0, 4)));
    WinEmu_AdvanceTicksForTest(20000);
    ASSERT_TRUE(loopnet::WriteAll(client, frame.substr(4)));
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_RX_CMD, 5)) << "a frame completed within 30 s was dropped";

    const std::string slow = Frame(0x02, 3, 's');
    ASSERT_TRUE(WriteAndWaitRead(client, accepted, slow.substr(0, 4)));
    WinEmu_AdvanceTicksForTest(20000);
    ASSERT_TRUE(WriteAndWaitRead(client, accepted, slow.substr(4, 1)));
    WinEmu_AdvanceTicksForTest(15000);  // each read is short of 30 s, the frame is not
    ASSERT_TRUE(loopnet::WriteAll(client, slow.substr(5)));
    EXPECT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_DISCONNECT, 2));
    EXPECT_EQ(m_owner.Of(CMDSRV_EVENT_RX_CMD).size(), 5u);

    Connect(m_data);
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_ACCEPT, 3));
    EXPECT_TRUE(ClosesAfter(30000, 3));
}

TEST_F(CommandServer, RestartsMoveTheUdpAndSettingPortsAndRecoverFromAFailure)
{
    EXPECT_FALSE(CmdServer_IsUdpClient(nullptr));
    EXPECT_EQ(CmdServer_GetPort(CmdServer_GetUdpClient()), m_udp);
    int peer = Keep(loopnet::BindUdp(0));
    ASSERT_TRUE(loopnet::SendDatagram(peer, m_udp, ""));
    ASSERT_TRUE(loopnet::SendDatagram(peer, m_udp, "one"));
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_RX_DATA, 1));
    const Event d = m_owner.Of(CMDSRV_EVENT_RX_DATA)[0];
    EXPECT_EQ(std::make_tuple(d.data, d.address, d.isUdp), std::make_tuple(std::string("one"), LOOPBACK, TRUE));
    WORD second = loopnet::FreePort(SOCK_DGRAM);
    ASSERT_TRUE(CmdServer_RestartUDP(second));
    ASSERT_TRUE(loopnet::SendDatagram(peer, second, "two"));
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_RX_DATA, 2));
    EXPECT_EQ(m_owner.Texts(CMDSRV_EVENT_RX_DATA), (Lines{"one", "two"}));
    int reuse = loopnet::BindUdp(m_udp);
    EXPECT_GE(reuse, 0) << "the old port is still bound";
    close(reuse);
    LPVOID sender = CmdServer_GetClient();
    EXPECT_TRUE(CmdServer_SendTo(sender, "out", 3, loopnet::LocalPort(peer), LOOPBACK));
    EXPECT_EQ(loopnet::ReadFor(peer, 3, 1000), "out");
    CmdServer_Disconnect(sender);

    int first = Connect(m_setting);
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_ACCEPT, 1));
    EXPECT_TRUE(CmdServer_RestartSetting(m_setting));
    ASSERT_TRUE(loopnet::WriteAll(first, "\r"));
    EXPECT_EQ(loopnet::ReadFor(first, 2, 2000), "\r\n") << "the same port restarted its listener";
    WORD moved = loopnet::FreePort(SOCK_STREAM);
    EXPECT_TRUE(CmdServer_RestartSetting(moved));
    EXPECT_TRUE(loopnet::SeesClose(first, 2000));
    EXPECT_EQ(loopnet::ConnectTcp(m_setting), -1);
    EXPECT_GE(Connect(moved), 0);
    DebugCapture quiet;
    EXPECT_FALSE(CmdServer_RestartSetting(loopnet::LocalPort(Keep(loopnet::ListenTcp(0)))));
    EXPECT_EQ(loopnet::ConnectTcp(moved), -1);
    EXPECT_TRUE(CmdServer_RestartSetting(moved));
    EXPECT_GE(Connect(moved), 0) << "the earlier port was taken for listening after the failure";
}

TEST_F(CommandServer, OutgoingConnectionsConnectFailAndReconnect)
{
    LPVOID refused = CmdServer_Connect(loopnet::FreePort(SOCK_STREAM), LOOPBACK);
    ASSERT_NE(refused, nullptr);
    EXPECT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_CONN_FAILED, 1));
    CmdServer_Disconnect(refused);

    int listener = Keep(loopnet::ListenTcp(0));
    ASSERT_TRUE(CmdServer_Connect2(loopnet::LocalPort(listener), LOOPBACK));
    int server = Keep(loopnet::AcceptFor(listener, 3000));
    ASSERT_TRUE(loopnet::WriteAll(server, "hi\r"));
    EXPECT_EQ(loopnet::ReadFor(server, 2, 2000), "\r\n");
    shutdown(server, SHUT_RDWR);
    ASSERT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_DISCONNECT, 1));
    EXPECT_EQ(loopnet::AcceptFor(listener, 300), -1) << "reconnected without its 3 s pause";
    ASSERT_TRUE(testsupport::WaitForPause(3000));  // the client's reconnect pause
    WinEmu_AdvanceTicksForTest(3000);
    server = Keep(loopnet::AcceptFor(listener, 3000));
    ASSERT_GE(server, 0);
    EXPECT_TRUE(m_owner.WaitFor(CMDSRV_EVENT_CONNECT, 2));
    EXPECT_EQ(m_owner.Texts(CMDSRV_EVENT_RX_SETTING), Lines{"hi"});

    CmdServer_Disconnect2();
    EXPECT_TRUE(loopnet::SeesClose(server, 2000));
}

}  // namespace
