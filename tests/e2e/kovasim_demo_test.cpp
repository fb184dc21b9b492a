// kovasim as a process: the demo relays every frame both ways in order, plays
// a recording back in order, says so in its timeline and leaves no unit or
// board behind, also when its units cannot start or Ctrl-C stops it;
// run brings a unit up on a root make-root made, with the chosen ports,
// targets and MAC, refuses a second run on the same root and stops the unit
// cleanly on SIGTERM. (Its pieces in process: tests/tools/kovasim_test.)
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "loopnet.h"
#include "sim_board.h"
#include "unit_process.h"

namespace {

using e2e::Finished;
using e2e::PortTaken;
using e2e::SLOW;

std::string Kovasim()
{
    const char* env = std::getenv("KOVASIM_BINARY");
    return env != nullptr && *env != '\0' ? env : KOVASIM_E2E_BINARY;
}

Finished RunKovasim(const std::vector<std::string>& args, int timeoutMs)
{
    return e2e::RunToEnd(Kovasim(), args, timeoutMs);
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

TEST(KovasimDemo, EveryFrameCrossesBothWaysInOrderAndNothingIsLeftBehind)
{
    Finished f = RunKovasim({"demo", "--kovalan", e2e::DaemonBinary(), "--slow", std::to_string(SLOW)}, 30000 * SLOW);
    ASSERT_TRUE(f.exit.exited) << f.output;
    EXPECT_EQ(f.exit.status, 0) << f.output;

    // Header, identification, 6 voice frames, end: the identification stands in for the header. Each far
    // radio heard the identification first and the end last; then radio A recorded slot 12 and got its
    // six frames back in order on channel A.
    for (const char* line :
         {R"(A -> B: 9 frames sent, 8 to relay[^\n]*, 8 arrived in order)",
          R"(B -> A: 9 frames sent, 8 to relay[^\n]*, 8 arrived in order)", R"(demo passed)",
          R"(radio B\s+gets F identification I, counter 0100, [0-9.]+ ms)",
          R"(radio A\s+gets F end T, counter 0207, [0-9.]+ ms)", R"(console A\s+status 1 -> connected)",
          R"(after the exchange: status 1 connected on A, connected on B; LEDs A comm on, )"
          R"(alarm off \| B comm on, alarm off)",
          R"(radio A\s+gets answer R '[^']*': slot 12 recorded)", R"(unit A\s+Tx: play: A ch=12 res=0)",
          R"(radio A\s+gets answer L '[^']*': slot 12 accepted)",
          R"(A's recording in slot 12: 6 frames recorded, 6 played back in order as 'F')"}) {
        EXPECT_TRUE(std::regex_search(f.output, std::regex(line))) << line << "\n" << f.output;
    }
    EXPECT_EQ(Captures(f.output, R"(radio A\s+gets F [^\n]*, counter ([0-9A-F]{4}) from slot 12)"),
              (std::vector<std::string>{"0300", "0301", "0302", "0303", "0304", "0305"}))
        << f.output;
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
    o.args = {"demo", "--kovalan", e2e::DaemonBinary()};
    ASSERT_TRUE(demo.Start(o)) << demo.error();
    ASSERT_TRUE(demo.WaitForLine("unit B: board", 5000 * SLOW)) << demo.Output();
    // Interrupted once unit B runs: it has made its ring log below its board.
    std::vector<std::string> roots = Captures(demo.Output(), R"(board (/\S+), receives)");
    ASSERT_EQ(roots.size(), 2u) << demo.Output();
    EXPECT_TRUE(e2e::Eventually([&] { return std::filesystem::exists(roots[1] + "/var/local/kovalan.log"); }));
    sim::UnitExit exit = demo.Stop(SIGINT, 8000 * SLOW);
    ASSERT_TRUE(exit.exited) << demo.Output();
    demo.WaitForLine("\x01 no such line", 2000);
    std::string output = demo.Output();
    EXPECT_EQ(exit.status, 1) << output;
    EXPECT_NE(output.find("  interrupted"), std::string::npos) << output;
    ExpectNothingLeft(output);
}

// --- run ----------------------------------------------------------------------------

// The console offered at a path answers as the board's USB port does.
std::string AskThroughPort(const std::string& path, const std::string& line)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return "cannot open " + path;
    }
    termios raw;
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    std::string got;
    if (write(fd, (line + "\r").data(), line.size() + 1) == static_cast<ssize_t>(line.size() + 1)) {
        e2e::Eventually([&] {
            char buf[256];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
                got.append(buf, static_cast<size_t>(n));
            }
            return got.find("\r\n", 2) != std::string::npos;
        });
    }
    close(fd);
    return got;
}

