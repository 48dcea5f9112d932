#pragma once
// Resumable uploads (the tus 1.0.0 protocol's storage side): a file goes up in any number of
// pieces, over as many connections as it takes, and survives a cut connection and a restart
// of the program or the PC.
//
// An unfinished upload lives in the state folder's "uploads" folder as two files: <id>.part
// with the bytes received so far, and <id>.json, its record (length, recorded offset, file
// name, group, target folder, device, times), replaced whole like every state file. The
// recorded offset never counts a byte that is not on the disk: it is written only after the
// data it counts was flushed, and at start-up a .part longer than its record is cut back to
// it. Requests never wait for the disk: the flush and the record follow from the housekeeping
// (tus_flush_progress), within about a second of a request's end and every few seconds while
// one runs. Every byte a request delivered is kept and
// counted at once, also when the request is cut off half-way.
//
// On its last byte the file is placed into the inbox by the rules of a multipart upload
// (upload_target_place): its file name is a relative path whose top-level folder is mapped
// once per group, so every file of one dropped folder lands in the same numbered folder, even
// across hours and restarts (the group's choices are kept in uploads/groups.json). Groups are
// scoped by device and target folder, since their ids come from clients. The console gets one
// line per group once none of its uploads is left running for a moment, and the senders are
// recorded then.
//
// Uploads expire TUS_EXPIRY_SECONDS after their last progress; expired ones are removed at
// start-up (tus_start) and by tus_tick while running. All functions are thread-safe; every
// one takes the configuration of the one inbox the process serves.
#include <cstddef>
#include <cstdint>

#include "base/config.h"

constexpr const char* TUS_VERSION = "1.0.0";
constexpr const char* TUS_EXTENSIONS = "creation,expiration,termination";
// The largest upload accepted (1 TiB), as announced in Tus-Max-Size.
constexpr uint64_t TUS_MAX_SIZE = uint64_t{1} << 40;
constexpr int64_t TUS_EXPIRY_SECONDS = 24 * 3600;
// Unfinished uploads the server keeps at once, in all and per client address: a page sends a
// few files at a time, so only abandoned uploads pile up, and they expire within a day.
constexpr int TUS_MAX_UPLOADS = 1024;
constexpr int TUS_MAX_UPLOADS_PER_ADDRESS = 256;
// The longest Upload-Metadata header taken (a file name of the longest relative path in
// Chinese, base64-encoded, fits several times over), and the longest group id.
constexpr size_t TUS_METADATA_MAX_BYTES = 16384;
constexpr size_t TUS_GROUP_MAX_BYTES = 256;
// Upload ids: this many random bytes, written as twice as many lower-case hex digits.
constexpr int TUS_ID_BYTES = 16;
constexpr int TUS_ID_CHARS = 2 * TUS_ID_BYTES;
// A group's console line waits this long after its last upload finished, for the next file
// of the same drop that the page has not created yet.
constexpr int64_t TUS_GROUP_SETTLE_SECONDS = 2;
// Finished uploads remembered (for a client that asks again after its last answer was lost).
constexpr int TUS_MAX_FINISHED = 4096;

// Results. Every failure leaves the upload as it was.
constexpr int TUS_OK = 0;
constexpr int TUS_NOT_FOUND = -1;      // no such upload (never made, finished long ago,
                                       // expired or terminated)
constexpr int TUS_CONFLICT = -2;       // the offset is not the upload's offset
constexpr int TUS_BUSY = -3;           // other requests keep taking this upload
constexpr int TUS_TOO_LARGE = -4;      // length above TUS_MAX_SIZE
constexpr int TUS_BAD_REQUEST = -5;    // metadata malformed, no file name, a file name that
                                       // cannot be stored, or bytes past the length
constexpr int TUS_NO_FOLDER = -6;      // the target folder is refused or not there
constexpr int TUS_TOO_MANY = -7;       // too many unfinished uploads
constexpr int TUS_NO_SPACE = -8;       // the disk cannot hold it, or a write failed
constexpr int TUS_FAILED = -9;         // the state folder cannot be written, or the finished
                                       // file cannot be placed (asking again retries)

// What a client learns of an upload.
struct TusInfo {
    char id[TUS_ID_CHARS + 1];
    uint64_t offset;  // bytes stored
    uint64_t length;
    int64_t expires;  // seconds since 1970
    int finished;     // 1 once the file is in the inbox
};

