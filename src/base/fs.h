#pragma once
// File-system layer: the one place where paths meet the platform.
//
// Every path is UTF-8 text; the Windows half converts it to UTF-16 (in the long-path form, so
// deep trees work) for each call and frees the copy again. Results are in the system's own
// terms: UTF-8 names, seconds since 1970, 0/-1 for changes, 1/0 for tests. Nothing is cached,
// no state is shared and no lock is taken: any thread may call anything at any time.
//
// Two rules hold on every platform:
// - Links (symbolic links, junctions) are never followed. They are not files (fs_stat 0) and
//   not folders (fs_is_dir 0); the walkers neither enter nor count them; deletion removes the
//   link itself. fs_list_dir reports them with is_reparse 1.
// - Entries that are neither files, folders nor links (pipes, sockets, devices) are treated
//   as not there by fs_stat, fs_list_dir and the walkers, so nothing can block on a pipe.
//   fs_exists still sees them, so no name is handed out twice.
#include <cstddef>
#include <cstdint>

// Size and last-write time of an entry.
struct FileInfo {
    uint64_t size;  // bytes; 0 for folders
    double mtime;   // seconds since 1970-01-01 00:00 UTC, with the fraction
};

// Counters of fs_count_tree; the walker adds to them, the caller zeroes them first.
struct TreeCount {
    uint64_t files;
    uint64_t dirs;
    uint64_t bytes;
};

// Callback of fs_list_dir, once per entry. name and info are borrowed for the call only.
using FsEntryFn = void (*)(const char* name, const FileInfo* info, int is_dir, int is_reparse,
                           void* context);

// Failure codes where callers must tell failures apart.
constexpr int FS_ERR_EXISTS = -2;     // something (file, folder or link) is already there
constexpr int FS_ERR_NOT_FOUND = -3;  // a parent folder is missing

// The separator of disk paths that the system builds itself: '\\' on Windows, '/' elsewhere.
extern const char FS_SEP;
// FS_SEP as a one-character text, for formats.
extern const char FS_SEP_STR[2];

// ---- Text conversion at the platform boundary -------------------------------------------

// UTF-8 to the platform's wide text (UTF-16 on Windows, one code point per unit elsewhere).
// Returns newly allocated NUL-terminated text that the caller free()s, or null when text is
// null or the conversion or allocation fails. Invalid UTF-8 becomes U+FFFD; it never fails.
wchar_t* utf8_to_wide(const char* text);
// The inverse, with the same rules: newly allocated UTF-8 text or null.
char* wide_to_utf8(const wchar_t* wide);

// ---- Paths -------------------------------------------------------------------------------

// 1 when c separates path components on this platform ('/' everywhere, also '\\' on Windows).
int fs_is_sep(char c);
// dir, FS_SEP, name (no second separator when dir already ends with one; just name when dir
// is empty). Newly allocated; null only when memory runs out.
char* fs_path_join(const char* dir, const char* name);
// The user's temporary folder without a trailing separator (POSIX: $TMPDIR, else /tmp;
// Windows: with long names, not 8.3 short ones). Newly allocated; null on failure.
char* fs_temp_dir();
// The form in which the Windows half hands a path to the system, computed on UTF-8 so it can
// be tested anywhere: '/' becomes '\\'; an absolute path ("C:\..." or "\\server\share\...")
// gets the long-path prefix ("\\?\C:\...", "\\?\UNC\server\share\...") with empty and "."
// components dropped and ".." applied, since that form takes names literally. A path that
// already starts with "\\?\" or "\\.\" is kept as it is; any other path (relative, "\x",
// "C:x") only has its slashes turned. Newly allocated; null when path is null or memory runs
// out.
char* fs_long_path_form(const char* path);

// ---- Queries (a path that cannot be converted counts as missing) -----------------------

// 1 for an existing regular file, filling info when it is not null; 0 for folders, links,
// other entries, missing paths and every failure.
int fs_stat(const char* path, FileInfo* info);
// 1 when path is a link (symbolic link, junction); 0 otherwise.
int fs_is_reparse(const char* path);
// 1 when path is a folder and not a link to one; 0 otherwise.
int fs_is_dir(const char* path);
// 1 when anything at all is at path (a dangling link included); 0 otherwise.
int fs_exists(const char* path);
// 1 when the folder's listing holds exactly this name, 0 otherwise. Unlike fs_exists it also
// sees a name whose deletion is still pending on Windows (a deleted file that someone still
// holds open: listed, but refusing to be opened, queried or created again). A create refused
// with "access denied" asks this to tell a taken name from a folder it may not write in.
int fs_name_listed(const char* path);

