#include "http/server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/router.h"
#include "base/config.h"
#include "http/loopback.h"
#include "http/request.h"
#include "http/response.h"

namespace {

struct TimeLimitsGuard {
    HttpTimeouts saved = HttpTimeLimits;
    ~TimeLimitsGuard() { HttpTimeLimits = saved; }
};

// A listener on 0.0.0.0 holding a port, as another program would.
struct PortHolder {
    SockHandle s = SOCK_INVALID;
    explicit PortHolder(int port) {
        s = sock_tcp4();
        if (sock_bind_any4(s, port) != 0 || sock_listen(s, 4) != 0) {
            sock_close(s);
            s = SOCK_INVALID;
        }
    }
    ~PortHolder() { sock_close(s); }
    bool held() const { return s != SOCK_INVALID; }
};

// A port that is free now (the system's pick), with its neighbour above free too.
int free_port_pair() {
    for (int attempt = 0; attempt < 50; attempt++) {
        PortHolder probe(0);
        if (!probe.held()) continue;
        int port = sock_local_port(probe.s);
        if (port <= 0 || port >= 65535) continue;
        PortHolder next(port + 1);
        if (next.held()) return port;
    }
    return -1;
}

// The accept loop on a free port with handler and context, stopped when it goes out of scope
// (or at stop()); the running flag is then set again for the next test.
struct ServingLoop {
    int port = 0;
    std::thread loop;
    ServingLoop(HttpHandler handler, const void* context) {
        int base = free_port_pair();
        if (base <= 0 || srv_listen(base, &port) != 0) return;
        RunningFlag.store(1);
        loop = std::thread(srv_accept_loop, handler, context);
    }
    ServingLoop(const ServingLoop&) = delete;
    ServingLoop& operator=(const ServingLoop&) = delete;
    ~ServingLoop() { stop(); }
    bool running() const { return loop.joinable(); }
    void stop() {
        if (!loop.joinable()) return;
        srv_stop();
        loop.join();
        RunningFlag.store(1);
    }
};

// What the routes below are served with; the requests these tests send never reach the inbox.
const Config* route_config() {
    static Config config = [] {
        Config made{};
        config_init(&made, "/nonexistent/skf-inbox", "", DEFAULT_PORT);
        return made;
    }();
    return &config;
}

// Answers 204 and keeps the context it was handed.
std::atomic<const void*> SeenContext{nullptr};
void recording_handler(const void* context, HttpAnswer* answer, HttpConn*, HttpRequest*) {
    SeenContext.store(context);
    http_send_response(answer, 204, "text/plain", nullptr, 0, nullptr, 0);
}

// Handlers that break the one-answer rule: one forgets to answer, one answers twice.
void silent_handler(const void*, HttpAnswer*, HttpConn*, HttpRequest*) {}
void twice_answering_handler(const void*, HttpAnswer* answer, HttpConn*, HttpRequest*) {
    http_send_error(answer, "first", 404);
    http_send_error(answer, "second", 500);
}

// Runs http_serve_connection on the server end of a loopback pair.
struct ServedConnection {
    LoopbackPair pair;
    std::thread thread;
    bool ok = false;
    explicit ServedConnection(HttpHandler handler = api_route) {
        ok = pair.ok();
        SockHandle server = pair.server;
        pair.server = SOCK_INVALID;  // the connection thread owns and closes it
        thread = std::thread(
            [server, handler] { http_serve_connection(server, handler, route_config()); });
    }
    ~ServedConnection() {
        if (thread.joinable()) thread.join();
    }
};

const char NOT_FOUND_BODY[] = "{\"error\": \"没有这个页面\"}";
const char NO_INTERFACE_BODY[] = "{\"error\": \"没有这个接口\"}";

}  // namespace

TEST(Listener, ProbeRangeStopsAtTheTop) {
    const std::pair<int, int> cases[] = {
        {8620, 8639}, {65516, 65535}, {65530, 65535}, {65535, 65535}, {1, 20}};
    for (const auto& [base, last] : cases) EXPECT_EQ(srv_last_probe_port(base), last) << base;
}

TEST(Listener, TakenPortIsSkippedAndTheNextBound) {
    int port = free_port_pair();
    ASSERT_GT(port, 0);
    PortHolder other(port);
    ASSERT_TRUE(other.held());
    int bound = 0;
    ASSERT_EQ(srv_listen(port, &bound), 0);
    EXPECT_EQ(bound, port + 1);
    EXPECT_EQ(sock_local_port(ListenSocket), port + 1);
    // A second listener on the same port must fail: the port counts as taken.
    PortHolder second(port + 1);
    EXPECT_FALSE(second.held());
    sock_close(ListenSocket);
    ListenSocket = SOCK_INVALID;
    sock_cleanup();
}

