#pragma once
// The upload endpoint.
#include "api/handler.h"

// POST "/api/upload": the multipart body streamed into the folder of the query parameter "dir".
void api_upload(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                const char* query);
