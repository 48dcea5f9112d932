#include "qr/qr.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// ---------------------------------------------------------------------------------------------
// Constant tables

// One group of equal blocks: how many, and the codewords each holds in all and as data.
struct BlockGroup {
    uint8_t blocks;
    uint8_t total;
    uint8_t data;
};

// Level M rows of the error-correction characteristics, versions 1 to 10 (row 0 unused). A
// group with 0 blocks ends the list; no version uses more than two groups.
constexpr BlockGroup kBlockGroups[QR_MAX_VERSION + 1][3] = {
    {},
    {{1, 26, 16}},
    {{1, 44, 28}},
    {{1, 70, 44}},
    {{2, 50, 32}},
    {{2, 67, 43}},
    {{4, 43, 27}},
    {{4, 49, 31}},
    {{2, 60, 38}, {2, 61, 39}},
    {{3, 58, 36}, {2, 59, 37}},
    {{4, 69, 43}, {1, 70, 44}},
};

// Centre coordinates of the alignment patterns per version, ended by the first negative entry.
constexpr int8_t kAlignment[QR_MAX_VERSION + 1][4] = {
    {-1, -1, -1, -1}, {-1, -1, -1, -1}, {6, 18, -1, -1}, {6, 22, -1, -1},
    {6, 26, -1, -1},  {6, 30, -1, -1},  {6, 34, -1, -1}, {6, 22, 38, -1},
    {6, 24, 42, -1},  {6, 26, 46, -1},  {6, 28, 50, -1},
};

// 18-bit version-information words (6 data bits + BCH); only versions 7 and up carry one.
constexpr uint32_t kVersionInfo[QR_MAX_VERSION + 1] = {
    0, 0, 0, 0, 0, 0, 0, 0x07C94, 0x085BC, 0x09A99, 0x0A4D3,
};

constexpr int kMaxBlocks = 8;
constexpr int kMaxBlockCodewords = 64;
constexpr int kMaxDataCodewords = 216;

// Mask conditions; row i, column j.
constexpr bool mask_selects(int mask, int i, int j) {
    switch (mask) {
        case 0:
            return (i + j) % 2 == 0;
        case 1:
            return i % 2 == 0;
        case 2:
            return j % 3 == 0;
        case 3:
            return (i + j) % 3 == 0;
        case 4:
            return (i / 2 + j / 3) % 2 == 0;
        case 5:
            return (i * j) % 2 + (i * j) % 3 == 0;
        case 6:
            return ((i * j) % 2 + (i * j) % 3) % 2 == 0;
        default:
            return ((i + j) % 2 + (i * j) % 3) % 2 == 0;
    }
}

// Every mask repeats after 12 rows and 12 columns, so a row's pattern is that of row i mod 12
// and a column's that of column j mod 12. kRowMask[m][i] has bit j set when mask m selects
// (i, j); kColMask[m][j] has bit i set when it selects (i, j).
constexpr int kMaskPeriod = 12;
using MaskBits = std::array<std::array<uint64_t, kMaskPeriod>, 8>;

constexpr MaskBits build_mask_bits(bool by_column) {
    MaskBits bits{};
    for (int m = 0; m < 8; m++) {
        for (int line = 0; line < kMaskPeriod; line++) {
            uint64_t word = 0;
            for (int k = 0; k < QR_MAX_SIZE; k++) {
                bool on = by_column ? mask_selects(m, k, line) : mask_selects(m, line, k);
                if (on) word |= uint64_t{1} << k;
            }
            bits[m][line] = word;
        }
    }
    return bits;
}

constexpr MaskBits kRowMask = build_mask_bits(false);
constexpr MaskBits kColMask = build_mask_bits(true);

// ---------------------------------------------------------------------------------------------
// GF(256) with field polynomial x^8 + x^4 + x^3 + x^2 + 1 and generator element 2

uint8_t g_antilog[512];  // entry i: 2^(i mod 255), doubled so log sums need no reduction
uint8_t g_log[256];      // entry 2^i: i; entry 0 is never read
std::once_flag g_tables_once;

