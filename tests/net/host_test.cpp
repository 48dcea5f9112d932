#include "net/host.h"

#include <gtest/gtest.h>

#include <string>

#include "base/config.h"

namespace {

// A computer called Desk-01 (NetBIOS DESK-01) started with "--ip box.example" on port 8620,
// and one with non-ASCII names on port 80.
const Config* desk() {
    static Config config = [] {
        Config made{};
        config_init(&made, "/inbox", "Box.Example", 8620);
        config_set_computer_names(&made, "Desk-01", "DESK-01");
        return made;
    }();
    return &config;
}

const Config* munich() {
    static Config config = [] {
        Config made{};
        config_init(&made, "/inbox", "", 80);
        config_set_computer_names(&made, "München", "中文");
        return made;
    }();
    return &config;
}

}  // namespace

TEST(HostAllowed, LiteralsOwnNamesAndTheIpValueOnly) {
    const std::string too_long = std::string(HOST_TEXT_MAX_BYTES, '1');
    const struct {
        const Config* config;
        const char* host;
        int allowed;
    } cases[] = {
        {desk(), "127.0.0.1:8620", 1},
        {desk(), "192.168.1.5", 1},
        {desk(), "[::1]:8620", 1},
        {desk(), "[::ffff:192.168.1.5]", 1},
        {desk(), "LOCALHOST.:8620", 1},
        {desk(), "desk-01:8620", 1},
        {desk(), "Desk-01.Local.", 1},
        {desk(), "box.example:8620", 1},
        {desk(), "BOX.EXAMPLE.", 1},
        {munich(), "xn--mnchen-3ya", 1},
        {munich(), "XN--FIQ228C.local:80", 1},
        {munich(), "münchen.local", 1},
        // Names another site can point at this PC, however much they look like it.
        {desk(), "evil.example:8620", 0},
        {desk(), "127.0.0.1.nip.io:8620", 0},
        {desk(), "localhost.evil.example", 0},
        {desk(), "foo.localhost", 0},
        {desk(), "desk-01.evil.example", 0},
        {desk(), "box.example.evil", 0},
        {desk(), "desk-01.local.local", 0},
        {desk(), "localhost..", 0},
        {munich(), "mnchen-3ya", 0},
        // Another port, or text that is no host at all.
        {desk(), "127.0.0.1:8621", 0},
        {desk(), "localhost:80", 0},
        {munich(), "127.0.0.1:8620", 0},
        {desk(), "127.0.0.1:", 0},
        {desk(), "127.0.0.1:8620:8620", 0},
        {desk(), ":8620", 0},
        {desk(), "", 0},
        {desk(), "::1", 0},
        {desk(), "[::1", 0},
        {desk(), "[::1]8620", 0},
        {desk(), "[fe80::1%25eth0]", 0},
        {desk(), "256.1.1.1", 0},
        {desk(), "1.2.3", 0},
        {desk(), "1.2.3.4.5", 0},
        {desk(), "0x7f.0.0.1", 0},
        {desk(), "1270.0.0.1", 0},
        {desk(), too_long.c_str(), 0},
        {desk(), nullptr, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(net_host_allowed(c.config, c.host), c.allowed) << (c.host ? c.host : "(null)");
    }
}

TEST(OriginAllowed, OwnNamesWithThisServersPortOnly) {
    const struct {
        const Config* config;
        const char* origin;
        int allowed;
    } cases[] = {
        {desk(), "http://127.0.0.1:8620", 1},
        {desk(), "HTTP://LocalHost:8620", 1},
        {desk(), "https://desk-01.local:8620", 1},
        {desk(), "http://[::1]:8620", 1},
        {desk(), "http://box.example:8620", 1},
        {munich(), "http://xn--mnchen-3ya", 1},
        {munich(), "http://127.0.0.1:80", 1},
        {desk(), "http://evil.example:8620", 0},
        {desk(), "http://127.0.0.1", 0},  // port 80, not this server's
        {desk(), "http://127.0.0.1:8621", 0},
        {munich(), "https://127.0.0.1", 0},  // port 443
        {desk(), "http://127.0.0.1:8620/", 0},
        {desk(), "http://user@127.0.0.1:8620", 0},
        {desk(), "null", 0},
        {desk(), "file://", 0},
        {desk(), "ftp://127.0.0.1:8620", 0},
        {desk(), "http://", 0},
        {desk(), "", 0},
        {desk(), nullptr, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(net_origin_allowed(c.config, c.origin), c.allowed)
            << (c.origin ? c.origin : "(null)");
    }
}
