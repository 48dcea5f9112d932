#pragma once
// The console's platform layer (console_posix.cpp, console_win32.cpp).

// Writes a UTF-8 text whole: to a real Windows console as UTF-16 with one call, otherwise
// the bytes unchanged straight to standard output's handle, bypassing the C runtime's
// buffered stream.
void con_platform_write(const char* text);

// Clears QuickEdit on the console input (Windows) and remembers the mode found; nothing
// when standard input is no console, and on POSIX.
void con_platform_quick_edit_off();
// Sets the remembered input mode again, once.
void con_platform_restore_input_mode();
