// kovalan's peer link as a process, for what only processes show: two units
// on loopback link, relay both ways and link again after one was killed and
// restarted, one of them on a tick the test moves (UnitClock) so that it gives
// the silent peer up, and it answers an independent peer (PeerSim) with its
// version and its board's MAC; three units in a network lab link up over
// their own eth0 and relay each way. The link's states, packets, identities
// and filters are tested in process (server_lan_test).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "loopnet.h"
#include "net_lab.h"
#include "peer_sim.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "unit_process.h"

namespace {

using e2e::SLOW;
using e2e::Unit;
using sim::radio::Frame;

constexpr int CODE = Unit::CODE;  // every radio admits this code
const std::string LOOPBACK = "127.0.0.1";
const std::string PEER = "127.0.0.2";

// True once the unit logs that it linked to address (from output line `from` on).
bool Detected(Unit& u, const std::string& address, size_t from = 0)
{
    std::string literal = std::regex_replace(address, std::regex(R"(\.)"), R"(\.)");
    std::regex pattern(R"(\[I\] target detected )" + literal + "$");
    return u.process().WaitForRegex(pattern, 3000 * SLOW, from).has_value();
}

// Expects the unit's radio to get the voice areas, in this order, as command.
void ExpectHeard(Unit& u, size_t from, const std::vector<std::string>& areas, char command)
{
    std::vector<Frame> voice;
    u.radio().SetCursor(from);
    auto isVoice = [](const Frame& f) { return f.command == 'F' || f.command == 'f'; };
    for (std::optional<Frame> f; voice.size() < areas.size() && (f = u.radio().WaitFor(isVoice, 2000 * SLOW));) {
        voice.push_back(*f);
    }
    ASSERT_EQ(voice.size(), areas.size()) << u.name();
    for (size_t i = 0; i < areas.size(); ++i) {
        EXPECT_TRUE(voice[i].ok() && voice[i].command == command && voice[i].param == areas[i]) << "frame " << i;
    }
}

sim::Transmission Talk(char command, uint16_t counter)
{
    return {.command = command, .code = CODE, .counter = counter, .voiceFrames = 4, .payloadSize = 30};
}

// Sends a transmission from one unit's radio and expects each other unit's radio to hear it whole, in
// order: the identification takes the header's place, so the header itself never leaves the sender.
void ExpectRelayed(Unit& from, const std::vector<Unit*>& to, const sim::Transmission& t)
{
    SCOPED_TRACE(from.name());
    std::vector<std::string> areas = sim::RadioSim::TransmissionParams(t);
    areas.erase(areas.begin());
    std::vector<size_t> marks;
    for (Unit* u : to) {
        marks.push_back(u->radio().FrameCount());
    }
    ASSERT_TRUE(from.radio().SendTransmission(t));
    for (size_t i = 0; i < to.size(); ++i) {
        ExpectHeard(*to[i], marks[i], areas, t.command == 'g' ? 'f' : 'F');
    }
}

// Two units on this machine's loopback, each the other's target 0 at
// 127.0.0.1, one receiving on the port the other sends to. Unit A's tick can
// be moved, so that it notices B's silence without waiting two minutes.
TEST(TwoUnits, LinkOnLoopbackRelayBothWaysAndLinkAgainAfterOneIsKilledAndRestarted)
{
    Unit a("unit A");
    Unit b("unit B");
    int portA = loopnet::FreePort(SOCK_DGRAM);
    int portB = portA;
    while (portB == portA) {
        portB = loopnet::FreePort(SOCK_DGRAM);
    }
    a.Configure(portA, portB, {LOOPBACK, PEER});
    b.Configure(portB, portA, {LOOPBACK});
    a.board().SetMac({0x02, 0, 0, 0, 0, 0x0A});
    if (!a.UseMovableClock()) {
        GTEST_SKIP() << "A's tick cannot be moved here: build kovalan_tick_preload";
    }
    ASSERT_TRUE(a.StartReady());
    ASSERT_TRUE(b.StartReady());
    for (Unit* u : {&a, &b}) {
        ASSERT_TRUE(Detected(*u, LOOPBACK)) << u->name();
        EXPECT_TRUE(u->StatusIs(0, "connected")) << u->name();
    }
    ExpectRelayed(a, {&b}, Talk('G', 0x0100));
    ExpectRelayed(b, {&a}, Talk('g', 0x0200));

    // Two minutes without a word from the killed B: A gives the link up and tries again.
    b.Kill();
    ASSERT_TRUE(a.Advance(121000));
    EXPECT_TRUE(a.StatusIs(0, "connecting"));
    {
        // A's target 1, a peer with a codec of its own on B's free port, reads A's acknowledgement with
        // a strict decoder.
        sim::PeerSim peer;
        ASSERT_TRUE(peer.Open(PEER, static_cast<uint16_t>(portB))) << peer.error();
        peer.SetDestination(LOOPBACK, static_cast<uint16_t>(portA));
        ASSERT_TRUE(peer.SendConnectRequest());
        auto ack = peer.WaitFor(sim::peer::TYPE_CONNECT_ACK, 2000 * SLOW);
        auto told = ack ? sim::peer::DecodeAck(ack->raw) : std::nullopt;
        ASSERT_TRUE(told) << (ack ? sim::radio::Hex(ack->raw) : "no acknowledgement");
        EXPECT_EQ(told->version, (std::array<uint8_t, 4>{1, 4, 4, 0}));
        EXPECT_EQ(told->mac, (std::array<uint8_t, 6>{0x02, 0, 0, 0, 0, 0x0A})) << "the board's fuses";
    }

    size_t fromLine = a.process().Lines().size();
    ASSERT_TRUE(b.StartReady());
    ASSERT_TRUE(Detected(b, LOOPBACK));
    EXPECT_TRUE(a.StatusIs(0, "connected"));
    EXPECT_TRUE(Detected(a, LOOPBACK, fromLine)) << "A links to the restarted B again";
    ExpectRelayed(b, {&a}, Talk('G', 0x0500));
    ExpectRelayed(a, {&b}, Talk('G', 0x0600));
}

// A stranger floods the peer port while the target talks: every frame of the
// target reaches the radio, and of the stranger's packets nothing is traced,
// only their source told once.
TEST(StrangerFlood, TargetsVoiceAllReachesTheRadioAndTheStrangerIsOnlyCounted)
{
    Unit unit("unit");
    sim::PeerSim target, stranger;
    ASSERT_TRUE(target.Open(PEER, 0) && stranger.Open("127.0.0.3", 0));
    uint16_t port = loopnet::FreePort(SOCK_DGRAM);
    unit.Configure(port, target.port(), {PEER});
    ASSERT_TRUE(unit.StartReady());
    target.SetAutoAck(true);
    target.SetDestination(LOOPBACK, port);
    stranger.SetDestination(LOOPBACK, port);
    ASSERT_TRUE(Detected(unit, PEER));
    sim::Transmission t = Talk('G', 0x0100);
    t.voiceFrames = 100;
    std::vector<std::string> areas = sim::RadioSim::TransmissionParams(t);
    std::atomic<bool> stop{false};
    std::thread flood([&] {  // about 2000 packets a second (500 for an instrumented unit)
        for (auto packet = sim::peer::VoicePacket(0, 9, 0, areas[1]); !stop;) {
            for (int i = 0; i < 20 / SLOW; ++i) {
                stranger.Send(packet);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    size_t mark = unit.radio().FrameCount();
    EXPECT_TRUE(target.SendTransmission(t, 1));
    ExpectHeard(unit, mark, areas, 'F');
    stop = true;
    flood.join();
    const std::string out = unit.Output();
    auto count = [&out](const std::string& text) {
        size_t n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1), ++n) {
        }
        return n;
    };
    EXPECT_EQ(count("Rx: Lan"), areas.size()) << "the target's frames only";
    EXPECT_EQ(count("packets from 127.0.0.3 ignored"), 1u);
}

// Three units in a network lab, each with its own eth0 and address, every one
// the others' targets.
TEST(PeerLab, ThreeUnitsOnOneSegmentLinkUpOverTheirOwnEth0AndRelayEachWay)
{
    constexpr int N = 3;
    sim::NetLab lab(N);
    if (!lab.ok()) {
        GTEST_SKIP() << "no network lab here: " << lab.why();
    }
    std::vector<std::unique_ptr<Unit>> units;
    for (int i = 0; i < N; ++i) {
        units.push_back(std::make_unique<Unit>("lab unit " + std::to_string(i)));
        std::vector<std::string> targets;
        for (int j = 0; j < N; ++j) {
            if (j != i) {
                targets.push_back(sim::NetLab::Address(j));
            }
        }
        units[i]->board().SetStaticInterfaces(sim::NetLab::Address(i), "255.255.255.0");
        units[i]->board().SetMac({0x02, 0, 0, 0, 0, static_cast<uint8_t>(0x10 + i)});  // a unit refuses its own MAC
        units[i]->Configure(sim::peer::DEFAULT_PORT, sim::peer::DEFAULT_PORT, targets);
        ASSERT_TRUE(units[i]->StartReady([&](sim::UnitOptions& o) { lab.Place(&o, i); }));
    }
    for (int i = 0; i < N; ++i) {
        EXPECT_EQ(units[i]->Ask("currip"), "address=" + sim::NetLab::Address(i) + " netmask=255.255.255.0\r\n");
        for (int j = 0; j < N; ++j) {
            if (j != i) {
                ASSERT_TRUE(Detected(*units[i], sim::NetLab::Address(j))) << i << " sees " << j;
            }
        }
        EXPECT_TRUE(units[i]->StatusIs(0, "connected"));
        EXPECT_TRUE(units[i]->StatusIs(1, "connected"));
    }
    ExpectRelayed(*units[0], {units[1].get(), units[2].get()}, Talk('G', 0x0800));
}

}  // namespace
