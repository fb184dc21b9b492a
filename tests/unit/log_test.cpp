// Ring log file: the exact bytes of a record and its journal, long texts over
// several records, the newest-first walk, wrap-around and generations, repair
// of writes torn by power loss, and files the store must not trust.
//
// Expected bytes are built here by hand, and records are read back from the
// files with this file's own parsing, so a fault shared with the module's
// encoder cannot hide.

#include "log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

constexpr DWORD SLOT = 64;
using Bytes = std::vector<BYTE>;

SYSTEMTIME MakeTime(int year, int month, int day, int hour, int minute, int second)
{
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    t.wHour = static_cast<WORD>(hour);
    t.wMinute = static_cast<WORD>(minute);
    t.wSecond = static_cast<WORD>(second);
    t.wDayOfWeek = 3;
    t.wMilliseconds = 999;
    return t;
}

BYTE Sum(const BYTE* p, size_t n)
{
    unsigned s = 0;
    for (size_t i = 0; i < n; i++) {
        s += p[i];
    }
    return static_cast<BYTE>(s);
}

std::string Hex(const Bytes& b)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (BYTE v : b) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

// Text number i of a history, each with its own time stamp and length.
SYSTEMTIME TimeFor(int i)
{
    return MakeTime(2021, 4, 13, 10 + i / 3600, (i / 60) % 60, i % 60);
}
std::string TextFor(int i)
{
    return "line " + std::to_string(i) + " " + std::string(i % 40, char('a' + i % 26));
}

// A record as LOG_Get serves it.
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
    DWORD ptr = 0;
    DWORD kind = 0;
    SYSTEMTIME t{};
    for (BOOL first = TRUE; out.size() < 5000; first = FALSE) {
        if (LOG_Get(&t, buf, sizeof buf, first, &ptr, &kind) == 0) {
            break;
        }
        out.push_back({buf, t, kind, ptr});
    }
    return out;
}

bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond;
}

// The history index of a served record, or -1 when it is no text written.
int IndexOf(const Served& s, int nWritten)
{
    std::string text;
    for (size_t i = 0; i + 1 < s.hex.size(); i += 2) {
        text += char(std::stoi(s.hex.substr(i, 2), nullptr, 16));
    }
    if (text.compare(0, 5, "line ") != 0) {
        return -1;
    }
    int i = std::atoi(text.c_str() + 5);
    if (i < 0 || i >= nWritten || text != TextFor(i) || !SameTime(s.time, TimeFor(i)) || s.kind != 3) {
        return -1;
    }
    return i;
}

// The time stamp bytes of text i as a record holds them.
Bytes TimeBytes(int i)
{
    SYSTEMTIME t = TimeFor(i);
    return {0x07, 0xE5, BYTE(t.wMonth), BYTE(t.wDay), BYTE(t.wHour), BYTE(t.wMinute), BYTE(t.wSecond), 0};
}

// This file's own encoding of text i as a one-record text of generation gen.
Bytes RecordFor(int i, int gen)
{
    const std::string text = TextFor(i);
    Bytes rec = TimeBytes(i);
    rec.push_back(0);
    rec.push_back(BYTE(text.size()));
    rec.push_back(BYTE(0xC0 | gen));
    rec.push_back(Sum(reinterpret_cast<const BYTE*>(text.data()), text.size()));
    rec.insert(rec.end(), text.begin(), text.end());
    rec.resize(SLOT, 0);
    return rec;
}

void SetOffset(Bytes& b, DWORD v)
{
    b[0] = BYTE(v >> 24);
    b[1] = BYTE(v >> 16);
    b[2] = BYTE(v >> 8);
    b[3] = BYTE(v);
}

