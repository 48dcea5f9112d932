// Checks of the Windows file layer (and the shell call) run under wine, where the system is lenient exactly where
// real Windows bites: each fault is forced through the layer's fault injection, answering as
// real Windows does. Built for Windows only (there is no GoogleTest there); prints one line
// per failed check and exits 1 when any failed.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "base/config.h"
#include "base/fs.h"
#include "base/json.h"
#include "base/shell.h"
#include "inbox/meta.h"
#include "inbox/paths.h"
#include "upload/upload.h"
#include "upload/memory_body.h"

namespace {

int failures = 0;

#define CHECK(condition)                                                         \
    do {                                                                         \
        if (!(condition)) {                                                      \
            std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            failures++;                                                          \
        }                                                                        \
    } while (0)

std::string root;

std::string at(const std::string& name) {
    return root + "\\" + name;
}

void write(const std::string& path, const std::string& text) {
    FsFile* file = fs_open_write(path.c_str());
    CHECK(file != nullptr);
    if (!file) return;
    CHECK(fs_write_all(file, text.data(), text.size()) == 0);
    CHECK(fs_close(file) == 0);
}

// The content, or "<unreadable>".
std::string read(const std::string& path) {
    FsFileOwner file(fs_open_read(path.c_str()));
    if (!file.get()) return "<unreadable>";
    std::string text;
    char piece[4096];
    int64_t got;
    while ((got = fs_read(file.get(), piece, sizeof piece)) > 0)
        text.append(piece, static_cast<size_t>(got));
    return text;
}

// Runs fn on a thread of its own: the wait for other programs is budgeted per thread, as one
// thread serves one request.
template <class Fn>
void on_fresh_thread(Fn fn) {
    std::thread(fn).join();
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// FAT32 and exFAT reject the attribute-and-tag query: reads and state files still work.
void fat_rejects_the_tag_query(Config* config) {
    fs_fault_arm_always(FS_FAULT_TAG_QUERY);
    write(at("plain.txt"), "content");
    CHECK(read(at("plain.txt")) == "content");
    std::string records = std::string(config->state_dir) + "\\files.json";
    write(records, "{\"old.txt\": {\"from\": \"pc\", \"time\": 1}}");
    const char* paths[] = {"new.txt"};
    CHECK(meta_record_upload(config, paths, 1, "phone") == 0);
    JsonOwner stored(state_peek_json(records.c_str(), JSON_OBJECT));
    CHECK(stored.value && stored.value->member_count == 2);
    CHECK(json_get(stored.value, "old.txt") != nullptr);
    fs_fault_reset();
}

// Another program holding a file without sharing is waited for about a second, no longer.
void sharing_violations_are_waited_out() {
    write(at("held.txt"), "held");
    on_fresh_thread([] {
        fs_fault_arm(FS_FAULT_SHARING, 2);  // the first opens pass, the third is refused once
        CHECK(read(at("held.txt")) == "held");
        CHECK(read(at("held.txt")) == "held");
        CHECK(read(at("held.txt")) == "held");
    });
    fs_fault_reset();
    on_fresh_thread([] {
        fs_fault_arm_always(FS_FAULT_SHARING);
        auto start = std::chrono::steady_clock::now();
        CHECK(read(at("held.txt")) == "<unreadable>");
        double waited = seconds_since(start);
        CHECK(waited > 0.8 && waited < 5.0);
        // The request's budget is spent: the next refusal is final at once.
        start = std::chrono::steady_clock::now();
        JsonValue* value = nullptr;
        CHECK(state_load_json(at("held.txt").c_str(), JSON_OBJECT, &value) == STATE_UNREADABLE);
        CHECK(value == nullptr);
        CHECK(seconds_since(start) < 0.5);
    });
    fs_fault_reset();
    CHECK(read(at("held.txt")) == "held");
}

// Without POSIX semantics (before Windows 10 1607, FAT, network drives) the classic delete
// still deletes.
void classic_delete_when_posix_semantics_are_refused() {
    write(at("gone.txt"), "x");
    fs_fault_arm_always(FS_FAULT_POSIX_DELETE);
    CHECK(fs_delete_file(at("gone.txt").c_str()) == 0);
    fs_fault_reset();
    CHECK(!fs_name_listed(at("gone.txt").c_str()));
    write(at("gone2.txt"), "x");
    CHECK(fs_delete_file(at("gone2.txt").c_str()) == 0);
    CHECK(!fs_name_listed(at("gone2.txt").c_str()));
    // A folder is not a file: it stays.
    CHECK(fs_make_dir(at("folder").c_str()) == 0);
    CHECK(fs_delete_file(at("folder").c_str()) == -1);
    CHECK(fs_is_dir(at("folder").c_str()));
}

// A file is discarded through its own handle, also a new one that nobody else knows yet.
void discard_goes_through_the_handle() {
    FsFile* file = nullptr;
    CHECK(fs_open_new(at("partial.bin").c_str(), &file) == 0);
    CHECK(fs_write_all(file, "half", 4) == 0);
    CHECK(fs_discard(file, at("partial.bin").c_str()) == 0);
    CHECK(!fs_name_listed(at("partial.bin").c_str()));
    CHECK(fs_open_new(at("partial2.bin").c_str(), &file) == 0);
    fs_fault_arm_always(FS_FAULT_POSIX_DELETE);
    CHECK(fs_discard(file, at("partial2.bin").c_str()) == 0);
    fs_fault_reset();
    CHECK(!fs_name_listed(at("partial2.bin").c_str()));
}

// Uploads one file of that name with the content "new"; the stored name, or "" on failure.
std::string upload_one(Config* config, const char* name) {
    MemoryBody body;
    body.bytes = std::string("--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"") +
                 name + "\"\r\n\r\nnew\r\n--B--\r\n";
    UploadBody upload{memory_read, &body, static_cast<int64_t>(body.bytes.size()),
                      "multipart/form-data; boundary=B"};
    StrBufOwner answer;
    if (upload_store(config, "", &upload, "phone", answer.get()) != UPLOAD_STORED) return "";
    JsonOwner parsed(json_parse(answer->data, answer->len));
    const JsonValue* files = json_get(parsed.value, "files");
    if (!files || files->item_count != 1) return "";
    return json_string_or(json_get(files->items[0], "name"), "");
}

// A name whose deletion is pending answers a create with "access denied" but is still
// listed: the next upload of that name is numbered and nothing is truncated.
void pending_delete_name_is_numbered(Config* config) {
    std::string old_file = std::string(config->inbox_dir) + "\\photo.jpg";
    write(old_file, "old");
    fs_fault_arm(FS_FAULT_DELETE_PENDING, 0);
    CHECK(upload_one(config, "photo.jpg") == "photo(1).jpg");
    CHECK(read(old_file) == "old");
    CHECK(read(std::string(config->inbox_dir) + "\\photo(1).jpg") == "new");
    // The same for a folder name.
    fs_fault_arm(FS_FAULT_DELETE_PENDING, 0);
    CHECK(fs_make_dir(old_file.c_str()) == FS_ERR_EXISTS);
    fs_fault_reset();

    // A name really left pending by a classic delete while a reader holds the file, where the
    // system keeps such names (wine may not): numbered all the same.
    std::string held = std::string(config->inbox_dir) + "\\video.mp4";
    write(held, "old");
    FsFileOwner reader(fs_open_read(held.c_str()));
    CHECK(reader.get() != nullptr);
    fs_fault_arm_always(FS_FAULT_POSIX_DELETE);
    CHECK(fs_delete_file(held.c_str()) == 0);
    fs_fault_reset();
    std::string stored = upload_one(config, "video.mp4");
    CHECK(stored == (fs_name_listed(held.c_str()) ? "video(1).mp4" : "video.mp4"));
}

// The shell call brings its own COM apartment and leaves a thread's existing one alone; a
// target nobody can open fails at once, without an error box holding the thread.
void shell_keeps_the_callers_apartment() {
    on_fresh_thread([] {
        CHECK(shell_open("skiffbox-no-such-scheme:x") == 0);
        CHECK(shell_open_folder(at("plain.txt").c_str()) == 0);
    });
    on_fresh_thread([] {
        CHECK(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        CHECK(shell_open("skiffbox-no-such-scheme:x") == 0);
        // Still in its own multithreaded apartment: initialising it again only counts up.
        CHECK(CoInitializeEx(nullptr, COINIT_MULTITHREADED) == S_FALSE);
        CoUninitialize();
        CoUninitialize();
    });
}

}  // namespace

int main() {
    char* temp = fs_temp_dir();
    if (!temp) return 1;
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    root = std::string(temp) + "\\skf-wine-check-" + std::to_string(stamp);
    free(temp);
    if (fs_make_dir(root.c_str()) != 0) return 1;
    static Config config;
    config_init(&config, at("inbox").c_str(), "", DEFAULT_PORT);
    fs_mkdirs(config.state_dir);

    fat_rejects_the_tag_query(&config);
    sharing_violations_are_waited_out();
    classic_delete_when_posix_semantics_are_refused();
    discard_goes_through_the_handle();
    pending_delete_name_is_numbered(&config);
    shell_keeps_the_callers_apartment();

    fs_delete_tree(root.c_str());
    std::printf("%s\n", failures ? "FAILED" : "all checks passed");
    return failures ? 1 : 0;
}
