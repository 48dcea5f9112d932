// The I/O half of the ZIP packer: resolving and expanding the selection and writing the
// archive into a temporary file.
#include "zip/zip.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/fs.h"
#include "base/strbuf.h"
#include "inbox/paths.h"
#include "zip/zip_platform.h"

namespace {


constexpr const char* TEMP_PREFIX = "skf";

// A growable array of trivially copyable items on malloc: an allocation failure is a result,
// never an exception.
template <class T>
struct Grow {
    T* items = nullptr;
    int32_t count = 0;
    int32_t capacity = 0;

    int push(const T& item) {
        if (count == capacity) {
            int32_t grown = capacity ? capacity * 2 : 16;
            auto* bigger = static_cast<T*>(realloc(items, static_cast<size_t>(grown) * sizeof(T)));
            if (!bigger) return -1;
            items = bigger;
            capacity = grown;
        }
        items[count++] = item;
        return 0;
    }
};

// ---------------------------------------------------------------------------------------------
// Collecting a folder's files. The walk is iterative (a list of folders still to list), so the
// deepest tree an upload can make costs heap, not the connection thread's stack.

struct PendingFolder {
    char* path;  // absolute
    char* rel;   // relative to the selected folder, "" or ending in '/'
};

struct CollectContext {
    const PendingFolder* current;
    Grow<ZipFolderFile>* files;
    Grow<PendingFolder>* pending;
    int32_t max_files;
    bool out_of_memory;
};

bool collect_done(const CollectContext* ctx) {
    return ctx->out_of_memory || ctx->files->count > ctx->max_files;
}

char* concat(const char* a, const char* b, const char* c) {
    size_t la = strlen(a), lb = strlen(b), lc = strlen(c);
    char* out = static_cast<char*>(malloc(la + lb + lc + 1));
    if (!out) return nullptr;
    memcpy(out, a, la);
    memcpy(out + la, b, lb);
    memcpy(out + la + lb, c, lc + 1);
    return out;
}

void collect_entry(const char* name, const FileInfo* info, int is_dir, int is_reparse,
                   void* context) {
    auto* ctx = static_cast<CollectContext*>(context);
    if (collect_done(ctx) || name[0] == '.' || is_reparse) return;
    char* path = fs_path_join(ctx->current->path, name);
    char* rel = concat(ctx->current->rel, name, is_dir ? "/" : "");
    int pushed = -1;
    if (path && rel) {
        pushed =
            is_dir ? ctx->pending->push({path, rel}) : ctx->files->push({rel, path, info->size});
    }
    if (pushed != 0) {
        free(path);
        free(rel);
        ctx->out_of_memory = true;
    }
}

void free_pending(Grow<PendingFolder>* pending) {
    for (int32_t i = 0; i < pending->count; i++) {
        free(pending->items[i].path);
        free(pending->items[i].rel);
    }
    free(pending->items);
}

bool rel_less(const ZipFolderFile& a, const ZipFolderFile& b) {
    return strcmp(a.rel, b.rel) < 0;  // strcmp compares bytes as unsigned char
}

// ---------------------------------------------------------------------------------------------
// Writing the archive.

// Everything zip_write owns while it runs; the destructor undoes what is unfinished.
struct ArchiveJob {
    FsFile* out = nullptr;
    char* temp_path = nullptr;
    ZipEntryFacts* facts = nullptr;
    uint8_t* buffer = nullptr;
    bool keep = false;  // the archive is complete: leave the file for the caller

