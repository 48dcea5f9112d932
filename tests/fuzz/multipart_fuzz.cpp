// The multipart parser fed through a chunked in-memory reader, in two modes chosen by the
// first byte:
//  - generated: the input drives a reference encoder (boundary, parts with names, file names in
//    both forms, content types, content, preamble, epilogue); the parser must report exactly the
//    parts and bytes that were put in, however the body is cut into reads;
//  - arbitrary: any Content-Type and any body, repeated to make it long; the parser must not
//    crash, never ask for more than the body has left, consume the whole body, and keep its
//    memory bounded whatever the body holds.
#include <sanitizer/allocator_interface.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/strbuf.h"
#include "base/text.h"
#include "fuzz_check.h"
#include "upload/multipart.h"

namespace {

// The parser's window (one read plus a delimiter) and a part's header block (at most
// MP_HEADER_MAX, in a buffer that grows by doubling, plus the copies made from it) fit well
// within this, however long the body.
constexpr size_t MEMORY_BOUND = 2 * 1024 * 1024;

// ---- The reader ----------------------------------------------------------------------------

struct Feed {
    std::string body;  // delivered `repeat` times over, then the connection ends
    uint64_t repeat = 1;
    uint64_t declared = 0;     // Content-Length; may differ from what is delivered
    std::vector<size_t> cuts;  // read sizes, used in turn (none: as much as asked)
    uint64_t pos = 0;
    size_t reads = 0;
    size_t baseline = 0;  // heap in use before the parse
    size_t peak = 0;

