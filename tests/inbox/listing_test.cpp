#include "inbox/listing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include "base/config.h"
#include "inbox/mime.h"
#include "inbox/paths.h"
#include "inbox/usage.h"
#include "inbox/inbox_fixture.h"

namespace fs = std::filesystem;

namespace {

std::string take(char* text) {
    std::string copy = text ? text : "<null>";
    free(text);
    return copy;
}

}  // namespace

TEST(MimeTable, TypesAndKindsByExtension) {
    struct Case {
        const char* name;
        const char* mime;
        const char* kind;
    };
    const Case cases[] = {
        // Every row of the table, in its order.
        {"a.jpg", "image/jpeg", "image"},
        {"a.jpeg", "image/jpeg", "image"},
        {"a.jpe", "image/jpeg", "image"},
        {"a.png", "image/png", "image"},
        {"a.gif", "image/gif", "image"},
        {"a.bmp", "image/bmp", "image"},
        {"a.webp", "image/webp", "image"},
        {"a.svg", "image/svg+xml", "image"},
        {"a.ico", "image/vnd.microsoft.icon", "image"},
        {"a.tif", "image/tiff", "image"},
        {"a.tiff", "image/tiff", "image"},
        {"a.heic", "image/heic", "image"},
        {"a.heif", "image/heif", "image"},
        {"a.mp4", "video/mp4", "video"},
        {"a.m4v", "video/mp4", "video"},
        {"a.mov", "video/quicktime", "video"},
        {"a.avi", "video/x-msvideo", "video"},
        {"a.mkv", "video/x-matroska", "video"},
        {"a.webm", "video/webm", "video"},
        {"a.wmv", "video/x-ms-wmv", "video"},
        {"a.flv", "video/x-flv", "video"},
        {"a.mp3", "audio/mpeg", "audio"},
        {"a.wav", "audio/x-wav", "audio"},
        {"a.m4a", "audio/mp4", "audio"},
        {"a.aac", "audio/aac", "audio"},
        {"a.flac", "audio/flac", "audio"},
        {"a.ogg", "audio/ogg", "audio"},
        {"a.oga", "audio/ogg", "audio"},
        {"a.wma", "audio/x-ms-wma", "audio"},
        {"a.opus", "audio/opus", "audio"},
        {"a.pdf", "application/pdf", "pdf"},
        {"a.zip", "application/zip", "archive"},
        {"a.rar", "application/vnd.rar", "archive"},
        {"a.7z", "application/x-7z-compressed", "archive"},
        {"a.tar", "application/x-tar", "archive"},
        {"a.gz", "application/gzip", "archive"},
        {"a.bz2", "application/x-bzip2", "file"},
        {"a.xz", "application/x-xz", "file"},
        {"a.doc", "application/msword", "doc"},
        {"a.docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
         "doc"},
        {"a.xls", "application/vnd.ms-excel", "sheet"},
        {"a.xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "sheet"},
        {"a.ppt", "application/vnd.ms-powerpoint", "slide"},
        {"a.pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation",
         "slide"},
        {"a.txt", "text/plain", "text"},
        {"a.md", "text/markdown", "text"},
        {"a.log", "text/plain", "text"},
        {"a.csv", "text/csv", "sheet"},
        {"a.json", "application/json", "text"},
        {"a.xml", "text/xml", "text"},
        {"a.html", "text/html", "text"},
        {"a.htm", "text/html", "text"},
        {"a.css", "text/css", "file"},
        {"a.js", "text/javascript", "file"},
        {"a.mjs", "text/javascript", "file"},
        {"a.exe", "application/x-msdownload", "file"},
        {"a.apk", "application/vnd.android.package-archive", "file"},
        // Case, several dots, folders, and names the table does not know.
        {"PHOTO.JPG", "image/jpeg", "image"},
        {"notes.MD", "text/markdown", "text"},
        {"README", "application/octet-stream", "file"},
        {"archive.tar.gz", "application/gzip", "archive"},
        {"photos/trip.2024/IMG", "application/octet-stream", "file"},
        {"photos.d\\clip.MOV", "video/quicktime", "video"},
        {"budget.et", "application/octet-stream", "sheet"},
        {"letter.wps", "application/octet-stream", "doc"},
        {"talk.dps", "application/octet-stream", "slide"},
        {".pdf", "application/pdf", "pdf"},
        {"trailing.", "application/octet-stream", "file"},
        {"a.jpgx", "application/octet-stream", "file"},
        {"", "application/octet-stream", "file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const char* mime = mime_for_name(c.name);
        EXPECT_STREQ(mime, c.mime);
        EXPECT_STREQ(file_kind(c.name, mime), c.kind);
    }
}

TEST(MimeExtension, LastComponentFromItsLastDotLowered) {
    struct Case {
        std::string name;
        std::string ext;
    };
    const Case cases[] = {
        {"a.TXT", ".txt"},
        {"a.tar.GZ", ".gz"},
        {".bashrc", ".bashrc"},
        {"dir.x/file", ""},
        {"dir.x\\file", ""},
        {"noext", ""},
        {"a.", "."},
        {"x.ÄB",
         ".\xC3\x84"
         "b"},  // only ASCII letters are lowered
        {"a." + std::string(100, 'Q'), "." + std::string(62, 'q')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char ext[MIME_EXT_BYTES];
        memset(ext, 'z', sizeof ext);
        mime_extension(c.name.c_str(), ext);
        EXPECT_EQ(std::string(ext), c.ext);
    }
}

namespace {

struct Row {
    std::string name;
    int is_dir;
    double mtime;
};

std::vector<std::string> sorted_names(const std::vector<Row>& rows) {
    std::vector<ListEntry> entries;
    for (const Row& r : rows)
        entries.push_back({const_cast<char*>(r.name.c_str()), 0, r.mtime, r.is_dir});
    list_sort(entries.data(), entries.size());
    std::vector<std::string> names;
    for (const ListEntry& e : entries) names.push_back(e.name);
    return names;
}

// The order as the listing defines it, step by step: a stable insertion sort by time (an
// entry passes its predecessor only when strictly newer), a stable partition of the folders
// to the front, and a stable insertion sort of the folders by name bytes.
std::vector<std::string> reference_order(std::vector<Row> rows) {
    for (size_t i = 1; i < rows.size(); i++)
        for (size_t j = i; j > 0 && rows[j].mtime > rows[j - 1].mtime; j--)
            std::swap(rows[j], rows[j - 1]);
    std::vector<Row> folders, files;
    for (const Row& r : rows) (r.is_dir ? folders : files).push_back(r);
    for (size_t i = 1; i < folders.size(); i++)
        for (size_t j = i;
             j > 0 && strcmp(folders[j].name.c_str(), folders[j - 1].name.c_str()) < 0; j--)
            std::swap(folders[j], folders[j - 1]);
    std::vector<std::string> names;
    for (const Row& r : folders) names.push_back(r.name);
    for (const Row& r : files) names.push_back(r.name);
    return names;
}

}  // namespace

TEST(ListSort, FoldersByBytesThenFilesNewestFirst) {
    struct Case {
        const char* what;
        std::vector<Row> rows;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"mixed folder",
         {{"old.txt", 0, 100}, {"b", 1, 50}, {"new.txt", 0, 200}, {"A", 1, 10}},
         {"A", "b", "new.txt", "old.txt"}},
        {"folder names by unsigned bytes, case-sensitive",
         {{"z", 1, 0}, {"\xE7\x85\xA7\xE7\x89\x87", 1, 0}, {"Z", 1, 0}, {"a", 1, 0}, {"_", 1, 0}},
         {"Z", "_", "a", "z", "\xE7\x85\xA7\xE7\x89\x87"}},
        {"equal times keep enumeration order",
         {{"c", 0, 5}, {"a", 0, 5}, {"newest", 0, 9}, {"b", 0, 5}},
         {"newest", "c", "a", "b"}},
        {"fractions of a second count",
         {{"x", 0, 1.25}, {"y", 0, 1.5}, {"z", 0, 1.0}},
         {"y", "x", "z"}},
        {"empty", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(sorted_names(c.rows), c.expected);
        EXPECT_EQ(reference_order(c.rows), c.expected);
    }
}

TEST(ListSort, SameOrderAsStepwiseInsertionSorts) {
    // Few distinct times and names, so ties are everywhere.
    std::mt19937 rng(20240607);
    for (int round = 0; round < 300; round++) {
        std::vector<Row> rows;
        int n = static_cast<int>(rng() % 40);
        for (int i = 0; i < n; i++) {
            bool dir = rng() % 3 == 0;
            std::string name = std::string(1, "aAbB_\xC3"[rng() % 6]) + std::to_string(i);
            rows.push_back({name, dir ? 1 : 0, static_cast<double>(rng() % 4) / 2});
        }
        ASSERT_EQ(sorted_names(rows), reference_order(rows)) << "round " << round;
    }
}

TEST(RelNormalize, CanonicalFormOrRefusal) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"", ""},
        {"/", ""},
        {"photos / trip/", "photos/trip"},
        {"photos\\trip", "photos/trip"},
        {"photos//trip", "<null>"},
        {".skiffbox", "<null>"},
        {"../x", "<null>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(take(rel_normalize(c.in)), c.out);
    }
    char a[] = "a", b[] = "b c";
    char* parts[] = {a, b};
    EXPECT_EQ(take(rel_join_text(parts, 2)), "a/b c");
    EXPECT_EQ(take(rel_join_text(parts, 0)), "");
}

TEST_F(InboxFixture, ListingJsonMembersSendersAndLinks) {
    fs::create_directories(inbox / "photos" / "sub");
    write_file(inbox / "photos" / "a b中.JPG", "12345");
    write_file(inbox / "photos" / "plain.txt", "x");
    write_file(inbox / "photos" / "nobody.txt", "x");
    write_file(inbox / "photos" / ".hidden", "x");
    fs::create_directory_symlink(inbox / "photos" / "sub", inbox / "photos" / "link");
    fs::create_symlink(inbox / "photos" / "plain.txt", inbox / "photos" / "filelink");
    set_age(inbox / "photos" / "a b中.JPG", 30);
    set_age(inbox / "photos" / "plain.txt", 20);
    set_age(inbox / "photos" / "nobody.txt", 10);
    set_mtime(inbox / "photos" / "sub", 1700000000);
    // The first record of a key wins; a record without a usable "from" shows this machine.
    write_file(state / "files.json",
               "{\"photos/a b中.JPG\": {\"from\": \"小米\", \"time\": 1},"
               " \"photos/plain.txt\": {\"from\": \"\", \"time\": 1},"
               " \"photos/a b中.JPG\": {\"from\": \"second\", \"time\": 2},"
               " \"a b中.JPG\": {\"from\": \"top\", \"time\": 1}}");

    StrBufOwner sb;
    ASSERT_EQ(list_folder_json(&config, sb.get(), " photos /"), 0);
    std::string json = sb.c_str();
    EXPECT_EQ(json.find("{\"name\": \"sub\", \"size\": 0, \"mtime\": 1700000000.000000, "
                        "\"from\": \"\", \"mime\": \"\", \"kind\": \"dir\", \"url\": \"\"}"),
              1u)
        << json;
    EXPECT_NE(json.find("{\"name\": \"a b中.JPG\", \"size\": 5, \"mtime\": "), std::string::npos);
    EXPECT_NE(json.find("\"from\": \"小米\", \"mime\": \"image/jpeg\", \"kind\": \"image\", "
                        "\"url\": \"/f/photos/a%20b%E4%B8%AD.JPG\"}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"name\": \"plain.txt\", \"size\": 1"), std::string::npos);
    EXPECT_EQ(json.find("second"), std::string::npos);
    EXPECT_EQ(json.find("top"), std::string::npos);
    EXPECT_EQ(json.find("link"), std::string::npos) << "links are never listed";
    EXPECT_EQ(json.find(".hidden"), std::string::npos);
    // Newest file first, after the folder.
    size_t nobody = json.find("nobody.txt"), plain = json.find("plain.txt"),
           photo = json.find("a b中.JPG");
    EXPECT_LT(nobody, plain);
    EXPECT_LT(plain, photo);
    EXPECT_NE(json.find("\"name\": \"nobody.txt\", \"size\": 1, \"mtime\": "), std::string::npos);
    EXPECT_NE(json.find("\"from\": \"本机\", \"mime\": \"text/plain\""), std::string::npos);
}

TEST_F(InboxFixture, ListingRefusesWhatIsNotAFolder) {
    fs::create_directories(inbox / "photos");
    write_file(inbox / "file.txt", "x");
    fs::create_directory_symlink(inbox / "photos", inbox / "link");
    for (const char* dir : {"file.txt", "link", "missing", ".skiffbox", "../x", "a//b"}) {
        SCOPED_TRACE(dir);
        StrBufOwner sb;
        EXPECT_EQ(list_folder_json(&config, sb.get(), dir), -1);
        EXPECT_EQ(sb->len, 0u);
    }
}

TEST_F(InboxFixture, ListingRecreatesAMissingInbox) {
    fs::remove_all(inbox);
    StrBufOwner sb;
    ASSERT_EQ(list_folder_json(&config, sb.get(), ""), 0);
    EXPECT_STREQ(sb.c_str(), "[]");
    EXPECT_TRUE(fs::is_directory(state));
}

TEST_F(InboxFixture, UsageCachedUntilAChangeOrAMinute) {
    write_file(inbox / "a.bin", "123");
    write_file(inbox / "sub" / "b.bin", "4567");
    write_file(inbox / ".hidden", "0123456789");
    write_file(state / "files.json", "{}");
    usage_invalidate();

    const double t0 = 1000.0;
    uint64_t files = 0, bytes = 0;
    usage_get_at(&config, t0, &files, &bytes);
    EXPECT_EQ(files, 2u);
    EXPECT_EQ(bytes, 7u);

    // Copied in by hand: unseen while the count is young and nothing changed.
    write_file(inbox / "c.bin", "12");
    usage_get_at(&config, t0 + 59, &files, &bytes);
    EXPECT_EQ(files, 2u);
    usage_get_at(&config, t0 + 60, &files, &bytes);
    EXPECT_EQ(files, 3u);
    EXPECT_EQ(bytes, 9u);

    // A change through the system is seen at once.
    write_file(inbox / "d.bin", "1");
    usage_get_at(&config, t0 + 61, &files, &bytes);
    EXPECT_EQ(files, 3u);
    usage_invalidate();
    usage_get_at(&config, t0 + 61, nullptr, &bytes);
    EXPECT_EQ(bytes, 10u);
    usage_get_at(&config, t0 + 62, &files, nullptr);
    EXPECT_EQ(files, 4u);
}

// Sizes and times are written exactly as printf's "%llu" and "%.6f" write them: fractions,
// times before 1970, halves of a microsecond and far futures alike.
TEST_F(InboxFixture, ListingNumbersAreWrittenAsPrintfWritesThem) {
    const struct timespec times[] = {
        {1700000000, 123456789}, {1700000000, 500}, {-86401, 1}, {0, 999}, {4102444800, 1000}};
    for (size_t i = 0; i < std::size(times); i++) {
        fs::path file = inbox / ("f" + std::to_string(i));
        write_file(file, std::string(i * 7, 'x'));
        const struct timespec both[2] = {times[i], times[i]};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), both, 0), 0);
    }
    size_t count = 0;
    ListEntry* entries = list_scan(inbox.string().c_str(), &count);
    StrBufOwner sb;
    ASSERT_EQ(list_folder_json(&config, sb.get(), ""), 0);
    std::string json = sb.c_str();
    ASSERT_EQ(count, std::size(times));
    for (size_t i = 0; i < count; i++) {
        char expected[512];
        snprintf(expected, sizeof expected, "\"size\": %llu, \"mtime\": %.6f, \"from\"",
                 static_cast<unsigned long long>(entries[i].size), entries[i].mtime);
        EXPECT_NE(json.find(expected), std::string::npos) << expected << "\n" << json;
    }
    list_free(entries, count);
}
