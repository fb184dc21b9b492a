// The radio simulator as an oracle: its frame codec against golden bytes, its
// collector against split and damaged streams, the shape of a transmission it
// sends, and the process runner's hold on its children (the other simulators
// are proven by every end-to-end test that drives the daemon with them).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "radio_frame.h"
#include "radio_sim.h"
#include "test_support.h"
#include "unit_process.h"

namespace {

using namespace sim;
using radio::Frame;

// The unit's version answer as the system describes it.
const std::string UNIT_VERSION_PARAM = "KOVA-LAN        ALLALL1.4.4 20210413" + std::string(22, ' ');
const std::vector<uint8_t> UNIT_I_ANSWER = {0x01, 0x49, 0x30, 0x30, 0x30, 0x31, 0x30, 0x04, 0x33, 0x46};

std::vector<Frame> Collect(const std::vector<uint8_t>& stream, size_t* stray = nullptr)
{
    radio::FrameCollector c;
    std::vector<Frame> frames;
    c.Feed(stream, &frames);
    if (stray) {
        *stray = c.strayBytes();
    }
    return frames;
}

// The one frame in bytes as "ok command param", or what else was collected.
std::string OneFrame(const std::vector<uint8_t>& bytes)
{
    std::vector<Frame> frames = Collect(bytes);
    if (frames.size() != 1) {
        return std::to_string(frames.size()) + " frames";
    }
    return std::string(frames[0].ok() ? "ok " : "bad ") + frames[0].command + " " + frames[0].param;
}

TEST(RadioFrame, EncoderAndCollectorAgreeWithTheUnitsGoldenBytesAndVersionAnswer)
{
    EXPECT_EQ(radio::Hex(radio::Encode('I', "0")), radio::Hex(UNIT_I_ANSWER));
    EXPECT_EQ(OneFrame(UNIT_I_ANSWER), "ok I 0");

    std::vector<uint8_t> frame = radio::Encode('V', UNIT_VERSION_PARAM);
    ASSERT_EQ(frame.size(), 67u);
    EXPECT_EQ(std::string(frame.begin() + 1, frame.begin() + 6), "V003A");
    EXPECT_EQ(std::string(frame.end() - 2, frame.end()), "7C");
    auto answer = radio::ParseVersionAnswer(UNIT_VERSION_PARAM);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->name + "|" + answer->dst + "|" + answer->type + "|" + answer->version + "|" + answer->date,
              "KOVA-LAN|ALL|ALL|1.4.4|20210413");
    std::string dirty = UNIT_VERSION_PARAM;
    dirty[50] = 'X';
    EXPECT_FALSE(radio::ParseVersionAnswer(dirty));
    EXPECT_FALSE(radio::ParseVersionAnswer(UNIT_VERSION_PARAM.substr(1)));
}

TEST(RadioFrame, StreamGivesTheSameFramesWholeBytewiseInRandomChunksAndAfterGarbage)
{
    const std::string garbage = "zz\x04q";
    std::vector<uint8_t> stream(garbage.begin(), garbage.end());
    std::vector<std::string> params = {UNIT_VERSION_PARAM, "0", std::string(14, ' '),
                                       radio::VoiceParam({'1', "  ", 0x1234, 0x7F}, radio::Payload(300, 1))};
    const std::string commands = "VICF";
    for (size_t i = 0; i < params.size(); ++i) {
        std::vector<uint8_t> f = radio::Encode(commands[i], params[i]);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int split = 0; split < 3; ++split) {
        radio::FrameCollector c;
        std::vector<Frame> frames;
        for (size_t at = 0; at < stream.size();) {
            size_t n = split == 0 ? stream.size() : split == 1 ? 1 : 1 + random() % 40;
            n = std::min(n, stream.size() - at);
            c.Feed(stream.data() + at, n, radio::Clock::now(), &frames);
            at += n;
        }
        ASSERT_EQ(frames.size(), params.size());
        for (size_t i = 0; i < params.size(); ++i) {
            EXPECT_TRUE(frames[i].ok() && frames[i].command == commands[i] && frames[i].param == params[i]) << i;
        }
        EXPECT_EQ(c.strayBytes(), garbage.size());
        EXPECT_FALSE(c.midFrame());
    }
}

