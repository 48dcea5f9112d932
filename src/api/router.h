#pragma once
// Router: picks the one handler that answers a parsed request, by method and decoded path.
#include "api/handler.h"

// Dispatches one parsed request; exactly one response is sent on answer. Methods other than
// GET, HEAD and POST get 501; unknown paths 404 ("没有这个页面" for GET and HEAD, "没有这个接口"
// for POST); running out of memory while splitting or decoding the target gets 500. An
// HttpHandler: context is the server's const Config, which every endpoint receives.
void api_route(const void* context, HttpAnswer* answer, HttpConn* conn, HttpRequest* request);

// 1 when a POST may go ahead: the request has no Origin (command-line clients), or the
// Origin's host and port equal those of the Host header (the page's own requests). Another
// site's page, or a sandboxed preview (Origin "null"), gives 0. Ports default to the scheme's.
int api_origin_allowed(const char* origin, const char* host);
