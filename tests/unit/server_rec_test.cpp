// Recording and playback driven directly: recording frames fed to the
// receiver, the writer's and the playback feeder's steps run as their threads
// run them, the release to the radio at explicit ticks. Files are compared
// with bytes written out here from the format.
#include <algorithm>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "peer_sim.h"
#include "power_cut.h"
#include "radio_sim.h"
#include "test_support.h"
#include "unit_fixture.h"

namespace {

using testsupport::Bytes;
namespace radio = sim::radio;

Bytes Str(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}
Bytes Be16(unsigned v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
Bytes Be32(uint32_t v) { return Cat({Be16(v >> 16), Be16(v & 0xFFFF)}); }
uint8_t Sum(const Bytes& b) { return static_cast<uint8_t>(std::accumulate(b.begin(), b.end(), 0u)); }

struct Record {
    uint32_t time;
    std::string area;  // the 'R' frame's parameter area
};

Bytes FileHeader(unsigned count)
{
    Bytes h = Cat({Str("KOVA"), Be16(count), {0}});
    h.push_back(Sum(h));
    return h;
}

Bytes RecFile(unsigned count, const std::vector<Record>& records)
{
    Bytes out = FileHeader(count);
    for (const Record& r : records) {
        out = Cat({out, Be16(static_cast<unsigned>(r.area.size())), Be32(r.time), {0, Sum(Str(r.area))}, Str(r.area)});
    }
    return out;
}

// The index naming a slot: "%03d" NUL-padded to 16, 15 zeros, the sum.
Bytes RecInfo(const std::string& name)
{
    Bytes b(32, 0);
    std::copy(name.begin(), name.end(), b.begin());
    b[31] = Sum(Bytes(b.begin(), b.begin() + 31));
    return b;
}

std::string Area(char type, int slot, uint16_t counter, const std::string& payload)
{
    return radio::RecordParam(type, slot, counter, 5, payload);
}

// A playable recording of n records ('I', voice, 'T') spaced gapMs apart.
std::vector<Record> Recording(int slot, int n, uint32_t gapMs, uint32_t t0 = 1000)
{
    std::vector<Record> r;
    for (int i = 0; i < n; ++i) {
        char type = i == 0 ? 'I' : (i == n - 1 ? 'T' : static_cast<char>('0' + i % 4));
        r.push_back({t0 + static_cast<uint32_t>(i) * gapMs,
                     Area(type, slot, static_cast<uint16_t>(i), radio::Payload(30, static_cast<unsigned>(i)))});
    }
    return r;
}

const std::string REC_DIR = "/var/local/";
std::string RecName(int slot)
{
    char name[32];
    std::snprintf(name, sizeof(name), "DATA\\REC%03d.dat", slot);
    return REC_DIR + name;
}
const std::string REC_INFO = REC_DIR + "DATA\\REC_INFO.dat";

class Recorder : public testsupport::CoreParts {
   protected:
    void SetUp() override
    {
        CoreParts::SetUp();
        ConfigureTargets(1);
        radio::CodeTable table;
        table.Admit(5);
        Ready(table);
    }
    // RecThread's work.
    void Write()
    {
        while (RecWriteNext()) {
        }
    }
    void RecordFrame(const std::string& area)
    {
        FeedRadio('R', area);
        Write();
    }
    // The answers with this letter since the last call.
    std::string Answers(char command)
    {
        std::string all;
        for (const testsupport::SentFrame& f : TakeToRadio(command)) {
            all += (all.empty() ? "" : " ") + f.param;
        }
        return all;
    }
    // PlayThread's work for an accepted request.
    bool Play() { return PlayOpenRequested() && PlayDataLoop(); }
    Bytes FileBytes(const std::string& boardPath) { return testsupport::ReadFileBytes(m_board.Path(boardPath)); }
    void PutFile(const std::string& path, const Bytes& b) { testsupport::WriteFileBytes(m_board.Path(path), b); }
};

TEST_F(Recorder, ThreeFrameRecordingIsStoredByteForByteAtTheUnitsOwnTicksAndItsIndexClearedAtTheEnd)
{
    const std::vector<std::string> areas = {Area('I', 5, 0x0200, "identification-payload"),
                                            Area('0', 5, 0x0201, "voice-payload-one"),
                                            Area('T', 5, 0x0202, "end-payload")};
    std::vector<Record> stored;
    size_t size = 8;
    for (const std::string& area : areas) {
        WinEmu_AdvanceTicksForTest(100000);
        const DWORD before = GetTickCount();
        RecordFrame(area);
        const DWORD after = GetTickCount();
        // Each record is on disk once written; while open, the index names the slot.
        const Bytes file = FileBytes(RecName(5));
        ASSERT_EQ(file.size(), size += 8 + area.size());
        EXPECT_EQ(FileBytes(REC_INFO), area[0] == 'T' ? Bytes(32, 0) : RecInfo("005"));
        const size_t at = size - area.size() - 6;
        const uint32_t t = uint32_t(file[at] << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3]);
        EXPECT_LE(t - before, after - before);
        stored.push_back({t, area});
    }
    EXPECT_EQ(Answers('R'), "R050");
    EXPECT_EQ(radio::Hex(FileBytes(RecName(5))), radio::Hex(RecFile(3, stored)));
    EXPECT_EQ(Server_ReadRecFileForTest(5), 3);
}

TEST_F(Recorder, SlotSeventyFHexIsRecordedAndSlotHundredRefusedForRecordingButPlayedWithItsSpacing)
{
    for (const std::string& p : sim::RadioSim::RecordingParams({127, 5, 0x0300, 2, 20, 0})) {
        RecordFrame(p);
    }
    EXPECT_EQ(Answers('R'), "R7F0");
    EXPECT_EQ(Server_ReadRecFileForTest(127), 4);

    {
        testsupport::DebugCapture capture;
        RecordFrame(Area('I', 100, 1, "p"));
        RecordFrame(Area('T', 100, 2, "p"));
        EXPECT_EQ(testsupport::CountOf(capture.text(), "[W] invalid rec ch 100"), 1u);
    }
    EXPECT_FALSE(m_board.Exists(RecName(100)));
    EXPECT_EQ(Answers('R'), "");

    // Slot 100 plays a file that is there; each record is released at its
    // recorded offset from the first.
    std::vector<Record> r = Recording(100, 4, 0);
    r[1].time += 40;
    r[2].time += 160;
    r[3].time += 165;
    PutFile(RecName(100), RecFile(4, r));
    FeedRadio('L', radio::PlayParam(100));
    EXPECT_EQ(Answers('L'), "640");
    ASSERT_TRUE(Play());
    const DWORD t0 = GetTickCount();
    EXPECT_EQ(ReleaseAll(t0), std::vector<std::string>{"F" + r[0].area});
    for (size_t i = 1; i < 4; ++i) {
        DWORD offset = r[i].time - r[0].time;
        EXPECT_TRUE(ReleaseAll(t0 + offset - 1).empty()) << i;
        EXPECT_EQ(m_wait, 1u) << i;
        EXPECT_EQ(ReleaseAll(t0 + offset), std::vector<std::string>{"F" + r[i].area}) << i;
    }
    FeedRadio('l', radio::PlayParam(101));
    EXPECT_EQ(Answers('l'), "651");
}

TEST_F(Recorder, OverlongRecordingKeepsTheFirst598VoiceFramesAndTheEndCountedSixHundred)
{
    const std::vector<std::string> params = sim::RadioSim::RecordingParams({9, 5, 0, 620, 20, 0});
    ASSERT_EQ(params.size(), 622u);
    const size_t recordSize = 8 + params[0].size();
    testsupport::DebugCapture capture;
    for (const std::string& p : params) {
        RecordFrame(p);
    }
    EXPECT_EQ(testsupport::CountOf(capture.text(), "[W] over max rec count"), 22u);
    EXPECT_EQ(Answers('R'), "R090");
    Bytes file = FileBytes(RecName(9));
    ASSERT_EQ(file.size(), 8 + 600 * recordSize);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), FileHeader(600));
    for (size_t i : {size_t{0}, size_t{1}, size_t{598}, size_t{599}}) {
        const auto at = file.begin() + static_cast<long>(8 + i * recordSize + 8);
        EXPECT_EQ(std::string(at, at + static_cast<long>(params[0].size())), i < 599 ? params[i] : params.back());
    }
    EXPECT_EQ(Server_ReadRecFileForTest(9), 600);
}

