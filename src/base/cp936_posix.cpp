#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/cp936.h"

namespace {
// U+FFFD, put in place of each byte that is not valid GBK, as the Windows conversion without
// flags also substitutes instead of failing.
const char REPLACEMENT[] = "\xEF\xBF\xBD";

iconv_t open_cp936() {
    // CP936 is GBK plus the euro sign at 0x80; not every iconv knows it by that name.
    iconv_t cd = iconv_open("UTF-8", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("UTF-8", "GBK");
    return cd;
}
}  // namespace

char* cp936_to_utf8(const char* bytes, size_t length) {
    iconv_t cd = open_cp936();
    if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
    // One GBK byte never gives more than three UTF-8 bytes (a replacement character included).
    size_t cap = length * 3 + 1;
    char* out = static_cast<char*>(malloc(cap));
    if (!out) {
        iconv_close(cd);
        return nullptr;
    }
    char* in_ptr = const_cast<char*>(bytes);
    size_t in_left = length;
    char* out_ptr = out;
    size_t out_left = cap - 1;
    while (in_left > 0) {
        if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1)) break;
        if ((errno != EILSEQ && errno != EINVAL) || out_left < 3) {
            free(out);
            iconv_close(cd);
            return nullptr;
        }
        memcpy(out_ptr, REPLACEMENT, 3);
        out_ptr += 3;
        out_left -= 3;
        ++in_ptr;
        --in_left;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    *out_ptr = 0;
    iconv_close(cd);
    return out;
}
