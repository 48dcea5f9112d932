#include "base/fs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

namespace {

std::string take(char* text) {
    std::string out = text ? text : "<null>";
    free(text);
    return out;
}

struct Entry {
    uint64_t size;
    int is_dir;
    int is_reparse;
};

void collect_entry(const char* name, const FileInfo* info, int is_dir, int is_reparse,
                   void* context) {
    auto* seen = static_cast<std::map<std::string, Entry>*>(context);
    EXPECT_EQ(seen->count(name), 0u) << "reported twice: " << name;
    (*seen)[name] = Entry{info->size, is_dir, is_reparse};
}

void never_called(const char* name, const FileInfo*, int, int, void*) {
    ADD_FAILURE() << "callback for " << name;
}

// A fresh folder in the temporary folder, deleted with everything in it afterwards.
class FsTest : public ::testing::Test {
  protected:
    std::string root;

    void SetUp() override {
        fs_fault_reset();
        std::string tmp = take(fs_temp_dir());
        for (int i = 0; root.empty(); i++) {
            std::string candidate =
                tmp + FS_SEP + "skf_fs_test_" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
                std::to_string(i);
            if (fs_make_dir(candidate.c_str()) == 0) root = candidate;
            ASSERT_LT(i, 100);
        }
    }
    void TearDown() override {
        fs_fault_reset();
        std::filesystem::permissions(root, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add);
        fs_delete_tree(root.c_str());
        EXPECT_FALSE(fs_exists(root.c_str()));
    }

    // The disk path of rel, whose components are written with '/'.
    std::string at(const std::string& rel) const {
        std::string path = root + FS_SEP + rel;
        for (char& c : path)
            if (c == '/') c = FS_SEP;
        return path;
    }
    void write(const std::string& rel, const std::string& content) const {
        FsFile* file = fs_open_write(at(rel).c_str());
        ASSERT_NE(file, nullptr) << rel;
        EXPECT_EQ(fs_write_all(file, content.data(), content.size()), 0);
        EXPECT_EQ(fs_close(file), 0);
    }
    std::string read(const std::string& rel) const {
        FsFileOwner file(fs_open_read(at(rel).c_str()));
        if (!file.get()) return "<cannot open>";
        std::string content(1 << 16, '\0');
        int64_t got = fs_read(file.get(), content.data(), content.size());
        content.resize(got < 0 ? 0 : static_cast<size_t>(got));
        return content;
    }
    void mkdir(const std::string& rel) const { ASSERT_EQ(fs_mkdirs(at(rel).c_str()), 0) << rel; }
    std::map<std::string, Entry> list(const std::string& rel) const {
        std::map<std::string, Entry> seen;
        EXPECT_EQ(fs_list_dir(at(rel).c_str(), collect_entry, &seen), 0) << rel;
        return seen;
    }
};

TEST(FsPaths, LongPathForm) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"C:\\a\\b", "\\\\?\\C:\\a\\b"},
        {"c:/a/b.txt", "\\\\?\\c:\\a\\b.txt"},
        {"C:\\a\\\\b\\", "\\\\?\\C:\\a\\b"},
        {"C:\\a\\.\\b\\..\\c", "\\\\?\\C:\\a\\c"},
        {"C:\\", "\\\\?\\C:\\"},
        {"C:/..", "\\\\?\\C:\\"},
        {"C:\\收件箱\\.skiffbox", "\\\\?\\C:\\收件箱\\.skiffbox"},
        {"C:\\a.\\b ", "\\\\?\\C:\\a.\\b "},
        {"\\\\server\\share\\x", "\\\\?\\UNC\\server\\share\\x"},
        {"//server/share/x/../y", "\\\\?\\UNC\\server\\share\\y"},
        {"\\\\server\\share\\..\\..\\x", "\\\\?\\UNC\\server\\share\\x"},
        {"\\\\?\\C:\\a/b", "\\\\?\\C:\\a/b"},
        {"\\\\.\\pipe\\x", "\\\\.\\pipe\\x"},
        {"//?/C:/a", "\\\\?\\C:\\a"},
        {"a/b", "a\\b"},
        {"\\a\\b", "\\a\\b"},
        {"C:a", "C:a"},
        {"1:\\a", "1:\\a"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(take(fs_long_path_form(c.in)), c.out) << c.in;
    EXPECT_EQ(fs_long_path_form(nullptr), nullptr);
}

