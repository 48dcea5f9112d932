#include "api/router.h"

#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>

#include "api/download.h"
#include "api/files.h"
#include "api/info.h"
#include "api/qr_endpoint.h"
#include "api/remove.h"
#include "api/texts.h"
#include "api/upload.h"
#include "api/zip.h"
#include "base/text.h"
#include "http/response.h"
#include "web/page.h"

namespace {

struct GetRoute {
    const char* path;
    ApiGetHandler handler;
};

struct PostRoute {
    const char* path;
    ApiPostHandler handler;
};

void serve_page(const Config*, HttpAnswer* answer, const char*) {
    http_send_response(answer, 200, "text/html; charset=utf-8", PAGE_HTML, PAGE_HTML_LEN, nullptr,
                       0);
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
    {"/api/upload", api_upload},
    {"/zip", api_zip},
    {"/api/text", api_text_post},
    {"/api/text/delete", api_text_delete},
    {"/api/text/clear", api_text_clear},
    {"/api/delete", api_delete},
    {"/api/clear", api_clear},
    {"/api/stat", api_stat},
    {"/api/open", api_open},
};

struct HostPort {
    std::string host;  // lower-case; an IPv6 literal keeps its brackets
    long port;
};

// Splits "host[:port]" (up to the first '/'); false when the port is not a number.
bool split_host_port(const std::string& text, long default_port, HostPort* out) {
    std::string authority = text.substr(0, text.find('/'));
    size_t colon = authority.rfind(':');
    if (colon != std::string::npos && authority.find(']', colon) != std::string::npos) colon = std::string::npos;
    out->host = authority.substr(0, colon);
    for (char& c : out->host) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    out->port = default_port;
    if (colon == std::string::npos) return !out->host.empty();
    std::string digits = authority.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out->port = strtol(digits.c_str(), nullptr, 10);
    return !out->host.empty();
}

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
    if (path->len >= 3 && memcmp(path->data, "/f/", 3) == 0) {
        // A zero byte decoded from "%00" would cut the name short and name another file.
        if (strlen(path->data) != path->len) {
            http_send_error(answer, "文件不存在", 404);
            return;
        }
        int is_head = strcmp(request->method, "HEAD") == 0;
        api_serve_file(config, answer, path->data + 3, query, &request->headers, is_head);
        return;
    }
    http_send_error(answer, "没有这个页面", 404);
}

void route_post(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                const StrBuf* path, const char* query) {
    for (const PostRoute& route : POST_ROUTES) {
        if (path_is(path, route.path)) {
            route.handler(config, answer, conn, request, query);
            return;
        }
    }
    // The body is left unread; the connection thread drains it after this answer.
    http_send_error(answer, "没有这个接口", 404);
}

}  // namespace

int api_origin_allowed(const char* origin, const char* host) {
    if (!origin) return 1;
    if (!host) return 0;
    std::string text = origin;
    long default_port;
    if (text.rfind("http://", 0) == 0) {
        text.erase(0, 7);
        default_port = 80;
    } else if (text.rfind("https://", 0) == 0) {
        text.erase(0, 8);
        default_port = 443;
    } else {
        return 0;
    }
    HostPort from, to;
    if (!split_host_port(text, default_port, &from) || !split_host_port(host, 80, &to)) return 0;
    return from.host == to.host && from.port == to.port ? 1 : 0;
}

void api_route(const void* context, HttpAnswer* answer, HttpConn* conn, HttpRequest* request) {
    const auto* config = static_cast<const Config*>(context);
    const char* method = request->method;
    bool is_get = strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
    bool is_post = strcmp(method, "POST") == 0;
    if (!is_get && !is_post) {
        http_send_response(answer, 501, "text/html; charset=utf-8", nullptr, 0, nullptr, 0);
        return;
    }

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

    if (is_post && !api_origin_allowed(http_header(&request->headers, "Origin"),
                                        http_header(&request->headers, "Host"))) {
        // Another site's page must not change the inbox; the body is drained afterwards.
        http_send_error(answer, "跨站请求被拒绝", 403);
    } else if (is_get)
        route_get(config, answer, request, path.get(), query);
    else
        route_post(config, answer, conn, request, path.get(), query);
    free(target);
}