TEST(KovasimRun, BringsTheUnitUpRefusesASecondRunAndStopsItCleanlyOnSigterm)
{
    sim::SimBoard scratch;  // a fresh folder: the root is made below it
    std::string root = scratch.root() + "/unit";
    uint16_t rx = loopnet::FreePort(SOCK_DGRAM);
    Finished made = RunKovasim({"make-root", root, "--rx-port", std::to_string(rx), "--tx-port=40123", "--target",
                                "1=127.0.0.1", "--target", "7=127.0.0.9,off", "--mac", "02:00:00:00:00:2A"},
                               5000);
    ASSERT_EQ(made.exit.status, 0) << made.output;
    EXPECT_EQ(RunKovasim({"make-root", root}, 5000).exit.status, 1) << "a root is never made over another";

    sim::UnitProcess run;
    sim::UnitOptions o;
    o.binary = Kovasim();
    const std::string pcPort = scratch.root() + "/ttyACM0";
    o.args = {"run", root, "--kovalan", e2e::DaemonBinary(), "--slow", std::to_string(SLOW), "--console", pcPort};
    ASSERT_TRUE(run.Start(o)) << run.error();
    ASSERT_TRUE(run.WaitForLine("[I] state ready", 8000 * SLOW)) << run.Output();
    EXPECT_TRUE(run.WaitForLine("radio: got I \"0\"", 2000 * SLOW)) << run.Output();
    EXPECT_TRUE(std::filesystem::is_symlink(root + "/dev/ttymxc1"));
    // The unit runs on what make-root chose: its ports, targets and MAC.
    const std::pair<const char*, const char*> replies[] = {
        {"vers", "KOVA-LAN Ver 1.4.4.0"}, {"mac", "02:00:00:00:00:2A"}, {"udpport", "40123"},
        {"target 1", "127.0.0.1"},        {"enable 1", "1"},            {"target 7", "127.0.0.9"},
        {"enable 7", "0"},
    };
    for (const auto& [command, expected] : replies) {
        EXPECT_EQ(AskThroughPort(pcPort, command), std::string("\r\n") + expected + "\r\n") << command;
    }
    EXPECT_TRUE(PortTaken(rx)) << "the unit receives on the chosen port";

    Finished second = RunKovasim({"run", root, "--kovalan", e2e::DaemonBinary()}, 5000 * SLOW);
    EXPECT_EQ(second.exit.status, 1) << second.output;
    EXPECT_NE(second.output.find("another kovasim runs a unit on"), std::string::npos) << second.output;
    EXPECT_TRUE(run.running()) << "the first run goes on";

    sim::UnitExit exit = run.Stop(SIGTERM, 5000 * SLOW);
    ASSERT_EQ(exit.status, 0) << run.Output();
    EXPECT_TRUE(run.WaitForLine("the unit was stopped: exit status 0", 2000 * SLOW)) << run.Output();
    EXPECT_TRUE(run.WaitForLine("end timer thread", 2000 * SLOW)) << run.Output();
    EXPECT_FALSE(std::filesystem::exists(root + "/dev/ttymxc1"));
    EXPECT_FALSE(std::filesystem::is_symlink(pcPort));
    EXPECT_FALSE(std::filesystem::exists(root + "/var/run/kovasim.lock"));
    EXPECT_FALSE(PortTaken(rx)) << "the unit is gone";
}

}  // namespace
