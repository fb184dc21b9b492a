// Debug output: line format and cuts, which lines reach the log file, the
// log queue's back-pressure, and the hex dump layout.
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

using testsupport::DebugCapture;

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
        m_capture = std::make_unique<DebugCapture>();
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
        if (m_capture == nullptr) {
            return m_output;
        }
        m_output = m_capture->text();  // stops the log thread after it drained the queue
        m_capture.reset();
        return m_output;
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(m_fake.mutex);
        m_fake.stalled = false;
        m_fake.changed.notify_all();
    }
    std::vector<std::string> Records()
    {
        std::lock_guard<std::mutex> lock(m_fake.mutex);
        return m_fake.records;
    }

    testsupport::TempDir m_dir;
    FakeLogFile m_fake;
    std::unique_ptr<DebugCapture> m_capture;
    std::string m_output;
};

TEST_F(DebugLogTest, EveryLineCarriesTheTimePrefixButOnlyEnabledCategoriesReachTheFile)
{
    DebugLog(LOG_CAT_RADIO, "Rx: V\n");  // printed, not enabled for the file
    DebugLog(LOG_CAT_WARNING, "[W] kept %d\n", 7);
    DebugLog(LOG_CAT_WARNING, "%s", "");  // an empty message: prefix only, nothing queued
    DebugPrint("plain %s\n", "line");  // never for the file
    std::string out = StopAndReadOutput();

    std::regex prefix(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} )");
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} Rx: V\n)")));
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \[W\] kept 7\n)")));
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \d{4}/)")));
    EXPECT_NE(out.find("plain line\n"), std::string::npos);
    EXPECT_EQ(Records(), (std::vector<std::string>{"[W] kept 7\n"}));
}

TEST_F(DebugLogTest, LongMessageIsCutAt519CharactersOnTheConsoleAnd512InTheFile)
{
    std::string message(600, 'x');
    DebugLog(LOG_CAT_WARNING, "%s\n", message.c_str());
    std::string out = StopAndReadOutput();
    size_t start = out.find("xxx") - 20;
    size_t end = out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    // 519 characters in all; a cut line still ends with its line feed.
    EXPECT_EQ(end + 1 - start, 519u);
    ASSERT_EQ(Records().size(), 1u);
    EXPECT_EQ(Records()[0], std::string(512, 'x'));
}

TEST_F(DebugLogTest, DisabledLoggingOrClosedFileQueuesNothing)
{
    SetLogFlag(FALSE, LOG_CAT_WARNING);
    DebugLog(LOG_CAT_WARNING, "[W] one\n");
    SetLogFlag(TRUE, LOG_CAT_WARNING);
    CloseLogFile();
    DebugLog(LOG_CAT_WARNING, "[W] two\n");
    std::string out = StopAndReadOutput();
    EXPECT_NE(out.find("[W] two"), std::string::npos);
    EXPECT_TRUE(Records().empty());
}

std::atomic<bool> s_producerDone{false};

DWORD LogOneMore(LPVOID)
{
    DebugLog(LOG_CAT_WARNING, "[W] waiting\n");
    s_producerDone.store(true);
    return 0;
}

TEST_F(DebugLogTest, FullQueueMakesTheProducerWaitAndDisablingLoggingReleasesIt)
{
    {
        std::lock_guard<std::mutex> lock(m_fake.mutex);
        m_fake.stalled = true;
    }
    DebugLog(LOG_CAT_WARNING, "[W] first\n");
    {
        // The log thread has taken the first record and is stuck writing it.
        std::unique_lock<std::mutex> lock(m_fake.mutex);
        ASSERT_TRUE(m_fake.changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_fake.writesStarted == 1; }));
    }
    for (int i = 0; i < 64; ++i) {
        DebugLog(LOG_CAT_WARNING, "[W] queued %d\n", i);  // fills the 64 records
    }
    s_producerDone.store(false);
    HANDLE producer = CreateThread(nullptr, 0, LogOneMore, nullptr, 0, nullptr);
    ASSERT_NE(producer, nullptr);
    Sleep(100);
    EXPECT_FALSE(s_producerDone.load()) << "a full queue must hold the producer";

    SetLogFlag(FALSE, LOG_CAT_WARNING);
    WaitForSingleObject(producer, INFINITE);
    CloseHandle(producer);
    EXPECT_TRUE(s_producerDone.load());

    Release();
    StopAndReadOutput();
    std::vector<std::string> records = Records();
    ASSERT_EQ(records.size(), 65u);  // the waiting line was dropped, not queued
    EXPECT_EQ(records.front(), "[W] first\n");
    EXPECT_EQ(records.back(), "[W] queued 63\n");
}

TEST_F(DebugLogTest, FullQueueProducerContinuesOnceTheLogThreadFreesARecord)
{
    {
        std::lock_guard<std::mutex> lock(m_fake.mutex);
        m_fake.stalled = true;
    }
    for (int i = 0; i < 65; ++i) {
        DebugLog(LOG_CAT_WARNING, "[W] %d\n", i);
    }
    s_producerDone.store(false);
    HANDLE producer = CreateThread(nullptr, 0, LogOneMore, nullptr, 0, nullptr);
    Sleep(50);
    EXPECT_FALSE(s_producerDone.load());
    Release();
    WaitForSingleObject(producer, INFINITE);
    CloseHandle(producer);
    StopAndReadOutput();
    std::vector<std::string> records = Records();
    ASSERT_EQ(records.size(), 66u);
    EXPECT_EQ(records.back(), "[W] waiting\n");
}

TEST(DebugOutput, DumpPrintsSixteenBytesARowWithOffsetsAndPrintableText)
{
    DebugCapture capture;
    BYTE data[20];
    for (int i = 0; i < 20; ++i) {
        data[i] = static_cast<BYTE>(0x41 + i);
    }
    data[1] = 0x00;
    data[2] = 0x7F;
    DebugDump("Rx TCP", data, 20);
    DebugDump("none", data, 0);
    std::string out = capture.text();
    std::regex row1(
        R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} Rx TCP \[0000\] 41 00 7F 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 \|A\.\.DEFGHIJKLMNOP\|\n)");
    std::regex row2(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} Rx TCP \[0010\] 51 52 53 54 \|QRST\|\n)");
    EXPECT_TRUE(std::regex_search(out, row1)) << out;
    EXPECT_TRUE(std::regex_search(out, row2)) << out;
    EXPECT_EQ(out.find("none"), std::string::npos);
}

TEST(DebugOutput, NothingIsPrintedBeforeStartOrAfterStop)
{
    testing::internal::CaptureStdout();
    DebugPrint("before\n");
    InitDebugPrint();
    DebugPrint("during\n");
    FreeDebugPrint();
    DebugPrint("after\n");
    DebugLog(LOG_CAT_WARNING, "after too\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("before"), std::string::npos);
    EXPECT_NE(out.find("during"), std::string::npos);
    EXPECT_NE(out.find("start LOG thread\n"), std::string::npos);
    EXPECT_NE(out.find("end LOG thread\n"), std::string::npos);
    EXPECT_EQ(out.find("after"), std::string::npos);
}

}  // namespace
