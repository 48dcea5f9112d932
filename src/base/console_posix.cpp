#include <cstdio>
#include <cstring>

#include "base/console_platform.h"

void con_platform_write(const char* text) {
    fwrite(text, 1, strlen(text), stdout);
    fflush(stdout);
}

// A terminal's selection does not hold the program's writes: nothing to change.
void con_platform_quick_edit_off() {}

void con_platform_restore_input_mode() {}
