#pragma once
// The platform half of the inbox paths: exclusive creation, one entry at a time. Implemented
// in paths_posix.cpp and paths_win32.cpp.
#include <cstdio>

// Results of the exclusive creates.
constexpr int PATH_CREATED = 0;
constexpr int PATH_TAKEN = 1;  // something (file, folder, link) already has that name
constexpr int PATH_FAILED = -1;

// Creates a new file at path, failing if anything exists there, and opens it for binary
// writing into *file (the caller closes it).
int path_create_file(const char* path, FILE** file);
// Creates a new folder at path (its parent must exist), failing if anything exists there.
int path_create_dir(const char* path);
