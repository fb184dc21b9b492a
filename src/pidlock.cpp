// pidlock: the daemon's exclusive lock on its board (see pidlock.h).
#include "pidlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "board.h"

namespace {

int s_nFd = -1;

int ReadHolder(int fd)
{
    char text[16] = {};
    ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    return n > 0 ? std::atoi(text) : 0;
}

bool WriteOwnPid(int fd)
{
    char text[16];
    int n = std::snprintf(text, sizeof(text), "%d\n", static_cast<int>(getpid()));
    return ftruncate(fd, 0) == 0 && pwrite(fd, text, static_cast<size_t>(n), 0) == n;
}

}  // namespace

PIDLOCK_RESULT PidLock_Acquire(int* pnHolder, int* pnErrno)
{
    *pnHolder = 0;
    *pnErrno = 0;
    char path[BOARD_PATH_MAX];
    if (!Board_MapPath(PIDLOCK_FILE, path, sizeof(path))) {
        *pnErrno = ENAMETOOLONG;
        return PIDLOCK_RESULT::FAILED;
    }
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *pnErrno = errno;
        return PIDLOCK_RESULT::FAILED;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        PIDLOCK_RESULT result = err == EWOULDBLOCK ? PIDLOCK_RESULT::TAKEN : PIDLOCK_RESULT::FAILED;
        *pnHolder = result == PIDLOCK_RESULT::TAKEN ? ReadHolder(fd) : 0;
        *pnErrno = err;
        close(fd);
        return result;
    }
    if (!WriteOwnPid(fd)) {
        *pnErrno = errno;
        close(fd);
        return PIDLOCK_RESULT::FAILED;
    }
    s_nFd = fd;
    return PIDLOCK_RESULT::LOCKED;
}

void PidLock_Release()
{
    if (s_nFd < 0) {
        return;
    }
    // Emptied while still held, so that no later owner's id is ever erased.
    if (ftruncate(s_nFd, 0) != 0) {
        // Nothing to do about it: the lock still ends with the descriptor.
    }
    close(s_nFd);
    s_nFd = -1;
}
