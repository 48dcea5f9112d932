#include "net/net.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/config.h"

namespace {

std::vector<std::string> texts(const AddressSlot* slots, int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; i++) out.push_back(slots[i].text);
    return out;
}

// One adapter address as a table row gives it.
struct Adapter {
    const char* address;
    int up;
    int gateway;
    int kind;
};

constexpr int ETH = NET_ADAPTER_ETHERNET, WIFI = NET_ADAPTER_WIFI, TUN = NET_ADAPTER_TUNNEL,
              PPP = NET_ADAPTER_PPP, VM = NET_ADAPTER_VIRTUAL, OTHER = NET_ADAPTER_OTHER;

std::vector<std::string> rank(const std::vector<Adapter>& adapters, const char* outbound,
                              int capacity = MAX_LAN_ADDRESSES) {
    std::vector<NetAdapterAddress> records;
    for (const Adapter& a : adapters) {
        NetAdapterAddress r{};
        std::snprintf(r.address, sizeof r.address, "%s", a.address);
        r.up = a.up;
        r.has_gateway = a.gateway;
        r.kind = a.kind;
        records.push_back(r);
    }
    AddressSlot slots[MAX_LAN_ADDRESSES + 1];
    int count = net_rank_addresses(records.data(), static_cast<int>(records.size()), outbound,
                                   slots, capacity);
    return texts(slots, count);
}

// A configuration of the test's own with the given "--ip" value and port.
Config net_config(const char* ip_override, int port = DEFAULT_PORT) {
    Config config{};
    EXPECT_EQ(config_init(&config, "/inbox", ip_override, port), 0);
    return config;
}

