#include "http/request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/json.h"
#include "http/loopback.h"

namespace {

// Owns the head buffer and the parsed request of one test case.
struct Parsed {
    StrBufOwner head;
    HttpRequest req{};
    int ok = 0;
    explicit Parsed(const std::string& text) {
        sb_append(head.get(), text.data(), text.size());
        ok = http_parse_request(head.get(), &req);
    }
    ~Parsed() { http_request_free(&req); }
};

std::string take(char* text) {
    std::string s = text ? text : "(null)";
    free(text);
    return s;
}

// Restores the connection time-outs after a test shortened them.
struct TimeLimitsGuard {
    HttpTimeouts saved = HttpTimeLimits;
    ~TimeLimitsGuard() { HttpTimeLimits = saved; }
};

std::string carry_of(const HttpConn& conn) {
    return std::string(conn.carry ? conn.carry : "", conn.carry_len);
}

}  // namespace

TEST(RequestLine, TokensAndMalformedLines) {
    struct Case {
        const char* head;
        int ok;
        const char* method;
        const char* target;
        const char* version;
    };
    const Case cases[] = {
        {"GET / HTTP/1.0\r\n\r\n", 1, "GET", "/", "HTTP/1.0"},
        {" \tGET  \t/a?b=1   HTTP/1.1 trailing words\r\nHost: x\r\n\r\n", 1, "GET", "/a?b=1",
         "HTTP/1.1"},
        {"get /x anything\r\n\r\n", 1, "get", "/x", "anything"},
        {"POST /api/upload H\r\n\r\n", 1, "POST", "/api/upload", "H"},
        {"GET /\r\n\r\n", 0, nullptr, nullptr, nullptr},
        {"GET / \t \r\n\r\n", 0, nullptr, nullptr, nullptr},
        {"GET\r\n\r\n", 0, nullptr, nullptr, nullptr},
        {"\r\n\r\n", 0, nullptr, nullptr, nullptr},
        {"   \r\nHost: x\r\n\r\n", 0, nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        Parsed p(c.head);
        ASSERT_EQ(p.ok, c.ok);
        if (!c.ok) continue;
        EXPECT_STREQ(p.req.method, c.method);
        EXPECT_STREQ(p.req.target, c.target);
        EXPECT_STREQ(p.req.version, c.version);
    }
}

TEST(HeaderLines, LookupTrimmingAndOrder) {
    Parsed p(
        "GET / HTTP/1.0\r\n"
        "Host:  example  \r\n"
        "no colon here\r\n"
        "X-Empty:\r\n"
        "X-Dup: first\r\n"
        "x-dup: second\r\n"
        "\tX-Colons : a:b: c\t\r\n"
        "\r\n");
    ASSERT_EQ(p.ok, 1);
    ASSERT_EQ(p.req.headers.count, 5u);
    EXPECT_STREQ(http_header(&p.req.headers, "Host"), "example");
    EXPECT_STREQ(http_header(&p.req.headers, "HOST"), "example");
    EXPECT_STREQ(http_header(&p.req.headers, "X-Empty"), "");
    EXPECT_STREQ(http_header(&p.req.headers, "x-DUP"), "first");
    EXPECT_STREQ(p.req.headers.items[3].value, "second");
    EXPECT_STREQ(http_header(&p.req.headers, "X-Colons"), "a:b: c");
    EXPECT_EQ(http_header(&p.req.headers, "Hos"), nullptr);
    EXPECT_EQ(http_header(&p.req.headers, "Host2"), nullptr);
    EXPECT_EQ(http_header(&p.req.headers, "no colon here"), nullptr);
}

TEST(HeaderLines, OnlyAsciiLettersFoldCase) {
    Parsed p("GET / HTTP/1.0\r\nX-\xC3\xA9t\xC3\xA9: 1\r\nA[b: 2\r\n\r\n");
    ASSERT_EQ(p.ok, 1);
    EXPECT_STREQ(http_header(&p.req.headers, "x-\xC3\xA9T\xC3\xA9"), "1");
    EXPECT_EQ(http_header(&p.req.headers, "x-\xC3\x89t\xC3\xA9"), nullptr);
    EXPECT_EQ(http_header(&p.req.headers, "a{b"), nullptr);  // '[' and '{' differ by case bit
}

TEST(HeaderLines, ListGrowsPastItsFirstCapacity) {
    std::string head = "GET / HTTP/1.0\r\n";
    for (int i = 0; i < 100; i++)
        head += "H" + std::to_string(i) + ": v" + std::to_string(i) + "\r\n";
    Parsed p(head + "\r\n");
    ASSERT_EQ(p.ok, 1);
    ASSERT_EQ(p.req.headers.count, 100u);
    EXPECT_EQ(p.req.headers.capacity, 128u);
    for (int i = 0; i < 100; i++) {
        EXPECT_EQ(std::string(p.req.headers.items[i].name), "H" + std::to_string(i));
        EXPECT_EQ(std::string(p.req.headers.items[i].value), "v" + std::to_string(i));
    }
}

TEST(HeaderLines, ContentLengthValues) {
    struct Case {
        const char* lines;
        int64_t expected;
    };
    const Case cases[] = {
        {"Content-Length: 12\r\n", 12},
        {"Content-Length : 12 \r\n", 12},
        {"content-length:7\r\n", 7},
        {"Content-Length: 3\r\nContent-Length: 9\r\n", 3},
        {"Content-Length: 12abc\r\n", 0},
        {"Content-Length: -5\r\n", 0},
        {"Content-Length: 99999999999999999999\r\n", 0},
        {"Content-Length: +4\r\n", 4},
        {"Content-Length:\r\n", 0},
        {"Host: x\r\n", 0},
        {"Content-Length: 9223372036854775807\r\n", INT64_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        Parsed p(std::string("POST / HTTP/1.0\r\n") + c.lines + "\r\n");
        ASSERT_EQ(p.ok, 1);
        EXPECT_EQ(p.req.content_length, c.expected);
    }
}

TEST(ParseInt64, StrictDecimal) {
    struct Case {
        const char* text;
        int ok;
        int64_t value;
    };
    const Case cases[] = {
        {"0", 1, 0},
        {" \t12\r\n ", 1, 12},
        {"+7", 1, 7},
        {"-5", 1, -5},
        {"007", 1, 7},
        {"9223372036854775807", 1, INT64_MAX},
        {"-9223372036854775807", 1, -INT64_MAX},
        {"9223372036854775808", 0, 0},
        {"99999999999999999999", 0, 0},
        {"", 0, 0},
        {"   ", 0, 0},
        {"+", 0, 0},
        {"- ", 0, 0},
        {"--1", 0, 0},
        {"+-1", 0, 0},
        {"12abc", 0, 0},
        {"1 2", 0, 0},
        {"0x10", 0, 0},
        {"1.0", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t value = -42;
        ASSERT_EQ(http_parse_int64(c.text, strlen(c.text), &value), c.ok);
        if (c.ok) {
            EXPECT_EQ(value, c.value);
        }
    }
    int64_t value = 0;
    EXPECT_EQ(http_parse_int64("123456", 3, &value), 1);  // only len bytes are read
    EXPECT_EQ(value, 123);
    EXPECT_EQ(http_parse_int64("1\0002", 3, &value), 0);
}

TEST(Trim, AsciiWhiteSpaceAtBothEnds) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"  a b \t\r\n", "a b"},    {"\v\fx\f", "x"}, {" ", ""}, {"", ""}, {"x", "x"},
        {"\xC2\xA0y", "\xC2\xA0y"},  // only ASCII white space
    };
    for (const Case& c : cases) {
        std::string buf = c.in;
        EXPECT_STREQ(http_trim(buf.data()), c.out) << c.in;
    }
}

