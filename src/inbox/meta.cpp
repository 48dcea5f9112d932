// Sender records in files.json, and the load/replace operations of both state files.
#include "inbox/meta.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <numeric>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/config.h"
#include "base/console.h"
#include "base/fs.h"
#include "base/strbuf.h"

std::mutex MetaLock;

// ---- State files -------------------------------------------------------------------------

namespace {

constexpr size_t READ_PIECE = 65536;

// A replacing move fails on Windows while another program holds the old file without delete
// sharing (a virus scanner, a backup tool): try again for about a second before giving up.
constexpr int MOVE_TRIES = 20;
constexpr auto MOVE_PAUSE = std::chrono::milliseconds(50);

// Two writers of one state file would share its temporary file; this keeps them apart. It is
// a leaf lock: nothing else is taken while it is held.
std::mutex state_write_lock;

}  // namespace

namespace {

// Appends the whole file to text: 0, or -1 when it cannot be opened or read (or memory runs
// out).
int read_whole(const char* path, StrBuf* text) {
    FsFileOwner file(fs_open_read(path));
    if (!file.get()) return -1;
    for (;;) {
        if (sb_reserve(text, READ_PIECE) != 0) return -1;
        int64_t got = fs_read(file.get(), text->data + text->len, READ_PIECE);
        if (got < 0) return -1;
        text->len += static_cast<uint64_t>(got);
        text->data[text->len] = 0;
        if (static_cast<size_t>(got) < READ_PIECE) return 0;
    }
}

// The parsed text (all of it, a NUL byte included) when it is a value of kind, else null.
JsonValue* parse_kind(const StrBuf* text, JsonKind kind) {
    JsonValue* value = json_parse(text->data, text->len);
    if (value && value->kind != kind) {
        json_free(value);
        return nullptr;
    }
    return value;
}

// path + ".bad-" + the current UTC time ("20260314-092653Z"), plus "-2", "-3", ... while that
// is taken. Empty when memory runs out or no free name is found.
std::string set_aside_name(const char* path) {
    using namespace std::chrono;
    auto now = floor<seconds>(system_clock::now());
    auto day = floor<days>(now);
    year_month_day date{day};
    hh_mm_ss<seconds> time{now - day};
    char stamp[64];
    snprintf(stamp, sizeof stamp, ".bad-%04d%02u%02u-%02d%02d%02dZ", int(date.year()),
             unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
             int(time.minutes().count()), int(time.seconds().count()));
    std::string base = std::string(path) + stamp;
    std::string name = base;
    for (int n = 2; fs_name_listed(name.c_str()); n++) {
        if (n > 1000) return std::string();
        name = base + "-" + std::to_string(n);
    }
    return name;
}

const char* last_component(const char* path) {
    const char* last = path;
    for (const char* p = path; *p; p++)
        if (fs_is_sep(*p)) last = p + 1;
    return last;
}

// Moves a state file that holds no valid document out of the way, so that nothing it may
// still hold is overwritten by the new one. 0 or -1 (then it stays where it is).
int set_aside(const char* path) {
    std::string aside = set_aside_name(path);
    if (aside.empty() || fs_move(path, aside.c_str()) != 0) return -1;
    StrBufOwner line;
    sb_appendf(line.get(), "  [!] %s 内容损坏，已改名为 %s 留底，重新开始记录",
               last_component(path), last_component(aside.c_str()));
    con_write_line(line.c_str());
    return 0;
}

// A new empty value of kind (an object or an array); null when memory runs out.
JsonValue* empty_value(JsonKind kind) {
    return kind == JSON_ARRAY ? json_parse("[]", 2) : json_parse("{}", 2);
}

}  // namespace

