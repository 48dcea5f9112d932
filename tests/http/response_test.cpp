#include "http/response.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "http/loopback.h"

namespace {

// "Tue, 09 Dec 2025 02:40:05 GMT": names, digits and punctuation where they belong.
bool looks_like_http_date(const std::string& d) {
    const std::string shape = "Aaa, 00 Aaa 0000 00:00:00 GMT";
    if (d.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); i++) {
        char want = shape[i];
        char c = d[i];
        bool fits = want == '0'   ? (c >= '0' && c <= '9')
                    : want == 'A' ? (c >= 'A' && c <= 'Z')
                    : want == 'a' ? (c >= 'a' && c <= 'z')
                                  : c == want;
        if (i >= 26) fits = c == want;  // the literal "GMT"
        if (!fits) return false;
    }
    return true;
}

// The Date line changes with the clock; tests compare everything else byte for byte.
std::string without_date(const std::string& head) {
    size_t start = head.find("\r\nDate: ");
    if (start == std::string::npos) return head;
    start += 8;
    size_t end = head.find("\r\n", start);
    if (end == std::string::npos || !looks_like_http_date(head.substr(start, end - start)))
        return head;
    return head.substr(0, start) + "*" + head.substr(end);
}

}  // namespace

TEST(Response, ReasonPhrases) {
    const std::pair<int, const char*> cases[] = {
        {200, "OK"},
        {201, "Created"},
        {204, "No Content"},
        {206, "Partial Content"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {409, "Conflict"},
        {412, "Precondition Failed"},
        {413, "Content Too Large"},
        {415, "Unsupported Media Type"},
        {416, "Requested Range Not Satisfiable"},
        {429, "Too Many Requests"},
        {500, "Internal Server Error"},
        {501, "Unsupported method"},
        {503, "Service Unavailable"},
        // Statuses the server never sends keep the old fallback.
        {202, "OK"},
        {405, "Unsupported method"},
    };
    for (const auto& [status, text] : cases) EXPECT_STREQ(http_status_text(status), text) << status;
}

TEST(Response, DateFormat) {
    const std::pair<int64_t, const char*> cases[] = {
        {1765248005, "Tue, 09 Dec 2025 02:40:05 GMT"},
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
        {1709251199, "Thu, 29 Feb 2024 23:59:59 GMT"},
        {4102444800, "Fri, 01 Jan 2100 00:00:00 GMT"},
        {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},
    };
    for (const auto& [seconds, text] : cases) {
        char buf[HTTP_DATE_BYTES];
        http_format_date(seconds, buf);
        EXPECT_STREQ(buf, text) << seconds;
    }
    char now[HTTP_DATE_BYTES];
    http_date(now);
    EXPECT_TRUE(looks_like_http_date(now)) << now;
}

TEST(Response, HeadLayout) {
    StrBufOwner head;
    http_format_head(head.get(), 404, "application/json; charset=utf-8", 27, nullptr, 0);
    EXPECT_EQ(without_date(head.c_str()),
              "HTTP/1.0 404 Not Found\r\n"
              "Server: Skiffbox/1.0.0 \r\n"
              "Date: *\r\n"
              "Content-Type: application/json; charset=utf-8\r\n"
              "Content-Length: 27\r\n"
              "Cache-Control: no-store\r\n"
              "X-Frame-Options: SAMEORIGIN\r\n"
              "Content-Security-Policy: frame-ancestors 'self'\r\n"
              "\r\n");

    const HttpExtraHeader extra[2] = {{"Cache-Control", "public, max-age=300"}, {"X-B", "2"}};
    StrBufOwner one;
    http_format_head(one.get(), 200, "image/svg+xml; charset=utf-8", 5000000000ull, extra, 1);
    EXPECT_EQ(without_date(one.c_str()),
              "HTTP/1.0 200 OK\r\n"
              "Server: Skiffbox/1.0.0 \r\n"
              "Date: *\r\n"
              "Content-Type: image/svg+xml; charset=utf-8\r\n"
              "Content-Length: 5000000000\r\n"
              "Cache-Control: no-store\r\n"
              "Cache-Control: public, max-age=300\r\n"
              "X-Frame-Options: SAMEORIGIN\r\n"
              "Content-Security-Policy: frame-ancestors 'self'\r\n"
              "\r\n");

    StrBufOwner two;  // any count other than 1 adds no extra line
    http_format_head(two.get(), 200, "text/html; charset=utf-8", 0, extra, 2);
    EXPECT_EQ(std::string(two.c_str()).find("X-B"), std::string::npos);
    EXPECT_EQ(std::string(two.c_str()).find("max-age"), std::string::npos);
}

TEST(Response, ErrorBodyIsEscapedJson) {
    struct Case {
        const char* message;
        int status;
        std::string status_line;
        std::string body;
    };
    const Case cases[] = {
        {"没有这个接口", 404, "HTTP/1.0 404 Not Found",
         "{\"error\": "
         "\"\xE6\xB2\xA1\xE6\x9C\x89\xE8\xBF\x99\xE4\xB8\xAA\xE6\x8E\xA5\xE5\x8F\xA3\"}"},
        {"a\"b\nc\\", 500, "HTTP/1.0 500 Internal Server Error", "{\"error\": \"a\\\"b\\nc\\\\\"}"},
    };
    for (const Case& c : cases) {
        StrBufOwner sent;
        HttpAnswer answer = http_answer_captured(sent.get());
        http_send_error(&answer, c.message, c.status);
        std::string got = without_date(sent.c_str());
        EXPECT_EQ(got, c.status_line +
                           "\r\nServer: Skiffbox/1.0.0 \r\nDate: *\r\n"
                           "Content-Type: application/json; charset=utf-8\r\n"
                           "Content-Length: " +
                           std::to_string(c.body.size()) +
                           "\r\nCache-Control: no-store\r\nX-Frame-Options: SAMEORIGIN\r\n"
                           "Content-Security-Policy: frame-ancestors 'self'\r\n\r\n" +
                           c.body);
    }
}

// A JSON body whose building failed somewhere is never sent as it stands.
TEST(Response, JsonBodyThatFailedToBuildIsA500) {
    struct Case {
        bool broken;
        std::string status_line, body;
    };
    const Case cases[] = {
        {false, "HTTP/1.0 200 OK", "{\"ok\": true}"},
        {true, "HTTP/1.0 500 Internal Server Error", "{\"error\": \"内存不足\"}"},
    };
    for (const Case& c : cases) {
        StrBufOwner body;
        sb_append_str(body.get(), "{\"ok\": true}");
        if (c.broken) body->failed = 1;
        StrBufOwner sent;
        HttpAnswer answer = http_answer_captured(sent.get());
        http_send_json(&answer, 200, body.get());
        std::string got = sent.c_str();
        EXPECT_EQ(got.substr(0, got.find("\r\n")), c.status_line);
        EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), c.body);
    }
}

