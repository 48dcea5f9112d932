#include "upload/multipart.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

// Hands out a body in reads whose sizes a plan chooses, and checks that the parser never
// asks for more than one read may hold or more than the body has left.
struct Feed {
    std::string body;
    size_t available;  // bytes the "connection" delivers before it ends
    std::function<size_t(size_t read_index)> plan;
    size_t pos = 0;
    size_t reads = 0;
    int64_t declared = 0;
    bool over_asked = false;
};

int64_t feed_read(void* context, char* buffer, size_t capacity) {
    Feed* f = static_cast<Feed*>(context);
    int64_t left = f->declared - static_cast<int64_t>(f->pos);
    if (capacity > MP_READ_MAX || static_cast<int64_t>(capacity) > left) f->over_asked = true;
    if (f->pos >= f->available) return 0;
    size_t n = std::min({capacity, f->plan(f->reads++), f->available - f->pos});
    memcpy(buffer, f->body.data() + f->pos, n);
    f->pos += n;
    return static_cast<int64_t>(n);
}

struct Part {
    std::optional<std::string> field;
    std::optional<std::string> file;
    std::string type;
    std::string content;
    int closes = 0;
    bool operator==(const Part&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Part& p) {
    return os << "{field=" << p.field.value_or("(null)") << " file=" << p.file.value_or("(null)")
              << " type=" << p.type << " content=" << testing::PrintToString(p.content)
              << " closes=" << p.closes << "}";
}

// Records every open, write and close; a sink may be told to fail once it has taken a number
// of bytes, as a full disk would.
struct Recorder {
    std::vector<Part> parts;
    std::vector<std::unique_ptr<MpSink>> sinks;
    size_t fail_after = SIZE_MAX;
    bool discard_fields = false;
    size_t written = 0;
    size_t biggest_write = 0;
};

struct SinkContext {
    Recorder* rec;
    size_t index;
};

int sink_write(void* context, const char* bytes, size_t length) {
    auto* sc = static_cast<SinkContext*>(context);
    Recorder* rec = sc->rec;
    EXPECT_GT(length, 0u);
    EXPECT_EQ(rec->parts[sc->index].closes, 0) << "write after close";
    rec->biggest_write = std::max(rec->biggest_write, length);
    if (rec->written + length > rec->fail_after) return 1;
    rec->written += length;
    rec->parts[sc->index].content.append(bytes, length);
    return 0;
}

void sink_close(void* context) {
    auto* sc = static_cast<SinkContext*>(context);
    sc->rec->parts[sc->index].closes++;
    delete sc;
}

MpSink* record_open(void* context, const char* field, const char* file, const char* type) {
    Recorder* rec = static_cast<Recorder*>(context);
    Part part;
    if (field) part.field = field;
    if (file) part.file = file;
    EXPECT_NE(type, nullptr);
    part.type = type ? type : "";
    rec->parts.push_back(part);
    if (rec->discard_fields && !file) return nullptr;
    auto* sc = new SinkContext{rec, rec->parts.size() - 1};
    rec->sinks.push_back(std::make_unique<MpSink>(MpSink{sink_write, sink_close, sc}));
    return rec->sinks.back().get();
}

struct Outcome {
    int result;
    std::vector<Part> parts;
    size_t consumed;
    bool over_asked;
};

Outcome run(const std::string& body, const char* type, std::function<size_t(size_t)> plan,
            int64_t declared = -1, size_t fail_after = SIZE_MAX, bool discard_fields = false) {
    Feed feed{body, body.size(), std::move(plan)};
    feed.declared = declared < 0 ? static_cast<int64_t>(body.size()) : declared;
    Recorder rec;
    rec.fail_after = fail_after;
    rec.discard_fields = discard_fields;
    int result = mp_parse(feed_read, &feed, feed.declared, type, record_open, &rec);
    return Outcome{result, rec.parts, feed.pos, feed.over_asked};
}

size_t whole(size_t) {
    return SIZE_MAX;
}
size_t byte_by_byte(size_t) {
    return 1;
}

const char* const TYPE = "multipart/form-data; boundary=XyZ";

Part file_part(const std::string& name, const std::string& content,
               const std::string& type = "application/octet-stream") {
    return Part{"file", name, type, content, 1};
}

std::string file_block(const std::string& name, const std::string& content,
                       const std::string& extra = "") {
    return "Content-Disposition: form-data; name=\"file\"; filename=\"" + name + "\"\r\n" + extra +
           "\r\n" + content;
}

struct Case {
    const char* what;
    std::string body;
    int result;
    std::vector<Part> parts;
    int64_t declared = -1;  // Content-Length when it differs from the body's size
};

// Bodies small enough to be fed at every split point.
std::vector<Case> small_cases() {
    const std::string exact = "--XyZ\r\n" + file_block("a", "x") + "\r\n--XyZ--";
    return {
        {"Content-Length shorter than the body: nothing past it is read",
         exact + std::string(50, 'Z'),
         1,
         {file_part("a", "x")},
         static_cast<int64_t>(exact.size())},
        {"one file and one field, preamble and epilogue",
         "preamble\r\n--XyZ\r\n" + file_block("a.txt", "hello") +
             "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhi there"
             "\r\n--XyZ--\r\nepilogue",
         1,
         {file_part("a.txt", "hello"),
          Part{"note", std::nullopt, "application/octet-stream", "hi there", 1}}},
        {"content holding line breaks, dashes and most of the boundary",
         "--XyZ\r\n" + file_block("b.bin", "\r\n--XyA\r\n--Xy\r\n-\r\n-XyZ\r\r\n--xyZ\r\n--X") +
             "\r\n--XyZ--",
         1,
         {file_part("b.bin", "\r\n--XyA\r\n--Xy\r\n-\r\n-XyZ\r\r\n--xyZ\r\n--X")}},
        {"empty file, content type given, header names in any case",
         "--XyZ\r\nCONTENT-DISPOSITION: form-data; NAME=\"file\"; FileName=\"e\"\r\n"
         "content-TYPE:  text/plain \r\n\r\n\r\n--XyZ--",
         1,
         {file_part("e", "", "text/plain")}},
        {"GBK file name arrives as UTF-8",
         "--XyZ\r\n" + file_block("\xD6\xD0\xCE\xC4.txt", "g") + "\r\n--XyZ--",
         1,
         {file_part("中文.txt", "g")}},
        {"filename* after filename wins",
         "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.txt\"; "
         "filename*=UTF-8''%E4%B8%AD+1.txt\r\n\r\nx\r\n--XyZ--",
         1,
         {file_part("中+1.txt", "x")}},
        {"filename after filename* wins",
         "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; "
         "filename*=UTF-8''%E4%B8%AD.txt; filename=\"a.txt\"\r\n\r\nx\r\n--XyZ--",
         1,
         {file_part("a.txt", "x")}},
        {"a quoted name is cut at a semicolon",
         "--XyZ\r\n" + file_block("a;b.txt", "x") + "\r\n--XyZ--",
         1,
         {file_part("\"a", "x")}},
        {"a form without parts", "--XyZ--\r\n", 1, {}},
        {"body cut in the middle of a part",
         "--XyZ\r\n" + file_block("a", "first") + "\r\n--XyZ\r\n" + file_block("b", "sec"),
         0,
         {file_part("a", "first"), file_part("b", "sec")},
         400},
        {"body cut inside a delimiter",
         "--XyZ\r\n" + file_block("a", "data") + "\r\n--X",
         0,
         {file_part("a", "data\r\n--X")},
         400},
        {"body ends after the first delimiter", "--XyZ\r\n", 0, {}},
        {"empty header block", "--XyZ\r\n\r\n\r\nx\r\n--XyZ--", 0, {}},
        {"no boundary in the body at all", "just some text", 0, {}},
        {"closing delimiter not followed by two bytes",
         "--XyZ\r\n" + file_block("a", "x") + "\r\n--XyZ-",
         0,
         {file_part("a", "x")}},
    };
}

std::string describe(const Case& c, const std::string& feeding) {
    return std::string(c.what) + " / " + feeding;
}

void expect_outcome(const Case& c, const Outcome& o, const std::string& feeding) {
    SCOPED_TRACE(describe(c, feeding));
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(o.parts, c.parts);
    EXPECT_FALSE(o.over_asked);
    size_t declared = c.declared < 0 ? c.body.size() : static_cast<size_t>(c.declared);
    EXPECT_EQ(o.consumed, std::min(declared, c.body.size())) << "the body is always drained";
}

TEST(Multipart, CasesFedWholeByteByByteAndAtEverySplitPoint) {
    for (const Case& c : small_cases()) {
        expect_outcome(c, run(c.body, TYPE, whole, c.declared), "whole");
        expect_outcome(c, run(c.body, TYPE, byte_by_byte, c.declared), "byte by byte");
        for (size_t split = 1; split < c.body.size(); ++split) {
            auto plan = [split](size_t i) { return i == 0 ? split : SIZE_MAX; };
            expect_outcome(c, run(c.body, TYPE, plan, c.declared),
                           "split at " + std::to_string(split));
        }
        auto sevens = [](size_t) { return size_t{7}; };
        expect_outcome(c, run(c.body, TYPE, sevens, c.declared), "pieces of 7");
    }
}

TEST(Multipart, BoundaryFromContentType) {
    const std::string body = "--b1\r\n" + file_block("a", "x") + "\r\n--b1--";
    struct Row {
        const char* type;
        int result;
    };
    const Row rows[] = {
        {"multipart/form-data; boundary=b1", 1},
        {"multipart/form-data; boundary=\"b1\"", 1},
        {"multipart/form-data; boundary=b1; charset=utf-8", 1},
        {"multipart/form-data; boundary=b1 \t, x", 1},
        {"text/plain;boundary=b1", 1},  // the media type itself is not examined
        {nullptr, -1},
        {"multipart/form-data", -1},
        {"multipart/form-data; BOUNDARY=b1", -1},
        {"multipart/form-data; boundary=\"\"", -1},
        {"multipart/form-data; boundary=", -1},
        {"multipart/form-data; boundary= \t;", -1},
    };
    for (const Row& row : rows) {
        Outcome o = run(body, row.type, whole);
        EXPECT_EQ(o.result, row.result) << (row.type ? row.type : "(null)");
        if (row.result == -1) {
            EXPECT_EQ(o.consumed, 0u) << "nothing read without a boundary";
        }
    }
}

TEST(Multipart, FailedWriteStopsParsingAndDrains) {
    const std::string body = "--XyZ\r\n" + file_block("a", std::string(1000, 'a')) +
                             "\r\n--XyZ\r\n" + file_block("b", "second") + "\r\n--XyZ--";
    for (auto plan : {whole, byte_by_byte}) {
        Outcome o = run(body, TYPE, plan, -1, 100);
        EXPECT_EQ(o.result, 0);
        ASSERT_EQ(o.parts.size(), 1u) << "no part is opened after a failed write";
        EXPECT_EQ(o.parts[0].closes, 1);
        EXPECT_EQ(o.consumed, body.size());
    }
}

TEST(Multipart, HeaderBlockIsLimitedTo64KiB) {
    const std::string head = "Content-Disposition: form-data; name=\"file\"; filename=\"a\"\r\nX: ";
    for (size_t block : {MP_HEADER_MAX, MP_HEADER_MAX + 1}) {
        std::string padded = head + std::string(block - head.size(), 'p');
        std::string body = "--XyZ\r\n" + padded + "\r\n\r\nx\r\n--XyZ--" + std::string(300000, 'e');
        for (auto plan : {whole, +[](size_t) { return size_t{4096}; }}) {
            Outcome o = run(body, TYPE, plan);
            EXPECT_EQ(o.result, block == MP_HEADER_MAX ? 1 : 0) << block;
            EXPECT_EQ(o.parts.size(), block == MP_HEADER_MAX ? 1u : 0u);
            EXPECT_EQ(o.consumed, body.size());
        }
    }
}

TEST(Multipart, FieldsWithoutSinkAreSkipped) {
    const std::string body =
        "--XyZ\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nvalue"
        "\r\n--XyZ\r\n" +
        file_block("a", "x") + "\r\n--XyZ--";
    Outcome o = run(body, TYPE, whole, -1, SIZE_MAX, true);
    EXPECT_EQ(o.result, 1);
    ASSERT_EQ(o.parts.size(), 2u);
    EXPECT_EQ(o.parts[0].content, "");
    EXPECT_EQ(o.parts[1], file_part("a", "x"));
}

// Large random files with near-delimiters inside, in reads of random sizes: every byte
// arrives in order, and no write is larger than one read.
TEST(Multipart, LargeRandomContentArrivesExactly) {
    std::mt19937_64 rng(12345);
    const std::string boundary = "----------------------------5f2a9c0b1d3e";
    const std::string type = "multipart/form-data; boundary=" + boundary;
    std::string body;
    std::vector<Part> expected;
    for (int i = 0; i < 3; ++i) {
        std::string content(1500000 + i * 77777, '\0');
        for (char& ch : content) ch = static_cast<char>(rng());
        // Prefixes of the delimiter, whole delimiters with one byte changed (first and last
        // byte right), and long runs of its first byte.
        const std::string delim = "\r\n--" + boundary;
        for (int k = 0; k < 600; ++k) {
            std::string near;
            if (k % 3 == 0) {
                near = delim.substr(0, 1 + rng() % (delim.size() - 1));
            } else if (k % 3 == 1) {
                near = delim;
                near[1 + rng() % (delim.size() - 2)] ^= 0x20;
            } else {
                near = std::string(rng() % 300, '\r');
            }
            content.replace(rng() % (content.size() - near.size()), near.size(), near);
        }
        std::string name = "f" + std::to_string(i);
        body += "--" + boundary + "\r\n" + file_block(name, content) + "\r\n";
        expected.push_back(file_part(name, content));
    }
    body += "--" + boundary + "--\r\n";
    std::uniform_int_distribution<size_t> size(1, 2 * MP_READ_MAX);
    Feed feed{body, body.size(), [&](size_t) { return size(rng); }};
    feed.declared = static_cast<int64_t>(body.size());
    Recorder rec;
    EXPECT_EQ(mp_parse(feed_read, &feed, feed.declared, type.c_str(), record_open, &rec), 1);
    EXPECT_TRUE(rec.parts == expected);
    EXPECT_FALSE(feed.over_asked);
    EXPECT_LE(rec.biggest_write, MP_READ_MAX);
}

}  // namespace
