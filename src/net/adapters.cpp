// Ranking the adapters' addresses by what the PC actually uses, and the names and routes
// that tell what an adapter is.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/net.h"

namespace {

// Steps of the ranking, best first.
constexpr int STEP_OUTBOUND = 0;
constexpr int STEP_GATEWAY = 1;
constexpr int STEP_GATEWAY_TUNNEL = 2;
constexpr int STEP_NO_GATEWAY = 3;
constexpr int STEP_DOWN = 4;
// Added to a virtual adapter's step: after every other adapter, in the same order.
constexpr int STEP_VIRTUAL = 5;

struct Candidate {
    const char* address;
    int step;
    int rank;
};

bool reaches_beyond_this_pc(int kind) {
    return kind != NET_ADAPTER_TUNNEL && kind != NET_ADAPTER_PPP && kind != NET_ADAPTER_VIRTUAL;
}

int step_of(const NetAdapterAddress& record, bool is_outbound) {
    bool physical = reaches_beyond_this_pc(record.kind);
    if (is_outbound && record.up && record.has_gateway && physical) return STEP_OUTBOUND;
    int step = !record.up            ? STEP_DOWN
               : !record.has_gateway ? STEP_NO_GATEWAY
               : physical            ? STEP_GATEWAY
                                     : STEP_GATEWAY_TUNNEL;
    return record.kind == NET_ADAPTER_VIRTUAL ? step + STEP_VIRTUAL : step;
}

bool comes_before(const Candidate& a, const Candidate& b) {
    return a.step != b.step ? a.step < b.step : a.rank < b.rank;
}

// Stable insertion sort: equal candidates keep the order they were given in.
void sort_candidates(Candidate* list, int count) {
    for (int i = 1; i < count; i++) {
        Candidate moving = list[i];
        int j = i;
        while (j > 0 && comes_before(moving, list[j - 1])) {
            list[j] = list[j - 1];
            j--;
        }
        list[j] = moving;
    }
}

bool already_listed(const AddressSlot* slots, int count, const char* text) {
    for (int i = 0; i < count; i++)
        if (std::strcmp(slots[i].text, text) == 0) return true;
    return false;
}

bool contains_without_case(const char* text, const char* lower_word) {
    size_t n = std::strlen(lower_word);
    for (const char* p = text; *p; p++) {
        size_t i = 0;
        while (i < n && p[i] &&
               std::tolower(static_cast<unsigned char>(p[i])) ==
                   static_cast<unsigned char>(lower_word[i]))
            i++;
        if (i == n) return true;
    }
    return false;
}

bool starts_with_any(const char* name, const char* const* prefixes) {
    for (const char* const* p = prefixes; *p; p++)
        if (std::strncmp(name, *p, std::strlen(*p)) == 0) return true;
    return false;
}

// One line's field number `index` (0-based, separated by blanks) into out; false when the
// line has fewer fields or the field does not fit.
bool route_field(const char* line, const char* end, int index, char* out, size_t out_size) {
    const char* p = line;
    for (int field = 0; p < end; field++) {
        while (p < end && (*p == ' ' || *p == '\t')) p++;
        const char* start = p;
        while (p < end && *p != ' ' && *p != '\t') p++;
        if (start == p) return false;
        if (field == index) {
            size_t n = static_cast<size_t>(p - start);
            if (n >= out_size) return false;
            std::memcpy(out, start, n);
            out[n] = '\0';
            return true;
        }
    }
    return false;
}

bool is_default_gateway_route(const char* line, const char* end, const char* iface) {
    constexpr unsigned long ROUTE_UP = 0x1, ROUTE_GATEWAY = 0x2;
    char name[64], destination[16], flags[16], mask[16];
    if (!route_field(line, end, 0, name, sizeof name) ||
        !route_field(line, end, 1, destination, sizeof destination) ||
        !route_field(line, end, 3, flags, sizeof flags) ||
        !route_field(line, end, 7, mask, sizeof mask))
        return false;
    char* flags_end = nullptr;
    unsigned long bits = std::strtoul(flags, &flags_end, 16);
    return std::strcmp(name, iface) == 0 && std::strcmp(destination, "00000000") == 0 &&
           std::strcmp(mask, "00000000") == 0 && *flags_end == '\0' &&
           (bits & (ROUTE_UP | ROUTE_GATEWAY)) == (ROUTE_UP | ROUTE_GATEWAY);
}

}  // namespace

