#pragma once
// Storing an upload: streams the file parts of one multipart request straight to disk,
// rebuilding the sent folder trees inside the target folder.
//
// A top-level folder whose name is taken gets a numbered name for the whole tree (photos
// becomes photos(1)); inside one request every file of that folder lands in the same tree.
// Names are chosen and created in one step, so two requests never write into one file or
// share one numbered folder; numbering a name again goes on from the request's last number
// for it. A file that Windows Explorer would act on when showing the folder (desktop.ini,
// .lnk, .scf, .url, ...) is stored with ".txt" after its name, and the answer reports that
// name. An interrupted request leaves nothing behind: its files are
// deleted and the folders it created are removed.
#include <cstddef>
#include <cstdint>
#include "base/config.h"
#include "base/strbuf.h"
#include "upload/multipart.h"

// The body of one upload request: read returns the next bytes of the source (0 or less at the
// end or on failure); content_type is the request's Content-Type header (null when absent).
struct UploadBody {
    MpReadFn read;
    void* source;
    int64_t length;
    const char* content_type;
};

// Results of upload_store.
constexpr int UPLOAD_STORED = 0;         // every file kept; answer holds the success object
constexpr int UPLOAD_NO_FOLDER = -1;     // dir is refused or not a folder; the body is unread
constexpr int UPLOAD_NOT_MULTIPART = -2;  // not a multipart body; nothing kept
constexpr int UPLOAD_INTERRUPTED = -3;   // the body ended early or a write failed; nothing kept
constexpr int UPLOAD_NO_FILE = -4;       // a whole body without any file part

// Stores the file parts of a multipart body in the folder dir (a client path, empty for the
// inbox itself) of config's inbox, recording device as their sender and writing the console
// line. On UPLOAD_STORED appends {"ok": true, "files": [{"name", "size"}, ...]} to answer.
int upload_store(const Config* config, const char* dir, const UploadBody* body, const char* device,
                 StrBuf* answer);
