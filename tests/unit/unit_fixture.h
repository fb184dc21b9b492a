// Fixtures of the unit core's suites. Header only: each suite is its own program.
//  - CoreParts: the parts driven directly on a simulated board, no ports and
//    no threads. Radio frames go in as bytes, the parts' timer steps are
//    called with explicit ticks, and what goes to the radio and the peers is
//    collected by the send hooks.
//  - InProcessUnit: the whole unit core on a simulated board, its radio on a
//    pty with a RadioSim at the far end, the tick left to the test; for the
//    wiring of ports, threads, start and stop.
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
#include "server_internal.h"
#include "sim_board.h"
#include "sockutil.h"
#include "test_support.h"
#include "winemu.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// One frame the unit sent to the radio.
struct SentFrame {
    char command;
    std::string param;
    Bytes raw;
};

// One datagram the unit sent to a peer.
struct SentPacket {
    ULONG to;
    Bytes bytes;
};

class CoreParts : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(Board_SetRoot(m_board.root().c_str()));
        Self() = this;
        Server_Construct();
        ASSERT_TRUE(Server_CreateQueuesForTest());
        SioSetSendHookForTest(ToRadio);
        LanSetSendHookForTest(ToPeer);
    }
    void TearDown() override
    {
        SioSetSendHookForTest(nullptr);
        LanSetSendHookForTest(nullptr);
        Server_Destruct();
        Self() = nullptr;
        Board_SetRoot(nullptr);
    }

    // Targets 0..n-1 at 10.0.0.1 and up, enabled in the settings snapshot.
    void ConfigureTargets(int n)
    {
        for (int i = 0; i < n; ++i) {
            s_Config.aTargetInfo[i].bEnable = TRUE;
            s_Config.aTargetInfo[i].dwTargetIP = TargetAdrs(i);
        }
    }
    static ULONG TargetAdrs(int i) { return 0x0A000001u + static_cast<ULONG>(i); }

    // One radio frame, handed to the receiver as one read.
    void FeedRadio(char command, const std::string& param)
    {
        Bytes frame = sim::radio::Encode(command, param);
        Server_FeedRadioForTest(frame.data(), static_cast<int>(frame.size()));
    }
    // The radio identifies itself; the unit is READY and its targets connect.
    void Ready(const sim::radio::CodeTable& table = {})
    {
        FeedRadio('V', sim::radio::VersionCheckParam({}));
        FeedRadio('I', sim::radio::CodeTableParam(table));
        ASSERT_EQ(Server_GetUnitState(), UNIT_STATE_READY);
        m_toRadio.clear();
    }
    // A datagram from a peer; [m_before, m_after] brackets the unit's own tick then.
    void FromPeer(ULONG from, const Bytes& packet)
    {
        m_before = GetTickCount();
        OnRxLanPacket(from, packet.data(), static_cast<int>(packet.size()));
        m_after = GetTickCount();
    }

    // The parts' timer steps at an explicit tick, under the locks the tick takes.
    void LanTick(DWORD now)
    {
        EnterCriticalSection(&s_csTarget);
        LanOnTimer(now);
        LeaveCriticalSection(&s_csTarget);
    }
    void RadioTick(DWORD now)
    {
        EnterCriticalSection(&s_csSerial);
        SioOnTimer(now);
        RecOnTimer(now);
        LanTxReqOnTimer(now);
        LeaveCriticalSection(&s_csSerial);
    }
    // The idle loop's release at now; the time until its next due record or
    // empty-queue release is left in m_wait.
    bool Release(DWORD now)
    {
        m_wait = 0xFFFFFFFF;  // no cap: the wait the release itself asks for
        EnterCriticalSection(&s_csSerial);
        BOOL sent = ReleaseSioTxData(now, &m_wait);
        LeaveCriticalSection(&s_csSerial);
        return sent != FALSE;
    }
    // Releases everything due at now; the areas of the voice frames, with their command letter.
    std::vector<std::string> ReleaseAll(DWORD now)
    {
        size_t from = m_toRadio.size();
        while (Release(now)) {
        }
        std::vector<std::string> areas;
        for (size_t i = from; i < m_toRadio.size(); ++i) {
            if (m_toRadio[i].command == 'F' || m_toRadio[i].command == 'f') {
                areas.push_back(m_toRadio[i].command + m_toRadio[i].param);
            }
        }
        return areas;
    }
    CLIENT_STATUS Status(unsigned i)
    {
        CLIENT_STATUS s = NONE;
        Server_GetTargetStatus(i, &s);
        return s;
    }
    // The frames of this command sent to the radio so far (and forgets them).
    std::vector<SentFrame> TakeToRadio(char command)
    {
        std::vector<SentFrame> out;
        std::vector<SentFrame> rest;
        for (SentFrame& f : m_toRadio) {
            (f.command == command ? out : rest).push_back(std::move(f));
        }
        m_toRadio = std::move(rest);
        return out;
    }
    // The packets of this type sent to a peer so far (and forgets them).
    std::vector<SentPacket> TakeToPeers(int type)
    {
        std::vector<SentPacket> out;
        std::vector<SentPacket> rest;
        for (SentPacket& p : m_toPeers) {
            (p.bytes.size() > 2 && p.bytes[2] == type ? out : rest).push_back(std::move(p));
        }
        m_toPeers = std::move(rest);
        return out;
    }

    sim::SimBoard m_board;
    std::vector<SentFrame> m_toRadio;
    std::vector<SentPacket> m_toPeers;
    bool m_peerSendFails = false;
    DWORD m_before = 0;
    DWORD m_after = 0;
    DWORD m_wait = 0;

   private:
    static CoreParts*& Self()
    {
        static CoreParts* s_self = nullptr;
        return s_self;
    }
    static BOOL ToRadio(const BYTE* pFrame, int nLen)
    {
        Bytes raw(pFrame, pFrame + nLen);
        std::string param(raw.begin() + 6, raw.end() - 3);
        Self()->m_toRadio.push_back({static_cast<char>(raw[1]), param, raw});
        return TRUE;
    }
    static BOOL ToPeer(ULONG ulAdrs, const BYTE* pData, int nLen)
    {
        if (Self()->m_peerSendFails) {
            return FALSE;
        }
        Self()->m_toPeers.push_back({ulAdrs, Bytes(pData, pData + nLen)});
        return TRUE;
    }
};

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
        if (m_constructed) {
            m_radio.reset();
            Server_Destruct();
            Sock_Destruct();
            m_tap.reset();
            Server_SetManualTimerForTest(FALSE);
        }
        m_radioLink.reset();
        Board_SetRoot(nullptr);
    }

    // Writes the settings file, brings the unit core up as main does with the
    // tick left to the test, and puts the radio simulator on the far end.
    bool StartUnit(const std::string& ini)
    {
        m_board.WriteFile("/var/local/kovalan.ini", ini);
        Sock_Construct();
        Server_Construct();
        m_constructed = true;
        CONFIG_Init();
        CONFIG_Load("/var/local/kovalan.ini", nullptr);
        m_tap = std::make_unique<StdoutTap>();
        Server_SetManualTimerForTest(TRUE);
        bool ok = Sock_Init() && Server_Init() && Server_Start();
        m_radio = std::make_unique<sim::RadioSim>(*m_radioLink);
        return ok;
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
    bool m_constructed = false;
};

}  // namespace testsupport
