#include "api/remove.h"

#include <cstdlib>

#include "base/console.h"
#include "base/json.h"
#include "base/strbuf.h"
#include "http/request.h"
#include "http/response.h"
#include "inbox/paths.h"
#include "inbox/remove.h"
#include "inbox/usage.h"
#include "upload/tus.h"

namespace {

constexpr const char* NO_SUCH_FILE = "文件不存在";
constexpr const char* CANNOT_DELETE = "删不掉：文件被占用或没有权限";

// The client path of a delete or stat body: "path" when it is a string, else "name". Borrowed
// from the body; null when neither is a string.
const char* body_path(const JsonValue* body) {
    const char* path = json_string(json_get(body, "path"));
    return path ? path : json_string(json_get(body, "name"));
}

void write_console_line(const Config* config, StrBuf* line) {
    usage_append_line(config, line, USAGE_WARN_SAME_LINE);
    con_write_line(line->data);
}

}  // namespace

void api_delete(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                const char*) {
    int removed = 0, is_folder = 0, rc;
    char* label;
    {
        JsonOwner body(http_read_json(conn, request->content_length));
        if (!body.value) {
            http_send_error(answer, HTTP_BODY_BUSY_MESSAGE, 503);
            return;
        }
        const char* path = body_path(body.value);
        // Formed before the deletion: afterwards the path names nothing.
        label = rel_normalize(path);
        rc = inbox_delete(config, path, &removed, &is_folder);
    }
    if (rc != 0) {
        free(label);
        if (rc == -2)
            http_send_error(answer, CANNOT_DELETE, 500);
        else
            http_send_error(answer, NO_SUCH_FILE, 404);
        return;
    }
    if (label && label[0]) {
        StrBufOwner line;
        // Pieces rather than one formatted append: a deep path may pass the formatting limit.
        if (is_folder) {
            sb_append_str(line.get(), "  删除文件夹 ");
            sb_append_str(line.get(), label);
            sb_appendf(line.get(), "（%d 项）", removed);
        } else {
            sb_append_str(line.get(), "  删除 ");
            sb_append_str(line.get(), label);
        }
        write_console_line(config, line.get());
    }
    free(label);

    StrBufOwner json;
    if (is_folder)
        sb_appendf(json.get(), "{\"ok\": true, \"removed\": %d}", removed);
    else
        sb_append_str(json.get(), "{\"ok\": true}");
    http_send_json(answer, 200, json.get());
}

void api_clear(const Config* config, HttpAnswer* answer, HttpConn*, HttpRequest*, const char*) {
    int removed = 0;
    // Unfinished uploads go too: they were on their way into the inbox being emptied.
    tus_drop_all(config);
    inbox_clear(config, &removed);
    StrBufOwner line;
    sb_appendf(line.get(), "  清空收件箱（%d 项）", removed);
    write_console_line(config, line.get());

    StrBufOwner json;
    sb_appendf(json.get(), "{\"ok\": true, \"removed\": %d}", removed);
    http_send_json(answer, 200, json.get());
}

void api_stat(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
              const char*) {
    StrBufOwner json;
    int rc;
    {
        JsonOwner body(http_read_json(conn, request->content_length));
        if (!body.value) {
            http_send_error(answer, HTTP_BODY_BUSY_MESSAGE, 503);
            return;
        }
        rc = inbox_stat_json(config, json.get(), body_path(body.value));
    }
    if (rc != 0) {
        http_send_error(answer, NO_SUCH_FILE, 404);
        return;
    }
    http_send_json(answer, 200, json.get());
}
