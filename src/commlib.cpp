// commlib: the serial port driver (see commlib.h). It owns the two driver
// slots g_CommWork, each with its device descriptor, its 2048-byte receive
// ring and its receive thread.
//
// Threads: the slot's owner opens and closes it; the slot's receive thread
// fills the ring and calls the notification procedure; one writer thread per
// slot calls WriteCommBlock. Locks: s_mtxSlots (slot reservation only),
// mtxBuff (ring and counters), mtxCallback (the notification procedure) and
// mtxWrite (one device write); none is held while calling out, and none is
// held together with another.
#include "commlib.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "board.h"
#include "debug.h"
#include "helpers.h"
#include "util.h"

struct tagCOMM_WORK {
    std::atomic<BOOL> bOpened{FALSE};  // slot in use and ready
    BYTE abyRxData[COMM_RX_BUFF_SIZE];
    int nRxDataLen;
    int nRxDataPtr_W;
    int nRxDataPtr_R;
    COMMNFYPROC pNotifyProc;
    std::atomic<BOOL> bClosing{FALSE};  // a close is in progress: no failure notification
    int fd;
    termios attr;
    pthread_mutex_t mtxCallback;
    pthread_mutex_t mtxBuff;
    BOOL bMtxCallback;
    BOOL bMtxBuff;
    HANDLE thread;  // RxThread
    // Kept across opens: the slot's reservation and its writer.
    bool bReserved = false;  // under s_mtxSlots
    pthread_mutex_t mtxWrite = PTHREAD_MUTEX_INITIALIZER;  // never destroyed
    std::atomic<bool> bWriting{false};  // a write() is running (or about to) under mtxWrite
    std::atomic<pthread_t> writer{};  // the thread doing it
};
typedef tagCOMM_WORK COMM_WORK;

namespace {

// How often DestroyCommPort repeats the cancel signal to a write that the
// device does not accept.
constexpr DWORD WRITER_KICK_MS = 5;

COMM_WORK g_CommWork[COMM_PORT_MAX];
pthread_mutex_t s_mtxSlots = PTHREAD_MUTEX_INITIALIZER;
std::atomic<COMM_WRITE_OBSERVER> s_pfnWriteObserver{nullptr};

bool IsLegalSlot(int nSlot)
{
    if (nSlot < 0 || nSlot >= COMM_PORT_MAX) {
        DebugPrint("WARNING: illegal port %d\n", nSlot);
        return false;
    }
    return true;
}

// Slot checks of the block calls: legal and open.
bool IsOpenSlot(int nSlot)
{
    if (!IsLegalSlot(nSlot)) {
        return false;
    }
    if (!g_CommWork[nSlot].bOpened.load()) {
        DebugPrint("WARNING: port %d is not opened\n", nSlot);
        return false;
    }
    return true;
}

// Everything but the reservation and the writer lock.
void ClearWork(COMM_WORK& w)
{
    w.bOpened.store(FALSE);
    std::memset(w.abyRxData, 0, sizeof(w.abyRxData));
    w.nRxDataLen = 0;
    w.nRxDataPtr_W = 0;
    w.nRxDataPtr_R = 0;
    w.pNotifyProc = nullptr;
    w.bClosing.store(FALSE);
    w.fd = -1;
    std::memset(&w.attr, 0, sizeof(w.attr));
    w.bMtxCallback = FALSE;
    w.bMtxBuff = FALSE;
    w.thread = nullptr;
}

int ReserveSlot()
{
    int slot = -1;
    pthread_mutex_lock(&s_mtxSlots);
    for (int i = 0; i < COMM_PORT_MAX && slot < 0; ++i) {
        if (!g_CommWork[i].bReserved) {
            g_CommWork[i].bReserved = true;
            slot = i;
        }
    }
    pthread_mutex_unlock(&s_mtxSlots);
    return slot;
}

void ReleaseSlot(int nSlot)
{
    pthread_mutex_lock(&s_mtxSlots);
    g_CommWork[nSlot].bReserved = false;
    pthread_mutex_unlock(&s_mtxSlots);
}

speed_t BaudCode(long lBaudRate)
{
    switch (lBaudRate) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B1200;
    }
}

