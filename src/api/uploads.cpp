#include "api/uploads.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "base/json.h"
#include "base/sock.h"
#include "base/strbuf.h"
#include "base/text.h"
#include "http/response.h"
#include "upload/tus.h"

namespace {

constexpr const char* COLLECTION = "/api/uploads";
constexpr const char* PATCH_TYPE = "application/offset+octet-stream";
constexpr const char* JSON_TYPE = "application/json; charset=utf-8";
constexpr const char* NO_SUCH_UPLOAD = "上传不存在或已过期";
constexpr const char* INTERRUPTED = "传输中断，文件没有传完，请重试";

// The answer's fields beside the ones every answer has; at most this many.
constexpr int MAX_FIELDS = 8;

struct Fields {
    HttpExtraHeader items[MAX_FIELDS];
    int count = 0;
    void add(const char* name, const char* value) {
        if (count < MAX_FIELDS) items[count++] = HttpExtraHeader{name, value};
    }
};

// Sends an answer with the usual head (type, length, no caching, framing rules), the protocol
// version unless tus_resumable is false, and the given fields; body may be null.
void send_answer(HttpAnswer* answer, int status, const Fields& extra, const StrBuf* body,
                 bool tus_resumable = true) {
    char length[24];
    snprintf(length, sizeof length, "%llu",
             static_cast<unsigned long long>(body ? body->len : 0));
    Fields all;
    all.add("Content-Type", body ? JSON_TYPE : nullptr);
    all.add("Content-Length", length);
    all.add("Cache-Control", "no-store");
    all.add("Tus-Resumable", tus_resumable ? TUS_VERSION : nullptr);
    HttpExtraHeader fields[MAX_FIELDS * 2];
    int count = 0;
    for (int i = 0; i < all.count; i++) fields[count++] = all.items[i];
    for (int i = 0; i < extra.count; i++) fields[count++] = extra.items[i];
    fields[count++] = HttpExtraHeader{"X-Frame-Options", "SAMEORIGIN"};
    fields[count++] = HttpExtraHeader{"Content-Security-Policy", "frame-ancestors 'self'"};
    StrBufOwner head;
    http_write_head(head.get(), status, nullptr, fields, count);
    if (!http_answer_head(answer, head.get())) return;
    if (body && body->len > 0) http_answer_body(answer, body->data, body->len);
}

void send_error(HttpAnswer* answer, int status, const char* message, Fields extra = Fields{}) {
    StrBufOwner body;
    sb_append_str(body.get(), "{\"error\": ");
    json_append_string(body.get(), message);
    sb_append_str(body.get(), "}");
    if (body->failed) sb_clear(body.get());
    send_answer(answer, status, extra, body.get());
}

// The error answer of a result of the upload store.
void send_result(HttpAnswer* answer, int result, const TusInfo* info) {
    char offset[24];
    Fields extra;
    switch (result) {
    case TUS_NOT_FOUND: send_error(answer, 404, NO_SUCH_UPLOAD); return;
    case TUS_CONFLICT:
        // The offset that would fit, so a client can go on without asking first.
        snprintf(offset, sizeof offset, "%llu", static_cast<unsigned long long>(info->offset));
        extra.add("Upload-Offset", offset);
        send_error(answer, 409, "上传的偏移量不对", extra);
        return;
    case TUS_BUSY: send_error(answer, 409, "这个文件正在上传中，请稍后再试"); return;
    case TUS_TOO_LARGE: send_error(answer, 413, "文件太大"); return;
    case TUS_BAD_REQUEST: send_error(answer, 400, "上传信息不完整或不正确"); return;
    case TUS_NO_FOLDER: send_error(answer, 404, "文件夹不存在"); return;
    case TUS_TOO_MANY: send_error(answer, 429, "未完成的上传太多，请稍后再试"); return;
    case TUS_NO_SPACE: send_error(answer, 400, INTERRUPTED); return;
    default: send_error(answer, 500, "保存上传失败，请重试"); return;
    }
}

// An upload's offset and expiry as header values.
struct StateText {
    char offset[24];
    char length[24];
    char expires[HTTP_DATE_BYTES];
    explicit StateText(const TusInfo& info) {
        snprintf(offset, sizeof offset, "%llu", static_cast<unsigned long long>(info.offset));
        snprintf(length, sizeof length, "%llu", static_cast<unsigned long long>(info.length));
        http_format_date(info.expires, expires);
    }
};

// The value of a header that must be a whole number; -1 when absent or malformed.
int64_t number_header(const HttpRequest* request, const char* name) {
    const char* text = http_header(&request->headers, name);
    int64_t value = -1;
    if (!text || !http_parse_int64(text, strlen(text), &value) || value < 0) return -1;
    return value;
}

void answer_options(HttpAnswer* answer) {
    char max_size[24];
    snprintf(max_size, sizeof max_size, "%llu", static_cast<unsigned long long>(TUS_MAX_SIZE));
    Fields extra;
    extra.add("Tus-Version", TUS_VERSION);
    extra.add("Tus-Extension", TUS_EXTENSIONS);
    extra.add("Tus-Max-Size", max_size);
    send_answer(answer, 204, extra, nullptr, false);
}

void answer_create(const Config* config, HttpAnswer* answer, HttpConn* conn,
                   HttpRequest* request) {
    TextOwner device(http_device_name(&request->headers));
    TusCreate create{number_header(request, "Upload-Length"),
                     http_header(&request->headers, "Upload-Metadata"),
                     device ? device.get() : "", conn->peer_ipv4};
    TusInfo info;
    int result = tus_create(config, &create, &info);
    if (result != TUS_OK) {
        send_result(answer, result, &info);
        return;
    }
    StateText text(info);
    StrBufOwner location;
    sb_append_str(location.get(), COLLECTION);
    sb_append_char(location.get(), '/');
    sb_append_str(location.get(), info.id);
    Fields extra;
    extra.add("Location", location.c_str());
    extra.add("Upload-Offset", text.offset);
    extra.add("Upload-Expires", text.expires);
    send_answer(answer, 201, extra, nullptr);
}

void answer_head(const Config* config, HttpAnswer* answer, const char* id) {
    TusInfo info;
    char* metadata = nullptr;
    int result = tus_info(config, id, &info, &metadata);
    TextOwner metadata_owner(metadata);
    if (result != TUS_OK) {
        send_result(answer, result, &info);
        return;
    }
    StateText text(info);
    Fields extra;
    extra.add("Upload-Offset", text.offset);
    extra.add("Upload-Length", text.length);
    extra.add("Upload-Expires", text.expires);
    if (metadata) extra.add("Upload-Metadata", metadata);
    send_answer(answer, 200, extra, nullptr);
}

void answer_delete(const Config* config, HttpAnswer* answer, const char* id) {
    int result = tus_terminate(config, id);
    if (result != TUS_OK) {
        send_result(answer, result, nullptr);
        return;
    }
    send_answer(answer, 204, Fields{}, nullptr);
}

// Shuts the connection of a request that a newer one takes over; its reading then ends.
void stop_connection(void* conn) {
    sock_shutdown(static_cast<HttpConn*>(conn)->socket);
}

// Streams the body into the upload. Returns TUS_OK, or TUS_NO_SPACE when a write failed.
int stream_body(HttpConn* conn, int64_t length, TusWriter* writer) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[BODY_READ_BYTES]);
    if (!buffer) return TUS_NO_SPACE;
    int64_t remaining = length;
    while (remaining > 0) {
        size_t want = remaining < BODY_READ_BYTES ? size_t(remaining) : size_t(BODY_READ_BYTES);
        int64_t got = http_conn_read(conn, buffer.get(), want);
        if (got <= 0) break;  // cut off: what arrived is kept
        if (tus_patch_write(writer, buffer.get(), size_t(got)) != TUS_OK) return TUS_NO_SPACE;
        remaining -= got;
    }
    return TUS_OK;
}

