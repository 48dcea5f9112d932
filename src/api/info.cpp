#include "api/info.h"

#include <cstdlib>

#include "base/config.h"
#include "base/fs.h"
#include "base/json.h"
#include "base/shell.h"
#include "http/request.h"
#include "http/response.h"
#include "inbox/paths.h"
#include "net/net.h"

namespace {
// The absolute folder a client's relative path names inside the inbox: the inbox itself for
// no components, null when the path is refused. Newly allocated.
char* resolve_folder(const Config* config, const char* rel) {
    char** components = nullptr;
    int count = rel_split(rel, &components);
    if (count < 0) return nullptr;
    char* path = rel_join(config, components, count);
    rel_free(components, count);
    return path;
}
}  // namespace

void api_info_json(const Config* config, StrBuf* sb) {
    AddressSlot slots[MAX_LAN_ADDRESSES];
    int count = net_shown_addresses(config, slots);
    const char* ip = count > 0 ? slots[0].text : "127.0.0.1";
    char* host = net_computer_name();

    sb_append_str(sb, "{\"name\": ");
    json_append_string(sb, APP_NAME);
    sb_append_str(sb, ", \"version\": ");
    json_append_string(sb, APP_VERSION);
    sb_appendf(sb, ", \"port\": %d, \"ips\": [", config->port);
    for (int i = 0; i < count; ++i) {
        if (i > 0) sb_append_str(sb, ", ");
        json_append_string(sb, slots[i].text);
    }
    sb_append_str(sb, "], \"ip\": ");
    json_append_string(sb, ip);
    StrBufOwner base;
    sb_appendf(base.get(), "http://%s:%d", ip, config->port);
    sb_append_str(sb, ", \"base\": ");
    json_append_string(sb, base.c_str());
    sb_append_str(sb, ", \"inbox\": ");
    json_append_string(sb, config->inbox_dir);
    sb_append_str(sb, ", \"host\": ");
    json_append_string(sb, host ? host : "");
    sb_append_str(sb, ", \"tree\": true");
    // Only a visitor with a session reads this: the page puts it into the address of its QR
    // code, so that a phone scanning it gets in without typing the code.
    if (config->pin[0]) {
        sb_append_str(sb, ", \"token\": ");
        json_append_string(sb, config->login_token);
    }
    sb_append_char(sb, '}');
    free(host);
}

void api_info(const Config* config, HttpAnswer* answer, const char*) {
    StrBufOwner body;
    api_info_json(config, body.get());
    http_send_json(answer, 200, body.get());
}

void api_open(const Config* config, HttpAnswer* answer, HttpConn* conn, HttpRequest* request,
              const char*) {
    char* folder = nullptr;
    {
        JsonOwner json(http_read_json(conn, request->content_length));
        if (!json.value) {
            http_send_error(answer, HTTP_BODY_BUSY_MESSAGE, 503);
            return;
        }
        folder = resolve_folder(config, json_string(json_get(json.value, "path")));
    }
    if (!folder || fs_is_dir(folder) != 1) {
        free(folder);
        folder = rel_join(config, nullptr, 0);
    }
    // Only ever as a folder: anyone on the network may ask, and the entry may have been
    // replaced by a file since it was looked at.
    int opened = folder ? shell_open_folder(folder) : 0;
    free(folder);
    StrBufOwner body;
    sb_appendf(body.get(), "{\"ok\": %s}", opened ? "true" : "false");
    http_send_json(answer, 200, body.get());
}
