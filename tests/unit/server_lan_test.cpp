// The peer link in process: a unit on a simulated board with its radio on a
// pty, and its peer units played by UDP sockets on loopback addresses
// (127.0.0.2 and up) that send and expect bytes written out by hand here. The
// test drives the 100 ms tick on the test clock and runs the idle loop where
// records must reach the radio. Radio frames are built by the harness's own
// codec and fed straight to the receiver, so they are handled before the feed
// returns.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <optional>
#include <sstream>
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
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// ---- Bytes written out by hand -----------------------------------------------------

// "00 2C 08" -> {0x00, 0x2C, 0x08}.
Bytes Hex(const std::string& text)
{
    Bytes out;
    std::istringstream in(text);
    std::string pair;
    while (in >> pair) {
        out.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
    }
    return out;
}

Bytes Str(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes Be16(unsigned v)
{
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Be32(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

std::string Dump(const Bytes& b)
{
    std::string out;
    char hex[4];
    for (uint8_t v : b) {
        std::snprintf(hex, sizeof(hex), "%02X ", v);
        out += hex;
    }
    return out;
}

// A text field of n bytes, NUL-padded.
Bytes Field(const std::string& text, size_t n)
{
    Bytes b = Str(text);
    b.resize(n, 0);
    return b;
}

const Bytes CONNECT_REQ = Hex("00 00 07 00 00 00 00 00 00 00 00 00 00 00 00 00");

// A peer's acknowledgement, cut to size bytes.
Bytes PeerAck(const Bytes& table, uint8_t listServer = 0, size_t size = 60)
{
    Bytes ack = Cat({Hex("00 2C 08 00 00 00 00 00 00 00 00 00 00 00 00 00"),
                     Hex("01 04 04 00"),
                     Hex("02 11 22 33 44 55"),
                     Field("PEER01", 10),
                     Field("R0002", 5),
                     table,
                     {listServer},
                     Hex("21 43")});
    ack.resize(size);
    return ack;
}

// A code table admitting the given codes.
Bytes Table(std::initializer_list<int> codes)
{
    Bytes t(16, 0);
    for (int n : codes) {
        t[static_cast<size_t>(n / 8)] |= static_cast<uint8_t>(1u << (n % 8));
    }
    return t;
}

// A voice area: type, group (2), counter (4 hex), FICH (8 hex), payload.
std::string Area(char type, const std::string& group, const std::string& counter, const std::string& fich,
                 const std::string& payload = "payload-0123456789")
{
    return std::string(1, type) + group + counter + fich + payload;
}

// A peer's voice packet carrying area.
Bytes PeerVoice(const std::string& area, uint16_t msgId = 0x0102, uint32_t time = 0x11223344, uint8_t ch = 0)
{
    return Cat({Be16(static_cast<unsigned>(area.size())),
                Hex("00 00 00 00"),
                Be32(time),
                Be16(msgId),
                {ch},
                Hex("00 00 00"),
                Str(area)});
}

uint32_t Adrs(const std::string& dotted)
{
    return ntohl(inet_addr(dotted.c_str()));
}

// ---- A peer unit on a loopback address ----------------------------------------------

class FarPeer {
   public:
    FarPeer(const std::string& ip, int port, int unitPort) : m_ip(ip), m_unitPort(unitPort)
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = inet_addr(ip.c_str());
        m_bound = bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~FarPeer() { close(m_fd); }
    FarPeer(const FarPeer&) = delete;
    FarPeer& operator=(const FarPeer&) = delete;

    bool bound() const { return m_bound; }
    const std::string& ip() const { return m_ip; }

    bool Send(const Bytes& packet)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(m_unitPort));
        to.sin_addr.s_addr = inet_addr("127.0.0.1");
        return sendto(m_fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) ==
               static_cast<ssize_t>(packet.size());
    }
    std::optional<Bytes> Receive(int timeoutMs)
    {
        pollfd pfd = {m_fd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) {
            return std::nullopt;
        }
        Bytes buf(2048);
        ssize_t n = recv(m_fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            return std::nullopt;
        }
        buf.resize(static_cast<size_t>(n));
        return buf;
    }
    // The next packet of this type; packets of other types are passed over.
    std::optional<Bytes> ReceiveType(uint8_t type, int timeoutMs)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            auto p = Receive(left > 0 ? left : 0);
            if (!p || (p->size() > 2 && (*p)[2] == type)) {
                return p;
            }
        }
    }
    // Every packet that arrives until the line is quiet for quietMs.
    std::vector<Bytes> Drain(int quietMs = 100)
    {
        std::vector<Bytes> all;
        while (auto p = Receive(quietMs)) {
            all.push_back(*p);
        }
        return all;
    }

   private:
    std::string m_ip;
    int m_unitPort;
    int m_fd = -1;
    bool m_bound = false;
};

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

