#include "qr/qr_svg.h"

#include "base/strbuf.h"
#include "qr/qr.h"

namespace {

constexpr int kModule = 8;     // user units per module
constexpr int kQuiet = 4 * 8;  // quiet zone on every side, in units
// Longest subpath "M480 480h456v8h-456z": coordinates and widths stay below 1,000.
constexpr int kMaxRunText = 20;

int count_runs(const uint8_t* matrix, int size) {
    int runs = 0;
    for (int at = 0; at < size * size; at++) {
        if (matrix[at] && (at % size == 0 || !matrix[at - 1])) runs++;
    }
    return runs;
}

// Writes a non-negative number below 1,000 and returns the position after it.
char* put_number(char* p, int value) {
    if (value >= 100) *p++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *p++ = static_cast<char>('0' + value / 10 % 10);
    *p++ = static_cast<char>('0' + value % 10);
    return p;
}

// "M%d %dh%dv%dh-%dz" for a run of n modules from column a of row r: a rectangle one module
// high, drawn clockwise from its top-left corner.
char* put_run(char* p, int a, int r, int n) {
    int width = kModule * n;
    *p++ = 'M';
    p = put_number(p, kModule * a + kQuiet);
    *p++ = ' ';
    p = put_number(p, kModule * r + kQuiet);
    *p++ = 'h';
    p = put_number(p, width);
    *p++ = 'v';
    p = put_number(p, kModule);
    *p++ = 'h';
    *p++ = '-';
    p = put_number(p, width);
    *p++ = 'z';
    return p;
}

// Appends every run's subpath straight into the buffer's reserved room.
int append_runs(StrBuf* sb, const uint8_t* matrix, int size) {
    if (sb_reserve(sb, static_cast<uint64_t>(count_runs(matrix, size)) * kMaxRunText) != 0)
        return -1;
    char* p = sb->data + sb->len;
    for (int r = 0; r < size; r++) {
        const uint8_t* row = matrix + r * size;
        for (int c = 0; c < size;) {
            if (!row[c]) {
                c++;
                continue;
            }
            int a = c;
            while (c < size && row[c]) c++;
            p = put_run(p, a, r, c - a);
        }
    }
    sb->len = static_cast<uint64_t>(p - sb->data);
    sb->data[sb->len] = '\0';
    return 0;
}

}  // namespace

char* qr_render_svg(const char* text, uint64_t length) {
    uint8_t matrix[QR_MAX_MODULES];
    int size = 0;
    if (qr_encode_text(text, length, matrix, &size, nullptr) < 0) return nullptr;
    int width = qr_svg_width(size);

    StrBufOwner sb;
    if (sb_appendf(sb.get(),
                   "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
                   "viewBox=\"0 0 %d %d\" shape-rendering=\"crispEdges\">",
                   width, width, width, width) != 0 ||
        sb_appendf(sb.get(), "<rect width=\"100%%\" height=\"100%%\" fill=\"%s\"/>", "#ffffff") !=
            0 ||
        sb_appendf(sb.get(), "<path fill=\"%s\" d=\"", "#0f172a") != 0 ||
        append_runs(sb.get(), matrix, size) != 0 || sb_append_str(sb.get(), "\"/></svg>") != 0) {
        return nullptr;
    }
    return sb_detach(sb.get());
}
