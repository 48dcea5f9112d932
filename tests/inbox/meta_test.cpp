#include "inbox/meta.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/config.h"
#include "base/fs.h"

namespace {

std::string take(char* text) {
    std::string out = text ? text : "";
    free(text);
    return out;
}

// A configuration of the test's own whose state folder is fresh for each test.
class MetaTest : public ::testing::Test {
  protected:
    std::string dir;
    std::string records_path;
    Config config{};

    void SetUp() override {
        fs_fault_reset();
        std::string tmp = take(fs_temp_dir());
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        for (int i = 0; dir.empty(); i++) {
            std::string candidate =
                tmp + FS_SEP + "skf_meta_test_" + std::to_string(stamp) + "_" + std::to_string(i);
            if (fs_make_dir(candidate.c_str()) == 0) dir = candidate;
            ASSERT_LT(i, 100);
        }
        ASSERT_LT(dir.size(), sizeof config.state_dir);
        strcpy(config.state_dir, dir.c_str());
        records_path = take(meta_files_path(&config));
    }
    void TearDown() override {
        fs_fault_reset();
        fs_delete_tree(dir.c_str());
    }

    std::string read(const std::string& path) const {
        FsFileOwner file(fs_open_read(path.c_str()));
        if (!file.get()) return "<missing>";
        std::string text;
        char piece[65536];
        int64_t got;
        while ((got = fs_read(file.get(), piece, sizeof piece)) > 0)
            text.append(piece, static_cast<size_t>(got));
        return text;
    }
    void write(const std::string& path, const std::string& text) const {
        FsFileOwner file(fs_open_write(path.c_str()));
        ASSERT_NE(file.get(), nullptr);
        ASSERT_EQ(fs_write_all(file.get(), text.data(), text.size()), 0);
    }

