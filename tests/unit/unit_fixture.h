// The fixture of the unit core's suites: the parts driven directly on a
// simulated board, no ports and no threads. Radio frames go in as bytes, the
// parts' timer steps are called with explicit ticks, and what goes to the
// radio and the peers is collected by the send hooks. Header only: each
// suite is its own program.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"
#include "radio_frame.h"
#include "server.h"
#include "server_internal.h"
#include "sim_board.h"
#include "winemu.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

struct SentFrame {
    char command;
    std::string param;
    Bytes raw;
};

struct SentPacket {
    ULONG to;
    Bytes bytes;
};

// The "[W] " lines of the debug output, without their time stamps.
inline std::vector<std::string> WarningLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (size_t at = line.find("[W] "); at != std::string::npos) {
            lines.push_back(line.substr(at));
        }
    }
    return lines;
}

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
    // Releases everything due at now; the voice frames sent, as command letter and area.
    std::vector<std::string> ReleaseAll(DWORD now)
    {
        while (Release(now)) {
        }
        std::vector<std::string> areas;
        for (const SentFrame& f : Take(&m_toRadio, [](const SentFrame& f) { return f.command == 'F' || f.command == 'f'; })) {
            areas.push_back(f.command + f.param);
        }
        return areas;
    }
    CLIENT_STATUS Status(unsigned i)
    {
        CLIENT_STATUS s = NONE;
        Server_GetTargetStatus(i, &s);
        return s;
    }
    // The frames of this command sent to the radio, the packets of this type
    // sent to the peers, so far; both are forgotten.
    std::vector<SentFrame> TakeToRadio(char command)
    {
        return Take(&m_toRadio, [command](const SentFrame& f) { return f.command == command; });
    }
    std::vector<SentPacket> TakeToPeers(int type)
    {
        return Take(&m_toPeers, [type](const SentPacket& p) { return p.bytes.size() > 2 && p.bytes[2] == type; });
    }

    sim::SimBoard m_board;
    std::vector<SentFrame> m_toRadio;
    std::vector<SentPacket> m_toPeers;
    DWORD m_before = 0;
    DWORD m_after = 0;
    DWORD m_wait = 0;

   private:
    template <typename T, typename Match>
    static std::vector<T> Take(std::vector<T>* all, Match match)
    {
        std::vector<T> taken;
        std::vector<T> rest;
        for (T& item : *all) {
            (match(item) ? taken : rest).push_back(std::move(item));
        }
        *all = std::move(rest);
        return taken;
    }
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
        Self()->m_toPeers.push_back({ulAdrs, Bytes(pData, pData + nLen)});
        return TRUE;
    }
};

}  // namespace testsupport
