// board_root: the board roots kovasim makes and reads. A root is built with
// the harness's SimBoard (interfaces file, MAC fuses, carrier, LED lines,
// routing table, the board-command stand-in) and given the unit's settings
// file with the chosen peer ports and targets; MakeRoot copies such a board
// into a folder of the user's choice so that it outlives the tool.
//
// No threads and no state of its own. ReadRootSettings takes the daemon's
// own settings reader, which keeps process-wide state: call it from one
// thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {
class SimBoard;
}

namespace kovasim {

// One entry of the unit's target table.
struct TargetSetting {
    int index = 0;        // 0-99
    std::string address;  // dotted IPv4
    bool enabled = true;
};

// What a board root holds; the defaults are the system's own.
struct RootSettings {
    int rxPort = 21110;  // RxUdpPort: where the unit receives peer packets
    int txPort = 21110;  // TxUdpPort: where it sends them
    int commPort = 2;    // CommPort: the radio's line is dev/ttymxc<commPort-1>
    int usbPort = 1000;  // UsbPort: the console is dev/ttyGS<usbPort-1000>; 0 = none
    std::vector<TargetSetting> targets;
    std::array<uint8_t, 6> mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    bool dhcp = true;  // false: static eth0 with the three fields below
    std::string address, netmask, gateway;
    bool carrier = true;
};

// The settings file's text for these settings.
std::string IniText(const RootSettings& settings);
// Writes the settings into a board: interfaces file, MAC, carrier, settings file.
void ApplySettings(sim::SimBoard& board, const RootSettings& settings);
// Makes a board root with these settings in dir, which must be missing or
// empty; false with the reason in *why.
bool MakeRoot(const std::string& dir, const RootSettings& settings, std::string* why);
// Copies a board root's whole tree into dir (made when missing).
bool CopyRoot(const std::string& from, const std::string& dir, std::string* why);

// The ports a root's settings file gives the unit, read as the daemon reads
// them (defaults where the file is missing or silent).
struct RootPorts {
    int commPort = 0;
    int usbPort = 0;
    int rxPort = 0;
    int txPort = 0;
};
// False with the reason when dir does not look like a board root.
bool ReadRootPorts(const std::string& dir, RootPorts* ports, std::string* why);

// The device below dev/ that a CommPort or UsbPort number opens, named as the
// daemon names it ("ttymxc1" for 2, "ttyGS0" for 1000); "" for 0 (none).
std::string DeviceName(int port);

// Parses "a.b.c.d"; false when it is not one.
bool ValidAddress(const std::string& dotted);
// Parses "02:00:00:00:00:0A"; false when it is not a MAC address.
bool ParseMac(const std::string& text, std::array<uint8_t, 6>* mac);

}  // namespace kovasim
