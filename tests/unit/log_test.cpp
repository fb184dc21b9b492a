// Ring log file. Expected bytes come from this file's own encoding, so a fault
// shared with the module's encoder cannot hide.
#include "log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "power_cut.h"
#include "test_support.h"

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

constexpr DWORD SLOT = 64;
using Bytes = std::vector<BYTE>;
using Indexes = std::vector<int>;

BYTE Sum(const BYTE* p, size_t n) { return static_cast<BYTE>(std::accumulate(p, p + n, 0u)); }

std::string Hex(const Bytes& b)
{
    std::string s;
    for (BYTE v : b) {
        s += {"0123456789ABCDEF"[v >> 4], "0123456789ABCDEF"[v & 15]};
    }
    return s;
}

Bytes Slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + long(from), b.begin() + long(from + n)); }

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A slot: the given header and data, zero-filled to 64 bytes.
Bytes Padded(Bytes b)
{
    b.resize(SLOT, 0);
    return b;
}

// The journal of a slot: its offset, the record, a reserved 0 and the sum.
Bytes Journal(DWORD offset, const Bytes& slot)
{
    Bytes bak = Bytes{BYTE(offset >> 24), BYTE(offset >> 16), BYTE(offset >> 8), BYTE(offset)} + slot + Bytes{0};
    bak.push_back(Sum(bak.data(), 69));
    return bak;
}

SYSTEMTIME TimeFor(int i)
{
    return {2021, 4, 3, 13, WORD(10 + i / 3600), WORD((i / 60) % 60), WORD(i % 60), 999};
}
std::string TextFor(int i)
{
    return "line " + std::to_string(i) + " " + std::string(i % 40, char('a' + i % 26));
}

// All of a time that is kept.
Bytes Stamp(const SYSTEMTIME& t)
{
    return {BYTE(t.wYear >> 8), BYTE(t.wYear),   BYTE(t.wMonth),  BYTE(t.wDay),
            BYTE(t.wHour),      BYTE(t.wMinute), BYTE(t.wSecond), 0};
}

// This file's own encoding of text i as a one-record text of generation gen.
Bytes RecordFor(int i, int gen)
{
    const std::string s = TextFor(i);
    const BYTE sum = Sum(reinterpret_cast<const BYTE*>(s.data()), s.size());
    return Padded(Stamp(TimeFor(i)) + Bytes{0, BYTE(s.size()), BYTE(0xC0 | gen), sum} + Bytes(s.begin(), s.end()));
}

// A record as LOG_Get serves it; ReadAll walks from the newest to the end.
struct Served {
    std::string hex;
    SYSTEMTIME time;
    DWORD kind;
    DWORD ptr;
};
std::vector<Served> ReadAll()
{
    std::vector<Served> out;
    char buf[256];
    DWORD ptr = 0, kind = 0;
    SYSTEMTIME t{};
    for (BOOL first = TRUE; out.size() < 5000 && LOG_Get(&t, buf, sizeof buf, first, &ptr, &kind) > 0; first = FALSE) {
        out.push_back({buf, t, kind, ptr});
    }
    return out;
}

// The history index of each served record, newest first; -1 for a record
// whose data, time or kind is wrong.
Indexes ServedIndexes(int nWritten)
{
    Indexes out;
    for (const Served& s : ReadAll()) {
        std::string text;
        for (size_t i = 0; i + 1 < s.hex.size(); i += 2) {
            text += char(std::stoi(s.hex.substr(i, 2), nullptr, 16));
        }
        int i = text.compare(0, 5, "line ") == 0 ? std::atoi(text.c_str() + 5) : -1;
        bool ok = i >= 0 && i < nWritten && text == TextFor(i) && Stamp(s.time) == Stamp(TimeFor(i)) && s.kind == 3;
        out.push_back(ok ? i : -1);
    }
    return out;
}