// ---- The unit ----------------------------------------------------------------------

class PeerLink : public testsupport::InProcessUnit {
   protected:
    // A unit with nTargets targets at 127.0.0.2 and up, each played by a peer.
    void Boot(int nTargets, bool bListServer = false)
    {
        int unitPort = FreeUdpPort();
        int peerPort = FreeUdpPort();
        std::string ini = "CommPort=2\nUsbPort=0\nRxUdpPort=" + std::to_string(unitPort) +
                          "\nTxUdpPort=" + std::to_string(peerPort) + "\nProgram=KOVA-LAN\n";
        for (int i = 0; i < nTargets; ++i) {
            std::string ip = "127.0.0." + std::to_string(i + 2);
            ini += "Target" + std::to_string(i) + "=1," + ip + "," + std::string(32, '0') + "\n";
            m_peers.push_back(std::make_unique<FarPeer>(ip, peerPort, unitPort));
            ASSERT_TRUE(m_peers.back()->bound()) << ip;
        }
        m_stranger = std::make_unique<FarPeer>("127.0.0.99", peerPort, unitPort);
        StartUnit(ini, bListServer);
    }
    // The radio identifies itself with a table admitting code 5 (DG-IDs 12, 34).
    void Ready()
    {
        sim::radio::CodeTable table;
        table.Admit(5);
        table.locDgid = 0x12;
        table.defDgid = 0x34;
        ASSERT_TRUE(m_radio->Identify({}, table));
        ASSERT_EQ(Server_GetUnitState(), UNIT_STATE_READY);
    }
    FarPeer& Peer(size_t i) { return *m_peers.at(i); }

