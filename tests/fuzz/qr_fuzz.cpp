// The QR encoder on arbitrary texts, checked by a small independent reader: the function
// patterns where the standard puts them, format and version bits that name level M and the
// chosen mask, data read back in zigzag order and unmasked, every block a Reed-Solomon
// codeword (all syndromes zero), and a byte-mode segment that holds exactly the text,
// followed by the terminator and the pad bytes. The SVG drawn from the symbol is read back
// into the same modules.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "qr/qr.h"
#include "qr/qr_svg.h"

namespace {

// Level M blocks for versions 1-10: EC codewords per block, then the blocks' data sizes
// (short blocks first).
struct Blocks {
    int ec;
    int count_short, data_short, count_long;  // long blocks hold one more data codeword
};
const Blocks LEVEL_M[11] = {
    {},
    {10, 1, 16, 0},
    {16, 1, 28, 0},
    {26, 1, 44, 0},
    {18, 2, 32, 0},
    {24, 2, 43, 0},
    {16, 4, 27, 0},
    {18, 4, 31, 0},
    {22, 2, 38, 2},
    {22, 3, 36, 2},
    {26, 4, 43, 1},
};
const int ALIGN[11][3] = {
    {},      {},          {6, 18},     {6, 22},     {6, 26},     {6, 30},
    {6, 34}, {6, 22, 38}, {6, 24, 42}, {6, 26, 46}, {6, 28, 50},
};
const int REMAINDER_BITS[11] = {0, 0, 7, 7, 7, 7, 7, 0, 0, 0, 0};

uint8_t gf_exp[512];
int gf_log[256];

void build_field() {
    int x = 1;
    for (int i = 0; i < 255; i++) {
        gf_exp[i] = gf_exp[i + 255] = static_cast<uint8_t>(x);
        gf_log[x] = i;
        x <<= 1;
        if (x & 0x100) x ^= 0x11D;
    }
}

uint8_t gf_mul_exp(uint8_t a, int power) {  // a * alpha^power
    if (a == 0) return 0;
    return gf_exp[(gf_log[a] + power) % 255];
}

std::vector<int> alignment_centres(int version) {
    std::vector<int> out;
    for (int c : ALIGN[version])
        if (c) out.push_back(c);
    return out;
}

// Which modules the function patterns take, worked out from the standard's geometry.
std::vector<uint8_t> function_map(int version, int n) {
    std::vector<uint8_t> map(static_cast<size_t>(n * n), 0);
    auto mark = [&](int x, int y) { map[static_cast<size_t>(y * n + x)] = 1; };
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++) {
            bool finder = (x < 9 && y < 9) || (x >= n - 8 && y < 9) || (x < 9 && y >= n - 8);
            bool timing = x == 6 || y == 6;
            bool version_info = version >= 7 && ((x >= n - 11 && x < n - 8 && y < 6) ||
                                                 (y >= n - 11 && y < n - 8 && x < 6));
            if (finder || timing || version_info) mark(x, y);
        }
    std::vector<int> c = alignment_centres(version);
    for (int cy : c)
        for (int cx : c) {
            if ((cx == 6 && cy == 6) || (cx == 6 && cy == c.back()) || (cx == c.back() && cy == 6))
                continue;
            for (int dy = -2; dy <= 2; dy++)
                for (int dx = -2; dx <= 2; dx++) mark(cx + dx, cy + dy);
        }
    return map;
}

struct Symbol {
    int version, size;
    const uint8_t* m;
    std::vector<uint8_t> function;
    bool dark(int x, int y) const { return m[y * size + x] != 0; }
};

bool is_function(const Symbol& s, int x, int y) {
    return s.function[static_cast<size_t>(y * s.size + x)] != 0;
}

bool mask_bit(int mask, int x, int y) {
    switch (mask) {
        case 0:
            return (x + y) % 2 == 0;
        case 1:
            return y % 2 == 0;
        case 2:
            return x % 3 == 0;
        case 3:
            return (x + y) % 3 == 0;
        case 4:
            return (x / 3 + y / 2) % 2 == 0;
        case 5:
            return x * y % 2 + x * y % 3 == 0;
        case 6:
            return (x * y % 2 + x * y % 3) % 2 == 0;
        default:
            return ((x + y) % 2 + x * y % 3) % 2 == 0;
    }
}

