// ListServerSim: the stand-in list server (see list_server_sim.h). A service
// thread owns the listeners and the UDP socket; every accepted connection is
// served on a thread of its own; m_lock guards the directory, behaviours, list
// file and request log, m_connLock the connection threads (never both held).
#include "list_server_sim.h"

#include "loopnet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

namespace sim {

namespace {

// A fixed-width field of a parameter block or record.
struct Field {
    size_t off;
    size_t size;
};

// Registration request block and its answer block.
constexpr Field REG_SERV_ID{0, 5}, REG_RADIO_ID{5, 5}, REG_CALL{10, 10}, REG_CITY{20, 40}, REG_STATE{60, 40},
    REG_COUNTRY{100, 3}, REG_MOD{103, 1}, REG_SC{104, 32}, REG_RESP{136, 1}, REG_SIG{137, 30}, REG_MAIL{167, 60};
constexpr size_t REGIST_BLOCK_LEN = 227;
static_assert(REG_MAIL.off + REG_MAIL.size == REGIST_BLOCK_LEN);
constexpr size_t REGIST_RES_LEN = 19;  // server ID (5) and last update (14)

// Search request block and the search record.
constexpr Field SRQ_SERV_ID{0, 5}, SRQ_RADIO_ID{5, 5}, SRQ_KIND{10, 1}, SRQ_KEY{11, 40};
constexpr size_t SEARCH_BLOCK_LEN = 51;
static_assert(SRQ_KEY.off + SRQ_KEY.size == SEARCH_BLOCK_LEN);
constexpr Field SR_SERV_ID{0, 5}, SR_RADIO_ID{5, 5}, SR_IP{10, 8}, SR_CALL{18, 10}, SR_CITY{28, 40}, SR_STATE{68, 40},
    SR_COUNTRY{108, 3}, SR_MOD{111, 1}, SR_RESP{112, 1}, SR_LAST{113, 14};
constexpr size_t SEARCH_RECORD_LEN = 127;
static_assert(SR_LAST.off + SR_LAST.size == SEARCH_RECORD_LEN);

// List request block (fixed part, then 6 bytes per radio) and the list record.
constexpr Field LRQ_SERV_ID{0, 5}, LRQ_RADIO_ID{5, 5};
constexpr size_t GETLIST_FIXED_LEN = 10, GETLIST_ENTRY_LEN = 6, GETLIST_MAX_IDS = 100;
constexpr Field LR_SERV_ID{0, 5}, LR_RADIO_ID{5, 5}, LR_CALL{10, 10}, LR_CITY{20, 40}, LR_STATE{60, 40},
    LR_COUNTRY{100, 3}, LR_MOD{103, 1}, LR_SC{104, 32}, LR_RESP{136, 1}, LR_IP{137, 8}, LR_LAST{145, 14};
constexpr size_t LIST_RECORD_LEN = 159;
static_assert(LR_LAST.off + LR_LAST.size == LIST_RECORD_LEN);

// UDP blocks: health check fixed part, port check, and the reply layout.
constexpr Field HC_PORT{0, 5}, HC_SERV_ID{5, 5}, HC_RADIO_ID{10, 5};
constexpr size_t HEALTH_FIXED_LEN = 15;
constexpr Field PC_PORT{0, 5}, PC_RADIO_ID{5, 5};
constexpr size_t PORT_BLOCK_LEN = 10;
constexpr size_t VAR_HEADER_LEN = 5, HEALTH_ENTRY_LEN = 13, ID_LEN = 5, D_PART_LEN = 33;
constexpr size_t UDP_HEADER_LEN = 16, UDP_COMMON_LEN = UDP_HEADER_LEN + 6;
constexpr size_t PORT_REPLY_LEN = UDP_COMMON_LEN + 5;
static_assert(UDP_COMMON_LEN == 22 && PORT_REPLY_LEN == 27);

constexpr size_t TCP_HEADER_LEN = 6;  // "$", letter, four-digit code
constexpr size_t MAX_TCP_REQUEST = 4096;
constexpr size_t MAX_HTTP_HEAD = 8192;
constexpr size_t MAX_DATAGRAM = 2048;
constexpr int LINGER_MS = 5000;      // how long a finished connection waits for the client to close
constexpr int FRAME_GRACE_MS = 200;  // how long an LF-ended frame of an odd length waits for more

// The 17-byte key of the list file: 16 characters and a zero byte.
constexpr char LIST_KEY[] = "Jx4Tq9Wm2Rz7Vk5P";
constexpr size_t LIST_KEY_LEN = sizeof(LIST_KEY);  // the terminator is the 17th byte
static_assert(LIST_KEY_LEN == 17);

const char HEX_DIGITS[] = "0123456789ABCDEF";

std::string Pad(std::string_view s, size_t n)
{
    std::string out(s.substr(0, n));
    out.resize(n, ' ');
    return out;
}

std::string Trim(std::string_view s)
{
    size_t end = s.size();
    while (end > 0 && s[end - 1] == ' ') {
        --end;
    }
    return std::string(s.substr(0, end));
}

std::string_view Get(std::string_view block, Field f)
{
    return block.substr(f.off, f.size);
}

void Put(std::string& rec, Field f, std::string_view value)
{
    rec.replace(f.off, f.size, Pad(value, f.size));
}

bool AllDigits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool AllBlank(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c == ' '; });
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string Dec(unsigned value, size_t width)
{
    std::string out(width, '0');
    for (size_t i = width; i > 0; --i) {
        out[i - 1] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out;
}

std::string HexByte(uint8_t b)
{
    return {HEX_DIGITS[b >> 4], HEX_DIGITS[b & 0x0F]};
}

// An address as eight hex digits, first octet first; blanks for 0 (unknown).
std::string HexAddr(uint32_t addr)
{
    if (addr == 0) {
        return std::string(8, ' ');
    }
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += HexByte(static_cast<uint8_t>(addr >> shift));
    }
    return out;
}

std::string HexTable(const std::array<uint8_t, 16>& table)
{
    std::string out;
    for (uint8_t b : table) {
        out += HexByte(b);
    }
    return out;
}

bool ParseTable(std::string_view hex, std::array<uint8_t, 16>* table)
{
    if (hex.size() != 32) {
        return false;
    }
    for (size_t i = 0; i < 16; ++i) {
        int hi = HexValue(hex[2 * i]), lo = HexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        (*table)[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

int DigitOf(std::string_view one)
{
    return one.size() == 1 && AllDigits(one) ? one[0] - '0' : -1;
}

std::string DigitText(int value)
{
    return std::string(1, static_cast<char>('0' + (value < 0 ? 0 : value % 10)));
}

bool PrefixNoCase(std::string_view text, std::string_view prefix)
{
    if (prefix.size() > text.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (tolower(static_cast<unsigned char>(text[i])) != tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

std::string TcpHeader(char letter, std::string_view code)
{
    return std::string("$") + letter + Pad(code, 4);
}

// The 16-byte UDP header: length of what follows (high byte first), param byte, zeros.
std::string UdpHeader(size_t after, uint8_t param)
{
    std::string h(UDP_HEADER_LEN, '\0');
    h[0] = static_cast<char>((after >> 8) & 0xFF);
    h[1] = static_cast<char>(after & 0xFF);
    h[2] = static_cast<char>(param);
    return h;
}

std::string UtcStamp()
{
    time_t now = time(nullptr);
    tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    snprintf(text, sizeof(text), "%04d%02d%02d%02d%02d%02d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
             parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

char OtherLetter(char letter)
{
    switch (letter) {
        case 'R':
            return 'S';
        case 'S':
            return 'L';
        case 'L':
            return 'R';
        case 'H':
            return 'P';
        default:
            return 'H';
    }
}

ListKind KindOf(char letter, bool udp)
{
    if (udp) {
        return letter == 'H' ? ListKind::HealthCheck : letter == 'P' ? ListKind::PortCheck : ListKind::Unknown;
    }
    switch (letter) {
        case 'R':
            return ListKind::Regist;
        case 'S':
            return ListKind::Search;
        case 'L':
            return ListKind::GetList;
        default:
            return ListKind::Unknown;
    }
}

sockaddr_in SockAddr(uint32_t addr, uint16_t port)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(addr);
    return sa;
}

// A socket bound to addr:port (listening for TCP); the bound port in *bound.
int BindSocket(int type, uint32_t addr, uint16_t port, uint16_t* bound)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (type == SOCK_STREAM) {
        int one = 1;  // a restart must not trip over connections left in TIME_WAIT
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    }
    sockaddr_in sa = SockAddr(addr, port);
    socklen_t len = sizeof(sa);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || (type == SOCK_STREAM && listen(fd, 64) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        close(fd);
        return -1;
    }
    *bound = ntohs(sa.sin_port);
    return fd;
}

// Polls fd (and the stop pipe) for input; 1 readable, 0 time-out, -1 stopping or error.
int WaitReadable(int fd, int stopFd, int timeoutMs)
{
    pollfd p[2] = {{stopFd, POLLIN, 0}, {fd, POLLIN, 0}};
    int ret;
    do {
        ret = poll(p, fd >= 0 ? 2 : 1, timeoutMs);
    } while (ret < 0 && errno == EINTR);
    if (ret < 0 || (p[0].revents & POLLIN)) {
        return -1;
    }
    return ret == 0 ? 0 : 1;
}

// Reads and drops input until the client closes, stopping, or timeoutMs (-1: no limit).
void DrainUntilClosed(int fd, int stopFd, int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char sink[512];
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return;
            }
            wait = static_cast<int>(left.count());
        }
        if (WaitReadable(fd, stopFd, wait) != 1 || recv(fd, sink, sizeof(sink), 0) <= 0) {
            return;
        }
    }
}

enum class FrameState { Partial, Complete, Doubtful };

// How far a TCP request frame has arrived: REGIST and SEARCH are complete at
// their fixed length, GET_LIST at an LF after whole entries, others at an LF.
// An LF at any other length may be the end of a malformed frame or a byte of
// a field that more bytes follow: Doubtful.
FrameState TcpFrameState(const std::string& f)
{
    char letter = f.size() >= 2 ? f[1] : 0;
    size_t fixed = letter == 'R' ? REGIST_BLOCK_LEN + 3 : letter == 'S' ? SEARCH_BLOCK_LEN + 3 : 0;
    if (fixed != 0 && f.size() >= fixed) {
        return FrameState::Complete;
    }
    if (f.empty() || f.back() != '\n') {
        return FrameState::Partial;
    }
    if (letter == 'L') {
        size_t min = GETLIST_FIXED_LEN + 3;
        bool whole = f.size() >= min && (f.size() - min) % GETLIST_ENTRY_LEN == 0;
        return whole ? FrameState::Complete : FrameState::Doubtful;
    }
    return fixed == 0 && f.size() >= 2 ? FrameState::Complete : FrameState::Doubtful;
}

// Reads one request frame; false when stopping (or on a poll error) before it came.
// A frame cut short by the client's close is returned as it is.
bool ReadTcpFrame(int fd, int stopFd, std::string* frame)
{
    char buf[1024];
    for (;;) {
        FrameState state = TcpFrameState(*frame);
        if (state == FrameState::Complete || frame->size() > MAX_TCP_REQUEST) {
            return true;
        }
        int ready = WaitReadable(fd, stopFd, state == FrameState::Doubtful ? FRAME_GRACE_MS : -1);
        if (ready <= 0) {
            return ready == 0;  // 0: a doubtful frame that nothing followed
        }
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            return true;
        }
        frame->append(buf, static_cast<size_t>(n));
    }
}

// After the answer: no more sending, and wait (bounded) for the client to close,
// so the answer is never cut off by a reset for unread input.
void Linger(int fd, int stopFd)
{
    shutdown(fd, SHUT_WR);
    DrainUntilClosed(fd, stopFd, LINGER_MS);
}

const char* HttpReason(int status)
{
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

std::string HttpResponse(int status, const std::string& body)
{
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + HttpReason(status) + "\r\n";
    if (status == 200) {
        head += "Content-Type: text/plain\r\n";
    }
    head += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    return head + body;
}

}  // namespace

// --- List file -----------------------------------------------------------------

ListFileText& ListFileText::Encoded(std::string_view plain)
{
    m_lines.push_back(EncodeLine(plain));
    return *this;
}

ListFileText& ListFileText::Line(std::string_view raw)
{
    m_lines.emplace_back(raw);
    return *this;
}

std::string ListFileText::text(std::string_view eol) const
{
    std::string out;
    for (const std::string& line : m_lines) {
        out += line;
        out += eol;
    }
    return out;
}

std::string ListFileText::EncodeLine(std::string_view plain)
{
    std::string out = "^";
    for (size_t i = 0; i < plain.size(); ++i) {
        out += HexByte(static_cast<uint8_t>(plain[i] ^ LIST_KEY[i % LIST_KEY_LEN]));
    }
    return out;
}

std::optional<std::string> ListFileText::DecodeLine(std::string_view line)
{
    if (line.empty() || line[0] != '^' || (line.size() - 1) % 2 != 0) {
        return std::nullopt;
    }
    std::string plain;
    for (size_t i = 1; i < line.size(); i += 2) {
        int hi = HexValue(line[i]), lo = HexValue(line[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        plain += static_cast<char>((hi << 4 | lo) ^ LIST_KEY[plain.size() % LIST_KEY_LEN]);
    }
    return plain;
}

std::string ListFileText::Of(const std::vector<std::string>& addresses)
{
    ListFileText file;
    for (const std::string& a : addresses) {
        file.Address(a);
    }
    return file.text();
}

// --- Records ---------------------------------------------------------------------

std::string ListServerSim::SearchRecord(const ListRepeater& e)
{
    std::string rec(SEARCH_RECORD_LEN, ' ');
    Put(rec, SR_SERV_ID, e.servId);
    Put(rec, SR_RADIO_ID, e.radioId);
    Put(rec, SR_IP, HexAddr(e.ipAddr));
    Put(rec, SR_CALL, e.callSign);
    Put(rec, SR_RESP, DigitText(e.searchResp));
    if (e.searchResp == 0) {  // a restricted entry keeps the rest to itself
        Put(rec, SR_CITY, e.city);
        Put(rec, SR_STATE, e.state);
        Put(rec, SR_COUNTRY, e.country);
        Put(rec, SR_MOD, DigitText(e.moduration));
        Put(rec, SR_LAST, e.lastUpdate);
    }
    return rec;
}

std::string ListServerSim::ListRecord(const ListRepeater& e)
{
    std::string rec(LIST_RECORD_LEN, ' ');
    Put(rec, LR_SERV_ID, e.servId);
    Put(rec, LR_RADIO_ID, e.radioId);
    Put(rec, LR_CALL, e.callSign);
    Put(rec, LR_RESP, DigitText(e.searchResp));
    Put(rec, LR_IP, HexAddr(e.ipAddr));
    if (e.searchResp == 0) {
        Put(rec, LR_CITY, e.city);
        Put(rec, LR_STATE, e.state);
        Put(rec, LR_COUNTRY, e.country);
        Put(rec, LR_MOD, DigitText(e.moduration));
        Put(rec, LR_SC, HexTable(e.scTable));
        Put(rec, LR_LAST, e.lastUpdate);
    }
    return rec;
}

std::string ListServerSim::NoDataRecord(const std::string& radioId)
{
    std::string rec(LIST_RECORD_LEN, ' ');
    Put(rec, LR_RADIO_ID, radioId);
    return rec;
}

// --- Life cycle ----------------------------------------------------------------------

struct ListServerSim::Conn {
    std::thread thread;
    std::atomic<bool> done{false};
};

ListServerSim::ListServerSim(ListServerConfig config) : m_config(std::move(config))
{
    m_nextServId = m_config.nextServId;
}

ListServerSim::~ListServerSim()
{
    Stop();
}

bool ListServerSim::Start()
{
    if (running()) {
        return true;
    }
    in_addr parsed{};
    if (inet_pton(AF_INET, m_config.address.c_str(), &parsed) != 1) {
        m_why = "bad address " + m_config.address;
        return false;
    }
    m_addr = ntohl(parsed.s_addr);
    if (pipe2(m_stopPipe, O_CLOEXEC) != 0) {
        m_why = "pipe failed";
        return false;
    }
    uint16_t tcpPort = 0, udpPort = 0, httpPort = 0;
    struct Want {
        int* fd;
        int type;
        uint16_t port;
        uint16_t* bound;
        const char* what;
    } wants[] = {{&m_tcp, SOCK_STREAM, m_config.tcpPort, &tcpPort, "TCP"},
                 {&m_udp, SOCK_DGRAM, m_config.udpPort, &udpPort, "UDP"},
                 {&m_httpListener, SOCK_STREAM, m_config.httpPort, &httpPort, "HTTP"}};
    for (const Want& w : wants) {
        if (w.fd == &m_httpListener && !m_config.http) {
            continue;
        }
        *w.fd = BindSocket(w.type, m_addr, w.port, w.bound);
        if (*w.fd < 0) {
            m_why = std::string("cannot bind the ") + w.what + " port " + std::to_string(w.port) + " on " +
                    m_config.address + ": " + strerror(errno);
            Stop();
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_config.tcpPort = tcpPort;
        m_config.udpPort = udpPort;
        m_config.httpPort = httpPort;
    }
    m_thread = std::thread(&ListServerSim::ServiceLoop, this);
    return true;
}

void ListServerSim::Stop()
{
    if (m_stopPipe[1] >= 0) {
        char wake = 1;
        (void)!write(m_stopPipe[1], &wake, 1);
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    ReapConnections(true);
    for (int* fd : {&m_tcp, &m_udp, &m_httpListener, &m_stopPipe[0], &m_stopPipe[1]}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    m_pendingUdp.clear();
}

ListServerConfig ListServerSim::config() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_config;
}

uint16_t ListServerSim::tcpPort() const
{
    return config().tcpPort;
}

uint16_t ListServerSim::udpPort() const
{
    return config().udpPort;
}

uint16_t ListServerSim::httpPort() const
{
    return config().httpPort;
}

// --- Directory, list file, behaviours ------------------------------------------------

void ListServerSim::AddRepeater(const ListRepeater& entry)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (ListRepeater& e : m_directory) {
        if (e.servId == entry.servId) {
            e = entry;
            return;
        }
    }
    m_directory.push_back(entry);
}

bool ListServerSim::RemoveRepeater(const std::string& servId)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it =
        std::find_if(m_directory.begin(), m_directory.end(), [&](const ListRepeater& e) { return e.servId == servId; });
    if (it == m_directory.end()) {
        return false;
    }
    m_directory.erase(it);
    return true;
}

void ListServerSim::ClearDirectory()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_directory.clear();
}

std::vector<ListRepeater> ListServerSim::Directory() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_directory;
}

std::optional<ListRepeater> ListServerSim::Find(const std::string& servId) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (const ListRepeater& e : m_directory) {
        if (e.servId == servId) {
            return e;
        }
    }
    return std::nullopt;
}

void ListServerSim::SetListFile(std::string body)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_config.listFile = std::move(body);
}

void ListServerSim::SetBehaviour(ListKind kind, const ListBehaviour& behaviour)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviours[kind] = behaviour;
}

