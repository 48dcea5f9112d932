// The pure half of the ZIP packer: checksums, the selection list, dates, the format's records,
// the plan of an archive's layout and length, and the texts of the request and the answer.
// No I/O here.
#include <cstdlib>
#include <cstring>

#include "base/strbuf.h"
#include "base/text.h"
#include "zip/zip.h"
#include "zip/zip_platform.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Little-endian fields of the format.

inline void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline void put64(uint8_t* p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v));
    put32(p + 4, static_cast<uint32_t>(v >> 32));
}

constexpr uint32_t SIG_LOCAL = 0x04034B50u;
constexpr uint32_t SIG_CENTRAL = 0x02014B50u;
constexpr uint32_t SIG_END = 0x06054B50u;
constexpr uint32_t SIG_ZIP64_END = 0x06064B50u;
constexpr uint32_t SIG_ZIP64_LOCATOR = 0x07064B50u;
constexpr uint16_t VERSION_20 = 20;  // 2.0: stored entries and folders
constexpr uint16_t VERSION_45 = 45;  // 4.5: ZIP64 format extensions
// "Version made by": 2.0 on a Unix host (high byte 3). The external attributes carry Unix
// permissions, which only a Unix host gives meaning to, and Info-ZIP's unzip reads the names
// of an MS-DOS-host entry as DOS code page text even when bit 11 marks them UTF-8, which
// garbles every Chinese name.
constexpr uint16_t MADE_BY_UNIX_20 = 0x0300 | VERSION_20;
constexpr uint16_t MADE_BY_UNIX_45 = 0x0300 | VERSION_45;
constexpr uint16_t FLAG_UTF8_NAME = 0x0800;       // bit 11: the name is UTF-8
constexpr uint32_t EXTERNAL_ATTRS = 0x01A40000u;  // 0644 in the upper 16 bits
constexpr uint16_t DOS_DATE_1980 = 0x0021;        // 1 January 1980, the format's first day
constexpr uint16_t ZIP64_EXTRA_TAG = 0x0001;
constexpr uint32_t IN_ZIP64 = 0xFFFFFFFFu;  // a 32-bit field whose value is in a ZIP64 record
constexpr uint16_t COUNT_IN_ZIP64 = 0xFFFF;
constexpr uint64_t ZIP64_END_RECORD_REST = ZIP64_END_RECORD_BYTES - 12;  // its size field

// ---------------------------------------------------------------------------------------------
// Where ZIP64 records go. What the common readers accept decides the layout:
// - Sizes are known before an entry's local header is written (its CRC is computed first), so
//   there are no data descriptors (flag bit 3 stays clear): macOS Archive Utility has had
//   trouble with them, and libarchive fails a streamed entry of exactly 0xFFFFFFFF bytes whose
//   sizes come in a data descriptor (libarchive issue 1834).
// - A local header whose sizes are 0xFFFFFFFF carries a ZIP64 extra field with both real
//   sizes, as the format's note requires (APPNOTE 4.5.3): Archive Utility ("Error 79") and
//   libarchive's bsdcpio refuse 0xFFFFFFFF local sizes without it (stream-zip pull request
//   28, filesender pull request 2765).
// - A ZIP64 extra field holds only the values whose 32-bit field says 0xFFFFFFFF, in the fixed
//   order uncompressed size, compressed size, local header offset (APPNOTE 4.5.3 says "MUST
//   only appear if"): Info-ZIP unzip and Python's zipfile take a value from it only where the
//   32-bit field says 0xFFFFFFFF, zip4j and ZipStorer were fixed to do the same, and Java
//   checks the field's length against the announced values. A ZIP64 extra field of zeros has
//   made libzip and 7-Zip report broken headers (libzip issue 171, camlzip pull request 52).
//   So an entry whose size fits but whose offset does not has no extra field in its local
//   header (which holds no offset) and one with the offset alone in its central header.
// - The ZIP64 end record and its locator are written only when a value of the end record
//   does not fit: a needless one makes Excel and LibreOffice refuse the file (SharpCompress
//   pull request 601), and Windows 7's Explorer is reported to handle ZIP64 poorly (which is
//   also why small selections stay plain ZIP, as they always were). In the
//   end record only the fields that do not fit say 0xFFFF or 0xFFFFFFFF; the others keep their
//   real values, which readers such as BetterZip expect (zstream pull request 30).
// - A record that carries a ZIP64 extra field says version 4.5 is needed to extract, as
//   Python's zipfile writes; every other record stays at 2.0, byte for byte as before.

