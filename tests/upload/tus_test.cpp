// The resumable upload store in a temporary inbox, with its clock moved by the test: what a
// request may create, offsets that never run ahead of the disk, expiry while running, and a
// request taken over by a newer one.
#include "upload/tus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "base/fs.h"
#include "inbox/inbox_fixture.h"

namespace {

std::atomic<int64_t> FakeNow{1700000000};
int64_t fake_clock() {
    return FakeNow.load();
}

std::string b64(const std::string& text) {
    static const char* ALPHABET =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
        uint32_t n = uint32_t(uint8_t(text[i])) << 16 | uint32_t(uint8_t(text[i + 1])) << 8 |
                     uint8_t(text[i + 2]);
        for (int k = 3; k >= 0; k--) out += ALPHABET[(n >> (6 * k)) & 63];
    }
    if (text.size() - i == 1) {
        uint32_t n = uint32_t(uint8_t(text[i])) << 16;
        out += std::string{ALPHABET[n >> 18], ALPHABET[(n >> 12) & 63], '=', '='};
    } else if (text.size() - i == 2) {
        uint32_t n = uint32_t(uint8_t(text[i])) << 16 | uint32_t(uint8_t(text[i + 1])) << 8;
        out += std::string{ALPHABET[n >> 18], ALPHABET[(n >> 12) & 63], ALPHABET[(n >> 6) & 63],
                           '='};
    }
    return out;
}

class TusStore : public InboxFixture {
  protected:
    void SetUp() override {
        InboxFixture::SetUp();
        fs_fault_reset();
        tus_set_clock(fake_clock);
        tus_start(&config);
    }
    void TearDown() override {
        fs_fault_reset();
        tus_set_clock(nullptr);
        InboxFixture::TearDown();
    }

    int create(int64_t length, const std::string& metadata, TusInfo* info) {
        TusCreate request{length, metadata.c_str(), "dev", 0x7F000001};
        return tus_create(&config, &request, info);
    }
    std::string make(int64_t length, const std::string& name) {
        TusInfo info;
        EXPECT_EQ(create(length, "filename " + b64(name), &info), TUS_OK);
        return info.id;
    }
    // One request writing bytes at offset; the offset answered, or the failing result.
    int64_t patch(const std::string& id, uint64_t offset, const std::string& bytes) {
        TusWriter* writer = nullptr;
        TusInfo info;
        int begun = tus_patch_begin(&config, id.c_str(), offset, int64_t(bytes.size()),
                                    TusStopHook{}, &writer, &info);
        if (begun != TUS_OK) return begun;
        if (!writer) return int64_t(info.offset);  // finished: nothing to write
        tus_patch_write(writer, bytes.data(), bytes.size());
        int ended = tus_patch_end(writer, &info);
        return ended == TUS_OK ? int64_t(info.offset) : ended;
    }
    std::filesystem::path part(const std::string& id) { return state / "uploads" / (id + ".part"); }
};

TEST_F(TusStore, CreationRefusesWhatCannotBeStored) {
    std::filesystem::create_directories(inbox / "trip");
    struct Case {
        const char* what;
        int64_t length;
        std::string metadata;
        int expected;
    } cases[] = {
        {"plain", 10, "filename " + b64("a.txt"), TUS_OK},
        {"all keys, spaces around pairs", 10,
         " filename " + b64("p/a.txt") + " , group " + b64("g") + ",dir " + b64("trip") +
             ",device " + b64("pad") + ",other",
         TUS_OK},
        {"empty file", 0, "filename " + b64("e.txt"), TUS_OK},
        {"no file name", 10, "group " + b64("g"), TUS_BAD_REQUEST},
        {"empty file name", 10, "filename", TUS_BAD_REQUEST},
        {"name of dots only", 10, "filename " + b64(" .. "), TUS_BAD_REQUEST},
        {"key twice", 10, "filename " + b64("a") + ",filename " + b64("b"), TUS_BAD_REQUEST},
        {"not base64", 10, "filename a*b", TUS_BAD_REQUEST},
        {"zero byte in a value", 10, "filename " + b64(std::string("a\0b", 3)), TUS_BAD_REQUEST},
        {"group id too long", 10, "filename " + b64("a") + ",group " + b64(std::string(257, 'g')),
         TUS_BAD_REQUEST},
        {"metadata too long", 10, "filename " + b64(std::string(13000, 'a')), TUS_BAD_REQUEST},
        {"no length", -1, "filename " + b64("a"), TUS_BAD_REQUEST},
        {"too large", int64_t(TUS_MAX_SIZE) + 1, "filename " + b64("a"), TUS_TOO_LARGE},
        {"missing folder", 10, "filename " + b64("a") + ",dir " + b64("nowhere"), TUS_NO_FOLDER},
        {"climbing folder", 10, "filename " + b64("a") + ",dir " + b64("../x"), TUS_NO_FOLDER},
    };
    for (const Case& c : cases) {
        TusInfo info;
        EXPECT_EQ(create(c.length, c.metadata, &info), c.expected) << c.what;
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(inbox / "e.txt"));
}

