// ListServerSim: a stand-in list server for the directory client's tests.
//
// One instance is one list server bound to one loopback address (127.0.0.1,
// 127.0.0.2, ...); several instances stand for several list servers that share
// the same port numbers, each socket bound to its own address. An instance
//   - answers REGIST ("#R"), SEARCH ("#S") and GET_LIST ("#L") on its TCP port,
//     one request per connection, from a directory of repeaters the test fills;
//   - answers HEALTH_CHECK ("#H") and PORT_CHECK ("#P") datagrams on its UDP
//     port with the 16-byte header, "$", the letter and the result code;
//   - optionally serves the list file of server addresses over HTTP
//     (GET of the configured path; 404 for any other path);
//   - records every request it got, decoded, for assertions;
//   - can be told per request kind to stay silent, answer late, answer with a
//     wrong letter, bad result digits, an error code, a short record, a lone
//     LF, a wrong ID or bytes the test gives (ListBehaviour, SetBehaviour).
// It uses its own codec on plain POSIX sockets and nothing of the daemon.
//
// Wire rules as the server applies them:
//   Request frame: "#", letter, parameter block, LF. A TCP request is complete
//   at its fixed length (REGIST 230 bytes, SEARCH 54), a GET_LIST at an LF
//   after a whole number of entries, any other at an LF; a frame that ends in
//   an LF but not at such a length is taken as it is once nothing more comes
//   for 200 ms. UDP requests are one datagram ending in LF. Block lengths:
//   REGIST 227, SEARCH 51, GET_LIST 10 + 6 n (n at most 100), HEALTH_CHECK 15
//   plus variable parts (kind letter, four-digit length, data), PORT_CHECK 10.
//   TCP reply: "$", letter, four-digit code, then REGIST: the 19-byte block
//   (server ID, 14-character last update) and LF; SEARCH: 127-byte records;
//   GET_LIST: 159-byte records; both streams end with a lone LF.
//   Text fields are blank-padded; addresses are eight upper-case hex digits
//   (first octet first), blanks when the address is unknown (0); the SC table
//   is 32 upper-case hex digits; one-digit numbers are decimal.
//
// Choices made for the server side (the protocol leaves them open):
//   - A frame that does not parse (wrong start byte, unknown letter, wrong
//     block length, no closing LF, a port field that is not five digits,
//     health check variable parts that do not fit the datagram, an "S" part
//     whose length is not a multiple of five, a "D" part of other than 33
//     bytes) is recorded with valid == false and not answered; a TCP
//     connection is then closed. Such a frame neither meets nor uses up a
//     behaviour.
//   - A parsed request whose fields are unusable is answered with
//     ListServerConfig::badParamCode (default 0001): REGIST and the streams
//     as the header and a lone LF. Unusable: REGIST with a server ID that is
//     neither blank nor five digits, a blank radio ID, a non-digit modulation
//     or search-response flag, a bad SC table; SEARCH with an unknown key
//     letter; GET_LIST with an entry kind other than "R".
//   - REGIST with a blank server ID creates an entry with the next free ID
//     (from ListServerConfig::nextServId); with a five-digit ID it updates that
//     entry, or creates it under that ID if the directory does not hold it (a
//     unit keeps working after the directory was reset). The entry's address
//     is the connection's source address; its last update is
//     ListServerConfig::lastUpdate if set, else the current UTC time
//     "YYYYMMDDhhmmss".
//   - SEARCH matches server ID ("S") and radio ID ("R") exactly, call sign
//     ("C"), city ("T"), state ("P") and country ("N") as a case-insensitive
//     prefix (an empty key matches every entry); hits in directory order.
//   - GET_LIST answers one record per requested radio ID, in request order:
//     the first directory entry with that radio ID, or a "no data" record
//     (blank server ID, the requested radio ID, the rest blanks).
//   - An entry whose search-response flag is non-zero discloses only server
//     ID, radio ID, call sign, address and the flag; the other fields are
//     sent as blanks.
//   - HEALTH_CHECK is answered to the sender's address at the port named in
//     the request (the port of 0 sends to the sender's port). Its reply holds
//     an "S" part when the request had one: per requested ID the entry's ID and
//     address, the sender's observed address for the requester's own ID, or
//     13 blanks for an ID the directory does not hold. A health check from a
//     server ID in the directory sets that entry's address to the sender's.
//     The "D" part is recorded only.
//   - PORT_CHECK is answered to the sender's address at the port to be
//     checked, with the radio ID of the request.
//   - The 16-byte UDP header carries the length of the part after it (two
//     bytes, high first) and ListServerConfig::udpHeaderParam at offset 2; the
//     other bytes are 0.
//   - HTTP: GET of listUrl gives "HTTP/1.1 200 OK" with Content-Length and the
//     list file, other paths 404, other methods 405, an unreadable request
//     400; the connection is closed after the reply. Of the behaviours, HTTP
//     knows Silent, delayMs, ErrorCode and Raw; the others serve as usual.
//
// Threads: a service thread polls the listeners and the UDP socket (and sends
// delayed UDP replies); each accepted TCP or HTTP connection gets a thread of
// its own, so a silent or late answer holds up nobody else. Public methods
// may be called from any thread; m_lock guards the directory, behaviours,
// list file and request log. Stop() wakes and joins every thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sim {

