#pragma once
// The hint after the banner when the firewall is likely to keep the phone out: Windows asks
// at the first listen whether to allow the program on private networks only, and a new
// Wi-Fi network is often marked public.
#include "base/config.h"
#include "base/strbuf.h"

// Answers for the network of a local address: 1 when it is public and the firewall is on for
// public networks, 0 when not, -1 when it cannot be told.
using AppNetworkCheck = int (*)(const char* address);

// Replaces the system's answer (null: the system's again), for tests. The environment
// variable SKIFFBOX_TEST_NETWORK does the same for a whole process: "public" answers 1,
// "private" 0.
void app_set_network_check(AppNetworkCheck check);

// Asks about address and appends the hint's lines to out when they apply. 1 when it
// appended them, else 0.
int app_network_hint(const char* address, StrBuf* out);

// Asks about the first address the banner shows on a thread of its own, so the answer never
// holds up serving, and writes the hint to the console when it applies. Nothing when no
// address is shown or the thread cannot be started.
void app_start_network_hint(const Config* config);