TEST_F(TusStore, OneAddressHoldsOnlyItsShareOfUnfinishedUploads) {
    std::string metadata = "filename " + b64("many.bin");
    TusInfo first, info;
    ASSERT_EQ(create(10, metadata, &first), TUS_OK);
    for (int i = 1; i < TUS_MAX_UPLOADS_PER_ADDRESS; i++)
        ASSERT_EQ(create(10, metadata, &info), TUS_OK) << i;
    EXPECT_EQ(create(10, metadata, &info), TUS_TOO_MANY);
    TusCreate other{10, metadata.c_str(), "dev", 0x0A000002};
    EXPECT_EQ(tus_create(&config, &other, &info), TUS_OK);
    // A terminated upload gives its place back.
    EXPECT_EQ(tus_terminate(&config, first.id), TUS_OK);
    EXPECT_EQ(create(10, metadata, &info), TUS_OK);
}

TEST_F(TusStore, OffsetsAndConflicts) {
    std::string id = make(10, "a.bin");
    EXPECT_EQ(patch(id, 0, "0123"), 4);
    EXPECT_EQ(patch(id, 0, "0123"), TUS_CONFLICT);
    EXPECT_EQ(patch(id, 4, "4567890"), TUS_BAD_REQUEST);  // past the length
    EXPECT_EQ(patch(id, 4, "456789"), 10);
    EXPECT_EQ(read_file(inbox / "a.bin"), "0123456789");
    EXPECT_FALSE(std::filesystem::exists(part(id)));
    // A client whose last answer was lost asks again and learns it is done.
    TusInfo info;
    ASSERT_EQ(tus_info(&config, id.c_str(), &info, nullptr), TUS_OK);
    EXPECT_EQ(info.offset, 10u);
    EXPECT_EQ(info.finished, 1);
    EXPECT_EQ(patch(id, 10, ""), 10);
    EXPECT_EQ(tus_terminate(&config, id.c_str()), TUS_NOT_FOUND);
}

TEST_F(TusStore, AFailedWriteOrFlushNeverCountsBytesThatAreNotThere) {
    std::string id = make(100, "f.bin");
    TusWriter* writer = nullptr;
    TusInfo info;
    ASSERT_EQ(tus_patch_begin(&config, id.c_str(), 0, 100, TusStopHook{}, &writer, &info), TUS_OK);
    EXPECT_EQ(tus_patch_write(writer, "0123456789", 10), TUS_OK);
    fs_fault_arm(FS_FAULT_WRITE_SHORT, 0);
    EXPECT_EQ(tus_patch_write(writer, "abcdefghij", 10), TUS_NO_SPACE);
    EXPECT_EQ(tus_patch_end(writer, &info), TUS_OK);
    EXPECT_EQ(info.offset, 10u);
    EXPECT_EQ(std::filesystem::file_size(part(id)), 10u);

    // The answer counts what is in the file; the record follows only a flush that worked.
    ASSERT_EQ(tus_patch_begin(&config, id.c_str(), 10, 5, TusStopHook{}, &writer, &info), TUS_OK);
    EXPECT_EQ(tus_patch_write(writer, "abcde", 5), TUS_OK);
    EXPECT_EQ(tus_patch_end(writer, &info), TUS_OK);
    EXPECT_EQ(info.offset, 15u);
    std::string record_path = (state / "uploads" / (id + ".json")).string();
    fs_fault_arm(FS_FAULT_SYNC, 0);
    tus_flush_progress(&config, 0);
    EXPECT_NE(read_file(record_path).find("\"offset\": 0,"), std::string::npos);
    tus_flush_progress(&config, 0);
    EXPECT_NE(read_file(record_path).find("\"offset\": 15,"), std::string::npos);
    // A restart keeps what was recorded.
    tus_start(&config);
    ASSERT_EQ(tus_info(&config, id.c_str(), &info, nullptr), TUS_OK);
    EXPECT_EQ(info.offset, 15u);
    EXPECT_EQ(read_file(part(id)), "0123456789abcde");
}

