#include "api/router.h"

#include <cstdlib>
#include <cstring>

#include "api/download.h"
#include "api/files.h"
#include "api/info.h"
#include "api/login.h"
#include "api/qr_endpoint.h"
#include "api/remove.h"
#include "api/texts.h"
#include "api/upload.h"
#include "api/uploads.h"
#include "api/zip.h"
#include "base/text.h"
#include "http/response.h"
#include "net/host.h"
#include "net/net.h"
#include "web/page.h"

namespace {

struct GetRoute {
    const char* path;
    ApiGetHandler handler;
};

struct PostRoute {
    const char* path;
    ApiPostHandler handler;
    bool only_with_code;  // answered only when an access code is set; else unknown
};

// A visitor who came by this run's login address gets a session along with the page.
void serve_page(const Config* config, HttpAnswer* answer, const char* query) {
    char cookie[LOGIN_COOKIE_BYTES];
    const HttpExtraHeader set = {"Set-Cookie", cookie};
    int with_cookie = api_login_by_token(config, query, cookie);
    http_send_response(answer, 200, "text/html; charset=utf-8", PAGE_HTML, PAGE_HTML_LEN,
                       with_cookie ? &set : nullptr, with_cookie);
}

// An empty answer, so browsers stop asking without an icon being stored.
void serve_favicon(const Config*, HttpAnswer* answer, const char*) {
    http_send_response(answer, 204, "image/x-icon", nullptr, 0, nullptr, 0);
}

// Exact paths, compared after percent-decoding. Downloads under "/f/" are matched by prefix
// after these.
const GetRoute GET_ROUTES[] = {
    {"/", serve_page},
    {"/index.html", serve_page},
    {"/api/info", api_info},
    {"/api/files", api_files},
    {"/api/texts", api_texts},
    {"/qr.svg", api_qr_svg},
    {"/favicon.ico", serve_favicon},
};

const PostRoute POST_ROUTES[] = {
    {"/api/upload", api_upload, false},
    {"/zip", api_zip, false},
    {"/api/zip-link", api_zip_link, false},
    {"/api/text", api_text_post, false},
    {"/api/text/delete", api_text_delete, false},
    {"/api/text/clear", api_text_clear, false},
    {"/api/delete", api_delete, false},
    {"/api/clear", api_clear, false},
    {"/api/stat", api_stat, false},
    {"/api/open", api_open, false},
    {"/api/login", api_login, true},
};

// What a visitor without a session may reach when an access code is set: the page (which
// asks for the code), its icon, and the login. Everything else needs a session, including
// whatever is added to the tables above later.
struct OpenPath {
    bool post;  // POST; else GET and HEAD
    const char* path;
};
const OpenPath OPEN_PATHS[] = {
    {false, "/"},
    {false, "/index.html"},
    {false, "/favicon.ico"},
    {true, "/api/login"},
};

// Exact, case-sensitive comparison with the decoded path (which may hold zero bytes).
bool path_is(const StrBuf* path, const char* wanted) {
    size_t len = strlen(wanted);
    return path->len == len && memcmp(path->data, wanted, len) == 0;
}

void route_get(const Config* config, HttpAnswer* answer, HttpRequest* request, const StrBuf* path,
               const char* query) {
    for (const GetRoute& route : GET_ROUTES) {
        if (path_is(path, route.path)) {
            route.handler(config, answer, query);
            return;
        }
    }
    int is_head = strcmp(request->method, "HEAD") == 0;
    // The archive of a download address; "/zip" itself takes form posts too.
    if (path_is(path, "/zip")) {
        api_zip_by_id(config, answer, request, query, is_head);
        return;
    }
    if (path->len >= 3 && memcmp(path->data, "/f/", 3) == 0) {
        // A zero byte decoded from "%00" would cut the name short and name another file.
        if (strlen(path->data) != path->len) {
            http_send_error(answer, "文件不存在", 404);
            return;
        }
        api_serve_file(config, answer, path->data + 3, query, &request->headers, is_head);
        return;
    }
    http_send_error(answer, "没有这个页面", 404);
}

void route_post(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                const StrBuf* path, const char* query) {
    for (const PostRoute& route : POST_ROUTES) {
        if (route.only_with_code && !config->pin[0]) continue;
        if (path_is(path, route.path)) {
            route.handler(config, answer, conn, request, query);
            return;
        }
    }
    // The body is left unread; the connection thread drains it after this answer.
    http_send_error(answer, "没有这个接口", 404);
}

// Methods that change something; a page of another site must never send them.
bool changes_state(const char* method) {
    return strcmp(method, "POST") == 0 || strcmp(method, "PUT") == 0 ||
           strcmp(method, "PATCH") == 0 || strcmp(method, "DELETE") == 0;
}

// The answer to a request under a name that is not this server's: the address the console
// shows, which is the one that works.
void refuse_foreign_host(const Config* config, HttpAnswer* answer) {
    char* base = net_base_url(config);
    StrBufOwner message;
    sb_append_str(message.get(), "只能用本机地址访问，请打开 ");
    sb_append_str(message.get(), base ? base : "控制台显示的地址");
    free(base);
    http_send_error(answer, message->failed ? "只能用本机地址访问" : message.c_str(), 403);
}

// The front door every request passes before routing: the Host must name this server
// (requests without one, from plain HTTP/1.0 tools, pass), and a request that changes
// something must not come from another site's page. Answers and returns false when refused;
// an unread body is drained afterwards.
bool guard_allows(const Config* config, HttpAnswer* answer, const HttpRequest* request) {
    const char* host = http_header(&request->headers, "Host");
    if (host && !net_host_allowed(config, host)) {
        refuse_foreign_host(config, answer);
        return false;
    }
    const char* origin = http_header(&request->headers, "Origin");
    if (origin && changes_state(request->method) && !net_origin_allowed(config, origin)) {
        http_send_error(answer, "跨站请求被拒绝", 403);
        return false;
    }
    return true;
}

bool is_open_path(const char* method, const StrBuf* path) {
    bool post = strcmp(method, "POST") == 0;
    bool get = strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
    for (const OpenPath& open : OPEN_PATHS) {
        if ((open.post ? post : get) && path_is(path, open.path)) return true;
    }
    return false;
}

// The second door, with an access code set: a request for anything but the open paths needs
// a session. Answers 401 and returns false when it has none; nothing has been read, listed or
// changed, and an unread body is drained afterwards.
bool session_allows(const Config* config, HttpAnswer* answer, const HttpRequest* request,
                    const StrBuf* path) {
    if (!config->pin[0] || is_open_path(request->method, path) || api_has_session(config, request))
        return true;
    api_send_login_needed(config, answer);
    return false;
}

}  // namespace

