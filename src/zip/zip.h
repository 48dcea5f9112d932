#pragma once
// ZIP packaging: a selection of the inbox's files and folders as one ZIP archive of stored
// (uncompressed) entries, built in a temporary file.
//
// The archive uses 32-bit sizes and offsets only (no ZIP64), so every selection is checked
// against what those fields can reach before anything is written. Entry names are the paths
// relative to the inbox, UTF-8, flagged with bit 11.
//
// Thread safety: the CRC tables are constants built at compile time; everything else works on
// the caller's structures, so any number of archives can be built at once.
#include <cstddef>
#include <cstdint>

#include "base/config.h"

// ---- Limits ------------------------------------------------------------------------------

constexpr int ZIP_MAX_FILES = 20000;                       // files per request, folders expanded
constexpr uint64_t ZIP_MAX_BYTES = 4294901760ull;          // 0xFFFF0000: largest sum of file sizes
constexpr uint64_t ZIP_MAX_ARCHIVE_BYTES = 0xFFFFFFFFull;  // last byte a 32-bit offset reaches
constexpr uint64_t ZIP_MAX_NAME_BYTES = 65535;             // the name length field is 16 bits
constexpr int ZIP_MAX_ENTRIES = 65535;                     // the entry count fields are 16 bits
constexpr size_t ZIP_COPY_BYTES = 262144;                  // one read while packing or sending
constexpr size_t ZIP_PATH_BYTES = 512;                     // the handler's temporary-path buffer

constexpr int ZIP_LOCAL_HEADER_BYTES = 30;
constexpr int ZIP_CENTRAL_HEADER_BYTES = 46;
constexpr int ZIP_END_RECORD_BYTES = 22;

// ---- Checksums and hashes ----------------------------------------------------------------

// Continues a CRC-32 (reflected polynomial 0xEDB88320, initial value and final XOR
// 0xFFFFFFFF) over len bytes: start with 0 and feed each result into the next call.
uint32_t crc32_update(uint32_t crc, const void* bytes, size_t len);

// FNV-1a over len bytes, from the start value 0x14650FB0739D0383 (each byte XORed in, then
// multiplied by 0x100000001B3 modulo 2^64).
uint64_t zip_name_hash(const char* bytes, size_t len);

// ---- The selection ----------------------------------------------------------------------

// One archive entry: its name inside the archive and the file on disk. Both owned.
struct ZipEntry {
    char* name;
    char* path;
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

// Appends (copies of) name and path unless an entry of that name exists; only an appended
// entry adds its size. 1 appended, 0 already there, -1 out of memory (nothing appended: the
// handler drops such an entry silently).
int zip_list_add(ZipList* list, const char* name, const char* path, uint64_t size);
void zip_list_free(ZipList* list);

// Bytes of the whole archive of entries with these totals: each entry costs its file bytes,
// two headers (76 bytes) and its name twice; the end record adds 22.
uint64_t zip_archive_bytes(uint64_t file_bytes, uint64_t entries, uint64_t name_bytes);
// 1 when the selection can be packed: its file bytes stay within ZIP_MAX_BYTES and its whole
// archive within ZIP_MAX_ARCHIVE_BYTES, so every offset fits its 32-bit field. Else 0.
int zip_list_fits(const ZipList* list);

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
    uint32_t size;
    uint16_t dos_date;
    uint16_t dos_time;
    uint16_t name_len;
    uint32_t offset;  // of the local header from the start of the archive
};

// The fixed-size parts of the format, little-endian, without the names that follow them.
void zip_put_local_header(uint8_t out[ZIP_LOCAL_HEADER_BYTES], const ZipEntryFacts* facts);
void zip_put_central_header(uint8_t out[ZIP_CENTRAL_HEADER_BYTES], const ZipEntryFacts* facts);
void zip_put_end_record(uint8_t out[ZIP_END_RECORD_BYTES], uint16_t entries,
                        uint32_t directory_bytes, uint32_t directory_offset);

// Results of zip_write.
constexpr int ZIP_ERR_OUTPUT = -1;  // bad output arguments, or no temporary file
constexpr int ZIP_ERR_INPUT = -2;   // an entry's file cannot be examined or opened
constexpr int ZIP_ERR_WRITE = -3;   // bad entries, no memory, a failed write, or past 4 GiB

// Writes the archive of the entries into a new temporary file ("skf" prefix, in the user's
// temporary folder) and puts its UTF-8 path into path_out. 0 on success; on failure one of
// the codes above, and a temporary file that was created is deleted again. The caller
// deletes the file after use. An archive that would outgrow its 32-bit offsets (a file grew
// after the selection was measured) fails with ZIP_ERR_WRITE instead of coming out corrupt.
int zip_write(const ZipEntry* entries, int32_t count, char* path_out, size_t path_out_size);

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