TEST(FsPaths, JoinAddsOneSeparator) {
    const std::string sep(1, FS_SEP);
    EXPECT_EQ(take(fs_path_join("a", "b")), "a" + sep + "b");
    EXPECT_EQ(take(fs_path_join(("a" + sep).c_str(), "b")), "a" + sep + "b");
    EXPECT_EQ(take(fs_path_join("a/", "b")), "a/b");
    EXPECT_EQ(take(fs_path_join("", "b")), "b");
    EXPECT_TRUE(fs_is_sep('/'));
    EXPECT_TRUE(fs_is_sep(FS_SEP));
    EXPECT_FALSE(fs_is_sep('a'));
}

TEST(FsText, WideConversionRoundTrips) {
    const char* text = "收件箱/a b.txt 😀";
    wchar_t* wide = utf8_to_wide(text);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(wide[0], L'收');
    EXPECT_EQ(take(wide_to_utf8(wide)), text);
    free(wide);

    // Invalid UTF-8 does not fail: a bad byte, and a cut sequence, each become one U+FFFD.
    wchar_t* bad = utf8_to_wide(
        "a\xff"
        "b\xe6\x94");
    ASSERT_NE(bad, nullptr);
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(take(wide_to_utf8(bad)), "a" + fffd + "b" + fffd);
    free(bad);

    EXPECT_EQ(utf8_to_wide(nullptr), nullptr);
    EXPECT_EQ(wide_to_utf8(nullptr), nullptr);
    wchar_t* empty = utf8_to_wide("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], 0);
    free(empty);
}

TEST_F(FsTest, StatTellsFilesFromEverythingElse) {
    write("five.txt", "12345");
    mkdir("folder");
    FileInfo info{99, 99};
    EXPECT_EQ(fs_stat(at("five.txt").c_str(), &info), 1);
    EXPECT_EQ(info.size, 5u);
    EXPECT_EQ(fs_stat(at("five.txt").c_str(), nullptr), 1);
    EXPECT_EQ(fs_stat(at("folder").c_str(), &info), 0);
    EXPECT_EQ(fs_stat(at("missing").c_str(), &info), 0);

    EXPECT_EQ(fs_is_dir(at("folder").c_str()), 1);
    EXPECT_EQ(fs_is_dir(at("five.txt").c_str()), 0);
    EXPECT_EQ(fs_is_dir(at("missing").c_str()), 0);
    EXPECT_EQ(fs_exists(at("five.txt").c_str()), 1);
    EXPECT_EQ(fs_exists(at("folder").c_str()), 1);
    EXPECT_EQ(fs_exists(at("missing").c_str()), 0);
    EXPECT_EQ(fs_is_reparse(at("folder").c_str()), 0);
    EXPECT_EQ(fs_is_reparse(at("five.txt").c_str()), 0);
}

TEST_F(FsTest, MtimeIsSecondsSince1970WithFraction) {
    write("t.txt", "x");
    using namespace std::chrono;
    // 2024-01-01 00:00:00.5 UTC
    auto when = sys_seconds{seconds{1704067200}} + milliseconds{500};
    std::filesystem::last_write_time(at("t.txt"), file_clock::from_sys(when));
    FileInfo info{};
    ASSERT_EQ(fs_stat(at("t.txt").c_str(), &info), 1);
    EXPECT_DOUBLE_EQ(info.mtime, 1704067200.5);
    FileInfo listed{};
    fs_list_dir(
        root.c_str(),
        [](const char*, const FileInfo* i, int, int, void* c) { *static_cast<FileInfo*>(c) = *i; },
        &listed);
    EXPECT_DOUBLE_EQ(listed.mtime, 1704067200.5);
}

TEST_F(FsTest, ListDirReportsEachEntryOnce) {
    mkdir("empty");
    write("file.txt", "abc");
    EXPECT_EQ(fs_list_dir(at("empty").c_str(), never_called, nullptr), 0);
    EXPECT_EQ(fs_list_dir(at("file.txt").c_str(), never_called, nullptr), -1);
    EXPECT_EQ(fs_list_dir(at("missing").c_str(), never_called, nullptr), -1);
    EXPECT_EQ(fs_list_dir(at("empty").c_str(), nullptr, nullptr), 0);

    write(".hidden", "0123456789");
    write("名字 with space.txt", "12");
    auto seen = list("");
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen["empty"].is_dir, 1);
    EXPECT_EQ(seen["empty"].size, 0u);
    EXPECT_EQ(seen["file.txt"].is_dir, 0);
    EXPECT_EQ(seen["file.txt"].size, 3u);
    EXPECT_EQ(seen[".hidden"].size, 10u);
    EXPECT_EQ(seen["名字 with space.txt"].size, 2u);
    for (const auto& [name, entry] : seen) EXPECT_EQ(entry.is_reparse, 0) << name;
}

