// main: the program entry of kovalan, the LAN unit daemon. It reads the
// command line (--root selects a simulated board before anything opens a
// file), installs the stop signals, brings the daemon up in its fixed order,
// runs the unit core's idle loop until SIGTERM or SIGINT, and tears down:
// the unit core with the modules it owns (Server_Destruct), the socket
// layer, then the debug output. A failure before the loop ends the process
// with -1 after the same tear-down.
//
// Threads: the main thread runs everything here; the stop signals may land
// on any thread, and their handler only sets an atomic flag and wakes the
// idle loop's wait. No locks.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "board.h"
#include "config.h"
#include "debug.h"
#include "server.h"
#include "sockutil.h"
#include "winemu.h"

namespace {

constexpr const char* CONFIG_FILE = "/var/local/kovalan.ini";
constexpr const char* LOG_FILE = "/var/local/kovalan.log";
constexpr DWORD LOG_FILE_SIZE = 0x40000;
constexpr const char* BANNER = "KOVA-LAN Ver 1.4.4.0\n";
constexpr int EXIT_START_FAILED = -1;
constexpr int EXIT_USAGE = 2;

std::atomic<bool> s_bStopSignal{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

void OnStopSignal(int)
{
    s_bStopSignal.store(true);
    Server_Wake();
}

bool InstallStopSignals()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGTERM, &sa, nullptr) == 0 && sigaction(SIGINT, &sa, nullptr) == 0;
}

void PrintUsage(FILE* out)
{
    std::fputs(
        "Usage: kovalan [--root DIR] [--help] [--version]\n"
        "\n"
        "The KOVA-LAN unit daemon. It links the repeater radio on the board's serial\n"
        "line with up to 100 other LAN units over UDP, takes the setting tool's\n"
        "commands on the USB serial port, shows the unit's state on two LEDs and keeps\n"
        "a ring log. It runs until SIGTERM or SIGINT, which stop it in order.\n"
        "\n"
        "Options:\n"
        "  --root DIR  run as a simulated board: every board file below is taken\n"
        "              below DIR, and shell commands and clock changes are only\n"
        "              recorded in DIR/var/log/board-commands.log (and handed to\n"
        "              DIR/sbin/board-command when that is executable)\n"
        "  --help      show this text and exit\n"
        "  --version   show the program's version and exit\n"
        "\n"
        "Files on the board:\n"
        "  /var/local/kovalan.ini, .bak      settings and their backup\n"
        "  /var/local/kovalan.log, .lbk      ring log and its journal\n"
        "  /var/local/DATA                   folder of the voice recordings\n"
        "  /dev/ttymxc<N>                    the radio's serial line (CommPort N+1)\n"
        "  /dev/ttyGS<N>                     the USB serial console (UsbPort 1000+N)\n"
        "  /sys/class/gpio/gpio6, gpio7      alarm and communication LEDs\n"
        "  /sys/class/net/eth0/carrier       Ethernet carrier\n"
        "  /sys/fsl_otp/HW_OCOTP_MAC0, MAC1  the MAC address\n"
        "  /etc/network/interfaces, /etc/resolv.conf, /proc/net/route\n"
        "\n"
        "Exit status: 0 after a stop signal, 255 when start-up failed, 2 for a bad\n"
        "command line.\n",
        out);
}

// Parses the command line; false when the program must end with *pnExit.
bool ParseArgs(int argc, char** argv, int* pnExit)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0) {
            PrintUsage(stdout);
            *pnExit = 0;
            return false;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::fputs(BANNER, stdout);
            *pnExit = 0;
            return false;
        }
        if (std::strcmp(arg, "--root") == 0 && i + 1 == argc) {
            std::fputs("kovalan: --root needs the simulated board's folder\n", stderr);
            *pnExit = EXIT_USAGE;
            return false;
        }
        if (std::strcmp(arg, "--root") == 0) {
            if (!Board_SetRoot(argv[++i])) {
                std::fprintf(stderr, "kovalan: board root too long: %s\n", argv[i]);
                *pnExit = EXIT_USAGE;
                return false;
            }
            continue;
        }
        std::fprintf(stderr, "kovalan: unknown argument: %s\n", arg);
        PrintUsage(stderr);
        *pnExit = EXIT_USAGE;
        return false;
    }
    return true;
}

// Everything between the debug output and the idle loop; false on failure.
bool StartUnit()
{
    DebugPrint("%s", BANNER);
    char szLogPath[BOARD_PATH_MAX];
    if (Board_MapPath(LOG_FILE, szLogPath, sizeof(szLogPath))) {
        OpenLogFile(szLogPath, LOG_FILE_SIZE);
    }
    // Only now can the lines reach the ring log as well as the output.
    CONFIG_ReportLoad();
    if (!Sock_Init()) {
        DebugPrint("WARNING: Sock_Init() failed\n");
        return false;
    }
    if (!Server_Init()) {
        DebugPrint("WARNING: Server_Init() failed\n");
        return false;
    }
    if (!Server_Start()) {
        DebugPrint("WARNING: Server_Start() failed\n");
        return false;
    }
    return true;
}

int RunDaemon()
{
    Sock_Construct();
    Server_Construct();
    bool bRunning = false;
    if (!WinEmu_Init()) {
        // The debug output does not run yet: the line goes to the error stream.
        std::fputs("WARNING: WinEmu_Init() failed\n", stderr);
    } else {
        CONFIG_Init();
        CONFIG_Load(CONFIG_FILE, nullptr);
        InitDebugPrint();
        bRunning = StartUnit();
    }
    while (bRunning && !s_bStopSignal.load()) {
        Server_OnIdle();
    }
    Server_Destruct();
    Sock_Destruct();
    FreeDebugPrint();
    return bRunning ? 0 : EXIT_START_FAILED;
}

}  // namespace

int main(int argc, char** argv)
{
    int nExit = 0;
    if (!ParseArgs(argc, argv, &nExit)) {
        return nExit;
    }
    if (!InstallStopSignals()) {
        std::fputs("kovalan: cannot install the stop signals\n", stderr);
        return EXIT_START_FAILED;
    }
    return RunDaemon();
}
