#include "inbox/texts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/json.h"
#include "inbox/inbox_fixture.h"

namespace {

std::string write_list(const std::string& stored, double cutoff) {
    JsonValue* array = json_parse(stored.data(), stored.size());
    EXPECT_NE(array, nullptr);
    StrBufOwner sb;
    texts_write_list(sb.get(), array, cutoff);
    json_free(array);
    return sb.c_str();
}

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

TEST(TextsWriteList, NewestFirstRewrittenAndExpired) {
    struct Case {
        const char* what;
        std::string stored;
        double cutoff;
        std::string listed;
    };
    const Case cases[] = {
        {"empty", "[]", 0, "[]"},
        {"newest first, ties keep their order, members rewritten in order",
         R"([{"time": 5, "id": "a", "text": "x", "from": "p", "extra": 1},
             {"id": "b", "text": "y", "from": "q", "time": 7.5},
             {"id": "c", "text": "z", "from": "r", "time": 5}])",
         0,
         R"([{"id": "b", "text": "y", "from": "q", "time": 7.500000}, )"
         R"({"id": "a", "text": "x", "from": "p", "time": 5.000000}, )"
         R"({"id": "c", "text": "z", "from": "r", "time": 5.000000}])"},
        {"missing members get their defaults", R"([{"time": 3, "from": 12}])", 0,
         R"([{"id": "", "text": "", "from": "未知设备", "time": 3.000000}])"},
        {"items not later than the cutoff, without a time or not objects are hidden",
         R"([{"id": "old", "time": 100}, {"id": "edge", "time": 200}, {"id": "new", "time": 201},
             {"id": "none"}, {"id": "text", "time": "300"}, 42, {"id": "inf", "time": 1e999}])",
         200, R"([{"id": "new", "text": "", "from": "未知设备", "time": 201.000000}])"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(write_list(c.stored, c.cutoff), c.listed);
    }
}

TEST(TextsWriteList, KeepsTheHundredNewest) {
    std::string stored = "[";
    for (int i = 0; i < 150; i++)
        stored += (i ? ", " : "") + std::string("{\"id\": \"") + std::to_string(i) +
                  "\", \"time\": " + std::to_string(1000 + i) + "}";
    stored += "]";
    std::string text = write_list(stored, 0);
    JsonValue* listed = json_parse(text.data(), text.size());
    ASSERT_NE(listed, nullptr);
    ASSERT_EQ(listed->item_count, 100);
    EXPECT_STREQ(json_string(json_get(listed->items[0], "id")), "149");
    EXPECT_STREQ(json_string(json_get(listed->items[99], "id")), "50");
    json_free(listed);
}

TEST_F(InboxFixture, TextsAddDeleteClearOnDisk) {
    const double before = now();
    ASSERT_EQ(texts_add(&config, "hello", "小米"), 0);
    ASSERT_EQ(texts_add(&config, "second", nullptr), 0);
    std::string stored = read_file(state / "texts.json");
    JsonValue* array = json_parse(stored.data(), stored.size());
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(array->item_count, 2);
    const JsonValue* newest = array->items[0];
    EXPECT_STREQ(json_string(json_get(newest, "text")), "second");
    EXPECT_STREQ(json_string(json_get(newest, "from")), "未知设备");
    EXPECT_STREQ(json_string(json_get(array->items[1], "from")), "小米");
    std::string id = json_string(json_get(array->items[1], "id"));
    ASSERT_EQ(id.size(), 17u);
    long long millis = std::stoll(id.substr(0, 13));
    EXPECT_GE(millis, static_cast<long long>(before * 1000) - 1);
    EXPECT_LE(millis, static_cast<long long>(now() * 1000) + 1);
    double time = json_get_number(newest, "time");
    EXPECT_GE(time, before - 1);
    json_free(array);

    // The file holds exactly what the list shows.
    StrBufOwner listed;
    texts_list_json(&config, listed.get());
    EXPECT_EQ(stored, listed.c_str());

    ASSERT_EQ(texts_delete(&config, id.c_str()), 0);
    EXPECT_EQ(read_file(state / "texts.json").find("hello"), std::string::npos);
    EXPECT_NE(read_file(state / "texts.json").find("second"), std::string::npos);
    texts_clear(&config);
    EXPECT_EQ(read_file(state / "texts.json"), "[]");
}

TEST_F(InboxFixture, TextsPostedAtOnceAreAllKept) {
    constexpr int THREADS = 8, EACH = 10;
    std::vector<std::thread> posters;
    for (int t = 0; t < THREADS; t++)
        posters.emplace_back([this, t] {
            for (int i = 0; i < EACH; i++) {
                std::string text = "t" + std::to_string(t) + "-" + std::to_string(i);
                texts_add(&config, text.c_str(), "dev");
            }
        });
    for (std::thread& p : posters) p.join();
    std::string stored = read_file(state / "texts.json");
    JsonValue* array = json_parse(stored.data(), stored.size());
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->item_count, THREADS * EACH);
    json_free(array);
}

// A store that does not hold a list is kept aside, and the new text starts a new one.
TEST_F(InboxFixture, TextsStoreThatIsNotAListIsSetAside) {
    write_file(state / "texts.json", "{\"not\": \"a list\"}");
    ASSERT_EQ(texts_add(&config, "fresh", "pc"), 0);
    std::string stored = read_file(state / "texts.json");
    JsonValue* array = json_parse(stored.data(), stored.size());
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->item_count, 1);
    json_free(array);
    int aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(state)) {
        std::string name = entry.path().filename().string();
        if (name.starts_with("texts.json.bad-")) {
            aside++;
            EXPECT_EQ(read_file(entry.path()), "{\"not\": \"a list\"}");
        }
    }
    EXPECT_EQ(aside, 1);

    // Held by nothing else but unreadable all the same: neither changed nor moved.
    fs_fault_arm(FS_FAULT_OPEN_READ, 0);
    EXPECT_EQ(texts_delete(&config, "x"), TEXTS_UNREADABLE);
    fs_fault_reset();
    EXPECT_EQ(read_file(state / "texts.json"), stored);
}
