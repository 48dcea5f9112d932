// POSIX half of address discovery: the UDP probe, the interface list and the host name.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

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

void net_each_host_address(void (*fn)(const char* address, void* context), void* context) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
        // Only adapters that are up and connected, as the Windows resolver reports them.
        if (!(it->ifa_flags & IFF_UP) || !(it->ifa_flags & IFF_RUNNING)) continue;
        char text[ADDRESS_SLOT_BYTES];
        const sockaddr_in* address = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if (format_ipv4(&address->sin_addr, text)) fn(text, context);
    }
    freeifaddrs(list);
}

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
