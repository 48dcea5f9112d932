#include "zip/zip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

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
              "1400"
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
