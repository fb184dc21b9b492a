// board_root: board roots for kovasim (see board_root.h). The board's files
// come from the harness's SimBoard; the settings file is written here in the
// unit's key=value format; reading a root back uses the daemon's own
// settings reader and device naming, so kovasim opens the devices the daemon
// will look for.
#include "board_root.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "board.h"
#include "commlib.h"
#include "config.h"
#include "sim_board.h"
#include "util.h"

namespace kovasim {

namespace {

constexpr const char* INI_PATH = "/var/local/kovalan.ini";
// Loaded target entries never keep their code table, but the field must be there.
constexpr const char* EMPTY_CODE_TABLE = "00000000000000000000000000000000";

}  // namespace

std::string IniText(const RootSettings& s)
{
    std::string text = "; board root made by kovasim\n";
    text += "RxUdpPort=" + std::to_string(s.rxPort) + "\n";
    text += "TxUdpPort=" + std::to_string(s.txPort) + "\n";
    text += "CommPort=" + std::to_string(s.commPort) + "\n";
    text += "UsbPort=" + std::to_string(s.usbPort) + "\n";
    for (const TargetSetting& t : s.targets) {
        text += "Target" + std::to_string(t.index) + "=" + (t.enabled ? "1," : "0,") + t.address + "," +
                EMPTY_CODE_TABLE + "\n";
    }
    text += "Program=KOVA-LAN\n";
    return text;
}

void ApplySettings(sim::SimBoard& board, const RootSettings& s)
{
    if (s.dhcp) {
        board.SetDhcpInterfaces();
    } else {
        board.SetStaticInterfaces(s.address, s.netmask, s.gateway);
    }
    board.SetMac(s.mac);
    board.SetCarrier(s.carrier);
    board.WriteFile(INI_PATH, IniText(s));
}

bool CopyRoot(const std::string& from, const std::string& dir, std::string* why)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!ec) {
        // Device links of a running unit are not part of a root; nothing else is a link.
        std::filesystem::copy(from, dir,
                              std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks |
                                  std::filesystem::copy_options::overwrite_existing,
                              ec);
    }
    if (ec) {
        *why = "cannot copy the board into " + dir + ": " + ec.message();
        return false;
    }
    return true;
}

bool MakeRoot(const std::string& dir, const RootSettings& settings, std::string* why)
{
    std::error_code ec;
    if (std::filesystem::exists(dir, ec) && !std::filesystem::is_empty(dir, ec)) {
        *why = dir + " exists and is not empty";
        return false;
    }
    try {
        sim::SimBoard board;  // a temporary folder, removed when it goes
        ApplySettings(board, settings);
        return CopyRoot(board.root(), dir, why);
    } catch (const std::exception& e) {
        *why = e.what();
        return false;
    }
}

bool ReadRootPorts(const std::string& dir, RootPorts* ports, std::string* why)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(dir + "/sys/class/net/eth0/carrier", ec) ||
        !std::filesystem::is_directory(dir + "/var/local", ec)) {
        *why = dir + " is not a board root (make one with kovasim make-root)";
        return false;
    }
    // The daemon's reader, pointed at the root for the length of the read.
    static CONFIG_PARAM param;
    if (!Board_SetRoot(dir.c_str())) {
        *why = "board root name too long: " + dir;
        return false;
    }
    CONFIG_Init();
    CONFIG_Load(INI_PATH, &param);
    Board_SetRoot(nullptr);
    ports->commPort = param.nCommPort;
    ports->usbPort = param.nUsbPort;
    ports->rxPort = param.nRxUdpPort;
    ports->txPort = param.nTxUdpPort;
    return true;
}

std::string DeviceName(int port)
{
    if (port <= 0) {
        return "";
    }
    char path[64];
    CommLib_DevicePath(port, path, sizeof(path));
    return std::string(path).substr(std::string("/dev/").size());
}

bool ValidAddress(const std::string& dotted)
{
    DWORD value = 0;
    return str2ipadrs(dotted.c_str(), &value) != FALSE;
}

bool ParseMac(const std::string& text, std::array<uint8_t, 6>* mac)
{
    BYTE bytes[6];
    if (!str2macadrs(text.c_str(), bytes) || text.size() != 17) {
        return false;
    }
    for (size_t i = 0; i < 6; ++i) {
        (*mac)[i] = bytes[i];
    }
    return true;
}

}  // namespace kovasim
