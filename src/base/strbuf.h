#pragma once
// StrBuf: the one growable byte string of the system.
//
// A zero-filled StrBuf is a valid empty buffer. While data is not null, data[len] is 0 and
// len + 1 <= cap, so data always reads as a NUL-terminated text. The buffer owns data; only
// sb_detach gives it away. Results: 0 on success, -1 on failure; after a failure the text is
// unchanged and `failed` is set, so a text built by many appends is checked once, where it is
// used, instead of after every append (sb_clear and sb_free reset it).
#include <cstddef>
#include <cstdint>

struct StrBuf {
    char* data;
    uint64_t len;
    uint64_t cap;
    int failed;  // 1 once any append or reservation failed
};

// Largest piece one sb_appendf call may add.
constexpr size_t SB_APPENDF_MAX = 2047;

void sb_init(StrBuf* sb);
// Releases the storage and leaves the buffer as after sb_init.
void sb_free(StrBuf* sb);
// Empties the text but keeps the storage.
void sb_clear(StrBuf* sb);
// Makes room for n more bytes plus the terminator: 256 bytes first, then doubling.
int sb_reserve(StrBuf* sb, uint64_t n);
int sb_append(StrBuf* sb, const void* bytes, uint64_t n);
int sb_append_str(StrBuf* sb, const char* text);
int sb_append_char(StrBuf* sb, char byte);
// printf-style; a piece longer than SB_APPENDF_MAX bytes is left out whole and gives -1.
int sb_appendf(StrBuf* sb, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Hands the text to the caller, who frees it with free(). A buffer without storage gives a
// newly allocated empty text; null only when that allocation fails. The buffer is left empty.
char* sb_detach(StrBuf* sb);

// RAII owner for a StrBuf on the stack: frees it when the scope ends.
struct StrBufOwner {
    StrBuf sb{};
    StrBufOwner() = default;
    StrBufOwner(const StrBufOwner&) = delete;
    StrBufOwner& operator=(const StrBufOwner&) = delete;
    ~StrBufOwner() { sb_free(&sb); }
    StrBuf* operator->() { return &sb; }
    StrBuf* get() { return &sb; }
    const char* c_str() const { return sb.data ? sb.data : ""; }
};