TEST(Listener, NoWrapPastTheLastPort) {
    PortHolder top(65535);
    if (!top.held()) GTEST_SKIP() << "port 65535 is in use here";
    int bound = DEFAULT_PORT;
    EXPECT_EQ(srv_listen(65535, &bound), -1);
    EXPECT_EQ(ListenSocket, SOCK_INVALID);
    EXPECT_EQ(bound, DEFAULT_PORT);  // untouched on failure
}

TEST(Listener, ServesManyConnectionsInParallelAndStops) {
    ServingLoop serving(api_route, route_config());
    ASSERT_TRUE(serving.running());
    int bound = serving.port;

    // Every client holds its connection open until all have connected, so the answers can
    // only come from connections served side by side.
    constexpr int CLIENTS = 40;
    std::vector<SockHandle> clients;
    for (int i = 0; i < CLIENTS; i++) clients.push_back(sock_connect_loopback4(bound));
    for (SockHandle c : clients) {
        ASSERT_NE(c, SOCK_INVALID);
        LoopbackPair::send_on(c, "GET /nothing HTTP/1.0\r\n");
    }
    std::atomic<int> answered{0};
    std::vector<std::thread> readers;
    for (SockHandle c : clients) {
        readers.emplace_back([c, &answered] {
            LoopbackPair::send_on(c, "\r\n");
            std::string got = read_until_close(c);
            if (got.rfind("HTTP/1.0 404 Not Found\r\n", 0) == 0 &&
                got.size() > sizeof NOT_FOUND_BODY &&
                got.compare(got.size() - (sizeof NOT_FOUND_BODY - 1), std::string::npos,
                            NOT_FOUND_BODY) == 0)
                answered++;
        });
    }
    for (auto& r : readers) r.join();
    for (SockHandle c : clients) sock_close(c);
    EXPECT_EQ(answered.load(), CLIENTS);

    serving.stop();
    EXPECT_EQ(ListenSocket, SOCK_INVALID);
}

TEST(Listener, AtTheCapFurtherConnectionsWaitForAThreadToEnd) {
    struct LimitGuard {
        ~LimitGuard() { ConnectionLimit = MAX_CONNECTION_THREADS; }
    } limit_guard;
    ConnectionLimit = 2;
    ServingLoop serving(api_route, route_config());
    ASSERT_TRUE(serving.running());
    int bound = serving.port;
    auto wait_for_count = [](int wanted) {
        for (int i = 0; i < 200 && srv_connection_count() != wanted; i++) pause_ms(10);
        return srv_connection_count();
    };

    // Each holding connection has begun its head, so the system hands it over at once and it
    // keeps its thread waiting for the rest.
    auto holding = [bound] {
        SockHandle s = sock_connect_loopback4(bound);
        LoopbackPair::send_on(s, "GET /nothing HTTP/1.0\r\n");
        return s;
    };
    SockHandle idle[2];
    for (SockHandle& s : idle) s = holding();
    ASSERT_EQ(wait_for_count(2), 2);
    SockHandle waiting = sock_connect_loopback4(bound);
    ASSERT_TRUE(LoopbackPair::send_on(waiting, "GET /nothing HTTP/1.0\r\n\r\n"));
    char byte = 0;
    EXPECT_EQ(sock_recv(waiting, &byte, 1, 300), SOCK_TIMEOUT);
    EXPECT_EQ(srv_connection_count(), 2);

    // An idle connection that ends frees its thread, and the waiting one is served at once.
    sock_close(idle[0]);
    std::string got = read_until_close(waiting, 2000);
    EXPECT_EQ(got.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u);
    sock_close(waiting);

    // A full server still stops.
    idle[0] = holding();
    ASSERT_EQ(wait_for_count(2), 2);
    serving.stop();
    for (SockHandle s : idle) sock_close(s);
    EXPECT_EQ(wait_for_count(0), 0);
}

