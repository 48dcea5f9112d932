#include <windows.h>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <cwchar>

#include "base/console_platform.h"
#include "base/fs.h"

namespace {
// Redirected output: the bytes go straight to the handle. The C runtime's stream is left
// alone, since the process's exit flushes it under its lock, and a writer stuck on a full
// pipe would hold that lock for ever.
void write_bytes(HANDLE out, const char* text) {
    const char* rest = text;
    size_t left = strlen(text);
    while (left > 0) {
        DWORD chunk = left > 65536 ? 65536 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(out, rest, chunk, &written, nullptr) || written == 0) return;
        rest += written;
        left -= written;
    }
}
}  // namespace

void con_platform_write(const char* text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || out == nullptr) return;
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        wchar_t* wide = utf8_to_wide(text);
        if (wide) {
            DWORD written = 0;
            WriteConsoleW(out, wide, static_cast<DWORD>(wcslen(wide)), &written, nullptr);
            free(wide);
            return;
        }
    }
    write_bytes(out, text);
}

namespace {
// The input mode found at start-up; written before any other thread runs, read by the stop
// handler's thread.
DWORD SavedInputMode = 0;
std::atomic<int> InputModeSaved{0};

HANDLE console_input() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    return in == INVALID_HANDLE_VALUE ? nullptr : in;
}
}  // namespace

void con_platform_quick_edit_off() {
    HANDLE in = console_input();
    DWORD mode = 0;
    if (!in || !GetConsoleMode(in, &mode)) return;
    // QuickEdit is only changed together with ENABLE_EXTENDED_FLAGS; without it the call
    // would leave QuickEdit as it is.
    DWORD quiet = (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE);
    if (quiet == mode || !SetConsoleMode(in, quiet)) return;
    SavedInputMode = mode;
    InputModeSaved.store(1);
}

void con_platform_restore_input_mode() {
    if (InputModeSaved.exchange(0) == 0) return;
    HANDLE in = console_input();
    if (in) SetConsoleMode(in, SavedInputMode);
}