// What a reader sees of a ring of nSlots after one-record texts 0..n-1: newest
// first; in a full ring the oldest sits at the write position, where the walk ends.
Indexes ExpectedServed(int n, int nSlots)
{
    Indexes out;
    for (int i = n - 1; i >= 0 && i > n - nSlots; i--) {
        out.push_back(i);
    }
    return out;
}

// Capacity, bytes in the file and record size, as LOG_GetSize reports them.
using Sizes = std::array<DWORD, 3>;
Sizes GetSizes()
{
    Sizes s = {1, 1, 1};
    LOG_GetSize(&s[0], &s[1], &s[2]);
    return s;
}

BOOL Write(int i)
{
    const SYSTEMTIME t = TimeFor(i);
    const std::string text = TextFor(i);
    return LOG_Write(&t, text.data(), static_cast<int>(text.size()));
}

class RingLog : public ::testing::Test {
   protected:
    void SetUp() override { LOG_Init(); }
    void TearDown() override { LOG_Exit(); }

    // A fresh store of nSlots holding texts 0..n-1, left closed.
    void Fill(int n, DWORD nSlots)
    {
        unlink(logPath.c_str());
        unlink(bakPath.c_str());
        ASSERT_TRUE(LOG_Open(logPath.c_str(), nSlots * SLOT));
        for (int i = 0; i < n; i++) {
            ASSERT_TRUE(Write(i));
        }
        LOG_Close();
    }

    TempDir dir;
    std::string logPath = dir.file("kovalan.log");
    std::string bakPath = dir.file("kovalan.lbk");
};

TEST_F(RingLog, FirstTextsLandByteForByteInSlotAndJournal)
{
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    SYSTEMTIME t = {2021, 4, 3, 13, 9, 8, 7, 999};
    ASSERT_TRUE(LOG_Write(&t, "Hi\0\xFF", 4));
    // 2021 high byte first, 04-13 09:08:07, reserved 0; length 4; written,
    // first, generation 0; sum 0x48 + 0x69 + 0x00 + 0xFF = 0x1B0; the data.
    const Bytes slot = Padded({0x07, 0xE5, 4, 13, 9, 8, 7, 0, 0x00, 0x04, 0xC0, 0xB0, 'H', 'i', 0x00, 0xFF});
    EXPECT_EQ(ReadFileBytes(logPath), slot);
    EXPECT_EQ(ReadFileBytes(bakPath), Journal(0, slot));

    t.wSecond = 8;
    ASSERT_TRUE(LOG_Write(&t, "ok", 2));
    const Bytes slot2 = Padded({0x07, 0xE5, 4, 13, 9, 8, 8, 0, 0x00, 0x02, 0xC0, 0xDA, 'o', 'k'});
    EXPECT_EQ(Slice(ReadFileBytes(logPath), 64, 64), slot2);
    EXPECT_EQ(ReadFileBytes(bakPath), Journal(64, slot2));
    EXPECT_EQ(GetSizes(), (Sizes{1024, 128, 64}));
}

TEST_F(RingLog, LongTextRunsOverRecordsAndOnlyTheFirstCarriesTheFirstMark)
{
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 3 * SLOT));
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(Write(i));  // wraps: the long text is in generation 1
    }
    Bytes text(53);
    std::iota(text.begin(), text.end(), BYTE(200));
    SYSTEMTIME t = {2022, 12, 6, 31, 23, 59, 58, 0};
    ASSERT_TRUE(LOG_Write(&t, reinterpret_cast<const char*>(text.data()), 53));
    Bytes file = ReadFileBytes(logPath);
    ASSERT_EQ(file.size(), 3 * SLOT);
    EXPECT_EQ(Slice(file, 0, 64),
              Bytes({7, 0xE6, 12, 31, 23, 59, 58, 0, 0, 52, 0xC1, Sum(text.data(), 52)}) + Slice(text, 0, 52));
    EXPECT_EQ(Slice(file, 64, 64), Padded({7, 0xE6, 12, 31, 23, 59, 58, 0, 0, 1, 0x81, text[52], text[52]}));

    // An empty text succeeds and touches neither file.
    Bytes bak = ReadFileBytes(bakPath);
    EXPECT_TRUE(LOG_Write(&t, "", 0));
    EXPECT_EQ(ReadFileBytes(logPath), file);
    EXPECT_EQ(ReadFileBytes(bakPath), bak);

    std::string served;
    for (const Served& s : ReadAll()) {
        served += s.hex + " " + std::to_string(s.kind) + " " + Hex(Stamp(s.time)) + ",";
    }
    const std::string stamp = " " + Hex(Stamp(t)) + ",";
    EXPECT_EQ(served, Hex(Slice(text, 52, 1)) + " 2" + stamp + Hex(Slice(text, 0, 52)) + " 3" + stamp);  // written, first
}

