#pragma once
// The desktop shell (shell_posix.cpp, shell_win32.cpp).

// Asks the desktop to open a URL (Windows: shell verb "open"; Linux: xdg-open; macOS: open).
// 1 when the desktop reports success, else 0.
int shell_open(const char* text);

// Shows a folder in the desktop's file manager, and never opens anything else: the path may
// come from a client and may have become a file (or a link to one) since it was checked.
// Windows uses the verb "explore", which only folders have, never the default verb, which
// would run a file. Linux and macOS open the path only after checking that it is a folder.
// 1 when the desktop reports success, else 0 (also when path is not a folder).
int shell_open_folder(const char* path);
