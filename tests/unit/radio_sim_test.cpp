// The test harness itself: the radio frame codec against golden bytes, the
// frame collector against split and damaged streams, the radio simulator
// against a fake unit, the setting client against a fake peer that follows
// the unit's line rules, and the process runner against shell stand-ins.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "loopnet.h"
#include "pty_link.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "setting_client.h"
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
    EXPECT_EQ(radio::ParseStatusAnswer("5" + std::string(13, ' ')).value_or('x'), '5');
    EXPECT_FALSE(radio::ParseStatusAnswer("5" + std::string(12, ' ') + "0"));
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
    void UnitWrites(const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(write(m_fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    int m_fds[2] = {-1, -1};
};

TEST_F(FakeUnit, IdentifySendsVersionCheckThenCodeTableAndCollectsBothAnswers)
{
    RadioSim radio(m_fds[0]);
    std::thread unit([this] {
        std::vector<uint8_t> v = ReadFrame();
        EXPECT_EQ(v.size(), 67u);
        EXPECT_EQ(std::string(v.begin() + 1, v.begin() + 6), "V003A");
        UnitWrites(radio::Encode('V', UNIT_VERSION_PARAM));
        std::vector<uint8_t> i = ReadFrame();
        EXPECT_EQ(std::string(i.begin() + 1, i.begin() + 6), "I0020");
        UnitWrites(UNIT_I_ANSWER);
    });
    EXPECT_TRUE(radio.Identify());
    unit.join();
    std::vector<Frame> frames = radio.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0].ok() && frames[1].ok() && frames[0].arrival <= frames[1].arrival);
    EXPECT_EQ(radio.StrayBytes(), 0u);
}

TEST_F(FakeUnit, WaitForSkipsOtherFramesAndGivesUpAtItsDeadline)
{
    RadioSim radio(m_fds[0]);
    std::vector<uint8_t> stream = radio::Encode('C', std::string(14, ' '));
    stream.push_back('#');
    std::vector<uint8_t> play = radio::Encode('L', "050");
    stream.insert(stream.end(), play.begin(), play.end());
    UnitWrites(stream);
    auto found = radio.WaitFor('L', 2000);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->param, "050");
    EXPECT_EQ(radio.cursor(), 2u);
    auto start = radio::Clock::now();
    EXPECT_FALSE(radio.WaitFor('C', 100));  // the only 'C' lies before the cursor
    EXPECT_GE(radio::Clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(radio.StrayBytes(), 1u);
    radio.SetCursor(0);
    EXPECT_TRUE(radio.WaitFor('C', 0));
}

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

TEST_F(FakeUnit, KeepAliveSendsStatusReportsAtItsInterval)
{
    RadioSim radio(m_fds[0]);
    const radio::RadioStatus status{.stat = '5'};
    radio.StartKeepAlive(40, status);
    auto first = radio::Clock::now();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(OneFrame(ReadFrame()), "ok C " + radio::StatusParam(status)) << i;
    }
    EXPECT_GE(radio::Clock::now() - first, std::chrono::milliseconds(110));  // three intervals after the first
    radio.StopKeepAlive();
    while (!ReadFrame(0).empty()) {
    }
    EXPECT_TRUE(ReadFrame(100).empty());
}

TEST(RadioSimPty, PulledCableIsReadAgainAfterPlug)
{
    testsupport::TempDir root;
    PtyLink link(root.path(), "ttymxc1");
    ASSERT_TRUE(link.plugged()) << link.error();
    RadioSim radio(link);
    auto unitSends = [&] {
        int slave = open((root.path() + "/dev/ttymxc1").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(slave, 0);
        ASSERT_EQ(write(slave, UNIT_I_ANSWER.data(), UNIT_I_ANSWER.size()), 10);
        close(slave);
    };
    unitSends();
    ASSERT_TRUE(radio.WaitFor('I', 2000));
    radio.Pull();
    EXPECT_FALSE(radio.SendStatus());
    ASSERT_TRUE(radio.Plug());
    unitSends();
    EXPECT_TRUE(radio.WaitFor('I', 2000));
    EXPECT_EQ(radio.FrameCount(), 2u);
}

// --- SettingClient against a peer that follows the unit's line rules -----------------

// Echoes "\r\n" at every CR or LF, then answers the line; closes on "bye" or when the client goes.
void LinePeer(int fd)
{
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1) {
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        std::string reply = "\r\n";
        if (line == "vers") {
            reply += "KOVA-LAN Ver 1.4.4.0\r\n";
        } else if (line == "getdest 0 1") {
            reply += "getdest 0 enable=0\r\ngetdest 1 enable=1\r\n";
        } else if (line == "log") {
            reply += "log L 0102\r\n";
            (void)!write(fd, reply.data(), reply.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(250));  // longer than a quiet end
            reply = "log Z\r\n";
        } else if (line == "bye") {
            return;
        }
        (void)!write(fd, reply.data(), reply.size());
        line.clear();
    }
}