void build_field_tables() {
    unsigned value = 1;
    for (int i = 0; i < 255; i++) {
        g_antilog[i] = static_cast<uint8_t>(value);
        g_log[value] = static_cast<uint8_t>(i);
        value <<= 1;
        if (value & 0x100) value ^= 0x11D;
    }
    for (int i = 255; i < 512; i++) g_antilog[i] = g_antilog[i - 255];
}

// ---------------------------------------------------------------------------------------------
// Codewords

int block_count(int version) {
    int n = 0;
    for (const BlockGroup& g : kBlockGroups[version]) n += g.blocks;
    return n;
}

// Byte mode: mode 0100, the length in 8 bits (16 from version 10), the bytes, terminator 0000,
// then pad bytes 0xEC and 0x11 alternately up to the data capacity.
void build_data_codewords(const uint8_t* text, int length, int version, uint8_t* data) {
    int capacity = qr_data_codewords(version);
    int count_bits = version < 10 ? 8 : 16;
    // The 4-bit mode puts every later byte half a byte off; fill nibble by nibble.
    int pos = 0;
    uint32_t acc = 0x4;  // mode indicator
    int acc_bits = 4;
    auto push = [&](uint32_t value, int bits) {
        acc = (acc << bits) | value;
        acc_bits += bits;
        while (acc_bits >= 8) {
            acc_bits -= 8;
            data[pos++] = static_cast<uint8_t>(acc >> acc_bits);
        }
        acc &= (1u << acc_bits) - 1;
    };
    push(static_cast<uint32_t>(length), count_bits);
    for (int i = 0; i < length; i++) push(text[i], 8);
    push(0, 4);  // terminator; the stream is now byte-aligned
    for (int pad = 0; pos < capacity; pad ^= 1) data[pos++] = pad ? 0x11 : 0xEC;
}

// Generator polynomial of degree n, product of (x + 2^i) for i < n, without its leading 1:
// gen[0] is the coefficient of x^(n-1), gen[n-1] the constant term.
void build_generator(int n, uint8_t* gen) {
    std::memset(gen, 0, static_cast<size_t>(n));
    gen[n - 1] = 1;  // the polynomial 1, stored at the constant end
    uint8_t root = 1;
    for (int i = 0; i < n; i++) {
        // Multiply by (x + root): shift one place towards the high end and add root times self.
        for (int k = 0; k < n; k++) {
            uint8_t next = k + 1 < n ? gen[k + 1] : 0;
            gen[k] = static_cast<uint8_t>(qr_gf_mul(gen[k], root) ^ next);
        }
        root = qr_gf_mul(root, 2);
    }
}

