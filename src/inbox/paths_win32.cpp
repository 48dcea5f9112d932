// Windows half of the inbox paths: CREATE_NEW and CreateDirectoryW refuse any existing entry,
// so the name is chosen and the entry created in one step.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "inbox/paths.h"
#include "inbox/paths_platform.h"

namespace {

// Paths at least this long (in UTF-16 units, terminator included) go through the long-path
// form, which lifts the platform's default limit.
constexpr int DEFAULT_PATH_LIMIT = 260;

// The path as UTF-16 for the file functions; an absolute path too long for the default limit
// is given the long-path prefix (\\?\C:\... or \\?\UNC\server\share\...), which takes the path
// literally, so every '/' becomes '\' first. Null when the conversion fails; the caller frees.
wchar_t* wide_path(const char* path) {
    int units = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    if (units <= 0) return nullptr;
    wchar_t* wide =
        static_cast<wchar_t*>(malloc(sizeof(wchar_t) * (static_cast<size_t>(units) + 8)));
    if (!wide) return nullptr;
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, units) != units) {
        free(wide);
        return nullptr;
    }
    for (wchar_t* p = wide; *p; p++)
        if (*p == L'/') *p = L'\\';
    const wchar_t* prefix = nullptr;
    size_t skip = 0;
    bool drive = ((wide[0] >= L'A' && wide[0] <= L'Z') || (wide[0] >= L'a' && wide[0] <= L'z')) &&
                 wide[1] == L':' && wide[2] == L'\\';
    bool share = wide[0] == L'\\' && wide[1] == L'\\' && wide[2] != L'?' && wide[2] != L'.';
    if (units >= DEFAULT_PATH_LIMIT && drive) prefix = L"\\\\?\\";
    if (units >= DEFAULT_PATH_LIMIT && share) {
        prefix = L"\\\\?\\UNC\\";
        skip = 2;
    }
    if (!prefix) return wide;
    size_t prefix_len = wcslen(prefix);
    memmove(wide + prefix_len, wide + skip, sizeof(wchar_t) * (static_cast<size_t>(units) - skip));
    memcpy(wide, prefix, sizeof(wchar_t) * prefix_len);
    return wide;
}

bool entry_exists(const wchar_t* wide) {
    return GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

char path_separator() {
    return '\\';
}

// NTFS limits a name to 255 UTF-16 units; a four-byte UTF-8 sequence takes two.
size_t path_name_size(const char* name, size_t len) {
    size_t units = 0;
    for (size_t i = 0; i < len;) {
        size_t step = utf8_step(name + i);
        if (step == 0) break;
        units += step == 4 ? 2 : 1;
        i += step;
    }
    return units;
}

int path_create_file(const char* path, FILE** file) {
    *file = nullptr;
    wchar_t* wide = wide_path(path);
    if (!wide) return PATH_FAILED;
    // The sharing matches what a "wb" stream gets, so listings and downloads can read it.
    HANDLE handle = CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // A folder of that name answers "access denied" rather than "exists".
        bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
                     (error == ERROR_ACCESS_DENIED && entry_exists(wide));
        free(wide);
        return taken ? PATH_TAKEN : PATH_FAILED;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd == -1) CloseHandle(handle);
    FILE* stream = fd == -1 ? nullptr : _fdopen(fd, "wb");
    if (!stream) {
        if (fd != -1) _close(fd);
        DeleteFileW(wide);
        free(wide);
        return PATH_FAILED;
    }
    free(wide);
    *file = stream;
    return PATH_CREATED;
}

int path_create_dir(const char* path) {
    wchar_t* wide = wide_path(path);
    if (!wide) return PATH_FAILED;
    int result = PATH_CREATED;
    if (!CreateDirectoryW(wide, nullptr))
        result = GetLastError() == ERROR_ALREADY_EXISTS ? PATH_TAKEN : PATH_FAILED;
    free(wide);
    return result;
}
