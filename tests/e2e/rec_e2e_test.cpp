// Recording and playback through kovalan running as a process on a simulated
// board with its radio on a pty. A recording cut off by SIGKILL (the power
// loss) stays in place at the next start when it reads back whole, and is
// set aside under the first free suffix when it does not; a recording made
// with irregular gaps is played back to the radio in order, unchanged and with
// its recorded spacing, while a second play request is refused.
//
// The recording files are read and torn here from their layout alone: an
// 8-byte header ("KOVA", record count big-endian, 0, sum of bytes 0-6), then
// per record its data length (big-endian), the tick it came in (big-endian),
// 0 and the sum of the data, then the data: the 'R' frame's parameter area.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pty_link.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "sim_board.h"
#include "unit_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
namespace radio = sim::radio;

#if defined(KOVALAN_E2E_SANITIZED) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define REC_E2E_SLOW_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define REC_E2E_SLOW_BUILD 1
#endif
#endif
#if defined(__arm__)
#define REC_E2E_SLOW_BUILD 1
#endif

#ifdef REC_E2E_SLOW_BUILD
constexpr int SLOW = 4;  // instrumented or emulated: waits get room
#else
constexpr int SLOW = 1;
#endif
// p99 of a playback frame's offset error. Only an optimised native build is
// held to 2 ms; the others (and a busy machine) see the scheduler's jitter.
#if defined(__OPTIMIZE__) && !defined(REC_E2E_SLOW_BUILD)
constexpr int64_t OFFSET_P99_LIMIT_US = 2000;
#else
constexpr int64_t OFFSET_P99_LIMIT_US = 15000;
#endif
// Earliest offset error: the tick is whole milliseconds (-1 ms), and the first
// frame, the reference, may itself be delivered late by the scheduler, which
// shifts every other frame early by as much.
#ifdef REC_E2E_SLOW_BUILD
constexpr int64_t EARLY_LIMIT_US = -4000;
#else
constexpr int64_t EARLY_LIMIT_US = -2000;
#endif

constexpr int SLOT = 5;
constexpr int CODE = 5;
const std::string REC_FILE = "/var/local/DATA\\REC005.dat";
const std::string REC_INFO = "/var/local/DATA\\REC_INFO.dat";
std::string AsideName(int k)
{
    char name[48];
    std::snprintf(name, sizeof(name), "/var/local/DATA\\REC%03d.%03d", SLOT, k);
    return name;
}

// ---- The recording file, from its layout ------------------------------------------

uint8_t Sum(const uint8_t* p, size_t n)
{
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i) {
        s += p[i];
    }
    return static_cast<uint8_t>(s);
}

void PutBe(Bytes* out, uint32_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        out->push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

uint32_t GetBe(const Bytes& b, size_t at, int bytes)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v = v << 8 | b[at + static_cast<size_t>(i)];
    }
    return v;
}

Bytes FileHeader(unsigned count)
{
    Bytes h = {'K', 'O', 'V', 'A'};
    PutBe(&h, count, 2);
    h.push_back(0);
    h.push_back(Sum(h.data(), h.size()));
    return h;
}

struct StoredRecord {
    uint32_t time = 0;
    std::string area;
};

Bytes RecordBytes(const StoredRecord& r)
{
    Bytes out;
    PutBe(&out, static_cast<uint32_t>(r.area.size()), 2);
    PutBe(&out, r.time, 4);
    out.push_back(0);
    out.push_back(Sum(reinterpret_cast<const uint8_t*>(r.area.data()), r.area.size()));
    out.insert(out.end(), r.area.begin(), r.area.end());
    return out;
}

// A recording file as read here: the header's count and every whole record
// with a correct reserved byte and sum, up to the first that is not.
struct StoredFile {
    bool headerValid = false;
    unsigned count = 0;
    std::vector<StoredRecord> records;
    size_t wholeBytes = 0;  // header and whole records
};

StoredFile ParseRecFile(const Bytes& b)
{
    StoredFile f;
    if (b.size() < 8) {
        return f;
    }
    f.headerValid = std::equal(b.begin(), b.begin() + 4, "KOVA") && b[6] == 0 && Sum(b.data(), 7) == b[7];
    f.count = GetBe(b, 4, 2);
    size_t at = 8;
    while (at + 8 <= b.size()) {
        size_t length = GetBe(b, at, 2);
        if (at + 8 + length > b.size() || b[at + 6] != 0 || Sum(b.data() + at + 8, length) != b[at + 7]) {
            break;
        }
        f.records.push_back({GetBe(b, at + 2, 4), std::string(b.begin() + static_cast<long>(at) + 8,
                                                              b.begin() + static_cast<long>(at + 8 + length))});
        at += 8 + length;
    }
    f.wholeBytes = at;
    return f;
}

