// main: the program entry of kovalan, the LAN unit daemon. It reads the
// command line (--root selects a simulated board before anything opens a
// file), makes sure the board is there and no other daemon holds it (the pid
// lock), installs the stop signals, brings the daemon up in its fixed order,
// runs the unit core's idle loop until SIGTERM, SIGINT or SIGHUP, and tears
// down: the unit core with the modules it owns (Server_Destruct), the socket
// layer, then the debug output. A failure before the loop ends the process
// with 1 after the same tear-down, and one line on the error stream says why;
// a bad command line ends it with 64.
//
// Threads: the main thread runs everything here; the stop signals may land
// on any thread, and their handler only sets an atomic flag and wakes the
// idle loop's wait. No locks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "board.h"
#include "commlib.h"
#include "config.h"
#include "debug.h"
#include "pidlock.h"
#include "server.h"
#include "sockutil.h"
#include "winemu.h"

namespace {

constexpr const char* CONFIG_FILE = "/var/local/kovalan.ini";
constexpr const char* LOG_FILE = "/var/local/kovalan.log";
constexpr DWORD LOG_FILE_SIZE = 0x40000;
constexpr const char* BANNER = "KOVA-LAN Ver 1.4.4.0\n";
constexpr int EXIT_START_FAILED = 1;
constexpr int EXIT_USAGE = 64;

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
    return sigaction(SIGTERM, &sa, nullptr) == 0 && sigaction(SIGINT, &sa, nullptr) == 0 &&
           sigaction(SIGHUP, &sa, nullptr) == 0;
}

void PrintUsage(FILE* out)
{
    std::fputs(
        "Usage: kovalan [--root DIR] [-h|--help] [--version]\n"
        "\n"
        "The KOVA-LAN unit daemon. It links the repeater radio on the board's serial\n"
        "line with up to 100 other LAN units over UDP, takes the setting tool's\n"
        "commands on the USB serial port, shows the unit's state on two LEDs and keeps\n"
        "a ring log. It runs until SIGTERM, SIGINT or SIGHUP, which stop it in order.\n"
        "One daemon runs per board: a second one finds the pid file locked and exits.\n"
        "\n"
        "Options:\n"
        "  --root DIR  run as a simulated board: every board file below is taken\n"
        "              below DIR, and shell commands and clock changes are only\n"
        "              recorded in DIR/var/log/board-commands.log (and handed to\n"
        "              DIR/sbin/board-command when that is executable)\n"
        "  -h, --help  show this text and exit\n"
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
        "  /var/run/kovalan.pid              the daemon's id, locked while it runs\n"
        "\n"
        "Exit status: 0 after a stop signal, 1 when start-up failed (one line on the\n"
        "error stream says why), 64 for a bad command line.\n"
        "\n"
        "See kovalan(8).\n",
        out);
}

// Parses the command line; false when the program must end with *pnExit.
bool ParseArgs(int argc, char** argv, int* pnExit)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
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

// The one line on the error stream that says why the start failed.
void StartFailed(const char* pszWhy, const char* pszDetail = "")
{
    std::fprintf(stderr, "kovalan: start-up failed: %s%s\n", pszWhy, pszDetail);
}

// The board path mapped, "" when it does not fit.
void MapPath(const char* pszBoardPath, char (&out)[BOARD_PATH_MAX])
{
    if (!Board_MapPath(pszBoardPath, out, sizeof(out))) {
        out[0] = '\0';
    }
}

// True when the file can be read, or is not there at all.
bool FileReadableOrAbsent(const char* pszPath)
{
    int fd = open(pszPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT;
    }
    char byte = 0;
    bool bRead = read(fd, &byte, 1) >= 0;
    close(fd);
    return bRead;
}

