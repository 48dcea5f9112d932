// POST "/zip": the selection of a form body streamed as one archive download.
#include "api/zip.h"

#include <cstdlib>

#include "base/strbuf.h"
#include "http/request.h"
#include "http/response.h"
#include "zip/zip.h"
#include "zip/zip_platform.h"

namespace {

constexpr const char* MSG_NOTHING_SELECTED = "没有选择文件";
constexpr const char* MSG_TOO_MANY_FORMAT = "一次最多 %d 个文件";
constexpr const char* MSG_TOO_MANY_FALLBACK = "文件太多";
constexpr const char* MSG_EMPTY_FOLDER = "选中的文件夹是空的，空文件夹装不进 zip";
constexpr const char* MSG_NOT_FOUND = "文件不存在";
constexpr const char* MSG_PACK_FAILED = "打包失败，请重试";

void send_too_many(HttpAnswer* answer) {
    StrBufOwner message;
    if (sb_appendf(message.get(), MSG_TOO_MANY_FORMAT, ZIP_MAX_FILES) == 0)
        http_send_error(answer, message.c_str(), 400);
    else
        http_send_error(answer, MSG_TOO_MANY_FALLBACK, 400);
}

int write_to_answer(void* context, const void* bytes, size_t len) {
    return http_answer_body(static_cast<HttpAnswer*>(context), bytes, len);
}

// Sends the head with the archive's exact length, then the archive as it is produced. Once
// the head is out a failure can no longer change the status: the connection is cut instead,
// so the client's download fails rather than ending in an archive that looks complete.
void send_archive(HttpAnswer* answer, const ZipPlan* plan, ZipStream* stream) {
    ZipCalendar now{};
    zip_local_now(&now);
    char* download_name = zip_download_name(&now);
    char* disposition = download_name ? zip_disposition(download_name) : nullptr;
    free(download_name);
    HttpExtraHeader extra{"Content-Disposition", disposition ? disposition : ""};
    StrBufOwner head;
    http_format_head(head.get(), 200, "application/zip", plan->total_bytes, &extra, 1);
    free(disposition);
    if (!http_answer_head(answer, head.get())) return;
    ZipSink sink{write_to_answer, answer};
    if (zip_stream_send(stream, &sink) != ZIP_STREAM_OK) http_answer_abort(answer);
}

// Plans the archive of the list and streams it, or answers why it cannot be made: all that
// can fail without the files' bytes (a name too long for the format, no memory for the
// stream) fails before the head.
void pack_and_send(HttpAnswer* answer, const ZipList* list) {
    ZipPlan plan{};
    if (zip_plan(list->entries, list->count, ZIP64_FIELD_LIMIT, &plan) != ZIP_PLAN_OK) {
        http_send_error(answer, MSG_PACK_FAILED, 500);
        return;
    }
    ZipStreamOwner stream(zip_stream_new(&plan));
    if (!stream.get()) {
        http_send_error(answer, MSG_PACK_FAILED, 500);
        return;
    }
    send_archive(answer, &plan, stream.get());
}

}  // namespace

void api_zip(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
             const char*) {
    int64_t got = 0;
    char* body = http_read_body(conn, request->content_length, &got);
    if (conn->body_refused) {
        http_send_error(answer, HTTP_BODY_BUSY_MESSAGE, 503);
        return;
    }
    if (!body || got <= 0) {
        free(body);
        http_send_error(answer, MSG_NOTHING_SELECTED, 400);
        return;
    }
    char** names = nullptr;
    int name_count = 0;
    int parsed =
        zip_form_names(body, static_cast<size_t>(got), ZIP_MAX_FILES + 1, &names, &name_count);
    free(body);
    if (parsed != 0) {
        http_send_error(answer, MSG_PACK_FAILED, 500);
        return;
    }
    if (name_count == 0) {
        http_send_error(answer, MSG_NOTHING_SELECTED, 400);
        return;
    }
    if (name_count > ZIP_MAX_FILES) {
        zip_names_free(names, name_count);
        send_too_many(answer);
        return;
    }

    ZipList list{};
    int folder_selected = 0;
    int expanded = zip_expand(config, names, name_count, &list, &folder_selected);
    zip_names_free(names, name_count);
    if (expanded == ZIP_EXPAND_TOO_MANY) {
        send_too_many(answer);
    } else if (list.count == 0) {
        if (folder_selected)
            http_send_error(answer, MSG_EMPTY_FOLDER, 400);
        else
            http_send_error(answer, MSG_NOT_FOUND, 404);
    } else {
        pack_and_send(answer, &list);
    }
    zip_list_free(&list);
}
