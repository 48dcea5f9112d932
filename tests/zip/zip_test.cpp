#include "zip/zip.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/fs.h"

namespace {

// The CRC-32 of the format computed bit by bit, as a reference independent of the tables.
uint32_t crc_bitwise(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int bit = 0; bit < 8; bit++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

std::vector<uint8_t> random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(gen());
    return bytes;
}

std::string hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::vector<std::string> form_names(const std::string& body, int max_names = ZIP_MAX_FILES + 1) {
    // An exact-size heap copy, so the sanitizers catch a read past the body.
    char* copy = static_cast<char*>(malloc(body.size() ? body.size() : 1));
    memcpy(copy, body.data(), body.size());
    char** names = nullptr;
    int count = -1;
    EXPECT_EQ(zip_form_names(copy, body.size(), max_names, &names, &count), 0);
    std::vector<std::string> out;
    for (int i = 0; i < count; i++) out.emplace_back(names[i]);
    zip_names_free(names, count);
    free(copy);
    return out;
}

std::string take(char* text) {
    EXPECT_NE(text, nullptr);
    std::string copy = text ? text : "";
    free(text);
    return copy;
}

}  // namespace

TEST(ZipCrc, KnownValuesAndEverySplitMatchTheBitwiseReference) {
    EXPECT_EQ(crc32_update(0, "hello", 5), 0x3610A686u);
    EXPECT_EQ(crc32_update(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32_update(0, "", 0), 0u);

    // Every length up to past the fast paths' 64-byte blocks, from unaligned starts.
    std::vector<uint8_t> data = random_bytes(1000, 7);
    for (size_t start = 0; start < 4; start++) {
        for (size_t n = 0; n + start <= 300; n++)
            ASSERT_EQ(crc32_update(0, data.data() + start, n), crc_bitwise(data.data() + start, n))
                << start << " " << n;
    }
    // One result continues into the next call at every split point.
    uint32_t whole = crc_bitwise(data.data(), data.size());
    for (size_t split = 0; split <= data.size(); split++) {
        uint32_t first = crc32_update(0, data.data(), split);
        ASSERT_EQ(crc32_update(first, data.data() + split, data.size() - split), whole) << split;
    }
}

TEST(ZipNameHash, IsFnv1aFromTheSystemsStartValue) {
    EXPECT_EQ(zip_name_hash("", 0), 0x14650FB0739D0383ull);
    EXPECT_EQ(zip_name_hash("a.txt", 5), 0xC02213A2A6864D20ull);
}

TEST(ZipList, KeepsTheFirstOfEachNameAndCountsOnlyAppendedSizes) {
    ZipList list{};
    EXPECT_EQ(zip_list_add(&list, "photos/a.jpg", "/in/photos/a.jpg", 100), 1);
    EXPECT_EQ(zip_list_add(&list, "photos/b.jpg", "/in/photos/b.jpg", 20), 1);
    EXPECT_EQ(zip_list_add(&list, "photos/a.jpg", "/elsewhere", 999), 0);
    EXPECT_EQ(zip_list_add(&list, "Photos/a.jpg", "/in/Photos/a.jpg", 1), 1);  // case counts
    ASSERT_EQ(list.count, 3);
    EXPECT_STREQ(list.entries[0].path, "/in/photos/a.jpg");
    EXPECT_EQ(list.file_bytes, 121u);
    EXPECT_EQ(list.name_bytes, 36u);

    // Thousands of names, each offered twice, through several growths of the index.
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < 5000; i++) {
            std::string name = "d/" + std::to_string(i);
            ASSERT_EQ(zip_list_add(&list, name.c_str(), "p", 1), round == 0 ? 1 : 0) << name;
        }
    }
    EXPECT_EQ(list.count, 5003);
    EXPECT_EQ(list.file_bytes, 121u + 5000u);
    for (int i = 0; i < list.count; i++) {
        EXPECT_EQ(list.hashes[i],
                  zip_name_hash(list.entries[i].name, strlen(list.entries[i].name)));
    }
    zip_list_free(&list);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.entries, nullptr);
}

