#include "base/text.h"

#include <cstdlib>
#include <cstring>

namespace {

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Bytes that percent-encoding leaves alone.
bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/';
}

char* copy_bytes(const char* from, size_t n) {
    char* text = static_cast<char*>(malloc(n + 1));
    if (!text) return nullptr;
    if (n) memcpy(text, from, n);
    text[n] = 0;
    return text;
}

}  // namespace

void url_decode(StrBuf* sb, const char* bytes, size_t len, int plus_is_space) {
    size_t run = 0;  // start of the bytes copied unchanged since the last special one
    size_t i = 0;
    while (i < len) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '%' && i + 2 < len) {
            int high = hex_value(static_cast<unsigned char>(bytes[i + 1]));
            int low = hex_value(static_cast<unsigned char>(bytes[i + 2]));
            if (high >= 0 && low >= 0) {
                sb_append(sb, bytes + run, i - run);
                sb_append_char(sb, static_cast<char>(high * 16 + low));
                i += 3;
                run = i;
                continue;
            }
        } else if (c == '+' && plus_is_space) {
            sb_append(sb, bytes + run, i - run);
            sb_append_char(sb, ' ');
            run = i + 1;
        }
        i++;
    }
    sb_append(sb, bytes + run, len - run);
}

void url_decode_path(StrBuf* sb, const char* bytes, size_t len) {
    url_decode(sb, bytes, len, 0);
}

void url_decode_query(StrBuf* sb, const char* bytes, size_t len) {
    url_decode(sb, bytes, len, 1);
}

void url_encode(StrBuf* sb, const char* text) {
    if (!text) return;
    static const char HEX[] = "0123456789ABCDEF";
    const char* run = text;
    const char* p = text;
    for (; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (is_unreserved(c)) continue;
        sb_append(sb, run, static_cast<uint64_t>(p - run));
        const char escape[3] = {'%', HEX[c >> 4], HEX[c & 15]};
        sb_append(sb, escape, 3);
        run = p + 1;
    }
    sb_append(sb, run, static_cast<uint64_t>(p - run));
}

int utf8_char_len(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

size_t utf8_step(const char* p) {
    if (!*p) return 0;
    int want = utf8_char_len(static_cast<unsigned char>(*p));
    size_t n = 1;
    while (static_cast<int>(n) < want && p[n]) n++;
    return n;
}

size_t utf8_count(const char* text) {
    if (!text) return 0;
    size_t count = 0;
    for (size_t n; (n = utf8_step(text)) != 0; text += n) count++;
    return count;
}

size_t utf8_prefix_bytes(const char* text, size_t max_chars) {
    if (!text) return 0;
    size_t bytes = 0;
    for (size_t chars = 0; chars < max_chars; chars++) {
        size_t n = utf8_step(text + bytes);
        if (n == 0) break;
        bytes += n;
    }
    return bytes;
}

size_t utf8_space_len(const char* p) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(p);
    // Each test reads a byte only after the one before it matched a non-zero value, so
    // nothing past the terminator is looked at.
    if ((s[0] >= 0x09 && s[0] <= 0x0D) || s[0] == 0x20) return 1;
    if (s[0] == 0xC2) return s[1] == 0xA0 ? 2 : 0;
    if (s[0] == 0xE1) return s[1] == 0x9A && s[2] == 0x80 ? 3 : 0;
    if (s[0] == 0xE3) return s[1] == 0x80 && s[2] == 0x80 ? 3 : 0;
    if (s[0] != 0xE2) return 0;
    if (s[1] == 0x80) {
        unsigned char c = s[2];
        return (c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF ? 3 : 0;
    }
    if (s[1] == 0x81) return s[2] == 0x9F ? 3 : 0;
    return 0;
}

char* utf8_trim(const char* text) {
    if (!text) return copy_bytes("", 0);
    const char* start = text;
    const char* end = text + strlen(text);
    for (size_t n; (n = utf8_space_len(start)) != 0;) start += n;
    while (start < end) {
        const char* lead = end - 1;
        while (lead > start && is_continuation(static_cast<unsigned char>(*lead))) lead--;
        if (is_continuation(static_cast<unsigned char>(*lead))) break;  // walked into start
        size_t n = utf8_space_len(lead);
        if (n == 0 || lead + n != end) break;
        end = lead;
    }
    return copy_bytes(start, static_cast<size_t>(end - start));
}

char* utf8_truncate(const char* text, size_t max_chars) {
    if (!text) return copy_bytes("", 0);
    return copy_bytes(text, utf8_prefix_bytes(text, max_chars));
}

bool text_equal_ascii_nocase(const char* a, const char* b) {
    for (; *a && *b; a++, b++) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) return false;
    }
    return *a == *b;
}

char* text_copy(const char* text) {
    if (!text) text = "";
    return text_copy_n(text, strlen(text));
}

char* text_copy_n(const char* bytes, size_t n) {
    char* copy = static_cast<char*>(malloc(n + 1));
    if (!copy) return nullptr;
    if (n) memcpy(copy, bytes, n);
    copy[n] = 0;
    return copy;
}
