// The radio link driven directly: the frame receiver fed one damaged stream
// cut in several ways, the answers to the identification, and the timers at
// explicit ticks.
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "debug.h"
#include "test_support.h"
#include "unit_fixture.h"

namespace {

using sim::radio::Encode;
using sim::radio::EncodeWithLengthField;
using testsupport::Bytes;
using testsupport::WarningLines;

using SeenFrame = std::pair<char, std::string>;

std::vector<SeenFrame> g_seen;

void Observe(BYTE byCmd, const BYTE* pParam, int nLen)
{
    g_seen.push_back({static_cast<char>(byCmd), std::string(reinterpret_cast<const char*>(pParam), nLen)});
}

std::string HexByte(unsigned v) { return sim::radio::Hex({static_cast<uint8_t>(v)}); }

Bytes WithSumDigits(Bytes frame, const std::string& digits)
{
    frame[frame.size() - 2] = static_cast<uint8_t>(digits[0]);
    frame[frame.size() - 1] = static_cast<uint8_t>(digits[1]);
    return frame;
}

// The own code table's first and last byte and the DG-IDs.
std::string Identity(const MY_REPEATER_INFO& info)
{
    return sim::radio::Hex({info.abySCTable[0], info.abySCTable[15], info.byLocDGID, info.byDefDGID});
}

struct Case {
    Bytes stream;
    std::vector<SeenFrame> frames;
    std::vector<std::string> warnings;
};

Case BuildStream()
{
    // Passed on: seen by the observer, unknown to the unit.
    auto good = [](char cmd, const std::string& param) {
        return Case{Encode(cmd, param), {{cmd, param}}, {"[W] unknown rx cmd (" + HexByte(uint8_t(cmd)) + ")"}};
    };
    const Bytes abc = Encode('Z', "abc");
    const unsigned sum = sim::radio::Sum8(abc.data(), abc.size() - 2);
    const std::vector<Case> pieces = {
        good('Z', "abc"),
        {{0x01, 'Z', '0', '0'}, {}, {}},  // a SOH inside a frame restarts collection from it
        good('Y', "restarted"),
        {{0x04, 'x', 0x04}, {}, {}},  // an EOT while waiting for SOH is ignored
        good('X', "after eot"),
        good('W', std::string(1425, 'm')),              // the longest frame the unit takes
        {Encode('W', std::string(1426, 'n')), {}, {}},  // one byte longer: dropped silently
        // A length field larger than the parameters present, equal to them plus
        // one, and smaller (handled with the smaller length).
        {EncodeWithLengthField('Z', "0005", "abc"), {}, {"[W] invalid rx data length 5 8"}},
        {EncodeWithLengthField('Z', "0004", "abc"), {}, {"[W] invalid rx data length 4 8"}},
        {EncodeWithLengthField('V', "0001", "abc"), {{'V', "a"}}, {"[W] invalid param length"}},
        // Checksum digits that are no digits, and a wrong value.
        {WithSumDigits(abc, "G1"), {}, {"[W] rx sum error G1"}},
        {WithSumDigits(abc, HexByte(sum + 1)),
         {},
         {"[W] rx sum error (" + HexByte(sum + 1) + " != " + HexByte(sum) + ")"}},
        // A length field that is not hexadecimal, and frames too short to hold one.
        {EncodeWithLengthField('Z', "00G1", "abc"), {}, {"[W] invalid cmd length 00G1"}},
        {EncodeWithLengthField('Z', "", ""), {}, {"[W] invalid cmd length 1"}},
        good('Z', ""),
    };
    Case c;
    for (const Case& p : pieces) {
        c.stream.insert(c.stream.end(), p.stream.begin(), p.stream.end());
        c.frames.insert(c.frames.end(), p.frames.begin(), p.frames.end());
        c.warnings.insert(c.warnings.end(), p.warnings.begin(), p.warnings.end());
    }
    return c;
}

class RadioLink : public testsupport::CoreParts {
   protected:
    void SetUp() override
    {
        CoreParts::SetUp();
        g_seen.clear();
        Server_SetRadioFrameObserverForTest(Observe);
    }
    void TearDown() override
    {
        Server_SetRadioFrameObserverForTest(nullptr);
        CoreParts::TearDown();
    }
    // n ticks at now (0: the clock's); the 'C' and 'P' frames sent since the last
    // call ('P' only without keepAlives: on the running clock a busy machine may
    // let a second pass, and then a keep-alive is due).
    std::string Ticks(int n, DWORD now = 0, bool keepAlives = true)
    {
        for (int i = 0; i < n; ++i) {
            RadioTick(now != 0 ? now : GetTickCount());
        }
        std::string out;
        for (const testsupport::SentFrame& f : m_toRadio) {
            if ((keepAlives && f.command == 'C') || f.command == 'P') {
                out += std::string(1, f.command) + f.param.substr(0, 1) + " ";
            }
        }
        m_toRadio.clear();
        return out;
    }
};

TEST_F(RadioLink, SameFramesAndMessagesHoweverTheStreamIsCut)
{
    const Case c = BuildStream();
    std::random_device seeder;
    const unsigned seed = seeder();
    SCOPED_TRACE("chunk seed " + std::to_string(seed));

    std::vector<std::pair<std::string, std::vector<size_t>>> cuts = {
        {"whole", {c.stream.size()}},
        {"byte by byte", std::vector<size_t>(c.stream.size(), 1)},
        {"random chunks", {}},
    };
    std::mt19937 rng(seed);
    for (size_t left = c.stream.size(), n = 0; left > 0; left -= n) {
        n = std::min<size_t>(left, 1 + rng() % 97);
        cuts[2].second.push_back(n);
    }
    for (const auto& [name, pieces] : cuts) {
        SCOPED_TRACE(name);
        g_seen.clear();
        testsupport::DebugCapture capture;
        size_t at = 0;
        for (size_t n : pieces) {
            Server_FeedRadioForTest(c.stream.data() + at, static_cast<int>(n));
            at += n;
        }
        EXPECT_EQ(WarningLines(capture.text()), c.warnings);
        EXPECT_EQ(g_seen, c.frames);
    }
}

TEST_F(RadioLink, PauseOfThreeTicksInsideAFrameAbandonsIt)
{
    const Bytes frame = Encode('Z', "paused");
    // The rest after three silent ticks is no frame of its own.
    for (int ticks : {2, 3}) {
        Server_FeedRadioForTest(frame.data(), 7);
        for (int i = 0; i < ticks; ++i) {
            RadioTick(GetTickCount());
        }
        Server_FeedRadioForTest(frame.data() + 7, static_cast<int>(frame.size()) - 7);
        EXPECT_EQ(g_seen.size(), 1u) << ticks;
    }
    Server_FeedRadioForTest(frame.data(), static_cast<int>(frame.size()));
    EXPECT_EQ(g_seen.size(), 2u);
}

TEST_F(RadioLink, VersionAndCodeTableAreAnsweredByteForByteAndTheUnitBecomesReady)
{
    sim::radio::RadioIdentity id;
    id.name = "RPT-NAME";
    id.version = "2.1.0";
    id.radioId = "R0001";
    id.callSign = "JA1ZZZ";
    FeedRadio('V', sim::radio::VersionCheckParam(id));
    auto v = TakeToRadio('V');
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].raw, sim::radio::Encode('V', "KOVA-LAN        ALLALL1.4.4 20210413                      "));
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_INIT);

    sim::radio::CodeTable table;
    table.Admit(5);
    table.Admit(127);
    table.locDgid = 0x12;
    table.defDgid = 0x34;
    FeedRadio('I', sim::radio::CodeTableParam(table));
    auto i = TakeToRadio('I');
    ASSERT_EQ(i.size(), 1u);
    EXPECT_EQ(sim::radio::Hex(i[0].raw), "01 49 30 30 30 31 30 04 33 46");
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_READY);

    MY_REPEATER_INFO info;
    Server_GetMyRepeaterInfo(&info);
    EXPECT_EQ(std::string(info.szName) + "|" + info.szVersion + "|" + info.szRadioID + "|" + info.szCallSign,
              "RPT-NAME|2.1.0|R0001|JA1ZZZ");
    EXPECT_EQ(Identity(info), "20 80 12 34");

    // A table of 32 characters carries no DG-IDs: both become 255.
    sim::radio::CodeTable plain;
    plain.Admit(1);
    FeedRadio('I', sim::radio::CodeTableParam(plain));
    Server_GetMyRepeaterInfo(&info);
    EXPECT_EQ(Identity(info), "02 00 FF FF");
    EXPECT_EQ(TakeToRadio('I').size(), 1u);

    // A second identification means the radio started again: no answer, a restart.
    EXPECT_FALSE(s_bRestartReq.load());
    FeedRadio('V', sim::radio::VersionCheckParam(id));
    EXPECT_TRUE(TakeToRadio('V').empty());
    EXPECT_TRUE(s_bRestartReq.load());
}

