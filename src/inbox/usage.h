#pragma once
// The cached usage summary of the whole inbox: how many visible files it holds and their bytes.
// The cache is one for the process and holds the count of one inbox: every caller passes the
// configuration of that same inbox, whose folder a recount walks.
#include <cstdint>

#include "base/config.h"
#include "base/strbuf.h"

// The cached usage is counted again at the latest this long after it was counted, so files
// dropped into the inbox from the desktop show up within a minute.
constexpr double USAGE_MAX_AGE_SECONDS = 60.0;
// Past this total the page and the console suggest deleting what is no longer needed.
constexpr uint64_t USAGE_WARN_BYTES = 5368709120ull;  // 5 GiB

// The inbox's visible file count and byte total, from the cache when it is current (no
// change since it was counted, and counted less than USAGE_MAX_AGE_SECONDS ago), else
// counted afresh. Either output may be null.
void usage_get(const Config* config, uint64_t* count_out, uint64_t* bytes_out);
// usage_get with the reading of a monotonic clock (seconds) given by the caller.
void usage_get_at(const Config* config, double now_seconds, uint64_t* count_out,
                  uint64_t* bytes_out);
// Marks the cached totals stale; called after every change the system makes to the inbox
// (files stored, placed or removed, folders made or removed, sender records changed), before
// the change is answered.
void usage_invalidate(void);
// The inbox's change counter: how many times usage_invalidate has run. Anything cached from
// the inbox is current while this is unchanged (and the cache is young enough for changes
// made outside the system).
int64_t usage_generation(void);
// Where the console's warning past USAGE_WARN_BYTES goes: after the totals on the same line
// (deletions), or on a line of its own below them (uploads).
enum UsageWarning { USAGE_WARN_SAME_LINE, USAGE_WARN_OWN_LINE };
// Appends the console's usage piece, "  ·  现在 N 个文件，X MB", and the warning past 5 GiB.
void usage_append_line(const Config* config, StrBuf* sb, UsageWarning warning);
