// Windows half of the file-system layer. Every path is converted to UTF-16 in the long-path
// form (fs_long_path_form) for one call and freed again, so neither the 260-unit path limit
// nor a fixed search-pattern buffer limits how deep a tree can be.
//
// A link here is a reparse point whose tag is a name surrogate (symbolic links, junctions,
// mount points): those redirect to another place and are never followed. Other reparse
// points (cloud placeholders, deduplicated or compressed files) are ordinary files and folders
// to the user and are treated as such.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "base/fs.h"

const char FS_SEP = '\\';
const char FS_SEP_STR[2] = "\\";

// ---- Text conversion ---------------------------------------------------------------------

wchar_t* utf8_to_wide(const char* text) {
    if (!text) return nullptr;
    int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (units <= 0) return nullptr;
    wchar_t* wide = static_cast<wchar_t*>(malloc(static_cast<size_t>(units) * sizeof(wchar_t)));
    if (!wide) return nullptr;
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, units) != units) {
        free(wide);
        return nullptr;
    }
    return wide;
}

char* wide_to_utf8(const wchar_t* wide) {
    if (!wide) return nullptr;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return nullptr;
    char* text = static_cast<char*>(malloc(static_cast<size_t>(bytes)));
    if (!text) return nullptr;
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, bytes, nullptr, nullptr) != bytes) {
        free(text);
        return nullptr;
    }
    return text;
}

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Fails a call the way the system would: sets the thread's last error and gives false.
bool refuse(DWORD error) {
    SetLastError(error);
    return false;
}

// Owns one converted path for the length of a call.
struct WidePath {
    wchar_t* text;
    explicit WidePath(const char* path) : text(nullptr) {
        char* form = fs_long_path_form(path);
        if (!form) return;
        text = utf8_to_wide(form);
        free(form);
    }
    WidePath(const WidePath&) = delete;
    WidePath& operator=(const WidePath&) = delete;
    ~WidePath() { free(text); }
    explicit operator bool() const { return text != nullptr; }
};

bool tag_is_link(DWORD tag) {
    return IsReparseTagNameSurrogate(tag);
}

// The reparse tag is not among the attributes; a search on the exact path reports it.
bool reparse_point_is_link(const wchar_t* path) {
    WIN32_FIND_DATAW found;
    HANDLE search =
        FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return true;  // cannot tell: never follow it
    FindClose(search);
    return tag_is_link(found.dwReserved0);
}

// The attributes of path with the reparse-point bit kept only for links;
// INVALID_FILE_ATTRIBUTES when nothing can be queried there.
DWORD query_attributes(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA* data) {
    WIN32_FILE_ATTRIBUTE_DATA local;
    if (!data) data = &local;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, data)) return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = data->dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !reparse_point_is_link(path))
        attributes &= ~FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes;
}

DWORD query_attributes(const char* path) {
    WidePath wide(path);
    return wide ? query_attributes(wide.text, nullptr) : INVALID_FILE_ATTRIBUTES;
}

// 100-nanosecond ticks since 1601 to seconds since 1970; the subtraction is done on integers
// so the fraction keeps its precision.
double seconds_since_1970(const FILETIME& time) {
    uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    int64_t since_1970 = static_cast<int64_t>(ticks - 116444736000000000ull);
    return static_cast<double>(since_1970) / 10000000.0;
}

uint64_t join_halves(DWORD high, DWORD low) {
    return (static_cast<uint64_t>(high) << 32) | low;
}

// The path with its short 8.3 components spelled out (a user name with spaces or Chinese
// characters often reaches TEMP as "C:\Users\ABCDEF~1\..."), so that it compares with the
// paths the system reports elsewhere; the path as given when that fails. UTF-8, newly
// allocated.
char* long_name_form(const wchar_t* path) {
    DWORD units = GetLongPathNameW(path, nullptr, 0);
    if (units > 0) {
        wchar_t* full = static_cast<wchar_t*>(malloc(units * sizeof(wchar_t)));
        if (full && GetLongPathNameW(path, full, units) < units) {
            char* out = wide_to_utf8(full);
            free(full);
            return out;
        }
        free(full);
    }
    return wide_to_utf8(path);
}

}  // namespace

