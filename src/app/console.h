#pragma once
// Console output and the start-up banner. Every text is UTF-8; each con_write is a single
// write, so texts from different threads never mix inside one call.
#include <cstdint>

#include "base/strbuf.h"

// Writes one UTF-8 text to standard output: as UTF-16 to a real Windows console (right in any
// code page), else the bytes unchanged, flushed at once. A null text writes nothing.
void con_write(const char* text);
// con_write(text), then con_write("\n").
void con_write_line(const char* text);

// Appends the banner for the bound port, the addresses to show (first one for the phone),
// the inbox and its usage to sb. A piece longer than the formatting limit is left out.
void con_build_banner(StrBuf* sb, int port, const char* const* addresses, int address_count,
                      const char* inbox, uint64_t files, uint64_t bytes);
// Gathers the addresses (with the "--ip" override first) and the usage, then writes the
// banner with a single con_write.
void con_print_banner(int port);
// Appends "  ·  现在 N 个文件，X MB" with the current usage, and the warning past 5 GiB.
void con_append_usage(StrBuf* sb);
