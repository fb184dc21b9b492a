// Recording and playback in process: a unit on a simulated board with its
// radio on a pty. Recording frames are built by the harness's own codec and
// fed straight to the receiver; the files the unit writes are compared with
// bytes written out here from the format, and files for playback are built
// here the same way. The test drives the 100 ms tick and the idle loop (the
// release of playback records to the radio) itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "config.h"
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
namespace radio = sim::radio;

// ---- The formats, written out from their description ------------------------------

Bytes Be16(unsigned v)
{
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Be32(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

uint8_t Sum(const Bytes& b)
{
    unsigned s = 0;
    for (uint8_t v : b) {
        s += v;
    }
    return static_cast<uint8_t>(s);
}

void Append(Bytes* out, const Bytes& more)
{
    out->insert(out->end(), more.begin(), more.end());
}

struct Record {
    uint32_t time;
    std::string area;  // the 'R' frame's parameter area
};

Bytes FileHeader(unsigned count)
{
    Bytes h = {'K', 'O', 'V', 'A'};
    Append(&h, Be16(count));
    h.push_back(0);
    h.push_back(Sum(h));
    return h;
}

Bytes RecordBytes(const Record& r)
{
    Bytes data(r.area.begin(), r.area.end());
    Bytes out = Be16(static_cast<unsigned>(data.size()));
    Append(&out, Be32(r.time));
    out.push_back(0);
    out.push_back(Sum(data));
    Append(&out, data);
    return out;
}

Bytes RecFile(unsigned count, const std::vector<Record>& records)
{
    Bytes out = FileHeader(count);
    for (const Record& r : records) {
        Append(&out, RecordBytes(r));
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

std::string Text(const Bytes& b)
{
    return std::string(b.begin(), b.end());
}

// ---- The unit ----------------------------------------------------------------------

constexpr uint32_t TARGET = 0x7F000002;  // 127.0.0.2

class Recorder : public testsupport::InProcessUnit {
   protected:
    void Boot()
    {
        StartUnit("CommPort=2\nUsbPort=0\nRxUdpPort=0\nTxUdpPort=0\nProgram=KOVA-LAN\nTarget0=1,127.0.0.2," +
                  std::string(32, '0') + "\n");
        radio::CodeTable table;
        table.Admit(5);
        ASSERT_TRUE(m_radio->Identify({}, table));
        ASSERT_EQ(Server_GetUnitState(), UNIT_STATE_READY);
    }
    // The radio's next answer of this letter, its parameter area ("" if none).
    std::string Answer(char command, int timeoutMs = 2000)
    {
        auto f = m_radio->WaitFor(command, timeoutMs);
        return f ? f->param : "";
    }
    // Waits until the board file has `size` bytes.
    bool WaitSize(const std::string& boardPath, size_t size)
    {
        auto deadline = Clock::now() + 2s;
        std::error_code ec;
        while (std::filesystem::file_size(m_board.Path(boardPath), ec) != size || ec) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    Bytes FileBytes(const std::string& boardPath) { return testsupport::ReadFileBytes(m_board.Path(boardPath)); }
    void PutFile(const std::string& boardPath, const Bytes& b)
    {
        testsupport::WriteFileBytes(m_board.Path(boardPath), b);
    }
    std::vector<radio::Frame> PlayToRadio(size_t n, std::chrono::milliseconds timeout = 3s)
    {
        return VoiceFramesToRadio(n, timeout);
    }
};

// The ticks of the records as the unit stored them (records of equal size).
std::vector<uint32_t> StoredTimes(const Bytes& file, size_t recordSize)
{
    std::vector<uint32_t> t;
    for (size_t at = 8; at + recordSize <= file.size(); at += recordSize) {
        t.push_back(static_cast<uint32_t>(file[at + 2]) << 24 | static_cast<uint32_t>(file[at + 3]) << 16 |
                    static_cast<uint32_t>(file[at + 4]) << 8 | file[at + 5]);
    }
    return t;
}

TEST_F(Recorder, ThreeFrameRecordingIsStoredByteForByteAndItsIndexClearedAtTheEnd)
{
    Boot();
    const std::vector<std::string> areas = {Area('I', 5, 0x0200, "identification-payload"),
                                            Area('0', 5, 0x0201, "voice-payload-one"),
                                            Area('T', 5, 0x0202, "end-payload")};
    FeedRadio('R', areas[0]);
    // While the recording is open the index names its slot.
    ASSERT_TRUE(WaitSize(RecName(5), 8 + 8 + areas[0].size()));
    EXPECT_EQ(FileBytes(REC_INFO), RecInfo("005"));
    EXPECT_EQ(RecInfo("005")[31], 0x95);
    WinEmu_AdvanceTicksForTest(100000);
    FeedRadio('R', areas[1]);
    WinEmu_AdvanceTicksForTest(250000);
    FeedRadio('R', areas[2]);
    EXPECT_EQ(Answer('R'), "R050");

    Bytes file = FileBytes(RecName(5));
    ASSERT_GE(file.size(), 8u + 8 + areas[0].size() + 8 + 4);
    // The ticks are the unit's own: read them, check their spacing, then the rest byte for byte.
    size_t second = 8 + 8 + areas[0].size();
    size_t third = second + 8 + areas[1].size();
    auto tickAt = [&file](size_t at) {
        return static_cast<uint32_t>(file[at + 2]) << 24 | static_cast<uint32_t>(file[at + 3]) << 16 |
               static_cast<uint32_t>(file[at + 4]) << 8 | file[at + 5];
    };
    uint32_t t0 = tickAt(8);
    uint32_t t1 = tickAt(second);
    uint32_t t2 = tickAt(third);
    EXPECT_GE(t1 - t0, 100000u);
    EXPECT_LT(t1 - t0, 102000u);
    EXPECT_GE(t2 - t1, 250000u);
    EXPECT_LT(t2 - t1, 252000u);
    Bytes expected = RecFile(3, {{t0, areas[0]}, {t1, areas[1]}, {t2, areas[2]}});
    EXPECT_EQ(radio::Hex(file), radio::Hex(expected));
    EXPECT_EQ(FileBytes(REC_INFO), Bytes(32, 0));
    EXPECT_EQ(Server_ReadRecFileForTest(5), 3);
    EXPECT_TRUE(m_tap->WaitForCount("Rx: rec [005][T][00514][005]", 1));
}

TEST_F(Recorder, SlotSeventyFHexIsRecordedAndSlotHundredRefusedForRecordingButPlayed)
{
    Boot();
    for (const std::string& p : sim::RadioSim::RecordingParams({127, 5, 0x0300, 2, 20, 0})) {
        FeedRadio('R', p);
    }
    EXPECT_EQ(Answer('R'), "R7F0");
    EXPECT_EQ(Server_ReadRecFileForTest(127), 4);

    FeedRadio('R', Area('I', 100, 1, "p"));
    FeedRadio('R', Area('T', 100, 2, "p"));
    EXPECT_TRUE(m_tap->WaitForCount("[W] invalid rec ch 100", 1));
    EXPECT_FALSE(m_board.Exists(RecName(100)));
    EXPECT_FALSE(m_radio->WaitFor('R', 100));

    // Slot 100 plays a file that is there, with the recorded spacing.
    std::vector<Record> r = Recording(100, 4, 0);
    r[1].time += 40;
    r[2].time += 160;
    r[3].time += 165;
    PutFile(RecName(100), RecFile(4, r));
    FeedRadio('L', radio::PlayParam(100));
    EXPECT_EQ(Answer('L'), "640");
    std::vector<radio::Frame> got = PlayToRadio(4);
    ASSERT_EQ(got.size(), 4u);
    // The release keeps each frame's offset from the first one (a late frame
    // shortens the next gap), so offsets are what is checked. The reference is
    // the first frame's own arrival, which a slow board can delay by some
    // milliseconds; every later offset then reads short by as much.
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(got[i].command, 'F');
        EXPECT_EQ(got[i].param, r[i].area);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(got[i].arrival - got[0].arrival);
        int recorded = static_cast<int>(r[i].time - r[0].time);
        EXPECT_GE(ms.count(), recorded - 10) << "frame " << i;
        EXPECT_LE(ms.count(), recorded + 40) << "frame " << i;
    }
    FeedRadio('l', radio::PlayParam(101));
    EXPECT_EQ(Answer('l'), "651");
    EXPECT_TRUE(m_tap->WaitForCount("[W] invalid rec ch 101", 1));
}

TEST_F(Recorder, OverlongRecordingKeepsTheFirst598VoiceFramesAndTheEndCountedSixHundred)
{
    Boot();
    const std::vector<std::string> params = sim::RadioSim::RecordingParams({9, 5, 0, 620, 20, 0});
    ASSERT_EQ(params.size(), 622u);
    const size_t recordSize = 8 + params[0].size();
    // Fed in steps the recording queue (64 records) can take.
    for (size_t i = 0; i + 1 < params.size(); ++i) {
        FeedRadio('R', params[i]);
        if (i < 599 && (i % 32 == 31 || i == 598)) {
            ASSERT_TRUE(WaitSize(RecName(9), 8 + (i + 1) * recordSize)) << i;
        } else if (i >= 599 && (i % 32 == 0 || i + 2 == params.size())) {
            ASSERT_TRUE(m_tap->WaitForCount("[W] over max rec count", static_cast<int>(i - 598))) << i;
        }
    }
    FeedRadio('R', params.back());
    EXPECT_EQ(Answer('R'), "R090");
    Bytes file = FileBytes(RecName(9));
    ASSERT_EQ(file.size(), 8 + 600 * recordSize);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), FileHeader(600));
    std::vector<uint32_t> times = StoredTimes(file, recordSize);
    for (size_t i : {size_t{0}, size_t{1}, size_t{598}}) {
        EXPECT_EQ(Text(Bytes(file.begin() + 8 + i * recordSize + 8, file.begin() + 8 + (i + 1) * recordSize)),
                  params[i]);
    }
    EXPECT_EQ(Text(Bytes(file.end() - static_cast<long>(params[0].size()), file.end())), params.back());
    EXPECT_EQ(m_tap->Count("[W] over max rec count"), 22);
    EXPECT_EQ(Server_ReadRecFileForTest(9), 600);
    EXPECT_EQ(times.size(), 600u);
}

TEST_F(Recorder, TimedOutRecordingKeepsItsRecordsButCountsNoneSoPlayingItIsRefused)
{
    Boot();
    const std::vector<std::string> params = sim::RadioSim::RecordingParams({6, 5, 0x0400, 2, 20, 0});
    for (size_t i = 0; i < 3; ++i) {
        FeedRadio('R', params[i]);
    }
    const size_t size = 8 + 3 * (8 + params[0].size());
    ASSERT_TRUE(WaitSize(RecName(6), size));
    WinEmu_AdvanceTicksForTest(1900);
    Tick();
    EXPECT_FALSE(m_radio->WaitFor('R', 50));
    WinEmu_AdvanceTicksForTest(100);
    Tick();
    EXPECT_EQ(Answer('R'), "R061");
    EXPECT_TRUE(m_tap->WaitForCount("[W] rec timeout", 1));
    Bytes file = FileBytes(RecName(6));
    EXPECT_EQ(file.size(), size);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), FileHeader(0));
    EXPECT_EQ(FileBytes(REC_INFO), Bytes(32, 0));
    // The end frame that comes too late is no longer taken.
    FeedRadio('R', params.back());
    EXPECT_FALSE(m_radio->WaitFor('R', 100));

    FeedRadio('L', radio::PlayParam(6));
    EXPECT_EQ(Answer('L'), "061");
    EXPECT_TRUE(m_tap->WaitForCount("[W] rec file has no data", 1));
    EXPECT_TRUE(m_tap->WaitForCount("[W] rec 6 file is not exist", 1));
}

