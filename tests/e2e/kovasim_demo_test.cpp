// kovasim as a process: the demo relays every frame both ways in order, plays
// a recording back in order, says so in its timeline and
// leaves no unit or board behind; a demo whose units
// cannot start fails with the reason; make-root makes a root the daemon runs
// on with the chosen ports, targets and MAC; run brings a unit up, refuses a
// second run on the same root and stops the unit cleanly on SIGTERM. The
// frame judge of the demo and its playback offsets are checked on hand-made
// arrivals.
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board_root.h"
#include "kovasim_cli.h"
#include "loopnet.h"
#include "pty_link.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "relay_check.h"
#include "setting_client.h"
#include "sim_board.h"
#include "timeline.h"
#include "unit_process.h"

namespace {

#ifdef KOVALAN_E2E_SANITIZED
constexpr int SLOW = 4;
#else
constexpr int SLOW = 1;
#endif

using Clock = std::chrono::steady_clock;

std::string Kovasim()
{
    const char* env = std::getenv("KOVASIM_BINARY");
    return env != nullptr && *env != '\0' ? env : KOVASIM_E2E_BINARY;
}

// Runs kovasim with args to its end.
struct Finished {
    sim::UnitExit exit;
    std::string output;
};
Finished RunKovasim(const std::vector<std::string>& args, int timeoutMs)
{
    sim::UnitProcess p;
    sim::UnitOptions o;
    o.binary = Kovasim();
    o.args = args;
    Finished f;
    if (!p.Start(o)) {
        f.output = p.error();
        return f;
    }
    f.exit = p.WaitExit(timeoutMs);
    p.Kill();
    p.WaitForLine("\x01 no such line", 2000);  // returns once the output has closed
    f.output = p.Output();
    return f;
}

// Every match of the pattern's first group.
std::vector<std::string> Captures(const std::string& text, const std::string& pattern)
{
    std::vector<std::string> out;
    std::regex re(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it) {
        out.push_back((*it)[1]);
    }
    return out;
}

// Expects every board the output names removed and every unit it names ended (and `count` of each
// named, unless count is negative).
void ExpectNothingLeft(const std::string& output, int count = -1)
{
    std::vector<std::string> roots = Captures(output, R"(board (/\S+), receives)");
    EXPECT_TRUE(count < 0 || roots.size() == static_cast<size_t>(count)) << output;
    for (const std::string& b : roots) {
        EXPECT_FALSE(std::filesystem::exists(b)) << b;
    }
    std::vector<std::string> pids = Captures(output, R"(\(pid ([0-9]+)\))");
    EXPECT_TRUE(count < 0 || pids.size() == static_cast<size_t>(count)) << output;
    for (const std::string& pid : pids) {
        EXPECT_NE(kill(std::stoi(pid), 0), 0) << "unit " << pid << " still runs";
    }
}

// A fresh folder, removed at the end.
struct Folder {
    std::string root = [] {
        char pattern[] = "/tmp/kovasim-test-XXXXXX";
        return std::string(mkdtemp(pattern) != nullptr ? pattern : "");
    }();
    ~Folder()
    {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    const std::string& path() const { return root; }
};

TEST(KovasimDemo, EveryFrameCrossesBothWaysInOrderAndNothingIsLeftBehind)
{
    Finished f = RunKovasim({"demo", "--kovalan", KOVALAN_E2E_BINARY, "--slow", std::to_string(SLOW)}, 30000 * SLOW);
    ASSERT_TRUE(f.exit.exited) << f.output;
    EXPECT_EQ(f.exit.status, 0) << f.output;

    // Header, identification, 6 voice frames, end; the identification stands in for the header.
    EXPECT_EQ(Captures(f.output, R"(to relay[^\n]*, (8) arrived in order)").size(), 2u) << f.output;
    // Each far radio heard the identification first and the end last, with a latency; then radio A
    // recorded slot 12 and got all six frames back on channel A.
    for (const char* line :
         {R"(A -> B: 9 frames sent, 8 to relay)", R"(B -> A: 9 frames sent, 8 to relay)", R"(demo passed)",
          R"(radio B\s+gets F identification I, counter 0100, [0-9.]+ ms)",
          R"(radio B\s+gets F end T, counter 0107, [0-9.]+ ms)",
          R"(radio A\s+gets F identification I, counter 0200, [0-9.]+ ms)",
          R"(radio A\s+gets F end T, counter 0207, [0-9.]+ ms)", R"(console A\s+status 1 -> connected)",
          R"(after the exchange: status 1 connected on A, connected on B; LEDs A comm on, )"
          R"(alarm off \| B comm on, alarm off)",
          R"(unit B\s+Tx: Sio)", R"(radio A\s+gets answer R '[^']*': slot 12 recorded)",
          R"(radio A\s+asks to play slot 12 on channel A)", R"(unit A\s+Tx: play: A ch=12 res=0)",
          R"(radio A\s+gets answer L '[^']*': slot 12 accepted)",
          R"(A's recording in slot 12: 6 frames recorded, 6 played back in order as 'F')"}) {
        EXPECT_TRUE(std::regex_search(f.output, std::regex(line))) << line << "\n" << f.output;
    }
    const std::regex played(R"(radio A\s+gets F [^\n]*, counter ([0-9A-F]{4}) from slot 12, at \+([0-9.]+) ms )"
                            R"(\(recorded at \+([0-9.]+) ms\))");
    std::vector<std::string> counters;
    for (std::sregex_iterator it(f.output.begin(), f.output.end(), played), none; it != none; ++it) {
        counters.push_back((*it)[1]);
    }
    EXPECT_EQ(counters, (std::vector<std::string>{"0300", "0301", "0302", "0303", "0304", "0305"})) << f.output;
    // Unit A's communication LED goes dark while it sends A's voice to its peer, and is lit again after.
    size_t talk = f.output.find("radio A    sends G");
    ASSERT_NE(talk, std::string::npos) << f.output;
    size_t dark = f.output.find("LEDs A     comm off", talk);
    EXPECT_NE(dark, std::string::npos) << f.output;
    EXPECT_NE(f.output.find("LEDs A     comm on", dark), std::string::npos) << f.output;

    ExpectNothingLeft(f.output, 2);
}

TEST(KovasimDemo, FailsWithTheReasonWhenAUnitCannotStart)
{
    Finished f = RunKovasim({"demo", "--kovalan", "/bin/false"}, 10000 * SLOW);
    ASSERT_TRUE(f.exit.exited) << f.output;
    EXPECT_EQ(f.exit.status, 1) << f.output;
    // The unit's end is seen as such, even when its output closes before it can be reaped.
    EXPECT_NE(f.output.find("unit A ended during its start (exit status 1)"), std::string::npos) << f.output;
    EXPECT_EQ(f.output.find("did not stop cleanly"), std::string::npos) << f.output;
    EXPECT_EQ(f.output.find("demo passed"), std::string::npos) << f.output;
    ExpectNothingLeft(f.output);
}

TEST(KovasimDemo, CtrlCStopsTheUnitsAndRemovesTheBoards)
{
    sim::UnitProcess demo;
    sim::UnitOptions o;
    o.binary = Kovasim();
    o.args = {"demo", "--kovalan", KOVALAN_E2E_BINARY};
    ASSERT_TRUE(demo.Start(o)) << demo.error();
    ASSERT_TRUE(demo.WaitForLine("unit B: board", 5000 * SLOW)) << demo.Output();
    // Interrupted once unit B runs: it has made its ring log below its board.
    std::vector<std::string> roots = Captures(demo.Output(), R"(board (/\S+), receives)");
    ASSERT_EQ(roots.size(), 2u) << demo.Output();
    const auto deadline = Clock::now() + std::chrono::milliseconds(5000 * SLOW);
    while (!std::filesystem::exists(roots[1] + "/var/local/kovalan.log") && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sim::UnitExit exit = demo.Stop(SIGINT, 8000 * SLOW);
    ASSERT_TRUE(exit.exited) << demo.Output();
    demo.WaitForLine("\x01 no such line", 2000);
    std::string output = demo.Output();
    EXPECT_EQ(exit.status, 1) << output;
    EXPECT_NE(output.find("  interrupted"), std::string::npos) << output;
    ExpectNothingLeft(output);
}

// --- The timeline and the command line (in process) -------------------------------------

TEST(KovasimTimeline, ListsEventsFromSeveralThreadsInTimeOrderWithoutTheUnitsDate)
{
    Clock::time_point t0 = Clock::now();
    kovasim::Timeline timeline(t0);
    std::thread late([&] { timeline.Add(t0 + std::chrono::milliseconds(30), "radio B", "gets F"); });
    timeline.Add(t0 + std::chrono::milliseconds(10), "radio A", "sends G");
    late.join();
    std::vector<sim::UnitLine> lines = {
        {"2026/01/31 12:00:00 Rx: Lan A [005][I][00256] ", false, t0 + std::chrono::milliseconds(20)},
        {"2026/01/31 12:00:00 start REC thread", false, t0 + std::chrono::milliseconds(5)},
        {"Tx: Sio A [005][I][00256]", false, t0 + std::chrono::milliseconds(25)},
    };
    timeline.AddUnitLines("unit B", lines, false);
    std::istringstream text(timeline.Render());
    std::vector<std::string> rows;
    for (std::string row; std::getline(text, row);) {
        rows.push_back(row);
    }
    ASSERT_EQ(rows.size(), 5u) << timeline.Render();  // the heading, then four; the thread line is dropped
    EXPECT_EQ(rows[1], "     10.0  radio A    sends G");
    EXPECT_EQ(rows[2], "     20.0  unit B     Rx: Lan A [005][I][00256] ");
    EXPECT_EQ(rows[3], "     25.0  unit B     Tx: Sio A [005][I][00256]");
    EXPECT_EQ(rows[4], "     30.0  radio B    gets F");

    timeline.AddUnitLines("unit B", lines, true);
    EXPECT_NE(timeline.Render().find("      5.0  unit B     start REC thread"), std::string::npos);
}

TEST(KovasimCli, RefusesBadCommandLinesWithStatusTwoAndNamesTheFault)
{
    std::atomic<bool> stop{false};
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"demo", "--frames", "61"}, "--frames takes a number from 0 to 60, not '61'"},
        {{"demo", "--spacing=abc"}, "--spacing takes a number from 1 to 200, not 'abc'"},
        {{"demo", "--code"}, "--code needs a value"},
        {{"demo", "extra"}, "takes no argument 'extra'"},
        {{"make-root"}, "needs the folder to make"},
        {{"make-root", "DIR", "--target", "100=127.0.0.1"}, "--target takes N=ADDR"},
        {{"make-root", "DIR", "--target", "1=127.0.0.1,maybe"}, "--target takes N=ADDR"},
        {{"make-root", "DIR", "--mac", "02:00:00:00:00"}, "--mac takes six hex pairs"},
        {{"make-root", "DIR", "--static", "10.0.0.1"}, "--static takes ADDR,MASK"},
        {{"make-root", "DIR", "DIR2"}, "takes one folder, not also '"},
        {{"run"}, "needs the board root to run on"},
        {{"run", "DIR", "--bogus"}, "unknown option --bogus"},
        {{"fly"}, "unknown verb 'fly'"},
    };
    Folder folder;
    std::string dir = folder.path() + "/root";
    for (const auto& [pattern, message] : cases) {
        std::vector<std::string> args = pattern;
        for (std::string& a : args) {
            a = a == "DIR" ? dir : a == "DIR2" ? dir + "2" : a;
        }
        std::ostringstream out, err;
        EXPECT_EQ(KovasimMain(args, out, err, stop), KOVASIM_EXIT_USAGE) << args[0] << " " << message;
        EXPECT_NE(err.str().find(message), std::string::npos) << err.str();
        EXPECT_FALSE(std::filesystem::exists(dir)) << "nothing is made on a bad line";
    }
    for (const char* verb : {"demo", "make-root", "run"}) {
        std::ostringstream out, err;
        EXPECT_EQ(KovasimMain({verb, "--help"}, out, err, stop), KOVASIM_EXIT_OK);
        EXPECT_NE(out.str().find(std::string("kovasim ") + verb + " - "), std::string::npos) << out.str();
    }
}