void api_route(const void* context, HttpAnswer* answer, HttpConn* conn, HttpRequest* request) {
    const auto* config = static_cast<const Config*>(context);
    if (!guard_allows(config, answer, request)) return;

    const char* query = "";
    char* target = http_split_target(request->target, &query);
    StrBufOwner path;
    size_t raw_len = target ? strlen(target) : 0;
    // Decoding never grows the text, so with this room it cannot fail half-way.
    if (!target || sb_reserve(path.get(), raw_len) != 0) {
        free(target);
        http_send_error(answer, "内存不足", 500);
        return;
    }
    url_decode_path(path.get(), target, raw_len);
    if (!session_allows(config, answer, request, path.get())) {
        free(target);
        return;
    }

    const char* method = request->method;
    bool is_get = strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
    bool is_post = strcmp(method, "POST") == 0;
    // Resumable uploads also take these methods, under their own path only.
    bool upload_only = strcmp(method, "PATCH") == 0 || strcmp(method, "DELETE") == 0 ||
                       strcmp(method, "OPTIONS") == 0;
    if (!is_get && !is_post && !upload_only) {
        http_send_response(answer, 501, "text/html; charset=utf-8", nullptr, 0, nullptr, 0);
    } else if (api_uploads_route(config, answer, conn, request, path.get())) {
        // answered by the resumable uploads
    } else if (upload_only) {
        http_send_response(answer, 501, "text/html; charset=utf-8", nullptr, 0, nullptr, 0);
    } else if (is_get) {
        route_get(config, answer, request, path.get(), query);
    } else {
        route_post(config, answer, conn, request, path.get(), query);
    }
    free(target);
}
