#include "inbox/listing_cache.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "inbox/listing.h"
#include "inbox/usage.h"

namespace {

struct CachedListing {
    std::string key;  // inbox folder, a NUL, the client's folder path
    int64_t generation = -1;
    double made_at = 0;
    uint64_t made_order = 0;  // which listing was made before which, also at equal times
    std::shared_ptr<const std::string> json;
};

struct ListingCache {
    std::mutex mutex;
    CachedListing slots[LIST_CACHE_ENTRIES];
    uint64_t listings_made = 0;
};

// Never destroyed: a connection thread may still list while the process exits.
ListingCache& listing_cache() {
    static ListingCache* cache = new ListingCache;
    return *cache;
}

std::string cache_key(const Config* config, const char* dir) {
    std::string key = config->inbox_dir;
    key.push_back('\0');
    key += dir;
    return key;
}

bool is_current(const CachedListing& slot, int64_t generation, double now_seconds) {
    return slot.json && slot.generation == generation && now_seconds >= slot.made_at &&
           now_seconds - slot.made_at < LIST_CACHE_MAX_AGE_SECONDS;
}

std::shared_ptr<const std::string> lookup(const std::string& key, int64_t generation,
                                          double now_seconds) {
    ListingCache& cache = listing_cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    for (const CachedListing& slot : cache.slots)
        if (slot.key == key && is_current(slot, generation, now_seconds)) return slot.json;
    return nullptr;
}

// Keeps a listing made at generation: in the slot of the same key, else an empty one, else
// the one made longest ago.
void store(std::string key, int64_t generation, double now_seconds, std::string json) {
    auto shared = std::make_shared<const std::string>(std::move(json));
    ListingCache& cache = listing_cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    CachedListing* target = &cache.slots[0];
    for (CachedListing& slot : cache.slots) {
        if (slot.key == key) {
            target = &slot;
            break;
        }
        if (!target->json) continue;
        if (!slot.json || slot.made_order < target->made_order) target = &slot;
    }
    target->key = std::move(key);
    target->generation = generation;
    target->made_at = now_seconds;
    target->made_order = ++cache.listings_made;
    target->json = std::move(shared);
}

}  // namespace

int list_folder_json_cached(const Config* config, StrBuf* sb, const char* dir) {
    return list_folder_json_cached_at(config, clock_monotonic_seconds(), sb, dir);
}

int list_folder_json_cached_at(const Config* config, double now_seconds, StrBuf* sb,
                               const char* dir) {
    std::string key = cache_key(config, dir);
    // Read before listing: a change that lands while the folder is read leaves this listing
    // under the older count, so the next request makes it again.
    int64_t generation = usage_generation();
    if (std::shared_ptr<const std::string> kept = lookup(key, generation, now_seconds))
        return sb_append(sb, kept->data(), kept->size()) == 0 ? 0 : -1;

    // Listed straight into sb (a long listing is never copied); what it appended is kept.
    size_t start = sb->len;
    if (list_folder_json(config, sb, dir) != 0) return -1;
    size_t made = sb->len - start;
    if (!sb->failed && made <= LIST_CACHE_MAX_LISTING_BYTES)
        store(std::move(key), generation, now_seconds, std::string(sb->data + start, made));
    return 0;
}
