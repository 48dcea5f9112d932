#pragma once
// Streaming multipart/form-data parser.
//
// Parses one request body in a single pass with a bounded window of memory (one read of at
// most MP_READ_MAX bytes plus the few bytes of a delimiter that may straddle two reads, and a
// part's header block of at most MP_HEADER_MAX bytes). It never holds a part's content and
// never reads past the body's Content-Length. It knows nothing of files or HTTP: the caller
// supplies the byte source and, for each part, a sink for its content.
#include <cstddef>
#include <cstdint>

// Largest single read, and the size of the pieces in which the tail of a body is drained.
constexpr size_t MP_READ_MAX = 262144;
// Longest header block of one part; a longer one ends the parse as an interrupted upload.
constexpr size_t MP_HEADER_MAX = 65536;

// Places up to capacity bytes of the body into buffer. Returns the count (at least 1), or 0
// or less when the body has ended or the connection failed. capacity is never more than
// MP_READ_MAX nor more than what is left of the body.
typedef int64_t (*MpReadFn)(void* context, char* buffer, size_t capacity);

// Where one part's content goes. write receives non-empty chunks in body order and returns 0
// on success, anything else on failure; close (may be null) is called once after the part's
// content has ended, whether the part succeeded or not. The sink must stay valid until then.
struct MpSink {
    int (*write)(void* context, const char* bytes, size_t length);
    void (*close)(void* context);
    void* context;
};

// Asked once per part. field_name and file_name may be null; content_type is never null
// ("application/octet-stream" when the part has none). The texts belong to the parser and
// are freed after the part. A null result has the part's content read and thrown away.
typedef MpSink* (*MpOpenFn)(void* context, const char* field_name, const char* file_name,
                            const char* content_type);

// Parses a body of content_length bytes whose Content-Type value is content_type.
// Returns -1 when content_type is null or has no usable boundary, or memory runs out before
// anything is read (no body byte has been read then); 1 when the closing delimiter was reached
// and every part ended at its delimiter with every write accepted (a form with no parts
// included); 0 otherwise: the body ended early, a header block was missing, empty or longer
// than MP_HEADER_MAX, a write failed (parsing stops there), or memory ran out. With 0 or 1
// the rest of the body has been read and thrown away before returning.
int mp_parse(MpReadFn read, void* read_context, int64_t content_length, const char* content_type,
             MpOpenFn open, void* open_context);
