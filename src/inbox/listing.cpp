#include "inbox/listing.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "app/settings.h"
#include "base/fs.h"
#include "base/json.h"
#include "base/text.h"
#include "http/request.h"
#include "http/response.h"
#include "inbox/meta.h"
#include "inbox/paths.h"

namespace {

constexpr const char* OCTET_STREAM = "application/octet-stream";
constexpr const char* JSON_TYPE = "application/json; charset=utf-8";
constexpr const char* THIS_MACHINE = "本机";
constexpr size_t FIRST_ENTRY_CAPACITY = 16;

struct MimeRow {
    const char* ext;
    const char* type;
};

// Searched in this order; the first exact match wins.
constexpr MimeRow MIME_TABLE[] = {
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".jpe", "image/jpeg"},
    {".png", "image/png"},
    {".gif", "image/gif"},
    {".bmp", "image/bmp"},
    {".webp", "image/webp"},
    {".svg", "image/svg+xml"},
    {".ico", "image/vnd.microsoft.icon"},
    {".tif", "image/tiff"},
    {".tiff", "image/tiff"},
    {".heic", "image/heic"},
    {".heif", "image/heif"},
    {".mp4", "video/mp4"},
    {".m4v", "video/mp4"},
    {".mov", "video/quicktime"},
    {".avi", "video/x-msvideo"},
    {".mkv", "video/x-matroska"},
    {".webm", "video/webm"},
    {".wmv", "video/x-ms-wmv"},
    {".flv", "video/x-flv"},
    {".mp3", "audio/mpeg"},
    {".wav", "audio/x-wav"},
    {".m4a", "audio/mp4"},
    {".aac", "audio/aac"},
    {".flac", "audio/flac"},
    {".ogg", "audio/ogg"},
    {".oga", "audio/ogg"},
    {".wma", "audio/x-ms-wma"},
    {".opus", "audio/opus"},
    {".pdf", "application/pdf"},
    {".zip", "application/zip"},
    {".rar", "application/vnd.rar"},
    {".7z", "application/x-7z-compressed"},
    {".tar", "application/x-tar"},
    {".gz", "application/gzip"},
    {".bz2", "application/x-bzip2"},
    {".xz", "application/x-xz"},
    {".doc", "application/msword"},
    {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {".xls", "application/vnd.ms-excel"},
    {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {".ppt", "application/vnd.ms-powerpoint"},
    {".pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {".txt", "text/plain"},
    {".md", "text/markdown"},
    {".log", "text/plain"},
    {".csv", "text/csv"},
    {".json", "application/json"},
    {".xml", "text/xml"},
    {".html", "text/html"},
    {".htm", "text/html"},
    {".css", "text/css"},
    {".js", "text/javascript"},
    {".mjs", "text/javascript"},
    {".exe", "application/x-msdownload"},
    {".apk", "application/vnd.android.package-archive"},
};
static_assert(sizeof(MIME_TABLE) / sizeof(MIME_TABLE[0]) == 57);

struct KindRow {
    const char* ext;
    const char* kind;
};

// Kinds by extension for files whose MIME type is not image, video or audio. The office
// suite's own formats (.wps, .et, .dps) are listed by kind though the MIME table does not
// know them.
constexpr KindRow KIND_TABLE[] = {
    {".pdf", "pdf"},     {".zip", "archive"}, {".rar", "archive"}, {".7z", "archive"},
    {".tar", "archive"}, {".gz", "archive"},  {".doc", "doc"},     {".docx", "doc"},
    {".wps", "doc"},     {".xls", "sheet"},   {".xlsx", "sheet"},  {".et", "sheet"},
    {".csv", "sheet"},   {".ppt", "slide"},   {".pptx", "slide"},  {".dps", "slide"},
    {".txt", "text"},    {".md", "text"},     {".log", "text"},    {".json", "text"},
    {".xml", "text"},    {".html", "text"},   {".htm", "text"},
};

bool starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

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

struct ComponentsOwner {
    char** items = nullptr;
    int count = 0;
    ComponentsOwner() = default;
    ComponentsOwner(const ComponentsOwner&) = delete;
    ComponentsOwner& operator=(const ComponentsOwner&) = delete;
    ~ComponentsOwner() {
        if (items) rel_free(items, count);
    }
};

const char* sender_of(const SenderIndex& index, const char* name) {
    const JsonValue* record = index.find(name);
    const char* from = json_string(json_get(record, "from"));
    return (from && from[0]) ? from : THIS_MACHINE;
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
    sb_appendf(sb, ", \"size\": %llu, \"mtime\": %.6f, \"from\": ",
               static_cast<unsigned long long>(entry.size), entry.mtime);
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

// ---- usage cache (guarded by MetaLock) ----
int64_t UsageGeneration = 0;
int64_t UsageCachedGeneration = -1;  // -1: never counted, so the first read counts
double UsageCountedAt = 0;
bool UsageRefreshing = false;  // a recount of a merely aged cache is under way
uint64_t UsageFiles = 0;
uint64_t UsageBytes = 0;

double monotonic_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void copy_usage(uint64_t* count_out, uint64_t* bytes_out) {
    if (count_out) *count_out = UsageFiles;
    if (bytes_out) *bytes_out = UsageBytes;
}

}  // namespace

void mime_extension(const char* name, char ext[MIME_EXT_BYTES]) {
    ext[0] = 0;
    if (!name) return;
    const char* component = name;
    for (const char* p = name; *p; p++)
        if (*p == '/' || *p == '\\') component = p + 1;
    const char* dot = strrchr(component, '.');
    if (!dot) return;
    size_t n = 0;
    for (; dot[n] && n < MIME_EXT_BYTES - 1; n++) {
        char c = dot[n];
        ext[n] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    ext[n] = 0;
}

const char* mime_for_name(const char* name) {
    char ext[MIME_EXT_BYTES];
    mime_extension(name, ext);
    if (!ext[0]) return OCTET_STREAM;
    for (const MimeRow& row : MIME_TABLE)
        if (strcmp(row.ext, ext) == 0) return row.type;
    return OCTET_STREAM;
}

const char* file_kind(const char* name, const char* mime) {
    if (mime) {
        if (starts_with(mime, "image/")) return "image";
        if (starts_with(mime, "video/")) return "video";
        if (starts_with(mime, "audio/")) return "audio";
    }
    char ext[MIME_EXT_BYTES];
    mime_extension(name, ext);
    for (const KindRow& row : KIND_TABLE)
        if (strcmp(row.ext, ext) == 0) return row.kind;
    return "file";
}

char* rel_join_text(char* const* components, int count) {
    StrBufOwner text;
    for (int i = 0; i < count; i++) {
        if (i > 0 && sb_append_char(text.get(), '/') != 0) return nullptr;
        if (sb_append_str(text.get(), components[i]) != 0) return nullptr;
    }
    return sb_detach(text.get());
}

char* rel_normalize(const char* path) {
    ComponentsOwner parts;
    parts.count = rel_split(path, &parts.items);
    if (parts.count < 0) return nullptr;
    return rel_join_text(parts.items, parts.count);
}

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

int list_folder_json(StrBuf* sb, const char* dir) {
    ComponentsOwner parts;
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
        folder_owned = rel_join(parts.items, parts.count);
        if (!folder_owned) return -1;
        if (!fs_is_dir(folder_owned)) {
            free(folder_owned);
            return -1;
        }
    }
    const char* folder = folder_owned ? folder_owned : InboxDir;

    // A listing after the inbox was deleted by hand brings it back.
    fs_mkdirs(InboxDir);
    fs_mkdirs(StateDir);

    // files.json is replaced whole by a move, so reading it without the lock sees a whole
    // old or new document.
    char* records_path = meta_files_path();
    JsonOwner records(records_path ? state_load_json(records_path, JSON_OBJECT) : nullptr);
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

void usage_get(uint64_t* count_out, uint64_t* bytes_out) {
    usage_get_at(monotonic_seconds(), count_out, bytes_out);
}

void usage_get_at(double now_seconds, uint64_t* count_out, uint64_t* bytes_out) {
    int64_t generation;
    bool aged_only;
    {
        std::lock_guard<std::mutex> hold(MetaLock);
        generation = UsageGeneration;
        bool fresh =
            now_seconds - UsageCountedAt < USAGE_MAX_AGE_SECONDS && now_seconds >= UsageCountedAt;
        aged_only = generation == UsageCachedGeneration;
        // Nothing changed through the system: the cache stands while it is young, and while
        // another reader is already recounting an aged one.
        if (aged_only && (fresh || UsageRefreshing)) {
            copy_usage(count_out, bytes_out);
            return;
        }
        if (aged_only) UsageRefreshing = true;
    }

    // The walk runs without the lock; the generation check below keeps a walk that overlapped
    // a change from overwriting the cache with a stale count.
    TreeCount counted{};
    fs_count_tree(InboxDir, &counted);

    std::lock_guard<std::mutex> hold(MetaLock);
    if (aged_only) UsageRefreshing = false;
    if (UsageGeneration == generation) {
        UsageCachedGeneration = generation;
        UsageCountedAt = now_seconds;
        UsageFiles = counted.files;
        UsageBytes = counted.bytes;
    }
    copy_usage(count_out, bytes_out);
}

void usage_invalidate(void) {
    std::lock_guard<std::mutex> hold(MetaLock);
    UsageGeneration++;
}

void list_handle_files(SockHandle socket, const char* query) {
    char* dir = http_query_param(query, "dir");
    char* norm = rel_normalize(dir ? dir : "");
    StrBufOwner answer;
    sb_append_str(answer.get(), "{\"files\": ");
    if (!norm || list_folder_json(answer.get(), dir ? dir : "") != 0) {
        free(norm);
        free(dir);
        http_send_error(socket, "文件夹不存在", 404);
        return;
    }
    free(dir);
    sb_append_str(answer.get(), ", \"dir\": ");
    json_append_string(answer.get(), norm);
    free(norm);

    uint64_t files = 0, bytes = 0;
    usage_get(&files, &bytes);
    sb_appendf(answer.get(), ", \"usage\": {\"count\": %llu, \"size\": %llu, \"warn\": %s}}",
               static_cast<unsigned long long>(files), static_cast<unsigned long long>(bytes),
               bytes >= USAGE_WARN_BYTES ? "true" : "false");
    http_send_response(socket, 200, JSON_TYPE, answer->data, answer->len, nullptr, 0);
}
