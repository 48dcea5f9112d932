#include "zip/zip.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
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
    EXPECT_EQ(list.entries[0].size, 100u);  // the first of the name, planned with its size
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

TEST(ZipPlan, ExactLengthsWithZip64ExactlyWhereAValueReachesTheLimit) {
    const uint64_t FULL = ZIP64_FIELD_LIMIT;  // 0xFFFFFFFF
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, uint64_t>> entries;  // name, size
        uint64_t zip64_from;
        uint64_t directory_bytes;
        uint64_t directory_offset;
        uint64_t total;
    };
    const Case cases[] = {
        // 30 + 5 + 5, 46 + 5, 22.
        {"hello", {{"a.txt", 5}}, FULL, 51, 40, 113},
        // A file one byte short of the limit needs no ZIP64 field of its own; the directory
        // behind it starts past 4 GiB, so the end adds the ZIP64 end record and locator (76).
        {"file below", {{"big", FULL - 1}}, FULL, 49, 33 + FULL - 1, 33 + FULL - 1 + 49 + 98},
        // A file of exactly 0xFFFFFFFF bytes: 20 more in its local header, 20 in its central.
        {"file at", {{"big", FULL}}, FULL, 69, 53 + FULL, 53 + FULL + 69 + 98},
        // A local header at 0xFFFFFFFE, then at 0xFFFFFFFF (its central header adds 12).
        {"offset below", {{"a", FULL - 32}, {"b", 0}}, FULL, 94, FULL + 30, FULL + 30 + 94 + 98},
        {"offset at", {{"a", FULL - 31}, {"b", 0}}, FULL, 106, FULL + 31, FULL + 31 + 106 + 98},
        // The directory's offset one below a small limit, then at it.
        {"directory offset below", {{"a", 968}}, 1000, 47, 999, 999 + 47 + 22},
        {"directory offset at", {{"a", 969}}, 1000, 47, 1000, 1000 + 47 + 98},
        // The directory's size one below a small limit, then at it.
        {"directory size below", {{"abcd", 0}, {"abc", 0}}, 100, 99, 67, 67 + 99 + 22},
        {"directory size at", {{"abcd", 0}, {"abcd", 0}}, 100, 100, 68, 68 + 100 + 98},
    };
    for (const Case& c : cases) {
        std::vector<std::string> names;
        for (const auto& entry : c.entries) names.push_back(entry.first);
        std::vector<ZipEntry> entries;
        for (size_t i = 0; i < c.entries.size(); i++)
            entries.push_back({names[i].data(), const_cast<char*>("/nowhere"), c.entries[i].second});
        ZipPlan plan{};
        ASSERT_EQ(zip_plan(entries.data(), static_cast<int32_t>(entries.size()), c.zip64_from, &plan),
                  ZIP_PLAN_OK)
            << c.what;
        EXPECT_EQ(plan.directory.entries, entries.size()) << c.what;
        EXPECT_EQ(plan.directory.bytes, c.directory_bytes) << c.what;
        EXPECT_EQ(plan.directory.offset, c.directory_offset) << c.what;
        EXPECT_EQ(plan.total_bytes, c.total) << c.what;
    }

    ZipPlan plan{};
    std::string long_name(65536, 'n');
    ZipEntry entries[2] = {{const_cast<char*>("a"), const_cast<char*>("/a"), 1},
                           {long_name.data(), const_cast<char*>("/b"), 1}};
    EXPECT_EQ(zip_plan(entries, 1, FULL, &plan), ZIP_PLAN_OK);
    EXPECT_EQ(zip_plan(entries, 2, FULL, &plan), ZIP_PLAN_LONG_NAME);
    long_name.pop_back();  // 65,535 bytes still fit the name's field
    EXPECT_EQ(zip_plan(entries, 2, FULL, &plan), ZIP_PLAN_OK);
    EXPECT_EQ(zip_plan(entries, 0, FULL, &plan), ZIP_PLAN_EMPTY);
    EXPECT_EQ(zip_plan(nullptr, 1, FULL, &plan), ZIP_PLAN_EMPTY);
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

