// Fuzzes the reading of stored recordings: the file header and record
// reader (as playback and the slot check use them) and the start-up check of
// an interrupted recording, over arbitrary file contents on a simulated
// board in a temporary folder. Input: one mode byte, 32 bytes of the index,
// then the recording file of slot 5. Mode bit 0 writes the index (else there
// is none), bit 1 sets the index's name to "005", bit 2 mends the index sum,
// bit 3 mends the file header's sum, bit 4 mends every record's data sum, so
// that the fuzzer reaches past each check. After the check a file left in
// place under a valid index naming slot 5 must read back whole, and a file
// set aside must be there under its first set-aside name. Debug output stays
// off; the temporary board is removed at exit.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "board.h"
#include "server.h"

namespace {

constexpr size_t INDEX_SIZE = 32;
constexpr size_t MAX_FILE = 64 * 1024;
constexpr uint8_t MODE_INDEX = 0x01;
constexpr uint8_t MODE_NAME = 0x02;
constexpr uint8_t MODE_INDEX_SUM = 0x04;
constexpr uint8_t MODE_HEADER_SUM = 0x08;
constexpr uint8_t MODE_DATA_SUMS = 0x10;

std::string s_local;  // ROOT/var/local

uint8_t Sum(const uint8_t* p, size_t n)
{
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i) {
        s += p[i];
    }
    return static_cast<uint8_t>(s);
}

void Write(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (fp == nullptr) {
        std::abort();
    }
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), fp) != bytes.size()) {
        std::abort();
    }
    std::fclose(fp);
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void MendRecordSums(std::vector<uint8_t>* file)
{
    size_t at = 8;
    while (at + 8 <= file->size()) {
        size_t n = static_cast<size_t>((*file)[at]) << 8 | (*file)[at + 1];
        if (at + 8 + n > file->size()) {
            return;
        }
        (*file)[at + 7] = Sum(file->data() + at + 8, n);
        at += 8 + n;
    }
}

std::string s_root;  // the temporary simulated board

void RemoveRoot()
{
    std::error_code ec;
    std::filesystem::remove_all(s_root, ec);
}

void SetUpRoot()
{
    char tmpl[] = "/tmp/fuzz_rec_file.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        std::abort();
    }
    s_root = tmpl;
    std::atexit(RemoveRoot);
    mkdir((s_root + "/var").c_str(), 0755);
    mkdir((s_root + "/var/local").c_str(), 0755);
    s_local = s_root + "/var/local";
    if (!Board_SetRoot(s_root.c_str())) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool s_bRoot = [] {
        SetUpRoot();
        return true;
    }();
    (void)s_bRoot;
    if (size < 1 + INDEX_SIZE || size > 1 + INDEX_SIZE + MAX_FILE) {
        return 0;
    }
    const uint8_t mode = data[0];
    std::vector<uint8_t> index(data + 1, data + 1 + INDEX_SIZE);
    std::vector<uint8_t> file(data + 1 + INDEX_SIZE, data + size);
    if (mode & MODE_NAME) {
        std::memset(index.data(), 0, 16);
        std::memcpy(index.data(), "005", 3);
    }
    if (mode & MODE_INDEX_SUM) {
        index[31] = Sum(index.data(), 31);
    }
    if ((mode & MODE_HEADER_SUM) && file.size() >= 8) {
        file[7] = Sum(file.data(), 7);
    }
    if (mode & MODE_DATA_SUMS) {
        MendRecordSums(&file);
    }
    const std::string info = s_local + "/DATA\\REC_INFO.dat";
    const std::string rec = s_local + "/DATA\\REC005.dat";
    const std::string aside = s_local + "/DATA\\REC005.000";
    if (mode & MODE_INDEX) {
        Write(info, index);
    } else {
        unlink(info.c_str());
    }
    Write(rec, file);

    // The reader on its own: a count of records read, or -1.
    int nRead = Server_ReadRecFileForTest(5);
    if (nRead < -1 || nRead > 0xFFFF) {
        std::abort();
    }
    Server_CheckRecFileForTest();

    bool bNamed = (mode & MODE_INDEX) && (mode & MODE_NAME) && (mode & MODE_INDEX_SUM);
    bool bKept = Exists(rec);
    if (bNamed && bKept && Server_ReadRecFileForTest(5) < 0) {
        std::abort();  // a file that does not read back stayed in place
    }
    if (!bKept && !Exists(aside)) {
        std::abort();  // set aside, but not under its first free name
    }
    unlink(rec.c_str());
    unlink(aside.c_str());
    return 0;
}
