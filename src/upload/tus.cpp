#include "upload/tus.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/fs.h"
#include "base/json.h"
#include "base/random.h"
#include "base/strbuf.h"
#include "base/text.h"
#include "base/thread.h"
#include "inbox/meta.h"
#include "inbox/paths.h"
#include "inbox/usage.h"
#include "upload/upload.h"

namespace {

constexpr const char* UPLOADS_FOLDER = "uploads";
constexpr const char* GROUPS_FILE = "groups.json";
constexpr const char* PART_SUFFIX = ".part";
constexpr const char* RECORD_SUFFIX = ".json";
// A device name keeps as many characters as an X-Device-Name header does.
constexpr size_t DEVICE_MAX_CHARS = 40;
// How often a request tries to take over an upload that others keep taking.
constexpr int TAKE_OVER_TRIES = 3;
// A group's progress is written to groups.json at most this often; a restart then keeps a
// group at most this much longer than a day.
constexpr int64_t GROUP_TOUCH_WRITE_SECONDS = 3600;
// Senders of a long drop are recorded in batches of this many files, before its line.
constexpr size_t SENDER_BATCH = 256;
constexpr int HOUSEKEEPING_PERIOD_MS = 1000;
constexpr size_t HOUSEKEEPING_STACK_BYTES = 64 * 1024;

// Who may write an upload's data. Every request that takes the upload gets a new generation;
// a write or a flush happens only under the lock and only for the current generation, so a
// request that a newer one superseded (its client gave up on it) can never write again, even
// when it wakes up much later.
struct WriteSlot {
    std::mutex lock;
    std::atomic<uint64_t> generation{0};
    std::atomic<uint64_t> written{0};  // bytes in the file as the current writer left them
    // Counts cuts below what the writer had written (a failed write whose piece could not be
    // cut off exactly): a flush that began before one must not record what it measured.
    std::atomic<uint64_t> cuts{0};
};

// One upload in memory; its record on disk holds the same fields.
struct Upload {
    uint64_t length = 0;
    uint64_t offset = 0;  // bytes in the data file (what a client is told)
    std::string file_name;
    std::string dir;     // the target folder, normalised relative path
    std::string device;
    std::string group;   // the client's group id; empty: a group of its own
    std::string metadata;
    uint32_t address = 0;
    uint64_t recorded = 0;  // the offset its record on disk holds
    int64_t touched = 0;    // last progress, seconds since 1970
    bool busy = false;      // a request writes it (or it is being placed)
    uint64_t owner = 0;     // the writing generation of whoever holds it busy
    TusStopHook hook{};
    bool finished = false;  // placed into the inbox; kept only to answer late questions
    int64_t flushed_ms = 0;  // steady clock: the last flush, or when writing began after one
    std::shared_ptr<WriteSlot> slot = std::make_shared<WriteSlot>();
};

// One group of uploads: a drop of files sharing top-level folder choices.
struct Group {
    std::string device;
    std::string dir;
    std::string group;
    std::vector<std::pair<std::string, std::string>> folders;  // sent name, used name
    int64_t touched = 0;
    int64_t written_touched = 0;  // touched as groups.json holds it
    int unfinished = 0;
    std::vector<std::string> placed;  // relative paths whose senders are not recorded yet
    int line_files = 0;               // files placed since the group's last console line
    int64_t line_due = 0;             // when the line is written; 0: none waiting
};

struct TusState {
    std::mutex lock;
    std::unordered_map<std::string, Upload> uploads;
    std::unordered_map<std::string, Group> groups;
    std::unordered_map<uint32_t, int> per_address;  // unfinished uploads per client address
    int unfinished = 0;
    int finished = 0;
};

TusState& state() {
    static TusState s;
    return s;
}

// Serialises placing files and writing groups.json. Lock order: an upload's write slot, then
// this, then the state's lock; none is taken while holding a later one.
std::mutex place_lock;

std::atomic<int64_t (*)(void)> clock_override{nullptr};

int64_t now_seconds() {
    int64_t (*clock)(void) = clock_override.load();
    if (clock) return clock();
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ---- Paths -------------------------------------------------------------------------------

std::string uploads_dir(const Config* config) {
    return std::string(config->state_dir) + FS_SEP + UPLOADS_FOLDER;
}

std::string part_path(const Config* config, const std::string& id) {
    return uploads_dir(config) + FS_SEP + id + PART_SUFFIX;
}

std::string record_path(const Config* config, const std::string& id) {
    return uploads_dir(config) + FS_SEP + id + RECORD_SUFFIX;
}

std::string groups_path(const Config* config) {
    return uploads_dir(config) + FS_SEP + GROUPS_FILE;
}

// The group an upload belongs to, scoped by device and target folder since the ids come from
// clients; "" for a file without a group (a group of its own, kept nowhere).
std::string group_key(const std::string& device, const std::string& dir,
                      const std::string& group) {
    if (group.empty()) return std::string();
    return std::to_string(device.size()) + ":" + device + std::to_string(dir.size()) + ":" + dir +
           group;
}

std::string upload_group_key(const Upload& upload) {
    return group_key(upload.device, upload.dir, upload.group);
}

// ---- Metadata ----------------------------------------------------------------------------

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decodes standard base64 (padding optional). False on any other byte, a misplaced '=', or a
// decoded zero byte (no text of ours may hold one).
bool base64_decode(const char* text, size_t len, std::string* out) {
    out->clear();
    while (len > 0 && text[len - 1] == '=') len--;
    if (len % 4 == 1) return false;
    uint32_t bits = 0;
    int have = 0;
    for (size_t i = 0; i < len; i++) {
        int value = base64_value(text[i]);
        if (value < 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        have += 6;
        if (have >= 8) {
            have -= 8;
            char byte = static_cast<char>((bits >> have) & 0xFF);
            if (byte == 0) return false;
            out->push_back(byte);
        }
    }
    return true;
}

// The keys of Upload-Metadata this server uses; others are ignored.
struct Metadata {
    std::string file_name, group, dir, device;
    bool has_file_name = false, has_group = false, has_dir = false, has_device = false;
};

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Parses "key base64, key base64, key" (a key alone has an empty value). False when a pair is
// malformed, a value is not base64 or a key of ours comes twice.
bool parse_metadata(const char* header, Metadata* out) {
    const char* p = header;
    while (*p) {
        const char* end = strchr(p, ',');
        if (!end) end = p + strlen(p);
        const char* a = p;
        const char* b = end;
        while (a < b && is_blank(*a)) a++;
        while (b > a && is_blank(b[-1])) b--;
        p = *end ? end + 1 : end;
        if (a == b) continue;
        const char* space = a;
        while (space < b && !is_blank(*space)) space++;
        std::string key(a, space);
        const char* value = space;
        while (value < b && is_blank(*value)) value++;
        std::string decoded;
        if (!base64_decode(value, size_t(b - value), &decoded)) return false;
        struct Slot {
            const char* key;
            std::string* value;
            bool* seen;
        } slots[] = {{"filename", &out->file_name, &out->has_file_name},
                     {"group", &out->group, &out->has_group},
                     {"dir", &out->dir, &out->has_dir},
                     {"device", &out->device, &out->has_device}};
        for (Slot& slot : slots) {
            if (key != slot.key) continue;
            if (*slot.seen) return false;
            *slot.seen = true;
            *slot.value = std::move(decoded);
        }
    }
    return true;
}

// A device name as X-Device-Name gives one: trimmed, at most DEVICE_MAX_CHARS characters.
std::string clean_device(const std::string& name) {
    TextOwner trimmed(utf8_trim(name.c_str()));
    TextOwner cut(trimmed ? utf8_truncate(trimmed.get(), DEVICE_MAX_CHARS) : nullptr);
    return cut ? std::string(cut.get()) : std::string();
}

// ---- Records -----------------------------------------------------------------------------

// The record of an upload whose file durably holds offset bytes.
std::string record_text(const std::string& id, const Upload& u, uint64_t offset) {
    StrBufOwner sb;
    sb_append_str(sb.get(), "{\"id\": ");
    json_append_string(sb.get(), id.c_str());
    sb_appendf(sb.get(), ", \"length\": %llu, \"offset\": %llu, \"touched\": %lld, \"address\": %u",
               static_cast<unsigned long long>(u.length),
               static_cast<unsigned long long>(offset), static_cast<long long>(u.touched),
               static_cast<unsigned>(u.address));
    const std::pair<const char*, const std::string*> texts[] = {
        {"filename", &u.file_name}, {"dir", &u.dir},           {"device", &u.device},
        {"group", &u.group},        {"metadata", &u.metadata}};
    for (const auto& [key, value] : texts) {
        sb_appendf(sb.get(), ", \"%s\": ", key);
        json_append_string(sb.get(), value->c_str());
    }
    sb_append_str(sb.get(), "}");
    return sb->failed ? std::string() : std::string(sb.c_str());
}

int write_record(const Config* config, const std::string& id, const std::string& text) {
    if (text.empty()) return -1;
    return state_write_file(record_path(config, id).c_str(), text.data(), text.size());
}

// Reads a record written by record_text; false when it is not a usable record of id.
bool read_record(const Config* config, const std::string& id, Upload* u) {
    // Only this server writes records, whole and by replacement: one that does not read is
    // no usable record, and nothing is moved aside.
    JsonOwner doc(state_peek_json(record_path(config, id).c_str(), JSON_OBJECT));
    if (!doc.value) return false;
    const char* stored_id = json_string(json_get(doc.value, "id"));
    const char* file_name = json_string(json_get(doc.value, "filename"));
    if (!stored_id || id != stored_id || !file_name || !*file_name) return false;
    double length = json_get_number(doc.value, "length");
    double offset = json_get_number(doc.value, "offset");
    if (!(length >= 0 && length <= double(TUS_MAX_SIZE) && offset >= 0 && offset <= length))
        return false;
    u->length = static_cast<uint64_t>(length);
    u->offset = static_cast<uint64_t>(offset);
    u->recorded = u->offset;
    u->touched = static_cast<int64_t>(json_get_number(doc.value, "touched"));
    u->address = static_cast<uint32_t>(json_get_number(doc.value, "address"));
    u->file_name = file_name;
    u->dir = json_string_or(json_get(doc.value, "dir"), "");
    u->device = json_string_or(json_get(doc.value, "device"), "");
    u->group = json_string_or(json_get(doc.value, "group"), "");
    u->metadata = json_string_or(json_get(doc.value, "metadata"), "");
    return true;
}

void remove_upload_files(const Config* config, const std::string& id) {
    fs_delete_file(part_path(config, id).c_str());
    fs_delete_file(record_path(config, id).c_str());
}

// ---- Groups ------------------------------------------------------------------------------

// groups.json: [{"device", "dir", "group", "touched", "folders": [[sent, used], ...]}, ...].
// Built under the state's lock.
std::string groups_text(TusState& s) {
    StrBufOwner sb;
    sb_append_str(sb.get(), "[");
    bool first = true;
    for (auto& [key, g] : s.groups) {
        if (g.folders.empty()) continue;  // nothing chosen: nothing to keep
        sb_append_str(sb.get(), first ? "\n{\"device\": " : ",\n{\"device\": ");
        first = false;
        json_append_string(sb.get(), g.device.c_str());
        sb_append_str(sb.get(), ", \"dir\": ");
        json_append_string(sb.get(), g.dir.c_str());
        sb_append_str(sb.get(), ", \"group\": ");
        json_append_string(sb.get(), g.group.c_str());
        sb_appendf(sb.get(), ", \"touched\": %lld, \"folders\": [", static_cast<long long>(g.touched));
        for (size_t i = 0; i < g.folders.size(); i++) {
            sb_append_str(sb.get(), i ? ", [" : "[");
            json_append_string(sb.get(), g.folders[i].first.c_str());
            sb_append_str(sb.get(), ", ");
            json_append_string(sb.get(), g.folders[i].second.c_str());
            sb_append_str(sb.get(), "]");
        }
        sb_append_str(sb.get(), "]}");
        g.written_touched = g.touched;
    }
    sb_append_str(sb.get(), "\n]");
    return sb->failed ? std::string() : std::string(sb.c_str());
}

// Rewrites groups.json from memory. Call with place_lock held (it orders the writers).
void save_groups(const Config* config) {
    TusState& s = state();
    std::string text;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        text = groups_text(s);
    }
    if (!text.empty()) state_write_file(groups_path(config).c_str(), text.data(), text.size());
}

// Loads groups.json into memory (start-up), keeping the groups that still have uploads or
// progress within a day. True when some were dropped (the file is then rewritten).
bool load_groups(const Config* config, TusState& s, int64_t now) {
    JsonValue* loaded = nullptr;
    state_load_json(groups_path(config).c_str(), JSON_ARRAY, &loaded);
    JsonOwner doc(loaded);
    if (!doc.value) return false;
    bool dropped = false;
    for (int32_t i = 0; i < doc.value->item_count; i++) {
        const JsonValue* item = doc.value->items[i];
        const char* device = json_string(json_get(item, "device"));
        const char* dir = json_string(json_get(item, "dir"));
        const char* group = json_string(json_get(item, "group"));
        const JsonValue* folders = json_get(item, "folders");
        if (!device || !dir || !group || !*group || !folders || folders->kind != JSON_ARRAY) {
            dropped = true;
            continue;
        }
        std::string key = group_key(device, dir, group);
        auto found = s.groups.find(key);
        int64_t touched = static_cast<int64_t>(json_get_number(item, "touched"));
        if (found == s.groups.end() && touched + TUS_EXPIRY_SECONDS <= now) {
            dropped = true;
            continue;
        }
        Group& g = s.groups[key];
        g.device = device;
        g.dir = dir;
        g.group = group;
        if (touched > g.touched) g.touched = touched;
        g.written_touched = touched;
        for (int32_t j = 0; j < folders->item_count; j++) {
            const JsonValue* pair = folders->items[j];
            const char* sent = pair->kind == JSON_ARRAY && pair->item_count == 2
                                   ? json_string(pair->items[0])
                                   : nullptr;
            const char* used = sent ? json_string(pair->items[1]) : nullptr;
            if (sent && used) g.folders.emplace_back(sent, used);
        }
    }
    return dropped;
}

// The group of an upload, made when missing. Under the state's lock.
Group* group_of(TusState& s, const Upload& u) {
    std::string key = upload_group_key(u);
    if (key.empty()) return nullptr;
    Group& g = s.groups[key];
    if (g.group.empty()) {
        g.device = u.device;
        g.dir = u.dir;
        g.group = u.group;
    }
    return &g;
}

// ---- Counting ----------------------------------------------------------------------------

// Counts an unfinished upload in its caps and its group. Under the state's lock.
void count_unfinished(TusState& s, const Upload& u, int64_t now) {
    s.unfinished++;
    s.per_address[u.address]++;
    if (Group* g = group_of(s, u)) {
        g->unfinished++;
        g->line_due = 0;  // more of the drop is coming: its line waits for the rest
        if (now > g->touched) g->touched = now;
    }
}

// Takes an upload that ends (finished, expired, terminated) out of the counts; a group left
// without running uploads gets its line soon. Under the state's lock.
void uncount_unfinished(TusState& s, const Upload& u, int64_t now) {
    s.unfinished--;
    auto slot = s.per_address.find(u.address);
    if (slot != s.per_address.end() && --slot->second <= 0) s.per_address.erase(slot);
    auto found = s.groups.find(upload_group_key(u));
    if (found == s.groups.end()) return;
    Group& g = found->second;
    g.unfinished--;
    if (g.unfinished <= 0 && g.line_files > 0) g.line_due = now + TUS_GROUP_SETTLE_SECONDS;
}

// Forgets the oldest finished uploads beyond TUS_MAX_FINISHED. Under the state's lock.
void prune_finished(TusState& s) {
    while (s.finished > TUS_MAX_FINISHED) {
        auto oldest = s.uploads.end();
        for (auto it = s.uploads.begin(); it != s.uploads.end(); ++it)
            if (it->second.finished &&
                (oldest == s.uploads.end() || it->second.touched < oldest->second.touched))
                oldest = it;
        if (oldest == s.uploads.end()) return;
        s.uploads.erase(oldest);
        s.finished--;
    }
}

void fill_info(const std::string& id, const Upload& u, TusInfo* out) {
    if (!out) return;
    memset(out, 0, sizeof *out);
    snprintf(out->id, sizeof out->id, "%s", id.c_str());
    out->offset = u.offset;
    out->length = u.length;
    out->expires = u.touched + TUS_EXPIRY_SECONDS;
    out->finished = u.finished ? 1 : 0;
}

// ---- Console lines and senders -----------------------------------------------------------

struct SenderBatch {
    std::string device;
    std::vector<std::string> paths;
    int line_files = 0;  // > 0: write the console line for this many files
};

void record_batch(const Config* config, const SenderBatch& batch) {
    bool recorded = true;
    if (!batch.paths.empty()) {
        std::vector<const char*> paths;
        for (const std::string& p : batch.paths) paths.push_back(p.c_str());
        recorded = meta_record_upload(config, paths.data(), static_cast<int>(paths.size()),
                                      batch.device.c_str()) == 0;
    }
    usage_invalidate();
    if (batch.line_files > 0 || !recorded)
        upload_console_line(config, batch.line_files, recorded);
}

// ---- Placing -----------------------------------------------------------------------------

// Moves a complete upload's data into the inbox under the rules of a multipart upload, with
// the group's folder choices. The upload is busy (held by the caller). True when placed;
// *rel_out then holds its relative path.
bool place_file(const Config* config, const std::string& id, const Upload& u,
                std::string* rel_out) {
    TusState& s = state();
    std::lock_guard<std::mutex> placing(place_lock);
    UploadTarget target;
    if (upload_target_open(config, u.dir.c_str(), UPLOAD_DIR_RECREATE, &target) != 0) {
        upload_target_free(&target);
        return false;
    }
    std::string key = upload_group_key(u);
    {
        std::lock_guard<std::mutex> guard(s.lock);
        auto found = s.groups.find(key);
        if (found != s.groups.end())
            for (const auto& [sent, used] : found->second.folders)
                upload_target_map_folder(&target, sent.c_str(), used.c_str());
    }
    int32_t known = target.map_count;
    FsFile* unused = nullptr;
    TextOwner path(upload_target_place(&target, u.file_name.c_str(),
                                       part_path(config, id).c_str(), &unused));
    TextOwner rel(path ? rel_from_abs(config, path.get()) : nullptr);
    bool save = false;
    if (rel) {
        std::lock_guard<std::mutex> guard(s.lock);
        auto found = s.groups.find(key);
        if (found != s.groups.end()) {
            Group& g = found->second;
            for (int32_t i = known; i < target.map_count; i++) {
                g.folders.emplace_back(target.sent_names[i], target.used_names[i]);
                save = true;
            }
            g.touched = now_seconds();
            if (g.touched - g.written_touched >= GROUP_TOUCH_WRITE_SECONDS && !g.folders.empty())
                save = true;
        }
    }
    upload_target_free(&target);
    // The choice is kept before any later file of the group could need it.
    if (save) save_groups(config);
    if (!rel) return false;
    *rel_out = rel.get();
    return true;
}

// Places a complete upload held busy by the caller and settles its bookkeeping: on success
// it becomes a finished upload (its record goes) and its group counts the file; on failure it
// stays complete and unplaced, for the next question to try again. Releases the upload.
bool finish_upload(const Config* config, const std::string& id) {
    TusState& s = state();
    Upload copy;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        copy = s.uploads[id];
    }
    std::string rel;
    bool placed = place_file(config, id, copy, &rel);
    if (placed) fs_delete_file(record_path(config, id).c_str());
    SenderBatch batch;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        Upload& u = s.uploads[id];
        u.busy = false;
        u.hook = TusStopHook{};
        if (placed) {
            int64_t now = now_seconds();
            u.finished = true;
            u.touched = now;
            u.metadata.clear();
            s.finished++;
            auto found = s.groups.find(upload_group_key(u));
            if (found == s.groups.end()) {
                batch.device = u.device;
                batch.paths.push_back(rel);
                batch.line_files = 1;
            } else {
                Group& g = found->second;
                g.placed.push_back(rel);
                g.line_files++;
                if (g.placed.size() >= SENDER_BATCH) {
                    batch.device = g.device;
                    batch.paths.swap(g.placed);
                }
            }
            uncount_unfinished(s, u, now);
            prune_finished(s);
        }
    }
    if (placed)
        record_batch(config, batch);
    else
        usage_invalidate();  // the target folder may have been made again all the same
    return placed;
}

