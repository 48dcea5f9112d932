#include "base/strbuf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr uint64_t FIRST_CAP = 256;
constexpr uint64_t TOP_BIT = uint64_t{1} << 63;

uint64_t grown_capacity(uint64_t cap, uint64_t needed) {
    uint64_t value = cap == 0 ? FIRST_CAP : cap;
    while (value < needed) {
        if (value * 2 >= TOP_BIT || value * 2 < value) return needed;
        value *= 2;
    }
    return value;
}
int sb_fail(StrBuf* sb) {
    sb->failed = 1;
    return -1;
}

}  // namespace

void sb_init(StrBuf* sb) {
    sb->data = nullptr;
    sb->len = 0;
    sb->cap = 0;
    sb->failed = 0;
}

void sb_free(StrBuf* sb) {
    free(sb->data);
    sb_init(sb);
}

void sb_clear(StrBuf* sb) {
    sb->len = 0;
    sb->failed = 0;
    if (sb->data) sb->data[0] = 0;
}

int sb_reserve(StrBuf* sb, uint64_t n) {
    if (n > UINT64_MAX - 2 - sb->len) return sb_fail(sb);
    uint64_t needed = sb->len + n + 1;
    if (sb->cap >= needed) return 0;
    uint64_t cap = grown_capacity(sb->cap, needed);
    if (cap > SIZE_MAX) return sb_fail(sb);
    char* data = static_cast<char*>(realloc(sb->data, static_cast<size_t>(cap)));
    if (!data) return sb_fail(sb);
    sb->data = data;
    sb->cap = cap;
    if (sb->len == 0) sb->data[0] = 0;
    return 0;
}

int sb_append(StrBuf* sb, const void* bytes, uint64_t n) {
    if (n == 0) return 0;
    if (sb_reserve(sb, n) != 0) return -1;
    memcpy(sb->data + sb->len, bytes, static_cast<size_t>(n));
    sb->len += n;
    sb->data[sb->len] = 0;
    return 0;
}

int sb_append_str(StrBuf* sb, const char* text) {
    if (!text || !*text) return 0;
    return sb_append(sb, text, strlen(text));
}

int sb_append_char(StrBuf* sb, char byte) {
    if (sb_reserve(sb, 1) != 0) return -1;
    sb->data[sb->len++] = byte;
    sb->data[sb->len] = 0;
    return 0;
}

int sb_appendf(StrBuf* sb, const char* format, ...) {
    char scratch[SB_APPENDF_MAX + 1];
    scratch[0] = 0;
    va_list args;
    va_start(args, format);
    int reported = vsnprintf(scratch, sizeof scratch, format, args);
    va_end(args);
    size_t len;
    if (reported < 0) {
        len = strlen(scratch);
        if (len == SB_APPENDF_MAX) return sb_fail(sb);
    } else {
        if (static_cast<size_t>(reported) > SB_APPENDF_MAX) return sb_fail(sb);
        len = static_cast<size_t>(reported);
    }
    return sb_append(sb, scratch, len);
}

char* sb_detach(StrBuf* sb) {
    char* text = sb->data;
    if (!text) {
        text = static_cast<char*>(malloc(1));
        if (text) text[0] = 0;
        return text;
    }
    sb_init(sb);
    return text;
}