    CLIENT_STATUS Status(unsigned i)
    {
        CLIENT_STATUS s = NONE;
        Server_GetTargetStatus(i, &s);
        return s;
    }
    bool WaitStatus(unsigned i, CLIENT_STATUS want)
    {
        auto deadline = Clock::now() + 2s;
        while (Status(i) != want) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
    // Target i's peer takes its first request and answers with ack.
    void Connect(unsigned i, const Bytes& ack)
    {
        Tick();
        ASSERT_TRUE(Peer(i).ReceiveType(7, 1000)) << "no connect request to " << Peer(i).ip();
        ASSERT_TRUE(Peer(i).Send(ack));
        ASSERT_TRUE(WaitStatus(i, CONNECTED));
    }
    // Runs the idle loop until the radio got n voice frames more than it had
    // at the cursor; their parameter areas.
    std::vector<std::string> RelayToRadio(size_t n, std::chrono::milliseconds timeout = 2s)
    {
        std::vector<std::string> areas;
        for (const sim::radio::Frame& f : VoiceFramesToRadio(n, timeout)) {
            areas.push_back(f.command + f.param);
        }
        return areas;
    }
    // The idle loop for a while, with what reached the radio meanwhile.
    std::vector<std::string> IdleFor(std::chrono::milliseconds span) { return RelayToRadio(SIZE_MAX, span); }
    // Ticks until the radio is sent a status notice; its status character.
    char NextStatusNotice()
    {
        auto deadline = Clock::now() + 2s;
        while (Clock::now() < deadline) {
            Tick();
            if (auto p = m_radio->WaitFor('P', 20)) {
                return p->param.empty() ? '?' : p->param[0];
            }
        }
        return 0;
    }
    SEARCH_RESULT Result(unsigned i)
    {
        std::vector<SEARCH_RESULT> all(SERVER_TARGET_COUNT);
        EXPECT_TRUE(Server_GetSearchResult(all.data()));
        return all.at(i);
    }

    std::vector<std::unique_ptr<FarPeer>> m_peers;
    std::unique_ptr<FarPeer> m_stranger;
};

// The unit's own acknowledgement: radio "SIM0CALL"/"12345" of the simulator,
// MAC 02:00:00:00:00:01 of the simulated board, table admitting code 5.
Bytes UnitAck(const Bytes& table, uint8_t listServer = 0)
{
    return Cat({Hex("00 2C 08 00 00 00 00 00 00 00 00 00 00 00 00 00"),
                Hex("01 04 04 00"),
                Hex("02 00 00 00 00 01"),
                Field("SIM0CALL", 10),
                Str("12345"),
                table,
                {listServer},
                Hex("12 34")});
}

TEST_F(PeerLink, HandshakeInBothDirectionsCarriesBothIdentitiesByteForByte)
{
    Boot(1);
    Ready();
    Tick();
    auto req = Peer(0).Receive(1000);
    ASSERT_TRUE(req);
    EXPECT_EQ(*req, CONNECT_REQ) << Dump(*req);

    ASSERT_TRUE(Peer(0).Send(PeerAck(Table({9}), 1)));
    ASSERT_TRUE(WaitStatus(0, CONNECTED));
    EXPECT_TRUE(m_tap->WaitForCount("[I] target detected 127.0.0.2", 1));
    SEARCH_RESULT r = Result(0);
    EXPECT_EQ(r.ulAdrs, Adrs("127.0.0.2"));
    EXPECT_EQ(r.dwVers, 0x01040400u);
    EXPECT_EQ(Bytes(r.MacAdrs.abyAdrs, r.MacAdrs.abyAdrs + 6), Hex("02 11 22 33 44 55"));
    EXPECT_STREQ(r.szCallSign, "PEER01");
    EXPECT_STREQ(r.szRadioID, "R0002");
    EXPECT_EQ(Bytes(r.abySCTable, r.abySCTable + 16), Table({9}));
    EXPECT_TRUE(r.bListServer);
    EXPECT_EQ(r.byLocDGID, 0x21);
    EXPECT_EQ(r.byDefDGID, 0x43);
    // The idle loop copies what the peer told into the configuration.
    IdleFor(150ms);
    EXPECT_STREQ(CONFIG_Get()->aTargetInfo[0].szCallSign, "PEER01");

    // The peer asks in turn and is answered at once.
    ASSERT_TRUE(Peer(0).Send(CONNECT_REQ));
    auto ack = Peer(0).Receive(1000);
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, UnitAck(Table({5}))) << Dump(*ack);
}

TEST_F(PeerLink, ShortAcknowledgementLeavesDgIdsUnsetAndListServerModeKeepsNoNames)
{
    Boot(1, true);
    Ready();
    Connect(0, PeerAck(Table({9}), 0, 58));
    SEARCH_RESULT r = Result(0);
    EXPECT_STREQ(r.szCallSign, "");
    EXPECT_STREQ(r.szRadioID, "");
    EXPECT_EQ(Bytes(r.abySCTable, r.abySCTable + 16), Table({9}));
    EXPECT_EQ(r.byLocDGID, 255);
    EXPECT_EQ(r.byDefDGID, 255);
    ASSERT_TRUE(Peer(0).Send(CONNECT_REQ));
    auto ack = Peer(0).Receive(1000);
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, UnitAck(Table({5}), 1)) << Dump(*ack);
}

