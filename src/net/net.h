#pragma once
// LAN address discovery: the PC's private IPv4 addresses, most likely reachable first.
//
// Nothing is cached: every call discovers afresh, so the list follows network changes. Each
// call works on its own socket, its own buffers and the caller's slots, so any number of
// threads may call at once. The socket layer must already be started (the listener does it).

#include <cstddef>

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

// Ordering class by prefix alone: "192.168." 0, "10." 1, "172." 2, anything else 3. Among
// adapters of the same standing the lower class is shown first.
int net_address_rank(const char* address);

// What kind of link an adapter is, as far as a phone on the same Wi-Fi can reach it.
enum NetAdapterKind {
    NET_ADAPTER_OTHER = 0,
    NET_ADAPTER_ETHERNET = 1,
    NET_ADAPTER_WIFI = 2,
    NET_ADAPTER_TUNNEL = 3,   // VPNs and other tunnels
    NET_ADAPTER_PPP = 4,      // dial-up, PPPoE, mobile broadband
    NET_ADAPTER_VIRTUAL = 5,  // the host's side of virtual machines and WSL (Hyper-V,
                              // VirtualBox, VMware, container bridges)
};

// One IPv4 address of one of this machine's adapters, as the platform reports it.
struct NetAdapterAddress {
    char address[ADDRESS_SLOT_BYTES];  // dotted quad
    int up;                            // 1 when the adapter is up and connected
    int has_gateway;                   // 1 when the adapter has a default gateway
    int kind;                          // a NetAdapterKind
};

// Adapter addresses read and ranked at most; further ones are ignored.
constexpr int MAX_ADAPTER_ADDRESSES = 64;

// The pure core of discovery: fills slots with up to capacity distinct private addresses
// taken from the first MAX_ADAPTER_ADDRESSES records, best first:
//   1. outbound (the address the system would send from, null when the probe found none)
//      when its adapter is up, has a default gateway and is no tunnel, PPP or virtual link,
//      so that a VPN never wins; an outbound address that no record holds counts as such;
//   2. addresses of adapters that are up and have a gateway, tunnels and PPP after the rest;
//   3. adapters that are up without a gateway, then adapters that are down;
//   4. virtual adapters last, in the same order among themselves.
// Within a step by net_address_rank, then in the order given. An address listed twice is
// shown once, where it ranks best. Returns the number of slots filled; slots beyond it are
// not touched.
int net_rank_addresses(const NetAdapterAddress* records, int record_count, const char* outbound,
                       AddressSlot* slots, int capacity);

// The kind a Windows adapter's description or friendly name betrays ("Hyper-V Virtual
// Ethernet Adapter", "VirtualBox Host-Only", "VMware", "vEthernet (WSL)", "TAP-Windows",
// "WireGuard", ...), compared without case; -1 when the name tells nothing.
int net_kind_from_description(const char* name);

// The kind a POSIX interface name betrays ("tun0", "wg0", "ppp0", "docker0", "vboxnet0",
// "wlan0", "eth0", ...); NET_ADAPTER_OTHER when it tells nothing.
int net_kind_from_interface_name(const char* name);

// 1 when a routing table in the text form of /proc/net/route has a default route through a
// gateway on the interface iface, else 0. Reads at most the given length.
int net_route_has_default(const char* table, size_t length, const char* iface);

// Discovers the PC's private addresses (the outbound probe plus the adapters' addresses)
// into slots, ranked as net_rank_addresses does. Returns how many it filled: 0 when none is
// found or capacity <= 0. A step that fails merely contributes no address.
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

// Fills records with up to capacity IPv4 addresses of this machine's adapters, loopback left
// out, in the system's order (Windows: GetAdaptersAddresses; POSIX: the interface list, with
// the default route's interfaces from /proc/net/route where there is one, and every adapter
// taken to have a gateway where there is not). Unfiltered. Returns the count; 0 on failure.
int net_read_adapters(NetAdapterAddress* records, int capacity);

// 1 when the network of the adapter holding address is public and the firewall is on for
// public networks, 0 when either is not so, -1 when it cannot be told (no adapter holds the
// address, the network list or the firewall cannot be read, or the system has neither).
// Windows: asks the network list manager and the firewall policy, which need no
// administrator, with COM initialised on the calling thread for the call.
int net_public_firewalled(const char* address);

// Reads this computer's names into out (Windows: GetComputerNameExW, lower-cased with the
// system's case mapping; POSIX: the host name up to its first dot, and no NetBIOS name).
void net_read_computer_names(ComputerNames* out);
