// Recording and playback through kovalan running as a process on a simulated
// board with its radio on a pty. A recording cut off by SIGKILL (the power
// loss) is on disk record by record; at the next start a whole one stays in
// place and a torn one is set aside. A recording is played back to the radio
// whole and in order while a second play request is refused. (How closely
// playback keeps the recorded spacing is measured by unit_timing_bench.)
//
// The recording file is read and torn here from its layout alone: an 8-byte
// header ("KOVA", record count big-endian, 0, sum of bytes 0-6), then per
// record its data length (big-endian), the tick it came in (big-endian), 0
// and the sum of the data, then the data: the 'R' frame's parameter area.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
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

#ifdef KOVALAN_E2E_SANITIZED
constexpr int SLOW = 4;  // an instrumented daemon: waits get room
#else
constexpr int SLOW = 1;
#endif

constexpr int SLOT = 5;
constexpr int CODE = 5;
const std::string REC_FILE = "/var/local/DATA\\REC005.dat";
const std::string REC_INFO = "/var/local/DATA\\REC_INFO.dat";
const std::string ASIDE = "/var/local/DATA\\REC005.000";

uint8_t Sum(const uint8_t* p, size_t n)
{
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i) {
        s += p[i];
    }
    return static_cast<uint8_t>(s);
}

Bytes FileHeader(unsigned count)
{
    Bytes h = {'K', 'O', 'V', 'A', static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count), 0};
    h.push_back(Sum(h.data(), h.size()));
    return h;
}

// The data of every whole record with a correct reserved byte and sum, up to the first that is not.
std::vector<std::string> RecordAreas(const Bytes& b)
{
    std::vector<std::string> areas;
    for (size_t at = 8; at + 8 <= b.size();) {
        size_t length = static_cast<size_t>(b[at] << 8 | b[at + 1]);
        if (at + 8 + length > b.size() || b[at + 6] != 0 || Sum(b.data() + at + 8, length) != b[at + 7]) {
            break;
        }
        areas.emplace_back(b.begin() + static_cast<long>(at + 8), b.begin() + static_cast<long>(at + 8 + length));
        at += 8 + length;
    }
    return areas;
}

// The index naming slot 5: "005" NUL-padded to 16, 15 zeros, the sum of bytes 0-30.
Bytes RecInfo()
{
    Bytes b(32, 0);
    b[0] = b[1] = '0';
    b[2] = '5';
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

template <typename Cond>
bool Eventually(Cond cond, int timeoutMs = 5000 * SLOW)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

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

    // Starts a fresh process on the board and makes it READY with a radio that keeps the line alive.
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
    std::string Path(const std::string& boardPath) const { return m_board.Path(boardPath); }

    sim::SimBoard m_board;
    std::unique_ptr<sim::PtyLink> m_radioLink;
    std::unique_ptr<sim::RadioSim> m_radio;
    std::unique_ptr<sim::UnitProcess> m_unit;
};

TEST_F(RecordingUnit, PowerLossLeavesEveryRecordOnDiskAndOnlyATornFileIsSetAsideAtTheNextStart)
{
    ASSERT_NO_FATAL_FAILURE(StartReady());
    std::vector<std::string> areas = sim::RadioSim::RecordingParams({SLOT, CODE, 0x0200, 6, 40, 0});
    areas.pop_back();  // no end frame: the power goes first
    for (const std::string& a : areas) {
        ASSERT_TRUE(m_radio->SendFrame('R', a));
        std::this_thread::sleep_for(20ms);  // the radio's own pace
    }
    EXPECT_TRUE(Eventually([&] { return RecordAreas(ReadBytes(Path(REC_FILE))).size() == areas.size(); }));
    EXPECT_TRUE(Eventually([&] { return ReadBytes(Path(REC_INFO)) == RecInfo(); }));
    ASSERT_NO_FATAL_FAILURE(Kill());

    // Written record by record, with no records counted yet.
    const Bytes killed = ReadBytes(Path(REC_FILE));
    ASSERT_GE(killed.size(), 8u);
    EXPECT_EQ(Bytes(killed.begin(), killed.begin() + 8), FileHeader(0));
    EXPECT_EQ(RecordAreas(killed), areas);

    // A file that reads back whole stays where it is.
    ASSERT_NO_FATAL_FAILURE(StartReady());
    EXPECT_EQ(ReadBytes(Path(REC_FILE)), killed);
    EXPECT_FALSE(std::filesystem::exists(Path(ASIDE)));
    EXPECT_FALSE(m_unit->WaitForLine("[I] discarding", 0));
    ASSERT_NO_FATAL_FAILURE(Kill());

    // Torn: the header counts every record, and the last one is cut short.
    Bytes torn = FileHeader(static_cast<unsigned>(areas.size()));
    torn.insert(torn.end(), killed.begin() + 8, killed.end() - 11);
    WriteBytes(Path(REC_FILE), torn);
    ASSERT_NO_FATAL_FAILURE(StartReady());
    EXPECT_TRUE(m_unit->WaitForLine("[I] discarding file (5)", 0)) << m_unit->Output();
    EXPECT_FALSE(std::filesystem::exists(Path(REC_FILE)));
    EXPECT_EQ(ReadBytes(Path(ASIDE)), torn);
    EXPECT_TRUE(m_unit->running());
}

TEST_F(RecordingUnit, PlaybackReturnsEveryFrameInOrderUnchangedAndASecondPlayRequestIsRefused)
{
    ASSERT_NO_FATAL_FAILURE(StartReady());
    const sim::Recording recording{SLOT, CODE, 0x1000, 48, 40, 20};
    const std::vector<std::string> areas = sim::RadioSim::RecordingParams(recording);
    ASSERT_TRUE(m_radio->SendRecording(recording));
    auto answer = m_radio->WaitFor('R', 2000 * SLOW);
    ASSERT_TRUE(answer);
    auto rec = radio::ParseRecordAnswer(answer->param);
    ASSERT_TRUE(rec) << answer->param;
    EXPECT_EQ(rec->slot, SLOT);
    ASSERT_EQ(rec->result, '0');
    const Bytes file = ReadBytes(Path(REC_FILE));
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), FileHeader(static_cast<unsigned>(areas.size())));
    EXPECT_EQ(RecordAreas(file), areas);

    const size_t from = m_radio->FrameCount();
    ASSERT_TRUE(m_radio->SendPlay(SLOT, 'L'));
    auto play = m_radio->WaitFor('L', 2000 * SLOW);
    ASSERT_TRUE(play);
    EXPECT_EQ(play->param, "050");
    // The playback takes as long as the recording did (about a second): it still runs.
    ASSERT_TRUE(m_radio->SendPlay(SLOT, 'l'));
    auto second = m_radio->WaitFor('l', 2000 * SLOW);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->param, "051");

    auto voice = [&] {
        std::vector<radio::Frame> v;
        for (const radio::Frame& f : m_radio->FramesSince(from)) {
            if (f.command == 'F' || f.command == 'f') {
                v.push_back(f);
            }
        }
        return v;
    };
    ASSERT_TRUE(Eventually([&] { return voice().size() >= areas.size(); }, 10000 * SLOW));
    const std::vector<radio::Frame> got = voice();
    ASSERT_EQ(got.size(), areas.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].command, 'F') << "frame " << i;
        EXPECT_TRUE(got[i].ok()) << "frame " << i;
        EXPECT_EQ(got[i].param, areas[i]) << "frame " << i;
    }
}

}  // namespace