StateLoad state_load_json(const char* path, JsonKind kind, JsonValue** out) {
    *out = nullptr;
    StrBufOwner text;
    if (read_whole(path, text.get()) != 0) {
        // Listed although it cannot be opened: a folder of that name, a file held by another
        // program, a name whose deletion is pending. Only a name not listed is no store yet.
        if (fs_name_listed(path)) return STATE_UNREADABLE;
        *out = empty_value(kind);
        return *out ? STATE_LOADED : STATE_UNREADABLE;
    }
    *out = parse_kind(text.get(), kind);
    if (*out) return STATE_LOADED;
    if (set_aside(path) != 0) return STATE_UNREADABLE;
    *out = empty_value(kind);
    return *out ? STATE_SET_ASIDE : STATE_UNREADABLE;
}

JsonValue* state_peek_json(const char* path, JsonKind kind) {
    StrBufOwner text;
    return read_whole(path, text.get()) == 0 ? parse_kind(text.get(), kind) : nullptr;
}

int state_write_file(const char* path, const char* bytes, size_t length) {
    if (!path) return -1;
    StrBufOwner temp;
    if (sb_append_str(temp.get(), path) != 0 || sb_append_str(temp.get(), ".tmp") != 0) return -1;

    std::lock_guard<std::mutex> guard(state_write_lock);
    FsFile* file = fs_open_write(temp.c_str());
    if (!file) return -1;
    // A short write (disk full) or a failed close must never replace the good file.
    bool written = fs_write_all(file, bytes, length) == 0 && fs_sync(file) == 0;
    if (fs_close(file) != 0) written = false;
    if (written) {
        for (int attempt = 0; attempt < MOVE_TRIES; attempt++) {
            if (attempt > 0) std::this_thread::sleep_for(MOVE_PAUSE);
            if (fs_move(temp.c_str(), path) == 0) return 0;
        }
    }
    fs_delete_file(temp.c_str());
    return -1;
}

// ---- Sender records ----------------------------------------------------------------------

namespace {

// The current time in seconds since 1970, at the 100-nanosecond resolution of a file time.
double now_seconds() {
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
    auto ticks =
        std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch());
    return static_cast<double>(ticks.count()) / 10000000.0;
}

// {"from": device, "time": seconds with six decimals}; null when memory runs out.
JsonValue* new_record(const char* device, double time) {
    StrBufOwner text;
    sb_append_str(text.get(), "{\"from\": ");
    json_append_string(text.get(), device);
    if (sb_appendf(text.get(), ", \"time\": %.6f}", time) != 0) return nullptr;
    return json_parse(text->data, text->len);
}

void save_records(const char* path, const JsonValue* records) {
    StrBufOwner text;
    json_write(text.get(), records);
    if (text->data) state_write_file(path, text->data, text->len);
}

// Drops every member whose flag is set, keeping the order of the others, in one pass.
void remove_flagged(JsonValue* records, const std::vector<bool>& remove) {
    int32_t kept = 0;
    for (int32_t i = 0; i < records->member_count; i++) {
        if (remove[static_cast<size_t>(i)]) {
            free(records->keys[i]);
            json_free(records->values[i]);
        } else {
            records->keys[kept] = records->keys[i];
            records->values[kept] = records->values[i];
            kept++;
        }
    }
    records->member_count = kept;
}

// Removes members until at most limit are left, oldest "time" first (missing or not a
// number: 0), of equal times the earlier member first. That is what removing the single
// oldest member over and over gives, done with one selection instead of a scan per removal.
void prune_oldest(JsonValue* records, int32_t limit) {
    int32_t excess = records->member_count - limit;
    if (excess <= 0) return;
    size_t n = static_cast<size_t>(records->member_count);
    std::vector<double> times(n);
    for (size_t i = 0; i < n; i++) times[i] = json_get_number(records->values[i], "time");
    std::vector<int32_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    auto older = [&times](int32_t a, int32_t b) {
        double ta = times[static_cast<size_t>(a)];
        double tb = times[static_cast<size_t>(b)];
        return ta < tb || (ta == tb && a < b);
    };
    std::nth_element(order.begin(), order.begin() + excess, order.end(), older);
    std::vector<bool> remove(n, false);
    for (int32_t i = 0; i < excess; i++) remove[static_cast<size_t>(order[i])] = true;
    remove_flagged(records, remove);
}