void check_patterns(const Symbol& s) {
    int n = s.size;
    const int finders[3][2] = {{3, 3}, {n - 4, 3}, {3, n - 4}};
    for (const auto& f : finders)
        for (int dy = -4; dy <= 4; dy++)
            for (int dx = -4; dx <= 4; dx++) {
                int x = f[0] + dx, y = f[1] + dy;
                if (x < 0 || y < 0 || x >= n || y >= n) continue;
                int dist = abs(dx) > abs(dy) ? abs(dx) : abs(dy);
                FUZZ_CHECK(s.dark(x, y) == (dist != 2 && dist != 4));
            }
    for (int i = 8; i < n - 8; i++)
        FUZZ_CHECK(s.dark(i, 6) == (i % 2 == 0) && s.dark(6, i) == (i % 2 == 0));
    std::vector<int> c = alignment_centres(s.version);
    for (int cy : c)
        for (int cx : c) {
            if ((cx == 6 && cy == 6) || (cx == 6 && cy == c.back()) || (cx == c.back() && cy == 6))
                continue;
            for (int dy = -2; dy <= 2; dy++)
                for (int dx = -2; dx <= 2; dx++) {
                    int dist = abs(dx) > abs(dy) ? abs(dx) : abs(dy);
                    FUZZ_CHECK(s.dark(cx + dx, cy + dy) == (dist != 1));
                }
        }
    FUZZ_CHECK(s.dark(8, n - 8));  // the dark module
}

void check_format_and_version(const Symbol& s, int mask) {
    int n = s.size;
    int data = mask;  // level M is 00
    int rem = data;
    for (int i = 0; i < 10; i++) rem = (rem << 1) ^ ((rem >> 9) * 0x537);
    int bits = (data << 10 | rem) ^ 0x5412;
    auto bit = [&](int i) { return (bits >> i & 1) != 0; };
    for (int i = 0; i <= 5; i++) FUZZ_CHECK(s.dark(8, i) == bit(i));
    FUZZ_CHECK(s.dark(8, 7) == bit(6) && s.dark(8, 8) == bit(7) && s.dark(7, 8) == bit(8));
    for (int i = 9; i < 15; i++) FUZZ_CHECK(s.dark(14 - i, 8) == bit(i));
    for (int i = 0; i < 8; i++) FUZZ_CHECK(s.dark(n - 1 - i, 8) == bit(i));
    for (int i = 8; i < 15; i++) FUZZ_CHECK(s.dark(8, n - 15 + i) == bit(i));
    if (s.version < 7) return;
    int vrem = s.version;
    for (int i = 0; i < 12; i++) vrem = (vrem << 1) ^ ((vrem >> 11) * 0x1F25);
    long vbits = static_cast<long>(s.version) << 12 | vrem;
    for (int i = 0; i < 18; i++) {
        bool b = (vbits >> i & 1) != 0;
        int a = n - 11 + i % 3, c = i / 3;
        FUZZ_CHECK(s.dark(a, c) == b && s.dark(c, a) == b);
    }
}

// The codewords in placement order, unmasked.
std::vector<uint8_t> read_codewords(const Symbol& s, int mask, int total) {
    std::vector<uint8_t> out(static_cast<size_t>(total), 0);
    int free_modules = 0;
    for (int y = 0; y < s.size; y++)
        for (int x = 0; x < s.size; x++) free_modules += !is_function(s, x, y);
    FUZZ_CHECK(free_modules == total * 8 + REMAINDER_BITS[s.version]);
    int i = 0;
    for (int right = s.size - 1; right >= 1; right -= 2) {
        if (right == 6) right = 5;
        for (int vert = 0; vert < s.size; vert++)
            for (int j = 0; j < 2; j++) {
                int x = right - j;
                bool upward = ((right + 1) & 2) == 0;
                int y = upward ? s.size - 1 - vert : vert;
                if (is_function(s, x, y)) continue;
                bool b = s.dark(x, y) != mask_bit(mask, x, y);
                if (i < total * 8) {
                    out[static_cast<size_t>(i >> 3)] |= static_cast<uint8_t>(b << (7 - (i & 7)));
                } else {
                    FUZZ_CHECK(!b);  // remainder bits are 0
                }
                i++;
            }
    }
    return out;
}

