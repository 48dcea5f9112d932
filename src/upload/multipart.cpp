#include "upload/multipart.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/strbuf.h"
#include "base/text.h"
#include "base/cp936.h"

namespace {


// A delimiter with its failure table (for each prefix, the length of its longest proper
// border), so that the search is linear in the body whatever boundary the client chose.
struct Delim {
    const char* bytes;
    size_t n;
    const uint32_t* fail;
};

const char* const DEFAULT_CONTENT_TYPE = "application/octet-stream";
// The end of a part's header block, with its failure table.
const uint32_t HEADER_END_FAIL[] = {0, 0, 1, 2};
const Delim HEADER_END = {"\r\n\r\n", 4, HEADER_END_FAIL};

// Where mp_read_until hands the bytes before the delimiter; a null write drops them.
struct Pour {
    int (*write)(void* context, const char* bytes, size_t length);
    void* context;
};

// The parser's state for one body. The window is buf[start, end): bytes read but not yet
// consumed. Everything before a possible delimiter is handed on at once, so between reads the
// window keeps only the few bytes that may begin a delimiter split across two reads.
struct Parser {
    MpReadFn read;
    void* read_context;
    int64_t remaining;
    char* buf;
    size_t cap;
    size_t start;
    size_t end;

    size_t held() const { return end - start; }
};

// ---- Searching and streaming -------------------------------------------------------------

void delim_build_fail(const char* bytes, size_t n, uint32_t* fail) {
    fail[0] = 0;
    size_t k = 0;
    for (size_t i = 1; i < n; ++i) {
        while (k > 0 && bytes[i] != bytes[k]) k = fail[k - 1];
        if (bytes[i] == bytes[k]) ++k;
        fail[i] = static_cast<uint32_t>(k);
    }
}

// Sixteen bytes compared at once (GCC and Clang vector extensions, SSE2 or NEON underneath).
using Bytes16 = unsigned char __attribute__((vector_size(16)));

bool any_set(Bytes16 v) {
    uint64_t halves[2];
    memcpy(halves, &v, sizeof halves);
    return (halves[0] | halves[1]) != 0;
}

// The first position j in [i, limit) where a delimiter of n bytes could start: its first
// byte is there and its last byte is n - 1 further on. Both bytes must match, which random
// content does about once in 65,536 positions, so whole blocks are passed over with a few
// vector operations. Returns limit (or i when i >= limit) when there is no such position.
size_t next_candidate(const unsigned char* buf, size_t i, size_t limit, const Delim& d) {
    const unsigned char first = static_cast<unsigned char>(d.bytes[0]);
    const unsigned char last = static_cast<unsigned char>(d.bytes[d.n - 1]);
    const Bytes16 firsts = Bytes16{} + first;
    const Bytes16 lasts = Bytes16{} + last;
    const size_t span = d.n - 1;
    while (i + 32 <= limit) {
        Bytes16 a0, a1, b0, b1;
        memcpy(&a0, buf + i, 16);
        memcpy(&a1, buf + i + 16, 16);
        memcpy(&b0, buf + i + span, 16);
        memcpy(&b1, buf + i + span + 16, 16);
        Bytes16 hits0 = reinterpret_cast<Bytes16>((a0 == firsts) & (b0 == lasts));
        Bytes16 hits1 = reinterpret_cast<Bytes16>((a1 == firsts) & (b1 == lasts));
        if (any_set(hits0 | hits1)) break;
        i += 32;
    }
    for (; i < limit; ++i)
        if (buf[i] == first && buf[i + span] == last) return i;
    return i;
}

// Scans buf[from, to) for the delimiter, continuing a partial match of *matched bytes.
// Returns the index just past a complete match, or -1 with *matched holding the partial match
// that ends at to. Outside a partial match the scan jumps to the next position where both the
// first and the last byte of the delimiter fit, so ordinary content goes by at memory speed;
// the failure table keeps the work linear whatever the content and the boundary.
ptrdiff_t delim_scan(const Delim& d, const char* buf, size_t from, size_t to, size_t* matched) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(buf);
    // Positions below limit have room for a whole delimiter before to.
    const size_t limit = to >= d.n ? to - d.n + 1 : 0;
    size_t q = *matched;
    size_t i = from;
    while (i < to) {
        if (q == 0) {
            size_t j = next_candidate(bytes, i, limit, d);
            if (j < limit) {
                i = j + 1;
            } else {
                // Near the end only a partial match can begin; it carries over to the next read.
                const void* hit = memchr(buf + j, d.bytes[0], to - j);
                if (!hit) break;
                i = static_cast<size_t>(static_cast<const char*>(hit) - buf) + 1;
            }
            q = 1;
        } else {
            char c = buf[i++];
            while (q > 0 && d.bytes[q] != c) q = d.fail[q - 1];
            if (d.bytes[q] == c) ++q;
            if (q == 1 && d.n > 1) {
                // Only this byte may begin a match: let the filter judge it, so that runs of
                // the delimiter's first byte do not keep the scan on the slow path.
                q = 0;
                --i;
                continue;
            }
        }
        if (q == d.n) {
            *matched = 0;
            return static_cast<ptrdiff_t>(i);
        }
    }
    *matched = q;
    return -1;
}

