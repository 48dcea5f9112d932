#pragma once
// Start-up and command line: the program's entry, its options and the inbox folders.
#include <string>
#include <vector>

#include "base/config.h"
#include "base/strbuf.h"

// What the command line asks for.
enum AppAction { APP_RUN = 0, APP_HELP = 1, APP_UNKNOWN_ARG = 2, APP_BAD_PIN = 3 };

struct AppOptions {
    int port;              // requested port, -1 when none or invalid (then the default)
    int open_browser;      // 1 unless "--no-open"
    std::string inbox;     // the "--inbox" value; empty means the default inbox
    std::string ip;        // the "--ip" value, at most 63 bytes
    std::string pin;       // the "--pin" value: empty, or 4 to 12 ASCII letters or digits
    std::string unknown;   // the offending argument (APP_UNKNOWN_ARG) or code (APP_BAD_PIN)
};

// Process entry: reads the command line, settles the inbox, binds the port, serves until
// the process is stopped. Returns the process exit code (0, 1 or 2).
int app_main(int argc, char** argv);

// Walks the arguments (the first is the program itself) into options. Later occurrences
// override earlier ones; the walk stops at help, at the first unknown argument, or at a
// "--pin" code that access_pin_valid refuses (APP_BAD_PIN).
AppAction app_parse_options(const std::vector<std::string>& args, AppOptions* options);

// Base-10 port as strtol reads it (leading white space and sign accepted, stops at the first
// non-digit): the value when at least one digit was read and it lies in 1..65535, else -1.
int app_parse_port(const char* text);

// The help text, exactly as "--help" writes it. Static storage.
const char* app_help_text();

// The executable's folder (its full path cut at the last separator), newly allocated
// UTF-8; the caller frees it. Null when the path cannot be read.
char* app_exe_dir();

// Creates the configuration's inbox folder and then its state folder with every missing
// parent; failures are left to the endpoints that need the folders.
void app_make_dirs(const Config* config);

// Gives the console input its mode back and writes the stopped line, waiting at most
// CON_FINAL_WAIT_MS for it to appear; the stop handler calls it before the process ends.
void app_on_stop();

// 1 when a file can be created, written and deleted in folder (a hidden probe file, removed
// again); 0 otherwise (missing folder, no permission, a blocking security tool, full disk).
int app_folder_writable(const char* folder);

// 1 when path is folder itself or lies inside it, compared component by component with '/'
// and '\\' alike and ASCII letters without case (as Windows compares names); 0 otherwise,
// also when either is null or empty.
int app_path_inside(const char* path, const char* folder);

// Appends the start-up warnings that apply (nothing when none does): the inbox cannot be
// written to (inbox_writable 0); the executable runs from temp_dir or below it (mentioning
// the inbox when that lies there too). Each is one or two console lines.
void app_startup_warnings(StrBuf* sb, const char* inbox, int inbox_writable, const char* exe_dir,
                          const char* temp_dir);