TEST_F(RingLog, GetNeverWritesBeyondMaxLengthOrFollowsABadPosition)
{
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    // Read from 16 bytes into its slot, this text would pass for a record of 'A'.
    const char text[] = "0123456789AB\0\1xAA";
    SYSTEMTIME t = {2021, 1, 0, 2, 3, 4, 5, 0}, got;
    ASSERT_TRUE(LOG_Write(&t, text, 17));
    memset(&got, 0xFF, sizeof got);
    char buf[48];
    DWORD ptr = 7, kind = 7;
    const struct {
        int nMax, digits;
    } cases[] = {{-1, 0}, {0, 0}, {1, 0}, {2, 0}, {3, 2}, {6, 4}, {35, 34}, {36, 34}, {48, 34}};
    for (auto c : cases) {
        SCOPED_TRACE(c.nMax);
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(LOG_Get(&got, buf, c.nMax, TRUE, &ptr, &kind), c.digits);
        const std::string want = c.nMax < 1 ? "" : Hex(Bytes(text, text + c.digits / 2)) + '\0';
        EXPECT_EQ(std::string(buf, sizeof buf), want + std::string(sizeof buf - want.size(), '#'));
    }
    EXPECT_EQ(Stamp(got), Stamp(t));
    EXPECT_EQ(got.wMilliseconds, 0);
    for (DWORD bad : {DWORD(0x41), DWORD(0x50), DWORD(1024), DWORD(0xFFFFFFC0)}) {
        ptr = bad;
        EXPECT_EQ(LOG_Get(&got, buf, sizeof buf, FALSE, &ptr, &kind), 0) << bad;
    }
}

TEST_F(RingLog, TextsComeBackNewestFirstAcrossAReopenButNeverFromAClosedStore)
{
    SYSTEMTIME t = TimeFor(0);
    EXPECT_FALSE(LOG_Write(&t, "x", 1));
    EXPECT_TRUE(ReadAll().empty());
    EXPECT_FALSE(LOG_Open(logPath.c_str(), 0));
    EXPECT_FALSE(LOG_Open(logPath.c_str(), 100));

    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(Write(i));
    }
    const Bytes log = ReadFileBytes(logPath), bak = ReadFileBytes(bakPath);
    ASSERT_EQ(ServedIndexes(3), (Indexes{2, 1, 0})) << "each of kind 3, then 0";
    EXPECT_EQ(ReadAll()[0].ptr, 2 * SLOT);
    LOG_Close();
    EXPECT_FALSE(Write(3));
    EXPECT_TRUE(ReadAll().empty());
    EXPECT_EQ(GetSizes(), (Sizes{1024, 192, 64})) << "the sizes stay readable";
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    EXPECT_EQ(ReadFileBytes(logPath), log) << "neither a failed write nor a clean reopen writes";
    EXPECT_EQ(ReadFileBytes(bakPath), bak);
    ASSERT_TRUE(Write(3));
    EXPECT_EQ(ServedIndexes(4), (Indexes{3, 2, 1, 0}));
}

