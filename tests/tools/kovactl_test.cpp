// kovactl against fake units on a loopback TCP setting port and on a pty standing for the USB
// gadget port. The fake answers as the unit's line editor does ("\r\n" at a line end, no prompt,
// optionally an echo of every typed character) with replies written out here, so reply ends, exit
// statuses and JSON output are checked against the unit's behaviour, not kovactl's own tables.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>

#include "kovactl_cli.h"
#include "kovactl_commands.h"
#include "kovactl_log.h"
#include "kovactl_reply.h"
#include "loopnet.h"
#include "pty_link.h"

namespace {

constexpr char PAUSE = '\x01';  // in a fake reply: wait 250 ms here

// A reply function: the raw bytes the unit sends for a line (PAUSE marks
// allowed). An empty function stands for a unit that never answers at all.
using Answer = std::function<std::string(const std::string& line)>;

// A TCP setting port on 127.0.0.1, or the unit end of a pty (echo: every
// typed character is sent back).
class FakeUnit {
   public:
    explicit FakeUnit(Answer answer, sim::PtyLink* link = nullptr, bool echo = false)
        : m_answer(std::move(answer)), m_link(link), m_echo(echo), m_listener(link ? -1 : loopnet::ListenTcp(0))
    {
        m_thread = std::thread([this] {
            while (!m_stop) {
                if (m_link != nullptr) {
                    Serve(m_link->master());
                } else if (int fd = loopnet::AcceptFor(m_listener, 20); fd >= 0) {
                    int one = 1;  // as the unit does: the echo and the reply are separate small writes
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    Serve(fd);
                    close(fd);
                }
            }
        });
    }
    ~FakeUnit()
    {
        m_stop = true;
        m_thread.join();
        if (m_listener >= 0) {
            close(m_listener);
        }
    }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(loopnet::LocalPort(m_listener)); }
    std::vector<std::string> lines()
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_lines;
    }

   private:
    void Send(int fd, const std::string& bytes) { m_link ? m_link->Write(bytes) : loopnet::WriteAll(fd, bytes); }
    void Serve(int fd)
    {
        std::string line;
        char buf[512];
        while (!m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) {
                return;
            }
            for (char c : m_answer ? std::string(buf, static_cast<size_t>(n)) : std::string()) {
                if (c != '\r' && c != '\n') {
                    line += c;
                    Send(fd, m_echo ? std::string(1, c) : std::string());
                    continue;
                }
                Send(fd, "\r\n");
                {
                    std::lock_guard<std::mutex> g(m_lock);
                    m_lines.push_back(line);
                }
                std::string reply = m_answer(line);
                for (size_t pause; (pause = reply.find(PAUSE)) != std::string::npos; reply.erase(0, pause + 1)) {
                    Send(fd, reply.substr(0, pause));
                    std::this_thread::sleep_for(std::chrono::milliseconds(250));
                }
                Send(fd, reply);
                line.clear();
            }
        }
    }

    Answer m_answer;
    sim::PtyLink* m_link;
    bool m_echo;
    int m_listener;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::vector<std::string> m_lines;
    std::thread m_thread;
};