TEST_F(PeerLink, ThreeUnansweredRequestsOneSecondApartThenTimeOutAndPauseFortyFiveSeconds)
{
    Boot(1);
    Ready();
    auto requestAfter = [this](DWORD ms) {
        WinEmu_AdvanceTicksForTest(ms);
        Tick();
        return Peer(0).Receive(30).has_value();
    };
    // Real time passes too: each check keeps a margin on the test clock.
    EXPECT_TRUE(requestAfter(0));
    EXPECT_FALSE(requestAfter(700));
    EXPECT_TRUE(requestAfter(300));
    EXPECT_TRUE(requestAfter(1000));
    EXPECT_FALSE(requestAfter(2700));
    EXPECT_EQ(m_tap->Count("[W] connect timeout"), 0);
    EXPECT_FALSE(requestAfter(300));
    EXPECT_TRUE(m_tap->WaitForCount("[W] connect timeout 127.0.0.2", 1));
    EXPECT_EQ(Status(0), CONNECTING);
    EXPECT_FALSE(requestAfter(44700));
    EXPECT_TRUE(requestAfter(300));
    EXPECT_FALSE(requestAfter(700));
    EXPECT_TRUE(requestAfter(300));
}

TEST_F(PeerLink, KeepAliveEveryThirtySecondsAndTwoMinutesOfSilenceDropsTheTarget)
{
    Boot(1);
    Ready();
    Connect(0, PeerAck(Table({9})));
    auto requestAfter = [this](DWORD ms) {
        WinEmu_AdvanceTicksForTest(ms);
        Tick();
        return Peer(0).Receive(30).has_value();
    };
    EXPECT_FALSE(requestAfter(29700));
    EXPECT_TRUE(requestAfter(300));
    // Answered: the silence counts from here.
    ASSERT_TRUE(Peer(0).Send(PeerAck(Table({9}))));
    ASSERT_TRUE(m_tap->WaitForCount("Rx: connect ack", 2));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(requestAfter(30000));
    }
    EXPECT_FALSE(requestAfter(29500));
    EXPECT_EQ(Status(0), CONNECTED);
    requestAfter(600);
    EXPECT_EQ(Status(0), CONNECTING);
    EXPECT_TRUE(m_tap->WaitForCount("[W] target no response 127.0.0.2", 1));
    // A fresh attempt starts at once, with the peer's table forgotten.
    EXPECT_TRUE(requestAfter(0));
    IdleFor(150ms);
    const BYTE* table = CONFIG_Get()->aTargetInfo[0].abySCTable;
    EXPECT_EQ(Bytes(table, table + 16), Bytes(16, 0));
}

TEST_F(PeerLink, SendTurnCarriesAtMostFivePacketsPerTickRoundRobin)
{
    Boot(12);
    Ready();
    auto turn = [this](DWORD ms) {
        WinEmu_AdvanceTicksForTest(ms);
        Tick();
        std::string who;
        for (size_t i = 0; i < m_peers.size(); ++i) {
            if (Peer(i).Receive(i == 0 ? 50 : 5)) {
                who += std::to_string(i) + " ";
            }
        }
        return who;
    };
    EXPECT_EQ(turn(0), "0 1 2 3 4 ");
    EXPECT_EQ(turn(0), "5 6 7 8 9 ");
    EXPECT_EQ(turn(0), "10 11 ");
    EXPECT_EQ(turn(0), "");
    // All twelve are due again: the turn goes on where it stopped.
    EXPECT_EQ(turn(1000), "0 1 2 10 11 ");
    EXPECT_EQ(turn(0), "3 4 5 6 7 ");
    EXPECT_EQ(turn(0), "8 9 ");
}

