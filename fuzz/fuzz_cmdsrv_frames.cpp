// Fuzzes the command server's two TCP readers through loopback connections:
// the same bytes go once to the setting port (text line loop) and once to the
// data port (binary frame reader). What the owner receives, and the echo the
// client reads back, are checked against a model of the rules written here;
// any difference aborts, and the sanitizers catch any access outside a
// buffer. Debug output stays off.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "cmdsrv.h"
#include "sockutil.h"

namespace {

constexpr size_t FUZZ_INPUT_MAX = 4096;
constexpr size_t MODEL_LINE_MAX = 511;
constexpr size_t MODEL_FRAME_MAX = 1452;

struct Connection {
    std::mutex mutex;
    std::condition_variable ended;
    std::vector<std::string> received;  // lines or frames, in order
    bool accepted = false;
    bool disconnected = false;
} s_connection;

WORD s_nSettingPort = 0;
WORD s_nDataPort = 0;

void Require(bool property)
{
    if (!property) {
        std::abort();
    }
}

void OnEvent(LPVOID, DWORD nEvent, LPVOID pData, int nLen, LPVOID)
{
    std::lock_guard<std::mutex> lock(s_connection.mutex);
    if (nEvent == CMDSRV_EVENT_ACCEPT) {
        s_connection.accepted = true;
    } else if (nEvent == CMDSRV_EVENT_RX_SETTING || nEvent == CMDSRV_EVENT_RX_CMD) {
        Require(nLen >= 0 && pData != nullptr);
        s_connection.received.emplace_back(static_cast<const char*>(pData), static_cast<size_t>(nLen));
        if (nEvent == CMDSRV_EVENT_RX_SETTING) {
            Require(static_cast<const char*>(pData)[nLen] == '\0');
        }
    } else if (nEvent == CMDSRV_EVENT_DISCONNECT) {
        s_connection.disconnected = true;
        s_connection.ended.notify_all();
    }
}

WORD FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// Sends the bytes, half-closes, and returns everything the server sends back
// until it closes; the client's close then resets, leaving no TIME_WAIT.
std::string Exchange(WORD nPort, const uint8_t* data, size_t size)
{
    {
        std::lock_guard<std::mutex> lock(s_connection.mutex);
        s_connection.received.clear();
        s_connection.accepted = false;
        s_connection.disconnected = false;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(nPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Require(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0);
    for (size_t done = 0; done < size;) {
        ssize_t n = send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n <= 0) {
            break;  // the server closed early (a frame too large)
        }
        done += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    std::string back;
    char buf[4096];
    pollfd pfd = {fd, POLLIN, 0};
    while (poll(&pfd, 1, 5000) == 1) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            break;
        }
        back.append(buf, static_cast<size_t>(n));
    }
    linger reset = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(fd);
    std::unique_lock<std::mutex> lock(s_connection.mutex);
    Require(s_connection.ended.wait_for(lock, std::chrono::seconds(5), [] { return s_connection.disconnected; }));
    Require(s_connection.accepted);
    return back;
}

// The line rules, stated independently of the server's editor.
std::vector<std::string> ModelLines(const uint8_t* data, size_t size, size_t* pLineEnds)
{
    std::vector<std::string> lines;
    std::string line;
    *pLineEnds = 0;
    for (size_t i = 0; i < size; ++i) {
        uint8_t c = data[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            ++*pLineEnds;
        } else if (c == 0x08) {
            if (!line.empty()) {
                line.pop_back();
            }
        } else if (c == 0x1B) {
            line.clear();
        } else if ((c == '\t' || (c >= 0x20 && c <= 0x7F)) && line.size() < MODEL_LINE_MAX) {
            line.push_back(c == '\t' ? ' ' : static_cast<char>(c));
        }
    }
    return lines;
}

// Whole frames in order, up to the first one that is incomplete or too large.
std::vector<std::string> ModelFrames(const uint8_t* data, size_t size)
{
    std::vector<std::string> frames;
    size_t at = 0;
    while (size - at >= 4) {
        size_t total = 4 + (static_cast<size_t>(data[at + 1]) << 8) + data[at + 2];
        if (total > MODEL_FRAME_MAX || size - at < total) {
            break;
        }
        frames.emplace_back(reinterpret_cast<const char*>(data + at), total);
        at += total;
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    WinEmu_Init();
    Sock_Construct();
    Require(Sock_Init());
    CmdServer_Construct();
    Require(CmdServer_Init());
    CmdServer_SetCallback(OnEvent, nullptr);
    s_nSettingPort = FreePort();
    s_nDataPort = FreePort();
    Require(CmdServer_Start(s_nDataPort, 0, s_nSettingPort));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > FUZZ_INPUT_MAX) {
        size = FUZZ_INPUT_MAX;
    }
    size_t nLineEnds = 0;
    std::vector<std::string> lines = ModelLines(data, size, &nLineEnds);
    std::string echo = Exchange(s_nSettingPort, data, size);
    std::string expectedEcho;
    for (size_t i = 0; i < nLineEnds; ++i) {
        expectedEcho += "\r\n";
    }
    Require(echo == expectedEcho);
    Require(s_connection.received == lines);

    std::vector<std::string> frames = ModelFrames(data, size);
    Require(Exchange(s_nDataPort, data, size).empty());
    Require(s_connection.received == frames);
    return 0;
}
