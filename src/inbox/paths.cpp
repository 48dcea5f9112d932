#include "inbox/paths.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/config.h"
#include "base/strbuf.h"
#include "base/text.h"

const char* const NAME_FALLBACK = "未命名文件";

namespace {

// Device names that Windows opens instead of a file; the entries with a trailing byte pair are
// the superscript digits 1-3 (U+00B9, U+00B2, U+00B3), which Windows treats as 1-3.
const char* const RESERVED_NAMES[] = {
    "CON",         "PRN",         "AUX",         "NUL",         "COM1",        "COM2",
    "COM3",        "COM4",        "COM5",        "COM6",        "COM7",        "COM8",
    "COM9",        "LPT1",        "LPT2",        "LPT3",        "LPT4",        "LPT5",
    "LPT6",        "LPT7",        "LPT8",        "LPT9",        "COM\xC2\xB9", "COM\xC2\xB2",
    "COM\xC2\xB3", "LPT\xC2\xB9", "LPT\xC2\xB2", "LPT\xC2\xB3",
};

// The bytes that cannot appear in a name on one platform or another, besides control bytes.
bool is_forbidden_name_byte(unsigned char c) {
    return c < 0x20 || strchr("\"*/:<>?\\|", c);
}

// Bytes of the longest prefix of text[0..len) made of whole characters that has at most
// max_chars characters and a path_name_size of at most max_size.
size_t prefix_within(const char* text, size_t len, size_t max_chars, size_t max_size) {
    size_t bytes = 0;
    size_t size = 0;
    for (size_t chars = 0; chars < max_chars && bytes < len; chars++) {
        size_t step = utf8_step(text + bytes);
        if (step == 0 || bytes + step > len) break;
        size_t step_size = path_name_size(text + bytes, step);
        if (size + step_size > max_size) break;
        size += step_size;
        bytes += step;
    }
    return bytes;
}

// A new text: head[0..head_len) followed by tail.
char* concat(const char* head, size_t head_len, const char* tail) {
    size_t tail_len = strlen(tail);
    char* text = static_cast<char*>(malloc(head_len + tail_len + 1));
    if (!text) return nullptr;
    memcpy(text, head, head_len);
    memcpy(text + head_len, tail, tail_len + 1);
    return text;
}

// Strips Unicode white space (exactly as utf8_trim, which the strict split applies) and dots
// from both ends until neither is left, so that the strict split reads the name unchanged and
// Windows, which drops trailing dots and spaces, stores it under the same name. Frees *name
// and replaces it; false when memory runs out.
bool strip_ends(char** name) {
    for (;;) {
        char* trimmed = utf8_trim(*name);
        if (!trimmed) return false;
        size_t len = strlen(trimmed);
        size_t start = 0;
        while (start < len && trimmed[start] == '.') start++;
        while (len > start && trimmed[len - 1] == '.') len--;
        bool unchanged = start == 0 && len == strlen(*name);
        if (start) memmove(trimmed, trimmed + start, len - start);
        trimmed[len - start] = 0;
        free(*name);
        *name = trimmed;
        if (unchanged) return true;
    }
}

// The length cut of a name that is too long, or null when it fits (sets *failed when memory
// runs out). More than NAME_MAX_CHARS characters keep the first NAME_CUT_CHARS and the
// extension, or the first NAME_MAX_CHARS when the extension would not leave that much; a name
// still too large for the file system keeps as much of its stem as fits beside the extension
// and NAME_NUMBER_ROOM, or is cut whole when not even one character of the stem would.
char* cut_to_limits(const char* name, bool* failed) {
    char stem[PATH_STEM_BYTES];
    char* result = nullptr;
    if (utf8_count(name) > NAME_MAX_CHARS) {
        const char* ext = path_split_ext(name, stem);
        if (NAME_CUT_CHARS + utf8_count(ext) <= NAME_MAX_CHARS)
            result = concat(name, utf8_prefix_bytes(name, NAME_CUT_CHARS), ext);
        else
            result = text_copy_n(name, utf8_prefix_bytes(name, NAME_MAX_CHARS));
        if (!result) {
            *failed = true;
            return nullptr;
        }
    }
    const char* current = result ? result : name;
    const size_t current_len = strlen(current);
    const size_t max_size = NAME_MAX_SIZE - NAME_NUMBER_ROOM;
    if (path_name_size(current, current_len) <= max_size) return result;

    const char* ext = path_split_ext(current, stem);
    const size_t stem_len = static_cast<size_t>(ext - current);
    const size_t ext_size = path_name_size(ext, strlen(ext));
    size_t keep = 0;
    if (ext_size < max_size) keep = prefix_within(current, stem_len, SIZE_MAX, max_size - ext_size);
    char* smaller =
        keep > 0 ? concat(current, keep, ext)
                 : text_copy_n(current, prefix_within(current, current_len, SIZE_MAX, max_size));
    free(result);
    if (!smaller) *failed = true;
    return smaller;
}

// The extensions that Explorer acts on when it merely shows a file: shortcuts (.lnk), shell
// commands (.scf), internet shortcuts (.url, whose icon may name a network path), libraries
// and search connectors. All of .url goes: inspecting its icon line is more than it is worth.
const char* const SHELL_ACTIVE_EXTENSIONS[] = {".lnk", ".scf", ".url", ".library-ms",
                                               ".searchConnector-ms"};
// Explorer reads this file of every folder it shows.
constexpr const char* FOLDER_SETTINGS_NAME = "desktop.ini";
// What a name Explorer would act on gets after it: an extension Explorer only displays.
constexpr const char* SHELL_DEFUSED_SUFFIX = ".txt";

// The letter the bytes at p stand for when Windows compares names by their upper case, with
// *step set to their length: ASCII letters in lower case, and the two letters whose upper
// case is ASCII: dotless i (U+0131) and long s (U+017F).
char windows_letter(const char* p, size_t* step) {
    auto b0 = static_cast<unsigned char>(p[0]);
    auto b1 = b0 ? static_cast<unsigned char>(p[1]) : 0;
    *step = 2;
    if (b0 == 0xC4 && b1 == 0xB1) return 'i';
    if (b0 == 0xC5 && b1 == 0xBF) return 's';
    *step = 1;
    return b0 >= 'A' && b0 <= 'Z' ? static_cast<char>(b0 - 'A' + 'a') : static_cast<char>(b0);
}

// True when Windows sees name and the ASCII word as one name.
bool windows_same_name(const char* name, const char* word) {
    while (*name && *word) {
        size_t step = 1;
        char w = *word >= 'A' && *word <= 'Z' ? static_cast<char>(*word - 'A' + 'a') : *word;
        if (windows_letter(name, &step) != w) return false;
        name += step;
        word++;
    }
    return !*name && !*word;
}

// FNV-1a of a key: spreads the numbers' slots.
size_t key_hash(const char* key) {
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p; p++) {
        hash ^= *p;
        hash *= 1099511628211ull;
    }
    return static_cast<size_t>(hash);
}

