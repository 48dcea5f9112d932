#pragma once
// Storing an upload: streams the file parts of one multipart request straight to disk,
// rebuilding the sent folder trees inside the target folder.
//
// A top-level folder whose name is taken gets a numbered name for the whole tree (photos
// becomes photos(1)); inside one request every file of that folder lands in the same tree.
// Names are chosen and created in one step, so two requests never write into one file or
// share one numbered folder; numbering a name again goes on from the request's last number
// for it. A file that Windows Explorer would act on when showing the folder (desktop.ini,
// .lnk, .scf, .url, ...) is stored with ".txt" after its name, and the answer reports that
// name. An interrupted request leaves nothing behind: its files are
// deleted and the folders it created are removed.
#include <cstddef>
#include <cstdint>
#include "base/config.h"
#include "base/fs.h"
#include "base/strbuf.h"
#include "inbox/paths.h"
#include "upload/multipart.h"

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

// ---- Placing files by the rules of an upload ----------------------------------------------
// The naming rules above, for callers that store files of their own (resumable uploads): the
// target folder, the folder map of sent top-level folders, unique names chosen and made in
// one step, names that could not be read back refused.

constexpr size_t UPLOAD_PATH_BYTES = 4096;

// Where the request's files go, and what it created on the way.
struct UploadTarget {
    const Config* config;                // the configuration whose inbox receives the upload
    char target_dir[UPLOAD_PATH_BYTES];  // absolute folder receiving the upload
    char** sent_names;                   // top-level folder names as sent (sanitised)
    char** used_names;                   // the name used for each, parallel to sent_names
    int32_t map_count;
    char** created_dirs;  // absolute paths of the folders this request created, in order
    int32_t created_count;
    PathNumbers numbers;  // the last number used for each name, so numbering goes on from it
};

// What to do with a target folder that is not there.
enum UploadDirMode {
    UPLOAD_DIR_EXISTING,  // refuse it
    UPLOAD_DIR_RECREATE,  // create it again (with its missing parents) when dir is allowed
};
// Sets the target to config's inbox and the folder that the relative path dir names in it
// (empty: the inbox itself), with nothing in its folder map. 0, or -1 when dir is refused or
// is not (and, with UPLOAD_DIR_RECREATE, cannot be made) a folder. Free with
// upload_target_free in either case.
int upload_target_open(const Config* config, const char* dir, UploadDirMode mode,
                       UploadTarget* target);
// Adds the choice "the sent top-level folder sent is stored as used" to the folder map, so
// that files placed afterwards go into that folder (made again if it is gone). 0 or -1.
int upload_target_map_folder(UploadTarget* target, const char* sent, const char* used);
// True when a file of this name (a relative path as a browser sends it) can be stored in the
// target and read back under the name it would get before any numbering.
bool upload_target_accepts(const UploadTarget* target, const char* file_name);
// Chooses the file for a file name (a relative path as the browser sent it) and makes it,
// creating and recording missing folders, mapping its top-level folder at its first file
// (numbered when the name is taken). With from null a new empty file is created and left open
// in *file_out; otherwise the file at from is moved there by a move that never replaces
// (*file_out null). Returns the new absolute path (the caller frees it), or null with nothing
// left behind (a moved file back at from) when the file cannot be stored.
char* upload_target_place(UploadTarget* target, const char* file_name, const char* from,
                          FsFile** file_out);
// Frees the folder map, the list of created folders and the numbers; disk is not touched.
void upload_target_free(UploadTarget* target);
// The console line of stored files: "  收到 N 个文件" with the inbox's usage after it, and a
// second line saying so when their senders could not be recorded (files.json unreadable);
// with stored 0 only that second line.
void upload_console_line(const Config* config, int stored, bool sender_recorded);