// The checks before anything starts: the simulated board's folder, the pid
// lock, a settings file that is there but cannot be read (a missing one is
// fine: the daemon starts from its defaults).
bool BoardReady()
{
    struct stat st;
    if (Board_IsSimulated() && (stat(Board_GetRoot(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        StartFailed("board root missing: ", Board_GetRoot());
        return false;
    }
    int nHolder = 0;
    int nErrno = 0;
    switch (PidLock_Acquire(&nHolder, &nErrno)) {
        case PIDLOCK_RESULT::LOCKED:
            break;
        case PIDLOCK_RESULT::TAKEN:
            std::fprintf(
                stderr,
                "kovalan: start-up failed: another kovalan (pid %d) already runs on this board (%s is locked)\n",
                nHolder, PIDLOCK_FILE);
            return false;
        case PIDLOCK_RESULT::FAILED:
            std::fprintf(stderr, "kovalan: start-up failed: cannot lock %s: %s\n", PIDLOCK_FILE, std::strerror(nErrno));
            return false;
    }
    char ini[BOARD_PATH_MAX];
    MapPath(CONFIG_FILE, ini);
    if (!FileReadableOrAbsent(ini)) {
        StartFailed("ini unreadable: ", CONFIG_FILE);
        return false;
    }
    return true;
}

// Everything between the debug output and the idle loop: null on success,
// else the step that failed.
const char* StartUnit()
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
        return "Sock_Init()";
    }
    if (!Server_Init()) {
        DebugPrint("WARNING: Server_Init() failed\n");
        return "Server_Init()";
    }
    if (!Server_Start()) {
        DebugPrint("WARNING: Server_Start() failed\n");
        return "Server_Start()";
    }
    return nullptr;
}

// True when the serial device of the port number is missing (*out names it).
bool DeviceMissing(int nPort, char (&out)[BOARD_PATH_MAX])
{
    CommLib_DevicePath(nPort, out, sizeof(out));
    char mapped[BOARD_PATH_MAX];
    MapPath(out, mapped);
    return access(mapped, F_OK) != 0;
}

// Says why a start failed, in the terms the operator mends it in: the
// radio's port or device, the USB console's device, else the failed step
// (the warning lines above it tell more).
void ReportStartFailure(const char* pszStep)
{
    const CONFIG_PARAM* cfg = CONFIG_Get();
    char dev[BOARD_PATH_MAX];
    if (std::strcmp(pszStep, "Server_Start()") == 0 && cfg->nCommPort == 0) {
        StartFailed("no radio port set (CommPort=0)");
    } else if (std::strcmp(pszStep, "Server_Start()") == 0 && DeviceMissing(cfg->nCommPort, dev)) {
        StartFailed("radio device missing: ", dev);
    } else if (std::strcmp(pszStep, "Server_Start()") == 0 && cfg->nUsbPort != 0 && DeviceMissing(cfg->nUsbPort, dev)) {
        StartFailed("USB console device missing: ", dev);
    } else {
        char what[64];
        std::snprintf(what, sizeof(what), "%s failed (see the warnings above)", pszStep);
        StartFailed(what);
    }
}

int RunDaemon()
{
    Sock_Construct();
    Server_Construct();
    const char* pszFailed = "WinEmu_Init()";
    if (!WinEmu_Init()) {
        // The debug output does not run yet: the line goes to the error stream.
        std::fputs("WARNING: WinEmu_Init() failed\n", stderr);
    } else {
        CONFIG_Init();
        CONFIG_Load(CONFIG_FILE, nullptr);
        InitDebugPrint();
        pszFailed = StartUnit();
    }
    while (pszFailed == nullptr && !s_bStopSignal.load()) {
        Server_OnIdle();
    }
    Server_Destruct();
    Sock_Destruct();
    FreeDebugPrint();
    if (pszFailed != nullptr) {
        ReportStartFailure(pszFailed);
        return EXIT_START_FAILED;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int nExit = 0;
    if (!ParseArgs(argc, argv, &nExit)) {
        return nExit;
    }
    if (!InstallStopSignals()) {
        StartFailed("cannot install the stop signals");
        return EXIT_START_FAILED;
    }
    if (!BoardReady()) {
        return EXIT_START_FAILED;
    }
    nExit = RunDaemon();
    PidLock_Release();
    return nExit;
}
