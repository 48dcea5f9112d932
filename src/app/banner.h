#pragma once
// The start-up banner.
#include <cstdint>

#include "base/config.h"
#include "base/strbuf.h"

// Appends the banner for the bound port, the addresses to show (first one for the phone),
// the inbox and its usage to sb. With an access code (pin not empty) every address ends in
// login_suffix ("/?k=..."), so that whoever opens one gets in at once, and a line shows the
// code itself; pin and login_suffix may be null for none. A piece longer than the formatting
// limit is left out.
void banner_build(StrBuf* sb, int port, const char* const* addresses, int address_count,
                  const char* inbox, uint64_t files, uint64_t bytes, const char* pin,
                  const char* login_suffix);
// Gathers the addresses (with the configuration's "--ip" override first) and the usage of
// its inbox, then writes the banner for its port and inbox with a single con_write.
void banner_print(const Config* config);