// The answers of a unit with target 5 at 10.0.0.5, connected, and the lock off.
// Entry 7's call sign, as a peer may send it, holds a quote.
std::string UnitAnswer(const std::string& line)
{
    static const std::map<std::string, std::string> fixed = {
        {"vers", "KOVA-LAN Ver 1.4.4.0\r\n"},
        {"enable 3 1", "OK\r\n"},
        {"udpport", "NG\r\n"},
        {"update", "hardware error\r\n"},
        {"getdest 5 7", "getdest 5 enable=1 target=10.0.0.5\r\n" + std::string(1, PAUSE) +
                            "getdest 6 enable=0 target=0.0.0.0\r\ngetdest 7 enable=0 target=0.0.0.0\r\n"},
        {"getdest 0 2", "getdest 0 enable=0 target=0.0.0.0\r\ngetdest 1 enable=0 target=0.0.0.0\r\n"},
        {"log", "log L 20240102030405 616263\r\n" + std::string(1, PAUSE) + "log Z\r\n"},
        {"searchres", "searchres BUSY\r\n"},
        {"setdest 3 0 target=10.0.0.9", ""},
        {"setdest 4 0 target=10.0.0.9", "NG\r\n"},
    };
    if (auto it = fixed.find(line); it != fixed.end()) {
        return it->second;
    }
    if (line == "getdest 0 99") {
        std::string rows;
        for (int n = 0; n < 100; ++n) {
            const bool five = n == 5;
            rows += "getdest " + std::to_string(n) + (five ? " enable=1 target=10.0.0.5" : " enable=0 target=0.0.0.0") +
                    " sctbl=00000000000000000000000000000000 callsign=\"" + (five ? "JA1ABC" : n == 7 ? "Q\"7" : "") +
                    "\" radioid=\"\" memo=\"" + (five ? "east hill \\ b" : "") + "\" loc_dgid=FF def_dgid=FF\r\n";
        }
        return rows;
    }
    if (line.rfind("status ", 0) == 0) {
        return line == "status 5" ? "connected\r\n" : "idle\r\n";
    }
    if (line.rfind("setdest", 0) == 0 || line.rfind("netparam", 0) == 0) {
        return "OK\r\n";
    }
    return "command error\r\n";
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

ToolRun Kovactl(std::vector<std::string> args, const std::string& input = "")
{
    std::istringstream in(input);
    std::ostringstream out, err;
    const int status = KovactlMain(args, in, out, err);
    return {status, out.str(), err.str()};
}

const auto Has = [](const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; };

std::vector<std::string> OutLines(const std::string& out)
{
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    return lines;
}

struct TempPty {
    std::string root = [] {
        char name[] = "/tmp/kovactl-test-XXXXXX";
        return std::string(mkdtemp(name));
    }();
    sim::PtyLink link{root, "ttyACM0"};
    ~TempPty() { std::filesystem::remove_all(root); }
};

}  // namespace

// A listing is not cut at the unit's 250 ms pause, longer than the quiet
// time, and ends at its last line; a silent setdest is accepted after the
// quiet time, its refusal is not.
TEST(KovactlTcp, ReadsChangesListingsAndRefusalsGetTheirExitStatusAndLinesEndInCrOnly)
{
    FakeUnit unit(UnitAnswer);
    const std::string silent = "setdest 3 0 target=10.0.0.9";
    // A command's own options pass through.
    const std::tuple<std::vector<std::string>, int, std::string> runs[] = {
        {{"udpport"}, 1, "NG\n"},
        {{"update"}, 1, "hardware error\n"},
        {{"netparam", "-t", "10.0.0.5", "255.0.0.0"}, 0, "OK\n"},
        {{"netparam", "-r"}, 0, "OK\n"},
        {{"--quiet", "50", "getdest", "5", "7"}, 0,
         "getdest 5 enable=1 target=10.0.0.5\ngetdest 6 enable=0 target=0.0.0.0\ngetdest 7 enable=0 target=0.0.0.0\n"},
        {{"--quiet", "50", "--json", "log"}, 0, "{\"time\": \"2024-01-02T03:04:05\", \"category\": \"other\", \"text\": \"abc\"}\n"},
        {{"searchres"}, 0, "searchres BUSY\n"},
        {{"--quiet", "100", "--json", "setdest", "3", "0", "target=10.0.0.9"}, 0,
         "{\"command\": \"" + silent + "\", \"reply\": [], \"outcome\": \"no_reply\"}\n"},
        {{"--quiet", "100", "setdest", "4", "0", "target=10.0.0.9"}, 1, "NG\n"},
    };
    for (const auto& [args, status, out] : runs) {
        std::vector<std::string> line = {"-t", unit.hostPort(), "--timeout", "3000"};
        line.insert(line.end(), args.begin(), args.end());
        ToolRun r = Kovactl(line);
        EXPECT_EQ(std::tie(r.status, r.out), std::tie(status, out)) << args.back();
    }
    // A CR LF terminator would show up here as an extra empty line after each command.
    EXPECT_EQ(unit.lines(), (std::vector<std::string>{"udpport", "update", "netparam -t 10.0.0.5 255.0.0.0", "netparam -r", "getdest 5 7",
                                                      "log", "searchres", silent, "setdest 4 0 target=10.0.0.9"}));
}