TEST_F(RadioLink, KeepAliveAfterOneSecondAndErrorOnceAfterTenSecondsWithoutAnAcceptedFrame)
{
    testsupport::DebugCapture capture;
    DWORD before = GetTickCount();
    Ready();
    DWORD after = GetTickCount();
    EXPECT_EQ(Ticks(1, before + 999), "");
    EXPECT_EQ(Ticks(1, after + 1000), "C0 ");

    // An unknown command counts as a sign of life; a frame with a bad sum does not.
    WinEmu_AdvanceTicksForTest(6000);
    const Bytes unknown = Encode('Z', "x");
    const Bytes badSum = WithSumDigits(unknown, "00");
    before = GetTickCount();
    Server_FeedRadioForTest(unknown.data(), static_cast<int>(unknown.size()));
    after = GetTickCount();
    WinEmu_AdvanceTicksForTest(2000);
    Server_FeedRadioForTest(badSum.data(), static_cast<int>(badSum.size()));
    RadioTick(before + 9999);
    EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_READY);
    for (DWORD offset : {10000u, 20000u, 30000u}) {
        RadioTick(after + offset);
        EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_ERROR);
    }
    EXPECT_EQ(testsupport::CountOf(capture.text(), "[W] health check timeout"), 1u);
}

TEST_F(RadioLink, PendingPeerStatusWaitsForTheLineIsConsumedAndOnlyKnownStatesPass)
{
    Ready();
    // The code-table answer keeps the line busy for three ticks.
    SetLanStatus(0x0A000001, 1, 2);
    EXPECT_EQ(Ticks(2, 0, false), "");
    EXPECT_EQ(Ticks(1, 0, false), "P0 ");  // 2 is no state the radio knows
    // Consumed: the next keep-alive is a plain 'C'.
    const DWORD after = GetTickCount();
    EXPECT_EQ(Ticks(3, after), "");
    EXPECT_EQ(Ticks(1, after + 1000), "C0 ");

    WORD id = 2;
    for (const auto& [status, notice] : std::vector<std::pair<BYTE, std::string>>{
             {5, "P5 "}, {6, "P6 "}, {7, "P7 "}, {1, "P1 "}, {3, "P0 "}}) {
        SetLanStatus(0x0A000001, id++, status);
        EXPECT_EQ(Ticks(3, 0, false), notice) << int(status);
    }
    SetLanStatus(0x0A000001, static_cast<WORD>(id - 1), 3);  // the same notice again is no news
    EXPECT_EQ(Ticks(3, 0, false), "");
}