TEST_F(PeerLink, PeerFramePassesByCodeOrGroupAndTeachesTheOwnTable)
{
    Boot(1);
    Ready();
    Connect(0, PeerAck(Table({9})));
    const std::vector<std::pair<std::string, bool>> frames = {
        {Area('0', "  ", "0001", "00000005"), true},   // admitted code
        {Area('0', "  ", "0002", "00000006"), false},  // code not admitted
        {Area('0', "  ", "0003", "0000007F"), true},   // code 127 passes every table
        {Area('0', "**", "0004", "00000007"), false},  // all groups pass only by their code
        {Area('0', "05", "0005", "00000006"), true},   // group 5 admitted: code 6 is learnt
        {Area('0', "  ", "0006", "00000086"), true},   // code 6 (FICH low 7 bits) now admitted
    };
    std::vector<std::string> expected;
    for (const auto& [area, pass] : frames) {
        ASSERT_TRUE(Peer(0).Send(PeerVoice(area)));
        if (pass) {
            expected.push_back("F" + area);
        }
    }
    EXPECT_EQ(RelayToRadio(expected.size()), expected);
    EXPECT_TRUE(IdleFor(100ms).empty());

    MY_REPEATER_INFO info;
    Server_GetMyRepeaterInfo(&info);
    EXPECT_EQ(info.abySCTable[0], 0x60);
    // The new table is announced to the peer at the next turn.
    Tick();
    auto ack = Peer(0).ReceiveType(8, 1000);
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, UnitAck(Table({5, 6}))) << Dump(*ack);
}

TEST_F(PeerLink, RadioTransmissionIsSentToAdmittingTargetsByteForByte)
{
    Boot(1);
    Ready();
    Connect(0, PeerAck(Table({9})));
    DWORD before = GetTickCount();
    std::vector<std::string> areas = {Area('H', "  ", "0100", "00000009"), Area('0', "  ", "0101", "00000009"),
                                      Area('I', "  ", "0100", "00000009"), Area('1', "  ", "0102", "00000009"),
                                      Area('T', "  ", "0103", "00000009")};
    for (const std::string& a : areas) {
        FeedRadio('g', a);
    }
    DWORD after = GetTickCount();
    // The identification takes the header's place; the rest follow in order.
    std::vector<std::string> sent = {areas[2], areas[1], areas[3], areas[4]};
    std::vector<Bytes> got = Peer(0).Drain();
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_GE(got[i].size(), 16u);
        uint32_t time = static_cast<uint32_t>(got[i][6] << 24 | got[i][7] << 16 | got[i][8] << 8 | got[i][9]);
        // The buffered voice frame is moved to the identification's time.
        EXPECT_LE(time - before, after - before) << i;
        Bytes want = Cat({Be16(static_cast<unsigned>(sent[i].size())), Hex("00 00 00 00"), Be32(time),
                          Hex("00 01 01 00 00 00"), Str(sent[i])});
        EXPECT_EQ(got[i], want) << i << ": " << Dump(got[i]);
    }

    // A code the peer does not admit: nothing goes out and the radio hears '1'.
    m_radio->Clear();
    FeedRadio('G', Area('H', "  ", "0200", "0000000A"));
    FeedRadio('G', Area('I', "  ", "0200", "0000000A"));
    EXPECT_TRUE(Peer(0).Drain().empty());
    EXPECT_EQ(NextStatusNotice(), '1');

    // By the group the peer admits: sent, and both tables learn the code.
    FeedRadio('G', Area('H', "09", "0300", "0000000A"));
    FeedRadio('G', Area('I', "09", "0300", "0000000A"));
    auto voice = Peer(0).ReceiveType(0, 1000);
    ASSERT_TRUE(voice);
    EXPECT_EQ((*voice)[10], 0x00);
    EXPECT_EQ((*voice)[11], 0x03);  // the third transmission
    EXPECT_EQ(Result(0).abySCTable[1], 0x06);
    MY_REPEATER_INFO info;
    Server_GetMyRepeaterInfo(&info);
    EXPECT_EQ(info.abySCTable[1], 0x04);
}

