// The peer link driven directly: peer datagrams go in as bytes written out by
// hand here, the radio's voice frames as frames, the link supervision runs at
// explicit ticks, and the packets to the peers and frames to the radio are
// taken from the send hooks. The fan-out of TxLanThread and the idle loop's
// release are called as the threads call them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "config.h"
#include "radio_frame.h"
#include "server.h"
#include "server_internal.h"
#include "test_support.h"
#include "unit_fixture.h"
#include "winemu.h"

namespace {

using testsupport::Be16;
using testsupport::Be32;
using testsupport::Bytes;
using testsupport::Cat;
using testsupport::Hex;
using testsupport::SentPacket;
using testsupport::Str;

// ---- Bytes written out by hand -----------------------------------------------------

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
    Bytes ack = Cat({Hex("00 2C 08 00 00 00 00 00 00 00 00 00 00 00 00 00"), Hex("01 04 04 00"),
                     Hex("02 11 22 33 44 55"), Field("PEER01", 10), Field("R0002", 5), table, {listServer},
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

// The unit's own acknowledgement: the radio "SIM0CALL"/"12345", MAC
// 02:00:00:00:00:01, DG-IDs 12 and 34.
Bytes UnitAck(const Bytes& table, uint8_t listServer = 0)
{
    return Cat({Hex("00 2C 08 00 00 00 00 00 00 00 00 00 00 00 00 00"), Hex("01 04 04 00"),
                Hex("02 00 00 00 00 01"), Field("SIM0CALL", 10), Str("12345"), table, {listServer},
                Hex("12 34")});
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
    return Cat({Be16(static_cast<unsigned>(area.size())), Hex("00 00 00 00"), Be32(time), Be16(msgId), {ch},
                Hex("00 00 00"), Str(area)});
}

const Bytes STATUS_6 = Hex("00 08 0B 00 00 00 00 00 00 00 00 00 00 00 00 00 12 34 06 00 00 00 00 00");

class PeerLink : public testsupport::CoreParts {
   protected:
    // n targets; the radio admits code 5 (DG-IDs 12, 34). The targets started
    // connecting before m_readyAfter.
    void Boot(int n, bool bListServer = false)
    {
        ConfigureTargets(n);
        s_Config.bListServer = bListServer ? TRUE : FALSE;
        const BYTE mac[6] = {0x02, 0, 0, 0, 0, 0x01};
        std::copy(mac, mac + 6, s_MacAdrs.abyAdrs);
        sim::radio::CodeTable table;
        table.Admit(5);
        table.locDgid = 0x12;
        table.defDgid = 0x34;
        Ready(table);
        m_readyAfter = GetTickCount();
    }
    // Target i answers as connected.
    void Connect(int i, const Bytes& ack)
    {
        FromPeer(TargetAdrs(i), ack);
        ASSERT_EQ(Status(static_cast<unsigned>(i)), CONNECTED);
        m_toPeers.clear();
    }
    SEARCH_RESULT Result(unsigned i)
    {
        std::vector<SEARCH_RESULT> all(SERVER_TARGET_COUNT);
        EXPECT_TRUE(Server_GetSearchResult(all.data()));
        return all.at(i);
    }
    // TxLanThread's work: every queued radio frame fanned out; the voice packets sent.
    std::vector<SentPacket> Fanout()
    {
        while (LanSendQueuedFrame()) {
        }
        return TakeToPeers(0);
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

    DWORD m_readyAfter = 0;
};

TEST_F(PeerLink, HandshakeInBothDirectionsCarriesBothIdentitiesByteForByte)
{
    Boot(1);
    LanTick(m_readyAfter);
    std::vector<SentPacket> req = TakeToPeers(7);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].to, TargetAdrs(0));
    EXPECT_EQ(req[0].bytes, CONNECT_REQ);

    FromPeer(TargetAdrs(0), PeerAck(Table({9}), 1));
    ASSERT_EQ(Status(0), CONNECTED);
    SEARCH_RESULT r = Result(0);
    EXPECT_EQ(r.ulAdrs, TargetAdrs(0));
    EXPECT_EQ(r.dwVers, 0x01040400u);
    EXPECT_EQ(Bytes(r.MacAdrs.abyAdrs, r.MacAdrs.abyAdrs + 6), Hex("02 11 22 33 44 55"));
    EXPECT_STREQ(r.szCallSign, "PEER01");
    EXPECT_STREQ(r.szRadioID, "R0002");
    EXPECT_EQ(Bytes(r.abySCTable, r.abySCTable + 16), Table({9}));
    EXPECT_TRUE(r.bListServer);
    EXPECT_EQ(r.byLocDGID, 0x21);
    EXPECT_EQ(r.byDefDGID, 0x43);

    // What the peer told is copied into the settings' entries with its address, once.
    CONFIG_PARAM cfg = {};
    cfg.aTargetInfo[7].dwTargetIP = TargetAdrs(0);
    EXPECT_TRUE(CopyTargetInfo(&cfg));
    EXPECT_STREQ(cfg.aTargetInfo[7].szCallSign, "PEER01");
    EXPECT_STREQ(cfg.aTargetInfo[7].szRadioID, "R0002");
    EXPECT_EQ(Bytes(cfg.aTargetInfo[7].abySCTable, cfg.aTargetInfo[7].abySCTable + 16), Table({9}));
    EXPECT_EQ(cfg.aTargetInfo[7].byDefDGID, 0x43);
    EXPECT_STREQ(cfg.aTargetInfo[0].szCallSign, "");
    EXPECT_FALSE(CopyTargetInfo(&cfg));

    // The peer asks in turn and is answered at once.
    FromPeer(TargetAdrs(0), CONNECT_REQ);
    EXPECT_EQ(TakeToPeers(8).at(0).bytes, UnitAck(Table({5})));
}

TEST_F(PeerLink, ShortAcknowledgementLeavesDgIdsUnsetAndListServerModeKeepsNoNames)
{
    Boot(1, true);
    Connect(0, PeerAck(Table({9}), 0, 58));
    SEARCH_RESULT r = Result(0);
    EXPECT_STREQ(r.szCallSign, "");
    EXPECT_STREQ(r.szRadioID, "");
    EXPECT_EQ(Bytes(r.abySCTable, r.abySCTable + 16), Table({9}));
    EXPECT_EQ(r.byLocDGID, 255);
    EXPECT_EQ(r.byDefDGID, 255);
    FromPeer(TargetAdrs(0), CONNECT_REQ);
    EXPECT_EQ(TakeToPeers(8).at(0).bytes, UnitAck(Table({5}), 1));
}

TEST_F(PeerLink, ThreeUnansweredRequestsOneSecondApartThenTimeOutAndPauseFortyFiveSeconds)
{
    Boot(1);
    const DWORD t0 = m_readyAfter;
    const std::vector<std::pair<DWORD, std::string>> schedule = {
        {0, "0 "},     {999, ""},    {1000, "0 "},  {2000, "0 "}, {4999, ""},
        {5000, ""},  // time-out: a pause of 45 s follows
        {49999, ""}, {50000, "0 "}, {50999, ""}, {51000, "0 "},
    };
    testsupport::DebugCapture capture;
    for (const auto& [offset, want] : schedule) {
        LanTick(t0 + offset);
        EXPECT_EQ(Requested(), want) << "at +" << offset;
        EXPECT_EQ(Status(0), CONNECTING);
    }
    EXPECT_EQ(testsupport::CountOf(capture.text(), "[W] connect timeout 10.0.0.1"), 1u);
}

TEST_F(PeerLink, KeepAliveEveryThirtySecondsAndTwoMinutesOfSilenceDropsTheTarget)
{
    Boot(1);
    Connect(0, PeerAck(Table({9})));
    LanTick(m_before + 29999);
    EXPECT_EQ(Requested(), "");
    LanTick(m_after + 30000);
    EXPECT_EQ(Requested(), "0 ");
    // Answered: the silence counts from here.
    WinEmu_AdvanceTicksForTest(30000);
    FromPeer(TargetAdrs(0), PeerAck(Table({9})));
    CONFIG_PARAM cfg = {};
    cfg.aTargetInfo[0].dwTargetIP = TargetAdrs(0);
    CopyTargetInfo(&cfg);
    const DWORD b = m_before;
    const DWORD a = m_after;
    for (DWORD offset : {30000u, 60000u, 90000u}) {
        LanTick(a + offset);
        EXPECT_EQ(Requested(), "0 ") << offset;
        EXPECT_EQ(Status(0), CONNECTED) << offset;
    }
    LanTick(b + 119999);
    EXPECT_EQ(Requested(), "");
    EXPECT_EQ(Status(0), CONNECTED);
    testsupport::DebugCapture capture;
    LanTick(a + 120000);
    EXPECT_EQ(testsupport::CountOf(capture.text(), "[W] target no response 10.0.0.1"), 1u);
    // A fresh attempt starts at the next tick, with the peer's table forgotten.
    EXPECT_EQ(Status(0), CONNECTING);
    Requested();
    LanTick(a + 120000);
    EXPECT_EQ(Requested(), "0 ");
    CopyTargetInfo(&cfg);
    EXPECT_EQ(Bytes(cfg.aTargetInfo[0].abySCTable, cfg.aTargetInfo[0].abySCTable + 16), Bytes(16, 0));
    EXPECT_EQ(cfg.aTargetInfo[0].byLocDGID, 255);
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
    Connect(0, PeerAck(Table({9})));
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
        std::vector<std::string> want;
        if (pass) {
            want.push_back("F" + area);
        }
        EXPECT_EQ(ReleaseAll(GetTickCount()), want) << area;
    }
    MY_REPEATER_INFO info;
    Server_GetMyRepeaterInfo(&info);
    EXPECT_EQ(info.abySCTable[0], 0x60);
    // The new table is announced to the peer at the next turn.
    LanTick(GetTickCount());
    EXPECT_EQ(TakeToPeers(8).at(0).bytes, UnitAck(Table({5, 6})));
}

TEST_F(PeerLink, RadioTransmissionIsSentToAdmittingTargetsByteForByte)
{
    Boot(2);
    Connect(0, PeerAck(Table({9})));
    Connect(1, PeerAck(Table({8})));
    DWORD before = GetTickCount();
    std::vector<std::string> areas = {Area('H', "  ", "0100", "00000009"), Area('0', "  ", "0101", "00000009"),
                                      Area('I', "  ", "0100", "00000009"), Area('1', "  ", "0102", "00000009"),
                                      Area('T', "  ", "0103", "00000009")};
    for (const std::string& a : areas) {
        RadioVoice('g', a);
    }
    DWORD after = GetTickCount();
    // The identification takes the header's place; the rest follow in order,
    // to the target that admits code 9 only.
    std::vector<std::string> sent = {areas[2], areas[1], areas[3], areas[4]};
    std::vector<SentPacket> got = Fanout();
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(got[i].to, TargetAdrs(0));
        ASSERT_GE(got[i].bytes.size(), 16u);
        const Bytes& p = got[i].bytes;
        uint32_t time = static_cast<uint32_t>(p[6] << 24 | p[7] << 16 | p[8] << 8 | p[9]);
        // The buffered voice frame is moved to the identification's time.
        EXPECT_LE(time - before, after - before) << i;
        Bytes want = Cat({Be16(static_cast<unsigned>(sent[i].size())), Hex("00 00 00 00"), Be32(time),
                          Hex("00 01 01 00 00 00"), Str(sent[i])});
        EXPECT_EQ(p, want) << i;
    }