int net_rank_addresses(const NetAdapterAddress* records, int record_count, const char* outbound,
                       AddressSlot* slots, int capacity) {
    if (!slots || capacity <= 0) return 0;
    if (!records || record_count < 0) record_count = 0;
    if (record_count > MAX_ADAPTER_ADDRESSES) record_count = MAX_ADAPTER_ADDRESSES;
    Candidate list[MAX_ADAPTER_ADDRESSES + 1];
    int count = 0;
    bool outbound_held = false;
    for (int i = 0; i < record_count; i++) {
        const char* address = records[i].address;
        if (!net_is_lan_address(address)) continue;
        bool is_outbound = outbound && std::strcmp(address, outbound) == 0;
        outbound_held = outbound_held || is_outbound;
        list[count++] = {address, step_of(records[i], is_outbound), net_address_rank(address)};
    }
    // The probe found a route through an address no adapter listed (the list could not be
    // read): the route itself says it is the one in use.
    if (outbound && !outbound_held && net_is_lan_address(outbound))
        list[count++] = {outbound, STEP_OUTBOUND, net_address_rank(outbound)};
    sort_candidates(list, count);
    int filled = 0;
    for (int i = 0; i < count && filled < capacity; i++) {
        if (already_listed(slots, filled, list[i].address)) continue;
        std::snprintf(slots[filled].text, sizeof slots[filled].text, "%s", list[i].address);
        filled++;
    }
    return filled;
}

int net_kind_from_description(const char* name) {
    if (!name) return -1;
    static const char* const TUNNELS[] = {"tap-windows", "wireguard", "wintun",   "openvpn",
                                          "vpn",         "tunnel",    "zerotier", "tailscale"};
    static const char* const VIRTUALS[] = {"hyper-v", "virtualbox", "vmware", "wsl", "virtual"};
    for (const char* word : TUNNELS)
        if (contains_without_case(name, word)) return NET_ADAPTER_TUNNEL;
    for (const char* word : VIRTUALS)
        if (contains_without_case(name, word)) return NET_ADAPTER_VIRTUAL;
    return -1;
}

int net_kind_from_interface_name(const char* name) {
    static const char* const TUNNELS[] = {"tun", "tap",       "wg",  "utun", "ipsec",
                                          "zt",  "tailscale", "gpd", nullptr};
    static const char* const PPPS[] = {"ppp", "wwan", "wwp", nullptr};
    static const char* const VIRTUALS[] = {"docker", "br-",   "veth", "virbr",  "vboxnet", "vmnet",
                                           "lxcbr",  "lxdbr", "cni",  "podman", "vnet",    nullptr};
    static const char* const WIFIS[] = {"wl", nullptr};
    static const char* const ETHERNETS[] = {"eth", "en", "em", nullptr};
    if (!name) return NET_ADAPTER_OTHER;
    if (starts_with_any(name, TUNNELS)) return NET_ADAPTER_TUNNEL;
    if (starts_with_any(name, PPPS)) return NET_ADAPTER_PPP;
    if (starts_with_any(name, VIRTUALS)) return NET_ADAPTER_VIRTUAL;
    if (starts_with_any(name, WIFIS)) return NET_ADAPTER_WIFI;
    if (starts_with_any(name, ETHERNETS)) return NET_ADAPTER_ETHERNET;
    return NET_ADAPTER_OTHER;
}

int net_route_has_default(const char* table, size_t length, const char* iface) {
    if (!table || !iface || !iface[0]) return 0;
    const char* end = table + length;
    const char* line = table;
    while (line < end) {
        const char* line_end =
            static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
        if (!line_end) line_end = end;
        if (is_default_gateway_route(line, line_end, iface)) return 1;
        line = line_end + 1;
    }
    return 0;
}
