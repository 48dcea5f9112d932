#include "api/login.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/json.h"
#include "base/strbuf.h"
#include "http/request.h"
#include "http/response.h"
#include "net/access.h"

namespace {

constexpr const char* LOGIN_NEEDED_DIGITS = "请输入访问码（纯数字，电脑上的窗口里能看到）";
constexpr const char* LOGIN_NEEDED_TEXT =
    "请输入访问码（字母或数字，不分大小写，电脑上的窗口里能看到）";
constexpr const char* LOGIN_WRONG = "访问码不对，请再试一次";

// The Set-Cookie value of a session: valid for the whole server, never readable by scripts,
// and never sent along with a request that another site's page makes. Without an expiry the
// browser keeps it for its session; the server forgets it when it stops.
void session_cookie(int port, const char* id, char out[LOGIN_COOKIE_BYTES]) {
    char name[ACCESS_COOKIE_NAME_BYTES];
    access_cookie_name(port, name);
    snprintf(out, LOGIN_COOKIE_BYTES, "%s=%s; Path=/; HttpOnly; SameSite=Strict", name, id);
}

void send_logged_in(const Config* config, HttpAnswer* answer, const char* id) {
    char cookie[LOGIN_COOKIE_BYTES];
    session_cookie(config->port, id, cookie);
    static const char BODY[] = "{\"ok\": true}";
    const HttpExtraHeader set = {"Set-Cookie", cookie};
    http_send_response(answer, 200, "application/json; charset=utf-8", BODY, sizeof BODY - 1, &set,
                       1);
}

void send_limited(HttpAnswer* answer, int64_t wait_ms) {
    long long seconds = (wait_ms + 999) / 1000;
    if (seconds < 1) seconds = 1;
    char retry[32];
    snprintf(retry, sizeof retry, "%lld", seconds);
    StrBufOwner message;
    sb_appendf(message.get(), "试错太多次了，请 %lld 秒后再试", seconds);
    StrBufOwner body;
    sb_append_str(body.get(), "{\"error\": ");
    json_append_string(body.get(), message.c_str());
    sb_append_char(body.get(), '}');
    if (body->failed) {
        http_send_error(answer, "内存不足", 500);
        return;
    }
    const HttpExtraHeader after = {"Retry-After", retry};
    http_send_response(answer, 429, "application/json; charset=utf-8", body->data, body->len,
                       &after, 1);
}

}  // namespace

void api_login(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
               const char*) {
    JsonOwner body(request->content_length <= LOGIN_BODY_MAX_BYTES
                       ? http_read_json(conn, request->content_length)
                       : json_parse("{}", 2));
    if (!body.value) {
        http_send_error(answer, HTTP_BODY_BUSY_MESSAGE, 503);
        return;
    }
    const char* given = json_string(json_get(body.value, "pin"));
    char id[ACCESS_SECRET_CHARS + 1];
    int64_t wait_ms = 0;
    switch (access_try_login(access_state(), config, conn->peer_ipv4, given, clock_monotonic_ms(),
                             id, &wait_ms)) {
        case ACCESS_LOGIN_OK:
            send_logged_in(config, answer, id);
            return;
        case ACCESS_LOGIN_WRONG:
            http_send_error(answer, LOGIN_WRONG, 401);
            return;
        case ACCESS_LOGIN_LIMITED:
            send_limited(answer, wait_ms);
            return;
        default:
            http_send_error(answer, "服务器内部错误", 500);
            return;
    }
}

static_assert(API_SESSION_ID_BYTES == ACCESS_SECRET_CHARS + 1, "a session id is one secret");

int api_has_session(const Config* config, const HttpRequest* request) {
    char id[API_SESSION_ID_BYTES];
    return api_session_id(config, request, id);
}

int api_session_id(const Config* config, const HttpRequest* request,
                   char id_out[API_SESSION_ID_BYTES]) {
    id_out[0] = 0;
    if (!config->pin[0]) return 1;
    // A browser sends one Cookie header, but every one is looked at.
    const HeaderList* headers = &request->headers;
    for (uint32_t i = 0; i < headers->count; i++) {
        const HttpHeader* header = &headers->items[i];
        if (http_header_name_is(header->name, "Cookie") &&
            access_cookie_session(access_state(), header->value, config->port, id_out))
            return 1;
    }
    return 0;
}

void api_send_login_needed(const Config* config, HttpAnswer* answer) {
    http_send_error(
        answer, access_pin_is_digits(config->pin) ? LOGIN_NEEDED_DIGITS : LOGIN_NEEDED_TEXT, 401);
}

int api_login_by_token(const Config* config, const char* query,
                       char cookie_out[LOGIN_COOKIE_BYTES]) {
    cookie_out[0] = 0;
    if (!config->pin[0]) return 0;
    char* token = http_query_param(query, "k");
    int valid = access_token_matches(config, token);
    free(token);
    char id[ACCESS_SECRET_CHARS + 1];
    if (!valid || access_session_start(access_state(), id) != 0) return 0;
    session_cookie(config->port, id, cookie_out);
    return 1;
}
