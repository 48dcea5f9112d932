// Portable half of the file-system layer: path texts, the folder creation and the two tree
// walkers built on the platform's single-entry operations, and the fault hooks.
#include "base/fs.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"

// ---- Paths -------------------------------------------------------------------------------

int fs_is_sep(char c) {
    return c == '/' || c == FS_SEP;
}

char* fs_path_join(const char* dir, const char* name) {
    size_t dir_len = strlen(dir);
    size_t name_len = strlen(name);
    int add_sep = dir_len > 0 && !fs_is_sep(dir[dir_len - 1]);
    char* out = static_cast<char*>(malloc(dir_len + add_sep + name_len + 1));
    if (!out) return nullptr;
    memcpy(out, dir, dir_len);
    if (add_sep) out[dir_len] = FS_SEP;
    memcpy(out + dir_len + add_sep, name, name_len + 1);
    return out;
}

namespace {

bool is_drive_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Appends the components of rest (separated by backslashes) to out, dropping empty and "."
// components and letting ".." take back the previous one, but never one of the first `fixed`
// components (a share's server and share name).
void append_normalised(std::string* out, const std::string& rest, size_t fixed) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('\\', start);
        if (end == std::string::npos) end = rest.size();
        std::string part = rest.substr(start, end - start);
        if (part == "..") {
            if (parts.size() > fixed) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    for (const std::string& part : parts) {
        out->push_back('\\');
        out->append(part);
    }
}

}  // namespace

char* fs_long_path_form(const char* path) {
    if (!path) return nullptr;
    std::string text(path);
    if (text.starts_with("\\\\?\\") || text.starts_with("\\\\.\\")) return text_copy_n(text.data(), text.size());
    for (char& c : text)
        if (c == '/') c = '\\';
    if (text.starts_with("\\\\?\\") || text.starts_with("\\\\.\\")) return text_copy_n(text.data(), text.size());

    std::string out;
    if (text.size() >= 3 && is_drive_letter(text[0]) && text[1] == ':' && text[2] == '\\') {
        out = "\\\\?\\" + text.substr(0, 2);
        append_normalised(&out, text.substr(3), 0);
        if (out.size() == 6) out.push_back('\\');  // the drive's root keeps its backslash
    } else if (text.size() >= 3 && text[0] == '\\' && text[1] == '\\' && text[2] != '\\') {
        out = "\\\\?\\UNC";
        append_normalised(&out, text.substr(2), 2);
    } else {
        out = text;
    }
    return text_copy_n(out.data(), out.size());
}

// ---- Folder creation ---------------------------------------------------------------------

int fs_mkdirs(const char* path) {
    if (!path || !*path) return -1;
    char* work = strdup(path);
    if (!work) return -1;
    size_t len = strlen(work);
    while (len > 1 && fs_is_sep(work[len - 1])) work[--len] = 0;

    // Walk up, cutting the text at separators, until a folder can be made or is there.
    size_t end = len;
    int result = fs_make_dir(work);
    while (result == FS_ERR_NOT_FOUND) {
        size_t cut = end;
        while (cut > 0 && !fs_is_sep(work[cut - 1])) cut--;
        while (cut > 0 && fs_is_sep(work[cut - 1])) cut--;
        if (cut == 0) break;
        work[cut] = 0;
        end = cut;
        result = fs_make_dir(work);
    }
    // A drive or share root may refuse creation with another error although it is there.
    int ok = result == 0 || result == FS_ERR_EXISTS || (result == -1 && fs_exists(work));
    // Walk down again, restoring one cut at a time.
    while (ok && end < len) {
        work[end] = path[end];
        end = strlen(work);
        result = fs_make_dir(work);
        ok = result == 0 || result == FS_ERR_EXISTS;
    }
    free(work);
    return ok ? 0 : -1;
}

// ---- Tree walkers ------------------------------------------------------------------------
// Both walk iteratively with a list of folders still to visit, so the depth of a tree costs
// heap, not stack: a connection thread can delete or count the deepest tree an upload makes.

