#pragma once
// The shared texts' endpoints.
#include "api/handler.h"

// GET/HEAD "/api/texts".
void api_texts(const Config* config, HttpAnswer* answer, const char* query);
// POST "/api/text": JSON "text" and "from", header "X-Device-Name".
void api_text_post(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                   const char* query);
// POST "/api/text/delete": JSON "id".
void api_text_delete(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                     const char* query);
// POST "/api/text/clear".
void api_text_clear(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                    const char* query);
