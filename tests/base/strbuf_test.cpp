#include "base/strbuf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(StrBuf, EmptyAppendsAllocateNothingAndDetachGivesEmptyText) {
    StrBuf sb{};
    EXPECT_EQ(sb_append_str(&sb, ""), 0);
    EXPECT_EQ(sb_append(&sb, "x", 0), 0);
    EXPECT_EQ(sb_appendf(&sb, "%s", ""), 0);
    EXPECT_EQ(sb.data, nullptr);
    char* text = sb_detach(&sb);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    free(text);
    EXPECT_EQ(sb.data, nullptr);
}

TEST(StrBuf, GrowthRule) {
    struct Case { size_t first, then; uint64_t cap_after_first, cap_after_then; };
    const Case cases[] = {
        {255, 0, 256, 256}, {300, 0, 512, 512}, {255, 1, 256, 512}, {1, 1000, 256, 1024},
    };
    for (const Case& c : cases) {
        StrBufOwner sb;
        sb_append(sb.get(), std::string(c.first, 'a').data(), c.first);
        EXPECT_EQ(sb->cap, c.cap_after_first) << c.first;
        sb_append(sb.get(), std::string(c.then, 'b').data(), c.then);
        EXPECT_EQ(sb->cap, c.cap_after_then) << c.first << "+" << c.then;
        EXPECT_EQ(sb->len, c.first + c.then);
        EXPECT_EQ(sb->data[sb->len], 0);
    }
}

TEST(StrBuf, AppendfLimitIs2047Bytes) {
    StrBufOwner sb;
    sb_append_str(sb.get(), "keep");
    EXPECT_EQ(sb_appendf(sb.get(), "%s", std::string(2047, 'x').c_str()), 0);
    EXPECT_EQ(sb->len, 4u + 2047u);
    EXPECT_EQ(sb_appendf(sb.get(), "%s", std::string(2048, 'y').c_str()), -1);
    EXPECT_EQ(sb_appendf(sb.get(), "%d%s", 7, std::string(5000, 'z').c_str()), -1);
    EXPECT_EQ(sb->len, 4u + 2047u);
    EXPECT_EQ(sb_appendf(sb.get(), "%d-%s", 42, "ok"), 0);
    EXPECT_EQ(std::string(sb->data + sb->len - 5), "42-ok");
}

// A text built by many appends is checked once: any failed append leaves the mark, and only a
// fresh start clears it.
TEST(StrBuf, FailedAppendIsRemembered) {
    StrBufOwner sb;
    EXPECT_EQ(sb_append_str(sb.get(), "{"), 0);
    EXPECT_EQ(sb->failed, 0);
    std::string big(SB_APPENDF_MAX + 1, 'x');
    EXPECT_EQ(sb_appendf(sb.get(), "%s", big.c_str()), -1);
    EXPECT_EQ(sb_append_str(sb.get(), "}"), 0);
    EXPECT_EQ(sb->failed, 1);
    EXPECT_STREQ(sb.c_str(), "{}");
    sb_clear(sb.get());
    EXPECT_EQ(sb->failed, 0);
    EXPECT_EQ(sb_reserve(sb.get(), UINT64_MAX), -1);
    EXPECT_EQ(sb->failed, 1);
    sb_free(sb.get());
    EXPECT_EQ(sb->failed, 0);
}

TEST(StrBuf, ClearKeepsStorageAndNulByteShortensText) {
    StrBufOwner sb;
    sb_append_str(sb.get(), "hello");
    char* storage = sb->data;
    sb_clear(sb.get());
    EXPECT_EQ(sb->len, 0u);
    EXPECT_EQ(sb->cap, 256u);
    sb_append_str(sb.get(), "ab");
    EXPECT_EQ(sb->data, storage);
    sb_append_char(sb.get(), 0);
    sb_append_char(sb.get(), 'c');
    EXPECT_EQ(sb->len, 4u);
    EXPECT_STREQ(sb->data, "ab");
}

TEST(StrBuf, DetachHandsOverAndBufferStartsAgain) {
    StrBuf sb{};
    sb_append_str(&sb, "text");
    char* text = sb_detach(&sb);
    EXPECT_STREQ(text, "text");
    EXPECT_EQ(sb.data, nullptr);
    EXPECT_EQ(sb.cap, 0u);
    sb_append_str(&sb, "again");
    EXPECT_STREQ(sb.data, "again");
    sb_free(&sb);
    free(text);
}

TEST(StrBuf, ReserveRefusesOverflow) {
    StrBufOwner sb;
    sb_append_str(sb.get(), "abc");
    EXPECT_EQ(sb_reserve(sb.get(), UINT64_MAX - 4), -1);
    EXPECT_STREQ(sb->data, "abc");
}
