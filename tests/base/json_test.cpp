#include "base/json.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Parses from a heap block of exactly the input's size, so that the sanitizer builds catch
// any read at or beyond the given length.
JsonValue* parse_exact(const std::string& text) {
    char* exact = static_cast<char*>(malloc(text.size() ? text.size() : 1));
    memcpy(exact, text.data(), text.size());
    JsonValue* value = json_parse(exact, text.size());
    free(exact);
    return value;
}

// A compact dump of a tree, independent of json_write: N(text) for numbers, strings quoted
// with their raw bytes, [a,b] and {k:v}.
std::string dump(const JsonValue* v) {
    if (!v) return "<null>";
    switch (v->kind) {
        case JSON_NULL:
            return "null";
        case JSON_TRUE:
            return "true";
        case JSON_FALSE:
            return "false";
        case JSON_NUMBER:
            return "N(" + std::string(v->number_text) + ")";
        case JSON_STRING:
            return "'" + std::string(v->string) + "'";
        case JSON_ARRAY: {
            std::string out = "[";
            for (int32_t i = 0; i < v->item_count; i++) out += (i ? "," : "") + dump(v->items[i]);
            return out + "]";
        }
        case JSON_OBJECT: {
            std::string out = "{";
            for (int32_t i = 0; i < v->member_count; i++)
                out += (i ? "," : "") + std::string(v->keys[i]) + ":" + dump(v->values[i]);
            return out + "}";
        }
    }
    return "<bad kind>";
}

std::string parse_dump(const std::string& text) {
    JsonValue* value = parse_exact(text);
    std::string out = dump(value);
    json_free(value);
    return out;
}

std::string write(const JsonValue* value) {
    StrBufOwner sb;
    json_write(sb.get(), value);
    return sb.c_str();
}

std::string quoted(const char* text) {
    StrBufOwner sb;
    json_append_string(sb.get(), text);
    return sb.c_str();
}

std::string nested(int depth, const std::string& open, const std::string& inner,
                   const std::string& close) {
    std::string text;
    for (int i = 0; i < depth; i++) text += open;
    text += inner;
    for (int i = 0; i < depth; i++) text += close;
    return text;
}

struct ParseCase {
    std::string in;
    std::string tree;  // "<null>" when the parse must fail
};

void check_parses(const ParseCase* cases, size_t n) {
    for (size_t i = 0; i < n; i++)
        EXPECT_EQ(parse_dump(cases[i].in), cases[i].tree) << testing::PrintToString(cases[i].in);
}

}  // namespace

TEST(JsonParse, ValuesWhiteSpaceAndTrailingText) {
    const ParseCase cases[] = {
        {"{\"a\": 1}  and more text", "{a:N(1)}"},
        {" \t\r\n[ 1 , \"x\" ,true,false , null ]", "[N(1),'x',true,false,null]"},
        {"[]", "[]"},
        {"{}", "{}"},
        {"[ ]", "[]"},
        {"{ \n}", "{}"},
        {"truex", "true"},  // trailing bytes are never examined
        {"falsey", "false"},
        {"null,", "null"},
        {"", "<null>"},
        {" \t\r\n", "<null>"},
        {"\v1", "<null>"},  // vertical tab and form feed are not white space
        {"\f1", "<null>"},
        {"[1,]", "<null>"},
        {"{\"a\":1,}", "<null>"},
        {"[1 2]", "<null>"},
        {"[truex]", "<null>"},
        {"tru", "<null>"},
        {"True", "<null>"},
        {"nul", "<null>"},
        {"[", "<null>"},
        {"[1", "<null>"},
        {"{a:1}", "<null>"},
        {"{\"a\" 1}", "<null>"},
        {"{\"a\":}", "<null>"},
        {"{\"a\":1 \"b\":2}", "<null>"},
        {"{\"k\":1,\"k\":2}", "{k:N(1),k:N(2)}"},
        {"{\"\":[{}]}", "{:[{}]}"},
    };
    check_parses(cases, std::size(cases));
}

