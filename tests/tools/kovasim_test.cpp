// kovasim's pieces in process: the timeline orders events from several
// threads and drops the units' dates, a wrong command line exits 64 naming the
// fault and makes nothing, make-root writes a root as the daemon's own
// settings reader sees it, and the demo's frame judge names every kind of
// relay fault and measures playback offsets on hand-made arrivals. (The
// verbs as processes, with real units, are in tests/e2e.)
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "board_root.h"
#include "kovasim_cli.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "relay_check.h"
#include "sim_board.h"
#include "timeline.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(KovasimTimeline, ListsEventsFromSeveralThreadsInTimeOrderWithoutTheUnitsDate)
{
    Clock::time_point t0 = Clock::now();
    kovasim::Timeline timeline(t0);
    std::thread late([&] { timeline.Add(t0 + milliseconds(30), "radio B", "gets F"); });
    timeline.Add(t0 + milliseconds(10), "radio A", "sends G");
    late.join();
    const std::vector<sim::UnitLine> lines = {
        {"2026/01/31 12:00:00 Rx: Lan A [005][I][00256] ", false, t0 + milliseconds(20)},
        {"2026/01/31 12:00:00 start REC thread", false, t0 + milliseconds(5)},
    };
    timeline.AddUnitLines("unit B", lines, false);
    std::istringstream text(timeline.Render());
    std::vector<std::string> rows;
    for (std::string row; std::getline(text, row);) {
        rows.push_back(row);
    }
    // The heading, then three: a thread line is shown only when all lines are asked for.
    EXPECT_EQ(std::vector<std::string>(rows.begin() + 1, rows.end()),
              (std::vector<std::string>{"     10.0  radio A    sends G", "     20.0  unit B     Rx: Lan A [005][I][00256] ",
                                        "     30.0  radio B    gets F"}));
    timeline.AddUnitLines("unit B", lines, true);
    EXPECT_NE(timeline.Render().find("      5.0  unit B     start REC thread"), std::string::npos);
}

TEST(KovasimCli, RefusesBadCommandLinesWithTheUsageStatusNamesTheFaultAndMakesNothing)
{
    std::atomic<bool> stop{false};
    sim::SimBoard scratch;  // a fresh folder: the roots are made below it
    const std::string dir = scratch.root() + "/new";
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"demo", "--frames", "61"}, "--frames takes a number from 0 to 60, not '61'"},
        {{"demo", "--spacing=abc"}, "--spacing takes a number from 1 to 200, not 'abc'"},
        {{"demo", "--code"}, "--code needs a value"},
        {{"demo", "extra"}, "takes no argument 'extra'"},
        {{"make-root"}, "needs the folder to make"},
        {{"make-root", dir, "--target", "100=127.0.0.1"}, "--target takes N=ADDR"},
        {{"make-root", dir, "--target", "1=127.0.0.1,maybe"}, "--target takes N=ADDR"},
        {{"make-root", dir, "--mac", "02:00:00:00:00"}, "--mac takes six hex pairs"},
        {{"make-root", dir, "--static", "10.0.0.1"}, "--static takes ADDR,MASK"},
        {{"make-root", dir, dir + "2"}, "takes one folder, not also '"},
        {{"run"}, "needs the board root to run on"},
        {{"run", dir, "--bogus"}, "unknown option --bogus"},
        {{"list-server", "--servers", "9"}, "--servers takes a number from 1 to 8"},
        {{"list-server", "--repeater", "1001,R1,CALL"}, "five-digit server ID"},
        {{"list-server", "--repeater", "10001,R1"}, "--repeater takes SERVID,RADIOID,CALLSIGN"},
        {{"list-server", "--url", "list.txt"}, "--url takes a path from /"},
        {{"fly"}, "unknown verb 'fly'"},
    };
    for (const auto& [args, message] : cases) {
        std::ostringstream out, err;
        EXPECT_EQ(KovasimMain(args, out, err, stop), KOVASIM_EXIT_USAGE) << message;
        EXPECT_NE(err.str().find(message), std::string::npos) << err.str();
        EXPECT_FALSE(std::filesystem::exists(dir)) << message;
    }
    for (const char* verb : {"demo", "make-root", "run", "list-server"}) {
        std::ostringstream out, err;
        EXPECT_EQ(KovasimMain({verb, "--help"}, out, err, stop), KOVASIM_EXIT_OK);
        EXPECT_NE(out.str().find(std::string("kovasim ") + verb + " - "), std::string::npos) << out.str();
    }
}