void answer_patch(const Config* config, HttpAnswer* answer, HttpConn* conn,
                  HttpRequest* request, const char* id) {
    const char* type = http_header(&request->headers, "Content-Type");
    if (!type || !text_equal_ascii_nocase(type, PATCH_TYPE)) {
        send_error(answer, 415, "续传的内容类型必须是 application/offset+octet-stream");
        return;
    }
    int64_t offset = number_header(request, "Upload-Offset");
    if (offset < 0) {
        send_error(answer, 400, "上传信息不完整或不正确");
        return;
    }
    TusWriter* writer = nullptr;
    TusInfo info;
    int result = tus_patch_begin(config, id, uint64_t(offset), request->content_length,
                                 TusStopHook{stop_connection, conn}, &writer, &info);
    if (result != TUS_OK) {
        send_result(answer, result, &info);
        return;
    }
    int streamed = writer ? stream_body(conn, request->content_length, writer) : TUS_OK;
    if (writer) result = tus_patch_end(writer, &info);
    if (streamed != TUS_OK || result != TUS_OK) {
        send_result(answer, streamed != TUS_OK ? streamed : result, &info);
        return;
    }
    StateText text(info);
    Fields extra;
    extra.add("Upload-Offset", text.offset);
    extra.add("Upload-Expires", text.expires);
    send_answer(answer, 204, extra, nullptr);
}