TEST(KovactlTcp, SilentUnitCutReplyRefusedPortAndMissingDeviceAllGiveStatus2)
{
    FakeUnit silent{Answer{}};
    ToolRun none = Kovactl({"-t", silent.hostPort(), "--timeout", "100", "--json", "vers"});
    EXPECT_EQ(std::make_tuple(none.status, Has(none.out, "\"outcome\": \"timeout\"")), std::make_tuple(2, true))
        << none.out;

    FakeUnit unit(UnitAnswer);
    ToolRun cut = Kovactl({"-t", unit.hostPort(), "--timeout", "200", "--json", "getdest", "0", "2"});
    EXPECT_EQ(std::make_tuple(cut.status, Has(cut.out,
                                              "\"reply\": [\"getdest 0 enable=0 target=0.0.0.0\", "
                                              "\"getdest 1 enable=0 target=0.0.0.0\"], \"outcome\": \"incomplete\"")),
              std::make_tuple(2, true))
        << cut.out;

    ToolRun refused = Kovactl({"-t", "127.0.0.1:" + std::to_string(loopnet::FreePort(SOCK_STREAM)), "vers"});
    EXPECT_EQ(std::make_tuple(refused.status, Has(refused.err, "refused")), std::make_tuple(2, true)) << refused.err;
    EXPECT_EQ(Kovactl({"-d", "/nonexistent/ttyACM9", "vers"}).status, 2);
}

// The pty starts cooked at another speed, as a PC's tty comes up; the unit
// echoes every typed character; bytes left in the port before kovactl opens it
// are stale.
TEST(KovactlSerial, LineIsRaw9600AndTypedEchoStaleInputOrAMuteUnitGiveNoFalseReply)
{
    TempPty pty;
    sim::PtyLink& link = pty.link;
    ASSERT_TRUE(link.plugged()) << link.error();
    termios a;
    link.SlaveAttributes(&a);
    a.c_lflag |= ICANON | ECHO | ISIG;
    a.c_iflag |= ICRNL | IXON;
    a.c_oflag |= OPOST;
    cfsetspeed(&a, B38400);
    int fd = open(link.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &a), 0);
    close(fd);
    FakeUnit unit([](const std::string& line) { return line == "mac" ? "" : UnitAnswer(line); }, &link, true);
    EXPECT_EQ(Kovactl({"-d", link.linkPath(), "vers"}).out, "KOVA-LAN Ver 1.4.4.0\n");
    ASSERT_TRUE(link.SlaveAttributes(&a));
    // Raw: the PC must not echo replies back to the unit.
    EXPECT_EQ(std::make_tuple(cfgetospeed(&a), a.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS),
                              a.c_lflag & (ICANON | ECHO | ISIG), a.c_iflag & (ICRNL | IXON), a.c_oflag & OPOST),
              std::make_tuple(speed_t(B9600), tcflag_t(CS8), tcflag_t(0), tcflag_t(0), tcflag_t(0)));

    ASSERT_TRUE(link.Write("OK\r\nstale\r\n"));
    EXPECT_EQ(Kovactl({"-d", link.linkPath(), "--json", "getdest", "5", "7"}).out,
              "{\"command\": \"getdest 5 7\", \"reply\": [\"getdest 5 enable=1 target=10.0.0.5\", "
              "\"getdest 6 enable=0 target=0.0.0.0\", \"getdest 7 enable=0 target=0.0.0.0\"], "
              "\"outcome\": \"value\"}\n");
    // The echo and its "\r\n" come, the one-line reply never does.
    EXPECT_EQ(Kovactl({"-d", link.linkPath(), "--timeout", "150", "mac"}).status, 2);
}