TEST_F(Recorder, EndFrameThatFindsTheRecordingQueueFullIsAnsweredOneAndClosesTheRecording)
{
    Boot();
    const std::vector<std::string> params = sim::RadioSim::RecordingParams({13, 5, 0, 70, 20, 0});
    FeedRadio('R', params[0]);
    ASSERT_TRUE(WaitSize(RecName(13), 8 + 8 + params[0].size()));
    // The writer falls behind: 64 voice frames fill its queue, the rest and the end frame find it full.
    Server_HoldRecordingWriterForTest(TRUE);
    for (size_t i = 1; i < params.size(); ++i) {
        FeedRadio('R', params[i]);
    }
    EXPECT_EQ(Answer('R', 500), "R0D1");
    EXPECT_TRUE(m_tap->WaitForCount("[W] PostDataToTxQueue (REC) failed", 7));  // the lines may trail the answer
    EXPECT_EQ(m_tap->Count("[W] PostDataToTxQueue (REC) failed"), 7);
    Server_HoldRecordingWriterForTest(FALSE);
    EXPECT_EQ(FileBytes(REC_INFO), Bytes(32, 0));
    // What was queued is dropped with the recording: the file keeps its first record only.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(FileBytes(RecName(13)).size(), 8 + 8 + params[0].size());
    EXPECT_FALSE(m_radio->WaitFor('R', 100));
}

