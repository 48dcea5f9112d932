#pragma once
// Router: picks the one handler that answers a parsed request, by method and decoded path.
#include "http/request.h"
#include "http/sock.h"

// Dispatches one parsed request; exactly one response is sent on socket. Called by the
// connection thread, which afterwards drains any body the handler left unread and closes the
// socket.
void http_route(SockHandle socket, HttpConn* conn, HttpRequest* request);
