#include "base/random.h"

#include <cstdint>

int random_hex(char* out, size_t bytes) {
    out[0] = 0;
    if (bytes == 0 || bytes > RANDOM_HEX_MAX_BYTES) return -1;
    uint8_t raw[RANDOM_HEX_MAX_BYTES];
    if (random_bytes(raw, bytes) != 0) return -1;
    static const char DIGITS[] = "0123456789abcdef";
    for (size_t i = 0; i < bytes; i++) {
        out[2 * i] = DIGITS[raw[i] >> 4];
        out[2 * i + 1] = DIGITS[raw[i] & 15];
    }
    out[2 * bytes] = 0;
    return 0;
}

bool random_is_hex(const char* text, size_t len) {
    for (size_t i = 0; i < len; i++) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

namespace {

// A-Z to a-z without a branch on the byte, which may be part of the secret.
unsigned fold_ascii(unsigned char c) {
    unsigned upper = static_cast<unsigned>(static_cast<unsigned char>(c - 'A') < 26u);
    return c + 32u * upper;
}

// Length of text up to cap (text may be longer; nothing past cap is read).
size_t bounded_len(const char* text, size_t cap) {
    size_t n = 0;
    while (n < cap && text[n]) n++;
    return n;
}

}  // namespace

int random_secret_equal(const char* a, const char* b, size_t cap, bool fold) {
    size_t a_len = bounded_len(a, cap + 1);
    size_t b_len = bounded_len(b, cap + 1);
    unsigned diff = static_cast<unsigned>(a_len ^ b_len);
    for (size_t i = 0; i < cap; i++) {
        unsigned char x = i < a_len ? static_cast<unsigned char>(a[i]) : 0;
        unsigned char y = i < b_len ? static_cast<unsigned char>(b[i]) : 0;
        diff |= fold ? fold_ascii(x) ^ fold_ascii(y) : static_cast<unsigned>(x ^ y);
    }
    return diff == 0 ? 1 : 0;
}
