// firm_platform: see the header. The two halves below are kept side by side
// on purpose, so that a change to one is seen next to the other.

#include "firm_platform.h"

#ifdef _WIN32

#include <windows.h>

namespace firm_platform {

NativeName ToNativeName(const char* packageName)
{
    // A member name has at most 64 bytes, and each byte gives at most one
    // UTF-16 unit in the ANSI code pages.
    wchar_t wide[261] = {};
    int n = MultiByteToWideChar(CP_ACP, 0, packageName, -1, wide, 261);
    if (n <= 0) {
        return NativeName();
    }
    return NativeName(wide);
}

std::filesystem::path MemberPath(const std::filesystem::path& folder, const NativeName& name)
{
    return std::filesystem::path(folder.native() + L"\\" + name);
}

std::FILE* OpenForReading(const std::filesystem::path& path)
{
    return _wfopen(path.c_str(), L"rb");
}

std::FILE* CreateForWriting(const std::filesystem::path& path)
{
    return _wfopen(path.c_str(), L"wb");
}

}  // namespace firm_platform

#else  // Linux

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace firm_platform {

NativeName ToNativeName(const char* packageName)
{
    return NativeName(packageName);
}

std::filesystem::path MemberPath(const std::filesystem::path& folder, const NativeName& name)
{
    return std::filesystem::path(folder.native() + "/" + name);
}

std::FILE* OpenForReading(const std::filesystem::path& path)
{
    return std::fopen(path.c_str(), "rb");
}

std::FILE* CreateForWriting(const std::filesystem::path& path)
{
    // O_NOFOLLOW: a symbolic link left in the folder must not carry the
    // write elsewhere. O_NONBLOCK: a FIFO in its place must not hang the
    // run; it is refused below like any other non-regular file.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* fp = ::fdopen(fd, "wb");
    if (fp == nullptr) {
        ::close(fd);
    }
    return fp;
}

}  // namespace firm_platform

#endif