TEST(JsonParse, NumbersStayTextAndAreNotValidated) {
    const ParseCase cases[] = {
        {"-", "N(-)"},
        {"1e", "N(1e)"},
        {"e", "N(e)"},
        {"E+", "N(E+)"},
        {"1.", "N(1.)"},
        {".5", "N(.5)"},
        {"01", "N(01)"},
        {"-0.5E+3", "N(-0.5E+3)"},
        {"1.2.3", "N(1.2)"},
        {"12abc", "N(12)"},
        {"[-,1e]", "[N(-),N(1e)]"},
        {"+1", "<null>"},
        {"x", "<null>"},
        {"[-x]", "<null>"},
        {"--1", "N(-)"},
    };
    check_parses(cases, std::size(cases));
}

TEST(JsonParse, StringsEscapesAndSurrogates) {
    const ParseCase cases[] = {
        {"\"\"", "''"},
        {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "'\"\\/\b\f\n\r\t'"},
        {"\"\\ud83d\\ude00\"", "'\xF0\x9F\x98\x80'"},
        {"\"\\uD83D\\uDE00\"", "'\xF0\x9F\x98\x80'"},
        {"\"\\udbff\\udfff\"", "'\xF4\x8F\xBF\xBF'"},
        {"\"\\ud83d\"", "'\xED\xA0\xBD'"},    // high surrogate alone
        {"\"\\ud83dx\"", "'\xED\xA0\xBDx'"},  // followed by a plain letter
        {"\"\\ud83d\\u0041\"",
         "'\xED\xA0\xBD"
         "A'"},  // followed by a non-surrogate escape
        {"\"\\ud83d\\ud83d\\ude00\"", "'\xED\xA0\xBD\xF0\x9F\x98\x80'"},
        {"\"\\ude00\"", "'\xED\xB8\x80'"},  // lone low surrogate
        {"\"\\ud83d\\n\"", "'\xED\xA0\xBD\n'"},
        {"\"\\ud83d\\uZZZZ\"", "<null>"},  // the second escape is read on its own
        {"\"\\u00e9\\u0041\\u4E2d\\u07FF\"",
         "'\xC3\xA9"
         "A\xE4\xB8\xAD\xDF\xBF'"},
        {"\"a\\u0000b\"", "'a'"},                // the stored text ends at the zero byte
        {"\"\x7f\xff\xc3\"", "'\x7f\xff\xc3'"},  // bytes from 0x7F up are copied raw
        {"\"\\u12\"", "<null>"},
        {"\"\\u12G4\"", "<null>"},
        {"\"\\u123", "<null>"},
        {"\"\\q\"", "<null>"},
        {"\"a\tb\"", "<null>"},  // raw control characters are refused
        {"\"a\x1f\"", "<null>"},
        {"\"abc", "<null>"},
        {"\"\\", "<null>"},
        {"{\"a\\u0062\":\"\\u0063\"}", "{ab:'c'}"},
    };
    check_parses(cases, std::size(cases));
}

TEST(JsonParse, EveryProperPrefixOfADocumentFails) {
    const std::string doc =
        "{\"a\": [1, -2.5e3, \"b\\u00e9\\ud83d\\ude00\", {\"c\": null}, true, false], \"\": {}}";
    JsonValue* whole = parse_exact(doc);
    ASSERT_NE(whole, nullptr);
    json_free(whole);
    for (size_t n = 0; n < doc.size(); n++) EXPECT_EQ(parse_exact(doc.substr(0, n)), nullptr) << n;
}

TEST(JsonParse, ANumberEndsWhereItsInputEnds) {
    const std::string number = "-12.5e+7";
    for (size_t n = 1; n <= number.size(); n++)
        EXPECT_EQ(parse_dump(number.substr(0, n)), "N(" + number.substr(0, n) + ")");
}