TEST(ZipSizes, FileBytesLimitAndWholeArchiveLimit) {
    // The one-file archive of a 5-byte a.txt: 30 + 5 + 5, 46 + 5, 22.
    EXPECT_EQ(zip_archive_bytes(5, 1, 5), 113u);

    struct Case {
        uint64_t file_bytes;
        int entries;
        uint64_t name_bytes;
        int fits;
    };
    const uint64_t room = ZIP_MAX_ARCHIVE_BYTES - ZIP_MAX_BYTES;  // 65,535 bytes for headers
    const Case cases[] = {
        {ZIP_MAX_BYTES, 1, 10, 1},       // the largest selection, its headers fit
        {ZIP_MAX_BYTES + 1, 1, 10, 0},   // one byte over the file limit
        {ZIP_MAX_BYTES, 100, 2000, 1},   // 100 * 76 + 2 * 2000 + 22 = 11,622
        {ZIP_MAX_BYTES, 800, 16000, 0},  // 800 * 76 + 2 * 16000 + 22 = 92,822 > 65,535
        // Exactly at the last byte a 32-bit offset reaches, and one byte beyond it.
        {ZIP_MAX_BYTES - 100000 + room, 1000, (100000 - 76000 - 22) / 2, 1},
        {ZIP_MAX_BYTES - 100000 + room + 1, 1000, (100000 - 76000 - 22) / 2, 0},
        {0, 20000, 20000 * 1600, 1},  // no bytes at all, long names
    };
    for (const Case& c : cases) {
        ZipList list{};
        list.file_bytes = c.file_bytes;
        list.count = c.entries;
        list.name_bytes = c.name_bytes;
        EXPECT_EQ(zip_list_fits(&list), c.fits) << c.file_bytes << " " << c.entries;
    }
}

TEST(ZipDosTime, CalendarFieldsAndTheFormatsRange) {
    struct Case {
        ZipCalendar when;
        uint16_t date;
        uint16_t time;
    };
    const Case cases[] = {
        {{2024, 3, 15, 15, 30, 47}, 0x586F, 0x7BD7},  {{1980, 1, 1, 0, 0, 0}, 0x0021, 0x0000},
        {{1980, 1, 1, 0, 0, 1}, 0x0021, 0x0000},  // two-second resolution
        {{2107, 12, 31, 23, 59, 59}, 0xFF9F, 0xBF7D}, {{1975, 6, 1, 12, 0, 0}, 0x0021, 0x0000},
        {{2108, 1, 1, 0, 0, 0}, 0x0021, 0x0000},  // would wrap around to 1980
    };
    for (const Case& c : cases) {
        uint16_t date = 1, time = 1;
        zip_dos_from_calendar(&c.when, &date, &time);
        EXPECT_EQ(date, c.date) << c.when.year;
        EXPECT_EQ(time, c.time) << c.when.year;
    }
}

TEST(ZipDosTime, FileTimesAreTakenInLocalTime) {
    std::tm local{};
    local.tm_year = 2024 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 15;
    local.tm_hour = 15;
    local.tm_min = 30;
    local.tm_sec = 47;
    local.tm_isdst = -1;
    double mtime = static_cast<double>(std::mktime(&local));
    uint16_t date = 0, time = 0;
    zip_dos_time(mtime + 0.9, &date, &time);  // the fraction never rounds up a second
    EXPECT_EQ(date, 0x586F);
    EXPECT_EQ(time, 0x7BD7);

    local.tm_year = 1975 - 1900;
    zip_dos_time(static_cast<double>(std::mktime(&local)), &date, &time);
    EXPECT_EQ(date, 0x0021);
    EXPECT_EQ(time, 0);
    zip_dos_time(-5.0, &date, &time);
    EXPECT_EQ(date, 0x0021);
    EXPECT_EQ(time, 0);
}

