#include "inbox/usage.h"

#include <atomic>
#include <mutex>

#include "base/clock.h"
#include "base/config.h"
#include "base/fs.h"
#include "inbox/meta.h"

namespace {

// The cache, guarded by MetaLock. The counter is also read without the lock, by caches of
// their own (usage_generation).
std::atomic<int64_t> UsageGeneration{0};
int64_t UsageCachedGeneration = -1;  // -1: never counted, so the first read counts
double UsageCountedAt = 0;
bool UsageRefreshing = false;  // a recount of a merely aged cache is under way
uint64_t UsageFiles = 0;
uint64_t UsageBytes = 0;

void copy_usage(uint64_t* count_out, uint64_t* bytes_out) {
    if (count_out) *count_out = UsageFiles;
    if (bytes_out) *bytes_out = UsageBytes;
}

}  // namespace

void usage_get(const Config* config, uint64_t* count_out, uint64_t* bytes_out) {
    usage_get_at(config, clock_monotonic_seconds(), count_out, bytes_out);
}

void usage_get_at(const Config* config, double now_seconds, uint64_t* count_out,
                  uint64_t* bytes_out) {
    int64_t generation;
    bool aged_only;
    {
        std::lock_guard<std::mutex> hold(MetaLock);
        generation = UsageGeneration;
        bool fresh =
            now_seconds - UsageCountedAt < USAGE_MAX_AGE_SECONDS && now_seconds >= UsageCountedAt;
        aged_only = generation == UsageCachedGeneration;
        // Nothing changed through the system: the cache stands while it is young, and while
        // another reader is already recounting an aged one.
        if (aged_only && (fresh || UsageRefreshing)) {
            copy_usage(count_out, bytes_out);
            return;
        }
        if (aged_only) UsageRefreshing = true;
    }

    // The walk runs without the lock; the generation check below keeps a walk that overlapped
    // a change from overwriting the cache with a stale count.
    TreeCount counted{};
    fs_count_tree(config->inbox_dir, &counted);

    std::lock_guard<std::mutex> hold(MetaLock);
    if (aged_only) UsageRefreshing = false;
    if (UsageGeneration == generation) {
        UsageCachedGeneration = generation;
        UsageCountedAt = now_seconds;
        UsageFiles = counted.files;
        UsageBytes = counted.bytes;
    }
    copy_usage(count_out, bytes_out);
}

void usage_invalidate(void) {
    std::lock_guard<std::mutex> hold(MetaLock);
    UsageGeneration++;
}

int64_t usage_generation(void) {
    return UsageGeneration.load();
}

void usage_append_line(const Config* config, StrBuf* sb, UsageWarning warning) {
    uint64_t files = 0, bytes = 0;
    usage_get(config, &files, &bytes);
    sb_appendf(sb, "  ·  现在 %llu 个文件，%.1f MB", static_cast<unsigned long long>(files),
               static_cast<double>(bytes) / 1048576.0);
    if (bytes < USAGE_WARN_BYTES) return;
    if (warning == USAGE_WARN_OWN_LINE)
        sb_append_str(sb, "\n  [!!] 收件箱已经超过 5 GB，不用的文件记得在网页上删掉");
    else
        sb_append_str(sb, "   [!!] 已经超过 5 GB，不用的文件记得在网页上删掉");
}