// The kinds of request the server takes, Unknown for a TCP frame whose letter is not R, S or L.
enum class ListKind { Regist, Search, GetList, HealthCheck, PortCheck, Http, Unknown };

// How the server misbehaves for one kind of request.
enum class ListFault {
    None,         // the proper answer (after delayMs)
    Silent,       // read the request, never answer (TCP: hold the connection until the client goes)
    WrongLetter,  // the answer carries `letter` (0: another command's letter) instead of the request's
    BadDigits,    // the result code is `code` sent as is; default "00A1" (not decimal)
    ErrorCode,    // the result code is `code` (default "0102"): TCP header and lone LF; UDP the shortest
                  // answer (the port check keeps its radio ID); HTTP the status `code` (default 500), empty body
    ShortRecord,  // TCP: after the header, shortBy bytes fewer than the client reads next, the last an LF
                  // (REGIST: the block cut, then LF; streams: the first record cut and ended by LF);
                  // UDP: the datagram cut to its minimum length (22 health, 27 port) less shortBy
    LoneLf,       // REGIST: header and LF without block; streams: header and LF without records; UDP: "\n"
    Raw,          // send `raw` instead of the answer (TCP and HTTP: then close)
    WrongId,      // the first ID of the answer is `id` (default five blanks): REGIST the returned server ID,
                  // SEARCH and GET_LIST the first record's server ID, PORT_CHECK the radio ID, HEALTH_CHECK
                  // the first "S" entry's server ID; an answer without such an ID goes out unchanged
};

// Every fault but ErrorCode lets the request act on the directory as a proper one would.
// A frame that does not parse neither uses up nor meets a behaviour.
struct ListBehaviour {
    ListFault fault = ListFault::None;
    int delayMs = 0;     // the answer goes out this long after the request arrived
    int times = -1;      // applies to this many requests, then back to normal; -1: every request
    char letter = 0;     // WrongLetter
    std::string code{};  // BadDigits / ErrorCode (empty: "00A1" / "0102")
    int shortBy = 1;     // ShortRecord
    std::string raw{};   // Raw
    std::string id{};    // WrongId (empty: five blanks)
};

// One repeater in the directory.
struct ListRepeater {
    std::string servId;    // five digits
    std::string radioId;   // up to five characters
    std::string callSign;  // up to 10
    std::string city;      // up to 40
    std::string state;     // up to 40
    std::string country;   // up to 3
    int moduration = 1;    // one digit
    std::array<uint8_t, 16> scTable{};
    int searchResp = 0;      // non-zero: searches and lists disclose ID, radio ID, call sign and address only
    uint32_t ipAddr = 0;     // first octet in the top byte; 0: unknown (sent as blanks)
    std::string lastUpdate;  // 14 characters (blank when empty)
    std::string signature;   // as registered (up to 30)
    std::string mailAddr;    // as registered (up to 60)
};

