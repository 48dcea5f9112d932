#include "qr/qr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

// A hand-made matrix: one string per row, '#' dark and '.' light.
std::vector<uint8_t> grid(const std::vector<std::string>& rows) {
    std::vector<uint8_t> m;
    for (const std::string& row : rows) {
        for (char c : row) m.push_back(c == '#');
    }
    return m;
}

// Rows alternating between a line and its complement: every column alternates, so columns
// have no runs or finder-like windows and no 2 x 2 block is uniform; only the rows score.
std::vector<uint8_t> striped(const std::string& line) {
    std::vector<std::string> rows;
    std::string inverse = line;
    for (char& c : inverse) c = c == '#' ? '.' : '#';
    for (size_t i = 0; i < line.size(); i++) rows.push_back(i % 2 ? inverse : line);
    return grid(rows);
}

struct Symbol {
    int version = 0, size = 0, mask = -1;
    std::vector<uint8_t> m = std::vector<uint8_t>(QR_MAX_MODULES);
    int at(int r, int c) const { return m[r * size + c]; }
};

Symbol encode(const std::string& text) {
    Symbol s;
    s.version = qr_encode_text(text.data(), text.size(), s.m.data(), &s.size, &s.mask);
    return s;
}

class QrTest : public ::testing::Test {
  protected:
    void SetUp() override { qr_init_tables(); }
};

// Carry-less multiplication reduced by x^8 + x^4 + x^3 + x^2 + 1, bit by bit.
uint8_t slow_gf_mul(uint8_t a, uint8_t b) {
    unsigned product = 0, x = a;
    for (int bit = 0; bit < 8; bit++) {
        if (b & (1 << bit)) product ^= x;
        x <<= 1;
        if (x & 0x100) x ^= 0x11D;
    }
    return static_cast<uint8_t>(product);
}

TEST_F(QrTest, FieldTablesMultiplyLikeTheFieldPolynomial) {
    for (int a = 0; a < 256; a++) {
        for (int b = 0; b < 256; b++) {
            ASSERT_EQ(qr_gf_mul(a, b), slow_gf_mul(a, b)) << a << " * " << b;
        }
    }
}

TEST_F(QrTest, VersionIsTheSmallestThatHoldsTheText) {
    const struct {
        uint64_t length;
        int version;
    } cases[] = {
        {0, 1},
        {14, 1},
        {15, 2},
        {26, 2},
        {27, 3},
        {42, 3},
        {43, 4},
        {62, 4},
        {63, 5},
        {84, 5},
        {85, 6},
        {106, 6},
        {107, 7},
        {122, 7},
        {123, 8},
        {152, 8},
        {153, 9},
        {180, 9},
        {181, 10},
        {213, 10},
        {214, QR_TOO_LONG},
        {0x80000000u, QR_TOO_LONG},
        {~uint64_t{0}, QR_TOO_LONG},
    };
    for (const auto& c : cases) EXPECT_EQ(qr_pick_version(c.length), c.version) << c.length;
    const int data[] = {16, 28, 44, 64, 86, 108, 124, 154, 182, 216};
    for (int v = 1; v <= 10; v++) EXPECT_EQ(qr_data_codewords(v), data[v - 1]) << v;
}

TEST_F(QrTest, DataCodewordsCarryModeLengthBytesTerminatorAndPadding) {
    uint8_t cw[QR_MAX_CODEWORDS];
    ASSERT_EQ(qr_build_codewords("ab", 2, 1, cw), 26);
    // 0100 | 00000010 | 01100001 | 01100010 | 0000, then the pad bytes.
    const uint8_t expected[16] = {0x40, 0x26, 0x16, 0x20, 0xEC, 0x11, 0xEC, 0x11,
                                  0xEC, 0x11, 0xEC, 0x11, 0xEC, 0x11, 0xEC, 0x11};
    EXPECT_EQ(0, memcmp(cw, expected, sizeof expected));

    // Version 10 has a 16-bit length: 181 = 0x00B5.
    std::string text(181, 'A');  // 0x41
    ASSERT_EQ(qr_build_codewords(text.data(), text.size(), 10, cw), 346);
    // Five blocks interleave, so the first block's codewords sit at 0, 5, 10, ...
    EXPECT_EQ(cw[0], 0x40);
    EXPECT_EQ(cw[5], 0x0B);
    EXPECT_EQ(cw[10], 0x54);

    EXPECT_EQ(qr_build_codewords(text.data(), text.size(), 9, cw), QR_TOO_LONG);
    EXPECT_EQ(qr_build_codewords("a", 1, 11, cw), QR_FAILED);
    EXPECT_EQ(qr_build_codewords(nullptr, 0, 1, cw), QR_FAILED);
}