ReplyEnd EndAt(int lines, const std::string& lastPrefix = "", int timeoutMs = 0)
{
    ReplyEnd end;
    end.lines = lines;
    end.lastPrefix = lastPrefix;
    if (timeoutMs > 0) {
        end.timeoutMs = timeoutMs;
    }
    return end;
}

TEST(SettingClient, RepliesComeBackExactlyWithTheLineEndEchoSeparatedOnASocketAndATcpPort)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    std::thread peer(LinePeer, fds[1]);
    {
        SettingClient client(fds[0], true);
        SettingReply vers = client.Command("vers");
        EXPECT_TRUE(vers.echoed && vers.complete);
        EXPECT_EQ(vers.text, "KOVA-LAN Ver 1.4.4.0\r\n");
        // The LF is a second, empty line.
        EXPECT_EQ(client.Command("vers", {}, "\r\n").raw, "\r\nKOVA-LAN Ver 1.4.4.0\r\n\r\n");
        SettingReply dest = client.Command("getdest 0 1", EndAt(2));
        EXPECT_TRUE(dest.complete);
        EXPECT_EQ(dest.lines, (std::vector<std::string>{"getdest 0 enable=0", "getdest 1 enable=1"}));
        SettingReply log = client.Command("log", EndAt(0, "log Z"));
        EXPECT_TRUE(log.complete);
        EXPECT_EQ(log.text, "log L 0102\r\nlog Z\r\n");
        SettingReply silent = client.Command("setdest 3 0 target=10.0.0.9");
        EXPECT_TRUE(silent.complete);
        EXPECT_EQ(silent.raw + "|" + silent.text, "\r\n|");
        SettingReply shortReply = client.Command("vers", EndAt(3, "", 200));
        EXPECT_FALSE(shortReply.complete);
        EXPECT_EQ(shortReply.text, "KOVA-LAN Ver 1.4.4.0\r\n");
        client.Command("bye");
        EXPECT_FALSE(client.connected());
    }
    peer.join();

    int listener = loopnet::ListenTcp(0);
    ASSERT_GE(listener, 0);
    std::thread tcpPeer([listener] {
        int fd = loopnet::AcceptFor(listener, 2000);
        if (fd >= 0) {
            LinePeer(fd);
        }
    });
    {
        SettingClient client("127.0.0.1", loopnet::LocalPort(listener));
        EXPECT_TRUE(client.connected());
        EXPECT_EQ(client.Command("vers").text, "KOVA-LAN Ver 1.4.4.0\r\n");
    }
    tcpPeer.join();
    close(listener);
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

TEST_F(StandIn, CollectsBothStreamsAndStopsOnSigtermWithItsStatus)
{
    UnitOptions o = Script(
        "trap 'echo stopping; exit 3' TERM\n"
        "echo \"args: $* env=$SIM_FLAG\"\necho warn >&2\n"
        "while :; do sleep 0.02; done\n");
    o.root = m_dir.path();
    o.args = {"-x"};
    o.env = {"SIM_FLAG=on"};
    ASSERT_TRUE(unit.Start(o)) << unit.error();
    ASSERT_TRUE(unit.WaitForLine("args: --root " + m_dir.path() + " -x env=on", 3000));
    auto warn = unit.WaitForRegex(std::regex("^wa.n$"), 3000);
    ASSERT_TRUE(warn);
    EXPECT_TRUE(unit.Lines()[*warn].stderrLine);
    UnitExit exit = unit.Stop(SIGTERM, 3000);
    EXPECT_TRUE(exit.exited && exit.status == 3) << exit.status;
    EXPECT_LT(exit.elapsedMs, 1000);
    EXPECT_TRUE(unit.WaitForLine("stopping", 2000));
    EXPECT_FALSE(unit.running());
}

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

TEST_F(StandIn, MissingBinaryAndMissingNamespaceFailToStart)
{
    UnitOptions o;
    o.binary = m_dir.file("no-such-unit");
    EXPECT_FALSE(unit.Start(o));
    o = Script("exit 0\n");
    o.netns = "kovalan-no-such-namespace";
    EXPECT_FALSE(unit.Start(o));
    EXPECT_NE(unit.error().find("kovalan-no-such-namespace"), std::string::npos);
}

TEST_F(StandIn, NewNamespaceChildSeesAnotherNetworkNamespace)
{
    std::string why;
    if (!UnitProcess::CanMakeNetns(&why)) {
        GTEST_SKIP() << why;
    }
    char own[128] = {};
    ASSERT_GT(readlink("/proc/self/ns/net", own, sizeof(own) - 1), 0);
    UnitOptions o = Script("echo \"ns=$(readlink /proc/self/ns/net)\"\n");
    o.newNetns = true;
    ASSERT_TRUE(unit.Start(o)) << unit.error();
    auto line = unit.WaitForLine("ns=net:", 3000);
    ASSERT_TRUE(line);
    EXPECT_NE(unit.Lines()[*line].text, std::string("ns=") + own);
    EXPECT_EQ(unit.WaitExit(3000).status, 0);
}

}  // namespace
