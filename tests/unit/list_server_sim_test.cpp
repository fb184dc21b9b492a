// The stand-in list server against hand-written request bytes: the exact reply
// bytes of registration, search, list retrieval, health and port checks and the
// list file; each misbehaviour; and two servers sharing ports on two loopback
// addresses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "list_server_sim.h"
#include "loopnet.h"

namespace {

using namespace sim;
using Clock = std::chrono::steady_clock;

constexpr int WAIT_MS = 3000;

std::string Sp(size_t n)
{
    return std::string(n, ' ');
}

sockaddr_in Addr(const std::string& address, uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return sa;
}

// A connection to address:port; -1 if refused.
int ConnectTo(const std::string& address, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Addr(address, port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends a request and reads the reply until the server closes (or WAIT_MS).
std::string Exchange(const std::string& address, uint16_t port, const std::string& request)
{
    int fd = ConnectTo(address, port);
    if (fd < 0) {
        return "<refused>";
    }
    loopnet::WriteAll(fd, request);
    std::string reply = loopnet::ReadFor(fd, 1 << 20, WAIT_MS);
    close(fd);
    return reply;
}

bool SendTo(int fd, const std::string& address, uint16_t port, const std::string& bytes)
{
    sockaddr_in sa = Addr(address, port);
    return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) ==
           static_cast<ssize_t>(bytes.size());
}

// One datagram within timeoutMs ("" if none), with its sender's address.
std::string Receive(int fd, int timeoutMs, uint32_t* fromAddr = nullptr)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) {
        return "";
    }
    char buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (fromAddr) {
        *fromAddr = ntohl(from.sin_addr.s_addr);
    }
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
    std::string Tcp(const std::string& request) { return Exchange("127.0.0.1", server->tcpPort(), request); }
    std::string HealthCheck18() { return "#H" + Port5(loopnet::LocalPort(rx)) + "10001E1234\n"; }
    std::string PortCheck13() { return "#P" + Port5(loopnet::LocalPort(rx)) + "E1234\n"; }
    std::string Udp(const std::string& request, int timeoutMs = WAIT_MS)
    {
        EXPECT_TRUE(SendTo(tx, "127.0.0.1", server->udpPort(), request));
        return Receive(rx, timeoutMs);
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

TEST_F(ListServerSimTest, HttpServesTheListFileOnlyAtItsPath)
{
    std::string body = "^7B4A037A4117674303\r\n^7B4A037A4117674300\r\n";
    std::string get = "GET /list.txt HTTP/1.1\r\nHost: 127.0.0.1:80\r\n\r\n";
    EXPECT_EQ(Exchange("127.0.0.1", server->httpPort(), get),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 42\r\nConnection: close\r\n\r\n" + body);
    EXPECT_EQ(Exchange("127.0.0.1", server->httpPort(), "GET /other HTTP/1.0\r\n\r\n"),
              "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(Exchange("127.0.0.1", server->httpPort(), "POST /list.txt HTTP/1.1\r\n\r\n").substr(0, 12),
              "HTTP/1.1 405");
    // An error status for one request, then the file again.
    server->SetBehaviour(ListKind::Http, {.fault = ListFault::ErrorCode, .times = 1, .code = "503"});
    EXPECT_EQ(Exchange("127.0.0.1", server->httpPort(), get),
              "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(Exchange("127.0.0.1", server->httpPort(), get).substr(0, 15), "HTTP/1.1 200 OK");
    std::vector<ListRequest> got = server->Requests(ListKind::Http);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].raw, get);
    EXPECT_EQ(got[0].url, "/list.txt");
    EXPECT_EQ(got[0].host, "127.0.0.1:80");
    EXPECT_EQ(got[2].method, "POST");
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
    EXPECT_EQ(entry->radioId, "E3000");
    EXPECT_EQ(entry->city, "Nagoya");
    EXPECT_EQ(entry->scTable[15], 0xFF);
    EXPECT_EQ(entry->ipAddr, loopnet::LOOPBACK);
    EXPECT_EQ(entry->mailAddr, "a@b.c");

    // Registering again under the returned ID updates the entry in place.
    std::string again = "10003" + REGIST_BLOCK.substr(5, 15) + "Kyoto" + Sp(35) + REGIST_BLOCK.substr(60);
    EXPECT_EQ(Tcp("#R" + again + "\n"), "$R000010003" + std::string("20240102030405") + "\n");
    EXPECT_EQ(server->Directory().size(), 3u);
    EXPECT_EQ(server->Find("10003")->city, "Kyoto");

    std::vector<ListRequest> got = server->Requests(ListKind::Regist);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(got[2].valid);
    EXPECT_EQ(got[2].servId, "");
    EXPECT_EQ(got[2].callSign, "JA2QQQ");
    EXPECT_EQ(got[2].scTableHex, "00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(got[2].raw, "#R" + REGIST_BLOCK + "\n");
    EXPECT_EQ(got[2].fromAddr, loopnet::LOOPBACK);
    EXPECT_EQ(got[3].servId, "10003");
}

TEST_F(ListServerSimTest, RequestSentInPiecesIsReadWholeAcrossAnLfInsideAField)
{
    // Fixed-length REGIST: an LF in the city that ends the first piece does not end the frame.
    std::string block = REGIST_BLOCK;
    block[23] = '\n';
    int fd = ConnectTo("127.0.0.1", server->tcpPort());
    ASSERT_GE(fd, 0);
    loopnet::WriteAll(fd, "#R" + block.substr(0, 24));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a separate piece, well inside the grace
    loopnet::WriteAll(fd, block.substr(24) + "\n");
    EXPECT_EQ(loopnet::ReadFor(fd, 64, WAIT_MS), "$R000010003" + std::string("20240102030405") + "\n");
    close(fd);
    EXPECT_EQ(server->Find("10003")->city, "Nag\nya");

    // GET_LIST has no fixed length: an LF that leaves a partial entry waits for the rest.
    fd = ConnectTo("127.0.0.1", server->tcpPort());
    ASSERT_GE(fd, 0);
    loopnet::WriteAll(fd, "#L10001E1234RE2\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a separate piece, well inside the grace
    loopnet::WriteAll(fd, "00RE1234\n");
    EXPECT_EQ(loopnet::ReadFor(fd, 1024, WAIT_MS), "$L0000" + Sp(5) + "E2\n00" + Sp(149) + LIST_OPEN + "\n");
    close(fd);
    EXPECT_EQ(server->Requests(ListKind::GetList)[0].ids, (std::vector<std::string>{"E2\n00", "E1234"}));
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
    EXPECT_EQ(got[0].searchKind, 'C');
    EXPECT_EQ(got[0].searchKey, "ja1");
    EXPECT_EQ(got[0].servId, "10001");
}

TEST_F(ListServerSimTest, GetListAnswersEachRequestedRadioInOrderWithNoDataForUnknownOnes)
{
    EXPECT_EQ(LIST_OPEN.size(), 159u);
    EXPECT_EQ(LIST_RESTRICTED.size(), 159u);
    EXPECT_EQ(Tcp("#L10001E1234RE2000RE9999RE1234\n"), "$L0000" + LIST_RESTRICTED + LIST_NO_DATA + LIST_OPEN + "\n");
    EXPECT_EQ(Tcp("#L10001E1234\n"), "$L0000\n");
    std::vector<ListRequest> got = server->Requests(ListKind::GetList);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].ids, (std::vector<std::string>{"E2000", "E9999", "E1234"}));
}

TEST_F(ListServerSimTest, FramesThatDoNotParseAreLoggedAndLeftUnanswered)
{
    // A behaviour for one request waits for a request that parses.
    server->SetBehaviour(ListKind::GetList, {.fault = ListFault::ErrorCode, .times = 1});
    std::string tooMany = "#L10001E1234";
    for (int i = 0; i < 101; ++i) {
        tooMany += "RE1234";
    }
    EXPECT_EQ(Tcp(tooMany + "\n"), "");
    EXPECT_EQ(Tcp("#R" + REGIST_BLOCK.substr(1) + "\n"), "");  // 226-byte block
    EXPECT_EQ(Tcp("!S10001E1234C" + Sp(40) + "\n"), "");
    EXPECT_EQ(Tcp("#Q\n"), "");
    EXPECT_EQ(Udp("#H00001100\n", 200), "");
    std::vector<ListRequest> got = server->Requests();
    ASSERT_EQ(got.size(), 5u);
    for (const ListRequest& r : got) {
        EXPECT_FALSE(r.valid) << r.raw;
    }
    EXPECT_EQ(got[3].kind, ListKind::Unknown);
    EXPECT_EQ(got[4].raw, "#H00001100\n");
    EXPECT_EQ(Tcp("#L10001E1234\n"), "$L0102\n");
    EXPECT_EQ(Tcp("#L10001E1234\n"), "$L0000\n");
}

TEST_F(ListServerSimTest, HealthCheckIsAnsweredAtTheNamedPort)
{
    uint32_t from = 0;
    EXPECT_TRUE(SendTo(tx, "127.0.0.1", server->udpPort(), HealthCheck18()));
    EXPECT_EQ(Receive(rx, WAIT_MS, &from), UdpHeader(6) + "$H0000");
    EXPECT_EQ(from, loopnet::LOOPBACK);

    // With "S" and "D" parts: known IDs with their address, the requester with
    // the address it is seen at, unknown IDs as blanks.
    std::string sc = "0123456789ABCDEF0123456789ABCDEF";
    std::string request = "#H" + Port5(loopnet::LocalPort(rx)) + "10001E1234" + "S0015" + "10002" + "55555" + "10001" +
                          "D0033" + sc + "1\n";
    ASSERT_EQ(request.size(), 66u + 5 * 2);
    std::string expected = UdpHeader(50) + "$H0000" + "S0039" + "10002" + Sp(8) + Sp(13) + "100017F000001";
    EXPECT_EQ(Udp(request), expected);
    EXPECT_EQ(server->Find("10001")->ipAddr, loopnet::LOOPBACK);

    std::vector<ListRequest> got = server->Requests(ListKind::HealthCheck);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].port, loopnet::LocalPort(rx));
    EXPECT_FALSE(got[0].hasS);
    EXPECT_EQ(got[1].ids, (std::vector<std::string>{"10002", "55555", "10001"}));
    EXPECT_TRUE(got[1].hasD);
    EXPECT_EQ(got[1].scTableHex, sc);
    EXPECT_EQ(got[1].dModuration, '1');
}

