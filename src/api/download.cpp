#include "api/download.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fs.h"
#include "base/strbuf.h"
#include "base/text.h"
#include "http/download.h"
#include "http/response.h"
#include "inbox/mime.h"
#include "inbox/paths.h"

namespace {

const char* const NOT_FOUND = "文件不存在";

// The file that a request names, open from the start: the head is made from the file that
// will be sent, so a file replaced or deleted meanwhile still gets its own length and bytes.
struct ServedFile {
    char* path = nullptr;  // absolute
    char* name = nullptr;  // its last component
    FsFile* file = nullptr;
    int64_t size = 0;
    ~ServedFile() {
        fs_close(file);
        free(path);
        free(name);
    }
};

// Resolves the relative path to an existing regular file inside the inbox. 1 or 0.
int resolve_file(const Config* config, const char* relative_path, ServedFile* file) {
    char** components = nullptr;
    int count = rel_split(relative_path, &components);
    if (count <= 0) {
        rel_free(components, count);
        return 0;
    }
    file->path = rel_join(config, components, count);
    // The name comes from the client's own components: the inbox folder's path may itself
    // contain either separator.
    file->name = strdup(components[count - 1]);
    rel_free(components, count);
    if (!file->path || !file->name) return 0;
    file->file = fs_open_read(file->path);
    uint64_t size = 0;
    if (!file->file || fs_file_size(file->file, &size) != 0) return 0;
    if (size > static_cast<uint64_t>(INT64_MAX)) return 0;
    file->size = static_cast<int64_t>(size);
    return 1;
}

bool starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// "inline" or "attachment", the fallback name and the percent-encoded name.
void append_disposition_value(StrBuf* out, const char* mime, const char* query, const char* name) {
    char* dl = http_query_param(query, "dl");
    bool attachment = (dl && strcmp(dl, "1") == 0) || !http_is_previewable(mime);
    free(dl);
    char* ascii = http_ascii_filename(name);
    StrBufOwner encoded;
    url_encode(encoded.get(), name);
    // One formatted piece: a value too long for it comes out empty rather than cut.
    sb_appendf(out, "%s; filename=\"%s\"; filename*=UTF-8''%s",
               attachment ? "attachment" : "inline", ascii ? ascii : "file", encoded.c_str());
    free(ascii);
}

void send_range_not_satisfiable(HttpAnswer* answer, int64_t size) {
    char range[48];
    snprintf(range, sizeof range, "bytes */%llu", static_cast<unsigned long long>(size));
    const HttpExtraHeader fields[] = {{"Content-Range", range}, {"Content-Length", "0"}};
    StrBufOwner head;
    http_write_head(head.get(), 416, "Requested Range Not Satisfiable", fields, 2);
    http_answer_head(answer, head.get());
}

struct Span {
    int64_t start;
    int64_t end;  // inclusive
    int partial;
};

void format_file_head(StrBuf* head, const ServedFile& file, const char* mime,
                      const char* disposition, const Span& span) {
    char length[24], range[80];
    snprintf(length, sizeof length, "%lld", static_cast<long long>(span.end - span.start + 1));
    snprintf(range, sizeof range, "bytes %lld-%lld/%llu", static_cast<long long>(span.start),
             static_cast<long long>(span.end), static_cast<unsigned long long>(file.size));
    // A file shown inline runs in the page's own origin: an uploaded HTML or SVG file must not
    // be able to script the endpoints. PDF viewers refuse to render inside a sandbox.
    bool sandboxed = strcmp(mime, "application/pdf") != 0;
    const HttpExtraHeader fields[] = {
        {"Content-Type", mime},
        {"Content-Length", length},
        {"Content-Disposition", disposition},
        {"Accept-Ranges", "bytes"},
        {"Cache-Control", "no-store"},
        {"Content-Range", span.partial ? range : nullptr},
        {"X-Content-Type-Options", "nosniff"},
        {"Content-Security-Policy", sandboxed ? "sandbox" : nullptr},
    };
    http_write_head(head, span.partial ? 206 : 200, span.partial ? "Partial Content" : "OK",
                    fields, 8);
}

}  // namespace

void api_serve_file(const Config* config, HttpAnswer* answer, const char* relative_path,
                    const char* query, const HeaderList* headers, int is_head) {
    ServedFile served;
    if (!resolve_file(config, relative_path, &served)) {
        http_send_error(answer, NOT_FOUND, 404);
        return;
    }
    const char* mime = mime_for_name(served.name);
    StrBufOwner disposition;
    append_disposition_value(disposition.get(), mime, query, served.name);

    Span span = {0, served.size - 1, 0};
    const char* range = http_header(headers, "Range");
    if (range && starts_with(range, "bytes=")) {
        span.partial = http_parse_range(range + 6, served.size, &span.start, &span.end);
        if (span.start > span.end || span.start >= served.size) {
            send_range_not_satisfiable(answer, served.size);
            return;
        }
    }

    StrBufOwner head;
    format_file_head(head.get(), served, mime, disposition.c_str(), span);
    if (!http_answer_head(answer, head.get()) || is_head) return;
    http_answer_file_span(answer, served.file, span.start, span.end - span.start + 1);
}
