#pragma once
// ZIP packaging: a selection of the inbox's files and folders as one ZIP archive of stored
// (uncompressed) entries, streamed as it is produced: nothing of an archive is ever written to
// disk, and the exact length of the archive is known before its first byte.
//
// Two steps. zip_plan turns the expanded selection into the archive's layout and exact length
// from the sizes measured while expanding, so an answer can announce that length before any
// file is read. zip_stream_send then produces the bytes through a ZipSink: for each entry its
// CRC-32 first (one read of the file), then its local header with the real CRC and sizes, then
// its bytes, then the central directory and the end records. Nothing of an entry is sent
// before its CRC is known, so no data descriptors are needed.
//
// ZIP64 records appear exactly where a value reaches 0xFFFFFFFF (sizes, local header offsets,
// the central directory's size and offset): a selection below that is the plain 32-bit format,
// byte for byte. Entry names are the paths relative to the inbox, UTF-8, flagged with bit 11.
//
// Thread safety: the CRC tables are constants built at compile time; everything else works on
// the caller's structures, so any number of archives can be streamed at once.
#include <cstddef>
#include <cstdint>

#include "base/config.h"

// ---- Limits ------------------------------------------------------------------------------

constexpr int ZIP_MAX_FILES = 20000;          // files per request, folders expanded
constexpr uint64_t ZIP_MAX_NAME_BYTES = 65535;  // the name length field is 16 bits
// A 32-bit size or offset at or above this value is written as 0xFFFFFFFF with the real value
// in a ZIP64 record. Tests pass smaller limits to zip_plan to reach every ZIP64 layout with
// small files.
constexpr uint64_t ZIP64_FIELD_LIMIT = 0xFFFFFFFFull;
// An entry count at or above this needs the ZIP64 end records (never with ZIP_MAX_FILES).
constexpr uint64_t ZIP64_COUNT_LIMIT = 0xFFFF;
// The one buffer of a stream: a file that fits it with its header is read once and sent from
// it; a larger one is read in pieces, once for its CRC and once more while it is sent (the
// second read comes from the page cache, so a larger buffer would save little, while every
// download in progress holds one).
constexpr size_t ZIP_BUFFER_BYTES = 1u << 20;
constexpr size_t ZIP_PIECE_BYTES = 256u << 10;  // one read of a larger file

constexpr int ZIP_LOCAL_HEADER_BYTES = 30;
constexpr int ZIP_CENTRAL_HEADER_BYTES = 46;
constexpr int ZIP_END_RECORD_BYTES = 22;
constexpr int ZIP64_END_RECORD_BYTES = 56;
constexpr int ZIP64_LOCATOR_BYTES = 20;
constexpr int ZIP64_EXTRA_HEADER_BYTES = 4;  // tag and length before the 8-byte values

// ---- Checksums and hashes ----------------------------------------------------------------

// Continues a CRC-32 (reflected polynomial 0xEDB88320, initial value and final XOR
// 0xFFFFFFFF) over len bytes: start with 0 and feed each result into the next call.
uint32_t crc32_update(uint32_t crc, const void* bytes, size_t len);

// FNV-1a over len bytes, from the start value 0x14650FB0739D0383 (each byte XORed in, then
// multiplied by 0x100000001B3 modulo 2^64).
uint64_t zip_name_hash(const char* bytes, size_t len);

// ---- The selection ----------------------------------------------------------------------

// One archive entry: its name inside the archive, the file on disk (both owned) and the size
// the file had when the selection was expanded, which the archive's layout is planned with.
struct ZipEntry {
    char* name;
    char* path;
    uint64_t size;
};

// The selection after expansion, in insertion order, with no two entries of one name.
// Zero-filled is empty; zip_list_free releases it.
struct ZipList {
    ZipEntry* entries;
    uint64_t* hashes;  // zip_name_hash of entries[i].name
    int32_t count;
    int32_t capacity;  // of entries and hashes: 16 first, then doubling
    int32_t* slots;    // open-addressing index over hashes; -1 marks a free slot
    uint32_t slot_count;
    uint64_t file_bytes;  // sum of the appended entries' sizes
    uint64_t name_bytes;  // sum of their name lengths
};

// Appends (copies of) name and path with the size unless an entry of that name exists; only
// an appended entry adds its size. 1 appended, 0 already there, -1 out of memory (nothing
// appended: the handler drops such an entry silently).
int zip_list_add(ZipList* list, const char* name, const char* path, uint64_t size);
void zip_list_free(ZipList* list);

