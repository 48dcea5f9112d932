#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <cwchar>

#include "base/console_platform.h"
#include "base/fs.h"

void con_platform_write(const char* text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != INVALID_HANDLE_VALUE && out != nullptr && GetConsoleMode(out, &mode)) {
        wchar_t* wide = utf8_to_wide(text);
        if (wide) {
            DWORD written = 0;
            WriteConsoleW(out, wide, static_cast<DWORD>(wcslen(wide)), &written, nullptr);
            free(wide);
            return;
        }
    }
    fwrite(text, 1, strlen(text), stdout);
    fflush(stdout);
}
