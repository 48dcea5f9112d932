#pragma once
// A request body held in memory, read the way an UploadBody's read function reads a socket.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

struct MemoryBody {
    std::string bytes;
    size_t pos = 0;
};

// UploadBody read function over a MemoryBody: at most capacity bytes; 0 at its end.
inline int64_t memory_read(void* context, char* buffer, size_t capacity) {
    auto* body = static_cast<MemoryBody*>(context);
    size_t n = std::min(capacity, body->bytes.size() - body->pos);
    memcpy(buffer, body->bytes.data() + body->pos, n);
    body->pos += n;
    return static_cast<int64_t>(n);
}
