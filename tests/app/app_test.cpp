#include "app/app.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(AppParsePort, StrtolRulesWithinRange) {
    const struct { const char* text; int port; } cases[] = {
        {"8700", 8700}, {"  8700", 8700}, {"+8700", 8700}, {"8700x", 8700}, {"1", 1},
        {"65535", 65535}, {"65536", -1}, {"70000", -1}, {"0", -1}, {"-5", -1}, {"abc", -1},
        {"", -1}, {nullptr, -1}, {"99999999999999999999", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(app_parse_port(c.text), c.port) << (c.text ? c.text : "null");
}

TEST(AppParseOptions, Table) {
    struct Case {
        std::vector<std::string> args;
        AppAction action;
        int port, open;
        std::string inbox;
        std::string ip;
        std::string unknown;
    };
    const std::string ip80(80, '9');
    const Case cases[] = {
        {{}, APP_RUN, -1, 1, "", "", ""},
        {{"-p", "8700"}, APP_RUN, 8700, 1, "", "", ""},
        {{"--port", "abc"}, APP_RUN, -1, 1, "", "", ""},
        {{"--port=8701", "--port="}, APP_RUN, -1, 1, "", "", ""},
        {{"--port=0"}, APP_RUN, -1, 1, "", "", ""},
        {{"--ip", "10.0.0.1", "--ip=192.168.1.5"}, APP_RUN, -1, 1, "", "192.168.1.5", ""},
        {{"--ip=" + ip80}, APP_RUN, -1, 1, "", std::string(63, '9'), ""},
        {{"--inbox", "a", "--inbox=b"}, APP_RUN, -1, 1, "b", "", ""},
        {{"--inbox="}, APP_RUN, -1, 1, "", "", ""},
        {{"--no-open"}, APP_RUN, -1, 0, "", "", ""},
        {{"-p"}, APP_UNKNOWN_ARG, -1, 1, "", "", "-p"},
        {{"--inbox"}, APP_UNKNOWN_ARG, -1, 1, "", "", "--inbox"},
        {{"--no-open", "--bogus", "--help"}, APP_UNKNOWN_ARG, -1, 0, "", "", "--bogus"},
        {{"--help", "--bogus"}, APP_HELP, -1, 1, "", "", ""},
        {{"-h"}, APP_HELP, -1, 1, "", "", ""},
        {{"--Help"}, APP_UNKNOWN_ARG, -1, 1, "", "", "--Help"},
        {{"-p", "-p"}, APP_RUN, -1, 1, "", "", ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"skiffbox"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        AppOptions options;
        std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(app_parse_options(args, &options), c.action) << shown;
        if (c.action == APP_RUN) {
            EXPECT_EQ(options.port, c.port) << shown;
            EXPECT_EQ(options.open_browser, c.open) << shown;
            EXPECT_EQ(options.inbox, c.inbox) << shown;
            EXPECT_EQ(options.ip, c.ip) << shown;
        }
        EXPECT_EQ(options.unknown, c.unknown) << shown;
    }
}

TEST(AppParseOptions, AccessCode) {
    const struct {
        std::vector<std::string> args;
        AppAction action;
        std::string pin, unknown;
    } cases[] = {
        {{"--pin", "1234"}, APP_RUN, "1234", ""},
        {{"--pin=AbC123xyZ789"}, APP_RUN, "AbC123xyZ789", ""},
        {{"--pin", "1234", "--pin=abcd"}, APP_RUN, "abcd", ""},
        {{"--pin", "123"}, APP_BAD_PIN, "", "123"},
        {{"--pin", "1234567890123"}, APP_BAD_PIN, "", "1234567890123"},
        {{"--pin=12 34"}, APP_BAD_PIN, "", "12 34"},
        {{"--pin", "码1234"}, APP_BAD_PIN, "", "码1234"},
        {{"--pin", "--no-open"}, APP_BAD_PIN, "", "--no-open"},
        {{"--pin="}, APP_BAD_PIN, "", ""},
        {{"--pin"}, APP_UNKNOWN_ARG, "", "--pin"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"skiffbox"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        AppOptions options;
        EXPECT_EQ(app_parse_options(args, &options), c.action) << c.args.back();
        if (c.action == APP_RUN) {
            EXPECT_EQ(options.pin, c.pin) << c.args.back();
        }
        EXPECT_EQ(options.unknown, c.unknown) << c.args.back();
    }
}

TEST(AppHelp, StartsWithEmptyLineAndEndsWithTwoLineBreaks) {
    std::string help = app_help_text();
    EXPECT_EQ(help.rfind("\n舟匣 / Skiffbox\n", 0), 0u);
    EXPECT_EQ(help.substr(help.size() - 2), "\n\n");
    EXPECT_NE(help.find("\n" + std::string(64, '=') + "\n"), std::string::npos);
}
