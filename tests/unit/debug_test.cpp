#include "debug.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testsupport::StdoutTap;

const std::string STAMP = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} )";

// Stands in for the ring log file: collects records, and can hold the log
// thread inside a write to stall it.
struct FakeLogFile {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> records;
    bool stalled = false;
    int writesStarted = 0;
};
FakeLogFile* s_fake = nullptr;

BOOL FakeWrite(const SYSTEMTIME*, const char* data, int length)
{
    std::unique_lock<std::mutex> lock(s_fake->mutex);
    ++s_fake->writesStarted;
    s_fake->changed.notify_all();
    s_fake->changed.wait(lock, [] { return !s_fake->stalled; });
    s_fake->records.emplace_back(data, static_cast<size_t>(length));
    s_fake->changed.notify_all();
    return TRUE;
}

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        s_fake = &m_fake;
        Debug_SetLogWriterForTest(FakeWrite);
        m_tap = std::make_unique<StdoutTap>();
        ASSERT_TRUE(OpenLogFile(m_dir.file("kovalan.log").c_str(), 64 * 64));
        SetLogFlag(TRUE, LOG_CAT_WARNING | LOG_CAT_INFO);
    }
    void TearDown() override
    {
        Release();
        StopAndReadOutput();
        Debug_SetLogWriterForTest(nullptr);
        SetLogFlag(FALSE, 0);
        s_fake = nullptr;
    }
    std::string StopAndReadOutput()
    {
        if (m_tap != nullptr) {
            FreeDebugPrint();  // stops the log thread after it drained the queue
            m_output = m_tap->Text();
            m_tap.reset();
        }
        return m_output;
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(m_fake.mutex);
        m_fake.stalled = false;
        m_fake.changed.notify_all();
    }
    template <typename Pred>
    bool WaitForFake(Pred pred)
    {
        std::unique_lock<std::mutex> lock(m_fake.mutex);
        return m_fake.changed.wait_for(lock, std::chrono::seconds(5), pred);
    }
    std::vector<std::string> Records()
    {
        std::lock_guard<std::mutex> lock(m_fake.mutex);
        return m_fake.records;
    }

    testsupport::TempDir m_dir;
    FakeLogFile m_fake;
    std::unique_ptr<StdoutTap> m_tap;
    std::string m_output;
};

TEST_F(DebugLogTest, EveryLineCarriesTheTimePrefixButOnlyEnabledCategoriesReachAnOpenFile)
{
    DebugLog(LOG_CAT_RADIO, "Rx: V\n");  // printed, not enabled for the file
    DebugLog(LOG_CAT_WARNING, "[W] kept %d\n", 7);
    DebugLog(LOG_CAT_WARNING, "%s", "");  // an empty message: prefix only, nothing queued
    DebugPrint("plain %s\n", "line");  // never for the file
    SetLogFlag(FALSE, LOG_CAT_WARNING);
    DebugLog(LOG_CAT_WARNING, "[W] disabled\n");
    SetLogFlag(TRUE, LOG_CAT_WARNING);
    CloseLogFile();
    DebugLog(LOG_CAT_WARNING, "[W] closed\n");
    std::string out = StopAndReadOutput();
    for (const char* line : {"Rx: V\n", "\\[W\\] kept 7\n", "plain line\n", "\\[W\\] closed\n"}) {
        EXPECT_TRUE(std::regex_search(out, std::regex(STAMP + line))) << line;
    }
    EXPECT_TRUE(std::regex_search(out, std::regex("\n" + STAMP + R"(\d{4}/)"))) << "the empty message's prefix";
    EXPECT_EQ(Records(), (std::vector<std::string>{"[W] kept 7\n"}));
}

