#include "app/console.h"

#include <cstdio>
#include <cstring>

void con_write(const char* text) {
    if (!text) return;
    fwrite(text, 1, strlen(text), stdout);
    fflush(stdout);
}

void con_write_line(const char* text) {
    con_write(text);
    con_write("\n");
}