bool reaches(uint64_t value, uint64_t zip64_from) {
    return value >= zip64_from;
}

uint32_t field32(uint64_t value, uint64_t zip64_from) {
    return reaches(value, zip64_from) ? IN_ZIP64 : static_cast<uint32_t>(value);
}

// The values of an entry's central ZIP64 extra field, in their fixed order; their count.
int central_zip64_values(const ZipEntryFacts* facts, uint64_t zip64_from, uint64_t out[3]) {
    int n = 0;
    if (reaches(facts->size, zip64_from)) {
        out[n++] = facts->size;  // uncompressed
        out[n++] = facts->size;  // compressed: stored entries are not compressed
    }
    if (reaches(facts->offset, zip64_from)) out[n++] = facts->offset;
    return n;
}

size_t extra_bytes(int values) {
    return values ? ZIP64_EXTRA_HEADER_BYTES + 8 * static_cast<size_t>(values) : 0;
}

// Writes a ZIP64 extra field of the values at out; the bytes written.
size_t put_zip64_extra(uint8_t* out, const uint64_t* values, int count) {
    if (count == 0) return 0;
    put16(out, ZIP64_EXTRA_TAG);
    put16(out + 2, static_cast<uint16_t>(8 * count));
    for (int i = 0; i < count; i++) put64(out + ZIP64_EXTRA_HEADER_BYTES + 8 * i, values[i]);
    return extra_bytes(count);
}

bool end_needs_zip64(const ZipDirectoryFacts* dir, uint64_t zip64_from) {
    return dir->entries >= ZIP64_COUNT_LIMIT || reaches(dir->bytes, zip64_from) ||
           reaches(dir->offset, zip64_from);
}

// ---------------------------------------------------------------------------------------------
// The selection list's index: open addressing over the entries' hashes, at most half full.

constexpr int32_t LIST_FIRST_CAPACITY = 16;
constexpr uint32_t FIRST_SLOT_COUNT = 32;

int32_t find_entry(const ZipList* list, const char* name, uint64_t hash) {
    if (list->slot_count == 0) return -1;
    uint32_t mask = list->slot_count - 1;
    for (uint32_t i = static_cast<uint32_t>(hash) & mask;; i = (i + 1) & mask) {
        int32_t index = list->slots[i];
        if (index < 0) return -1;
        if (list->hashes[index] == hash && strcmp(list->entries[index].name, name) == 0)
            return index;
    }
}

void place_slot(int32_t* slots, uint32_t slot_count, uint64_t hash, int32_t index) {
    uint32_t mask = slot_count - 1;
    uint32_t i = static_cast<uint32_t>(hash) & mask;
    while (slots[i] >= 0) i = (i + 1) & mask;
    slots[i] = index;
}

