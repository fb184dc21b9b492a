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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "kovactl_session.h"
#include "loopnet.h"
#include "pty_link.h"
#include "unit_process.h"

namespace {

using Clock = std::chrono::steady_clock;

using e2e::SLOW;

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

class KovactlE2e : public ::testing::Test {
   protected:
    // A unit builds its target links only once its radio has identified itself.
    void SetUp() override
    {
        ASSERT_TRUE(m_pcLink.plugged());
        m_unit.Configure(loopnet::FreePort(SOCK_DGRAM), m_txPort);
        m_movable = m_unit.UseMovableClock();
        ASSERT_TRUE(m_unit.StartReady());
    }
    // Runs the kovactl binary on the PC's port to its end, within 20 s.
    e2e::Finished Ctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-d", m_pcLink.linkPath(), "--timeout", std::to_string(3000 * SLOW)});
        return e2e::RunToEnd(KOVACTL_E2E_BINARY, args, 20000);
    }

    e2e::Unit m_unit;
    int m_txPort = loopnet::FreePort(SOCK_DGRAM);  // nothing answers there: an enabled target keeps connecting
    sim::PtyLink m_pcLink{m_unit.board().root(), "ttyACM0"};  // never opened by the unit
    Relay m_relay{m_unit.usbLink().master(), m_pcLink.master()};
    bool m_movable = false;
};

}  // namespace

// Each change is a run of its own: the unit's USB session keeps the edits between runs.
TEST_F(KovactlE2e, TargetChangedInSeparateRunsIsCommittedAndShownConnecting)
{
    EXPECT_EQ(Ctl({"vers"}).output, "KOVA-LAN Ver 1.4.4.0\n");
    for (std::vector<std::string> change : {std::vector<std::string>{"target", "5", "127.0.0.1"},
                                            {"enable", "5", "1"},
                                            {"setdest", "6", "0", "memo=far hill"},
                                            {"update"}}) {
        e2e::Finished r = Ctl(change);
        EXPECT_EQ(r.exit.status, 0) << change[0] << ": " << r.output;
    }
    std::vector<std::string> rows;
    auto deadline = Clock::now() + std::chrono::milliseconds(5000 * SLOW);
    do {
        e2e::Finished table = Ctl({"targets"});
        ASSERT_EQ(table.exit.status, 0) << table.output;
        rows.clear();
        for (const sim::UnitLine& line : table.lines) {
            rows.push_back(line.text);
        }
        ASSERT_EQ(rows.size(), 101u) << table.output;
    } while (rows[6].find("connecting") == std::string::npos && Clock::now() < deadline);
    EXPECT_NE(rows[6].find("127.0.0.1"), std::string::npos) << rows[6];
    EXPECT_NE(rows[6].find("connecting"), std::string::npos) << rows[6];
    EXPECT_NE(rows[7].find("far hill"), std::string::npos) << rows[7];
    EXPECT_NE(rows[8].find("idle"), std::string::npos) << rows[8];
}

TEST_F(KovactlE2e, CommitReportsAnEditTheUnitDroppedAfter60sAndConfirmsTheOnesItKept)
{
    if (!m_movable) {
        GTEST_SKIP() << m_unit.clock().why();
    }
    CtlLink link;
    std::string why;
    ASSERT_TRUE(CtlOpenSerial(m_pcLink.linkPath(), CTL_DEFAULT_BAUD, &link, &why)) << why;
    std::ostringstream out;
    std::ostringstream err;
    CtlSessionOptions options;
    options.bInteractive = true;
    options.timeouts.replyMs = 3000 * SLOW;
    // kovactl's clock moves with the unit's.
    options.nowMs = [this] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count() +
               m_unit.clock().shiftMs();
    };
    CtlSession session(link, options, out, err);
    bool quit = false;
    auto run = [&](const std::string& line) {
        out.str("");
        err.str("");
        return session.Run(line, &quit);
    };

    EXPECT_EQ(run("udpport 30000"), 0);
    ASSERT_TRUE(m_unit.Advance(61000));
    EXPECT_EQ(run("commit"), 1);
    EXPECT_NE(err.str().find("most likely dropped the 1 uncommitted edit"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("udpport 30000: not committed: the unit holds " + std::to_string(m_txPort)),
              std::string::npos)
        << err.str();

    EXPECT_EQ(run("setdest 4 0 enable=1 target=127.0.0.1 memo=\"east hill\""), 0);
    EXPECT_EQ(run("target 5 010.0.0.5"), 0);
    EXPECT_EQ(run("commit"), 0) << err.str();
    EXPECT_EQ(out.str(), "committed: 2 edit(s) saved, live and read back\n");
    EXPECT_NE(m_unit.board().ReadFile("/var/local/kovalan.ini").find("Target5=0,10.0.0.5,"), std::string::npos);

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