TEST_F(ListServerSimTest, EachTcpFaultShapesTheRegistrationReply)
{
    std::string proper = "$R000010009" + std::string("20240102030405") + "\n";
    struct Case {
        ListBehaviour b;
        std::string reply;
    } cases[] = {
        {{.fault = ListFault::WrongLetter}, "$S0000" + proper.substr(6)},
        {{.fault = ListFault::BadDigits}, "$R00A1" + proper.substr(6)},
        {{.fault = ListFault::ShortRecord}, proper.substr(0, 6 + 18) + "\n"},
        {{.fault = ListFault::LoneLf}, "$R0000\n"},
        {{.fault = ListFault::Raw, .raw = "$Rxx"}, "$Rxx"},
        {{.fault = ListFault::WrongId}, "$R0000" + Sp(5) + proper.substr(11)},
        {{.fault = ListFault::ErrorCode}, "$R0102\n"},
    };
    for (const Case& c : cases) {
        server->ClearDirectory();
        server->SetBehaviour(ListKind::Regist, c.b);
        EXPECT_EQ(Tcp("#R10009" + REGIST_BLOCK.substr(5) + "\n"), c.reply) << static_cast<int>(c.b.fault);
        // Only an error code leaves the directory untouched.
        EXPECT_EQ(server->Directory().size(), c.b.fault == ListFault::ErrorCode ? 0u : 1u);
    }
}