int pour(const Pour& to, const char* bytes, size_t length) {
    if (!to.write || length == 0) return 0;
    return to.write(to.context, bytes, length) == 0 ? 0 : -1;
}

// Reads once (at most MP_READ_MAX bytes, never past the body) onto the end of the window,
// first moving the few kept bytes to its start. 1 if at least one byte arrived; else 0, and
// nothing more is ever read.
int mp_fill(Parser* p) {
    if (p->remaining <= 0) return 0;
    if (p->start > 0) {
        memmove(p->buf, p->buf + p->start, p->held());
        p->end -= p->start;
        p->start = 0;
    }
    size_t want = p->cap - p->end;
    if (want > MP_READ_MAX) want = MP_READ_MAX;
    if (static_cast<uint64_t>(want) > static_cast<uint64_t>(p->remaining))
        want = static_cast<size_t>(p->remaining);
    int64_t got = want ? p->read(p->read_context, p->buf + p->end, want) : 0;
    if (got <= 0) {
        p->remaining = 0;
        return 0;
    }
    if (static_cast<uint64_t>(got) > want) got = static_cast<int64_t>(want);
    p->end += static_cast<size_t>(got);
    p->remaining -= got;
    return 1;
}

// Moves the window to just past the next occurrence of the delimiter, pouring every byte
// before it. 1 if found; 0 if the body ended first (what was left has been poured) or a
// write failed.
int mp_read_until(Parser* p, const Delim& d, const Pour& to) {
    size_t matched = 0;
    size_t scanned = 0;  // bytes at the window's start already scanned
    for (;;) {
        ptrdiff_t past = delim_scan(d, p->buf, p->start + scanned, p->end, &matched);
        if (past >= 0) {
            size_t at = static_cast<size_t>(past) - d.n;
            if (pour(to, p->buf + p->start, at - p->start) != 0) return 0;
            p->start = static_cast<size_t>(past);
            return 1;
        }
        if (p->held() >= d.n) {
            // Keep n - 1 bytes: they may be the start of a delimiter cut by the read.
            size_t safe = p->held() - (d.n - 1);
            if (pour(to, p->buf + p->start, safe) != 0) return 0;
            p->start += safe;
        }
        scanned = p->held();
        if (!mp_fill(p)) break;
    }
    pour(to, p->buf + p->start, p->held());
    p->start = p->end = 0;
    return 0;
}

// Takes up to two bytes from the window, reading while fewer are there; returns how many.
size_t mp_take_two(Parser* p, char out[2]) {
    while (p->held() < 2 && mp_fill(p)) {
    }
    size_t taken = p->held() < 2 ? p->held() : 2;
    memcpy(out, p->buf + p->start, taken);
    p->start += taken;
    return taken;
}

// Throws away the rest of the body, so the caller answers a fully received request.
void mp_drain(Parser* p) {
    p->start = p->end = 0;
    while (p->remaining > 0) {
        size_t want = p->cap < MP_READ_MAX ? p->cap : MP_READ_MAX;
        if (static_cast<uint64_t>(want) > static_cast<uint64_t>(p->remaining))
            want = static_cast<size_t>(p->remaining);
        int64_t got = p->read(p->read_context, p->buf, want);
        if (got <= 0) break;
        if (static_cast<uint64_t>(got) > want) got = static_cast<int64_t>(want);
        p->remaining -= got;
    }
    p->remaining = 0;
}

// Collects a part's header block, refusing one longer than MP_HEADER_MAX so that a body
// without a blank line cannot make the parser hold it all in memory.
int collect_header(void* context, const char* bytes, size_t length) {
    StrBuf* block = static_cast<StrBuf*>(context);
    if (length > MP_HEADER_MAX - block->len) return -1;
    return sb_append(block, bytes, length);
}

// ---- Header values ------------------------------------------------------------------------