// The slot of key in a table of the given capacity (a power of two): the one holding it, or
// the free slot where it would go.
PathNumberSlot* find_slot(PathNumberSlot* slots, size_t capacity, const char* key) {
    size_t i = key_hash(key) & (capacity - 1);
    while (slots[i].key && strcmp(slots[i].key, key) != 0) i = (i + 1) & (capacity - 1);
    return &slots[i];
}

// Doubles the table (16 slots first), keeping it at most half full. False without memory.
bool grow_numbers(PathNumbers* numbers) {
    size_t capacity = numbers->capacity ? numbers->capacity * 2 : 16;
    if (capacity > SIZE_MAX / sizeof(PathNumberSlot)) return false;
    auto* slots = static_cast<PathNumberSlot*>(calloc(capacity, sizeof(PathNumberSlot)));
    if (!slots) return false;
    for (size_t i = 0; i < numbers->capacity; i++)
        if (numbers->slots[i].key)
            *find_slot(slots, capacity, numbers->slots[i].key) = numbers->slots[i];
    free(numbers->slots);
    numbers->slots = slots;
    numbers->capacity = capacity;
    return true;
}

// The last number used for key, or -1 when none is known.
int last_number(const PathNumbers* numbers, const char* key) {
    if (!numbers || numbers->capacity == 0) return -1;
    const PathNumberSlot* slot = find_slot(numbers->slots, numbers->capacity, key);
    return slot->key ? slot->number : -1;
}