TEST_F(ListServerSimTest, ShortRecordEndsInLfAndWrongIdReplacesOnlyTheFirstRecordsServerId)
{
    server->SetBehaviour(ListKind::Search, {.fault = ListFault::ShortRecord});
    EXPECT_EQ(Tcp("#S10001E1234C" + Sp(40) + "\n"), "$S0000" + SEARCH_OPEN.substr(0, 125) + "\n");
    server->SetBehaviour(ListKind::GetList, {.fault = ListFault::ShortRecord, .shortBy = 3});
    EXPECT_EQ(Tcp("#L10001E1234RE1234\n"), "$L0000" + LIST_OPEN.substr(0, 155) + "\n");
    server->SetBehaviour(ListKind::GetList, {.fault = ListFault::LoneLf});
    EXPECT_EQ(Tcp("#L10001E1234RE1234\n"), "$L0000\n");

    server->SetBehaviour(ListKind::GetList, {.fault = ListFault::WrongId, .id = "1234X"});
    EXPECT_EQ(Tcp("#L10001E1234RE1234RE2000\n"), "$L0000" + ("1234X" + LIST_OPEN.substr(5)) + LIST_RESTRICTED + "\n");
    EXPECT_EQ(Tcp("#L10001E1234\n"), "$L0000\n");  // no record to change
    server->SetBehaviour(ListKind::Search, {.fault = ListFault::WrongId});
    EXPECT_EQ(Tcp("#S10001E1234RE1234" + Sp(35) + "\n"), "$S0000" + (Sp(5) + SEARCH_OPEN.substr(5)) + "\n");
}