TEST_F(Recorder, TimedOutRecordingKeepsItsRecordsButCountsNoneSoPlayingItIsRefused)
{
    const std::vector<std::string> params = sim::RadioSim::RecordingParams({6, 5, 0x0400, 2, 20, 0});
    DWORD before = 0;
    for (size_t i = 0; i < 3; ++i) {
        before = GetTickCount();
        RecordFrame(params[i]);
    }
    const DWORD after = GetTickCount();
    const size_t size = 8 + 3 * (8 + params[0].size());
    RadioTick(before + 1999);
    EXPECT_EQ(Answers('R'), "");
    testsupport::DebugCapture capture;
    RadioTick(after + 2000);
    EXPECT_EQ(Answers('R'), "R061");  // the recording timed out
    Bytes file = FileBytes(RecName(6));
    EXPECT_EQ(file.size(), size);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), FileHeader(0));
    EXPECT_EQ(FileBytes(REC_INFO), Bytes(32, 0));
    // The end frame that comes too late is no longer taken.
    RecordFrame(params.back());
    EXPECT_EQ(Answers('R'), "");

    FeedRadio('L', radio::PlayParam(6));
    EXPECT_EQ(Answers('L'), "061");
    std::string text = capture.text();
    EXPECT_EQ(testsupport::CountOf(text, "[W] rec file has no data"), 1u);
    EXPECT_EQ(testsupport::CountOf(text, "[W] rec 6 file is not exist"), 1u);
}

