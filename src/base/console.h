#pragma once
// Console output. Every text is UTF-8; each con_write is a single write, so texts from
// different threads never mix inside one call.

// Writes one UTF-8 text to standard output: as UTF-16 to a real Windows console (right in any
// code page), else the bytes unchanged, flushed at once. A null text writes nothing.
void con_write(const char* text);
// con_write(text), then con_write("\n").
void con_write_line(const char* text);
