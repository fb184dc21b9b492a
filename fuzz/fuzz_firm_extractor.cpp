// Unpacks arbitrary bytes as a firmware package into a temporary folder that
// is reused and emptied between runs. Whatever the bytes, the extractor must
// create nothing but regular files with allowed names directly inside that
// folder: a sentinel folder beside it stays empty, and the temporary root
// holds nothing else. Check, which writes nothing, must reach the same
// verdict.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "firm_extractor.h"

namespace fs = std::filesystem;

namespace {

fs::path s_root;
fs::path s_package;
fs::path s_firm;
fs::path s_sentinel;

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "extractor violation: %s\n", what);
        std::abort();
    }
}

void RemoveRoot()
{
    std::error_code ec;
    fs::remove_all(s_root, ec);
}

void MakeRoot()
{
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fuzz-firm-XXXXXX";
    Check(mkdtemp(pattern.data()) != nullptr, "cannot make a temporary folder");
    s_root = pattern;
    s_package = s_root / "package.bin";
    s_firm = s_root / "firm";
    s_sentinel = s_root / "sentinel";
    Check(fs::create_directory(s_firm) && fs::create_directory(s_sentinel), "cannot make the folders");
    std::atexit(RemoveRoot);
}

void WritePackage(const std::uint8_t* data, std::size_t size)
{
    std::FILE* fp = std::fopen(s_package.c_str(), "wb");
    Check(fp != nullptr, "cannot write the package");
    Check(size == 0 || std::fwrite(data, 1, size, fp) == size, "cannot write the package");
    std::fclose(fp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (s_root.empty()) {
        MakeRoot();
    }
    WritePackage(data, size);

    CFirmExtractor ex;
    const bool ok = ex.Extract(s_package, s_firm);
    Check(ok == (ex.status == FIRM_STATUS_OK), "result and status disagree");
    Check(ex.status <= FIRM_STATUS_NOT_PACKAGE && ex.kind <= FIRM_KIND_SERVER_APP, "result out of range");
    Check(ex.Facts().bMagicMatched || ex.kind == FIRM_KIND_UNKNOWN, "kind without a package");

    std::size_t rootEntries = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(s_root)) {
        (void)e;
        ++rootEntries;
    }
    Check(rootEntries == 3, "something was created beside the folder");
    Check(fs::is_empty(s_sentinel), "something was created in the sentinel folder");

    std::size_t files = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(s_firm)) {
        Check(e.is_regular_file() && !e.is_symlink(), "a member is not a regular file");
        Check(FirmIsSafeMemberName(e.path().filename().native()), "a member has a refused name");
        ++files;
    }
    Check(files <= ex.Facts().dwEntries, "more files than entries");

    CFirmExtractor checker;
    const bool checked = checker.Check(s_package);
    Check(checked == ok && checker.status == ex.status && checker.kind == ex.kind, "Check and Extract disagree");

    for (const fs::directory_entry& e : fs::directory_iterator(s_firm)) {
        fs::remove(e.path());
    }
    return 0;
}
