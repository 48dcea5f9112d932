// Socket layer over Winsock 2.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "base/sock.h"

namespace {

SOCKET as_socket(SockHandle s) {
    return static_cast<SOCKET>(s);
}

SockHandle as_handle(SOCKET s) {
    return s == INVALID_SOCKET ? SOCK_INVALID : static_cast<SockHandle>(s);
}

int bind_ipv4(SockHandle s, u_long host_order_addr, int port) {
    if (port < 0 || port > 65535) return -1;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(host_order_addr);
    return bind(as_socket(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : -1;
}

// A failed call that a retry at once would only repeat.
bool starved_error(int err) {
    return err == WSAEMFILE || err == WSAENOBUFS;
}

}  // namespace

int sock_startup(void) {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
}

void sock_cleanup(void) {
    WSACleanup();
}

SockHandle sock_tcp4(void) {
    // Not inherited by the processes the shell starts for "open".
    SOCKET s =
        WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return as_handle(s);
}

int sock_set_listen_options(SockHandle s) {
    // SO_REUSEADDR would let this socket share a port another program listens on; exclusive
    // use makes such a port count as taken. The two options cannot be combined.
    BOOL on = TRUE;
    return setsockopt(as_socket(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0
               ? 0
               : -1;
}

int sock_bind_any4(SockHandle s, int port) {
    return bind_ipv4(s, INADDR_ANY, port);
}

int sock_bind_loopback4(SockHandle s, int port) {
    return bind_ipv4(s, INADDR_LOOPBACK, port);
}

int sock_listen(SockHandle s, int backlog) {
    return listen(as_socket(s), backlog) == 0 ? 0 : -1;
}

int sock_accept_after_first_bytes(SockHandle) {
    return 0;
}

int sock_local_port(SockHandle s) {
    sockaddr_in addr = {};
    int len = sizeof addr;
    if (getsockname(as_socket(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

SockHandle sock_accept(SockHandle listener, int* starved, uint32_t* peer_ipv4) {
    *starved = 0;
    for (;;) {
        sockaddr_in peer = {};
        int peer_len = sizeof peer;
        SOCKET s = accept(as_socket(listener), reinterpret_cast<sockaddr*>(&peer), &peer_len);
        if (s != INVALID_SOCKET) {
            if (peer_ipv4)
                *peer_ipv4 = peer.sin_family == AF_INET ? ntohl(peer.sin_addr.s_addr) : 0;
            return as_handle(s);
        }
        int err = WSAGetLastError();
        if (err == WSAEINTR || err == WSAECONNRESET) continue;
        *starved = starved_error(err) ? 1 : 0;
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
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(as_socket(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        sock_close(s);
        return SOCK_INVALID;
    }
    return s;
}

int64_t sock_wait_readable(SockHandle s, int timeout_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(as_socket(s), &readable);
    timeval tv = {};
    timeval* limit = nullptr;
    if (timeout_ms >= 0) {
        tv.tv_sec = timeout_ms / 1000;
        tv.tv_usec = (timeout_ms % 1000) * 1000;
        limit = &tv;
    }
    int rc = select(0, &readable, nullptr, nullptr, limit);
    if (rc > 0) return 1;
    return rc == 0 ? SOCK_TIMEOUT : SOCK_ERROR;
}

int64_t sock_recv(SockHandle s, void* buf, size_t cap, int timeout_ms) {
    if (timeout_ms >= 0) {
        int64_t ready = sock_wait_readable(s, timeout_ms);
        if (ready != 1) return ready;
    }
    int want = cap > 0x40000000 ? 0x40000000 : static_cast<int>(cap);
    int n = recv(as_socket(s), static_cast<char*>(buf), want, 0);
    return n >= 0 ? n : SOCK_ERROR;
}

int sock_set_send_timeout(SockHandle s, int timeout_ms) {
    DWORD ms = timeout_ms > 0 ? static_cast<DWORD>(timeout_ms) : 0;
    return setsockopt(as_socket(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms),
                      sizeof ms) == 0
               ? 0
               : -1;
}

int64_t sock_send(SockHandle s, const void* bytes, size_t len) {
    // Winsock never raises a signal; a closed peer or the send time-out is an error result.
    int want = len > 0x40000000 ? 0x40000000 : static_cast<int>(len);
    int n = send(as_socket(s), static_cast<const char*>(bytes), want, 0);
    return n > 0 ? n : SOCK_ERROR;
}

void sock_shutdown(SockHandle s) {
    if (s != SOCK_INVALID) shutdown(as_socket(s), SD_BOTH);
}

void sock_close(SockHandle s) {
    if (s != SOCK_INVALID) closesocket(as_socket(s));
}
