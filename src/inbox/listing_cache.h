#pragma once
// Recent folder listings kept for the page's frequent polls: a listing is made again only
// when the inbox has changed through this process since it was made (the change counter,
// usage_generation), or when it is older than LIST_CACHE_MAX_AGE_SECONDS, the delay within
// which changes made on the PC outside the server show up. A folder's modification time is
// no key: it does not change when a file in it grows or is edited, and FAT keeps it to 2 s.
#include <cstddef>

#include "base/config.h"
#include "base/strbuf.h"

constexpr double LIST_CACHE_MAX_AGE_SECONDS = 0.5;
// Listings of this many folders (of any inbox) are kept; the oldest made goes first.
constexpr size_t LIST_CACHE_ENTRIES = 16;
// A listing longer than this is never kept, so the cache holds at most 16 of these.
constexpr size_t LIST_CACHE_MAX_LISTING_BYTES = 8u << 20;

// list_folder_json through the cache: appends to sb exactly what list_folder_json would
// append for config's inbox and dir, and returns its result. Only successful listings are
// kept.
int list_folder_json_cached(const Config* config, StrBuf* sb, const char* dir);
// The same with the reading of a monotonic clock (seconds) given by the caller.
int list_folder_json_cached_at(const Config* config, double now_seconds, StrBuf* sb,
                               const char* dir);