TEST_F(Recorder, EndFrameThatFindsTheRecordingQueueFullIsAnsweredOneAndClosesTheRecording)
{
    const std::vector<std::string> params = sim::RadioSim::RecordingParams({13, 5, 0, 70, 20, 0});
    RecordFrame(params[0]);
    // The writer falls behind: 64 voice frames fill its queue, the rest and the end frame find it full.
    testsupport::DebugCapture capture;
    for (size_t i = 1; i < params.size(); ++i) {
        FeedRadio('R', params[i]);
    }
    EXPECT_EQ(testsupport::CountOf(capture.text(), "[W] PostDataToTxQueue (REC) failed"), 7u);
    EXPECT_EQ(Answers('R'), "R0D1");
    EXPECT_EQ(FileBytes(REC_INFO), Bytes(32, 0));
    // What was queued is dropped with the recording: the file keeps its first record only.
    Write();
    EXPECT_EQ(FileBytes(RecName(13)).size(), 8 + 8 + params[0].size());
    EXPECT_EQ(Answers('R'), "");
}

TEST_F(Recorder, PlayRequestIsRefusedWhileAFarUnitOwnsTheQueueOrAPlaybackRuns)
{
    PutFile(RecName(10), RecFile(400, Recording(10, 400, 1)));
    // A far unit's voice frame takes the LAN-to-radio queue.
    FromPeer(TargetAdrs(0), sim::peer::VoicePacket(77, 0x0102, 0, {'0', "  ", 1, 127}, "far-voice"));
    testsupport::DebugCapture capture;
    FeedRadio('L', radio::PlayParam(10));
    EXPECT_EQ(Answers('L'), "0A1");

    // Its frame goes out; 1000 ms of empty queue let it go.
    const DWORD t = GetTickCount();
    ASSERT_EQ(ReleaseAll(t).size(), 1u);
    Release(t + 1000);
    FeedRadio('L', radio::PlayParam(10));
    EXPECT_EQ(Answers('L'), "0A0");
    ASSERT_TRUE(PlayOpenRequested());
    FeedRadio('l', radio::PlayParam(10));
    EXPECT_EQ(Answers('l'), "0A1");
    std::string text = capture.text();
    EXPECT_EQ(testsupport::CountOf(text, "[W] now tx queue is busy"), 1u);
    EXPECT_EQ(testsupport::CountOf(text, "[W] now playing"), 1u);
    ASSERT_TRUE(PlayDataLoop());
    std::vector<std::string> played = ReleaseAll(t + 1000);
    for (const std::string& f : ReleaseAll(t + 2000)) {
        played.push_back(f);
    }
    ASSERT_EQ(played.size(), 400u);
    EXPECT_EQ(played.back(), "F" + Recording(10, 400, 1).back().area);
}

