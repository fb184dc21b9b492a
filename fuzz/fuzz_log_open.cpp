// Opens the ring log store on an arbitrary log file and journal, then walks
// and extends it. Input: a 2-byte length (high byte first) of the log file's
// bytes, those bytes, then the journal's bytes.
//
// Every record the store serves is checked against the log file as it stands
// after the open, parsed here independently: the slot at the served position
// must pass its check and carry exactly the served time, kind and data.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"

namespace {

constexpr DWORD CAPACITY = 1024;
constexpr DWORD SLOTS = CAPACITY / LOG_RECORD_SIZE;

std::string s_logPath;
std::string s_bakPath;

void Check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "log store violation: %s\n", what);
        abort();
    }
}

std::string s_folder;

void RemoveFolder()
{
    LOG_Exit();
    unlink(s_logPath.c_str());
    unlink(s_bakPath.c_str());
    rmdir(s_folder.c_str());
}

void MakeFolder()
{
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fuzz-log-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    Check(mkdtemp(buf.data()) != nullptr, "cannot make a temporary folder");
    s_folder = buf.data();
    s_logPath = s_folder + "/ring.log";
    s_bakPath = s_folder + "/ring.lbk";
    LOG_Init();
    atexit(RemoveFolder);
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* fp = fopen(path.c_str(), "wb");
    Check(fp != nullptr, "cannot write an input file");
    if (size > 0) {
        Check(fwrite(data, 1, size, fp) == size, "cannot write an input file");
    }
    fclose(fp);
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::vector<uint8_t> out;
    FILE* fp = fopen(path.c_str(), "rb");
    if (fp == nullptr) {
        return out;
    }
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) {
        out.insert(out.end(), buf, buf + n);
    }
    fclose(fp);
    return out;
}

// Walks the whole store and checks each served record against the file.
// Returns the number served.
DWORD WalkAndCheck(int nMaxLength)
{
    const std::vector<uint8_t> file = ReadFile(s_logPath);
    static const char digits[] = "0123456789ABCDEF";
    char text[256];
    DWORD ptr = 0xFFFFFFFF;
    DWORD kind = 0xFFFFFFFF;
    DWORD served = 0;
    for (BOOL first = TRUE;; first = FALSE) {
        memset(text, '#', sizeof text);
        SYSTEMTIME t{};
        int n = LOG_Get(&t, text, nMaxLength, first, &ptr, &kind);
        Check(n >= 0 && n < nMaxLength && n % 2 == 0, "digit count");
        for (int i = nMaxLength; i < int(sizeof text); i++) {
            Check(text[i] == '#', "wrote past nMaxLength");
        }
        if (n == 0) {
            break;
        }
        served++;
        Check(served < SLOTS, "walk serves more than one round");
        Check(ptr % LOG_RECORD_SIZE == 0 && ptr + LOG_RECORD_SIZE <= file.size(), "position outside the file");
        const uint8_t* rec = file.data() + ptr;
        DWORD length = (DWORD(rec[8]) << 8) | rec[9];
        Check(length >= 1 && length <= DWORD(LOG_RECORD_DATA_MAX), "served record has a bad length");
        unsigned sum = 0;
        for (DWORD i = 0; i < length; i++) {
            sum += rec[12 + i];
        }
        Check(uint8_t(sum) == rec[11], "served record fails its sum");
        DWORD shown = length < DWORD(nMaxLength - 1) / 2 ? length : DWORD(nMaxLength - 1) / 2;
        Check(DWORD(n) == 2 * shown && text[n] == '\0', "served length");
        for (DWORD i = 0; i < shown; i++) {
            Check(text[2 * i] == digits[rec[12 + i] >> 4] && text[2 * i + 1] == digits[rec[12 + i] & 15],
                  "served data differ from the file");
        }
        Check(t.wYear == ((rec[0] << 8) | rec[1]) && t.wMonth == rec[2] && t.wDay == rec[3] && t.wHour == rec[4] &&
                  t.wMinute == rec[5] && t.wSecond == rec[6],
              "served time differs from the file");
        DWORD expectKind = ((rec[10] & 0x80) != 0 ? 2 : 0) + ((rec[10] & 0x40) != 0 ? 1 : 0);
        Check(kind == expectKind, "served kind differs from the file");
    }
    return served;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (s_logPath.empty()) {
        MakeFolder();
    }
    size_t logLen = size >= 2 ? ((size_t(data[0]) << 8) | data[1]) : 0;
    const uint8_t* rest = data + (size >= 2 ? 2 : size);
    size_t restLen = size >= 2 ? size - 2 : 0;
    if (logLen > restLen) {
        logLen = restLen;
    }
    WriteFile(s_logPath, rest, logLen);
    WriteFile(s_bakPath, rest + logLen, restLen - logLen);

    if (!LOG_Open(s_logPath.c_str(), CAPACITY)) {
        return 0;
    }
    DWORD logSize = 0, fileSize = 0, recSize = 0;
    LOG_GetSize(&logSize, &fileSize, &recSize);
    Check(logSize == CAPACITY && fileSize <= CAPACITY && fileSize % LOG_RECORD_SIZE == 0 && recSize == 64, "sizes");
    Check(ReadFile(s_logPath).size() == fileSize, "file size differs from the store's");
    WalkAndCheck(256);
    WalkAndCheck(1 + int(size % 20));

    // Two more texts, the second over two records: they must come back first.
    SYSTEMTIME t{};
    t.wYear = 2024;
    t.wMonth = 2;
    t.wDay = 29;
    t.wHour = 23;
    t.wMinute = 59;
    t.wSecond = 59;
    const char shortText[] = "after open";
    char longText[60];
    for (size_t i = 0; i < sizeof longText; i++) {
        longText[i] = char(size > 2 ? data[2 + i % (size - 2)] : i);
    }
    Check(LOG_Write(&t, shortText, int(strlen(shortText))) != FALSE, "write after open");
    Check(LOG_Write(&t, longText, int(sizeof longText)) != FALSE, "long write after open");
    Check(WalkAndCheck(256) >= 3, "new texts not served");

    char text[256];
    DWORD ptr = 0, kind = 0;
    int n = LOG_Get(&t, text, sizeof text, TRUE, &ptr, &kind);
    Check(n == 2 * 8 && kind == 2, "last piece of the long text comes first");
    n = LOG_Get(&t, text, sizeof text, FALSE, &ptr, &kind);
    Check(n == 2 * 52 && kind == 3, "first piece of the long text comes second");
    n = LOG_Get(&t, text, sizeof text, FALSE, &ptr, &kind);
    Check(n == 2 * 10 && kind == 3 && memcmp(text, "6166746572206F70656E", 20) == 0, "short text comes third");
    LOG_Close();
    return 0;
}
