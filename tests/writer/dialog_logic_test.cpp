// The writer dialog's logic, driven through a fake program that logs what it
// was asked, and the library records.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "dialog_logic.h"
#include "writer_strings.h"
#include "writer_test_support.h"

using namespace writertest;
using Lines = std::vector<std::string>;

namespace {

struct FakeWindow {
    std::u16string className, title;
    std::vector<std::u16string> children;
};

// Answers as the program would and logs every request as a short line.
class FakeHost : public IWriterDialogHost {
public:
    bool prepareOk = true;
    MfgPreparation preparation;
    std::uint32_t startResult = 0;
    std::vector<WindowId> order;
    std::map<WindowId, FakeWindow> windows;

    std::vector<std::string> log, messages;
    std::vector<std::uint32_t> posted;
    std::vector<WindowId> closed;
    std::vector<std::u16string> lines;
    bool fileSelectButton = false, startButton = false, closeButton = false;
    bool timerRunning = false, progressVisible = false;
    std::string preparedList;

    void AddWindow(WindowId id, std::u16string cls, std::u16string title, std::vector<std::u16string> children = {})
    {
        order.push_back(id);
        windows[id] = FakeWindow{std::move(cls), std::move(title), std::move(children)};
    }
    long Count(const std::string& line) const { return std::count(log.begin(), log.end(), line); }

    void EnableButtons(bool file, bool start, bool close) override
    {
        fileSelectButton = file, startButton = start, closeButton = close;
    }
    void SetWaitCursor(bool on) override { log.push_back(on ? "cursor on" : "cursor off"); }
    bool PrepareLibrary(std::uint32_t listKind, const char* listName, MfgPreparation& out) override
    {
        preparedList = std::to_string(listKind) + " " + listName;
        out = preparation;
        return prepareOk;
    }
    std::uint32_t StartFlashing() override { return log.push_back("start"), startResult; }
    void StopFlashing() override { log.push_back("stop"); }
    void ShowMessage(std::uint32_t id, WriterIcon icon) override
    {
        const char* icons[] = {"", " stop", " exclamation", " information"};
        log.push_back("message " + std::to_string(id) + icons[static_cast<int>(icon)]);
        messages.push_back(log.back());
    }
    void Pause(std::uint32_t ms) override { log.push_back("pause " + std::to_string(ms)); }
    void ShowProgressBar(bool visible) override { progressVisible = visible; }
    void SetProgressPosition(std::uint32_t percent) override { log.push_back("pos " + std::to_string(percent)); }
    void SetProgressUnknown() override { log.push_back("pos unknown"); }
    void ClearMessages() override { lines.clear(); }
    void AppendMessageLine(const std::u16string& text) override { lines.push_back(text); }
    void PostRunEnd(std::uint32_t result) override { posted.push_back(result); }
    void StartTimer(std::uint32_t id, std::uint32_t period) override
    {
        EXPECT_TRUE(id == WRITER_TIMER_ID && period == 50 && !timerRunning);
        timerRunning = true;
        log.push_back("timer on");
    }
    void KillTimer(std::uint32_t) override { timerRunning = false, log.push_back("timer off"); }
    void EndDialog() override { log.push_back("end dialog"); }
    std::vector<WindowId> TopLevelWindows() override { return order; }
    std::u16string WindowClassName(WindowId w) override { return windows[w].className; }
    std::u16string WindowTitle(WindowId w) override { return windows[w].title; }
    std::vector<std::u16string> ChildWindowTexts(WindowId w) override { return windows[w].children; }
    void BringDialogToForeground() override { log.push_back("foreground"); }
    void PostCloseCommand(WindowId w) override
    {
        closed.push_back(w);
        log.push_back("close " + std::to_string(w));
        order.erase(std::remove(order.begin(), order.end(), w), order.end());
    }
};

constexpr MfgPhase LOADER{MFG_LOADER_VENDOR, MFG_LOADER_PRODUCT, 3};
constexpr MfgPhase UPDATER{MFG_UPDATER_VENDOR, 0x1234, 5};

MfgProgress Done(std::uint32_t phase, std::uint32_t done, std::u16string text = u"step")
{
    return MfgProgress{std::move(text), done, MFG_PROGRESS_COMMAND_DONE, phase};
}
const MfgProgress FAILED{u"failed", 0, MFG_PROGRESS_RUN_FAILED, 0};

class DialogTest : public ::testing::Test {
protected:
    DialogTest() : m_logic(m_host, m_root / "firm")
    {
        std::filesystem::create_directory(m_root / "firm");
        m_host.preparation.bDevicePresent = true;
        m_host.preparation.phases = {LOADER, UPDATER};
    }

