// POSIX half of the file-system layer. Paths are already UTF-8 and go to the system as they
// are; symbolic links play the role of Windows reparse points and are never followed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "base/fs.h"

const char FS_SEP = '/';
const char FS_SEP_STR[2] = "/";

// ---- Text conversion ---------------------------------------------------------------------
// wchar_t holds whole code points here; nothing in the POSIX build hands wide text to the
// system, but the conversions keep the same contract as on Windows.

namespace {

constexpr uint32_t REPLACEMENT = 0xFFFD;

// Decodes one UTF-8 sequence at s (s[0] != 0); stores the code point and returns the bytes
// used. A malformed sequence gives one U+FFFD for its longest valid beginning (at least one
// byte), as the Windows conversion does.
size_t decode_utf8(const unsigned char* s, uint32_t* out) {
    unsigned char lead = s[0];
    *out = REPLACEMENT;
    if (lead < 0x80) {
        *out = lead;
        return 1;
    }
    size_t need;
    uint32_t cp;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2, cp = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3, cp = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 1;
    }
    for (size_t i = 1; i <= need; i++) {
        if (s[i] < low || s[i] > high) return i;
        cp = (cp << 6) | (s[i] & 0x3F);
        low = 0x80, high = 0xBF;
    }
    *out = cp;
    return need + 1;
}

size_t encode_utf8(uint32_t cp, char* out) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = REPLACEMENT;
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

wchar_t* utf8_to_wide(const char* text) {
    if (!text) return nullptr;
    // Never more code points than bytes.
    size_t len = strlen(text);
    wchar_t* wide = static_cast<wchar_t*>(malloc((len + 1) * sizeof(wchar_t)));
    if (!wide) return nullptr;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    size_t n = 0;
    while (*s) {
        uint32_t cp;
        s += decode_utf8(s, &cp);
        wide[n++] = static_cast<wchar_t>(cp);
    }
    wide[n] = 0;
    return wide;
}

char* wide_to_utf8(const wchar_t* wide) {
    if (!wide) return nullptr;
    size_t len = wcslen(wide);
    char* text = static_cast<char*>(malloc(len * 4 + 1));
    if (!text) return nullptr;
    size_t n = 0;
    for (size_t i = 0; i < len; i++) n += encode_utf8(static_cast<uint32_t>(wide[i]), text + n);
    text[n] = 0;
    return text;
}

// ---- Queries -----------------------------------------------------------------------------

namespace {

double mtime_of(const struct stat& st) {
#if defined(__APPLE__)
    const struct timespec& t = st.st_mtimespec;
#else
    const struct timespec& t = st.st_mtim;
#endif
    // The same 100-nanosecond resolution as a Windows file time, so both builds agree.
    int64_t ticks = static_cast<int64_t>(t.tv_sec) * 10000000 + t.tv_nsec / 100;
    return static_cast<double>(ticks) / 10000000.0;
}

void fill_info(const struct stat& st, FileInfo* info) {
    info->size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    info->mtime = mtime_of(st);
}

}  // namespace

