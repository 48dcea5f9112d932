#include "api/router.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include "base/config.h"
#include "http/loopback.h"
#include "http/server.h"
#include "web/page.h"

namespace {

// A configuration for requests that never reach the inbox.
const Config* no_inbox_config() {
    static Config config = [] {
        Config made{};
        config_init(&made, "/nonexistent/skf-inbox", "", DEFAULT_PORT);
        return made;
    }();
    return &config;
}

// Serves one connection in-process with config and returns everything the server sent for
// the request.
std::string exchange(const std::string& request, const Config* config = no_inbox_config()) {
    LoopbackPair pair;
    if (!pair.ok()) return "(no connection)";
    SockHandle server = pair.server;
    pair.server = SOCK_INVALID;
    std::thread serving([server, config] { http_serve_connection(server, api_route, config); });
    pair.send(request);
    std::string got = read_until_close(pair.client);
    serving.join();
    return got;
}

std::string status_line(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

std::string body_of(const std::string& response) {
    size_t split = response.find("\r\n\r\n");
    return split == std::string::npos ? "" : response.substr(split + 4);
}

bool has_line(const std::string& response, const std::string& line) {
    return response.find("\r\n" + line + "\r\n") != std::string::npos;
}

const std::string PAGE(PAGE_HTML, PAGE_HTML_LEN);
const std::string NO_PAGE = "{\"error\": \"没有这个页面\"}";
const std::string NO_INTERFACE = "{\"error\": \"没有这个接口\"}";

}  // namespace

TEST(Router, MethodsAndPaths) {
    struct Case {
        std::string request;
        std::string status;
        std::string body;
    };
    const Case cases[] = {
        {"GET / HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK", PAGE},
        {"GET /index.html?x=1#top HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK", PAGE},
        {"GET /%69ndex.html HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK", PAGE},
        {"HEAD / HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK", PAGE},
        {"GET /favicon.ico HTTP/1.0\r\n\r\n", "HTTP/1.0 204 No Content", ""},
        {"GET /foo HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found", NO_PAGE},
        {"GET /f HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found", NO_PAGE},
        {"GET index.html HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found", NO_PAGE},
        {"GET /INDEX.HTML HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found", NO_PAGE},
        {"GET /index.html%00 HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found", NO_PAGE},
        {"POST /api/nothing HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.0 404 Not Found",
         NO_INTERFACE},
        {"POST / HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found", NO_INTERFACE},
        {"get / HTTP/1.0\r\n\r\n", "HTTP/1.0 501 Unsupported method", ""},
        {"PUT /x HTTP/1.0\r\n\r\n", "HTTP/1.0 501 Unsupported method", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        std::string got = exchange(c.request);
        EXPECT_EQ(status_line(got), c.status);
        EXPECT_EQ(body_of(got), c.body);
        EXPECT_TRUE(has_line(got, "Content-Length: " + std::to_string(c.body.size())));
    }
}

TEST(Router, ContentTypes) {
    EXPECT_TRUE(
        has_line(exchange("GET / HTTP/1.0\r\n\r\n"), "Content-Type: text/html; charset=utf-8"));
    EXPECT_TRUE(
        has_line(exchange("GET /favicon.ico HTTP/1.0\r\n\r\n"), "Content-Type: image/x-icon"));
    EXPECT_TRUE(
        has_line(exchange("DELETE / HTTP/1.0\r\n\r\n"), "Content-Type: text/html; charset=utf-8"));
    EXPECT_TRUE(has_line(exchange("GET /x HTTP/1.0\r\n\r\n"),
                         "Content-Type: application/json; charset=utf-8"));
}

// The configuration the connection was served with is the one GET and POST endpoints use.
TEST(Router, EndpointsUseTheGivenConfiguration) {
    namespace stdfs = std::filesystem;
    stdfs::path inbox =
        stdfs::temp_directory_path() / ("skf-router-" + std::to_string(std::random_device{}()));
    Config config{};
    ASSERT_EQ(config_init(&config, inbox.string().c_str(), "192.168.7.7", 8777), 0);
    stdfs::create_directories(config.state_dir);

    std::string info = body_of(exchange("GET /api/info HTTP/1.0\r\n\r\n", &config));
    EXPECT_NE(info.find("\"port\": 8777"), std::string::npos) << info;
    EXPECT_NE(info.find("\"base\": \"http://192.168.7.7:8777\""), std::string::npos) << info;
    EXPECT_NE(info.find("\"inbox\": \"" + inbox.string() + "\""), std::string::npos) << info;

    std::string posted = exchange(
        "POST /api/text HTTP/1.0\r\nContent-Length: 14\r\n\r\n{\"text\": \"hi\"}", &config);
    EXPECT_EQ(status_line(posted), "HTTP/1.0 200 OK");
    std::ifstream stored(stdfs::path(config.state_dir) / "texts.json");
    std::string texts((std::istreambuf_iterator<char>(stored)), std::istreambuf_iterator<char>());
    EXPECT_NE(texts.find("\"text\": \"hi\""), std::string::npos) << texts;

    std::error_code ignored;
    stdfs::remove_all(inbox, ignored);
}

// The front door stands before every route and method: a foreign Host is refused even where
// a route would answer 404 or 501, with the address to open instead; a foreign Origin only
// matters to methods that change something. No answer invites other sites in.
TEST(RouterFrontDoor, RefusesBeforeRouting) {
    Config config{};
    ASSERT_EQ(config_init(&config, "/nonexistent/skf-inbox", "10.9.8.7", 8620), 0);
    const std::string foreign = "{\"error\": \"只能用本机地址访问，请打开 http://10.9.8.7:8620\"}";
    const std::string cross_site = "{\"error\": \"跨站请求被拒绝\"}";
    struct Case {
        std::string request;
        std::string status;
        std::string body;
    };
    const Case cases[] = {
        {"GET /nothing HTTP/1.0\r\nHost: evil.example:8620\r\n\r\n", "HTTP/1.0 403 Forbidden",
         foreign},
        {"PUT / HTTP/1.0\r\nHost: evil.example\r\n\r\n", "HTTP/1.0 403 Forbidden", foreign},
        {"GET /nothing HTTP/1.0\r\nHost: 10.9.8.7:8620\r\nOrigin: http://evil.example\r\n\r\n",
         "HTTP/1.0 404 Not Found", NO_PAGE},
        {"POST /nothing HTTP/1.0\r\nHost: 127.0.0.1:8620\r\nOrigin: http://evil.example\r\n\r\n",
         "HTTP/1.0 403 Forbidden", cross_site},
        {"DELETE / HTTP/1.0\r\nOrigin: null\r\n\r\n", "HTTP/1.0 403 Forbidden", cross_site},
        {"POST /nothing HTTP/1.0\r\nOrigin: http://10.9.8.7:8620\r\n\r\n", "HTTP/1.0 404 Not Found",
         NO_INTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        const Config* served_with = &config;
        std::string got = exchange(c.request, served_with);
        EXPECT_EQ(status_line(got), c.status);
        EXPECT_EQ(body_of(got), c.body);
        EXPECT_EQ(got.find("Access-Control-"), std::string::npos);
    }
}