// ---- Start-up ----------------------------------------------------------------------------

struct NameList {
    std::vector<std::string> names;
};

void collect_name(const char* name, const FileInfo*, int is_dir, int is_reparse, void* context) {
    if (!is_dir && !is_reparse) static_cast<NameList*>(context)->names.emplace_back(name);
}

bool ends_with(const std::string& text, const char* suffix) {
    size_t n = strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// Brings one recorded upload's data in line with its record. False when the upload is to
// be dropped (its data is missing or cannot be opened).
bool reconcile_data(const Config* config, const std::string& id, Upload* u) {
    FsFileOwner file(fs_open_existing(part_path(config, id).c_str()));
    uint64_t size = 0;
    if (!file.get() || fs_file_size(file.get(), &size) != 0) return false;
    if (size > u->offset) {
        // Bytes past the record may never have reached the disk whole: they are sent again.
        return fs_set_size(file.get(), u->offset) == 0 && fs_sync(file.get()) == 0;
    }
    if (size < u->offset) {
        u->offset = u->recorded = size;
        return write_record(config, id, record_text(id, *u, u->offset)) == 0;
    }
    return true;
}

}  // namespace

int tus_id_valid(const char* id) {
    if (!id || strlen(id) != size_t(TUS_ID_CHARS)) return 0;
    for (const char* p = id; *p; p++)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return 0;
    return 1;
}

