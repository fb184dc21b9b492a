// mac: reading and programming the two OTP fuse files of the MAC address (see
// mac.h). Every call opens and closes the files itself; no state, no lock.
#include "mac.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "board.h"
#include "debug.h"
#include "helpers.h"
#include "util.h"

namespace {

constexpr const char* MAC0_PATH = "/sys/fsl_otp/HW_OCOTP_MAC0";
constexpr const char* MAC1_PATH = "/sys/fsl_otp/HW_OCOTP_MAC1";

// A fuse file's text is read up to this many characters.
constexpr int FUSE_TEXT_MAX = 255;

// One fuse file and the part of the address it holds.
struct FuseFile {
    const char* pszPath;
    int nFirstByte;
    int nByteCount;
};
constexpr FuseFile FUSE_MAC1 = {MAC1_PATH, 0, 2};
constexpr FuseFile FUSE_MAC0 = {MAC0_PATH, 2, 4};

int OpenFuse(const char* pszPath, int flags)
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

// The value of "0x" and hex digits that fits in nByteCount bytes; false when
// nothing follows the prefix, a character is no hex digit or the value is too big.
bool ParseFuseText(const char* pszText, int nByteCount, DWORD* pdwValue)
{
    const char* p = pszText;
    if (std::strncmp(p, "0x", 2) == 0) {
        p += 2;
    }
    if (*p == '\0') {
        return false;
    }
    // Leading zeros do not count towards the value's size.
    while (p[0] == '0' && p[1] != '\0') {
        ++p;
    }
    const int digits = static_cast<int>(std::strlen(p));
    if (digits > 2 * nByteCount || !hexstr2dword(p, digits, pdwValue)) {
        return false;
    }
    return true;
}

BOOL ReadFuse(const FuseFile& fuse, MAC_ADDRESS* pMac)
{
    int fd = OpenFuse(fuse.pszPath, O_RDWR);
    if (fd < 0) {
        return FALSE;
    }
    char text[FUSE_TEXT_MAX + 1];
    ssize_t ret = read(fd, text, FUSE_TEXT_MAX);
    close(fd);
    if (ret <= 0) {
        DebugPrint("WARNING: read() failed. path=%s ret=%d\n", fuse.pszPath, static_cast<int>(ret));
        return FALSE;
    }
    text[ret] = '\0';
    text[std::strcspn(text, "\r")] = '\0';
    text[std::strcspn(text, "\n")] = '\0';
    DWORD value = 0;
    if (!ParseFuseText(text, fuse.nByteCount, &value)) {
        DebugPrint("WARNING: invalid data. (%s) path=%s\n", text, fuse.pszPath);
        return FALSE;
    }
    for (int i = fuse.nByteCount - 1; i >= 0; --i) {
        pMac->abyAdrs[fuse.nFirstByte + i] = static_cast<BYTE>(value);
        value >>= 8;
    }
    return TRUE;
}

BOOL WriteFuse(const FuseFile& fuse, const MAC_ADDRESS* pMac)
{
    const BYTE* b = pMac->abyAdrs + fuse.nFirstByte;
    char text[16];
    const int len = fuse.nByteCount == 2 ? _sprintf(text, "0x%02x%02x", b[0], b[1])
                                         : _sprintf(text, "0x%02x%02x%02x%02x", b[0], b[1], b[2], b[3]);
    int fd = OpenFuse(fuse.pszPath, O_RDWR | O_TRUNC);
    if (fd < 0) {
        return FALSE;
    }
    ssize_t ret = write(fd, text, static_cast<size_t>(len));
    close(fd);
    // A fuse half written is no success.
    if (ret != len) {
        DebugPrint("WARNING: write() failed. path=%s ret=%d\n", fuse.pszPath, static_cast<int>(ret));
        return FALSE;
    }
    // The text read back is the driver's own rendering (its width need not
    // match what was written) and is not compared.
    fd = OpenFuse(fuse.pszPath, O_RDWR);
    if (fd < 0) {
        return FALSE;
    }
    ret = read(fd, text, static_cast<size_t>(len));
    close(fd);
    if (ret < 1) {
        DebugPrint("WARNING: read() failed. path=%s ret=%d\n", fuse.pszPath, static_cast<int>(ret));
        return FALSE;
    }
    return TRUE;
}

}  // namespace

BOOL MAC_Init()
{
    return TRUE;
}

BOOL MAC_Read(MAC_ADDRESS* pMac)
{
    if (pMac == nullptr) {
        return FALSE;
    }
    return ReadFuse(FUSE_MAC1, pMac) && ReadFuse(FUSE_MAC0, pMac);
}

BOOL MAC_Write(const MAC_ADDRESS* pMac)
{
    if (pMac == nullptr) {
        return FALSE;
    }
    return WriteFuse(FUSE_MAC1, pMac) && WriteFuse(FUSE_MAC0, pMac);
}