    ~ArchiveJob() {
        fs_close(out);
        if (temp_path && !keep) fs_delete_file(temp_path);
        free(temp_path);
        free(facts);
        free(buffer);
    }
};

// Reads until the buffer is full or the file ends. The count read, or -1 on a read error.
int64_t fill(FsFile* in, uint8_t* buffer, size_t cap) {
    size_t used = 0;
    while (used < cap) {
        int64_t got = fs_read(in, buffer + used, cap - used);
        if (got < 0) return -1;
        if (got == 0) break;
        used += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(used);
}

// Copies one entry (header, name, data) to the archive at offset. A file that fits the
// buffer after its header goes out in one write with its header complete; a larger one is
// streamed and its header's CRC and sizes are patched in place afterwards. 0 or an error code;
// on success facts is complete and *end_out is the offset after the entry.
int write_entry(ArchiveJob* job, const ZipEntry* entry, uint64_t offset, ZipEntryFacts* facts,
                uint64_t* end_out) {
    size_t name_len = strlen(entry->name);
    FileInfo info{};
    if (!fs_stat(entry->path, &info)) return ZIP_ERR_INPUT;
    FsFileOwner in(fs_open_read(entry->path));
    if (!in.get()) return ZIP_ERR_INPUT;
    if (name_len > ZIP_MAX_NAME_BYTES) return ZIP_ERR_WRITE;

    *facts = ZipEntryFacts{};
    facts->name_len = static_cast<uint16_t>(name_len);
    facts->offset = static_cast<uint32_t>(offset);
    zip_dos_time(info.mtime, &facts->dos_date, &facts->dos_time);

    size_t head = ZIP_LOCAL_HEADER_BYTES + name_len;
    uint8_t* buffer = job->buffer;
    int64_t got = fill(in.get(), buffer + head, ZIP_COPY_BYTES - head);
    if (got < 0) return ZIP_ERR_INPUT;
    uint64_t data_bytes = static_cast<uint64_t>(got);
    uint32_t crc = crc32_update(0, buffer + head, data_bytes);
    bool whole = data_bytes < ZIP_COPY_BYTES - head;  // the file ended inside the buffer
    if (whole) {
        facts->crc = crc;
        facts->size = static_cast<uint32_t>(data_bytes);
    }
    if (offset + head + data_bytes > ZIP_MAX_ARCHIVE_BYTES) return ZIP_ERR_WRITE;
    zip_put_local_header(buffer, facts);
    memcpy(buffer + ZIP_LOCAL_HEADER_BYTES, entry->name, name_len);
    if (fs_write_all(job->out, buffer, head + data_bytes) != 0) return ZIP_ERR_WRITE;

    if (!whole) {
        for (;;) {
            got = fill(in.get(), buffer, ZIP_COPY_BYTES);
            if (got < 0) return ZIP_ERR_INPUT;
            if (got == 0) break;
            data_bytes += static_cast<uint64_t>(got);
            // Offsets and sizes are 32-bit: a file that grew past the measured selection must
            // fail the archive, not wrap its fields.
            if (offset + head + data_bytes > ZIP_MAX_ARCHIVE_BYTES) return ZIP_ERR_WRITE;
            crc = crc32_update(crc, buffer, static_cast<size_t>(got));
            if (fs_write_all(job->out, buffer, static_cast<size_t>(got)) != 0) return ZIP_ERR_WRITE;
        }
        facts->crc = crc;
        facts->size = static_cast<uint32_t>(data_bytes);
        uint8_t header[ZIP_LOCAL_HEADER_BYTES];
        zip_put_local_header(header, facts);
        if (fs_seek(job->out, offset + 14) != 0 || fs_write_all(job->out, header + 14, 12) != 0 ||
            fs_seek(job->out, offset + head + data_bytes) != 0)
            return ZIP_ERR_WRITE;
    }
    *end_out = offset + head + data_bytes;
    return 0;
}

// Writes the central directory and the end record from offset on, batched through the
// buffer. 0 or ZIP_ERR_WRITE.
int write_directory(ArchiveJob* job, const ZipEntry* entries, int32_t count, uint64_t offset) {
    uint8_t* buffer = job->buffer;
    size_t used = 0;
    uint64_t directory_bytes = 0;
    for (int32_t i = 0; i < count; i++) {
        size_t record = ZIP_CENTRAL_HEADER_BYTES + job->facts[i].name_len;
        if (used + record > ZIP_COPY_BYTES) {
            if (fs_write_all(job->out, buffer, used) != 0) return ZIP_ERR_WRITE;
            used = 0;
        }
        zip_put_central_header(buffer + used, &job->facts[i]);
        memcpy(buffer + used + ZIP_CENTRAL_HEADER_BYTES, entries[i].name, job->facts[i].name_len);
        used += record;
        directory_bytes += record;
    }
    if (offset + directory_bytes + ZIP_END_RECORD_BYTES > ZIP_MAX_ARCHIVE_BYTES)
        return ZIP_ERR_WRITE;
    if (used + ZIP_END_RECORD_BYTES > ZIP_COPY_BYTES) {
        if (fs_write_all(job->out, buffer, used) != 0) return ZIP_ERR_WRITE;
        used = 0;
    }
    zip_put_end_record(buffer + used, static_cast<uint16_t>(count),
                       static_cast<uint32_t>(directory_bytes), static_cast<uint32_t>(offset));
    used += ZIP_END_RECORD_BYTES;
    return fs_write_all(job->out, buffer, used) == 0 ? 0 : ZIP_ERR_WRITE;
}


}  // namespace

char* zip_resolve(const Config* config, const char* rel, int* kind_out) {
    *kind_out = 0;
    char** components = nullptr;
    int count = rel_split(rel, &components);
    if (count <= 0) return nullptr;  // rejected, or the inbox itself
    char* path = rel_join(config, components, count);
    rel_free(components, count);
    if (!path) return nullptr;
    if (fs_is_dir(path)) {
        *kind_out = ZIP_KIND_DIR;
    } else if (fs_stat(path, nullptr)) {
        *kind_out = ZIP_KIND_FILE;
    } else {
        free(path);
        return nullptr;
    }
    return path;
}

int zip_collect_folder(const char* folder, int32_t max_files, ZipFolderFile** files_out,
                       int32_t* count_out) {
    *files_out = nullptr;
    *count_out = 0;
    if (fs_is_reparse(folder)) return 0;
    Grow<ZipFolderFile> files;
    Grow<PendingFolder> pending;
    CollectContext ctx{nullptr, &files, &pending, max_files, false};
    char* root_path = strdup(folder);
    char* root_rel = strdup("");
    if (!root_path || !root_rel || pending.push({root_path, root_rel}) != 0) {
        free(root_path);
        free(root_rel);
        return -1;
    }
    while (pending.count > 0 && !collect_done(&ctx)) {
        PendingFolder current = pending.items[--pending.count];
        ctx.current = &current;
        fs_list_dir(current.path, collect_entry, &ctx);
        free(current.path);
        free(current.rel);
    }
    free_pending(&pending);
    if (ctx.out_of_memory) {
        zip_folder_files_free(files.items, files.count);
        return -1;
    }
    std::sort(files.items, files.items + files.count, rel_less);
    *files_out = files.items;
    *count_out = files.count;
    return 0;
}

void zip_folder_files_free(ZipFolderFile* files, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        free(files[i].rel);
        free(files[i].path);
    }
    free(files);
}

