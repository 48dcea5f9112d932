#pragma once
// The shared texts' endpoints.
#include "api/handler.h"

// GET/HEAD "/api/texts".
void api_texts(SockHandle socket, const char* query);
// POST "/api/text": JSON "text" and "from", header "X-Device-Name".
void api_text_post(SockHandle socket, HttpConn* conn, HttpRequest* request, const char* query);
// POST "/api/text/delete": JSON "id".
void api_text_delete(SockHandle socket, HttpConn* conn, HttpRequest* request, const char* query);
// POST "/api/text/clear".
void api_text_clear(SockHandle socket, HttpConn* conn, HttpRequest* request, const char* query);
