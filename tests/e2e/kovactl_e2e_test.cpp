// The kovactl program against kovalan running as a process on a simulated
// board. The unit's USB console is a pty linked as dev/ttyGS0; a second pty
// stands for the PC's /dev/ttyACM0, and a relay thread copies bytes between
// the two as the USB cable would. kovactl reads the version, changes and
// commits a target in separate runs (the USB session outlasts a run) and
// shows the target table. A session driven in process, on a unit whose tick
// the test moves, shows that commit reports an edit the unit dropped after
// 60 s instead of claiming it.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "kovactl_session.h"
#include "loopnet.h"
#include "pty_link.h"
#include "radio_sim.h"
#include "sim_board.h"
#include "unit_clock.h"
#include "unit_process.h"

namespace {

using Clock = std::chrono::steady_clock;

using e2e::SLOW;

struct ToolRun {
    int status = -1;  // exit status, -1 when it did not end in time
    std::string out;
    std::string err;
};

// Runs the kovactl binary to its end, within 20 s.
ToolRun RunKovactl(const std::vector<std::string>& args)
{
    e2e::Finished f = e2e::RunToEnd(KOVACTL_E2E_BINARY, args, 20000);
    ToolRun r;
    r.status = f.exit.exited && f.exit.signal == 0 ? f.exit.status : -1;
    for (const sim::UnitLine& line : f.lines) {
        (line.stderrLine ? r.err : r.out) += line.text + "\n";
    }
    return r;
}

// Copies bytes both ways between two pty masters until stopped: the USB cable.
class Relay {
   public:
    Relay(int a, int b) : m_thread([this, a, b] { Run(a, b); }) {}
    ~Relay()
    {
        m_stop = true;
        m_thread.join();
    }

   private:
    // The masters do not block: a write the other side cannot take yet waits for room.
    void Run(int a, int b)
    {
        while (!m_stop) {
            pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0) {
                continue;
            }
            for (int i = 0; i < 2; ++i) {
                char buf[4096];
                ssize_t n = (p[i].revents & POLLIN) ? read(p[i].fd, buf, sizeof buf) : 0;
                for (ssize_t done = 0; n > 0 && done < n && !m_stop;) {
                    ssize_t w = write(p[1 - i].fd, buf + done, static_cast<size_t>(n - done));
                    if (w > 0) {
                        done += w;
                    } else {
                        pollfd room{p[1 - i].fd, POLLOUT, 0};
                        poll(&room, 1, 20);
                    }
                }
            }
        }
    }

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    return lines;
}

class KovactlE2e : public ::testing::Test {
   protected:
    void SetUp() override
    {
        m_board.WriteFile("/var/local/kovalan.ini",
                          "CommPort=2\nUsbPort=1000\nRxUdpPort=" + std::to_string(loopnet::FreePort(SOCK_DGRAM)) +
                              "\nTxUdpPort=" + std::to_string(m_txPort) + "\nProgram=KOVA-LAN\n");
        m_radioLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttymxc1");
        m_usbLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttyGS0");
        m_pcLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttyACM0");  // never opened by the unit
        ASSERT_TRUE(m_radioLink->plugged() && m_usbLink->plugged() && m_pcLink->plugged());
        m_relay = std::make_unique<Relay>(m_usbLink->master(), m_pcLink->master());
        sim::UnitOptions options;
        options.binary = e2e::DaemonBinary();
        options.root = m_board.root();
        if (m_clock.ok()) {
            m_clock.Apply(&options);
        }
        ASSERT_TRUE(m_unit.Start(options)) << m_unit.error();
        ASSERT_TRUE(m_unit.WaitForLine("start timer thread", 5000 * SLOW).has_value()) << m_unit.Output();
        // A unit builds its target links only once its radio has identified itself.
        m_radio = std::make_unique<sim::RadioSim>(*m_radioLink);
        ASSERT_TRUE(m_radio->Identify({}, {}, 3000 * SLOW));
        m_radio->StartKeepAlive();
        ASSERT_TRUE(m_unit.WaitForLine("[I] state ready", 3000 * SLOW).has_value()) << m_unit.Output();
    }
    void TearDown() override
    {
        m_unit.Stop(SIGTERM, 3000 * SLOW);
        m_radio.reset();
        m_relay.reset();
        if (HasFailure()) {
            std::fprintf(stderr, "--- unit output ---\n%s-------------------\n", m_unit.Output().c_str());
        }
    }
    // Moves the unit's tick ms on in steps its 10 s limit on radio silence
    // allows: the radio reports before each step and the unit's timer ticks after it.
    bool Advance(int64_t ms)
    {
        constexpr int64_t STEP_MS = 8000;
        for (int64_t left = ms; left > 0; left -= STEP_MS) {
            const size_t line = m_unit.Lines().size();
            if (!m_radio->SendStatus({}, 'P') || !m_unit.WaitForLine("Rx: Status:", 1000 * SLOW, line)) {
                return false;
            }
            m_radio->SetCursor(m_radio->FrameCount());
            m_clock.Advance(left > STEP_MS ? STEP_MS : left);
            if (!m_radio->WaitFor([](const sim::radio::Frame& f) { return f.command == 'C'; }, 1000 * SLOW)) {
                return false;
            }
        }
        return true;
    }
    ToolRun Ctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-d", m_pcLink->linkPath(), "--timeout", std::to_string(3000 * SLOW)});
        return RunKovactl(args);
    }

    sim::SimBoard m_board;
    sim::UnitClock m_clock;
    int m_txPort = loopnet::FreePort(SOCK_DGRAM);  // nothing answers there: an enabled target keeps connecting
    std::unique_ptr<sim::PtyLink> m_radioLink;
    std::unique_ptr<sim::PtyLink> m_usbLink;
    std::unique_ptr<sim::PtyLink> m_pcLink;
    std::unique_ptr<Relay> m_relay;
    std::unique_ptr<sim::RadioSim> m_radio;
    sim::UnitProcess m_unit;
};

}  // namespace