    // A code nobody admits: nothing goes out and the radio hears '1'.
    RadioVoice('G', Area('H', "  ", "0200", "0000000A"));
    RadioVoice('G', Area('I', "  ", "0200", "0000000A"));
    EXPECT_TRUE(Fanout().empty());
    for (int i = 0; i < 3; ++i) {
        RadioTick(GetTickCount());
    }
    std::vector<testsupport::SentFrame> notice = TakeToRadio('P');
    ASSERT_EQ(notice.size(), 1u);
    EXPECT_EQ(notice[0].param[0], '1');

    // By the group the peer admits: sent, and both tables learn the code.
    RadioVoice('G', Area('H', "09", "0300", "0000000A"));
    RadioVoice('G', Area('I', "09", "0300", "0000000A"));
    got = Fanout();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes[10], 0x00);
    EXPECT_EQ(got[0].bytes[11], 0x03);  // the third transmission
    EXPECT_EQ(Result(0).abySCTable[1], 0x06);
    MY_REPEATER_INFO info;
    Server_GetMyRepeaterInfo(&info);
    EXPECT_EQ(info.abySCTable[1], 0x04);
}

TEST_F(PeerLink, RadioFramesWithoutHeaderOrBeyondTheBufferAreDroppedAndMessageNumbersWrap)
{
    Boot(1);
    Connect(0, PeerAck(Table({9})));
    testsupport::DebugCapture capture;
    RadioVoice('G', Area('0', "  ", "0001", "00000009"));

    // An identification with another counter starts a transmission of its own.
    RadioVoice('G', Area('H', "  ", "0100", "00000009"));
    RadioVoice('G', Area('I', "  ", "0200", "00000009"));
    RadioVoice('G', Area('T', "  ", "0201", "00000009"));
    std::vector<SentPacket> got = Fanout();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].bytes[16], 'I');
    EXPECT_EQ(Bytes(got[0].bytes.begin() + 10, got[0].bytes.begin() + 12), Hex("00 02"));
    EXPECT_EQ(Bytes(got[1].bytes.begin() + 10, got[1].bytes.begin() + 12), Hex("00 02"));

    // The header and 63 voice frames fill the buffer; the 64th is dropped.
    RadioVoice('G', Area('H', "  ", "0300", "00000009"));
    for (int i = 0; i < 64; ++i) {
        char counter[5];
        std::snprintf(counter, sizeof(counter), "%04X", 0x301 + i);
        RadioVoice('G', Area('0', "  ", counter, "00000009"));
    }
    RadioVoice('G', Area('I', "  ", "0300", "00000009"));
    got = Fanout();
    ASSERT_EQ(got.size(), 64u);
    EXPECT_EQ(got[0].bytes[16], 'I');
    EXPECT_EQ(std::string(got[63].bytes.begin() + 16, got[63].bytes.begin() + 23), "0  033F");
    RadioVoice('G', Area('T', "  ", "0341", "00000009"));
    got = Fanout();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes[16], 'T');
    std::string text = capture.text();
    EXPECT_EQ(testsupport::CountOf(text, "[W] no header exist. ignore"), 1u);
    EXPECT_EQ(testsupport::CountOf(text, "[W] rx data buffer overlow"), 1u);

    // Transmission 0x7FFF is the last: the next one is 1 (from 0x8000 on the numbers are playback's).
    for (int n = 4; n < 0x7FFF; ++n) {
        RadioVoice('G', Area('H', "  ", "0400", "00000009"));
    }
    for (const char* wantId : {"7F FF", "00 01"}) {
        RadioVoice('G', Area('H', "  ", "0500", "00000009"));
        RadioVoice('G', Area('I', "  ", "0500", "00000009"));
        got = Fanout();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(Bytes(got[0].bytes.begin() + 10, got[0].bytes.begin() + 12), Hex(wantId));
    }
}