TEST(RadioFrame, DamagedFramesAreCollectedButJudgedInvalid)
{
    // A wrong or lower-case checksum, a length field that does not match or is in lower case.
    std::vector<uint8_t> badSum = UNIT_I_ANSWER, lowerSum = UNIT_I_ANSWER;
    badSum[9] = '0';
    lowerSum[9] = 'f';
    const std::pair<std::vector<uint8_t>, bool> cases[] = {
        {badSum, false},
        {lowerSum, false},
        {radio::EncodeWithLengthField('C', "000F", std::string(14, ' ')), true},
        {radio::EncodeWithLengthField('C', "000e", std::string(14, ' ')), true}};
    for (const auto& [bytes, sumValid] : cases) {
        auto frames = Collect(bytes);
        ASSERT_EQ(frames.size(), 1u) << radio::Hex(bytes);
        EXPECT_EQ(frames[0].sumValid, sumValid) << radio::Hex(bytes);
        EXPECT_EQ(frames[0].lengthValid, !sumValid) << radio::Hex(bytes);
    }
    EXPECT_EQ(Collect(cases[2].first)[0].lengthField, 15u);

    // A SOH inside a frame starts a new one; the cut-off part counts as stray.
    std::vector<uint8_t> restarted = {0x01, 'C', '0', '0'};
    restarted.insert(restarted.end(), UNIT_I_ANSWER.begin(), UNIT_I_ANSWER.end());
    size_t stray = 0;
    auto frames = Collect(restarted, &stray);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].ok());
    EXPECT_EQ(stray, 4u);
}

TEST(RadioFrame, ParameterAreasHaveTheirFieldsAtTheirOffsets)
{
    std::string v =
        radio::VersionCheckParam({.name = "RADIO-NAME-THAT-IS-TOO-LONG", .radioId = "AB123", .callSign = "CALL1"});
    ASSERT_EQ(v.size(), 58u);
    EXPECT_EQ(v.substr(0, 19), "RADIO-NAME-THAT-ALL");
    EXPECT_EQ(v.substr(36), " AB123      CALL1     ");

    radio::CodeTable table;
    for (int code : {0, 9, 127}) {
        table.Admit(code);
    }
    EXPECT_EQ(radio::CodeTableParam(table), "0102" + std::string(26, '0') + "80");
    table.locDgid = 0x1F;
    table.defDgid = 0xA0;
    EXPECT_EQ(radio::CodeTableParam(table).substr(32), "1FA0");

    EXPECT_EQ(radio::StatusParam({.stat = '4', .ltrxB = '3', .rtrxA = '4', .strm = '1', .buffer = '2'}),
              "40003401234512");
    EXPECT_EQ(radio::VoiceParam({'H', "05", 0xBEEF, 0x12345}, "xy"), "H05BEEF00012345xy");
    EXPECT_EQ(radio::RecordParam('I', 127, 1, 3, ""), "I7F000100000003");
    EXPECT_EQ(radio::PlayParam(100), "64");

    auto voice = radio::ParseVoiceParam("3**00ff0000007Fpayload");
    ASSERT_TRUE(voice);
    EXPECT_EQ(std::string(1, voice->header.type) + voice->header.group + voice->payload, "3**payload");
    EXPECT_TRUE(voice->header.counter == 0xFF && voice->header.fich == 0x7Fu);
    EXPECT_FALSE(radio::ParseVoiceParam("3**00G00000007F"));
    EXPECT_EQ(radio::ParseStatusAnswer(std::string("5").append(13, ' ')).value_or('x'), '5');
    EXPECT_FALSE(radio::ParseStatusAnswer(std::string("5").append(12, ' ').append("0")));
    auto play = radio::ParsePlayAnswer("7F1");
    EXPECT_TRUE(play && play->slot == 127 && play->result == '1');
    EXPECT_FALSE(radio::ParsePlayAnswer("7f1"));
    auto rec = radio::ParseRecordAnswer("R050");
    EXPECT_TRUE(rec && rec->slot == 5 && rec->result == '0');
    EXPECT_FALSE(radio::ParseRecordAnswer("X050"));
}

