#include "base/random.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

TEST(RandomHex, LowerCaseHexOfTheAskedLengthAndNeverTheSame) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; i++) {
        char text[33];
        ASSERT_EQ(random_hex(text, 16), 0);
        std::string value = text;
        ASSERT_EQ(value.size(), 32u);
        EXPECT_EQ(value.find_first_not_of("0123456789abcdef"), std::string::npos) << value;
        seen.insert(value);
    }
    EXPECT_EQ(seen.size(), 64u);
}

TEST(RandomHex, RefusesSizesOutOfRange) {
    char text[2 * RANDOM_HEX_MAX_BYTES + 3] = "x";
    EXPECT_EQ(random_hex(text, 0), -1);
    EXPECT_STREQ(text, "");
    text[0] = 'x';
    EXPECT_EQ(random_hex(text, RANDOM_HEX_MAX_BYTES + 1), -1);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(random_hex(text, RANDOM_HEX_MAX_BYTES), 0);
    EXPECT_EQ(std::string(text).size(), 2 * RANDOM_HEX_MAX_BYTES);
}

TEST(RandomBytes, LargerThanOneSystemCall) {
    unsigned char bytes[1000] = {};
    ASSERT_EQ(random_bytes(bytes, sizeof bytes), 0);
    int zeros = 0;
    for (unsigned char b : bytes) zeros += b == 0;
    EXPECT_LT(zeros, 30);  // about 4 expected; all zero would mean nothing was written
}

TEST(RandomSecret, HexCheckReadsNoFurtherThanItMust) {
    EXPECT_TRUE(random_is_hex("0123456789abcdef", 16));
    EXPECT_TRUE(random_is_hex("00ff!", 4));  // only the first len bytes count
    EXPECT_FALSE(random_is_hex("00FF", 4));
    EXPECT_FALSE(random_is_hex("00g0", 4));
    // The terminator is the first byte that is no digit, so nothing past it is read.
    EXPECT_FALSE(random_is_hex("ab", 3));
}

TEST(RandomSecret, EqualOnlyWhenWholeAndWithinTheCap) {
    const struct {
        const char* a;
        const char* b;
        size_t cap;
        bool fold;
        int equal;
    } cases[] = {
        {"c0ffee", "c0ffee", 6, false, 1},
        {"c0ffee", "c0ffef", 6, false, 0},
        {"c0ffee", "c0ffe", 6, false, 0},    // a prefix
        {"c0ffee", "c0ffee0", 6, false, 0},  // longer than the cap
        {"c0ffee", "C0FFEE", 6, false, 0},
        {"c0ffee", "C0FFEE", 6, true, 1},
        {"k7", "K7", 6, true, 1},
        {"k7", "k8", 6, true, 0},
        {"", "", 6, false, 1},
        {"", "a", 6, false, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(random_secret_equal(c.a, c.b, c.cap, c.fold), c.equal) << c.a << " / " << c.b;
}