void tus_set_clock(int64_t (*now)(void)) {
    clock_override.store(now);
}

void tus_start(const Config* config) {
    TusState& s = state();
    int64_t now = now_seconds();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.uploads.clear();
        s.groups.clear();
        s.per_address.clear();
        s.unfinished = 0;
        s.finished = 0;
    }
    // The folder is made by the first upload; an inbox that never had one stays untouched.
    std::string dir = uploads_dir(config);
    NameList list;
    fs_list_dir(dir.c_str(), collect_name, &list);
    std::unordered_map<std::string, Upload> loaded;
    for (const std::string& name : list.names) {
        if (!ends_with(name, RECORD_SUFFIX) || name == GROUPS_FILE) continue;
        std::string id = name.substr(0, name.size() - strlen(RECORD_SUFFIX));
        if (!tus_id_valid(id.c_str())) continue;
        Upload u;
        if (!read_record(config, id, &u) || u.touched + TUS_EXPIRY_SECONDS <= now ||
            !reconcile_data(config, id, &u)) {
            remove_upload_files(config, id);
            continue;
        }
        loaded.emplace(id, std::move(u));
    }
    // Data without a record, records that were dropped, temporary files of cut writes.
    for (const std::string& name : list.names) {
        bool kept = name == GROUPS_FILE || loaded.count(name.substr(0, name.find('.'))) > 0;
        if (kept && !ends_with(name, ".tmp")) continue;
        fs_delete_file((dir + FS_SEP + name).c_str());
    }
    std::vector<std::string> complete;
    bool dropped_groups;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        for (auto& [id, u] : loaded) {
            if (u.offset == u.length) complete.push_back(id);
            Upload& kept = s.uploads[id] = std::move(u);
            count_unfinished(s, kept, kept.touched);
        }
        dropped_groups = load_groups(config, s, now);
    }
    if (dropped_groups) {
        std::lock_guard<std::mutex> placing(place_lock);
        save_groups(config);
    }
    // Complete uploads whose placing was cut short by the stop.
    for (const std::string& id : complete) {
        {
            std::lock_guard<std::mutex> guard(s.lock);
            s.uploads[id].busy = true;
        }
        finish_upload(config, id);
    }
}

