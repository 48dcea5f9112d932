#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/console_platform.h"

// Straight to the descriptor, not through stdio: the exit path may flush stdout under its
// lock, which a writer stuck on a full pipe would hold for ever.
void con_platform_write(const char* text) {
    const char* rest = text;
    size_t left = strlen(text);
    while (left > 0) {
        ssize_t written = write(STDOUT_FILENO, rest, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        rest += written;
        left -= static_cast<size_t>(written);
    }
}

// A terminal's selection does not hold the program's writes: nothing to change.
void con_platform_quick_edit_off() {}

void con_platform_restore_input_mode() {}
