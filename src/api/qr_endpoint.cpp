#include "api/qr_endpoint.h"

#include <cstdlib>
#include <cstring>

#include "base/strbuf.h"
#include "http/request.h"
#include "http/response.h"
#include "net/access.h"
#include "net/net.h"
#include "qr/qr_svg.h"

namespace {

// The server's own address, as a phone that scans it should open it: with an access code,
// the login address, which lets the phone in without typing the code. Newly allocated.
char* own_address(const Config* config) {
    char* base = net_base_url(config);
    if (!base) return nullptr;
    char suffix[ACCESS_LOGIN_SUFFIX_BYTES];
    access_login_suffix(config, suffix);
    if (!suffix[0]) return base;
    StrBufOwner url;
    sb_append_str(url.get(), base);
    sb_append_str(url.get(), suffix);
    std::free(base);
    return url->failed ? nullptr : sb_detach(url.get());
}

}  // namespace

void api_qr_svg(const Config* config, HttpAnswer* answer, const char* query) {
    char* text = http_query_param(query, "data");
    if (!text || !text[0]) {
        std::free(text);
        text = own_address(config);
        if (!text) {
            http_send_error(answer, "无法生成二维码", 500);
            return;
        }
    }
    // The decoded value ends at its first NUL byte.
    char* svg = qr_render_svg(text, std::strlen(text));
    std::free(text);
    if (!svg) {
        http_send_error(answer, "内容太长，二维码放不下", 500);
        return;
    }
    // The image of an address changes rarely; phones may keep it for five minutes.
    const HttpExtraHeader cache = {"Cache-Control", "public, max-age=300"};
    http_send_response(answer, 200, "image/svg+xml; charset=utf-8", svg, std::strlen(svg), &cache,
                       1);
    std::free(svg);
}
