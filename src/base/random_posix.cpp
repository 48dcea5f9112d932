// POSIX half of the random source: getentropy, which reads the kernel's generator and hands
// out at most 256 bytes per call.
#include <sys/random.h>
#include <unistd.h>

#include "base/random.h"

int random_bytes(void* out, size_t n) {
    constexpr size_t MAX_PIECE = 256;
    auto* at = static_cast<unsigned char*>(out);
    while (n > 0) {
        size_t piece = n < MAX_PIECE ? n : MAX_PIECE;
        if (getentropy(at, piece) != 0) return -1;
        at += piece;
        n -= piece;
    }
    return 0;
}
