#pragma once
// Random bytes from the operating system's own source (random_posix.cpp, random_win32.cpp),
// for names a client must not be able to guess.
#include <cstddef>

// Fills n bytes of out from the system's cryptographic random source. 0, or -1 when the
// source failed (out is then not to be used).
int random_bytes(void* out, size_t n);
