#include "base/config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