// Raw mode: no canonical input, echo, signals or output processing; a read
// returns as soon as one byte is there.
void BuildAttributes(termios* attr, long lBaudRate, int nByteSize, char cParity, int nStopBits, BOOL bXon,
                     BOOL bRTSCTS)
{
    std::memset(attr, 0, sizeof(*attr));
    speed_t speed = BaudCode(lBaudRate);
    attr->c_iflag = IGNPAR;
    if (bXon) {
        attr->c_iflag |= IXON | IXOFF;
    }
    attr->c_cflag = CREAD | CLOCAL | speed | (nByteSize == 7 ? CS7 : CS8);
    if (nStopBits == 2) {
        attr->c_cflag |= CSTOPB;
    }
    if (cParity == 'E' || cParity == 'e') {
        attr->c_cflag |= PARENB;
    } else if (cParity == 'O' || cParity == 'o') {
        attr->c_cflag |= PARENB | PARODD;
    }
    if (bRTSCTS) {
        attr->c_cflag |= CRTSCTS;
    }
    attr->c_cc[VMIN] = 1;
    attr->c_cc[VTIME] = 0;
    cfsetispeed(attr, speed);
    cfsetospeed(attr, speed);
}

// Opened without waiting for a carrier; blocking again once CLOCAL is set.
int OpenDevice(int nCommPort, const termios* attr)
{
    char device[BOARD_PATH_MAX];
    char path[BOARD_PATH_MAX];
    CommLib_DevicePath(nCommPort, device, sizeof(device));
    int fd = -1;
    if (Board_MapPath(device, path, sizeof(path))) {
        fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } else {
        _strlcpy(path, device, sizeof(path));
    }
    if (fd < 0) {
        DebugPrint("WARNING: open(%s) failed\n", path);
        return -1;
    }
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, attr) != 0) {
        DebugPrint("WARNING: tcsetattr() failed\n");
        close(fd);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    return fd;
}

void DestroyMutexes(COMM_WORK& w)
{
    if (w.bMtxCallback) {
        pthread_mutex_destroy(&w.mtxCallback);
        w.bMtxCallback = FALSE;
    }
    if (w.bMtxBuff) {
        pthread_mutex_destroy(&w.mtxBuff);
        w.bMtxBuff = FALSE;
    }
}

bool InitMutexes(COMM_WORK& w)
{
    int ret = pthread_mutex_init(&w.mtxCallback, nullptr);
    if (ret == 0) {
        w.bMtxCallback = TRUE;
        ret = pthread_mutex_init(&w.mtxBuff, nullptr);
        if (ret == 0) {
            w.bMtxBuff = TRUE;
        }
    }
    if (ret != 0) {
        DebugPrint("WARNING: pthread_mutex_init() failed (ret=%d)\n", ret);
        DestroyMutexes(w);
        return false;
    }
    return true;
}

// Appends one read to the ring. A ring found full discards everything it
// holds and the rest of the read.
void StoreReceived(int nSlot, const BYTE* data, int n)
{
    COMM_WORK& w = g_CommWork[nSlot];
    bool overflow = false;
    Lock(&w.mtxBuff);
    int room = COMM_RX_BUFF_SIZE - w.nRxDataLen;
    if (n <= room) {
        CommRing_Put(w.abyRxData, COMM_RX_BUFF_SIZE, &w.nRxDataLen, &w.nRxDataPtr_W, data, n);
    } else {
        overflow = true;
        w.nRxDataPtr_W = (w.nRxDataPtr_W + room) % COMM_RX_BUFF_SIZE;
        w.nRxDataLen = 0;
        w.nRxDataPtr_R = w.nRxDataPtr_W;
    }
    Unlock(&w.mtxBuff);
    if (overflow) {
        DebugPrint("WARNING: buffer overflow port %d\n", nSlot);
    }
}

void Notify(int nSlot, DWORD dwEvent)
{
    COMM_WORK& w = g_CommWork[nSlot];
    Lock(&w.mtxCallback);
    COMMNFYPROC proc = w.pNotifyProc;
    Unlock(&w.mtxCallback);
    if (proc != nullptr) {
        proc(nSlot, dwEvent);
    }
}

