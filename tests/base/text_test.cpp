#include "base/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Copies the bytes into a heap block of exactly their size, so that the sanitizer builds catch
// any read past the given length.
struct ExactBytes {
    char* data;
    explicit ExactBytes(const std::string& bytes)
        : data(static_cast<char*>(malloc(bytes.size() ? bytes.size() : 1))) {
        memcpy(data, bytes.data(), bytes.size());
    }
    ~ExactBytes() { free(data); }
    ExactBytes(const ExactBytes&) = delete;
    ExactBytes& operator=(const ExactBytes&) = delete;
};

std::string decode(const std::string& in, int plus_is_space) {
    ExactBytes exact(in);
    StrBufOwner sb;
    url_decode(sb.get(), exact.data, in.size(), plus_is_space);
    return std::string(sb.c_str(), sb->len);
}

std::string encode(const char* in) {
    StrBufOwner sb;
    url_encode(sb.get(), in);
    return std::string(sb.c_str(), sb->len);
}

std::string take(char* text) {
    EXPECT_NE(text, nullptr);
    std::string copy = text ? text : "";
    free(text);
    return copy;
}

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; i++) out += piece;
    return out;
}

const std::string ZHONG = "\xE4\xB8\xAD";  // U+4E2D

}  // namespace

TEST(UrlDecode, EscapesPlusAndStrayPercents) {
    struct Case {
        std::string in;
        int plus;
        std::string out;
    };
    const Case cases[] = {
        {"a%2Fb", 0, "a/b"},
        {"%41", 0, "A"},
        {"%4", 0, "%4"},
        {"%", 0, "%"},
        {"100%", 0, "100%"},
        {"%zz", 0, "%zz"},
        {"%4g", 0, "%4g"},
        {"%e4%B8%AD", 0, ZHONG},
        {"%%41", 0, "%A"},  // the bytes after a kept '%' are looked at again
        {"%4%41", 0, "%4A"},
        {"a+b", 0, "a+b"},
        {"a+b", 1, "a b"},
        {"+%2B+", 1, " + "},
        {"%2B", 0, "+"},
        {std::string("a%00b"), 0, std::string("a\0b", 3)},
        {"\xff%ff", 0, "\xff\xff"},
        {"", 1, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(decode(c.in, c.plus), c.out) << c.in;
}

TEST(UrlDecode, OnlyTheGivenLengthIsRead) {
    // A prefix that cuts an escape keeps the '%' and the digits it has.
    const std::string whole = "%e4%B8%AD";
    const std::string expected[] = {"",           "%",           "%e",       "\xE4",
                                    "\xE4%",      "\xE4%B",      "\xE4\xB8", "\xE4\xB8%",
                                    "\xE4\xB8%A", "\xE4\xB8\xAD"};
    for (size_t n = 0; n <= whole.size(); n++)
        EXPECT_EQ(decode(whole.substr(0, n), 0), expected[n]) << n;
    StrBufOwner sb;
    url_decode_path(sb.get(), "a+%41", 5);
    url_decode_query(sb.get(), "a+%41", 5);
    EXPECT_STREQ(sb.c_str(), "a+Aa A");
}

TEST(UrlEncode, KeepsUnreservedAndEscapesEverythingElse) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"a b/c.txt", "a%20b/c.txt"},
        {"\xC3\xA9", "%C3%A9"},
        {"~_-.", "~_-."},
        {"#?&%+", "%23%3F%26%25%2B"},
        {"\x01\x1f\x7f\\:", "%01%1F%7F%5C%3A"},
        {"AZaz09", "AZaz09"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(encode(c.in), c.out) << c.in;

    StrBufOwner sb;
    sb_append_str(sb.get(), "keep");
    url_encode(sb.get(), nullptr);
    EXPECT_STREQ(sb.c_str(), "keep");
}

TEST(UrlEncode, DecodingGivesEveryByteBack) {
    std::string all;
    for (int c = 1; c < 256; c++) all += static_cast<char>(c);
    std::string encoded = encode(all.c_str());
    EXPECT_EQ(encoded.find_first_not_of("%0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                        "abcdefghijklmnopqrstuvwxyz-._~/"),
              std::string::npos);
    EXPECT_EQ(decode(encoded, 0), all);
    EXPECT_EQ(decode(encoded, 1), all);  // '+' is always escaped, so the flag cannot matter
}

TEST(Utf8, SpaceLenRecognisesExactlyTheListedCharacters) {
    struct Case {
        std::string text;
        size_t len;
    };
    const Case cases[] = {
        {"\t", 1},           {"\n", 1},       {"\v", 1},   {"\f", 1},       {"\r", 1},
        {" x", 1},           {"\xC2\xA0", 2},  // U+00A0
        {"\xE1\x9A\x80", 3},                   // U+1680
        {"\xE2\x80\x80", 3},                   // U+2000
        {"\xE2\x80\x8A", 3},                   // U+200A
        {"\xE2\x80\xA8", 3},                   // U+2028
        {"\xE2\x80\xA9", 3},                   // U+2029
        {"\xE2\x80\xAF", 3},                   // U+202F
        {"\xE2\x81\x9F", 3},                   // U+205F
        {"\xE3\x80\x80", 3},                   // U+3000
        {"\x08", 0},         {"\x0E", 0},     {"\x1F", 0}, {"x", 0},        {"", 0},
        {"\xC2\x85", 0},      // U+0085 next line
        {"\xE1\xA0\x8E", 0},  // U+180E
        {"\xE2\x80\x8B", 0},  // U+200B zero-width space
        {"\xE2\x80\xA7", 0},  // U+2027
        {"\xE2\x80\xB0", 0},  // U+2030
        {"\xE2\x81\x9E", 0},  // U+205E
        {"\xE3\x80\x81", 0},  // U+3001
        {"\xEF\xBB\xBF", 0},  // U+FEFF
        {"\xE2\x80", 0},     {"\xE2", 0},     {"\xC2", 0}, {"\xE3\x80", 0},  // cut at the
                                                                             // terminator
    };
    for (const Case& c : cases) {
        ExactBytes exact(c.text + '\0');
        EXPECT_EQ(utf8_space_len(exact.data), c.len) << testing::PrintToString(c.text);
    }
}

TEST(Utf8, TrimRemovesUnicodeWhiteSpaceAtBothEnds) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"\xE3\x80\x80"
         "abc\xC2\xA0\n",
         "abc"},
        {" \t\r\n ", ""},
        {"\xE2\x80\x80\xE2\x80\xAF\xC2\xA0", ""},
        {"", ""},
        {"a b", "a b"},
        {"\v\fx\v\f", "x"},  // unlike JSON, VT and FF count here
        {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},  // U+200B stays
        {"x\xC2\x85", "x\xC2\x85"},                                  // U+0085 stays
        {"abc\xE2", "abc\xE2"},                                      // cut sequence at the end
        {"abc\xE2\x80", "abc\xE2\x80"},
        {"a\xA0", "a\xA0"},        // stray continuation byte, not a space
        {"\x80\xC2\xA0", "\x80"},  // the walk back stops at the start
        {"\xA0\x80 ", "\xA0\x80"},
        {ZHONG + " " + ZHONG + "\xE3\x80\x80", ZHONG + " " + ZHONG},
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(utf8_trim(c.in.c_str())), c.out) << testing::PrintToString(c.in);
    EXPECT_EQ(take(utf8_trim(nullptr)), "");
}

