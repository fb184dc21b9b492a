// Network configuration on a simulated board. What a commit writes is read
// back by the system's own parser (ifquery); eth0's address is asked inside a
// network namespace of the test's own.
#include "net.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"
#include "loopnet.h"
#include "sim_board.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;
const std::string INTERFACES = "/etc/network/interfaces";
const std::string RESOLV = "/etc/resolv.conf";

DWORD Ip(const std::string& dotted)
{
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, dotted.c_str(), &a), 1) << dotted;
    return ntohl(a.s_addr);
}

std::string Dotted(DWORD v)
{
    in_addr a{htonl(v)};
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, text, sizeof(text));
}

// "static 10.0.0.5 255.0.0.0 10.0.0.1" or "dhcp ..." to parameters and back.
NET_PARAM Param(const std::string& shown)
{
    std::istringstream in(shown);
    std::string kind, ip, mask, gateway;
    in >> kind >> ip >> mask >> gateway;
    return NET_PARAM{kind == "dhcp", Ip(ip), Ip(mask), Ip(gateway)};
}
std::string Show(const NET_PARAM& p)
{
    return (p.bDHCP ? "dhcp " : "static ") + Dotted(p.dwIpAdrs) + " " + Dotted(p.dwSubnetMask) + " " +
           Dotted(p.dwGateway);
}

class NetConfig : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Board_SetRoot(m_board.root().c_str()));
        NET_Construct();
    }
    void TearDown() override
    {
        NET_Destruct();
        Board_SetRoot(nullptr);
    }
    // Starts the module afresh on the board's files; the configured parameters.
    NET_PARAM Load(BOOL expectInit = TRUE)
    {
        NET_Destruct();
        NET_Construct();
        EXPECT_EQ(NET_Init(), expectInit);
        NET_PARAM p;
        NET_GetAddress(&p);
        return p;
    }
    // A commit as the update command and the unit core's idle step make it.
    void Commit(const NET_PARAM& p)
    {
        NET_SetAddress(&p);
        if (NET_IsModified()) {
            EXPECT_TRUE(NET_Update(TRUE));
        }
    }
    // eth0's keys as the board's own parser reads the written file, without
    // the broadcast address it works out itself.
    std::string BoardReads()
    {
        FILE* fp = popen(("ifquery --interfaces='" + m_board.Path(INTERFACES) + "' eth0").c_str(), "r");
        std::string keys;
        char line[512];
        while (fp != nullptr && fgets(line, sizeof(line), fp) != nullptr) {
            if (std::strncmp(line, "broadcast: ", 11) != 0) {
                keys += line;
            }
        }
        EXPECT_TRUE(fp != nullptr && pclose(fp) == 0) << "ifquery refused the file";
        return keys;
    }

    sim::SimBoard m_board;
};

TEST_F(NetConfig, InterfacesFileLoadsAsTheBoardConfiguresIt)
{
    const std::string dhcp = "dhcp 0.0.0.0 0.0.0.0 0.0.0.0";
    const std::pair<std::string, std::string> cases[] = {
        {"iface eth0 inet static\n address 192.168.1.10\n netmask 255.255.255.0\n gateway 192.168.1.1\n",
         "static 192.168.1.10 255.255.255.0 192.168.1.1"},
        {"iface eth0 inet static\n netmask 255.255.255.0\n gateway 192.168.1.1\n", dhcp},
        {"iface eth0 inet dhcp\n address 192.168.1.10\n netmask 255.255.255.0\n", dhcp},
        {"iface eth0 inet static\r\n\taddress 10.0.0.5 # was 10.0.0.6\r\n  netmask 255.0.0.0\r\n# gateway 10.0.0.1\r\n"
         "iface wlan0 inet static\n  gateway 10.9.9.9\n",
         "static 10.0.0.5 255.0.0.0 0.0.0.0"},
        {"iface eth0 inet static\n address 10.0.0.5\n netmask 255.255.255.256\n", "static 10.0.0.5 0.0.0.0 0.0.0.0"},
        // Long lines: the first 255 characters count, the rest of the line is skipped.
        {"iface eth0 inet static\n address 10.0.0.5" + std::string(300, ' ') + "x\n#" + std::string(254, '-') +
             "  address 10.9.9.9\n",
         "static 10.0.0.5 0.0.0.0 0.0.0.0"},
    };
    for (const auto& [text, loaded] : cases) {
        SCOPED_TRACE(text);
        m_board.WriteFile(INTERFACES, text);
        EXPECT_EQ(Show(Load()), loaded);
        EXPECT_EQ(NET_IsEnableDHCP(), loaded == dhcp ? TRUE : FALSE);
    }
}

