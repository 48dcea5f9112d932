#include "inbox/remove.h"

#include <cstdlib>
#include <cstring>

#include "app/console.h"
#include "app/settings.h"
#include "base/fs.h"
#include "base/json.h"
#include "http/response.h"
#include "inbox/listing.h"
#include "inbox/meta.h"
#include "inbox/paths.h"

namespace {

constexpr const char* JSON_TYPE = "application/json; charset=utf-8";
constexpr const char* NO_SUCH_FILE = "文件不存在";
constexpr const char* CANNOT_DELETE = "删不掉：文件被占用或没有权限";

// The client path of a delete or stat body: "path" when it is a string, else "name". Borrowed
// from the body; null when neither is a string.
const char* body_path(const JsonValue* body) {
    const char* path = json_string(json_get(body, "path"));
    return path ? path : json_string(json_get(body, "name"));
}

// The disk path and record key of a client path that names something inside the inbox (not
// the inbox itself). 0 with both set (the caller frees them), -1 otherwise.
int resolve_entry(const char* rel, char** abs_out, char** key_out) {
    *abs_out = nullptr;
    *key_out = nullptr;
    char** parts = nullptr;
    int n = rel_split(rel, &parts);
    if (n <= 0) return -1;
    char* abs = rel_join(parts, n);
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

void write_console_line(StrBuf* line) {
    con_append_usage(line);
    con_write_line(line->data);
}

}  // namespace

int inbox_delete(const char* rel, int* removed_out, int* is_folder_out) {
    *removed_out = 0;
    *is_folder_out = 0;
    char* abs = nullptr;
    char* key = nullptr;
    if (resolve_entry(rel, &abs, &key) != 0) return -1;

    int rc = 0;
    if (fs_is_reparse(abs)) {
        // Reported like a folder, also when it pointed to a file or could not be removed.
        *removed_out = remove_link(abs);
        *is_folder_out = 1;
        meta_forget_tree(key);
        usage_invalidate();
    } else if (fs_is_dir(abs)) {
        // Partial failure is no error: the count tells what went. The records of the whole
        // folder go, also those of files that stayed.
        *removed_out = fs_delete_tree(abs);
        *is_folder_out = 1;
        meta_forget_tree(key);
        usage_invalidate();
    } else if (fs_stat(abs, nullptr)) {
        if (fs_delete_file(abs) != 0) {
            rc = -2;
        } else {
            const char* keys[1] = {key};
            meta_forget(keys, 1);
            usage_invalidate();
        }
    } else {
        rc = -1;
    }
    free(abs);
    free(key);
    return rc;
}

int inbox_clear(int* removed_out) {
    fs_mkdirs(InboxDir);
    fs_mkdirs(StateDir);

    ClearList entries;
    fs_list_dir(InboxDir, collect_top_level, &entries);
    int removed = 0;
    for (size_t i = 0; i < entries.count; i++) {
        const ClearList::Item& entry = entries.items[i];
        char* child = path_join(InboxDir, entry.name);
        if (!child) continue;
        if (entry.is_reparse)
            removed += remove_link(child);
        else if (entry.is_dir)
            removed += fs_delete_tree(child);
        else if (fs_delete_file(child) == 0)
            removed += 1;
        free(child);
    }
    meta_clear();
    usage_invalidate();
    *removed_out = removed;
    return 0;
}

int inbox_stat_json(StrBuf* sb, const char* rel) {
    char* abs = nullptr;
    char* key = nullptr;
    if (resolve_entry(rel, &abs, &key) != 0) return -1;
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

void remove_handle_delete(SockHandle socket, HttpConn* conn, HttpRequest* request, const char*) {
    int removed = 0, is_folder = 0, rc;
    char* label;
    {
        JsonOwner body(http_read_json(conn, request->content_length));
        const char* path = body_path(body.value);
        // Formed before the deletion: afterwards the path names nothing.
        label = rel_normalize(path);
        rc = inbox_delete(path, &removed, &is_folder);
    }
    if (rc != 0) {
        free(label);
        if (rc == -2)
            http_send_error(socket, CANNOT_DELETE, 500);
        else
            http_send_error(socket, NO_SUCH_FILE, 404);
        return;
    }
    if (label && label[0]) {
        StrBufOwner line;
        // Pieces rather than one formatted append: a deep path may pass the formatting limit.
        if (is_folder) {
            sb_append_str(line.get(), "  删除文件夹 ");
            sb_append_str(line.get(), label);
            sb_appendf(line.get(), "（%d 项）", removed);
        } else {
            sb_append_str(line.get(), "  删除 ");
            sb_append_str(line.get(), label);
        }
        write_console_line(line.get());
    }
    free(label);

    StrBufOwner answer;
    if (is_folder)
        sb_appendf(answer.get(), "{\"ok\": true, \"removed\": %d}", removed);
    else
        sb_append_str(answer.get(), "{\"ok\": true}");
    http_send_response(socket, 200, JSON_TYPE, answer->data, answer->len, nullptr, 0);
}

void remove_handle_clear(SockHandle socket, HttpConn*, HttpRequest*, const char*) {
    int removed = 0;
    inbox_clear(&removed);
    StrBufOwner line;
    sb_appendf(line.get(), "  清空收件箱（%d 项）", removed);
    write_console_line(line.get());

    StrBufOwner answer;
    sb_appendf(answer.get(), "{\"ok\": true, \"removed\": %d}", removed);
    http_send_response(socket, 200, JSON_TYPE, answer->data, answer->len, nullptr, 0);
}

void remove_handle_stat(SockHandle socket, HttpConn* conn, HttpRequest* request, const char*) {
    StrBufOwner answer;
    int rc;
    {
        JsonOwner body(http_read_json(conn, request->content_length));
        rc = inbox_stat_json(answer.get(), body_path(body.value));
    }
    if (rc != 0) {
        http_send_error(socket, NO_SUCH_FILE, 404);
        return;
    }
    http_send_response(socket, 200, JSON_TYPE, answer->data, answer->len, nullptr, 0);
}