bool is_lead_blank(char c) {
    return c == ' ' || c == '\t';
}
bool is_tail_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A new copy without leading spaces and tabs and without trailing tabs, line feeds, carriage
// returns and spaces. Null only when memory runs out.
char* hdr_trim(const char* bytes, size_t length) {
    size_t from = 0;
    while (from < length && is_lead_blank(bytes[from])) ++from;
    size_t to = length;
    while (to > from && is_tail_blank(bytes[to - 1])) --to;
    char* copy = static_cast<char*>(malloc(to - from + 1));
    if (!copy) return nullptr;
    memcpy(copy, bytes + from, to - from);
    copy[to - from] = 0;
    return copy;
}

// hdr_trim, then one pair of surrounding double quotes removed. Nothing inside is unescaped.
char* hdr_unquote(const char* text) {
    char* trimmed = hdr_trim(text, strlen(text));
    if (!trimmed) return nullptr;
    size_t len = strlen(trimmed);
    if (len >= 2 && trimmed[0] == '"' && trimmed[len - 1] == '"') {
        memmove(trimmed, trimmed + 1, len - 2);
        trimmed[len - 2] = 0;
    }
    return trimmed;
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(const unsigned char* s, size_t len) {
    size_t i = 0;
    while (i < len) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t need;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (len - i <= need) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (size_t k = 2; k <= need; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += need + 1;
    }
    return true;
}

// A header value as UTF-8: trimmed; kept when it already is valid UTF-8, else read as GBK
// (what older Chinese Windows clients send); kept as it is when even that fails.
char* hdr_to_utf8(const char* text) {
    char* trimmed = hdr_trim(text, strlen(text));
    if (!trimmed) return nullptr;
    size_t len = strlen(trimmed);
    if (is_valid_utf8(reinterpret_cast<const unsigned char*>(trimmed), len)) return trimmed;
    char* converted = cp936_to_utf8(trimmed, len);
    if (!converted) return trimmed;
    free(trimmed);
    return converted;
}

bool starts_with_nocase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        char a = *text, b = *prefix;
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// What a part's header block says about it. The texts are owned.
struct PartInfo {
    TextOwner field_name;
    TextOwner file_name;
    TextOwner content_type;
};

// The value of filename*=: charset and language before "''" are ignored, the rest is
// percent-decoded with '+' kept as it is.
char* decode_ext_value(const char* rest) {
    TextOwner value(hdr_trim(rest, strlen(rest)));
    if (!value) return nullptr;
    const char* encoded = value.get();
    const char* quotes = strstr(encoded, "''");
    if (quotes) encoded = quotes + 2;
    StrBufOwner decoded;
    url_decode_path(decoded.get(), encoded, strlen(encoded));
    return sb_detach(decoded.get());
}

// Reads field name and file name from a Content-Disposition value. When both file-name forms
// are present the later one wins. 0, or -1 when memory runs out.
int parse_disposition(const char* raw, PartInfo* info) {
    TextOwner value(hdr_to_utf8(raw));
    if (!value) return -1;
    info->field_name.reset();
    info->file_name.reset();
    char* cursor = value.get();
    if (!*cursor) return 0;
    for (;;) {
        char* semicolon = strchr(cursor, ';');
        size_t piece_len = semicolon ? static_cast<size_t>(semicolon - cursor) : strlen(cursor);
        TextOwner piece(hdr_trim(cursor, piece_len));
        if (!piece) return -1;
        const char* p = piece.get();
        if (starts_with_nocase(p, "name=")) {
            info->field_name.reset(hdr_unquote(p + 5));
            if (!info->field_name) return -1;
        } else if (starts_with_nocase(p, "filename*=")) {
            info->file_name.reset(decode_ext_value(p + 10));
            if (!info->file_name) return -1;
        } else if (starts_with_nocase(p, "filename=")) {
            info->file_name.reset(hdr_unquote(p + 9));
            if (!info->file_name) return -1;
        }
        if (!semicolon) return 0;
        cursor = semicolon + 1;
    }
}

// Applies one header line (already trimmed) to info. 0, or -1 when memory runs out.
int apply_header_line(const char* line, PartInfo* info) {
    const char* colon = strchr(line, ':');
    if (!colon) return 0;
    TextOwner name(hdr_trim(line, static_cast<size_t>(colon - line)));
    if (!name) return -1;
    for (char* c = name.get(); *c; ++c)
        if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c - 'A' + 'a');
    if (strcmp(name.get(), "content-type") == 0) {
        info->content_type.reset(hdr_to_utf8(colon + 1));
        return info->content_type ? 0 : -1;
    }
    if (strcmp(name.get(), "content-disposition") == 0) return parse_disposition(colon + 1, info);
    return 0;
}