    uint64_t available() const { return body.size() * repeat; }
};

void note_memory(Feed* f) {
    size_t now = __sanitizer_get_current_allocated_bytes();
    if (now > f->peak) f->peak = now;
}

int64_t feed_read(void* context, char* buffer, size_t capacity) {
    Feed* f = static_cast<Feed*>(context);
    note_memory(f);
    FUZZ_CHECK(capacity >= 1 && capacity <= MP_READ_MAX);
    FUZZ_CHECK(f->pos + capacity <= f->declared);  // never past Content-Length
    if (f->pos >= f->available()) return 0;
    size_t n = f->cuts.empty() ? capacity : f->cuts[f->reads++ % f->cuts.size()];
    if (n > capacity) n = capacity;
    if (n > f->available() - f->pos) n = static_cast<size_t>(f->available() - f->pos);
    for (size_t i = 0; i < n; i++) buffer[i] = f->body[(f->pos + i) % f->body.size()];
    f->pos += n;
    return static_cast<int64_t>(n);
}

// ---- What the parser reports ---------------------------------------------------------------

struct Part {
    std::optional<std::string> field;
    std::optional<std::string> file;
    std::string type;
    std::string content;
    bool operator==(const Part&) const = default;
};

struct Recorder {
    Feed* feed = nullptr;
    std::vector<Part> parts;
    std::vector<std::unique_ptr<MpSink>> sinks;
    std::vector<int> closes;
    int fail_part = -1;     // this part's first write fails, as on a full disk
    int discard_part = -1;  // this part gets no sink
    bool record = true;     // arbitrary bodies: count, do not keep
    uint64_t written = 0;
};

struct SinkContext {
    Recorder* rec;
    size_t index;
};

int sink_write(void* context, const char* bytes, size_t length) {
    auto* sc = static_cast<SinkContext*>(context);
    Recorder* rec = sc->rec;
    note_memory(rec->feed);
    FUZZ_CHECK(length > 0);
    FUZZ_CHECK(rec->closes[sc->index] == 0);
    if (static_cast<int>(sc->index) == rec->fail_part) return 1;
    rec->written += length;
    if (rec->record) rec->parts[sc->index].content.append(bytes, length);
    return 0;
}

void sink_close(void* context) {
    auto* sc = static_cast<SinkContext*>(context);
    sc->rec->closes[sc->index]++;
}

std::vector<std::unique_ptr<SinkContext>> contexts;

MpSink* on_open(void* context, const char* field, const char* file, const char* type) {
    Recorder* rec = static_cast<Recorder*>(context);
    FUZZ_CHECK(type != nullptr);
    size_t index = rec->closes.size();
    rec->closes.push_back(0);
    if (rec->record) {
        Part part;
        if (field) part.field = field;
        if (file) part.file = file;
        part.type = type;
        rec->parts.push_back(part);
    }
    if (static_cast<int>(index) == rec->discard_part) {
        rec->closes[index] = -1;  // never closed: no sink
        return nullptr;
    }
    contexts.push_back(std::make_unique<SinkContext>(SinkContext{rec, index}));
    rec->sinks.push_back(std::make_unique<MpSink>(MpSink{sink_write, sink_close, nullptr}));
    rec->sinks.back()->context = contexts.back().get();
    return rec->sinks.back().get();
}

int run_parse(Feed* feed, const std::string& content_type, Recorder* rec) {
    rec->feed = feed;
    contexts.clear();
    feed->baseline = __sanitizer_get_current_allocated_bytes();
    feed->peak = feed->baseline;
    int result = mp_parse(feed_read, feed, static_cast<int64_t>(feed->declared),
                          content_type.c_str(), on_open, rec);
    FUZZ_CHECK(result >= -1 && result <= 1);
    if (result == -1) {
        FUZZ_CHECK(feed->pos == 0 && rec->closes.empty());
    } else {
        // The whole body has been taken, so the caller answers a fully received request.
        uint64_t end = feed->available() < feed->declared ? feed->available() : feed->declared;
        FUZZ_CHECK(feed->pos == end);
    }
    for (int closes : rec->closes) FUZZ_CHECK(closes == 1 || closes == -1);
    FUZZ_CHECK(rec->written <= feed->pos);
    contexts.clear();
    return result;
}

std::vector<size_t> take_cuts(FuzzInput& in) {
    std::vector<size_t> cuts;
    unsigned count = in.take_below(4);
    for (unsigned i = 0; i < count; i++) {
        unsigned b = in.take_byte();
        // Mostly small reads, which cut delimiters anywhere; sometimes big ones.
        cuts.push_back(b < 200 ? b % 16 + 1 : (b - 199) * 4099);
    }
    return cuts;
}

// ---- The reference encoder -----------------------------------------------------------------

// Characters a browser uses in boundaries ("," and space would end the parameter here).
const char BOUNDARY_CHARS[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ'()+_-./:=?";

// Text safe inside a quoted header parameter: valid UTF-8 without quote, ';', '\\' or line
// breaks. Each input byte picks one character.
std::string header_text(FuzzInput& in, size_t max) {
    static const char* const WIDE[] = {"中", "文", "é", "😀", "　", "\xC2\xA0", " ", "\t"};
    std::string out;
    unsigned n = in.take_below(static_cast<unsigned>(max) + 1);
    for (unsigned i = 0; i < n; i++) {
        unsigned char b = static_cast<unsigned char>(in.take_byte());
        if (b >= 0x21 && b < 0x7F && !strchr("\";\\", b))
            out.push_back(static_cast<char>(b));
        else
            out += WIDE[b % 8];
    }
    return out;
}

std::string random_case(FuzzInput& in, const char* text) {
    std::string out(text);
    unsigned mask = in.take_byte();
    for (size_t i = 0; i < out.size(); i++)
        if (mask >> (i % 8) & 1 && out[i] >= 'a' && out[i] <= 'z') out[i] ^= 0x20;
    return out;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string strip_blanks(std::string s) {
    while (!s.empty() && is_blank(s.back())) s.pop_back();
    while (!s.empty() && is_blank(s.front())) s.erase(0, 1);
    return s;
}

// Bytes that must not hold the delimiter: every occurrence (also one that runs into the
// delimiter that follows) has its first byte changed.
void defuse(std::string* bytes, const std::string& delimiter) {
    for (;;) {
        std::string joined = *bytes + delimiter;
        size_t at = joined.find(delimiter);
        if (at >= bytes->size()) return;
        (*bytes)[at] = (*bytes)[at] == 'x' ? 'y' : 'x';
    }
}

// Part content: plain bytes mixed with pieces of the delimiter (its beginnings and its ends),
// so that near misses straddle the reads and lead the search astray.
std::string content(FuzzInput& in, const std::string& delimiter) {
    std::string out;
    for (unsigned steps = in.take_below(512); steps > 0 && in.size > 0; steps--) {
        unsigned char b = static_cast<unsigned char>(in.take_byte());
        if (b < 0xC0)
            out.push_back(static_cast<char>(b));
        else if (b < 0xF0)
            out += delimiter.substr(0, 1 + b % (delimiter.size() - 1));
        else
            out += delimiter.substr(1 + b % (delimiter.size() - 1));
    }
    return out;
}

struct Generated {
    std::string content_type;
    std::string body;
    std::vector<Part> parts;
};

Generated generate(FuzzInput& in) {
    Generated g;
    std::string boundary;
    unsigned blen = in.take_below(70) + 1;
    for (unsigned i = 0; i < blen; i++)
        boundary.push_back(BOUNDARY_CHARS[in.take_byte() % (sizeof BOUNDARY_CHARS - 1)]);
    bool quoted = in.take_byte() & 1;
    g.content_type =
        "multipart/form-data; boundary=" + (quoted ? "\"" + boundary + "\"" : boundary);
    if (in.take_byte() & 1) g.content_type += "; charset=utf-8";

    const std::string first = "--" + boundary;
    const std::string delimiter = "\r\n" + first;
    if (in.take_byte() & 1) {
        std::string preamble = in.take_field(64, '\n') + "\r\n";
        std::string guarded = preamble;
        defuse(&guarded, first);
        g.body += guarded;
    }
    g.body += first;
    unsigned count = in.take_below(5);
    for (unsigned i = 0; i < count; i++) {
        Part part;
        std::string disposition = random_case(in, "content-disposition") + ": form-data";
        unsigned flags = in.take_byte();
        if (flags & 1) {
            std::string name = header_text(in, 12);
            disposition += "; " + random_case(in, "name") + "=\"" + name + "\"";
            part.field = name;
        }
        // A file name as filename="..." and/or filename*=UTF-8''...; the later one counts.
        std::string plain = header_text(in, 24);
        std::string raw = in.take_field(24, 0);
        std::string encoded_part;
        {
            StrBufOwner sb;
            url_encode(sb.get(), raw.c_str());
            encoded_part = random_case(in, "filename*") + "=UTF-8''" + std::string(sb.c_str());
        }
        std::string plain_part = random_case(in, "filename") + "=\"" + plain + "\"";
        switch (flags >> 1 & 3) {
            case 1:
                disposition += "; " + plain_part;
                part.file = plain;
                break;
            case 2:
                disposition += "; " + encoded_part;
                part.file = raw;
                break;
            case 3:
                if (flags & 8) {
                    disposition += "; " + plain_part + "; " + encoded_part;
                    part.file = raw;
                } else {
                    disposition += "; " + encoded_part + "; " + plain_part;
                    part.file = plain;
                }
                break;
        }
        std::string headers = disposition;
        part.type = "application/octet-stream";
        if (flags & 16) {
            std::string type = strip_blanks(header_text(in, 16));
            headers += "\r\n" + random_case(in, "content-type") + ": " + type;
            part.type = type;
        }
        if (flags & 32) headers = random_case(in, "x-other") + ": 1\r\n" + headers;
        part.content = content(in, delimiter);
        defuse(&part.content, delimiter);
        g.body += "\r\n" + headers + "\r\n\r\n" + part.content + delimiter;
        g.parts.push_back(part);
    }
    g.body += "--" + in.take_field(16);  // the closing delimiter and an epilogue
    return g;
}

void run_generated(FuzzInput& in) {
    Feed feed;
    feed.cuts = take_cuts(in);
    Recorder rec;
    unsigned fault = in.take_byte();
    Generated g = generate(in);
    if (fault >= 0xF0) rec.fail_part = fault & 3;
    if (fault >= 0xE0 && fault < 0xF0) rec.discard_part = fault & 3;
    feed.body = g.body;
    feed.declared = g.body.size();
    int result = run_parse(&feed, g.content_type, &rec);

    bool fails = rec.fail_part >= 0 && rec.fail_part < static_cast<int>(g.parts.size()) &&
                 !g.parts[rec.fail_part].content.empty();
    if (fails) {
        // Every part before the failing one came through whole.
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(rec.parts.size() > static_cast<size_t>(rec.fail_part));
        for (int i = 0; i < rec.fail_part; i++) FUZZ_CHECK(rec.parts[i] == g.parts[i]);
        return;
    }
    FUZZ_CHECK(result == 1);
    FUZZ_CHECK(rec.parts.size() == g.parts.size());
    for (size_t i = 0; i < g.parts.size(); i++) {
        Part want = g.parts[i];
        if (static_cast<int>(i) == rec.discard_part) want.content.clear();
        FUZZ_CHECK(rec.parts[i] == want);
    }
}

void run_arbitrary(FuzzInput& in) {
    Feed feed;
    feed.cuts = take_cuts(in);
    feed.repeat = in.take_below(256) + 1;
    unsigned declared_shape = in.take_byte();
    std::string content_type = in.take_field(200, '\n');
    feed.body = in.take_rest();
    feed.declared = feed.available();
    if (declared_shape >= 0xC0) feed.declared += declared_shape;    // the peer stops early
    if (declared_shape < 0x10) feed.declared -= feed.declared / 3;  // a body with a tail
    Recorder rec;
    rec.record = false;
    run_parse(&feed, content_type, &rec);
    FUZZ_CHECK(feed.peak - feed.baseline < MEMORY_BOUND);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    if (in.take_byte() & 1)
        run_arbitrary(in);
    else
        run_generated(in);
    return 0;
}
