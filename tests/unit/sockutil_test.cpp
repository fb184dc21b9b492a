// The socket layer against raw loopback peers.
#include "sockutil.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loopnet.h"
#include "test_support.h"

namespace {

using loopnet::LOOPBACK;
using testsupport::DebugCapture;

// Once a wait of ms has begun, f still runs a second short of it and ends when
// the clock moves on by ms (again if a later wait took its start after a move).
template <class Future>
bool EndsAtItsTimeOut(Future& f, DWORD ms)
{
    if (!testsupport::WaitForPause(ms)) {
        ADD_FAILURE() << "no wait of " << ms << " ms began";
        return false;
    }
    WinEmu_AdvanceTicksForTest(ms - 1000);
    if (f.wait_for(std::chrono::milliseconds(300)) != std::future_status::timeout) {
        ADD_FAILURE() << "ended before its time-out of " << ms << " ms";
        return false;
    }
    for (int i = 0; i < 20; ++i) {
        WinEmu_AdvanceTicksForTest(ms);
        if (f.wait_for(std::chrono::milliseconds(500)) == std::future_status::ready) {
            return true;
        }
    }
    return false;
}

int OpenDescriptors()
{
    auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}

// Echoes until the connection ends; connections on s_slowPort then linger, so
// that a stop returning before its threads ended is caught.
std::atomic<WORD> s_slowPort{0};
std::atomic<int> s_slowEnded{0};

void EchoUntilEnd(NPSOCK_PARAM p)
{
    char buf[256];
    int n;
    while ((n = Sock_Receive(p, buf, sizeof(buf), 60000)) > 0) {
        Sock_Send(p, buf, n, 1000);
    }
    if (Sock_GetPort(p) == s_slowPort.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        s_slowEnded.fetch_add(1);
    }
}

bool Echoes(int fd)
{
    return loopnet::WriteAll(fd, "e") && loopnet::ReadFor(fd, 1, 2000) == "e";
}

class SocketLayer : public ::testing::Test {
protected:
    static void SetUpTestSuite() { WinEmu_Init(); }
    void SetUp() override
    {
        Sock_Construct();
        ASSERT_TRUE(Sock_Init());
    }
    void TearDown() override
    {
        Sock_Destruct();
        for (int fd : m_fds) {
            close(fd);
        }
    }
    int Keep(int fd)
    {
        m_fds.push_back(fd);
        return fd;
    }
    NPSOCK_PARAM ConnectedPair(int* peer)
    {
        int listener = Keep(loopnet::ListenTcp(0));
        NPSOCK_PARAM p = Sock_GetSocket(TRUE);
        EXPECT_TRUE(Sock_Connect(p, loopnet::LocalPort(listener), LOOPBACK, 0));
        *peer = Keep(loopnet::AcceptFor(listener, 2000));
        return p;
    }

