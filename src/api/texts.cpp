#include "api/texts.h"

#include "base/json.h"
#include "base/strbuf.h"
#include "base/text.h"
#include "http/response.h"
#include "inbox/texts.h"

namespace {

void send_ok(SockHandle socket) {
    StrBufOwner answer;
    sb_append_str(answer.get(), "{\"ok\": true}");
    http_send_json(socket, 200, answer.get());
}

}  // namespace

void api_texts(const Config* config, SockHandle socket, const char*) {
    StrBufOwner answer;
    sb_append_str(answer.get(), "{\"texts\": ");
    texts_list_json(config, answer.get());
    sb_append_char(answer.get(), '}');
    http_send_json(socket, 200, answer.get());
}

void api_text_post(const Config* config, SockHandle socket, HttpConn* conn, HttpRequest* request,
                   const char*) {
    JsonOwner body(http_read_json(conn, request->content_length));
    const char* from = json_string(json_get(body.value, "from"));
    TextOwner trimmed(utf8_trim(json_string_or(json_get(body.value, "text"), "")));
    if (!trimmed || !trimmed.get()[0]) {
        http_send_error(socket, "内容为空", 400);
        return;
    }
    // A name given in the body is taken as it is; the header's name is decoded, trimmed and
    // cut by http_device_name.
    TextOwner header_name(from ? nullptr : http_device_name(&request->headers));
    const char* device = from ? from : header_name.get();
    if (device && !device[0]) device = nullptr;

    TextOwner cut(utf8_truncate(trimmed.get(), TEXT_MAX_CHARS));
    texts_add(config, cut ? cut.get() : trimmed.get(), device);
    send_ok(socket);
}

void api_text_delete(const Config* config, SockHandle socket, HttpConn* conn, HttpRequest* request,
                     const char*) {
    {
        JsonOwner body(http_read_json(conn, request->content_length));
        texts_delete(config, json_string(json_get(body.value, "id")));
    }
    send_ok(socket);
}

void api_text_clear(const Config* config, SockHandle socket, HttpConn*, HttpRequest*, const char*) {
    texts_clear(config);
    send_ok(socket);
}
