#include "http/download.h"

#include <cstdlib>
#include <cstring>

#include "base/strbuf.h"
#include "base/text.h"
#include "http/request.h"
#include "http/response.h"

namespace {

bool starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Copies the span through memory, one file read and one send at a time.
void send_by_reading(HttpAnswer* answer, FsFile* file, int64_t remaining) {
    char* buffer = static_cast<char*>(malloc(FILE_CHUNK_BYTES));
    if (!buffer) return;
    while (remaining > 0) {
        int64_t want = remaining < FILE_CHUNK_BYTES ? remaining : FILE_CHUNK_BYTES;
        int64_t got = fs_read(file, buffer, static_cast<size_t>(want));
        if (got <= 0) break;
        if (!http_answer_body(answer, buffer, static_cast<uint64_t>(got))) break;
        remaining -= got;
    }
    free(buffer);
}


// Parses "text" strictly; 1 and the value, or 0.
int parse_number(const char* text, int64_t* out) {
    return http_parse_int64(text, strlen(text), out);
}

}  // namespace

int http_is_previewable(const char* mime) {
    if (!mime) return 0;
    return starts_with(mime, "image/") || starts_with(mime, "video/") ||
           starts_with(mime, "audio/") || starts_with(mime, "text/") ||
           strcmp(mime, "application/pdf") == 0;
}

char* http_ascii_filename(const char* name) {
    StrBufOwner out;
    for (const char* p = name ? name : ""; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        // Control characters (a Linux file name may hold a line break) would end the header.
        if (c >= 0x80 || c == '"' || c < 0x20 || c == 0x7F) continue;
        sb_append_char(out.get(), static_cast<char>(c));
    }
    if (out->len == 0) return strdup("file");
    return sb_detach(out.get());
}

int http_parse_range(const char* value, int64_t size, int64_t* start_out, int64_t* end_out) {
    *start_out = 0;
    *end_out = size - 1;
    char* copy = strdup(value ? value : "");
    if (!copy) return 0;
    char* comma = strchr(copy, ',');
    if (comma) *comma = '\0';
    char* range = http_trim(copy);
    int partial = 1;
    char* dash = strchr(range, '-');
    if (!dash) {
        // "bytes=500": from there to the end; "bytes=": the whole file as a range.
        if (*range && !parse_number(range, start_out)) {
            *start_out = 0;
            partial = 0;
        }
    } else {
        *dash = '\0';
        const char* first = range;
        const char* second = dash + 1;
        int64_t n = 0;
        if (*first) {
            if (!parse_number(first, start_out)) {
                *start_out = 0;
                partial = 0;
            } else if (*second) {
                if (parse_number(second, &n)) {
                    *end_out = n < size - 1 ? n : size - 1;
                } else {
                    *start_out = 0;
                    partial = 0;
                }
            }
        } else if (*second) {
            // A suffix: the last n bytes, all of them when the file is shorter.
            if (parse_number(second, &n)) {
                // A negative count ("--5") starts past the end and is answered 416; it is kept
                // apart because size - n could overflow.
                if (n < 0)
                    *start_out = size;
                else
                    *start_out = size - n < 0 ? 0 : size - n;
            } else {
                partial = 0;
            }
        }
    }
    free(copy);
    return partial;
}

void http_answer_file_span(HttpAnswer* answer, FsFile* file, int64_t start, int64_t length) {
    if (length <= 0 || !answer->begun || answer->broken) return;
    if (!answer->capture) {
        int direct = http_send_file_direct(answer->socket, file, start, length);
        if (direct == 0) answer->broken = true;
        if (direct >= 0) return;
    }
    if (fs_seek(file, static_cast<uint64_t>(start)) != 0) return;
    send_by_reading(answer, file, length);
}