TEST_F(KovactlE2e, TargetChangedInSeparateRunsIsCommittedSavedAndShownConnecting)
{
    ToolRun vers = Ctl({"vers"});
    EXPECT_EQ(vers.status, 0) << vers.err;
    EXPECT_EQ(vers.out, "KOVA-LAN Ver 1.4.4.0\n");
    for (std::vector<std::string> change : {std::vector<std::string>{"target", "5", "127.0.0.1"},
                                            {"enable", "5", "1"},
                                            {"setdest", "6", "0", "memo=far hill"},
                                            {"save"},
                                            {"update"}}) {
        ToolRun r = Ctl(change);
        EXPECT_EQ(r.status, 0) << change[0] << ": " << r.out << r.err;
    }
    EXPECT_EQ(Ctl({"updatecount"}).out, "00000002\n");
    EXPECT_NE(m_board.ReadFile("/var/local/kovalan.ini").find("Target5=1,127.0.0.1,"), std::string::npos);
    ToolRun bogus = Ctl({"ver"});
    EXPECT_EQ(std::make_tuple(bogus.status, bogus.out, bogus.err.find("no command 'ver'") != std::string::npos),
              std::make_tuple(1, std::string(), true));

    std::vector<std::string> rows;
    auto deadline = Clock::now() + std::chrono::milliseconds(5000 * SLOW);
    do {
        ToolRun table = Ctl({"targets"});
        ASSERT_EQ(table.status, 0) << table.err;
        rows = Lines(table.out);
        ASSERT_EQ(rows.size(), 101u) << table.out;
    } while (rows[6].find("connecting") == std::string::npos && Clock::now() < deadline);
    EXPECT_NE(rows[6].find("127.0.0.1"), std::string::npos) << rows[6];
    EXPECT_NE(rows[6].find("connecting"), std::string::npos) << rows[6];
    EXPECT_NE(rows[7].find("far hill"), std::string::npos) << rows[7];
    EXPECT_NE(rows[8].find("idle"), std::string::npos) << rows[8];
    ToolRun json = Ctl({"--json", "targets"});
    EXPECT_EQ(json.status, 0);
    EXPECT_NE(json.out.find("{\"index\": 5, \"enable\": true, \"target\": \"127.0.0.1\", \"status\": \"connecting\""),
              std::string::npos)
        << json.out;
}

TEST_F(KovactlE2e, CommitReportsAnEditTheUnitDroppedAfter60sAndConfirmsTheOnesItKept)
{
    if (!m_clock.ok()) {
        GTEST_SKIP() << m_clock.why();
    }
    CtlLink link;
    std::string why;
    ASSERT_TRUE(CtlOpenSerial(m_pcLink->linkPath(), CTL_DEFAULT_BAUD, &link, &why)) << why;
    std::ostringstream out;
    std::ostringstream err;
    CtlSessionOptions options;
    options.bInteractive = true;
    options.timeouts.replyMs = 3000 * SLOW;
    // kovactl's clock moves with the unit's.
    options.nowMs = [this] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count() +
               m_clock.shiftMs();
    };
    CtlSession session(link, options, out, err);
    bool quit = false;
    auto run = [&](const std::string& line) {
        out.str("");
        err.str("");
        return session.Run(line, &quit);
    };

    EXPECT_EQ(run("udpport 30000"), 0);
    ASSERT_TRUE(Advance(61000));
    EXPECT_EQ(run("commit"), 1);
    EXPECT_NE(err.str().find("most likely dropped the 1 uncommitted edit"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("udpport 30000: not committed: the unit holds " + std::to_string(m_txPort)),
              std::string::npos)
        << err.str();

    EXPECT_EQ(run("setdest 4 0 enable=1 target=127.0.0.1 memo=\"east hill\""), 0);
    EXPECT_EQ(run("target 5 010.0.0.5"), 0);
    EXPECT_EQ(run("commit"), 0) << err.str();
    EXPECT_EQ(out.str(), "committed: 2 edit(s) saved, live and read back\n");
    EXPECT_NE(m_board.ReadFile("/var/local/kovalan.ini").find("Target5=0,10.0.0.5,"), std::string::npos);

    // vers would drop a pending edit: the first one is held back, a second goes.
    EXPECT_EQ(run("enable 6 1"), 0);
    EXPECT_EQ(run("vers"), 1);
    EXPECT_EQ(std::make_tuple(out.str(), err.str().find("type vers again") != std::string::npos),
              std::make_tuple(std::string(), true));
    EXPECT_EQ(run("vers"), 0);
    EXPECT_EQ(out.str(), "KOVA-LAN Ver 1.4.4.0\n");
    EXPECT_EQ(session.PendingEdits(), 0u);
    CtlClose(&link);
}