TEST(ZipFormat, FixedRecordsByteForByte) {
    ZipEntryFacts facts{0x3610A686u, 5, 0x586F, 0x7BD7, 5, 0x01020304u};
    uint8_t local[ZIP_LOCAL_HEADER_BYTES];
    zip_put_local_header(local, &facts);
    EXPECT_EQ(hex(local, sizeof local),
              "504b0304"
              "1400"
              "0008"
              "0000"
              "d77b"
              "6f58"
              "86a61036"
              "05000000"
              "05000000"
              "0500"
              "0000");
    uint8_t central[ZIP_CENTRAL_HEADER_BYTES];
    zip_put_central_header(central, &facts);
    EXPECT_EQ(hex(central, sizeof central),
              "504b0102"
              "1403"  // made by: 2.0 on a Unix host
              "1400"
              "0008"
              "0000"
              "d77b"
              "6f58"
              "86a61036"
              "05000000"
              "05000000"
              "0500"
              "0000"
              "0000"
              "0000"
              "0000"
              "0000a401"
              "04030201");
    uint8_t end[ZIP_END_RECORD_BYTES];
    zip_put_end_record(end, 1, 51, 40);
    EXPECT_EQ(hex(end, sizeof end),
              "504b0506"
              "0000"
              "0000"
              "0100"
              "0100"
              "33000000"
              "28000000"
              "0000");
}

TEST(ZipFormNames, OnlyRawNameKeysWithNonEmptyDecodedValues) {
    struct Case {
        std::string body;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"", {}},
        {"name=", {}},
        {"name=&name=", {}},
        {"name=a.txt&name=b%2Fc.txt", {"a.txt", "b/c.txt"}},
        {"name=a+b%20c", {"a b c"}},
        {"name=x=y", {"x=y"}},
        {"&&name=x&", {"x"}},
        {"xname=a&filename=b&Name=c&na%6De=d&names=e&name", {}},
        {"dl=1&name=%E7%85%A7%E7%89%87", {"\xE7\x85\xA7\xE7\x89\x87"}},
        {"name=%zz&name=%", {"%zz", "%"}},
    };
    for (const Case& c : cases) EXPECT_EQ(form_names(c.body), c.names) << c.body;

    // Collecting stops at the caller's limit.
    EXPECT_EQ(form_names("name=1&name=2&name=3", 2), (std::vector<std::string>{"1", "2"}));
}

TEST(ZipDownload, NameAndContentDisposition) {
    ZipCalendar when{2024, 3, 15, 9, 30, 0};
    std::string name = take(zip_download_name(&when));
    EXPECT_EQ(name, "收件箱-20240315-0930.zip");
    EXPECT_EQ(take(zip_disposition(name.c_str())),
              "attachment; filename=\"-20240315-0930.zip\"; "
              "filename*=UTF-8''%E6%94%B6%E4%BB%B6%E7%AE%B1-20240315-0930.zip");
    EXPECT_EQ(take(zip_disposition("\xE6\x94\xB6\"")),
              "attachment; filename=\"files\"; filename*=UTF-8''%E6%94%B6%22");
}

// ---------------------------------------------------------------------------------------------
// Packing real files: a private inbox and a private temporary folder per test.