TEST(KovasimMakeRoot, StaticAddressNoCarrierAndOtherPortsReachTheRootAsTheDaemonReadsIt)
{
    sim::SimBoard scratch;  // a fresh folder: the root is made below it
    const std::string root = scratch.root() + "/unit";
    std::atomic<bool> stop{false};
    std::ostringstream out, err;
    ASSERT_EQ(KovasimMain({"make-root", root, "--static", "10.77.0.5,255.255.255.0,10.77.0.1", "--no-carrier",
                           "--comm-port", "3", "--usb-port", "1001", "--rx-port", "40555"},
                          out, err, stop),
              KOVASIM_EXIT_OK)
        << err.str();
    auto read = [&](const std::string& path) {
        std::ifstream in(root + path);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    for (const char* line : {"iface eth0 inet static", "address 10.77.0.5", "gateway 10.77.0.1"}) {
        EXPECT_NE(read("/etc/network/interfaces").find(line), std::string::npos) << line;
    }
    EXPECT_EQ(read("/sys/class/net/eth0/carrier").substr(0, 1), "0");
    EXPECT_EQ(access((root + "/sbin/board-command").c_str(), X_OK), 0);

    kovasim::RootPorts ports;
    std::string why;
    ASSERT_TRUE(kovasim::ReadRootPorts(root, &ports, &why)) << why;
    EXPECT_EQ((std::vector<int>{ports.commPort, ports.usbPort, ports.rxPort, ports.txPort}),
              (std::vector<int>{3, 1001, 40555, 21110}));
    EXPECT_EQ(kovasim::DeviceName(ports.commPort) + " " + kovasim::DeviceName(ports.usbPort), "ttymxc2 ttyGS1");
    EXPECT_FALSE(kovasim::ReadRootPorts(scratch.root() + "/var", &ports, &why)) << "a folder that is no root";
}

// --- The frame judge ------------------------------------------------------------------

// A transmission H, I, 0, 1, 2, T sent 20 ms apart, and what the far radio got of it.
struct Arrivals {
    std::vector<kovasim::SentFrame> sent;
    std::vector<sim::radio::Frame> got;
    Clock::time_point t0 = Clock::now();

    Arrivals()
    {
        int ms = 0;
        for (const std::string& p : sim::RadioSim::TransmissionParams({.counter = 0x0300, .voiceFrames = 3})) {
            sent.push_back({'G', p, t0 + milliseconds(ms)});
            ms += 20;
        }
    }
    // The far radio receives sent frame i, relayed as `command`, delayMs after it was sent.
    void Receive(size_t i, int delayMs, char command = 'F')
    {
        sim::radio::FrameCollector collector;  // parsed as the radio parses it
        collector.Feed(sim::radio::Encode(command, sent[i].param), &got);
        got.back().arrival = sent[i].sent + milliseconds(delayMs);
    }
};

TEST(KovasimRelayCheck, AcceptsTheIdentificationInTheHeadersPlaceAndMeasuresEachLatency)
{
    Arrivals a;
    for (size_t i = 1; i < a.sent.size(); ++i) {
        a.Receive(i, static_cast<int>(i));
    }
    kovasim::RelayReport r = kovasim::CheckRelay(a.sent, a.got);
    EXPECT_TRUE(r.ok()) << r.problems.front();
    ASSERT_EQ(r.frames.size(), 5u);
    EXPECT_EQ(std::make_tuple(r.arrivedCount(), r.frames[0].sentIndex, r.frames[0].latencyUs, r.frames[4].latencyUs),
              std::make_tuple(5u, 1u, 1000, 5000));
}

TEST(KovasimRelayCheck, NamesAMissingAnOvertakingARelayedHeaderAWrongChannelAndAnUnsentFrame)
{
    Arrivals a;
    a.Receive(1, 1);
    a.Receive(3, 1);  // voice '1' before voice '0'
    a.Receive(2, 30);
    a.Receive(5, 1);  // voice '2' (index 4) never comes
    kovasim::RelayReport r = kovasim::CheckRelay(a.sent, a.got);
    EXPECT_EQ(r.problems, (std::vector<std::string>{
                              "frame 2 of 5 (voice 0, counter 0301) arrived out of order, after frame 3 of 5 (voice "
                              "1, counter 0302)",
                              "frame 4 of 5 (voice 2, counter 0303) never arrived"}));
    EXPECT_EQ(r.arrivedCount(), 4u);

    Arrivals b;
    b.Receive(0, 1);  // the header itself
    for (size_t i = 1; i < b.sent.size(); ++i) {
        b.Receive(i, 1, i == 2 ? 'f' : 'F');
    }
    sim::radio::FrameCollector collector;
    collector.Feed(sim::radio::Encode('F', "0  0309000000051234"), &b.got);
    r = kovasim::CheckRelay(b.sent, b.got);
    ASSERT_EQ(r.problems.size(), 3u);
    EXPECT_NE(r.problems[0].find("header H, counter 0300 was relayed"), std::string::npos) << r.problems[0];
    EXPECT_NE(r.problems[1].find("(voice 0, counter 0301) arrived as 'f' instead of 'F'"), std::string::npos)
        << r.problems[1];
    EXPECT_NE(r.problems[2].find("never sent (voice 0, counter 0309)"), std::string::npos) << r.problems[2];
}

TEST(KovasimRelayCheck, MeasuresPlaybackOffsetsFromTheFirstFrameThatCameBack)
{
    Arrivals a;  // the identification never comes back
    a.Receive(2, 500);
    a.Receive(3, 505);
    a.Receive(5, 490);
    std::vector<kovasim::PlayedOffset> offsets = kovasim::PlaybackOffsets(a.sent, kovasim::CheckRelay(a.sent, a.got));
    ASSERT_EQ(offsets.size(), 3u);
    const double expected[3][3] = {{2, 0, 0}, {3, 25, 20}, {5, 50, 60}};  // index, played, recorded
    for (size_t i = 0; i < offsets.size(); ++i) {
        EXPECT_EQ(offsets[i].sentIndex, static_cast<size_t>(expected[i][0])) << i;
        EXPECT_NEAR(offsets[i].playedMs, expected[i][1], 0.001) << i;
        EXPECT_NEAR(offsets[i].recordedMs, expected[i][2], 0.001) << i;
    }
    EXPECT_TRUE(kovasim::PlaybackOffsets(a.sent, kovasim::CheckRelay(a.sent, {})).empty());
}

}  // namespace
