// "/zip": the selection of a form body, or of a download address, streamed as one archive.
#include "api/zip.h"

#include <cstdlib>
#include <cstring>

#include "api/login.h"
#include "base/clock.h"
#include "base/strbuf.h"
#include "http/request.h"
#include "http/response.h"
#include "zip/zip.h"
#include "zip/zip_links.h"
#include "zip/zip_platform.h"

namespace {

constexpr const char* MSG_NOTHING_SELECTED = "没有选择文件";
constexpr const char* MSG_TOO_MANY_FORMAT = "一次最多 %d 个文件";
constexpr const char* MSG_TOO_MANY_FALLBACK = "文件太多";
constexpr const char* MSG_EMPTY_FOLDER = "选中的文件夹是空的，空文件夹装不进 zip";
constexpr const char* MSG_NOT_FOUND = "文件不存在";
constexpr const char* MSG_PACK_FAILED = "打包失败，请重试";
constexpr const char* MSG_LINK_GONE = "下载地址已过期，请回到页面重新点下载";

// Owns the names of a selection.
struct NamesOwner {
    char** names = nullptr;
    int count = 0;
    NamesOwner() = default;
    NamesOwner(const NamesOwner&) = delete;
    NamesOwner& operator=(const NamesOwner&) = delete;
    ~NamesOwner() { zip_names_free(names, count); }
};

// Owns an expanded selection.
struct ListOwner {
    ZipList list{};
    ListOwner() = default;
    ListOwner(const ListOwner&) = delete;
    ListOwner& operator=(const ListOwner&) = delete;
    ~ListOwner() { zip_list_free(&list); }
};

void send_too_many(HttpAnswer* answer) {
    StrBufOwner message;
    if (sb_appendf(message.get(), MSG_TOO_MANY_FORMAT, ZIP_MAX_FILES) == 0)
        http_send_error(answer, message.c_str(), 400);
    else
        http_send_error(answer, MSG_TOO_MANY_FALLBACK, 400);
}

// Reads the form body's names. False when it answered instead: the body could not be read,
// or it selects nothing or too many.
bool read_names(HttpAnswer* answer, HttpConn* conn, const HttpRequest* request, NamesOwner* names) {
    int64_t got = 0;
    char* body = http_read_body(conn, request->content_length, &got);
    if (conn->body_refused) {
        http_send_error(answer, HTTP_BODY_BUSY_MESSAGE, 503);
        return false;
    }
    if (!body || got <= 0) {
        free(body);
        http_send_error(answer, MSG_NOTHING_SELECTED, 400);
        return false;
    }
    int parsed = zip_form_names(body, static_cast<size_t>(got), ZIP_MAX_FILES + 1, &names->names,
                                &names->count);
    free(body);
    if (parsed != 0) {
        http_send_error(answer, MSG_PACK_FAILED, 500);
        return false;
    }
    if (names->count == 0) {
        http_send_error(answer, MSG_NOTHING_SELECTED, 400);
        return false;
    }
    if (names->count > ZIP_MAX_FILES) {
        send_too_many(answer);
        return false;
    }
    return true;
}

// Expands the names into the archive's files and plans it. False when it answered why no
// archive can be made: too many files, an empty folder, nothing found, or all that can fail
// without the files' bytes (a name too long for the format).
bool expand_and_plan(const Config* config, HttpAnswer* answer, const NamesOwner* names,
                     ZipList* list, ZipPlan* plan) {
    int folder_selected = 0;
    int expanded = zip_expand(config, names->names, names->count, list, &folder_selected);
    if (expanded == ZIP_EXPAND_TOO_MANY) {
        send_too_many(answer);
        return false;
    }
    if (list->count == 0) {
        if (folder_selected)
            http_send_error(answer, MSG_EMPTY_FOLDER, 400);
        else
            http_send_error(answer, MSG_NOT_FOUND, 404);
        return false;
    }
    if (zip_plan(list->entries, list->count, ZIP64_FIELD_LIMIT, plan) != ZIP_PLAN_OK) {
        http_send_error(answer, MSG_PACK_FAILED, 500);
        return false;
    }
    return true;
}

int write_to_answer(void* context, const void* bytes, size_t len) {
    return http_answer_body(static_cast<HttpAnswer*>(context), bytes, len);
}

// Sends the head with the archive's exact length, then (unless is_head) the archive as it is
// produced. Once the head is out a failure can no longer change the status: the connection
// is cut instead, so the client's download fails rather than ending in an archive that
// looks complete.
void send_archive(HttpAnswer* answer, const ZipPlan* plan, ZipStream* stream, int is_head) {
    ZipCalendar now{};
    zip_local_now(&now);
    char* download_name = zip_download_name(&now);
    char* disposition = download_name ? zip_disposition(download_name) : nullptr;
    free(download_name);
    HttpExtraHeader extra{"Content-Disposition", disposition ? disposition : ""};
    StrBufOwner head;
    http_format_head(head.get(), 200, "application/zip", plan->total_bytes, &extra, 1);
    free(disposition);
    if (!http_answer_head(answer, head.get()) || is_head) return;
    ZipSink sink{write_to_answer, answer};
    if (zip_stream_send(stream, &sink) != ZIP_STREAM_OK) http_answer_abort(answer);
}

// Answers with the archive of the names, or why it cannot be made. The stream's memory is
// asked for before the head, so that failing for want of it can still be answered.
void answer_archive(const Config* config, HttpAnswer* answer, const NamesOwner* names,
                    int is_head) {
    ListOwner list;
    ZipPlan plan{};
    if (!expand_and_plan(config, answer, names, &list.list, &plan)) return;
    ZipStreamOwner stream(zip_stream_new(&plan));
    if (!stream.get()) {
        http_send_error(answer, MSG_PACK_FAILED, 500);
        return;
    }
    send_archive(answer, &plan, stream.get(), is_head);
}

void send_link(HttpAnswer* answer, const char* id) {
    // An id is hex digits: nothing in it needs escaping.
    StrBufOwner body;
    sb_appendf(body.get(), "{\"id\": \"%s\", \"url\": \"/zip?id=%s\"}", id, id);
    http_send_json(answer, 200, body.get());
}

}  // namespace