namespace {

void housekeeping_thread(void* arg) {
    const auto* config = static_cast<const Config*>(arg);
    for (;;) {
        thread_sleep_ms(HOUSEKEEPING_PERIOD_MS);
        tus_tick(config);
    }
}

}  // namespace

void tus_start_housekeeping(const Config* config) {
    // Without the thread uploads still work; they expire at the next start instead.
    thread_start_detached(housekeeping_thread, const_cast<Config*>(config),
                          HOUSEKEEPING_STACK_BYTES);
}

namespace {

// Makes the bytes an upload's writer left in its file durable, then records them. The flush
// goes through a handle of its own, without holding the writer: a request never waits for
// the disk, so a phone's next piece follows the last at once. The flush comes first, so a
// record never counts bytes that are not on the disk; a power cut costs at most the bytes of
// the last second or so, which the client sends again.
void flush_one(const Config* config, const std::string& id,
               const std::shared_ptr<WriteSlot>& slot) {
    uint64_t cuts = slot->cuts.load();
    uint64_t target = slot->written.load();
    FsFile* file = fs_open_existing(part_path(config, id).c_str());
    if (!file) return;
    bool flushed = fs_sync(file) == 0;
    fs_close(file);
    if (!flushed) return;
    // Under the slot's lock no writer cuts the file and nobody places or removes the upload
    // (they take the upload over, or hold the slot, first), so the record cannot come back
    // after its upload is gone.
    std::lock_guard<std::mutex> held(slot->lock);
    if (slot->cuts.load() != cuts) return;
    TusState& s = state();
    std::string text;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        auto found = s.uploads.find(id);
        if (found == s.uploads.end() || found->second.finished || found->second.slot != slot)
            return;
        Upload& u = found->second;
        if (target <= u.recorded) return;
        text = record_text(id, u, target);
    }
    if (write_record(config, id, text) != 0) return;
    std::lock_guard<std::mutex> guard(s.lock);
    auto found = s.uploads.find(id);
    if (found == s.uploads.end()) return;
    if (found->second.recorded < target) found->second.recorded = target;
    found->second.flushed_ms = clock_monotonic_ms();
}

}  // namespace