void ListServerSim::ClearBehaviours()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviours.clear();
}

ListBehaviour ListServerSim::PeekBehaviour(ListKind kind) const
{
    auto it = m_behaviours.find(kind);
    if (it == m_behaviours.end() || it->second.times == 0) {
        return {};
    }
    return it->second;
}

void ListServerSim::UseBehaviour(ListKind kind)
{
    auto it = m_behaviours.find(kind);
    if (it != m_behaviours.end() && it->second.times > 0) {
        --it->second.times;
    }
}

// --- Request log -------------------------------------------------------------------------

size_t ListServerSim::LogRequest(ListRequest req)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_requests.push_back(std::move(req));
    m_replied.push_back(false);
    m_changed.notify_all();
    return m_firstSeq + m_requests.size() - 1;
}

void ListServerSim::LogReply(size_t seq, const std::string& bytes)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (seq >= m_firstSeq && seq - m_firstSeq < m_requests.size()) {
        m_requests[seq - m_firstSeq].reply = bytes;
        m_replied[seq - m_firstSeq] = true;
    }
    m_changed.notify_all();
}

std::vector<ListRequest> ListServerSim::Requests() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
}

std::vector<ListRequest> ListServerSim::Requests(ListKind kind) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<ListRequest> out;
    for (const ListRequest& r : m_requests) {
        if (r.kind == kind) {
            out.push_back(r);
        }
    }
    return out;
}