// What a reader must see of a ring of nSlots one-record texts written in this
// order: the newest first, down to the oldest still in the ring — except that
// in a full ring the oldest sits at the write position, where the walk ends.
std::vector<int> ExpectedServed(std::vector<int> written, size_t nSlots)
{
    if (written.size() > nSlots) {
        written.erase(written.begin(), written.end() - static_cast<long>(nSlots));
    }
    if (written.size() == nSlots) {
        written.erase(written.begin());
    }
    std::reverse(written.begin(), written.end());
    return written;
}

std::vector<int> ServedIndexes(int nWritten)
{
    std::vector<int> out;
    for (const Served& s : ReadAll()) {
        out.push_back(IndexOf(s, nWritten));
    }
    return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t n)
{
    return Bytes(b.begin() + long(from), b.begin() + long(from + n));
}

class RingLog : public ::testing::Test {
   protected:
    void SetUp() override { LOG_Init(); }
    void TearDown() override { LOG_Exit(); }

    BOOL Write(int i)
    {
        SYSTEMTIME t = TimeFor(i);
        std::string text = TextFor(i);
        return LOG_Write(&t, text.data(), static_cast<int>(text.size()));
    }

    TempDir dir;
    std::string logPath = dir.file("kovalan.log");
    std::string bakPath = dir.file("kovalan.lbk");
};

TEST_F(RingLog, FirstTextsLandByteForByteInSlotAndJournal)
{
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    SYSTEMTIME t = MakeTime(2021, 4, 13, 9, 8, 7);
    const char text[] = {'H', 'i', '\x00', '\xFF'};
    ASSERT_TRUE(LOG_Write(&t, text, 4));

    // 2021 high byte first, 04-13 09:08:07, reserved 0; length 4; written,
    // first, generation 0; sum 0x48 + 0x69 + 0x00 + 0xFF = 0x1B0; the data.
    Bytes slot = {0x07, 0xE5, 4, 13, 9, 8, 7, 0, 0x00, 0x04, 0xC0, 0xB0, 'H', 'i', 0x00, 0xFF};
    slot.resize(64, 0);
    EXPECT_EQ(ReadFileBytes(logPath), slot);

    Bytes bak = {0, 0, 0, 0};
    bak.insert(bak.end(), slot.begin(), slot.end());
    bak.push_back(0);
    bak.push_back(Sum(bak.data(), 69));
    EXPECT_EQ(ReadFileBytes(bakPath), bak);

    // The second record's journal names offset 64.
    t.wSecond = 8;
    ASSERT_TRUE(LOG_Write(&t, "ok", 2));
    Bytes bak2 = ReadFileBytes(bakPath);
    ASSERT_EQ(bak2.size(), 70u);
    EXPECT_EQ(Slice(bak2, 0, 4), (Bytes{0, 0, 0, 0x40}));
    EXPECT_EQ(bak2[4 + 6], 8);
    EXPECT_EQ(Slice(bak2, 4 + 8, 4), (Bytes{0x00, 0x02, 0xC0, 0xDA}));
    EXPECT_EQ(bak2[69], Sum(bak2.data(), 69));
    EXPECT_EQ(Slice(ReadFileBytes(logPath), 64, 64), Slice(bak2, 4, 64));

    DWORD logSize = 0, fileSize = 0, recSize = 0;
    LOG_GetSize(&logSize, &fileSize, &recSize);
    EXPECT_EQ(logSize, 1024u);
    EXPECT_EQ(fileSize, 128u);
    EXPECT_EQ(recSize, 64u);
}

