// The radio frame receiver in process: one byte stream with good frames and
// every kind of damage, fed whole, byte by byte, in random chunks and after a
// garbage prefix, must give the same frames and the same messages; a pause
// inside a frame abandons it after three ticks; only accepted frames keep the
// radio counted alive. Frames are built by the harness's own codec.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "radio_frame.h"
#include "server.h"
#include "test_support.h"
#include "winemu.h"

namespace {

using sim::radio::Encode;
using sim::radio::EncodeWithLengthField;
using Bytes = std::vector<uint8_t>;

struct SeenFrame {
    char command;
    std::string param;
    bool operator==(const SeenFrame&) const = default;
};

std::vector<SeenFrame> g_seen;

void Observe(BYTE byCmd, const BYTE* pParam, int nLen)
{
    g_seen.push_back({static_cast<char>(byCmd), std::string(reinterpret_cast<const char*>(pParam), nLen)});
}

std::ostream& operator<<(std::ostream& out, const SeenFrame& f)
{
    return out << f.command << "(" << f.param.size() << ")" << f.param.substr(0, 20);
}

// The "[W] " lines of the debug output, without their time stamps.
std::vector<std::string> WarningLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find("[W] ");
        if (at != std::string::npos) {
            lines.push_back(line.substr(at));
        }
    }
    return lines;
}