TEST_F(Recorder, PlayRequestIsRefusedWhileAFarUnitOwnsTheQueueOrAPlaybackRuns)
{
    Boot();
    PutFile(RecName(10), RecFile(400, Recording(10, 400, 1)));
    // A far unit's voice frame takes the LAN-to-radio queue.
    std::string area = radio::VoiceParam({'0', "  ", 1, 127}, "far-voice");
    Bytes packet = Be16(static_cast<unsigned>(area.size()));
    Append(&packet, Bytes(4, 0));
    Append(&packet, Be32(77));
    Append(&packet, Be16(0x0102));
    Append(&packet, Bytes(4, 0));
    Append(&packet, Bytes(area.begin(), area.end()));
    Server_FeedPeerPacketForTest(TARGET, packet.data(), static_cast<int>(packet.size()));
    FeedRadio('L', radio::PlayParam(10));
    EXPECT_EQ(Answer('L'), "0A1");
    EXPECT_TRUE(m_tap->WaitForCount("[W] now tx queue is busy", 1));

    // Its frame goes out; 1000 ms of empty queue let it go.
    ASSERT_EQ(PlayToRadio(1).size(), 1u);
    Server_OnIdle();
    WinEmu_AdvanceTicksForTest(1000);
    Server_OnIdle();
    FeedRadio('L', radio::PlayParam(10));
    EXPECT_EQ(Answer('L'), "0A0");
    const size_t first = PlayToRadio(1).size();  // the playback runs (its records are 1 ms apart)
    ASSERT_GE(first, 1u);
    FeedRadio('l', radio::PlayParam(10));
    EXPECT_EQ(Answer('l'), "0A1");
    EXPECT_TRUE(m_tap->WaitForCount("[W] now playing", 1));
    std::vector<radio::Frame> rest = PlayToRadio(400 - first);
    ASSERT_EQ(rest.size(), 400 - first);
    EXPECT_EQ(rest.back().param, Recording(10, 400, 1).back().area);
}

