// SimBoard: builds and reads a simulated board's root (see sim_board.h). The
// formats here are the board's own: the kernel's routing table with addresses
// in little-endian hex, sysfs values with a trailing line feed, the OTP files'
// "0x" texts.
#include "sim_board.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace sim {

namespace {

// Exits 0 for every line; leaves or removes the pid files of the DHCP client
// and the NTP check.
constexpr const char* COMMAND_STAND_IN = R"(#!/bin/sh
# Stand-in for the board's shell commands: $1 is the exact command line.
run="$KOVALAN_ROOT/var/run"
case "$1" in
  "udhcpc "*) echo 4201 > "$run/udhcpc.eth0.pid" ;;
  "kill "*udhcpc.eth0.pid*) rm -f "$run/udhcpc.eth0.pid" ;;
  "ntpcheck-start.sh start"*) echo 4202 > "$run/ntpcheck.pid"; echo synchronised > "$run/ntpcheck.result" ;;
  "ntpcheck-start.sh stop"*) rm -f "$run/ntpcheck.pid" "$run/ntpcheck.result" ;;
esac
exit 0
)";

constexpr const char* ROUTE_HEADER =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\t\t\n";

std::string MakeTempFolder()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kovalan-board-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        throw std::runtime_error("SimBoard: cannot make " + pattern);
    }
    return buf.data();
}

// A dotted IPv4 address as the kernel prints it in the routing table of a
// little-endian board: the four bytes in reverse order, upper-case hex.
std::string RouteHex(const std::string& dotted)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(dotted.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
        throw std::invalid_argument("SimBoard: bad address " + dotted);
    }
    char hex[9];
    std::snprintf(hex, sizeof(hex), "%02X%02X%02X%02X", d & 0xFF, c & 0xFF, b & 0xFF, a & 0xFF);
    return hex;
}

std::string RouteLine(const std::string& iface, const std::string& dest, const std::string& gateway, const char* flags,
                      const std::string& mask)
{
    return iface + "\t" + RouteHex(dest) + "\t" + RouteHex(gateway) + "\t" + flags + "\t0\t0\t0\t" + RouteHex(mask) +
           "\t0\t0\t0\n";
}

std::string GpioValuePath(int gpio)
{
    return "/sys/class/gpio/gpio" + std::to_string(gpio) + "/value";
}

}  // namespace

SimBoard::SimBoard() : m_root(MakeTempFolder())
{
    MakeTree();
    InstallCommandStandIn();
    SetDhcpInterfaces();
    WriteFile("/etc/resolv.conf", "");
    SetMac({0x02, 0x00, 0x00, 0x00, 0x00, 0x01});
    SetCarrier(true);
    for (int gpio : {COMM_LED_GPIO, ALARM_LED_GPIO}) {
        std::string dir = "/sys/class/gpio/gpio" + std::to_string(gpio);
        WriteFile(dir + "/direction", "in\n");
        WriteFile(dir + "/value", "0\n");
    }
    WriteFile("/sys/class/gpio/export", "");
    SetNoDefaultRoute();
}

SimBoard::~SimBoard()
{
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
}

void SimBoard::MakeTree() const
{
    for (const char* dir :
         {"/etc/network", "/sys/fsl_otp", "/sys/class/net/eth0", "/sys/class/gpio/gpio7", "/sys/class/gpio/gpio6",
          "/proc/net", "/var/local", "/var/run", "/var/log", "/dev", "/sbin"}) {
        std::filesystem::create_directories(Path(dir));
    }
}

void SimBoard::InstallCommandStandIn() const
{
    WriteFile("/sbin/board-command", COMMAND_STAND_IN);
    if (chmod(Path("/sbin/board-command").c_str(), 0755) != 0) {
        throw std::runtime_error("SimBoard: cannot make the command stand-in executable");
    }
}

void SimBoard::SetStaticInterfaces(const std::string& address, const std::string& netmask, const std::string& gateway)
{
    std::string text = "auto lo eth0\niface lo inet loopback\n\niface eth0 inet static\n  address " + address +
                       "\n  netmask " + netmask + "\n";
    if (!gateway.empty()) {
        text += "  gateway " + gateway + "\n";
    }
    WriteFile("/etc/network/interfaces", text);
}

void SimBoard::SetDhcpInterfaces()
{
    WriteFile("/etc/network/interfaces", "auto lo eth0\niface lo inet loopback\n\niface eth0 inet dhcp\n");
}

void SimBoard::SetMac(const std::array<uint8_t, 6>& mac)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%02x%02x\n", mac[0], mac[1]);
    WriteFile("/sys/fsl_otp/HW_OCOTP_MAC1", text);
    std::snprintf(text, sizeof(text), "0x%02x%02x%02x%02x\n", mac[2], mac[3], mac[4], mac[5]);
    WriteFile("/sys/fsl_otp/HW_OCOTP_MAC0", text);
}

void SimBoard::SetCarrier(bool up)
{
    WriteFile("/sys/class/net/eth0/carrier", up ? "1\n" : "0\n");
}

void SimBoard::SetDefaultRoute(const std::string& iface, const std::string& gateway)
{
    WriteFile("/proc/net/route", std::string(ROUTE_HEADER) + RouteLine(iface, "0.0.0.0", gateway, "0003", "0.0.0.0") +
                                     RouteLine("eth0", "10.77.0.0", "0.0.0.0", "0001", "255.255.255.0"));
}

void SimBoard::SetNoDefaultRoute()
{
    WriteFile("/proc/net/route",
              std::string(ROUTE_HEADER) + RouteLine("eth0", "10.77.0.0", "0.0.0.0", "0001", "255.255.255.0"));
}

void SimBoard::WriteFile(const std::string& boardPath, const std::string& content) const
{
    // Truncating keeps the inode, so descriptors held open see the change.
    std::ofstream out(Path(boardPath), std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("SimBoard: cannot write " + Path(boardPath));
    }
}

std::string SimBoard::ReadFile(const std::string& boardPath) const
{
    std::ifstream in(Path(boardPath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool SimBoard::Exists(const std::string& boardPath) const
{
    struct stat st;
    return stat(Path(boardPath).c_str(), &st) == 0;
}

bool SimBoard::LedLit(int gpio) const
{
    return GpioValue(gpio).rfind('0', 0) == 0;
}

std::string SimBoard::GpioValue(int gpio) const
{
    return ReadFile(GpioValuePath(gpio));
}

std::vector<std::string> SimBoard::Commands() const
{
    std::istringstream in(ReadFile("/var/log/board-commands.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

void SimBoard::ClearCommands() const
{
    if (Exists("/var/log/board-commands.log")) {
        WriteFile("/var/log/board-commands.log", "");
    }
}

}  // namespace sim
