// Recording through kovalan running as a process on a simulated board with
// its radio on a pty: a recording cut off by SIGKILL (the power loss) is on
// disk record by record, and at the next start a torn file is set aside.
// (Recording, playback and every case of the start-up check are tested in
// process by server_rec_test; the kovasim demo plays a recording back through
// processes.)
//
// The recording file is read and torn here from its layout alone: an 8-byte
// header ("KOVA", record count big-endian, 0, sum of bytes 0-6), then per
// record its data length (big-endian), the tick it came in (big-endian), 0
// and the sum of the data, then the data: the 'R' frame's parameter area.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "radio_sim.h"
#include "sim_board.h"

namespace {

using Bytes = std::vector<uint8_t>;
using e2e::SLOW;

constexpr int SLOT = 5;
constexpr int CODE = e2e::Unit::CODE;
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

Bytes ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(RecordingUnit, PowerLossLeavesEveryRecordOnDiskAndATornFileIsSetAsideAtTheNextStart)
{
    e2e::Unit unit;
    sim::SimBoard& board = unit.board();
    board.WriteFile("/var/local/kovalan.ini", "CommPort=2\nUsbPort=0\nRxUdpPort=0\nTxUdpPort=0\nProgram=KOVA-LAN\n");
    ASSERT_TRUE(unit.StartReady());  // its radio admits code 5
    std::vector<std::string> areas = sim::RadioSim::RecordingParams({SLOT, CODE, 0x0200, 6, 40, 0});
    areas.pop_back();  // no end frame: the power goes first
    for (const std::string& a : areas) {
        ASSERT_TRUE(unit.radio().SendFrame('R', a));
    }
    EXPECT_TRUE(e2e::Eventually([&] { return RecordAreas(ReadBytes(board.Path(REC_FILE))) == areas; }));
    // The index names slot 5: "005" NUL-padded to 16, 15 zeros, the sum of bytes 0-30.
    Bytes index(32, 0);
    index[0] = index[1] = '0';
    index[2] = '5';
    index[31] = Sum(index.data(), 31);
    EXPECT_TRUE(e2e::Eventually([&] { return ReadBytes(board.Path(REC_INFO)) == index; }));
    // The power loss: SIGKILL, nothing closes or flushes anything.
    unit.DropRadio();
    sim::UnitExit exit = unit.process().Stop(SIGKILL, 5000 * SLOW);
    ASSERT_TRUE(exit.exited && exit.signal == SIGKILL);
    // Written record by record, with no records counted yet.
    const Bytes killed = ReadBytes(board.Path(REC_FILE));
    ASSERT_GE(killed.size(), 8u);
    EXPECT_EQ(Bytes(killed.begin(), killed.begin() + 8), FileHeader(0));
    EXPECT_EQ(RecordAreas(killed), areas);

    // Torn: the header counts every record, and the last one is cut short. The check runs before the
    // unit's threads start.
    Bytes torn = FileHeader(static_cast<unsigned>(areas.size()));
    torn.insert(torn.end(), killed.begin() + 8, killed.end() - 11);
    board.WriteFile(REC_FILE, std::string(torn.begin(), torn.end()));
    ASSERT_TRUE(unit.Start());
    EXPECT_TRUE(unit.process().WaitForLine("[I] discarding file (5)", 2000 * SLOW));
    EXPECT_FALSE(std::filesystem::exists(board.Path(REC_FILE)));
    EXPECT_EQ(ReadBytes(board.Path(ASIDE)), torn);
}

}  // namespace