TEST_F(Recorder, RadioTransmitEndStopsThePlaybackAndFreesTheQueue)
{
    Boot();
    PutFile(RecName(11), RecFile(300, Recording(11, 300, 20)));
    FeedRadio('l', radio::PlayParam(11));
    EXPECT_EQ(Answer('l'), "0B0");
    ASSERT_GE(PlayToRadio(2).size(), 2u);
    EXPECT_TRUE(m_tap->WaitForCount("Tx: Sio B", 2));
    m_status.rtrxB = '4';
    Tick();
    m_status.rtrxB = '0';
    Tick();
    ASSERT_TRUE(m_tap->WaitForCount("[I] tx no signal B", 1));
    size_t after = PlayToRadio(SIZE_MAX, 300ms).size();
    EXPECT_LE(after, 1u);
    // Nothing plays and nothing holds the queue: the next request is taken.
    FeedRadio('L', radio::PlayParam(11));
    EXPECT_EQ(Answer('L'), "0B0");
    std::vector<radio::Frame> again = PlayToRadio(1);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].command, 'F');
    EXPECT_EQ(again[0].param, Recording(11, 300, 20)[0].area);
}

TEST_F(Recorder, ChannelBReceptionEndAnswersOneForTheRecordedSlotAndPowerDownEndsSilently)
{
    Boot();
    FeedRadio('R', Area('I', 7, 1, "one"));
    ASSERT_TRUE(WaitSize(RecName(7), 8 + 8 + Area('I', 7, 1, "one").size()));
    m_status.ltrxB = '3';
    Tick();
    m_status.ltrxB = '0';
    Tick();
    EXPECT_EQ(Answer('R'), "R071");
    EXPECT_EQ(FileBytes(REC_INFO), Bytes(32, 0));

    // A playback accepted while a recording runs leaves the recording's slot alone.
    PutFile(RecName(11), RecFile(3, Recording(11, 3, 20)));
    FeedRadio('R', Area('I', 7, 2, "again"));
    ASSERT_TRUE(WaitSize(RecName(7), 8 + 8 + Area('I', 7, 2, "again").size()));
    FeedRadio('L', radio::PlayParam(11));
    EXPECT_EQ(Answer('L'), "0B0");
    m_status.ltrxB = '3';
    Tick();
    m_status.ltrxB = '0';
    Tick();
    EXPECT_EQ(Answer('R'), "R071");
    EXPECT_EQ(PlayToRadio(3).size(), 3u);

    FeedRadio('R', Area('I', 8, 1, "two"));
    ASSERT_TRUE(WaitSize(RecName(8), 8 + 8 + Area('I', 8, 1, "two").size()));
    m_status.stat = '4';
    Tick();
    ASSERT_TRUE(m_tap->WaitForCount("[I] Power down", 1));
    EXPECT_EQ(FileBytes(REC_INFO), Bytes(32, 0));
    FeedRadio('R', Area('I', 12, 1, "three"));
    FeedRadio('R', Area('T', 12, 2, "three"));
    EXPECT_EQ(Answer('R'), "R0C1");
    EXPECT_TRUE(m_tap->WaitForCount("[W] power down mode. rec ignore", 1));
    EXPECT_FALSE(m_board.Exists(RecName(12)));
    EXPECT_FALSE(m_radio->WaitFor('R', 100));
}