TEST(ZipFormat, PlainRecordsByteForByte) {
    ZipEntryFacts facts{0x3610A686u, 5, 0x586F, 0x7BD7, 5, 0x01020304u};
    ASSERT_EQ(zip_local_header_bytes(&facts, ZIP64_FIELD_LIMIT), 35u);
    uint8_t local[35];
    zip_put_local_header(local, &facts, "a.txt", ZIP64_FIELD_LIMIT);
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
              "0000"
              "612e747874");
    ASSERT_EQ(zip_central_header_bytes(&facts, ZIP64_FIELD_LIMIT), 51u);
    uint8_t central[51];
    zip_put_central_header(central, &facts, "a.txt", ZIP64_FIELD_LIMIT);
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
              "04030201"
              "612e747874");
    ZipDirectoryFacts dir{1, 51, 40};
    ASSERT_EQ(zip_end_bytes(&dir, ZIP64_FIELD_LIMIT), 22u);
    uint8_t end[ZIP_END_RECORD_BYTES];
    zip_put_end(end, &dir, ZIP64_FIELD_LIMIT);
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

TEST(ZipFormat, Zip64RecordsByteForByte) {
    // A file of 0x123456789 bytes whose local header lies at 4 GiB.
    ZipEntryFacts big{0x3610A686u, 0x123456789ull, 0x586F, 0x7BD7, 1, 0x100000000ull};
    ASSERT_EQ(zip_local_header_bytes(&big, ZIP64_FIELD_LIMIT), 30u + 1 + 20);
    uint8_t local[51];
    zip_put_local_header(local, &big, "b", ZIP64_FIELD_LIMIT);
    EXPECT_EQ(hex(local, sizeof local),
              "504b0304"
              "2d00"  // 4.5 needed: ZIP64
              "0008"
              "0000"
              "d77b"
              "6f58"
              "86a61036"
              "ffffffff"
              "ffffffff"
              "0100"
              "1400"  // 20 bytes of extra field
              "62"
              "0100"
              "1000"
              "8967452301000000"
              "8967452301000000");
    ASSERT_EQ(zip_central_header_bytes(&big, ZIP64_FIELD_LIMIT), 46u + 1 + 28);
    uint8_t central[75];
    zip_put_central_header(central, &big, "b", ZIP64_FIELD_LIMIT);
    EXPECT_EQ(hex(central, sizeof central),
              "504b0102"
              "2d03"
              "2d00"
              "0008"
              "0000"
              "d77b"
              "6f58"
              "86a61036"
              "ffffffff"
              "ffffffff"
              "0100"
              "1c00"
              "0000"
              "0000"
              "0000"
              "0000a401"
              "ffffffff"
              "62"
              "0100"
              "1800"
              "8967452301000000"
              "8967452301000000"
              "0000000001000000");

    // A small file behind the 4 GiB mark: a plain local header, the offset alone in the
    // central header's extra field.
    ZipEntryFacts late{0, 0, 0x0021, 0, 1, 0x1FFFFFFFFull};
    EXPECT_EQ(zip_local_header_bytes(&late, ZIP64_FIELD_LIMIT), 31u);
    ASSERT_EQ(zip_central_header_bytes(&late, ZIP64_FIELD_LIMIT), 46u + 1 + 12);
    uint8_t late_central[59];
    zip_put_central_header(late_central, &late, "c", ZIP64_FIELD_LIMIT);
    EXPECT_EQ(hex(late_central + 4, 4), "2d032d00");
    EXPECT_EQ(hex(late_central + 20, 8), "0000000000000000");
    EXPECT_EQ(hex(late_central + 30, 2), "0c00");
    EXPECT_EQ(hex(late_central + 42, 4), "ffffffff");
    EXPECT_EQ(hex(late_central + 47, 12), "01000800ffffffff01000000");

    // The end of an archive whose directory of 3 entries (0x40 bytes) starts at 4 GiB.
    ZipDirectoryFacts dir{3, 0x40, 0x100000000ull};
    ASSERT_EQ(zip_end_bytes(&dir, ZIP64_FIELD_LIMIT), 98u);
    uint8_t end[98];
    zip_put_end(end, &dir, ZIP64_FIELD_LIMIT);
    EXPECT_EQ(hex(end, sizeof end),
              "504b0606"
              "2c00000000000000"  // 44 bytes follow
              "2d03"
              "2d00"
              "00000000"
              "00000000"
              "0300000000000000"
              "0300000000000000"
              "4000000000000000"
              "0000000001000000"
              "504b0607"
              "00000000"
              "4000000001000000"  // the ZIP64 end record's own offset
              "01000000"
              "504b0506"
              "0000"
              "0000"
              "0300"
              "0300"
              "40000000"  // fits: the real value
              "ffffffff"
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

void write_file(const stdfs::path& path, const std::string& bytes) {
    stdfs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

uint64_t le64(const std::string& bytes, size_t at) {
    return le32(bytes, at) | static_cast<uint64_t>(le32(bytes, at + 4)) << 32;
}

// One entry as the central directory describes it.
struct ReadEntry {
    std::string name;
    uint32_t crc;
    uint64_t size;
    std::string data;
    bool zip64_local;  // its local header has a ZIP64 extra field
    bool zip64_central;
};

// Reads the values of the ZIP64 extra field among extra_len bytes at at, in their order; the
// field must hold exactly the values expected.
std::vector<uint64_t> zip64_values(const std::string& zip, size_t at, size_t extra_len,
                                   size_t expected) {
    std::vector<uint64_t> values;
    if (extra_len == 0) {
        EXPECT_EQ(expected, 0u);
        return values;
    }
    EXPECT_EQ(le16(zip, at), 1u);
    EXPECT_EQ(static_cast<size_t>(le16(zip, at + 2)), 8 * expected);
    EXPECT_EQ(extra_len, 4 + 8 * expected);
    for (size_t i = 0; i < expected; i++) values.push_back(le64(zip, at + 4 + 8 * i));
    return values;
}

// Walks the archive from its end records (ZIP64 ones included) and checks that every central
// entry agrees with its local header and that the records are contiguous; returns the entries
// in directory order.
std::vector<ReadEntry> read_archive(const std::string& zip) {
    std::vector<ReadEntry> out;
    EXPECT_GE(zip.size(), 22u);
    if (zip.size() < 22) return out;
    size_t end = zip.size() - 22;
    EXPECT_EQ(le32(zip, end), 0x06054B50u);
    uint64_t count = le16(zip, end + 8);
    EXPECT_EQ(le16(zip, end + 10), count);
    uint64_t dir_bytes = le32(zip, end + 12);
    uint64_t dir = le32(zip, end + 16);
    size_t dir_end = end;
    if (end >= 76 && le32(zip, end - 20) == 0x07064B50u) {
        size_t record = le64(zip, end - 20 + 8);
        EXPECT_EQ(record, end - 76);
        EXPECT_EQ(le32(zip, record), 0x06064B50u);
        EXPECT_EQ(le64(zip, record + 4), 44u);
        if (count != 0xFFFF) {
            EXPECT_EQ(le64(zip, record + 24), count);
        }
        if (dir_bytes != 0xFFFFFFFF) {
            EXPECT_EQ(le64(zip, record + 40), dir_bytes);
        }
        if (dir != 0xFFFFFFFF) {
            EXPECT_EQ(le64(zip, record + 48), dir);
        }
        count = le64(zip, record + 24);
        dir_bytes = le64(zip, record + 40);
        dir = le64(zip, record + 48);
        dir_end = record;
    }
    EXPECT_EQ(dir + dir_bytes, dir_end);
    const uint64_t directory_start = dir;
    uint64_t next_local = 0;
    for (uint64_t i = 0; i < count; i++) {
        EXPECT_EQ(le32(zip, dir), 0x02014B50u);
        ReadEntry entry;
        entry.crc = le32(zip, dir + 16);
        uint32_t size32 = le32(zip, dir + 24);
        EXPECT_EQ(le32(zip, dir + 20), size32);
        uint16_t name_len = le16(zip, dir + 28);
        uint16_t extra_len = le16(zip, dir + 30);
        uint32_t local32 = le32(zip, dir + 42);
        entry.name = zip.substr(dir + 46, name_len);
        size_t wanted = (size32 == 0xFFFFFFFF ? 2 : 0) + (local32 == 0xFFFFFFFF ? 1 : 0);
        auto values = zip64_values(zip, dir + 46 + name_len, extra_len, wanted);
        entry.zip64_central = extra_len != 0;
        EXPECT_EQ(le16(zip, dir + 6), entry.zip64_central ? 45 : 20) << entry.name;
        entry.size = size32 == 0xFFFFFFFF ? values.at(0) : size32;
        uint64_t local = local32 == 0xFFFFFFFF ? values.back() : local32;
        EXPECT_EQ(local, next_local) << entry.name;

        EXPECT_EQ(le32(zip, local), 0x04034B50u);
        EXPECT_EQ(zip.compare(local + 10, 8, zip, dir + 12, 8), 0) << entry.name;  // date, CRC
        EXPECT_EQ(zip.compare(local + 18, 8, zip, dir + 20, 8), 0) << entry.name;  // sizes
        EXPECT_EQ(le16(zip, local + 26), name_len);
        EXPECT_EQ(zip.substr(local + 30, name_len), entry.name);
        uint16_t local_extra = le16(zip, local + 28);
        auto local_values =
            zip64_values(zip, local + 30 + name_len, local_extra, size32 == 0xFFFFFFFF ? 2 : 0);
        entry.zip64_local = local_extra != 0;
        EXPECT_EQ(le16(zip, local + 4), entry.zip64_local ? 45 : 20) << entry.name;
        if (entry.zip64_local) {
            EXPECT_EQ(local_values, (std::vector<uint64_t>{entry.size, entry.size}));
        }
        size_t data = local + 30 + name_len + local_extra;
        entry.data = zip.substr(data, entry.size);
        next_local = data + entry.size;
        out.push_back(entry);
        dir += 46 + name_len + extra_len;
    }
    EXPECT_EQ(next_local, directory_start);  // the entries fill the archive up to the directory
    return out;
}

// A sink that appends to a text, refuses bytes past fail_after (when set), and calls hook
// before it takes each write.
struct MemorySink {
    std::string bytes;
    size_t fail_after = SIZE_MAX;
    std::function<void(MemorySink*)> hook;
    int writes = 0;

    static int write(void* context, const void* data, size_t len) {
        auto* sink = static_cast<MemorySink*>(context);
        if (sink->hook) sink->hook(sink);
        sink->writes++;
        if (sink->bytes.size() + len > sink->fail_after) return 0;
        sink->bytes.append(static_cast<const char*>(data), len);
        return 1;
    }
};

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

    // Plans and streams the entries into sink; the result of the stream, or of the plan
    // when that fails. A finished stream must have produced exactly the planned length, a
    // failed one less than it.
    int pack_entries(const std::vector<ZipEntry>& entries, MemorySink* sink,
                     uint64_t zip64_from = ZIP64_FIELD_LIMIT) {
        ZipPlan plan{};
        int planned =
            zip_plan(entries.data(), static_cast<int32_t>(entries.size()), zip64_from, &plan);
        if (planned != ZIP_PLAN_OK) return planned;
        ZipStreamOwner stream(zip_stream_new(&plan));
        EXPECT_NE(stream.get(), nullptr);
        if (!stream.get()) return -100;
        ZipSink out{MemorySink::write, sink};
        int result = zip_stream_send(stream.get(), &out);
        if (result == ZIP_STREAM_OK)
            EXPECT_EQ(sink->bytes.size(), plan.total_bytes);
        else
            EXPECT_LT(sink->bytes.size(), plan.total_bytes);
        planned_total = plan.total_bytes;
        return result;
    }

    // The same for (archive name, disk path) pairs, sized now as the expansion sizes them.
    int pack(const std::vector<std::pair<std::string, std::string>>& items, std::string* zip,
             uint64_t zip64_from = ZIP64_FIELD_LIMIT) {
        std::vector<ZipEntry> entries;
        for (const auto& item : items) {
            std::error_code error;
            uint64_t size = stdfs::file_size(item.second, error);
            entries.push_back({const_cast<char*>(item.first.c_str()),
                               const_cast<char*>(item.second.c_str()), error ? 0 : size});
        }
        MemorySink sink;
        int result = pack_entries(entries, &sink, zip64_from);
        *zip = sink.bytes;
        return result;
    }

    uint64_t planned_total = 0;
};

// Whether the bytes end the way a complete archive ends.
bool ends_like_an_archive(const std::string& zip) {
    return zip.size() >= 22 && le32(zip, zip.size() - 22) == 0x06054B50u;
}

}  // namespace

TEST_F(ZipFiles, OneFileOfHelloIs113BytesWithItsCrc) {
    write_file(in("a.txt"), "hello");
    std::string zip;
    ASSERT_EQ(pack({{"a.txt", in("a.txt")}}, &zip), ZIP_STREAM_OK);
    ASSERT_EQ(zip.size(), 113u);
    EXPECT_EQ(le32(zip, 14), 0x3610A686u);
    EXPECT_EQ(zip.substr(30, 10), "a.txthello");
    EXPECT_EQ(le32(zip, 40 + 42), 0u);   // the entry's local header offset
    EXPECT_EQ(le32(zip, 91 + 12), 51u);  // directory size
    EXPECT_EQ(le32(zip, 91 + 16), 40u);  // directory offset
    auto entries = read_archive(zip);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data, "hello");
    EXPECT_EQ(temp_files(), 0u);  // nothing of the archive touched the disk
}

