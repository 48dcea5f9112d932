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
