#include <windows.h>

#include <climits>
#include <cstdlib>

#include "base/cp936.h"

char* cp936_to_utf8(const char* bytes, size_t length) {
    if (length == 0 || length > INT_MAX / 4) return nullptr;
    int len = static_cast<int>(length);
    // Without flags the conversion substitutes for bytes that are not valid GBK.
    int wide_len = MultiByteToWideChar(936, 0, bytes, len, nullptr, 0);
    if (wide_len <= 0) return nullptr;
    wchar_t* wide = static_cast<wchar_t*>(malloc(sizeof(wchar_t) * static_cast<size_t>(wide_len)));
    if (!wide) return nullptr;
    char* out = nullptr;
    if (MultiByteToWideChar(936, 0, bytes, len, wide, wide_len) == wide_len) {
        int out_len = WideCharToMultiByte(CP_UTF8, 0, wide, wide_len, nullptr, 0, nullptr, nullptr);
        if (out_len > 0) out = static_cast<char*>(malloc(static_cast<size_t>(out_len) + 1));
        if (out) {
            if (WideCharToMultiByte(CP_UTF8, 0, wide, wide_len, out, out_len, nullptr, nullptr) ==
                out_len) {
                out[out_len] = 0;
            } else {
                free(out);
                out = nullptr;
            }
        }
    }
    free(wide);
    return out;
}
