// Fuzzes the readers of the board's interfaces file and routing table over
// arbitrary file contents on a simulated board root. The first byte picks the
// file; the rest is its content.
//  - Interfaces file: the loaded parameters must be a DHCP configuration with
//    every value 0 or a static one with an address. A static load is then
//    committed with a changed gateway and loaded again: the file written must
//    give back exactly the committed parameters.
//  - Routing table: a gateway can only come from a line naming eth0.
// The sanitizers catch any read or write outside the readers' buffers.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board.h"
#include "net.h"

namespace {

std::string s_root;

void Require(bool property, const char* what)
{
    if (!property) {
        fprintf(stderr, "net reader violation: %s\n", what);
        abort();
    }
}

void RemoveRoot()
{
    for (const char* file : {"/etc/network/interfaces", "/etc/resolv.conf", "/proc/net/route"}) {
        unlink((s_root + file).c_str());
    }
    for (const char* dir : {"/etc/network", "/etc", "/proc/net", "/proc", ""}) {
        rmdir((s_root + dir).c_str());
    }
}

void MakeRoot()
{
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fuzz-net-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    Require(mkdtemp(buf.data()) != nullptr, "cannot make the board root");
    s_root = buf.data();
    for (const char* dir : {"/etc", "/etc/network", "/proc", "/proc/net"}) {
        Require(mkdir((s_root + dir).c_str(), 0755) == 0, "cannot make a board folder");
    }
    Board_SetRoot(s_root.c_str());
    atexit(RemoveRoot);
}

void WriteBoardFile(const char* path, const uint8_t* data, size_t size)
{
    FILE* fp = fopen((s_root + path).c_str(), "wb");
    Require(fp != nullptr && fwrite(data, 1, size, fp) == size && fclose(fp) == 0, "cannot write the input");
}

NET_PARAM Load()
{
    NET_Destruct();
    NET_Construct();
    NET_Init();
    NET_PARAM p;
    NET_GetAddress(&p);
    return p;
}

void FuzzInterfaces(const uint8_t* data, size_t size)
{
    WriteBoardFile("/etc/network/interfaces", data, size);
    const NET_PARAM p = Load();
    if (p.bDHCP) {
        Require(p.dwIpAdrs == 0 && p.dwSubnetMask == 0 && p.dwGateway == 0, "DHCP load kept a value");
        return;
    }
    Require(p.dwIpAdrs != 0, "static load without an address");
    NET_PARAM changed = p;
    changed.dwGateway ^= 1;
    NET_SetAddress(&changed);
    Require(NET_IsModified() && NET_Update(FALSE), "commit not written");
    const NET_PARAM back = Load();
    Require(back.bDHCP == changed.bDHCP && back.dwIpAdrs == changed.dwIpAdrs &&
                back.dwSubnetMask == changed.dwSubnetMask && back.dwGateway == changed.dwGateway,
            "written file loads differently");
}

void FuzzRoutes(const uint8_t* data, size_t size)
{
    WriteBoardFile("/proc/net/route", data, size);
    const DWORD gateway = NET_GetDefaultGateway();
    if (gateway != 0) {
        Require(memmem(data, size, "eth0", 4) != nullptr, "gateway without an eth0 line");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (s_root.empty()) {
        MakeRoot();
    }
    if (size == 0) {
        return 0;
    }
    if (data[0] % 2 == 0) {
        FuzzInterfaces(data + 1, size - 1);
    } else {
        FuzzRoutes(data + 1, size - 1);
    }
    return 0;
}