// Records number as the last one used for key. Forgetting is harmless (the next search merely
// starts lower), so running out of memory is ignored.
void remember_number(PathNumbers* numbers, const char* key, int number) {
    if (!numbers) return;
    if ((numbers->count + 1) * 2 > numbers->capacity && !grow_numbers(numbers)) return;
    PathNumberSlot* slot = find_slot(numbers->slots, numbers->capacity, key);
    if (!slot->key) {
        slot->key = text_copy(key);
        if (!slot->key) return;
        numbers->count++;
    }
    slot->number = number;
}

}  // namespace

const char* path_split_ext(const char* name, char* stem) {
    const char* last_sep = nullptr;
    const char* last_dot = nullptr;
    const char* end = name;
    for (; *end; end++) {
        if (*end == '/' || *end == '\\') last_sep = end;
        if (*end == '.') last_dot = end;
    }
    const char* component = last_sep ? last_sep + 1 : name;
    bool has_ext = false;
    if (last_dot && last_dot >= component) {
        for (const char* p = component; p < last_dot; p++)
            if (*p != '.') has_ext = true;
    }
    const char* stem_end = has_ext ? last_dot : end;
    size_t stem_len = static_cast<size_t>(stem_end - name);
    if (stem_len > PATH_STEM_BYTES - 1) stem_len = PATH_STEM_BYTES - 1;
    memcpy(stem, name, stem_len);
    stem[stem_len] = 0;
    return stem_end;
}

char* path_join(const char* dir, const char* name) {
    return fs_path_join(dir, name);
}

bool name_is_reserved(const char* name) {
    size_t len = 0;
    while (name[len] && name[len] != '.') len++;
    while (len > 0 && name[len - 1] == ' ') len--;
    for (const char* reserved : RESERVED_NAMES) {
        if (strlen(reserved) != len) continue;
        bool same = true;
        for (size_t i = 0; i < len && same; i++) {
            char c = name[i];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            same = c == reserved[i];
        }
        if (same) return true;
    }
    return false;
}

char* name_sanitize(const char* name) {
    if (!name) name = "";
    const char* last = name;
    for (const char* p = name; *p; p++)
        if (*p == '/' || *p == '\\') last = p + 1;
    char* result = text_copy(last);
    if (!result) return nullptr;
    for (char* p = result; *p; p++)
        if (is_forbidden_name_byte(static_cast<unsigned char>(*p))) *p = '_';

    // A cut can expose white space or dots at the new end, and the leading '_' of a reserved
    // name can push it over the length limit, so the steps repeat until the name is stable.
    for (;;) {
        if (!strip_ends(&result)) return nullptr;
        if (!*result) {
            free(result);
            result = text_copy(NAME_FALLBACK);
            if (!result) return nullptr;
        }
        if (name_is_reserved(result)) {
            char* prefixed = concat("_", 1, result);
            free(result);
            if (!prefixed) return nullptr;
            result = prefixed;
        }
        bool failed = false;
        char* cut = cut_to_limits(result, &failed);
        if (failed) {
            free(result);
            return nullptr;
        }
        if (!cut) return result;
        free(result);
        result = cut;
    }
}

bool name_is_shell_active(const char* name) {
    if (windows_same_name(name, FOLDER_SETTINGS_NAME)) return true;
    char stem[PATH_STEM_BYTES];
    const char* ext = path_split_ext(name, stem);
    for (const char* active : SHELL_ACTIVE_EXTENSIONS)
        if (windows_same_name(ext, active)) return true;
    return false;
}

// Applied on every platform: the inbox may be a folder that a Windows PC shows over the
// network or receives as a copy later, and one upload then gets the same names everywhere.
char* name_sanitize_file(const char* name) {
    char* clean = name_sanitize(name);
    // One round suffices: a cut keeps the short extension added, so the result ends in it.
    if (!clean || !name_is_shell_active(clean)) return clean;
    char* defused = concat(clean, strlen(clean), SHELL_DEFUSED_SUFFIX);
    free(clean);
    if (!defused) return nullptr;
    char* result = name_sanitize(defused);
    free(defused);
    return result;
}

