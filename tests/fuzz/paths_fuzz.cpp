// Inbox paths on arbitrary text. The two families must agree: every name the upload can store
// (a sanitised component, also once numbered) is reached again through its relative path, so
// rel_split of that path gives back exactly its components; and no component, strict or
// lenient, can hold a separator or ':', begin with '.', or name a device.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/text.h"
#include "fuzz_check.h"
#include "inbox/paths.h"

namespace {

std::vector<std::string> split_strict(const std::string& rel, int* count) {
    char** parts = nullptr;
    *count = rel_split(rel.c_str(), &parts);
    std::vector<std::string> out;
    for (int i = 0; i < *count; i++) out.push_back(parts[i]);
    rel_free(parts, *count);
    // Counting alone gives the same answer.
    FUZZ_CHECK(rel_split(rel.c_str(), nullptr) == *count);
    return out;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : "/") + p;
    return out;
}

std::string trimmed(const std::string& s) {
    char* t = utf8_trim(s.c_str());
    FUZZ_CHECK(t != nullptr);
    std::string out(t);
    free(t);
    return out;
}

// What every component that reaches the disk must be, from either family.
void check_component(const std::string& c) {
    FUZZ_CHECK(!c.empty());
    FUZZ_CHECK(c[0] != '.');
    FUZZ_CHECK(c.find_first_of("/\\:") == std::string::npos);
    FUZZ_CHECK(c.find('\0') == std::string::npos);
    FUZZ_CHECK(trimmed(c) == c);
    FUZZ_CHECK(utf8_count(c.c_str()) <= NAME_MAX_CHARS);
    FUZZ_CHECK(!name_is_reserved(c.c_str()));
}

// What a name made by the lenient side is besides: free of the bytes no platform stores, not
// ending in a dot (Windows would drop it), within the file system's limit with room for a
// number, and stable under a second sanitising.
void check_stored_name(const std::string& name) {
    check_component(name);
    for (unsigned char c : name) FUZZ_CHECK(c >= 0x20 && !strchr("\"*<>?|", c));
    FUZZ_CHECK(name.back() != '.');
    FUZZ_CHECK(path_name_size(name.c_str(), name.size()) <= NAME_MAX_SIZE - NAME_NUMBER_ROOM);
    char* again = name_sanitize(name.c_str());
    FUZZ_CHECK(again != nullptr && name == again);
    free(again);
}

// The inbox every joined path lies under; no file is ever touched through it.
const Config* fuzz_config() {
    static Config config = [] {
        Config made{};
        config_init(&made, "/inbox", "", DEFAULT_PORT);
        return made;
    }();
    return &config;
}

void check_strict(const std::string& rel) {
    int count = 0;
    std::vector<std::string> parts = split_strict(rel, &count);
    FUZZ_CHECK(count >= -1);
    if (count <= 0) return;
    size_t chars = 0;
    for (const std::string& c : parts) {
        check_component(c);
        chars += utf8_count(c.c_str());
    }
    FUZZ_CHECK(chars <= REL_MAX_CHARS);
    // What the strict side accepts can be joined under the inbox and read back.
    std::vector<char*> raw;
    for (std::string& c : parts) raw.push_back(c.data());
    char* abs = rel_join(fuzz_config(), raw.data(), count);
    FUZZ_CHECK(abs != nullptr);
    char* back = rel_from_abs(fuzz_config(), abs);
    FUZZ_CHECK(back != nullptr && joined(parts) == back);
    free(back);
    free(abs);
}

// A stored name as path_unique numbers it when the name is taken.
void number_name(std::string* name, int number) {
    char* numbered = name_numbered(name->c_str(), number);
    FUZZ_CHECK(numbered != nullptr);
    check_component(numbered);
    FUZZ_CHECK(path_name_size(numbered, strlen(numbered)) <= NAME_MAX_SIZE);
    *name = numbered;
    free(numbered);
}

void check_upload(const std::string& rel, int number) {
    int count = 0;
    char** parts = rel_split_upload(rel.c_str(), &count);
    FUZZ_CHECK(count >= 0 && (count == 0) == (parts == nullptr));
    std::vector<std::string> stored;
    for (int i = 0; i < count; i++) {
        check_stored_name(parts[i]);
        stored.push_back(parts[i]);
    }
    rel_free(parts, count);
    // path_unique may number the file (the last component) and the top-level folder of a
    // sent tree (the first, when there are more).
    if (!stored.empty() && number > 0) {
        number_name(&stored.back(), number);
        if (stored.size() > 1) number_name(&stored.front(), number / 2 + 1);
    }
    std::string path = joined(stored);
    if (stored.empty() || utf8_count(path.c_str()) > REL_MAX_CHARS) return;
    int back_count = 0;
    std::vector<std::string> back = split_strict(path, &back_count);
    FUZZ_CHECK(back_count == static_cast<int>(stored.size()));
    FUZZ_CHECK(back == stored);
}

// A file's name is a stored name that Explorer does not act on, also once numbered.
void check_file_name(const std::string& rel, int number) {
    char* file = name_sanitize_file(rel.c_str());
    FUZZ_CHECK(file != nullptr);
    check_stored_name(file);
    FUZZ_CHECK(!name_is_shell_active(file));
    std::string numbered = file;
    free(file);
    if (number > 0) number_name(&numbered, number);
    FUZZ_CHECK(!name_is_shell_active(numbered.c_str()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    unsigned b = in.take_byte();
    int number = b < 0x80 ? static_cast<int>(b) : static_cast<int>(in.take_below(0x7FFFFFFF));
    std::string rel = in.take_rest();
    rel = rel.c_str();  // client text arrives NUL-terminated
    check_strict(rel);
    check_upload(rel, number);
    char* name = name_sanitize(rel.c_str());
    FUZZ_CHECK(name != nullptr);
    check_stored_name(name);
    free(name);
    check_file_name(rel, number);
    return 0;
}
