#include "api/upload.h"

#include <cstdlib>

#include "base/strbuf.h"
#include "http/response.h"
#include "upload/upload.h"

namespace {

int64_t read_connection(void* conn, char* buffer, size_t capacity) {
    return http_conn_read(static_cast<HttpConn*>(conn), buffer, capacity);
}

const char* failure_message(int result) {
    switch (result) {
    case UPLOAD_NO_FOLDER: return "文件夹不存在";
    case UPLOAD_NOT_MULTIPART: return "解析上传失败：不是 multipart/form-data 请求";
    case UPLOAD_NO_FILE: return "没有收到文件";
    default: return "传输中断，文件没有传完，请重试";
    }
}

}  // namespace

void api_upload(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                const char* query) {
    if (request->content_length < 1) {
        http_send_error(answer, "空请求体", 400);
        return;
    }
    char* device = http_device_name(&request->headers);
    char* dir = http_query_param(query ? query : "", "dir");
    UploadBody body{read_connection, conn, request->content_length,
                    http_header(&request->headers, "Content-Type")};
    StrBufOwner json;
    int result = upload_store(config, dir ? dir : "", &body, device ? device : "", json.get());
    free(dir);
    free(device);
    // A folder that is not there leaves the body unread; the connection drains it.
    if (result == UPLOAD_STORED)
        http_send_json(answer, 200, json.get());
    else
        http_send_error(answer, failure_message(result), result == UPLOAD_NO_FOLDER ? 404 : 400);
}
