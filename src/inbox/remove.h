#pragma once
// Deleting files and folders of the inbox, clearing it, and measuring a file or folder before
// the page asks the user to confirm a deletion. The inbox itself and hidden names can be
// neither deleted nor measured. Each takes the configuration whose inbox it works on.
#include "base/config.h"
#include "base/strbuf.h"

// Deletes the file, folder or link at the client path rel. Both outputs are set to 0 first.
// 0 on success: for a folder or link *is_folder_out is 1 and *removed_out the number of items
// removed (the folder itself included; partial failure only lowers it). -1 when the path is
// refused, is the inbox itself, or names nothing; -2 when a file exists but cannot be deleted
// (its record and the usage are then untouched).
int inbox_delete(const Config* config, const char* rel, int* removed_out, int* is_folder_out);
// Deletes every visible entry at the inbox's top level with everything inside it (dot-named
// entries there, the state folder among them, stay), resets the sender records and marks the
// usage stale. Always 0; *removed_out receives the number of items removed.
int inbox_clear(const Config* config, int* removed_out);
// Appends {"files": F, "dirs": D, "size": S} for the file or folder at the client path rel
// (a folder's own entry is not counted in dirs; hidden names and links inside are not counted
// at all). 0 on success; -1 when the path is refused or names neither a file nor a folder.
int inbox_stat_json(const Config* config, StrBuf* sb, const char* rel);