TEST(JsonParse, AtMost63ContainersAroundAnyValue) {
    const ParseCase cases[] = {
        {nested(64, "[", "", "]"), nested(64, "[", "", "]")},
        {nested(65, "[", "", "]"), "<null>"},
        {nested(63, "[", "1", "]"), nested(63, "[", "N(1)", "]")},
        {nested(64, "[", "1", "]"), "<null>"},
        {nested(63, "{\"k\":", "{}", "}"), nested(63, "{k:", "{}", "}")},
        {nested(64, "{\"k\":", "{}", "}"), "<null>"},
        {nested(63, "[", "{\"k\":1}", "]"), "<null>"},
        {nested(100000, "[", "", "]"), "<null>"},
    };
    check_parses(cases, std::size(cases));
}

TEST(JsonParse, LargeArraysKeepEveryItemInOrder) {
    std::string text = "[";
    for (int i = 0; i < 1000; i++) text += (i ? "," : "") + std::to_string(i);
    text += "]";
    JsonValue* array = parse_exact(text);
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(array->item_count, 1000);
    EXPECT_STREQ(array->items[0]->number_text, "0");
    EXPECT_STREQ(array->items[999]->number_text, "999");
    json_free(array);
}

// Values and keys count alike, and the budget is exact: a client's text cannot make the tree
// hold one node more than allowed.
TEST(JsonParse, BoundedParseCountsValuesAndKeys) {
    struct Case {
        std::string text;
        size_t nodes;  // values and keys in the text
    };
    const Case cases[] = {
        {"[]", 1},
        {"[0,0,0]", 4},
        {"{\"a\": \"x\", \"b\": {}}", 5},
        {"[[], {\"k\": [true, null]}]", 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        JsonValue* whole = json_parse_bounded(c.text.data(), c.text.size(), c.nodes);
        EXPECT_NE(whole, nullptr);
        EXPECT_EQ(dump(whole), dump(JsonOwner(json_parse(c.text.data(), c.text.size())).value));
        json_free(whole);
        EXPECT_EQ(json_parse_bounded(c.text.data(), c.text.size(), c.nodes - 1), nullptr);
    }
}

TEST(JsonWrite, FixedLayout) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"{\"a\":[1,2]}", "{\n \"a\": [\n 1,\n 2\n]\n}"},
        {"[{},{}]", "[\n {},\n {}\n]"},
        {"[]", "[]"},
        {"{}", "{}"},
        {"[[[\"x\"]]]", "[\n [\n [\n \"x\"\n]\n]\n]"},
        {"{\"k\":1,\"k\":true}", "{\n \"k\": 1,\n \"k\": true\n}"},
        {"[-, 1e, null, false]", "[\n -,\n 1e,\n null,\n false\n]"},
        {"\"\\u001b\\ud83d\"", "\"\\u001b\xED\xA0\xBD\""},
    };
    for (const Case& c : cases) {
        JsonValue* value = parse_exact(c.in);
        ASSERT_NE(value, nullptr) << c.in;
        std::string written = write(value);
        EXPECT_EQ(written, c.out) << c.in;
        JsonValue* again = parse_exact(written);  // the layout parses back to the same tree
        EXPECT_EQ(dump(again), dump(value)) << c.in;
        json_free(again);
        json_free(value);
    }
}

TEST(JsonWrite, NullUnknownKindAndNumberWithoutText) {
    EXPECT_EQ(write(nullptr), "null");
    JsonValue number{};
    number.kind = JSON_NUMBER;
    EXPECT_EQ(write(&number), "0");
    JsonValue odd{};
    odd.kind = static_cast<JsonKind>(7);
    EXPECT_EQ(write(&odd), "");
}

TEST(JsonWrite, AppendStringEscapes) {
    struct Case {
        const char* in;
        std::string out;
    };
    const Case cases[] = {
        {"\x01/", "\"\\u0001/\""},
        {"\"\\", "\"\\\"\\\\\""},
        {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
        {"\x1b\x1f\x0b", "\"\\u001b\\u001f\\u000b\""},
        {"\x7f\xe4\xb8\xad", "\"\x7f\xe4\xb8\xad\""},
        {"plain text", "\"plain text\""},
        {"", "\"\""},
        {nullptr, "\"\""},
    };
    for (const Case& c : cases) EXPECT_EQ(quoted(c.in), c.out) << (c.in ? c.in : "(null)");

    // Every byte from 1 to 255 survives the quote-and-parse round trip.
    std::string all;
    for (int c = 1; c < 256; c++) all += static_cast<char>(c);
    JsonValue* back = parse_exact(quoted(all.c_str()));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::string(back->string), all);
    json_free(back);
}

