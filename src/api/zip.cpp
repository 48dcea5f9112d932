// POST "/zip": the selection of a form body packed into one archive and sent as a download.
#include "api/zip.h"

#include <cstdlib>

#include "base/fs.h"
#include "base/strbuf.h"
#include "http/download.h"
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
constexpr const char* MSG_TOO_LARGE = "选中的文件加起来超过 4GB，ZIP 格式装不下，请分几次下载";
constexpr const char* MSG_PACK_FAILED = "打包失败，请重试";

void send_too_many(HttpAnswer* answer) {
    StrBufOwner message;
    if (sb_appendf(message.get(), MSG_TOO_MANY_FORMAT, ZIP_MAX_FILES) == 0)
        http_send_error(answer, message.c_str(), 400);
    else
        http_send_error(answer, MSG_TOO_MANY_FALLBACK, 400);
}

// Streams the archive after its head; stops at the first failed send or a short read.
void send_archive_body(HttpAnswer* answer, const char* path, uint64_t size) {
    FsFileOwner in(fs_open_read(path));
    if (!in.get()) return;
    http_answer_file_span(answer, in.get(), 0, static_cast<int64_t>(size));
}

// Sends the finished archive as the answer. The caller deletes the file afterwards.
void send_archive(HttpAnswer* answer, const char* path) {
    FileInfo info{};
    if (!fs_stat(path, &info)) {
        http_send_error(answer, MSG_PACK_FAILED, 500);
        return;
    }
    ZipCalendar now{};
    zip_local_now(&now);
    char* download_name = zip_download_name(&now);
    char* disposition = download_name ? zip_disposition(download_name) : nullptr;
    free(download_name);
    HttpExtraHeader extra{"Content-Disposition", disposition ? disposition : ""};
    StrBufOwner head;
    http_format_head(head.get(), 200, "application/zip", info.size, &extra, 1);
    free(disposition);
    if (!http_answer_head(answer, head.get())) return;
    send_archive_body(answer, path, info.size);
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
        zip_list_free(&list);
        send_too_many(answer);
        return;
    }
    if (list.count == 0) {
        zip_list_free(&list);
        if (folder_selected)
            http_send_error(answer, MSG_EMPTY_FOLDER, 400);
        else
            http_send_error(answer, MSG_NOT_FOUND, 404);
        return;
    }
    // Before anything is written: the file bytes, and the whole archive with its headers,
    // must stay within what 32-bit sizes and offsets can hold.
    if (!zip_list_fits(&list)) {
        zip_list_free(&list);
        http_send_error(answer, MSG_TOO_LARGE, 400);
        return;
    }

    char temp_path[ZIP_PATH_BYTES];
    int written = zip_write(list.entries, list.count, temp_path, sizeof temp_path);
    zip_list_free(&list);
    if (written != 0) {
        http_send_error(answer, MSG_PACK_FAILED, 500);
        return;
    }
    send_archive(answer, temp_path);
    // Whether the transfer completed, failed or the client went away.
    fs_delete_file(temp_path);
}