char* name_numbered(const char* name, int number) {
    char suffix[16];
    snprintf(suffix, sizeof suffix, "(%d)", number);
    char stem[PATH_STEM_BYTES];
    const char* ext = path_split_ext(name, stem);
    const size_t stem_len = static_cast<size_t>(ext - name);
    const size_t suffix_chars = strlen(suffix);
    const size_t suffix_size = path_name_size(suffix, suffix_chars);
    const size_t ext_chars = utf8_count(ext);
    const size_t ext_size = path_name_size(ext, strlen(ext));

    StrBufOwner sb;
    size_t keep = 0;
    if (suffix_chars + ext_chars < NAME_MAX_CHARS && suffix_size + ext_size < NAME_MAX_SIZE)
        keep = prefix_within(name, stem_len, NAME_MAX_CHARS - suffix_chars - ext_chars,
                             NAME_MAX_SIZE - suffix_size - ext_size);
    if (keep > 0) {
        sb_append(sb.get(), name, keep);
        sb_append_str(sb.get(), suffix);
        sb_append_str(sb.get(), ext);
    } else {
        // The extension leaves no room for the stem: number the name as a whole.
        sb_append(sb.get(), name,
                  prefix_within(name, strlen(name), NAME_MAX_CHARS - suffix_chars,
                                NAME_MAX_SIZE - suffix_size));
        sb_append_str(sb.get(), suffix);
    }
    if (!sb->data) return nullptr;
    return sb_detach(sb.get());
}

void path_numbers_free(PathNumbers* numbers) {
    if (!numbers) return;
    for (size_t i = 0; i < numbers->capacity; i++) free(numbers->slots[i].key);
    free(numbers->slots);
    *numbers = PathNumbers{};
}

namespace {

// Makes the entry at path the way the caller asked: a new file, a new folder, or the file at
// from moved there. 0, FS_ERR_EXISTS when the name is taken, or another failure.
int make_entry(const char* path, PathMake what, const char* from, FsFile** file) {
    if (from) return fs_move_new(from, path);
    return what == PATH_MAKE_DIR ? fs_make_dir(path) : fs_open_new(path, file);
}

// The numbering of path_unique and path_unique_move: name, name(1), name(2) ... from the last
// number the request used, until make_entry succeeds.
int unique_entry(const char* dir, const char* name, PathMake what, const char* from,
                 PathNumbers* numbers, PathCreated* out) {
    *out = PathCreated{};
    TextOwner clean(what == PATH_MAKE_FILE ? name_sanitize_file(name) : name_sanitize(name));
    if (!clean) return -1;
    TextOwner key;
    if (numbers) {
        TextOwner plain(path_join(dir, clean.get()));
        if (plain) key.reset(path_name_key(plain.get()));
    }
    int first = key ? last_number(numbers, key.get()) + 1 : 0;
    for (int number = first; number < INT_MAX; number++) {
        TextOwner candidate(number == 0 ? text_copy(clean.get())
                                        : name_numbered(clean.get(), number));
        char* path = candidate ? path_join(dir, candidate.get()) : nullptr;
        if (!path) return -1;
        FsFile* file = nullptr;
        int made = make_entry(path, what, from, &file);
        if (made == FS_ERR_EXISTS) {
            free(path);
            continue;
        }
        if (made != 0) {
            free(path);
            return -1;
        }
        out->path = path;
        out->file = file;
        out->made_dir = what == PATH_MAKE_DIR;
        if (key) remember_number(numbers, key.get(), number);
        return 0;
    }
    return -1;
}

}  // namespace

int path_unique(const char* dir, const char* name, PathMake what, PathNumbers* numbers,
                PathCreated* out) {
    return unique_entry(dir, name, what, nullptr, numbers, out);
}

int path_unique_move(const char* dir, const char* name, const char* from, PathNumbers* numbers,
                     PathCreated* out) {
    if (!from) {
        *out = PathCreated{};
        return -1;
    }
    return unique_entry(dir, name, PATH_MAKE_FILE, from, numbers, out);
}

void rel_free(char** components, int count) {
    if (!components) return;
    for (int i = 0; i < count; i++) free(components[i]);
    free(components);
}

