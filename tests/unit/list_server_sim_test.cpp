// The stand-in list server against hand-written request bytes: the exact reply
// bytes of registration, search, health and port checks and the list file, and
// how each misbehaviour shapes a reply. (A farm sharing its ports on several
// loopback addresses is shown by kovasim_list_server_test.)
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "list_server_sim.h"
#include "loopnet.h"

namespace {

using namespace sim;

constexpr int WAIT_MS = 3000;

std::string Sp(size_t n)
{
    return std::string(n, ' ');
}

// One datagram within WAIT_MS ("" if none).
std::string Receive(int fd)
{
    pollfd p = {fd, POLLIN, 0};
    char buf[2048];
    ssize_t n = poll(&p, 1, WAIT_MS) == 1 ? recv(fd, buf, sizeof(buf), 0) : 0;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

std::string Port5(uint16_t port)
{
    char text[8];
    snprintf(text, sizeof(text), "%05u", port);
    return text;
}

std::string UdpHeader(uint8_t lengthLow)
{
    std::string h(16, '\0');
    h[1] = static_cast<char>(lengthLow);
    return h;
}

ListRepeater OpenRepeater()
{
    ListRepeater r{.servId = "10001", .radioId = "E1234", .callSign = "JA1ABC", .city = "Tokyo", .state = "Kanto",
                   .country = "JPN", .moduration = 1, .ipAddr = 0x0A000001, .lastUpdate = "20240101120000",
                   .signature = "", .mailAddr = ""};
    for (size_t i = 0; i < r.scTable.size(); ++i) {
        r.scTable[i] = static_cast<uint8_t>(i);
    }
    return r;
}
const ListRepeater kRestricted{.servId = "10002", .radioId = "E2000", .callSign = "ja1xyz", .city = "Osaka",
                               .state = "Kansai", .country = "JPN", .moduration = 2, .searchResp = 1,
                               .lastUpdate = "20240202000000", .signature = "", .mailAddr = ""};

// The records of the two repeaters, written out field by field.
const std::string SEARCH_OPEN =
    "10001E12340A000001JA1ABC    Tokyo" + Sp(35) + "Kanto" + Sp(35) + "JPN10" + "20240101120000";
const std::string SEARCH_RESTRICTED = "10002E2000" + Sp(8) + "ja1xyz    " + Sp(83) + " 1" + Sp(14);
const std::string LIST_OPEN = "10001E1234JA1ABC    Tokyo" + Sp(35) + "Kanto" + Sp(35) + "JPN1" +
                              "000102030405060708090A0B0C0D0E0F" + "00A00000120240101120000";
const std::string LIST_RESTRICTED = "10002E2000ja1xyz    " + Sp(83) + " " + Sp(32) + "1" + Sp(8) + Sp(14);
const std::string LIST_NO_DATA = "     E9999" + Sp(149);

const std::string REGIST_BLOCK = Sp(5) + "E3000" + "JA2QQQ    " + "Nagoya" + Sp(34) + "Chubu" + Sp(35) + "JPN" + "1" +
                                 "00112233445566778899AABBCCDDEEFF" + "0" + "sig" + Sp(27) + "a@b.c" + Sp(55);

class ListServerSimTest : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ListServerConfig config;
        config.lastUpdate = "20240102030405";
        config.listFile = ListFileText::Of({"127.0.0.1", "127.0.0.2"});
        server = std::make_unique<ListServerSim>(config);
        ASSERT_TRUE(server->Start()) << server->why();
        server->AddRepeater(OpenRepeater());
        server->AddRepeater(kRestricted);
        rx = loopnet::BindUdp(0);
        tx = loopnet::BindUdp(0);
        ASSERT_GE(rx, 0);
        ASSERT_GE(tx, 0);
    }
    void TearDown() override
    {
        server.reset();
        close(rx);
        close(tx);
    }
    // Sends a request and reads the reply until the server closes (or WAIT_MS).
    std::string Tcp(const std::string& request)
    {
        int fd = loopnet::ConnectTcp(server->tcpPort());
        EXPECT_TRUE(fd >= 0 && loopnet::WriteAll(fd, request));
        std::string reply = loopnet::ReadFor(fd, 1 << 20, WAIT_MS);
        close(fd);
        return reply;
    }
    std::string HealthCheck18() { return "#H" + Port5(loopnet::LocalPort(rx)) + "10001E1234\n"; }
    std::string PortCheck13() { return "#P" + Port5(loopnet::LocalPort(rx)) + "E1234\n"; }
    std::string Udp(const std::string& request)
    {
        EXPECT_TRUE(loopnet::SendDatagram(tx, server->udpPort(), request));
        return Receive(rx);
    }

    std::unique_ptr<ListServerSim> server;
    int rx = -1, tx = -1;
};

TEST(ListFile, AddressLinesCarryTheKeyedHexOfTheDottedText)
{
    EXPECT_EQ(ListFileText::EncodeLine("10.0.0.1"), "^7B481A645F09795C");
    // The 17th key byte is zero: "Q" (0x51) passes unchanged.
    EXPECT_EQ(ListFileText::EncodeLine("ABCDEFGHIJKLMNOPQR"), "^0B3A7710347F10257B18317B1B257A005118");
    std::string file = ListFileText().Line("# servers").Address("10.0.0.1").Line("^ABC").text("\n");
    EXPECT_EQ(file, "# servers\n^7B481A645F09795C\n^ABC\n");
    EXPECT_EQ(ListFileText::DecodeLine("^7b481a645f09795c"), "10.0.0.1");
    EXPECT_FALSE(ListFileText::DecodeLine("^ABC").has_value());
}

