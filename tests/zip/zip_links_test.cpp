#include "zip/zip_links.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "zip/zip.h"

namespace {

constexpr int64_t LIFETIME = 10000;

std::string add(ZipLinkTable* table, const std::vector<const char*>& names, const char* owner,
                int64_t now_ms) {
    char id[ZIP_LINK_ID_CHARS + 1];
    int result =
        zip_link_add(table, names.data(), static_cast<int>(names.size()), owner, now_ms, id);
    EXPECT_EQ(result, ZIP_LINK_OK);
    return id;
}

// The selection found under id for owner at now_ms, or {"(unknown)"}.
std::vector<std::string> find(ZipLinkTable* table, const std::string& id, const char* owner,
                              int64_t now_ms) {
    char** names = nullptr;
    int count = -1;
    int result = zip_link_find(table, id.c_str(), owner, now_ms, &names, &count);
    if (result != ZIP_LINK_FOUND) {
        EXPECT_EQ(result, ZIP_LINK_UNKNOWN);
        EXPECT_EQ(names, nullptr);
        EXPECT_EQ(count, 0);
        return {"(unknown)"};
    }
    std::vector<std::string> found(names, names + count);
    zip_names_free(names, count);
    return found;
}

const std::vector<std::string> UNKNOWN = {"(unknown)"};

}  // namespace

TEST(ZipLinks, IdsAreFreshHexAndFindTheirSelectionAgainAndAgain) {
    ZipLinkTable table(LIFETIME);
    std::set<std::string> seen;
    for (int i = 0; i < 20; i++) {
        std::string id = add(&table, {"a.txt"}, "", 0);
        ASSERT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 20u);

    std::string id = add(&table, {"照片", "a b.txt", "dir/x"}, "", 100);
    const std::vector<std::string> want = {"照片", "a b.txt", "dir/x"};
    EXPECT_EQ(find(&table, id, "", 200), want);
    EXPECT_EQ(find(&table, id, nullptr, 300), want);
    EXPECT_EQ(find(&table, id, "", 400), want);

    // Anything a client may send as an id.
    std::string upper = id;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    for (const std::string& wrong : {std::string(), id.substr(0, 31), id + "0", upper,
                                     std::string(32, '0'), id.substr(0, 31) + "g"}) {
        EXPECT_EQ(find(&table, wrong, "", 200), UNKNOWN) << wrong;
    }
    char** names = nullptr;
    int count = 0;
    EXPECT_EQ(zip_link_find(&table, nullptr, "", 0, &names, &count), ZIP_LINK_UNKNOWN);
}

TEST(ZipLinks, AnIdExpiresItsLifetimeAfterItsMaking) {
    ZipLinkTable table(LIFETIME);
    std::string early = add(&table, {"a"}, "", 1000);
    std::string late = add(&table, {"b"}, "", 5000);
    EXPECT_EQ(find(&table, early, "", 1000 + LIFETIME - 1), std::vector<std::string>{"a"});
    EXPECT_EQ(find(&table, early, "", 1000 + LIFETIME), UNKNOWN);
    EXPECT_EQ(find(&table, late, "", 1000 + LIFETIME), std::vector<std::string>{"b"});
    // Once expired it stays gone, even for a clock read earlier on another thread.
    EXPECT_EQ(find(&table, early, "", 1000), UNKNOWN);
    EXPECT_EQ(find(&table, late, "", 5000 + LIFETIME), UNKNOWN);
}

TEST(ZipLinks, AFullTableLetsTheOldestGiveWay) {
    ZipLinkTable table(LIFETIME);
    std::vector<std::string> ids;
    for (int i = 0; i < ZIP_LINK_MAX; i++) ids.push_back(add(&table, {"f"}, "", i));
    std::string newest = add(&table, {"g"}, "", 100);
    EXPECT_EQ(find(&table, ids[0], "", 100), UNKNOWN);
    EXPECT_EQ(find(&table, ids[1], "", 100), std::vector<std::string>{"f"});
    EXPECT_EQ(find(&table, newest, "", 100), std::vector<std::string>{"g"});
}

TEST(ZipLinks, PathsTogetherStayWithinTheirLimit) {
    ZipLinkTable table(LIFETIME);
    std::string half(ZIP_LINK_MAX_NAME_BYTES / 2 - 1, 'x');  // with its terminator, half
    std::string first = add(&table, {half.c_str()}, "", 0);
    std::string second = add(&table, {half.c_str()}, "", 1);
    std::string third = add(&table, {"small"}, "", 2);
    EXPECT_EQ(find(&table, first, "", 3), UNKNOWN);
    EXPECT_EQ(find(&table, second, "", 3).at(0).size(), half.size());
    EXPECT_EQ(find(&table, third, "", 3), std::vector<std::string>{"small"});

    std::string too_long(ZIP_LINK_MAX_NAME_BYTES, 'y');
    const char* names[] = {too_long.c_str()};
    char id[ZIP_LINK_ID_CHARS + 1] = "x";
    EXPECT_EQ(zip_link_add(&table, names, 1, "", 4, id), ZIP_LINK_NO_MEMORY);
    EXPECT_STREQ(id, "");
    EXPECT_EQ(find(&table, second, "", 5).size(), 1u);
}

TEST(ZipLinks, OnlyTheOwnerFindsItsId) {
    ZipLinkTable table(LIFETIME);
    const std::string alice(32, 'a');
    const std::string bob(32, 'b');
    std::string id = add(&table, {"a.txt"}, alice.c_str(), 0);
    EXPECT_EQ(find(&table, id, bob.c_str(), 1), UNKNOWN);
    EXPECT_EQ(find(&table, id, "", 1), UNKNOWN);
    EXPECT_EQ(find(&table, id, alice.substr(0, 31).c_str(), 1), UNKNOWN);
    EXPECT_EQ(find(&table, id, alice.c_str(), 1), std::vector<std::string>{"a.txt"});
    std::string anonymous = add(&table, {"b.txt"}, nullptr, 0);
    EXPECT_EQ(find(&table, anonymous, alice.c_str(), 1), UNKNOWN);
    EXPECT_EQ(find(&table, anonymous, "", 1), std::vector<std::string>{"b.txt"});

    const char* names[] = {"a.txt"};
    char refused[ZIP_LINK_ID_CHARS + 1];
    EXPECT_EQ(zip_link_add(&table, names, 1, (alice + "a").c_str(), 0, refused),
              ZIP_LINK_BAD_OWNER);
}

TEST(ZipLinks, ManyThreadsAddAndFindAtOnce) {
    ZipLinkTable table(LIFETIME);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&table, t] {
            std::string name = "t" + std::to_string(t);
            for (int i = 0; i < 200; i++) {
                std::string id = add(&table, {name.c_str()}, name.c_str(), i);
                std::vector<std::string> found = find(&table, id, name.c_str(), i);
                // Others may have pushed it out already, never swapped its selection.
                EXPECT_TRUE(found == UNKNOWN || found == std::vector<std::string>{name});
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
}