TEST_F(PeerLink, OnePeerHoldsTheLineUntilItsEndFrameOrOneSecondOfSilence)
{
    Boot(2);
    Connect(0, PeerAck(Table({5})));
    Connect(1, PeerAck(Table({5})));
    const std::string a1 = Area('0', "  ", "0001", "00000005", "from-A-1");
    const std::string b1 = Area('0', "  ", "0001", "00000005", "from-B-1");
    const std::string aEnd = Area('T', "  ", "0002", "00000005", "from-A-end");
    using Areas = std::vector<std::string>;
    FromPeer(TargetAdrs(0), PeerVoice(a1));
    EXPECT_EQ(ReleaseAll(GetTickCount()), Areas{"F" + a1});
    FromPeer(TargetAdrs(1), PeerVoice(b1));
    EXPECT_EQ(ReleaseAll(GetTickCount()), Areas{});
    FromPeer(TargetAdrs(0), PeerVoice(aEnd));
    EXPECT_EQ(ReleaseAll(GetTickCount()), Areas{"F" + aEnd});

    // Free again: B takes the line (channel B), then falls silent.
    FromPeer(TargetAdrs(1), PeerVoice(b1, 0x0203, 0x55, 1));
    const DWORD b = m_before;
    const DWORD a = m_after;
    const DWORD e0 = GetTickCount();
    EXPECT_EQ(ReleaseAll(e0), Areas{"f" + b1});
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
    std::string text = more.text();
    EXPECT_EQ(testsupport::CountOf(text, "RELASE timeout"), 1u);
    EXPECT_EQ(testsupport::CountOf(text, "[W] cannot take queue 0A000001"), 1u);
    EXPECT_FALSE(Release(e0 + 1000));
    FromPeer(TargetAdrs(0), PeerVoice(a1));
    EXPECT_EQ(ReleaseAll(e0 + 1000), Areas{"F" + a1});
}

