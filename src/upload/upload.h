#pragma once
// The upload endpoint: streams the file parts of one multipart request straight to disk,
// rebuilding the sent folder trees inside the target folder.
//
// A top-level folder whose name is taken gets a numbered name for the whole tree (photos
// becomes photos(1)); inside one request every file of that folder lands in the same tree.
// Names are chosen and created in one step, so two requests never write into one file or
// share one numbered folder. An interrupted request leaves nothing behind: its files are
// deleted and the folders it created are removed.
#include <cstddef>
#include <cstdint>
#include "base/config.h"
#include "base/fs.h"
#include "base/strbuf.h"
#include "upload/multipart.h"

constexpr size_t UPLOAD_PATH_BYTES = 4096;

// One stored file, owned by the context's array.
struct UploadedFile {
    FsFile* file;    // the destination, open for writing; null once closed
    char* path;      // absolute path (owned)
    char* rel_path;  // path relative to the inbox folder, '/'-separated (owned)
    uint64_t size;   // bytes written so far
    MpSink sink;     // upload_write / upload_close with this record as context
    int failed;      // a write or the final flush failed: the bytes on disk are not all there
};

// Where the request's files go, and what it created on the way.
struct UploadTarget {
    const Config* config;                // the configuration whose inbox receives the upload
    char target_dir[UPLOAD_PATH_BYTES];  // absolute folder receiving the upload
    char** sent_names;                   // top-level folder names as sent (sanitised)
    char** used_names;                   // the name used for each, parallel to sent_names
    int32_t map_count;
    char** created_dirs;  // absolute paths of the folders this request created, in order
    int32_t created_count;
};

// Everything one request keeps; zero-filled at its start, on the connection's own thread.
struct UploadContext {
    UploadedFile** files;
    int32_t file_count;
    uint32_t file_capacity;  // 8 at the first file, then doubled
    UploadTarget target;
};

// The body of one upload request: read returns the next bytes of the source (0 or less at the
// end or on failure); content_type is the request's Content-Type header (null when absent).
struct UploadBody {
    MpReadFn read;
    void* source;
    int64_t length;
    const char* content_type;
};

// Results of upload_store.
constexpr int UPLOAD_STORED = 0;         // every file kept; answer holds the success object
constexpr int UPLOAD_NO_FOLDER = -1;     // dir is refused or not a folder; the body is unread
constexpr int UPLOAD_NOT_MULTIPART = -2;  // not a multipart body; nothing kept
constexpr int UPLOAD_INTERRUPTED = -3;   // the body ended early or a write failed; nothing kept
constexpr int UPLOAD_NO_FILE = -4;       // a whole body without any file part

// Stores the file parts of a multipart body in the folder dir (a client path, empty for the
// inbox itself) of config's inbox, recording device as their sender and writing the console
// line. On UPLOAD_STORED appends {"ok": true, "files": [{"name", "size"}, ...]} to answer.
int upload_store(const Config* config, const char* dir, const UploadBody* body, const char* device,
                 StrBuf* answer);

// The parser's open callback (context is the UploadContext). A part with a file name gets a
// newly created file and its record's sink; null (content thrown away) for a part without a
// file name or one that cannot be stored, which then leaves nothing on disk.
MpSink* upload_open_part(void* context, const char* field_name, const char* file_name,
                         const char* content_type);
// A record's sink: 0 when all bytes were written, 1 otherwise (the record is then failed).
int upload_write(void* record, const char* bytes, size_t length);
// Closes the record's file; a failed flush marks the record failed.
void upload_close(void* record);

// Sets the target to config's inbox and the folder that the relative path dir names in it
// (empty: the inbox itself), with nothing in its folder map. 0, or -1 when dir is refused or
// is not an existing folder.
int upload_resolve_dir(const Config* config, UploadTarget* target, const char* dir);
// Chooses and creates the file for a part's file name (a relative path as the browser sent
// it), creating and recording missing folders. Returns the new absolute path (the caller
// frees it) with the open file in *file_out, or null with nothing created when the part cannot
// be stored.
char* upload_target_path(UploadTarget* target, const char* file_name, FsFile** file_out);
// Appends a copy of path to the created folders.
void upload_record_dir(UploadTarget* target, const char* path);

// Closes every record's file if still open and deletes it.
void upload_discard_files(UploadContext* context);
// Removes the created folders newest first; a folder that is not empty stays.
void upload_remove_created_dirs(UploadTarget* target);
// Frees the folder map and the list of created folders.
void upload_free_target(UploadTarget* target);
// Frees every record and the array; files on disk are not touched.
void upload_free_files(UploadContext* context);
