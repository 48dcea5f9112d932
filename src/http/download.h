#pragma once
// Answers made of files: one byte range of a file, the headers that name a download, and
// sending a span of an open file of any size (64-bit sizes and offsets) without holding it in
// memory.
#include <cstdint>

#include "base/fs.h"
#include "base/sock.h"
#include "http/response.h"

// The amount read from the file per step when the body is copied through memory.
constexpr int64_t FILE_CHUNK_BYTES = 262144;

// 1 when a browser can show the type itself: "image/", "video/", "audio/" or "text/" types
// and "application/pdf"; else 0.
int http_is_previewable(const char* mime);
// The quoted-string fallback of a file name for Content-Disposition: the ASCII bytes of name
// without double quotes and control characters; "file" when nothing is left. Newly allocated,
// the caller frees it; null only when memory runs out.
char* http_ascii_filename(const char* name);
// Applies a "bytes=" range (value is the text after "bytes=") to a file of size bytes: sets
// *start_out and *end_out (inclusive) and returns 1 for a partial answer (206), 0 for the
// whole file (200) when the numbers cannot be read. Only the first range of a list counts.
// The caller answers 416 when *start_out > *end_out or *start_out >= size.
int http_parse_range(const char* value, int64_t size, int64_t* start_out, int64_t* end_out);

// Sends length bytes of file from offset start as body of the begun answer: straight from the
// file system to its socket where the platform can, else read through memory. Stops at the
// first failed send or a short read. Sends nothing before the answer's head.
void http_answer_file_span(HttpAnswer* answer, FsFile* file, int64_t start, int64_t length);

// Platform: sends length bytes of file from offset start straight from the file system to
// the socket. 1 when all were sent; 0 when a send failed or the file ended early; -1 when the
// platform has no such path for this file and nothing was sent (the caller then copies
// through memory).
int http_send_file_direct(SockHandle socket, FsFile* file, int64_t start, int64_t length);