// One request as the server received and decoded it.
struct ListRequest {
    ListKind kind = ListKind::Unknown;
    bool valid = false;     // the frame parsed (see the header comment)
    std::string raw;        // the bytes received (HTTP: the request head)
    uint32_t fromAddr = 0;  // sender, first octet in the top byte
    uint16_t fromPort = 0;
    std::string reply;  // the bytes sent back (empty when silent or unanswered)
    // Common fields (trailing blanks removed).
    std::string servId;  // the requester's server ID (REGIST: as sent, blank for a new one)
    std::string radioId;
    // REGIST
    std::string callSign, city, state, country, signature, mailAddr;
    int moduration = -1;  // -1: not a digit
    int searchResp = -1;
    std::string scTableHex;  // the 32 characters as sent (REGIST and the health check "D" part)
    // SEARCH
    char searchKind = 0;
    std::string searchKey;
    // GET_LIST: the requested radio IDs in order; HEALTH_CHECK: the "S" part's server IDs.
    std::vector<std::string> ids;
    // HEALTH_CHECK and PORT_CHECK: the port named in the request (-1: not decimal).
    int port = -1;
    bool hasS = false, hasD = false;  // HEALTH_CHECK variable parts present
    char dModuration = 0;             // HEALTH_CHECK "D" part's modulation character
    // HTTP
    std::string method, url, host;
};

struct ListServerConfig {
    std::string address = "127.0.0.1";  // the loopback address every socket is bound to
    uint16_t tcpPort = 0;               // 0: a free port (read it back from config())
    uint16_t udpPort = 0;
    bool http = true;  // serve the list file
    uint16_t httpPort = 0;
    std::string listUrl = "/list.txt";
    std::string listFile;               // the body served (see ListFileText)
    unsigned nextServId = 10001;        // first ID given to a new registration
    std::string lastUpdate;             // fixed last-update text for registrations; empty: the UTC clock
    std::string badParamCode = "0001";  // answer to unusable fields
    uint8_t udpHeaderParam = 0;         // byte 2 of the UDP reply header
};

// Builds a list file: encoded address lines and raw lines, in order.
class ListFileText {
   public:
    // An encoded line for a dotted address (or any text: Encoded).
    ListFileText& Address(std::string_view dotted) { return Encoded(dotted); }
    ListFileText& Encoded(std::string_view plain);
    // A line as given (comments, broken "^" lines).
    ListFileText& Line(std::string_view raw);
    // The lines joined, each ended by eol.
    std::string text(std::string_view eol = "\r\n") const;

    // "^" and the hex pairs of plain XOR the list key.
    static std::string EncodeLine(std::string_view plain);
    // The plain text of an encoded line; nullopt when it is not "^" and hex pairs.
    static std::optional<std::string> DecodeLine(std::string_view line);
    // A file of the given dotted addresses, "\r\n" line ends.
    static std::string Of(const std::vector<std::string>& addresses);

   private:
    std::vector<std::string> m_lines;
};

class ListServerSim {
   public:
    explicit ListServerSim(ListServerConfig config = {});
    ~ListServerSim();
    ListServerSim(const ListServerSim&) = delete;
    ListServerSim& operator=(const ListServerSim&) = delete;

    // Binds the sockets and starts serving; false (with the reason in why()) if a bind failed.
    bool Start();
    // Stops serving; the directory and the request log stay. Safe to call twice.
    void Stop();
    bool running() const { return m_thread.joinable(); }
    const std::string& why() const { return m_why; }

    // The configuration with the ports actually bound.
    ListServerConfig config() const;
    uint32_t addressValue() const { return m_addr; }  // first octet in the top byte
    uint16_t tcpPort() const;
    uint16_t udpPort() const;
    uint16_t httpPort() const;

    // --- Directory -------------------------------------------------------------
    void AddRepeater(const ListRepeater& entry);  // replaces an entry with the same server ID
    bool RemoveRepeater(const std::string& servId);
    void ClearDirectory();
    std::vector<ListRepeater> Directory() const;
    std::optional<ListRepeater> Find(const std::string& servId) const;

    // --- List file ---------------------------------------------------------------
    void SetListFile(std::string body);

    // --- Behaviour ---------------------------------------------------------------
    void SetBehaviour(ListKind kind, const ListBehaviour& behaviour);
    void ClearBehaviours();

