#pragma once
// Listing one inbox folder for the page, the extension-to-MIME table, the file kinds the page
// picks icons and previews by, and the cached usage summary of the whole inbox.
#include <cstddef>
#include <cstdint>

#include "base/strbuf.h"
#include "http/sock.h"

// Names of this many bytes or more are left out of a listing.
constexpr size_t LIST_NAME_MAX_BYTES = 1024;
constexpr size_t MIME_EXT_BYTES = 64;
// The cached usage is counted again at the latest this long after it was counted, so files
// dropped into the inbox from the desktop show up within a minute.
constexpr double USAGE_MAX_AGE_SECONDS = 60.0;

// One visible entry of a folder. name is owned by the entry (freed by list_free).
struct ListEntry {
    char* name;
    uint64_t size;  // 0 for folders
    double mtime;   // seconds since 1970, UTC
    int is_dir;
};

// Writes into ext the extension of the last component of name (after the last '/' or '\\'):
// from its last '.' on, dot included, 'A'-'Z' lowered, cut to 63 bytes; "" when that
// component has no '.'. A component that begins with a dot is all extension (".bashrc").
void mime_extension(const char* name, char ext[MIME_EXT_BYTES]);
// The MIME type for the name's extension, or "application/octet-stream". Static text.
const char* mime_for_name(const char* name);
// The kind the page shows for a file: "image", "video", "audio", "pdf", "archive", "doc",
// "sheet", "slide", "text" or "file". Static text.
const char* file_kind(const char* name, const char* mime);

// The components joined with '/'; "" for a count of 0. New text, null only without memory.
char* rel_join_text(char* const* components, int count);
// A client path in its canonical form: components trimmed, joined with '/', no leading or
// trailing slash ("" for the inbox itself). Null when the path is refused. New text.
char* rel_normalize(const char* path);

// The visible entries of a folder (no dot names, no links, no names of
// LIST_NAME_MAX_BYTES or more) in listing order. *count_out receives their number. Returns a
// new array to free with list_free; null (count 0) for an empty or unreadable folder or when
// memory runs out.
ListEntry* list_scan(const char* folder, size_t* count_out);
void list_free(ListEntry* entries, size_t count);
// Puts entries in listing order: folders first, by name in ascending byte order; then files,
// newest first. Entries that compare equal keep their order.
void list_sort(ListEntry* entries, size_t count);
// Appends the JSON array of the entries of the inbox folder dir (a client path) to sb.
// 0 on success; -1 when dir is refused or is not an existing folder (nothing appended).
int list_folder_json(StrBuf* sb, const char* dir);

// The inbox's visible file count and byte total, from the cache when it is current (no
// change since it was counted, and counted less than USAGE_MAX_AGE_SECONDS ago), else
// counted afresh. Either output may be null.
void usage_get(uint64_t* count_out, uint64_t* bytes_out);
// usage_get with the reading of a monotonic clock (seconds) given by the caller.
void usage_get_at(double now_seconds, uint64_t* count_out, uint64_t* bytes_out);
// Marks the cached totals stale; called after every change the system makes to the inbox.
void usage_invalidate(void);

// GET/HEAD "/api/files": the listing of the folder in the query parameter "dir" with the
// inbox usage; 404 "文件夹不存在" when there is no such folder. query is the undecoded query
// text (may be empty).
void list_handle_files(SockHandle socket, const char* query);