TEST_F(PeerLink, MalformedPeerPacketsAreDroppedWithAWarning)
{
    Boot(1);
    Connect(0, PeerAck(Table({5})));
    const std::string area = Area('0', "  ", "0001", "00000005");
    Bytes tooLong = PeerVoice(area);
    tooLong.resize(tooLong.size() - 5);
    // Longer than a queue record, which no datagram on the port can carry.
    Bytes huge = PeerVoice(Area('0', "  ", "0001", "00000005", std::string(1420, 'x')));
    struct Bad {
        Bytes packet;
        std::string warning;
    };
    const std::vector<Bad> bad = {
        {PeerVoice(area.substr(0, 14)), "[W] invalid param length"},
        {tooLong, "[W] voice packet length 33 exceeds 28"},
        {Hex("00 20 00 00 00 00 00 00 00 00"), "[W] voice packet length 32 exceeds 0"},
        {huge, "[W] voice packet length 1435 exceeds 1434"},
        {PeerVoice(Area('0', "  ", "00G1", "00000005")), "[W] GetData() failed"},
        {PeerAck(Table({9}), 0, 57), "[W] invalid data length 57"},
        {Hex("00 08 0B 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 05 00 00 00 00"),
         "[W] invalid data length 23 (status)"},
        {Hex("00"), ""},
    };
    for (const Bad& b : bad) {
        testsupport::DebugCapture capture;
        FromPeer(TargetAdrs(0), b.packet);
        std::string text = capture.text();
        if (!b.warning.empty()) {
            EXPECT_EQ(testsupport::CountOf(text, b.warning), 1u) << b.warning << "\n" << text;
        }
        EXPECT_TRUE(ReleaseAll(GetTickCount()).empty()) << b.warning;
    }
    EXPECT_EQ(Result(0).abySCTable[0], Table({5})[0]);  // the short acknowledgement changed nothing

    // The largest one goes through whole.
    const std::string largest = Area('0', "  ", "0002", "00000005", std::string(1419, 'y'));
    FromPeer(TargetAdrs(0), PeerVoice(largest));
    EXPECT_EQ(ReleaseAll(GetTickCount()), std::vector<std::string>{"F" + largest});
}

