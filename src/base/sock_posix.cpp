// Socket layer over BSD sockets (Linux, macOS).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>

#include "base/sock.h"

namespace {

// macOS has no MSG_NOSIGNAL; there every socket gets SO_NOSIGPIPE instead.
#ifdef MSG_NOSIGNAL
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;
#endif

int as_fd(SockHandle s) {
    return static_cast<int>(s);
}

void keep_sigpipe_away(int fd) {
#ifdef SO_NOSIGPIPE
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#else
    (void)fd;
#endif
}

// Each connection holds a descriptor, so the soft limit (often 1,024) would cap the number
// of clients long before memory does.
void raise_open_file_limit() {
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == lim.rlim_max) return;
    rlim_t wanted = lim.rlim_max;
    lim.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &lim) == 0) return;
#ifdef OPEN_MAX
    // macOS reports an unlimited hard limit but refuses more than OPEN_MAX per process.
    if (wanted > OPEN_MAX) {
        lim.rlim_cur = OPEN_MAX;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
#endif
}

int bind_ipv4(SockHandle s, uint32_t host_order_addr, int port) {
    if (port < 0 || port > 65535) return -1;
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(host_order_addr);
    return bind(as_fd(s), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 ? 0 : -1;
}

// A failed call that a retry at once would only repeat.
bool starved_errno(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

}  // namespace

int sock_startup(void) {
    raise_open_file_limit();
    // MSG_NOSIGNAL covers send; sendfile has no such flag, so the signal is ignored as well.
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

void sock_cleanup(void) {}

SockHandle sock_tcp4(void) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return SOCK_INVALID;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    keep_sigpipe_away(fd);
    return fd;
}

int sock_set_listen_options(SockHandle s) {
    int on = 1;
    return setsockopt(as_fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

int sock_bind_any4(SockHandle s, int port) {
    return bind_ipv4(s, INADDR_ANY, port);
}

int sock_bind_loopback4(SockHandle s, int port) {
    return bind_ipv4(s, INADDR_LOOPBACK, port);
}

int sock_listen(SockHandle s, int backlog) {
    return listen(as_fd(s), backlog) == 0 ? 0 : -1;
}

int sock_accept_after_first_bytes(SockHandle listener) {
#ifdef TCP_DEFER_ACCEPT
    // The system rounds the second up to one retransmission of its handshake reply; a client
    // that stays silent is accepted when it answers that.
    int seconds = 1;
    int rc = setsockopt(as_fd(listener), IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
    return rc == 0 ? 0 : -1;
#else
    (void)listener;
    return 0;
#endif
}

int sock_local_port(SockHandle s) {
    struct sockaddr_in addr = {};
    socklen_t len = sizeof addr;
    if (getsockname(as_fd(s), reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

namespace {

// Accepts a connection whose descriptor is closed on exec (an opened folder's file manager
// must not inherit client connections): in the same call where the system has accept4.
int accept_cloexec(int listener, struct sockaddr_in* peer, socklen_t* peer_len) {
#ifdef __linux__
    return accept4(listener, reinterpret_cast<struct sockaddr*>(peer), peer_len, SOCK_CLOEXEC);
#else
    int fd = accept(listener, reinterpret_cast<struct sockaddr*>(peer), peer_len);
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
#endif
}

}  // namespace

SockHandle sock_accept(SockHandle listener, int* starved, uint32_t* peer_ipv4) {
    *starved = 0;
    for (;;) {
        struct sockaddr_in peer = {};
        socklen_t peer_len = sizeof peer;
        int fd = accept_cloexec(as_fd(listener), &peer, &peer_len);
        if (fd >= 0) {
            keep_sigpipe_away(fd);
            if (peer_ipv4)
                *peer_ipv4 = peer.sin_family == AF_INET ? ntohl(peer.sin_addr.s_addr) : 0;
            return fd;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        *starved = starved_errno(errno) ? 1 : 0;
        return SOCK_INVALID;
    }
}

SockHandle sock_connect_loopback4(int port) {
    return sock_connect_loopback4_from(port, 0);
}

SockHandle sock_connect_loopback4_from(int port, uint32_t from_ipv4) {
    if (port <= 0 || port > 65535) return SOCK_INVALID;
    SockHandle s = sock_tcp4();
    if (s == SOCK_INVALID) return SOCK_INVALID;
    if (from_ipv4 != 0 && bind_ipv4(s, from_ipv4, 0) != 0) {
        sock_close(s);
        return SOCK_INVALID;
    }
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc;
    do {
        rc = connect(as_fd(s), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        sock_close(s);
        return SOCK_INVALID;
    }
    return s;
}

int64_t sock_wait_readable(SockHandle s, int timeout_ms) {
    struct pollfd p = {};
    p.fd = as_fd(s);
    p.events = POLLIN;
    for (;;) {
        int rc = poll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
        if (rc > 0) return 1;
        if (rc == 0) return SOCK_TIMEOUT;
        // An interrupted wait starts over with the full time; signals are rare here (the
        // stop signals are taken by a thread of their own).
        if (errno != EINTR) return SOCK_ERROR;
    }
}

int64_t sock_recv(SockHandle s, void* buf, size_t cap, int timeout_ms) {
    // Bytes are usually waiting already (a request's head right after the connection, a body
    // arriving faster than it is written), so they are taken without asking poll first; the
    // wait comes only when nothing is there.
    if (timeout_ms >= 0) {
        for (;;) {
            ssize_t n = recv(as_fd(s), buf, cap, MSG_DONTWAIT);
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return SOCK_ERROR;
            break;
        }
        int64_t ready = sock_wait_readable(s, timeout_ms);
        if (ready != 1) return ready;
    }
    for (;;) {
        ssize_t n = recv(as_fd(s), buf, cap, 0);
        if (n >= 0) return n;
        if (errno != EINTR) return SOCK_ERROR;
    }
}

int sock_set_send_timeout(SockHandle s, int timeout_ms) {
    struct timeval tv = {};
    if (timeout_ms > 0) {
        tv.tv_sec = timeout_ms / 1000;
        tv.tv_usec = (timeout_ms % 1000) * 1000;
    }
    return setsockopt(as_fd(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 ? 0 : -1;
}

int64_t sock_send(SockHandle s, const void* bytes, size_t len) {
    for (;;) {
        ssize_t n = send(as_fd(s), bytes, len, SEND_FLAGS);
        if (n > 0) return n;
        // EAGAIN here means the send time-out passed without a byte going out.
        if (n < 0 && errno == EINTR) continue;
        return SOCK_ERROR;
    }
}

void sock_shutdown(SockHandle s) {
    if (s != SOCK_INVALID) shutdown(as_fd(s), SHUT_RDWR);
}

void sock_close(SockHandle s) {
    if (s != SOCK_INVALID) close(as_fd(s));
}
