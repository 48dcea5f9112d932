// upload_store over a body held in memory, into a temporary inbox.
#include "upload/upload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/console_sink.h"
#include "base/fs.h"
#include "base/json.h"
#include "inbox/inbox_fixture.h"
#include "upload/memory_body.h"

namespace {

constexpr const char* BOUNDARY = "skfUploadTestBoundary";

std::string multipart(const std::vector<std::string>& file_names) {
    std::string out;
    for (const std::string& name : file_names) {
        out += std::string("--") + BOUNDARY + "\r\n";
        out += "Content-Disposition: form-data; name=\"file\"; filename=\"" + name + "\"\r\n\r\n";
        out += "x\r\n";
    }
    return out + "--" + BOUNDARY + "--\r\n";
}

class UploadStore : public InboxFixture {
  protected:
    // Stores the parts; the names the answer reports, or the result code when it is not
    // UPLOAD_STORED.
    std::vector<std::string> store(const std::vector<std::string>& file_names) {
        MemoryBody body{multipart(file_names)};
        std::string content_type = std::string("multipart/form-data; boundary=") + BOUNDARY;
        UploadBody upload{memory_read, &body, static_cast<int64_t>(body.bytes.size()),
                          content_type.c_str()};
        StrBufOwner answer;
        int result = upload_store(&config, "", &upload, "test", answer.get());
        if (result != UPLOAD_STORED) return {"result " + std::to_string(result)};
        JsonOwner parsed(json_parse(answer->data, answer->len));
        const JsonValue* files = json_get(parsed.value, "files");
        std::vector<std::string> names;
        for (int32_t i = 0; files && i < files->item_count; i++)
            names.push_back(json_string_or(json_get(files->items[i], "name"), "?"));
        return names;
    }
};

}  // namespace

// The k-th part of one name must not try the k names before it again: a request goes on
// from its last number. Counted in create attempts, so no timing is involved.
TEST_F(UploadStore, SameNamedPartsCostCreatesLinearInTheirCount) {
    constexpr int K = 300;
    struct Case {
        std::string sent, stored_prefix, stem, ext;
        int64_t per_part;  // a part in a folder also makes sure once that its folder exists
    };
    const Case cases[] = {
        {"z.txt", "", "z", ".txt", 1},
        {"q/z.txt", "q/", "z", ".txt", 2},
    };
    // Besides the parts: the folder, and the temporary file that records the senders.
    constexpr int64_t FIXED = 8;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        std::filesystem::remove_all(inbox);
        std::filesystem::create_directories(state);
        int64_t before = fs_create_attempts();
        std::vector<std::string> names = store(std::vector<std::string>(K, c.sent));
        int64_t attempts = fs_create_attempts() - before;
        ASSERT_EQ(names.size(), size_t{K});
        for (int k = 0; k < K; k++) {
            std::string numbered = k == 0 ? "" : "(" + std::to_string(k) + ")";
            EXPECT_EQ(names[k], c.stored_prefix + c.stem + numbered + c.ext);
        }
        EXPECT_LE(attempts, c.per_part * K + FIXED);  // counting from 0 each time: K * K / 2
    }
}

// A create refused with "access denied" is how Windows answers for a name whose deletion is
// pending: a listed name is taken and numbered, untouched; a name not listed is a refusal.
TEST_F(UploadStore, RefusedCreateOfAListedNameIsNumbered) {
    write_file(inbox / "a.txt", "old");
    fs_fault_arm(FS_FAULT_DELETE_PENDING, 0);
    EXPECT_EQ(store({"a.txt"}), std::vector<std::string>{"a(1).txt"});
    EXPECT_EQ(read_file(inbox / "a.txt"), "old");
    EXPECT_EQ(read_file(inbox / "a(1).txt"), "x");

    fs_fault_arm(FS_FAULT_DELETE_PENDING, 0);
    EXPECT_EQ(store({"b.txt"}), std::vector<std::string>{"result " + std::to_string(UPLOAD_NO_FILE)});
    EXPECT_FALSE(std::filesystem::exists(inbox / "b.txt"));
    fs_fault_reset();
}

// A sender store that cannot be read costs the senders, never the files or the store.
TEST_F(UploadStore, UnreadableSenderStoreStillStoresTheFiles) {
    std::filesystem::create_directories(state / "files.json");
    EXPECT_EQ(store({"a.txt", "d/b.txt"}), (std::vector<std::string>{"a.txt", "d/b.txt"}));
    EXPECT_EQ(read_file(inbox / "d" / "b.txt"), "x");
    EXPECT_TRUE(std::filesystem::is_directory(state / "files.json"));
}

// A console that takes no text (a selection held in its window) must not hold an upload: its
// line waits for the console in the writer's queue.
TEST_F(UploadStore, StoresAndAnswersWhileTheConsoleIsHeld) {
    ConsoleSink sink;
    sink.hold();
    ASSERT_EQ(con_start_writer(), 0);
    con_write("banner\n");
    ASSERT_TRUE(sink.wait_until_blocked());
    EXPECT_EQ(store({"a.txt", "b.txt"}), (std::vector<std::string>{"a.txt", "b.txt"}));
    sink.release();
    EXPECT_TRUE(sink.wait_for_text("  收到 2 个文件"));
}
