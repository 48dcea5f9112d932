#pragma once
// The "/zip" endpoints: an archive of a selection for a form post, and the same archive by
// GET from an address that "/api/zip-link" hands out, which a browser or download manager
// can fetch again.
#include "api/handler.h"

// POST "/zip": reads the form body and streams the selection as an "application/zip"
// attachment whose Content-Length is the archive's exact length, or answers with a JSON error.
// Nothing is written to disk. A failure after the head (a file gone or changed while it is
// sent) cuts the connection short of that length.
void api_zip(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
             const char* query);

// POST "/api/zip-link": reads the same form body and checks the selection as "/zip" does
// before its head, with the same error answers; then keeps it (zip/zip_links.h) for the
// request's session and answers 200 {"id": ID, "url": "/zip?id=ID"}, ID being 32 lower-case
// hex digits. 500 "打包失败，请重试" when no id could be made.
void api_zip_link(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
                  const char* query);

// GET "/zip?id=ID": the archive of the selection kept under ID, expanded again now (files may
// have changed since), answered as "/zip" answers; is_head sends the head alone. Ranges are
// not served: no Accept-Ranges is announced and a Range header is ignored, so a resuming
// client gets the whole archive with 200 and starts over. An ID that is unknown, expired or
// made by another session gets 404 "下载地址已过期，请回到页面重新点下载".
void api_zip_by_id(const Config* config, HttpAnswer* answer, const HttpRequest* request,
                   const char* query, int is_head);
