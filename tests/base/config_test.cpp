#include "base/config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/fs.h"

namespace {

const std::string SEP(1, FS_SEP);
const std::string STATE = SEP + ".skiffbox";

}  // namespace

// The state folder is the inbox as kept plus its own separator and name, the whole cut to the
// field; each text is cut at its field's last byte.
TEST(ConfigInit, FoldersOverrideAndPortAsKept) {
    const std::string longest(SETTINGS_PATH_BYTES - 1, 'a');
    const std::string near_full(SETTINGS_PATH_BYTES - 5, 'b');
    const std::string long_ip(100, '9');
    struct Case {
        std::string inbox;
        const char* ip;
        std::string want_inbox;
        std::string want_state;
        std::string want_ip;
    };
    const Case cases[] = {
        {"/srv/收件箱", "192.168.1.5", "/srv/收件箱", "/srv/收件箱" + STATE, "192.168.1.5"},
        {"/srv/inbox" + SEP, nullptr, "/srv/inbox" + SEP, "/srv/inbox" + SEP + STATE, ""},
        {near_full, long_ip.c_str(), near_full, (near_full + STATE).substr(0, 4095),
         long_ip.substr(0, 63)},
        {longest, "", longest, longest, ""},
        {longest + "tail", "", longest, longest, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.inbox.substr(0, 40));
        Config config;
        memset(&config, 'x', sizeof config);
        ASSERT_EQ(config_init(&config, c.inbox.c_str(), c.ip, 8621), 0);
        EXPECT_EQ(config.inbox_dir, c.want_inbox);
        EXPECT_EQ(config.state_dir, c.want_state);
        EXPECT_EQ(config.ip_override, c.want_ip);
        EXPECT_EQ(config.port, 8621);
        EXPECT_EQ(config.host_name_count, 0);
    }
}

TEST(ConfigInit, RefusesNullAndLeavesTheConfigurationAlone) {
    Config config;
    memset(&config, 'x', sizeof config);
    Config before = config;
    EXPECT_EQ(config_init(&config, nullptr, "", DEFAULT_PORT), -1);
    EXPECT_EQ(memcmp(&config, &before, sizeof config), 0);
    EXPECT_EQ(config_init(nullptr, "/inbox", "", DEFAULT_PORT), -1);
}

namespace {

std::vector<std::string> host_names(const char* dns, const char* netbios) {
    Config config{};
    config_init(&config, "/inbox", "", DEFAULT_PORT);
    config_set_computer_names(&config, dns, netbios);
    return std::vector<std::string>(config.host_names, config.host_names + config.host_name_count);
}

}  // namespace

// The names a Host header may use for this computer: lower-cased, without the trailing dot,
// alone and with ".local", non-ASCII ones also as a browser encodes them; each once.
TEST(ConfigHostNames, ComputerNamesInEveryFormABrowserSends) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(host_names("Desk-01", "DESK-01"), (Names{"desk-01", "desk-01.local"}));
    EXPECT_EQ(host_names("münchen.", "中文"),
              (Names{"münchen", "xn--mnchen-3ya", "münchen.local", "xn--mnchen-3ya.local", "中文",
                     "xn--fiq228c", "中文.local", "xn--fiq228c.local"}));
    EXPECT_EQ(host_names(nullptr, "WORKPC"), (Names{"workpc", "workpc.local"}));
    EXPECT_EQ(host_names("", nullptr), Names{});
    // A name too long for a slot is left out whole, never cut into another name.
    const std::string too_long(CONFIG_HOST_NAME_BYTES, 'a');
    EXPECT_EQ(host_names(too_long.c_str(), "pc"), (Names{"pc", "pc.local"}));
}
