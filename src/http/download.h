#pragma once
// File downloads under "/f/": every inbox file by its relative path, with one byte range so
// phones can seek in videos and resume downloads. Streams files of any size (64-bit sizes and
// offsets) without holding them in memory.
#include <cstdint>

#include "base/fs.h"
#include "http/request.h"
#include "http/sock.h"

// The amount read from the file per step when the body is copied through memory.
constexpr int64_t FILE_CHUNK_BYTES = 262144;

// Answers GET or HEAD of "/f/" + relative_path completely: 200 with the whole file, 206 with
// one range, 404 "文件不存在" for a refused, empty, missing or non-file path, 416 for a range
// beyond the file. relative_path is percent-decoded, query is not. HEAD sends the head only.
void http_serve_file(SockHandle socket, const char* relative_path, const char* query,
                     const HeaderList* headers, int is_head);
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

// Platform: sends length bytes of file from offset start straight from the file system to
// the socket. 1 when all were sent; 0 when a send failed or the file ended early; -1 when the
// platform has no such path for this file and nothing was sent (the caller then copies
// through memory).
int http_send_file_direct(SockHandle socket, FsFile* file, int64_t start, int64_t length);