void tus_flush_progress(const Config* config, int64_t busy_every_ms) {
    TusState& s = state();
    std::vector<std::pair<std::string, std::shared_ptr<WriteSlot>>> due;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        int64_t now = clock_monotonic_ms();
        for (auto& [id, u] : s.uploads) {
            if (u.finished || u.slot->written.load() <= u.recorded) continue;
            if (u.busy && now - u.flushed_ms < busy_every_ms) continue;
            due.emplace_back(id, u.slot);
        }
    }
    for (const auto& [id, slot] : due) flush_one(config, id, slot);
}

void tus_tick(const Config* config) {
    tus_flush_progress(config, TUS_BUSY_FLUSH_MS);
    TusState& s = state();
    int64_t now = now_seconds();
    std::vector<std::string> expired;
    std::vector<SenderBatch> batches;
    bool groups_changed = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        for (auto it = s.uploads.begin(); it != s.uploads.end();) {
            Upload& u = it->second;
            if (u.busy || u.touched + TUS_EXPIRY_SECONDS > now) {
                ++it;
                continue;
            }
            if (u.finished) {
                s.finished--;
            } else {
                expired.push_back(it->first);
                uncount_unfinished(s, u, now);
            }
            it = s.uploads.erase(it);
        }
        for (auto it = s.groups.begin(); it != s.groups.end();) {
            Group& g = it->second;
            if (g.line_due != 0 && g.line_due <= now) {
                SenderBatch batch;
                batch.device = g.device;
                batch.paths.swap(g.placed);
                batch.line_files = g.line_files;
                g.line_files = 0;
                g.line_due = 0;
                batches.push_back(std::move(batch));
            }
            if (g.unfinished <= 0 && g.line_files == 0 && g.placed.empty() &&
                g.touched + TUS_EXPIRY_SECONDS <= now) {
                if (!g.folders.empty()) groups_changed = true;
                it = s.groups.erase(it);
                continue;
            }
            ++it;
        }
    }
    for (const std::string& id : expired) remove_upload_files(config, id);
    if (groups_changed) {
        std::lock_guard<std::mutex> placing(place_lock);
        save_groups(config);
    }
    for (const SenderBatch& batch : batches) record_batch(config, batch);
}