TEST_F(ListServerSimTest, RegistrationWithoutIdGetsTheNextFreeIdAndTheSendersAddressAndABadFieldALoneLf)
{
    std::string badDigit = REGIST_BLOCK;
    badDigit[103] = 'x';  // modulation
    EXPECT_EQ(Tcp("#R" + badDigit + "\n"), "$R0001\n");
    EXPECT_EQ(Tcp("#R12   " + REGIST_BLOCK.substr(5) + "\n"), "$R0001\n");
    EXPECT_EQ(server->Directory().size(), 2u);
    EXPECT_EQ(Tcp("#R" + REGIST_BLOCK + "\n"), "$R000010003" + std::string("20240102030405") + "\n");
    std::optional<ListRepeater> entry = server->Find("10003");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(std::make_tuple(entry->radioId, entry->city, entry->scTable[15], entry->ipAddr, entry->mailAddr),
              std::make_tuple("E3000", "Nagoya", 0xFF, loopnet::LOOPBACK, "a@b.c"));

    // Registering again under the returned ID updates the entry in place.
    std::string again = "10003" + REGIST_BLOCK.substr(5, 15) + "Kyoto" + Sp(35) + REGIST_BLOCK.substr(60);
    EXPECT_EQ(Tcp("#R" + again + "\n"), "$R000010003" + std::string("20240102030405") + "\n");
    EXPECT_EQ(server->Directory().size(), 3u);
    EXPECT_EQ(server->Find("10003")->city, "Kyoto");

    std::vector<ListRequest> got = server->Requests(ListKind::Regist);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(std::make_tuple(got[2].valid, got[2].servId, got[2].callSign, got[2].scTableHex, got[2].raw,
                              got[2].fromAddr, got[3].servId),
              std::make_tuple(true, "", "JA2QQQ", "00112233445566778899AABBCCDDEEFF", "#R" + REGIST_BLOCK + "\n",
                              loopnet::LOOPBACK, "10003"));
}

TEST_F(ListServerSimTest, SearchSendsMatchingRecordsAndRestrictedOnesHideTheirDetails)
{
    std::string request = "#S10001E1234Cja1" + Sp(37) + "\n";
    ASSERT_EQ(request.size(), 54u);
    EXPECT_EQ(SEARCH_OPEN.size(), 127u);
    EXPECT_EQ(SEARCH_RESTRICTED.size(), 127u);
    EXPECT_EQ(Tcp(request), "$S0000" + SEARCH_OPEN + SEARCH_RESTRICTED + "\n");
    EXPECT_EQ(Tcp("#S10001E1234S10002" + Sp(35) + "\n"), "$S0000" + SEARCH_RESTRICTED + "\n");
    EXPECT_EQ(Tcp("#S10001E1234Tnowhere" + Sp(33) + "\n"), "$S0000\n");
    EXPECT_EQ(Tcp("#S10001E1234X" + Sp(40) + "\n"), "$S0001\n");
    std::vector<ListRequest> got = server->Requests(ListKind::Search);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(std::make_tuple(got[0].searchKind, got[0].searchKey, got[0].servId),
              std::make_tuple('C', "ja1", "10001"));
}

TEST_F(ListServerSimTest, PortCheckIsAnsweredWithTheRadioIdAndEachUdpFaultShapesTheCheckReply)
{
    EXPECT_EQ(Udp(PortCheck13()), UdpHeader(11) + "$P0000E1234");
    ASSERT_EQ(server->RequestCount(ListKind::PortCheck), 1u);
    EXPECT_EQ(server->Requests(ListKind::PortCheck)[0].radioId, "E1234");
    const struct {
        ListKind kind;
        ListBehaviour b;
        std::string reply;
    } cases[] = {
        {ListKind::PortCheck, {.fault = ListFault::ShortRecord}, UdpHeader(11) + "$P0000E123"},
        {ListKind::PortCheck, {.fault = ListFault::WrongLetter}, UdpHeader(11) + "$H0000E1234"},
        {ListKind::PortCheck, {.fault = ListFault::ErrorCode, .code = "0200"}, UdpHeader(11) + "$P0200E1234"},
        {ListKind::PortCheck, {.fault = ListFault::WrongId, .id = "E9999"}, UdpHeader(11) + "$P0000E9999"},
        {ListKind::HealthCheck, {.fault = ListFault::ShortRecord}, UdpHeader(6) + "$H000"},
        {ListKind::HealthCheck, {.fault = ListFault::BadDigits}, UdpHeader(6) + "$H00A1"},
        {ListKind::HealthCheck, {.fault = ListFault::LoneLf}, "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.b.fault));
        server->SetBehaviour(c.kind, c.b);
        EXPECT_EQ(Udp(c.kind == ListKind::PortCheck ? PortCheck13() : HealthCheck18()), c.reply);
    }
    server->SetBehaviour(ListKind::HealthCheck, {.fault = ListFault::WrongId, .id = "77777"});
    std::string withS = "#H" + Port5(loopnet::LocalPort(rx)) + "10001E1234" + "S0010" + "10002" + "10001\n";
    EXPECT_EQ(Udp(withS), UdpHeader(37) + "$H0000" + "S0026" + "77777" + Sp(8) + "100017F000001");
    EXPECT_EQ(Udp(HealthCheck18()), UdpHeader(6) + "$H0000");  // nothing to change
}

}  // namespace