TEST_F(RingLog, FailedDeviceWriteClosesTheStore)
{
    const std::string fullPath = dir.file("full.log");
    if (symlink("/dev/full", fullPath.c_str()) != 0 || !LOG_Open(fullPath.c_str(), 1024)) {
        GTEST_SKIP() << "/dev/full is not usable here";
    }
    EXPECT_FALSE(Write(0));
    const Bytes bak = ReadFileBytes(dir.file("full.lbk"));
    EXPECT_FALSE(Write(1)) << "the store stays closed";
    EXPECT_EQ(ReadFileBytes(dir.file("full.lbk")), bak) << "and writes no journal";
    EXPECT_TRUE(ReadAll().empty());
}

// Rounds 0-16 reopen the store (position and generation found at open); later
// ones leave the writer to step past generation 15 by itself.
TEST_F(RingLog, RingEndingAtItsLastSlotReopensAtSlotZeroWithGenerationsCountingModulo16)
{
    for (int round = 0; round < 34; round++) {
        SCOPED_TRACE(round);
        if (round <= 16) {
            LOG_Close();
            ASSERT_TRUE(LOG_Open(logPath.c_str(), 2 * SLOT));
        }
        ASSERT_TRUE(Write(2 * round));
        ASSERT_TRUE(Write(2 * round + 1));
        Bytes file = ReadFileBytes(logPath);
        EXPECT_EQ(file, RecordFor(2 * round, round % 16) + RecordFor(2 * round + 1, round % 16));
    }
}

// ---- Files the store finds at open ------------------------------------------

TEST_F(RingLog, PartialLastSlotIsPaddedAndALogLargerThanTheRingIsStartedAfresh)
{
    Fill(1, 16);
    const Bytes file = ReadFileBytes(logPath) + Bytes(36, 0xAB);
    WriteFileBytes(logPath, file);
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    EXPECT_EQ(GetSizes(), (Sizes{1024, 128, 64}));
    ASSERT_TRUE(Write(1));
    EXPECT_EQ(ReadFileBytes(logPath), file + Bytes(28, 0) + RecordFor(1, 0));
    EXPECT_EQ(ServedIndexes(2), (Indexes{1, 0}));

    // Reopened as a smaller ring, even over an open store.
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 2 * SLOT));
    EXPECT_TRUE(ReadAll().empty());
    ASSERT_TRUE(Write(3));
    EXPECT_EQ(ReadFileBytes(logPath), RecordFor(3, 0));
    EXPECT_EQ(GetSizes(), (Sizes{128, 64, 64}));
}

// A wrapped ring whose slot 1 (the newest text) is wiped, with the journal that
// would restore it; each row spoils the journal in one way (offset 0-3, record
// length 12-13, flags 14, record sum 15).
TEST_F(RingLog, UntrustworthyJournalNeverRewritesASlot)
{
    Fill(18, 16);
    const Bytes repaired = ReadFileBytes(logPath), goodBak = ReadFileBytes(bakPath);
    ASSERT_EQ(goodBak, Journal(SLOT, RecordFor(17, 1)));
    Bytes log = repaired;
    std::fill(log.begin() + SLOT, log.begin() + 2 * SLOT, 0);
    Indexes lost = ExpectedServed(18, 16);
    lost.erase(lost.begin());
    // clang-format off
    const struct {
        const char* name;
        void (*spoil)(Bytes&);
    } cases[] = {
        {"intact", [](Bytes&) {}},                           {"journal sum", [](Bytes& b) { b[69] ^= 1; }},
        {"unaligned offset", [](Bytes& b) { b[3] = 0x41; }}, {"offset past the ring", [](Bytes& b) { b[2] = 4; }},
        {"record length 0", [](Bytes& b) { b[13] = 0; }},    {"record length 53", [](Bytes& b) { b[13] = 53; }},
        {"record sum", [](Bytes& b) { b[15] ^= 0x10; }},     {"no written mark", [](Bytes& b) { b[14] &= 0x7F; }},
        {"unused flag bit", [](Bytes& b) { b[14] |= 0x10; }}, {"69 bytes", [](Bytes& b) { b.resize(69); }},
        {"71 bytes", [](Bytes& b) { b.resize(71); }},        {"140 bytes", [](Bytes& b) { b.resize(140); }}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bak = goodBak;
        c.spoil(bak);
        if (bak.size() == 70 && bak[69] == goodBak[69]) {
            bak[69] = Sum(bak.data(), 69);  // every row but one spoils what the sum covers
        }
        const bool intact = bak == goodBak;
        WriteFileBytes(logPath, log);
        WriteFileBytes(bakPath, bak);
        ASSERT_TRUE(LOG_Open(logPath.c_str(), 16 * SLOT));
        EXPECT_EQ(ServedIndexes(18), intact ? ExpectedServed(18, 16) : lost);
        LOG_Close();
        EXPECT_EQ(ReadFileBytes(logPath), intact ? repaired : log);
        // A journal of any other size than 70 bytes is emptied, never used.
        EXPECT_EQ(ReadFileBytes(bakPath), bak.size() == 70 ? bak : Bytes{});
    }
}

