#pragma once
// The "/zip" endpoint.
#include "api/handler.h"

// POST "/zip": reads the form body, packs the selection and sends it as an "application/zip"
// attachment, or answers with a JSON error. The temporary archive is deleted once the transfer
// ends, also when the client stops reading.
void api_zip(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
             const char* query);
