#pragma once
// Secrets a client must not guess (session ids, login tokens, download addresses), from the
// operating system's cryptographic random source, and the checks of what a client offers as
// one: getentropy on POSIX (random_posix.cpp), BCryptGenRandom on
// Windows (random_win32.cpp). Never a seeded generator of our own: anyone who saw one value
// could compute the next.
#include <cstddef>

// The longest secret random_hex makes, in random bytes.
constexpr size_t RANDOM_HEX_MAX_BYTES = 64;

// Fills len bytes of out from the system's source. 0, or -1 when the source failed; out is
// then not to be used.
int random_bytes(void* out, size_t len);

// Writes 2 * bytes lower-case hex digits of fresh random bytes, then a terminator, into out,
// which must hold 2 * bytes + 1 chars. 0; -1 when the source failed or bytes is 0 or above
// RANDOM_HEX_MAX_BYTES (out then holds the empty text).
int random_hex(char* out, size_t bytes);

// True when the first len bytes of text are lower-case hex digits, as random_hex writes them;
// nothing past the first other byte (a terminator included) is read.
bool random_is_hex(const char* text, size_t len);
// 1 when the secret a (at most cap bytes long) equals b (any text; a longer one never
// matches), else 0. Every byte up to cap is looked at whatever the texts hold, so the time
// does not tell how close a guess came; fold makes ASCII letters compare without regard to
// case.
int random_secret_equal(const char* a, const char* b, size_t cap, bool fold);