    std::vector<int> m_fds;
};

TEST_F(SocketLayer, ReceiveAndSendHonourTheirTimeOutsAndReceiveThePeersCloseAndACancelAndSendDeliversAll)
{
    int peer;
    NPSOCK_PARAM p = ConnectedPair(&peer);
    char buf[8];
    EXPECT_EQ(Sock_Receive(p, buf, sizeof(buf), 100), 0);

    auto waiter = std::async(std::launch::async, [&] { return Sock_Receive(p, buf, sizeof(buf), 5000); });
    ASSERT_TRUE(EndsAtItsTimeOut(waiter, 5000));
    EXPECT_EQ(waiter.get(), 0);

    ASSERT_TRUE(loopnet::WriteAll(peer, "x"));
    Sock_MarkCancel(p);
    EXPECT_EQ(Sock_Receive(p, buf, sizeof(buf), 1000), -1);
    EXPECT_EQ(recv(p->sock, buf, sizeof(buf), MSG_DONTWAIT), 1) << "the cancelled receive read the byte";

    // The peer's close ends a receive whose time-out never comes on the still clock.
    NPSOCK_PARAM q = ConnectedPair(&peer);
    shutdown(peer, SHUT_RDWR);
    auto closed = std::async(std::launch::async, [&] { return Sock_Receive(q, buf, sizeof(buf), 5000); });
    ASSERT_EQ(closed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(closed.get(), 0);

    NPSOCK_PARAM s = ConnectedPair(&peer);
    int small = 4096;
    setsockopt(s->sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    EXPECT_EQ(Sock_Send(s, "z", 0, 100), 0);

    std::string payload(100000, 0);
    std::generate(payload.begin(), payload.end(), [i = 0]() mutable { return static_cast<char>('a' + i++ % 26); });
    std::string received;
    std::thread reader([&] { received = loopnet::ReadFor(peer, payload.size(), 10000); });
    EXPECT_EQ(Sock_Send(s, payload.data(), static_cast<int>(payload.size()), 1000), static_cast<int>(payload.size()));
    reader.join();
    EXPECT_TRUE(received == payload) << "received " << received.size() << " bytes";

    std::string flood(1 << 20, 'f');
    auto stuck = std::async(std::launch::async, [&] { return Sock_Send(s, flood.data(), static_cast<int>(flood.size()), 5000); });
    ASSERT_TRUE(EndsAtItsTimeOut(stuck, 5000));
    EXPECT_EQ(stuck.get(), 0);
}

TEST_F(SocketLayer, FullTableRefusesSocketsListenersAndConnectionsWithoutLeakingAndASecondCloseIsHarmless)
{
    std::vector<NPSOCK_PARAM> sockets;
    for (int i = 0; i < SOCK_TABLE_SIZE; ++i) {
        sockets.push_back(Sock_GetSocket(FALSE));
        ASSERT_NE(sockets.back(), nullptr) << "socket " << i;
    }
    WORD port = loopnet::FreePort(SOCK_STREAM);
    DebugCapture quiet;
    int before = OpenDescriptors();
    EXPECT_EQ(Sock_GetSocket(TRUE), nullptr);
    EXPECT_FALSE(Sock_Listen(port, EchoUntilEnd));
    // Under qemu-arm the listing itself may show one more: only growth is a leak.
    EXPECT_LE(OpenDescriptors(), before);

    Sock_Disconnect(sockets.back());
    sockets.pop_back();
    ASSERT_TRUE(Sock_Listen(port, EchoUntilEnd));  // the table is full again
    int refused = Keep(loopnet::ConnectTcp(port));
    EXPECT_TRUE(loopnet::SeesClose(refused, 2000));

    Sock_Disconnect(sockets.back());
    int served = Keep(loopnet::ConnectTcp(port));
    EXPECT_TRUE(Echoes(served)) << "the listener ended after refusing a connection";

    NPSOCK_PARAM p = sockets.front();
    int fd = p->sock;
    Sock_Close(p);
    EXPECT_EQ(Sock_Send(p, "x", 1, 0), -1);
    int other = socket(AF_INET, SOCK_DGRAM, 0);  // someone else now holds the entry's number
    if (other != fd) {
        dup2(other, fd);
        close(other);
    }
    Sock_Close(p);
    Sock_Disconnect(p);
    EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the second close closed a descriptor it no longer owned";
    close(fd);
}

TEST_F(SocketLayer, StopListenEndsOnlyItsOwnPortAfterItsThreadsAndStopEndsEveryThreadAndEntry)
{
    WORD stopped = loopnet::FreePort(SOCK_STREAM);
    WORD kept = loopnet::FreePort(SOCK_STREAM);
    ASSERT_NE(stopped, kept);
    s_slowPort = stopped;
    s_slowEnded = 0;
    DebugCapture capture;
    ASSERT_TRUE(Sock_Listen(stopped, EchoUntilEnd));
    ASSERT_TRUE(Sock_Listen(kept, EchoUntilEnd));
    int onStopped = Keep(loopnet::ConnectTcp(stopped));
    int onKept = Keep(loopnet::ConnectTcp(kept));
    ASSERT_TRUE(Echoes(onStopped));
    ASSERT_TRUE(Echoes(onKept));

    Sock_StopListen(stopped);
    EXPECT_EQ(s_slowEnded.load(), 1);
    EXPECT_TRUE(loopnet::SeesClose(onStopped, 1000));
    EXPECT_EQ(loopnet::ConnectTcp(stopped), -1);
    EXPECT_TRUE(Echoes(onKept));
    EXPECT_TRUE(Echoes(Keep(loopnet::ConnectTcp(kept)))) << "the other port stopped listening";

    NPSOCK_PARAM udp = Sock_GetSocket(FALSE);
    // The kept connections' 60 s waits cannot end by themselves on the still test clock.
    auto stop = std::async(std::launch::async, Sock_Stop);
    ASSERT_EQ(stop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(loopnet::SeesClose(onKept, 1000));
    EXPECT_TRUE(udp->bClose);
    EXPECT_EQ(Sock_SendTo(udp, "x", 1, kept, LOOPBACK, 0), -1);
    EXPECT_EQ(loopnet::ConnectTcp(kept), -1);
    Sock_Stop();
}

TEST_F(SocketLayer, ConnectReportsARefusalInEitherModeAndEndsBlocking)
{
    const WORD closed = loopnet::FreePort(SOCK_STREAM);
    const WORD open = loopnet::LocalPort(Keep(loopnet::ListenTcp(0)));
    DebugCapture quiet;
    for (long timeout : {0L, 1000L}) {
        NPSOCK_PARAM p = Sock_GetSocket(TRUE);
        EXPECT_FALSE(Sock_Connect(p, closed, LOOPBACK, timeout)) << timeout;
        Sock_Disconnect(p);
    }
    NPSOCK_PARAM p = Sock_GetSocket(TRUE);
    EXPECT_TRUE(Sock_Connect(p, open, LOOPBACK, 1000));
    EXPECT_EQ(fcntl(p->sock, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(std::make_pair(Sock_GetPort(p), p->ulAdrs.load()), std::make_pair(open, ULONG{LOOPBACK}));
}

TEST_F(SocketLayer, ConnectToAnAddressThatNeverAnswersGivesUpAtItsTimeout)
{
    std::promise<std::string> entered;  // empty when the silent target is ready
    DebugCapture capture;
    auto connect = std::async(std::launch::async, [&] {
        std::string why;
        if (!loopnet::EnterPrivateNetNamespace(&why)) {
            entered.set_value(why);
            return TRUE;
        }
        loopnet::SilentTcpTarget target;
        NPSOCK_PARAM p = Sock_GetSocket(TRUE);
        entered.set_value(target.ready() ? "" : "no unanswered TCP target could be made in the namespace");
        const BOOL ok = !target.ready() || Sock_Connect(p, target.port(), LOOPBACK, 3000);
        Sock_Disconnect(p);
        return ok;
    });
    const std::string why = entered.get_future().get();
    if (!why.empty()) {
        capture.text();
        GTEST_SKIP() << why;
    }
    ASSERT_TRUE(EndsAtItsTimeOut(connect, 3000));
    EXPECT_FALSE(connect.get());
}

TEST_F(SocketLayer, DatagramsCarryTheirSenderOnAPortAbove32767)
{
    NPSOCK_PARAM p = Sock_GetSocket(FALSE);
    WORD port = 40000;
    while (!Sock_Bind(p, port, LOOPBACK)) {
        ASSERT_LT(++port, 40200);
    }
    EXPECT_EQ(Sock_GetPort(p), port);
    EXPECT_EQ(loopnet::LocalPort(p->sock), port);

    int peer = Keep(loopnet::BindUdp(0));
    ASSERT_TRUE(loopnet::SendDatagram(peer, port, "ping"));
    char buf[16];
    ULONG from = 0;
    EXPECT_EQ(Sock_ReceiveFrom(p, buf, sizeof(buf), 0, &from, 1000), 4);
    EXPECT_EQ(std::make_pair(std::string(buf, 4), from), std::make_pair(std::string("ping"), ULONG{LOOPBACK}));
    EXPECT_EQ(Sock_ReceiveFrom(p, buf, sizeof(buf), 0, &from, 100), -1);
}

}  // namespace
