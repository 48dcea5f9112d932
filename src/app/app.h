#pragma once
// Start-up and command line: the program's entry and the process-wide settings.

// Process entry: reads the command line, settles the inbox, binds the port, serves until
// the process is stopped. Returns the process exit code (0, 1 or 2).
int app_main(int argc, char** argv);
