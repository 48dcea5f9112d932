#include "base/config.h"

#include <cstring>

#include "base/fs.h"
#include "base/punycode.h"

namespace {

// Appends value to the text in target (size bytes), keeping as much as fits before the NUL.
void append_cut(char* target, size_t size, const char* value) {
    size_t used = strlen(target);
    size_t n = strlen(value);
    if (n > size - 1 - used) n = size - 1 - used;
    memcpy(target + used, value, n);
    target[used + n] = 0;
}

}  // namespace

int config_init(Config* config, const char* inbox_dir, const char* ip_override, int port) {
    if (!config || !inbox_dir) return -1;
    config->inbox_dir[0] = 0;
    append_cut(config->inbox_dir, sizeof config->inbox_dir, inbox_dir);
    // The state folder follows the inbox as kept (after any cut), always with a separator of
    // its own, and is cut as a whole.
    config->state_dir[0] = 0;
    append_cut(config->state_dir, sizeof config->state_dir, config->inbox_dir);
    append_cut(config->state_dir, sizeof config->state_dir, FS_SEP_STR);
    append_cut(config->state_dir, sizeof config->state_dir, STATE_FOLDER_NAME);
    config->ip_override[0] = 0;
    append_cut(config->ip_override, sizeof config->ip_override, ip_override ? ip_override : "");
    config->port = port;
    config->host_name_count = 0;
    config->pin[0] = 0;
    config->login_token[0] = 0;
    return 0;
}

void config_set_access(Config* config, const char* pin, const char* login_token) {
    if (!config) return;
    config->pin[0] = 0;
    append_cut(config->pin, sizeof config->pin, pin ? pin : "");
    config->login_token[0] = 0;
    append_cut(config->login_token, sizeof config->login_token, login_token ? login_token : "");
}

namespace {

bool host_name_listed(const Config* config, const char* name) {
    for (int i = 0; i < config->host_name_count; i++) {
        if (strcmp(config->host_names[i], name) == 0) return true;
    }
    return false;
}

// Adds name when it fits a slot whole and is not listed yet.
void add_host_name(Config* config, const char* name) {
    if (!name[0] || strlen(name) >= CONFIG_HOST_NAME_BYTES) return;
    if (config->host_name_count >= CONFIG_HOST_NAMES || host_name_listed(config, name)) return;
    strcpy(config->host_names[config->host_name_count++], name);
}

// Adds name and, when it differs, its "xn--" form.
void add_with_ascii_form(Config* config, const char* name) {
    add_host_name(config, name);
    char ascii[CONFIG_HOST_NAME_BYTES];
    if (punycode_host_to_ascii(name, ascii, sizeof ascii) == 0) add_host_name(config, ascii);
}

// Adds the lower-cased name without its trailing dot, then the same with ".local".
void add_name_forms(Config* config, const char* raw) {
    if (!raw) return;
    char name[CONFIG_HOST_NAME_BYTES];
    size_t len = strlen(raw);
    if (len >= sizeof name) return;
    for (size_t i = 0; i <= len; i++)
        name[i] = raw[i] >= 'A' && raw[i] <= 'Z' ? static_cast<char>(raw[i] - 'A' + 'a') : raw[i];
    if (len > 0 && name[len - 1] == '.') name[--len] = '\0';
    if (len == 0) return;
    add_with_ascii_form(config, name);
    static const char LOCAL[] = ".local";
    if (len + sizeof LOCAL > sizeof name) return;
    memcpy(name + len, LOCAL, sizeof LOCAL);
    add_with_ascii_form(config, name);
}

}  // namespace

void config_set_computer_names(Config* config, const char* dns_name, const char* netbios_name) {
    if (!config) return;
    config->host_name_count = 0;
    add_name_forms(config, dns_name);
    add_name_forms(config, netbios_name);
}
