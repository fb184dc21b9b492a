// The peer link driven directly: peer datagrams in as bytes, radio voice
// frames as frames, the supervision at explicit ticks, and what goes to the
// peers and the radio taken from the send hooks.
#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "peer_sim.h"
#include "test_support.h"
#include "unit_fixture.h"

namespace {

namespace peer = sim::peer;
using sim::radio::Hex;
using testsupport::Bytes;
using testsupport::SentPacket;
using testsupport::WarningLines;

const Bytes CONNECT_REQ = peer::ConnectRequest();

// A peer admitting the given codes, or the unit itself (the radio
// "SIM0CALL"/"12345", MAC 02:00:00:00:00:01, DG-IDs 12 and 34).
peer::Identity Identity(std::initializer_list<int> codes, uint8_t listServer = 0, bool unit = false)
{
    peer::Identity id;
    id.mac = unit ? std::array<uint8_t, 6>{2, 0, 0, 0, 0, 1} : std::array<uint8_t, 6>{2, 0x11, 0x22, 0x33, 0x44, 0x55};
    id.callSign = unit ? "SIM0CALL" : "PEER01";
    id.radioId = unit ? "12345" : "R0002";
    for (int n : codes) {
        id.Admit(n);
    }
    id.listServer = listServer;
    id.locDgid = unit ? 0x12 : 0x21;
    id.defDgid = unit ? 0x34 : 0x43;
    return id;
}
Bytes PeerAck(std::initializer_list<int> codes, uint8_t listServer = 0, size_t size = peer::ACK_SIZE)
{
    return peer::ConnectAck(Identity(codes, listServer), size);
}
Bytes UnitAck(std::initializer_list<int> codes, uint8_t listServer = 0)
{
    return peer::ConnectAck(Identity(codes, listServer, true));
}
std::string Table(const uint8_t* table) { return Hex(Bytes(table, table + 16)); }
std::string Table(std::initializer_list<int> codes) { return Table(Identity(codes).table.data()); }

// A voice area: type, group (2), counter (4 hex), FICH (8 hex), payload.
std::string Area(char type, const std::string& group, const std::string& counter, const std::string& fich,
                 const std::string& payload = "payload-0123456789")
{
    return std::string(1, type) + group + counter + fich + payload;
}
Bytes PeerVoice(const std::string& area, uint16_t msgId = 0x0102, uint8_t ch = 0)
{
    return peer::VoicePacket(0x11223344, msgId, ch, area);
}

class PeerLink : public testsupport::CoreParts {
   protected:
    // n targets; the radio admits code 5 (DG-IDs 12, 34). The targets started
    // connecting before m_readyAfter.
    void Boot(int n, bool bListServer = false)
    {
        ConfigureTargets(n);
        s_Config.bListServer = bListServer ? TRUE : FALSE;
        s_MacAdrs.abyAdrs[0] = 0x02;
        s_MacAdrs.abyAdrs[5] = 0x01;
        sim::radio::CodeTable table;
        table.Admit(5);
        table.locDgid = 0x12;
        table.defDgid = 0x34;
        Ready(table);
        m_readyAfter = GetTickCount();
    }
    void Connect(int i, const Bytes& ack)
    {
        FromPeer(TargetAdrs(i), ack);
        ASSERT_EQ(Status(static_cast<unsigned>(i)), CONNECTED);
        m_toPeers.clear();
    }
    // What a search reports of target i: address, version, MAC, call sign,
    // radio ID, table, list-server flag, DG-IDs.
    std::string Found(unsigned i)
    {
        std::vector<SEARCH_RESULT> all(SERVER_TARGET_COUNT);
        EXPECT_TRUE(Server_GetSearchResult(all.data()));
        const SEARCH_RESULT& r = all.at(i);
        char text[64];
        std::snprintf(text, sizeof(text), "%08lX %08lX %d %02X %02X", static_cast<unsigned long>(r.ulAdrs),
                      static_cast<unsigned long>(r.dwVers), r.bListServer, r.byLocDGID, r.byDefDGID);
        return text + (" " + Hex(Bytes(r.MacAdrs.abyAdrs, r.MacAdrs.abyAdrs + 6))) + " " + r.szCallSign + "/" +
               r.szRadioID + " " + Table(r.abySCTable);
    }
    // TxLanThread's work: every queued radio frame fanned out; the voice packets sent.
    std::vector<SentPacket> Fanout()
    {
        while (LanSendQueuedFrame()) {
        }
        return TakeToPeers(0);
    }
    // Each voice packet fanned out: its message number and frame type.
    std::string Heads()
    {
        std::string out;
        for (const SentPacket& p : Fanout()) {
            out += Hex(Bytes(p.bytes.begin() + 10, p.bytes.begin() + 12)) + " " + std::string(1, p.bytes.at(16)) + ",";
        }
        return out;
    }
    // The indices of the targets sent a connect request since the last call.
    std::string Requested()
    {
        std::string who;
        for (const SentPacket& p : TakeToPeers(7)) {
            who += std::to_string(p.to - TargetAdrs(0)) + " ";
        }
        return who;
    }
    // A voice frame from the radio, handed over as the receiver does.
    void RadioVoice(char command, const std::string& area)
    {
        EnterCriticalSection(&s_csSerial);
        OnRxSioTxData(area.data(), static_cast<int>(area.size()), command == 'g' ? TRX_CH_B : TRX_CH_A);
        LeaveCriticalSection(&s_csSerial);
    }
    BOOL CopyTargetInfo(CONFIG_PARAM* cfg)
    {
        EnterCriticalSection(&s_csTarget);
        BOOL changed = LanCopyTargetInfo(cfg);
        LeaveCriticalSection(&s_csTarget);
        return changed;
    }
    // The status character of each 'P' frame the radio got within three ticks.
    std::string RadioNotices()
    {
        for (int i = 0; i < 3; ++i) {
            RadioTick(GetTickCount());
        }
        std::string out;
        for (const testsupport::SentFrame& f : TakeToRadio('P')) {
            out += f.param.substr(0, 1);
        }
        return out;
    }