TEST_F(FsTest, MakeDirAndOpenNewAreExclusive) {
    EXPECT_EQ(fs_make_dir(at("d").c_str()), 0);
    EXPECT_EQ(fs_make_dir(at("d").c_str()), FS_ERR_EXISTS);
    EXPECT_EQ(fs_make_dir(at("x/y").c_str()), FS_ERR_NOT_FOUND);

    FsFile* file = nullptr;
    ASSERT_EQ(fs_open_new(at("n.txt").c_str(), &file), 0);
    EXPECT_EQ(fs_write_all(file, "new", 3), 0);
    EXPECT_EQ(fs_close(file), 0);
    EXPECT_EQ(fs_open_new(at("n.txt").c_str(), &file), FS_ERR_EXISTS);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(read("n.txt"), "new");
    EXPECT_EQ(fs_open_new(at("d").c_str(), &file), FS_ERR_EXISTS);
    EXPECT_EQ(fs_make_dir(at("n.txt").c_str()), FS_ERR_EXISTS);
    EXPECT_EQ(fs_open_new(at("x/n.txt").c_str(), &file), FS_ERR_NOT_FOUND);
}

TEST_F(FsTest, MkdirsCreatesMissingParents) {
    EXPECT_EQ(fs_mkdirs(at("a").c_str()), 0);
    EXPECT_EQ(fs_mkdirs(at("a").c_str()), 0);
    // Forward slashes separate on every platform; trailing separators are ignored.
    EXPECT_EQ(fs_mkdirs((root + "/a/b/c/").c_str()), 0);
    EXPECT_EQ(fs_is_dir(at("a/b/c").c_str()), 1);
    EXPECT_EQ(fs_mkdirs((root + FS_SEP + "p" + FS_SEP + FS_SEP + "q").c_str()), 0);
    EXPECT_EQ(fs_is_dir(at("p/q").c_str()), 1);

    write("file", "x");
    EXPECT_EQ(fs_mkdirs(at("file").c_str()), 0);  // "already exists" is all it asks
    EXPECT_EQ(fs_mkdirs(at("file/sub").c_str()), -1);
    EXPECT_EQ(fs_mkdirs(""), -1);
    EXPECT_EQ(fs_mkdirs(nullptr), -1);
}