TEST_F(RingLog, LongTextRunsOverRecordsAndOnlyTheFirstCarriesTheFirstMark)
{
    // Three slots, wrapped once, so the text is written in generation 1.
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 3 * SLOT));
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(Write(i));
    }
    Bytes text(53);
    for (size_t i = 0; i < text.size(); i++) {
        text[i] = static_cast<BYTE>(i * 37 + 200);
    }
    SYSTEMTIME t = MakeTime(2022, 12, 31, 23, 59, 58);
    ASSERT_TRUE(LOG_Write(&t, reinterpret_cast<const char*>(text.data()), 53));

    Bytes file = ReadFileBytes(logPath);
    ASSERT_EQ(file.size(), 3 * SLOT);
    EXPECT_EQ(Slice(file, 0, 8), Slice(file, 64, 8)) << "both pieces carry the text's time";
    EXPECT_EQ(Slice(file, 8, 4), (Bytes{0, 52, 0xC1, Sum(text.data(), 52)}));
    EXPECT_EQ(Slice(file, 12, 52), Slice(text, 0, 52));
    EXPECT_EQ(Slice(file, 64 + 8, 4), (Bytes{0, 1, 0x81, text[52]}));
    EXPECT_EQ(file[64 + 12], text[52]);
    EXPECT_EQ(Slice(file, 64 + 13, 51), Bytes(51, 0));

    // An empty text succeeds and touches neither file.
    Bytes bak = ReadFileBytes(bakPath);
    EXPECT_TRUE(LOG_Write(&t, "", 0));
    EXPECT_EQ(ReadFileBytes(logPath), file);
    EXPECT_EQ(ReadFileBytes(bakPath), bak);

    std::vector<Served> got = ReadAll();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].hex, Hex(Slice(text, 52, 1)));
    EXPECT_EQ(got[0].kind, LOG_KIND_WRITTEN);
    EXPECT_EQ(got[1].hex, Hex(Slice(text, 0, 52)));
    EXPECT_EQ(got[1].kind, LOG_KIND_WRITTEN + LOG_KIND_FIRST);
    EXPECT_TRUE(SameTime(got[1].time, t));
}

TEST_F(RingLog, TextsComeBackNewestFirstThenTheEndAndSurviveAReopen)
{
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(Write(i));
    }
    for (int round = 0; round < 2; round++) {
        std::vector<Served> got = ReadAll();
        ASSERT_EQ(got.size(), 3u);
        for (int k = 0; k < 3; k++) {
            EXPECT_EQ(IndexOf(got[k], 3), 2 - k);
            EXPECT_EQ(got[k].kind, 3u);
            EXPECT_EQ(got[k].ptr, DWORD(2 - k) * SLOT);
        }
        // A clean reopen writes nothing.
        LOG_Close();
        Bytes log = ReadFileBytes(logPath), bak = ReadFileBytes(bakPath);
        ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
        EXPECT_EQ(ReadFileBytes(logPath), log);
        EXPECT_EQ(ReadFileBytes(bakPath), bak);
    }
    ASSERT_TRUE(Write(3));
    EXPECT_EQ(ServedIndexes(4), (std::vector<int>{3, 2, 1, 0}));
}

TEST_F(RingLog, GetNeverWritesBeyondMaxLengthOrFollowsABadPosition)
{
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    SYSTEMTIME t = MakeTime(2021, 1, 2, 3, 4, 5);
    ASSERT_TRUE(LOG_Write(&t, "0123456789", 10));
    char buf[32];
    DWORD ptr = 7, kind = 7;
    SYSTEMTIME got{};
    struct {
        int nMax;
        int digits;
    } cases[] = {{-1, 0}, {0, 0}, {1, 0}, {2, 0}, {3, 2}, {6, 4}, {21, 20}, {22, 20}, {32, 20}};
    for (auto c : cases) {
        SCOPED_TRACE(c.nMax);
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(LOG_Get(&got, buf, c.nMax, TRUE, &ptr, &kind), c.digits);
        if (c.nMax < 1) {
            EXPECT_EQ(buf[0], '#');
            continue;
        }
        EXPECT_EQ(std::string(buf), std::string("30313233343536373839").substr(0, size_t(c.digits)));
        for (int i = c.digits + 1; i < int(sizeof buf); i++) {
            ASSERT_EQ(buf[i], '#') << "byte " << i;
        }
    }
    EXPECT_TRUE(SameTime(got, t));
    EXPECT_EQ(got.wMilliseconds, 0);
    for (DWORD bad : {DWORD(0x41), DWORD(1024), DWORD(0xFFFFFFC0)}) {
        ptr = bad;
        EXPECT_EQ(LOG_Get(&got, buf, sizeof buf, FALSE, &ptr, &kind), 0) << bad;
    }
}