void api_zip(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
             const char*) {
    NamesOwner names;
    if (!read_names(answer, conn, request, &names)) return;
    answer_archive(config, answer, &names, 0);
}

void api_zip_link(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                  const char*) {
    char session[API_SESSION_ID_BYTES];
    if (!api_session_id(config, request, session)) {
        api_send_login_needed(config, answer);
        return;
    }
    NamesOwner names;
    if (!read_names(answer, conn, request, &names)) return;
    {
        ListOwner list;
        ZipPlan plan{};
        if (!expand_and_plan(config, answer, &names, &list.list, &plan)) return;
    }
    char id[ZIP_LINK_ID_CHARS + 1];
    if (zip_link_add(zip_links(), names.names, names.count, session, clock_monotonic_ms(), id) !=
        ZIP_LINK_OK) {
        http_send_error(answer, MSG_PACK_FAILED, 500);
        return;
    }
    send_link(answer, id);
}

void api_zip_by_id(const Config* config, HttpAnswer* answer, const HttpRequest* request,
                   const char* query, int is_head) {
    char session[API_SESSION_ID_BYTES];
    if (!api_session_id(config, request, session)) {
        api_send_login_needed(config, answer);
        return;
    }
    char* id = http_query_param(query, "id");
    NamesOwner names;
    int found =
        zip_link_find(zip_links(), id, session, clock_monotonic_ms(), &names.names, &names.count);
    free(id);
    if (found == ZIP_LINK_FIND_NO_MEMORY) {
        http_send_error(answer, MSG_PACK_FAILED, 500);
        return;
    }
    if (found != ZIP_LINK_FOUND) {
        http_send_error(answer, MSG_LINK_GONE, 404);
        return;
    }
    answer_archive(config, answer, &names, is_head);
}