DWORD RxThread(LPVOID parameter)
{
    int slot = static_cast<int>(reinterpret_cast<intptr_t>(parameter));
    COMM_WORK& w = g_CommWork[slot];
    DebugPrint("start serial rx thread..\n");
    // The number stays ours until this thread has been joined.
    int fd = w.fd;
    BYTE buf[COMM_READ_SIZE];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR && !w.bClosing.load()) {
            continue;
        }
        if (n <= 0) {
            DebugPrint("WARNING: read() failed (ret=%d)\n", static_cast<int>(n));
            if (!w.bClosing.load()) {
                Notify(slot, COMM_NOTIFY_ERROR);
            }
            break;
        }
        StoreReceived(slot, buf, static_cast<int>(n));
        Notify(slot, COMM_NOTIFY_RXDATA);
    }
    return 0;
}

// Closes the device behind the descriptor but keeps its number taken: it now
// names the read end of a pipe without writer, where a read sees end of file
// and a write fails at once. FALSE if the number itself had to be closed.
bool RetireDescriptor(int fd)
{
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) == 0) {
        close(pipefd[1]);
        int ret = dup3(pipefd[0], fd, O_CLOEXEC);
        close(pipefd[0]);
        if (ret >= 0) {
            return true;
        }
    }
    close(fd);
    return false;
}

// Returns with mtxWrite held, after cutting short a write in progress: the
// signal interrupts it, and its restart fails on the retired descriptor.
void StopWriter(COMM_WORK& w)
{
    while (pthread_mutex_trylock(&w.mtxWrite) != 0) {
        if (w.bWriting.load()) {
            pthread_kill(w.writer.load(), SIGUSR1);
        }
        Sleep(WRITER_KICK_MS);
    }
}

}  // namespace

void CommLib_Init()
{
    for (int i = 0; i < COMM_PORT_MAX; ++i) {
        ClearWork(g_CommWork[i]);
        g_CommWork[i].bReserved = false;
    }
}

void CommLib_DevicePath(int nCommPort, char* pszOut, int nOutSize)
{
    if (nCommPort >= 1000) {
        _snprintf(pszOut, static_cast<size_t>(nOutSize), "/dev/ttyGS%d", nCommPort - 1000);
    } else {
        _snprintf(pszOut, static_cast<size_t>(nOutSize), "/dev/ttymxc%d", nCommPort - 1);
    }
}

int CreateCommPort(int nCommPort, long lBaudRate, int nByteSize, char cParity, int nStopBits, BOOL bXon, BOOL,
                   BOOL bRTSCTS)
{
    DebugPrint("initialize serial driver\n");
    int slot = ReserveSlot();
    if (slot < 0) {
        DebugPrint("WARNING: over max port num\n");
        return -1;
    }
    COMM_WORK& w = g_CommWork[slot];
    ClearWork(w);
    BuildAttributes(&w.attr, lBaudRate, nByteSize, cParity, nStopBits, bXon, bRTSCTS);
    int fd = OpenDevice(nCommPort, &w.attr);
    if (fd < 0) {
        ReleaseSlot(slot);
        return -1;
    }
    if (!InitMutexes(w)) {
        close(fd);
        ReleaseSlot(slot);
        return -1;
    }
    w.fd = fd;
    w.bOpened.store(TRUE);
    // CreateThread reports its own failure.
    w.thread = CreateThread(nullptr, 0, RxThread, reinterpret_cast<LPVOID>(static_cast<intptr_t>(slot)), 0, nullptr);
    if (w.thread == nullptr) {
        w.bOpened.store(FALSE);
        DestroyMutexes(w);
        close(fd);
        w.fd = -1;
        ReleaseSlot(slot);
        return -1;
    }
    return slot;
}