namespace {

// Removes a link of either kind: folder links go with remove-folder, file links with delete.
int remove_link(const char* path) {
    return fs_remove_dir(path) == 0 || fs_delete_file(path) == 0;
}

struct DeleteWalk {
    const char* folder;
    int removed;
    std::vector<std::string> to_visit;
};

void delete_entry(const char* name, const FileInfo*, int is_dir, int is_reparse, void* context) {
    DeleteWalk* walk = static_cast<DeleteWalk*>(context);
    char* child = fs_path_join(walk->folder, name);
    if (!child) return;
    if (is_reparse) {
        walk->removed += remove_link(child);
    } else if (is_dir) {
        walk->to_visit.emplace_back(child);
    } else {
        walk->removed += fs_delete_file(child) == 0;
    }
    free(child);
}

struct CountWalk {
    const char* folder;
    TreeCount* counts;
    std::vector<std::string> to_visit;
};

void count_entry(const char* name, const FileInfo* info, int is_dir, int is_reparse,
                 void* context) {
    CountWalk* walk = static_cast<CountWalk*>(context);
    if (name[0] == '.' || is_reparse) return;
    if (!is_dir) {
        walk->counts->files++;
        walk->counts->bytes += info->size;
        return;
    }
    walk->counts->dirs++;
    char* child = fs_path_join(walk->folder, name);
    if (!child) return;
    walk->to_visit.emplace_back(child);
    free(child);
}

}  // namespace

int fs_delete_tree(const char* path) {
    if (fs_is_reparse(path)) return remove_link(path);

    // Each folder is listed once (its files and links go at once, its subfolders are queued
    // after it), then removed once everything queued after it has been handled.
    struct Pending {
        std::string path;
        bool listed;
    };
    std::vector<Pending> stack;
    stack.push_back({path, false});
    DeleteWalk walk{nullptr, 0, {}};
    while (!stack.empty()) {
        if (stack.back().listed) {
            walk.removed += fs_remove_dir(stack.back().path.c_str()) == 0;
            stack.pop_back();
            continue;
        }
        stack.back().listed = true;
        std::string folder = stack.back().path;
        walk.folder = folder.c_str();
        walk.to_visit.clear();
        fs_list_dir(walk.folder, delete_entry, &walk);
        for (std::string& child : walk.to_visit) stack.push_back({std::move(child), false});
    }
    return walk.removed;
}

void fs_count_tree(const char* path, TreeCount* counts) {
    if (fs_is_reparse(path)) return;
    std::vector<std::string> stack{path};
    CountWalk walk{nullptr, counts, {}};
    while (!stack.empty()) {
        std::string folder = std::move(stack.back());
        stack.pop_back();
        walk.folder = folder.c_str();
        walk.to_visit.clear();
        fs_list_dir(walk.folder, count_entry, &walk);
        for (std::string& child : walk.to_visit) stack.push_back(std::move(child));
    }
}

// ---- Fault injection ---------------------------------------------------------------------

namespace {
// 0: not armed; n > 0: n - 1 operations pass, then one fails; ALWAYS: every one fails.
constexpr int ALWAYS = -1;
std::atomic<int> armed_faults[FS_FAULT_KINDS];
std::atomic<int64_t> create_attempts{0};
}  // namespace

int64_t fs_create_attempts() {
    return create_attempts.load();
}

void fs_count_create_attempt() {
    create_attempts.fetch_add(1, std::memory_order_relaxed);
}

void fs_fault_arm(FsFault fault, int skip) {
    armed_faults[fault].store(skip < 0 ? 1 : skip + 1);
}

void fs_fault_arm_always(FsFault fault) {
    armed_faults[fault].store(ALWAYS);
}

void fs_fault_reset() {
    for (std::atomic<int>& armed : armed_faults) armed.store(0);
}

int fs_fault_fire(FsFault fault) {
    std::atomic<int>& armed = armed_faults[fault];
    int value = armed.load(std::memory_order_relaxed);
    if (value == ALWAYS) return 1;
    while (value > 0) {
        if (armed.compare_exchange_weak(value, value - 1)) return value == 1;
    }
    return 0;
}