// What reaches the ring log writer (on its thread), joined.
std::mutex g_logLock;
std::string g_logged;
BOOL RecordLog(const SYSTEMTIME*, const char* pData, int nLength)
{
    std::lock_guard<std::mutex> guard(g_logLock);
    g_logged.append(pData, static_cast<size_t>(nLength));
    return TRUE;
}

TEST_F(RadioLink, PowerDownReportIsLoggedAndClosesTheLogFileOnce)
{
    testsupport::TempDir dir;
    Debug_SetLogWriterForTest(RecordLog);
    testsupport::DebugCapture capture;
    ASSERT_TRUE(OpenLogFile(dir.file("kovalan.log").c_str(), 0x40000));
    SetLogFlag(TRUE, 0xFFFFFFFF);
    sim::radio::RadioStatus status;
    FeedRadio('P', sim::radio::StatusParam(status));
    for (char stat : {'4', '4', '0', '4'}) {  // a 'C' that changes nothing is not reported
        status.stat = stat;
        FeedRadio('C', sim::radio::StatusParam(status));
    }
    const std::string printed = capture.text();  // the log thread has stored everything queued
    Debug_SetLogWriterForTest(nullptr);
    EXPECT_TRUE(s_bPowerDown.load());
    EXPECT_EQ(testsupport::CountOf(printed, "[I] Power down"), 1u);
    EXPECT_EQ(testsupport::CountOf(printed, "Rx: Status"), 4u);
    // The power-down report itself is still logged; the ones after it are not.
    EXPECT_EQ(testsupport::CountOf(g_logged, "Rx: Status"), 2u);
}

}  // namespace