TEST_F(PeerLink, RadioFramesWithoutHeaderOrBeyondTheBufferAreDroppedAndNewCounterIsNewMessage)
{
    Boot(1);
    Ready();
    Connect(0, PeerAck(Table({9})));
    FeedRadio('G', Area('0', "  ", "0001", "00000009"));
    EXPECT_TRUE(m_tap->WaitForCount("[W] no header exist. ignore", 1));

    // An identification with another counter starts a transmission of its own.
    FeedRadio('G', Area('H', "  ", "0100", "00000009"));
    FeedRadio('G', Area('I', "  ", "0200", "00000009"));
    FeedRadio('G', Area('T', "  ", "0201", "00000009"));
    std::vector<Bytes> got = Peer(0).Drain();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0][16], 'I');
    EXPECT_EQ(Bytes(got[0].begin() + 10, got[0].begin() + 12), Hex("00 02"));
    EXPECT_EQ(Bytes(got[1].begin() + 10, got[1].begin() + 12), Hex("00 02"));

    // The header and 63 voice frames fill the buffer; the 64th is dropped.
    FeedRadio('G', Area('H', "  ", "0300", "00000009"));
    for (int i = 0; i < 64; ++i) {
        char counter[5];
        std::snprintf(counter, sizeof(counter), "%04X", 0x301 + i);
        FeedRadio('G', Area('0', "  ", counter, "00000009"));
    }
    EXPECT_TRUE(m_tap->WaitForCount("[W] rx data buffer overlow", 1));
    FeedRadio('G', Area('I', "  ", "0300", "00000009"));
    got = Peer(0).Drain(300);
    ASSERT_EQ(got.size(), 64u);
    EXPECT_EQ(got[0][16], 'I');
    EXPECT_EQ(std::string(got[63].begin() + 16, got[63].begin() + 23), "0  033F");
    FeedRadio('G', Area('T', "  ", "0341", "00000009"));
    auto end = Peer(0).Receive(1000);
    ASSERT_TRUE(end);
    EXPECT_EQ((*end)[16], 'T');
    EXPECT_EQ(m_tap->Count("[W] rx data buffer overlow"), 1);
}

TEST_F(PeerLink, OnePeerHoldsTheLineUntilItsEndFrameOrOneSecondOfSilence)
{
    Boot(2);
    Ready();
    Connect(0, PeerAck(Table({5})));
    Connect(1, PeerAck(Table({5})));
    const std::string a1 = Area('0', "  ", "0001", "00000005", "from-A-1");
    const std::string b1 = Area('0', "  ", "0001", "00000005", "from-B-1");
    const std::string aEnd = Area('T', "  ", "0002", "00000005", "from-A-end");
    ASSERT_TRUE(Peer(0).Send(PeerVoice(a1)));
    EXPECT_EQ(RelayToRadio(1), std::vector<std::string>{"F" + a1});
    ASSERT_TRUE(m_tap->WaitForCount("OCCUPY 127.0.0.2", 1));
    ASSERT_TRUE(Peer(1).Send(PeerVoice(b1)));
    ASSERT_TRUE(m_tap->WaitForCount("Rx: Lan A [005][0][00001]", 2));  // B's frame was seen
    ASSERT_TRUE(Peer(0).Send(PeerVoice(aEnd)));
    EXPECT_EQ(RelayToRadio(1), std::vector<std::string>{"F" + aEnd});

    // Free again: B takes the line, then falls silent.
    ASSERT_TRUE(Peer(1).Send(PeerVoice(b1, 0x0203, 0x55, 1)));
    EXPECT_EQ(RelayToRadio(1), std::vector<std::string>{"f" + b1});
    ASSERT_TRUE(m_tap->WaitForCount("OCCUPY 127.0.0.3", 1));
    Server_OnIdle();  // the queue is empty: its owner's timer runs
    WinEmu_AdvanceTicksForTest(1000);
    Tick();
    EXPECT_TRUE(m_tap->WaitForCount("RELASE timeout", 1));
    // The line is free, but B owns the queue until the idle loop has seen it
    // empty for 1000 ms.
    ASSERT_TRUE(Peer(0).Send(PeerVoice(a1)));
    EXPECT_TRUE(m_tap->WaitForCount("[W] cannot take queue 7F000002", 1));
    EXPECT_TRUE(IdleFor(50ms).empty());
    ASSERT_TRUE(Peer(0).Send(PeerVoice(a1)));
    EXPECT_EQ(RelayToRadio(1), std::vector<std::string>{"F" + a1});
}

