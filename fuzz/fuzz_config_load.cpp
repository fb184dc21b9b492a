// Loads arbitrary bytes as a hand-edited ini file on a simulated board (the
// same bytes as main file and backup, so that the values are taken even when
// the program name is wrong), saves the record and loads it again.
//
// Checked: every text field is terminated inside its field; fields the file
// does not store are at their defaults; the saved file is lines of at most
// 511 characters, each ending in "\n", the last one the Program line; and
// the reload gives the same result and the same stored fields.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board.h"
#include "config.h"

namespace {

const char kIni[] = "/var/local/kovalan.ini";

std::string s_folder;
std::string s_iniPath;
std::string s_bakPath;

void Check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "configuration violation: %s\n", what);
        abort();
    }
}

void RemoveFolder()
{
    Board_SetRoot(nullptr);
    unlink(s_iniPath.c_str());
    unlink(s_bakPath.c_str());
    rmdir((s_folder + "/var/local").c_str());
    rmdir((s_folder + "/var").c_str());
    rmdir(s_folder.c_str());
}

void MakeFolder()
{
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fuzz-config-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    Check(mkdtemp(buf.data()) != nullptr, "cannot make a temporary folder");
    s_folder = buf.data();
    Check(mkdir((s_folder + "/var").c_str(), 0755) == 0 && mkdir((s_folder + "/var/local").c_str(), 0755) == 0,
          "cannot make the board folders");
    s_iniPath = s_folder + "/var/local/kovalan.ini";
    s_bakPath = s_folder + "/var/local/kovalan.bak";
    Check(Board_SetRoot(s_folder.c_str()) != FALSE, "cannot set the board root");
    CONFIG_Init();
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

std::string ReadFile(const std::string& path)
{
    std::string out;
    FILE* fp = fopen(path.c_str(), "rb");
    Check(fp != nullptr, "saved file missing");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) {
        out.append(buf, n);
    }
    fclose(fp);
    return out;
}

template <size_t N>
bool Terminated(const char (&text)[N])
{
    return memchr(text, '\0', N) != nullptr;
}

template <size_t N>
bool Empty(const char (&text)[N])
{
    for (char c : text) {
        if (c != '\0') {
            return false;
        }
    }
    return true;
}

void CheckLoaded(const CONFIG_PARAM& p)
{
    Check(Terminated(p.szPassWord) && Terminated(p.szProgram), "text field not terminated");
    Check(p.bListServer == 0 && Empty(p.szServID) && Empty(p.szCity) && Empty(p.szState) && Empty(p.szCountry) &&
              p.bySearchResp == 0 && Empty(p.szSignature) && Empty(p.szMailAddr) && Empty(p.szLastUpdate) &&
              Empty(p.szHostName) && Empty(p.szHostUrl) && p.nHttpPort == 0 && p.nServTcpPort == 0 &&
              p.nServUdpPort == 0 && p.dwDbgPrimaryIP == 0 && Empty(p.szNtpServer) && p.bNtpEnable == 0,
          "memory-only field touched by a load");
    for (DWORD ip : p.adwDbgServIP) {
        Check(ip == 0, "memory-only field touched by a load");
    }
    for (const TARGET_INFO& t : p.aTargetInfo) {
        Check(Terminated(t.szCallSign) && Terminated(t.szRadioID) && Terminated(t.szMemo),
              "target text not terminated");
        Check(t.bEnable == 0 || t.bEnable == 1, "target enable not 0 or 1");
        for (BYTE b : t.abySCTable) {
            Check(b == 0, "code table read back");
        }
        Check(t.byLocDGID == 255 && t.byDefDGID == 255 && t.dwCurrentIP == 0 && t.bChanged == 0,
              "memory-only target field touched by a load");
    }
}

// Lines of at most 511 characters, each ending in "\n", the Program line last.
void CheckSavedText(const std::string& text)
{
    Check(!text.empty() && text.back() == '\n', "saved file does not end with a line end");
    size_t start = 0;
    size_t last = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        Check(end - start <= 511, "saved line too long for the reader");
        last = start;
        start = end + 1;
    }
    Check(text.compare(last, 8, "Program=") == 0, "Program line is not the last");
}

void CheckSameStoredFields(const CONFIG_PARAM& a, const CONFIG_PARAM& b)
{
    Check(a.nTxUdpPort == b.nTxUdpPort && a.nRxUdpPort == b.nRxUdpPort && a.nSettingPort == b.nSettingPort &&
              a.nCommPort == b.nCommPort && a.nUsbPort == b.nUsbPort,
          "port changed by a save");
    Check(strcmp(a.szPassWord, b.szPassWord) == 0, "PassWord changed by a save");
    Check(a.bLockEnable == b.bLockEnable && a.bLogEnable == b.bLogEnable && a.dwLogFlag == b.dwLogFlag,
          "flag changed by a save");
    Check(a.dwVersion == b.dwVersion && strcmp(a.szProgram, b.szProgram) == 0, "trailer changed by a save");
    for (int i = 0; i < CONFIG_MAX_TARGET; ++i) {
        const TARGET_INFO& x = a.aTargetInfo[i];
        const TARGET_INFO& y = b.aTargetInfo[i];
        Check(x.bEnable == y.bEnable && x.dwTargetIP == y.dwTargetIP && strcmp(x.szCallSign, y.szCallSign) == 0 &&
                  strcmp(x.szRadioID, y.szRadioID) == 0 && strcmp(x.szMemo, y.szMemo) == 0,
              "target changed by a save");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (s_folder.empty()) {
        MakeFolder();
    }
    WriteFile(s_iniPath, data, size);
    WriteFile(s_bakPath, data, size);

    static CONFIG_PARAM first;
    static CONFIG_PARAM second;
    memset(&first, 0xA5, sizeof(first));
    const BOOL firstResult = CONFIG_Load(kIni, &first);
    CheckLoaded(first);

    Check(CONFIG_Save(&first) != FALSE, "save failed");
    const std::string text = ReadFile(s_iniPath);
    CheckSavedText(text);
    Check(ReadFile(s_bakPath) == text, "backup differs from the main file");

    memset(&second, 0x5A, sizeof(second));
    const BOOL secondResult = CONFIG_Load(kIni, &second);
    CheckLoaded(second);
    Check(firstResult == secondResult, "result changed by a save");
    CheckSameStoredFields(first, second);
    return 0;
}