TEST_F(DebugLogTest, LongMessageIsCutAt519CharactersOnTheConsoleAnd512InTheFile)
{
    std::string message(600, 'x');
    DebugLog(LOG_CAT_WARNING, "%s\n", message.c_str());
    // 519 characters in all with the time prefix; a cut line still ends with its line feed.
    EXPECT_TRUE(std::regex_search(StopAndReadOutput(), std::regex("(^|\n)" + STAMP + "x{498}\n")));
    EXPECT_EQ(Records(), std::vector<std::string>{std::string(512, 'x')});
}

std::atomic<bool> s_producerDone{false};

DWORD LogOneMore(LPVOID)
{
    DebugLog(LOG_CAT_WARNING, "[W] waiting\n");
    s_producerDone.store(true);
    return 0;
}

// The log thread is held inside the write of "first" while 64 records fill
// the queue. A producer that finds it full prints its line, then waits: for
// a free record, or until logging is disabled, when its line is dropped.
TEST_F(DebugLogTest, FullQueueHoldsTheProducerUntilARecordFreesOrLoggingStops)
{
    for (bool disable : {false, true}) {
        SCOPED_TRACE(disable ? "logging disabled" : "record freed");
        {
            std::lock_guard<std::mutex> lock(m_fake.mutex);
            m_fake.records.clear();
            m_fake.writesStarted = 0;
            m_fake.stalled = true;
        }
        SetLogFlag(TRUE, LOG_CAT_WARNING);
        DebugLog(LOG_CAT_WARNING, "[W] first\n");
        std::vector<std::string> want = {"[W] first\n"};
        ASSERT_TRUE(WaitForFake([&] { return m_fake.writesStarted == 1; }));
        for (int i = 0; i < 64; ++i) {
            DebugLog(LOG_CAT_WARNING, "[W] queued %d\n", i);
            want.push_back("[W] queued " + std::to_string(i) + "\n");
        }
        s_producerDone.store(false);
        const int printed = m_tap->Count("[W] waiting\n");
        HANDLE producer = CreateThread(nullptr, 0, LogOneMore, nullptr, 0, nullptr);
        ASSERT_NE(producer, nullptr);
        ASSERT_TRUE(m_tap->WaitForCount("[W] waiting\n", printed + 1, std::chrono::milliseconds(5000)));
        EXPECT_FALSE(s_producerDone.load()) << "a full queue must hold the producer";
        if (disable) {
            SetLogFlag(FALSE, LOG_CAT_WARNING);
            for (int i = 0; i < 2500 && !s_producerDone.load(); ++i) {
                Sleep(2);
            }
            EXPECT_TRUE(s_producerDone.load()) << "disabling logging must release the producer";
        }
        Release();
        WaitForSingleObject(producer, INFINITE);
        CloseHandle(producer);
        if (!disable) {  // the waiting line is dropped only when logging stops
            want.push_back("[W] waiting\n");
        }
        ASSERT_TRUE(WaitForFake([&] { return m_fake.records.size() >= want.size(); }));
        EXPECT_EQ(Records(), want);
    }
}

TEST(DebugOutput, DumpPrintsSixteenBytesARowAndNothingIsPrintedBeforeStartOrAfterStop)
{
    const std::string text = std::string("A\0\x7F", 3) + "DEFGHIJKLMNOPQRST";
    const BYTE* data = reinterpret_cast<const BYTE*>(text.data());
    testing::internal::CaptureStdout();
    DebugPrint("before\n");
    InitDebugPrint();
    DebugDump("Rx TCP", data, 20);
    FreeDebugPrint();
    DebugPrint("after\n");
    DebugDump("after", data, 20);
    std::string out = testing::internal::GetCapturedStdout();
    for (const char* row : {R"(Rx TCP \[0000\] 41 00 7F 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 \|A\.\.DEFGHIJKLMNOP\|\n)",
                            R"(Rx TCP \[0010\] 51 52 53 54 \|QRST\|\n)"}) {
        EXPECT_TRUE(std::regex_search(out, std::regex(STAMP + row))) << out;
    }
    EXPECT_FALSE(std::regex_search(out, std::regex("before|after"))) << out;
}

}  // namespace
