#include "app/app.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/fs.h"

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

TEST(AppPathInside, ComponentsWithEitherSeparatorAndLettersWithoutCase) {
    const struct { const char* path; const char* folder; int inside; } cases[] = {
        {"C:\\Users\\A\\AppData\\Local\\Temp\\Temp1_x.zip", "C:\\Users\\A\\AppData\\Local\\Temp", 1},
        {"c:\\users\\a\\appdata\\local\\temp", "C:\\Users\\A\\AppData\\Local\\Temp\\", 1},
        {"C:\\Users\\A\\AppData\\Local\\Temporary", "C:\\Users\\A\\AppData\\Local\\Temp", 0},
        {"C:\\Users\\A\\Desktop", "C:\\Users\\A\\AppData\\Local\\Temp", 0},
        {"C:\\Tools", "C:\\", 1},
        {"/tmp/skf/x", "/tmp", 1},
        {"/tmp/skf/x", "/tmp/", 1},
        {"/tmpx/skf", "/tmp", 0},
        {"/tmp", "/tmp/skf", 0},
        {"/home/me", "/", 1},
        {"", "/tmp", 0},
        {"/tmp", "", 0},
        {nullptr, "/tmp", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(app_path_inside(c.path, c.folder), c.inside)
            << (c.path ? c.path : "null") << " in " << c.folder;
}

// The probe really creates, writes and deletes: each failing step, forced the way the system
// fails it, makes the folder unwritable, and no probe file is left behind.
TEST(AppFolderWritable, EveryStepMustWork) {
    namespace fs = std::filesystem;
    std::random_device random;
    fs::path dir = fs::temp_directory_path() / ("skf-probe-" + std::to_string(random()));
    fs::create_directories(dir);
    fs_fault_reset();
    EXPECT_EQ(app_folder_writable(dir.string().c_str()), 1);
    for (FsFault fault : {FS_FAULT_WRITE_FULL, FS_FAULT_CLOSE, FS_FAULT_DELETE_PENDING}) {
        fs_fault_arm(fault, 0);
        EXPECT_EQ(app_folder_writable(dir.string().c_str()), 0) << fault;
        fs_fault_reset();
        EXPECT_TRUE(fs::is_empty(dir)) << fault;
    }
    EXPECT_EQ(app_folder_writable((dir / "missing").string().c_str()), 0);
    fs::remove_all(dir);
}

TEST(AppStartupWarnings, InboxAndTempFolder) {
    struct Case {
        const char* what;
        int writable;
        const char* exe_dir;
        const char* inbox;
        std::vector<std::string> expected;  // pieces, in order
        size_t lines;
    };
    const Case cases[] = {
        {"nothing to say", 1, "/opt/skf", "/opt/skf/收件箱", {}, 0},
        {"inbox not writable", 0, "/opt/skf", "/opt/skf/收件箱", {"收件箱写不进文件", "--inbox"}, 2},
        {"from a ZIP, default inbox", 1, "/tmp/Temp1_skf.zip", "/tmp/Temp1_skf.zip/收件箱",
         {"临时文件夹", "收件箱也在里面"}, 2},
        {"from a ZIP, inbox elsewhere", 1, "/tmp/Temp1_skf.zip", "/data/in",
         {"临时文件夹", "请先把程序解压"}, 2},
        {"both", 0, "/tmp/x", "/tmp/x/收件箱", {"收件箱写不进文件", "临时文件夹"}, 4},
    };
    for (const Case& c : cases) {
        StrBufOwner sb;
        app_startup_warnings(sb.get(), c.inbox, c.writable, c.exe_dir, "/tmp");
        std::string text = sb->data ? std::string(sb->data, sb->len) : "";
        size_t at = 0;
        for (const std::string& piece : c.expected) {
            size_t found = text.find(piece, at);
            EXPECT_NE(found, std::string::npos) << c.what << ": " << piece;
            if (found != std::string::npos) at = found;
        }
        EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), c.lines) << c.what;
    }
}