int rel_split(const char* rel, char*** out) {
    if (out) *out = nullptr;
    char* path = text_copy(rel ? rel : "");
    if (!path) return -1;
    for (char* p = path; *p; p++)
        if (*p == '\\') *p = '/';
    char* start = path;
    while (*start == '/') start++;
    size_t len = strlen(start);
    while (len > 0 && start[len - 1] == '/') start[--len] = 0;
    if (len == 0) {
        free(path);
        return 0;
    }
    if (utf8_count(start) > REL_MAX_CHARS) {
        free(path);
        return -1;
    }

    int pieces = 1;
    for (const char* p = start; *p; p++)
        if (*p == '/') pieces++;
    char** components = static_cast<char**>(calloc(static_cast<size_t>(pieces), sizeof(char*)));
    int count = 0;
    bool ok = components != nullptr;
    for (char* piece = start; ok && piece;) {
        char* slash = strchr(piece, '/');
        if (slash) *slash = 0;
        char* trimmed = utf8_trim(piece);
        ok = trimmed && trimmed[0] && trimmed[0] != '.' && !strchr(trimmed, ':') &&
             utf8_count(trimmed) <= NAME_MAX_CHARS && !name_is_reserved(trimmed);
        if (ok)
            components[count++] = trimmed;
        else
            free(trimmed);
        piece = slash ? slash + 1 : nullptr;
    }
    free(path);
    if (!ok) {
        rel_free(components, count);
        return -1;
    }
    if (out)
        *out = components;
    else
        rel_free(components, count);
    return count;
}

char* rel_join(const Config* config, char** components, int count) {
    StrBufOwner sb;
    if (sb_append_str(sb.get(), config->inbox_dir) != 0) return nullptr;
    for (int i = 0; i < count; i++) {
        const char* c = components[i];
        if (!c || !c[0] || c[0] == '.' || strpbrk(c, "\\/:")) return nullptr;
        bool ends_in_sep = sb->len > 0 && fs_is_sep(sb->data[sb->len - 1]);
        if ((!ends_in_sep && sb_append_char(sb.get(), FS_SEP) != 0) ||
            sb_append_str(sb.get(), c) != 0)
            return nullptr;
        // The file-system layer never follows a link in the last component, but the system
        // resolves every earlier one: a folder link on the way would lead out of the inbox.
        if (i < count - 1 && fs_is_reparse(sb->data)) return nullptr;
    }
    if (count > 0 && !path_is_own_name(sb->data, count)) return nullptr;
    return sb_detach(sb.get());
}

char* rel_from_abs(const Config* config, const char* path) {
    if (!path) return nullptr;
    const char* inbox = config->inbox_dir;
    size_t n = strlen(inbox);
    if (strncmp(path, inbox, n) != 0) return nullptr;
    const char* rest = path + n;
    bool inbox_ends_in_separator = n > 0 && fs_is_sep(inbox[n - 1]);
    if (fs_is_sep(*rest))
        rest++;
    else if (*rest && !inbox_ends_in_separator)
        return nullptr;  // a sibling such as inbox2
    char* rel = text_copy(rest);
    if (!rel) return nullptr;
    for (char* p = rel; *p; p++)
        if (fs_is_sep(*p)) *p = '/';
    return rel;
}

char** rel_split_upload(const char* rel, int* count) {
    *count = 0;
    char* path = text_copy(rel ? rel : "");
    if (!path) return nullptr;
    for (char* p = path; *p; p++)
        if (*p == '\\') *p = '/';
    char** components = nullptr;
    int capacity = 0;
    for (char* piece = path; piece;) {
        char* slash = strchr(piece, '/');
        if (slash) *slash = 0;
        char* trimmed = utf8_trim(piece);
        piece = slash ? slash + 1 : nullptr;
        if (!trimmed) break;
        bool usable = trimmed[0] && strcmp(trimmed, ".") != 0 && strcmp(trimmed, "..") != 0;
        char* clean = usable ? name_sanitize(trimmed) : nullptr;
        free(trimmed);
        if (!usable) continue;
        if (!clean) break;
        if (*count == capacity) {
            int grown = capacity ? capacity * 2 : 8;
            void* more = capacity < INT_MAX / 2
                             ? realloc(components, static_cast<size_t>(grown) * sizeof(char*))
                             : nullptr;
            if (!more) {
                free(clean);
                break;
            }
            components = static_cast<char**>(more);
            capacity = grown;
        }
        components[(*count)++] = clean;
    }
    free(path);
    return components;
}

char* rel_join_text(char* const* components, int count) {
    StrBufOwner text;
    for (int i = 0; i < count; i++) {
        if (i > 0 && sb_append_char(text.get(), '/') != 0) return nullptr;
        if (sb_append_str(text.get(), components[i]) != 0) return nullptr;
    }
    return sb_detach(text.get());
}

char* rel_normalize(const char* path) {
    RelComponents parts;
    parts.count = rel_split(path, &parts.items);
    if (parts.count < 0) return nullptr;
    return rel_join_text(parts.items, parts.count);
}