    // --- Request log -------------------------------------------------------------
    std::vector<ListRequest> Requests() const;
    std::vector<ListRequest> Requests(ListKind kind) const;
    size_t RequestCount(ListKind kind) const;
    // Waits until at least count requests of the kind were logged (answered or not).
    bool WaitForRequests(ListKind kind, size_t count, int timeoutMs) const;
    // Waits until at least count requests of the kind were answered (the reply is logged just before it is sent).
    bool WaitForReplies(ListKind kind, size_t count, int timeoutMs) const;
    // TCP connections accepted on the list port (a probe that only connects counts too).
    size_t Connections() const { return m_connections.load(); }
    void ClearRequests();

    // --- The server's codec (exposed for tests) ----------------------------------
    // The 127-byte search record and the 159-byte list record of an entry.
    static std::string SearchRecord(const ListRepeater& entry);
    static std::string ListRecord(const ListRepeater& entry);
    // The list record of a radio ID the directory does not hold.
    static std::string NoDataRecord(const std::string& radioId);

   private:
    struct Conn;
    struct PendingUdp {
        std::chrono::steady_clock::time_point due;
        std::string bytes;
        uint32_t addr;
        uint16_t port;
        size_t seq;  // the request's log sequence number
    };

    void ServiceLoop();
    void AcceptOne(int listener, bool http);
    void ReapConnections(bool all);
    void ServeTcp(int fd, uint32_t addr, uint16_t port);
    void ServeHttp(int fd, uint32_t addr, uint16_t port);
    void OnDatagram();
    void SendDueUdp();
    int NextUdpWaitMs() const;

    // Request handling (under m_lock): decode, act on the directory (only when commit), build the
    // proper reply; an empty reply with req->valid false for a frame that does not parse.
    std::string HandleTcpFrame(const std::string& frame, uint32_t addr, bool commit, ListRequest* req);
    std::string HandleUdpFrame(const std::string& frame, uint32_t addr, bool commit, ListRequest* req);
    std::string HandleRegist(const std::string& block, uint32_t addr, bool commit, ListRequest* req);
    std::string HandleSearch(const std::string& block, ListRequest* req);
    std::string HandleGetList(const std::string& block, ListRequest* req);
    std::string HandleHealthCheck(const std::string& block, uint32_t addr, bool commit, ListRequest* req);
    std::string HandlePortCheck(const std::string& block, ListRequest* req);
    std::string NewServId();
    // The behaviour the next request of the kind meets; UseBehaviour counts it down once that request parsed.
    ListBehaviour PeekBehaviour(ListKind kind) const;
    void UseBehaviour(ListKind kind);
    // Bytes to send for a TCP or UDP answer under a behaviour; nullopt: stay silent.
    std::optional<std::string> ApplyTcpFault(const ListBehaviour& b, char letter, const std::string& proper) const;
    std::optional<std::string> ApplyUdpFault(const ListBehaviour& b, char letter, const std::string& proper) const;
    // Logs a request; its sequence number (stays valid across ClearRequests).
    size_t LogRequest(ListRequest req);
    void LogReply(size_t seq, const std::string& bytes);
    // Waits delayMs (or until stop); false when stopping.
    bool DelayOrStop(int delayMs) const;
    bool WaitCount(ListKind kind, size_t count, int timeoutMs, bool replied) const;

    ListServerConfig m_config;
    uint32_t m_addr = 0;
    std::string m_why;
    int m_tcp = -1, m_udp = -1, m_httpListener = -1;
    int m_stopPipe[2] = {-1, -1};  // readable once Stop began: wakes every thread
    std::thread m_thread;
    std::atomic<size_t> m_connections{0};

    std::mutex m_connLock;  // guards m_conns
    std::vector<std::unique_ptr<Conn>> m_conns;

    std::vector<PendingUdp> m_pendingUdp;  // service thread only

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<ListRepeater> m_directory;
    std::map<ListKind, ListBehaviour> m_behaviours;
    std::vector<ListRequest> m_requests;
    std::vector<bool> m_replied;
    size_t m_firstSeq = 0;  // sequence number of m_requests[0]
    unsigned m_nextServId = 0;
};

}  // namespace sim