// Entry 42's state is refused: its row shows the unit's answer and the run gives status 1.
TEST(KovactlTargets, TableAndJsonShowEveryEntryWithItsLinkStateOrTheRefusal)
{
    FakeUnit unit([](const std::string& line) {
        return line == "status 42" ? std::string("command error\r\n") : UnitAnswer(line);
    });
    ToolRun table = Kovactl({"-t", unit.hostPort(), "targets"});
    EXPECT_EQ(std::make_tuple(table.status, Has(table.err, "status 42")), std::make_tuple(1, true)) << table.err;
    std::vector<std::string> rows = OutLines(table.out);
    ASSERT_EQ(rows.size(), 101u);
    EXPECT_EQ(
        (std::vector<std::string>{rows[0], rows[6], rows[7], rows[43]}),
        (std::vector<std::string>{" No  En   Target           Status           Callsign    RadioID  Memo",
                                  "  5  on   10.0.0.5         connected        JA1ABC               east hill \\ b",
                                  "  6  off  0.0.0.0          idle                                  ",
                                  " 42  off  0.0.0.0          command error                         "}));

    // An array of one object per line, each but the last followed by a comma.
    rows = OutLines(Kovactl({"-t", unit.hostPort(), "--json", "targets"}).out);
    ASSERT_EQ(rows.size(), 102u);
    EXPECT_EQ(rows[0] + rows[101], "[]");
    for (size_t n = 1; n <= 100; ++n) {
        EXPECT_EQ(rows[n].substr(rows[n].size() - (n < 100 ? 2 : 1)), n < 100 ? "}," : "}") << n;
    }
    EXPECT_EQ(rows[6], "  {\"index\": 5, \"enable\": true, \"target\": \"10.0.0.5\", \"status\": \"connected\", "
                       "\"callsign\": \"JA1ABC\", \"radioid\": \"\", \"memo\": \"east hill \\\\ b\", "
                       "\"sctbl\": \"00000000000000000000000000000000\", \"loc_dgid\": \"FF\", \"def_dgid\": \"FF\"},");
    EXPECT_TRUE(Has(rows[8], "\"callsign\": \"Q\\\"7\"")) << rows[8];
    EXPECT_TRUE(Has(rows[43], "\"status\": \"command error\"")) << rows[43];
    EXPECT_TRUE(Has(rows[100], "\"enable\": false, \"target\": \"0.0.0.0\", \"status\": \"idle\"")) << rows[100];

    // Only the entry in use, and only its state is asked for.
    const size_t asked = unit.lines().size();
    rows = OutLines(Kovactl({"-t", unit.hostPort(), "targets", "--configured"}).out);
    EXPECT_EQ(rows.size(), 2u);
    const std::vector<std::string> sent = unit.lines();
    EXPECT_EQ(std::vector<std::string>(sent.begin() + static_cast<long>(asked), sent.end()),
              (std::vector<std::string>{"getdest 0 99", "status 5"}));
}

TEST(KovactlTargets, LockedUnitFailsWithStatus1UntilThePasswordIsGiven)
{
    std::atomic<bool> open{false};
    FakeUnit unit([&open](const std::string& line) {
        if (line.rfind("chkpass", 0) == 0) {
            open = line == "chkpass s3cret";
            return std::string(open ? "OK\r\n" : "NG\r\n");
        }
        return line.rfind("getdest", 0) == 0 && !open ? std::string("NG\r\n") : UnitAnswer(line);
    });
    ToolRun locked = Kovactl({"-t", unit.hostPort(), "--json", "targets"});
    EXPECT_EQ(std::make_tuple(locked.status, locked.out, Has(locked.err, "-p")), std::make_tuple(1, "", true))
        << locked.err;
    EXPECT_EQ(Kovactl({"-t", unit.hostPort(), "-p", "wrong", "targets"}).status, 1);
    // The PassWord from -p, a file or the environment.
    TempPty dir;
    std::ofstream(dir.root + "/pass") << "s3cret\n";
    for (const std::vector<std::string>& source : {std::vector<std::string>{"-p", "s3cret"},
                                                    {"--password-file", dir.root + "/pass"}, {}}) {
        std::vector<std::string> args = {"-t", unit.hostPort()};
        args.insert(args.end(), source.begin(), source.end());
        args.push_back("targets");
        setenv("KOVACTL_PASSWORD", "s3cret", 1);
        ToolRun opened = Kovactl(args);
        unsetenv("KOVACTL_PASSWORD");
        EXPECT_EQ(std::make_tuple(opened.status, OutLines(opened.out).size()), std::make_tuple(0, size_t{101}))
            << opened.err;
        open = false;
    }
}

TEST(KovactlSession, StdinLinesGoInOrderAndTheWorstOutcomeIsTheStatus)
{
    FakeUnit unit(UnitAnswer);
    ToolRun session = Kovactl({"-t", unit.hostPort(), "--quiet", "50"},
                              "vers\n\n  \t\nenable 3 1\r\ncaf\xC3\xA9\nbogus\nsearchres\n");
    EXPECT_EQ(std::make_tuple(session.status, session.out, Has(session.err, "ASCII"), Has(session.err, "no command 'bogus'")),
              std::make_tuple(1, "KOVA-LAN Ver 1.4.4.0\nOK\nsearchres BUSY\n", true, true));
    // A word the unit does not have is refused here, not sent; quit ends the session.
    EXPECT_EQ(unit.lines(), (std::vector<std::string>{"vers", "enable 3 1", "searchres"}));
    EXPECT_EQ(Kovactl({"-t", unit.hostPort()}, "quit\nvers\n").out, "");
    ToolRun json = Kovactl({"-t", unit.hostPort(), "--json"}, "enable 3 1\nudpport\n");
    EXPECT_EQ(json.out, "{\"command\": \"enable 3 1\", \"reply\": [\"OK\"], \"outcome\": \"ok\"}\n"
                        "{\"command\": \"udpport\", \"reply\": [\"NG\"], \"outcome\": \"ng\", \"reason\": "
                        "\"udpport: the unit answered \\\"NG\\\": the lock is on and no PassWord was given: use -p, "
                        "--password-file, KOVACTL_PASSWORD or chkpass first\"}\n");
}