BOOL DestroyCommPort(int nSlot)
{
    if (!IsLegalSlot(nSlot)) {
        return FALSE;
    }
    COMM_WORK& w = g_CommWork[nSlot];
    if (!w.bOpened.load()) {
        return TRUE;
    }
    w.bClosing.store(TRUE);
    bool numberKept = RetireDescriptor(w.fd);
    _CancelThread(w.thread);
    WaitForSingleObject(w.thread, INFINITE);  // reports a failed join itself
    CloseHandle(w.thread);
    w.thread = nullptr;

    StopWriter(w);
    if (numberKept) {
        close(w.fd);
    }
    w.fd = -1;
    w.bOpened.store(FALSE);
    pthread_mutex_unlock(&w.mtxWrite);

    w.pNotifyProc = nullptr;
    DestroyMutexes(w);
    w.bClosing.store(FALSE);
    ReleaseSlot(nSlot);
    return TRUE;
}

int ReadCommBlock(int nSlot, BYTE* pBuf, int nSize)
{
    if (!IsOpenSlot(nSlot) || pBuf == nullptr || nSize <= 0) {
        return 0;
    }
    COMM_WORK& w = g_CommWork[nSlot];
    Lock(&w.mtxBuff);
    int n = nSize < w.nRxDataLen ? nSize : w.nRxDataLen;
    CommRing_Get(w.abyRxData, COMM_RX_BUFF_SIZE, &w.nRxDataLen, &w.nRxDataPtr_R, pBuf, n);
    Unlock(&w.mtxBuff);
    return n;
}

BOOL WriteCommBlock(int nSlot, const void* pBuf, int nLen)
{
    if (!IsLegalSlot(nSlot)) {
        return FALSE;
    }
    COMM_WORK& w = g_CommWork[nSlot];
    pthread_mutex_lock(&w.mtxWrite);
    if (!w.bOpened.load() || w.bClosing.load()) {
        pthread_mutex_unlock(&w.mtxWrite);
        DebugPrint("WARNING: port %d is not opened\n", nSlot);
        return FALSE;
    }
    w.writer.store(pthread_self());
    w.bWriting.store(true);
    COMM_WRITE_OBSERVER observer = s_pfnWriteObserver.load();
    if (observer != nullptr) {
        observer(nSlot, nLen);
    }
    ssize_t ret = write(w.fd, pBuf, static_cast<size_t>(nLen < 0 ? 0 : nLen));
    w.bWriting.store(false);
    bool closing = w.bClosing.load();
    pthread_mutex_unlock(&w.mtxWrite);
    if (ret != nLen) {
        // A write cut short by a close is no device failure.
        if (!closing) {
            DebugPrint("WARNING: write() failed (ret=%d)\n", static_cast<int>(ret));
        }
        return FALSE;
    }
    return TRUE;
}

BOOL InstallNotifyProc(int nSlot, LPVOID, DWORD, COMMNFYPROC proc)
{
    if (!IsOpenSlot(nSlot)) {
        return FALSE;
    }
    COMM_WORK& w = g_CommWork[nSlot];
    Lock(&w.mtxCallback);
    w.pNotifyProc = proc;
    Unlock(&w.mtxCallback);
    return TRUE;
}

void CommLib_SetWriteObserverForTest(COMM_WRITE_OBSERVER observer)
{
    s_pfnWriteObserver.store(observer);
}

void CommRing_Put(BYTE* pbyRing, int nSize, int* pnLen, int* pnWrite, const BYTE* pSrc, int n)
{
    if (n <= 0) {
        return;
    }
    int first = n < nSize - *pnWrite ? n : nSize - *pnWrite;
    std::memcpy(pbyRing + *pnWrite, pSrc, static_cast<size_t>(first));
    std::memcpy(pbyRing, pSrc + first, static_cast<size_t>(n - first));
    *pnWrite = (*pnWrite + n) % nSize;
    *pnLen += n;
}

void CommRing_Get(const BYTE* pbyRing, int nSize, int* pnLen, int* pnRead, BYTE* pDst, int n)
{
    if (n <= 0) {
        return;
    }
    int first = n < nSize - *pnRead ? n : nSize - *pnRead;
    std::memcpy(pDst, pbyRing + *pnRead, static_cast<size_t>(first));
    std::memcpy(pDst + first, pbyRing, static_cast<size_t>(n - first));
    *pnRead = (*pnRead + n) % nSize;
    *pnLen -= n;
}
