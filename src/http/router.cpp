#include "http/router.h"

#include "http/response.h"

void http_route(SockHandle socket, HttpConn* conn, HttpRequest* request) {
    (void)conn;
    (void)request;
    http_send_error(socket, "没有这个页面", 404);
}