int fs_stat(const char* path, FileInfo* info) {
    struct stat st;
    if (!path || lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    if (info) fill_info(st, info);
    return 1;
}

int fs_is_reparse(const char* path) {
    struct stat st;
    return path && lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

int fs_is_dir(const char* path) {
    struct stat st;
    return path && lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int fs_exists(const char* path) {
    struct stat st;
    return path && lstat(path, &st) == 0;
}

// Nothing lingers after a deletion here: a name is listed exactly when it is there.
int fs_name_listed(const char* path) {
    return fs_exists(path);
}

int fs_list_dir(const char* folder, FsEntryFn fn, void* context) {
    if (!folder) return -1;
    // O_NOFOLLOW: a link to a folder is not listed through.
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return -1;
    }
    while (struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        struct stat st;
        if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished meanwhile
        int is_dir = S_ISDIR(st.st_mode);
        int is_link = S_ISLNK(st.st_mode);
        if (!is_dir && !is_link && !S_ISREG(st.st_mode)) continue;  // pipes, sockets, devices
        FileInfo info;
        fill_info(st, &info);
        if (fn) fn(name, &info, is_dir, is_link, context);
    }
    closedir(dir);
    return 0;
}

// ---- Changes -----------------------------------------------------------------------------

namespace {

// The result of a create that the system refused with error: FS_ERR_EXISTS when the name is
// taken, FS_ERR_NOT_FOUND when the folder is missing, else -1. A refusal by permission still
// counts as taken when the name is listed, as the Windows half decides for a name whose
// deletion is pending.
int refused_create(const char* path, int error) {
    if (error == EEXIST) return FS_ERR_EXISTS;
    if (error == ENOENT) return FS_ERR_NOT_FOUND;
    return error == EACCES && fs_name_listed(path) ? FS_ERR_EXISTS : -1;
}

}  // namespace

int fs_make_dir(const char* path) {
    if (!path) return -1;
    fs_count_create_attempt();
    if (fs_fault_fire(FS_FAULT_DELETE_PENDING))
        errno = EACCES;
    else if (mkdir(path, 0777) == 0)
        return 0;
    return refused_create(path, errno);
}

namespace {

void add_owner_write(const char* path, bool follow) {
    struct stat st;
    int got = follow ? stat(path, &st) : lstat(path, &st);
    if (got == 0 && !S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR))
        chmod(path, (st.st_mode & 07777) | S_IWUSR);
}

// What stands for the read-only mark here: removing an entry needs a writable folder, so
// both the entry and the folder holding it are made writable by their owner.
void make_removable(const char* path) {
    add_owner_write(path, false);
    char* parent = strdup(path);
    if (!parent) return;
    char* slash = strrchr(parent, '/');
    if (slash == parent) {
        slash[1] = 0;
    } else if (slash) {
        *slash = 0;
    } else {
        strcpy(parent, ".");
    }
    add_owner_write(parent, true);
    free(parent);
}

int remove_with_retry(const char* path, int (*remove_fn)(const char*)) {
    if (!path) return -1;
    if (remove_fn(path) == 0) return 0;
    if (errno != EACCES && errno != EPERM) return -1;
    make_removable(path);
    return remove_fn(path) == 0 ? 0 : -1;
}

}  // namespace

int fs_delete_file(const char* path) {
    return remove_with_retry(path, unlink);
}

int fs_remove_dir(const char* path) {
    return remove_with_retry(path, rmdir);
}

int fs_move(const char* from, const char* to) {
    if (!from || !to) return -1;
    if (fs_fault_fire(FS_FAULT_MOVE)) return -1;
    return rename(from, to) == 0 ? 0 : -1;
}

char* fs_temp_dir() {
    const char* dir = getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    char* out = strdup(dir);
    if (!out) return nullptr;
    size_t len = strlen(out);
    while (len > 1 && out[len - 1] == '/') out[--len] = 0;
    return out;
}

// ---- Files -------------------------------------------------------------------------------

struct FsFile {
    int fd;
};

namespace {

FsFile* wrap_fd(int fd) {
    FsFile* file = static_cast<FsFile*>(malloc(sizeof(FsFile)));
    if (!file) {
        close(fd);
        return nullptr;
    }
    file->fd = fd;
    return file;
}

// Opens without following a final link and without blocking on a pipe, then keeps the
// descriptor only for a regular file.
int open_regular(const char* path, int flags) {
    int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

FsFile* fs_open_read(const char* path) {
    if (!path || fs_fault_fire(FS_FAULT_OPEN_READ)) return nullptr;
    int fd = open_regular(path, O_RDONLY);
    return fd < 0 ? nullptr : wrap_fd(fd);
}

FsFile* fs_open_write(const char* path) {
    if (!path) return nullptr;
    int fd = open_regular(path, O_WRONLY | O_CREAT | O_TRUNC);
    return fd < 0 ? nullptr : wrap_fd(fd);
}

int fs_open_new(const char* path, FsFile** out) {
    *out = nullptr;
    if (!path) return -1;
    fs_count_create_attempt();
    int fd = -1;
    if (fs_fault_fire(FS_FAULT_DELETE_PENDING))
        errno = EACCES;
    else
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return refused_create(path, errno);
    *out = wrap_fd(fd);
    return *out ? 0 : -1;
}

int64_t fs_read(FsFile* file, void* buffer, size_t n) {
    char* at = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < n) {
        ssize_t got = read(file->fd, at + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
}

int fs_write_all(FsFile* file, const void* bytes, size_t n) {
    if (fs_fault_fire(FS_FAULT_WRITE_FULL)) return -1;
    size_t limit = fs_fault_fire(FS_FAULT_WRITE_SHORT) ? n / 2 : n;
    const char* at = static_cast<const char*>(bytes);
    size_t done = 0;
    while (done < limit) {
        ssize_t put = write(file->fd, at + done, limit - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return -1;
        done += static_cast<size_t>(put);
    }
    return done == n ? 0 : -1;
}

int fs_seek(FsFile* file, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    return lseek(file->fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? -1 : 0;
}

int fs_file_size(FsFile* file, uint64_t* size) {
    struct stat st;
    if (fstat(file->fd, &st) != 0) return -1;
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
}

int fs_sync(FsFile* file) {
    if (fs_fault_fire(FS_FAULT_SYNC)) return -1;
    return fsync(file->fd) == 0 ? 0 : -1;
}

int fs_close(FsFile* file) {
    if (!file) return 0;
    // The descriptor is gone after close() even when it reports EINTR; only real errors
    // (such as a delayed write failure on a network file system) count.
    int result = close(file->fd) == 0 || errno == EINTR ? 0 : -1;
    free(file);
    if (fs_fault_fire(FS_FAULT_CLOSE)) return -1;
    return result;
}

int fs_discard(FsFile* file, const char* path) {
    if (!file) return 0;
    int removed = fs_delete_file(path);
    fs_close(file);
    return removed;
}

intptr_t fs_native_handle(FsFile* file) {
    return file->fd;
}

// ---- Placing files and room on the volume ----------------------------------------------

namespace {

// A rename that fails instead of replacing: 0, or the errno. Linux has renameat2 with
// RENAME_NOREPLACE and macOS renamex_np with RENAME_EXCL; where the call or the file system
// lacks them the caller falls back to a hard link, which refuses an existing name as well.
int rename_exclusive(const char* from, const char* to) {
#if defined(__linux__)
    return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0 ? 0 : errno;
#elif defined(__APPLE__)
    return renamex_np(from, to, RENAME_EXCL) == 0 ? 0 : errno;
#else
    (void)from;
    (void)to;
    return ENOSYS;
#endif
}

}  // namespace

int fs_move_new(const char* from, const char* to) {
    if (!from || !to) return -1;
    if (fs_fault_fire(FS_FAULT_MOVE)) return -1;
    int error = rename_exclusive(from, to);
    if (error == 0) return 0;
    if (error == EEXIST) return FS_ERR_EXISTS;
    if (error != ENOSYS && error != EINVAL && error != ENOTSUP) return -1;
    // The link is the exclusive step; the old name goes only once the new one holds the file.
    if (link(from, to) != 0) return errno == EEXIST ? FS_ERR_EXISTS : -1;
    if (unlink(from) != 0) {
        unlink(to);
        return -1;
    }
    return 0;
}

int fs_free_space(const char* path, uint64_t* bytes) {
    struct statvfs st;
    if (!path || statvfs(path, &st) != 0) return -1;
    *bytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
    return 0;
}

FsFile* fs_open_existing(const char* path) {
    if (!path) return nullptr;
    int fd = open_regular(path, O_WRONLY);
    return fd < 0 ? nullptr : wrap_fd(fd);
}

int fs_set_size(FsFile* file, uint64_t size) {
    if (size > static_cast<uint64_t>(INT64_MAX)) return -1;
    return ftruncate(file->fd, static_cast<off_t>(size)) == 0 ? 0 : -1;
}