TEST(NetTest, OnlyPrivateAddressesPassTheFilter) {
    const struct {
        const char* address;
        int lan;
    } cases[] = {
        {"192.168.1.5", 1},    {"10.0.0.5", 1},   {"172.16.0.1", 1},
        {"172.31.255.255", 1}, {"172.15.0.1", 0}, {"172.32.0.1", 0},
        {"172.016.0.1", 1},    {"172.16", 0},     {"172..1.1", 0},
        {"172.1600.0.1", 0},   {"127.0.0.1", 0},  {"169.254.10.20", 0},
        {"100.64.1.2", 0},     {"8.8.8.8", 0},    {"192.169.0.1", 0},
        {"1.10.0.1", 0},       {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(net_is_lan_address(c.address), c.lan) << c.address;
}

TEST(NetTest, RankGoesByPrefixAlone) {
    const struct {
        const char* address;
        int rank;
    } cases[] = {{"192.168.0.1", 0}, {"10.1.2.3", 1}, {"172.20.0.1", 2},
                 {"172.99.0.1", 2},  {"8.8.8.8", 3},  {"192.169.0.1", 3}};
    for (const auto& c : cases) EXPECT_EQ(net_address_rank(c.address), c.rank) << c.address;
}

TEST(NetTest, AddressesRankByWhatThePcUses) {
    using V = std::vector<std::string>;
    const struct {
        const char* what;
        std::vector<Adapter> adapters;
        const char* outbound;
        V expected;
    } cases[] = {
        {"a host-only adapter never beats the outbound one",
         {{"192.168.56.1", 1, 0, VM}, {"10.0.0.5", 1, 1, ETH}},
         "10.0.0.5",
         {"10.0.0.5", "192.168.56.1"}},
        {"a VPN that carries the outbound route does not win",
         {{"10.8.0.2", 1, 1, TUN}, {"192.168.1.20", 1, 1, WIFI}},
         "10.8.0.2",
         {"192.168.1.20", "10.8.0.2"}},
        {"nor does a dial-up line",
         {{"10.64.3.3", 1, 1, PPP}, {"172.20.1.9", 1, 1, ETH}},
         "10.64.3.3",
         {"172.20.1.9", "10.64.3.3"}},
        {"an outbound adapter without a gateway is not preferred",
         {{"192.168.9.2", 1, 0, ETH}, {"10.1.1.4", 1, 1, WIFI}},
         "192.168.9.2",
         {"10.1.1.4", "192.168.9.2"}},
        {"nor one that is down",
         {{"192.168.9.2", 0, 1, WIFI}, {"10.1.1.4", 1, 1, ETH}},
         "192.168.9.2",
         {"10.1.1.4", "192.168.9.2"}},
        {"the outbound one goes first among equals, whatever its prefix",
         {{"192.168.1.7", 1, 1, ETH}, {"10.0.0.5", 1, 1, WIFI}},
         "10.0.0.5",
         {"10.0.0.5", "192.168.1.7"}},
        {"gateway, then tunnel with gateway, then no gateway, then down, then virtual",
         {{"192.168.200.1", 1, 1, VM}, {"192.168.3.3", 0, 1, ETH}, {"192.168.2.2", 1, 0, ETH},
          {"192.168.4.4", 1, 1, TUN}, {"10.5.5.5", 1, 1, OTHER}},
         nullptr,
         {"10.5.5.5", "192.168.4.4", "192.168.2.2", "192.168.3.3", "192.168.200.1"}},
        {"virtual adapters keep that order among themselves (a Hyper-V external switch)",
         {{"172.28.0.1", 1, 0, VM}, {"192.168.1.30", 1, 1, VM}},
         "192.168.1.30",
         {"192.168.1.30", "172.28.0.1"}},
        {"within a step the prefix class, then the order given",
         {{"172.20.0.1", 1, 1, ETH}, {"10.9.0.1", 1, 1, ETH}, {"192.168.3.1", 1, 1, ETH},
          {"10.1.0.1", 1, 1, ETH}, {"192.168.2.1", 1, 1, ETH}},
         nullptr,
         {"192.168.3.1", "192.168.2.1", "10.9.0.1", "10.1.0.1", "172.20.0.1"}},
        {"only private addresses, each once, where it ranks best",
         {{"169.254.10.20", 1, 1, ETH}, {"127.0.0.1", 1, 0, OTHER}, {"100.64.1.2", 1, 1, ETH},
          {"8.8.4.4", 1, 1, ETH}, {"172.15.0.1", 1, 1, ETH}, {"172.32.0.1", 1, 1, ETH},
          {"192.168.5.5", 1, 0, VM}, {"172.31.255.255", 1, 1, ETH}, {"192.168.5.5", 1, 1, WIFI}},
         "203.0.113.9",
         {"192.168.5.5", "172.31.255.255"}},
        {"an outbound address no adapter lists still comes first",
         {{"192.168.1.2", 1, 1, WIFI}},
         "10.0.0.8",
         {"10.0.0.8", "192.168.1.2"}},
        {"no network at all", {}, nullptr, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(rank(c.adapters, c.outbound), c.expected) << c.what;
}

TEST(NetTest, CapacityKeepsTheBestAndSlotsBeyondAreNotTouched) {
    std::vector<std::string> names;
    std::vector<Adapter> adapters;
    for (int i = 1; i <= 20; i++) names.push_back("10.0.0." + std::to_string(i));
    for (const std::string& n : names) adapters.push_back({n.c_str(), 1, 0, ETH});
    adapters.push_back({"192.168.9.1", 1, 1, WIFI});
    std::vector<std::string> list = rank(adapters, nullptr);
    ASSERT_EQ(list.size(), 16u);
    EXPECT_EQ(list[0], "192.168.9.1");
    for (int i = 1; i < 16; i++) EXPECT_EQ(list[i], names[i - 1]);
    EXPECT_EQ(rank(adapters, nullptr, 1), std::vector<std::string>{"192.168.9.1"});
    EXPECT_EQ(rank(adapters, nullptr, 0), std::vector<std::string>{});

    AddressSlot slots[MAX_LAN_ADDRESSES];
    for (AddressSlot& s : slots) std::strcpy(s.text, "untouched");
    NetAdapterAddress records[2] = {{"8.8.8.8", 1, 1, ETH}, {"192.168.0.4", 1, 1, ETH}};
    ASSERT_EQ(net_rank_addresses(records, 2, "10.1.1.1", slots, MAX_LAN_ADDRESSES), 2);
    EXPECT_STREQ(slots[0].text, "10.1.1.1");
    EXPECT_STREQ(slots[1].text, "192.168.0.4");
    for (int i = 2; i < MAX_LAN_ADDRESSES; i++) EXPECT_STREQ(slots[i].text, "untouched");
}

TEST(NetTest, AdapterNamesTellTheirKind) {
    const struct {
        const char* name;
        int kind;
    } windows[] = {
        {"Hyper-V Virtual Ethernet Adapter", VM},
        {"vEthernet (WSL)", VM},
        {"VirtualBox Host-Only Ethernet Adapter", VM},
        {"VMware Virtual Ethernet Adapter for VMnet8", VM},
        {"TAP-Windows Adapter V9", TUN},
        {"WireGuard Tunnel", TUN},
        {"Intel(R) Wi-Fi 6 AX201 160MHz", -1},
        {"Realtek PCIe GbE Family Controller", -1},
        {"以太网", -1},
        {nullptr, -1},
    };
    for (const auto& c : windows) EXPECT_EQ(net_kind_from_description(c.name), c.kind) << c.name;
    const struct {
        const char* name;
        int kind;
    } posix[] = {
        {"eth0", ETH},     {"enp3s0", ETH},    {"wlan0", WIFI},   {"wlp2s0", WIFI},
        {"tun0", TUN},     {"wg0", TUN},       {"utun3", TUN},    {"ppp0", PPP},
        {"docker0", VM},   {"br-1a2b", VM},    {"virbr0", VM},    {"vboxnet0", VM},
        {"vmnet8", VM},    {"bond0", OTHER},
    };
    for (const auto& c : posix) EXPECT_EQ(net_kind_from_interface_name(c.name), c.kind) << c.name;
}

TEST(NetTest, DefaultRouteThroughAGatewayNamesItsInterface) {
    const std::string table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
        "wlan0\t0001A8C0\t00000000\t0001\t0\t0\t600\t00FFFFFF\t0\t0\t0\n"
        "tun0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"
        "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"
        "eth1\t00000000\t0100000A\t0002\t0\t0\t100\t00000000\t0\t0\t0";
    const struct {
        const char* iface;
        int expected;
    } cases[] = {{"wlan0", 1}, {"tun0", 0}, {"docker0", 0}, {"eth1", 0}, {"wlan", 0}, {"", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(net_route_has_default(table.data(), table.size(), c.iface), c.expected) << c.iface;
    // Only the given length is read: the cut table has no default route left.
    EXPECT_EQ(net_route_has_default(table.data(), table.find("wlan0"), "wlan0"), 0);
}

TEST(NetTest, OverrideGoesFirstWithoutDuplicate) {
    const Config config = net_config("192.168.1.5");
    const struct {
        std::vector<std::string> found;
        std::vector<std::string> expected;
    } cases[] = {
        {{"192.168.1.5", "10.0.0.2"}, {"192.168.1.5", "10.0.0.2"}},
        {{"192.168.0.2", "10.0.0.2"}, {"192.168.1.5", "192.168.0.2", "10.0.0.2"}},
        {{}, {"192.168.1.5"}},
    };
    for (const auto& c : cases) {
        AddressSlot slots[MAX_LAN_ADDRESSES];
        for (size_t i = 0; i < c.found.size(); i++) std::strcpy(slots[i].text, c.found[i].c_str());
        int n = net_put_override_first(&config, slots, static_cast<int>(c.found.size()));
        EXPECT_EQ(texts(slots, n), c.expected);
    }
    // Sixteen others: the override and the first fifteen.
    AddressSlot slots[MAX_LAN_ADDRESSES];
    for (int i = 0; i < MAX_LAN_ADDRESSES; i++)
        std::snprintf(slots[i].text, sizeof slots[i].text, "10.0.0.%d", i + 1);
    ASSERT_EQ(net_put_override_first(&config, slots, MAX_LAN_ADDRESSES), MAX_LAN_ADDRESSES);
    EXPECT_STREQ(slots[0].text, "192.168.1.5");
    EXPECT_STREQ(slots[1].text, "10.0.0.1");
    EXPECT_STREQ(slots[15].text, "10.0.0.15");
    // Whatever the user typed is shown, unchecked.
    const Config typed = net_config("pc.example");
    std::strcpy(slots[0].text, "10.0.0.1");
    ASSERT_EQ(net_put_override_first(&typed, slots, 1), 2);
    EXPECT_STREQ(slots[0].text, "pc.example");
}

TEST(NetTest, BaseUrlUsesOverrideElseDiscoveryElseLoopback) {
    const Config config = net_config("192.168.1.5", 8621);
    char* url = net_base_url(&config);
    ASSERT_NE(url, nullptr);
    EXPECT_STREQ(url, "http://192.168.1.5:8621");
    free(url);

    const Config plain = net_config("", 8621);
    AddressSlot slots[MAX_LAN_ADDRESSES];
    int n = net_lan_addresses(slots, MAX_LAN_ADDRESSES);
    url = net_base_url(&plain);
    ASSERT_NE(url, nullptr);
    std::string host = n > 0 ? slots[0].text : "127.0.0.1";
    EXPECT_EQ(std::string(url), "http://" + host + ":8621");
    free(url);
}

// What this machine reports: whatever its adapters are, the list obeys the rules.
TEST(NetTest, DiscoveredListIsPrivateAndDistinct) {
    AddressSlot slots[MAX_LAN_ADDRESSES];
    int n = net_lan_addresses(slots, MAX_LAN_ADDRESSES);
    ASSERT_GE(n, 0);
    ASSERT_LE(n, MAX_LAN_ADDRESSES);
    for (int i = 0; i < n; i++) {
        EXPECT_TRUE(net_is_lan_address(slots[i].text)) << slots[i].text;
        for (int j = 0; j < i; j++) EXPECT_STRNE(slots[i].text, slots[j].text);
    }
    EXPECT_EQ(net_lan_addresses(slots, 0), 0);
    char* name = net_computer_name();
    ASSERT_NE(name, nullptr);
    EXPECT_GT(std::strlen(name), 0u);
    free(name);
}

}  // namespace
