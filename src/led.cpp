// led: the GPIO value files of the two LEDs and the state last written to
// them (see led.h). The value files stay open from LED_Init to LED_Destruct.
// Called from the unit core's timer thread; takes no lock. The wanted state is
// atomic so that LED_Get may be read from another thread.
#include "led.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "board.h"
#include "debug.h"

namespace {

constexpr const char* GPIO_EXPORT_PATH = "/sys/class/gpio/export";

// Per LED index: its GPIO line, the line's number as written to the export
// file, and its direction and value files.
struct GpioLine {
    const char* pszNumber;
    const char* pszDirection;
    const char* pszValue;
};
constexpr GpioLine GPIO_LINES[IDX_MAX_LED_PORTS] = {
    {"7", "/sys/class/gpio/gpio7/direction", "/sys/class/gpio/gpio7/value"},
    {"6", "/sys/class/gpio/gpio6/direction", "/sys/class/gpio/gpio6/value"},
};

std::atomic<DWORD> s_dwLedPat{0};
DWORD s_dwLedPatPrev = 0xFFFFFFFFu;
int s_fds[IDX_MAX_LED_PORTS] = {-1, -1};

// Opens a board file; prints the warning and gives -1 when it cannot.
int OpenBoardFile(const char* pszPath, int flags)
{
    char path[BOARD_PATH_MAX];
    int fd = -1;
    if (Board_MapPath(pszPath, path, sizeof(path))) {
        fd = open(path, flags | O_CLOEXEC);
    }
    if (fd < 0) {
        DebugPrint("WARNING: cannot open %s\n", pszPath);
    }
    return fd;
}

// Writes each line number to the export file through one descriptor. A line
// that is already exported makes its write fail; that is not an error.
BOOL ExportLines()
{
    int fd = OpenBoardFile(GPIO_EXPORT_PATH, O_WRONLY | O_TRUNC);
    if (fd < 0) {
        return FALSE;
    }
    for (const GpioLine& line : GPIO_LINES) {
        ssize_t ignored = write(fd, line.pszNumber, std::strlen(line.pszNumber));
        (void)ignored;
        lseek(fd, 0, SEEK_SET);
    }
    close(fd);
    return TRUE;
}

BOOL SetOutput(const GpioLine& line)
{
    int fd = OpenBoardFile(line.pszDirection, O_WRONLY | O_TRUNC);
    if (fd < 0) {
        return FALSE;
    }
    ssize_t ignored = write(fd, "out", 3);
    (void)ignored;
    close(fd);
    return TRUE;
}

void CloseValueFiles()
{
    for (int& fd : s_fds) {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }
}

// Writes one LED's level; TRUE when the file took it.
bool WriteLevel(int index, bool bLit)
{
    const char level = bLit ? '0' : '1';
    bool ok = write(s_fds[index], &level, 1) == 1;
    lseek(s_fds[index], 0, SEEK_SET);
    return ok;
}

}  // namespace

void LED_Construct()
{
    s_dwLedPat = 0;
    s_dwLedPatPrev = 0xFFFFFFFFu;
    s_fds[0] = -1;
    s_fds[1] = -1;
}

BOOL LED_Init()
{
    // A second initialisation must not leak the first one's descriptors.
    CloseValueFiles();
    if (!ExportLines()) {
        return FALSE;
    }
    for (const GpioLine& line : GPIO_LINES) {
        if (!SetOutput(line)) {
            return FALSE;
        }
    }
    for (int i = 0; i < IDX_MAX_LED_PORTS; ++i) {
        s_fds[i] = OpenBoardFile(GPIO_LINES[i].pszValue, O_RDWR);
        if (s_fds[i] < 0) {
            CloseValueFiles();
            return FALSE;
        }
    }
    // The levels of freshly opened lines are unknown: write both.
    s_dwLedPatPrev = 0xFFFFFFFFu;
    LED_Update();
    return TRUE;
}

void LED_Destruct()
{
    CloseValueFiles();
}

void LED_On(DWORD dwMask, BOOL bUpdate)
{
    s_dwLedPat |= dwMask;
    if (bUpdate) {
        LED_Update();
    }
}

void LED_Off(DWORD dwMask, BOOL bUpdate)
{
    s_dwLedPat &= ~dwMask;
    if (bUpdate) {
        LED_Update();
    }
}

void LED_Update()
{
    const DWORD pat = s_dwLedPat;
    if (pat == s_dwLedPatPrev) {
        return;
    }
    DWORD written = pat;
    for (int i = 0; i < IDX_MAX_LED_PORTS; ++i) {
        const DWORD bit = 1u << i;
        if (((pat ^ s_dwLedPatPrev) & bit) != 0 && !WriteLevel(i, (pat & bit) != 0)) {
            // Not shown: keep the bit different so the next update tries again.
            written ^= bit;
        }
    }
    s_dwLedPatPrev = written;
}

DWORD LED_Get()
{
    return s_dwLedPat;
}
