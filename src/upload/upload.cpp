#include "upload/upload.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/console.h"
#include "base/config.h"
#include "base/fs.h"
#include "base/json.h"
#include "base/text.h"
#include "base/strbuf.h"
#include "inbox/listing.h"
#include "inbox/meta.h"
#include "inbox/paths.h"
#include "inbox/usage.h"

namespace {

constexpr const char* UPLOAD_SENDER_UNRECORDED =
    "  [!] 发送记录文件 files.json 读不出来（被别的程序占用？），这批文件没记下是谁发的";

// One stored file, owned by the context's array.
struct UploadedFile {
    FsFile* file;    // the destination, open for writing; null once closed
    char* path;      // absolute path (owned)
    char* rel_path;  // path relative to the inbox folder, '/'-separated (owned)
    uint64_t size;   // bytes written so far
    MpSink sink;     // write_part / close_part with this record as context
    int failed;      // a write or the final flush failed: the bytes on disk are not all there
};

// Everything one request keeps; zero-filled at its start, on the connection's own thread.
struct UploadContext {
    UploadedFile** files;
    int32_t file_count;
    uint32_t file_capacity;  // 8 at the first file, then doubled
    UploadTarget target;
};

// Grows an owned array of texts by exactly one entry holding a copy of text. 0 or -1.
int append_text(char*** array, int32_t* count, const char* text) {
    char* copy = text_copy(text);
    if (!copy) return -1;
    char** grown = static_cast<char**>(realloc(*array, sizeof(char*) * (size_t(*count) + 1)));
    if (!grown) {
        free(copy);
        return -1;
    }
    grown[*count] = copy;
    *array = grown;
    ++*count;
    return 0;
}

// The last component of a disk path: the text after its last separator.
const char* last_component(const char* path) {
    const char* last = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') last = p + 1;
    return last;
}

// True when the relative path, read back through rel_split, gives exactly its own
// '/'-separated components: only then can the file be listed, downloaded, deleted and zipped
// by the name the answer reports.
bool rel_reachable(const char* rel) {
    RelComponents comps;
    comps.count = rel_split(rel, &comps.items);
    if (comps.count <= 0) return false;
    const char* piece = rel;
    for (int i = 0; i < comps.count; ++i) {
        const char* slash = strchr(piece, '/');
        size_t len = slash ? size_t(slash - piece) : strlen(piece);
        if (strlen(comps.items[i]) != len || memcmp(comps.items[i], piece, len) != 0) return false;
        if (!slash) return i == comps.count - 1;
        piece = slash + 1;
    }
    return false;
}

// rel_reachable of the target folder's relative path followed by the given pieces.
bool pieces_reachable(const UploadTarget* target, const char* const* pieces, int count) {
    TextOwner base(rel_from_abs(target->config, target->target_dir));
    if (!base) return false;
    StrBufOwner rel;
    sb_append_str(rel.get(), base.get());
    for (int i = 0; i < count; ++i) {
        if (rel->len > 0) sb_append_char(rel.get(), '/');
        sb_append_str(rel.get(), pieces[i]);
    }
    return rel->data && rel_reachable(rel->data);
}

// Records a folder this request created, so that a failed request removes it again. When
// even the record cannot be kept, the folder is removed at once and the step fails: an
// unrecorded folder would outlive a failed request. 0 or -1.
int record_dir(UploadTarget* target, const char* path) {
    if (append_text(&target->created_dirs, &target->created_count, path) == 0) return 0;
    fs_remove_dir(path);
    return -1;
}

// Whatever one part created, so that a part that cannot be stored leaves nothing behind.
struct PartMark {
    int32_t created_count;
    int32_t map_count;
};

PartMark part_mark(const UploadTarget* target) {
    return PartMark{target->created_count, target->map_count};
}

// Removes the folders created since the mark (newest first) and forgets a folder-map entry
// made since then.
void part_roll_back(UploadTarget* target, PartMark mark) {
    while (target->created_count > mark.created_count) {
        char* dir = target->created_dirs[--target->created_count];
        fs_remove_dir(dir);
        free(dir);
    }
    while (target->map_count > mark.map_count) {
        --target->map_count;
        free(target->sent_names[target->map_count]);
        free(target->used_names[target->map_count]);
    }
}

// The used name of a top-level folder of this request, creating it (numbered when taken) at
// the first file of that folder. Borrowed from the map; null when it cannot be made.
const char* map_folder(UploadTarget* target, const char* sent) {
    for (int32_t i = 0; i < target->map_count; ++i)
        if (strcmp(target->sent_names[i], sent) == 0) return target->used_names[i];
    PathCreated made;
    if (path_unique(target->target_dir, sent, PATH_MAKE_DIR, &target->numbers, &made) != 0)
        return nullptr;
    TextOwner made_path(made.path);
    if (record_dir(target, made.path) != 0) return nullptr;
    int32_t before = target->map_count;
    int32_t sent_count = before;
    int32_t used_count = before;
    if (append_text(&target->sent_names, &sent_count, sent) != 0) return nullptr;
    if (append_text(&target->used_names, &used_count, last_component(made.path)) != 0) {
        free(target->sent_names[before]);
        return nullptr;
    }
    target->map_count = before + 1;
    return target->used_names[before];
}

// Appends a separator and a name to a folder path held in a UPLOAD_PATH_BYTES buffer.
// 0, or -1 when the result would not fit.
int append_component(char* path, const char* name) {
    size_t have = strlen(path);
    size_t add = strlen(name);
    if (have + 1 + add + 1 > UPLOAD_PATH_BYTES) return -1;
    path[have] = FS_SEP;
    memcpy(path + have + 1, name, add + 1);
    return 0;
}

// Makes sure the folder exists, creating and recording it when missing; an existing folder
// of a sent tree is merged into. Only what this request really created is recorded, so the
// clean-up never removes another request's folder. 0 or -1.
int ensure_dir(UploadTarget* target, const char* path) {
    int made = fs_make_dir(path);
    if (made == 0) return record_dir(target, path);
    return made == FS_ERR_EXISTS && fs_is_dir(path) ? 0 : -1;
}

// The folder that receives a file of a sent tree (pieces[0] is the top-level folder, the
// pieces up to the last are its subfolders), created as far as missing, in folder.
int tree_folder(UploadTarget* target, char* const* pieces, int count,
                char folder[UPLOAD_PATH_BYTES]) {
    const char* used = map_folder(target, pieces[0]);
    if (!used) return -1;
    size_t dir_len = strlen(target->target_dir);
    if (dir_len + 1 > UPLOAD_PATH_BYTES) return -1;
    memcpy(folder, target->target_dir, dir_len + 1);
    if (append_component(folder, used) != 0 || ensure_dir(target, folder) != 0) return -1;
    for (int i = 1; i < count - 1; ++i)
        if (append_component(folder, pieces[i]) != 0 || ensure_dir(target, folder) != 0) return -1;
    return 0;
}

void close_file(UploadedFile* record) {
    if (!record->file) return;
    // A file whose write failed goes through its own handle, before anyone can hold it, so a
    // refused deletion by name never leaves a truncated file that looks finished.
    if (record->failed)
        fs_discard(record->file, record->path);
    // A failed close may have lost written data: the file does not count as stored.
    else if (fs_close(record->file) != 0)
        record->failed = 1;
    record->file = nullptr;
}

// Deletes the record's file: through its handle while it is still open, else by name.
void discard_file(UploadedFile* record) {
    if (record->file) {
        fs_discard(record->file, record->path);
        record->file = nullptr;
    } else {
        fs_delete_file(record->path);
    }
}

// Appends a record to the context's array: capacity 8 first, then doubled. 0 or -1.
int add_record(UploadContext* context, UploadedFile* record) {
    if (uint32_t(context->file_count) == context->file_capacity) {
        uint32_t cap = context->file_capacity ? context->file_capacity * 2 : 8;
        auto** grown =
            static_cast<UploadedFile**>(realloc(context->files, sizeof(UploadedFile*) * cap));
        if (!grown) return -1;
        context->files = grown;
        context->file_capacity = cap;
    }
    context->files[context->file_count++] = record;
    return 0;
}

// A record's sink: 0 when all bytes were written, 1 otherwise (the record is then failed).
int write_part(void* record, const char* bytes, size_t length) {
    auto* r = static_cast<UploadedFile*>(record);
    if (!r->file) return 1;
    if (fs_write_all(r->file, bytes, length) != 0) {
        r->failed = 1;
        return 1;
    }
    r->size += length;
    return 0;
}

// Closes the record's file; a failed flush marks the record failed.
void close_part(void* record) {
    close_file(static_cast<UploadedFile*>(record));
}

// The parser's open callback (context is the UploadContext). A part with a file name gets a
// newly created file and its record's sink; null (content thrown away) for a part without a
// file name or one that cannot be stored, which then leaves nothing on disk.
MpSink* open_part(void* context, const char* field_name, const char* file_name,
                         const char* content_type) {
    (void)field_name;
    (void)content_type;
    if (!file_name || !*file_name) return nullptr;
    auto* ctx = static_cast<UploadContext*>(context);
    PartMark mark = part_mark(&ctx->target);
    FsFile* file = nullptr;
    char* path = upload_target_place(&ctx->target, file_name, nullptr, &file);
    if (!path) return nullptr;
    char* rel = rel_from_abs(ctx->target.config, path);
    auto* record = static_cast<UploadedFile*>(calloc(1, sizeof(UploadedFile)));
    if (!rel || !record || add_record(ctx, record) != 0) {
        fs_discard(file, path);
        part_roll_back(&ctx->target, mark);
        free(path);
        free(rel);
        free(record);
        return nullptr;
    }
    record->file = file;
    record->path = path;
    record->rel_path = rel;
    record->sink = MpSink{write_part, close_part, record};
    return &record->sink;
}

// Closes every record's file if still open and deletes it.
void discard_files(UploadContext* context) {
    for (int32_t i = 0; i < context->file_count; ++i) discard_file(context->files[i]);
}

// Removes the created folders newest first; a folder that is not empty stays.
void remove_created_dirs(UploadTarget* target) {
    for (int32_t i = target->created_count - 1; i >= 0; --i) fs_remove_dir(target->created_dirs[i]);
}

// Frees every record and the array; files on disk are not touched.
void free_files(UploadContext* context) {
    for (int32_t i = 0; i < context->file_count; ++i) {
        free(context->files[i]->path);
        free(context->files[i]->rel_path);
        free(context->files[i]);
    }
    free(context->files);
    context->files = nullptr;
    context->file_count = 0;
    context->file_capacity = 0;
}

// The success body: {"ok": true, "files": [{"name": ..., "size": ...}, ...]}.
void build_answer(StrBuf* body, const UploadContext* context) {
    sb_append_str(body, "{\"ok\": true, \"files\": [");
    for (int32_t i = 0; i < context->file_count; ++i) {
        if (i > 0) sb_append_str(body, ", ");
        sb_append_str(body, "{\"name\": ");
        json_append_string(body, context->files[i]->rel_path);
        sb_appendf(body, ", \"size\": %lld}", static_cast<long long>(context->files[i]->size));
    }
    sb_append_str(body, "]}");
}

// 0, or -1 when files.json could not be read: the files stay, without their sender.
int record_senders(const UploadContext* context, const char* device) {
    auto** paths = static_cast<char**>(malloc(sizeof(char*) * size_t(context->file_count)));
    if (!paths) return 0;
    for (int32_t i = 0; i < context->file_count; ++i) paths[i] = context->files[i]->rel_path;
    int result = meta_record_upload(context->target.config, paths, context->file_count, device);
    free(paths);
    return result;
}

bool any_failed(const UploadContext* context) {
    for (int32_t i = 0; i < context->file_count; ++i)
        if (context->files[i]->failed) return true;
    return false;
}

// Runs the parse over the body; on success records the senders and builds the answer.
int store_parts(UploadContext* context, const UploadBody* body, const char* device,
                StrBuf* answer) {
    int result = mp_parse(body->read, body->source, body->length, body->content_type,
                          open_part, context);
    // A file whose last bytes could not be flushed is as incomplete as one cut short.
    if (result == 1 && any_failed(context)) result = 0;
    if (result != 1) {
        discard_files(context);
        remove_created_dirs(&context->target);
        usage_invalidate();  // listings made while the files were arriving showed them
        return result < 0 ? UPLOAD_NOT_MULTIPART : UPLOAD_INTERRUPTED;
    }
    if (context->file_count == 0) {
        remove_created_dirs(&context->target);
        usage_invalidate();
        return UPLOAD_NO_FILE;
    }
    build_answer(answer, context);
    bool recorded = record_senders(context, device) == 0;
    usage_invalidate();
    upload_console_line(context->target.config, context->file_count, recorded);
    return UPLOAD_STORED;
}

}  // namespace

