#include "base/punycode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The code points of a UTF-8 literal, decoded by the test itself.
std::vector<uint32_t> code_points(const std::u32string& text) {
    return std::vector<uint32_t>(text.begin(), text.end());
}

std::string encoded(const std::u32string& text) {
    std::vector<uint32_t> points = code_points(text);
    char out[256];
    if (punycode_encode(points.data(), points.size(), out, sizeof out) != 0) return "(failed)";
    return out;
}

}  // namespace

// Known encodings: the common examples and samples from RFC 3492 section 7.1, whose mixed
// case annotations are not used (host names are lower-cased before encoding).
TEST(Punycode, KnownVectors) {
    const std::pair<std::u32string, const char*> cases[] = {
        {U"münchen", "mnchen-3ya"},
        {U"中文", "fiq228c"},
        {U"bücher", "bcher-kva"},
        {U"他们为什么不说中文", "ihqwcrb4cv8a8dqg056pqjye"},
        {U"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631"
         U"\u0628\u064A\u061F",
         "egbpdaj6bu4bxfgehfvwxn"},
        {U"3年b組金八先生", "3b-ww4c5e180e575a65lsy2b"},
        {U"\U0001F600", "e28h"},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(encoded(text), want) << want;
}

TEST(Punycode, LabelBoundsAndOutputRoom) {
    std::u32string longest(PUNYCODE_MAX_LABEL_CHARS, U'ü');
    EXPECT_NE(encoded(longest), "(failed)");
    EXPECT_EQ(encoded(longest + U'ü'), "(failed)");
    std::vector<uint32_t> beyond = {0x110000};
    char out[64];
    EXPECT_EQ(punycode_encode(beyond.data(), 1, out, sizeof out), -1);
    std::vector<uint32_t> points = code_points(U"münchen");
    char small[10];  // "mnchen-3ya" needs 11 bytes with its terminator
    EXPECT_EQ(punycode_encode(points.data(), points.size(), small, sizeof small), -1);
}

TEST(Punycode, HostNamesLabelByLabel) {
    const std::pair<const char*, const char*> cases[] = {
        {"münchen", "xn--mnchen-3ya"},
        {"münchen.local", "xn--mnchen-3ya.local"},
        {"pc.中文", "pc.xn--fiq228c"},
        {"desk-01", "desk-01"},
        {"", ""},
        // Not UTF-8: a stray continuation, a cut sequence, an overlong slash, a surrogate.
        {"a\x80", nullptr},
        {"\xE4\xB8", nullptr},
        {"\xC0\xAF", nullptr},
        {"\xED\xA0\x80", nullptr},
    };
    for (const auto& [name, want] : cases) {
        char out[256];
        int rc = punycode_host_to_ascii(name, out, sizeof out);
        if (want) {
            EXPECT_EQ(rc, 0) << name;
            EXPECT_STREQ(out, want);
        } else {
            EXPECT_EQ(rc, -1) << name;
        }
    }
    char small[8];
    EXPECT_EQ(punycode_host_to_ascii("münchen", small, sizeof small), -1);
}