    DWORD m_readyAfter = 0;
};

TEST_F(PeerLink, HandshakeCarriesBothIdentitiesByteForByteAndListServerModeKeepsNoNames)
{
    Boot(1, true);
    LanTick(m_readyAfter);
    std::vector<SentPacket> req = TakeToPeers(7);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].to, TargetAdrs(0));
    EXPECT_EQ(req[0].bytes, CONNECT_REQ);
    // Acknowledgements short of 60 bytes leave the DG-IDs unset.
    FromPeer(TargetAdrs(0), PeerAck({9}, 0, 58));
    ASSERT_EQ(Status(0), CONNECTED);
    FromPeer(TargetAdrs(0), PeerAck({9}, 0, 59));
    EXPECT_EQ(Found(0), "0A000001 01040400 0 FF FF 02 11 22 33 44 55 / " + Table({9}));
    FromPeer(TargetAdrs(0), CONNECT_REQ);
    EXPECT_EQ(TakeToPeers(8).at(0).bytes, UnitAck({5}, 1));

    // A search probes the target at once; no result while it runs.
    s_Config.bListServer = FALSE;
    std::vector<SEARCH_RESULT> all(SERVER_TARGET_COUNT);
    EXPECT_TRUE(Server_SearchReq());
    EXPECT_FALSE(Server_SearchReq());
    EXPECT_FALSE(Server_GetSearchResult(all.data()));
    LanTick(GetTickCount());
    EXPECT_EQ(Requested(), "0 ");
    FromPeer(TargetAdrs(0), PeerAck({9}, 1));
    EXPECT_EQ(Found(0), "0A000001 01040400 1 21 43 02 11 22 33 44 55 PEER01/R0002 " + Table({9}));

    // What the peer told is copied into the settings' entries with its address, once.
    CONFIG_PARAM cfg = {};
    cfg.aTargetInfo[7].dwTargetIP = TargetAdrs(0);
    EXPECT_TRUE(CopyTargetInfo(&cfg));
    const TARGET_INFO& e = cfg.aTargetInfo[7];
    EXPECT_EQ(std::string(e.szCallSign) + "/" + e.szRadioID + " " + Table(e.abySCTable) + " " + Hex({e.byDefDGID}),
              "PEER01/R0002 " + Table({9}) + " 43");
    EXPECT_STREQ(cfg.aTargetInfo[0].szCallSign, "");
    EXPECT_FALSE(CopyTargetInfo(&cfg));
    FromPeer(TargetAdrs(0), CONNECT_REQ);
    EXPECT_EQ(TakeToPeers(8).at(0).bytes, UnitAck({5}));
}

