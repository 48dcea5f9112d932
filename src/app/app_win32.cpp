// Windows half of the start-up's platform layer.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app_platform.h"

namespace {
constexpr DWORD MAX_PATH_UNITS = 4096;
void (*StopCallback)() = nullptr;

// UTF-16 to newly allocated UTF-8; null when either pass of the conversion fails.
char* wide_text_to_utf8(const wchar_t* wide) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return nullptr;
    char* text = static_cast<char*>(malloc(static_cast<size_t>(bytes)));
    if (!text) return nullptr;
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, bytes, nullptr, nullptr) != bytes) {
        free(text);
        return nullptr;
    }
    return text;
}

// UTF-8 to UTF-16; empty when the conversion fails (the caller treats that as failure).
std::wstring utf8_text_to_wide(const char* text) {
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), units) != units)
        return std::wstring();
    wide.resize(static_cast<size_t>(units - 1));
    return wide;
}

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
        char* text = wide_text_to_utf8(wide[i]);
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
    return wide_text_to_utf8(buffer);
}

char* app_full_path(const char* path) {
    if (!path) return nullptr;
    std::wstring wide = utf8_text_to_wide(path);
    if (wide.empty()) return nullptr;
    wchar_t buffer[MAX_PATH_UNITS];
    DWORD units = GetFullPathNameW(wide.c_str(), MAX_PATH_UNITS, buffer, nullptr);
    if (units == 0 || units > MAX_PATH_UNITS - 1) return nullptr;
    return wide_text_to_utf8(buffer);
}

int app_shell_open(const char* text) {
    if (!text) return 0;
    std::wstring wide = utf8_text_to_wide(text);
    if (wide.empty()) return 0;
    HINSTANCE result = ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32 ? 1 : 0;
}

void app_install_ctrl_handler(void (*on_stop)()) {
    StopCallback = on_stop;
    SetConsoleCtrlHandler(on_console_ctrl, TRUE);
}
