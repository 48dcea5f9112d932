#pragma once
// The desktop shell (shell_posix.cpp, shell_win32.cpp).

// Asks the desktop to open a URL or folder (Windows: shell verb "open"; Linux: xdg-open;
// macOS: open). 1 when the desktop reports success, else 0.
int shell_open(const char* text);
