#pragma once
// The endpoints that need no storage of their own: "/api/info" and "/api/open".
#include "base/strbuf.h"
#include "api/handler.h"

// Appends the info object (name, version, port, addresses, base URL, inbox, host, tree, and
// with an access code set the login token as "token") as one line of JSON. The addresses are
// discovered afresh on every call.
void api_info_json(const Config* config, StrBuf* sb);

// GET "/api/info": the info object.
void api_info(const Config* config, HttpAnswer* answer, const char* query);

// POST "/api/open": shows an inbox folder (JSON "path") in the desktop's file manager, or the
// inbox itself when the path is missing, refused, a file or not there. Always 200 with
// {"ok": true|false} after the desktop's answer.
void api_open(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
              const char* query);