TEST_F(PeerLink, ThreeUnansweredRequestsOneSecondApartThenTimeOutAndPauseFortyFiveSeconds)
{
    Boot(1);
    const std::vector<std::pair<DWORD, std::string>> schedule = {
        {0, "0 "},     {999, ""},    {1000, "0 "},  {2000, "0 "}, {4999, ""},
        {5000, ""},  // time-out: a pause of 45 s follows
        {49999, ""}, {50000, "0 "}, {50999, ""}, {51000, "0 "},
    };
    testsupport::DebugCapture capture;
    for (const auto& [offset, want] : schedule) {
        LanTick(m_readyAfter + offset);
        EXPECT_EQ(Requested(), want) << "at +" << offset;
        EXPECT_EQ(Status(0), CONNECTING);
    }
    EXPECT_EQ(testsupport::CountOf(capture.text(), "[W] connect timeout 10.0.0.1"), 1u);
}

TEST_F(PeerLink, KeepAliveEveryThirtySecondsAndTwoMinutesOfSilenceDropsTheTarget)
{
    Boot(1);
    Connect(0, PeerAck({9}));
    testsupport::DebugCapture capture;
    std::string got;
    auto tick = [&](DWORD now) {
        LanTick(now);
        got += Requested() + (Status(0) == CONNECTED ? "c," : "-,");
    };
    tick(m_before + 29999);
    tick(m_after + 30000);
    WinEmu_AdvanceTicksForTest(30000);
    FromPeer(TargetAdrs(0), PeerAck({9}));  // answered: the silence counts from here
    for (DWORD now : {m_after + 30000, m_after + 60000, m_after + 90000, m_before + 119999, m_after + 120000,
                      m_after + 120000}) {
        tick(now);
    }
    EXPECT_EQ(WarningLines(capture.text()), std::vector<std::string>{"[W] target no response 10.0.0.1"});
    EXPECT_EQ(got, "c,0 c,0 c,0 c,0 c,c,-,0 -,");
    // The fresh attempt has forgotten the peer's table.
    CONFIG_PARAM cfg = {};
    cfg.aTargetInfo[0].dwTargetIP = TargetAdrs(0);
    CopyTargetInfo(&cfg);
    EXPECT_EQ(Table(cfg.aTargetInfo[0].abySCTable) + Hex({cfg.aTargetInfo[0].byLocDGID}), Table({}) + "FF");
}

TEST_F(PeerLink, SendTurnCarriesAtMostFivePacketsPerTickRoundRobin)
{
    Boot(12);
    const DWORD t = m_readyAfter;
    const std::vector<std::pair<DWORD, std::string>> turns = {
        {t, "0 1 2 3 4 "},       {t, "5 6 7 8 9 "},     {t, "10 11 "}, {t, ""},
        {t + 1000, "10 11 0 1 2 "},  // all twelve due again: the turn goes on where it stopped
        {t + 1000, "3 4 5 6 7 "},    {t + 1000, "8 9 "},
    };
    for (const auto& [now, want] : turns) {
        LanTick(now);
        EXPECT_EQ(Requested(), want);
    }
}

TEST_F(PeerLink, PeerFramePassesByCodeOrGroupAndTeachesTheOwnTable)
{
    Boot(1);
    Connect(0, PeerAck({9}));
    const std::vector<std::pair<std::string, bool>> frames = {
        {Area('0', "  ", "0001", "00000005"), true},   // admitted code
        {Area('0', "  ", "0002", "00000006"), false},  // code not admitted
        {Area('0', "  ", "0003", "0000007F"), true},   // code 127 passes every table
        {Area('0', "**", "0004", "00000007"), false},  // all groups pass only by their code
        {Area('0', "05", "0005", "00000006"), true},   // group 5 admitted: code 6 is learnt
        {Area('0', "  ", "0006", "00000086"), true},   // code 6 (FICH low 7 bits) now admitted
    };
    for (const auto& [area, pass] : frames) {
        FromPeer(TargetAdrs(0), PeerVoice(area));
        EXPECT_EQ(ReleaseAll(GetTickCount()), pass ? std::vector<std::string>{"F" + area} : std::vector<std::string>{})
            << area;
    }
    // The new table is announced to the peer at the next turn.
    LanTick(GetTickCount());
    EXPECT_EQ(TakeToPeers(8).at(0).bytes, UnitAck({5, 6}));
}