TEST_F(Recorder, RadioTransmitEndOnEitherChannelStopsThePlaybackAndFreesTheQueue)
{
    PutFile(RecName(11), RecFile(300, Recording(11, 300, 20)));
    DWORD t = GetTickCount();
    for (bool channelB : {false, true}) {
        SCOPED_TRACE(channelB ? "channel B" : "channel A");
        FeedRadio(channelB ? 'l' : 'L', radio::PlayParam(11));
        EXPECT_EQ(Answers(channelB ? 'l' : 'L'), "0B0");
        ASSERT_TRUE(Play());
        t += 100000;
        EXPECT_EQ(ReleaseAll(t).size() + ReleaseAll(t + 20).size(), 2u);  // the first two, 20 ms apart
        radio::RadioStatus status;
        (channelB ? status.rtrxB : status.rtrxA) = '4';
        FeedRadio('C', radio::StatusParam(status));
        (channelB ? status.rtrxB : status.rtrxA) = '0';
        FeedRadio('C', radio::StatusParam(status));
        // The queue is emptied and let go at once: nothing more plays, the next request is taken.
        EXPECT_TRUE(ReleaseAll(t + 50000).empty());
    }
    FeedRadio('L', radio::PlayParam(11));
    EXPECT_EQ(Answers('L'), "0B0");
}

TEST_F(Recorder, ChannelBReceptionEndAnswersOneForTheRecordedSlotAndPowerDownEndsSilently)
{
    radio::RadioStatus status;
    auto receptionEndsOnB = [&] {
        status.ltrxB = '3';
        FeedRadio('C', radio::StatusParam(status));
        status.ltrxB = '1';  // below 2: no more signal
        FeedRadio('C', radio::StatusParam(status));
    };
    RecordFrame(Area('I', 7, 1, "one"));
    receptionEndsOnB();
    EXPECT_EQ(Answers('R'), "R071");
    EXPECT_EQ(FileBytes(REC_INFO), Bytes(32, 0));
    receptionEndsOnB();  // no recording: no answer
    EXPECT_EQ(Answers('R'), "");

    // A playback accepted while a recording runs leaves the recording's slot alone.
    PutFile(RecName(11), RecFile(3, Recording(11, 3, 20)));
    RecordFrame(Area('I', 7, 2, "again"));
    FeedRadio('L', radio::PlayParam(11));
    EXPECT_EQ(Answers('L'), "0B0");
    receptionEndsOnB();
    EXPECT_EQ(Answers('R'), "R071");
    ASSERT_TRUE(Play());
    const DWORD t = GetTickCount();
    EXPECT_EQ(ReleaseAll(t).size() + ReleaseAll(t + 1000).size(), 3u);

    RecordFrame(Area('I', 8, 1, "two"));
    status.stat = '4';
    testsupport::DebugCapture capture;
    FeedRadio('C', radio::StatusParam(status));
    EXPECT_EQ(Answers('R'), "");
    EXPECT_EQ(FileBytes(REC_INFO), Bytes(32, 0));
    RecordFrame(Area('I', 12, 1, "three"));
    RecordFrame(Area('T', 12, 2, "three"));
    EXPECT_EQ(Answers('R'), "R0C1");
    EXPECT_EQ(testsupport::CountOf(capture.text(), "[W] power down mode. rec ignore"), 1u);
    EXPECT_FALSE(m_board.Exists(RecName(12)));
}

// ---- The start-up check --------------------------------------------------------------

