// POSIX half of address discovery: the UDP probe, the interface list with the routing table,
// and the host name.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/net.h"

namespace {

int udp_socket() {
#ifdef SOCK_CLOEXEC
    // Not inherited by a child that the desktop opener may start meanwhile.
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
#else
    return socket(AF_INET, SOCK_DGRAM, 0);
#endif
}

int format_ipv4(const in_addr* address, char text[ADDRESS_SLOT_BYTES]) {
    return inet_ntop(AF_INET, address, text, ADDRESS_SLOT_BYTES) != nullptr;
}

// Linux's routing table as text (which interfaces hold a default route). False where there
// is none: then every adapter is taken to have a gateway, and the outbound probe decides.
bool read_route_table(std::string* out) {
    constexpr size_t MAX_ROUTE_TABLE_BYTES = 256 * 1024;
    FILE* file = std::fopen("/proc/net/route", "r");
    if (!file) return false;
    char buffer[4096];
    size_t n;
    while (out->size() < MAX_ROUTE_TABLE_BYTES &&
           (n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        out->append(buffer, n);
    std::fclose(file);
    return !out->empty();
}

}  // namespace

int net_probe_outbound(char text[ADDRESS_SLOT_BYTES]) {
    int fd = udp_socket();
    if (fd < 0) return 0;
    timeval timeout{};
    timeout.tv_usec = 300 * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(80);
    inet_pton(AF_INET, "8.8.8.8", &target.sin_addr);
    int found = 0;
    // A connected UDP socket only fixes its route; no packet leaves this machine.
    if (connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
            local.sin_family == AF_INET) {
            found = format_ipv4(&local.sin_addr, text);
        }
    }
    close(fd);
    return found;
}

int net_read_adapters(NetAdapterAddress* records, int capacity) {
    if (!records || capacity <= 0) return 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    std::string routes;
    bool have_routes = read_route_table(&routes);
    int count = 0;
    for (ifaddrs* it = list; it && count < capacity; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
        if (it->ifa_flags & IFF_LOOPBACK) continue;
        NetAdapterAddress& record = records[count];
        const sockaddr_in* address = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if (!format_ipv4(&address->sin_addr, record.address)) continue;
        const char* name = it->ifa_name ? it->ifa_name : "";
        record.up = (it->ifa_flags & IFF_UP) && (it->ifa_flags & IFF_RUNNING) ? 1 : 0;
        record.has_gateway =
            have_routes ? net_route_has_default(routes.data(), routes.size(), name) : 1;
        record.kind = net_kind_from_interface_name(name);
        // A point-to-point link whose name says nothing is a tunnel or a dial-up line.
        if (record.kind == NET_ADAPTER_OTHER && (it->ifa_flags & IFF_POINTOPOINT))
            record.kind = NET_ADAPTER_TUNNEL;
        count++;
    }
    freeifaddrs(list);
    return count;
}

// Only Windows has a notion of public networks with their own firewall profile.
int net_public_firewalled(const char*) { return -1; }

char* net_computer_name() {
    char name[256];
    if (gethostname(name, sizeof name) != 0) return nullptr;
    name[sizeof name - 1] = '\0';
    // The short name, like the Windows computer name: no domain part.
    char* dot = std::strchr(name, '.');
    if (dot && dot != name) *dot = '\0';
    if (!name[0]) return nullptr;
    return strdup(name);
}

void net_read_computer_names(ComputerNames* out) {
    out->dns[0] = '\0';
    out->netbios[0] = '\0';
    char name[sizeof out->dns + 1];
    if (gethostname(name, sizeof name) != 0) return;
    name[sizeof name - 1] = '\0';
    char* dot = std::strchr(name, '.');
    if (dot) *dot = '\0';
    // A name that filled the buffer may have been cut: better none than another name.
    if (std::strlen(name) >= sizeof out->dns) return;
    std::strcpy(out->dns, name);
}
