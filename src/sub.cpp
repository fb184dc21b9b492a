// sub: directory creation, existence checks, flushing to the storage device,
// the additive checksum, file extension changes, and the persistent-file
// operations with their optional trace.
//
// A traced stream is a stdio stream over our own read/write/seek functions
// (fopencookie) on a plain descriptor, so every block that stdio hands to the
// system is seen with its offset. Such a stream has no descriptor of its own
// (fileno gives -1); FlushFile finds the stream's record in a small table of
// live traced streams, whose slots are claimed and freed atomically.
#include "sub.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "helpers.h"

namespace {

std::atomic<FILE_TRACE_FN> s_pfnTrace{nullptr};
std::atomic<void*> s_pTraceCtx{nullptr};

// One traced stream: its descriptor and the path it was opened under.
struct TracedFile {
    int fd;
    int slot;
    bool append;
    FILE_TRACE_FN pfn;
    void* pCtx;
    std::string path;
};

constexpr int TRACED_MAX = 32;
std::atomic<FILE*> s_apTracedFp[TRACED_MAX];
TracedFile* s_apTraced[TRACED_MAX];

void Report(FILE_TRACE_FN pfn, void* pCtx, FILE_OP_KIND kind, const char* path, const char* path2 = nullptr,
            uint64_t offset = 0, const void* data = nullptr, size_t len = 0)
{
    if (pfn != nullptr) {
        pfn(pCtx, FILE_OP{kind, path, path2, offset, static_cast<const BYTE*>(data), len});
    }
}

ssize_t TracedRead(void* cookie, char* buf, size_t size)
{
    return read(static_cast<TracedFile*>(cookie)->fd, buf, size);
}

ssize_t TracedWrite(void* cookie, const char* buf, size_t size)
{
    TracedFile* t = static_cast<TracedFile*>(cookie);
    off_t offset = lseek(t->fd, 0, t->append ? SEEK_END : SEEK_CUR);
    ssize_t n = write(t->fd, buf, size);
    if (n > 0 && offset >= 0) {
        Report(t->pfn, t->pCtx, FILE_OP_KIND::WRITE, t->path.c_str(), nullptr, static_cast<uint64_t>(offset), buf,
               static_cast<size_t>(n));
    }
    return n;
}

int TracedSeek(void* cookie, off64_t* pos, int whence)
{
    off_t r = lseek(static_cast<TracedFile*>(cookie)->fd, static_cast<off_t>(*pos), whence);
    if (r < 0) {
        return -1;
    }
    *pos = r;
    return 0;
}

int TracedClose(void* cookie)
{
    TracedFile* t = static_cast<TracedFile*>(cookie);
    if (t->slot >= 0) {
        s_apTracedFp[t->slot].store(nullptr);
    }
    int r = close(t->fd);
    delete t;
    return r;
}

TracedFile* FindTraced(FILE* fp)
{
    for (int i = 0; i < TRACED_MAX; ++i) {
        if (s_apTracedFp[i].load() == fp) {
            return s_apTraced[i];
        }
    }
    return nullptr;
}

// Opens path in a writing stdio mode as a traced stream.
FILE* OpenTraced(const char* path, const char* mode, FILE_TRACE_FN pfn, void* pCtx)
{
    const bool plus = std::strchr(mode, '+') != nullptr;
    int flags = plus ? O_RDWR : O_WRONLY;
    if (mode[0] == 'w') {
        flags |= O_CREAT | O_TRUNC;
    } else if (mode[0] == 'a') {
        flags |= O_CREAT | O_APPEND;
    } else {
        flags = O_RDWR;
    }
    const bool existed = IsFileExist(path) != FALSE;
    int fd = open(path, flags | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    TracedFile* t = new TracedFile{fd, -1, mode[0] == 'a', pfn, pCtx, path};
    FILE* fp = fopencookie(t, mode, cookie_io_functions_t{TracedRead, TracedWrite, TracedSeek, TracedClose});
    if (fp == nullptr) {
        TracedClose(t);
        return nullptr;
    }
    // A slot is claimed with a marker no stream has, filled, then published.
    FILE* const claimed = reinterpret_cast<FILE*>(&s_apTraced);
    for (int i = 0; i < TRACED_MAX && t->slot < 0; ++i) {
        FILE* expected = nullptr;
        if (s_apTracedFp[i].compare_exchange_strong(expected, claimed)) {
            t->slot = i;
            s_apTraced[i] = t;
            s_apTracedFp[i].store(fp);
        }
    }
    if (mode[0] == 'w' || !existed) {
        Report(pfn, pCtx, FILE_OP_KIND::CREATE, path);
    }
    return fp;
}

// Forces the entries of the folder holding path to the device.
bool SyncFolderOf(const char* path)
{
    std::string folder(path);
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : folder.substr(0, slash));
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // A file system that cannot flush a folder (EINVAL) keeps its entries by other means.
    bool ok = fsync(fd) == 0 || errno == EINVAL;
    close(fd);
    Report(s_pfnTrace.load(), s_pTraceCtx.load(), FILE_OP_KIND::SYNC_DIR, folder.c_str());
    return ok;
}

}  // namespace

