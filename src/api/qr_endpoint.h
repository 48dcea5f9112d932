#pragma once
// "/qr.svg": a QR code of the "data" query parameter, or of the server's own base URL (with
// an access code set, its login address: the base URL, "/?k=" and the login token).
#include "api/handler.h"

// GET and HEAD handler. query is the undecoded text after '?'. Answers 200 with the SVG
// image ("Cache-Control: public, max-age=300" as extra header), or 500 "内容太长，二维码放不下"
// when the text does not fit a QR code, or 500 "无法生成二维码" when the base URL cannot be
// built.
void api_qr_svg(const Config* config, HttpAnswer* answer, const char* query);