TEST_F(PeerLink, RadioThatStopsTransmittingFreesTheQueueAtOnce)
{
    Boot(2);
    Ready();
    Connect(0, PeerAck(Table({5})));
    Connect(1, PeerAck(Table({5})));
    const std::string a1 = Area('0', "  ", "0001", "00000005", "from-A");
    const std::string b1 = Area('0', "  ", "0001", "00000005", "from-B");
    ASSERT_TRUE(Peer(0).Send(PeerVoice(a1)));
    EXPECT_EQ(RelayToRadio(1), std::vector<std::string>{"F" + a1});
    Server_OnIdle();  // A owns the empty queue; its 1000 ms begin
    m_status.rtrxA = '4';
    Tick();
    WinEmu_AdvanceTicksForTest(1000);
    Tick();  // the line is free again
    ASSERT_TRUE(m_tap->WaitForCount("RELASE timeout", 1));
    m_status.rtrxA = '0';
    Tick();  // the radio stopped sending: the queue is emptied and let go
    ASSERT_TRUE(m_tap->WaitForCount("[I] tx no signal A", 1));
    ASSERT_TRUE(Peer(1).Send(PeerVoice(b1)));
    // B's frame is handled before the idle loop could let A go by itself.
    ASSERT_TRUE(m_tap->WaitForCount("OCCUPY 127.0.0.3", 1));
    EXPECT_EQ(RelayToRadio(1), std::vector<std::string>{"F" + b1});
    EXPECT_EQ(m_tap->Count("[W] cannot take queue"), 0);
}

TEST_F(PeerLink, MalformedPeerPacketsAreDroppedWithAWarning)
{
    Boot(1);
    Ready();
    Connect(0, PeerAck(Table({5})));
    const std::string area = Area('0', "  ", "0001", "00000005");
    struct Bad {
        Bytes packet;
        std::string warning;
    };
    Bytes tooLong = PeerVoice(area);
    tooLong.resize(tooLong.size() - 5);
    Bytes shortHeader = Hex("00 20 00 00 00 00 00 00 00 00");
    Bytes badCounter = PeerVoice(Area('0', "  ", "00G1", "00000005"));
    std::vector<Bad> bad = {
        {PeerVoice(area.substr(0, 14)), "[W] invalid param length"},
        {tooLong, "[W] voice packet length 33 exceeds 28"},
        {shortHeader, "[W] voice packet length 32 exceeds 0"},
        {badCounter, "[W] GetData() failed"},
        {PeerAck(Table({5}), 0, 57), "[W] invalid data length 57"},
        {Hex("00 08 0B 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 05 00 00 00 00"),
         "[W] invalid data length 23 (status)"},
    };
    for (const Bad& b : bad) {
        ASSERT_TRUE(Peer(0).Send(b.packet));
        EXPECT_TRUE(m_tap->WaitForCount(b.warning, 1)) << b.warning;
    }
    // Longer than a queue record, which no datagram on the port can carry.
    Bytes huge = PeerVoice(Area('0', "  ", "0001", "00000005", std::string(1420, 'x')));
    Server_FeedPeerPacketForTest(Adrs("127.0.0.2"), huge.data(), static_cast<int>(huge.size()));
    EXPECT_TRUE(m_tap->WaitForCount("[W] voice packet length 1435 exceeds 1434", 1));

    // The largest one goes through whole.
    const std::string largest = Area('0', "  ", "0002", "00000005", std::string(1419, 'y'));
    ASSERT_TRUE(Peer(0).Send(PeerVoice(largest)));
    EXPECT_EQ(RelayToRadio(1), std::vector<std::string>{"F" + largest});
    EXPECT_TRUE(IdleFor(100ms).empty());
}

