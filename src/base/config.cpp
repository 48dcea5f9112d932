#include "base/config.h"

#include <cstring>

#include "base/fs.h"

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
    return 0;
}
