#include "inbox/listing.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/config.h"
#include "base/fs.h"
#include "base/json.h"
#include "base/text.h"
#include "inbox/meta.h"
#include "inbox/mime.h"
#include "inbox/paths.h"

namespace {

constexpr const char* THIS_MACHINE = "本机";
constexpr size_t FIRST_ENTRY_CAPACITY = 16;

// Listing order: folders before files; folders by name bytes (strcmp compares as unsigned
// char), then newest first; files newest first. Whatever compares equal keeps its
// enumeration order because the sort is stable.
bool listed_before(const ListEntry& a, const ListEntry& b) {
    if (a.is_dir != b.is_dir) return a.is_dir > b.is_dir;
    if (a.is_dir) {
        int by_name = strcmp(a.name, b.name);
        if (by_name != 0) return by_name < 0;
    }
    return a.mtime > b.mtime;
}

struct ScanResult {
    ListEntry* entries;
    size_t count;
    size_t capacity;
};

void collect_entry(const char* name, const FileInfo* info, int is_dir, int is_reparse,
                   void* context) {
    auto* scan = static_cast<ScanResult*>(context);
    if (is_reparse || name[0] == '.') return;
    size_t name_len = strlen(name);
    if (name_len >= LIST_NAME_MAX_BYTES) return;
    if (scan->count == scan->capacity) {
        size_t capacity = scan->capacity ? scan->capacity * 2 : FIRST_ENTRY_CAPACITY;
        void* grown = realloc(scan->entries, capacity * sizeof(ListEntry));
        if (!grown) return;
        scan->entries = static_cast<ListEntry*>(grown);
        scan->capacity = capacity;
    }
    char* copy = static_cast<char*>(malloc(name_len + 1));
    if (!copy) return;
    memcpy(copy, name, name_len + 1);
    ListEntry& entry = scan->entries[scan->count++];
    entry.name = copy;
    entry.size = is_dir ? 0 : info->size;
    entry.mtime = info->mtime;
    entry.is_dir = is_dir ? 1 : 0;
}

// The sender records of one folder: for each record key under the folder's prefix, the key
// without the prefix and its record. Sorted by that name, so each file's record is found by
// binary search; of duplicate keys the first in the document wins, as json_get finds it.
struct SenderIndex {
    struct Item {
        std::string_view name;
        const JsonValue* record;
    };
    Item* items = nullptr;
    size_t count = 0;

    SenderIndex() = default;
    SenderIndex(const SenderIndex&) = delete;
    SenderIndex& operator=(const SenderIndex&) = delete;
    ~SenderIndex() { free(items); }

    void build(const JsonValue* records, const char* prefix) {
        if (!records || records->kind != JSON_OBJECT || records->member_count <= 0) return;
        items = static_cast<Item*>(malloc(sizeof(Item) * records->member_count));
        if (!items) return;
        size_t prefix_len = strlen(prefix);
        for (int32_t i = 0; i < records->member_count; i++) {
            const char* key = records->keys[i];
            if (!key || strncmp(key, prefix, prefix_len) != 0) continue;
            items[count++] = {std::string_view(key + prefix_len), records->values[i]};
        }
        std::stable_sort(items, items + count,
                         [](const Item& a, const Item& b) { return a.name < b.name; });
    }