// Calls fn (when not null) once per entry of the folder, one level, in the platform's order;
// "." and "..", names that cannot be converted and entries that are neither files, folders
// nor links are left out. Folders come with is_dir 1 and size 0; links with is_dir 0 and
// is_reparse 1. Returns 0 when the walk ran to its end, -1 when the folder cannot be opened
// (missing, not a folder, a link, no access). Entries added or removed meanwhile may or may
// not be reported.
int fs_list_dir(const char* folder, FsEntryFn fn, void* context);

// ---- Changes (0 success, -1 failure unless stated) -------------------------------------

// Creates one folder: 0 when created, FS_ERR_EXISTS when anything is already at path (as for
// fs_open_new), FS_ERR_NOT_FOUND when its parent is missing, -1 otherwise. The exclusive step
// for choosing unique folder names.
int fs_make_dir(const char* path);
// Creates the folder and every missing parent. Success also when something already exists
// at path (a file of that name included: the test is on "already exists" alone).
int fs_mkdirs(const char* path);
// Deletes a file or a link. When the first try fails, a read-only mark is removed (POSIX: the
// entry and its folder are made writable by their owner) and the deletion is tried once more.
// Windows deletes with POSIX semantics where the file system has them, so the name is gone at
// once even while someone (a phone streaming it, a virus scanner) still holds the file open;
// elsewhere such a name lingers until the last holder closes it (see fs_name_listed).
int fs_delete_file(const char* path);
// Removes an empty folder or a link to a folder, with the same single retry.
int fs_remove_dir(const char* path);
// Deletes the folder and everything in it, hidden names included; a link (the path itself or
// any entry inside) is removed, never entered. Returns the number of items removed (files,
// links and folders, the folder itself included); never negative. Whatever cannot be deleted
// stays, uncounted, with its folders. Iterative: any depth works on a small stack.
int fs_delete_tree(const char* path);
// Adds the files, folders and bytes under the folder to counts, leaving out names that begin
// with '.' and links (and everything below either). Nothing happens for a link or a path
// that is not a folder. Iterative like fs_delete_tree.
void fs_count_tree(const char* path, TreeCount* counts);
// Moves a file, replacing an existing file at the target. No copy across volumes.
int fs_move(const char* from, const char* to);
// Moves a file to a name that nothing holds yet, never replacing what is there: 0 when moved,
// FS_ERR_EXISTS when anything (file, folder, link) is already at `to`, -1 otherwise (the file
// then stays where it was). The exclusive step for placing a finished file under a unique
// name. No copy across volumes.
int fs_move_new(const char* from, const char* to);
// The bytes this user may still write on the volume that holds path (a folder or file):
// 0 with *bytes set, or -1.
int fs_free_space(const char* path, uint64_t* bytes);

// ---- Files -------------------------------------------------------------------------------
// An open file. Reads and writes go straight to the system (no buffering: batch small writes
// yourself); sizes and offsets are 64-bit. Windows opens every file with read, write and
// delete sharing, so readers never block a replacing move or a deletion (as on POSIX). An
// open or deletion that another program refuses with a sharing violation is tried again for
// about a second in all per thread (one thread serves one request), then fails.

struct FsFile;

