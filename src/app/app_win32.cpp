// Windows half of the start-up's platform layer.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

#include "app/app_platform.h"
#include "base/fs.h"

namespace {
constexpr DWORD MAX_PATH_UNITS = 4096;
void (*StopCallback)() = nullptr;

BOOL WINAPI on_console_ctrl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;  // log-off and shut-down keep the system's default handling
    if (StopCallback) StopCallback();
    ExitProcess(0);
}
}  // namespace

void app_platform_init() { _setmode(_fileno(stdout), _O_BINARY); }

std::vector<std::string> app_command_line(int, char**) {
    std::vector<std::string> args;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return args;
    for (int i = 0; i < count; ++i) {
        char* text = wide_to_utf8(wide[i]);
        args.emplace_back(text ? text : "");
        free(text);
    }
    LocalFree(wide);
    return args;
}

char* app_exe_path() {
    wchar_t buffer[MAX_PATH_UNITS];
    DWORD units = GetModuleFileNameW(nullptr, buffer, MAX_PATH_UNITS);
    if (units == 0 || units >= MAX_PATH_UNITS) return nullptr;
    return wide_to_utf8(buffer);
}

char* app_full_path(const char* path) {
    if (!path) return nullptr;
    wchar_t* wide = utf8_to_wide(path);
    if (!wide) return nullptr;
    wchar_t buffer[MAX_PATH_UNITS];
    DWORD units = GetFullPathNameW(wide, MAX_PATH_UNITS, buffer, nullptr);
    free(wide);
    if (units == 0 || units > MAX_PATH_UNITS - 1) return nullptr;
    return wide_to_utf8(buffer);
}


void app_install_ctrl_handler(void (*on_stop)()) {
    StopCallback = on_stop;
    SetConsoleCtrlHandler(on_console_ctrl, TRUE);
}
