#include "api/texts.h"

#include "base/json.h"
#include "base/strbuf.h"
#include "base/text.h"
#include "http/request.h"
#include "http/response.h"
#include "inbox/texts.h"

namespace {

// texts.json is there but cannot be read (another program holds it, or it is not a file):
// it is left alone rather than replaced by a list that lacks the earlier texts.
constexpr const char* TEXTS_UNREADABLE_ADD_MESSAGE =
    "文字记录文件 texts.json 读不出来，这条文字没有保存，请稍后再试";
constexpr const char* TEXTS_UNREADABLE_DELETE_MESSAGE =
    "文字记录文件 texts.json 读不出来，没能删除，请稍后再试";

void send_ok(HttpAnswer* answer) {
    StrBufOwner json;
    sb_append_str(json.get(), "{\"ok\": true}");
    http_send_json(answer, 200, json.get());
}

}  // namespace

void api_texts(const Config* config, HttpAnswer* answer, const char*) {
    StrBufOwner json;
    sb_append_str(json.get(), "{\"texts\": ");
    texts_list_json(config, json.get());
    sb_append_char(json.get(), '}');
    http_send_json(answer, 200, json.get());
}

void api_text_post(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                   const char*) {
    JsonOwner body(http_read_json(conn, request->content_length));
    if (!body.value) {
        http_send_error(answer, HTTP_BODY_BUSY_MESSAGE, 503);
        return;
    }
    const char* from = json_string(json_get(body.value, "from"));
    TextOwner trimmed(utf8_trim(json_string_or(json_get(body.value, "text"), "")));
    if (!trimmed || !trimmed.get()[0]) {
        http_send_error(answer, "内容为空", 400);
        return;
    }
    // A name in the body wins over the header's, even an empty one, and is not percent-decoded
    // (a '%' stays as sent); texts_add trims and cuts it as the header's name is.
    TextOwner header_name(from ? nullptr : http_device_name(&request->headers));
    const char* device = from ? from : header_name.get();

    TextOwner cut(utf8_truncate(trimmed.get(), TEXT_MAX_CHARS));
    if (texts_add(config, cut ? cut.get() : trimmed.get(), device) == TEXTS_UNREADABLE) {
        http_send_error(answer, TEXTS_UNREADABLE_ADD_MESSAGE, 500);
        return;
    }
    send_ok(answer);
}

void api_text_delete(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                     const char*) {
    {
        JsonOwner body(http_read_json(conn, request->content_length));
        if (!body.value) {
            http_send_error(answer, HTTP_BODY_BUSY_MESSAGE, 503);
            return;
        }
        if (texts_delete(config, json_string(json_get(body.value, "id"))) == TEXTS_UNREADABLE) {
            http_send_error(answer, TEXTS_UNREADABLE_DELETE_MESSAGE, 500);
            return;
        }
    }
    send_ok(answer);
}

void api_text_clear(const Config* config, HttpAnswer* answer, HttpConn*, HttpRequest*, const char*) {
    texts_clear(config);
    send_ok(answer);
}
