// Brings the unit core up to READY for a fuzz target, in process and without
// ports, on a simulated board in a fresh temporary folder (so LED lines,
// settings and recordings never reach this machine's files; the folder is
// removed at exit): a configuration with a few enabled targets, then the
// radio's 'V' and 'I' frames fed to the radio receiver. Answers to the radio
// and to the peers fail to go out, which is what the fuzz targets want.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "board.h"
#include "config.h"
#include "server.h"

namespace fuzz_unit {

// One radio frame: SOH, command, length as four hex digits, the parameters,
// EOT and the two hex digits of the 8-bit sum of SOH through EOT.
inline void FeedRadioFrame(char cCmd, const std::string& param)
{
    static const char s_szHex[] = "0123456789ABCDEF";
    std::vector<BYTE> f = {0x01, static_cast<BYTE>(cCmd)};
    size_t n = param.size();
    for (int shift = 12; shift >= 0; shift -= 4) {
        f.push_back(static_cast<BYTE>(s_szHex[(n >> shift) & 0xF]));
    }
    f.insert(f.end(), param.begin(), param.end());
    f.push_back(0x04);
    BYTE sum = 0;
    for (BYTE b : f) {
        sum = static_cast<BYTE>(sum + b);
    }
    f.push_back(static_cast<BYTE>(s_szHex[sum >> 4]));
    f.push_back(static_cast<BYTE>(s_szHex[sum & 0xF]));
    Server_FeedRadioForTest(f.data(), static_cast<int>(f.size()));
}

// The radio identifies itself (version, then its code table); aborts unless
// the unit is READY afterwards.
inline void IdentifyRadio()
{
    FeedRadioFrame('V', "FUZZ-RADIO      ALLALL1.0.0 20240101 12345      FUZZ0CALL ");
    FeedRadioFrame('I', "200000000000000000000000000000801234");
    if (Server_GetUnitState() != UNIT_STATE_READY) {
        std::abort();
    }
}

inline std::string& BoardRoot()
{
    static std::string s_root;
    return s_root;
}

inline void RemoveBoard()
{
    std::error_code ec;
    std::filesystem::remove_all(BoardRoot(), ec);
}

// A simulated board in a new folder below TMPDIR (or /tmp) with
// the folders the unit core writes to; aborts when it cannot be made.
inline void MakeBoard()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fuzz-unit-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        std::abort();
    }
    std::string& root = BoardRoot();
    root = buf.data();
    std::atexit(RemoveBoard);
    for (const char* dir : {"/var", "/var/local", "/var/log", "/var/run", "/sys", "/sys/class", "/sys/class/gpio"}) {
        if (mkdir((root + dir).c_str(), 0755) != 0) {
            std::abort();
        }
    }
    if (!Board_SetRoot(root.c_str())) {
        std::abort();
    }
}

// Constructs the unit core with the given targets enabled and makes it READY.
inline void BringUp(const ULONG* pulTargets, int nTargets)
{
    MakeBoard();
    Server_Construct();
    CONFIG_Init();
    CONFIG_PARAM* cfg = CONFIG_Get();
    for (int i = 0; i < nTargets; ++i) {
        cfg->aTargetInfo[i].bEnable = TRUE;
        cfg->aTargetInfo[i].dwTargetIP = pulTargets[i];
    }
    Server_Connect();  // takes the configuration over
    IdentifyRadio();
}

}  // namespace fuzz_unit
