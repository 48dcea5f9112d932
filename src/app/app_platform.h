#pragma once
// The start-up's platform layer: command line, folders of the executable, the desktop shell,
// the console's stop events. Implemented in app_posix.cpp and app_win32.cpp.
#include <string>
#include <vector>

// Prepares the process before anything else runs: on Windows standard output is switched to
// binary mode, so redirected text is exactly the UTF-8 bytes written.
void app_platform_init();

// The process's arguments as UTF-8, the program itself first (Windows: the wide command line
// split by the shell's standard rules; POSIX: argv). An argument that cannot be converted
// is empty. Empty on failure.
std::vector<std::string> app_command_line(int argc, char** argv);

// The running executable's full path, UTF-8; newly allocated, caller frees; null on failure.
char* app_exe_path();

// The absolute form of a UTF-8 path (relative ones taken against the current folder, "." and
// ".." folded); newly allocated, caller frees; null on failure or when longer than 4,095.
char* app_full_path(const char* path);

// Calls on_stop and ends the process with exit code 0 when the user stops it (Windows:
// Ctrl+C, Ctrl+Break, console closed; POSIX: SIGINT, SIGTERM, SIGHUP). POSIX: must be called
// before any other thread is started, because a dedicated thread waits for the signals,
// which every other thread keeps blocked; nothing runs inside a signal handler.
void app_install_ctrl_handler(void (*on_stop)());

// After a failed start-up: when the console window belongs to this process alone (it was
// opened by a double-click and closes with the process) and standard input is that console,
// asks for a key and waits for it, so the message stays readable. Does nothing otherwise, and
// nothing on POSIX, where a terminal outlives the process.
void app_hold_console_after_failure();