TEST_F(ListServerSimTest, SilentServerHoldsTheConnectionOpenWithoutAByte)
{
    server->SetBehaviour(ListKind::Search, {.fault = ListFault::Silent});
    int fd = ConnectTo("127.0.0.1", server->tcpPort());
    ASSERT_GE(fd, 0);
    loopnet::WriteAll(fd, "#S10001E1234C" + Sp(40) + "\n");
    EXPECT_TRUE(server->WaitForRequests(ListKind::Search, 1, WAIT_MS));
    EXPECT_FALSE(loopnet::SeesClose(fd, 300));
    EXPECT_EQ(server->Requests(ListKind::Search)[0].reply, "");
    // Stopping ends the held connection.
    server->Stop();
    EXPECT_TRUE(loopnet::SeesClose(fd, WAIT_MS));
    close(fd);
}

TEST_F(ListServerSimTest, LateReplyComesNoSoonerThanItsDelayAndFaultsExpire)
{
    server->SetBehaviour(ListKind::GetList, {.delayMs = 300, .times = 1});
    auto start = Clock::now();
    EXPECT_EQ(Tcp("#L10001E1234\n"), "$L0000\n");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));

    server->SetBehaviour(ListKind::HealthCheck, {.delayMs = 300, .times = 1});
    start = Clock::now();
    EXPECT_EQ(Udp(HealthCheck18()), UdpHeader(6) + "$H0000");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));

    server->SetBehaviour(ListKind::HealthCheck, {.fault = ListFault::Silent, .times = 1});
    EXPECT_EQ(Udp(HealthCheck18(), 300), "");
    EXPECT_EQ(Udp(HealthCheck18()), UdpHeader(6) + "$H0000");  // the fault was for one request
    std::vector<ListRequest> got = server->Requests(ListKind::HealthCheck);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].reply, "");
    EXPECT_EQ(got[2].reply, UdpHeader(6) + "$H0000");
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

TEST(ListServerSimGroup, ThreeServersShareThePortsOnTheirOwnAddresses)
{
    std::vector<std::unique_ptr<ListServerSim>> servers;
    ListServerConfig config;
    for (int i = 1; i <= 3; ++i) {
        config.address = "127.0.0." + std::to_string(i);
        servers.push_back(std::make_unique<ListServerSim>(config));
        ASSERT_TRUE(servers.back()->Start()) << servers.back()->why();
        config = servers.front()->config();  // the others take the first one's ports
        ListRepeater r = OpenRepeater();
        r.servId = std::to_string(i) + "0001";
        servers.back()->AddRepeater(r);
    }
    const ListServerSim& first = *servers.front();
    EXPECT_EQ(servers[2]->addressValue(), 0x7F000003u);

    int rx = loopnet::BindUdp(0), tx = loopnet::BindUdp(0);
    std::string search = "#S10001E1234RE1234" + Sp(35) + "\n";
    std::string check = "#P" + Port5(loopnet::LocalPort(rx)) + "E1234\n";
    for (size_t i = 0; i < servers.size(); ++i) {
        const ListServerSim& s = *servers[i];
        std::string address = s.config().address;
        EXPECT_EQ(s.tcpPort(), first.tcpPort());
        EXPECT_EQ(s.udpPort(), first.udpPort());
        EXPECT_EQ(s.httpPort(), first.httpPort());
        // Each answers from its own directory and its own address.
        EXPECT_EQ(Exchange(address, first.tcpPort(), search).substr(6, 5), std::to_string(i + 1) + "0001");
        uint32_t from = 0;
        EXPECT_TRUE(SendTo(tx, address, first.udpPort(), check));
        EXPECT_EQ(Receive(rx, WAIT_MS, &from).substr(16), "$P0000E1234");
        EXPECT_EQ(from, s.addressValue());
        EXPECT_EQ(Exchange(address, first.httpPort(), "GET /other HTTP/1.1\r\n\r\n").substr(0, 12), "HTTP/1.1 404");
    }
    close(rx);
    close(tx);
    for (const auto& s : servers) {
        EXPECT_EQ(s->RequestCount(ListKind::Search), 1u);
        EXPECT_EQ(s->RequestCount(ListKind::PortCheck), 1u);
        EXPECT_EQ(s->RequestCount(ListKind::Http), 1u);
    }

    // A stopped server refuses; the others go on; a restart binds the same ports again.
    uint16_t port = servers[1]->tcpPort();
    servers[1]->Stop();
    EXPECT_EQ(Exchange("127.0.0.2", port, search), "<refused>");
    EXPECT_EQ(Exchange("127.0.0.3", port, search).substr(6, 5), "30001");
    ASSERT_TRUE(servers[1]->Start()) << servers[1]->why();
    EXPECT_EQ(servers[1]->tcpPort(), port);
    EXPECT_EQ(Exchange("127.0.0.2", port, search).substr(6, 5), "20001");
}

}  // namespace
