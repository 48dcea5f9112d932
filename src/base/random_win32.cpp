// Windows half of the random source: the system's preferred generator through BCrypt.
#include <windows.h>
#include <bcrypt.h>

#include <climits>

#include "base/random.h"

int random_bytes(void* out, size_t n) {
    auto* at = static_cast<unsigned char*>(out);
    while (n > 0) {
        ULONG piece = n < ULONG_MAX ? static_cast<ULONG>(n) : ULONG_MAX;
        if (BCryptGenRandom(nullptr, at, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return -1;
        at += piece;
        n -= piece;
    }
    return 0;
}
