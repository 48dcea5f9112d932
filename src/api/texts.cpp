#include "api/texts.h"

#include "base/json.h"
#include "base/strbuf.h"
#include "base/text.h"
#include "http/request.h"
#include "http/response.h"
#include "inbox/texts.h"

namespace {

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
    texts_add(config, cut ? cut.get() : trimmed.get(), device);
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
        texts_delete(config, json_string(json_get(body.value, "id")));
    }
    send_ok(answer);
}

void api_text_clear(const Config* config, HttpAnswer* answer, HttpConn*, HttpRequest*, const char*) {
    texts_clear(config);
    send_ok(answer);
}
