// The "bytes=" range parser on arbitrary values and file sizes, against the rules worked out
// in 128-bit arithmetic: the same partial flag, the same 416 decision, and for every range that
// is served the same bounds, inside the file.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "http/download.h"
#include "http/request.h"

namespace {

using Wide = __int128;

struct Range {
    Wide start, end;
    int partial;
};

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool number(const std::string& s, Wide* out) {
    int64_t v = 0;
    if (!http_parse_int64(s.data(), s.size(), &v)) return false;
    *out = v;
    return true;
}

Range reference(std::string value, int64_t size) {
    Range r{0, static_cast<Wide>(size) - 1, 1};
    value = value.substr(0, value.find(','));
    size_t from = 0, to = value.size();
    while (from < to && is_space(value[from])) from++;
    while (to > from && is_space(value[to - 1])) to--;
    value = value.substr(from, to - from);
    size_t dash = value.find('-');
    if (dash == std::string::npos) {
        if (!value.empty() && !number(value, &r.start)) r = {0, r.end, 0};
        return r;
    }
    std::string first = value.substr(0, dash), second = value.substr(dash + 1);
    Wide n = 0;
    if (!first.empty()) {
        if (!number(first, &r.start)) return {0, r.end, 0};
        if (second.empty()) return r;
        if (!number(second, &n)) return {0, r.end, 0};
        if (n < r.end) r.end = n;
    } else if (!second.empty()) {
        if (!number(second, &n)) return {0, r.end, 0};
        r.start = size - n < 0 ? 0 : size - n;
    }
    return r;
}

bool unsatisfiable(Wide start, Wide end, int64_t size) {
    return start > end || start >= size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    // File sizes: small ones, ones near the 4 GiB and 63-bit edges, or any.
    unsigned shape = in.take_byte();
    uint64_t raw = 0;
    for (int i = 0; i < 8; i++) raw = raw << 8 | in.take_byte();
    int64_t file_size;
    switch (shape % 4) {
        case 0:
            file_size = static_cast<int64_t>(raw % 2048);
            break;
        case 1:
            file_size = static_cast<int64_t>(4294967296ull - 1024 + raw % 2048);
            break;
        case 2:
            file_size = INT64_MAX - static_cast<int64_t>(raw % 2048);
            break;
        default:
            file_size = static_cast<int64_t>(raw >> 1);
    }
    std::string value = in.take_rest();
    value = value.c_str();  // a header value is a C string

    int64_t start = -7, end = -7;
    int partial = http_parse_range(value.c_str(), file_size, &start, &end);
    Range want = reference(value, file_size);
    FUZZ_CHECK(partial == want.partial);
    bool refused = unsatisfiable(start, end, file_size);
    FUZZ_CHECK(refused == unsatisfiable(want.start, want.end, file_size));
    if (!refused) {
        FUZZ_CHECK(start == want.start && end == want.end);
        FUZZ_CHECK(start >= 0 && start <= end && end < file_size);
    }
    return 0;
}