TEST_F(NetConfig, StartWritesTheNameServerOnlyForAStaticAddress)
{
    std::filesystem::remove(m_board.Path(INTERFACES));
    EXPECT_EQ(Show(Load()), "dhcp 0.0.0.0 0.0.0.0 0.0.0.0");
    EXPECT_EQ(m_board.ReadFile(RESOLV), "");

    m_board.SetStaticInterfaces("192.168.1.10", "255.255.255.0");
    Load();
    EXPECT_EQ(m_board.ReadFile(RESOLV), "nameserver 8.8.8.8\n");

    std::filesystem::remove(m_board.Path(RESOLV));
    std::filesystem::create_directory(m_board.Path(RESOLV));
    Load(FALSE);
}

TEST_F(NetConfig, CommittedStaticAddressIsWrittenRestartedAndLoadsBackOnceTheFileCanBeWritten)
{
    Load();
    std::filesystem::remove(m_board.Path(INTERFACES));
    std::filesystem::create_directory(m_board.Path(INTERFACES));
    const NET_PARAM wanted = Param("static 192.168.1.10 255.255.255.0 192.168.1.1");
    NET_SetAddress(&wanted);
    EXPECT_TRUE(NET_IsChanged());
    EXPECT_TRUE(NET_IsModified());
    EXPECT_FALSE(NET_IsModified());
    EXPECT_FALSE(NET_Update(TRUE));
    EXPECT_TRUE(m_board.Commands().empty());

    std::filesystem::remove(m_board.Path(INTERFACES));
    NET_SetAddress(&wanted);
    ASSERT_TRUE(NET_IsModified());
    ASSERT_TRUE(NET_Update(TRUE));
    EXPECT_FALSE(NET_IsChanged());

    EXPECT_EQ(m_board.ReadFile(INTERFACES),
              "# /etc/network/interfaces -- configuration file for ifup(8), ifdown(8)\n\nauto lo eth0\n"
              "iface lo inet loopback\niface eth0 inet static\n  address 192.168.1.10\n  netmask 255.255.255.0\n"
              "  gateway 192.168.1.1\n\niface wlan0 inet dhcp\n  wireless_mode managed\n  wireless_essid any\n"
              "  wpa-driver wext\n  wpa-conf /etc/wpa_supplicant.conf\n\niface eth1 inet dhcp\n"
              "iface atml0 inet dhcp\niface usb0 inet dhcp\niface bnep0 inet dhcp\n");
    EXPECT_EQ(BoardReads(), "address: 192.168.1.10\nnetmask: 255.255.255.0\ngateway: 192.168.1.1\n");
    EXPECT_EQ(m_board.ReadFile(RESOLV), "nameserver 8.8.8.8\n");
    EXPECT_EQ(m_board.Commands(), (Lines{"ifdown eth0", "ifup eth0"}));
    EXPECT_EQ(Show(Load()), Show(wanted));
}

TEST_F(NetConfig, GatewayZeroWritesNoGatewayAndAddressZeroWritesDhcpWithoutNameServer)
{
    m_board.SetStaticInterfaces("10.0.0.5", "255.0.0.0", "10.0.0.1");
    Load();
    Commit(Param("static 192.168.1.10 255.255.255.0 0.0.0.0"));
    EXPECT_EQ(BoardReads(), "address: 192.168.1.10\nnetmask: 255.255.255.0\n");

    m_board.WriteFile(RESOLV, "");
    Commit(Param("static 0.0.0.0 255.255.255.0 192.168.1.1"));
    EXPECT_NE(m_board.ReadFile(INTERFACES).find("iface eth0 inet dhcp\n"), std::string::npos);
    EXPECT_EQ(BoardReads(), "");
    EXPECT_EQ(m_board.ReadFile(RESOLV), "");
    EXPECT_TRUE(NET_IsEnableDHCP());
    EXPECT_EQ(Show(Load()), "dhcp 0.0.0.0 0.0.0.0 0.0.0.0");
}

TEST_F(NetConfig, CommitOfTheConfiguredParametersRestartsNothingButAfterATemporaryAddressRewritesTheFile)
{
    m_board.SetStaticInterfaces("10.0.0.5", "255.0.0.0", "10.0.0.1");
    const std::string original = m_board.ReadFile(INTERFACES);
    const NET_PARAM earlier = Load();
    Commit(earlier);
    EXPECT_FALSE(NET_IsChanged());
    EXPECT_TRUE(m_board.Commands().empty());
    EXPECT_EQ(m_board.ReadFile(INTERFACES), original);

    const NET_PARAM temporary = Param("dhcp 172.16.0.9 255.255.0.0 172.16.0.1");
    EXPECT_TRUE(NET_TempSetAddress(&temporary));
    EXPECT_EQ(m_board.Commands(), (Lines{"ifconfig eth0 172.16.0.9 netmask 255.255.0.0"}));
    EXPECT_FALSE(NET_IsModified());
    EXPECT_EQ(m_board.ReadFile(INTERFACES), original);
    NET_PARAM now;
    NET_GetAddress(&now);
    EXPECT_EQ(Show(now), "static 172.16.0.9 255.255.0.0 172.16.0.1");  // an address is no DHCP
    m_board.ClearCommands();
    Commit(earlier);
    EXPECT_NE(m_board.ReadFile(INTERFACES), original);
    EXPECT_EQ(BoardReads(), "address: 10.0.0.5\nnetmask: 255.0.0.0\ngateway: 10.0.0.1\n");
    EXPECT_EQ(m_board.Commands(), (Lines{"ifdown eth0", "ifup eth0"}));

    // Leaving DHCP: the setting tool stages from the configured parameters,
    // DHCP flag included; what is configured afterwards is what the file says.
    m_board.SetDhcpInterfaces();
    NET_PARAM staged = Load();
    staged.dwIpAdrs = Ip("192.168.1.10");
    staged.dwSubnetMask = Ip("255.255.255.0");
    Commit(staged);
    EXPECT_EQ(BoardReads(), "address: 192.168.1.10\nnetmask: 255.255.255.0\n");
    m_board.ClearCommands();
    NET_PARAM configured;
    NET_GetAddress(&configured);
    Commit(configured);
    EXPECT_TRUE(m_board.Commands().empty());
}

