#include "http/download.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// The answer a Range value gets for a file of the given size, as the download decides it:
// "200", "206 start-end" or "416".
std::string answer_for(const char* value, int64_t size) {
    int64_t start = -7, end = -7;
    int partial = http_parse_range(value, size, &start, &end);
    if (start > end || start >= size) return "416";
    if (!partial) return start == 0 && end == size - 1 ? "200" : "200 with a span?";
    return "206 " + std::to_string(start) + "-" + std::to_string(end);
}

}  // namespace

TEST(Download, RangesOfAThousandByteFile) {
    const std::pair<const char*, const char*> cases[] = {
        {"0-", "206 0-999"},
        {"100-199", "206 100-199"},
        {"900-5000", "206 900-999"},
        {"-300", "206 700-999"},
        {"-5000", "206 0-999"},
        {"500", "206 500-999"},
        {"-", "206 0-999"},
        {"", "206 0-999"},
        {"0-99,200-299", "206 0-99"},
        {" 10 - 19 ", "206 10-19"},
        {"999-999", "206 999-999"},
        {"1000-", "416"},
        {"200-100", "416"},
        {"-0", "416"},
        {"5--3", "416"},
        {"--5", "416"},
        {"--9223372036854775807", "416"},
        {"abc-", "200"},
        {"5-x", "200"},
        {"-x", "200"},
        {"x", "200"},
        {"0-9223372036854775807", "206 0-999"},
        {"-9223372036854775807", "206 0-999"},
        {"99999999999999999999-", "200"},
    };
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(answer_for(value, 1000), expected) << value;
}

TEST(Download, RangesBeyondFourGiB) {
    const int64_t size = 5LL << 30;
    EXPECT_EQ(answer_for("4294967296-4294967305", size), "206 4294967296-4294967305");
    EXPECT_EQ(answer_for("-10", size), "206 5368709110-5368709119");
    EXPECT_EQ(answer_for("5368709120-", size), "416");
}

TEST(Download, EveryRangeOfAnEmptyFileIsUnsatisfiable) {
    for (const char* value : {"", "-", "0-", "0-0", "-5", "abc-", "x"})
        EXPECT_EQ(answer_for(value, 0), "416") << value;
}

TEST(Download, AsciiFallbackName) {
    const std::pair<const char*, const char*> cases[] = {
        {"\xE7\x85\xA7\xE7\x89\x87 1.jpg", " 1.jpg"},
        {"\xE7\x85\xA7\xE7\x89\x87", "file"},
        {"a\"b\".txt", "ab.txt"},
        {"line\r\nSet-Cookie: x.txt", "lineSet-Cookie: x.txt"},
        {"", "file"},
        {"plain.pdf", "plain.pdf"},
    };
    for (const auto& [name, expected] : cases) {
        char* got = http_ascii_filename(name);
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got, expected) << name;
        free(got);
    }
}

TEST(Download, PreviewableTypes) {
    const std::pair<const char*, int> cases[] = {
        {"image/jpeg", 1},       {"video/mp4", 1},
        {"audio/ogg", 1},        {"text/plain", 1},
        {"application/pdf", 1},  {"application/zip", 0},
        {"application/json", 0}, {"application/pdfx", 0},
        {"Image/png", 0},        {"application/octet-stream", 0},
    };
    for (const auto& [mime, expected] : cases)
        EXPECT_EQ(http_is_previewable(mime), expected) << mime;
}