// A request in progress is recorded on the way, without waiting for its end; bytes written
// after the last flush are not counted by the record.
TEST_F(TusStore, ALongRequestIsRecordedOnTheWay) {
    const int64_t length = 8 << 20;
    std::string id = make(length, "long.bin");
    TusWriter* writer = nullptr;
    TusInfo info;
    ASSERT_EQ(tus_patch_begin(&config, id.c_str(), 0, length, TusStopHook{}, &writer, &info),
              TUS_OK);
    std::string piece(1 << 20, 'x');
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(tus_patch_write(writer, piece.data(), piece.size()), TUS_OK);
    tus_flush_progress(&config, 0);
    ASSERT_EQ(tus_patch_write(writer, piece.data(), piece.size()), TUS_OK);
    // The program stops here, in the middle of the request: a restart keeps what was recorded.
    std::string record = read_file(state / "uploads" / (id + ".json"));
    EXPECT_NE(record.find("\"offset\": " + std::to_string(3 << 20) + ","), std::string::npos)
        << record;
    EXPECT_EQ(tus_patch_end(writer, &info), TUS_OK);
    EXPECT_EQ(info.offset, uint64_t{4} << 20);
}

TEST_F(TusStore, ExpiryWhileRunning) {
    std::string idle = make(10, "idle.bin");
    std::string busy = make(10, "busy.bin");
    std::string done = make(2, "done.bin");
    EXPECT_EQ(patch(done, 0, "ok"), 2);
    FakeNow += TUS_EXPIRY_SECONDS - 10;
    EXPECT_EQ(patch(busy, 0, "01"), 2);  // progress moves its expiry
    FakeNow += 10;
    tus_tick(&config);
    TusInfo info;
    EXPECT_EQ(tus_info(&config, idle.c_str(), &info, nullptr), TUS_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(part(idle)));
    EXPECT_FALSE(std::filesystem::exists(state / "uploads" / (idle + ".json")));
    ASSERT_EQ(tus_info(&config, busy.c_str(), &info, nullptr), TUS_OK);
    EXPECT_EQ(info.expires, FakeNow.load() - 10 + TUS_EXPIRY_SECONDS);
    EXPECT_EQ(tus_info(&config, done.c_str(), &info, nullptr), TUS_NOT_FOUND);
    EXPECT_EQ(read_file(inbox / "done.bin"), "ok");  // placed files are the inbox's own
}

TEST_F(TusStore, ANewerRequestTakesTheUploadOver) {
    std::string id = make(10, "t.bin");
    TusWriter* first = nullptr;
    TusInfo info;
    std::atomic<bool> stopped{false};
    TusStopHook hook{[](void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); },
                     &stopped};
    ASSERT_EQ(tus_patch_begin(&config, id.c_str(), 0, 10, hook, &first, &info), TUS_OK);
    EXPECT_EQ(tus_patch_write(first, "012", 3), TUS_OK);
    // The first request's connection ends when it is stopped, as a shut socket would end it.
    std::thread old_request([&] {
        while (!stopped.load()) std::this_thread::yield();
        TusInfo ended;
        tus_patch_end(first, &ended);
    });
    EXPECT_EQ(patch(id, 0, "0"), TUS_CONFLICT);  // waits for the first, then sees offset 3
    old_request.join();
    EXPECT_TRUE(stopped.load());
    EXPECT_EQ(patch(id, 3, "3456789"), 10);
    EXPECT_EQ(read_file(inbox / "t.bin"), "0123456789");
}

TEST_F(TusStore, TerminationAndClearingRemoveTheData) {
    std::string a = make(10, "a.bin");
    std::string b = make(10, "b.bin");
    EXPECT_EQ(patch(a, 0, "01"), 2);
    EXPECT_EQ(tus_terminate(&config, a.c_str()), TUS_OK);
    EXPECT_FALSE(std::filesystem::exists(part(a)));
    EXPECT_EQ(patch(a, 2, "2"), TUS_NOT_FOUND);
    tus_drop_all(&config);
    EXPECT_FALSE(std::filesystem::exists(part(b)));
    TusInfo info;
    EXPECT_EQ(tus_info(&config, b.c_str(), &info, nullptr), TUS_NOT_FOUND);
    // Nothing of them comes back after a restart.
    tus_start(&config);
    EXPECT_EQ(tus_info(&config, b.c_str(), &info, nullptr), TUS_NOT_FOUND);
}

}  // namespace
