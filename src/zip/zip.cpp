// The I/O half of the ZIP packer: resolving and expanding the selection, and streaming the
// archive from the inbox's files into a sink.
#include "zip/zip.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/fs.h"
#include "base/strbuf.h"
#include "inbox/paths.h"
#include "zip/zip_platform.h"

namespace {

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
// Streaming the archive.

// Reads until cap bytes are in or the file ends. The count read, or -1 on a read error.
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

// True when the file ends at the current offset; false when it goes on (it grew since its size
// was taken) or cannot be read.
bool at_end(FsFile* in) {
    uint8_t probe;
    return fs_read(in, &probe, 1) == 0;
}

}  // namespace

struct ZipStream {
    const ZipPlan* plan;
    ZipEntryFacts* facts;  // one per entry, complete once the entry is sent
    uint8_t* buffer;       // ZIP_BUFFER_BYTES
    const ZipSink* sink;
    uint64_t sent;  // bytes the sink took so far
};

namespace {

bool emit(ZipStream* stream, const void* bytes, size_t len) {
    if (len == 0) return true;
    if (!stream->sink->write(stream->sink->context, bytes, len)) return false;
    stream->sent += len;
    return true;
}

// Exactly size bytes of the file, piece by piece through the buffer, each piece handed to
// take (which may send it); *crc_out is their CRC. False when the file ends early, cannot be
// read or goes on past them, or when take refuses a piece.
template <class Take>
bool pass_over(ZipStream* stream, FsFile* in, uint64_t size, uint32_t* crc_out, Take take) {
    uint32_t crc = 0;
    for (uint64_t left = size; left > 0;) {
        size_t want = left < ZIP_PIECE_BYTES ? static_cast<size_t>(left) : ZIP_PIECE_BYTES;
        if (fill(in, stream->buffer, want) != static_cast<int64_t>(want)) return false;
        crc = crc32_update(crc, stream->buffer, want);
        if (!take(stream->buffer, want)) return false;
        left -= want;
    }
    *crc_out = crc;
    return at_end(in);
}

// Sends one entry: local header and file bytes. The CRC must stand in the header before the
// bytes, so it is computed first. A file that fits the buffer behind its header is read once
// and sent from there: the bytes sent are the bytes summed. A larger one is read twice, once
// for the CRC and once while it is sent, and the CRC is recomputed over the bytes sent, so a
// file written to between the two passes fails the archive instead of leaving a wrong CRC in
// it. Reading through memory costs a copy that sendfile would save, but only then are the
// bytes sent the bytes checked. The second read comes from the page cache unless the file
// is larger than free memory.
int send_entry(ZipStream* stream, int32_t index, uint64_t offset) {
    const ZipEntry* entry = &stream->plan->entries[index];
    const uint64_t zip64_from = stream->plan->zip64_from;
    ZipEntryFacts* facts = &stream->facts[index];
    *facts = ZipEntryFacts{};
    facts->size = entry->size;
    facts->name_len = static_cast<uint16_t>(strlen(entry->name));
    facts->offset = offset;

    FileInfo info{};
    if (!fs_stat(entry->path, &info)) return ZIP_STREAM_CHANGED;
    zip_dos_time(info.mtime, &facts->dos_date, &facts->dos_time);
    FsFileOwner in(fs_open_read(entry->path));
    uint64_t size_now = 0;
    if (!in.get() || fs_file_size(in.get(), &size_now) != 0 || size_now != entry->size)
        return ZIP_STREAM_CHANGED;

    size_t head = zip_local_header_bytes(facts, zip64_from);
    uint8_t* buffer = stream->buffer;
    if (entry->size <= ZIP_BUFFER_BYTES - head) {
        size_t len = static_cast<size_t>(entry->size);
        if (fill(in.get(), buffer + head, len) != static_cast<int64_t>(len) || !at_end(in.get()))
            return ZIP_STREAM_CHANGED;
        facts->crc = crc32_update(0, buffer + head, len);
        zip_put_local_header(buffer, facts, entry->name, zip64_from);
        return emit(stream, buffer, head + len) ? ZIP_STREAM_OK : ZIP_STREAM_SINK;
    }

    auto keep = [](const uint8_t*, size_t) { return true; };
    if (!pass_over(stream, in.get(), entry->size, &facts->crc, keep)) return ZIP_STREAM_CHANGED;
    zip_put_local_header(buffer, facts, entry->name, zip64_from);
    if (!emit(stream, buffer, head)) return ZIP_STREAM_SINK;
    if (fs_seek(in.get(), 0) != 0) return ZIP_STREAM_CHANGED;
    bool refused = false;
    auto send = [&](const uint8_t* bytes, size_t len) {
        refused = !emit(stream, bytes, len);
        return !refused;
    };
    uint32_t sent_crc = 0;
    if (!pass_over(stream, in.get(), entry->size, &sent_crc, send))
        return refused ? ZIP_STREAM_SINK : ZIP_STREAM_CHANGED;
    return sent_crc == facts->crc ? ZIP_STREAM_OK : ZIP_STREAM_CHANGED;
}

// Sends the central directory and the end records, batched through the buffer.
int send_directory(ZipStream* stream) {
    const ZipPlan* plan = stream->plan;
    // Every entry was sent with its planned size, so the directory starts where it was planned
    // and the archive ends at the announced length; this guards that promise.
    if (stream->sent != plan->directory.offset) return ZIP_STREAM_CHANGED;
    uint8_t* buffer = stream->buffer;
    size_t used = 0;
    uint64_t directory_bytes = 0;
    for (int32_t i = 0; i < plan->count; i++) {
        size_t record = zip_central_header_bytes(&stream->facts[i], plan->zip64_from);
        if (used + record > ZIP_BUFFER_BYTES) {
            if (!emit(stream, buffer, used)) return ZIP_STREAM_SINK;
            used = 0;
        }
        zip_put_central_header(buffer + used, &stream->facts[i], plan->entries[i].name,
                               plan->zip64_from);
        used += record;
        directory_bytes += record;
    }
    if (directory_bytes != plan->directory.bytes) return ZIP_STREAM_CHANGED;
    size_t end = zip_end_bytes(&plan->directory, plan->zip64_from);
    if (used + end > ZIP_BUFFER_BYTES) {
        if (!emit(stream, buffer, used)) return ZIP_STREAM_SINK;
        used = 0;
    }
    zip_put_end(buffer + used, &plan->directory, plan->zip64_from);
    return emit(stream, buffer, used + end) ? ZIP_STREAM_OK : ZIP_STREAM_SINK;
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

ZipStream* zip_stream_new(const ZipPlan* plan) {
    if (!plan || !plan->entries || plan->count <= 0) return nullptr;
    auto* stream = static_cast<ZipStream*>(calloc(1, sizeof(ZipStream)));
    if (!stream) return nullptr;
    stream->plan = plan;
    stream->facts = static_cast<ZipEntryFacts*>(
        malloc(static_cast<size_t>(plan->count) * sizeof(ZipEntryFacts)));
    stream->buffer = static_cast<uint8_t*>(malloc(ZIP_BUFFER_BYTES));
    if (!stream->facts || !stream->buffer) {
        zip_stream_free(stream);
        return nullptr;
    }
    return stream;
}

void zip_stream_free(ZipStream* stream) {
    if (!stream) return;
    free(stream->facts);
    free(stream->buffer);
    free(stream);
}

int zip_stream_send(ZipStream* stream, const ZipSink* sink) {
    stream->sink = sink;
    stream->sent = 0;
    for (int32_t i = 0; i < stream->plan->count; i++) {
        int result = send_entry(stream, i, stream->sent);
        if (result != ZIP_STREAM_OK) return result;
    }
    return send_directory(stream);
}