int upload_store(const Config* config, const char* dir, const UploadBody* body, const char* device,
                 StrBuf* answer) {
    UploadContext context;
    memset(&context, 0, sizeof context);
    int opened = upload_target_open(config, dir ? dir : "", UPLOAD_DIR_EXISTING, &context.target);
    int result = opened != 0
                     ? UPLOAD_NO_FOLDER
                     : store_parts(&context, body, device ? device : "", answer);
    upload_target_free(&context.target);
    free_files(&context);
    return result;
}

// ---- Placing files by the rules of an upload -----------------------------------------------

namespace {

// Makes the missing folders of a relative path again, one level at a time: each level is
// reached through rel_join once it exists, so no link and no second name of an entry is ever
// passed through.
void remake_dirs(const Config* config, char** comps, int count) {
    for (int i = 1; i <= count; ++i) {
        TextOwner parent(i == 1 ? text_copy(config->inbox_dir) : rel_join(config, comps, i - 1));
        if (!parent || !fs_is_dir(parent.get())) return;
        TextOwner level(fs_path_join(parent.get(), comps[i - 1]));
        if (!level) return;
        if (!fs_is_dir(level.get())) fs_make_dir(level.get());
    }
}

}  // namespace

int upload_target_open(const Config* config, const char* dir, UploadDirMode mode,
                       UploadTarget* target) {
    memset(target, 0, sizeof *target);
    target->config = config;
    RelComponents comps;
    comps.count = rel_split(dir, &comps.items);
    if (comps.count < 0) return -1;
    TextOwner joined;
    const char* folder = config->inbox_dir;
    if (comps.count > 0) {
        if (mode == UPLOAD_DIR_RECREATE) remake_dirs(config, comps.items, comps.count);
        joined.reset(rel_join(config, comps.items, comps.count));
        if (!joined || !fs_is_dir(joined.get())) return -1;
        folder = joined.get();
    }
    size_t len = strnlen(folder, UPLOAD_PATH_BYTES - 1);
    memcpy(target->target_dir, folder, len);
    target->target_dir[len] = 0;
    return 0;
}