TEST(KovasimMakeRoot, StaticAddressNoCarrierAndOtherPortsReachTheRootAsTheDaemonReadsIt)
{
    Folder folder;
    std::string root = folder.path() + "/unit";
    std::atomic<bool> stop{false};
    std::ostringstream out, err;
    ASSERT_EQ(KovasimMain({"make-root", root, "--static", "10.77.0.5,255.255.255.0,10.77.0.1", "--no-carrier",
                           "--comm-port", "3", "--usb-port", "1001", "--rx-port", "40555"},
                          out, err, stop),
              KOVASIM_EXIT_OK)
        << err.str();
    std::ifstream in(root + "/etc/network/interfaces");
    std::string interfaces((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* line : {"iface eth0 inet static", "address 10.77.0.5", "gateway 10.77.0.1"}) {
        EXPECT_NE(interfaces.find(line), std::string::npos) << interfaces;
    }
    std::ifstream carrier(root + "/sys/class/net/eth0/carrier");
    EXPECT_EQ(carrier.get(), '0');
    EXPECT_EQ(access((root + "/sbin/board-command").c_str(), X_OK), 0);

    kovasim::RootPorts ports;
    std::string why;
    ASSERT_TRUE(kovasim::ReadRootPorts(root, &ports, &why)) << why;
    EXPECT_EQ((std::vector<int>{ports.commPort, ports.usbPort, ports.rxPort, ports.txPort}),
              (std::vector<int>{3, 1001, 40555, 21110}));
    EXPECT_EQ(kovasim::DeviceName(ports.commPort), "ttymxc2");
    EXPECT_EQ(kovasim::DeviceName(ports.usbPort), "ttyGS1");
    EXPECT_FALSE(kovasim::ReadRootPorts(folder.path(), &ports, &why)) << "a folder that is no root";
}

// --- The frame judge --------------------------------------------------------------

struct Arrivals {
    std::vector<kovasim::SentFrame> sent;
    std::vector<sim::radio::Frame> got;
    Clock::time_point t0 = Clock::now();

    Arrivals()
    {
        const sim::Transmission t{.counter = 0x0300, .voiceFrames = 3};
        int ms = 0;
        for (const std::string& p : sim::RadioSim::TransmissionParams(t)) {
            sent.push_back({'G', p, t0 + std::chrono::milliseconds(ms)});
            ms += 20;
        }
    }
    // The far radio receives sent frame i, relayed as `command`, delayMs after it was sent.
    void Receive(size_t i, int delayMs, char command = 'F')
    {
        sim::radio::FrameCollector collector;  // parsed as the radio parses it
        collector.Feed(sim::radio::Encode(command, sent[i].param), &got);
        got.back().arrival = sent[i].sent + std::chrono::milliseconds(delayMs);
    }
};

TEST(KovasimRelayCheck, AcceptsTheIdentificationInTheHeadersPlaceAndMeasuresEachLatency)
{
    Arrivals a;  // H, I, 0, 1, 2, T
    for (size_t i = 1; i < a.sent.size(); ++i) {
        a.Receive(i, static_cast<int>(i));
    }
    kovasim::RelayReport r = kovasim::CheckRelay(a.sent, a.got);
    EXPECT_TRUE(r.ok()) << r.problems.front();
    ASSERT_EQ(r.frames.size(), 5u);
    EXPECT_EQ(r.arrivedCount(), 5u);
    EXPECT_EQ(r.frames[0].sentIndex, 1u);
    EXPECT_EQ(r.frames[0].latencyUs, 1000);
    EXPECT_EQ(r.frames[4].latencyUs, 5000);
}

TEST(KovasimRelayCheck, NamesAMissingFrameAndOneThatOvertookItsPredecessor)
{
    Arrivals a;
    a.Receive(1, 1);
    a.Receive(3, 1);  // voice '1' before voice '0'
    a.Receive(2, 30);
    a.Receive(5, 1);  // voice '2' (index 4) never comes
    kovasim::RelayReport r = kovasim::CheckRelay(a.sent, a.got);
    ASSERT_EQ(r.problems.size(), 2u);
    EXPECT_EQ(r.problems[0],
              "frame 2 of 5 (voice 0, counter 0301) arrived out of order, after frame 3 of 5 (voice "
              "1, counter 0302)");
    EXPECT_EQ(r.problems[1], "frame 4 of 5 (voice 2, counter 0303) never arrived");
    EXPECT_EQ(r.arrivedCount(), 4u);
}

TEST(KovasimRelayCheck, FlagsARelayedHeaderAWrongChannelAndAFrameNobodySent)
{
    Arrivals a;
    a.Receive(0, 1);  // the header itself
    for (size_t i = 1; i < a.sent.size(); ++i) {
        a.Receive(i, 1, i == 2 ? 'f' : 'F');
    }
    sim::radio::FrameCollector collector;
    collector.Feed(sim::radio::Encode('F', "0  0309000000051234"), &a.got);
    kovasim::RelayReport r = kovasim::CheckRelay(a.sent, a.got);
    ASSERT_EQ(r.problems.size(), 3u);
    EXPECT_NE(r.problems[0].find("header H, counter 0300 was relayed"), std::string::npos) << r.problems[0];
    EXPECT_NE(r.problems[1].find("(voice 0, counter 0301) arrived as 'f' instead of 'F'"), std::string::npos)
        << r.problems[1];
    EXPECT_NE(r.problems[2].find("never sent (voice 0, counter 0309)"), std::string::npos) << r.problems[2];
}

TEST(KovasimRelayCheck, MeasuresPlaybackOffsetsFromTheFirstFrameThatCameBack)
{
    Arrivals a;  // H, I, 0, 1, 2, T, sent 20 ms apart; the identification never comes back
    a.Receive(2, 500);
    a.Receive(3, 505);
    a.Receive(5, 490);
    kovasim::RelayReport r = kovasim::CheckRelay(a.sent, a.got);
    std::vector<kovasim::PlayedOffset> offsets = kovasim::PlaybackOffsets(a.sent, r);
    ASSERT_EQ(offsets.size(), 3u);
    const double expected[3][3] = {{2, 0, 0}, {3, 25, 20}, {5, 50, 60}};  // index, played, recorded
    for (size_t i = 0; i < offsets.size(); ++i) {
        EXPECT_EQ(offsets[i].sentIndex, static_cast<size_t>(expected[i][0])) << i;
        EXPECT_NEAR(offsets[i].playedMs, expected[i][1], 0.001) << i;
        EXPECT_NEAR(offsets[i].recordedMs, expected[i][2], 0.001) << i;
    }
    EXPECT_TRUE(kovasim::PlaybackOffsets(a.sent, kovasim::CheckRelay(a.sent, {})).empty());
}

// --- make-root and run --------------------------------------------------------------

bool PortTaken(uint16_t port)
{
    int fd = loopnet::BindUdp(port);
    if (fd >= 0) {
        close(fd);
    }
    return fd < 0;
}

TEST(KovasimMakeRoot, MakesARootTheDaemonRunsOnWithTheChosenPortsTargetsAndMac)
{
    Folder folder;
    std::string root = folder.path() + "/unit";
    uint16_t rx = loopnet::FreePort(SOCK_DGRAM);
    Finished made = RunKovasim({"make-root", root, "--rx-port", std::to_string(rx), "--tx-port=40123", "--target",
                                "1=127.0.0.1", "--target", "7=127.0.0.9,off", "--mac", "02:00:00:00:00:2A"},
                               5000);
    ASSERT_EQ(made.exit.status, 0) << made.output;
    EXPECT_EQ(RunKovasim({"make-root", root}, 5000).exit.status, 1) << "a root is never made over another";

    sim::PtyLink radioLink(root, "ttymxc1");
    sim::PtyLink usbLink(root, "ttyGS0");
    sim::RadioSim radio(radioLink);
    sim::UnitProcess unit;
    sim::UnitOptions o;
    o.binary = KOVALAN_E2E_BINARY;
    o.root = root;
    ASSERT_TRUE(unit.Start(o)) << unit.error();
    ASSERT_TRUE(unit.WaitForLine("start timer thread", 5000 * SLOW)) << unit.Output();
    ASSERT_TRUE(radio.Identify({}, {}, 2000 * SLOW)) << unit.Output();
    EXPECT_TRUE(unit.WaitForLine("[I] state ready", 2000 * SLOW)) << unit.Output();
    EXPECT_TRUE(PortTaken(rx)) << "the unit receives on the chosen port";

    sim::SettingClient console(usbLink);
    sim::ReplyEnd one;
    one.lines = 1;
    const std::pair<const char*, const char*> replies[] = {
        {"mac", "02:00:00:00:00:2A"}, {"udpport", "40123"}, {"target 1", "127.0.0.1"}, {"enable 1", "1"},
        {"target 7", "127.0.0.9"},    {"enable 7", "0"},
    };
    for (const auto& [command, expected] : replies) {
        sim::SettingReply reply = console.Command(command, one);
        EXPECT_EQ(reply.lines, std::vector<std::string>{expected}) << command << ": " << reply.raw;
    }
    sim::UnitExit exit = unit.Stop(SIGTERM, 3000 * SLOW);
    EXPECT_TRUE(exit.exited && exit.status == 0) << unit.Output();
}

TEST(KovasimRun, BringsTheUnitUpRefusesASecondRunAndStopsItCleanlyOnSigterm)
{
    Folder folder;
    std::string root = folder.path() + "/unit";
    uint16_t rx = loopnet::FreePort(SOCK_DGRAM);
    ASSERT_EQ(RunKovasim({"make-root", root, "--rx-port", std::to_string(rx)}, 5000).exit.status, 0);

    sim::UnitProcess run;
    sim::UnitOptions o;
    o.binary = Kovasim();
    o.args = {"run", root, "--kovalan", KOVALAN_E2E_BINARY, "--slow", std::to_string(SLOW)};
    ASSERT_TRUE(run.Start(o)) << run.error();
    ASSERT_TRUE(run.WaitForLine("[I] state ready", 8000 * SLOW)) << run.Output();
    EXPECT_TRUE(run.WaitForLine("radio: got I \"0\"", 2000 * SLOW)) << run.Output();
    EXPECT_TRUE(std::filesystem::is_symlink(root + "/dev/ttymxc1"));

    Finished second = RunKovasim({"run", root, "--kovalan", KOVALAN_E2E_BINARY}, 5000 * SLOW);
    EXPECT_EQ(second.exit.status, 1) << second.output;
    EXPECT_NE(second.output.find("another kovasim runs a unit on"), std::string::npos) << second.output;
    EXPECT_TRUE(run.running()) << "the first run goes on";

    sim::UnitExit exit = run.Stop(SIGTERM, 5000 * SLOW);
    ASSERT_TRUE(exit.exited) << run.Output();
    EXPECT_EQ(exit.status, 0) << run.Output();
    EXPECT_TRUE(run.WaitForLine("the unit was stopped: exit status 0", 0)) << run.Output();
    EXPECT_TRUE(run.WaitForLine("end timer thread", 0)) << run.Output();
    EXPECT_FALSE(std::filesystem::exists(root + "/dev/ttymxc1"));
    EXPECT_FALSE(std::filesystem::exists(root + "/var/run/kovasim.lock"));
    EXPECT_FALSE(PortTaken(rx)) << "the unit is gone";
}

}  // namespace
