#pragma once
// Download addresses of selections: a selection of the inbox's paths is kept under a random
// id, so that its archive can be fetched by GET ("/zip?id=...") as often as a browser or a
// download manager asks for it again, which a form post cannot be. The table keeps only the
// selected paths; each fetch expands and packs them afresh.
//
// An id is ZIP_LINK_ID_BYTES bytes from the system's random source (base/random.h), written
// as lower-case hex. It belongs to an owner, an opaque text the caller gives (the session
// that made it, or the empty text when there are no sessions): only the same owner finds it
// again. It lives ZIP_LINK_LIFETIME_MS from its making; the table holds at most
// ZIP_LINK_MAX ids and ZIP_LINK_MAX_NAME_BYTES of paths, and the oldest ids give way to new
// ones, so that repeated requests cannot fill the memory.
//
// Times are milliseconds of a monotonic clock, given by the caller (tests pass their own).
// The process's table takes its lifetime from the environment variable
// SKIFFBOX_TEST_ZIP_LINK_SECONDS when it holds a whole number from 1 to 600, read once at
// the table's first use, so that tests can watch ids expire; otherwise ZIP_LINK_LIFETIME_MS.
//
// Thread safety: every zip_link_ function locks the table's mutex for its call.
#include <cstddef>
#include <cstdint>
#include <mutex>

constexpr int ZIP_LINK_ID_BYTES = 16;
constexpr int ZIP_LINK_ID_CHARS = 2 * ZIP_LINK_ID_BYTES;
constexpr int ZIP_LINK_OWNER_CHARS = 32;  // the longest owner text
constexpr int ZIP_LINK_MAX = 64;
constexpr int64_t ZIP_LINK_LIFETIME_MS = 10 * 60 * 1000;
// The paths of all kept selections together, terminators included: as much as the largest
// form body a selection arrives in, so that any selection fits, alone if need be.
constexpr size_t ZIP_LINK_MAX_NAME_BYTES = size_t{64} * 1024 * 1024;

// One kept selection; a slot whose id is empty is free.
struct ZipLink {
    char id[ZIP_LINK_ID_CHARS + 1];
    char owner[ZIP_LINK_OWNER_CHARS + 1];
    int64_t created_ms;
    uint64_t serial;     // order of making: the lowest gives way first
    char* names;         // the paths, each with its terminator, one after the other; owned
    size_t names_bytes;  // of names
    int name_count;
};

// The ids of one server. Nothing but the zip_link_ functions touches the members; the
// destructor frees what the links own.
struct ZipLinkTable {
    std::mutex mutex;
    int64_t lifetime_ms = ZIP_LINK_LIFETIME_MS;
    ZipLink links[ZIP_LINK_MAX]{};
    size_t names_bytes = 0;  // of all links together
    uint64_t serial = 0;

    ZipLinkTable() = default;
    explicit ZipLinkTable(int64_t lifetime) : lifetime_ms(lifetime) {}
    ZipLinkTable(const ZipLinkTable&) = delete;
    ZipLinkTable& operator=(const ZipLinkTable&) = delete;
    ~ZipLinkTable();
};

// The process's one table, which the server's requests share; never destroyed.
ZipLinkTable* zip_links();

// Results of zip_link_add.
constexpr int ZIP_LINK_OK = 0;
constexpr int ZIP_LINK_NO_RANDOM = -1;  // the system's random source failed
constexpr int ZIP_LINK_NO_MEMORY = -2;  // out of memory, or the paths alone exceed the limit
constexpr int ZIP_LINK_BAD_OWNER = -3;  // an owner longer than ZIP_LINK_OWNER_CHARS

// Keeps a copy of the count paths for owner (null counts as the empty text) at now_ms,
// dropping expired ids first and then the oldest ones until it fits. ZIP_LINK_OK with the new
// id (ZIP_LINK_ID_CHARS hex digits and a terminator) in id_out; otherwise id_out is empty and
// the table unchanged.
int zip_link_add(ZipLinkTable* table, const char* const* names, int count, const char* owner,
                 int64_t now_ms, char id_out[ZIP_LINK_ID_CHARS + 1]);

// Results of zip_link_find.
constexpr int ZIP_LINK_FOUND = 1;
constexpr int ZIP_LINK_UNKNOWN = 0;  // no such id, expired, or made for another owner
constexpr int ZIP_LINK_FIND_NO_MEMORY = -1;

// Looks up id (any text a client sent, also null) for owner at now_ms. ZIP_LINK_FOUND with
// new copies of the selection's paths in *names_out and their number in *count_out (free
// them with zip_names_free of zip/zip.h); otherwise *names_out is null and *count_out 0. The
// id stays valid until it expires or gives way: it may be found any number of times. Ids are
// compared so that the time taken does not tell how close a guess came.
int zip_link_find(ZipLinkTable* table, const char* id, const char* owner, int64_t now_ms,
                  char*** names_out, int* count_out);