// Opens an existing regular file for reading; null when missing, not a regular file, a link,
// or not openable. Starts at offset 0.
FsFile* fs_open_read(const char* path);
// Creates or truncates a file for writing; null on failure (also when path is a link or a
// folder).
FsFile* fs_open_write(const char* path);
// Opens an existing regular file for writing without truncating it, at offset 0; null when
// missing, not a regular file, a link, or not openable.
FsFile* fs_open_existing(const char* path);
// Creates a new file for writing, never touching an existing entry: 0 and *out set when
// created; FS_ERR_EXISTS when anything is already at path (also a create refused for a name
// that fs_name_listed sees, such as one whose deletion is pending); FS_ERR_NOT_FOUND when the
// folder is missing; -1 otherwise. The exclusive step for choosing unique file names.
int fs_open_new(const char* path, FsFile** out);
// Reads up to n bytes at the current offset. Returns the count read, fewer than n only at the
// end of the file (0 there), or -1 on failure.
int64_t fs_read(FsFile* file, void* buffer, size_t n);
// Writes all n bytes at the current offset: 0, or -1 when not all were written (disk full,
// I/O error); the file may then hold a part of them.
int fs_write_all(FsFile* file, const void* bytes, size_t n);
// Moves the offset to an absolute position: 0 / -1.
int fs_seek(FsFile* file, uint64_t offset);
// The file's current size: 0 with *size set, or -1.
int fs_file_size(FsFile* file, uint64_t* size);
// Cuts the file to size bytes (or extends it with zeros); the offset is not moved: 0 / -1.
int fs_set_size(FsFile* file, uint64_t size);
// Forces the written data onto the disk before returning: 0 / -1.
int fs_sync(FsFile* file);
// Closes the file and frees the handle (null does nothing and gives 0). -1 when the system
// reports a failure while closing: written data may then be lost.
int fs_close(FsFile* file);
// Deletes a file opened by fs_open_write or fs_open_new at path and closes it. Windows marks
// it for deletion through its own handle before closing, so a half-written file goes even
// when a deletion by name would be refused; POSIX removes the name, then closes. 0 when the
// file is gone (or will be once its last holder closes it), -1 when it stays. The handle is
// closed and freed in every case; null does nothing and gives 0.
int fs_discard(FsFile* file, const char* path);
// The system's handle for platform code (a file descriptor on POSIX, a HANDLE on Windows).
intptr_t fs_native_handle(FsFile* file);

// RAII owner: closes the file when the scope ends unless it was closed or released earlier.
struct FsFileOwner {
    FsFile* file = nullptr;
    FsFileOwner() = default;
    explicit FsFileOwner(FsFile* f) : file(f) {}
    FsFileOwner(const FsFileOwner&) = delete;
    FsFileOwner& operator=(const FsFileOwner&) = delete;
    ~FsFileOwner() { fs_close(file); }
    FsFile* get() const { return file; }
    // Closes now and reports the result of fs_close.
    int close() {
        int result = fs_close(file);
        file = nullptr;
        return result;
    }
};

// ---- Fault injection for tests ---------------------------------------------------------
// A test can make one operation fail the way the system would, where a fault matters:
// fs_fault_arm(kind, skip) lets `skip` operations of that kind pass and fails the next one,
// once; fs_fault_arm_always(kind) fails every one until the reset, as a file system that
// lacks a feature does. Unarmed, the hooks cost one atomic load.

enum FsFault : int {
    FS_FAULT_WRITE_FULL,   // fs_write_all writes nothing and fails (disk full)
    FS_FAULT_WRITE_SHORT,  // fs_write_all writes half of the bytes and fails
    FS_FAULT_SYNC,         // fs_sync fails
    FS_FAULT_CLOSE,        // fs_close closes the file but reports failure
    FS_FAULT_MOVE,         // fs_move fails without moving
    FS_FAULT_OPEN_READ,    // fs_open_read is refused as when access is denied
    // fs_open_new and fs_make_dir meet a name whose deletion is pending: the create is refused
    // with "access denied", as Windows answers, whatever the folder's listing shows.
    FS_FAULT_DELETE_PENDING,
    // Windows only, each as real Windows answers:
    FS_FAULT_TAG_QUERY,     // the attribute-and-tag query of an open file fails with
                            // ERROR_INVALID_PARAMETER, as FAT32 and exFAT answer it
    FS_FAULT_POSIX_DELETE,  // a delete with POSIX semantics fails with ERROR_INVALID_PARAMETER,
                            // as before Windows 10 1607 and on FAT and network drives
    FS_FAULT_SHARING,       // an open meets ERROR_SHARING_VIOLATION (another program holds
                            // the file without sharing)
    FS_FAULT_KINDS
};

void fs_fault_arm(FsFault fault, int skip);
void fs_fault_arm_always(FsFault fault);
// Exclusive creates tried so far by fs_open_new and fs_make_dir, whatever their result: tests
// count the work of finding a free name with it.
int64_t fs_create_attempts();
// For the platform halves: counts one attempt.
void fs_count_create_attempt();
// Disarms every fault.
void fs_fault_reset();
// For the platform halves: 1 when an armed fault of this kind fires now, else 0.
int fs_fault_fire(FsFault fault);