int tus_create(const Config* config, const TusCreate* request, TusInfo* out) {
    if (request->length < 0) return TUS_BAD_REQUEST;
    if (uint64_t(request->length) > TUS_MAX_SIZE) return TUS_TOO_LARGE;
    if (!request->metadata || strlen(request->metadata) > TUS_METADATA_MAX_BYTES)
        return TUS_BAD_REQUEST;
    Metadata meta;
    if (!parse_metadata(request->metadata, &meta) || meta.file_name.empty() ||
        meta.group.size() > TUS_GROUP_MAX_BYTES)
        return TUS_BAD_REQUEST;
    TextOwner dir(rel_normalize(meta.dir.c_str()));
    if (!dir) return TUS_NO_FOLDER;
    {
        UploadTarget target;
        int opened = upload_target_open(config, dir.get(), UPLOAD_DIR_EXISTING, &target);
        bool accepted = opened == 0 && upload_target_accepts(&target, meta.file_name.c_str());
        upload_target_free(&target);
        if (opened != 0) return TUS_NO_FOLDER;
        if (!accepted) return TUS_BAD_REQUEST;
    }
    uint64_t free_bytes = 0;
    if (fs_free_space(config->state_dir, &free_bytes) == 0 &&
        free_bytes < uint64_t(request->length))
        return TUS_NO_SPACE;

    unsigned char random[TUS_ID_BYTES];
    if (random_bytes(random, sizeof random) != 0) return TUS_FAILED;
    char id_text[TUS_ID_CHARS + 1];
    for (int i = 0; i < TUS_ID_BYTES; i++) snprintf(id_text + 2 * i, 3, "%02x", random[i]);
    std::string id(id_text);

    Upload u;
    u.length = uint64_t(request->length);
    u.file_name = meta.file_name;
    u.dir = dir.get();
    u.device = clean_device(meta.has_device ? meta.device
                                            : std::string(request->device ? request->device : ""));
    u.group = meta.group;
    u.metadata = request->metadata;
    u.address = request->address;
    u.touched = now_seconds();
    u.busy = true;  // until its files exist
    TusState& s = state();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        auto slot = s.per_address.find(u.address);
        int from_address = slot == s.per_address.end() ? 0 : slot->second;
        if (s.unfinished >= TUS_MAX_UPLOADS || from_address >= TUS_MAX_UPLOADS_PER_ADDRESS)
            return TUS_TOO_MANY;
        if (s.uploads.count(id)) return TUS_FAILED;
        Upload& kept = s.uploads[id] = u;
        count_unfinished(s, kept, u.touched);
    }
    fs_mkdirs(uploads_dir(config).c_str());
    FsFile* part = nullptr;
    bool made = fs_open_new(part_path(config, id).c_str(), &part) == 0;
    if (made && fs_close(part) != 0) made = false;
    if (made) made = write_record(config, id, record_text(id, u, u.offset)) == 0;
    if (!made) {
        remove_upload_files(config, id);
        std::lock_guard<std::mutex> guard(s.lock);
        uncount_unfinished(s, s.uploads[id], u.touched);
        s.uploads.erase(id);
        return TUS_FAILED;
    }
    if (u.length == 0) {
        // An empty file is complete at once.
        if (!finish_upload(config, id)) return TUS_FAILED;
    } else {
        std::lock_guard<std::mutex> guard(s.lock);
        s.uploads[id].busy = false;
    }
    std::lock_guard<std::mutex> guard(s.lock);
    auto found = s.uploads.find(id);
    if (found == s.uploads.end()) return TUS_FAILED;
    fill_info(id, found->second, out);
    return TUS_OK;
}

