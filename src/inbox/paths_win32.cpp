// Windows half of the inbox paths.
#include "base/text.h"
#include "inbox/paths.h"

namespace {

// UTF-16 units that the conversion makes of one character of n bytes: a four-byte sequence
// becomes a surrogate pair; a malformed one becomes a replacement character per byte, which
// is counted so to stay on the safe side of the limit.
size_t units_of(const unsigned char* c, size_t n) {
    bool malformed = c[0] == 0xC0 || c[0] == 0xC1 || c[0] >= 0xF5;
    for (size_t k = 1; k < n; k++)
        if ((c[k] & 0xC0) != 0x80) malformed = true;
    if (malformed) return n;
    return n == 4 ? 2 : 1;
}

}  // namespace

// NTFS limits one name to 255 UTF-16 units.
size_t path_name_size(const char* name, size_t len) {
    size_t units = 0;
    for (size_t i = 0; i < len;) {
        size_t step = utf8_step(name + i);
        if (step == 0) break;
        units += units_of(reinterpret_cast<const unsigned char*>(name + i), step);
        i += step;
    }
    return units;
}