// ---- Queries -----------------------------------------------------------------------------

int fs_stat(const char* path, FileInfo* info) {
    WidePath wide(path);
    if (!wide) return 0;
    WIN32_FILE_ATTRIBUTE_DATA data;
    DWORD attributes = query_attributes(wide.text, &data);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return 0;
    if (info) {
        info->size = join_halves(data.nFileSizeHigh, data.nFileSizeLow);
        info->mtime = seconds_since_1970(data.ftLastWriteTime);
    }
    return 1;
}

int fs_is_reparse(const char* path) {
    DWORD attributes = query_attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

int fs_is_dir(const char* path) {
    DWORD attributes = query_attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

int fs_exists(const char* path) {
    WidePath wide(path);
    return wide && GetFileAttributesW(wide.text) != INVALID_FILE_ATTRIBUTES;
}

namespace {

// 1 when the last component of path holds a character that a search takes as a wildcard;
// no real name does, so such a path is never listed.
bool has_wildcard(const wchar_t* path) {
    const wchar_t* last = wcsrchr(path, L'\\');
    return wcspbrk(last ? last + 1 : path, L"*?<>\"") != nullptr;
}

}  // namespace

// A search for the exact name lists it even while its deletion is pending, when the name
// refuses to be opened and GetFileAttributesW answers "access denied".
int fs_name_listed(const char* path) {
    WidePath wide(path);
    if (!wide || has_wildcard(wide.text)) return 0;
    WIN32_FIND_DATAW found;
    HANDLE search =
        FindFirstFileExW(wide.text, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return 0;
    FindClose(search);
    return 1;
}

int fs_list_dir(const char* folder, FsEntryFn fn, void* context) {
    WidePath wide(folder);
    if (!wide) return -1;
    DWORD attributes = query_attributes(wide.text, nullptr);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return -1;

    // The pattern is the folder, a backslash unless it already ends in one, and '*'.
    size_t len = wcslen(wide.text);
    wchar_t* pattern = static_cast<wchar_t*>(malloc((len + 3) * sizeof(wchar_t)));
    if (!pattern) return -1;
    memcpy(pattern, wide.text, len * sizeof(wchar_t));
    if (len > 0 && pattern[len - 1] != L'\\') pattern[len++] = L'\\';
    pattern[len++] = L'*';
    pattern[len] = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch,
                                     nullptr, FIND_FIRST_EX_LARGE_FETCH);
    free(pattern);
    if (search == INVALID_HANDLE_VALUE) return -1;
    do {
        const wchar_t* wname = found.cFileName;
        if (wcscmp(wname, L".") == 0 || wcscmp(wname, L"..") == 0) continue;
        char* name = wide_to_utf8(wname);
        if (!name) continue;
        DWORD bits = found.dwFileAttributes;
        int is_link = (bits & FILE_ATTRIBUTE_REPARSE_POINT) && tag_is_link(found.dwReserved0);
        int is_dir = (bits & FILE_ATTRIBUTE_DIRECTORY) && !is_link;
        FileInfo info;
        info.size = is_dir ? 0 : join_halves(found.nFileSizeHigh, found.nFileSizeLow);
        info.mtime = seconds_since_1970(found.ftLastWriteTime);
        if (fn) fn(name, &info, is_dir, is_link, context);
        free(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return 0;
}

// ---- Changes -----------------------------------------------------------------------------

namespace {

// The result of a create that the system refused with error: FS_ERR_EXISTS when the name is
// taken, FS_ERR_NOT_FOUND when the folder is missing, else -1. A name whose deletion is
// pending (and a folder, to a file create) answers "access denied" instead of "exists", and
// refuses attribute queries too, but stays listed: a listed name is taken, so the caller
// numbers it instead of failing.
int refused_create(const char* path, DWORD error) {
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return FS_ERR_EXISTS;
    if (error == ERROR_PATH_NOT_FOUND) return FS_ERR_NOT_FOUND;
    return fs_name_listed(path) ? FS_ERR_EXISTS : -1;
}

BOOL create_directory(const wchar_t* path) {
    if (fs_fault_fire(FS_FAULT_DELETE_PENDING)) return refuse(ERROR_ACCESS_DENIED);
    return CreateDirectoryW(path, nullptr);
}

}  // namespace

// ---- Waiting out other programs, and deleting through a handle --------------------------

namespace {

// Another program that holds a file without sharing it (a virus scanner, a backup tool, an
// editor) usually lets go within moments, so an open refused with a sharing violation is
// tried again after a pause. One thread serves one request, so a budget per thread caps the
// waiting of a whole request, however many files it touches.
constexpr int SHARING_PAUSE_MS = 50;
constexpr int SHARING_BUDGET_MS = 1000;
thread_local int sharing_budget_ms = SHARING_BUDGET_MS;

// After a pause, true when error is a sharing violation and the thread may still wait.
bool waited_for_sharing(DWORD error) {
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) return false;
    if (sharing_budget_ms <= 0) return false;
    Sleep(SHARING_PAUSE_MS);
    sharing_budget_ms -= SHARING_PAUSE_MS;
    return true;
}

HANDLE create_file(const wchar_t* path, DWORD access, DWORD disposition, DWORD flags) {
    if (fs_fault_fire(FS_FAULT_SHARING)) {
        refuse(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path, access, SHARE_ALL, nullptr, disposition, FILE_ATTRIBUTE_NORMAL | flags,
                       nullptr);
}

HANDLE open_handle(const wchar_t* path, DWORD access, DWORD disposition, DWORD flags) {
    for (;;) {
        HANDLE handle = create_file(path, access, disposition, flags);
        if (handle != INVALID_HANDLE_VALUE || !waited_for_sharing(GetLastError())) return handle;
    }
}

// FileDispositionInfoEx and its flags, which the Windows 7 headers this builds against lack.
constexpr auto DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_POSIX_SEMANTICS = 0x2;
struct DispositionInfoEx {
    DWORD flags;
};

BOOL set_posix_disposition(HANDLE handle) {
    if (fs_fault_fire(FS_FAULT_POSIX_DELETE)) return refuse(ERROR_INVALID_PARAMETER);
    DispositionInfoEx info{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS};
    return SetFileInformationByHandle(handle, DISPOSITION_INFO_EX, &info, sizeof info);
}

// Marks a file open with DELETE access for deletion when the handle closes. With POSIX
// semantics the name goes then even while others hold the file; where the system or the file
// system lacks them, the classic mark leaves the name listed ("delete pending") until the
// last holder closes it. true when marked.
bool mark_for_deletion(HANDLE handle) {
    if (set_posix_disposition(handle)) return true;
    DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
        error != ERROR_INVALID_FUNCTION)
        return false;
    FILE_DISPOSITION_INFO classic{TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &classic, sizeof classic);
}

// Deletes the entry itself (a link, never its target; never a folder, which does not open
// without backup semantics) through a handle of its own. true when done; otherwise the caller
// deletes by name, which also handles a read-only file.
bool delete_through_handle(const wchar_t* path) {
    HANDLE handle = open_handle(path, DELETE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE) return false;
    bool marked = mark_for_deletion(handle);
    CloseHandle(handle);
    return marked;
}

}  // namespace

int fs_make_dir(const char* path) {
    WidePath wide(path);
    if (!wide) return -1;
    fs_count_create_attempt();
    if (create_directory(wide.text)) return 0;
    return refused_create(path, GetLastError());
}

namespace {

using RemoveFn = BOOL(WINAPI*)(LPCWSTR);

// One try; on failure the read-only mark is taken off and the removal tried once more.
int remove_with_retry(const char* path, RemoveFn remove_fn) {
    WidePath wide(path);
    if (!wide) return -1;
    if (remove_fn(wide.text)) return 0;
    DWORD attributes = GetFileAttributesW(wide.text);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        constexpr DWORD SETTABLE = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                   FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
        DWORD cleared = attributes & SETTABLE;
        SetFileAttributesW(wide.text, cleared ? cleared : FILE_ATTRIBUTE_NORMAL);
    }
    return remove_fn(wide.text) ? 0 : -1;
}

}  // namespace

int fs_delete_file(const char* path) {
    {
        WidePath wide(path);
        if (wide && delete_through_handle(wide.text)) return 0;
    }
    return remove_with_retry(path, DeleteFileW);
}

int fs_remove_dir(const char* path) {
    return remove_with_retry(path, RemoveDirectoryW);
}

int fs_move(const char* from, const char* to) {
    WidePath wide_from(from);
    WidePath wide_to(to);
    if (!wide_from || !wide_to) return -1;
    if (fs_fault_fire(FS_FAULT_MOVE)) return -1;
    return MoveFileExW(wide_from.text, wide_to.text, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

char* fs_temp_dir() {
    DWORD units = GetTempPathW(0, nullptr);
    if (units == 0) return nullptr;
    wchar_t* buffer = static_cast<wchar_t*>(malloc((units + 1) * sizeof(wchar_t)));
    if (!buffer) return nullptr;
    DWORD got = GetTempPathW(units + 1, buffer);
    char* out = nullptr;
    if (got > 0 && got <= units) {
        // "C:\Temp\" loses its backslash; a drive root "C:\" keeps it.
        if (got > 3 && buffer[got - 1] == L'\\') buffer[got - 1] = 0;
        out = long_name_form(buffer);
    }
    free(buffer);
    return out;
}

// ---- Files -------------------------------------------------------------------------------

struct FsFile {
    HANDLE handle;
};

namespace {

FsFile* wrap_handle(HANDLE handle) {
    FsFile* file = static_cast<FsFile*>(malloc(sizeof(FsFile)));
    if (!file) {
        CloseHandle(handle);
        return nullptr;
    }
    file->handle = handle;
    return file;
}

// Keeps the handle only for a file on disk (not a device or pipe).
HANDLE only_disk_file(HANDLE handle) {
    if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

}  // namespace

namespace {

BOOL query_tag(HANDLE handle, FILE_ATTRIBUTE_TAG_INFO* tag) {
    if (fs_fault_fire(FS_FAULT_TAG_QUERY)) return refuse(ERROR_INVALID_PARAMETER);
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, tag, sizeof *tag);
}

// What an entry opened without following it turned out to be.
enum class Opened { FILE, FILTERED_FILE, OTHER };

// The attributes come from the query every file system answers; the reparse tag is asked only
// of a reparse point, since FAT32 and exFAT (which never have one) reject the tag query.
Opened classify_opened(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return Opened::OTHER;
    DWORD attributes = info.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Opened::OTHER;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return Opened::FILE;
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!query_tag(handle, &tag) || tag_is_link(tag.ReparseTag)) return Opened::OTHER;
    return Opened::FILTERED_FILE;
}

}  // namespace

FsFile* fs_open_read(const char* path) {
    WidePath wide(path);
    if (!wide) return nullptr;
    if (fs_fault_fire(FS_FAULT_OPEN_READ)) return nullptr;
    // Open the entry itself first, to refuse a link instead of reading its target.
    HANDLE handle = open_handle(wide.text, GENERIC_READ, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    Opened kind = classify_opened(handle);
    if (kind != Opened::FILE) {
        CloseHandle(handle);
        if (kind == Opened::OTHER) return nullptr;
        // Not a link: let the file system's filter deliver the content (a cloud file, say).
        handle = open_handle(wide.text, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    }
    handle = only_disk_file(handle);
    return handle == INVALID_HANDLE_VALUE ? nullptr : wrap_handle(handle);
}

FsFile* fs_open_write(const char* path) {
    WidePath wide(path);
    if (!wide) return nullptr;
    // Creating over a link would write through it; refuse links and folders.
    DWORD attributes = query_attributes(wide.text, nullptr);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return nullptr;
    HANDLE handle =
        only_disk_file(open_handle(wide.text, GENERIC_WRITE | DELETE, CREATE_ALWAYS, 0));
    return handle == INVALID_HANDLE_VALUE ? nullptr : wrap_handle(handle);
}

int fs_open_new(const char* path, FsFile** out) {
    *out = nullptr;
    WidePath wide(path);
    if (!wide) return -1;
    fs_count_create_attempt();
    // DELETE access lets a failed upload remove its file through this handle (fs_discard).
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (fs_fault_fire(FS_FAULT_DELETE_PENDING))
        refuse(ERROR_ACCESS_DENIED);
    else
        handle = open_handle(wide.text, GENERIC_WRITE | DELETE, CREATE_NEW, 0);
    if (handle == INVALID_HANDLE_VALUE) return refused_create(path, GetLastError());
    *out = wrap_handle(handle);
    return *out ? 0 : -1;
}

namespace {
// Largest piece for one ReadFile or WriteFile call (their counts are 32-bit).
constexpr size_t IO_PIECE = size_t{1} << 30;
}  // namespace

int64_t fs_read(FsFile* file, void* buffer, size_t n) {
    char* at = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < n) {
        DWORD want = static_cast<DWORD>(n - done < IO_PIECE ? n - done : IO_PIECE);
        DWORD got = 0;
        if (!ReadFile(file->handle, at + done, want, &got, nullptr)) return -1;
        if (got == 0) break;
        done += got;
    }
    return static_cast<int64_t>(done);
}

int fs_write_all(FsFile* file, const void* bytes, size_t n) {
    if (fs_fault_fire(FS_FAULT_WRITE_FULL)) return -1;
    size_t limit = fs_fault_fire(FS_FAULT_WRITE_SHORT) ? n / 2 : n;
    const char* at = static_cast<const char*>(bytes);
    size_t done = 0;
    while (done < limit) {
        DWORD want = static_cast<DWORD>(limit - done < IO_PIECE ? limit - done : IO_PIECE);
        DWORD put = 0;
        if (!WriteFile(file->handle, at + done, want, &put, nullptr) || put == 0) return -1;
        done += put;
    }
    return done == n ? 0 : -1;
}

int fs_seek(FsFile* file, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file->handle, position, nullptr, FILE_BEGIN) ? 0 : -1;
}

int fs_file_size(FsFile* file, uint64_t* size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(file->handle, &value)) return -1;
    *size = static_cast<uint64_t>(value.QuadPart);
    return 0;
}

int fs_sync(FsFile* file) {
    if (fs_fault_fire(FS_FAULT_SYNC)) return -1;
    return FlushFileBuffers(file->handle) ? 0 : -1;
}

int fs_close(FsFile* file) {
    if (!file) return 0;
    int result = CloseHandle(file->handle) ? 0 : -1;
    free(file);
    if (fs_fault_fire(FS_FAULT_CLOSE)) return -1;
    return result;
}

int fs_discard(FsFile* file, const char* path) {
    if (!file) return 0;
    bool marked = mark_for_deletion(file->handle);
    CloseHandle(file->handle);
    free(file);
    return marked ? 0 : fs_delete_file(path);
}

intptr_t fs_native_handle(FsFile* file) {
    return reinterpret_cast<intptr_t>(file->handle);
}

// ---- Placing files and room on the volume ----------------------------------------------

int fs_move_new(const char* from, const char* to) {
    WidePath wide_from(from);
    WidePath wide_to(to);
    if (!wide_from || !wide_to) return -1;
    if (fs_fault_fire(FS_FAULT_MOVE)) return -1;
    // Without MOVEFILE_REPLACE_EXISTING the move fails on any existing name.
    if (MoveFileExW(wide_from.text, wide_to.text, 0)) return 0;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return FS_ERR_EXISTS;
    // A folder of that name answers "access denied".
    return GetFileAttributesW(wide_to.text) != INVALID_FILE_ATTRIBUTES ? FS_ERR_EXISTS : -1;
}

int fs_free_space(const char* path, uint64_t* bytes) {
    WidePath wide(path);
    if (!wide) return -1;
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(wide.text, &available, nullptr, nullptr)) return -1;
    *bytes = available.QuadPart;
    return 0;
}

FsFile* fs_open_existing(const char* path) {
    WidePath wide(path);
    if (!wide) return nullptr;
    // Writing through a link would reach outside; refuse links and folders.
    DWORD attributes = query_attributes(wide.text, nullptr);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return nullptr;
    HANDLE handle = only_disk_file(open_handle(wide.text, GENERIC_WRITE, OPEN_EXISTING, 0));
    return handle == INVALID_HANDLE_VALUE ? nullptr : wrap_handle(handle);
}

int fs_set_size(FsFile* file, uint64_t size) {
    if (size > static_cast<uint64_t>(INT64_MAX)) return -1;
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return SetFileInformationByHandle(file->handle, FileEndOfFileInfo, &end, sizeof end) ? 0 : -1;
}