size_t ListServerSim::RequestCount(ListKind kind) const
{
    return Requests(kind).size();
}

bool ListServerSim::WaitCount(ListKind kind, size_t count, int timeoutMs, bool replied) const
{
    std::unique_lock<std::mutex> guard(m_lock);
    auto enough = [&] {
        size_t n = 0;
        for (size_t i = 0; i < m_requests.size(); ++i) {
            n += m_requests[i].kind == kind && (!replied || m_replied[i]);
        }
        return n >= count;
    };
    return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), enough);
}

bool ListServerSim::WaitForRequests(ListKind kind, size_t count, int timeoutMs) const
{
    return WaitCount(kind, count, timeoutMs, false);
}

bool ListServerSim::WaitForReplies(ListKind kind, size_t count, int timeoutMs) const
{
    return WaitCount(kind, count, timeoutMs, true);
}

void ListServerSim::ClearRequests()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_firstSeq += m_requests.size();
    m_requests.clear();
    m_replied.clear();
}

// --- Service thread ----------------------------------------------------------------------

void ListServerSim::ServiceLoop()
{
    for (;;) {
        pollfd p[4] = {{m_stopPipe[0], POLLIN, 0}, {m_tcp, POLLIN, 0}, {m_udp, POLLIN, 0}, {m_httpListener, POLLIN, 0}};
        int ret = poll(p, m_httpListener >= 0 ? 4 : 3, NextUdpWaitMs());
        if (ret < 0 && errno != EINTR) {
            return;
        }
        if (p[0].revents & POLLIN) {
            return;
        }
        if (ret > 0) {
            if (p[1].revents & POLLIN) {
                AcceptOne(m_tcp, false);
            }
            if (p[2].revents & POLLIN) {
                OnDatagram();
            }
            if (m_httpListener >= 0 && (p[3].revents & POLLIN)) {
                AcceptOne(m_httpListener, true);
            }
        }
        SendDueUdp();
        ReapConnections(false);
    }
}