TEST_F(ZipFiles, EveryLayoutKeepsBytesAndCrcsAndTheExactLength) {
    // Sizes around the buffer: what fits it behind its header (read once), one byte more
    // (read for the CRC, then again while sent), and a large file of several pieces.
    const size_t head = ZIP_LOCAL_HEADER_BYTES + 10;  // "dir/fN.bin"
    const size_t sizes[] = {0,
                            1,
                            ZIP_BUFFER_BYTES - head - 20,  // still fits with a ZIP64 field
                            ZIP_BUFFER_BYTES - head,
                            ZIP_BUFFER_BYTES - head + 1,
                            ZIP_BUFFER_BYTES + 3 * ZIP_PIECE_BYTES + 17};
    std::vector<std::pair<std::string, std::string>> items;
    std::vector<std::string> contents;
    std::vector<uint32_t> crcs;
    for (size_t i = 0; i < std::size(sizes); i++) {
        auto bytes = random_bytes(sizes[i], static_cast<unsigned>(i));
        contents.emplace_back(bytes.begin(), bytes.end());
        crcs.push_back(crc_bitwise(bytes.data(), bytes.size()));
        std::string name = "f" + std::to_string(i) + ".bin";
        write_file(in(name), contents.back());
        items.push_back({"dir/" + name, in(name)});
    }
    items.push_back({"照片/小明.txt", in("f1.bin")});
    contents.push_back(contents[1]);
    crcs.push_back(crcs[1]);

    // The real limit (plain ZIP), and limits that put values into ZIP64 records: everything;
    // sizes from 1 byte (the empty file stays plain) and every offset but the first; the
    // largest file's size and the later offsets; the last two offsets alone (the archive holds
    // under five buffers).
    const uint64_t limits[] = {ZIP64_FIELD_LIMIT, 0, 1, ZIP_BUFFER_BYTES, 5 * ZIP_BUFFER_BYTES / 2};
    for (uint64_t limit : limits) {
        std::string zip;
        ASSERT_EQ(pack(items, &zip, limit), ZIP_STREAM_OK) << limit;
        auto entries = read_archive(zip);
        ASSERT_EQ(entries.size(), items.size()) << limit;
        bool any_zip64 = false;
        for (size_t i = 0; i < items.size(); i++) {
            EXPECT_EQ(entries[i].name, items[i].first);
            EXPECT_TRUE(entries[i].data == contents[i]) << limit << " " << i;
            EXPECT_EQ(entries[i].crc, crcs[i]) << limit << " " << i;
            EXPECT_EQ(entries[i].zip64_local, contents[i].size() >= limit) << limit << " " << i;
            any_zip64 = any_zip64 || entries[i].zip64_central;
        }
        bool zip64_end = zip.size() >= 98 && le32(zip, zip.size() - 42) == 0x07064B50u;
        EXPECT_EQ(any_zip64 || zip64_end, limit != ZIP64_FIELD_LIMIT) << limit;
        EXPECT_EQ(le16(zip, 6), 0x0800);  // UTF-8 names
    }
    EXPECT_EQ(temp_files(), 0u);
}