// Room for one more entry in the arrays and the index; on failure the list is unchanged.
int reserve_entry(ZipList* list) {
    if (list->count == list->capacity) {
        int32_t capacity = list->capacity ? list->capacity * 2 : LIST_FIRST_CAPACITY;
        auto* entries = static_cast<ZipEntry*>(
            realloc(list->entries, static_cast<size_t>(capacity) * sizeof(ZipEntry)));
        if (!entries) return -1;
        list->entries = entries;
        auto* hashes = static_cast<uint64_t*>(
            realloc(list->hashes, static_cast<size_t>(capacity) * sizeof(uint64_t)));
        if (!hashes) return -1;
        list->hashes = hashes;
        list->capacity = capacity;
    }
    if (static_cast<uint64_t>(list->count + 1) * 2 > list->slot_count) {
        uint32_t slot_count = list->slot_count ? list->slot_count * 2 : FIRST_SLOT_COUNT;
        auto* slots = static_cast<int32_t*>(malloc(slot_count * sizeof(int32_t)));
        if (!slots) return -1;
        memset(slots, 0xFF, slot_count * sizeof(int32_t));
        for (int32_t i = 0; i < list->count; i++) place_slot(slots, slot_count, list->hashes[i], i);
        free(list->slots);
        list->slots = slots;
        list->slot_count = slot_count;
    }
    return 0;
}

}  // namespace

uint64_t zip_name_hash(const char* bytes, size_t len) {
    uint64_t hash = 0x14650FB0739D0383ull;
    for (size_t i = 0; i < len; i++) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 0x100000001B3ull;
    }
    return hash;
}

int zip_list_add(ZipList* list, const char* name, const char* path, uint64_t size) {
    size_t name_len = strlen(name);
    uint64_t hash = zip_name_hash(name, name_len);
    if (find_entry(list, name, hash) >= 0) return 0;
    char* name_copy = strdup(name);
    char* path_copy = strdup(path);
    if (!name_copy || !path_copy || reserve_entry(list) != 0) {
        free(name_copy);
        free(path_copy);
        return -1;
    }
    int32_t index = list->count++;
    list->entries[index] = {name_copy, path_copy, size};
    list->hashes[index] = hash;
    place_slot(list->slots, list->slot_count, hash, index);
    list->file_bytes += size;
    list->name_bytes += name_len;
    return 1;
}

void zip_list_free(ZipList* list) {
    for (int32_t i = 0; i < list->count; i++) {
        free(list->entries[i].name);
        free(list->entries[i].path);
    }
    free(list->entries);
    free(list->hashes);
    free(list->slots);
    *list = ZipList{};
}

void zip_dos_from_calendar(const ZipCalendar* when, uint16_t* date, uint16_t* time) {
    // Seven bits of year from 1980: later years would wrap into a wrong date.
    if (when->year < 1980 || when->year > 2107) {
        *date = DOS_DATE_1980;
        *time = 0;
        return;
    }
    *date = static_cast<uint16_t>((when->year - 1980) * 512 + when->month * 32 + when->day);
    *time = static_cast<uint16_t>(when->hour * 2048 + when->minute * 32 + when->second / 2);
}

void zip_dos_time(double mtime, uint16_t* date, uint16_t* time) {
    ZipCalendar when{};
    if (zip_local_calendar(mtime, &when) != 0) {
        *date = DOS_DATE_1980;
        *time = 0;
        return;
    }
    zip_dos_from_calendar(&when, date, time);
}

size_t zip_local_header_bytes(const ZipEntryFacts* facts, uint64_t zip64_from) {
    int values = reaches(facts->size, zip64_from) ? 2 : 0;
    return ZIP_LOCAL_HEADER_BYTES + facts->name_len + extra_bytes(values);
}

void zip_put_local_header(uint8_t* out, const ZipEntryFacts* facts, const char* name,
                          uint64_t zip64_from) {
    bool zip64 = reaches(facts->size, zip64_from);
    const uint64_t sizes[2] = {facts->size, facts->size};
    put32(out + 0, SIG_LOCAL);
    put16(out + 4, zip64 ? VERSION_45 : VERSION_20);
    put16(out + 6, FLAG_UTF8_NAME);
    put16(out + 8, 0);  // stored
    put16(out + 10, facts->dos_time);
    put16(out + 12, facts->dos_date);
    put32(out + 14, facts->crc);
    put32(out + 18, field32(facts->size, zip64_from));
    put32(out + 22, field32(facts->size, zip64_from));
    put16(out + 26, facts->name_len);
    put16(out + 28, static_cast<uint16_t>(extra_bytes(zip64 ? 2 : 0)));
    memcpy(out + ZIP_LOCAL_HEADER_BYTES, name, facts->name_len);
    put_zip64_extra(out + ZIP_LOCAL_HEADER_BYTES + facts->name_len, sizes, zip64 ? 2 : 0);
}