// ---- The start-up check --------------------------------------------------------------

class InterruptedRecording : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_TRUE(Board_SetRoot(m_board.root().c_str())); }
    void TearDown() override { Board_SetRoot(nullptr); }
    void Put(const std::string& boardPath, const Bytes& b) { testsupport::WriteFileBytes(m_board.Path(boardPath), b); }
    std::string Check()
    {
        testsupport::DebugCapture capture;
        Server_CheckRecFileForTest();
        return capture.text();
    }
    std::string Aside(int k)
    {
        char name[40];
        std::snprintf(name, sizeof(name), k < 1000 ? "DATA\\REC005.%03d" : "DATA\\REC005.%d", k);
        return REC_DIR + name;
    }
    sim::SimBoard m_board;
};

TEST_F(InterruptedRecording, FileThatDoesNotReadBackIsSetAsideUnderTheFirstFreeSuffix)
{
    std::vector<Record> r = Recording(5, 3, 20);
    Bytes whole = RecFile(3, r);
    Bytes shortOne(whole.begin(), whole.end() - 1);
    Put(REC_INFO, RecInfo("005"));
    Put(RecName(5), shortOne);
    std::string out = Check();
    EXPECT_NE(out.find("[W] invalid rec data /var/local/DATA\\REC005.dat"), std::string::npos) << out;
    EXPECT_NE(out.find("[I] discarding file (5)"), std::string::npos) << out;
    EXPECT_FALSE(m_board.Exists(RecName(5)));
    EXPECT_EQ(testsupport::ReadFileBytes(m_board.Path(Aside(0))), shortOne);
    EXPECT_EQ(testsupport::ReadFileBytes(m_board.Path(REC_INFO)), RecInfo("005"));  // left as it is

    // A data checksum that is wrong, then a header that is: the next free names.
    Bytes badSum = whole;
    badSum[8 + 8 + 20] ^= 0x01;
    Put(RecName(5), badSum);
    out = Check();
    EXPECT_NE(out.find("[W] file data checksum error"), std::string::npos) << out;
    EXPECT_EQ(testsupport::ReadFileBytes(m_board.Path(Aside(1))), badSum);
    Bytes badHead = whole;
    badHead[5] = 4;  // count 4, checksum unchanged
    Put(RecName(5), badHead);
    out = Check();
    EXPECT_NE(out.find("[W] file header checksum error"), std::string::npos) << out;
    EXPECT_NE(out.find("[W] invalid rec file header /var/local/DATA\\REC005.dat"), std::string::npos) << out;
    EXPECT_EQ(testsupport::ReadFileBytes(m_board.Path(Aside(2))), badHead);

    // From 1000 on the suffix has as many digits as it needs.
    for (int k = 3; k < 1000; ++k) {
        Put(Aside(k), {});
    }
    Put(RecName(5), shortOne);
    Check();
    EXPECT_EQ(testsupport::ReadFileBytes(m_board.Path(Aside(1000))), shortOne);
}