TEST(KovactlReply, ParserGivesTheSameReplyHoweverTheBytesAreCut)
{
    const std::string sent = "getdest 0 1";
    const std::string bytes = "getdest 0 1\r\n\r\ngetdest 0 enable=0\r\ngetdest 1 enable=1\r\nlate\r\n";
    for (size_t piece : {1u, 2u, 5u, 1000u}) {
        CtlReplyParser parser(sent, CtlExpectFor(sent));
        for (size_t i = 0; i < bytes.size(); i += piece) {
            parser.Feed(bytes.substr(i, piece));
        }
        EXPECT_TRUE(parser.Complete()) << piece;
        EXPECT_EQ(parser.Lines(), (std::vector<std::string>{"getdest 0 enable=0", "getdest 1 enable=1"})) << piece;
    }
    // A first-line refusal ends a listing; a getdest the unit refuses is one line.
    for (const auto& [command, reply, outcome] : {std::make_tuple("getdest 0 1", "NG", CtlOutcome::NG),
                                                  std::make_tuple("getdest 5 3", "command error", CtlOutcome::ERROR)}) {
        CtlReplyParser refused(command, CtlExpectFor(command));
        refused.Feed(std::string("\r\n") + reply + "\r\n");
        EXPECT_EQ(std::make_tuple(refused.Complete(), CtlClassify(refused.Lines())), std::make_tuple(true, outcome))
            << reply;
    }
}

TEST(KovactlCli, BadCommandLinesAreUsageErrors)
{
    for (const char* line : {"-x vers", "-d /dev/null -t 127.0.0.1 vers", "--timeout 0 vers", "-t 127.0.0.1:65536 vers",
                             "-b 12345 vers", "--device"}) {
        std::istringstream words(line);
        EXPECT_EQ(Kovactl({std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()}).status,
                  KOVACTL_EXIT_USAGE)
            << line;
    }
}

// Each line is checked against the command table before it is sent; a bad one
// is refused with what is wrong and what is allowed ("" marks a line the unit takes).
TEST(KovactlCommands, LinesAreCheckedBeforeSendingAndTheRefusalSaysWhatIsAllowed)
{
    const std::string digits99(99, '1');
    const std::pair<std::string, std::string> cases[] = {
        {"TARGET 99 10.0.0.1", ""},
        {"target 100 10.0.0.1", "0 to 99, not '100'"},
        {"target 5 300.1.1.1", "each number 0 to 255, not '300.1.1.1'"},
        {"target 5 10.0.0", "dotted a.b.c.d"},
        {"udpport 0", "1 to 65535, not '0'"},
        {"udpport 65536", "1 to 65535"},
        {"udpport 65535", ""},
        {"getdest 5 3", "FROM must not be above TO"},
        {"getdest 7 7", ""},
        {"enableall " + digits99, "100 digits, each 0 or 1"},
        {"enableall " + digits99 + "11", "ignore the 1 after them"},
        {"enableall " + digits99 + "0", ""},
        {"mac 02:00:00:00:01", "six hexadecimal fields"},
        {"mac 02:00:00:00:00:1FF", "six hexadecimal fields"},
        {"netparam -x 10.0.0.5", "option '-x' is unknown"},
        {"netparam -r", ""},
        {"netparam -t 10.0.0.5 255.255.255.0", ""},
        {"setdest 3 1 enable=2", "enable= takes 0 or 1"},
        {"setdest 3 0 color=red", "unknown key 'color'"},
        {"setdest 3 1 enable=1 target=10.0.0.9 memo=\"east hill\"", ""},
        {"logflag enable=1", "its forms are:\n  logflag\n  logflag enable=0|1 flag=HEX"},
        {"logflag enable=1 flag=XYZ", "flag= takes 1 to 8 hexadecimal digits"},
        {"lock 1 seventeen-chars-xx", "1 to 16 characters"},
        {"factset 2", "0 or 1"},
        {"status 5 6", "does not take 2 words"},
        {"ver", "no command 'ver'"},
        {"regist", "does not run"},
        {"a b c d e f g h i j k l m n o p q", "at most 16"},
    };
    for (const auto& [line, want] : cases) {
        const std::string why = CtlCheckWords(CtlSplitWords(line));
        EXPECT_TRUE(want.empty() ? why.empty() : Has(why, want)) << line << " -> " << why;
    }
    // Completion comes from the same table.
    EXPECT_EQ(CtlCompletions({"setdest", "3", "1"}), (std::vector<std::string>{"enable=", "memo=", "target="}));
    EXPECT_EQ(CtlCompletions({"enable", "3"}), (std::vector<std::string>{"0", "1"}));
    EXPECT_TRUE(CtlCompletions({"lock", "1"}).empty());
}