// A codeword block is a Reed-Solomon code word when it vanishes at 2^0 .. 2^(n-1).
TEST_F(QrTest, ErrorCorrectionMakesEveryRootOfTheGeneratorVanish) {
    const struct {
        int version, total, ec;
    } single_block[] = {{1, 26, 10}, {2, 44, 16}, {3, 70, 26}};
    for (const auto& c : single_block) {
        std::string text(qr_data_codewords(c.version) - 3, 'q');
        uint8_t cw[QR_MAX_CODEWORDS];
        ASSERT_EQ(qr_build_codewords(text.data(), text.size(), c.version, cw), c.total);
        uint8_t root = 1;
        for (int i = 0; i < c.ec; i++) {
            uint8_t value = 0;  // Horner's rule, highest coefficient first
            for (int k = 0; k < c.total; k++) value = qr_gf_mul(value, root) ^ cw[k];
            EXPECT_EQ(value, 0) << "version " << c.version << " root " << i;
            root = qr_gf_mul(root, 2);
        }
    }
}

TEST_F(QrTest, FunctionPatternsLeaveExactlyTheDataAndRemainderModulesFree) {
    // Total codewords x 8 plus the remainder bits (7 for versions 2 to 6).
    const int free_modules[] = {208, 359, 567, 807, 1079, 1383, 1568, 1936, 2336, 2768};
    QrMatrix* m = static_cast<QrMatrix*>(malloc(sizeof(QrMatrix)));
    for (int v = 1; v <= 10; v++) {
        qr_draw_function_patterns(m, v, 1);
        EXPECT_EQ(m->size, 4 * v + 17);
        int n = 0;
        for (int i = 0; i < m->size * m->size; i++) n += !m->reserved[i];
        EXPECT_EQ(n, free_modules[v - 1]) << "version " << v;
    }
    free(m);
}

TEST_F(QrTest, FormatWordsOfLevelM) {
    const uint16_t words[8] = {0x5412, 0x5125, 0x5E7C, 0x5B4B, 0x45F9, 0x40CE, 0x4F97, 0x4AA0};
    for (int mask = 0; mask < 8; mask++) EXPECT_EQ(qr_format_bits(mask), words[mask]) << mask;
}

TEST_F(QrTest, FinalSymbolCarriesFixedModulesFormatAndVersionInformation) {
    for (int length : {0, 14, 15, 23, 106, 107, 180, 181, 213}) {
        Symbol s = encode(std::string(length, 'x'));
        ASSERT_EQ(s.size, 4 * s.version + 17);
        SCOPED_TRACE("length " + std::to_string(length));
        EXPECT_EQ(s.at(s.size - 8, 8), 1);
        EXPECT_EQ(s.at(6, 8), 1);
        EXPECT_EQ(s.at(8, 6), 1);
        // Both format copies read back the chosen mask's word.
        uint16_t first = 0, second = 0;
        for (int i = 0; i < 15; i++) {
            int r = i < 6 ? i : i == 6 ? 7 : 8;
            int c = i < 8 ? 8 : i == 8 ? 7 : 14 - i;
            first |= static_cast<uint16_t>(s.at(r, c) << i);
            second |= static_cast<uint16_t>(
                (i < 8 ? s.at(8, s.size - 1 - i) : s.at(s.size - 15 + i, 8)) << i);
        }
        EXPECT_EQ(first, qr_format_bits(s.mask));
        EXPECT_EQ(second, qr_format_bits(s.mask));
        if (s.version >= 7) {
            const uint32_t words[] = {0x07C94, 0x085BC, 0x09A99, 0x0A4D3};
            uint32_t top_right = 0, bottom_left = 0;
            for (int i = 0; i < 18; i++) {
                top_right |= static_cast<uint32_t>(s.at(i / 3, s.size - 11 + i % 3)) << i;
                bottom_left |= static_cast<uint32_t>(s.at(s.size - 11 + i % 3, i / 3)) << i;
            }
            EXPECT_EQ(top_right, words[s.version - 7]);
            EXPECT_EQ(bottom_left, words[s.version - 7]);
        }
    }
}