const char* find_crlf(const char* bytes, size_t len) {
    const char* end = bytes + len;
    for (const char* p = bytes; p + 1 < end; ++p) {
        p = static_cast<const char*>(memchr(p, '\r', static_cast<size_t>(end - p) - 1));
        if (!p) return nullptr;
        if (p[1] == '\n') return p;
    }
    return nullptr;
}

// Splits a header block into its "\r\n"-separated lines. 0, or -1 when memory runs out.
int parse_header_block(const char* block, size_t len, PartInfo* info) {
    size_t pos = 0;
    while (pos <= len) {
        const char* eol = find_crlf(block + pos, len - pos);
        size_t line_len = eol ? static_cast<size_t>(eol - (block + pos)) : len - pos;
        TextOwner line(hdr_trim(block + pos, line_len));
        if (!line || apply_header_line(line.get(), info) != 0) return -1;
        if (!eol) break;
        pos += line_len + 2;
    }
    return 0;
}

// Finds the boundary in a Content-Type value: after the first "boundary=" (case-sensitive),
// an optional opening quote, up to ';', ',', '"' or the end, without trailing blanks.
// 1 with its place, or 0 when there is no usable boundary.
int extract_boundary(const char* content_type, const char** out, size_t* out_len) {
    const char* at = strstr(content_type, "boundary=");
    if (!at) return 0;
    at += 9;
    if (*at == '"') ++at;
    if (*at == '"' || *at == 0) return 0;
    size_t len = strcspn(at, ";,\"");
    while (len > 0 && (at[len - 1] == ' ' || at[len - 1] == '\t')) --len;
    if (len == 0) return 0;
    *out = at;
    *out_len = len;
    return 1;
}

// Reads one part: header block, open call, content up to the part delimiter. 1 when the part
// ended at its delimiter, 0 when the parse must stop (the result is then 0).
int mp_read_part(Parser* p, const Delim& part_delim, MpOpenFn open, void* open_context) {
    StrBufOwner block;
    if (!mp_read_until(p, HEADER_END, Pour{collect_header, block.get()})) return 0;
    if (block->len == 0) return 0;
    PartInfo info;
    if (parse_header_block(block->data, block->len, &info) != 0) return 0;
    const char* type = info.content_type ? info.content_type.get() : DEFAULT_CONTENT_TYPE;
    MpSink* sink = open(open_context, info.field_name.get(), info.file_name.get(), type);
    Pour to{nullptr, nullptr};
    if (sink) to = Pour{sink->write, sink->context};
    int found = mp_read_until(p, part_delim, to);
    if (sink && sink->close) sink->close(sink->context);
    return found;
}

}  // namespace

int mp_parse(MpReadFn read, void* read_context, int64_t content_length, const char* content_type,
             MpOpenFn open, void* open_context) {
    const char* boundary;
    size_t blen;
    if (!content_type || !extract_boundary(content_type, &boundary, &blen)) return -1;

    // The part delimiter is "\r\n--" + boundary; the first delimiter is the same without the
    // line break, since the body may begin with it.
    size_t part_len = blen + 4;
    TextOwner part_bytes(static_cast<char*>(malloc(part_len)));
    std::unique_ptr<uint32_t, FreeDeleter> fails(
        static_cast<uint32_t*>(malloc(sizeof(uint32_t) * (2 * part_len - 2))));
    // The window never keeps more than a delimiter's length before a read.
    size_t cap = MP_READ_MAX + part_len;
    TextOwner window(static_cast<char*>(malloc(cap)));
    if (!part_bytes || !fails || !window) return -1;
    memcpy(part_bytes.get(), "\r\n--", 4);
    memcpy(part_bytes.get() + 4, boundary, blen);
    uint32_t* part_fail = fails.get();
    uint32_t* first_fail = part_fail + part_len;
    delim_build_fail(part_bytes.get(), part_len, part_fail);
    delim_build_fail(part_bytes.get() + 2, part_len - 2, first_fail);
    const Delim part_delim = {part_bytes.get(), part_len, part_fail};
    const Delim first_delim = {part_bytes.get() + 2, part_len - 2, first_fail};

    Parser p{read, read_context, content_length > 0 ? content_length : 0, window.get(), cap, 0, 0};
    mp_read_until(&p, first_delim, Pour{nullptr, nullptr});

    int result = 0;
    char two[2];
    if (mp_take_two(&p, two) == 2 && two[0] == '-' && two[1] == '-') {
        result = 1;  // a form without parts
    } else {
        while (mp_read_part(&p, part_delim, open, open_context)) {
            if (mp_take_two(&p, two) < 2) break;
            if (two[0] == '-' && two[1] == '-') {
                result = 1;
                break;
            }
        }
    }
    mp_drain(&p);
    return result;
}
