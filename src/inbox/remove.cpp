#include "inbox/remove.h"

#include <cstdlib>
#include <cstring>

#include "base/config.h"
#include "base/fs.h"
#include "base/json.h"
#include "inbox/usage.h"
#include "inbox/meta.h"
#include "inbox/paths.h"

namespace {



// The disk path and record key of a client path that names something inside the inbox (not
// the inbox itself). 0 with both set (the caller frees them), -1 otherwise.
int resolve_entry(const Config* config, const char* rel, char** abs_out, char** key_out) {
    *abs_out = nullptr;
    *key_out = nullptr;
    char** parts = nullptr;
    int n = rel_split(rel, &parts);
    if (n <= 0) return -1;
    char* abs = rel_join(config, parts, n);
    char* key = rel_join_text(parts, n);
    rel_free(parts, n);
    if (!abs || !key) {
        free(abs);
        free(key);
        return -1;
    }
    *abs_out = abs;
    *key_out = key;
    return 0;
}

// Removes a link itself, never what it points to: a folder link goes with a folder removal,
// a file link with a file deletion. 1 when it went, else 0.
int remove_link(const char* path) {
    return (fs_remove_dir(path) == 0 || fs_delete_file(path) == 0) ? 1 : 0;
}

// Top-level entries of the inbox to clear, gathered before anything is deleted so the walk
// never runs over a folder that is changing under it.
struct ClearList {
    struct Item {
        char* name;
        int is_dir;
        int is_reparse;
    };
    Item* items = nullptr;
    size_t count = 0;
    size_t capacity = 0;

    ClearList() = default;
    ClearList(const ClearList&) = delete;
    ClearList& operator=(const ClearList&) = delete;
    ~ClearList() {
        for (size_t i = 0; i < count; i++) free(items[i].name);
        free(items);
    }
};

void collect_top_level(const char* name, const FileInfo*, int is_dir, int is_reparse,
                       void* context) {
    auto* list = static_cast<ClearList*>(context);
    // Dot names stay: the state folder holds the shared texts, which clearing leaves alone.
    if (name[0] == '.') return;
    if (list->count == list->capacity) {
        size_t capacity = list->capacity ? list->capacity * 2 : 16;
        void* grown = realloc(list->items, capacity * sizeof(ClearList::Item));
        if (!grown) return;
        list->items = static_cast<ClearList::Item*>(grown);
        list->capacity = capacity;
    }
    size_t size = strlen(name) + 1;
    char* copy = static_cast<char*>(malloc(size));
    if (!copy) return;
    memcpy(copy, name, size);
    list->items[list->count++] = {copy, is_dir, is_reparse};
}


}  // namespace

int inbox_delete(const Config* config, const char* rel, int* removed_out, int* is_folder_out) {
    *removed_out = 0;
    *is_folder_out = 0;
    char* abs = nullptr;
    char* key = nullptr;
    if (resolve_entry(config, rel, &abs, &key) != 0) return -1;

    int rc = 0;
    if (fs_is_reparse(abs)) {
        // Reported like a folder, also when it pointed to a file or could not be removed.
        *removed_out = remove_link(abs);
        *is_folder_out = 1;
        meta_forget_tree(config, key);
        usage_invalidate();
    } else if (fs_is_dir(abs)) {
        // Partial failure is no error: the count tells what went. The records of the whole
        // folder go, also those of files that stayed.
        *removed_out = fs_delete_tree(abs);
        *is_folder_out = 1;
        meta_forget_tree(config, key);
        usage_invalidate();
    } else if (fs_stat(abs, nullptr)) {
        if (fs_delete_file(abs) != 0) {
            rc = -2;
        } else {
            const char* keys[1] = {key};
            meta_forget(config, keys, 1);
            usage_invalidate();
        }
    } else {
        rc = -1;
    }
    free(abs);
    free(key);
    return rc;
}

int inbox_clear(const Config* config, int* removed_out) {
    fs_mkdirs(config->inbox_dir);
    fs_mkdirs(config->state_dir);

    ClearList entries;
    fs_list_dir(config->inbox_dir, collect_top_level, &entries);
    int removed = 0;
    for (size_t i = 0; i < entries.count; i++) {
        const ClearList::Item& entry = entries.items[i];
        char* child = path_join(config->inbox_dir, entry.name);
        if (!child) continue;
        if (entry.is_reparse)
            removed += remove_link(child);
        else if (entry.is_dir)
            removed += fs_delete_tree(child);
        else if (fs_delete_file(child) == 0)
            removed += 1;
        free(child);
    }
    meta_clear(config);
    usage_invalidate();
    *removed_out = removed;
    return 0;
}

int inbox_stat_json(const Config* config, StrBuf* sb, const char* rel) {
    char* abs = nullptr;
    char* key = nullptr;
    if (resolve_entry(config, rel, &abs, &key) != 0) return -1;
    free(key);

    int rc = 0;
    FileInfo info{};
    if (fs_stat(abs, &info)) {
        sb_appendf(sb, "{\"files\": 1, \"dirs\": 0, \"size\": %llu}",
                   static_cast<unsigned long long>(info.size));
    } else if (fs_is_dir(abs)) {
        TreeCount counts{};
        fs_count_tree(abs, &counts);
        sb_appendf(sb, "{\"files\": %llu, \"dirs\": %llu, \"size\": %llu}",
                   static_cast<unsigned long long>(counts.files),
                   static_cast<unsigned long long>(counts.dirs),
                   static_cast<unsigned long long>(counts.bytes));
    } else {
        rc = -1;
    }
    free(abs);
    return rc;
}