TEST_F(RingLog, ClosedStoreRefusesWritesServesNothingAndKeepsItsSizes)
{
    SYSTEMTIME t = TimeFor(0);
    char buf[64];
    DWORD ptr = 0, kind = 0;
    EXPECT_FALSE(LOG_Write(&t, "x", 1));
    EXPECT_FALSE(LOG_Write(&t, "", 0));
    EXPECT_EQ(LOG_Get(&t, buf, sizeof buf, TRUE, &ptr, &kind), 0);
    EXPECT_FALSE(LOG_Open(logPath.c_str(), 0));
    EXPECT_FALSE(LOG_Open(logPath.c_str(), 100));

    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    ASSERT_TRUE(Write(0));
    LOG_Close();
    EXPECT_FALSE(Write(1));
    EXPECT_EQ(LOG_Get(&t, buf, sizeof buf, TRUE, &ptr, &kind), 0);
    DWORD logSize = 0, fileSize = 0, recSize = 0;
    LOG_GetSize(&logSize, &fileSize, &recSize);
    EXPECT_EQ(logSize, 1024u);
    EXPECT_EQ(fileSize, 64u);
    EXPECT_EQ(ReadFileBytes(logPath).size(), 64u);
}

TEST_F(RingLog, SecondOpenReplacesTheFirstStore)
{
    TempDir other;
    std::string otherPath = other.file("other.log");
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    ASSERT_TRUE(Write(0));
    ASSERT_TRUE(LOG_Open(otherPath.c_str(), 512));
    ASSERT_TRUE(Write(1));
    EXPECT_EQ(ReadFileBytes(logPath).size(), 64u);
    EXPECT_EQ(ServedIndexes(2), (std::vector<int>{1}));
    DWORD logSize = 0;
    LOG_GetSize(&logSize, nullptr, nullptr);
    EXPECT_EQ(logSize, 512u);
    EXPECT_EQ(ReadFileBytes(other.file("other.lbk")).size(), 70u);
}

TEST_F(RingLog, FailedDeviceWriteClosesTheStore)
{
    std::string fullPath = dir.file("full.log");
    if (symlink("/dev/full", fullPath.c_str()) != 0 || !LOG_Open(fullPath.c_str(), 1024)) {
        GTEST_SKIP() << "/dev/full is not usable here";
    }
    EXPECT_FALSE(Write(0));
    EXPECT_FALSE(Write(1)) << "the store stays closed";
    char buf[64];
    DWORD ptr = 0, kind = 0;
    SYSTEMTIME t{};
    EXPECT_EQ(LOG_Get(&t, buf, sizeof buf, TRUE, &ptr, &kind), 0);
}

// ---- Wrap-around --------------------------------------------------------------