    void Choose(const Bytes& package)
    {
        WriteBytes(m_root / "pkg.bin", package);
        m_logic.OnPackageChosen(m_root / "pkg.bin");
    }
    void LoadGoodPackage(std::uint8_t imageKind = 0) { Choose(BuildPackage({{"u-boot.imx", {1, 2, 3}}}, imageKind)); }
    void StartRun()
    {
        m_logic.OnInitDialog(true);
        LoadGoodPackage();
        m_logic.OnStart();
        ASSERT_TRUE(m_logic.IsRunning());
    }
    void Ticks(unsigned n)
    {
        for (unsigned i = 0; i < n; ++i) {
            m_logic.OnTimer(WRITER_TIMER_ID);
        }
    }
    // Delivers what was posted, as the message loop would.
    void DeliverPosted()
    {
        std::vector<std::uint32_t> posted;
        posted.swap(m_host.posted);
        for (std::uint32_t result : posted) {
            m_logic.OnRunEnd(result);
        }
    }

    TempDir m_root;
    FakeHost m_host;
    CWriterDialogLogic m_logic;
};

}  // namespace

TEST_F(DialogTest, StartIsEnabledOnlyWithABoardAndALoadedPackageWhileNotRunning)
{
    m_logic.OnInitDialog(true);
    EXPECT_FALSE(m_host.startButton) << "a board but no package";
    EXPECT_TRUE(m_host.fileSelectButton);

    m_host.preparation.bDevicePresent = false;
    LoadGoodPackage();
    EXPECT_FALSE(m_host.startButton) << "a package but no board";
    m_logic.OnStart();
    EXPECT_FALSE(m_logic.IsRunning()) << "a stray Start without a board changes nothing";

    m_logic.OnDeviceChange(true);
    EXPECT_TRUE(m_host.startButton);
    m_logic.OnStart();
    m_logic.OnStart();
    EXPECT_TRUE(m_logic.IsRunning());
    EXPECT_EQ(m_host.Count("start"), 1);
    EXPECT_FALSE(m_host.startButton || m_host.fileSelectButton || m_host.closeButton);
    EXPECT_TRUE(m_host.progressVisible && m_host.timerRunning);
    m_logic.OnClose();
    EXPECT_EQ(m_host.Count("end dialog"), 0) << "Close is ignored while running";
}

TEST_F(DialogTest, ProgressOverTwoPhasesReachesHundredExactlyWhenDoneEqualsTotal)
{
    StartRun();
    EXPECT_EQ(m_logic.TotalCommands(), 8u);
    m_host.log.clear();
    for (std::uint32_t d = 1; d <= 7; ++d) {
        m_logic.OnProgress(Done(d <= 3 ? 0 : 1, d <= 3 ? d : d - 3));
    }
    EXPECT_TRUE(m_host.posted.empty()) << "done is still below the total";
    m_logic.OnProgress(Done(1, 5, u"Done!"));
    EXPECT_EQ(m_host.log, (std::vector<std::string>{"pos 12", "pos 25", "pos 37", "pos 50", "pos 62", "pos 75",
                                                    "pos 87", "pos 100"}));
    EXPECT_EQ(m_host.posted, (std::vector<std::uint32_t>{RUN_END_SUCCESS}));
    EXPECT_EQ(m_host.lines.back(), u"Done!");

    DeliverPosted();
    EXPECT_FALSE(m_logic.IsRunning() || m_host.progressVisible);
    EXPECT_TRUE(m_host.startButton) << "the board is still there";
    EXPECT_EQ(m_logic.LingerTicks(), WRITER_LINGER_TICKS);
    EXPECT_EQ(std::vector<std::string>(m_host.log.end() - 3, m_host.log.end()),
              (std::vector<std::string>{"stop", "pause 200", "message 105 information"}));
}

