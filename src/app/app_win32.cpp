// Windows half of the start-up's platform layer.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

#include "app/app_platform.h"
#include "base/console.h"
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

namespace {

// The console was made for this process alone: a double-click on the exe, not a command
// prompt, whose window would stay open anyway.
bool console_is_own(HANDLE input) {
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || input == nullptr || !GetConsoleMode(input, &mode))
        return false;
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

}  // namespace

void app_hold_console_after_failure() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!console_is_own(input)) return;
    con_write("\n  按任意键关闭窗口……\n");
    // Keys pressed while the message was on its way must not close the window unread.
    FlushConsoleInputBuffer(input);
    INPUT_RECORD record;
    DWORD got = 0;
    while (ReadConsoleInputW(input, &record, 1, &got)) {
        if (got == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
    }
}