TEST_F(PeerLink, RadioTransmissionIsSentToAdmittingTargetsByteForByte)
{
    Boot(2);
    Connect(0, PeerAck({9}));
    Connect(1, PeerAck({8}));
    const DWORD before = GetTickCount();
    std::vector<std::string> areas = {Area('H', "  ", "0100", "00000009"), Area('0', "  ", "0101", "00000009"),
                                      Area('I', "  ", "0100", "00000009"), Area('1', "  ", "0102", "00000009"),
                                      Area('T', "  ", "0103", "00000009")};
    for (const std::string& a : areas) {
        RadioVoice('g', a);
    }
    const DWORD after = GetTickCount();
    // The identification takes the header's place; the rest follow in order,
    // to the target that admits code 9 only. The buffered frame goes out at the
    // identification's time, the later ones each at its own arrival (the same
    // millisecond or later on a busy machine).
    std::vector<std::pair<ULONG, Bytes>> got;
    std::vector<uint32_t> times;
    for (SentPacket& p : Fanout()) {
        got.push_back({p.to, p.bytes});
        const Bytes& b = p.bytes;
        times.push_back(static_cast<uint32_t>(b.at(6) << 24 | b.at(7) << 16 | b.at(8) << 8 | b.at(9)));
    }
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(times[1], times[0]);
    EXPECT_TRUE(times[0] - before <= times[2] - before && times[2] - before <= times[3] - before &&
                times[3] - before <= after - before);
    std::vector<std::pair<ULONG, Bytes>> want;
    size_t k = 0;
    for (size_t i : {2, 1, 3, 4}) {
        want.push_back({TargetAdrs(0), peer::VoicePacket(times[k++], 1, 1, areas[i])});
    }
    EXPECT_EQ(got, want);

    // A code nobody admits: nothing goes out and the radio hears '1'. By the
    // group the peer admits: the third transmission, and both tables learn the code.
    std::string heads;
    for (const std::string group : {"  ", "09"}) {
        RadioVoice('G', Area('H', group, group == "09" ? "0300" : "0200", "0000000A"));
        RadioVoice('G', Area('I', group, group == "09" ? "0300" : "0200", "0000000A"));
        heads += Heads();
        heads += RadioNotices() + "|";
    }
    EXPECT_EQ(heads, "1|00 03 I,|");
    EXPECT_EQ(Found(0).substr(Found(0).size() - 47), Table({9, 10}));
    MY_REPEATER_INFO info;
    Server_GetMyRepeaterInfo(&info);
    EXPECT_EQ(Table(info.abySCTable), Table({5, 10}));
}

TEST_F(PeerLink, RadioFramesWithoutHeaderOrBeyondTheBufferAreDroppedAndMessageNumbersWrap)
{
    Boot(1);
    Connect(0, PeerAck({9}));
    testsupport::DebugCapture capture;
    RadioVoice('G', Area('0', "  ", "0001", "00000009"));
    // An identification with another counter starts a transmission of its own.
    RadioVoice('G', Area('H', "  ", "0100", "00000009"));
    RadioVoice('G', Area('I', "  ", "0200", "00000009"));
    RadioVoice('G', Area('T', "  ", "0201", "00000009"));
    EXPECT_EQ(Heads(), "00 02 I,00 02 T,");

    // The header and 63 voice frames fill the buffer; the 64th is dropped.
    RadioVoice('G', Area('H', "  ", "0300", "00000009"));
    for (int i = 0; i < 64; ++i) {
        char counter[5];
        std::snprintf(counter, sizeof(counter), "%04X", 0x301 + i);
        RadioVoice('G', Area('0', "  ", counter, "00000009"));
    }
    RadioVoice('G', Area('I', "  ", "0300", "00000009"));
    std::vector<SentPacket> got = Fanout();
    ASSERT_EQ(got.size(), 64u);
    EXPECT_EQ(got[0].bytes[16], 'I');
    EXPECT_EQ(std::string(got[63].bytes.begin() + 16, got[63].bytes.begin() + 23), "0  033F");
    RadioVoice('G', Area('T', "  ", "0341", "00000009"));
    EXPECT_EQ(Heads(), "00 03 T,");
    EXPECT_EQ(testsupport::CountOf(capture.text(), "[W] no header exist. ignore"), 1u);

    // Transmission 0x7FFF is the last: the next one is 1 (from 0x8000 on the numbers are playback's).
    for (int n = 4; n < 0x7FFF; ++n) {
        RadioVoice('G', Area('H', "  ", "0400", "00000009"));
    }
    for (const char* want : {"7F FF I,", "00 01 I,"}) {
        RadioVoice('G', Area('H', "  ", "0500", "00000009"));
        RadioVoice('G', Area('I', "  ", "0500", "00000009"));
        EXPECT_EQ(Heads(), want);
    }
}

