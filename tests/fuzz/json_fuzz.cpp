// The JSON parser on arbitrary bytes. Whatever it accepts must survive the round trip:
// parse -> write -> parse gives the same tree, and writing that tree gives the same text; a
// parse bounded to exactly the tree's values and keys gives it too, and one less gives none. The
// input is an exact-size heap block, so a read past its end is an AddressSanitizer report.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/json.h"
#include "base/strbuf.h"
#include "fuzz_check.h"

namespace {

bool same_tree(const JsonValue* a, const JsonValue* b) {
    if (a->kind != b->kind) return false;
    switch (a->kind) {
        case JSON_NUMBER:
            return strcmp(a->number_text, b->number_text) == 0;
        case JSON_STRING:
            return strcmp(a->string, b->string) == 0;
        case JSON_ARRAY:
            if (a->item_count != b->item_count) return false;
            for (int32_t i = 0; i < a->item_count; i++)
                if (!same_tree(a->items[i], b->items[i])) return false;
            return true;
        case JSON_OBJECT:
            if (a->member_count != b->member_count) return false;
            for (int32_t i = 0; i < a->member_count; i++)
                if (strcmp(a->keys[i], b->keys[i]) != 0 || !same_tree(a->values[i], b->values[i]))
                    return false;
            return true;
        default:
            return true;
    }
}

// Containers around the deepest value of the tree (a scalar at the top has 0).
int enclosing_depth(const JsonValue* v) {
    int deepest = -1;
    if (v->kind == JSON_ARRAY)
        for (int32_t i = 0; i < v->item_count; i++) {
            int d = enclosing_depth(v->items[i]);
            if (d > deepest) deepest = d;
        }
    if (v->kind == JSON_OBJECT)
        for (int32_t i = 0; i < v->member_count; i++) {
            int d = enclosing_depth(v->values[i]);
            if (d > deepest) deepest = d;
        }
    return deepest + 1;
}

// The shape every parsed node has: the fields of other kinds are empty, texts are never null.
void check_node(const JsonValue* v) {
    FUZZ_CHECK(v != nullptr && v->kind <= JSON_OBJECT);
    FUZZ_CHECK((v->kind == JSON_NUMBER) == (v->number_text != nullptr));
    FUZZ_CHECK((v->kind == JSON_STRING) == (v->string != nullptr));
    if (v->kind == JSON_NUMBER) FUZZ_CHECK(v->number_text[0] != 0);
    if (v->kind != JSON_ARRAY) FUZZ_CHECK(v->item_count == 0 && v->items == nullptr);
    if (v->kind != JSON_OBJECT) FUZZ_CHECK(v->member_count == 0 && v->keys == nullptr);
    for (int32_t i = 0; i < v->item_count; i++) check_node(v->items[i]);
    for (int32_t i = 0; i < v->member_count; i++) {
        FUZZ_CHECK(v->keys[i] != nullptr);
        check_node(v->values[i]);
        // Lookup finds the first member of a name.
        const JsonValue* first = json_get(v, v->keys[i]);
        int32_t j = 0;
        while (strcmp(v->keys[j], v->keys[i]) != 0) j++;
        FUZZ_CHECK(first == v->values[j]);
    }
}

// Values and keys in the tree: what a bounded parse counts.
size_t node_count(const JsonValue* v) {
    size_t count = 1;
    for (int32_t i = 0; i < v->item_count; i++) count += node_count(v->items[i]);
    for (int32_t i = 0; i < v->member_count; i++) count += 1 + node_count(v->values[i]);
    return count;
}

std::string written(const JsonValue* v) {
    StrBufOwner sb;
    json_write(sb.get(), v);
    return std::string(sb.c_str(), sb->len);
}

// A text quoted by json_append_string reads back as itself.
void check_string_round_trip(const char* text) {
    StrBufOwner sb;
    json_append_string(sb.get(), text);
    JsonValue* back = json_parse(sb->data, sb->len);
    FUZZ_CHECK(back != nullptr && back->kind == JSON_STRING);
    FUZZ_CHECK(strcmp(back->string, text) == 0);
    json_free(back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    JsonValue* tree = json_parse(text, size);
    if (tree) {
        check_node(tree);
        FUZZ_CHECK(enclosing_depth(tree) <= 63);
        std::string first = written(tree);
        JsonValue* again = json_parse(first.data(), first.size());
        FUZZ_CHECK(again != nullptr);
        FUZZ_CHECK(same_tree(tree, again));
        FUZZ_CHECK(written(again) == first);
        json_free(again);
        // A budget of exactly the tree's values and keys gives the same tree; one less, none.
        size_t nodes = node_count(tree);
        JsonValue* bounded = json_parse_bounded(text, size, nodes);
        FUZZ_CHECK(bounded != nullptr && same_tree(tree, bounded));
        json_free(bounded);
        FUZZ_CHECK(json_parse_bounded(text, size, nodes - 1) == nullptr);
        json_free(tree);
    } else {
        FUZZ_CHECK(json_parse_bounded(text, size, SIZE_MAX - 1) == nullptr);
    }
    check_string_round_trip(std::string(text, size).c_str());
    return 0;
}