TEST_F(RingLog, FullRingWrapsToSlotZeroInTheNextGenerationAndReopensAfterIt)
{
    constexpr DWORD capacity = 262144;
    constexpr int slots = 4096;
    // Two device syncs per record make 4096 of them take half a minute on a
    // disk: the first 4032 records are laid down here, the store writes the
    // last 64 and goes on from there.
    constexpr int prefilled = 4032;
    Bytes file;
    for (int i = 0; i < prefilled; i++) {
        Bytes rec = RecordFor(i, 0);
        file.insert(file.end(), rec.begin(), rec.end());
    }
    WriteFileBytes(logPath, file);
    ASSERT_TRUE(LOG_Open(logPath.c_str(), capacity));
    for (int i = prefilled; i < slots; i++) {
        ASSERT_TRUE(Write(i));
    }
    DWORD fileSize = 0;
    LOG_GetSize(nullptr, &fileSize, nullptr);
    EXPECT_EQ(fileSize, capacity);
    ASSERT_TRUE(Write(slots));
    file = ReadFileBytes(logPath);
    ASSERT_EQ(file.size(), capacity);
    EXPECT_EQ(Slice(file, 0, SLOT), RecordFor(slots, 1));
    EXPECT_EQ(Slice(file, SLOT, SLOT), RecordFor(1, 0));
    EXPECT_EQ(Slice(file, 4095 * SLOT, SLOT), RecordFor(4095, 0));

    LOG_Close();
    ASSERT_TRUE(LOG_Open(logPath.c_str(), capacity));
    ASSERT_TRUE(Write(slots + 1));
    file = ReadFileBytes(logPath);
    EXPECT_EQ(Slice(file, SLOT, SLOT), RecordFor(slots + 1, 1)) << "the first slot of the old generation";
    EXPECT_EQ(Slice(file, 2 * SLOT, SLOT), RecordFor(2, 0));

    std::vector<int> written;
    for (int i = 0; i <= slots + 1; i++) {
        written.push_back(i);
    }
    EXPECT_EQ(ServedIndexes(slots + 2), ExpectedServed(written, slots));
}

TEST_F(RingLog, RingEndingAtItsLastSlotReopensAtSlotZeroWithGenerationsCountingModulo16)
{
    for (int round = 0; round < 18; round++) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(LOG_Open(logPath.c_str(), 2 * SLOT));
        ASSERT_TRUE(Write(2 * round));
        ASSERT_TRUE(Write(2 * round + 1));
        LOG_Close();
        Bytes file = ReadFileBytes(logPath);
        ASSERT_EQ(file.size(), 2 * SLOT);
        EXPECT_EQ(Slice(file, 0, SLOT), RecordFor(2 * round, round % 16));
        EXPECT_EQ(Slice(file, SLOT, SLOT), RecordFor(2 * round + 1, round % 16));
    }
}

// ---- Files the store finds at open ------------------------------------------

TEST_F(RingLog, PartialLastSlotIsPaddedAndSkipped)
{
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    ASSERT_TRUE(Write(0));
    LOG_Close();
    Bytes file = ReadFileBytes(logPath);
    file.insert(file.end(), 36, 0xAB);
    WriteFileBytes(logPath, file);

    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    DWORD fileSize = 0;
    LOG_GetSize(nullptr, &fileSize, nullptr);
    EXPECT_EQ(fileSize, 128u);
    Bytes padded = file;
    padded.insert(padded.end(), 28, 0);
    EXPECT_EQ(ReadFileBytes(logPath), padded);
    EXPECT_EQ(ServedIndexes(1), (std::vector<int>{0}));

    ASSERT_TRUE(Write(1));
    Bytes after = ReadFileBytes(logPath);
    ASSERT_EQ(after.size(), 192u);
    EXPECT_EQ(Slice(after, 0, 128), padded);
    EXPECT_EQ(ServedIndexes(2), (std::vector<int>{1, 0}));
}

TEST_F(RingLog, LogFileLargerThanTheRingIsStartedAfresh)
{
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(Write(i));
    }
    LOG_Close();
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 2 * SLOT));
    EXPECT_EQ(ReadFileBytes(logPath).size(), 0u);
    EXPECT_TRUE(ReadAll().empty());
    ASSERT_TRUE(Write(3));
    EXPECT_EQ(ServedIndexes(4), (std::vector<int>{3}));
    EXPECT_EQ(ReadFileBytes(logPath).size(), 64u);
}