// The index naming the slot: "%03d" NUL-padded to 16, 15 zeros, the sum of bytes 0-30.
Bytes RecInfo(const char* name)
{
    Bytes b(32, 0);
    std::copy(name, name + std::strlen(name), b.begin());
    b[31] = Sum(b.data(), 31);
    return b;
}

Bytes ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& b)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// ---- Statistics -------------------------------------------------------------------

struct Spread {
    int64_t p50 = 0;
    int64_t p99 = 0;
    int64_t max = 0;
};

// Nearest-rank percentiles of the absolute values.
Spread SpreadOf(std::vector<int64_t> v)
{
    Spread s;
    if (v.empty()) {
        return s;
    }
    for (int64_t& x : v) {
        x = x < 0 ? -x : x;
    }
    std::sort(v.begin(), v.end());
    auto rank = [&v](double p) {
        return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
    };
    s.p50 = rank(0.50);
    s.p99 = rank(0.99);
    s.max = v.back();
    return s;
}

int64_t Us(Clock::duration d)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

bool IsVoiceToRadio(const radio::Frame& f)
{
    return f.command == 'F' || f.command == 'f';
}

// ---- The unit -----------------------------------------------------------------------

class RecordingUnit : public ::testing::Test {
   protected:
    void SetUp() override
    {
        m_radioLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttymxc1");
        ASSERT_TRUE(m_radioLink->plugged()) << m_radioLink->error();
        m_board.WriteFile("/var/local/kovalan.ini",
                          "CommPort=2\nUsbPort=0\nRxUdpPort=0\nTxUdpPort=0\nProgram=KOVA-LAN\n");
    }
    void TearDown() override
    {
        m_radio.reset();
        if (m_unit && m_unit->running()) {
            m_unit->Stop(SIGKILL, 2000);
        }
        if (HasFailure() && m_unit) {
            std::fprintf(stderr, "--- unit output ---\n%s-------------------\n", m_unit->Output().c_str());
        }
    }

    // Starts a fresh process on the board (the previous one must have ended)
    // and makes it READY with a radio that keeps the line alive.
    void StartReady()
    {
        m_radio.reset();
        m_unit = std::make_unique<sim::UnitProcess>();
        sim::UnitOptions options;
        options.binary = KOVALAN_E2E_BINARY;
        options.root = m_board.root();
        ASSERT_TRUE(m_unit->Start(options)) << m_unit->error();
        ASSERT_TRUE(m_unit->WaitForLine("start timer thread", 5000 * SLOW));
        m_radio = std::make_unique<sim::RadioSim>(*m_radioLink);
        radio::CodeTable table;
        table.Admit(CODE);
        ASSERT_TRUE(m_radio->Identify({}, table, 2000 * SLOW));
        ASSERT_TRUE(m_unit->WaitForLine("[I] state ready", 2000 * SLOW));
        m_radio->StartKeepAlive(1000);
    }
    // The power loss: SIGKILL, nothing closes or flushes anything.
    void Kill()
    {
        m_radio->StopKeepAlive();
        sim::UnitExit exit = m_unit->Stop(SIGKILL, 2000 * SLOW);
        ASSERT_TRUE(exit.exited);
        EXPECT_EQ(exit.signal, SIGKILL);
    }
    // Opens a recording in the slot with 'I' and voiceFrames voice frames, and
    // waits until all of it is in the file and the index names the slot.
    std::vector<std::string> RecordWithoutEnd(int voiceFrames, uint16_t counter)
    {
        std::vector<std::string> areas = sim::RadioSim::RecordingParams({SLOT, CODE, counter, voiceFrames, 40, 0});
        areas.pop_back();  // no end frame: the power goes first
        for (const std::string& a : areas) {
            EXPECT_TRUE(m_radio->SendFrame('R', a));
            std::this_thread::sleep_for(20ms);
        }
        size_t size = 8;
        for (const std::string& a : areas) {
            size += 8 + a.size();
        }
        EXPECT_TRUE(WaitFor([&] { return ReadBytes(m_board.Path(REC_FILE)).size() == size; }))
            << ReadBytes(m_board.Path(REC_FILE)).size() << " bytes, expected " << size;
        EXPECT_TRUE(WaitFor([&] { return ReadBytes(m_board.Path(REC_INFO)) == RecInfo("005"); }));
        return areas;
    }
    template <typename Cond>
    bool WaitFor(Cond cond, int timeoutMs = 3000)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs * SLOW);
        while (!cond()) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
    bool Exists(const std::string& boardPath) const { return std::filesystem::exists(m_board.Path(boardPath)); }

    sim::SimBoard m_board;
    std::unique_ptr<sim::PtyLink> m_radioLink;
    std::unique_ptr<sim::RadioSim> m_radio;
    std::unique_ptr<sim::UnitProcess> m_unit;
};