TEST(Utf8, TruncateAndCountUseWholeCharacters) {
    struct Case {
        std::string in;
        size_t max;
        std::string out;
    };
    const std::string fifty = repeat(ZHONG, 50);
    const std::string emoji = "\xF0\x9F\x98\x80";
    const Case cases[] = {
        {fifty, 40, repeat(ZHONG, 40)},
        {"short", 40, "short"},
        {"abc", 0, ""},
        {"", 5, ""},
        {"ab" + ZHONG.substr(0, 2), 3, "ab" + ZHONG.substr(0, 2)},  // a cut sequence is one
        {"ab" + ZHONG.substr(0, 2), 2, "ab"},
        {"\x80\x80"
         "a",
         2, "\x80\x80"},  // stray continuation bytes count one each
        {emoji + "x", 1, emoji},
        {"\xF8\xFF"
         "a",
         2, "\xF8\xFF"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(utf8_truncate(c.in.c_str(), c.max)), c.out)
            << testing::PrintToString(c.in) << " " << c.max;
    EXPECT_EQ(take(utf8_truncate(fifty.c_str(), 40)).size(), 120u);
    EXPECT_EQ(take(utf8_truncate(nullptr, 3)), "");

    EXPECT_EQ(utf8_count(fifty.c_str()), 50u);
    EXPECT_EQ(utf8_count(("a" + emoji + ZHONG.substr(0, 1)).c_str()), 3u);
    EXPECT_EQ(utf8_count(nullptr), 0u);
    EXPECT_EQ(utf8_prefix_bytes(("a" + emoji + "b").c_str(), 2), 5u);
}

TEST(Utf8, CharLenFollowsTheLeadByte) {
    struct Case {
        unsigned char lead;
        int len;
    };
    const Case cases[] = {{0x00, 1}, {0x7F, 1}, {0x80, 1}, {0xBF, 1}, {0xC0, 2}, {0xDF, 2},
                          {0xE0, 3}, {0xEF, 3}, {0xF0, 4}, {0xF7, 4}, {0xF8, 1}, {0xFF, 1}};
    for (const Case& c : cases) EXPECT_EQ(utf8_char_len(c.lead), c.len) << int(c.lead);
}