    // The records in file order as key -> (from, time).
    struct Record {
        std::string key, from;
        double time;
    };
    std::vector<Record> records() const {
        std::vector<Record> out;
        JsonValue* object = state_peek_json(records_path.c_str(), JSON_OBJECT);
        if (!object) return out;
        for (int32_t i = 0; i < object->member_count; i++) {
            out.push_back({object->keys[i], json_string_or(json_get(object->values[i], "from"), ""),
                           json_get_number(object->values[i], "time")});
        }
        json_free(object);
        return out;
    }
    std::vector<std::string> keys() const {
        std::vector<std::string> out;
        for (const Record& r : records()) out.push_back(r.key);
        return out;
    }
    // The names in the state folder, sorted.
    std::set<std::string> names() const {
        std::set<std::string> out;
        fs_list_dir(
            dir.c_str(),
            [](const char* name, const FileInfo*, int, int, void* context) {
                static_cast<std::set<std::string>*>(context)->insert(name);
            },
            &out);
        return out;
    }
};

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST_F(MetaTest, UploadRecordsDeviceAndOneTimeInTheFixedLayout) {
    const char* paths[] = {"a.txt", nullptr, "photos/b.jpg"};
    double before = now_seconds();
    meta_record_upload(&config, paths, 3, "");
    double after = now_seconds();

    // Both records carry the one time of the call, with six decimals.
    std::string text = read(records_path);
    size_t at = text.find("\"time\": ");
    ASSERT_NE(at, std::string::npos) << text;
    std::string time = text.substr(at + 8, text.find('\n', at) - at - 8);
    ASSERT_GT(time.size(), 7u);
    EXPECT_EQ(time[time.size() - 7], '.') << time;
    EXPECT_EQ(time.find_first_not_of("0123456789."), std::string::npos) << time;
    EXPECT_EQ(text, "{\n \"a.txt\": {\n \"from\": \"未知设备\",\n \"time\": " + time +
                        "\n},\n \"photos/b.jpg\": {\n \"from\": \"未知设备\",\n \"time\": " + time +
                        "\n}\n}");
    EXPECT_GE(atof(time.c_str()), before - 0.001);
    EXPECT_LE(atof(time.c_str()), after + 0.001);

    meta_record_upload(&config, paths, 1, nullptr);
    EXPECT_EQ(records()[0].from, "未知设备");
    meta_record_upload(&config, nullptr, 1, "x");
    meta_record_upload(&config, paths, 0, "x");
    EXPECT_EQ(records().size(), 2u);
}

TEST_F(MetaTest, RecordingAgainReplacesInPlace) {
    write(
        records_path,
        "{\"a\": {\"from\": \"pc\", \"time\": 1}, \"photos/a.jpg\": {\"from\": \"old\", \"time\": "
        "2}, \"b\": {\"from\": \"pc\", \"time\": 3}}");
    const char* paths[] = {"photos/a.jpg", "new.txt"};
    meta_record_upload(&config, paths, 2, "我的手机");
    auto now = records();
    ASSERT_EQ(now.size(), 4u);
    EXPECT_EQ(now[0].key, "a");
    EXPECT_EQ(now[1].key, "photos/a.jpg");
    EXPECT_EQ(now[1].from, "我的手机");
    EXPECT_GT(now[1].time, 1e9);
    EXPECT_EQ(now[2].key, "b");
    EXPECT_EQ(now[2].time, 3);
    EXPECT_EQ(now[3].key, "new.txt");
    EXPECT_EQ(now[3].time, now[1].time);
}

// A store that reads but holds no object is kept under a name with the time, never
// overwritten, and a new one is started; a second bad one in the same second gets its own name.
TEST_F(MetaTest, StoreThatIsNotAnObjectIsSetAsideAndStartedAfresh) {
    std::set<std::string> kept;
    for (const char* bad : {"[1, 2]", "{\"a\": ", "", "\"text\""}) {
        write(records_path, bad);
        EXPECT_EQ(state_peek_json(records_path.c_str(), JSON_OBJECT), nullptr) << bad;
        EXPECT_EQ(read(records_path), bad);  // a look moves nothing
        const char* paths[] = {"new.txt"};
        EXPECT_EQ(meta_record_upload(&config, paths, 1, "phone"), 0) << bad;
        EXPECT_EQ(keys(), std::vector<std::string>{"new.txt"}) << bad;
        std::set<std::string> now = names();
        std::string aside;
        for (const std::string& name : now)
            if (name.starts_with("files.json.bad-") && !kept.count(name)) aside = name;
        ASSERT_FALSE(aside.empty()) << bad;
        EXPECT_EQ(read(dir + FS_SEP + aside), bad);
        kept.insert(aside);
        EXPECT_EQ(now.size(), kept.size() + 1) << bad;  // files.json and the bad ones, no .tmp
    }
    EXPECT_TRUE((*kept.begin()).ends_with("Z")) << *kept.begin();
}

// A store that is there but cannot be read is left exactly as it is, and no change is made.
TEST_F(MetaTest, UnreadableStoreIsLeftAlone) {
    const std::string stored = "{\"old.txt\": {\"from\": \"pc\", \"time\": 1}}";
    write(records_path, stored);
    const char* paths[] = {"new.txt"};
    const char* old_paths[] = {"old.txt"};
    fs_fault_arm(FS_FAULT_OPEN_READ, 0);
    EXPECT_EQ(meta_record_upload(&config, paths, 1, "phone"), -1);
    fs_fault_arm(FS_FAULT_OPEN_READ, 0);
    meta_forget(&config, old_paths, 1);
    EXPECT_EQ(read(records_path), stored);
    EXPECT_EQ(names(), std::set<std::string>{"files.json"});

    // A folder where the store should be: listed, but no file to read.
    fs_delete_file(records_path.c_str());
    ASSERT_EQ(fs_make_dir(records_path.c_str()), 0);
    EXPECT_EQ(meta_record_upload(&config, paths, 1, "phone"), -1);
    EXPECT_TRUE(fs_is_dir(records_path.c_str()));
    EXPECT_EQ(names(), std::set<std::string>{"files.json"});
    JsonValue* value = nullptr;
    EXPECT_EQ(state_load_json(records_path.c_str(), JSON_OBJECT, &value), STATE_UNREADABLE);
    EXPECT_EQ(value, nullptr);
}

TEST_F(MetaTest, ForgetRemovesExactKeysAndWritesOnlyOnChange) {
    // Not in the written layout: any rewrite would show.
    const std::string compact =
        "{\"a\":{\"from\":\"x\",\"time\":1},\"b\":{\"from\":\"x\",\"time\":2},"
        "\"a/c\":{\"from\":\"x\",\"time\":3}}";
    write(records_path, compact);
    const char* missing[] = {"zzz", nullptr, "A"};
    meta_forget(&config, missing, 3);
    EXPECT_EQ(read(records_path), compact);

    const char* paths[] = {"a", "zzz"};
    meta_forget(&config, paths, 2);
    EXPECT_EQ(keys(), (std::vector<std::string>{"b", "a/c"}));
}

TEST_F(MetaTest, ForgetTreeTakesTheFolderAndWhatIsUnderIt) {
    write(records_path,
          "{\"photos\": {}, \"photos/a.jpg\": {}, \"photos2/c.jpg\": {}, \"photos/sub/b.jpg\": {}, "
          "\"photosx\": {}, \"x/photos\": {}, \"x/photos/y\": {}}");
    meta_forget_tree(&config, "photos");
    EXPECT_EQ(keys(),
              (std::vector<std::string>{"photos2/c.jpg", "photosx", "x/photos", "x/photos/y"}));
    meta_forget_tree(&config, "x/photos");
    EXPECT_EQ(keys(), (std::vector<std::string>{"photos2/c.jpg", "photosx"}));

    std::string before = read(records_path);
    meta_forget_tree(&config, "");
    meta_forget_tree(&config, nullptr);
    meta_forget_tree(&config, "photo");
    EXPECT_EQ(read(records_path), before);
}

TEST_F(MetaTest, PruningDropsTheOldestBeyondTheLimit) {
    // Each case: a store of 20,000 records "k<i>" with times from time_of(i) (a negative
    // value writes the record without a time), an upload of `uploads` new files, and the
    // keys that must be gone afterwards.
    struct Case {
        const char* what;
        double (*time_of)(int);
        int uploads;
        std::set<std::string> gone;
    };
    const Case cases[] = {
        {"smallest time goes", [](int i) { return i == 7000 ? 5.0 : 100.0 + i; }, 1, {"k7000"}},
        {"missing time before any real one",
         [](int i) { return i == 12345 ? -1.0 : (i == 3 ? 0.5 : 100.0 + i); },
         1,
         {"k12345"}},
        {"of equal times the earlier goes",
         [](int i) { return i == 10 || i == 500 ? 7.0 : 100.0 + i; },
         1,
         {"k10"}},
        {"three new ones push out three",
         [](int i) { return i == 19999 ? 1.0 : (i == 4 ? 2.0 : 100.0 + i); },
         3,
         {"k19999", "k4", "k0"}},
    };
    for (const Case& c : cases) {
        std::string text = "{";
        for (int i = 0; i < META_MAX_RECORDS; i++) {
            double t = c.time_of(i);
            text += (i ? ", \"k" : "\"k") + std::to_string(i) + "\": {\"from\": \"pc\"";
            if (t >= 0) text += ", \"time\": " + std::to_string(t);
            text += "}";
        }
        write(records_path, text + "}");

        std::vector<std::string> names;
        for (int u = 0; u < c.uploads; u++) names.push_back("new" + std::to_string(u));
        std::vector<const char*> paths;
        for (const std::string& name : names) paths.push_back(name.c_str());
        meta_record_upload(&config, paths.data(), c.uploads, "phone");

        std::vector<std::string> now = keys();
        ASSERT_EQ(now.size(), static_cast<size_t>(META_MAX_RECORDS)) << c.what;
        std::set<std::string> present(now.begin(), now.end());
        for (const std::string& key : c.gone) EXPECT_EQ(present.count(key), 0u) << c.what << key;
        for (const std::string& name : names) EXPECT_EQ(present.count(name), 1u) << c.what;
        // Everything else keeps its order.
        EXPECT_EQ(now.back(), names.back()) << c.what;
        EXPECT_TRUE(std::is_sorted(now.begin(), now.end() - c.uploads, [](auto& a, auto& b) {
            return std::stoi(a.substr(1)) < std::stoi(b.substr(1));
        })) << c.what;
    }
}

TEST_F(MetaTest, ClearLeavesAnEmptyStore) {
    const char* paths[] = {"a"};
    meta_record_upload(&config, paths, 1, "x");
    meta_clear(&config);
    EXPECT_EQ(read(records_path), "{}");
}

TEST_F(MetaTest, ConcurrentUploadsKeepEveryRecord) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 20; i++) {
                std::string path = "t" + std::to_string(t) + "/" + std::to_string(i);
                const char* paths[] = {path.c_str()};
                meta_record_upload(&config, paths, 1, "phone");
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(records().size(), 80u);
}

