#pragma once
// Router: picks the one handler that answers a parsed request, by method and decoded path.
//
// Handlers are plain functions of two shapes:
//   GET and HEAD:  void handler(SockHandle socket, const char* query)
//   POST:          void handler(SockHandle socket, HttpConn* conn, HttpRequest* request,
//                               const char* query)
// query is the undecoded text after '?' (before any '#'), empty when there is none; read
// parameters with http_query_param. A POST handler reads its body through conn
// (http_read_json(conn, request->content_length), http_read_body, or http_conn_read for a
// stream); whatever it leaves unread is drained by the connection thread. Every handler
// sends exactly one response and never closes the socket. HEAD is answered like GET, body
// included, except for "/f/" downloads, which send the head only.
#include "http/request.h"
#include "http/sock.h"

// Dispatches one parsed request; exactly one response is sent on socket. Methods other than
// GET, HEAD and POST get 501; unknown paths 404 ("没有这个页面" for GET and HEAD, "没有这个接口"
// for POST); running out of memory while splitting or decoding the target gets 500.
void http_route(SockHandle socket, HttpConn* conn, HttpRequest* request);

// 1 when a POST may go ahead: the request has no Origin (command-line clients), or the
// Origin's host and port equal those of the Host header (the page's own requests). Another
// site's page, or a sandboxed preview (Origin "null"), gives 0. Ports default to the scheme's.
int http_origin_allowed(const char* origin, const char* host);
