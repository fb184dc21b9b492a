// list_server: see the header. The farm is a set of ListServerSim instances
// from the simulators kovasim ships; this file only starts them on shared ports, fills
// their directories, prints the ports to use and follows their request logs.
#include "list_server.h"

#include <chrono>
#include <memory>
#include <thread>

#include "list_server_sim.h"

namespace kovasim {

namespace {

using sim::ListKind;
using sim::ListRequest;
using sim::ListServerSim;

const char* KindName(ListKind kind)
{
    switch (kind) {
        case ListKind::Regist: return "REGIST";
        case ListKind::Search: return "SEARCH";
        case ListKind::GetList: return "GET_LIST";
        case ListKind::HealthCheck: return "HEALTH_CHECK";
        case ListKind::PortCheck: return "PORT_CHECK";
        case ListKind::Http: return "HTTP";
        case ListKind::Unknown: break;
    }
    return "unknown";
}

std::string Dotted(uint32_t addr)
{
    return std::to_string(addr >> 24) + "." + std::to_string((addr >> 16) & 0xFF) + "." +
           std::to_string((addr >> 8) & 0xFF) + "." + std::to_string(addr & 0xFF);
}

// The first line of a request or reply with control bytes shown as dots, at most 60 characters.
std::string Glimpse(const std::string& bytes)
{
    std::string text;
    for (char c : bytes.substr(0, 60)) {
        if (c == '\n' || c == '\r') {
            break;
        }
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

void PrintRequest(std::ostream& out, const ListServerSim& server, const ListRequest& r)
{
    out << Dotted(server.addressValue()) << " <- " << Dotted(r.fromAddr) << ":" << r.fromPort << " "
        << KindName(r.kind);
    if (!r.valid) {
        out << " (does not parse, not answered)";
    } else if (r.kind == ListKind::Http) {
        out << " " << r.method << " " << r.url;
    }
    out << " \"" << Glimpse(r.raw) << "\"\n";
}

void PrintReply(std::ostream& out, const ListServerSim& server, const ListRequest& r)
{
    out << Dotted(server.addressValue()) << " -> " << Dotted(r.fromAddr) << ":" << r.fromPort << " "
        << KindName(r.kind) << " \"" << Glimpse(r.reply) << "\"\n";
}

// Starts the servers on 127.0.0.1 ... 127.0.0.N; the first one's free ports are taken by the others.
bool StartFarm(const ListServerOptions& o, std::vector<std::unique_ptr<ListServerSim>>* farm, std::ostream& err)
{
    std::vector<std::string> addresses;
    for (int k = 1; k <= o.servers; ++k) {
        addresses.push_back("127.0.0." + std::to_string(k));
    }
    sim::ListServerConfig config;
    config.tcpPort = o.tcpPort;
    config.udpPort = o.udpPort;
    config.httpPort = o.httpPort;
    config.listUrl = o.listUrl;
    config.listFile = sim::ListFileText::Of(addresses);
    for (int k = 0; k < o.servers; ++k) {
        config.address = addresses[static_cast<size_t>(k)];
        config.http = k == 0;
        auto server = std::make_unique<ListServerSim>(config);
        if (!server->Start()) {
            err << "kovasim list-server: server " << config.address << " did not start: " << server->why() << "\n";
            return false;
        }
        if (k == 0) {
            config.tcpPort = server->tcpPort();
            config.udpPort = server->udpPort();
            config.httpPort = server->httpPort();
        }
        farm->push_back(std::move(server));
    }
    return true;
}

void FillDirectories(const ListServerOptions& o, std::vector<std::unique_ptr<ListServerSim>>& farm)
{
    for (const FarmRepeater& r : o.repeaters) {
        sim::ListRepeater entry;
        entry.servId = r.servId;
        entry.radioId = r.radioId;
        entry.callSign = r.callSign;
        for (auto& server : farm) {
            server->AddRepeater(entry);
        }
    }
}

void PrintUsage(const ListServerOptions& o, const ListServerSim& first, std::ostream& out)
{
    out << o.servers << " list server" << (o.servers == 1 ? "" : "s") << " on 127.0.0.1";
    if (o.servers > 1) {
        out << "-" << o.servers;
    }
    out << ": TCP port " << first.tcpPort() << ", UDP port "
        << first.udpPort() << "; list file at http://127.0.0.1:" << first.httpPort() << o.listUrl << "\n"
        << "try: kovadir --list-url http://127.0.0.1:" << first.httpPort() << o.listUrl << " --tcp-port "
        << first.tcpPort() << " --udp-port " << first.udpPort() << " servers\n"
        << "stop with Ctrl-C\n";
    out.flush();
}

// What of one server's request log has been printed: the requests before
// `seen`, and of those the replies of all but the ones still `awaiting` one.
struct LogCursor {
    size_t seen = 0;
    std::vector<size_t> awaiting;
};

// Prints the requests and replies one server logged since the last call.
void FollowLog(const ListServerSim& server, LogCursor* cursor, std::ostream& out)
{
    std::vector<ListRequest> log = server.Requests();
    for (; cursor->seen < log.size(); ++cursor->seen) {
        PrintRequest(out, server, log[cursor->seen]);
        if (log[cursor->seen].valid) {
            cursor->awaiting.push_back(cursor->seen);
        }
    }
    std::vector<size_t> still;
    for (size_t i : cursor->awaiting) {
        if (i < log.size() && !log[i].reply.empty()) {
            PrintReply(out, server, log[i]);
        } else {
            still.push_back(i);
        }
    }
    cursor->awaiting = std::move(still);
    out.flush();
}

}  // namespace

int RunListServers(const ListServerOptions& options, std::ostream& out, std::ostream& err,
                   const std::atomic<bool>& stop)
{
    std::vector<std::unique_ptr<ListServerSim>> farm;
    if (!StartFarm(options, &farm, err)) {
        return 1;
    }
    FillDirectories(options, farm);
    PrintUsage(options, *farm.front(), out);
    std::vector<LogCursor> cursors(farm.size());
    while (!stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (size_t k = 0; k < farm.size() && !options.quiet; ++k) {
            FollowLog(*farm[k], &cursors[k], out);
        }
    }
    for (auto& server : farm) {
        server->Stop();
    }
    out << "list servers stopped\n";
    return 0;
}

}  // namespace kovasim
