// link: the open carrier file of eth0 (see link.h). The kernel refuses to
// report a carrier while the interface is down; such a read error counts as
// no carrier. Timer thread only; no lock.
#include "link.h"

#include <fcntl.h>
#include <unistd.h>

#include "board.h"
#include "debug.h"

namespace {

constexpr const char* CARRIER_PATH = "/sys/class/net/eth0/carrier";

int s_fd = -1;

}  // namespace

void LINK_Construct()
{
    s_fd = -1;
}

BOOL LINK_Init()
{
    LINK_Destruct();
    char path[BOARD_PATH_MAX];
    if (Board_MapPath(CARRIER_PATH, path, sizeof(path))) {
        s_fd = open(path, O_RDONLY | O_CLOEXEC);
    }
    if (s_fd < 0) {
        DebugPrint("WARNING: cannot open %s\n", CARRIER_PATH);
        return FALSE;
    }
    return TRUE;
}

BOOL LINK_Get(BOOL* pbLink)
{
    if (s_fd < 0 || pbLink == nullptr) {
        return FALSE;
    }
    // sysfs gives a fresh reading only to a read from the start of the file.
    char c = '0';
    if (lseek(s_fd, 0, SEEK_SET) != 0 || read(s_fd, &c, 1) != 1) {
        c = '0';
    }
    *pbLink = (c == '1') ? TRUE : FALSE;
    return TRUE;
}

void LINK_Destruct()
{
    if (s_fd >= 0) {
        close(s_fd);
    }
    s_fd = -1;
}
