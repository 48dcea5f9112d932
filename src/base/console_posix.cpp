#include <cstdio>
#include <cstring>

#include "base/console_platform.h"

void con_platform_write(const char* text) {
    fwrite(text, 1, strlen(text), stdout);
    fflush(stdout);
}
