#include <windows.h>

#include <bcrypt.h>

#include <cstdint>

#include "base/random.h"

// One call takes a ULONG count; secrets are tiny, but larger requests are split all the same.
constexpr size_t RANDOM_CALL_MAX_BYTES = 1u << 30;

int random_bytes(void* out, size_t len) {
    auto* at = static_cast<uint8_t*>(out);
    while (len > 0) {
        size_t n = len < RANDOM_CALL_MAX_BYTES ? len : RANDOM_CALL_MAX_BYTES;
        NTSTATUS status =
            BCryptGenRandom(nullptr, at, static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0) return -1;
        at += n;
        len -= n;
    }
    return 0;
}