TEST_F(NetConfig, DhcpAndNtpCommandLinesAreExactAndTheirFilesAreSeen)
{
    EXPECT_FALSE(NET_IsActiveDHCP());
    NET_StartDHCP();
    EXPECT_TRUE(NET_IsActiveDHCP());
    NET_StopDHCP();
    EXPECT_FALSE(NET_IsActiveDHCP());

    EXPECT_FALSE(NET_IsStartNTP() || NET_IsSyncNTP());
    EXPECT_TRUE(NET_StartNTP("10.0.0.1,10.0.0.2"));
    EXPECT_TRUE(NET_IsStartNTP() && NET_IsSyncNTP());
    NET_StopNTP();
    EXPECT_FALSE(NET_IsStartNTP() || NET_IsSyncNTP());
    EXPECT_FALSE(NET_StartNTP("pool.example;reboot"));
    EXPECT_FALSE(NET_StartNTP(std::string(300, 'a').c_str()));
    EXPECT_EQ(m_board.Commands(),
              (Lines{"udhcpc -R -b -p /var/run/udhcpc.eth0.pid -i eth0 &", "kill `cat /var/run/udhcpc.eth0.pid`",
                     "ntpcheck-start.sh start 10.0.0.1 10.0.0.2", "ntpcheck-start.sh stop"}));
}

TEST_F(NetConfig, DefaultGatewayComesOnlyFromTheDefaultRouteOfEth0)
{
    EXPECT_EQ(NET_GetDefaultGateway(), 0u);
    m_board.SetDefaultRoute("wlan0", "192.168.1.1");
    EXPECT_EQ(NET_GetDefaultGateway(), 0u);
    m_board.SetDefaultRoute("eth0", "192.168.1.254");
    EXPECT_EQ(Dotted(NET_GetDefaultGateway()), "192.168.1.254");
    m_board.WriteFile("/proc/net/route",
                      "eth0\t0000000A\t0101A8C0\t0003\neth0\t00000000\t0101A8C\t0003\neth0 00000000 0101A8CG 0003\n");
    EXPECT_EQ(NET_GetDefaultGateway(), 0u);
    std::filesystem::remove(m_board.Path("/proc/net/route"));
    EXPECT_EQ(NET_GetDefaultGateway(), 0u);
}

// In a forked child with its own network namespace: what eth0 reports
// before and after it exists ("skip WHY" when the namespace cannot be had).
std::string AskInOwnNamespace()
{
    std::string why;
    NET_PARAM p{};
    if (!loopnet::EnterPrivateNetNamespace(&why)) {
        return "skip " + why;
    }
    const BOOL withoutEth0 = NET_GetIfAddress(&p);
    if (std::system("ip link add eth0 type dummy 2>/dev/null || ip link add eth0 type veth peer name eth0peer") != 0 ||
        std::system("ip addr add 10.77.0.5/24 dev eth0") != 0) {
        return "skip cannot make eth0 in the namespace";
    }
    const BOOL withEth0 = NET_GetIfAddress(&p);
    return std::to_string(withoutEth0) + " " + std::to_string(withEth0) + " " + Show(p);
}

TEST_F(NetConfig, InterfaceAddressIsAskedFromEth0AndTheRoutingTable)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "network namespaces need root";
    }
    m_board.SetDefaultRoute("eth0", "10.77.0.1");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string r = AskInOwnNamespace();
        _exit(write(fds[1], r.data(), r.size()) == static_cast<ssize_t>(r.size()) ? 0 : 1);
    }
    close(fds[1]);
    char text[256] = {};
    const ssize_t got = read(fds[0], text, sizeof(text) - 1);
    close(fds[0]);
    waitpid(child, nullptr, 0);
    ASSERT_GT(got, 0);
    if (std::string(text).rfind("skip ", 0) == 0) {
        GTEST_SKIP() << text;
    }
    EXPECT_STREQ(text, "0 1 static 10.77.0.5 255.255.255.0 10.77.0.1");
}

}  // namespace