char* upload_target_place(UploadTarget* target, const char* file_name, const char* from,
                          FsFile** file_out) {
    *file_out = nullptr;
    RelComponents pieces;
    pieces.items = rel_split_upload(file_name, &pieces.count);
    if (pieces.count <= 0) return nullptr;
    // Refuse before anything is created a part whose stored path could not be read back.
    if (!pieces_reachable(target, pieces.items, pieces.count)) return nullptr;

    PartMark mark = part_mark(target);
    char folder[UPLOAD_PATH_BYTES];
    const char* parent = target->target_dir;
    if (pieces.count > 1) {
        if (tree_folder(target, pieces.items, pieces.count, folder) != 0) {
            part_roll_back(target, mark);
            return nullptr;
        }
        parent = folder;
    }
    PathCreated made;
    const char* name = pieces.items[pieces.count - 1];
    int placed = from ? path_unique_move(parent, name, from, &target->numbers, &made)
                      : path_unique(parent, name, PATH_MAKE_FILE, &target->numbers, &made);
    if (placed != 0) {
        part_roll_back(target, mark);
        return nullptr;
    }
    // Numbering lengthens names; a name pushed past what a relative path may hold is no good.
    TextOwner rel(rel_from_abs(target->config, made.path));
    if (!rel || !rel_reachable(rel.get())) {
        // A moved file goes back where it came from: it is not ours to delete.
        if (from) {
            fs_move_new(made.path, from);
            fs_close(made.file);
        } else {
            fs_discard(made.file, made.path);
        }
        free(made.path);
        part_roll_back(target, mark);
        return nullptr;
    }
    *file_out = made.file;
    return made.path;
}