TEST_F(DialogTest, LibraryFailureStatusEndsTheRunAsAFailureOnceAndCloseThenEndsTheDialog)
{
    StartRun();
    m_host.log.clear();
    m_logic.OnRunEnd(7);  // only 0 and 1 end a run
    m_logic.OnProgress(FAILED);
    m_logic.OnProgress(FAILED);
    DeliverPosted();
    m_logic.OnClose();
    EXPECT_EQ(m_host.log, (Lines{"stop", "message 106 exclamation", "timer off", "end dialog"}));
}

// Closing a pop-up during the run must not stop the timer counting the board's absence.
TEST_F(DialogTest, BoardAwayFor300TicksEndsTheRunAsAFailure)
{
    StartRun();
    m_host.log.clear();
    m_host.AddWindow(7, WRITER_POPUP_CLASS, u"Microsoft Windows");
    Ticks(1);
    m_logic.OnDeviceChange(false);
    Ticks(200);
    m_logic.OnDeviceChange(true);  // back in time: the count starts again next time
    m_logic.OnDeviceChange(false);
    Ticks(299);
    m_host.log.push_back("299 ticks");
    Ticks(1);
    EXPECT_TRUE(m_host.fileSelectButton && !m_host.startButton && !m_host.progressVisible);
    m_logic.OnProgress(FAILED);  // a late failure report finds no run
    DeliverPosted();
    // During the linger, a closed pop-up ends the watch.
    m_host.AddWindow(8, WRITER_POPUP_CLASS, u"Insert disc");
    Ticks(1);
    EXPECT_EQ(m_host.log, (Lines{"foreground", "close 7", "299 ticks", "stop", "message 106", "foreground", "close 8", "timer off"}));
}

TEST_F(DialogTest, LingerOf100TicksAfterARunThenStopsTheTimerAndThePopupWatch)
{
    StartRun();
    m_logic.OnRunEnd(RUN_END_SUCCESS);
    m_host.log.clear();
    Ticks(99);
    m_host.log.push_back("99 ticks");
    Ticks(1);
    // No longer watching: a drive arriving now is not looked at.
    m_host.AddWindow(50, WRITER_POPUP_CLASS, u"Insert disc");
    m_logic.OnVolumeArrival(1u << 4);
    m_logic.OnStart();
    EXPECT_EQ(m_host.log, (Lines{"99 ticks", "timer off", "start", "pos 0", "timer on"}));
}

TEST_F(DialogTest, OnlyANewPopupIsClosedAndOneNamingADriveOnlyWhenThatDriveArrived)
{
    m_host.AddWindow(1, WRITER_POPUP_CLASS, u"Microsoft Windows");
    m_host.AddWindow(2, WRITER_POPUP_CLASS, u"Insert disc", {u"Drive (E:)"});
    m_host.AddWindow(3, u"CabinetWClass", u"Explorer");
    StartRun();
    EXPECT_EQ(m_logic.ExistingDialogs().Count(), 2u) << "only dialog-class windows are collected";
    m_host.log.clear();
    m_host.AddWindow(9, WRITER_POPUP_CLASS, u"Removable disk", {u"OK", u"Format disk in drive (E:)?"});
    Ticks(1);
    m_logic.OnVolumeArrival(1u << 5);  // F:
    m_host.log.push_back("E:");
    m_logic.OnVolumeArrival(1u << 4);
    Ticks(10);
    m_host.log.push_back("new windows");
    m_host.AddWindow(4, u"Notepad", u"Insert disc");
    m_host.AddWindow(5, WRITER_POPUP_CLASS, u"Insert disc");
    m_host.AddWindow(6, WRITER_POPUP_CLASS, u"Microsoft Windows");
    Ticks(1);  // one pop-up per tick
    EXPECT_EQ(m_host.log, (Lines{"E:", "foreground", "close 9", "new windows", "foreground", "close 5"}));
    EXPECT_TRUE(m_host.timerRunning && m_logic.IsWatchingPopups()) << "the run still needs its timer";

    // Letters are upper case; bit 31 is the 32nd letter on from 'A'.
    EXPECT_EQ(std::vector<bool>({TextNamesDriveInMask(u"(e:)", 1u << 4), TextNamesDriveInMask(u"( E:)", 1u << 4),
                                 TextNamesDriveInMask(u"x (E:", 1u << 4), TextNamesDriveInMask(u"(`:)", 1u << 31)}),
              std::vector<bool>({false, false, false, true}));
}