// A refusal of a well-formed line names its likely reason.
TEST(KovactlCommands, RefusalsNameTheirLikelyReason)
{
    const std::tuple<std::string, std::string, bool, std::string> cases[] = {
        {"udpport 30000", "NG", false, "lock is on and no PassWord was given"},
        {"udpport 30000", "NG", true, "session was reset"},
        {"chkpass abc", "NG", false, "PassWord is wrong"},
        {"lock 1 abc", "NG", false, "lock is on already"},
        {"factset 1", "NG", false, "must follow factset 0"},
        {"update", "hardware error", false, "could not write its settings file"},
        {"status 5", "command error", false, "cannot report on that entry"},
        {"conn", "NG", false, "no session for this client"},
    };
    for (const auto& [line, reply, given, want] : cases) {
        CtlResult r;
        r.lines = {reply};
        const std::string why = CtlExplainRefusal(CtlSplitWords(line), r, given);
        EXPECT_TRUE(Has(why, want)) << line << " -> " << why;
    }
}

// Ring-log records as the unit lists them, newest first, written out by hand
// from the record layout: a trace of 63 bytes over two records, a warning, an
// information line, an uncategorised line, and at the oldest end a
// continuation whose first record was overwritten.
TEST(KovactlLog, GoldenRecordsReadOldestFirstWithContinuationsJoined)
{
    const std::vector<std::string> reply = {
        "log E 756E74657220303130310A",
        "log L 20261208000213 52783A204C616E2066726F6D2031302E302E302E3220706F727420343030303120747970652030206C656E67"
        "746820323720636F",
        "log L 20261208000212 5B575D20706565722031302E302E302E3320646964206E6F7420616E737765720A",
        "log L 20261208000211 5B495D2073746174652072656164790A",
        "log L 20261208000210 5374617274696E672053797374656D0A",
        "log E 7461696C206F662061206C6F73742073746172740A",
        "log Z",
    };
    std::vector<CtlLogMessage> messages;
    std::string why;
    ASSERT_TRUE(CtlDecodeLog(reply, &messages, &why)) << why;
    std::vector<std::string> lines;
    for (const CtlLogMessage& m : messages) {
        lines.push_back(CtlLogLine(m));
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "2026-12-08 00:02:10 [-] Starting System",
                         "2026-12-08 00:02:11 [I] state ready",
                         "2026-12-08 00:02:12 [W] peer 10.0.0.3 did not answer",
                         "2026-12-08 00:02:13 [T] Rx: Lan from 10.0.0.2 port 40001 type 0 length 27 counter 0101",
                     }));
    EXPECT_EQ(CtlLogJson(messages[2]),
              "{\"time\": \"2026-12-08T00:02:12\", \"category\": \"warning\", \"text\": \"peer 10.0.0.3 did not answer\"}");
    // A later poll shows only what came after the last message seen.
    std::vector<CtlLogMessage> later = messages;
    later.push_back(messages[0]);
    EXPECT_EQ(CtlNewLogMessages(messages, later).size(), 1u);
    EXPECT_FALSE(CtlDecodeLog({"log L 2026 41", "log Z"}, &messages, &why));
    std::string since;
    EXPECT_TRUE(CtlParseLogTime("2026-12-08T00:02", &since));
    EXPECT_EQ(since, "2026-12-08 00:02:00");
    EXPECT_FALSE(CtlParseLogTime("08.12.2026", &since));
}