size_t zip_central_header_bytes(const ZipEntryFacts* facts, uint64_t zip64_from) {
    uint64_t values[3];
    int count = central_zip64_values(facts, zip64_from, values);
    return ZIP_CENTRAL_HEADER_BYTES + facts->name_len + extra_bytes(count);
}

void zip_put_central_header(uint8_t* out, const ZipEntryFacts* facts, const char* name,
                            uint64_t zip64_from) {
    uint64_t values[3];
    int count = central_zip64_values(facts, zip64_from, values);
    put32(out + 0, SIG_CENTRAL);
    put16(out + 4, count ? MADE_BY_UNIX_45 : MADE_BY_UNIX_20);
    put16(out + 6, count ? VERSION_45 : VERSION_20);
    put16(out + 8, FLAG_UTF8_NAME);
    put16(out + 10, 0);
    put16(out + 12, facts->dos_time);
    put16(out + 14, facts->dos_date);
    put32(out + 16, facts->crc);
    put32(out + 20, field32(facts->size, zip64_from));
    put32(out + 24, field32(facts->size, zip64_from));
    put16(out + 28, facts->name_len);
    put16(out + 30, static_cast<uint16_t>(extra_bytes(count)));
    put16(out + 32, 0);  // comment
    put16(out + 34, 0);  // disk number start
    put16(out + 36, 0);  // internal attributes
    put32(out + 38, EXTERNAL_ATTRS);
    put32(out + 42, field32(facts->offset, zip64_from));
    memcpy(out + ZIP_CENTRAL_HEADER_BYTES, name, facts->name_len);
    put_zip64_extra(out + ZIP_CENTRAL_HEADER_BYTES + facts->name_len, values, count);
}

size_t zip_end_bytes(const ZipDirectoryFacts* dir, uint64_t zip64_from) {
    size_t zip64 = end_needs_zip64(dir, zip64_from) ? ZIP64_END_RECORD_BYTES + ZIP64_LOCATOR_BYTES
                                                    : 0;
    return zip64 + ZIP_END_RECORD_BYTES;
}

void zip_put_end(uint8_t* out, const ZipDirectoryFacts* dir, uint64_t zip64_from) {
    if (end_needs_zip64(dir, zip64_from)) {
        put32(out + 0, SIG_ZIP64_END);
        put64(out + 4, ZIP64_END_RECORD_REST);
        put16(out + 12, MADE_BY_UNIX_45);
        put16(out + 14, VERSION_45);
        put32(out + 16, 0);  // this disk
        put32(out + 20, 0);  // the disk where the directory starts
        put64(out + 24, dir->entries);
        put64(out + 32, dir->entries);
        put64(out + 40, dir->bytes);
        put64(out + 48, dir->offset);
        out += ZIP64_END_RECORD_BYTES;
        put32(out + 0, SIG_ZIP64_LOCATOR);
        put32(out + 4, 0);                        // the disk of the ZIP64 end record
        put64(out + 8, dir->offset + dir->bytes);  // where the ZIP64 end record starts
        put32(out + 16, 1);                       // disks in all
        out += ZIP64_LOCATOR_BYTES;
    }
    uint16_t entries = dir->entries >= ZIP64_COUNT_LIMIT ? COUNT_IN_ZIP64
                                                         : static_cast<uint16_t>(dir->entries);
    put32(out + 0, SIG_END);
    put16(out + 4, 0);
    put16(out + 6, 0);
    put16(out + 8, entries);
    put16(out + 10, entries);
    put32(out + 12, field32(dir->bytes, zip64_from));
    put32(out + 16, field32(dir->offset, zip64_from));
    put16(out + 20, 0);
}