std::string HexByte(unsigned v)
{
    char text[3];
    std::snprintf(text, sizeof(text), "%02X", v & 0xFF);
    return text;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// The sum digits replaced; the frame is otherwise as built.
Bytes WithSumDigits(Bytes frame, const std::string& digits)
{
    frame[frame.size() - 2] = static_cast<uint8_t>(digits[0]);
    frame[frame.size() - 1] = static_cast<uint8_t>(digits[1]);
    return frame;
}

// A stream with each case of the receiver and what it must give.
struct Case {
    Bytes stream;
    std::vector<SeenFrame> frames;
    std::vector<std::string> warnings;
};

Case BuildStream()
{
    Case c;
    auto good = [&c](char cmd, const std::string& param) {
        Bytes f = Encode(cmd, param);
        c.frames.push_back({cmd, param});
        c.warnings.push_back("[W] unknown rx cmd (" + HexByte(static_cast<uint8_t>(cmd)) + ")");
        return f;
    };
    Bytes abc = Encode('Z', "abc");
    const unsigned sum = sim::radio::Sum8(abc.data(), abc.size() - 2);

    c.stream = good('Z', "abc");
    // A SOH inside a frame restarts collection from it.
    c.stream = Concat({c.stream, Bytes{0x01, 'Z', '0', '0'}, good('Y', "restarted")});
    // An EOT while waiting for SOH is ignored.
    c.stream = Concat({c.stream, Bytes{0x04, 'x', 0x04}, good('X', "after eot")});
    // The longest frame the unit takes, then one byte longer (dropped silently).
    c.stream = Concat({c.stream, good('W', std::string(1425, 'm')), Encode('W', std::string(1426, 'n'))});
    // A length field larger than the parameters present, equal to them plus
    // one, and smaller (handled with the smaller length).
    c.stream = Concat({c.stream, EncodeWithLengthField('Z', "0005", "abc")});
    c.warnings.push_back("[W] invalid rx data length 5 8");
    c.stream = Concat({c.stream, EncodeWithLengthField('Z', "0004", "abc")});
    c.warnings.push_back("[W] invalid rx data length 4 8");
    c.stream = Concat({c.stream, EncodeWithLengthField('V', "0001", "abc")});
    c.frames.push_back({'V', "a"});
    c.warnings.push_back("[W] invalid param length");
    // Checksum digits that are no digits, and a wrong value.
    c.stream = Concat({c.stream, WithSumDigits(abc, "G1")});
    c.warnings.push_back("[W] rx sum error G1");
    c.stream = Concat({c.stream, WithSumDigits(abc, HexByte(sum + 1))});
    c.warnings.push_back("[W] rx sum error (" + HexByte(sum + 1) + " != " + HexByte(sum) + ")");
    // A length field that is not hexadecimal, and frames too short to hold one.
    c.stream = Concat({c.stream, EncodeWithLengthField('Z', "00G1", "abc")});
    c.warnings.push_back("[W] invalid cmd length 00G1");
    c.stream = Concat({c.stream, EncodeWithLengthField('Z', "", "")});
    c.warnings.push_back("[W] invalid cmd length 1");
    c.stream = Concat({c.stream, good('Z', "")});
    return c;
}

class RadioReceiver : public ::testing::Test {
   protected:
    void SetUp() override
    {
        g_seen.clear();
        Server_Construct();
        Server_SetRadioFrameObserverForTest(Observe);
    }
    void TearDown() override
    {
        Server_SetRadioFrameObserverForTest(nullptr);
        Server_Destruct();
    }
    // Feeds the stream in the given pieces; the warnings printed meanwhile.
    std::vector<std::string> Feed(const Bytes& stream, const std::vector<size_t>& pieces)
    {
        testsupport::DebugCapture capture;
        size_t at = 0;
        for (size_t n : pieces) {
            Server_FeedRadioForTest(stream.data() + at, static_cast<int>(n));
            at += n;
        }
        EXPECT_EQ(at, stream.size());
        return WarningLines(capture.text());
    }
};

std::vector<size_t> RandomPieces(size_t total, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<size_t> pieces;
    while (total > 0) {
        size_t n = std::min<size_t>(total, 1 + rng() % 97);
        pieces.push_back(n);
        total -= n;
    }
    return pieces;
}

TEST_F(RadioReceiver, SameFramesAndMessagesHoweverTheStreamIsCut)
{
    const Case c = BuildStream();
    std::random_device seeder;
    const unsigned seed = seeder();
    SCOPED_TRACE("chunk seed " + std::to_string(seed));
    std::printf("chunk seed %u\n", seed);

    std::vector<std::pair<std::string, std::vector<size_t>>> cuts = {
        {"whole", {c.stream.size()}},
        {"byte by byte", std::vector<size_t>(c.stream.size(), 1)},
        {"random chunks", RandomPieces(c.stream.size(), seed)},
    };
    for (const auto& [name, pieces] : cuts) {
        SCOPED_TRACE(name);
        g_seen.clear();
        EXPECT_EQ(Feed(c.stream, pieces), c.warnings);
        EXPECT_EQ(g_seen, c.frames);
    }
}

TEST_F(RadioReceiver, GarbagePrefixAndOverlongFrameDoNotDisturbTheNextFrames)
{
    const Case c = BuildStream();
    std::mt19937 rng(7);
    Bytes garbage;
    for (int i = 0; i < 3000; ++i) {
        uint8_t b = static_cast<uint8_t>(rng());
        garbage.push_back(b == 0x01 ? 0x02 : b);  // no SOH: nothing starts before the stream
    }
    // A frame far past the limit with its EOT and sum: abandoned, then ignored.
    Bytes overlong = Encode('Z', std::string(2000, 'q'));
    Bytes stream = Concat({garbage, overlong, c.stream});
    EXPECT_EQ(Feed(stream, RandomPieces(stream.size(), 11)), c.warnings);
    EXPECT_EQ(g_seen, c.frames);
}

TEST_F(RadioReceiver, PauseOfThreeTicksInsideAFrameAbandonsIt)
{
    Server_SetManualTimerForTest(TRUE);
    Bytes frame = Encode('Z', "paused");
    Bytes head(frame.begin(), frame.begin() + 7);
    Bytes tail(frame.begin() + 7, frame.end());

    // Two silent ticks: the frame survives.
    Server_FeedRadioForTest(head.data(), static_cast<int>(head.size()));
    Server_TickForTest();
    Server_TickForTest();
    Server_FeedRadioForTest(tail.data(), static_cast<int>(tail.size()));
    ASSERT_EQ(g_seen.size(), 1u);

    // Three: the rest is no frame of its own, the next one is whole again.
    Server_FeedRadioForTest(head.data(), static_cast<int>(head.size()));
    for (int i = 0; i < 3; ++i) {
        Server_TickForTest();
    }
    Server_FeedRadioForTest(tail.data(), static_cast<int>(tail.size()));
    EXPECT_EQ(g_seen.size(), 1u);
    Server_FeedRadioForTest(frame.data(), static_cast<int>(frame.size()));
    EXPECT_EQ(g_seen.size(), 2u);
    Server_SetManualTimerForTest(FALSE);
}

// Identifies a radio with no port open: the answers cannot go out, the states follow.
void BecomeReady()
{
    Bytes v = Encode('V', sim::radio::VersionCheckParam({}));
    Bytes i = Encode('I', sim::radio::CodeTableParam({}));
    Server_FeedRadioForTest(v.data(), static_cast<int>(v.size()));
    Server_FeedRadioForTest(i.data(), static_cast<int>(i.size()));
}

TEST_F(RadioReceiver, OnlyAcceptedFramesKeepTheRadioAlive)
{
    testsupport::DebugCapture quiet;  // the unanswerable keep-alives print warnings
    // A dropped frame (bad sum) does not count; an unknown command does.
    for (bool accepted : {false, true}) {
        SCOPED_TRACE(accepted ? "unknown command" : "bad checksum");
        Server_Destruct();
        Server_Construct();
        BecomeReady();
        ASSERT_EQ(Server_GetUnitState(), UNIT_STATE_READY);
        WinEmu_AdvanceTicksForTest(6000);
        Bytes frame = Encode('Z', "x");
        if (!accepted) {
            frame = WithSumDigits(frame, "00");
        }
        Server_FeedRadioForTest(frame.data(), static_cast<int>(frame.size()));
        // Real time passes too: the checks keep a margin on the test clock.
        WinEmu_AdvanceTicksForTest(3000);
        Server_TickForTest();
        EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_READY);
        WinEmu_AdvanceTicksForTest(1000);
        Server_TickForTest();
        EXPECT_EQ(Server_GetUnitState(), accepted ? UNIT_STATE_READY : UNIT_STATE_ERROR);
        WinEmu_AdvanceTicksForTest(6000);
        Server_TickForTest();
        EXPECT_EQ(Server_GetUnitState(), UNIT_STATE_ERROR);
    }
}

}  // namespace