// --- RadioSim against a fake unit on a socket pair ----------------------------------

class FakeUnit : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds), 0); }
    void TearDown() override
    {
        close(m_fds[0]);
        close(m_fds[1]);
    }
    // The next frame the radio wrote: bytes from SOH up to EOT and two more.
    std::vector<uint8_t> ReadFrame(int timeoutMs = 2000)
    {
        std::vector<uint8_t> bytes;
        size_t after = 0;
        pollfd p{m_fds[1], POLLIN, 0};
        while (after < 3 && poll(&p, 1, timeoutMs) > 0) {
            uint8_t c;
            if (read(m_fds[1], &c, 1) != 1) {
                break;
            }
            if (!bytes.empty() || c == 0x01) {
                bytes.push_back(c);
            }
            after += (after || c == 0x04) ? 1 : 0;
        }
        return bytes;
    }
    int m_fds[2] = {-1, -1};
};

TEST_F(FakeUnit, TransmissionIsHeaderIdentificationVoiceAndEndOfOneCounter)
{
    RadioSim radio(m_fds[0]);
    const Transmission t{.command = 'g', .group = "07", .code = 42, .voiceFrames = 5, .spacingMs = 1};
    std::thread sender([&] { EXPECT_TRUE(radio.SendTransmission(t)); });
    std::string types;
    std::vector<radio::VoiceFrame> seen;
    for (int i = 0; i < 8; ++i) {
        std::vector<Frame> frames = Collect(ReadFrame());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_TRUE(frames[0].ok() && frames[0].command == 'g');
        auto voice = radio::ParseVoiceParam(frames[0].param);
        ASSERT_TRUE(voice);
        EXPECT_EQ(voice->header.group, "07");
        EXPECT_EQ(voice->header.fich & 0x7F, 42u);
        EXPECT_EQ(voice->payload.size(), t.payloadSize);
        types += voice->header.type;
        seen.push_back(*voice);
    }
    sender.join();
    EXPECT_EQ(types, "HI01230T");
    EXPECT_EQ(seen[0].header.counter, seen[1].header.counter);  // the identification belongs to the header
    for (size_t i = 2; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].header.counter, seen[i - 1].header.counter + 1);
    }
}

// --- UnitProcess against shell stand-ins ----------------------------------------------

class StandIn : public ::testing::Test {
   protected:
    UnitOptions Script(const std::string& body)
    {
        UnitOptions o;
        o.binary = m_dir.file("unit.sh");
        std::string text = "#!/bin/sh\n" + body;
        testsupport::WriteFileBytes(o.binary, std::vector<BYTE>(text.begin(), text.end()));
        chmod(o.binary.c_str(), 0755);
        return o;
    }
    testsupport::TempDir m_dir;
    UnitProcess unit;
};

TEST_F(StandIn, ChildThatIgnoresSigtermIsReportedRunningAndKilledByPid)
{
    ASSERT_TRUE(unit.Start(Script("trap '' TERM\necho up\nwhile :; do sleep 0.02; done\n"))) << unit.error();
    ASSERT_TRUE(unit.WaitForLine("up", 3000));
    pid_t pid = unit.pid();
    UnitExit exit = unit.Stop(SIGTERM, 200);
    EXPECT_FALSE(exit.exited);
    EXPECT_GE(exit.elapsedMs, 200);
    unit.Kill();
    EXPECT_FALSE(unit.running());
    EXPECT_NE(kill(pid, 0), 0);
    EXPECT_EQ(unit.WaitExit(0).signal, SIGKILL);
}

}  // namespace
