#pragma once
// Router: picks the one handler that answers a parsed request, by method and decoded path.
#include "api/handler.h"

// Dispatches one parsed request; exactly one response is sent on answer. Every request first
// passes one front door: a Host header that does not name this server (net_host_allowed)
// gets 403 with the address to open instead, and a POST, PUT, PATCH or DELETE whose Origin is
// not a page of this server (net_origin_allowed) gets 403 "跨站请求被拒绝"; no CORS header is
// ever sent. With an access code set, a request then needs a session (api_has_session)
// unless it asks for the page, "/favicon.ico" or POST "/api/login"; without one it gets 401
// (api_send_login_needed), whatever its method and path. Then "/api/uploads" and below take
// their methods (api_uploads_route: POST, PATCH, HEAD, DELETE, OPTIONS); elsewhere methods
// other than GET, HEAD and POST get 501, and HEAD is answered as GET; unknown paths 404
// ("没有这个页面" for GET and HEAD, "没有这个接口" for POST; "/api/login" is unknown without an
// access code); running out of memory while splitting or decoding the target gets 500. The
// page requested with this run's login token ("?k=...") comes with a new session cookie. An
// HttpHandler: context is the server's const Config, which every endpoint receives.
void api_route(const void* context, HttpAnswer* answer, HttpConn* conn, HttpRequest* request);