// ---- Dates -------------------------------------------------------------------------------

// Calendar fields of a moment: year (e.g. 2024), month 1-12, day 1-31, hour, minute, second.
struct ZipCalendar {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
};

// MS-DOS date and time of calendar fields: date = (year - 1980) * 512 + month * 32 + day,
// time = hour * 2048 + minute * 32 + second / 2. A year the format cannot hold (before 1980,
// after 2107) gives 1 January 1980 (0x0021) and time 0.
void zip_dos_from_calendar(const ZipCalendar* when, uint16_t* date, uint16_t* time);
// MS-DOS date and time of a file's mtime (seconds since 1970 UTC) in local time; a negative
// mtime counts as 0, and a time the platform cannot convert gives 0x0021 and 0.
void zip_dos_time(double mtime, uint16_t* date, uint16_t* time);

// ---- The format --------------------------------------------------------------------------

// What the headers of one entry record.
struct ZipEntryFacts {
    uint32_t crc;
    uint64_t size;
    uint16_t dos_date;
    uint16_t dos_time;
    uint16_t name_len;
    uint64_t offset;  // of the local header from the start of the archive
};

// Where the central directory lies, for the end records.
struct ZipDirectoryFacts {
    uint64_t entries;
    uint64_t bytes;   // of all central headers with their names and extra fields
    uint64_t offset;  // of the first central header
};

// The records, little-endian. zip64_from is the value from which a 32-bit field goes to ZIP64
// (ZIP64_FIELD_LIMIT outside tests). Each size function gives the bytes its writer puts out;
// out must have room for them.
//
// Local header: the 30 fixed bytes, the name, and a ZIP64 extra field with both sizes when the
// size reaches zip64_from (its offset is not in the local header).
size_t zip_local_header_bytes(const ZipEntryFacts* facts, uint64_t zip64_from);
void zip_put_local_header(uint8_t* out, const ZipEntryFacts* facts, const char* name,
                          uint64_t zip64_from);
// Central header: the 46 fixed bytes, the name, and a ZIP64 extra field holding, in this
// order, the uncompressed size, the compressed size and the local header offset, each only
// when it reaches zip64_from.
size_t zip_central_header_bytes(const ZipEntryFacts* facts, uint64_t zip64_from);
void zip_put_central_header(uint8_t* out, const ZipEntryFacts* facts, const char* name,
                            uint64_t zip64_from);
// End: the 22-byte end record alone, or the ZIP64 end record (at dir->offset + dir->bytes),
// its locator and the end record when the directory's size or offset reaches zip64_from or
// the entry count reaches ZIP64_COUNT_LIMIT.
size_t zip_end_bytes(const ZipDirectoryFacts* dir, uint64_t zip64_from);
void zip_put_end(uint8_t* out, const ZipDirectoryFacts* dir, uint64_t zip64_from);

// ---- The plan and the stream -------------------------------------------------------------

// The layout of an archive of entries, computed from their planned sizes and names alone.
struct ZipPlan {
    const ZipEntry* entries;  // borrowed: must outlive the plan and every stream of it
    int32_t count;
    uint64_t zip64_from;
    ZipDirectoryFacts directory;
    uint64_t total_bytes;  // the exact length of the archive
};

// Results of zip_plan.
constexpr int ZIP_PLAN_OK = 0;
constexpr int ZIP_PLAN_EMPTY = -1;      // no entries, or a null entry array
constexpr int ZIP_PLAN_LONG_NAME = -2;  // an entry name longer than ZIP_MAX_NAME_BYTES

// Plans the archive of count entries (zip64_from: ZIP64_FIELD_LIMIT). Fills *plan and returns
// ZIP_PLAN_OK, or one of the codes above. Allocates nothing.
int zip_plan(const ZipEntry* entries, int32_t count, uint64_t zip64_from, ZipPlan* plan);

// Where a stream's bytes go. write takes the next len bytes of the archive and returns 1 when
// they went on, 0 when they cannot (the receiver is gone): the stream then stops.
struct ZipSink {
    int (*write)(void* context, const void* bytes, size_t len);
    void* context;
};

// The working memory of one stream: the entry table of the central directory and the buffer.
struct ZipStream;