void ListServerSim::AcceptOne(int listener, bool http)
{
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    int fd = accept4(listener, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (!http) {
        ++m_connections;
    }
    uint32_t addr = ntohl(from.sin_addr.s_addr);
    uint16_t port = ntohs(from.sin_port);
    auto conn = std::make_unique<Conn>();
    Conn* c = conn.get();
    c->thread = std::thread([this, c, fd, addr, port, http] {
        if (http) {
            ServeHttp(fd, addr, port);
        } else {
            ServeTcp(fd, addr, port);
        }
        close(fd);
        c->done = true;
    });
    std::lock_guard<std::mutex> guard(m_connLock);
    m_conns.push_back(std::move(conn));
}

void ListServerSim::ReapConnections(bool all)
{
    std::vector<std::unique_ptr<Conn>> finished;
    {
        std::lock_guard<std::mutex> guard(m_connLock);
        auto split = std::partition(m_conns.begin(), m_conns.end(),
                                    [all](const std::unique_ptr<Conn>& c) { return !all && !c->done; });
        std::move(split, m_conns.end(), std::back_inserter(finished));
        m_conns.erase(split, m_conns.end());
    }
    for (auto& c : finished) {
        c->thread.join();
    }
}

bool ListServerSim::DelayOrStop(int delayMs) const
{
    if (delayMs <= 0) {
        return true;
    }
    return WaitReadable(-1, m_stopPipe[0], delayMs) == 0;
}

int ListServerSim::NextUdpWaitMs() const
{
    if (m_pendingUdp.empty()) {
        return -1;
    }
    auto due = std::min_element(m_pendingUdp.begin(), m_pendingUdp.end(), [](const PendingUdp& a, const PendingUdp& b) {
                   return a.due < b.due;
               })->due;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
}

void ListServerSim::SendDueUdp()
{
    auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < m_pendingUdp.size();) {
        if (m_pendingUdp[i].due > now) {
            ++i;
            continue;
        }
        const PendingUdp& p = m_pendingUdp[i];
        sockaddr_in to = SockAddr(p.addr, p.port);
        LogReply(p.seq, p.bytes);  // first, so the log holds it once the client has it
        sendto(m_udp, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        m_pendingUdp.erase(m_pendingUdp.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

// --- TCP list requests -----------------------------------------------------------------

void ListServerSim::ServeTcp(int fd, uint32_t addr, uint16_t port)
{
    std::string frame;
    if (!ReadTcpFrame(fd, m_stopPipe[0], &frame) || frame.empty()) {
        return;  // stopping, or a probe that only connected
    }
    ListRequest req;
    req.raw = frame;
    req.fromAddr = addr;
    req.fromPort = port;
    req.kind = KindOf(frame.size() > 1 ? frame[1] : 0, false);
    std::optional<std::string> reply;
    ListBehaviour b;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        b = PeekBehaviour(req.kind);
        std::string proper = HandleTcpFrame(frame, addr, b.fault != ListFault::ErrorCode, &req);
        if (req.valid) {
            UseBehaviour(req.kind);
            reply = ApplyTcpFault(b, frame[1], proper);
        }
    }
    size_t seq = LogRequest(req);
    if (!reply) {
        if (req.valid) {  // silent: the connection stays open and quiet until the client goes
            DrainUntilClosed(fd, m_stopPipe[0], -1);
        } else {
            Linger(fd, m_stopPipe[0]);
        }
        return;
    }
    if (!DelayOrStop(b.delayMs)) {
        return;
    }
    LogReply(seq, *reply);  // first, so the log holds it once the client has it
    loopnet::WriteAll(fd, *reply);
    Linger(fd, m_stopPipe[0]);
}

std::string ListServerSim::HandleTcpFrame(const std::string& frame, uint32_t addr, bool commit, ListRequest* req)
{
    if (frame.size() < 3 || frame[0] != '#' || frame.back() != '\n' || req->kind == ListKind::Unknown) {
        return {};
    }
    std::string block = frame.substr(2, frame.size() - 3);
    switch (req->kind) {
        case ListKind::Regist:
            return HandleRegist(block, addr, commit, req);
        case ListKind::Search:
            return HandleSearch(block, req);
        case ListKind::GetList:
            return HandleGetList(block, req);
        default:
            return {};
    }
}

std::string ListServerSim::NewServId()
{
    for (;;) {
        std::string id = Dec(m_nextServId++ % 100000, ID_LEN);
        bool used =
            std::any_of(m_directory.begin(), m_directory.end(), [&](const ListRepeater& e) { return e.servId == id; });
        if (!used) {
            return id;
        }
    }
}

std::string ListServerSim::HandleRegist(const std::string& block, uint32_t addr, bool commit, ListRequest* req)
{
    if (block.size() != REGIST_BLOCK_LEN) {
        return {};
    }
    req->valid = true;
    std::string_view b = block;
    req->servId = Trim(Get(b, REG_SERV_ID));
    req->radioId = Trim(Get(b, REG_RADIO_ID));
    req->callSign = Trim(Get(b, REG_CALL));
    req->city = Trim(Get(b, REG_CITY));
    req->state = Trim(Get(b, REG_STATE));
    req->country = Trim(Get(b, REG_COUNTRY));
    req->moduration = DigitOf(Get(b, REG_MOD));
    req->scTableHex = std::string(Get(b, REG_SC));
    req->searchResp = DigitOf(Get(b, REG_RESP));
    req->signature = Trim(Get(b, REG_SIG));
    req->mailAddr = Trim(Get(b, REG_MAIL));

    std::array<uint8_t, 16> table{};
    bool newId = AllBlank(Get(b, REG_SERV_ID));
    if ((!newId && !AllDigits(Get(b, REG_SERV_ID))) || req->radioId.empty() || req->moduration < 0 ||
        req->searchResp < 0 || !ParseTable(req->scTableHex, &table)) {
        return TcpHeader('R', m_config.badParamCode) + "\n";
    }
    std::string lastUpdate = m_config.lastUpdate.empty() ? UtcStamp() : m_config.lastUpdate;
    std::string id = req->servId;
    if (commit) {
        id = newId ? NewServId() : id;
        auto it =
            std::find_if(m_directory.begin(), m_directory.end(), [&](const ListRepeater& e) { return e.servId == id; });
        if (it == m_directory.end()) {
            it = m_directory.insert(m_directory.end(), ListRepeater{});
        }
        *it = ListRepeater{id,           req->radioId,    req->callSign, req->city,       req->state,
                           req->country, req->moduration, table,         req->searchResp, addr,
                           lastUpdate,   req->signature,  req->mailAddr};
    }
    return TcpHeader('R', "0000") + Pad(id, ID_LEN) + Pad(lastUpdate, REGIST_RES_LEN - ID_LEN) + "\n";
}

std::string ListServerSim::HandleSearch(const std::string& block, ListRequest* req)
{
    if (block.size() != SEARCH_BLOCK_LEN) {
        return {};
    }
    req->valid = true;
    std::string_view b = block;
    req->servId = Trim(Get(b, SRQ_SERV_ID));
    req->radioId = Trim(Get(b, SRQ_RADIO_ID));
    req->searchKind = Get(b, SRQ_KIND)[0];
    req->searchKey = Trim(Get(b, SRQ_KEY));
    const std::string& key = req->searchKey;
    auto matches = [&](const ListRepeater& e) {
        switch (req->searchKind) {
            case 'S':
                return e.servId == key;
            case 'R':
                return e.radioId == key;
            case 'C':
                return PrefixNoCase(e.callSign, key);
            case 'T':
                return PrefixNoCase(e.city, key);
            case 'P':
                return PrefixNoCase(e.state, key);
            default:
                return PrefixNoCase(e.country, key);  // 'N'
        }
    };
    if (std::string_view("SCRTPN").find(req->searchKind) == std::string_view::npos) {
        return TcpHeader('S', m_config.badParamCode) + "\n";
    }
    std::string reply = TcpHeader('S', "0000");
    for (const ListRepeater& e : m_directory) {
        if (matches(e)) {
            reply += SearchRecord(e);
        }
    }
    return reply + "\n";
}

std::string ListServerSim::HandleGetList(const std::string& block, ListRequest* req)
{
    if (block.size() < GETLIST_FIXED_LEN || (block.size() - GETLIST_FIXED_LEN) % GETLIST_ENTRY_LEN != 0 ||
        (block.size() - GETLIST_FIXED_LEN) / GETLIST_ENTRY_LEN > GETLIST_MAX_IDS) {
        return {};
    }
    req->valid = true;
    std::string_view b = block;
    req->servId = Trim(Get(b, LRQ_SERV_ID));
    req->radioId = Trim(Get(b, LRQ_RADIO_ID));
    bool kindsOk = true;
    for (size_t off = GETLIST_FIXED_LEN; off < b.size(); off += GETLIST_ENTRY_LEN) {
        kindsOk = kindsOk && b[off] == 'R';
        req->ids.push_back(Trim(b.substr(off + 1, ID_LEN)));
    }
    if (!kindsOk) {
        return TcpHeader('L', m_config.badParamCode) + "\n";
    }
    std::string reply = TcpHeader('L', "0000");
    for (const std::string& id : req->ids) {
        auto it = std::find_if(m_directory.begin(), m_directory.end(),
                               [&](const ListRepeater& e) { return e.radioId == id; });
        reply += it != m_directory.end() ? ListRecord(*it) : NoDataRecord(id);
    }
    return reply + "\n";
}

std::optional<std::string> ListServerSim::ApplyTcpFault(const ListBehaviour& b, char letter,
                                                        const std::string& proper) const
{
    // What the client reads after the header: REGIST block and LF, or one record.
    size_t expected = letter == 'R' ? REGIST_RES_LEN + 1 : letter == 'S' ? SEARCH_RECORD_LEN : LIST_RECORD_LEN;
    std::string out = proper;
    switch (b.fault) {
        case ListFault::None:
            break;
        case ListFault::Silent:
            return std::nullopt;
        case ListFault::WrongLetter:
            out[1] = b.letter ? b.letter : OtherLetter(letter);
            break;
        case ListFault::BadDigits:
            out.replace(2, 4, Pad(b.code.empty() ? "00A1" : b.code, 4));
            break;
        case ListFault::ErrorCode:
            out = TcpHeader(letter, b.code.empty() ? "0102" : b.code) + "\n";
            break;
        case ListFault::ShortRecord: {
            // The first read after the header (blanks when the answer has no block or record), cut and LF-ended;
            // at least one byte comes before the LF so that it cannot pass for the lone LF of an empty answer.
            std::string rest = proper.substr(TCP_HEADER_LEN);
            std::string first = rest.size() >= expected ? rest.substr(0, expected) : std::string(expected, ' ');
            size_t keep = expected - static_cast<size_t>(std::clamp(b.shortBy, 1, static_cast<int>(expected) - 2));
            out = proper.substr(0, TCP_HEADER_LEN) + first.substr(0, keep - 1) + "\n";
            break;
        }
        case ListFault::LoneLf:
            out = TcpHeader(letter, "0000") + "\n";
            break;
        case ListFault::Raw:
            out = b.raw;
            break;
        case ListFault::WrongId:
            if (out.size() >= TCP_HEADER_LEN + expected) {  // the block or a first record is there
                out.replace(TCP_HEADER_LEN, ID_LEN, Pad(b.id, ID_LEN));
            }
            break;
    }
    return out;
}

// --- UDP checks -----------------------------------------------------------------------------

void ListServerSim::OnDatagram()
{
    char buf[MAX_DATAGRAM];
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    ssize_t n = recvfrom(m_udp, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) {
        return;
    }
    std::string frame(buf, static_cast<size_t>(n));
    ListRequest req;
    req.raw = frame;
    req.fromAddr = ntohl(from.sin_addr.s_addr);
    req.fromPort = ntohs(from.sin_port);
    req.kind = KindOf(frame.size() > 1 ? frame[1] : 0, true);
    std::optional<std::string> reply;
    ListBehaviour b;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        b = PeekBehaviour(req.kind);
        std::string proper = HandleUdpFrame(frame, req.fromAddr, b.fault != ListFault::ErrorCode, &req);
        if (req.valid) {
            UseBehaviour(req.kind);
            reply = ApplyUdpFault(b, frame[1], proper);
        }
    }
    size_t seq = LogRequest(req);
    if (!reply) {
        return;
    }
    uint16_t toPort = req.port > 0 ? static_cast<uint16_t>(req.port) : req.fromPort;
    m_pendingUdp.push_back(
        {std::chrono::steady_clock::now() + std::chrono::milliseconds(b.delayMs), *reply, req.fromAddr, toPort, seq});
}

std::string ListServerSim::HandleUdpFrame(const std::string& frame, uint32_t addr, bool commit, ListRequest* req)
{
    if (frame.size() < 3 || frame[0] != '#' || frame.back() != '\n' || req->kind == ListKind::Unknown) {
        return {};
    }
    std::string block = frame.substr(2, frame.size() - 3);
    return req->kind == ListKind::HealthCheck ? HandleHealthCheck(block, addr, commit, req)
                                              : HandlePortCheck(block, req);
}

std::string ListServerSim::HandleHealthCheck(const std::string& block, uint32_t addr, bool commit, ListRequest* req)
{
    std::string_view b = block;
    if (b.size() < HEALTH_FIXED_LEN || !AllDigits(Get(b, HC_PORT))) {
        return {};
    }
    for (size_t off = HEALTH_FIXED_LEN; off < b.size();) {
        size_t left = b.size() - off;
        if (left < VAR_HEADER_LEN || !AllDigits(b.substr(off + 1, 4))) {
            return {};
        }
        size_t length = std::stoul(std::string(b.substr(off + 1, 4)));
        if (length > left - VAR_HEADER_LEN) {
            return {};
        }
        char kind = b[off];
        std::string_view data = b.substr(off + VAR_HEADER_LEN, length);
        if (kind == 'S' && data.size() % ID_LEN == 0) {
            req->hasS = true;
            for (size_t i = 0; i < data.size(); i += ID_LEN) {
                req->ids.push_back(Trim(data.substr(i, ID_LEN)));
            }
        } else if (kind == 'D' && data.size() == D_PART_LEN) {
            req->hasD = true;
            req->scTableHex = std::string(data.substr(0, 32));
            req->dModuration = data[32];
        } else if (kind == 'S' || kind == 'D') {
            return {};
        }
        off += VAR_HEADER_LEN + length;
    }
    req->valid = true;
    req->port = std::stoi(std::string(Get(b, HC_PORT)));
    req->servId = Trim(Get(b, HC_SERV_ID));
    req->radioId = Trim(Get(b, HC_RADIO_ID));

    for (ListRepeater& e : m_directory) {
        if (commit && !req->servId.empty() && e.servId == req->servId) {
            e.ipAddr = addr;  // the repeater is seen at the sender's address
        }
    }
    std::string params;
    if (req->hasS) {
        std::string entries;
        for (const std::string& id : req->ids) {
            auto it = std::find_if(m_directory.begin(), m_directory.end(),
                                   [&](const ListRepeater& e) { return !id.empty() && e.servId == id; });
            if (it != m_directory.end()) {
                entries += Pad(id, ID_LEN) + HexAddr(it->ipAddr);
            } else if (!id.empty() && id == req->servId) {
                entries += Pad(id, ID_LEN) + HexAddr(addr);
            } else {
                entries += std::string(HEALTH_ENTRY_LEN, ' ');
            }
        }
        params = "S" + Dec(static_cast<unsigned>(entries.size()), 4) + entries;
    }
    std::string after = std::string("$H0000") + params;
    return UdpHeader(after.size(), m_config.udpHeaderParam) + after;
}

std::string ListServerSim::HandlePortCheck(const std::string& block, ListRequest* req)
{
    std::string_view b = block;
    if (b.size() != PORT_BLOCK_LEN || !AllDigits(Get(b, PC_PORT))) {
        return {};
    }
    req->valid = true;
    req->port = std::stoi(std::string(Get(b, PC_PORT)));
    req->radioId = Trim(Get(b, PC_RADIO_ID));
    std::string after = "$P0000" + std::string(Get(b, PC_RADIO_ID));
    return UdpHeader(after.size(), m_config.udpHeaderParam) + after;
}

std::optional<std::string> ListServerSim::ApplyUdpFault(const ListBehaviour& b, char letter,
                                                        const std::string& proper) const
{
    size_t minimum = letter == 'H' ? UDP_COMMON_LEN : PORT_REPLY_LEN;
    std::string out = proper;
    switch (b.fault) {
        case ListFault::None:
            break;
        case ListFault::Silent:
            return std::nullopt;
        case ListFault::WrongLetter:
            out[UDP_HEADER_LEN + 1] = b.letter ? b.letter : OtherLetter(letter);
            break;
        case ListFault::BadDigits:
            out.replace(UDP_HEADER_LEN + 2, 4, Pad(b.code.empty() ? "00A1" : b.code, 4));
            break;
        case ListFault::ErrorCode: {
            std::string after = std::string("$") + letter + Pad(b.code.empty() ? "0102" : b.code, 4) +
                                proper.substr(UDP_COMMON_LEN, minimum - UDP_COMMON_LEN);
            out = UdpHeader(after.size(), m_config.udpHeaderParam) + after;
            break;
        }
        case ListFault::ShortRecord:
            out.resize(minimum - static_cast<size_t>(std::clamp(b.shortBy, 1, static_cast<int>(minimum))));
            break;
        case ListFault::LoneLf:
            out = "\n";
            break;
        case ListFault::Raw:
            out = b.raw;
            break;
        case ListFault::WrongId:
            if (letter == 'P') {
                out.replace(UDP_COMMON_LEN, ID_LEN, Pad(b.id, ID_LEN));
            } else if (out.size() >= UDP_COMMON_LEN + VAR_HEADER_LEN + HEALTH_ENTRY_LEN && out[UDP_COMMON_LEN] == 'S') {
                out.replace(UDP_COMMON_LEN + VAR_HEADER_LEN, ID_LEN, Pad(b.id, ID_LEN));
            }
            break;
    }
    return out;
}

// --- HTTP list file ------------------------------------------------------------------------

void ListServerSim::ServeHttp(int fd, uint32_t addr, uint16_t port)
{
    std::string head;
    char buf[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
        if (head.size() > MAX_HTTP_HEAD || WaitReadable(fd, m_stopPipe[0], -1) != 1) {
            break;
        }
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            break;
        }
        head.append(buf, static_cast<size_t>(n));
    }
    if (head.empty()) {
        return;
    }
    ListRequest req;
    req.kind = ListKind::Http;
    req.raw = head;
    req.fromAddr = addr;
    req.fromPort = port;
    std::string line = head.substr(0, head.find_first_of("\r\n"));
    size_t sp1 = line.find(' '), sp2 = line.find(' ', sp1 == std::string::npos ? sp1 : sp1 + 1);
    std::string protocol;
    if (sp1 != std::string::npos && sp2 != std::string::npos) {
        req.method = line.substr(0, sp1);
        req.url = line.substr(sp1 + 1, sp2 - sp1 - 1);
        protocol = line.substr(sp2 + 1);
    }
    size_t host = head.find("\nHost: ");
    if (host != std::string::npos) {
        req.host = head.substr(host + 7, head.find_first_of("\r\n", host + 7) - host - 7);
    }
    req.valid = protocol == "HTTP/1.0" || protocol == "HTTP/1.1";
    ListBehaviour b;
    std::string reply;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        b = req.valid ? PeekBehaviour(ListKind::Http) : ListBehaviour{};
        if (req.valid) {
            UseBehaviour(ListKind::Http);
        }
        int status = !req.valid ? 400 : req.method != "GET" ? 405 : req.url != m_config.listUrl ? 404 : 200;
        reply = HttpResponse(status, status == 200 ? m_config.listFile : std::string());
        if (b.fault == ListFault::ErrorCode) {
            reply = HttpResponse(b.code.empty() ? 500 : std::atoi(b.code.c_str()), std::string());
        } else if (b.fault == ListFault::Raw) {
            reply = b.raw;
        }
    }
    size_t seq = LogRequest(req);
    if (b.fault == ListFault::Silent) {
        DrainUntilClosed(fd, m_stopPipe[0], -1);
        return;
    }
    if (!DelayOrStop(b.delayMs)) {
        return;
    }
    LogReply(seq, reply);
    loopnet::WriteAll(fd, reply);
    Linger(fd, m_stopPipe[0]);
}

}  // namespace sim
