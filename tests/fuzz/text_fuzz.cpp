// Percent-decoding and -encoding and the Unicode helpers on arbitrary bytes, each compared with
// a plain reference or with what it promises about its own output.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/strbuf.h"
#include "base/text.h"
#include "fuzz_check.h"

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "%XX" becomes its byte, any other '%' stays; '+' is a space only in queries.
std::string reference_decode(const std::string& in, bool plus_is_space) {
    std::string out;
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] == '%' && i + 2 < in.size() && hex_digit(in[i + 1]) >= 0 &&
            hex_digit(in[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_digit(in[i + 1]) * 16 + hex_digit(in[i + 2])));
            i += 2;
        } else if (in[i] == '+' && plus_is_space) {
            out.push_back(' ');
        } else {
            out.push_back(in[i]);
        }
    }
    return out;
}

std::string decoded(const std::string& in, bool plus_is_space) {
    StrBufOwner sb;
    if (plus_is_space)
        url_decode_query(sb.get(), in.data(), in.size());
    else
        url_decode_path(sb.get(), in.data(), in.size());
    return std::string(sb->data ? sb->data : "", sb->len);
}

// The white-space characters the trimming removes, as UTF-8.
const char* const SPACES[] = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
    "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

// Length of the white-space character at the start of s, or 0.
size_t space_at(const std::string& s, size_t at) {
    for (const char* space : SPACES)
        if (s.compare(at, strlen(space), space) == 0) return strlen(space);
    return 0;
}

size_t space_at_start(const std::string& s) {
    return space_at(s, 0);
}

size_t space_at_end(const std::string& s) {
    for (const char* space : SPACES) {
        size_t n = strlen(space);
        if (s.size() >= n && s.compare(s.size() - n, n, space) == 0) return n;
    }
    return 0;
}

bool all_spaces(const std::string& s) {
    for (size_t at = 0, n; at < s.size(); at += n)
        if ((n = space_at(s, at)) == 0) return false;
    return true;
}

void check_decoding(const std::string& in) {
    FUZZ_CHECK(decoded(in, false) == reference_decode(in, false));
    FUZZ_CHECK(decoded(in, true) == reference_decode(in, true));
}

void check_encoding(const std::string& text) {
    StrBufOwner sb;
    url_encode(sb.get(), text.c_str());
    std::string encoded(sb.c_str(), sb->len);
    for (size_t i = 0; i < encoded.size(); i++) {
        char c = encoded[i];
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     strchr("-._~/", c) != nullptr;
        if (plain) continue;
        // Every escape is '%' and two upper-case hex digits.
        FUZZ_CHECK(c == '%' && i + 2 < encoded.size());
        for (char h : {encoded[i + 1], encoded[i + 2]})
            FUZZ_CHECK((h >= '0' && h <= '9') || (h >= 'A' && h <= 'F'));
        i += 2;
    }
    FUZZ_CHECK(decoded(encoded, false) == text);
    FUZZ_CHECK(decoded(encoded, true) == text);
}

void check_counting(const std::string& text, size_t limit) {
    const char* s = text.c_str();
    size_t count = utf8_count(s);
    FUZZ_CHECK(count <= text.size());
    FUZZ_CHECK(utf8_prefix_bytes(s, count) == text.size());
    // Every character is one to four bytes and starts with a lead byte or a stray byte.
    size_t steps = 0;
    for (size_t at = 0; at < text.size(); steps++) {
        size_t n = utf8_step(s + at);
        FUZZ_CHECK(n >= 1 && n <= 4 && at + n <= text.size());
        FUZZ_CHECK(n <= static_cast<size_t>(utf8_char_len(static_cast<unsigned char>(s[at]))));
        at += n;
    }
    FUZZ_CHECK(steps == count && utf8_step(s + text.size()) == 0);

    char* cut = utf8_truncate(s, limit);
    FUZZ_CHECK(cut != nullptr);
    size_t cut_len = strlen(cut);
    FUZZ_CHECK(text.compare(0, cut_len, cut) == 0);
    FUZZ_CHECK(utf8_count(cut) == (count < limit ? count : limit));
    FUZZ_CHECK(cut_len == utf8_prefix_bytes(s, limit));
    free(cut);
}

void check_trimming(const std::string& text) {
    const char* s = text.c_str();
    for (size_t at = 0; at <= text.size(); at++) {
        size_t n = utf8_space_len(s + at);
        FUZZ_CHECK(n == space_at(text, at));
    }
    char* trimmed = utf8_trim(s);
    FUZZ_CHECK(trimmed != nullptr);
    std::string kept(trimmed);
    free(trimmed);
    // All white space at the start goes; then only white space goes from the end, and none is
    // left there.
    size_t before = 0;
    for (size_t n; (n = space_at(text, before)) > 0;) before += n;
    FUZZ_CHECK(text.compare(before, kept.size(), kept) == 0);
    FUZZ_CHECK(all_spaces(text.substr(0, before)));
    FUZZ_CHECK(all_spaces(text.substr(before + kept.size())));
    FUZZ_CHECK(space_at_start(kept) == 0 && space_at_end(kept) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    size_t limit = in.take_byte();
    std::string bytes = in.take_rest();
    check_decoding(bytes);
    // The helpers below take NUL-terminated text: what comes before the first zero byte.
    std::string text(bytes.c_str());
    check_encoding(text);
    check_counting(text, limit);
    check_trimming(text);
    return 0;
}
