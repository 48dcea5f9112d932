#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

#include "base/fs.h"
#include "base/shell.h"

int shell_open(const char* text) {
    if (!text) return 0;
    wchar_t* wide = utf8_to_wide(text);
    if (!wide) return 0;
    HINSTANCE result = ShellExecuteW(nullptr, L"open", wide, nullptr, nullptr, SW_SHOWNORMAL);
    free(wide);
    return reinterpret_cast<INT_PTR>(result) > 32 ? 1 : 0;
}