// The method a request stands for: a POST may name another in X-HTTP-Method-Override, for
// clients whose network lets only GET and POST through.
const char* effective_method(const HttpRequest* request) {
    const char* override_method = http_header(&request->headers, "X-HTTP-Method-Override");
    if (strcmp(request->method, "POST") == 0 && override_method && *override_method)
        return override_method;
    return request->method;
}

bool is_upload_method(const char* method) {
    for (const char* known : {"POST", "PATCH", "HEAD", "DELETE", "OPTIONS"})
        if (strcmp(method, known) == 0) return true;
    return false;
}

}  // namespace

bool api_uploads_route(const Config* config, HttpAnswer* answer, HttpConn* conn,
                       HttpRequest* request, const StrBuf* path) {
    size_t base = strlen(COLLECTION);
    if (path->len < base || memcmp(path->data, COLLECTION, base) != 0) return false;
    if (path->len > base && path->data[base] != '/') return false;
    const char* method = effective_method(request);
    if (!is_upload_method(request->method) || !is_upload_method(method)) return false;
    // The upload's id; empty for the collection itself. A zero byte decoded from "%00" ends
    // the text early and so never matches an id.
    const char* id = path->len > base ? path->data + base + 1 : "";
    bool collection = path->len <= base + 1;

    if (strcmp(method, "OPTIONS") == 0) {
        answer_options(answer);
        return true;
    }
    const char* version = http_header(&request->headers, "Tus-Resumable");
    if (!version || strcmp(version, TUS_VERSION) != 0) {
        Fields extra;
        extra.add("Tus-Version", TUS_VERSION);
        send_error(answer, 412, "不支持这个版本的续传协议", extra);
        return true;
    }
    if (collection) {
        if (strcmp(method, "POST") == 0)
            answer_create(config, answer, conn, request);
        else
            send_error(answer, 404, NO_SUCH_UPLOAD);
        return true;
    }
    if (strlen(id) != path->len - base - 1 || strcmp(method, "POST") == 0) {
        send_error(answer, 404, NO_SUCH_UPLOAD);
        return true;
    }
    if (strcmp(method, "HEAD") == 0)
        answer_head(config, answer, id);
    else if (strcmp(method, "DELETE") == 0)
        answer_delete(config, answer, id);
    else
        answer_patch(config, answer, conn, request, id);
    return true;
}