namespace {

namespace stdfs = std::filesystem;

uint32_t le32(const std::string& bytes, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

uint16_t le16(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) |
                                 static_cast<uint8_t>(bytes[at + 1]) << 8);
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const stdfs::path& path, const std::string& bytes) {
    stdfs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// One entry as the central directory describes it.
struct ReadEntry {
    std::string name;
    uint32_t crc;
    uint32_t size;
    std::string data;
};

// Walks the archive from its end record and checks that every central entry agrees with its
// local header; returns the entries in directory order.
std::vector<ReadEntry> read_archive(const std::string& zip) {
    std::vector<ReadEntry> out;
    EXPECT_GE(zip.size(), 22u);
    if (zip.size() < 22) return out;
    size_t end = zip.size() - 22;
    EXPECT_EQ(le32(zip, end), 0x06054B50u);
    uint16_t count = le16(zip, end + 8);
    EXPECT_EQ(le16(zip, end + 10), count);
    size_t dir = le32(zip, end + 16);
    EXPECT_EQ(dir + le32(zip, end + 12), end);
    for (uint16_t i = 0; i < count; i++) {
        EXPECT_EQ(le32(zip, dir), 0x02014B50u);
        ReadEntry entry;
        entry.crc = le32(zip, dir + 16);
        entry.size = le32(zip, dir + 24);
        uint16_t name_len = le16(zip, dir + 28);
        entry.name = zip.substr(dir + 46, name_len);
        size_t local = le32(zip, dir + 42);
        EXPECT_EQ(zip.compare(local + 10, 16, zip, dir + 12, 16), 0) << entry.name;
        EXPECT_EQ(le16(zip, local + 26), name_len);
        EXPECT_EQ(zip.substr(local + 30, name_len), entry.name);
        entry.data = zip.substr(local + 30 + name_len, entry.size);
        out.push_back(entry);
        dir += 46 + name_len;
    }
    return out;
}

class ZipFiles : public ::testing::Test {
  protected:
    stdfs::path root;
    stdfs::path inbox;
    stdfs::path temp;
    std::string saved_tmpdir;
    Config config{};

    void SetUp() override {
        fs_fault_reset();
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        root = stdfs::temp_directory_path() / ("zip_test_" + std::to_string(stamp));
        inbox = root / "inbox";
        temp = root / "tmp";
        stdfs::create_directories(inbox);
        stdfs::create_directories(temp);
        const char* old = getenv("TMPDIR");
        saved_tmpdir = old ? old : "";
        setenv("TMPDIR", temp.c_str(), 1);
        ASSERT_EQ(config_init(&config, inbox.c_str(), "", DEFAULT_PORT), 0);
    }
    void TearDown() override {
        fs_fault_reset();
        if (saved_tmpdir.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", saved_tmpdir.c_str(), 1);
        stdfs::remove_all(root);
    }

    size_t temp_files() const {
        size_t n = 0;
        for (auto it = stdfs::directory_iterator(temp); it != stdfs::directory_iterator(); ++it)
            n++;
        return n;
    }

    std::string in(const std::string& rel) const { return (inbox / rel).string(); }

    // Packs the entries; on success returns the archive's bytes and deletes the file.
    int pack(const std::vector<std::pair<std::string, std::string>>& items, std::string* zip) {
        std::vector<ZipEntry> entries;
        for (const auto& item : items)
            entries.push_back(
                {const_cast<char*>(item.first.c_str()), const_cast<char*>(item.second.c_str())});
        char path[ZIP_PATH_BYTES];
        int result =
            zip_write(entries.data(), static_cast<int32_t>(entries.size()), path, sizeof path);
        if (result == 0) {
            EXPECT_EQ(stdfs::path(path).parent_path(), temp);
            EXPECT_EQ(stdfs::path(path).filename().string().rfind("skf", 0), 0u) << path;
            *zip = read_all(path);
            EXPECT_EQ(fs_delete_file(path), 0);
        }
        return result;
    }
};

}  // namespace

TEST_F(ZipFiles, OneFileOfHelloIs113BytesWithItsCrc) {
    write_file(in("a.txt"), "hello");
    std::string zip;
    ASSERT_EQ(pack({{"a.txt", in("a.txt")}}, &zip), 0);
    ASSERT_EQ(zip.size(), 113u);
    EXPECT_EQ(le32(zip, 14), 0x3610A686u);
    EXPECT_EQ(zip.substr(30, 10), "a.txthello");
    EXPECT_EQ(le32(zip, 40 + 42), 0u);   // the entry's local header offset
    EXPECT_EQ(le32(zip, 91 + 12), 51u);  // directory size
    EXPECT_EQ(le32(zip, 91 + 16), 40u);  // directory offset
    auto entries = read_archive(zip);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data, "hello");
    EXPECT_EQ(temp_files(), 0u);
}

