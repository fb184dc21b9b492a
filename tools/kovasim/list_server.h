// list_server: `kovasim list-server`, a farm of stand-in list servers on this
// PC's loopback for trying the directory client by hand (kovadir, or a unit
// run with `kovasim run`). Server k of N listens on 127.0.0.k; all share the
// TCP, UDP and HTTP port numbers, and the first also serves the list file
// that names every server. Each request is printed as it is answered.
// SIGINT or SIGTERM stops the farm.
//
// Runs on the calling thread; the servers keep their own threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kovasim {

// One repeater the directory holds from the start.
struct FarmRepeater {
    std::string servId;    // five digits
    std::string radioId;   // up to five characters
    std::string callSign;  // up to 10
};

struct ListServerOptions {
    int servers = 1;  // 1 to 8: 127.0.0.1 ... 127.0.0.N
    uint16_t tcpPort = 0;
    uint16_t udpPort = 0;
    uint16_t httpPort = 0;  // 0 for each: a free port, printed at start
    std::string listUrl = "/list.txt";
    std::vector<FarmRepeater> repeaters;
    bool quiet = false;  // no line per request
};

// The longest farm: the directory client follows at most 8 servers.
inline constexpr int FARM_MAX_SERVERS = 8;

// 0 when the farm ran and was stopped; 1 when a server could not start.
int RunListServers(const ListServerOptions& options, std::ostream& out, std::ostream& err,
                   const std::atomic<bool>& stop);

}  // namespace kovasim
