#pragma once
// The "/zip" endpoint.
#include "api/handler.h"

// POST "/zip": reads the form body and streams the selection as an "application/zip"
// attachment whose Content-Length is the archive's exact length, or answers with a JSON error.
// Nothing is written to disk. A failure after the head (a file gone or changed while it is
// sent) cuts the connection short of that length.
void api_zip(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
             const char* query);