TEST_F(DialogTest, ExistingDialogListGrowsPastOneBlockOf4096Handles)
{
    for (WindowId w = 1000; w < 1000 + 5000; ++w) {
        m_host.AddWindow(w, WRITER_POPUP_CLASS, u"Insert disc");
    }
    StartRun();
    EXPECT_EQ(m_logic.ExistingDialogs().Count(), 5000u);
    Ticks(2);
    EXPECT_TRUE(m_host.closed.empty()) << "handles in the second block are found too";

    m_logic.OnRunEnd(RUN_END_FAILURE);
    m_host.order.resize(4096);
    m_logic.OnStart();
    EXPECT_EQ(m_logic.ExistingDialogs().BlockCount(), 1u) << "the next run collects afresh";
}

TEST_F(DialogTest, ListWithoutCountedPhasesShowsProgressUnknownAndEndsOnTheLibraryStatus)
{
    m_host.preparation.phases = {MfgPhase{0x1111, 0x2222, 9}};
    StartRun();
    EXPECT_EQ(m_logic.TotalCommands(), 0u);
    EXPECT_EQ(m_host.Count("pos unknown"), 1);
    m_host.log.clear();
    m_logic.OnProgress(Done(0, 0));
    m_logic.OnProgress(Done(3, 9));
    EXPECT_TRUE(m_host.log.empty()) << "no position is computed";
    EXPECT_TRUE(m_host.posted.empty()) << "0 done of 0 is no success";
    EXPECT_EQ(m_host.lines.size(), 2u) << "the messages still show";
    m_logic.OnProgress(FAILED);
    DeliverPosted();
    EXPECT_FALSE(m_logic.IsRunning());
}

TEST_F(DialogTest, FileSelectOrStartFailureShowsItsMessageAndKeepsStartDisabled)
{
    m_logic.OnInitDialog(true);
    Bytes notOurs = BuildPackage({{"a", {1}}});
    notOurs[0] = 'X';
    Bytes broken = BuildPackage({{"a", {1}}});
    broken.back() ^= 1;
    const std::vector<std::pair<Bytes, std::uint32_t>> cases = {
        {Bytes{'T', 'Q'}, IDS_FILE_READ_ERROR},
        {BuildPackage({{"../a", {1}}}), IDS_FILE_WRITE_ERROR},
        {broken, IDS_CHECKSUM_ERROR},
        {notOurs, IDS_NOT_FIRMWARE},
    };
    for (const auto& [bytes, message] : cases) {
        LoadGoodPackage();
        ASSERT_TRUE(m_host.startButton);
        m_host.log.clear();
        Choose(bytes);
        EXPECT_EQ(m_host.log,
                  (std::vector<std::string>{"cursor on", "cursor off", "message " + std::to_string(message)}));
        EXPECT_FALSE(m_logic.IsFileLoaded() || m_host.startButton);
    }

    m_host.messages.clear();
    m_host.prepareOk = false;
    LoadGoodPackage();
    EXPECT_EQ(m_host.messages, (std::vector<std::string>{"message 108"}));
    EXPECT_FALSE(m_host.startButton);

    m_host.prepareOk = true;
    LoadGoodPackage(3);
    EXPECT_EQ(m_host.preparedList, "3 eMMC-TQZ-Server-App");
    EXPECT_TRUE(m_host.startButton);

    m_host.messages.clear();
    m_host.startResult = 5;  // the library refuses to start
    m_logic.OnStart();
    EXPECT_FALSE(m_logic.IsRunning() || m_host.timerRunning);
    EXPECT_EQ(m_host.messages, (std::vector<std::string>{"message 104 exclamation"}));
    EXPECT_TRUE(m_host.startButton);
    EXPECT_STREQ(WriterString(IDS_START_FAILED), "WARING: Start command failed");
}

// ---- Library records ---------------------------------------------------------------