// The name slot 5's file is set aside under, with suffix k.
std::string Aside(int k)
{
    const std::string n = std::to_string(k);
    return REC_DIR + "DATA\\REC005." + std::string(n.size() < 3 ? 3 - n.size() : 0, '0') + n;
}

// A cut anywhere in a recording, its close included, leaves at the next start
// the slot's file whole, or set aside, never a file that does not read back.
TEST_F(Recorder, PowerCutInARecordingLeavesItsFileWholeOrSetAside)
{
    const std::string folder = m_board.Path("/var/local");
    powercut::Recorder rec(folder);
    for (const Record& r : Recording(5, 24, 20)) {  // a file of three sectors
        RecordFrame(r.area);
    }
    rec.Stop();
    EXPECT_EQ(Answers('R'), "R050");
    const Bytes whole = FileBytes(RecName(5));
    powercut::Run("a recording and its close", rec, [&](const powercut::Cut&) {
        Server_CheckRecFileForTest();
        const powercut::Files files = powercut::Snapshot(folder);
        const std::string name = "DATA\\REC005.dat";
        if (files.count("DATA\\REC005.000") != 0) {
            return files.count(name) == 0 ? "set aside" : "BAD set aside and kept";
        }
        if (files.count(name) == 0) {
            return "no file yet";
        }
        const Bytes& b = files.at(name);
        if (b == whole) {
            return "kept whole";
        }
        if (b.empty()) {  // created, not yet named by the index: no recording began
            return "empty file, recording not begun";
        }
        return b.size() >= 8 && Bytes(b.begin(), b.begin() + 8) == FileHeader(0) ? "kept, counting no records"
                                                                                  : "BAD kept unreadable";
    });
}

TEST_F(Recorder, StartUpCheckSetsAsideOnlyTheIndexedSlotsUnreadableFileUnderTheFirstFreeSuffix)
{
    const Bytes whole = RecFile(3, Recording(5, 3, 20));
    const Bytes shortOne(whole.begin(), whole.end() - 1);
    Bytes badSum = whole;
    badSum[8 + 8 + 20] ^= 0x01;
    Bytes badHead = whole;
    badHead[5] = 4;  // count 4, header checksum unchanged
    const Bytes named = RecInfo("005");
    Bytes badIndexSum = named;
    badIndexSum[31] ^= 0xFF;
    struct Case {
        Bytes index, data;
        std::string warning;
        int aside;  // the suffix it is set aside under; -1: left in place
    };
    const std::vector<Case> cases = {
        {named, shortOne, "[W] invalid rec data /var/local/DATA\\REC005.dat", 0},
        {named, badSum, "[W] file data checksum error", 1},
        {named, badHead, "[W] invalid rec file header /var/local/DATA\\REC005.dat", 2},
        {named, whole, "", -1},
        {Bytes(32, 0), shortOne, "", -1},
        {Bytes(named.begin(), named.begin() + 31), shortOne, "[W] rec info read error", -1},
        {badIndexSum, shortOne, "[W] rec info checksum error", -1},
        {RecInfo("0a5"), shortOne, "[W] invalid rec info. ch=0a5", -1},
        {RecInfo("006"), shortOne, "", -1},  // another slot: slot 5's file is not looked at
    };
    for (const Case& c : cases) {
        PutFile(REC_INFO, c.index);
        PutFile(RecName(5), c.data);
        testsupport::DebugCapture capture;
        Server_CheckRecFileForTest();
        EXPECT_NE(capture.text().find(c.warning), std::string::npos) << capture.text();
        EXPECT_EQ(FileBytes(REC_INFO), c.index);
        EXPECT_EQ(FileBytes(c.aside < 0 ? RecName(5) : Aside(c.aside)), c.data) << c.warning;
        EXPECT_EQ(m_board.Exists(RecName(5)), c.aside < 0);
    }
    // From 1000 on the suffix has as many digits as it needs.
    for (int k = 3; k < 1000; ++k) {
        PutFile(Aside(k), {});
    }
    PutFile(REC_INFO, named);
    PutFile(RecName(5), shortOne);
    Server_CheckRecFileForTest();
    EXPECT_EQ(FileBytes(Aside(1000)), shortOne);
}

}  // namespace