TEST_F(PeerLink, OnePeerHoldsTheLineUntilItsEndFrameOrOneSecondOfSilence)
{
    Boot(2);
    Connect(0, PeerAck({5}));
    Connect(1, PeerAck({5}));
    const std::string a1 = Area('0', "  ", "0001", "00000005", "from-A-1");
    const std::string b1 = Area('0', "  ", "0001", "00000005", "from-B-1");
    const std::string aEnd = Area('T', "  ", "0002", "00000005", "from-A-end");
    using Areas = std::vector<std::string>;
    // Once A ends, B takes the line (on channel B) and falls silent.
    const std::vector<std::tuple<int, std::string, uint8_t, Areas>> turns = {
        {0, a1, 0, {"F" + a1}}, {1, b1, 0, {}}, {0, aEnd, 0, {"F" + aEnd}}, {1, b1, 1, {"f" + b1}}};
    DWORD e0 = 0;
    for (const auto& [from, area, ch, want] : turns) {
        FromPeer(TargetAdrs(from), PeerVoice(area, 0x0102, ch));
        e0 = GetTickCount();
        EXPECT_EQ(ReleaseAll(e0), want) << area;
    }
    const DWORD b = m_before;
    const DWORD a = m_after;
    // The queue is empty: B lets it go after 1000 ms, which the idle loop waits for.
    EXPECT_EQ(m_wait, 1000u);
    EXPECT_FALSE(Release(e0 + 400));
    EXPECT_EQ(m_wait, 600u);

    testsupport::DebugCapture capture;
    LanTick(b + 999);
    FromPeer(TargetAdrs(0), PeerVoice(a1));  // B still holds the line
    EXPECT_EQ(testsupport::CountOf(capture.text(), "cannot take queue"), 0u);
    testsupport::DebugCapture more;
    LanTick(a + 1000);
    // The line is free, but B owns the queue until it has been empty for 1000 ms.
    FromPeer(TargetAdrs(0), PeerVoice(a1));
    EXPECT_EQ(ReleaseAll(e0 + 999), Areas{});
    EXPECT_EQ(testsupport::CountOf(more.text(), "[W] cannot take queue 0A000001"), 1u);
    EXPECT_FALSE(Release(e0 + 1000));
    FromPeer(TargetAdrs(0), PeerVoice(a1));
    EXPECT_EQ(ReleaseAll(e0 + 1000), Areas{"F" + a1});
}

