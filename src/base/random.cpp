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
