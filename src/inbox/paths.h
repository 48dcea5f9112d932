#pragma once
// Inbox paths and file naming: the only place where text from a client becomes a path on
// disk, and where a received file gets its name.
//
// Relative paths (exchanged with the page, stored in files.json) are UTF-8 with '/' between
// components and relative to the configuration's inbox folder. A '\\' in text from a client
// counts as '/' on every platform. Disk paths that the system builds use the platform's
// separator (FS_SEP).
//
// Two families:
//  - strict resolution (rel_split, rel_join) for paths that must already exist: any
//    suspicious component rejects the whole path, which the caller answers as not found;
//  - lenient naming (rel_split_upload, name_sanitize, path_unique) for new files and folders:
//    each piece is cleaned rather than rejected, and a free name is found by numbering.
// Every name the lenient side produces passes the strict side unchanged, so everything the
// upload stores can be reached again through its relative path.
//
// Texts returned are malloc'ed and NUL-terminated; the caller frees them. All functions are
// reentrant; those that reach the disk through the inbox take the configuration, which is
// only read.
#include <cstddef>
#include <cstdint>

#include "base/config.h"
#include "base/fs.h"

// A client's relative path may have at most this many characters in all (UTF-8 characters as
// utf8_char_len counts them), and each of its components at most NAME_MAX_CHARS.
constexpr size_t REL_MAX_CHARS = 1024;
constexpr size_t NAME_MAX_CHARS = 160;
// A longer name keeps this many characters of its stem, then its extension.
constexpr size_t NAME_CUT_CHARS = 150;
// The file system's own limit on one name, in the units of path_name_size.
constexpr size_t NAME_MAX_SIZE = 255;
// Room kept free in a sanitised name for the "(n)" that path_unique may add.
constexpr size_t NAME_NUMBER_ROOM = 12;
// The stem buffer that path_split_ext fills; the stem is cut to one byte less.
constexpr size_t PATH_STEM_BYTES = 4096;
// What a name that sanitises to nothing is called ("unnamed file").
extern const char* const NAME_FALLBACK;

// Platform: the size of a name as the file system limits it (bytes on POSIX, UTF-16 units on
// Windows), for the first len bytes of name.
size_t path_name_size(const char* name, size_t len);

// Platform: a new copy of the path under which the file system sees one name: the path itself
// where names are compared as bytes (POSIX), upper-cased as Windows compares names. Used only
// as a key for remembering numbers, never as a path. Null when memory runs out.
char* path_name_key(const char* path);

// Platform: 1 when each of the last count components of the existing path is the entry's own
// name, 0 when the file system reached one through another of its names or the path cannot
// be checked (missing, no access). Windows resolves 8.3 short names such as SKIFFB~1, which
// would reach hidden entries (the state folder among them) under a name that does not begin
// with '.'. POSIX has no such names: always 1.
int path_is_own_name(const char* path, int count);

// Fills stem (PATH_STEM_BYTES bytes) with the name up to its extension, cut to 4095 bytes, and
// returns a pointer into name at the extension's dot, or at the terminating zero when there is
// none. The extension is the last '.' of the last component if some byte before it in that
// component is not a '.': a.tar.gz -> a.tar + .gz; .profile and ..x have none; "a." -> a + ".".
const char* path_split_ext(const char* name, char* stem);

// dir + FS_SEP + name (as fs_path_join: no doubled separator). Null only when memory runs out.
char* path_join(const char* dir, const char* name);

// True when name is a device name that Windows opens instead of a file (CON, PRN, AUX, NUL,
// COM1-9, LPT1-9, also with superscript 1-3), judged on the part before the first '.' with
// trailing spaces ignored, in any letter case: NUL, nul.txt and con.tar.gz all are.
bool name_is_reserved(const char* name);

// A safe file name from a name a browser sent (never empty): only the last component is kept;
// control bytes and "*/:<>?\\| become '_'; dots and Unicode white space are stripped from both
// ends; a reserved device name gets a leading '_'; more than 160 characters keep their first
// 150 and the extension (or the first 160 when the extension is too long for that), and a name
// too large for the file system is cut to whole characters, keeping room for a number.
// Null only when memory runs out.
char* name_sanitize(const char* name);

// True when Windows Explorer acts on a file of this name merely by showing its folder, which
// can make it contact another machine and hand over the user's login: desktop.ini, and the
// extensions .lnk, .scf, .url, .library-ms and .searchConnector-ms, compared as Windows
// compares names (any letter case; dotless i and long s count as i and s).
bool name_is_shell_active(const char* name);

// name_sanitize for a file's name: a name that Explorer would act on also gets ".txt" after it
// (x.scf -> x.scf.txt, desktop.ini -> desktop.ini.txt), since Explorer goes by the extension
// and only an extension of its own defuses it. Null only when memory runs out.
char* name_sanitize_file(const char* name);