TEST(SplitTarget, PathQueryAndFragment) {
    struct Case {
        const char* target;
        const char* path;
        const char* query;  // "(unset)" when query_out keeps the caller's value
    };
    const Case cases[] = {
        {"/api/files?dir=a#frag?x", "/api/files", "dir=a"},
        {"/a#b?c", "/a", "(unset)"},
        {"/a", "/a", "(unset)"},
        {"/a?", "/a", ""},
        {"/a?b?c", "/a", "b?c"},
        {"?q", "", "q"},
        {"", "", "(unset)"},
        {nullptr, "", "(unset)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target ? c.target : "(null)");
        const char* query = "(unset)";
        char* path = http_split_target(c.target, &query);
        ASSERT_NE(path, nullptr);
        EXPECT_STREQ(path, c.path);
        EXPECT_STREQ(query, c.query);
        free(path);
    }
}

TEST(QueryParam, DecodedValueOfFirstMatch) {
    struct Case {
        const char* query;
        const char* name;
        const char* value;  // null: absent
    };
    const Case cases[] = {
        {"a=1&dir=&dir=x%2Fy+z", "dir", "x/y z"},
        {"dir", "dir", nullptr},
        {"dir=", "dir", nullptr},
        {"a=1", "dir", nullptr},
        {"", "dir", nullptr},
        {"dir=1&dir=2", "dir", "1"},
        {"dir=1&", "dir", "1"},
        {"&&dir=3", "dir", "3"},
        {"=v&dir=2", "dir", "2"},
        {"%64ir=v", "dir", "v"},
        {"d+r=v", "d r", "v"},
        {"Dir=1", "dir", nullptr},
        {"dir=a=b", "dir", "a=b"},
        {"dir%00x=1&dir=2", "dir", "2"},
        {"data=%E4%B8%AD%zz", "data", "\xE4\xB8\xAD%zz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        char* value = http_query_param(c.query, c.name);
        if (!c.value) {
            EXPECT_EQ(value, nullptr);
        } else {
            ASSERT_NE(value, nullptr);
            EXPECT_STREQ(value, c.value);
        }
        free(value);
    }
    EXPECT_EQ(http_query_param(nullptr, "dir"), nullptr);
}

TEST(DeviceName, DecodedTrimmedAndCut) {
    std::string sixty;
    for (int i = 0; i < 60; i++) sixty += "\xE5\x90\x8D";  // 名
    struct Case {
        const char* header;  // null: no X-Device-Name line
        std::string expected;
    };
    const Case cases[] = {
        {"%E5%B0%8F%E6%98%8E%20", "\xE5\xB0\x8F\xE6\x98\x8E"},
        {nullptr, ""},
        {"", ""},
        {"%E3%80%80 Bob+Phone\xC2\xA0", "Bob+Phone"},
        {"%20%20", ""},
        {sixty.c_str(), sixty.substr(0, 120)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header ? c.header : "(none)");
        std::string head = "POST / HTTP/1.0\r\n";
        if (c.header) head += std::string("x-device-name: ") + c.header + "\r\n";
        Parsed p(head + "\r\n");
        ASSERT_EQ(p.ok, 1);
        EXPECT_EQ(take(http_device_name(&p.req.headers)), c.expected);
    }
}

// Reading the head from a socket: whole, byte by byte, and split at every point, with and
// without body bytes behind it.
TEST(ReadHead, AssembledFromAnyPiecesWithCarryOver) {
    struct Case {
        std::string head;
        std::string tail;
    };
    const Case cases[] = {
        {"GET / HTTP/1.0\r\nHost: x\r\n\r\n", ""},
        {"POST /api/text HTTP/1.0\r\nContent-Length: 11\r\n\r\n", "{\"text\": 1}"},
        {"GET / HTTP/1.0\r\n\r\n", "\r\n\r\nmore"},
        {"A\r\n\r\n", "\r"},
    };
    for (const Case& c : cases) {
        std::string all = c.head + c.tail;
        std::vector<std::vector<std::string>> feeds;
        feeds.push_back({all});
        std::vector<std::string> bytes;
        for (char ch : all) bytes.emplace_back(1, ch);
        feeds.push_back(bytes);
        for (size_t cut = 1; cut < all.size(); cut++)
            feeds.push_back({all.substr(0, cut), all.substr(cut)});

        for (const auto& pieces : feeds) {
            SCOPED_TRACE(c.head + " in " + std::to_string(pieces.size()) + " pieces from " +
                         std::to_string(pieces[0].size()));
            LoopbackPair pair;
            ASSERT_TRUE(pair.ok());
            std::thread sender([&] {
                for (const std::string& piece : pieces) {
                    pair.send(piece);
                    if (pieces.size() > 1) pause_ms(1);
                }
            });
            HttpConn conn;
            http_conn_init(&conn, pair.server);
            StrBufOwner head;
            int ok = http_read_head(&conn, head.get());
            sender.join();
            ASSERT_EQ(ok, 1);
            EXPECT_EQ(std::string(head->data, head->len), c.head);
            EXPECT_EQ(head->data[head->len], '\0');
            // Whatever the pieces, everything after the blank line reaches the body reader:
            // from the carry-over first, the rest from the socket.
            int64_t got = 0;
            char* rest = http_read_body(&conn, static_cast<int64_t>(c.tail.size()), &got);
            std::string body(rest ? rest : "", static_cast<size_t>(got));
            free(rest);
            EXPECT_EQ(body, c.tail);
            http_conn_release(&conn);
        }
    }
}

TEST(ReadHead, FailsWithoutBlankLine) {
    TimeLimitsGuard guard;
    HttpTimeLimits.head_ms = 300;
    struct Case {
        const char* what;
        std::string sent;
        bool close_after;
    };
    const Case cases[] = {
        {"peer closes early", "GET / HTTP/1.0\r\nHost: x\r\n", true},
        {"nothing at all", "", true},
        {"70,000 bytes", std::string(70000, 'a'), false},
        {"silent after a partial head", "GET / HTTP/1.0\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LoopbackPair pair;
        ASSERT_TRUE(pair.ok());
        ASSERT_TRUE(pair.send(c.sent));
        if (c.close_after) pair.close_client();
        HttpConn conn;
        http_conn_init(&conn, pair.server);
        StrBufOwner head;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(http_read_head(&conn, head.get()), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(conn.carry, nullptr);
    }
}

TEST(ReadHead, TimeOutCountsFromTheStartNotPerRead) {
    TimeLimitsGuard guard;
    HttpTimeLimits.head_ms = 600;
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    // A byte every 100 ms would keep a per-read time-out from ever firing.
    std::thread trickle([&] {
        for (int i = 0; i < 20; i++) {
            if (!pair.send("x")) return;
            pause_ms(100);
        }
    });
    HttpConn conn;
    http_conn_init(&conn, pair.server);
    StrBufOwner head;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http_read_head(&conn, head.get()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    sock_shutdown(pair.server);  // ends the trickle
    trickle.join();
}

namespace {

// A connection whose head has been read, with the given bytes sent behind it.
struct BodyFixture {
    LoopbackPair pair;
    HttpConn conn;
    StrBufOwner head;
    explicit BodyFixture(const std::string& with_head) {
        http_conn_init(&conn, pair.server);
        pair.send("POST /x HTTP/1.0\r\n\r\n" + with_head);
        pause_ms(20);  // let head and body bytes arrive together
        http_read_head(&conn, head.get());
    }
    ~BodyFixture() { http_conn_release(&conn); }
};

}  // namespace

TEST(BodyReaders, CarryOverFirstThenSocketAndCounted) {
    BodyFixture f("abc");
    ASSERT_EQ(carry_of(f.conn), "abc");
    char buf[16] = {};
    EXPECT_EQ(http_conn_read(&f.conn, buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "ab");
    EXPECT_EQ(f.conn.body_read, 2);
    f.pair.send("defgh");
    // Only the one carried byte left: the socket is not touched while carry remains.
    EXPECT_EQ(http_conn_read(&f.conn, buf, sizeof buf), 1);
    EXPECT_EQ(buf[0], 'c');
    int64_t got = 0;
    char* rest = http_read_body(&f.conn, 5, &got);
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(got, 5);
    EXPECT_STREQ(rest, "defgh");
    free(rest);
    EXPECT_EQ(f.conn.body_read, 8);
}

TEST(BodyReaders, WholeBodyShortWhenPeerStops) {
    BodyFixture f("1234");
    f.pair.close_client();
    int64_t got = -1;
    char* body = http_read_body(&f.conn, 10, &got);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(got, 4);
    EXPECT_STREQ(body, "1234");
    free(body);

    EXPECT_EQ(http_read_body(&f.conn, 0, &got), nullptr);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(http_read_body(&f.conn, -3, &got), nullptr);
}

TEST(BodyReaders, SilentPeerEndsTheReadAfterTheIdleTime) {
    TimeLimitsGuard guard;
    HttpTimeLimits.body_idle_ms = 300;
    BodyFixture f("12");
    auto start = std::chrono::steady_clock::now();
    int64_t got = -1;
    char* body = http_read_body(&f.conn, 1000, &got);
    EXPECT_EQ(got, 2);
    free(body);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(BodyReaders, LargeBodyAcrossManyReads) {
    std::string big(1000000, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i * 7 + i / 251);
    BodyFixture f(big.substr(0, 1000));
    std::thread sender([&] { f.pair.send(big.substr(1000)); });
    int64_t got = 0;
    char* body = http_read_body(&f.conn, static_cast<int64_t>(big.size()), &got);
    sender.join();
    ASSERT_NE(body, nullptr);
    ASSERT_EQ(got, static_cast<int64_t>(big.size()));
    EXPECT_EQ(memcmp(body, big.data(), big.size()), 0);
    free(body);
}

TEST(BodyReaders, JsonBodyOrEmptyObject) {
    struct Case {
        std::string body;
        int64_t length;
        int members;
    };
    const Case cases[] = {
        {"{\"path\": \"a/b\"}", 15, 1},
        {"{\"path\": ", 9, 0},
        {"[1, 2]", 6, -1},  // parsed as it is: an array
        {"", 0, 0},
        {"not json", 8, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        BodyFixture f(c.body);
        JsonValue* value = http_read_json(&f.conn, c.length);
        ASSERT_NE(value, nullptr);
        if (c.members < 0) {
            EXPECT_EQ(value->kind, JSON_ARRAY);
        } else {
            EXPECT_EQ(value->kind, JSON_OBJECT);
            EXPECT_EQ(value->member_count, c.members);
        }
        json_free(value);
    }
}

TEST(BodyReaders, BodiesAboveTheLimitsAreLeftUnread) {
    TimeLimitsGuard guard;
    HttpTimeLimits.body_idle_ms = 200;  // the reads at the limits end when the bytes stop
    // The bytes are there, but an announced length above the limit is not read at all.
    BodyFixture f("{\"a\": 1}");
    JsonValue* value = http_read_json(&f.conn, JSON_BODY_MAX_BYTES + 1);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->kind, JSON_OBJECT);
    EXPECT_EQ(value->member_count, 0);
    json_free(value);
    int64_t got = -1;
    EXPECT_EQ(http_read_body(&f.conn, FORM_BODY_MAX_BYTES + 1, &got), nullptr);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(f.conn.body_read, 0);

    // At the limits they are read, and a body shorter than announced gives what came.
    value = http_read_json(&f.conn, JSON_BODY_MAX_BYTES);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->member_count, 1);
    json_free(value);
    f.pair.send("name=a");
    f.pair.close_client();
    char* body = http_read_body(&f.conn, FORM_BODY_MAX_BYTES, &got);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(got, 6);
    EXPECT_STREQ(body, "name=a");
    free(body);
}

TEST(BodyReaders, BudgetRefusesLargeBodiesBeyondTheirShareUntilConnectionsAreReleased) {
    TimeLimitsGuard guard;
    HttpTimeLimits.body_idle_ms = 50;  // the held bodies stop after their first bytes
    const int64_t idle = http_body_charged();
    {
        std::vector<std::unique_ptr<BodyFixture>> held;
        for (int i = 0; i < 3; i++) {
            held.push_back(std::make_unique<BodyFixture>("[1]"));
            JsonValue* value = http_read_json(&held.back()->conn, JSON_BODY_MAX_BYTES);
            ASSERT_NE(value, nullptr);
            json_free(value);
        }
        EXPECT_EQ(http_body_charged() - idle,
                  3 * (JSON_BODY_MAX_BYTES * JSON_BODY_COST + JSON_BODY_BASE_CHARGE));

        BodyFixture refused("{\"a\": 1}");
        EXPECT_EQ(http_read_json(&refused.conn, JSON_BODY_MAX_BYTES), nullptr);
        EXPECT_EQ(refused.conn.body_refused, 1);
        int64_t got = -1;
        EXPECT_EQ(http_read_body(&refused.conn, FORM_BODY_MAX_BYTES, &got), nullptr);
        EXPECT_EQ(refused.conn.body_read, 0);  // nothing was read for either

        BodyFixture small("{\"a\": 1}");
        JsonValue* value = http_read_json(&small.conn, 8);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->member_count, 1);
        json_free(value);
        EXPECT_EQ(small.conn.body_refused, 0);
    }
    EXPECT_EQ(http_body_charged(), idle);
}

TEST(BodyReaders, DrainTakesCarryAndSocketWithoutCounting) {
    BodyFixture f("abc");
    f.pair.send(std::string(20000, 'z'));
    http_drain_body(&f.conn, 20003);
    EXPECT_EQ(f.conn.body_read, 0);
    EXPECT_EQ(f.conn.carry_pos, 3u);
    // Nothing of the body is left in the socket, and nothing beyond it was taken.
    f.pair.send("!");
    char c = 0;
    EXPECT_EQ(sock_recv(f.conn.socket, &c, 1, 1000), 1);
    EXPECT_EQ(c, '!');
}

namespace {

// Sends pieces of the given size at the given spacing from the client end, until count
// pieces are out, stop is set or the connection fails.
std::thread trickle(LoopbackPair& pair, size_t piece, int spacing_ms, int count,
                    const std::atomic<bool>& stop) {
    return std::thread([&pair, &stop, piece, spacing_ms, count] {
        for (int i = 0; i < count && !stop.load(); i++) {
            if (!pair.send(std::string(piece, 'p'))) return;
            pause_ms(spacing_ms);
        }
    });
}

// A short pace window for the tests: 200 bytes in every second of waiting; the idle limit
// stays far above it, so only the pace can end a read early.
struct ShortPace : TimeLimitsGuard {
    ShortPace() {
        HttpTimeLimits.body_window_ms = 1000;
        HttpTimeLimits.body_window_bytes = 200;
        HttpTimeLimits.body_idle_ms = 5000;
    }
};

}  // namespace

// A body that arrives steadily but too slowly is given up on about one window in; one that
// keeps the pace is read whole, however long it takes in all.
TEST(BodyPace, TooSlowIsGivenUpOnAndSteadyIsRead) {
    ShortPace pace;
    struct Case {
        size_t piece;
        int spacing_ms;
        int count;
        bool whole;
    };
    const Case cases[] = {
        {10, 100, 40, false},  // 100 bytes a window, half the floor
        {100, 20, 80, true},   // about 5,000 bytes a window, for 1.6 s in all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.piece);
        BodyFixture f("");
        std::atomic<bool> stop{false};
        std::thread sender = trickle(f.pair, c.piece, c.spacing_ms, c.count, stop);
        int64_t length = static_cast<int64_t>(c.piece) * c.count;
        auto start = std::chrono::steady_clock::now();
        int64_t got = 0;
        free(http_read_body(&f.conn, length, &got));
        auto took = std::chrono::steady_clock::now() - start;
        stop.store(true);  // ends a trickle that was given up on
        sender.join();
        if (c.whole) {
            EXPECT_EQ(got, length);
        } else {
            EXPECT_LT(got, length / 2);
            EXPECT_LT(took, std::chrono::milliseconds(2500));
        }
    }
}

// Only time spent waiting on the socket counts: bytes that were already there when a slow
// reader came back cost nothing, however slowly the reader takes them.
TEST(BodyPace, TheServersOwnDelaysDoNotCount) {
    ShortPace pace;
    BodyFixture f("");
    f.pair.send(std::string(300, 'q'));
    pause_ms(20);
    char piece[20];
    int64_t got = 0;
    for (int i = 0; i < 15; i++) {
        int64_t n = http_conn_read(&f.conn, piece, sizeof piece);
        ASSERT_EQ(n, 20) << "read " << i;
        got += n;
        pause_ms(100);  // a slow disk: 1.5 s in all, well over the window
    }
    EXPECT_EQ(got, 300);
    // Then the client falls silent: once a whole window of waiting has brought less than
    // the floor, the read ends, long before the idle limit.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http_conn_read(&f.conn, piece, sizeof piece), SOCK_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
}