// Expects the file to hold exactly these areas as whole records.
void ExpectRecords(const StoredFile& f, const std::vector<std::string>& areas)
{
    ASSERT_EQ(f.records.size(), areas.size());
    for (size_t i = 0; i < areas.size(); ++i) {
        EXPECT_EQ(f.records[i].area, areas[i]) << "record " << i;
    }
}

TEST_F(RecordingUnit, RecordingCutOffByPowerLossStaysInPlaceWhenItReadsBackWhole)
{
    ASSERT_NO_FATAL_FAILURE(StartReady());
    std::vector<std::string> areas = RecordWithoutEnd(6, 0x0200);
    ASSERT_NO_FATAL_FAILURE(Kill());

    // The header was written with no records counted; the records are all there.
    const Bytes killed = ReadBytes(m_board.Path(REC_FILE));
    ASSERT_GE(killed.size(), 8u);
    StoredFile f = ParseRecFile(killed);
    EXPECT_EQ(Bytes(killed.begin(), killed.begin() + 8), FileHeader(0));
    ExpectRecords(f, areas);
    EXPECT_EQ(f.wholeBytes, killed.size());

    ASSERT_NO_FATAL_FAILURE(StartReady());
    EXPECT_EQ(ReadBytes(m_board.Path(REC_FILE)), killed);
    EXPECT_FALSE(Exists(AsideName(0)));
    EXPECT_FALSE(m_unit->WaitForLine("[I] discarding", 0));
    EXPECT_FALSE(m_unit->WaitForLine("[W] invalid rec", 0));
    // The index is only read at start-up: it still names the slot.
    EXPECT_EQ(ReadBytes(m_board.Path(REC_INFO)), RecInfo("005"));
    EXPECT_TRUE(m_unit->running());
}

TEST_F(RecordingUnit, TornRecordingIsSetAsideUnderTheNextFreeSuffixAtTheNextStart)
{
    // First power loss: the end record was being written when the header
    // already counted it, so the last record is cut short.
    ASSERT_NO_FATAL_FAILURE(StartReady());
    std::vector<std::string> areas = RecordWithoutEnd(5, 0x0300);
    ASSERT_NO_FATAL_FAILURE(Kill());
    StoredFile f = ParseRecFile(ReadBytes(m_board.Path(REC_FILE)));
    ASSERT_NO_FATAL_FAILURE(ExpectRecords(f, areas));
    Bytes cutShort = FileHeader(static_cast<unsigned>(f.records.size()));
    for (const StoredRecord& r : f.records) {
        Bytes more = RecordBytes(r);
        cutShort.insert(cutShort.end(), more.begin(), more.end());
    }
    cutShort.resize(cutShort.size() - 11);
    WriteBytes(m_board.Path(REC_FILE), cutShort);

    ASSERT_NO_FATAL_FAILURE(StartReady());
    EXPECT_TRUE(m_unit->WaitForLine("[I] discarding file (5)", 0)) << m_unit->Output();
    EXPECT_FALSE(Exists(REC_FILE));
    EXPECT_EQ(ReadBytes(m_board.Path(AsideName(0))), cutShort);

    // Second power loss, a new recording in the same slot: the header counts
    // one record more than made it to the file.
    areas = RecordWithoutEnd(3, 0x0400);
    ASSERT_NO_FATAL_FAILURE(Kill());
    f = ParseRecFile(ReadBytes(m_board.Path(REC_FILE)));
    ASSERT_NO_FATAL_FAILURE(ExpectRecords(f, areas));
    Bytes countsMore = FileHeader(static_cast<unsigned>(f.records.size() + 1));
    for (const StoredRecord& r : f.records) {
        Bytes more = RecordBytes(r);
        countsMore.insert(countsMore.end(), more.begin(), more.end());
    }
    WriteBytes(m_board.Path(REC_FILE), countsMore);

    ASSERT_NO_FATAL_FAILURE(StartReady());
    EXPECT_TRUE(m_unit->WaitForLine("[I] discarding file (5)", 0)) << m_unit->Output();
    EXPECT_FALSE(Exists(REC_FILE));
    EXPECT_EQ(ReadBytes(m_board.Path(AsideName(0))), cutShort);
    EXPECT_EQ(ReadBytes(m_board.Path(AsideName(1))), countsMore);
    EXPECT_FALSE(Exists(AsideName(2)));
    EXPECT_TRUE(m_unit->running());
}

