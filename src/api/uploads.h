#pragma once
// Resumable uploads at "/api/uploads": the tus 1.0.0 protocol, core with the creation,
// expiration and termination extensions. POST "/api/uploads" creates an upload (201 with its
// Location "/api/uploads/<id>"); HEAD tells its offset, PATCH appends at the offset, DELETE
// ends it; OPTIONS tells what the server supports. A POST with X-HTTP-Method-Override is
// taken as the method it names.
#include "api/handler.h"

// Answers a request whose decoded path is "/api/uploads" or below it and whose method is POST,
// PATCH, HEAD, DELETE or OPTIONS, and returns true; returns false without answering anything
// else, which the other routes then take.
bool api_uploads_route(const Config* config, HttpAnswer* answer, HttpConn* conn,
                       HttpRequest* request, const StrBuf* path);