// A store of three texts whose last slot has been wiped, with the journal
// that would restore it; each case spoils the journal in one way.
TEST_F(RingLog, UntrustworthyJournalNeverRewritesASlot)
{
    ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(Write(i));
    }
    LOG_Close();
    Bytes log = ReadFileBytes(logPath);
    const Bytes goodBak = ReadFileBytes(bakPath);
    ASSERT_EQ(Slice(goodBak, 0, 4), (Bytes{0, 0, 0, 0x80}));
    std::fill(log.begin() + 128, log.end(), 0);

    struct Case {
        const char* name;
        void (*spoil)(Bytes&);
        bool bFixSum;
        bool bRepairs;
    };
    const Case cases[] = {
        {"intact", [](Bytes&) {}, false, true},
        {"journal sum", [](Bytes& b) { b[69] ^= 1; }, false, false},
        {"unaligned offset", [](Bytes& b) { SetOffset(b, 0x81); }, true, false},
        {"offset at capacity", [](Bytes& b) { SetOffset(b, 1024); }, true, false},
        {"slot beyond the file", [](Bytes& b) { SetOffset(b, 0x100); }, true, false},
        {"record length 0", [](Bytes& b) { b[4 + 8] = 0, b[4 + 9] = 0; }, true, false},
        {"record length 53", [](Bytes& b) { b[4 + 8] = 0, b[4 + 9] = 53; }, true, false},
        {"record sum", [](Bytes& b) { b[4 + 11] ^= 0x10; }, true, false},
        {"no written mark", [](Bytes& b) { b[4 + 10] &= 0x7F; }, true, false},
        {"unused flag bit", [](Bytes& b) { b[4 + 10] |= 0x10; }, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bak = goodBak;
        c.spoil(bak);
        if (c.bFixSum) {
            bak[69] = Sum(bak.data(), 69);
        }
        WriteFileBytes(logPath, log);
        WriteFileBytes(bakPath, bak);
        ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
        LOG_Close();
        if (c.bRepairs) {
            Bytes repaired = log;
            std::copy(goodBak.begin() + 4, goodBak.begin() + 68, repaired.begin() + 128);
            EXPECT_EQ(ReadFileBytes(logPath), repaired);
        } else {
            EXPECT_EQ(ReadFileBytes(logPath), log);
        }
    }

    // A journal of any other size than 70 bytes is emptied, never used.
    for (size_t size : {size_t(69), size_t(71), size_t(140)}) {
        SCOPED_TRACE(size);
        Bytes bak = goodBak;
        bak.resize(size, 0);
        WriteFileBytes(logPath, log);
        WriteFileBytes(bakPath, bak);
        ASSERT_TRUE(LOG_Open(logPath.c_str(), 1024));
        EXPECT_EQ(ServedIndexes(3), (std::vector<int>{1, 0}));
        LOG_Close();
        EXPECT_EQ(ReadFileBytes(logPath), log);
        EXPECT_EQ(ReadFileBytes(bakPath).size(), 0u);
    }
}

// ---- Power loss during a record write -----------------------------------------

// Files before and after the last of nTexts one-record texts was written.
struct History {
    int nTexts;
    size_t nSlots;
    DWORD slot;  // offset of the last record
    Bytes logBefore, bakBefore, logAfter, bakAfter;
};

class RingLogTorn : public RingLog {
   protected:
    History MakeHistory(int nTexts, size_t nSlots)
    {
        History h{nTexts, nSlots, DWORD((nTexts - 1) % nSlots) * SLOT, {}, {}, {}, {}};
        unlink(logPath.c_str());
        unlink(bakPath.c_str());
        const DWORD capacity = DWORD(nSlots) * SLOT;
        EXPECT_TRUE(LOG_Open(logPath.c_str(), capacity));
        for (int i = 0; i < nTexts - 1; i++) {
            EXPECT_TRUE(Write(i));
        }
        LOG_Close();
        h.logBefore = ReadFileBytes(logPath);
        h.bakBefore = ReadFileBytes(bakPath);
        EXPECT_TRUE(LOG_Open(logPath.c_str(), capacity));
        EXPECT_TRUE(Write(nTexts - 1));
        LOG_Close();
        h.logAfter = ReadFileBytes(logPath);
        h.bakAfter = ReadFileBytes(bakPath);
        EXPECT_EQ(h.bakBefore.size(), 70u);
        EXPECT_EQ(Slice(h.bakAfter, 0, 4), (Bytes{0, 0, BYTE(h.slot >> 8), BYTE(h.slot)}));
        return h;
    }

