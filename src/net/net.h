#pragma once
// LAN address discovery: the PC's private IPv4 addresses, most likely reachable first.
//
// Nothing is cached: every call discovers afresh, so the list follows network changes. Each
// call works on its own socket, its own buffers and the caller's slots, so any number of
// threads may call at once. The socket layer must already be started (the listener does it).

#include "base/config.h"

constexpr int MAX_LAN_ADDRESSES = 16;
constexpr int ADDRESS_SLOT_BYTES = 64;

// One dotted-quad IPv4 address as NUL-terminated ASCII; longer texts are cut to 63 bytes.
struct AddressSlot {
    char text[ADDRESS_SLOT_BYTES];
};

// 1 when the dotted-quad text is a private (RFC 1918) address: 192.168.x, 10.x, or 172.x with
// a second octet from 16 to 31 followed by a '.'. Loopback, link-local and every other
// address give 0.
int net_is_lan_address(const char* address);

// Ordering class by prefix alone: "192.168." 0, "10." 1, "172." 2, anything else 3.
int net_address_rank(const char* address);

// The pure core of discovery: fills slots with up to capacity distinct private addresses,
// taking the outbound interface's address first (null when the probe found none), then the
// machine's other addresses in the order given (null entries are skipped), and orders them
// by rank with a stable sort, so within a class the outbound address stays ahead. Returns the
// number of slots filled; slots beyond it are not touched.
int net_build_list(AddressSlot* slots, int capacity, const char* outbound,
                   const char* const* others, int other_count);

// Discovers the PC's private addresses (outbound probe plus the machine's own addresses) into
// slots, in ranked order. Returns how many it filled: 0 when none is found or capacity <= 0.
// A step that fails merely contributes no address.
int net_lan_addresses(AddressSlot* slots, int capacity);

// Rebuilds a list of count addresses (slots must hold MAX_LAN_ADDRESSES) with
// config->ip_override first (cut to 63 bytes, not validated), then every listed address not
// equal to it, in order, up to MAX_LAN_ADDRESSES. Returns the new count (at least 1). Only for
// a non-empty override.
int net_put_override_first(const Config* config, AddressSlot* slots, int count);

// The addresses the banner and "/api/info" show: the discovered list, with
// config->ip_override first when it is set. Fills slots (MAX_LAN_ADDRESSES) and returns the
// count (0 only without an override and without any address).
int net_shown_addresses(const Config* config, AddressSlot* slots);

// The computer's name as newly allocated UTF-8 text (caller frees), or null when it cannot be
// read or converted.
char* net_computer_name();

// The names this computer answers to on the local network, UTF-8; empty when the system has
// none or it cannot be read whole.
struct ComputerNames {
    char dns[CONFIG_HOST_NAME_BYTES];      // the DNS host name, without any domain
    char netbios[CONFIG_HOST_NAME_BYTES];  // the NetBIOS name (Windows only)
};

// "http://HOST:PORT" as newly allocated text (caller frees), where HOST is config->ip_override
// when set, else the first discovered address, else "127.0.0.1", and PORT is config->port.
// Null only when memory runs out.
char* net_base_url(const Config* config);

// Platform half (net_posix.cpp / net_win32.cpp).

// The local address the routing table would use towards the internet: a UDP socket connected
// to 8.8.8.8 port 80 (connecting a UDP socket sends nothing), 300 ms receive time-out. Writes
// the dotted quad into text and returns 1, or returns 0 when any step fails.
int net_probe_outbound(char text[ADDRESS_SLOT_BYTES]);

// Calls fn once per IPv4 address of this machine's own adapters, as dotted quad, in the
// system's order (Windows: the addresses its computer name resolves to; POSIX: the interface
// list, since the name often resolves only to loopback there). Unfiltered. Failures simply
// report fewer addresses.
void net_each_host_address(void (*fn)(const char* address, void* context), void* context);

// Reads this computer's names into out (Windows: GetComputerNameExW, lower-cased with the
// system's case mapping; POSIX: the host name up to its first dot, and no NetBIOS name).
void net_read_computer_names(ComputerNames* out);