namespace {

// Frees the upload id from a request that still holds it, so that a newer one can go on at
// once: the old request's connection is shut (where the system lets that wake its reading)
// and, whether or not it wakes, it is superseded: its later writes are refused, and the bytes
// it wrote stay in the file and counted. Waits only for a write or flush in progress. Called
// without the state's lock.
void take_over(const std::string& id) {
    TusState& s = state();
    std::shared_ptr<WriteSlot> slot;
    uint64_t owner;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        auto found = s.uploads.find(id);
        if (found == s.uploads.end() || !found->second.busy) return;
        Upload& u = found->second;
        if (u.hook.stop) u.hook.stop(u.hook.arg);
        slot = u.slot;
        owner = u.owner;
    }
    uint64_t written;
    {
        std::lock_guard<std::mutex> held(slot->lock);
        // It ended meanwhile, or a newer request began: nothing to supersede.
        if (slot->generation.load() != owner) return;
        slot->generation++;
        written = slot->written.load();
    }
    std::lock_guard<std::mutex> guard(s.lock);
    auto found = s.uploads.find(id);
    if (found == s.uploads.end()) return;
    Upload& u = found->second;
    if (!u.busy || u.owner != owner) return;
    u.busy = false;
    u.hook = TusStopHook{};
    // Written but not flushed yet: in the file, and flushed by the next request's end.
    if (!u.finished) u.offset = written;
}

// Marks a free upload busy for a new owner under the state's lock; its generation.
uint64_t hold(Upload& u, TusStopHook hook) {
    if (u.slot->written.load() <= u.recorded) u.flushed_ms = clock_monotonic_ms();
    u.busy = true;
    u.hook = hook;
    u.owner = ++u.slot->generation;
    u.slot->written.store(u.offset);
    return u.owner;
}

// Places a complete upload that the caller marked busy with generation owner, unless a newer
// request superseded it meanwhile. True when placed.
bool finish_held(const Config* config, const std::string& id,
                 const std::shared_ptr<WriteSlot>& slot, uint64_t owner) {
    std::lock_guard<std::mutex> held(slot->lock);
    if (slot->generation.load() != owner) return false;
    return finish_upload(config, id);
}

}  // namespace

int tus_info(const Config* config, const char* id_text, TusInfo* out, char** metadata_out) {
    if (metadata_out) *metadata_out = nullptr;
    if (!tus_id_valid(id_text)) return TUS_NOT_FOUND;
    std::string id(id_text);
    TusState& s = state();
    std::shared_ptr<WriteSlot> slot;
    uint64_t owner = 0;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        auto found = s.uploads.find(id);
        if (found == s.uploads.end()) return TUS_NOT_FOUND;
        Upload& u = found->second;
        if (!u.finished && !u.busy && u.offset == u.length) {
            // Complete but not placed (its placing failed): try again now.
            slot = u.slot;
            owner = hold(u, TusStopHook{});
        }
    }
    if (slot && !finish_held(config, id, slot, owner)) return TUS_FAILED;
    std::lock_guard<std::mutex> guard(s.lock);
    auto found = s.uploads.find(id);
    if (found == s.uploads.end()) return TUS_NOT_FOUND;
    fill_info(id, found->second, out);
    if (metadata_out && !found->second.metadata.empty())
        *metadata_out = text_copy(found->second.metadata.c_str());
    return TUS_OK;
}

namespace {

// Removes an unfinished upload and its data, taking it from a request that still holds it.
// TUS_OK, TUS_NOT_FOUND (also for a finished one), or TUS_BUSY when others keep taking it.
int remove_upload(const Config* config, const std::string& id) {
    TusState& s = state();
    for (int attempt = 0; attempt < TAKE_OVER_TRIES; attempt++) {
        {
            std::lock_guard<std::mutex> guard(s.lock);
            auto found = s.uploads.find(id);
            if (found == s.uploads.end() || found->second.finished) return TUS_NOT_FOUND;
            if (!found->second.busy) {
                uncount_unfinished(s, found->second, now_seconds());
                s.uploads.erase(found);
                break;
            }
        }
        take_over(id);
        if (attempt == TAKE_OVER_TRIES - 1) return TUS_BUSY;
    }
    remove_upload_files(config, id);
    return TUS_OK;
}

}  // namespace

int tus_terminate(const Config* config, const char* id_text) {
    if (!tus_id_valid(id_text)) return TUS_NOT_FOUND;
    return remove_upload(config, id_text);
}

