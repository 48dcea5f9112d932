#pragma once
// The two shapes of an endpoint handler, as the route table holds them.
//
//   GET and HEAD:  void handler(const Config* config, HttpAnswer* answer, const char* query)
//   POST:          void handler(const Config* config, HttpAnswer* answer, HttpConn* conn,
//                               HttpRequest* request, const char* query)
//
// config is the server's configuration, built at start-up and only read while serving.
// query is the undecoded text after '?' (before any '#'), empty when there is none; read
// parameters with http_query_param. A POST handler reads its body through conn
// (http_read_json(conn, request->content_length), http_read_body, or http_conn_read for a
// stream); whatever it leaves unread is drained by the connection. A handler answers only
// through answer (http_send_json, http_send_error, or a head and then body bytes), which
// takes one answer and refuses a second.
#include "base/config.h"
#include "http/request.h"
#include "http/response.h"

using ApiGetHandler = void (*)(const Config* config, HttpAnswer* answer, const char* query);
using ApiPostHandler = void (*)(const Config* config, HttpAnswer* answer, HttpConn* conn,
                                HttpRequest* request, const char* query);
