#include "base/json.h"

#include <cstdlib>
#include <cstring>

#include "base/text.h"

namespace {

// Any value may have at most this many arrays and objects around it.
constexpr int32_t MAX_ENCLOSING = 63;
constexpr int32_t FIRST_CAPACITY = 4;

struct JsonParser {
    const char* pos;
    const char* end;
    int32_t depth;
    int ok;
    size_t nodes_left;  // values and keys the tree may still hold
};

JsonValue* parse_value(JsonParser* p);

bool is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void skip_white(JsonParser* p) {
    while (p->pos < p->end && is_white(*p->pos)) p->pos++;
}

size_t remaining(const JsonParser* p) {
    return static_cast<size_t>(p->end - p->pos);
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

JsonValue* fail(JsonParser* p, JsonValue* partial) {
    p->ok = 0;
    json_free(partial);
    return nullptr;
}

// Counts one more value or key against the parse's budget; false once it is spent.
bool take_node(JsonParser* p) {
    if (p->nodes_left == 0) return false;
    p->nodes_left--;
    return true;
}

// Value of four hex digits at s, or -1.
long hex4(const char* s) {
    long value = 0;
    for (int i = 0; i < 4; i++) {
        char c = s[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

// Code points up to U+FFFF in one to three bytes; lone surrogates are written like any other.
void put_bmp(char** out, long c) {
    char* o = *out;
    if (c < 0x80) {
        *o++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *o++ = static_cast<char>(0xC0 | (c >> 6));
        *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *o++ = static_cast<char>(0xE0 | (c >> 12));
        *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    *out = o;
}

void put_supplementary(char** out, long c) {
    char* o = *out;
    *o++ = static_cast<char>(0xF0 | (c >> 18));
    *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
    *out = o;
}

// The escape after "\u": four hex digits, joined with a following low-surrogate escape when
// c is a high surrogate. The cursor stands after the 'u'. Writes at most as many bytes as it
// consumes, less the "\u" already passed (six for three, twelve for four).
bool parse_unicode_escape(JsonParser* p, char** out) {
    if (remaining(p) < 4) return false;
    long c = hex4(p->pos);
    if (c < 0) return false;
    p->pos += 4;
    if (c >= 0xD800 && c <= 0xDBFF && remaining(p) >= 6 && p->pos[0] == '\\' && p->pos[1] == 'u') {
        long low = hex4(p->pos + 2);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            p->pos += 6;
            put_supplementary(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
            return true;
        }
        // Not a pair: the high surrogate stands alone and the next escape is read on its own.
    }
    put_bmp(out, c);
    return true;
}

bool parse_escape(JsonParser* p, char** out) {
    if (p->pos >= p->end) return false;
    char c = *p->pos++;
    char byte;
    switch (c) {
        case '"':
            byte = '"';
            break;
        case '\\':
            byte = '\\';
            break;
        case '/':
            byte = '/';
            break;
        case 'b':
            byte = '\b';
            break;
        case 'f':
            byte = '\f';
            break;
        case 'n':
            byte = '\n';
            break;
        case 'r':
            byte = '\r';
            break;
        case 't':
            byte = '\t';
            break;
        case 'u':
            return parse_unicode_escape(p, out);
        default:
            return false;
    }
    *(*out)++ = byte;
    return true;
}

// Bytes from the cursor (just after an opening quote) to the closing quote, passing over the
// byte after each backslash; the whole rest when there is none. Every escape decodes to fewer
// bytes than it is written with, so this many bytes and a terminator hold the decoded text.
size_t raw_string_length(const JsonParser* p) {
    const char* q = p->pos;
    while (q < p->end && *q != '"') q += (*q == '\\' && q + 1 < p->end) ? 2 : 1;
    return static_cast<size_t>(q - p->pos);
}

// A string body; the cursor stands on the opening quote. Returns the decoded text (the
// caller frees it) or null. The text gets a block of exactly the raw length, never more, so
// a body's strings cost no more than the body.
char* parse_string_text(JsonParser* p) {
    p->pos++;
    char* text = static_cast<char*>(malloc(raw_string_length(p) + 1));
    if (!text) return nullptr;
    char* out = text;
    while (p->pos < p->end) {
        unsigned char c = static_cast<unsigned char>(*p->pos);
        if (c != '"' && c != '\\' && c >= 0x20) {
            *out++ = static_cast<char>(c);
            p->pos++;
            continue;
        }
        if (c < 0x20) break;
        p->pos++;
        if (c == '"') {
            *out = 0;
            return text;
        }
        if (!parse_escape(p, &out)) break;
    }
    free(text);  // a bad byte or escape, or the input ended inside the string
    return nullptr;
}

JsonValue* new_node(JsonKind kind) {
    JsonValue* node = static_cast<JsonValue*>(calloc(1, sizeof(JsonValue)));
    if (node) node->kind = kind;
    return node;
}

JsonValue* parse_string(JsonParser* p) {
    JsonValue* node = new_node(JSON_STRING);
    if (!node) return fail(p, nullptr);
    node->string = parse_string_text(p);
    if (!node->string) return fail(p, node);
    return node;
}

JsonValue* parse_literal(JsonParser* p, const char* word, JsonKind kind) {
    size_t n = strlen(word);
    if (remaining(p) < n || memcmp(p->pos, word, n) != 0) return fail(p, nullptr);
    p->pos += n;
    JsonValue* node = new_node(kind);
    if (!node) return fail(p, nullptr);
    return node;
}

// The longest run of: '-'?, digits, ('.' digits)?, ([eE] [+-]? digits)?. Not validated.
JsonValue* parse_number(JsonParser* p) {
    const char* start = p->pos;
    const char* q = p->pos;
    if (q < p->end && *q == '-') q++;
    while (q < p->end && is_digit(*q)) q++;
    if (q < p->end && *q == '.') {
        q++;
        while (q < p->end && is_digit(*q)) q++;
    }
    if (q < p->end && (*q == 'e' || *q == 'E')) {
        q++;
        if (q < p->end && (*q == '+' || *q == '-')) q++;
        while (q < p->end && is_digit(*q)) q++;
    }
    if (q == start) return fail(p, nullptr);
    p->pos = q;
    JsonValue* node = new_node(JSON_NUMBER);
    if (!node) return fail(p, nullptr);
    node->number_text = text_copy_n(start, static_cast<size_t>(q - start));
    if (!node->number_text) return fail(p, node);
    return node;
}

// Room for one more element in a parse-time array of capacity *cap (4, then doubling).
template <typename T>
bool grow_for_one(T** array, int32_t count, int32_t* cap) {
    if (count < *cap) return true;
    if (*cap > INT32_MAX / 2) return false;
    int32_t new_cap = *cap ? *cap * 2 : FIRST_CAPACITY;
    T* grown = static_cast<T*>(realloc(*array, sizeof(T) * static_cast<size_t>(new_cap)));
    if (!grown) return false;
    *array = grown;
    *cap = new_cap;
    return true;
}

JsonValue* parse_array(JsonParser* p) {
    p->pos++;
    JsonValue* array = new_node(JSON_ARRAY);
    if (!array) return fail(p, nullptr);
    skip_white(p);
    if (p->pos < p->end && *p->pos == ']') {
        p->pos++;
        return array;
    }
    p->depth++;
    int32_t cap = 0;
    for (;;) {
        JsonValue* item = parse_value(p);
        if (!item) return fail(p, array);
        if (!grow_for_one(&array->items, array->item_count, &cap)) {
            json_free(item);
            return fail(p, array);
        }
        array->items[array->item_count++] = item;
        skip_white(p);
        if (p->pos >= p->end) return fail(p, array);
        char c = *p->pos++;
        if (c == ']') break;
        if (c != ',') return fail(p, array);
        skip_white(p);
    }
    p->depth--;
    return array;
}

JsonValue* parse_object(JsonParser* p) {
    p->pos++;
    JsonValue* object = new_node(JSON_OBJECT);
    if (!object) return fail(p, nullptr);
    skip_white(p);
    if (p->pos < p->end && *p->pos == '}') {
        p->pos++;
        return object;
    }
    p->depth++;
    int32_t key_cap = 0;
    int32_t value_cap = 0;
    for (;;) {
        skip_white(p);
        if (p->pos >= p->end || *p->pos != '"' || !take_node(p)) return fail(p, object);
        char* key = parse_string_text(p);
        if (!key) return fail(p, object);
        skip_white(p);
        JsonValue* value = nullptr;
        if (p->pos < p->end && *p->pos == ':') {
            p->pos++;
            skip_white(p);
            value = parse_value(p);
        }
        int32_t count = object->member_count;
        if (!value || !grow_for_one(&object->keys, count, &key_cap) ||
            !grow_for_one(&object->values, count, &value_cap)) {
            free(key);
            json_free(value);
            return fail(p, object);
        }
        object->keys[count] = key;
        object->values[count] = value;
        object->member_count++;
        skip_white(p);
        if (p->pos >= p->end) return fail(p, object);
        char c = *p->pos++;
        if (c == '}') break;
        if (c != ',') return fail(p, object);
    }
    p->depth--;
    return object;
}

JsonValue* parse_value(JsonParser* p) {
    if (p->depth > MAX_ENCLOSING || !take_node(p)) return fail(p, nullptr);
    skip_white(p);
    if (p->pos >= p->end) return fail(p, nullptr);
    switch (*p->pos) {
        case '"':
            return parse_string(p);
        case '{':
            return parse_object(p);
        case '[':
            return parse_array(p);
        case 't':
            return parse_literal(p, "true", JSON_TRUE);
        case 'f':
            return parse_literal(p, "false", JSON_FALSE);
        case 'n':
            return parse_literal(p, "null", JSON_NULL);
        default:
            return parse_number(p);
    }
}

// Frees the contents of a node but not the node itself.
void free_payload(JsonValue* value) {
    free(value->number_text);
    free(value->string);
    for (int32_t i = 0; i < value->item_count; i++) json_free(value->items[i]);
    free(value->items);
    for (int32_t i = 0; i < value->member_count; i++) {
        free(value->keys[i]);
        json_free(value->values[i]);
    }
    free(value->keys);
    free(value->values);
}

// Elements of both containers go one per line, each after a single space.
void write_container(StrBuf* sb, const JsonValue* value) {
    bool is_array = value->kind == JSON_ARRAY;
    int32_t count = is_array ? value->item_count : value->member_count;
    if (count <= 0) {
        sb_append_str(sb, is_array ? "[]" : "{}");
        return;
    }
    sb_append_str(sb, is_array ? "[\n" : "{\n");
    for (int32_t i = 0; i < count; i++) {
        sb_append_char(sb, ' ');
        if (is_array) {
            json_write(sb, value->items[i]);
        } else {
            json_append_string(sb, value->keys[i]);
            sb_append_str(sb, ": ");
            json_write(sb, value->values[i]);
        }
        sb_append_str(sb, i + 1 < count ? ",\n" : "\n");
    }
    sb_append_char(sb, is_array ? ']' : '}');
}

}  // namespace

JsonValue* json_parse(const char* text, size_t len) {
    return json_parse_bounded(text, len, SIZE_MAX);
}

JsonValue* json_parse_bounded(const char* text, size_t len, size_t max_nodes) {
    if (!text) return nullptr;
    JsonParser parser{text, text + len, 0, 1, max_nodes};
    JsonValue* value = parse_value(&parser);
    return parser.ok ? value : nullptr;
}

void json_free(JsonValue* value) {
    if (!value) return;
    free_payload(value);
    free(value);
}

JsonValue* json_get(const JsonValue* object, const char* key) {
    if (!object || object->kind != JSON_OBJECT || !key) return nullptr;
    for (int32_t i = 0; i < object->member_count; i++)
        if (strcmp(object->keys[i], key) == 0) return object->values[i];
    return nullptr;
}

const char* json_string(const JsonValue* value) {
    return value && value->kind == JSON_STRING ? value->string : nullptr;
}

const char* json_string_or(const JsonValue* value, const char* fallback) {
    const char* text = json_string(value);
    return text ? text : fallback;
}

double json_get_number(const JsonValue* object, const char* key) {
    const JsonValue* member = json_get(object, key);
    if (!member || member->kind != JSON_NUMBER || !member->number_text) return 0;
    return strtod(member->number_text, nullptr);
}

void json_append_string(StrBuf* sb, const char* text) {
    static const char HEX[] = "0123456789abcdef";
    sb_append_char(sb, '"');
    const char* run = text ? text : "";
    const char* p = run;
    for (; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        sb_append(sb, run, static_cast<uint64_t>(p - run));
        run = p + 1;
        switch (c) {
            case '"':
                sb_append_str(sb, "\\\"");
                break;
            case '\\':
                sb_append_str(sb, "\\\\");
                break;
            case '\b':
                sb_append_str(sb, "\\b");
                break;
            case '\t':
                sb_append_str(sb, "\\t");
                break;
            case '\n':
                sb_append_str(sb, "\\n");
                break;
            case '\f':
                sb_append_str(sb, "\\f");
                break;
            case '\r':
                sb_append_str(sb, "\\r");
                break;
            default: {
                const char escape[6] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 15]};
                sb_append(sb, escape, 6);
            }
        }
    }
    sb_append(sb, run, static_cast<uint64_t>(p - run));
    sb_append_char(sb, '"');
}

void json_write(StrBuf* sb, const JsonValue* value) {
    if (!value) {
        sb_append_str(sb, "null");
        return;
    }
    switch (value->kind) {
        case JSON_NULL:
            sb_append_str(sb, "null");
            break;
        case JSON_TRUE:
            sb_append_str(sb, "true");
            break;
        case JSON_FALSE:
            sb_append_str(sb, "false");
            break;
        case JSON_NUMBER:
            sb_append_str(sb, value->number_text ? value->number_text : "0");
            break;
        case JSON_STRING:
            json_append_string(sb, value->string);
            break;
        case JSON_ARRAY:
        case JSON_OBJECT:
            write_container(sb, value);
            break;
    }
}

JsonValue* json_new(JsonKind kind) {
    return new_node(kind);
}

JsonValue* json_new_string(const char* text) {
    JsonValue* node = new_node(JSON_STRING);
    if (!node) return nullptr;
    node->string = text_copy_n(text ? text : "", text ? strlen(text) : 0);
    if (!node->string) {
        free(node);
        return nullptr;
    }
    return node;
}

JsonValue* json_new_number(const char* number_text) {
    if (!number_text) return nullptr;
    JsonValue* node = new_node(JSON_NUMBER);
    if (!node) return nullptr;
    node->number_text = text_copy_n(number_text, strlen(number_text));
    if (!node->number_text) {
        free(node);
        return nullptr;
    }
    return node;
}

int json_array_push(JsonValue* array, JsonValue* item) {
    if (!array || array->kind != JSON_ARRAY || array->item_count == INT32_MAX) return -1;
    size_t n = static_cast<size_t>(array->item_count) + 1;
    JsonValue** items = static_cast<JsonValue**>(realloc(array->items, n * sizeof(JsonValue*)));
    if (!items) return -1;
    array->items = items;
    items[array->item_count++] = item;
    return 0;
}

int json_object_push(JsonValue* object, const char* key, JsonValue* value) {
    if (!object || object->kind != JSON_OBJECT || !key || object->member_count == INT32_MAX)
        return -1;
    size_t n = static_cast<size_t>(object->member_count) + 1;
    char* key_copy = text_copy_n(key, strlen(key));
    if (!key_copy) return -1;
    // Each array keeps its own larger block if the other reallocation fails: no harm, since
    // only the counts say what is in use.
    char** keys = static_cast<char**>(realloc(object->keys, n * sizeof(char*)));
    if (keys) object->keys = keys;
    JsonValue** values =
        keys ? static_cast<JsonValue**>(realloc(object->values, n * sizeof(JsonValue*))) : nullptr;
    if (values) object->values = values;
    if (!keys || !values) {
        free(key_copy);
        return -1;
    }
    keys[object->member_count] = key_copy;
    values[object->member_count] = value;
    object->member_count++;
    return 0;
}

void json_array_remove(JsonValue* array, int32_t index) {
    if (!array || array->kind != JSON_ARRAY || index < 0 || index >= array->item_count) return;
    json_free(array->items[index]);
    int32_t after = array->item_count - index - 1;
    memmove(array->items + index, array->items + index + 1,
            static_cast<size_t>(after) * sizeof(JsonValue*));
    array->item_count--;
}

void json_object_remove(JsonValue* object, int32_t index) {
    if (!object || object->kind != JSON_OBJECT || index < 0 || index >= object->member_count)
        return;
    free(object->keys[index]);
    json_free(object->values[index]);
    size_t after = static_cast<size_t>(object->member_count - index - 1);
    memmove(object->keys + index, object->keys + index + 1, after * sizeof(char*));
    memmove(object->values + index, object->values + index + 1, after * sizeof(JsonValue*));
    object->member_count--;
}