TEST_F(ZipFiles, DirectoryLargerThanTheBufferGoesOutInBatches) {
    write_file(in("x.txt"), "x");
    // 1,000 entries of one small file under 5,000-byte names: over 5 MB of central directory.
    std::vector<std::pair<std::string, std::string>> items;
    for (int i = 0; i < 1000; i++)
        items.push_back({std::string(4990, 'd') + "/" + std::to_string(1000 + i), in("x.txt")});
    for (uint64_t limit : {ZIP64_FIELD_LIMIT, uint64_t{1000}}) {
        std::string zip;
        ASSERT_EQ(pack(items, &zip, limit), ZIP_STREAM_OK);
        auto entries = read_archive(zip);
        ASSERT_EQ(entries.size(), items.size());
        EXPECT_EQ(entries.back().name, items.back().first);
        EXPECT_EQ(entries.back().data, "x");
    }
}

TEST_F(ZipFiles, FailuresStopShortOfACompleteArchive) {
    write_file(in("a.txt"), "hello");
    write_file(in("b.txt"), "world");
    std::string a = in("a.txt"), gone = in("gone.txt"), folder = inbox.string();
    auto entry = [](const char* name, const std::string& path, uint64_t size) {
        return ZipEntry{const_cast<char*>(name), const_cast<char*>(path.c_str()), size};
    };
    struct Case {
        const char* what;
        std::vector<ZipEntry> entries;
        size_t fail_after;
        int result;
    };
    const Case cases[] = {
        {"missing", {entry("a.txt", a, 5), entry("gone.txt", gone, 3)}, SIZE_MAX,
         ZIP_STREAM_CHANGED},
        {"a folder", {entry("a.txt", a, 5), entry("inbox", folder, 0)}, SIZE_MAX,
         ZIP_STREAM_CHANGED},
        {"grew since planned", {entry("a.txt", a, 4)}, SIZE_MAX, ZIP_STREAM_CHANGED},
        {"shrank since planned", {entry("b.txt", a, 5), entry("a.txt", a, 6)}, SIZE_MAX,
         ZIP_STREAM_CHANGED},
        {"receiver gone at once", {entry("a.txt", a, 5)}, 0, ZIP_STREAM_SINK},
        {"receiver gone at the directory", {entry("a.txt", a, 5)}, 40, ZIP_STREAM_SINK},
    };
    for (const Case& c : cases) {
        MemorySink sink;
        sink.fail_after = c.fail_after;
        EXPECT_EQ(pack_entries(c.entries, &sink), c.result) << c.what;
        EXPECT_FALSE(ends_like_an_archive(sink.bytes)) << c.what;
    }
    // The entries before the failing one went out whole.
    MemorySink sink;
    ASSERT_EQ(pack_entries(cases[0].entries, &sink), ZIP_STREAM_CHANGED);
    EXPECT_EQ(sink.bytes.size(), 40u);
    EXPECT_EQ(sink.bytes.substr(30), "a.txthello");
    EXPECT_EQ(temp_files(), 0u);
}

