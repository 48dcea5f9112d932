// POSIX half of the inbox paths.
#include "base/text.h"
#include "inbox/paths.h"

// Linux and macOS limit one name to 255 bytes.
size_t path_name_size(const char*, size_t len) {
    return len;
}

int path_is_own_name(const char*, int) {
    return 1;
}

// Names are bytes here; a case-insensitive volume (macOS by default) only makes the remembered
// numbers start lower than they could, never wrong.
char* path_name_key(const char* path) {
    return text_copy(path);
}
