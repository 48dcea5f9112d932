#pragma once
// Punycode (RFC 3492): the ASCII form a browser gives a host name with non-ASCII letters,
// label by label, as "xn--" followed by the label's encoding. Labels are bounded, so the
// encoder needs no allocation and its arithmetic cannot overflow.
#include <cstddef>
#include <cstdint>

// The most code points one label may hold: a DNS label holds at most 63 bytes, so a longer
// one has no ASCII form anyway.
constexpr size_t PUNYCODE_MAX_LABEL_CHARS = 63;

// Encodes the code points of one label, without the "xn--" prefix, into out (out_size bytes,
// NUL-terminated): "münchen" gives "mnchen-3ya", "中文" gives "fiq228c". 0 on success; -1
// when there are more than PUNYCODE_MAX_LABEL_CHARS code points, one is above U+10FFFF, or
// the result does not fit out.
int punycode_encode(const uint32_t* code_points, size_t count, char* out, size_t out_size);

// The ASCII form of a UTF-8 host name into out (out_size bytes, NUL-terminated): each
// dot-separated label that holds a non-ASCII character becomes "xn--" + its encoding, every
// other label is copied as it is. Letters keep their case: lower-case the name first. 0 on
// success; -1 when the name is not valid UTF-8, a label is too long, or the result does not
// fit out.
int punycode_host_to_ascii(const char* name, char* out, size_t out_size);