// Splits the interleaved codewords into blocks, checks each block's syndromes and returns the
// data codewords in order.
std::vector<uint8_t> check_blocks(const std::vector<uint8_t>& words, int version) {
    const Blocks& b = LEVEL_M[version];
    int count = b.count_short + b.count_long;
    std::vector<std::vector<uint8_t>> blocks(static_cast<size_t>(count));
    auto data_len = [&](int k) { return b.data_short + (k >= b.count_short ? 1 : 0); };
    size_t at = 0;
    for (int i = 0; i <= b.data_short; i++)
        for (int k = 0; k < count; k++)
            if (i < data_len(k)) blocks[k].push_back(words[at++]);
    for (int i = 0; i < b.ec; i++)
        for (int k = 0; k < count; k++) blocks[k].push_back(words[at++]);
    FUZZ_CHECK(at == words.size());
    std::vector<uint8_t> data;
    for (int k = 0; k < count; k++) {
        for (int root = 0; root < b.ec; root++) {
            uint8_t acc = 0;
            for (uint8_t c : blocks[k]) acc = static_cast<uint8_t>(gf_mul_exp(acc, root) ^ c);
            FUZZ_CHECK(acc == 0);
        }
        data.insert(data.end(), blocks[k].begin(), blocks[k].begin() + data_len(k));
    }
    return data;
}

struct BitReader {
    const std::vector<uint8_t>& bytes;
    size_t pos = 0;
    size_t left() const { return bytes.size() * 8 - pos; }
    int take(int n) {
        int v = 0;
        for (int i = 0; i < n; i++, pos++) v = v << 1 | (bytes[pos >> 3] >> (7 - (pos & 7)) & 1);
        return v;
    }
};

void check_segment(const std::vector<uint8_t>& data, const std::string& text, int version) {
    BitReader r{data};
    FUZZ_CHECK(r.take(4) == 4);  // byte mode
    int count = r.take(version <= 9 ? 8 : 16);
    FUZZ_CHECK(count == static_cast<int>(text.size()));
    for (char c : text) FUZZ_CHECK(r.take(8) == static_cast<unsigned char>(c));
    int terminator = r.left() < 4 ? static_cast<int>(r.left()) : 4;
    FUZZ_CHECK(r.take(terminator) == 0);
    if (r.pos % 8) FUZZ_CHECK(r.take(8 - static_cast<int>(r.pos % 8)) == 0);
    for (int i = 0; r.left() > 0; i++) FUZZ_CHECK(r.take(8) == (i % 2 ? 0x11 : 0xEC));
}