// Remainder of data(x) * x^n divided by the generator: the block's n error-correction bytes.
void reed_solomon(const uint8_t* data, int data_len, const uint8_t* gen, int n, uint8_t* ec) {
    // Logarithms of the generator's coefficients; zero coefficients are marked and skipped.
    int gen_log[kMaxBlockCodewords];
    for (int k = 0; k < n; k++) gen_log[k] = gen[k] ? g_log[gen[k]] : -1;
    std::memset(ec, 0, static_cast<size_t>(n));
    for (int i = 0; i < data_len; i++) {
        uint8_t lead = data[i] ^ ec[0];
        std::memmove(ec, ec + 1, static_cast<size_t>(n - 1));
        ec[n - 1] = 0;
        if (lead == 0) continue;
        int lead_log = g_log[lead];
        for (int k = 0; k < n; k++) {
            if (gen_log[k] >= 0) ec[k] ^= g_antilog[gen_log[k] + lead_log];
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Function patterns

void set_function(QrMatrix* m, int row, int col, int dark) {
    int at = row * m->size + col;
    m->modules[at] = static_cast<uint8_t>(dark ? 1 : 0);
    m->reserved[at] = 1;
}

// 7 x 7 finder with its one-module light separator, clipped to the symbol.
void draw_finder(QrMatrix* m, int top, int left) {
    for (int dr = -1; dr <= 7; dr++) {
        for (int dc = -1; dc <= 7; dc++) {
            int r = top + dr, c = left + dc;
            if (r < 0 || r >= m->size || c < 0 || c >= m->size) continue;
            int ring = std::max(std::abs(dr - 3), std::abs(dc - 3));
            set_function(m, r, c, ring != 2 && ring != 4);
        }
    }
}

// 5 x 5 alignment pattern: dark outer ring, light inner ring, dark centre.
void draw_alignment(QrMatrix* m, int row, int col) {
    for (int dr = -2; dr <= 2; dr++) {
        for (int dc = -2; dc <= 2; dc++) {
            set_function(m, row + dr, col + dc, std::max(std::abs(dr), std::abs(dc)) != 1);
        }
    }
}

void draw_alignments(QrMatrix* m, int version) {
    const int8_t* list = kAlignment[version];
    int count = 0;
    while (count < 4 && list[count] >= 0) count++;
    if (count == 0) return;
    int last = list[count - 1];
    for (int a = 0; a < count; a++) {
        for (int b = 0; b < count; b++) {
            int row = list[a], col = list[b];
            // These three would sit on the finders.
            if ((row == 6 && col == 6) || (row == 6 && col == last) || (row == last && col == 6))
                continue;
            draw_alignment(m, row, col);
        }
    }
}

void draw_version_info(QrMatrix* m, int version, int evaluation) {
    if (version < 7) return;
    uint32_t word = kVersionInfo[version];
    for (int i = 0; i < 18; i++) {
        int dark = evaluation ? 0 : static_cast<int>((word >> i) & 1);
        int near = i / 3, far = m->size - 11 + i % 3;
        set_function(m, near, far, dark);
        set_function(m, far, near, dark);
    }
}

// Both format copies and the dark-module position, reserved and light for now.
void draw_format_areas(QrMatrix* m) {
    int size = m->size;
    for (int k = 0; k <= 8; k++) {
        if (k == 6) continue;  // timing keeps row 6 and column 6
        set_function(m, 8, k, 0);
        set_function(m, k, 8, 0);
    }
    for (int k = size - 8; k < size; k++) {
        set_function(m, 8, k, 0);
        set_function(m, k, 8, 0);
    }
}

void write_format(QrMatrix* m, int mask) {
    uint16_t bits = qr_format_bits(mask);
    int size = m->size;
    for (int i = 0; i < 15; i++) {
        int dark = (bits >> i) & 1;
        // First copy, around the top-left finder.
        if (i < 6) {
            set_function(m, i, 8, dark);
        } else if (i == 6) {
            set_function(m, 7, 8, dark);
        } else if (i == 7) {
            set_function(m, 8, 8, dark);
        } else if (i == 8) {
            set_function(m, 8, 7, dark);
        } else {
            set_function(m, 8, 14 - i, dark);
        }
        // Second copy, split between the top-right and bottom-left finders.
        if (i < 8) {
            set_function(m, 8, size - 1 - i, dark);
        } else {
            set_function(m, size - 15 + i, 8, dark);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Penalties, computed on bit lines: bit k of a row is column k, bit k of a column is row k.
// A symbol is at most 57 modules wide, so one 64-bit word holds a line.

constexpr uint64_t low_bits(int n) {
    return n <= 0 ? 0 : (n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1);
}

// Set bits of a word. Written out because without a target-specific flag the compiler's
// builtin becomes a library call, which dominated the mask scoring.
inline int bit_count(uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555u);
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<int>((x * 0x0101010101010101u) >> 56);
}

// Runs of 5 or more equal modules: a run of length L holds L - 4 windows of five equal
// modules, and its first window marks its start; so the run adds windows + 2 per start.
int line_runs(uint64_t x, int n) {
    uint64_t eq = ~(x ^ (x >> 1));  // bit k: module k equals module k + 1
    uint64_t five = eq & (eq >> 1) & (eq >> 2) & (eq >> 3) & low_bits(n - 4);
    if (!five) return 0;
    uint64_t starts = (x ^ (x << 1)) | 1;  // bit k: module k differs from module k - 1
    return bit_count(five) + 2 * bit_count(five & starts);
}

// 2 x 2 blocks whose top-left corner lies in line a, with b the next line.
int line_pair_blocks(uint64_t a, uint64_t b, int n) {
    uint64_t same = ~(a ^ b) & ~(a ^ (a >> 1)) & ~(b ^ (b >> 1)) & low_bits(n - 1);
    return bit_count(same);
}

// Windows of 11 reading 1 0 1 1 1 0 1 0 0 0 0 or 0 0 0 0 1 0 1 1 1 0 1 from module k on: the
// core 1 0 1 1 1 0 1 followed by four light modules, or preceded by them.
int line_finder_like(uint64_t x, int n) {
    uint64_t light = ~x;
    uint64_t core = x & (light >> 1) & (x >> 2) & (x >> 3) & (x >> 4) & (light >> 5) & (x >> 6);
    if (!core) return 0;
    uint64_t light4 = light & (light >> 1) & (light >> 2) & (light >> 3);
    uint64_t windows = low_bits(n - 10);  // bit k: modules k .. k + 10 lie inside the line
    uint64_t ahead = core & (light4 >> 7) & windows;
    uint64_t behind = light4 & (core >> 4) & windows;
    return bit_count(ahead) + bit_count(behind);
}

struct Penalty {
    int runs, blocks, finder_like, balance;
    int total() const { return runs + blocks + finder_like + balance; }
};

int balance_points(int dark, int all) {
    double percent = 100.0 * dark / all;
    int k = static_cast<int>(std::fabs(percent - 50.0) / 5.0);
    return 10 * k;
}

Penalty score_lines(const uint64_t* rows, const uint64_t* cols, int n) {
    Penalty p{};
    int dark = 0;
    for (int k = 0; k < n; k++) {
        p.runs += line_runs(rows[k], n) + line_runs(cols[k], n);
        p.finder_like += 40 * (line_finder_like(rows[k], n) + line_finder_like(cols[k], n));
        if (k + 1 < n) p.blocks += 3 * line_pair_blocks(rows[k], rows[k + 1], n);
        dark += bit_count(rows[k]);
    }
    p.balance = balance_points(dark, n * n);
    return p;
}

void to_lines(const uint8_t* bytes, int n, uint64_t* rows, uint64_t* cols) {
    std::memset(rows, 0, sizeof(uint64_t) * static_cast<size_t>(n));
    std::memset(cols, 0, sizeof(uint64_t) * static_cast<size_t>(n));
    for (int r = 0; r < n; r++) {
        for (int c = 0; c < n; c++) {
            uint64_t bit = bytes[r * n + c] ? 1 : 0;
            rows[r] |= bit << c;
            cols[c] |= bit << r;
        }
    }
}

int penalty_of(const uint8_t* modules, int size, int Penalty::*rule) {
    if (!modules || size < 1 || size > QR_MAX_SIZE) return 0;
    uint64_t rows[QR_MAX_SIZE], cols[QR_MAX_SIZE];
    to_lines(modules, size, rows, cols);
    return score_lines(rows, cols, size).*rule;
}

// A call-local record on the heap; freed with the scope.
struct MatrixOwner {
    QrMatrix* m = static_cast<QrMatrix*>(std::malloc(sizeof(QrMatrix)));
    MatrixOwner() = default;
    MatrixOwner(const MatrixOwner&) = delete;
    MatrixOwner& operator=(const MatrixOwner&) = delete;
    ~MatrixOwner() { std::free(m); }
};

int check_text(const char* text, uint64_t length) {
    if (!text) return QR_FAILED;
    if (length > 0x7FFFFFFFu) return QR_TOO_LONG;
    return qr_pick_version(length);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void qr_init_tables() {
    std::call_once(g_tables_once, build_field_tables);
}

uint8_t qr_gf_mul(uint8_t a, uint8_t b) {
    if (a == 0 || b == 0) return 0;
    return g_antilog[g_log[a] + g_log[b]];
}

int qr_data_codewords(int version) {
    if (version < QR_MIN_VERSION || version > QR_MAX_VERSION) return 0;
    int n = 0;
    for (const BlockGroup& g : kBlockGroups[version]) n += g.blocks * g.data;
    return n;
}

int qr_pick_version(uint64_t length) {
    if (length > 0x7FFFFFFFu) return QR_TOO_LONG;
    for (int v = QR_MIN_VERSION; v <= QR_MAX_VERSION; v++) {
        uint64_t count_bits = v < 10 ? 8 : 16;
        if (8 * length + 4 + count_bits < 8 * static_cast<uint64_t>(qr_data_codewords(v))) return v;
    }
    return QR_TOO_LONG;
}

int qr_build_codewords(const char* text, uint64_t length, int version, uint8_t* out) {
    if (!text || !out || version < QR_MIN_VERSION || version > QR_MAX_VERSION) return QR_FAILED;
    int needed = check_text(text, length);
    if (needed < 0) return needed;
    if (needed > version) return QR_TOO_LONG;
    qr_init_tables();

    uint8_t data[kMaxDataCodewords];
    build_data_codewords(reinterpret_cast<const uint8_t*>(text), static_cast<int>(length), version,
                         data);

    // Split into blocks in order, group by group; every block of a version has the same
    // number of error-correction codewords.
    int blocks = block_count(version);
    int ec_len = kBlockGroups[version][0].total - kBlockGroups[version][0].data;
    int start[kMaxBlocks], len[kMaxBlocks];
    int b = 0, offset = 0;
    for (const BlockGroup& g : kBlockGroups[version]) {
        for (int k = 0; k < g.blocks; k++, b++) {
            start[b] = offset;
            len[b] = g.data;
            offset += g.data;
        }
    }

    uint8_t gen[kMaxBlockCodewords];
    uint8_t ec[kMaxBlocks][kMaxBlockCodewords];
    build_generator(ec_len, gen);
    for (b = 0; b < blocks; b++) reed_solomon(data + start[b], len[b], gen, ec_len, ec[b]);

    // Interleave: codeword i of every block in block order, for data then error correction.
    int count = 0;
    int longest = len[blocks - 1];
    for (int i = 0; i < longest; i++) {
        for (b = 0; b < blocks; b++) {
            if (i < len[b]) out[count++] = data[start[b] + i];
        }
    }
    for (int i = 0; i < ec_len; i++) {
        for (b = 0; b < blocks; b++) out[count++] = ec[b][i];
    }
    return count;
}

void qr_draw_function_patterns(QrMatrix* m, int version, int evaluation) {
    if (version < QR_MIN_VERSION || version > QR_MAX_VERSION) {
        m->size = 0;  // nothing to place data into, rather than writing past the record
        return;
    }
    int size = 4 * version + 17;
    m->size = size;
    std::memset(m->modules, 0, static_cast<size_t>(size * size));
    std::memset(m->reserved, 0, static_cast<size_t>(size * size));
    draw_finder(m, 0, 0);
    draw_finder(m, 0, size - 7);
    draw_finder(m, size - 7, 0);
    for (int k = 8; k <= size - 9; k++) {
        set_function(m, 6, k, k % 2 == 0);
        set_function(m, k, 6, k % 2 == 0);
    }
    draw_alignments(m, version);
    draw_version_info(m, version, evaluation);
    draw_format_areas(m);
    set_function(m, size - 8, 8, 0);  // dark module: set once the mask is known
}

void qr_place_data(QrMatrix* m, const uint8_t* codewords, int count) {
    int size = m->size;
    int total_bits = count * 8;
    int bit = 0;
    bool upward = true;
    for (int right = size - 1; right >= 1; right -= 2) {
        if (right == 6) right = 5;  // column 6 is the vertical timing pattern
        for (int step = 0; step < size; step++) {
            int row = upward ? size - 1 - step : step;
            for (int col = right; col >= right - 1; col--) {
                int at = row * size + col;
                if (m->reserved[at]) continue;
                uint8_t value = 0;
                if (bit < total_bits) value = (codewords[bit >> 3] >> (7 - (bit & 7))) & 1;
                m->modules[at] = value;
                bit++;
            }
        }
        upward = !upward;
    }
}

void qr_apply_mask(const QrMatrix* m, int mask, uint8_t* out) {
    int size = m->size;
    for (int r = 0; r < size; r++) {
        uint64_t pattern = kRowMask[mask & 7][r % kMaskPeriod];
        for (int c = 0; c < size; c++) {
            int at = r * size + c;
            uint8_t flip = !m->reserved[at] && ((pattern >> c) & 1);
            out[at] = m->modules[at] ^ flip;
        }
    }
}

uint16_t qr_format_bits(int mask) {
    uint32_t data = static_cast<uint32_t>(mask & 7);  // level M is 00, then the mask bits
    uint32_t rem = data << 10;
    for (int i = 14; i >= 10; i--) {
        if (rem & (1u << i)) rem ^= 0x537u << (i - 10);
    }
    return static_cast<uint16_t>(((data << 10) | rem) ^ 0x5412);
}

int qr_penalty_runs(const uint8_t* modules, int size) {
    return penalty_of(modules, size, &Penalty::runs);
}
int qr_penalty_blocks(const uint8_t* modules, int size) {
    return penalty_of(modules, size, &Penalty::blocks);
}
int qr_penalty_finder_like(const uint8_t* modules, int size) {
    return penalty_of(modules, size, &Penalty::finder_like);
}
int qr_penalty_balance(const uint8_t* modules, int size) {
    return penalty_of(modules, size, &Penalty::balance);
}

int qr_penalty(const uint8_t* modules, int size) {
    if (!modules || size < 1 || size > QR_MAX_SIZE) return 0;
    uint64_t rows[QR_MAX_SIZE], cols[QR_MAX_SIZE];
    to_lines(modules, size, rows, cols);
    return score_lines(rows, cols, size).total();
}

int qr_choose_mask(const char* text, uint64_t length, int* scores) {
    int version = check_text(text, length);
    if (version < 0) return version;
    uint8_t codewords[QR_MAX_CODEWORDS];
    int count = qr_build_codewords(text, length, version, codewords);
    if (count < 0) return count;
    MatrixOwner owner;
    QrMatrix* m = owner.m;
    if (!m) return QR_FAILED;
    qr_draw_function_patterns(m, version, 1);
    qr_place_data(m, codewords, count);

    // The candidate of mask k is the placed matrix with the free modules that mask k selects
    // inverted; in bit lines that is one AND and one XOR per line.
    int n = m->size;
    uint64_t base_rows[QR_MAX_SIZE], base_cols[QR_MAX_SIZE];
    uint64_t free_rows[QR_MAX_SIZE], free_cols[QR_MAX_SIZE];
    to_lines(m->modules, n, base_rows, base_cols);
    to_lines(m->reserved, n, free_rows, free_cols);
    for (int k = 0; k < n; k++) {
        free_rows[k] = ~free_rows[k] & low_bits(n);
        free_cols[k] = ~free_cols[k] & low_bits(n);
    }

    int best = 0, best_score = 0;
    for (int mask = 0; mask < 8; mask++) {
        uint64_t rows[QR_MAX_SIZE], cols[QR_MAX_SIZE];
        for (int k = 0; k < n; k++) {
            rows[k] = base_rows[k] ^ (free_rows[k] & kRowMask[mask][k % kMaskPeriod]);
            cols[k] = base_cols[k] ^ (free_cols[k] & kColMask[mask][k % kMaskPeriod]);
        }
        int score = score_lines(rows, cols, n).total();
        if (scores) scores[mask] = score;
        if (mask == 0 || score < best_score) {
            best = mask;
            best_score = score;
        }
    }
    return best;
}

int qr_encode_text(const char* text, uint64_t length, uint8_t* out, int* size, int* mask) {
    if (!out) return QR_FAILED;
    int version = check_text(text, length);
    if (version < 0) return version;
    int chosen = qr_choose_mask(text, length, nullptr);
    if (chosen < 0) return chosen;

    uint8_t codewords[QR_MAX_CODEWORDS];
    int count = qr_build_codewords(text, length, version, codewords);
    if (count < 0) return count;
    MatrixOwner owner;
    QrMatrix* m = owner.m;
    if (!m) return QR_FAILED;
    qr_draw_function_patterns(m, version, 0);
    qr_place_data(m, codewords, count);
    write_format(m, chosen);
    set_function(m, m->size - 8, 8, 1);
    qr_apply_mask(m, chosen, out);

    if (size) *size = m->size;
    if (mask) *mask = chosen;
    return version;
}