TEST_F(InterruptedRecording, WholeFileOrUnusableIndexLeavesEverythingInPlace)
{
    Bytes whole = RecFile(3, Recording(5, 3, 20));
    Put(RecName(5), whole);
    Put(REC_INFO, RecInfo("005"));
    std::string out = Check();
    EXPECT_EQ(out.find("[I] discarding"), std::string::npos) << out;
    EXPECT_EQ(testsupport::ReadFileBytes(m_board.Path(RecName(5))), whole);

    Bytes broken = RecFile(3, Recording(5, 2, 20));
    Put(RecName(5), broken);
    struct Case {
        Bytes index;
        std::string warning;
    };
    const Bytes named = RecInfo("005");
    Bytes badSum = named;
    badSum[31] ^= 0xFF;
    const std::vector<Case> cases = {
        {Bytes(32, 0), ""},
        {Bytes(named.begin(), named.begin() + 31), "[W] rec info read error"},
        {badSum, "[W] rec info checksum error"},
        {RecInfo("0a5"), "[W] invalid rec info. ch=0a5"},
    };
    for (const Case& c : cases) {
        Put(REC_INFO, c.index);
        out = Check();
        EXPECT_EQ(out.find("[I] discarding"), std::string::npos) << out;
        if (!c.warning.empty()) {
            EXPECT_NE(out.find(c.warning), std::string::npos) << out;
        }
    }
    EXPECT_EQ(testsupport::ReadFileBytes(m_board.Path(RecName(5))), broken);
    // Another slot named: slot 5's file is not looked at; no file for slot 6.
    Put(REC_INFO, RecInfo("006"));
    Check();
    EXPECT_EQ(testsupport::ReadFileBytes(m_board.Path(RecName(5))), broken);
}

}  // namespace
