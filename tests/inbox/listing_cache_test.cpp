#include "inbox/listing_cache.h"

#include <gtest/gtest.h>

#include <string>

#include "base/strbuf.h"
#include "inbox/inbox_fixture.h"
#include "inbox/listing.h"
#include "inbox/usage.h"

namespace {

class ListingCacheTest : public InboxFixture {
  protected:
    // The clock reading every call gives, advanced by the tests.
    double now = 1000.0;

    std::string cached(const char* dir) {
        StrBufOwner out;
        EXPECT_EQ(list_folder_json_cached_at(&config, now, out.get(), dir), 0);
        return std::string(out->data ? out->data : "", out->len);
    }

    std::string fresh(const char* dir) {
        StrBufOwner out;
        EXPECT_EQ(list_folder_json(&config, out.get(), dir), 0);
        return std::string(out->data ? out->data : "", out->len);
    }
};

TEST_F(ListingCacheTest, ServerChangesShowAtOnceOutsideChangesAfterTheAgeLimit) {
    write_file(inbox / "a.txt", "a");
    std::string first = cached("");
    EXPECT_EQ(first, fresh(""));

    // Made outside the server: the kept listing stands while it is young.
    write_file(inbox / "b.txt", "b");
    now += LIST_CACHE_MAX_AGE_SECONDS / 2;
    EXPECT_EQ(cached(""), first);
    now += LIST_CACHE_MAX_AGE_SECONDS / 2;
    std::string aged = cached("");
    EXPECT_NE(aged.find("b.txt"), std::string::npos);

    // Made through the server: the next listing has it, however young the kept one is.
    write_file(inbox / "c.txt", "c");
    usage_invalidate();
    EXPECT_NE(cached("").find("c.txt"), std::string::npos);

    // A clock that went back never makes a kept listing current.
    write_file(inbox / "d.txt", "d");
    now -= 10;
    EXPECT_NE(cached("").find("d.txt"), std::string::npos);
}

TEST_F(ListingCacheTest, FoldersAndInboxesAreKeptApartAndFailuresNotKept) {
    write_file(inbox / "sub" / "inner.txt", "x");
    write_file(inbox / "top.txt", "y");
    EXPECT_EQ(cached(""), fresh(""));
    EXPECT_EQ(cached("sub"), fresh("sub"));
    EXPECT_NE(cached(""), cached("sub"));

    StrBufOwner out;
    EXPECT_EQ(list_folder_json_cached_at(&config, now, out.get(), "missing"), -1);
    EXPECT_EQ(out->len, 0u);
    std::filesystem::create_directories(inbox / "missing");
    EXPECT_EQ(cached("missing"), "[]");

    // Another inbox with the same folder names gets its own listing.
    Config other{};
    std::filesystem::path other_inbox = root / "other";
    write_file(other_inbox / "elsewhere.txt", "z");
    ASSERT_EQ(config_init(&other, other_inbox.string().c_str(), "", DEFAULT_PORT), 0);
    StrBufOwner theirs;
    ASSERT_EQ(list_folder_json_cached_at(&other, now, theirs.get(), ""), 0);
    EXPECT_NE(std::string(theirs->data, theirs->len).find("elsewhere.txt"), std::string::npos);
    EXPECT_EQ(cached("").find("elsewhere.txt"), std::string::npos);
}

TEST_F(ListingCacheTest, TheListingMadeLongestAgoMakesRoom) {
    for (size_t i = 0; i <= LIST_CACHE_ENTRIES; i++)
        std::filesystem::create_directories(inbox / ("d" + std::to_string(i)));
    std::string before = cached("d0");
    for (size_t i = 1; i <= LIST_CACHE_ENTRIES; i++) cached(("d" + std::to_string(i)).c_str());
    // d0's listing is gone, so a file added outside the server shows at once; the last
    // folder's listing is still kept.
    write_file(inbox / "d0" / "new.txt", "n");
    std::string last = "d" + std::to_string(LIST_CACHE_ENTRIES);
    write_file(inbox / last / "new.txt", "n");
    EXPECT_NE(cached("d0"), before);
    EXPECT_EQ(cached(last.c_str()), "[]");
}

}  // namespace
