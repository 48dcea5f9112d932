// Download addresses of selections: the table of ids and the selections they stand for.
#include "zip/zip_links.h"

#include <cstdlib>
#include <cstring>

#include "base/random.h"
#include "zip/zip.h"

namespace {

constexpr const char* LIFETIME_VARIABLE = "SKIFFBOX_TEST_ZIP_LINK_SECONDS";
constexpr long LONGEST_TEST_LIFETIME_SECONDS = ZIP_LINK_LIFETIME_MS / 1000;

int64_t lifetime_from_environment() {
    const char* text = getenv(LIFETIME_VARIABLE);
    if (!text || !text[0]) return ZIP_LINK_LIFETIME_MS;
    char* end = nullptr;
    long seconds = strtol(text, &end, 10);
    if (*end || seconds < 1 || seconds > LONGEST_TEST_LIFETIME_SECONDS) return ZIP_LINK_LIFETIME_MS;
    return int64_t{seconds} * 1000;
}

// Exactly ZIP_LINK_ID_CHARS lower-case hex digits; nothing past the first other byte is read.
bool is_id(const char* text) {
    return random_is_hex(text, ZIP_LINK_ID_CHARS) && text[ZIP_LINK_ID_CHARS] == 0;
}

bool in_use(const ZipLink* link) {
    return link->id[0] != 0;
}

bool expired(const ZipLinkTable* table, const ZipLink* link, int64_t now_ms) {
    return now_ms - link->created_ms >= table->lifetime_ms;
}

// Frees the slot. Locked by the caller.
void drop(ZipLinkTable* table, ZipLink* link) {
    free(link->names);
    table->names_bytes -= link->names_bytes;
    *link = ZipLink{};
}

// The oldest link in use, or null when there is none. Locked by the caller.
ZipLink* oldest(ZipLinkTable* table) {
    ZipLink* found = nullptr;
    for (ZipLink& link : table->links) {
        if (in_use(&link) && (!found || link.serial < found->serial)) found = &link;
    }
    return found;
}

// A free slot once expired links are gone and the oldest ones have made room for bytes more
// of paths. Locked by the caller; never null when bytes is within the limit.
ZipLink* make_room(ZipLinkTable* table, size_t bytes, int64_t now_ms) {
    for (ZipLink& link : table->links) {
        if (in_use(&link) && expired(table, &link, now_ms)) drop(table, &link);
    }
    while (table->names_bytes > ZIP_LINK_MAX_NAME_BYTES - bytes) drop(table, oldest(table));
    for (ZipLink& link : table->links) {
        if (!in_use(&link)) return &link;
    }
    ZipLink* gives_way = oldest(table);
    drop(table, gives_way);
    return gives_way;
}

// The paths one after the other, each with its terminator, in one new block; null when
// memory runs out or they exceed the limit.
char* pack_names(const char* const* names, int count, size_t* bytes_out) {
    size_t bytes = 0;
    for (int i = 0; i < count; i++) {
        bytes += strlen(names[i]) + 1;
        if (bytes > ZIP_LINK_MAX_NAME_BYTES) return nullptr;
    }
    char* block = static_cast<char*>(malloc(bytes ? bytes : 1));
    if (!block) return nullptr;
    char* at = block;
    for (int i = 0; i < count; i++) {
        size_t len = strlen(names[i]) + 1;
        memcpy(at, names[i], len);
        at += len;
    }
    *bytes_out = bytes;
    return block;
}

// New copies of the link's paths, as zip_form_names hands them out; 0, or -1 when memory
// runs out (nothing is returned then).
int unpack_names(const ZipLink* link, char*** names_out) {
    *names_out = nullptr;
    if (link->name_count == 0) return 0;
    auto** names =
        static_cast<char**>(calloc(static_cast<size_t>(link->name_count), sizeof(char*)));
    if (!names) return -1;
    const char* at = link->names;
    for (int i = 0; i < link->name_count; i++) {
        size_t len = strlen(at) + 1;
        names[i] = static_cast<char*>(malloc(len));
        if (!names[i]) {
            zip_names_free(names, i);
            return -1;
        }
        memcpy(names[i], at, len);
        at += len;
    }
    *names_out = names;
    return 0;
}

}  // namespace

ZipLinkTable::~ZipLinkTable() {
    for (ZipLink& link : links) free(link.names);
}

ZipLinkTable* zip_links() {
    // Never destroyed: a connection thread may still ask for an address while the process
    // runs its exit-time destructors.
    static ZipLinkTable* table = new ZipLinkTable(lifetime_from_environment());
    return table;
}

int zip_link_add(ZipLinkTable* table, const char* const* names, int count, const char* owner,
                 int64_t now_ms, char id_out[ZIP_LINK_ID_CHARS + 1]) {
    id_out[0] = 0;
    if (!owner) owner = "";
    if (strlen(owner) > static_cast<size_t>(ZIP_LINK_OWNER_CHARS)) return ZIP_LINK_BAD_OWNER;
    // Made before the lock: the system's source may take its time.
    char id[ZIP_LINK_ID_CHARS + 1];
    if (random_hex(id, ZIP_LINK_ID_BYTES) != 0) return ZIP_LINK_NO_RANDOM;
    size_t bytes = 0;
    char* block = pack_names(names, count, &bytes);
    if (!block) return ZIP_LINK_NO_MEMORY;

    std::lock_guard<std::mutex> lock(table->mutex);
    ZipLink* link = make_room(table, bytes, now_ms);
    memcpy(link->id, id, sizeof id);
    memcpy(link->owner, owner, strlen(owner) + 1);
    link->created_ms = now_ms;
    link->serial = ++table->serial;
    link->names = block;
    link->names_bytes = bytes;
    link->name_count = count;
    table->names_bytes += bytes;
    memcpy(id_out, id, sizeof id);
    return ZIP_LINK_OK;
}

int zip_link_find(ZipLinkTable* table, const char* id, const char* owner, int64_t now_ms,
                  char*** names_out, int* count_out) {
    *names_out = nullptr;
    *count_out = 0;
    if (!id || !is_id(id)) return ZIP_LINK_UNKNOWN;
    if (!owner) owner = "";

    std::lock_guard<std::mutex> lock(table->mutex);
    ZipLink* found = nullptr;
    for (ZipLink& link : table->links) {
        if (in_use(&link) && random_secret_equal(link.id, id, ZIP_LINK_ID_CHARS, false))
            found = &link;
    }
    if (!found || strcmp(found->owner, owner) != 0) return ZIP_LINK_UNKNOWN;
    if (expired(table, found, now_ms)) {
        drop(table, found);
        return ZIP_LINK_UNKNOWN;
    }
    if (unpack_names(found, names_out) != 0) return ZIP_LINK_FIND_NO_MEMORY;
    *count_out = found->name_count;
    return ZIP_LINK_FOUND;
}