TEST(Response, BareBadRequest) {
    StrBufOwner sent;
    HttpAnswer answer = http_answer_captured(sent.get());
    http_send_bad_request(&answer);
    EXPECT_EQ(without_date(sent.c_str()),
              "HTTP/1.0 400 Bad Request\r\nServer: Skiffbox/1.0.0 \r\nDate: *\r\n"
              "Content-Length: 0\r\n\r\n");
}

// A request gets one answer: body bytes wait for a head, and a second head (a handler that
// answers twice) is refused without a byte of it going out.
TEST(Response, AnswerTakesOneHeadAndBodyOnlyAfterIt) {
    StrBufOwner sent;
    HttpAnswer answer = http_answer_captured(sent.get());
    EXPECT_EQ(http_answer_body(&answer, "early", 5), 0);
    EXPECT_EQ(sent->len, 0u);

    http_send_error(&answer, "first", 404);
    std::string first = sent.c_str();
    EXPECT_EQ(first.rfind("HTTP/1.0 404 ", 0), 0u);
    http_send_error(&answer, "second", 500);
    StrBufOwner head;
    http_format_head(head.get(), 200, "text/plain", 0, nullptr, 0);
    EXPECT_EQ(http_answer_head(&answer, head.get()), 0);
    EXPECT_EQ(sent.c_str(), first);
    EXPECT_EQ(http_answer_body(&answer, "more", 4), 1);
    EXPECT_EQ(sent.c_str(), first + "more");
}

TEST(Response, AbortedAnswerSendsNothingMoreAndEndsTheConnectionAtOnce) {
    StrBufOwner sent;
    HttpAnswer captured = http_answer_captured(sent.get());
    StrBufOwner head;
    http_format_head(head.get(), 200, "application/zip", 100, nullptr, 0);
    ASSERT_EQ(http_answer_head(&captured, head.get()), 1);
    size_t before = sent->len;
    http_answer_abort(&captured);
    EXPECT_EQ(http_answer_body(&captured, "late", 4), 0);
    EXPECT_EQ(sent->len, before);

    // On a socket the client sees the end of the stream while the server still holds it.
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    HttpAnswer answer = http_answer_on(pair.server);
    ASSERT_EQ(http_answer_head(&answer, head.get()), 1);
    ASSERT_EQ(http_answer_body(&answer, "part", 4), 1);
    http_answer_abort(&answer);
    bool closed = false;
    std::string got = read_until_close(pair.client, 5000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got.substr(got.size() - 4), "part");
    EXPECT_EQ(got.size(), head->len + 4);
}

TEST(Response, LargeBodyArrivesWhole) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    std::string body(3 * SEND_CHUNK_BYTES + 17, '\0');
    for (size_t i = 0; i < body.size(); i++) body[i] = static_cast<char>(i % 251);
    std::thread sender([&] {
        HttpAnswer answer = http_answer_on(pair.server);
        http_send_response(&answer, 200, "application/zip", body.data(), body.size(), nullptr, 0);
        sock_close(pair.server);
        pair.server = SOCK_INVALID;
    });
    std::string got = read_until_close(pair.client);
    sender.join();
    size_t split = got.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos);
    EXPECT_NE(got.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
              std::string::npos);
    EXPECT_TRUE(got.compare(split + 4, std::string::npos, body) == 0);
}

TEST(Response, SendWithoutProgressFails) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    ASSERT_EQ(sock_set_send_timeout(pair.server, 300), 0);
    // The client never reads: once the socket buffers are full no send makes progress.
    std::string body(64 * 1024 * 1024, 'x');
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http_send_all(pair.server, body.data(), body.size()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(Response, SendToClosedPeerIsAnOrdinaryFailure) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    pair.close_client();
    std::string body(4 * 1024 * 1024, 'x');
    // Without MSG_NOSIGNAL / SO_NOSIGPIPE this would kill the test process with SIGPIPE.
    EXPECT_EQ(http_send_all(pair.server, body.data(), body.size()), 0);
    EXPECT_EQ(http_send_all(pair.server, "y", 1), 0);
}
