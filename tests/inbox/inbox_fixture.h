#pragma once
// A temporary inbox for the inbox storage tests: a configuration of the test's own whose inbox
// and state folders lie in a fresh folder for the test's duration.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "base/config.h"
#include "base/fs.h"

class InboxFixture : public ::testing::Test {
  protected:
    std::filesystem::path root;
    std::filesystem::path inbox;
    std::filesystem::path state;
    Config config{};

    void SetUp() override {
        namespace fs = std::filesystem;
        std::random_device random;
        do {
            root = fs::temp_directory_path() / ("skf-inbox-" + std::to_string(random()));
        } while (!fs::create_directory(root));
        inbox = root / "收件箱";
        ASSERT_EQ(config_init(&config, inbox.string().c_str(), "", DEFAULT_PORT), 0);
        state = config.state_dir;
        ASSERT_EQ(state, inbox / ".skiffbox");
        fs::create_directories(state);
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::permissions(root, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(root, ignored);
    }

    static void write_file(const std::filesystem::path& path, const std::string& bytes) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    static std::string read_file(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Makes the entry's last-write time lie this many seconds in the past.
    static void set_age(const std::filesystem::path& path, int seconds) {
        std::filesystem::last_write_time(
            path, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(seconds));
    }

    // Sets the last-write time to whole seconds since 1970.
    static void set_mtime(const std::filesystem::path& path, long long unix_seconds) {
        std::chrono::sys_seconds when{std::chrono::seconds(unix_seconds)};
        std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(when));
    }
};