// A new upload as a creation request asks for it.
struct TusCreate {
    int64_t length;          // Upload-Length; negative when absent or malformed
    const char* metadata;    // the Upload-Metadata header; null when absent
    const char* device;      // the X-Device-Name header, decoded; used when metadata has none
    uint32_t address;        // the client's IPv4 address, for the per-address cap
};

// A way to make a running request stop early (it shuts that request's connection), used when
// a newer request takes the upload over or the upload goes away. Whether or not the request
// wakes up, it can no longer write: it is superseded.
struct TusStopHook {
    void (*stop)(void* arg);
    void* arg;
};

// One request writing into an upload.
struct TusWriter;

// Loads the unfinished uploads of config's state folder: records that expired are removed with
// their data, a .part longer than its record is cut back to the recorded offset (a shorter one
// lowers the record), data without a record and records without data are removed, finished
// uploads that were not placed yet are placed. Call once before serving; calling it again
// (tests) forgets everything in memory and loads afresh.
void tus_start(const Config* config);
// Starts the detached thread that calls tus_tick once a second for the process's life.
void tus_start_housekeeping(const Config* config);
// Flushes the bytes written since each upload's record, through a handle of its own, and then
// records them (a failed flush or record leaves the older record, which stays true). An upload
// whose request still runs is flushed only when busy_every_ms passed since its last flush (or
// since writing began after one); one whose request ended, at once.
void tus_flush_progress(const Config* config, int64_t busy_every_ms);
// A running request's bytes are flushed and recorded at most this often: a file arriving at
// the speed of the local disk is not made to wait for it, and a power cut costs a running
// upload at most these seconds, which its client sends again.
constexpr int64_t TUS_BUSY_FLUSH_MS = 2000;
// tus_flush_progress (TUS_BUSY_FLUSH_MS), then removes uploads and groups that expired by now, and writes the
// console lines of groups that have settled (with their sender records).
void tus_tick(const Config* config);
// The clock (seconds since 1970) every expiry and record uses; null restores the system clock.
// Tests move time with it.
void tus_set_clock(int64_t (*now)(void));

// Creates an upload: 0 with *out filled (a length of 0 is finished and placed at once), or
// TUS_TOO_LARGE, TUS_BAD_REQUEST, TUS_NO_FOLDER, TUS_TOO_MANY, TUS_NO_SPACE, TUS_FAILED.
int tus_create(const Config* config, const TusCreate* request, TusInfo* out);
// The upload's state: 0 with *out filled, or TUS_NOT_FOUND. A complete upload whose placing
// failed is placed again first (TUS_FAILED when that fails again). *metadata_out (when not
// null) gets a new copy of the Upload-Metadata the upload was created with (the caller frees
// it; null when there was none).
int tus_info(const Config* config, const char* id, TusInfo* out, char** metadata_out);
// Ends an unfinished upload and removes its data (a running request is superseded first): 0,
// TUS_NOT_FOUND (also for a finished upload, which is in the inbox and no longer its own), or
// TUS_BUSY.
int tus_terminate(const Config* config, const char* id);
// Removes every unfinished upload and group (inbox cleared); running requests are stopped.
void tus_drop_all(const Config* config);

// Begins writing body_length bytes at offset. A request still running on the same upload (its
// client gave up on it) is superseded first; the bytes it wrote count. 0 with *out set (finish
// with tus_patch_end; null when the upload is already finished and offset is its length), or
// TUS_NOT_FOUND, TUS_CONFLICT (with *out_info holding the upload's state for the answer),
// TUS_BUSY, TUS_BAD_REQUEST (offset + body_length past the length), TUS_FAILED.
int tus_patch_begin(const Config* config, const char* id, uint64_t offset, int64_t body_length,
                    TusStopHook hook, TusWriter** out, TusInfo* out_info);
// Appends bytes: 0, TUS_NO_SPACE when the write failed (the bytes before it stay), or
// TUS_CONFLICT when a newer request superseded this one.
int tus_patch_write(TusWriter* writer, const void* bytes, size_t n);
// Ends the request: flushes what it wrote and records the offset, and places the file when it
// is complete. Frees the writer. 0 with *out filled; TUS_FAILED when the flush or the placing
// failed (the offset then stays at what is safely stored); TUS_CONFLICT when a newer request
// superseded this one (which then owns the upload and its bytes).
int tus_patch_end(TusWriter* writer, TusInfo* out);

// 1 when id has the form of an upload id (TUS_ID_CHARS lower-case hex digits), else 0.
int tus_id_valid(const char* id);
