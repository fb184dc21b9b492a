// SimBoard: a simulated board's root folder for tests and simulated units.
//
// It makes, in a fresh temporary folder that is removed at the end, the files
// the daemon finds on a board: the interfaces file (static or DHCP), the name
// server file, the OTP MAC files, the Ethernet carrier, the GPIO files of the
// two LEDs, the routing table (with or without a default route), the var and
// dev folders, and an executable sbin/board-command stand-in that leaves the
// pid files the DHCP client and the NTP check would leave and exits 0. It reads
// back LED states, the command log and any file.
//
// Written from the board's description only; it includes nothing of the daemon.
// Files are rewritten in place (same inode), so a descriptor the daemon keeps
// open sees the new content. Not thread-safe; one owner.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class SimBoard {
public:
    static constexpr int COMM_LED_GPIO = 7;
    static constexpr int ALARM_LED_GPIO = 6;

    // A board with a DHCP interfaces file, carrier up, MAC 02:00:00:00:00:01,
    // both LED lines reading "0\n" (as freshly exported lines do) and no
    // default route.
    SimBoard();
    ~SimBoard();
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    const std::string& root() const { return m_root; }
    // The file below the root that stands for an absolute board path.
    std::string Path(const std::string& boardPath) const { return m_root + boardPath; }

    // Interfaces file with a static eth0 (no gateway line when gateway is "").
    void SetStaticInterfaces(const std::string& address, const std::string& netmask, const std::string& gateway = "");
    void SetDhcpInterfaces();
    // OTP files: MAC1 "0x" + 4 digits (bytes 0-1), MAC0 "0x" + 8 digits (bytes 2-5).
    void SetMac(const std::array<uint8_t, 6>& mac);
    void SetCarrier(bool up);
    // Routing table in the kernel's format with eth0's local network and a
    // default route through the dotted gateway on iface.
    void SetDefaultRoute(const std::string& iface, const std::string& gateway);
    // Routing table with eth0's local network only.
    void SetNoDefaultRoute();

    // Replaces a file's content in place, creating it when missing.
    void WriteFile(const std::string& boardPath, const std::string& content) const;
    // A file's content, "" when missing.
    std::string ReadFile(const std::string& boardPath) const;
    bool Exists(const std::string& boardPath) const;

    // An LED is lit when its GPIO value file starts with "0".
    bool LedLit(int gpio) const;
    // The content of a GPIO line's value file.
    std::string GpioValue(int gpio) const;
    // The command lines logged so far, in order.
    std::vector<std::string> Commands() const;
    void ClearCommands() const;

private:
    void MakeTree() const;
    void InstallCommandStandIn() const;

    std::string m_root;
};

}  // namespace sim
