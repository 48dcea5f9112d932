#include "base/console.h"

#include "base/console_platform.h"

void con_write(const char* text) {
    if (text) con_platform_write(text);
}

void con_write_line(const char* text) {
    con_write(text);
    con_write("\n");
}
