#include "api/texts.h"

#include "base/json.h"
#include "base/strbuf.h"
#include "base/text.h"
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
    const char* from = json_string(json_get(body.value, "from"));
    TextOwner trimmed(utf8_trim(json_string_or(json_get(body.value, "text"), "")));
    if (!trimmed || !trimmed.get()[0]) {
        http_send_error(answer, "内容为空", 400);
        return;
    }
    // A name given in the body is taken as it is; the header's name is decoded, trimmed and
    // cut by http_device_name.
    TextOwner header_name(from ? nullptr : http_device_name(&request->headers));
    const char* device = from ? from : header_name.get();
    if (device && !device[0]) device = nullptr;

    TextOwner cut(utf8_truncate(trimmed.get(), TEXT_MAX_CHARS));
    texts_add(config, cut ? cut.get() : trimmed.get(), device);
    send_ok(answer);
}

void api_text_delete(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                     const char*) {
    {
        JsonOwner body(http_read_json(conn, request->content_length));
        texts_delete(config, json_string(json_get(body.value, "id")));
    }
    send_ok(answer);
}

void api_text_clear(const Config* config, HttpAnswer* answer, HttpConn*, HttpRequest*, const char*) {
    texts_clear(config);
    send_ok(answer);
}
