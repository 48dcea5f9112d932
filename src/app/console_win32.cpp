#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/console_platform.h"

namespace {
// UTF-8 to UTF-16 for the console; false when either pass of the conversion fails.
bool to_wide(const char* text, std::wstring* wide) {
    int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (units <= 0) return false;
    wide->assign(static_cast<size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide->data(), units) != units) return false;
    wide->resize(static_cast<size_t>(units - 1));
    return true;
}
}  // namespace

void con_platform_write(const char* text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    std::wstring wide;
    if (out != INVALID_HANDLE_VALUE && out != nullptr && GetConsoleMode(out, &mode) &&
        to_wide(text, &wide)) {
        DWORD written = 0;
        WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    fwrite(text, 1, strlen(text), stdout);
    fflush(stdout);
}