BOOL MakeDirectory(const char* path)
{
    if (mkdir(path, 0755) == 0) {
        return TRUE;
    }
    if (errno != EEXIST) {
        return FALSE;
    }
    struct stat st;
    return (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) ? TRUE : FALSE;
}

BOOL IsFileExist(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? TRUE : FALSE;
}

BOOL FlushFile(FILE* fp)
{
    if (fp == nullptr || fflush(fp) != 0) {
        return FALSE;
    }
    int fd = fileno(fp);
    if (fd >= 0) {
        return fdatasync(fd) == 0 ? TRUE : FALSE;
    }
    TracedFile* t = FindTraced(fp);
    if (t == nullptr || fdatasync(t->fd) != 0) {
        return FALSE;
    }
    Report(t->pfn, t->pCtx, FILE_OP_KIND::SYNC, t->path.c_str());
    return TRUE;
}

FILE* OpenFile(const char* path, const char* mode)
{
    FILE_TRACE_FN pfn = s_pfnTrace.load();
    bool writes = mode[0] == 'w' || mode[0] == 'a' || std::strchr(mode, '+') != nullptr;
    return (pfn != nullptr && writes) ? OpenTraced(path, mode, pfn, s_pTraceCtx.load()) : fopen(path, mode);
}

BOOL RenameFile(const char* from, const char* to)
{
    if (rename(from, to) != 0) {
        return FALSE;
    }
    Report(s_pfnTrace.load(), s_pTraceCtx.load(), FILE_OP_KIND::RENAME, from, to);
    return SyncFolderOf(to) ? TRUE : FALSE;
}

void SetFileTrace(FILE_TRACE_FN pfn, void* pCtx)
{
    s_pTraceCtx.store(pCtx);
    s_pfnTrace.store(pfn);
}

BYTE CalcCheckSum(const void* data, int len)
{
    const BYTE* p = static_cast<const BYTE*>(data);
    BYTE sum = 0;
    for (int i = 0; i < len; ++i) {
        sum = static_cast<BYTE>(sum + p[i]);
    }
    return sum;
}

void ChangeFileExt(char* out, int outSize, const char* path, const char* ext)
{
    if (outSize < 1) {
        return;
    }
    size_t size = static_cast<size_t>(outSize);
    // The stem ends at the path's own last dot: a copy already cut to fit
    // could end before it and expose a dot of a directory name instead.
    const char* dot = std::strrchr(path, '.');
    size_t stem = dot != nullptr ? static_cast<size_t>(dot - path) : std::strlen(path);
    if (stem > size - 1) {
        stem = size - 1;
    }
    _strlcpy(out, path, stem + 1);
    _strlcpy(out + stem, ext, size - stem);
}
