#pragma once
// Shared texts: a small self-pruning list of short texts that every device sees, newest
// first, stored as one JSON array in texts.json in the state folder. It keeps at most the 100
// newest texts and forgets texts older than three days.
//
// Every change reads, edits and rewrites texts.json under one lock, so texts posted at the
// same moment from several devices are all kept. Readers take no lock: the file is replaced
// whole by a move. The store is the one in the state folder of the configuration given.
#include <cstddef>

#include "base/config.h"
#include "base/strbuf.h"
#include "inbox/meta.h"

struct JsonValue;

constexpr size_t TEXT_MAX_CHARS = 20000;
// A sender's name is kept to as many characters as a device name from the header: every page
// downloads the whole list every few seconds.
constexpr size_t TEXT_FROM_MAX_CHARS = 40;
constexpr int TEXTS_MAX_ITEMS = 100;
constexpr double TEXTS_MAX_AGE_SECONDS = 259200.0;  // three days

// Results of texts_add and texts_delete besides 0.
constexpr int TEXTS_FAILED = -1;      // not stored (no memory)
constexpr int TEXTS_UNREADABLE = -2;  // texts.json is there but cannot be read; left alone

// The stored array for a change (texts_add, texts_delete: under their lock), with
// state_load_json's result: an empty array when there is no texts.json yet or a bad one was
// set aside; null with STATE_UNREADABLE. *cutoff_out receives now minus
// TEXTS_MAX_AGE_SECONDS (seconds since 1970): items not later than that are expired. The
// caller frees *out.
StateLoad texts_load(const Config* config, double* cutoff_out, JsonValue** out);
// Sorts the array in place by "time", newest first (equal times keep their order; a missing,
// non-numeric or non-finite time counts as 0), and appends the list text: at most 100 items
// later than cutoff, each rewritten from its members as {"id", "text", "from", "time"}.
void texts_write_list(StrBuf* sb, JsonValue* array, double cutoff);
// Stores a text (already trimmed and cut) from device at the front of the list. The device
// name is trimmed and cut to TEXT_FROM_MAX_CHARS whole characters here, whoever sent it, and
// nothing else is done to it (no percent-decoding); null, or a name that trims to nothing,
// stores the unknown device. 0 when stored, TEXTS_UNREADABLE or TEXTS_FAILED otherwise.
int texts_add(const Config* config, const char* text, const char* device);
// Removes the first item whose "id" equals id (null counts as "") and rewrites the store,
// also when nothing matched. 0, TEXTS_UNREADABLE, or TEXTS_FAILED without memory.
int texts_delete(const Config* config, const char* id);
// Empties the store ("[]").
void texts_clear(const Config* config);
// Appends the current list (expired items hidden; nothing is written to disk, and a
// texts.json that cannot be read or is invalid lists as empty).
void texts_list_json(const Config* config, StrBuf* sb);
