// Windows half of address discovery: the UDP probe, the adapters with their addresses and
// gateways, the computer's name, and whether the firewall guards an address's network as a
// public one. Winsock is started by the listener beforehand.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <objbase.h>
#include <netfw.h>
#include <netlistmgr.h>

#include <cstdlib>
#include <cstring>

#include "base/fs.h"
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

// The adapter list with IPv4 unicast addresses and default gateways, newly allocated (the
// caller frees it); null when it cannot be read. The list may grow between the size query
// and the read, hence the retries.
IP_ADAPTER_ADDRESSES* read_adapters() {
    constexpr ULONG FLAGS = GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST |
                            GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16 * 1024;
    for (int attempt = 0; attempt < 4; attempt++) {
        auto* list = static_cast<IP_ADAPTER_ADDRESSES*>(malloc(size));
        if (!list) return nullptr;
        ULONG result = GetAdaptersAddresses(AF_INET, FLAGS, nullptr, list, &size);
        if (result == NO_ERROR) return list;
        free(list);
        if (result != ERROR_BUFFER_OVERFLOW) return nullptr;
    }
    return nullptr;
}

int format_unicast(const IP_ADAPTER_UNICAST_ADDRESS* unicast, char text[ADDRESS_SLOT_BYTES]) {
    const SOCKADDR* address = unicast->Address.lpSockaddr;
    if (!address || address->sa_family != AF_INET) return 0;
    return format_ipv4(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text);
}

// What the adapter's own names say (virtual-machine switches and VPNs often present
// themselves as Ethernet), else what its interface type says.
int adapter_kind(const IP_ADAPTER_ADDRESSES* adapter) {
    const wchar_t* names[] = {adapter->Description, adapter->FriendlyName};
    for (const wchar_t* name : names) {
        char* text = name ? wide_to_utf8(name) : nullptr;
        int kind = net_kind_from_description(text);
        free(text);
        if (kind >= 0) return kind;
    }
    switch (adapter->IfType) {
        case IF_TYPE_TUNNEL: return NET_ADAPTER_TUNNEL;
        case IF_TYPE_PPP: return NET_ADAPTER_PPP;
        case IF_TYPE_PROP_VIRTUAL: return NET_ADAPTER_VIRTUAL;
        case IF_TYPE_IEEE80211: return NET_ADAPTER_WIFI;
        case IF_TYPE_ETHERNET_CSMACD: return NET_ADAPTER_ETHERNET;
        default: return NET_ADAPTER_OTHER;
    }
}

// The classes behind the network list and the firewall policy, defined here so that no
// import library of GUIDs is needed.
const CLSID NETWORK_LIST_MANAGER = {
    0xdcb00c01, 0x570f, 0x4a9b, {0x8d, 0x69, 0x19, 0x9f, 0xdb, 0xa5, 0x72, 0x3b}};
const CLSID FIREWALL_POLICY2 = {
    0xe2b3c97f, 0x6ae1, 0x41ac, {0x81, 0x7a, 0xf6, 0xf9, 0x21, 0x66, 0xd7, 0xdd}};
// Network connections looked at, at most: a PC has a handful.
constexpr int MAX_NETWORK_CONNECTIONS = 256;

// One COM interface pointer, released with its owner.
template <typename T>
struct ComRef {
    T* p = nullptr;
    ComRef() = default;
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef() {
        if (p) p->Release();
    }
    void** out() { return reinterpret_cast<void**>(&p); }
};

// COM on the calling thread while the owner lives; uninitialised only when this owner's call
// initialised it. A thread already in another apartment may still use COM.
struct ComScope {
    HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ComScope() = default;
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ~ComScope() {
        if (SUCCEEDED(result)) CoUninitialize();
    }
    bool usable() const { return SUCCEEDED(result) || result == RPC_E_CHANGED_MODE; }
};

// The identity of the adapter that holds address ("{...}" in the adapter list), as the
// network list names adapters.
bool adapter_id_of(const char* address, GUID* id) {
    IP_ADAPTER_ADDRESSES* adapters = read_adapters();
    bool found = false;
    for (IP_ADAPTER_ADDRESSES* a = adapters; a && !found; a = a->Next) {
        for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u && !found; u = u->Next) {
            char text[ADDRESS_SLOT_BYTES];
            if (!format_unicast(u, text) || std::strcmp(text, address) != 0) continue;
            wchar_t name[64];
            found = a->AdapterName &&
                    MultiByteToWideChar(CP_ACP, 0, a->AdapterName, -1, name, 64) > 0 &&
                    SUCCEEDED(IIDFromString(name, id));
        }
    }
    free(adapters);
    return found;
}

// 1 when the network that the adapter is connected to is public, 0 when it is private or a
// domain's, -1 when the adapter has no connection in the list or the list fails.
int adapter_network_is_public(INetworkListManager* networks, const GUID& adapter) {
    ComRef<IEnumNetworkConnections> connections;
    if (FAILED(networks->GetNetworkConnections(&connections.p)) || !connections.p) return -1;
    for (int i = 0; i < MAX_NETWORK_CONNECTIONS; i++) {
        ComRef<INetworkConnection> connection;
        ULONG fetched = 0;
        if (connections.p->Next(1, &connection.p, &fetched) != S_OK || fetched != 1) return -1;
        GUID id;
        if (FAILED(connection.p->GetAdapterId(&id)) || !IsEqualGUID(id, adapter)) continue;
        ComRef<INetwork> network;
        NLM_NETWORK_CATEGORY category = NLM_NETWORK_CATEGORY_PUBLIC;
        if (FAILED(connection.p->GetNetwork(&network.p)) || !network.p ||
            FAILED(network.p->GetCategory(&category)))
            return -1;
        return category == NLM_NETWORK_CATEGORY_PUBLIC ? 1 : 0;
    }
    return -1;
}

// 1 when the firewall is on for public networks, 0 when off, -1 when its policy cannot be read.
int public_firewall_on() {
    ComRef<INetFwPolicy2> policy;
    if (FAILED(CoCreateInstance(FIREWALL_POLICY2, nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(INetFwPolicy2), policy.out())))
        return -1;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    if (FAILED(policy.p->get_FirewallEnabled(NET_FW_PROFILE2_PUBLIC, &enabled))) return -1;
    return enabled != VARIANT_FALSE ? 1 : 0;
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

int net_read_adapters(NetAdapterAddress* records, int capacity) {
    if (!records || capacity <= 0) return 0;
    IP_ADAPTER_ADDRESSES* adapters = read_adapters();
    int count = 0;
    for (IP_ADAPTER_ADDRESSES* a = adapters; a && count < capacity; a = a->Next) {
        if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        int kind = adapter_kind(a);
        for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u && count < capacity;
             u = u->Next) {
            NetAdapterAddress& record = records[count];
            if (!format_unicast(u, record.address)) continue;
            record.up = a->OperStatus == IfOperStatusUp ? 1 : 0;
            record.has_gateway = a->FirstGatewayAddress ? 1 : 0;
            record.kind = kind;
            count++;
        }
    }
    free(adapters);
    return count;
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

int net_public_firewalled(const char* address) {
    GUID adapter;
    if (!address || !adapter_id_of(address, &adapter)) return -1;
    ComScope com;
    if (!com.usable()) return -1;
    ComRef<INetworkListManager> networks;
    if (FAILED(CoCreateInstance(NETWORK_LIST_MANAGER, nullptr, CLSCTX_ALL,
                                __uuidof(INetworkListManager), networks.out())))
        return -1;
    int is_public = adapter_network_is_public(networks.p, adapter);
    return is_public == 1 ? public_firewall_on() : is_public;
}
