// Downloads on POSIX: Linux hands the file to the socket inside the kernel with sendfile;
// other systems copy through memory.
#ifdef __linux__
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#endif
#include <errno.h>

#include "http/download.h"
#include "http/response.h"

int http_send_file_direct(SockHandle socket, FsFile* file, int64_t start, int64_t length) {
#ifdef __linux__
    int out = static_cast<int>(socket);
    int in = static_cast<int>(fs_native_handle(file));
    off_t offset = static_cast<off_t>(start);
    bool sent_any = false;
    int on = 1;
    setsockopt(out, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
    struct Uncork {
        int fd;
        ~Uncork() {
            int off = 0;
            setsockopt(fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
        }
    } uncork{out};
    while (length > 0) {
        // The same piece size as every other send, so no call runs unbounded.
        size_t piece = length < static_cast<int64_t>(SEND_CHUNK_BYTES)
                           ? static_cast<size_t>(length)
                           : static_cast<size_t>(SEND_CHUNK_BYTES);
        ssize_t n = sendfile(out, in, &offset, piece);
        if (n > 0) {
            sent_any = true;
            length -= n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A file system without sendfile support: copy through memory instead.
        if (n < 0 && !sent_any && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
            return -1;
        // 0: the file ended early (it shrank since its size was read); otherwise the socket
        // failed or the send time-out passed without progress.
        return 0;
    }
    return 1;
#else
    (void)socket;
    (void)file;
    (void)start;
    (void)length;
    return -1;
#endif
}
