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

bool already_listed(const AddressSlot* slots, int count, const char* text) {
    for (int i = 0; i < count; i++) {
        if (std::strcmp(slots[i].text, text) == 0) return true;
    }
    return false;
}

// Adds one candidate: private, not yet listed, and only while there is room.
void offer(AddressSlot* slots, int capacity, int* count, const char* text) {
    if (!text || !net_is_lan_address(text) || already_listed(slots, *count, text)) return;
    if (*count < capacity) put_slot(&slots[(*count)++], text);
}

// Stable insertion sort by rank: an address moves in front of every earlier address of
// strictly greater rank only.
void sort_by_rank(AddressSlot* slots, int count) {
    for (int i = 1; i < count; i++) {
        AddressSlot moving = slots[i];
        int rank = net_address_rank(moving.text);
        int j = i;
        while (j > 0 && net_address_rank(slots[j - 1].text) > rank) {
            slots[j] = slots[j - 1];
            j--;
        }
        slots[j] = moving;
    }
}

struct Collector {
    AddressSlot* slots;
    int capacity;
    int count;
};

void collect(const char* address, void* context) {
    Collector* c = static_cast<Collector*>(context);
    offer(c->slots, c->capacity, &c->count, address);
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

int net_build_list(AddressSlot* slots, int capacity, const char* outbound,
                   const char* const* others, int other_count) {
    if (!slots || capacity <= 0) return 0;
    int count = 0;
    offer(slots, capacity, &count, outbound);
    for (int i = 0; others && i < other_count; i++) offer(slots, capacity, &count, others[i]);
    sort_by_rank(slots, count);
    return count;
}

int net_lan_addresses(AddressSlot* slots, int capacity) {
    if (!slots || capacity <= 0) return 0;
    char outbound[ADDRESS_SLOT_BYTES];
    Collector c{slots, capacity, 0};
    if (net_probe_outbound(outbound)) offer(slots, capacity, &c.count, outbound);
    net_each_host_address(collect, &c);
    sort_by_rank(slots, c.count);
    return c.count;
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
