#pragma once
// Deleting, clearing and measuring, as the page asks for them.
#include "api/handler.h"

// POST "/api/delete": JSON member "path", else "name". Writes the console line of a deletion.
void api_delete(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                const char* query);
// POST "/api/clear": the body is ignored. Writes the console line of the clearing.
void api_clear(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
               const char* query);
// POST "/api/stat": JSON member "path", else "name".
void api_stat(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
              const char* query);
