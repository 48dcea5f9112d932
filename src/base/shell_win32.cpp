#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

#include "base/fs.h"
#include "base/shell.h"

namespace {

// ShellExecuteW with the verb on text (UTF-8). 1 when the shell reports success.
int shell_execute(const wchar_t* verb, const char* text) {
    if (!text) return 0;
    wchar_t* wide = utf8_to_wide(text);
    if (!wide) return 0;
    HINSTANCE result = ShellExecuteW(nullptr, verb, wide, nullptr, nullptr, SW_SHOWNORMAL);
    free(wide);
    return reinterpret_cast<INT_PTR>(result) > 32 ? 1 : 0;
}

}  // namespace

int shell_open(const char* text) {
    return shell_execute(L"open", text);
}

// "explore" is registered for folders only: a path that has become a file in the meantime
// fails instead of being run.
int shell_open_folder(const char* path) {
    if (!path || fs_is_dir(path) != 1) return 0;
    return shell_execute(L"explore", path);
}