TEST_F(PeerLink, MalformedPeerPacketsAreDroppedWithAWarning)
{
    Boot(1);
    Connect(0, PeerAck({5}));
    const std::string area = Area('0', "  ", "0001", "00000005");
    Bytes tooLong = PeerVoice(area);
    tooLong.resize(tooLong.size() - 5);
    const Bytes status = peer::StatusNoticePacket(1, 5);
    testsupport::DebugCapture capture;
    for (const Bytes& packet : std::vector<Bytes>{
             PeerVoice(area.substr(0, 14)), tooLong, Bytes{0x00, 0x20, 0, 0, 0, 0, 0, 0, 0, 0},
             // Longer than a queue record, which no datagram on the port can carry.
             PeerVoice(Area('0', "  ", "0001", "00000005", std::string(1420, 'x'))),
             PeerVoice(Area('0', "  ", "00G1", "00000005")), PeerAck({9}, 0, 57),
             Bytes(status.begin(), status.end() - 1), Bytes{0x00}}) {
        FromPeer(TargetAdrs(0), packet);
    }
    EXPECT_EQ(WarningLines(capture.text()),
              std::vector<std::string>({"[W] invalid param length", "[W] voice packet length 33 exceeds 28",
                                        "[W] voice packet length 32 exceeds 0",
                                        "[W] voice packet length 1435 exceeds 1434", "[W] GetData() failed",
                                        "[W] invalid data length 57", "[W] invalid data length 23 (status)"}));
    EXPECT_TRUE(ReleaseAll(GetTickCount()).empty());
    EXPECT_EQ(RadioNotices(), "");
    EXPECT_EQ(Found(0).substr(Found(0).size() - 47), Table({5}));  // the short acknowledgement changed nothing

    const std::string largest = Area('0', "  ", "0002", "00000005", std::string(1419, 'y'));
    FromPeer(TargetAdrs(0), PeerVoice(largest));
    EXPECT_EQ(ReleaseAll(GetTickCount()), std::vector<std::string>{"F" + largest});
}

TEST_F(PeerLink, PacketsAreIgnoredUnlessTheUnitIsReadyAndAStrangersFloodIsOnlyCounted)
{
    ConfigureTargets(1);
    const Bytes anyCode = PeerVoice(Area('0', "  ", "0001", "0000007F"));
    FromPeer(TargetAdrs(0), CONNECT_REQ);
    FromPeer(TargetAdrs(0), anyCode);
    Boot(1);
    testsupport::DebugCapture capture;
    const DWORD start = GetTickCount();
    for (int i = 0; i < 250; ++i) {
        for (const Bytes& packet : {CONNECT_REQ, PeerAck({5}), anyCode, peer::StatusNoticePacket(0x1234, 6)}) {
            FromPeer(0x0A000063, packet);
        }
    }
    for (ULONG source = 0x0B000001; source <= 0x0B000009; ++source) {  // eight sources are told apart
        FromPeer(source, anyCode);
    }
    LanTick(start + 9999);
    FromPeer(TargetAdrs(0), CONNECT_REQ);  // the target is answered, and traced as ever
    EXPECT_EQ(TakeToPeers(8).size(), 1u);
    EXPECT_EQ(ReleaseAll(GetTickCount()).size() + RadioNotices().size(), 0u);
    std::string text = capture.text();
    EXPECT_EQ(testsupport::CountOf(text, "Rx: "), 1u);
    std::vector<std::string> lines = WarningLines(text);
    ASSERT_EQ(lines.size(), 9u);
    const std::string first = "[W] packets from 10.0.0.99 ignored: not a target";
    EXPECT_EQ(lines[0] + lines[7] + lines[8], first + "[W] packets from 11.0.0.7 ignored: not a target" +
                                                  "[W] packets from other addresses ignored: not a target");
    // Each source's count once a period is over; a source silent for a period is forgotten.
    testsupport::DebugCapture later;
    LanTick(start + 20000);
    LanTick(start + 30000);
    FromPeer(0x0A000063, anyCode);
    std::string counts;
    for (const std::string& line : WarningLines(later.text())) {
        counts += line.substr(0, line.find(" in ")) + ",";
    }
    EXPECT_EQ(counts, "[W] 999 packets from 10.0.0.99 ignored,[W] 1 packets from other addresses ignored," + first + ",");
    // Out of READY the unit answers nobody.
    RadioTick(GetTickCount() + 10000);
    ASSERT_EQ(Server_GetUnitState(), UNIT_STATE_ERROR);
    m_toPeers.clear();
    FromPeer(TargetAdrs(0), CONNECT_REQ);
    EXPECT_TRUE(m_toPeers.empty());
}