// Where each key first occurs (later duplicates are never looked at, as with json_get).
// The views point into the tree's own key strings, which stay put while the arrays grow.
using KeyIndex = std::unordered_map<std::string_view, int32_t>;

KeyIndex index_keys(const JsonValue* records, size_t extra) {
    KeyIndex index;
    index.reserve(static_cast<size_t>(records->member_count) + extra);
    for (int32_t i = 0; i < records->member_count; i++) index.emplace(records->keys[i], i);
    return index;
}

int32_t find_key(const JsonValue* records, const char* key) {
    for (int32_t i = 0; i < records->member_count; i++)
        if (strcmp(records->keys[i], key) == 0) return i;
    return -1;
}

// Owns the path of files.json and the loaded records for one operation.
struct RecordsFile {
    char* path;
    JsonValue* records = nullptr;
    explicit RecordsFile(const Config* config) : path(meta_files_path(config)) {}
    RecordsFile(const RecordsFile&) = delete;
    RecordsFile& operator=(const RecordsFile&) = delete;
    ~RecordsFile() {
        json_free(records);
        free(path);
    }
    // true when the records are ready for a change (read, new, or started afresh after the
    // bad file was set aside); false when the file is there but cannot be read.
    bool load() { return path && state_load_json(path, JSON_OBJECT, &records) != STATE_UNREADABLE; }
    void save() const { save_records(path, records); }
};

}  // namespace

char* meta_files_path(const Config* config) {
    return fs_path_join(config->state_dir, "files.json");
}

int meta_record_upload(const Config* config, const char* const* paths, int count,
                       const char* device) {
    if (!paths || count <= 0) return 0;
    const char* from = device && *device ? device : META_UNKNOWN_DEVICE;
    std::lock_guard<std::mutex> guard(MetaLock);
    RecordsFile file(config);
    if (!file.load()) return -1;
    JsonValue* records = file.records;

    double now = now_seconds();
    KeyIndex index = index_keys(records, static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        if (!paths[i]) continue;
        JsonValue* record = new_record(from, now);
        if (!record) continue;
        auto found = index.find(paths[i]);
        if (found != index.end()) {
            json_free(records->values[found->second]);
            records->values[found->second] = record;
        } else if (json_object_push(records, paths[i], record) == 0) {
            int32_t last = records->member_count - 1;
            index.emplace(records->keys[last], last);
        } else {
            json_free(record);
        }
    }
    prune_oldest(records, META_MAX_RECORDS);
    file.save();
    return 0;
}

void meta_forget(const Config* config, const char* const* paths, int count) {
    if (!paths || count <= 0) return;
    std::lock_guard<std::mutex> guard(MetaLock);
    RecordsFile file(config);
    if (!file.load()) return;
    int removed = 0;
    for (int i = 0; i < count; i++) {
        if (!paths[i]) continue;
        int32_t at = find_key(file.records, paths[i]);
        if (at < 0) continue;
        json_object_remove(file.records, at);
        removed++;
    }
    if (removed > 0) file.save();
}

void meta_forget_tree(const Config* config, const char* rel) {
    if (!rel || !*rel) return;
    size_t len = strlen(rel);
    std::lock_guard<std::mutex> guard(MetaLock);
    RecordsFile file(config);
    if (!file.load()) return;
    JsonValue* records = file.records;
    std::vector<bool> remove(static_cast<size_t>(records->member_count), false);
    bool any = false;
    for (int32_t i = 0; i < records->member_count; i++) {
        const char* key = records->keys[i];
        if (strncmp(key, rel, len) == 0 && (key[len] == 0 || key[len] == '/')) {
            remove[static_cast<size_t>(i)] = true;
            any = true;
        }
    }
    if (!any) return;
    remove_flagged(records, remove);
    file.save();
}

void meta_clear(const Config* config) {
    std::lock_guard<std::mutex> guard(MetaLock);
    char* path = meta_files_path(config);
    if (path) state_write_file(path, "{}", 2);
    free(path);
}