int zip_plan(const ZipEntry* entries, int32_t count, uint64_t zip64_from, ZipPlan* plan) {
    *plan = ZipPlan{};
    if (!entries || count <= 0) return ZIP_PLAN_EMPTY;
    // The records' lengths follow from each entry's size, name and offset alone; the stream
    // writes them with the same functions, so the plan's length is the length sent.
    uint64_t offset = 0;
    uint64_t directory_bytes = 0;
    for (int32_t i = 0; i < count; i++) {
        size_t name_len = strlen(entries[i].name);
        if (name_len > ZIP_MAX_NAME_BYTES) return ZIP_PLAN_LONG_NAME;
        ZipEntryFacts facts{};
        facts.size = entries[i].size;
        facts.name_len = static_cast<uint16_t>(name_len);
        facts.offset = offset;
        directory_bytes += zip_central_header_bytes(&facts, zip64_from);
        offset += zip_local_header_bytes(&facts, zip64_from) + facts.size;
    }
    plan->entries = entries;
    plan->count = count;
    plan->zip64_from = zip64_from;
    plan->directory = {static_cast<uint64_t>(count), directory_bytes, offset};
    plan->total_bytes = offset + directory_bytes + zip_end_bytes(&plan->directory, zip64_from);
    return ZIP_PLAN_OK;
}

int zip_form_names(const char* body, size_t len, int max_names, char*** names_out, int* count_out) {
    *names_out = nullptr;
    *count_out = 0;
    char** names = nullptr;
    int count = 0;
    int capacity = 0;
    bool out_of_memory = false;
    size_t start = 0;
    while (start < len && count < max_names && !out_of_memory) {
        const char* param = body + start;
        const char* amp = static_cast<const char*>(memchr(param, '&', len - start));
        size_t param_len = amp ? static_cast<size_t>(amp - param) : len - start;
        start += param_len + 1;
        // The key is compared raw: "na%6De" is not "name".
        const char* eq = static_cast<const char*>(memchr(param, '=', param_len));
        if (!eq || eq - param != 4 || memcmp(param, "name", 4) != 0) continue;
        StrBufOwner value;
        url_decode_query(value.get(), eq + 1, param_len - 5);
        if (value->len == 0) continue;
        if (count == capacity) {
            int grown = capacity ? capacity * 2 : 16;
            auto* bigger =
                static_cast<char**>(realloc(names, static_cast<size_t>(grown) * sizeof(char*)));
            if (!bigger) {
                out_of_memory = true;
                break;
            }
            names = bigger;
            capacity = grown;
        }
        char* text = sb_detach(value.get());
        if (!text) {
            out_of_memory = true;
            break;
        }
        names[count++] = text;
    }
    if (out_of_memory) {
        zip_names_free(names, count);
        return -1;
    }
    *names_out = names;
    *count_out = count;
    return 0;
}

void zip_names_free(char** names, int count) {
    for (int i = 0; i < count; i++) free(names[i]);
    free(names);
}

char* zip_download_name(const ZipCalendar* now) {
    StrBufOwner name;
    if (sb_appendf(name.get(), "收件箱-%04d%02d%02d-%02d%02d.zip", now->year, now->month, now->day,
                   now->hour, now->minute) != 0)
        return nullptr;
    return sb_detach(name.get());
}

char* zip_disposition(const char* download_name) {
    StrBufOwner ascii;
    for (const char* p = download_name; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x80 && c != '"') sb_append_char(ascii.get(), static_cast<char>(c));
    }
    StrBufOwner encoded;
    url_encode(encoded.get(), download_name);
    StrBufOwner value;
    int failed = sb_append_str(value.get(), "attachment; filename=\"") |
                 sb_append_str(value.get(), ascii->len ? ascii.c_str() : "files") |
                 sb_append_str(value.get(), "\"; filename*=UTF-8''") |
                 sb_append_str(value.get(), encoded.c_str());
    if (failed) return nullptr;
    return sb_detach(value.get());
}
