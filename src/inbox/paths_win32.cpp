// Windows half of the inbox paths.
#include <windows.h>

#include <cstdlib>

#include "base/fs.h"
#include "base/text.h"
#include "inbox/paths.h"

namespace {

// UTF-16 units that the conversion makes of one character of n bytes: a four-byte sequence
// becomes a surrogate pair; a malformed one becomes a replacement character per byte, which
// is counted so to stay on the safe side of the limit.
size_t units_of(const unsigned char* c, size_t n) {
    bool malformed = c[0] == 0xC0 || c[0] == 0xC1 || c[0] >= 0xF5;
    for (size_t k = 1; k < n; k++)
        if ((c[k] & 0xC0) != 0x80) malformed = true;
    if (malformed) return n;
    return n == 4 ? 2 : 1;
}

// Moves end back over one component of text[0..end): returns where it starts, and sets
// *length to its length.
size_t previous_component(const wchar_t* text, size_t end, size_t* length) {
    size_t start = end;
    while (start > 0 && text[start - 1] != L'\\') start--;
    *length = end - start;
    return start;
}

}  // namespace

// NTFS limits one name to 255 UTF-16 units.
size_t path_name_size(const char* name, size_t len) {
    size_t units = 0;
    for (size_t i = 0; i < len;) {
        size_t step = utf8_step(name + i);
        if (step == 0) break;
        units += units_of(reinterpret_cast<const unsigned char*>(name + i), step);
        i += step;
    }
    return units;
}

// Each of the last count components is looked up on its own: the search reports the entry's
// own name, which differs from the given one when the system resolved a short name. (The
// long-name query cannot do this: not every implementation converts the "\\?\" form.) A
// search pattern ('*', '?') can only match names that differ from it, so it is refused too.
int path_is_own_name(const char* path, int count) {
    char* form = fs_long_path_form(path);
    wchar_t* wide = form ? utf8_to_wide(form) : nullptr;
    free(form);
    if (!wide) return 0;
    size_t end = wcslen(wide);
    int same = 1;
    for (int i = 0; same && i < count; i++) {
        while (end > 0 && wide[end - 1] == L'\\') end--;
        size_t length = 0;
        size_t start = previous_component(wide, end, &length);
        wchar_t kept = wide[end];
        wide[end] = 0;
        WIN32_FIND_DATAW found;
        HANDLE search =
            FindFirstFileExW(wide, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
        wide[end] = kept;
        same = search != INVALID_HANDLE_VALUE && length > 0 &&
               CompareStringOrdinal(wide + start, static_cast<int>(length), found.cFileName, -1,
                                    TRUE) == CSTR_EQUAL;
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
        end = start;
    }
    free(wide);
    return same;
}

// NTFS compares names by their upper-case form: a.txt and A.TXT are one name.
char* path_name_key(const char* path) {
    wchar_t* wide = utf8_to_wide(path);
    if (!wide) return nullptr;
    int length = static_cast<int>(wcslen(wide));
    if (length > 0)
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide, length, wide, length, nullptr,
                      nullptr, 0);
    char* key = wide_to_utf8(wide);
    free(wide);
    return key;
}