TEST(MfgRecords, FieldsAreReadAtTheirOffsetsAndNeverPastTheRecord)
{
    auto PutLE32 = [](Bytes& b, std::size_t at, std::uint32_t v) {
        b[at] = static_cast<unsigned char>(v), b[at + 1] = static_cast<unsigned char>(v >> 8);
        b[at + 2] = static_cast<unsigned char>(v >> 16), b[at + 3] = static_cast<unsigned char>(v >> 24);
    };
    Bytes phases(MFG_PHASE_MAX_RECORDS * MFG_PHASE_RECORD_SIZE, 0xEE);
    for (std::uint32_t i = 0; i < MFG_PHASE_MAX_RECORDS; ++i) {
        PutLE32(phases, i * 536 + 524, 0x15A2);
        PutLE32(phases, i * 536 + 528, 0x0061);
        PutLE32(phases, i * 536 + 532, 10 + i);
    }
    std::vector<MfgPhase> read = MfgReadPhases(phases, 1000);
    ASSERT_EQ(read.size(), 8u) << "a count beyond the array is cut to the array";
    EXPECT_TRUE(MfgIsLoaderPhase(read[7]) && read[7].dwCommands == 17);
    EXPECT_EQ(MfgReadPhases(std::span<const unsigned char>(phases.data(), 536 * 2 + 100), 8).size(), 2u);

    Bytes progress(MFG_PROGRESS_RECORD_MIN_SIZE, 'x');  // a text without terminator
    PutLE32(progress, 524, 4);
    PutLE32(progress, 528, 1);
    PutLE32(progress, 544, 2);
    MfgProgress p;
    ASSERT_TRUE(MfgReadProgress(progress, p));
    EXPECT_EQ(p.text.size(), MFG_PROGRESS_TEXT_UNITS);
    EXPECT_EQ(p.text[0], u'\x7878');
    EXPECT_TRUE(p.dwDone == 4 && p.dwStatus == MFG_PROGRESS_COMMAND_DONE && p.dwPhase == 2);
    progress[4 + 2 * 3] = progress[5 + 2 * 3] = 0;
    ASSERT_TRUE(MfgReadProgress(progress, p));
    EXPECT_EQ(p.text.size(), 3u) << "the text ends at its NUL";
    EXPECT_FALSE(MfgReadProgress(std::span<const unsigned char>(progress.data(), 547), p));

    Bytes device(536, 0);
    std::uint32_t state = 0;
    PutLE32(device, 532, 5);
    EXPECT_TRUE(MfgReadDeviceState(device, state) && state == 5);
    EXPECT_FALSE(MfgReadDeviceState(std::span<const unsigned char>(device.data(), 535), state));
    std::string presence;
    for (std::uint32_t s = 0; s < 7; ++s) {
        presence += "PAU"[static_cast<int>(MfgDevicePresence(s))];
    }
    EXPECT_EQ(presence, "PPAAPAU");
}

TEST(MfgRecords, LaterPhasesCountAsTheFirstUpdaterPhaseAndAHugeIndexDoesNotOverflow)
{
    const std::vector<MfgPhase> phases = {UPDATER, LOADER, MfgPhase{MFG_UPDATER_VENDOR, 1, 7}, MfgPhase{1, 1, 100}};
    EXPECT_EQ(MfgTotalCommands(phases), 5u + 3 + 7) << "unrelated phases are not counted";
    EXPECT_EQ(MfgCommandsDone(phases, 0, 2), 2u);
    EXPECT_EQ(MfgCommandsDone(phases, 1, 2), 3u + 2) << "phase 0 is the loader record wherever it is";
    EXPECT_EQ(MfgCommandsDone(phases, 2, 2), 3u + 5 + 2) << "phase 1 is the first updater record";
    EXPECT_EQ(MfgCommandsDone(phases, 0xFFFFFFFF, 0xFFFFFFFF), 0xFFFFFFFFull + 3 + 0xFFFFFFFEull * 5);
    EXPECT_EQ(MfgProgressPercent(7, 15), 46u);
    EXPECT_EQ(MfgProgressPercent(16, 15), 100u) << "never past the bar's end";
    EXPECT_EQ(MfgProgressPercent(0, 0), 0u);
}
