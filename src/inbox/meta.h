#pragma once
// Sender records and state files.
//
// files.json in the state folder holds one record per received file: its relative path in
// the inbox (components joined with '/') as the key, and {"from": device, "time": seconds
// since 1970} as the value, in insertion order. State files are loaded whole, changed in
// memory and written whole through a temporary file that replaces the old one, so a reader
// always sees a complete old or new document.
#include <cstddef>
#include <mutex>

#include "base/config.h"
#include "base/json.h"

// After an upload files.json never holds more records than this; the oldest go first.
constexpr int META_MAX_RECORDS = 20000;
// The device recorded when the upload names none.
constexpr const char* META_UNKNOWN_DEVICE = "未知设备";

// Guards every read-modify-write of files.json and the inbox usage cache. Held only around
// work on the state file and a few assignments, never across network I/O or a folder walk,
// and never taken twice by one thread. (A constant-initialised mutex: ready before any thread
// can use it.)
extern std::mutex MetaLock;

// ---- State files (files.json here, texts.json for the shared texts) --------------------
// A state file is never silently overwritten: one that is there but cannot be read is left
// alone and the change that needed it is not made; one that reads but is not a document of
// the right kind is moved aside, under its name followed by ".bad-" and the time (UTC,
// "files.json.bad-20260314-092653Z", a counter added when that is taken), and a new one is
// started.

// What state_load_json found.
enum StateLoad : int {
    STATE_LOADED = 0,       // *out is the stored value, or an empty one when there is no file
    STATE_UNREADABLE = -1,  // the file is there but could not be read (also: no memory); it is
                            // left alone and *out is null
    STATE_SET_ASIDE = 1,    // the file held no document of that kind: it was moved aside (and
                            // a console line says where) and *out is an empty value
};

// Loads a state file for a change: reads it whole (on Windows, another program holding it is
// waited for about a second) and parses it. The caller frees *out with json_free and holds
// the lock of that file's changes, since a bad file is moved aside here.
StateLoad state_load_json(const char* path, JsonKind kind, JsonValue** out);

// Loads a state file for reading only: the value when it parses and is of the given kind,
// else null (missing, unreadable, not JSON, another kind); nothing is moved. The caller frees
// the result with json_free. Needs no lock: files are only ever replaced whole.
JsonValue* state_peek_json(const char* path, JsonKind kind);

// Replaces the file at path with the given bytes: they are written to path + ".tmp", forced
// to disk and closed, and only when all of that succeeded is the temporary file moved over
// path (retried for about a second while a reader on Windows holds the old file). Returns 0
// on success; -1 when anything failed, and then path still holds its old content and the
// temporary file is gone. Writers of the same path are serialised here; the read-modify-write
// around it needs its own lock.
int state_write_file(const char* path, const char* bytes, size_t length);

// ---- Sender records (each operation takes MetaLock for its whole duration) -------------
// files.json lives in the state folder of the configuration given.

// The path of files.json: config->state_dir, the separator, "files.json". Newly allocated;
// null when memory runs out.
char* meta_files_path(const Config* config);

// Records device (META_UNKNOWN_DEVICE when null or empty) and the current time, the same for
// all, for each non-null relative path. An existing record of a path is replaced in its
// place; new ones are appended; then the oldest records beyond META_MAX_RECORDS are dropped
// (a missing time counts as 0; of equal times the earlier record goes). Nothing happens when
// paths is null or count <= 0. An invalid files.json is moved aside and started afresh.
// Returns 0, or -1 when files.json is there but cannot be read: it is left alone and nothing
// is recorded.
int meta_record_upload(const Config* config, const char* const* paths, int count,
                       const char* device);

// Removes the record of each non-null path (exact key). files.json is rewritten only when a
// record was removed; an unreadable one is left alone.
void meta_forget(const Config* config, const char* const* paths, int count);

// Removes the record of rel and of everything under it (keys beginning with rel + "/"), so
// forgetting "photos" keeps "photos2/..." and "photosx". Null or empty rel does nothing.
void meta_forget_tree(const Config* config, const char* rel);

// Resets files.json to "{}".
void meta_clear(const Config* config);