// The numbered form of a sanitised name: stem + "(number)" + extension (a.txt -> a(2).txt),
// shortened to whole characters where needed so that it stays within NAME_MAX_CHARS and
// NAME_MAX_SIZE. Null only when memory runs out.
char* name_numbered(const char* name, int number);

enum PathMake { PATH_MAKE_FILE = 0, PATH_MAKE_DIR = 1 };

// What path_unique made. path is the new absolute path (owned); file is the new file opened
// for writing for PATH_MAKE_FILE (the caller closes it with fs_close), null for a folder;
// made_dir is 1 when a folder was created (it belongs to the request that made it).
struct PathCreated {
    char* path;
    FsFile* file;
    int made_dir;
};

// The numbers one request has used so far: for each folder and sanitised name, the last
// number path_unique created it under (0 for the name itself). Zero-filled is empty; owned by
// one request at a time; free with path_numbers_free.
struct PathNumberSlot {
    char* key;  // path_name_key of the unnumbered path; null for a free slot
    int number;
};
struct PathNumbers {
    PathNumberSlot* slots;
    size_t capacity;  // 0 or a power of two
    size_t count;
};
void path_numbers_free(PathNumbers* numbers);

// Sanitises name (name_sanitize_file for a file, name_sanitize for a folder) and creates a
// new file or folder for it inside dir, choosing the name and creating the entry in one
// step: name, then name(1), name(2) ... until an exclusive create succeeds. Two requests
// storing the same name at once therefore never share an entry, and an existing entry of any
// kind (file, folder, link) is never opened or written through. With numbers (may be null)
// the count starts after the last number this request used for the name in dir, so that K
// parts of one name cost K creates rather than K * K / 2 (the numbers below were all taken
// when the request last looked; a gap opened since then is simply not filled).
// 0 on success (out filled), -1 when memory runs out or the entry cannot be created for any
// reason other than the name being taken (missing or unwritable dir, ...); out is then zeroed.
int path_unique(const char* dir, const char* name, PathMake what, PathNumbers* numbers,
                PathCreated* out);

// path_unique for a file that is already written elsewhere on the same volume: the file at
// from is moved into dir under the sanitised name (name_sanitize_file), numbered the same way,
// by a move that never replaces an existing entry (fs_move_new). 0 on success (out->path set,
// out->file null); -1 as for path_unique, and the file then stays at from.
int path_unique_move(const char* dir, const char* name, const char* from, PathNumbers* numbers,
                     PathCreated* out);

// Strict split of a client's relative path ('\\' counts as '/'; leading and trailing slashes
// are ignored). Returns the number of components (0 for the inbox itself) and hands the
// component array to *out (left null for 0; out may be null to only count), or -1 when the path
// is rejected: more than REL_MAX_CHARS characters, or a component that after trimming Unicode
// white space is empty, starts with '.', contains ':', has more than NAME_MAX_CHARS
// characters or is a reserved device name. Components are trimmed but not otherwise changed.
// Null counts as empty.
int rel_split(const char* rel, char*** out);
// Frees the first count strings and the array; null does nothing.
void rel_free(char** components, int count);
// config->inbox_dir, then FS_SEP + component for each one; the inbox folder alone for
// count <= 0. Null when
// a component is null, empty, starts with '.', or contains '\\', '/' or ':'; when a component
// before the last names a link on disk (the system would follow it out of the inbox); when a
// component reaches an entry through another of its names (path_is_own_name); or out of
// memory. The last component may be a link: the file-system layer never follows it there,
// so it is still found, measured as nothing, and deleted as itself. Every client path reaches
// the disk through here, so no endpoint can pass through a link.
char* rel_join(const Config* config, char** components, int count);
// The relative path ('/'-separated) of a path inside config->inbox_dir; "" for the inbox
// folder itself. Null when path is null or not inside the inbox folder (a sibling such as the
// inbox folder + "2" is not inside).
char* rel_from_abs(const Config* config, const char* path);
// Lenient split of an uploaded file's relative path: '\\' counts as '/', pieces are trimmed,
// empty pieces, "." and ".." are dropped (".." never climbs), and every remaining piece is
// sanitised. Never rejects. Returns the array (null when nothing is left) and the count
// through *count; when memory runs out, the pieces so far. Free with rel_free.
char** rel_split_upload(const char* rel, int* count);
// The components joined with '/'; "" for a count of 0. New text, null only without memory.
char* rel_join_text(char* const* components, int count);
// A client path in its canonical form: components trimmed, joined with '/', no leading or
// trailing slash ("" for the inbox itself). Null when the path is refused. New text.
char* rel_normalize(const char* path);

// Owns a component array from rel_split or rel_split_upload.
struct RelComponents {
    char** items = nullptr;
    int count = 0;
    RelComponents() = default;
    RelComponents(const RelComponents&) = delete;
    RelComponents& operator=(const RelComponents&) = delete;
    ~RelComponents() {
        if (items) rel_free(items, count);
    }
};