int zip_expand(const Config* config, char* const* names, int count, ZipList* list,
               int* folder_selected) {
    *folder_selected = 0;
    int files = 0;
    for (int n = 0; n < count; n++) {
        int kind = 0;
        char* path = zip_resolve(config, names[n], &kind);
        if (!path) continue;
        if (kind == ZIP_KIND_FILE) {
            files++;
            char* name = rel_from_abs(config, path);
            FileInfo info{};
            if (name && fs_stat(path, &info)) zip_list_add(list, name, path, info.size);
            free(name);
            free(path);
            if (files > ZIP_MAX_FILES) return ZIP_EXPAND_TOO_MANY;
            continue;
        }
        ZipFolderFile* found = nullptr;
        int32_t found_count = 0;
        if (zip_collect_folder(path, ZIP_MAX_FILES, &found, &found_count) == 0) {
            for (int32_t i = 0; i < found_count; i++) {
                if (++files > ZIP_MAX_FILES) {
                    zip_folder_files_free(found, found_count);
                    free(path);
                    *folder_selected = 1;
                    return ZIP_EXPAND_TOO_MANY;
                }
                char* name = rel_from_abs(config, found[i].path);
                if (name) zip_list_add(list, name, found[i].path, found[i].size);
                free(name);
            }
            zip_folder_files_free(found, found_count);
        }
        free(path);
        *folder_selected = 1;
    }
    return ZIP_EXPAND_OK;
}

int zip_write(const ZipEntry* entries, int32_t count, char* path_out, size_t path_out_size) {
    if (!path_out || path_out_size <= 1) return ZIP_ERR_OUTPUT;
    path_out[0] = 0;
    if (!entries || count <= 0 || count > ZIP_MAX_ENTRIES) return ZIP_ERR_WRITE;

    ArchiveJob job;
    if (fs_create_temp(TEMP_PREFIX, &job.out, &job.temp_path) != 0) return ZIP_ERR_OUTPUT;
    size_t path_len = strlen(job.temp_path);
    if (path_len + 1 > path_out_size) return ZIP_ERR_OUTPUT;

    job.facts =
        static_cast<ZipEntryFacts*>(malloc(static_cast<size_t>(count) * sizeof(ZipEntryFacts)));
    job.buffer = static_cast<uint8_t*>(malloc(ZIP_COPY_BYTES));
    if (!job.facts || !job.buffer) return ZIP_ERR_WRITE;

    uint64_t offset = 0;
    for (int32_t i = 0; i < count; i++) {
        int result = write_entry(&job, &entries[i], offset, &job.facts[i], &offset);
        if (result != 0) return result;
    }
    int result = write_directory(&job, entries, count, offset);
    if (result != 0) return result;
    FsFile* out = job.out;
    job.out = nullptr;
    if (fs_close(out) != 0) return ZIP_ERR_WRITE;
    memcpy(path_out, job.temp_path, path_len + 1);
    job.keep = true;
    return 0;
}