TEST_F(PeerLink, PacketsAreIgnoredUnlessTheUnitIsReadyOrFromAStranger)
{
    Boot(1);
    ASSERT_TRUE(Peer(0).Send(CONNECT_REQ));
    ASSERT_TRUE(Peer(0).Send(PeerVoice(Area('0', "  ", "0001", "0000007F"))));
    EXPECT_FALSE(Peer(0).Receive(200));
    Ready();
    EXPECT_TRUE(IdleFor(100ms).empty());

    ASSERT_TRUE(m_stranger->Send(CONNECT_REQ));
    ASSERT_TRUE(m_stranger->Send(PeerAck(Table({5}))));
    EXPECT_TRUE(m_tap->WaitForCount("[W] target not found 127.0.0.99", 1));
    EXPECT_FALSE(m_stranger->Receive(100));
    ASSERT_TRUE(m_stranger->Send(PeerVoice(Area('0', "  ", "0001", "0000007F"))));
    EXPECT_TRUE(IdleFor(100ms).empty());

    ASSERT_TRUE(Peer(0).Send(CONNECT_REQ));
    EXPECT_TRUE(Peer(0).ReceiveType(8, 1000));

    // The radio falls silent: the unit leaves READY and stops answering.
    WinEmu_AdvanceTicksForTest(10000);
    Server_TickForTest();
    ASSERT_EQ(Server_GetUnitState(), UNIT_STATE_ERROR);
    Peer(0).Drain(50);
    ASSERT_TRUE(Peer(0).Send(CONNECT_REQ));
    EXPECT_FALSE(Peer(0).Receive(200));
}

TEST_F(PeerLink, StatusNoticesGoToTheOccupantAndComeBackToTheRadio)
{
    Boot(1);
    Ready();
    Connect(0, PeerAck(Table({5})));
    // Nobody on the line: a call state goes nowhere.
    m_status.stat = '5';
    Tick();
    EXPECT_FALSE(Peer(0).ReceiveType(11, 100));

    ASSERT_TRUE(Peer(0).Send(PeerVoice(Area('0', "  ", "0001", "00000005"))));
    ASSERT_EQ(RelayToRadio(1).size(), 1u);
    for (char stat : {'6', '7'}) {
        m_status.stat = stat;
        Tick();
        auto notice = Peer(0).ReceiveType(11, 1000);
        ASSERT_TRUE(notice) << stat;
        unsigned id = stat == '6' ? 1 : 2;
        EXPECT_EQ(*notice, Cat({Hex("00 08 0B 00 00 00 00 00 00 00 00 00 00 00 00 00"),
                                Be16(id),
                                {static_cast<uint8_t>(stat - '0')},
                                Hex("00 00 00 00 00")}))
            << Dump(*notice);
    }

    // The peer's notice reaches the radio with its next status notice.
    m_radio->Clear();
    ASSERT_TRUE(Peer(0).Send(Hex("00 08 0B 00 00 00 00 00 00 00 00 00 00 00 00 00 12 34 06 00 00 00 00 00")));
    ASSERT_TRUE(m_tap->WaitForCount("Rx: status notify 127.0.0.2 (6)", 1));
    EXPECT_EQ(NextStatusNotice(), '6');
}

}  // namespace