TEST_F(QrTest, AddressOfTwentyThreeBytesIsVersionTwoWithOneAlignmentPattern) {
    Symbol s = encode("http://192.168.1.5:8620");
    ASSERT_EQ(s.version, 2);
    ASSERT_EQ(s.size, 25);
    for (int dr = -2; dr <= 2; dr++) {
        for (int dc = -2; dc <= 2; dc++) {
            int ring = std::max(std::abs(dr), std::abs(dc));
            EXPECT_EQ(s.at(18 + dr, 18 + dc), ring != 1) << dr << "," << dc;
        }
    }
    Symbol empty = encode("");
    EXPECT_EQ(empty.version, 1);
    EXPECT_EQ(empty.size, 21);
}

TEST_F(QrTest, EncodeRejectsMissingBuffersAndTooLongTexts) {
    uint8_t out[QR_MAX_MODULES];
    int size = -7;
    std::string long_text(214, 'z');
    EXPECT_EQ(qr_encode_text(nullptr, 0, out, &size, nullptr), QR_FAILED);
    EXPECT_EQ(qr_encode_text("a", 1, nullptr, &size, nullptr), QR_FAILED);
    EXPECT_EQ(qr_encode_text(long_text.data(), 214, out, &size, nullptr), QR_TOO_LONG);
    // The length is checked before a single byte is read.
    EXPECT_EQ(qr_encode_text("a", 0x80000000u, out, &size, nullptr), QR_TOO_LONG);
    EXPECT_EQ(size, -7);
    EXPECT_EQ(qr_choose_mask(long_text.data(), 214, nullptr), QR_TOO_LONG);
    EXPECT_EQ(qr_choose_mask(nullptr, 3, nullptr), QR_FAILED);
}

TEST_F(QrTest, RunsOfFiveOrMoreAddTheirLengthLessTwo) {
    const struct {
        const char* line;
        int per_row;
    } cases[] = {
        {"####.####.##", 0},      // runs of 4 add nothing
        {"#####.######", 3 + 4},  // 5 and 6, the second reaching the end
        {"......######", 4 + 4},  // light runs count like dark ones
        {"############", 10},     // a whole row
        {"#.#.#.#.#.#.", 0},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> m = striped(c.line);
        EXPECT_EQ(qr_penalty_runs(m.data(), 12), 12 * c.per_row) << c.line;
    }
    // Columns count the same way: the transpose of a row case.
    std::vector<uint8_t> m = striped("#####.######"), t(m.size());
    for (int r = 0; r < 12; r++) {
        for (int c = 0; c < 12; c++) t[c * 12 + r] = m[r * 12 + c];
    }
    EXPECT_EQ(qr_penalty_runs(t.data(), 12), 12 * 7);
    // All light 5 x 5: ten lines of five.
    EXPECT_EQ(qr_penalty_runs(grid({".....", ".....", ".....", ".....", "....."}).data(), 5), 30);
}

TEST_F(QrTest, EveryUniformTwoByTwoBlockAddsThree) {
    const struct {
        std::vector<std::string> rows;
        int points;
    } cases[] = {
        {{"##", "##"}, 3},
        {{"#.", ".#"}, 0},
        {{"###", "###", "###"}, 12},  // blocks overlap
        {{"##.", "##.", "..."}, 3},
        {{"...", "...", "##."}, 6},  // light blocks count too
        {{"#.#.", ".#.#", "#.#.", ".#.#"}, 0},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> m = grid(c.rows);
        EXPECT_EQ(qr_penalty_blocks(m.data(), static_cast<int>(c.rows.size())), c.points)
            << c.rows[0];
    }
}

TEST_F(QrTest, FinderLikeWindowsInsideTheSymbolAddForty) {
    const struct {
        const char* line;
        int per_row;
    } cases[] = {
        {"#.###.#....", 1},                             // dark first, four light after
        {"....#.###.#", 1},                             // four light first
        {"#.###.#....#.###.#", 2},                      // both, sharing the light modules
        {"#.###.#...", 0},                              // would need light beyond the edge
        {"...#.###.#", 0},         {"#.###.#...#", 0},  // only three light modules
    };
    for (const auto& c : cases) {
        std::string line = c.line;
        int n = static_cast<int>(line.size());
        std::vector<uint8_t> m = striped(line);
        // Half the rows (the even ones) hold the line itself.
        EXPECT_EQ(qr_penalty_finder_like(m.data(), n), 40 * c.per_row * ((n + 1) / 2)) << c.line;
    }
}

