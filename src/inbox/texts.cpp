#include "inbox/texts.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/config.h"
#include "base/fs.h"
#include "base/json.h"
#include "base/text.h"
#include "inbox/meta.h"
#include "inbox/paths.h"

namespace {

constexpr const char* UNKNOWN_DEVICE = "未知设备";

// Serialises every read-modify-write of texts.json: without it two devices posting at the
// same moment would each rewrite the list they read, and one text would be lost.
std::mutex TextsLock;


// Seconds since 1970, UTC, with the clock's fraction.
double now_seconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// The location of the store; null without memory. The caller frees it.
char* texts_path(const Config* config) {
    return path_join(config->state_dir, "texts.json");
}

// An item's time; anything that is not a finite number counts as 0 (never listed), so a
// hand-edited 1e999 cannot put "inf" into the list and make it unreadable.
double item_time(const JsonValue* item) {
    double t = json_get_number(item, "time");
    return std::isfinite(t) ? t : 0.0;
}

void write_store(const Config* config, JsonValue* array, double cutoff) {
    StrBufOwner list;
    texts_write_list(list.get(), array, cutoff);
    TextOwner path(texts_path(config));
    if (path.get() && list->data) state_write_file(path.get(), list->data, list->len);
}

// The id of a new text: milliseconds since 1970, then four digits scrambled from a second
// clock reading, so two texts of the same millisecond usually differ.
void make_id(char id[64]) {
    double t1 = now_seconds();
    double t2 = now_seconds();
    long long millis = static_cast<long long>(t1 * 1000.0);
    long long scramble = static_cast<long long>(t2 * 7919.0) % 10000;
    if (scramble < 0) scramble += 10000;
    snprintf(id, 64, "%lld%04lld", millis, scramble);
}

// Inserts item at the front of the array. 0, or -1 without memory (the caller keeps item).
int push_front(JsonValue* array, JsonValue* item) {
    size_t count = static_cast<size_t>(array->item_count);
    void* grown = realloc(array->items, (count + 1) * sizeof(JsonValue*));
    if (!grown) return -1;
    array->items = static_cast<JsonValue**>(grown);
    memmove(array->items + 1, array->items, count * sizeof(JsonValue*));
    array->items[0] = item;
    array->item_count++;
    return 0;
}

}  // namespace

StateLoad texts_load(const Config* config, double* cutoff_out, JsonValue** out) {
    *cutoff_out = now_seconds() - TEXTS_MAX_AGE_SECONDS;
    *out = nullptr;
    TextOwner path(texts_path(config));
    if (!path) return STATE_UNREADABLE;
    return state_load_json(path.get(), JSON_ARRAY, out);
}

void texts_write_list(StrBuf* sb, JsonValue* array, double cutoff) {
    size_t count = (array && array->kind == JSON_ARRAY && array->item_count > 0)
                       ? static_cast<size_t>(array->item_count)
                       : 0;
    if (count > 1) {
        std::stable_sort(
            array->items, array->items + count,
            [](const JsonValue* a, const JsonValue* b) { return item_time(a) > item_time(b); });
    }
    sb_append_char(sb, '[');
    int written = 0;
    for (size_t i = 0; i < count && written < TEXTS_MAX_ITEMS; i++) {
        const JsonValue* item = array->items[i];
        double time = item_time(item);
        if (!(time > cutoff)) continue;
        if (written > 0) sb_append_str(sb, ", ");
        sb_append_str(sb, "{\"id\": ");
        json_append_string(sb, json_string_or(json_get(item, "id"), ""));
        sb_append_str(sb, ", \"text\": ");
        json_append_string(sb, json_string_or(json_get(item, "text"), ""));
        sb_append_str(sb, ", \"from\": ");
        json_append_string(sb, json_string_or(json_get(item, "from"), UNKNOWN_DEVICE));
        sb_appendf(sb, ", \"time\": %.6f}", time);
        written++;
    }
    sb_append_char(sb, ']');
}

int texts_add(const Config* config, const char* text, const char* device) {
    TextOwner trimmed(utf8_trim(device ? device : ""));
    TextOwner from(trimmed ? utf8_truncate(trimmed.get(), TEXT_FROM_MAX_CHARS) : nullptr);
    if (!from) return TEXTS_FAILED;
    std::lock_guard<std::mutex> hold(TextsLock);
    double cutoff = 0;
    JsonOwner array(nullptr);
    if (texts_load(config, &cutoff, &array.value) == STATE_UNREADABLE) return TEXTS_UNREADABLE;

    char id[64];
    make_id(id);
    StrBufOwner item_text;
    sb_append_str(item_text.get(), "{\"id\": ");
    json_append_string(item_text.get(), id);
    sb_append_str(item_text.get(), ", \"text\": ");
    json_append_string(item_text.get(), text);
    sb_append_str(item_text.get(), ", \"from\": ");
    json_append_string(item_text.get(), from.get()[0] ? from.get() : UNKNOWN_DEVICE);
    sb_appendf(item_text.get(), ", \"time\": %.6f}", now_seconds());
    if (!item_text->data) return TEXTS_FAILED;
    JsonValue* item = json_parse(item_text->data, item_text->len);
    if (!item) return TEXTS_FAILED;
    if (push_front(array.value, item) != 0) {
        json_free(item);
        return TEXTS_FAILED;
    }
    write_store(config, array.value, cutoff);
    return 0;
}

int texts_delete(const Config* config, const char* id) {
    std::lock_guard<std::mutex> hold(TextsLock);
    double cutoff = 0;
    JsonOwner array(nullptr);
    if (texts_load(config, &cutoff, &array.value) == STATE_UNREADABLE) return TEXTS_UNREADABLE;
    const char* wanted = id ? id : "";
    for (int32_t i = 0; i < array.value->item_count; i++) {
        const char* item_id = json_string_or(json_get(array.value->items[i], "id"), "");
        if (strcmp(item_id, wanted) == 0) {
            json_array_remove(array.value, i);
            break;
        }
    }
    write_store(config, array.value, cutoff);
    return 0;
}

void texts_clear(const Config* config) {
    std::lock_guard<std::mutex> hold(TextsLock);
    TextOwner path(texts_path(config));
    if (path.get()) state_write_file(path.get(), "[]", 2);
}

void texts_list_json(const Config* config, StrBuf* sb) {
    fs_mkdirs(config->inbox_dir);
    fs_mkdirs(config->state_dir);
    double cutoff = now_seconds() - TEXTS_MAX_AGE_SECONDS;
    TextOwner path(texts_path(config));
    JsonOwner array(path ? state_peek_json(path.get(), JSON_ARRAY) : nullptr);
    if (!array.value) {
        sb_append_str(sb, "[]");
        return;
    }
    texts_write_list(sb, array.value, cutoff);
}
