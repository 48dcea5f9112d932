#pragma once
// Response writer: every answer is an HTTP/1.0 response with one fixed header set in one
// fixed order, followed by a body whose length is known in advance.
#include <cstdint>

#include "base/strbuf.h"
#include "base/sock.h"

// No single send call is given more than this.
constexpr uint64_t SEND_CHUNK_BYTES = 1048576;
constexpr int HTTP_DATE_BYTES = 64;
// A body up to this long is sent together with its head (http_send_response).
constexpr uint64_t SMALL_BODY_BYTES = 65536;

// One additional response header.
struct HttpExtraHeader {
    const char* name;
    const char* value;
};

// The reason phrase of a status (static text): the standard one for 200, 201, 204, 206, 400,
// 401, 403, 404, 409, 412, 413 ("Content Too Large"), 415, 416, 429, 500 and 503; 501
// "Unsupported method"; any other status below 404 "OK", above 404 "Unsupported method".
const char* http_status_text(int status);
// Writes the given time (seconds since 1970, UTC) as an RFC 1123 date such as
// "Tue, 09 Dec 2025 02:40:05 GMT" into buf.
void http_format_date(int64_t unix_seconds, char buf[HTTP_DATE_BYTES]);
// The current time as an RFC 1123 date.
void http_date(char buf[HTTP_DATE_BYTES]);
// The one writer of response heads: appends the status line ("HTTP/1.0 status reason", the
// reason from http_status_text when reason is null), Server, Date, then each field in order
// ("name: value"; a field whose value is null is left out), then the blank line. Every other
// head is this one with its own fields.
void http_write_head(StrBuf* head, int status, const char* reason, const HttpExtraHeader* fields,
                     int count);
// Appends the response head to head: status line, Server, Date, Content-Type,
// Content-Length, "Cache-Control: no-store", the extra header when extra_count is 1 (any
// other count adds none), "X-Frame-Options: SAMEORIGIN", "Content-Security-Policy:
// frame-ancestors 'self'", and the blank line.
void http_format_head(StrBuf* head, int status, const char* content_type, uint64_t length,
                      const HttpExtraHeader* extra, int extra_count);
// Sends all length bytes in calls of at most SEND_CHUNK_BYTES. 1 when everything went out;
// 0 when a call failed (the peer gone, or no progress within the send time-out).
int http_send_all(SockHandle socket, const void* bytes, uint64_t length);

// The one answer a request gets. Handlers answer only through the functions below, never on
// the socket itself, so that every request gets exactly one answer: the first head sent
// begins it, a second head is refused, body bytes go out only after a head, and the
// connection answers 500 for a handler that sent none. A test captures the bytes instead of
// giving a socket.
struct HttpAnswer {
    SockHandle socket;
    StrBuf* capture;  // when not null, the answer's bytes are appended here instead of sent
    bool begun;       // a head went out (or was tried): the answer is taken
    bool broken;      // a send failed; nothing more goes out
};

// An answer sent on socket.
HttpAnswer http_answer_on(SockHandle socket);
// An answer whose bytes are appended to capture, which the caller owns.
HttpAnswer http_answer_captured(StrBuf* capture);
// Begins the answer with a finished head. 1 when it went out; 0 when the answer had already
// begun (nothing is sent), the head failed to build (head->failed) or the send failed.
int http_answer_head(HttpAnswer* answer, const StrBuf* head);
// Sends body bytes of the begun answer. 1 when they went out; 0 before a head, after a
// failed send, or when this send fails.
int http_answer_body(HttpAnswer* answer, const void* bytes, uint64_t length);
// Ends a begun answer whose body can no longer be what its head announced (its source failed
// halfway): nothing more goes out, and a socket's connection is shut at once, so the client
// sees a transfer cut short of its Content-Length, a failed download, never one that looks
// complete.
void http_answer_abort(HttpAnswer* answer);

// Sends the head and then, only if that worked, the body. Reports nothing: the connection
// is closed afterwards either way.
void http_send_response(HttpAnswer* answer, int status, const char* content_type,
                        const void* body, uint64_t length, const HttpExtraHeader* extra,
                        int extra_count);
// Sends body as "application/json; charset=utf-8" with the status; a body whose building
// failed somewhere (body->failed) is never sent: the answer is then 500 "内存不足".
void http_send_json(HttpAnswer* answer, int status, const StrBuf* body);
// Sends {"error": message} as "application/json; charset=utf-8" with the status.
void http_send_error(HttpAnswer* answer, const char* message, int status);
// Sends the bare 400 head (no Content-Type, no Cache-Control, no body) for a request whose
// request line cannot be parsed.
void http_send_bad_request(HttpAnswer* answer);