// Every handler gets the context the loop was started with, through the connection thread.
TEST(Listener, HandlersReceiveTheLoopsContextUnchanged) {
    const int marker = 0;
    SeenContext.store(nullptr);
    ServingLoop serving(recording_handler, &marker);
    ASSERT_TRUE(serving.running());
    int bound = serving.port;

    SockHandle client = sock_connect_loopback4(bound);
    EXPECT_NE(client, SOCK_INVALID);
    LoopbackPair::send_on(client, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(read_until_close(client).rfind("HTTP/1.0 204 ", 0), 0u);
    sock_close(client);
    EXPECT_EQ(SeenContext.load(), &marker);
}

// Answers 204 and notes the thread that served the request.
std::mutex ServingThreadsLock;
std::vector<std::thread::id> ServingThreads;
void thread_noting_handler(const void*, HttpAnswer* answer, HttpConn*, HttpRequest*) {
    {
        std::lock_guard<std::mutex> hold(ServingThreadsLock);
        ServingThreads.push_back(std::this_thread::get_id());
    }
    http_send_response(answer, 204, "text/plain", nullptr, 0, nullptr, 0);
}

// A thread that has served its connection takes the next one, while a connection that
// keeps its thread waiting (a client that sends nothing) holds up no other.
TEST(Listener, AThreadThatServedTakesTheNextConnectionWhileAHeldOneKeepsItsOwn) {
    ServingThreads.clear();
    ServingLoop serving(thread_noting_handler, route_config());
    ASSERT_TRUE(serving.running());
    int bound = serving.port;
    auto wait_until = [](auto done) {
        for (int i = 0; i < 500 && !done(); i++) pause_ms(10);
        return done();
    };

    // Its head begun, the held connection is handed over at once and keeps its thread waiting.
    SockHandle held = sock_connect_loopback4(bound);
    ASSERT_TRUE(LoopbackPair::send_on(held, "GET / HTTP/1.0\r\n"));
    ASSERT_TRUE(wait_until([] { return srv_connection_count() == 1; }));
    // Threads an earlier test left parked may take a connection too.
    size_t parked_at_start = static_cast<size_t>(srv_parked_thread_count());
    for (int round = 0; round < 3; round++) {
        SockHandle client = sock_connect_loopback4(bound);
        ASSERT_TRUE(LoopbackPair::send_on(client, "GET / HTTP/1.0\r\n\r\n"));
        EXPECT_EQ(read_until_close(client, 2000).rfind("HTTP/1.0 204 ", 0), 0u);
        sock_close(client);
        // Parked again before the next connection comes, so that one is its to take.
        ASSERT_TRUE(wait_until(
            [] { return srv_connection_count() == 1 && srv_parked_thread_count() >= 1; }));
    }
    {
        std::lock_guard<std::mutex> hold(ServingThreadsLock);
        ASSERT_EQ(ServingThreads.size(), 3u);
        std::vector<std::thread::id> distinct = ServingThreads;
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        EXPECT_LE(distinct.size(), parked_at_start + 1);
    }
    EXPECT_EQ(srv_connection_count(), 1);
    sock_close(held);
}

TEST(Connection, EveryRequestGetsExactlyOneAnswer) {
    struct Case {
        HttpHandler handler;
        std::string answer;
    };
    const Case cases[] = {
        {silent_handler,
         "HTTP/1.0 500 Internal Server Error\r\n"
         "{\"error\": \"服务器内部错误\"}"},
        {twice_answering_handler, "HTTP/1.0 404 Not Found\r\n{\"error\": \"first\"}"},
    };
    for (const Case& c : cases) {
        ServedConnection served(c.handler);
        ASSERT_TRUE(served.ok);
        served.pair.send("GET / HTTP/1.0\r\n\r\n");
        std::string got = read_until_close(served.pair.client);
        size_t blank = got.find("\r\n\r\n");
        ASSERT_NE(blank, std::string::npos) << got;
        EXPECT_EQ(got.substr(0, got.find("\r\n") + 2) + got.substr(blank + 4), c.answer);
    }
}

TEST(Connection, SilentClientIsClosedAfterTheHeadTimeOut) {
    TimeLimitsGuard guard;
    HttpTimeLimits.head_ms = 300;
    ServedConnection c;
    ASSERT_TRUE(c.ok);
    auto start = std::chrono::steady_clock::now();
    bool closed = false;
    EXPECT_EQ(read_until_close(c.pair.client, 5000, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(Connection, MalformedRequestLineGetsBareBadRequest) {
    ServedConnection c;
    ASSERT_TRUE(c.ok);
    c.pair.send("GET /only-two\r\nHost: x\r\n\r\n");
    std::string got = read_until_close(c.pair.client);
    EXPECT_EQ(got.rfind("HTTP/1.0 400 Bad Request\r\nServer: Skiffbox/1.0.0 \r\nDate: ", 0), 0u);
    EXPECT_EQ(got.substr(got.size() - 27), " GMT\r\nContent-Length: 0\r\n\r\n");
}

TEST(Connection, UnreadBodyIsDrainedSoTheAnswerArrives) {
    ServedConnection c;
    ASSERT_TRUE(c.ok);
    // The answer comes before the body is read; closing with the body unread would reset
    // the connection and could destroy the answer on its way.
    const std::string body(3 * 1024 * 1024, 'b');
    c.pair.send("POST /api/nothing HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n\r\n" + body.substr(0, 100));
    pause_ms(100);
    ASSERT_TRUE(c.pair.send(body.substr(100)));
    bool closed = false;
    std::string got = read_until_close(c.pair.client, 5000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u);
    EXPECT_EQ(got.substr(got.size() - (sizeof NO_INTERFACE_BODY - 1)), NO_INTERFACE_BODY);
}