TEST_F(ZipFiles, SmallLargeAndEmptyFilesKeepTheirBytesAndCrcs) {
    // Sizes around the copy buffer: what fits after the header, exactly fills it, or streams
    // on with its header patched afterwards.
    const size_t sizes[] = {0,
                            1,
                            ZIP_COPY_BYTES - 30 - 5,
                            ZIP_COPY_BYTES - 30 - 4,
                            ZIP_COPY_BYTES,
                            3 * ZIP_COPY_BYTES + 17};
    std::vector<std::pair<std::string, std::string>> items;
    std::vector<std::string> contents;
    for (size_t i = 0; i < std::size(sizes); i++) {
        auto bytes = random_bytes(sizes[i], static_cast<unsigned>(i));
        contents.emplace_back(bytes.begin(), bytes.end());
        std::string name = "f" + std::to_string(i) + ".bin";  // 6 bytes
        write_file(in(name), contents.back());
        items.push_back({"dir/" + name, in(name)});
    }
    items.push_back({"照片/小明.txt", in("f1.bin")});
    std::string zip;
    ASSERT_EQ(pack(items, &zip), 0);
    auto entries = read_archive(zip);
    ASSERT_EQ(entries.size(), items.size());
    for (size_t i = 0; i < items.size(); i++) {
        const std::string& expected = i < contents.size() ? contents[i] : contents[1];
        EXPECT_EQ(entries[i].name, items[i].first);
        EXPECT_EQ(entries[i].data, expected) << i;
        EXPECT_EQ(entries[i].crc,
                  crc_bitwise(reinterpret_cast<const uint8_t*>(expected.data()), expected.size()))
            << i;
    }
    EXPECT_EQ(le16(zip, 6), 0x0800);  // UTF-8 names
}

TEST_F(ZipFiles, FailuresLeaveNoTemporaryFile) {
    write_file(in("a.txt"), "hello");
    std::string zip;
    char path[ZIP_PATH_BYTES];
    std::string present = in("a.txt");
    ZipEntry good{const_cast<char*>("a.txt"), present.data()};
    std::string missing = in("gone.txt");
    ZipEntry bad{const_cast<char*>("gone.txt"), const_cast<char*>(missing.c_str())};
    std::string folder = inbox.string();
    ZipEntry dir{const_cast<char*>("inbox"), const_cast<char*>(folder.c_str())};

    EXPECT_EQ(zip_write(&good, 1, nullptr, 10), ZIP_ERR_OUTPUT);
    EXPECT_EQ(zip_write(&good, 1, path, 1), ZIP_ERR_OUTPUT);
    EXPECT_EQ(zip_write(&good, 1, path, 8), ZIP_ERR_OUTPUT);  // the path does not fit
    EXPECT_EQ(zip_write(&good, 0, path, sizeof path), ZIP_ERR_WRITE);
    EXPECT_EQ(zip_write(nullptr, 1, path, sizeof path), ZIP_ERR_WRITE);
    ZipEntry pair[2] = {good, bad};
    EXPECT_EQ(zip_write(pair, 2, path, sizeof path), ZIP_ERR_INPUT);
    EXPECT_EQ(zip_write(&dir, 1, path, sizeof path), ZIP_ERR_INPUT);
    std::string long_name(65536, 'n');
    ZipEntry too_long{long_name.data(), good.path};
    EXPECT_EQ(zip_write(&too_long, 1, path, sizeof path), ZIP_ERR_WRITE);
    fs_fault_arm(FS_FAULT_WRITE_SHORT, 1);  // the directory's write fails: disk full
    EXPECT_EQ(zip_write(&good, 1, path, sizeof path), ZIP_ERR_WRITE);
    EXPECT_EQ(temp_files(), 0u);

    setenv("TMPDIR", (root / "no-such-folder").c_str(), 1);
    EXPECT_EQ(zip_write(&good, 1, path, sizeof path), ZIP_ERR_OUTPUT);
}