TEST_F(QrTest, BalanceAddsTenPerWholeFivePercentFromHalf) {
    const struct {
        int size, dark, points;
    } cases[] = {
        {10, 50, 0},
        {10, 46, 0},
        {10, 45, 10},
        {10, 44, 10},
        {10, 54, 0},
        {10, 55, 10},
        {10, 39, 20},
        {10, 0, 100},
        {10, 100, 100},
        {25, 250, 20},
        {25, 375, 20},  // exactly 40 %
                        // and 60 %:
                        // whole steps
        {25, 251, 10},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> m(c.size * c.size, 0);
        for (int i = 0; i < c.dark; i++) m[i] = 1;
        EXPECT_EQ(qr_penalty_balance(m.data(), c.size), c.points) << c.size << "/" << c.dark;
    }
}

// The rules read directly, module by module, to check the line arithmetic of the encoder.
int plain_penalty(const std::vector<uint8_t>& m, int n) {
    auto at = [&](int line, int k, bool column) {
        return column ? m[k * n + line] : m[line * n + k];
    };
    int points = 0;
    static const int ahead[11] = {1, 0, 1, 1, 1, 0, 1, 0, 0, 0, 0};
    static const int behind[11] = {0, 0, 0, 0, 1, 0, 1, 1, 1, 0, 1};
    for (bool column : {false, true}) {
        for (int line = 0; line < n; line++) {
            for (int k = 0; k < n;) {
                int end = k;
                while (end < n && at(line, end, column) == at(line, k, column)) end++;
                if (end - k >= 5) points += end - k - 2;
                k = end;
            }
            for (int k = 0; k + 11 <= n; k++) {
                bool a = true, b = true;
                for (int i = 0; i < 11; i++) {
                    a = a && at(line, k + i, column) == ahead[i];
                    b = b && at(line, k + i, column) == behind[i];
                }
                points += 40 * (a + b);
            }
        }
    }
    int dark = 0;
    for (int r = 0; r < n; r++) {
        for (int c = 0; c < n; c++) {
            dark += m[r * n + c];
            if (r + 1 < n && c + 1 < n && m[r * n + c] == m[r * n + c + 1] &&
                m[r * n + c] == m[(r + 1) * n + c] && m[r * n + c] == m[(r + 1) * n + c + 1])
                points += 3;
        }
    }
    return points + 10 * static_cast<int>(std::abs(100.0 * dark / (n * n) - 50.0) / 5.0);
}

TEST_F(QrTest, PenaltyMatchesTheRulesReadModuleByModule) {
    std::mt19937 rng(7);
    for (int n = 1; n <= QR_MAX_SIZE; n++) {
        for (int density : {2, 5, 8}) {  // in tenths: sparse, even and dense matrices
            std::vector<uint8_t> m(n * n);
            for (uint8_t& x : m)
                x = static_cast<uint8_t>(rng() % 10 < static_cast<unsigned>(density));
            ASSERT_EQ(qr_penalty(m.data(), n), plain_penalty(m, n)) << "size " << n;
        }
    }
}

// Scores belong to the candidate whose format, dark-module and version areas are light, the
// lowest wins, and a tie goes to the lower mask.
TEST_F(QrTest, MaskChoiceScoresTheEvaluationCandidates) {
    QrMatrix* m = static_cast<QrMatrix*>(malloc(sizeof(QrMatrix)));
    std::vector<uint8_t> candidate(QR_MAX_MODULES);
    for (int length = 0; length <= 213; length += 3) {
        std::string text;
        for (int i = 0; i < length; i++) text += static_cast<char>('!' + (i * 7 + length) % 90);
        int scores[8];
        int mask = qr_choose_mask(text.data(), text.size(), scores);
        ASSERT_GE(mask, 0);
        int version = qr_pick_version(text.size());
        uint8_t cw[QR_MAX_CODEWORDS];
        int count = qr_build_codewords(text.data(), text.size(), version, cw);
        qr_draw_function_patterns(m, version, 1);
        qr_place_data(m, cw, count);
        int best = 0;
        for (int k = 0; k < 8; k++) {
            qr_apply_mask(m, k, candidate.data());
            ASSERT_EQ(scores[k], qr_penalty(candidate.data(), m->size)) << length << "/" << k;
            if (scores[k] < scores[best]) best = k;
        }
        EXPECT_EQ(mask, best) << length;
        EXPECT_EQ(encode(text).mask, mask);
    }
    free(m);

    // Masks 1 and 7 share the lowest score here.
    int scores[8];
    ASSERT_EQ(qr_choose_mask("18-aaa", 6, scores), 1);
    EXPECT_EQ(scores[7], scores[1]);
    for (int k = 0; k < 8; k++) EXPECT_GE(scores[k], scores[1]);
}

}  // namespace
