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

std::vector<std::string> build(const char* outbound, const std::vector<const char*>& others,
                               int capacity = MAX_LAN_ADDRESSES) {
    AddressSlot slots[MAX_LAN_ADDRESSES + 1];
    int count =
        net_build_list(slots, capacity, outbound, others.data(), static_cast<int>(others.size()));
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

TEST(NetTest, ListIsFilteredDeduplicatedAndRanked) {
    using V = std::vector<std::string>;
    // Outbound 10.x loses to a 192.168.x adapter.
    EXPECT_EQ(build("10.0.0.5", {"192.168.56.1", "10.0.0.5"}), (V{"192.168.56.1", "10.0.0.5"}));
    // Within a class the outbound address stays ahead; its second copy is dropped.
    EXPECT_EQ(build("192.168.1.20", {"192.168.0.7", "192.168.1.20"}),
              (V{"192.168.1.20", "192.168.0.7"}));
    // Others keep their order within a class.
    EXPECT_EQ(build(nullptr, {"172.20.0.1", "10.9.0.1", "192.168.3.1", "10.1.0.1", "192.168.2.1"}),
              (V{"192.168.3.1", "192.168.2.1", "10.9.0.1", "10.1.0.1", "172.20.0.1"}));
    EXPECT_EQ(build(nullptr, {"172.15.0.1", "172.32.0.1", "172.16.0.1", "172.31.255.255",
                              "100.64.1.2", "127.0.0.1", "169.254.10.20", "8.8.4.4", nullptr}),
              (V{"172.16.0.1", "172.31.255.255"}));
    // A public outbound address is not listed; no network at all gives nothing.
    EXPECT_EQ(build("203.0.113.9", {"10.0.0.2"}), (V{"10.0.0.2"}));
    EXPECT_EQ(build(nullptr, {}), V{});
    // The capacity keeps the first found, not the best ranked.
    EXPECT_EQ(build("10.0.0.5", {"192.168.1.2"}, 1), (V{"10.0.0.5"}));
    EXPECT_EQ(build("10.0.0.5", {"192.168.1.2"}, 0), V{});
}

TEST(NetTest, MoreThanSixteenKeepsTheFirstSixteenFoundThenSorts) {
    std::vector<std::string> names;
    for (int i = 1; i <= 20; i++) names.push_back("10.0.0." + std::to_string(i));
    names.push_back("192.168.9.1");  // found too late to be kept
    std::vector<const char*> others;
    for (const std::string& n : names) others.push_back(n.c_str());
    std::vector<std::string> list = build("172.20.0.1", others);
    ASSERT_EQ(list.size(), 16u);
    for (int i = 0; i < 15; i++) EXPECT_EQ(list[i], names[i]);
    EXPECT_EQ(list[15], "172.20.0.1");
}

TEST(NetTest, SlotsBeyondTheCountAreNotTouched) {
    AddressSlot slots[MAX_LAN_ADDRESSES];
    for (AddressSlot& s : slots) std::strcpy(s.text, "untouched");
    const char* others[] = {"8.8.8.8", "192.168.0.4"};
    ASSERT_EQ(net_build_list(slots, MAX_LAN_ADDRESSES, "10.1.1.1", others, 2), 2);
    EXPECT_STREQ(slots[0].text, "192.168.0.4");
    EXPECT_STREQ(slots[1].text, "10.1.1.1");
    for (int i = 2; i < MAX_LAN_ADDRESSES; i++) EXPECT_STREQ(slots[i].text, "untouched");
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
TEST(NetTest, DiscoveredListIsPrivateDistinctAndRanked) {
    AddressSlot slots[MAX_LAN_ADDRESSES];
    int n = net_lan_addresses(slots, MAX_LAN_ADDRESSES);
    ASSERT_GE(n, 0);
    ASSERT_LE(n, MAX_LAN_ADDRESSES);
    for (int i = 0; i < n; i++) {
        EXPECT_TRUE(net_is_lan_address(slots[i].text)) << slots[i].text;
        for (int j = 0; j < i; j++) EXPECT_STRNE(slots[i].text, slots[j].text);
        if (i > 0) {
            EXPECT_LE(net_address_rank(slots[i - 1].text), net_address_rank(slots[i].text));
        }
    }
    EXPECT_EQ(net_lan_addresses(slots, 0), 0);
    char* name = net_computer_name();
    ASSERT_NE(name, nullptr);
    EXPECT_GT(std::strlen(name), 0u);
    free(name);
}

}  // namespace
