#pragma once
// Console output. Every text is UTF-8; each con_write is a single write, so texts from
// different threads never mix inside one call.
#include "base/strbuf.h"

// Writes one UTF-8 text to standard output; a null text writes nothing.
void con_write(const char* text);
// con_write(text), then con_write("\n").
void con_write_line(const char* text);