// ---- Power loss during a record write -----------------------------------------

// A cut anywhere in writing a text of three records, into a ring not yet full
// and into a full one, the journal or a slot torn at any byte, serves no record
// that was not written whole and loses at most the record being written. (A
// journal torn after its flag byte once passed its check naming the next slot
// with the text's first record.)
TEST_F(RingLog, TornJournalNeverNamesTheNextSlotAndACutServesOnlyWholeRecords)
{
    constexpr DWORD nSlots = 16;
    const SYSTEMTIME t = TimeFor(99);
    std::string text;
    for (int i = 0; text.size() < 140; i++) {
        text += "piece " + std::to_string(i) + " ";
    }
    text.resize(140);
    std::vector<std::string> pieces;  // the records' data, oldest first
    for (size_t at = 0; at < text.size(); at += LOG_RECORD_DATA_MAX) {
        pieces.push_back(Hex(Bytes(text.begin() + long(at), text.begin() + long(std::min(text.size(), at + 52)))));
    }
    auto served = [&] {
        std::vector<std::string> hex;
        for (const Served& s : ReadAll()) {
            hex.push_back(s.hex);
        }
        return hex;
    };
    for (int nOld : {5, 20}) {
        Fill(nOld, nSlots);
        ASSERT_TRUE(LOG_Open(logPath.c_str(), nSlots * SLOT));
        const std::vector<std::string> old = served();
        LOG_Close();
        powercut::Recorder rec(dir.path());
        ASSERT_TRUE(LOG_Open(logPath.c_str(), nSlots * SLOT));
        ASSERT_TRUE(LOG_Write(&t, text.data(), int(text.size())));
        LOG_Close();
        rec.Stop();
        // Newest first: the first i records of the text, then the old ones they left.
        auto expected = [&](size_t i) {
            std::vector<std::string> e(pieces.rbegin() + long(pieces.size() - i), pieces.rend());
            e.insert(e.end(), old.begin(), old.begin() + long(std::min(old.size(), nSlots - 1 - i)));
            return e;
        };
        powercut::Run(std::to_string(nOld) + " texts, then a ring-log write", rec, [&](const powercut::Cut& cut) {
            const auto& ops = rec.ops;
            const size_t done = size_t(std::count_if(ops.begin(), ops.begin() + long(cut.issued), [](const auto& op) {
                return op.kind == FILE_OP_KIND::SYNC && op.path == "kovalan.log";
            }));
            if (!LOG_Open(logPath.c_str(), nSlots * SLOT)) {
                return std::string("BAD store not opened");
            }
            const std::vector<std::string> now = served();
            LOG_Close();
            for (size_t i = done; i <= std::min(done + 1, pieces.size()); i++) {
                if (now == expected(i)) {
                    return std::to_string(i) + " of 3 records" + (i > done ? " (from the journal)" : "");
                }
            }
            return std::string("BAD records served");
        }, 1);
    }
}

}  // namespace