TEST_F(RecordingUnit, PlaybackKeepsTheRecordedSpacingAndASecondPlayRequestIsRefused)
{
    unsigned seed = 20240611;
    if (const char* env = std::getenv("KOVALAN_E2E_SEED")) {
        seed = static_cast<unsigned>(std::strtoul(env, nullptr, 10));
    }
    std::printf("gap seed %u (replay with KOVALAN_E2E_SEED)\n", seed);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> gapMs(15, 40);

    ASSERT_NO_FATAL_FAILURE(StartReady());
    const std::vector<std::string> areas = sim::RadioSim::RecordingParams({SLOT, CODE, 0x1000, 198, 40, 0});
    ASSERT_EQ(areas.size(), 200u);
    for (size_t i = 0; i < areas.size(); ++i) {
        if (i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs(random)));
        }
        ASSERT_TRUE(m_radio->SendFrame('R', areas[i]));
    }
    auto answer = m_radio->WaitFor('R', 2000 * SLOW);
    ASSERT_TRUE(answer);
    auto rec = radio::ParseRecordAnswer(answer->param);
    ASSERT_TRUE(rec) << answer->param;
    EXPECT_EQ(rec->slot, SLOT);
    ASSERT_EQ(rec->result, '0');

    // The ticks the unit stamped on the frames as they came in.
    const Bytes file = ReadBytes(m_board.Path(REC_FILE));
    StoredFile f = ParseRecFile(file);
    ASSERT_TRUE(f.headerValid);
    EXPECT_EQ(f.count, 200u);
    ASSERT_NO_FATAL_FAILURE(ExpectRecords(f, areas));
    EXPECT_EQ(f.wholeBytes, file.size());
    const uint32_t span = f.records.back().time - f.records.front().time;
    ASSERT_GE(span, 199u * 15u);

    const size_t from = m_radio->FrameCount();
    ASSERT_TRUE(m_radio->SendPlay(SLOT, 'L'));
    auto play = m_radio->WaitFor('L', 2000 * SLOW);
    ASSERT_TRUE(play);
    EXPECT_EQ(play->param, "050");

    auto voiceSince = [this, from] {
        std::vector<radio::Frame> v = m_radio->FramesSince(from);
        v.erase(std::remove_if(v.begin(), v.end(), [](const radio::Frame& x) { return !IsVoiceToRadio(x); }), v.end());
        return v;
    };
    ASSERT_TRUE(WaitFor([&] { return voiceSince().size() >= 20; }));
    ASSERT_TRUE(m_radio->SendPlay(SLOT, 'l'));
    auto second = m_radio->WaitFor('l', 2000 * SLOW);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->param, "051");

    ASSERT_TRUE(WaitFor([&] { return voiceSince().size() >= areas.size(); }, static_cast<int>(span) + 3000));
    std::this_thread::sleep_for(100ms);
    const std::vector<radio::Frame> got = voiceSince();
    ASSERT_EQ(got.size(), areas.size());

    std::vector<int64_t> offsetErr;
    std::vector<int64_t> gapErr;
    int64_t earliest = 0;
    std::string outliers;  // frame:error of the early and the late ones
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].command, 'F') << "frame " << i;
        EXPECT_TRUE(got[i].ok()) << "frame " << i;
        EXPECT_EQ(got[i].param, areas[i]) << "frame " << i;
        int64_t recorded = static_cast<int64_t>(f.records[i].time - f.records[0].time) * 1000;
        int64_t err = Us(got[i].arrival - got[0].arrival) - recorded;
        offsetErr.push_back(err);
        if (err > 1000 || err < 0) {
            outliers += " " + std::to_string(i) + ":" + std::to_string(err);
        }
        earliest = std::min(earliest, err);
        if (i) {
            int64_t recordedGap = static_cast<int64_t>(f.records[i].time - f.records[i - 1].time) * 1000;
            gapErr.push_back(Us(got[i].arrival - got[i - 1].arrival) - recordedGap);
        }
    }
    Spread o = SpreadOf(offsetErr);
    Spread g = SpreadOf(gapErr);
    std::printf("playback offset error us (200 frames, %u ms): p50 %lld p99 %lld max %lld earliest %lld\n", span,
                static_cast<long long>(o.p50), static_cast<long long>(o.p99), static_cast<long long>(o.max),
                static_cast<long long>(earliest));
    std::printf("playback gap error us (199 gaps): p50 %lld p99 %lld max %lld\n", static_cast<long long>(g.p50),
                static_cast<long long>(g.p99), static_cast<long long>(g.max));
    RecordProperty("offset_p99_us", static_cast<int>(o.p99));
    RecordProperty("gap_p99_us", static_cast<int>(g.p99));
    EXPECT_LE(o.p99, OFFSET_P99_LIMIT_US) << "frame:error us" << outliers;
    EXPECT_GE(earliest, EARLY_LIMIT_US) << "frame:error us" << outliers;
}

}  // namespace
