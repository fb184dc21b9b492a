// The HTTP module: its response reader fed bytes, its client and its server against raw loopback peers.
#include "httpcomm.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "loopnet.h"
#include "sockutil.h"
#include "test_support.h"

namespace {

// The test clock stands still; the deadline only keeps a faulty build from hanging.
template <class Future>
bool Ends(Future& f)
{
    return f.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

// Reads each of `connections` requests up to its empty line, writes `answer`, then closes
// or, with hold, keeps the connection; `request` is the last one once WaitRequests saw it.
struct RawServer {
    RawServer(std::string answer, bool hold, int connections = 1)
        : thread([this, answer, hold, connections] {
              while (requests.load() < connections && !stop) {
                  int fd = loopnet::AcceptFor(listener, 100);
                  std::string text;
                  for (std::string byte = "-"; fd >= 0 && !byte.empty() && !text.ends_with("\r\n\r\n"); text += byte) {
                      byte = loopnet::ReadFor(fd, 1, 5000);
                  }
                  if (fd >= 0) {
                      request = text;
                      loopnet::WriteAll(fd, answer);
                      hold ? held.push_back(fd) : static_cast<void>(close(fd));
                      requests.fetch_add(1);
                  }
              }
          })
    {
    }
    ~RawServer()
    {
        stop = true;
        thread.join();
        for (int fd : held) {
            close(fd);
        }
        close(listener);
    }
    WORD port() const { return loopnet::LocalPort(listener); }
    bool WaitRequests(int n) const
    {
        for (int i = 0; i < 4000 && requests.load() < n; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return requests.load() >= n;
    }

    int listener = loopnet::ListenTcp(0);
    std::atomic<bool> stop{false};
    std::atomic<int> requests{0};
    std::vector<int> held;
    std::string request;
    std::thread thread;
};

struct Fetch {
    BOOL ok = FALSE;
    HTTP_PARAM param{};
    std::vector<char> body;
};

// One GET, or a parse of response, into exactly nMaxDataLen + 1 bytes: the sanitizers see an overrun.
Fetch Get(WORD port, int nMaxDataLen, long lRxTimeout = 0, const std::string* response = nullptr)
{
    Fetch f;
    snprintf(f.param.szUrl, sizeof(f.param.szUrl), "/list/a.txt");
    f.param.bSetTimeout = lRxTimeout > 0;
    f.param.Timeout = HTTP_TIMEOUT{2000, 2000, lRxTimeout};
    f.body.assign(static_cast<size_t>(nMaxDataLen) + 1, 'X');
    f.ok = response != nullptr ? HTTP_ParseResponse(response->data(), static_cast<int>(response->size()), &f.param,
                                                    f.body.data(), nMaxDataLen, nullptr)
                               : HTTP_Get(&f.param, port, loopnet::LOOPBACK, f.body.data(), nMaxDataLen);
    return f;
}

std::future<Fetch> GetAsync(WORD port, long lRxTimeout = 0)
{
    return std::async(std::launch::async, [port, lRxTimeout] { return Get(port, 100, lRxTimeout); });
}

class Http : public ::testing::Test {
protected:
    static void SetUpTestSuite() { WinEmu_Init(); }
    void SetUp() override
    {
        Sock_Construct();
        ASSERT_TRUE(Sock_Init());
        HTTP_Construct();
        ASSERT_TRUE(HTTP_Init());
    }
    void TearDown() override
    {
        HTTP_Destruct();
        Sock_Destruct();
    }
};

// The end of the bytes stands for the peer's close.
TEST(HttpResponseParser, StatusHeadersAndBodyFollowTheRulesWithoutOverrun)
{
    testsupport::DebugCapture quiet;
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const struct {
        std::string answer;
        int max;
        bool ok;
        std::string body{}, type{};
    } cases[] = {
        {"HTTP/1.0 200 OK\r\ncontent-length: 10\r\ncontent-type: text/plain; charset=x\r\n\r\n0123456789ABC", 1023,
         true, "0123456789", "text/plain"},
        {ok + "Content-Length: 1023\r\n\r\n" + std::string(1023, 'a'), 1023, false},
        {ok + "Content-Length: 1022\r\n\r\n" + std::string(1022, 'b'), 1023, true, std::string(1022, 'b')},
        {ok + "Server: raw\r\n\r\n" + std::string(300, 'c'), 1023, true, std::string(300, 'c')},  // to the close
        {ok + "\r\n" + std::string(2000, 'z'), 100, true, std::string(100, 'z')},
        {ok + "Content-Length: 50\r\n\r\n" + std::string(20, 'd'), 1023, false},
        {ok + "Just some words\r\n\r\nbody", 10, false},
        {"HTTP/2.0 200 OK\r\n\r\n", 10, false},
        {"HTTP/1.1\r\n\r\n", 10, false},
        {"HTTP/1.1 2x0 OK\r\n\r\n", 10, false},
        {ok + "Content-Length: 4294967297\r\n\r\nab", 10, false},  // must not wrap to 1
        {ok + "Content-Type: " + std::string(32, 't') + "\r\n\r\n", 10, false},
        {ok + "Content-Type: " + std::string(31, 't') + "\r\n\r\n", 10, true, "", std::string(31, 't')},
        {ok + "X: " + std::string(2044, 'x') + "\r\n\r\n", 10, false},  // 2048 bytes without LF
        {ok + "X: " + std::string(2043, 'x') + "\r\n\r\n", 10, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.substr(0, 60));
        Fetch f = Get(0, c.max, 0, &c.answer);
        ASSERT_EQ(bool(f.ok), c.ok);
        if (c.ok) {
            EXPECT_EQ(std::make_tuple(std::string(f.body.data()), f.param.nLength, std::string(f.param.szType)),
                      std::make_tuple(c.body, static_cast<int>(c.body.size()), c.type));
        }
    }
    HTTP_PARAM param{};
    const std::string headersOnly = "HTTP/1.1 201 Created\r\nContent-Length: 7\r\n\r\nignored";
    EXPECT_TRUE(HTTP_ParseResponse(headersOnly.data(), static_cast<int>(headersOnly.size()), &param, nullptr, 0,
                                   nullptr));  // no buffer: any length is fine
    EXPECT_EQ(param.nLength, 7);
}

// The server keeps the connection open: only the announced length can end the body.
TEST_F(Http, GetSendsTheExactRequestTakesABodyUpToItsLengthAndFailsAtTheGivenOrTheDefaultReceiveTimeout)
{
    RawServer server("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!", true);
    auto fetch = GetAsync(server.port());
    ASSERT_TRUE(Ends(fetch));
    Fetch f = fetch.get();
    EXPECT_EQ(std::make_tuple(f.ok, f.param.nRetCode, std::string(f.body.data())),
              std::make_tuple(TRUE, 404, std::string("not here!")));
    ASSERT_TRUE(server.WaitRequests(1));
    EXPECT_EQ(server.request,
              "GET /list/a.txt HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n\r\n");

    RawServer silent("HTTP/1.1 200 OK\r\n", true, 2);  // status line, then nothing
    auto given = GetAsync(silent.port(), 300);
    ASSERT_TRUE(Ends(given));  // with the default it would wait 30 s
    EXPECT_FALSE(given.get().ok);
    fetch = GetAsync(silent.port());
    ASSERT_TRUE(silent.WaitRequests(2));
    // Not a duration: without a move of the test clock it cannot end.
    EXPECT_EQ(fetch.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    // The client may not have begun its next line yet, hence a second jump.
    for (int i = 0; i < 2 && fetch.wait_for(std::chrono::milliseconds(500)) != std::future_status::ready; ++i) {
        WinEmu_AdvanceTicksForTest(30001);
    }
    ASSERT_TRUE(Ends(fetch));
    EXPECT_FALSE(fetch.get().ok);
}

TEST_F(Http, SixtyFifthConnectionIsRefusedAndCancelEndsTheOthers)
{
    RawServer server("", true, HTTP_SOCK_TABLE_SIZE);
    std::vector<std::future<Fetch>> fetches;
    for (int i = 0; i < HTTP_SOCK_TABLE_SIZE; ++i) {
        fetches.push_back(GetAsync(server.port()));
    }
    ASSERT_TRUE(server.WaitRequests(HTTP_SOCK_TABLE_SIZE));
    EXPECT_FALSE(Get(server.port(), 100).ok);
    HTTP_CancelAll();
    for (auto& f : fetches) {
        ASSERT_TRUE(Ends(f));
        EXPECT_FALSE(f.get().ok);
    }
    RawServer after("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false);
    EXPECT_TRUE(Get(after.port(), 100).ok);  // every entry was given back
}

// Records the events; echoes a POST body, answers "hello" to a GET, without a length when asked to.
struct ServerLog {
    std::mutex mutex;
    std::vector<unsigned> events;
    std::vector<std::string> urls;
    std::atomic<int> acceptResult{200};
    std::atomic<bool> lengthless{false};
};

int ServeEcho(LPVOID pClient, unsigned uEvent, LPVOID pParam)
{
    ServerLog* log = static_cast<ServerLog*>(pParam);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->events.push_back(uEvent);
    HTTP_PARAM* request = HTTP_GetParam(pClient);
    if (uEvent == HTTP_EVENT_ACCEPT || uEvent == HTTP_EVENT_DISCONNECT) {
        return uEvent == HTTP_EVENT_ACCEPT ? log->acceptResult.load() : 200;
    }
    char body[64] = "hello";
    if (uEvent == HTTP_EVENT_POST && !HTTP_Receive(pClient, body, sizeof(body))) {
        return HTTP_Reply(pClient, 400, nullptr, 0);
    }
    log->urls.push_back(request->szUrl);
    snprintf(request->szType, sizeof(request->szType), "text/plain");
    if (log->lengthless) {
        return HTTP_Reply(pClient, 200, nullptr, 0) && HTTP_Send(pClient, nullptr, 0);
    }
    return HTTP_Reply(pClient, 200, body, static_cast<int>(strlen(body)));
}

std::string Exchange(WORD port, const std::string& request)
{
    int fd = loopnet::ConnectTcp(port);
    std::string answer = loopnet::WriteAll(fd, request) ? loopnet::ReadFor(fd, 4096, 5000) : "";
    close(fd);
    return answer;
}

TEST_F(Http, ServerAnswersRawAndOwnClientsExactlyAndRaisesNoRequestEventForARefusedOrBadOne)
{
    ServerLog log;
    HTTP_SetCallback(ServeEcho, &log);
    WORD port = loopnet::FreePort(SOCK_STREAM);
    ASSERT_TRUE(HTTP_Start(port));
    EXPECT_EQ(Exchange(port, "GET /path/x HTTP/1.1\r\nHost: unit\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_TRUE(Exchange(port, "POST /post HTTP/1.1\r\nContent-Length: 9\r\n\r\nping-pong")
                    .ends_with("Content-Length: 9\r\n\r\nping-pong"));
    log.lengthless = true;  // such an answer ends with the server's close
    EXPECT_TRUE(Exchange(port, "GET /nolength HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 200 OK\r\n"));
    log.lengthless = false;

    Fetch mine;
    snprintf(mine.param.szUrl, sizeof(mine.param.szUrl), "/own");
    char answer[64] = {};
    EXPECT_TRUE(HTTP_Post(&mine.param, port, loopnet::LOOPBACK, "abc", 3, answer, sizeof(answer) - 1));
    EXPECT_STREQ(answer, "abc");
    EXPECT_STREQ(mine.param.szType, "text/plain");

    log.acceptResult = 403;
    EXPECT_FALSE(Get(port, 100).ok);
    log.acceptResult = 200;
    EXPECT_EQ(Exchange(port, "BREW /pot HTTP/1.1\r\n\r\n"), "");
    HTTP_Stop();  // joins the connections, so every event is in
    std::lock_guard<std::mutex> lock(log.mutex);
    EXPECT_EQ(log.urls, (std::vector<std::string>{"/path/x", "/post", "/nolength", "/own"}));
    // A connection's disconnect may be reported after the next one's accept.
    std::vector<unsigned> sorted = log.events;
    std::sort(sorted.begin(), sorted.end());
    const unsigned A = HTTP_EVENT_ACCEPT, D = HTTP_EVENT_DISCONNECT, G = HTTP_EVENT_GET, P = HTTP_EVENT_POST;
    ASSERT_EQ(sorted, (std::vector<unsigned>{A, A, A, A, A, A, D, D, D, D, D, G, G, P, P}));
    EXPECT_EQ(std::make_tuple(log.events[0], log.events[1], log.events.back()), std::make_tuple(A, G, D));
}

}  // namespace
