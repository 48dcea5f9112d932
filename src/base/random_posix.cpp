// sys/random.h needs the types first on older macOS.
#include <sys/types.h>

#include <sys/random.h>
#include <unistd.h>

#include <cstdint>

#include "base/random.h"

// getentropy hands out at most 256 bytes per call (Linux, macOS and the BSDs alike).
constexpr size_t ENTROPY_CALL_MAX_BYTES = 256;

int random_bytes(void* out, size_t len) {
    auto* at = static_cast<uint8_t*>(out);
    while (len > 0) {
        size_t n = len < ENTROPY_CALL_MAX_BYTES ? len : ENTROPY_CALL_MAX_BYTES;
        if (getentropy(at, n) != 0) return -1;
        at += n;
        len -= n;
    }
    return 0;
}