// A stream of the plan's archive; the plan must outlive it. Null when memory runs out: asked
// for before a response begins, so that failure can still be answered.
ZipStream* zip_stream_new(const ZipPlan* plan);
void zip_stream_free(ZipStream* stream);

// Results of zip_stream_send.
constexpr int ZIP_STREAM_OK = 0;
constexpr int ZIP_STREAM_SINK = -1;     // the sink refused bytes
constexpr int ZIP_STREAM_CHANGED = -2;  // an entry's file is missing or unreadable, or its size
                                        // or bytes changed since the plan or its CRC pass

// Produces the archive into the sink, once per stream. ZIP_STREAM_OK when exactly
// plan->total_bytes went to the sink. On failure fewer bytes went, never the central
// directory's end: a receiver that counts bytes sees an unfinished archive, never a complete
// looking one, and a file that changed between its CRC pass and its sending is caught by
// recomputing the CRC over the bytes sent.
int zip_stream_send(ZipStream* stream, const ZipSink* sink);

// RAII owner of a stream.
struct ZipStreamOwner {
    ZipStream* stream = nullptr;
    explicit ZipStreamOwner(ZipStream* s) : stream(s) {}
    ZipStreamOwner(const ZipStreamOwner&) = delete;
    ZipStreamOwner& operator=(const ZipStreamOwner&) = delete;
    ~ZipStreamOwner() { zip_stream_free(stream); }
    ZipStream* get() const { return stream; }
};

// ---- The request -------------------------------------------------------------------------

// The "name" parameters of a form-encoded body, in order: a parameter counts when its raw
// key is exactly "name"; its value is percent-decoded ('+' as space); empty values are left
// out. Collecting stops after max_names (the caller's limit plus one is enough to tell "too
// many"). 0 with *names_out (an array of owned texts, null when none) and *count_out set; -1
// when memory runs out (nothing is returned then). Free with zip_names_free.
int zip_form_names(const char* body, size_t len, int max_names, char*** names_out, int* count_out);
void zip_names_free(char** names, int count);

constexpr int ZIP_KIND_FILE = 1;
constexpr int ZIP_KIND_DIR = 2;

// The absolute path of a selected relative path in config's inbox, with *kind_out set to
// ZIP_KIND_DIR for a folder (not a link) or ZIP_KIND_FILE for a regular file. Null for a
// rejected path, the inbox itself, or nothing there. Newly allocated; the caller frees it.
char* zip_resolve(const Config* config, const char* rel, int* kind_out);

// One file found below a selected folder.
struct ZipFolderFile {
    char* rel;   // path relative to the folder, '/' between components
    char* path;  // absolute path
    uint64_t size;
};

// All visible files below the folder (names beginning with '.' and links are left out, and
// never entered), sorted by rel in byte order. 0 with *files_out (null when none) and
// *count_out set; -1 when memory runs out (nothing is returned then). A folder that is a link
// gives no files. Once more than max_files files are found the walk stops: the result then
// holds max_files + 1 of them, enough to tell that a limit is passed without holding a huge
// folder in memory. Free with zip_folder_files_free.
int zip_collect_folder(const char* folder, int32_t max_files, ZipFolderFile** files_out,
                       int32_t* count_out);
void zip_folder_files_free(ZipFolderFile* files, int32_t count);

// Results of zip_expand.
constexpr int ZIP_EXPAND_OK = 0;
constexpr int ZIP_EXPAND_TOO_MANY = -1;  // more than ZIP_MAX_FILES files

// Expands the selected relative paths of config's inbox into list in order (folders into
// their sorted files), counting every file met; stops with ZIP_EXPAND_TOO_MANY once the count
// passes ZIP_MAX_FILES. Names that resolve to nothing count for nothing. *folder_selected is
// set when a selected name was a folder.
int zip_expand(const Config* config, char* const* names, int count, ZipList* list,
               int* folder_selected);

// The download name of an archive made at that local time: "收件箱-YYYYMMDD-HHMM.zip".
// Newly allocated; null when memory runs out.
char* zip_download_name(const ZipCalendar* now);
// The Content-Disposition value for a download name: attachment with an ASCII fallback (bytes
// from 0x80 up and double quotes dropped; "files" when nothing is left) and the UTF-8 name
// percent-encoded. Newly allocated; null when memory runs out.
char* zip_disposition(const char* download_name);