TEST_F(PeerLink, PacketsAreIgnoredUnlessTheUnitIsReadyOrFromAStranger)
{
    ConfigureTargets(1);
    const Bytes anyCode = PeerVoice(Area('0', "  ", "0001", "0000007F"));
    FromPeer(TargetAdrs(0), CONNECT_REQ);
    FromPeer(TargetAdrs(0), anyCode);
    Boot(1);
    EXPECT_TRUE(m_toPeers.empty());
    EXPECT_TRUE(ReleaseAll(GetTickCount()).empty());

    const ULONG stranger = 0x0A000063;
    testsupport::DebugCapture capture;
    FromPeer(stranger, CONNECT_REQ);
    FromPeer(stranger, PeerAck(Table({5})));
    FromPeer(stranger, anyCode);
    FromPeer(stranger, STATUS_6);
    EXPECT_EQ(testsupport::CountOf(capture.text(), "[W] target not found 10.0.0.99"), 2u);
    EXPECT_TRUE(m_toPeers.empty());
    EXPECT_TRUE(ReleaseAll(GetTickCount()).empty());
    for (int i = 0; i < 3; ++i) {
        RadioTick(GetTickCount());
    }
    EXPECT_TRUE(TakeToRadio('P').empty());

    FromPeer(TargetAdrs(0), CONNECT_REQ);
    EXPECT_EQ(TakeToPeers(8).size(), 1u);
    // The radio falls silent: the unit leaves READY and stops answering.
    RadioTick(GetTickCount() + 10000);
    ASSERT_EQ(Server_GetUnitState(), UNIT_STATE_ERROR);
    FromPeer(TargetAdrs(0), CONNECT_REQ);
    EXPECT_TRUE(m_toPeers.empty());
}