TEST_F(FsTest, DeleteFileAndRemoveDir) {
    write("ro.txt", "x");
    std::filesystem::permissions(
        at("ro.txt"), std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    EXPECT_EQ(fs_delete_file(at("ro.txt").c_str()), 0);
    EXPECT_FALSE(fs_exists(at("ro.txt").c_str()));
    EXPECT_EQ(fs_delete_file(at("ro.txt").c_str()), -1);

    mkdir("full");
    write("full/x", "x");
    EXPECT_EQ(fs_remove_dir(at("full").c_str()), -1);
    EXPECT_EQ(fs_delete_file(at("full/x").c_str()), 0);
    EXPECT_EQ(fs_remove_dir(at("full").c_str()), 0);
    EXPECT_FALSE(fs_exists(at("full").c_str()));
}

TEST_F(FsTest, DeleteTreeCountsEverythingItRemoves) {
    mkdir("top/sub");
    write("top/a.txt", "a");
    write("top/.hidden", "b");
    write("top/sub/c.txt", "c");
    EXPECT_EQ(fs_delete_tree(at("top").c_str()), 5);
    EXPECT_FALSE(fs_exists(at("top").c_str()));
    EXPECT_EQ(fs_delete_tree(at("top").c_str()), 0);

    write("plain", "x");  // not a folder: nothing is removed
    EXPECT_EQ(fs_delete_tree(at("plain").c_str()), 0);
    EXPECT_TRUE(fs_exists(at("plain").c_str()));
}

TEST_F(FsTest, CountTreeSkipsHiddenNames) {
    mkdir("t/s");
    mkdir("t/.state/deep");
    write("t/a.txt", "abc");
    write("t/.hidden", "0123456789");
    write("t/s/b.bin", "1234");
    write("t/.state/deep/x", "lots of bytes");
    TreeCount counts{1, 1, 1};
    fs_count_tree(at("t").c_str(), &counts);
    EXPECT_EQ(counts.files, 1u + 2);
    EXPECT_EQ(counts.dirs, 1u + 1);
    EXPECT_EQ(counts.bytes, 1u + 7);

    TreeCount none{};
    fs_count_tree(at("missing").c_str(), &none);
    fs_count_tree(at("t/a.txt").c_str(), &none);
    EXPECT_EQ(none.files + none.dirs + none.bytes, 0u);
}

TEST_F(FsTest, WalkersHandleA500LevelTree) {
    std::string rel = "deep";
    for (int i = 0; i < 500; i++) rel += "/d";
    mkdir(rel);
    write(rel + "/leaf.txt", "leaf");
    TreeCount counts{};
    fs_count_tree(at("deep").c_str(), &counts);
    EXPECT_EQ(counts.dirs, 500u);
    EXPECT_EQ(counts.files, 1u);
    EXPECT_EQ(counts.bytes, 4u);
    EXPECT_EQ(fs_delete_tree(at("deep").c_str()), 502);
    EXPECT_FALSE(fs_exists(at("deep").c_str()));
}

TEST_F(FsTest, MoveReplacesTheTarget) {
    write("from", "new content");
    write("to", "old");
    EXPECT_EQ(fs_move(at("from").c_str(), at("to").c_str()), 0);
    EXPECT_EQ(read("to"), "new content");
    EXPECT_FALSE(fs_exists(at("from").c_str()));
    EXPECT_EQ(fs_move(at("from").c_str(), at("to").c_str()), -1);

    write("from", "again");
    fs_fault_arm(FS_FAULT_MOVE, 0);
    EXPECT_EQ(fs_move(at("from").c_str(), at("to").c_str()), -1);
    EXPECT_EQ(read("to"), "new content");
    EXPECT_EQ(fs_move(at("from").c_str(), at("to").c_str()), 0);
    EXPECT_EQ(read("to"), "again");
}

TEST_F(FsTest, MoveNewNeverReplaces) {
    write("from", "new content");
    mkdir("folder");
    for (const char* taken : {"to", "folder"}) {
        if (std::string(taken) == "to") write("to", "old");
        EXPECT_EQ(fs_move_new(at("from").c_str(), at(taken).c_str()), FS_ERR_EXISTS) << taken;
        EXPECT_EQ(read("from"), "new content");
    }
    EXPECT_EQ(read("to"), "old");
    EXPECT_EQ(fs_move_new(at("from").c_str(), at("folder/free").c_str()), 0);
    EXPECT_EQ(read("folder/free"), "new content");
    EXPECT_FALSE(fs_exists(at("from").c_str()));
    EXPECT_EQ(fs_move_new(at("from").c_str(), at("elsewhere").c_str()), -1);
    EXPECT_EQ(fs_move_new(at("folder/free").c_str(), at("missing/x").c_str()), -1);
    EXPECT_EQ(read("folder/free"), "new content");
}

TEST_F(FsTest, OpenExistingKeepsContentAndSetSizeCuts) {
    EXPECT_EQ(fs_open_existing(at("missing").c_str()), nullptr);
    mkdir("folder");
    EXPECT_EQ(fs_open_existing(at("folder").c_str()), nullptr);
    write("f", "0123456789");
    {
        FsFileOwner file(fs_open_existing(at("f").c_str()));
        ASSERT_NE(file.get(), nullptr);
        EXPECT_EQ(fs_seek(file.get(), 4), 0);
        EXPECT_EQ(fs_write_all(file.get(), "ab", 2), 0);
        EXPECT_EQ(fs_set_size(file.get(), 8), 0);
        EXPECT_EQ(fs_write_all(file.get(), "c", 1), 0);  // the offset stayed after "ab"
    }
    EXPECT_EQ(read("f"), "0123abc7");
    uint64_t free_bytes = 0;
    EXPECT_EQ(fs_free_space(root.c_str(), &free_bytes), 0);
    EXPECT_GT(free_bytes, 0u);
    EXPECT_EQ(fs_free_space(at("missing/x").c_str(), &free_bytes), -1);
}

TEST_F(FsTest, FilesReadWriteSeekAndSize) {
    FsFileOwner out(fs_open_write(at("f.bin").c_str()));
    ASSERT_NE(out.get(), nullptr);
    EXPECT_EQ(fs_write_all(out.get(), "0123456789", 10), 0);
    EXPECT_EQ(fs_sync(out.get()), 0);
    uint64_t size = 0;
    EXPECT_EQ(fs_file_size(out.get(), &size), 0);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(out.close(), 0);

    FsFileOwner in(fs_open_read(at("f.bin").c_str()));
    ASSERT_NE(in.get(), nullptr);
    char buffer[16] = {};
    EXPECT_EQ(fs_seek(in.get(), 6), 0);
    EXPECT_EQ(fs_read(in.get(), buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "6789");
    EXPECT_EQ(fs_read(in.get(), buffer, sizeof buffer), 0);
    EXPECT_EQ(fs_seek(in.get(), 1), 0);
    EXPECT_EQ(fs_read(in.get(), buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "12");

    // Writing truncates an existing file; reading needs an existing regular file.
    write("f.bin", "ab");
    EXPECT_EQ(read("f.bin"), "ab");
    mkdir("dir");
    EXPECT_EQ(fs_open_read(at("dir").c_str()), nullptr);
    EXPECT_EQ(fs_open_read(at("missing").c_str()), nullptr);
    EXPECT_EQ(fs_open_write(at("dir").c_str()), nullptr);
    EXPECT_EQ(fs_open_write(at("missing/x").c_str()), nullptr);
}

TEST_F(FsTest, ReadersDoNotBlockDeletion) {
    write("busy", "old");
    FsFileOwner reader(fs_open_read(at("busy").c_str()));
    ASSERT_NE(reader.get(), nullptr);
    EXPECT_EQ(fs_delete_file(at("busy").c_str()), 0);
    char byte = 0;
    EXPECT_EQ(fs_read(reader.get(), &byte, 1), 1);
    EXPECT_EQ(byte, 'o');
}

TEST_F(FsTest, InjectedWriteFaults) {
    struct Case {
        FsFault fault;
        int skip;
        const char* stored;  // what the file holds after the second write
    };
    const Case cases[] = {
        {FS_FAULT_WRITE_FULL, 0, "efgh"},
        {FS_FAULT_WRITE_FULL, 1, "abcd"},
        {FS_FAULT_WRITE_SHORT, 0, "abefgh"},
        {FS_FAULT_WRITE_SHORT, 1, "abcdef"},
    };
    for (const Case& c : cases) {
        FsFileOwner file(fs_open_write(at("f").c_str()));
        ASSERT_NE(file.get(), nullptr);
        fs_fault_arm(c.fault, c.skip);
        int first = fs_write_all(file.get(), "abcd", 4);
        int second = fs_write_all(file.get(), "efgh", 4);
        EXPECT_EQ(first == 0 && second == 0, false) << c.fault << "/" << c.skip;
        EXPECT_EQ(file.close(), 0);
        EXPECT_EQ(read("f"), c.stored) << c.fault << "/" << c.skip;
        EXPECT_EQ(fs_fault_fire(c.fault), 0) << "fires once";
    }

    FsFile* file = fs_open_write(at("g").c_str());
    ASSERT_NE(file, nullptr);
    fs_fault_arm(FS_FAULT_SYNC, 0);
    EXPECT_EQ(fs_sync(file), -1);
    fs_fault_arm(FS_FAULT_CLOSE, 0);
    EXPECT_EQ(fs_close(file), -1);
    EXPECT_EQ(fs_delete_file(at("g").c_str()), 0);  // closed all the same

    // A file system that lacks a feature refuses it every time, until the reset.
    fs_fault_arm_always(FS_FAULT_OPEN_READ);
    write("h", "h");
    for (int i = 0; i < 3; i++) EXPECT_EQ(fs_open_read(at("h").c_str()), nullptr) << i;
    fs_fault_reset();
    EXPECT_EQ(read("h"), "h");
}

// A half-written file goes through its handle; a listed name is seen whatever it is.
TEST_F(FsTest, DiscardAndListedNames) {
    FsFile* file = nullptr;
    ASSERT_EQ(fs_open_new(at("part").c_str(), &file), 0);
    ASSERT_EQ(fs_write_all(file, "half", 4), 0);
    EXPECT_TRUE(fs_name_listed(at("part").c_str()));
    EXPECT_EQ(fs_discard(file, at("part").c_str()), 0);
    EXPECT_FALSE(fs_name_listed(at("part").c_str()));
    EXPECT_EQ(fs_discard(nullptr, at("part").c_str()), 0);
    mkdir("dir");
    write("f", "x");
    EXPECT_TRUE(fs_name_listed(at("dir").c_str()));
    EXPECT_TRUE(fs_name_listed(at("f").c_str()));
    EXPECT_FALSE(fs_name_listed(at("f*").c_str()));
}

// Links are never followed. (Wine shows a Unix link as a plain file, so these run natively.)
TEST_F(FsTest, LinksAreNeverFollowed) {
    mkdir("target/inner");
    write("target/secret.txt", "secret");
    write("target/inner/x", "x");
    mkdir("box");
    write("box/real.txt", "real");
    std::filesystem::create_directory_symlink(at("target"), at("box/dirlink"));
    std::filesystem::create_symlink(at("target/secret.txt"), at("box/filelink"));
    std::filesystem::create_symlink(at("nowhere"), at("box/dangling"));

    EXPECT_EQ(fs_is_dir(at("box/dirlink").c_str()), 0);
    EXPECT_EQ(fs_is_reparse(at("box/dirlink").c_str()), 1);
    EXPECT_EQ(fs_stat(at("box/dirlink").c_str(), nullptr), 0);
    EXPECT_EQ(fs_stat(at("box/filelink").c_str(), nullptr), 0);
    EXPECT_EQ(fs_is_reparse(at("box/filelink").c_str()), 1);
    EXPECT_EQ(fs_exists(at("box/dangling").c_str()), 1);
    EXPECT_EQ(fs_list_dir(at("box/dirlink").c_str(), never_called, nullptr), -1);
    EXPECT_EQ(fs_open_read(at("box/filelink").c_str()), nullptr);
    EXPECT_EQ(fs_open_write(at("box/filelink").c_str()), nullptr);
    FsFile* file = nullptr;
    EXPECT_EQ(fs_open_new(at("box/dangling").c_str(), &file), FS_ERR_EXISTS);
    EXPECT_FALSE(fs_exists(at("nowhere").c_str()));

    auto seen = list("box");
    ASSERT_EQ(seen.size(), 4u);
    for (const char* name : {"dirlink", "filelink", "dangling"}) {
        EXPECT_EQ(seen[name].is_dir, 0) << name;
        EXPECT_EQ(seen[name].is_reparse, 1) << name;
    }

    TreeCount counts{};
    fs_count_tree(at("box").c_str(), &counts);
    EXPECT_EQ(counts.files, 1u);
    EXPECT_EQ(counts.dirs, 0u);
    EXPECT_EQ(counts.bytes, 4u);
    TreeCount through_link{};
    fs_count_tree(at("box/dirlink").c_str(), &through_link);
    EXPECT_EQ(through_link.files + through_link.dirs, 0u);

    // A link given to the tree walker is removed itself; links inside are removed, not entered.
    EXPECT_EQ(fs_delete_tree(at("box/dirlink").c_str()), 1);
    EXPECT_FALSE(fs_exists(at("box/dirlink").c_str()));
    std::filesystem::create_directory_symlink(at("target"), at("box/dirlink"));
    EXPECT_EQ(fs_delete_tree(at("box").c_str()), 5);
    EXPECT_FALSE(fs_exists(at("box").c_str()));
    EXPECT_EQ(read("target/secret.txt"), "secret");
    EXPECT_EQ(read("target/inner/x"), "x");
}

}  // namespace