TEST_F(ZipFiles, FolderFilesSortedWithHiddenNamesAndLinksLeftOut) {
    write_file(in("photos/a.jpg"), "1");
    write_file(in("photos/a/b.jpg"), "22");
    write_file(in("photos/a b.jpg"), "333");
    write_file(in("photos/.secret"), "x");
    write_file(in("photos/.cache/c.jpg"), "x");
    write_file(in("photos/sub/deeper/d.jpg"), "4444");
    stdfs::create_directories(inbox / "photos/empty");
    write_file(in("outside/o.txt"), "x");
    stdfs::create_symlink(inbox / "outside/o.txt", inbox / "photos/file-link");
    stdfs::create_directory_symlink(inbox / "outside", inbox / "photos/dir-link");

    ZipFolderFile* files = nullptr;
    int32_t count = -1;
    ASSERT_EQ(zip_collect_folder(in("photos").c_str(), 100, &files, &count), 0);
    std::vector<std::string> rels;
    for (int32_t i = 0; i < count; i++) {
        rels.emplace_back(files[i].rel);
        EXPECT_EQ(files[i].path, in("photos/" + rels.back()));
        EXPECT_EQ(files[i].size, stdfs::file_size(files[i].path));
    }
    zip_folder_files_free(files, count);
    // '.' (0x2E) sorts before '/' (0x2F), ' ' before both.
    EXPECT_EQ(rels, (std::vector<std::string>{"a b.jpg", "a.jpg", "a/b.jpg", "sub/deeper/d.jpg"}));

    ASSERT_EQ(zip_collect_folder(in("photos/dir-link").c_str(), 100, &files, &count), 0);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(zip_collect_folder(in("photos/empty").c_str(), 100, &files, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(files, nullptr);

    // Past the limit the walk stops with one file more than allowed.
    ASSERT_EQ(zip_collect_folder(in("photos").c_str(), 2, &files, &count), 0);
    EXPECT_EQ(count, 3);
    zip_folder_files_free(files, count);
}

TEST_F(ZipFiles, DeepTreesAreWalkedWithoutRecursion) {
    stdfs::path deep = inbox / "top";
    for (int i = 0; i < 500; i++) deep /= "d";
    write_file(deep / "leaf.txt", "leaf");
    ZipFolderFile* files = nullptr;
    int32_t count = 0;
    ASSERT_EQ(zip_collect_folder(in("top").c_str(), 100, &files, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(strlen(files[0].rel), 500 * 2 + strlen("leaf.txt"));
    zip_folder_files_free(files, count);
}

TEST_F(ZipFiles, ExpansionResolvesDeduplicatesAndCountsFiles) {
    write_file(in("photos/a.jpg"), "a");
    write_file(in("photos/sub/b.jpg"), "bb");
    write_file(in("notes.txt"), "ccc");
    stdfs::create_directories(inbox / "empty");
    stdfs::create_directories(inbox / ".skiffbox");
    write_file(in(".skiffbox/files.json"), "{}");

    struct Case {
        std::vector<std::string> names;
        std::vector<std::string> entries;
        int folder_selected;
    };
    const Case cases[] = {
        {{"photos"}, {"photos/a.jpg", "photos/sub/b.jpg"}, 1},
        {{"photos/sub/b.jpg", "photos", "photos/a.jpg"}, {"photos/sub/b.jpg", "photos/a.jpg"}, 1},
        {{"notes.txt", "/notes.txt/", "notes.txt"}, {"notes.txt"}, 0},
        {{"missing.txt", "../notes.txt", ".skiffbox", ".skiffbox/files.json", "/", ""}, {}, 0},
        {{"missing.txt", "empty"}, {}, 1},
        {{"photos\\sub\\b.jpg", " notes.txt "}, {"photos/sub/b.jpg", "notes.txt"}, 0},
    };
    for (const Case& c : cases) {
        std::vector<char*> names;
        for (const auto& name : c.names) names.push_back(const_cast<char*>(name.c_str()));
        ZipList list{};
        int folder_selected = -1;
        ASSERT_EQ(zip_expand(&config, names.data(), static_cast<int>(names.size()), &list,
                             &folder_selected),
                  ZIP_EXPAND_OK);
        std::vector<std::string> got;
        for (int32_t i = 0; i < list.count; i++) got.emplace_back(list.entries[i].name);
        EXPECT_EQ(got, c.entries) << c.names[0];
        EXPECT_EQ(folder_selected, c.folder_selected) << c.names[0];
        zip_list_free(&list);
    }

    // Every file met counts towards the limit, also one selected again.
    std::vector<char*> many(ZIP_MAX_FILES + 1, const_cast<char*>("notes.txt"));
    ZipList list{};
    int folder_selected = 0;
    EXPECT_EQ(zip_expand(&config, many.data(), ZIP_MAX_FILES, &list, &folder_selected),
              ZIP_EXPAND_OK);
    zip_list_free(&list);
    EXPECT_EQ(zip_expand(&config, many.data(), ZIP_MAX_FILES + 1, &list, &folder_selected),
              ZIP_EXPAND_TOO_MANY);
    zip_list_free(&list);
}
