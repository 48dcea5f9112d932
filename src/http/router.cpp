#include "http/router.h"

#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "http/response.h"
#include "inbox/listing.h"
#include "inbox/remove.h"
#include "inbox/texts.h"
#include "web/page.h"

namespace {

using GetHandler = void (*)(SockHandle socket, const char* query);
using PostHandler = void (*)(SockHandle socket, HttpConn* conn, HttpRequest* request,
                             const char* query);

struct GetRoute {
    const char* path;
    GetHandler handler;
};

struct PostRoute {
    const char* path;
    PostHandler handler;
};

void serve_page(SockHandle socket, const char*) {
    http_send_response(socket, 200, "text/html; charset=utf-8", PAGE_HTML, PAGE_HTML_LEN, nullptr,
                       0);
}

// An empty answer, so browsers stop asking without an icon being stored.
void serve_favicon(SockHandle socket, const char*) {
    http_send_response(socket, 204, "image/x-icon", nullptr, 0, nullptr, 0);
}

// Exact paths, compared after percent-decoding. Downloads under "/f/" are matched by prefix
// after these.
const GetRoute GET_ROUTES[] = {
    {"/", serve_page},
    {"/index.html", serve_page},
    {"/api/files", list_handle_files},
    {"/api/texts", texts_handle_list},
    {"/favicon.ico", serve_favicon},
};

const PostRoute POST_ROUTES[] = {
    {"/api/text", texts_handle_post},
    {"/api/text/delete", texts_handle_delete},
    {"/api/text/clear", texts_handle_clear},
    {"/api/delete", remove_handle_delete},
    {"/api/clear", remove_handle_clear},
    {"/api/stat", remove_handle_stat},
};

// Exact, case-sensitive comparison with the decoded path (which may hold zero bytes).
bool path_is(const StrBuf* path, const char* wanted) {
    size_t len = strlen(wanted);
    return path->len == len && memcmp(path->data, wanted, len) == 0;
}

void route_get(SockHandle socket, const StrBuf* path, const char* query) {
    for (const GetRoute& route : GET_ROUTES) {
        if (path_is(path, route.path)) {
            route.handler(socket, query);
            return;
        }
    }
    http_send_error(socket, "没有这个页面", 404);
}

void route_post(SockHandle socket, HttpConn* conn, HttpRequest* request, const StrBuf* path,
                const char* query) {
    for (const PostRoute& route : POST_ROUTES) {
        if (route.path && path_is(path, route.path)) {
            route.handler(socket, conn, request, query);
            return;
        }
    }
    // The body is left unread; the connection thread drains it after this answer.
    http_send_error(socket, "没有这个接口", 404);
}

}  // namespace

void http_route(SockHandle socket, HttpConn* conn, HttpRequest* request) {
    const char* method = request->method;
    bool is_get = strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
    bool is_post = strcmp(method, "POST") == 0;
    if (!is_get && !is_post) {
        http_send_response(socket, 501, "text/html; charset=utf-8", nullptr, 0, nullptr, 0);
        return;
    }

    const char* query = "";
    char* target = http_split_target(request->target, &query);
    StrBufOwner path;
    size_t raw_len = target ? strlen(target) : 0;
    // Decoding never grows the text, so with this room it cannot fail half-way.
    if (!target || sb_reserve(path.get(), raw_len) != 0) {
        free(target);
        http_send_error(socket, "内存不足", 500);
        return;
    }
    url_decode_path(path.get(), target, raw_len);

    if (is_get)
        route_get(socket, path.get(), query);
    else
        route_post(socket, conn, request, path.get(), query);
    free(target);
}
