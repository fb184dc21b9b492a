// The peer simulator's packet codec as an oracle: against golden bytes written
// out from the packet layout, and its decoders against hand-made bytes that
// break the layout.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "peer_sim.h"
#include "radio_frame.h"
#include "radio_sim.h"

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
    EXPECT_EQ(std::make_tuple(id->version, id->mac, id->callSign, id->radioId, id->table, id->listServer, id->locDgid,
                              id->defDgid),
              std::make_tuple(std::array<uint8_t, 4>{1, 4, 4, 0}, AckIdentity().mac, "CALL7", "12345",
                              AckIdentity().table, 1, 0x21, 0x42));

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
    EXPECT_EQ(std::make_tuple(v->header.time, v->header.msgId, v->header.ch, v->frame.header.type,
                              v->frame.header.counter, v->frame.header.fich & 0x7F, v->frame.payload),
              std::make_tuple(0x1000u, 0x8000, 0, '3', 0x0102, 42u, "payl"));
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

}  // namespace
