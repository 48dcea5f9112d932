// POSIX-only cases of the file-system layer: pipes and permissions.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/fs.h"

namespace {

class FsPosixTest : public ::testing::Test {
  protected:
    std::string root;
    void SetUp() override {
        char* tmp = fs_temp_dir();
        ASSERT_NE(tmp, nullptr);
        root = std::string(tmp) + "/skf_fs_posix_" + std::to_string(getpid()) + "_" +
               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
        free(tmp);
        ASSERT_EQ(fs_make_dir(root.c_str()), 0);
    }
    void TearDown() override {
        chmod(root.c_str(), 0700);
        fs_delete_tree(root.c_str());
    }
    std::string at(const std::string& rel) const { return root + "/" + rel; }
    void write(const std::string& rel, const char* content) const {
        FsFileOwner file(fs_open_write(at(rel).c_str()));
        ASSERT_NE(file.get(), nullptr);
        ASSERT_EQ(fs_write_all(file.get(), content, strlen(content)), 0);
    }
};

// A pipe is not a file: nothing stats, lists, counts or opens it (an open would block).
TEST_F(FsPosixTest, PipesAreNotThere) {
    ASSERT_EQ(mkfifo(at("pipe").c_str(), 0600), 0);
    write("file", "abc");
    EXPECT_EQ(fs_stat(at("pipe").c_str(), nullptr), 0);
    EXPECT_EQ(fs_is_dir(at("pipe").c_str()), 0);
    EXPECT_EQ(fs_exists(at("pipe").c_str()), 1);  // its name is taken all the same
    EXPECT_EQ(fs_open_read(at("pipe").c_str()), nullptr);
    EXPECT_EQ(fs_open_write(at("pipe").c_str()), nullptr);
    int entries = 0;
    fs_list_dir(
        root.c_str(), [](const char*, const FileInfo*, int, int, void* c) { ++*(int*)c; },
        &entries);
    EXPECT_EQ(entries, 1);
    TreeCount counts{};
    fs_count_tree(root.c_str(), &counts);
    EXPECT_EQ(counts.files, 1u);
    EXPECT_EQ(counts.bytes, 3u);
}

// Removing from a folder without write permission makes it writable and tries again.
TEST_F(FsPosixTest, RemovalMakesTheFolderWritable) {
    ASSERT_EQ(fs_mkdirs(at("ro/sub").c_str()), 0);
    write("ro/a", "a");
    write("ro/sub/b", "b");
    ASSERT_EQ(chmod(at("ro/sub").c_str(), 0555), 0);
    ASSERT_EQ(chmod(at("ro").c_str(), 0555), 0);
    EXPECT_EQ(fs_delete_file(at("ro/a").c_str()), 0);
    EXPECT_EQ(fs_delete_tree(at("ro").c_str()), 3);
    EXPECT_EQ(fs_exists(at("ro").c_str()), 0);
}

}  // namespace