TEST_F(ZipFiles, AFileChangedBetweenItsCrcAndItsSendingFailsTheArchive) {
    // Larger than the buffer: read once for the CRC, once more while it is sent. The change
    // happens when the local header (with the CRC of the first read) reaches the sink.
    const size_t size = ZIP_BUFFER_BYTES + ZIP_PIECE_BYTES;
    auto bytes = random_bytes(size, 3);
    std::string original(bytes.begin(), bytes.end());
    std::string path = in("big.bin");
    struct Case {
        const char* what;
        std::function<void()> change;
    };
    const Case cases[] = {
        {"same size, other bytes",
         [&] {
             std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(static_cast<std::streamoff>(size - 10));
             f.put(static_cast<char>(~original[size - 10]));
         }},
        {"grew", [&] { std::ofstream(path, std::ios::app | std::ios::binary) << "more"; }},
        {"shrank", [&] { stdfs::resize_file(path, size - ZIP_PIECE_BYTES / 2); }},
        {"unchanged", [] {}},
    };
    for (const Case& c : cases) {
        write_file(path, original);
        MemorySink sink;
        bool changed = false;
        sink.hook = [&](MemorySink*) {
            if (!changed) c.change();
            changed = true;
        };
        std::vector<ZipEntry> entries = {{const_cast<char*>("big.bin"), path.data(), size},
                                         {const_cast<char*>("big2.bin"), path.data(), size}};
        int result = pack_entries(entries, &sink);
        if (std::string(c.what) == "unchanged") {
            EXPECT_EQ(result, ZIP_STREAM_OK);
            EXPECT_EQ(read_archive(sink.bytes).size(), 2u);
        } else {
            EXPECT_EQ(result, ZIP_STREAM_CHANGED) << c.what;
            // Stopped within the first entry: no second header, no directory.
            EXPECT_LE(sink.bytes.size(), ZIP_LOCAL_HEADER_BYTES + 7 + size) << c.what;
            EXPECT_FALSE(ends_like_an_archive(sink.bytes)) << c.what;
        }
    }
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