TEST_F(MetaTest, StateWriteReplacesWholeOrNotAtAll) {
    std::string path = dir + FS_SEP + "state.json";
    ASSERT_EQ(state_write_file(path.c_str(), "[1]", 3), 0);
    EXPECT_EQ(read(path), "[1]");
    EXPECT_FALSE(fs_exists((path + ".tmp").c_str()));

    // Failures at every step leave the old content and no temporary file.
    for (FsFault fault :
         {FS_FAULT_WRITE_FULL, FS_FAULT_WRITE_SHORT, FS_FAULT_SYNC, FS_FAULT_CLOSE}) {
        fs_fault_arm(fault, 0);
        EXPECT_EQ(state_write_file(path.c_str(), "[2, 3]", 6), -1) << fault;
        EXPECT_EQ(read(path), "[1]") << fault;
        EXPECT_FALSE(fs_exists((path + ".tmp").c_str())) << fault;
    }
    // A move refused once (a reader holding the file on Windows) is tried again.
    fs_fault_arm(FS_FAULT_MOVE, 0);
    EXPECT_EQ(state_write_file(path.c_str(), "[4]", 3), 0);
    EXPECT_EQ(read(path), "[4]");

    // A reader holding the old file for a moment (a listing without the lock) delays the
    // replacement on Windows but never defeats it.
    {
        FsFileOwner reader(fs_open_read(path.c_str()));
        ASSERT_NE(reader.get(), nullptr);
        std::thread release([&reader] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            reader.close();
        });
        EXPECT_EQ(state_write_file(path.c_str(), "[6]", 3), 0);
        release.join();
        EXPECT_EQ(read(path), "[6]");
    }

    // No temporary file can be made where a folder of its name stands.
    ASSERT_EQ(fs_make_dir((path + ".tmp").c_str()), 0);
    EXPECT_EQ(state_write_file(path.c_str(), "[5]", 3), -1);
    EXPECT_EQ(read(path), "[6]");
    EXPECT_TRUE(fs_is_dir((path + ".tmp").c_str()));
}

TEST_F(MetaTest, LoadChecksKindAndReadsLargeFiles) {
    std::string path = dir + FS_SEP + "s.json";
    EXPECT_EQ(state_peek_json(path.c_str(), JSON_ARRAY), nullptr);  // missing
    JsonValue* fresh = nullptr;
    ASSERT_EQ(state_load_json(path.c_str(), JSON_ARRAY, &fresh), STATE_LOADED);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->kind, JSON_ARRAY);
    EXPECT_EQ(fresh->item_count, 0);
    json_free(fresh);
    std::string big = "[\"" + std::string(200000, 'x') + "\", 1]";
    write(path, big);
    JsonValue* array = nullptr;
    ASSERT_EQ(state_load_json(path.c_str(), JSON_ARRAY, &array), STATE_LOADED);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->item_count, 2);
    EXPECT_EQ(strlen(json_string(array->items[0])), 200000u);
    json_free(array);
    EXPECT_EQ(state_peek_json(path.c_str(), JSON_OBJECT), nullptr);
    write(path, std::string(65536, ' ') + "{}");  // exactly one full piece, then more
    JsonValue* object = state_peek_json(path.c_str(), JSON_OBJECT);
    EXPECT_NE(object, nullptr);
    json_free(object);
}

}  // namespace