TEST_F(PeerLink, StatusNoticesGoToTheOccupantAndComeBackToTheRadio)
{
    Boot(1);
    Connect(0, PeerAck(Table({5})));
    // Nobody on the line: a call state goes nowhere.
    sim::radio::RadioStatus status;
    status.stat = '5';
    FeedRadio('C', sim::radio::StatusParam(status));
    EXPECT_TRUE(m_toPeers.empty());

    FromPeer(TargetAdrs(0), PeerVoice(Area('0', "  ", "0001", "00000005")));
    for (char stat : {'6', '7'}) {
        status.stat = stat;
        FeedRadio('C', sim::radio::StatusParam(status));
        std::vector<SentPacket> notice = TakeToPeers(11);
        ASSERT_EQ(notice.size(), 1u) << stat;
        EXPECT_EQ(notice[0].to, TargetAdrs(0));
        unsigned id = stat == '6' ? 1 : 2;
        EXPECT_EQ(notice[0].bytes, Cat({Hex("00 08 0B 00 00 00 00 00 00 00 00 00 00 00 00 00"), Be16(id),
                                        {static_cast<uint8_t>(stat - '0')}, Hex("00 00 00 00 00")}));
    }

    // The peer's notice reaches the radio with its next status notice.
    FromPeer(TargetAdrs(0), STATUS_6);
    for (int i = 0; i < 3; ++i) {
        RadioTick(GetTickCount());
    }
    std::vector<testsupport::SentFrame> notice = TakeToRadio('P');
    ASSERT_EQ(notice.size(), 1u);
    EXPECT_EQ(notice[0].param[0], '6');
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

    // A search probes the active targets at once; no result while it runs.
    std::vector<SEARCH_RESULT> all(SERVER_TARGET_COUNT);
    EXPECT_TRUE(Server_SearchReq());
    EXPECT_FALSE(Server_SearchReq());
    EXPECT_FALSE(Server_GetSearchResult(all.data()));
    LanTick(GetTickCount());
    EXPECT_EQ(Requested(), "0 5 ");
    FromPeer(TargetAdrs(0), PeerAck(Table({9})));
    FromPeer(TargetAdrs(5), PeerAck(Table({9})));
    ASSERT_TRUE(Server_GetSearchResult(all.data()));
    EXPECT_EQ(all[0].ulAdrs, TargetAdrs(0));
    EXPECT_EQ(all[5].ulAdrs, TargetAdrs(5));

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
