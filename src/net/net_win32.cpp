// Windows half of address discovery: the UDP probe, the addresses the computer's name
// resolves to, and the computer's name. Winsock is started by the listener beforehand.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>

#include "net/net.h"

namespace {

int format_ipv4(const in_addr* address, char text[ADDRESS_SLOT_BYTES]) {
    // inet_ntop copies into our own buffer, so concurrent callers never share a result.
    return inet_ntop(AF_INET, const_cast<in_addr*>(address), text, ADDRESS_SLOT_BYTES) != nullptr;
}

// One of the computer's names, lower-cased as the system maps case (a browser lower-cases a
// host name before it sends it), as UTF-8 into out; empty when it cannot be read whole.
void read_computer_name(COMPUTER_NAME_FORMAT format, char* out, int out_size) {
    out[0] = '\0';
    wchar_t name[256];
    DWORD length = 256;
    if (!GetComputerNameExW(format, name, &length) || length == 0 || length >= 256) return;
    wchar_t lower[256];
    int lower_length =
        LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, name, static_cast<int>(length), lower, 256);
    if (lower_length <= 0) return;
    int bytes =
        WideCharToMultiByte(CP_UTF8, 0, lower, lower_length, out, out_size - 1, nullptr, nullptr);
    out[bytes > 0 ? bytes : 0] = '\0';
}

}  // namespace

int net_probe_outbound(char text[ADDRESS_SLOT_BYTES]) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return 0;
    DWORD timeout_ms = 300;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout_ms),
               sizeof timeout_ms);

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(80);
    target.sin_addr.s_addr = inet_addr("8.8.8.8");
    int found = 0;
    // A connected UDP socket only fixes its route; no packet leaves this machine.
    if (connect(s, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
        sockaddr_in local{};
        int length = sizeof local;
        if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
            local.sin_family == AF_INET) {
            found = format_ipv4(&local.sin_addr, text);
        }
    }
    closesocket(s);
    return found;
}

void net_each_host_address(void (*fn)(const char* address, void* context), void* context) {
    char name[256];
    DWORD length = sizeof name;
    if (!GetComputerNameA(name, &length)) return;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0) return;
    for (addrinfo* it = list; it; it = it->ai_next) {
        if (!it->ai_addr || it->ai_family != AF_INET) continue;
        char text[ADDRESS_SLOT_BYTES];
        const sockaddr_in* address = reinterpret_cast<const sockaddr_in*>(it->ai_addr);
        if (format_ipv4(&address->sin_addr, text)) fn(text, context);
    }
    freeaddrinfo(list);
}

char* net_computer_name() {
    wchar_t name[256];
    DWORD length = 256;
    if (!GetComputerNameW(name, &length)) return nullptr;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), nullptr, 0, nullptr,
                                    nullptr);
    if (bytes <= 0) return nullptr;
    char* text = static_cast<char*>(std::malloc(static_cast<size_t>(bytes) + 1));
    if (!text) return nullptr;
    if (WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), text, bytes, nullptr,
                            nullptr) != bytes) {
        std::free(text);
        return nullptr;
    }
    text[bytes] = '\0';
    return text;
}

void net_read_computer_names(ComputerNames* out) {
    read_computer_name(ComputerNameDnsHostname, out->dns, sizeof out->dns);
    read_computer_name(ComputerNameNetBIOS, out->netbios, sizeof out->netbios);
}
