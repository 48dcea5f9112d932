#pragma once
// JSON values: a small parser into a tree of JsonValue nodes and a writer with one fixed
// layout, which is also the on-disk format of the state files.
//
// The parser is lenient where it costs nothing (numbers stay text and are not validated,
// whatever follows the value is ignored) and strict where it protects the tree (raw control
// characters and bad escapes in strings, at most 63 containers around any value).
#include <cstddef>
#include <cstdint>

#include "base/strbuf.h"

// The numbers are fixed: callers compare a parsed document's kind against them.
enum JsonKind : uint32_t {
    JSON_NULL = 0,
    JSON_TRUE = 1,
    JSON_FALSE = 2,
    JSON_NUMBER = 3,
    JSON_STRING = 4,
    JSON_ARRAY = 5,
    JSON_OBJECT = 6,
};

// One node. Every node is allocated zero-filled, so the fields a kind does not use are null
// or zero. A node owns everything it points to; json_free frees the whole subtree. Objects
// keep their members in input order, duplicates included.
//
// After parsing no capacity is stored: code that adds an element reallocates the array(s) to
// exactly count + 1 entries first (json_array_push / json_object_push do this).
struct JsonValue {
    JsonKind kind;
    char* number_text;  // JSON_NUMBER: the number exactly as it was written
    char* string;       // JSON_STRING: decoded UTF-8, never null for a parsed string
    JsonValue** items;  // JSON_ARRAY
    int32_t item_count;
    char** keys;  // JSON_OBJECT: keys[i] belongs to values[i]
    JsonValue** values;
    int32_t member_count;
};

// Parses exactly one value from len bytes (need not be NUL-terminated; nothing at or beyond
// len is read). Leading white space is skipped, trailing bytes are never looked at. Returns a
// new tree that the caller frees with json_free, or null on any error (nothing leaks).
// Every string gets a block of its raw length in the text, so strings never cost more than
// the text they came from.
JsonValue* json_parse(const char* text, size_t len);
// json_parse for text from a client: the parse fails as soon as the tree would hold more than
// max_nodes values and object keys together. Each one costs a small fixed amount beside its
// text (a node, a block, a slot in its container), so the budget bounds what any text,
// however many tiny values it packs, can make the tree cost.
JsonValue* json_parse_bounded(const char* text, size_t len, size_t max_nodes);
// Frees a tree; null does nothing.
void json_free(JsonValue* value);

// The value of the first member named key, borrowed from the tree; null when object is null,
// not an object, or has no such member. Keys compare byte for byte.
JsonValue* json_get(const JsonValue* object, const char* key);
// The node's string when it is a JSON_STRING, else null. Borrowed.
const char* json_string(const JsonValue* value);
// The node's string when it is a JSON_STRING with a string, else fallback. Borrowed.
const char* json_string_or(const JsonValue* value, const char* fallback);
// The member's number text converted as strtod converts it; 0 when the member is missing or
// not a number.
double json_get_number(const JsonValue* object, const char* key);

// Appends text as a quoted JSON string (the text ends at its first zero byte); null appends
// "". Allocation failures of sb are ignored: the caller sees at most a shorter text.
void json_append_string(StrBuf* sb, const char* text);
// Appends the serialised value in the fixed layout: containers open with "[\n" or "{\n", each
// element sits on its own line after one space (however deep), elements are separated by
// ",\n", and the closing bracket starts the last line; empty containers are "[]" and "{}".
// Null appends "null".
void json_write(StrBuf* sb, const JsonValue* value);

// Building and editing trees (state files are parsed, edited in place and written back).
// New nodes are zero-filled; the caller owns them until they are added to a container.
// Results are null when memory runs out.
JsonValue* json_new(JsonKind kind);
JsonValue* json_new_string(const char* text);  // null text gives ""
JsonValue* json_new_number(const char* number_text);
// Appends item (ownership passes to the array on success). 0 on success, -1 when array is not
// an array or memory runs out; then the caller still owns item.
int json_array_push(JsonValue* array, JsonValue* item);
// Appends a member with a copy of key; value's ownership passes to the object on success.
// 0 on success, -1 when object is not an object or memory runs out (the caller keeps value).
int json_object_push(JsonValue* object, const char* key, JsonValue* value);
// Frees element i and moves the later ones down. Out of range does nothing.
void json_array_remove(JsonValue* array, int32_t index);
void json_object_remove(JsonValue* object, int32_t index);

// RAII owner of a parsed tree: frees it when the scope ends.
struct JsonOwner {
    JsonValue* value;
    explicit JsonOwner(JsonValue* v) : value(v) {}
    JsonOwner(const JsonOwner&) = delete;
    JsonOwner& operator=(const JsonOwner&) = delete;
    ~JsonOwner() { json_free(value); }
};