TEST_F(PeerLink, AcknowledgementWithTheOwnMacIsNoLinkAndHostileNamesAreKeptAsSafeText)
{
    Boot(1);
    peer::Identity hostile = Identity({9});
    std::tie(hostile.callSign, hostile.radioId) = std::make_pair("AB\nUsb\x1b[2J", "\"\\;\xc3,");
    testsupport::DebugCapture capture;
    for (const Bytes& ack : {UnitAck({5}), UnitAck({5}), PeerAck({9}), peer::ConnectAck(hostile), peer::ConnectAck(hostile)}) {
        FromPeer(TargetAdrs(0), ack);  // the own MAC (its own address and port as a target) connects nothing
        EXPECT_EQ(Status(0), ack[25] == 0x01 ? CONNECTING : CONNECTED);
    }
    CONFIG_PARAM cfg = {};
    cfg.aTargetInfo[0].dwTargetIP = TargetAdrs(0);
    CopyTargetInfo(&cfg);
    EXPECT_EQ(std::string(cfg.aTargetInfo[0].szCallSign) + "|" + cfg.aTargetInfo[0].szRadioID, "AB?Usb?[2J|????,");
    EXPECT_EQ(WarningLines(capture.text()),
              std::vector<std::string>({"[W] target 10.0.0.1 is this unit itself (own MAC address): not linked",
                                        "[W] call sign or radio ID of 10.0.0.1: unusable characters replaced by '?'"}));
}

TEST_F(PeerLink, StatusNoticesGoToTheOccupantAndComeBackToTheRadio)
{
    Boot(1);
    Connect(0, PeerAck({5}));
    // Nobody on the line: a call state goes nowhere; then the peer holds it.
    sim::radio::RadioStatus status;
    auto callState = [&](uint8_t stat) {
        status.stat = static_cast<char>('0' + stat);
        FeedRadio('C', sim::radio::StatusParam(status));
        return TakeToPeers(11);
    };
    EXPECT_TRUE(callState(5).empty());
    FromPeer(TargetAdrs(0), PeerVoice(Area('0', "  ", "0001", "00000005")));
    for (uint8_t stat : {6, 7}) {
        std::vector<SentPacket> notice = callState(stat);
        ASSERT_EQ(notice.size(), 1u) << stat;
        EXPECT_EQ(notice[0].to, TargetAdrs(0));
        EXPECT_EQ(notice[0].bytes, peer::StatusNoticePacket(stat - 5, stat));
    }
    // The peer's notice reaches the radio with its next status notice.
    FromPeer(TargetAdrs(0), peer::StatusNoticePacket(0x1234, 6));
    EXPECT_EQ(RadioNotices(), "6");
}

TEST_F(PeerLink, TargetsTakeOnlyUsableAddressesAndFollowSettingChanges)
{
    const std::vector<std::tuple<BOOL, ULONG, CLIENT_STATUS>> entries = {
        {TRUE, TargetAdrs(0), CONNECTING},   // usable
        {FALSE, TargetAdrs(1), NONE},        // disabled
        {TRUE, 0, NONE},                     // no address
        {TRUE, TargetAdrs(0), NONE},         // held by a lower entry
        {TRUE, TargetAdrs(9), NONE},         // the unit's own
        {TRUE, TargetAdrs(5), CONNECTING},
    };
    Boot(0);
    s_NetParam.dwIpAdrs = TargetAdrs(9);
    for (size_t i = 0; i < entries.size(); ++i) {
        std::tie(s_Config.aTargetInfo[i].bEnable, s_Config.aTargetInfo[i].dwTargetIP, std::ignore) = entries[i];
        EnterCriticalSection(&s_csTarget);
        LanRebuildTarget(static_cast<int>(i), m_readyAfter);
        LeaveCriticalSection(&s_csTarget);
        EXPECT_EQ(Status(static_cast<unsigned>(i)), std::get<2>(entries[i])) << i;
    }
    // A rebuilt target's first request waits one interval.
    LanTick(m_readyAfter + 999);
    EXPECT_EQ(Requested(), "");
    LanTick(m_readyAfter + 1000);
    EXPECT_EQ(Requested(), "0 5 ");

    // Disconnect: every active target waits one tick, then is NONE.
    Server_Disconnect();
    EXPECT_EQ(Status(0), WAIT_DISCONNECT);
    EXPECT_EQ(Status(1), NONE);
    LanTick(m_readyAfter + 2000);
    EXPECT_EQ(Status(0), NONE);
    EXPECT_EQ(Requested(), "");
    CLIENT_STATUS s;
    EXPECT_TRUE(Server_GetTargetStatus(99, &s));
    EXPECT_FALSE(Server_GetTargetStatus(100, &s));
}

}  // namespace
