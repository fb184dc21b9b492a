// The fixture of the unit core's in-process suites: a unit core in the test
// process on a simulated board, its radio port on a pty with a RadioSim at
// the far end, the 100 ms tick driven by the test, and the daemon's output
// tapped. Header only: each suite is its own program.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "config.h"
#include "pty_link.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "server.h"
#include "sim_board.h"
#include "sockutil.h"
#include "test_support.h"
#include "winemu.h"

namespace testsupport {

class InProcessUnit : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(Board_SetRoot(m_board.root().c_str()));
        ASSERT_TRUE(WinEmu_Init());
        m_radioLink = std::make_unique<sim::PtyLink>(m_board.root(), "ttymxc1");
        ASSERT_TRUE(m_radioLink->plugged()) << m_radioLink->error();
    }
    void TearDown() override
    {
        StopUnit();
        m_radioLink.reset();
        Board_SetRoot(nullptr);
    }
    // Takes the unit core down again (nothing when it is not up).
    void StopUnit()
    {
        if (!m_constructed) {
            return;
        }
        m_radio.reset();
        Server_Destruct();
        Sock_Destruct();
        m_tap.reset();
        Server_SetManualTimerForTest(FALSE);
        m_constructed = false;
    }

    // Writes the settings file, brings the unit core up with the tick left to
    // the test, and puts the radio simulator on the far end of the pty.
    void StartUnit(const std::string& ini, bool bListServer = false)
    {
        m_board.WriteFile("/var/local/kovalan.ini", ini);
        Sock_Construct();
        Server_Construct();
        m_constructed = true;
        CONFIG_Init();
        CONFIG_Load("/var/local/kovalan.ini", nullptr);
        CONFIG_Get()->bListServer = bListServer ? TRUE : FALSE;
        m_tap = std::make_unique<StdoutTap>();
        Server_SetManualTimerForTest(TRUE);
        ASSERT_TRUE(Sock_Init() && Server_Init() && Server_Start());
        m_radio = std::make_unique<sim::RadioSim>(*m_radioLink);
    }
    // One frame from the radio, handed to the receiver as one read.
    void FeedRadio(char command, const std::string& param)
    {
        std::vector<uint8_t> frame = sim::radio::Encode(command, param);
        Server_FeedRadioForTest(frame.data(), static_cast<int>(frame.size()));
    }
    // n ticks; before each the radio's status report keeps it counted alive.
    void Tick(int n = 1)
    {
        for (int i = 0; i < n; ++i) {
            FeedRadio('C', sim::radio::StatusParam(m_status));
            Server_TickForTest();
        }
    }
    static bool IsVoiceToRadio(const sim::radio::Frame& f) { return f.command == 'F' || f.command == 'f'; }
    // Runs the idle loop until the radio got n more voice frames (or the
    // time is up); the frames in the order they came.
    std::vector<sim::radio::Frame> VoiceFramesToRadio(size_t n, std::chrono::milliseconds timeout)
    {
        std::vector<sim::radio::Frame> got;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            Server_OnIdle();
            while (auto f = m_radio->WaitFor(IsVoiceToRadio, 0)) {
                got.push_back(*f);
            }
        }
        return got;
    }

    sim::SimBoard m_board;
    std::unique_ptr<sim::PtyLink> m_radioLink;
    std::unique_ptr<sim::RadioSim> m_radio;
    std::unique_ptr<StdoutTap> m_tap;
    sim::radio::RadioStatus m_status;
    bool m_constructed = false;
};

}  // namespace testsupport