TEST(JsonAccess, LookupStringsAndNumbers) {
    JsonValue* doc = parse_exact(
        "{\"k\":\"first\",\"k\":\"second\",\"n\":12.5,\"s\":\"7\",\"e\":\"\",\"x\":null,"
        "\"t\":-1e3}");
    ASSERT_NE(doc, nullptr);
    EXPECT_STREQ(json_string(json_get(doc, "k")), "first");
    EXPECT_EQ(json_get(doc, "K"), nullptr);  // keys are case-sensitive
    EXPECT_EQ(json_get(doc, "missing"), nullptr);
    EXPECT_EQ(json_get(nullptr, "k"), nullptr);
    EXPECT_EQ(json_get(json_get(doc, "k"), "k"), nullptr);  // not an object
    EXPECT_STREQ(json_string_or(json_get(doc, "e"), "fallback"), "");
    EXPECT_STREQ(json_string_or(json_get(doc, "x"), "fallback"), "fallback");
    EXPECT_STREQ(json_string_or(json_get(doc, "missing"), "fallback"), "fallback");
    EXPECT_EQ(json_string(json_get(doc, "n")), nullptr);
    EXPECT_DOUBLE_EQ(json_get_number(doc, "n"), 12.5);
    EXPECT_DOUBLE_EQ(json_get_number(doc, "t"), -1000.0);
    EXPECT_DOUBLE_EQ(json_get_number(doc, "s"), 0.0);  // a string is not a number
    EXPECT_DOUBLE_EQ(json_get_number(doc, "missing"), 0.0);
    EXPECT_DOUBLE_EQ(json_get_number(nullptr, "n"), 0.0);
    json_free(doc);

    JsonValue* odd = parse_exact("{\"a\":1.5x,\"b\":-}");
    EXPECT_EQ(odd, nullptr);  // "1.5x" stops the object at the x
    JsonValue* lone = parse_exact("{\"a\":-,\"b\":.5}");
    ASSERT_NE(lone, nullptr);
    EXPECT_DOUBLE_EQ(json_get_number(lone, "a"), 0.0);
    EXPECT_DOUBLE_EQ(json_get_number(lone, "b"), 0.5);
    json_free(lone);
}

TEST(JsonEdit, PushAndRemoveKeepOrderAndSerialise) {
    JsonValue* doc = parse_exact("{\"list\":[1,2,3],\"a\":true}");
    ASSERT_NE(doc, nullptr);
    JsonValue* list = json_get(doc, "list");
    json_array_remove(list, 1);
    json_array_remove(list, 5);  // out of range: nothing
    ASSERT_EQ(json_array_push(list, json_new_string("x\"y")), 0);
    ASSERT_EQ(json_array_push(list, json_new_number("4")), 0);
    ASSERT_EQ(json_object_push(doc, "b", json_new(JSON_NULL)), 0);
    json_object_remove(doc, 1);
    EXPECT_EQ(dump(doc), "{list:[N(1),N(3),'x\"y',N(4)],b:null}");
    EXPECT_EQ(write(doc), "{\n \"list\": [\n 1,\n 3,\n \"x\\\"y\",\n 4\n],\n \"b\": null\n}");

    JsonValue* item = json_new(JSON_TRUE);
    EXPECT_EQ(json_array_push(doc, item), -1);  // not an array: the caller keeps the item
    EXPECT_EQ(json_object_push(list, "k", item), -1);
    json_free(item);
    while (list->item_count) json_array_remove(list, 0);
    EXPECT_EQ(write(list), "[]");
    json_free(doc);

    JsonValue* empty = json_new_string(nullptr);
    EXPECT_EQ(dump(empty), "''");
    json_free(empty);
}
