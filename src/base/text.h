#pragma once
// URL and Unicode text helpers for text that comes from the network.
//
// All text is UTF-8 bytes. Nothing here validates UTF-8 and nothing fails on malformed input:
// a stray '%' stays a '%', a stray continuation byte counts as one character. Every function
// is reentrant and touches only its arguments.
#include <cstddef>
#include <cstdlib>
#include <memory>

#include "base/strbuf.h"

// Appends the percent-decoded form of exactly len bytes (need not be NUL-terminated) to sb.
// "%XX" with two hex digits becomes that byte (a decoded zero byte is appended too, so the
// result read as a C string ends there); any other '%' is kept. With plus_is_space a '+'
// becomes a space. Allocation failures of sb are ignored (the output is then shorter).
void url_decode(StrBuf* sb, const char* bytes, size_t len, int plus_is_space);
// Paths, header values and multipart "filename*" values: '+' stays '+'.
void url_decode_path(StrBuf* sb, const char* bytes, size_t len);
// Query strings and form bodies: '+' is a space.
void url_decode_query(StrBuf* sb, const char* bytes, size_t len);

// Appends the percent-encoded form of a NUL-terminated text; null appends nothing. Letters,
// digits and "-._~/" stay as they are ('/' keeps relative paths readable in links); every
// other byte becomes '%' and two upper-case hex digits.
void url_encode(StrBuf* sb, const char* text);

// Length of the UTF-8 sequence that a lead byte announces: 1 for ASCII, 2/3/4 for the lead
// bytes 110xxxxx/1110xxxx/11110xxx, and 1 for anything else (stray continuation bytes, 0xF8
// and above). This is the one rule by which the system counts characters.
int utf8_char_len(unsigned char lead);
// Bytes of the character starting at p: utf8_char_len of its lead byte, but never past the
// terminating zero byte (a sequence cut by the end counts as one character). 0 at the end.
size_t utf8_step(const char* p);
// Number of characters in a NUL-terminated text (null counts as 0).
size_t utf8_count(const char* text);
// Number of bytes taken by the first max_chars characters of text (whole sequences only).
size_t utf8_prefix_bytes(const char* text, size_t max_chars);

// Byte length (1, 2 or 3) of the Unicode white-space character that starts at p, or 0. Looks
// at up to three bytes but never past a zero byte, so p must point into a NUL-terminated text.
size_t utf8_space_len(const char* p);

// A new copy of text without leading and trailing Unicode white space (as utf8_space_len
// sees it). Null text gives a new empty string. The caller frees the result; null only when
// memory runs out.
char* utf8_trim(const char* text);

// A new copy of at most max_chars whole characters of text. Null or empty text gives a new
// empty string. The caller frees the result; null only when memory runs out.
char* utf8_truncate(const char* text, size_t max_chars);

// ---- Owned texts -------------------------------------------------------------------------

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
// Owns a text from malloc (every "newly allocated" text of the system) and frees it.
using TextOwner = std::unique_ptr<char, FreeDeleter>;
// True when a and b are equal with only the ASCII letters A-Z folded to a-z (header names,
// media types); both must be texts, not null.
bool text_equal_ascii_nocase(const char* a, const char* b);
// A new copy of text (null counts as ""); the caller frees it. Null only without memory.
char* text_copy(const char* text);
// A new text of the n bytes at bytes and a terminator; the caller frees it. Null only without
// memory.
char* text_copy_n(const char* bytes, size_t n);