    // Opens the torn files and checks that the store holds every text it held
    // before plus, when bLastKept, the last one; that the files are exactly
    // the before or after image; and that the next text lands after them.
    void CheckReopen(const History& h, const Bytes& log, const Bytes& bak, bool bLastKept)
    {
        WriteFileBytes(logPath, log);
        WriteFileBytes(bakPath, bak);
        ASSERT_TRUE(LOG_Open(logPath.c_str(), DWORD(h.nSlots) * SLOT));
        EXPECT_EQ(ReadFileBytes(logPath), bLastKept ? h.logAfter : h.logBefore);

        std::vector<int> written;
        for (int i = 0; i < h.nTexts - (bLastKept ? 0 : 1); i++) {
            written.push_back(i);
        }
        EXPECT_EQ(ServedIndexes(h.nTexts + 1), ExpectedServed(written, h.nSlots));

        ASSERT_TRUE(Write(h.nTexts));
        written.push_back(h.nTexts);
        EXPECT_EQ(ServedIndexes(h.nTexts + 1), ExpectedServed(written, h.nSlots));
        LOG_Close();
    }

    // The journal write cut after byte j; the log file was not reached.
    void TearJournal(int nTexts, size_t nSlots)
    {
        SCOPED_TRACE(::testing::Message() << nTexts << " texts in " << nSlots << " slots");
        History h = MakeHistory(nTexts, nSlots);
        for (size_t j = 0; j <= 70; j++) {
            SCOPED_TRACE(::testing::Message() << "journal cut at " << j);
            Bytes bak = Slice(h.bakAfter, 0, j);
            bak.insert(bak.end(), h.bakBefore.begin() + long(j), h.bakBefore.end());
            // Only a complete journal naming a slot of the file restores it.
            CheckReopen(h, h.logBefore, bak, bak == h.bakAfter && h.slot < h.logBefore.size());
        }
    }

    // The journal complete, the slot write cut after byte j; a slot past the
    // old end of the file leaves the file ending at the cut.
    void TearSlot(int nTexts, size_t nSlots)
    {
        SCOPED_TRACE(::testing::Message() << nTexts << " texts in " << nSlots << " slots");
        History h = MakeHistory(nTexts, nSlots);
        const bool bPastEnd = h.logBefore.size() <= h.slot;
        for (size_t j = 0; j <= 64; j++) {
            SCOPED_TRACE(::testing::Message() << "slot cut at " << j);
            Bytes log;
            if (bPastEnd) {
                log = Slice(h.logAfter, 0, h.slot + j);
            } else {
                log = h.logBefore;
                std::copy(h.logAfter.begin() + h.slot, h.logAfter.begin() + long(h.slot + j), log.begin() + h.slot);
            }
            // Only a slot that is not in the file at all cannot be restored.
            CheckReopen(h, log, h.bakAfter, !(bPastEnd && j == 0));
        }
    }
};

// Cases: a ring that has not wrapped; one whose last slot is the one written;
// the first record of the second round (slot 0 over an older record); a
// record in the middle of the second round.
TEST_F(RingLogTorn, TornJournalWriteNeverServesAHalfRecordNorLosesAnOlderOne)
{
    TearJournal(5, 16);
    TearJournal(16, 16);
    TearJournal(17, 16);
    TearJournal(22, 16);
}

TEST_F(RingLogTorn, TornSlotWriteIsRestoredFromTheJournalEvenWhenItStillSums)
{
    TearSlot(5, 16);
    TearSlot(16, 16);
    TearSlot(17, 16);
    TearSlot(22, 16);
}

}  // namespace