// Reads "M%d %dh%dv8h-%dz" subpaths back into modules.
void check_svg(const char* svg, const Symbol& s) {
    std::string doc(svg);
    int w = qr_svg_width(s.size);
    std::string head = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(w) +
                       "\" height=\"" + std::to_string(w) + "\" viewBox=\"0 0 " +
                       std::to_string(w) + " " + std::to_string(w) +
                       "\" shape-rendering=\"crispEdges\">";
    FUZZ_CHECK(doc.compare(0, head.size(), head) == 0);
    size_t d = doc.find(" d=\"");
    FUZZ_CHECK(d != std::string::npos);
    FUZZ_CHECK(doc.compare(d + 4, 16, "M32 32h56v8h-56z") == 0);
    FUZZ_CHECK(doc.size() > 9 && doc.compare(doc.size() - 9, 9, "\"/></svg>") == 0);
    std::vector<uint8_t> drawn(static_cast<size_t>(s.size * s.size), 0);
    const char* p = doc.c_str() + d + 4;
    while (*p == 'M') {
        char* end;
        long x = strtol(p + 1, &end, 10);
        FUZZ_CHECK(*end == ' ');
        long y = strtol(end + 1, &end, 10);
        FUZZ_CHECK(*end == 'h');
        long width = strtol(end + 1, &end, 10);
        FUZZ_CHECK(strncmp(end, "v8h-", 4) == 0);
        long back = strtol(end + 4, &end, 10);
        FUZZ_CHECK(*end == 'z' && back == width);
        p = end + 1;
        FUZZ_CHECK((x - 32) % 8 == 0 && (y - 32) % 8 == 0 && width % 8 == 0 && width > 0);
        long col = (x - 32) / 8, row = (y - 32) / 8, run = width / 8;
        FUZZ_CHECK(row >= 0 && row < s.size && col >= 0 && col + run <= s.size);
        // Runs are maximal: light modules (or the edge) on both sides.
        FUZZ_CHECK(col == 0 || !s.dark(static_cast<int>(col - 1), static_cast<int>(row)));
        FUZZ_CHECK(col + run == s.size ||
                   !s.dark(static_cast<int>(col + run), static_cast<int>(row)));
        for (long i = col; i < col + run; i++) drawn[static_cast<size_t>(row * s.size + i)] = 1;
    }
    FUZZ_CHECK(strcmp(p, "\"/></svg>") == 0);
    for (int i = 0; i < s.size * s.size; i++) FUZZ_CHECK(drawn[i] == (s.m[i] != 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        build_field();
        qr_init_tables();
        return true;
    }();
    (void)ready;
    if (size > 400) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    uint8_t modules[QR_MAX_MODULES];
    int side = -1, mask = -1;
    int version = qr_encode_text(text.data(), size, modules, &side, &mask);
    char* svg = qr_render_svg(text.data(), size);
    if (size > QR_MAX_TEXT_BYTES) {
        FUZZ_CHECK(version == QR_TOO_LONG && side == -1 && svg == nullptr);
        return 0;
    }
    FUZZ_CHECK(version == qr_pick_version(size) && version >= 1 && version <= 10);
    FUZZ_CHECK(side == 4 * version + 17 && mask >= 0 && mask <= 7);
    for (int i = 0; i < side * side; i++) FUZZ_CHECK(modules[i] <= 1);
    // The smallest version that holds the text (4 mode bits, the count, the bytes).
    int count_bits = version <= 9 ? 8 : 16;
    int data_words = LEVEL_M[version].count_short * LEVEL_M[version].data_short +
                     LEVEL_M[version].count_long * (LEVEL_M[version].data_short + 1);
    FUZZ_CHECK(4 + count_bits + 8 * static_cast<int>(size) <= data_words * 8);
    if (version > 1) {
        const Blocks& b = LEVEL_M[version - 1];
        int smaller = b.count_short * b.data_short + b.count_long * (b.data_short + 1);
        FUZZ_CHECK(4 + 8 + 8 * static_cast<int>(size) > smaller * 8);
    }
    Symbol s{version, side, modules, function_map(version, side)};
    check_patterns(s);
    check_format_and_version(s, mask);
    int total = data_words +
                (LEVEL_M[version].count_short + LEVEL_M[version].count_long) * LEVEL_M[version].ec;
    std::vector<uint8_t> words = read_codewords(s, mask, total);
    uint8_t built[QR_MAX_CODEWORDS];
    FUZZ_CHECK(qr_build_codewords(text.data(), size, version, built) == total);
    FUZZ_CHECK(memcmp(built, words.data(), static_cast<size_t>(total)) == 0);
    check_segment(check_blocks(words, version), text, version);
    // The mask is the lowest penalty, the lower number winning ties.
    int scores[8];
    FUZZ_CHECK(qr_choose_mask(text.data(), size, scores) == mask);
    for (int m = 0; m < 8; m++)
        FUZZ_CHECK(scores[m] > scores[mask] || (scores[m] == scores[mask] && m >= mask));
    FUZZ_CHECK(svg != nullptr);
    check_svg(svg, s);
    free(svg);
    return 0;
}
