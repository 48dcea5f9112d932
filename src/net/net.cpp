#include "net/net.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/config.h"

namespace {

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

void put_slot(AddressSlot* slot, const char* text) {
    std::snprintf(slot->text, sizeof slot->text, "%s", text);
}

}  // namespace

int net_is_lan_address(const char* address) {
    if (!address) return 0;
    if (starts_with(address, "127.")) return 0;      // loopback
    if (starts_with(address, "169.254.")) return 0;  // link-local: no DHCP answer
    if (starts_with(address, "192.168.") || starts_with(address, "10.")) return 1;
    if (starts_with(address, "172.")) {
        const char* p = address + 4;
        int octet = 0;
        // Read as a decimal integer; saturating keeps long digit strings from overflowing.
        while (*p >= '0' && *p <= '9') {
            octet = octet < 1000 ? octet * 10 + (*p - '0') : octet;
            p++;
        }
        return *p == '.' && octet >= 16 && octet <= 31;
    }
    return 0;
}

int net_address_rank(const char* address) {
    if (!address) return 3;
    if (starts_with(address, "192.168.")) return 0;
    if (starts_with(address, "10.")) return 1;
    if (starts_with(address, "172.")) return 2;
    return 3;
}

int net_lan_addresses(AddressSlot* slots, int capacity) {
    if (!slots || capacity <= 0) return 0;
    NetAdapterAddress records[MAX_ADAPTER_ADDRESSES];
    int count = net_read_adapters(records, MAX_ADAPTER_ADDRESSES);
    char outbound[ADDRESS_SLOT_BYTES];
    const char* probe = net_probe_outbound(outbound) ? outbound : nullptr;
    return net_rank_addresses(records, count, probe, slots, capacity);
}

int net_put_override_first(const Config* config, AddressSlot* slots, int count) {
    if (count < 0) count = 0;
    if (count > MAX_LAN_ADDRESSES) count = MAX_LAN_ADDRESSES;
    AddressSlot found[MAX_LAN_ADDRESSES];
    std::memcpy(found, slots, sizeof(AddressSlot) * static_cast<size_t>(count));
    put_slot(&slots[0], config->ip_override);
    int n = 1;
    for (int i = 0; i < count && n < MAX_LAN_ADDRESSES; i++) {
        if (std::strcmp(found[i].text, slots[0].text) != 0) slots[n++] = found[i];
    }
    return n;
}

int net_shown_addresses(const Config* config, AddressSlot* slots) {
    int count = net_lan_addresses(slots, MAX_LAN_ADDRESSES);
    return config->ip_override[0] ? net_put_override_first(config, slots, count) : count;
}

char* net_base_url(const Config* config) {
    AddressSlot slots[MAX_LAN_ADDRESSES];
    const char* host = "127.0.0.1";
    if (config->ip_override[0]) {
        host = config->ip_override;
    } else if (net_lan_addresses(slots, MAX_LAN_ADDRESSES) > 0) {
        host = slots[0].text;
    }
    int length = std::snprintf(nullptr, 0, "http://%s:%d", host, config->port);
    if (length < 0) return nullptr;
    char* url = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (!url) return nullptr;
    std::snprintf(url, static_cast<size_t>(length) + 1, "http://%s:%d", host, config->port);
    return url;
}
