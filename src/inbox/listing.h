#pragma once
// Listing one inbox folder for the page.
#include <cstddef>
#include <cstdint>

#include "base/config.h"
#include "base/strbuf.h"

// Names of this many bytes or more are left out of a listing.
constexpr size_t LIST_NAME_MAX_BYTES = 1024;

// One visible entry of a folder. name is owned by the entry (freed by list_free).
struct ListEntry {
    char* name;
    uint64_t size;  // 0 for folders
    double mtime;   // seconds since 1970, UTC
    int is_dir;
};

// The visible entries of a folder (no dot names, no links, no names of
// LIST_NAME_MAX_BYTES or more) in listing order. *count_out receives their number. Returns a
// new array to free with list_free; null (count 0) for an empty or unreadable folder or when
// memory runs out.
ListEntry* list_scan(const char* folder, size_t* count_out);
void list_free(ListEntry* entries, size_t count);
// Puts entries in listing order: folders first, by name in ascending byte order; then files,
// newest first. Entries that compare equal keep their order.
void list_sort(ListEntry* entries, size_t count);
// Appends the JSON array of the entries of the folder dir (a client path) of config's inbox
// to sb. 0 on success; -1 when dir is refused or is not an existing folder (nothing appended).
int list_folder_json(const Config* config, StrBuf* sb, const char* dir);
