#pragma once
// The access code at the server's door: the login, the session check, the answer to a
// request without a session, and the session handed out with the page to a visitor who came
// by this run's login address ("?k=..."). Only in force when the configuration has a code.
#include "api/handler.h"

// The longest body the login reads; anything longer counts as a wrong code, unread, so that
// visitors without a session cannot take the memory that bodies of logged-in pages need.
constexpr int64_t LOGIN_BODY_MAX_BYTES = 1024;
// Room for a Set-Cookie value: name, id and attributes.
constexpr int LOGIN_COOKIE_BYTES = 128;

// POST "/api/login": JSON "pin". A right code (letters compared without regard to case)
// answers {"ok": true} with a new session cookie; a wrong or missing one 401 "访问码不对，请再
// 试一次"; a client address, or all addresses together, that sent too many wrong codes gets
// 429 "试错太多次了，请 N 秒后再试" with Retry-After N, whatever the code; 503 when the body
// could not be read for want of memory; 500 "服务器内部错误" when no session id could be made.
void api_login(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
               const char* query);

// 1 when config has no access code, or when one of the request's Cookie headers holds a live
// session of this server's port; else 0.
int api_has_session(const Config* config, const HttpRequest* request);
// Which session the request belongs to: with an access code set, 1 and the id of the live
// session one of its Cookie headers holds (ACCESS_SECRET_CHARS hex digits and a terminator)
// in id_out, or 0 when it holds none. Without a code every request is one anonymous session:
// 1 with id_out empty.
constexpr int API_SESSION_ID_BYTES = 33;
int api_session_id(const Config* config, const HttpRequest* request,
                   char id_out[API_SESSION_ID_BYTES]);

// Answers a request that needs a session and has none: 401 with "请输入访问码（纯数字，...）"
// when the code is all digits, else "请输入访问码（字母或数字，不分大小写，...）", so the page
// can offer the right keyboard.
void api_send_login_needed(const Config* config, HttpAnswer* answer);

// When config has a code and query carries its login token ("k"), starts a session and
// writes the Set-Cookie value for it into cookie_out: 1. Else 0 (cookie_out is then empty).
int api_login_by_token(const Config* config, const char* query,
                       char cookie_out[LOGIN_COOKIE_BYTES]);
