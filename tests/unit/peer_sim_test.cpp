// The peer-link harness itself: the peer packet codec against golden bytes
// written out from the packet layout, the decoders against hand-made bytes
// that break the layout, two peer simulators talking over loopback, and the
// network lab: two members reach each other over the bridge, a process runs
// inside a member, and nothing of the lab shows in the host's namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "net_lab.h"
#include "peer_sim.h"
#include "radio_frame.h"
#include "radio_sim.h"
#include "unit_process.h"

namespace {

using namespace sim;
using peer::Bytes;

std::string Hex(const Bytes& b)
{
    return radio::Hex(b);
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes Text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

const Bytes ACK_HEAD = {0x00, 0x2C, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
// Version 1.4.4.0, MAC, "CALL7" NUL-padded to 10, "12345", code table with
// codes 0, 9 and 127, list server 1, DG-IDs 0x21 and 0x42.
const Bytes ACK_BODY = {0x01, 0x04, 0x04, 0x00, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 'C',  'A',  'L',  'L',  '7',
                        0x00, 0x00, 0x00, 0x00, 0x00, '1',  '2',  '3',  '4',  '5',  0x01, 0x02, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x01, 0x21, 0x42};

peer::Identity AckIdentity()
{
    peer::Identity id;
    id.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    id.callSign = "CALL7";
    id.radioId = "12345";
    id.Admit(0);
    id.Admit(9);
    id.Admit(127);
    id.listServer = 1;
    id.locDgid = 0x21;
    id.defDgid = 0x42;
    return id;
}

TEST(PeerCodec, EveryPacketIsTheExactBytesOfItsLayout)
{
    EXPECT_EQ(Hex(peer::ConnectRequest()), Hex({0, 0, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Hex(peer::ConnectAck(AckIdentity())), Hex(Concat({ACK_HEAD, ACK_BODY})));
    EXPECT_EQ(Hex(peer::StatusNoticePacket(0xBEEF, 6)),
              Hex({0x00, 0x08, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xBE, 0xEF, 0x06, 0, 0, 0, 0, 0}));

    radio::VoiceHeader head;
    head.type = 'I';
    head.group = "**";
    head.counter = 0x0A0B;
    head.fich = 0x0000007F;
    Bytes voice = peer::VoicePacket(0x12345678, 0x0102, 1, head, "xy");
    Bytes expected = Concat(
        {{0x00, 0x11, 0x00, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0x01, 0x02, 0x01, 0, 0, 0}, Text("I**0A0B0000007Fxy")});
    EXPECT_EQ(Hex(voice), Hex(expected));
}

TEST(PeerCodec, ShortAcknowledgementsEndBeforeTheDgidsAndSaySo)
{
    Bytes full = Concat({ACK_HEAD, ACK_BODY});
    for (size_t size : {peer::ACK_MIN_SIZE, peer::ACK_MIN_SIZE + 1}) {
        Bytes cut = peer::ConnectAck(AckIdentity(), size);
        Bytes expected(full.begin(), full.begin() + static_cast<long>(size));
        expected[1] = static_cast<uint8_t>(size - peer::HEADER_SIZE);
        EXPECT_EQ(Hex(cut), Hex(expected)) << size;
        EXPECT_FALSE(peer::DecodeAck(cut)) << "a strict reader takes 60 bytes only";
    }
}

TEST(PeerCodec, DecodersReadHandWrittenPacketsAndRejectAnyByteOutOfLayout)
{
    Bytes ack = Concat({ACK_HEAD, ACK_BODY});
    auto id = peer::DecodeAck(ack);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->version, (std::array<uint8_t, 4>{1, 4, 4, 0}));
    EXPECT_EQ(id->mac, AckIdentity().mac);
    EXPECT_EQ(id->callSign, "CALL7");
    EXPECT_EQ(id->radioId, "12345");
    EXPECT_EQ(id->table, AckIdentity().table);
    EXPECT_EQ(id->listServer, 1);
    EXPECT_EQ(id->locDgid, 0x21);
    EXPECT_EQ(id->defDgid, 0x42);

    auto broken = [&](size_t at, uint8_t value) {
        Bytes b = ack;
        b[at] = value;
        return b;
    };
    EXPECT_FALSE(peer::DecodeAck(broken(1, 0x2B))) << "length field";
    EXPECT_FALSE(peer::DecodeAck(broken(5, 0x01))) << "header byte without a field";
    EXPECT_FALSE(peer::DecodeAck(broken(33, 'X'))) << "call sign byte after its NUL";
    EXPECT_FALSE(peer::DecodeAck(Bytes(ack.begin(), ack.end() - 1)));

    Bytes status = {0x00, 0x08, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x07, 0x05, 0, 0, 0, 0, 0};
    auto notice = peer::DecodeStatus(status);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->msgId, 7);
    EXPECT_EQ(notice->status, 5);
    status[23] = 1;
    EXPECT_FALSE(peer::DecodeStatus(status)) << "reserved bytes must be 0";

    Bytes voice = Concat(
        {{0x00, 0x13, 0x00, 0, 0, 0, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0, 0, 0}, Text("3  01020000002Apayl")});
    auto v = peer::DecodeVoice(voice);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->header.time, 0x1000u);
    EXPECT_EQ(v->header.msgId, 0x8000);
    EXPECT_EQ(v->header.ch, 0);
    EXPECT_EQ(v->frame.header.type, '3');
    EXPECT_EQ(v->frame.header.counter, 0x0102);
    EXPECT_EQ(v->frame.header.fich & 0x7F, 42u);
    EXPECT_EQ(v->frame.payload, "payl");
    Bytes longer = voice;
    longer.push_back('!');
    EXPECT_FALSE(peer::DecodeVoice(longer)) << "length field below the bytes that came";
    Bytes tooShort = Concat({{0x00, 0x0E, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Text("3  01020000002")});
    EXPECT_FALSE(peer::DecodeVoice(tooShort)) << "area shorter than the radio's voice head";

    EXPECT_TRUE(peer::IsConnectRequest(peer::ConnectRequest()));
    Bytes request = peer::ConnectRequest();
    request[0] = 1;
    EXPECT_FALSE(peer::IsConnectRequest(request));
}

TEST(PeerSim, AnswersConnectRequestsOnlyWhileToldToAndCollectsWhatArrives)
{
    PeerSim unit;
    PeerSim peer;
    ASSERT_TRUE(unit.Open("127.0.0.1", 0)) << unit.error();
    ASSERT_TRUE(peer.Open("127.0.0.2", 0)) << peer.error();
    unit.SetDestination("127.0.0.2", peer.port());
    peer.SetDestination("127.0.0.1", unit.port());  // an answer goes to the receive port, not the source port
    peer.SetIdentity(AckIdentity());

    PeerSim other;  // sends its request from a port that is not the unit's receive port
    ASSERT_TRUE(other.Open("127.0.0.1", 0));
    other.SetDestination("127.0.0.2", peer.port());
    ASSERT_TRUE(other.SendConnectRequest());
    EXPECT_TRUE(peer.WaitFor(peer::TYPE_CONNECT_REQ, 1000));
    EXPECT_FALSE(unit.WaitFor(peer::TYPE_CONNECT_ACK, 200)) << "no answer while auto-ack is off";

    peer.SetAutoAck(true);
    auto sent = peer::Clock::now();
    ASSERT_TRUE(other.SendConnectRequest());
    auto ack = unit.WaitFor(peer::TYPE_CONNECT_ACK, 1000);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->fromAddress, "127.0.0.2");
    EXPECT_EQ(ack->fromPort, peer.port());
    EXPECT_GE(ack->arrival, sent);
    EXPECT_EQ(Hex(ack->raw), Hex(Concat({ACK_HEAD, ACK_BODY})));
    EXPECT_EQ(peer.autoAcks(), 1);
    EXPECT_EQ(other.Count(), 0u);

    Transmission t;
    t.command = 'g';
    t.code = 9;
    t.voiceFrames = 3;
    t.spacingMs = 5;
    ASSERT_TRUE(unit.SendTransmission(t, 0x0042, 1000));
    std::vector<std::string> areas = RadioSim::TransmissionParams(t);
    for (size_t i = 0; i < areas.size(); ++i) {
        auto p = peer.WaitFor(peer::TYPE_VOICE, 1000);
        ASSERT_TRUE(p) << i;
        auto v = peer::DecodeVoice(p->raw);
        ASSERT_TRUE(v) << Hex(p->raw);
        EXPECT_EQ(v->area, areas[i]);
        EXPECT_EQ(v->header.msgId, 0x0042);
        EXPECT_EQ(v->header.ch, 1);
        EXPECT_EQ(v->header.time, 1000u + 5u * i);
    }
    EXPECT_EQ(peer.Count(peer::TYPE_VOICE), areas.size());
}

// Names of the host's network interfaces and named namespaces.
std::set<std::string> Listing(const char* dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// errno of a bind to address in the calling thread's namespace (0: it worked).
int BindError(const std::string& address)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    int err = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 ? 0 : errno;
    close(fd);
    return err;
}

TEST(NetLab, MembersReachEachOtherOverTheBridgeAndTheHostSeesNothingOfIt)
{
    std::set<std::string> hostLinks = Listing("/sys/class/net");
    std::set<std::string> hostNamespaces = Listing("/run/netns");
    {
        NetLab lab(2);
        if (!lab.ok()) {
            GTEST_SKIP() << "no network lab here: " << lab.why();
        }
        EXPECT_EQ(BindError(NetLab::Address(0)), EADDRNOTAVAIL) << "lab addresses exist only inside the lab";
        EXPECT_EQ(Listing("/sys/class/net"), hostLinks);
        EXPECT_EQ(Listing("/run/netns"), hostNamespaces);

        PeerSim a;
        PeerSim b;
        unsigned eth0 = 0;
        int foreign = 0;
        ASSERT_TRUE(lab.RunIn(0, [&] {
            eth0 = if_nametoindex("eth0");
            foreign = BindError(NetLab::Address(1));
            a.Open(NetLab::Address(0), peer::DEFAULT_PORT);
        }));
        ASSERT_TRUE(lab.RunIn(1, [&] { b.Open(NetLab::Address(1), peer::DEFAULT_PORT); }));
        EXPECT_NE(eth0, 0u);
        EXPECT_EQ(foreign, EADDRNOTAVAIL) << "a member holds its own address only";
        ASSERT_EQ(a.error(), "");
        ASSERT_EQ(b.error(), "");
        b.SetDestination(NetLab::Address(0), peer::DEFAULT_PORT);
        b.SetAutoAck(true);
        a.SetDestination(NetLab::Address(1), peer::DEFAULT_PORT);
        ASSERT_TRUE(a.SendConnectRequest());
        auto ack = a.WaitFor(peer::TYPE_CONNECT_ACK, 2000);
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->fromAddress, NetLab::Address(1));

        // A process placed in a member sees that member's addresses.
        UnitProcess cat;
        UnitOptions options;
        options.binary = "/bin/cat";
        options.args = {"/proc/net/fib_trie"};
        lab.Place(&options, 1);
        ASSERT_TRUE(cat.Start(options)) << cat.error();
        EXPECT_TRUE(cat.WaitForLine(NetLab::Address(1), 2000)) << cat.Output();
        EXPECT_FALSE(cat.WaitForLine(NetLab::Address(0), 2000)) << cat.Output();  // ends when the output closes
    }
    EXPECT_EQ(Listing("/sys/class/net"), hostLinks);
    EXPECT_EQ(Listing("/run/netns"), hostNamespaces);
}

}  // namespace
