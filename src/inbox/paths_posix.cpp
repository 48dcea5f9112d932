// POSIX half of the inbox paths: names are bytes, and O_EXCL / mkdir refuse any existing
// entry, dangling links included, so a create never writes through something already there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "inbox/paths.h"
#include "inbox/paths_platform.h"

char path_separator() {
    return '/';
}

// Linux and macOS limit a name to 255 bytes.
size_t path_name_size(const char*, size_t len) {
    return len;
}

int path_create_file(const char* path, FILE** file) {
    *file = nullptr;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return errno == EEXIST ? PATH_TAKEN : PATH_FAILED;
    FILE* stream = fdopen(fd, "wb");
    if (!stream) {
        close(fd);
        unlink(path);
        return PATH_FAILED;
    }
    *file = stream;
    return PATH_CREATED;
}

int path_create_dir(const char* path) {
    if (mkdir(path, 0777) == 0) return PATH_CREATED;
    return errno == EEXIST ? PATH_TAKEN : PATH_FAILED;
}