    const JsonValue* find(const char* name) const {
        std::string_view wanted(name);
        const Item* begin = items;
        const Item* end = items + count;
        const Item* it = std::lower_bound(
            begin, end, wanted, [](const Item& item, std::string_view n) { return item.name < n; });
        return (it != end && it->name == wanted) ? it->record : nullptr;
    }
};


const char* sender_of(const SenderIndex& index, const char* name) {
    const JsonValue* record = index.find(name);
    const char* from = json_string(json_get(record, "from"));
    return (from && from[0]) ? from : THIS_MACHINE;
}

// The size and modification time of an entry, as printf's "%llu" and "%.6f" would write them
// (to_chars formats exactly like printf in the C locale, without the format parsing that
// dominates a long listing). The text has room for any double: 309 digits before the point.
void append_numbers(StrBuf* sb, const ListEntry& entry) {
    static constexpr std::string_view SIZE = ", \"size\": ";
    static constexpr std::string_view MTIME = ", \"mtime\": ";
    static constexpr std::string_view FROM = ", \"from\": ";
    char text[512];
    char* end = text + sizeof text;
    char* at = std::copy(SIZE.begin(), SIZE.end(), text);
    at = std::to_chars(at, end, static_cast<unsigned long long>(entry.size)).ptr;
    at = std::copy(MTIME.begin(), MTIME.end(), at);
    at = std::to_chars(at, end, entry.mtime, std::chars_format::fixed, 6).ptr;
    at = std::copy(FROM.begin(), FROM.end(), at);
    sb_append(sb, text, static_cast<uint64_t>(at - text));
}

void append_entry(StrBuf* sb, const ListEntry& entry, const char* prefix,
                  const SenderIndex& senders) {
    const char* mime = "";
    const char* kind = "dir";
    const char* from = "";
    if (!entry.is_dir) {
        mime = mime_for_name(entry.name);
        kind = file_kind(entry.name, mime);
        from = sender_of(senders, entry.name);
    }
    sb_append_str(sb, "{\"name\": ");
    json_append_string(sb, entry.name);
    append_numbers(sb, entry);
    json_append_string(sb, from);
    sb_append_str(sb, ", \"mime\": ");
    json_append_string(sb, mime);
    sb_append_str(sb, ", \"kind\": ");
    json_append_string(sb, kind);
    sb_append_str(sb, ", \"url\": ");
    if (entry.is_dir) {
        sb_append_str(sb, "\"\"}");
        return;
    }
    // Percent-encoding works byte by byte, so the prefix and the name encode separately.
    sb_append_str(sb, "\"/f/");
    url_encode(sb, prefix);
    url_encode(sb, entry.name);
    sb_append_str(sb, "\"}");
}

}  // namespace

void list_sort(ListEntry* entries, size_t count) {
    std::stable_sort(entries, entries + count, listed_before);
}

ListEntry* list_scan(const char* folder, size_t* count_out) {
    ScanResult scan{nullptr, 0, 0};
    fs_list_dir(folder, collect_entry, &scan);
    list_sort(scan.entries, scan.count);
    *count_out = scan.count;
    if (scan.count == 0) {
        free(scan.entries);
        return nullptr;
    }
    return scan.entries;
}

void list_free(ListEntry* entries, size_t count) {
    if (!entries) return;
    for (size_t i = 0; i < count; i++) free(entries[i].name);
    free(entries);
}

int list_folder_json(const Config* config, StrBuf* sb, const char* dir) {
    RelComponents parts;
    parts.count = rel_split(dir, &parts.items);
    if (parts.count < 0) return -1;

    char* folder_owned = nullptr;
    StrBufOwner prefix;
    if (parts.count > 0) {
        char* text = rel_join_text(parts.items, parts.count);
        if (!text) return -1;
        int ok = sb_append_str(prefix.get(), text) == 0 && sb_append_char(prefix.get(), '/') == 0;
        free(text);
        if (!ok) return -1;
        folder_owned = rel_join(config, parts.items, parts.count);
        if (!folder_owned) return -1;
        if (!fs_is_dir(folder_owned)) {
            free(folder_owned);
            return -1;
        }
    }
    const char* folder = folder_owned ? folder_owned : config->inbox_dir;

    // A listing after the inbox was deleted by hand brings it back.
    fs_mkdirs(config->inbox_dir);
    fs_mkdirs(config->state_dir);

    // files.json is replaced whole by a move, so reading it without the lock sees a whole
    // old or new document.
    char* records_path = meta_files_path(config);
    JsonOwner records(records_path ? state_peek_json(records_path, JSON_OBJECT) : nullptr);
    free(records_path);
    SenderIndex senders;
    senders.build(records.value, prefix.c_str());

    size_t count = 0;
    ListEntry* entries = list_scan(folder, &count);
    free(folder_owned);

    sb_append_char(sb, '[');
    for (size_t i = 0; i < count; i++) {
        if (i > 0) sb_append_str(sb, ", ");
        append_entry(sb, entries[i], prefix.c_str(), senders);
    }
    sb_append_char(sb, ']');
    list_free(entries, count);
    return 0;
}