void tus_drop_all(const Config* config) {
    TusState& s = state();
    std::vector<std::string> ids;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        for (auto it = s.uploads.begin(); it != s.uploads.end();) {
            if (it->second.finished) {
                it = s.uploads.erase(it);
                s.finished--;
            } else {
                ids.push_back(it->first);
                ++it;
            }
        }
    }
    for (const std::string& id : ids) remove_upload(config, id);
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.groups.clear();
    }
    std::lock_guard<std::mutex> placing(place_lock);
    save_groups(config);
}

// ---- Writing -----------------------------------------------------------------------------

struct TusWriter {
    const Config* config;
    std::string id;
    FsFile* file;
    uint64_t length;
    uint64_t written;   // bytes in the file
    bool failed;        // a write failed: nothing more is taken
    std::shared_ptr<WriteSlot> slot;
    uint64_t generation;  // this request's; it may write only while the slot's is the same
};

int tus_patch_begin(const Config* config, const char* id_text, uint64_t offset,
                    int64_t body_length, TusStopHook hook, TusWriter** out, TusInfo* out_info) {
    *out = nullptr;
    if (!tus_id_valid(id_text)) return TUS_NOT_FOUND;
    std::string id(id_text);
    TusState& s = state();
    TusWriter writer{config, id, nullptr, 0, offset, false, nullptr, 0};
    for (int attempt = 0;; attempt++) {
        {
            std::lock_guard<std::mutex> guard(s.lock);
            auto found = s.uploads.find(id);
            if (found == s.uploads.end()) return TUS_NOT_FOUND;
            Upload& u = found->second;
            if (!u.busy) {
                fill_info(id, u, out_info);
                if (offset != u.offset) return TUS_CONFLICT;
                if (body_length < 0 || uint64_t(body_length) > u.length - u.offset)
                    return TUS_BAD_REQUEST;
                if (u.finished) return TUS_OK;  // nothing to write: the answer tells the offset
                writer.length = u.length;
                writer.slot = u.slot;
                writer.generation = hold(u, hook);
                break;
            }
        }
        // A request that is still running (its client gave up on it and came back through
        // another connection) is superseded, so that the new one goes on at once.
        if (attempt == TAKE_OVER_TRIES) return TUS_BUSY;
        take_over(id);
    }
    writer.file = fs_open_existing(part_path(config, id).c_str());
    if (!writer.file || fs_seek(writer.file, offset) != 0) {
        fs_close(writer.file);
        std::lock_guard<std::mutex> guard(s.lock);
        auto found = s.uploads.find(id);
        if (found != s.uploads.end() && found->second.owner == writer.generation) {
            found->second.busy = false;
            found->second.hook = TusStopHook{};
        }
        return TUS_FAILED;
    }
    *out = new TusWriter(std::move(writer));
    return TUS_OK;
}

namespace {

bool superseded(const TusWriter* w) {
    return w->slot->generation.load() != w->generation;
}

// The offset the upload's record holds: the floor a file may be cut back to.
uint64_t recorded_offset(const std::string& id) {
    TusState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    auto found = s.uploads.find(id);
    return found == s.uploads.end() ? 0 : found->second.recorded;
}

}  // namespace

int tus_patch_write(TusWriter* w, const void* bytes, size_t n) {
    std::lock_guard<std::mutex> held(w->slot->lock);
    if (superseded(w)) return TUS_CONFLICT;
    if (w->failed) return TUS_NO_SPACE;
    if (n > w->length - w->written) n = size_t(w->length - w->written);
    if (fs_write_all(w->file, bytes, n) != 0) {
        // A piece written in part is cut off, so the file holds exactly what is counted.
        if (fs_set_size(w->file, w->written) != 0 || fs_seek(w->file, w->written) != 0) {
            w->slot->cuts++;
            w->written = recorded_offset(w->id);
            fs_set_size(w->file, w->written);
        }
        w->slot->written.store(w->written);
        w->failed = true;
        return TUS_NO_SPACE;
    }
    w->written += n;
    w->slot->written.store(w->written);
    return TUS_OK;
}

// A request ends without waiting for the disk: what it wrote is counted at once (a client
// asking is told the bytes in the file) and recorded by the housekeeping's flush within about
// a second (tus_tick). A request cut off half-way ends here too, so what it delivered is kept
// and counted.
int tus_patch_end(TusWriter* w, TusInfo* out) {
    std::unique_ptr<TusWriter> owned(w);
    memset(out, 0, sizeof *out);
    TusState& s = state();
    std::lock_guard<std::mutex> held(w->slot->lock);
    int result = TUS_OK;
    if (superseded(w)) {
        // A newer request holds the upload and goes on from what this one wrote.
        fs_close(w->file);
        result = TUS_CONFLICT;
    } else {
        bool complete = w->written == w->length;
        if (fs_close(w->file) != 0 && complete) complete = false;
        {
            std::lock_guard<std::mutex> guard(s.lock);
            Upload& u = s.uploads[w->id];
            if (u.offset != w->written) u.touched = now_seconds();
            u.offset = w->written;
            // Placing a complete file is not to be stopped by a newer request.
            u.hook = TusStopHook{};
            if (!complete) u.busy = false;
        }
        if (complete && !finish_upload(w->config, w->id)) result = TUS_FAILED;
    }
    std::lock_guard<std::mutex> guard(s.lock);
    auto found = s.uploads.find(w->id);
    if (found != s.uploads.end()) fill_info(w->id, found->second, out);
    return result;
}