int upload_target_map_folder(UploadTarget* target, const char* sent, const char* used) {
    int32_t before = target->map_count;
    int32_t sent_count = before;
    int32_t used_count = before;
    if (append_text(&target->sent_names, &sent_count, sent) != 0) return -1;
    if (append_text(&target->used_names, &used_count, used) != 0) {
        free(target->sent_names[before]);
        return -1;
    }
    target->map_count = before + 1;
    return 0;
}

bool upload_target_accepts(const UploadTarget* target, const char* file_name) {
    RelComponents pieces;
    pieces.items = rel_split_upload(file_name, &pieces.count);
    return pieces.count > 0 && pieces_reachable(target, pieces.items, pieces.count);
}

void upload_target_free(UploadTarget* target) {
    for (int32_t i = 0; i < target->map_count; ++i) {
        free(target->sent_names[i]);
        free(target->used_names[i]);
    }
    free(target->sent_names);
    free(target->used_names);
    target->sent_names = target->used_names = nullptr;
    target->map_count = 0;
    for (int32_t i = 0; i < target->created_count; ++i) free(target->created_dirs[i]);
    free(target->created_dirs);
    target->created_dirs = nullptr;
    target->created_count = 0;
    path_numbers_free(&target->numbers);
}

void upload_console_line(const Config* config, int stored, bool sender_recorded) {
    StrBufOwner line;
    if (stored > 0) {
        sb_appendf(line.get(), "  收到 %d 个文件", stored);
        usage_append_line(config, line.get(), USAGE_WARN_OWN_LINE);
        if (!sender_recorded) sb_append_str(line.get(), "\n");
    }
    if (!sender_recorded) sb_append_str(line.get(), UPLOAD_SENDER_UNRECORDED);
    con_write_line(line.c_str());
}
