#pragma once
// Test fixture: two ends of one TCP connection on 127.0.0.1, made with the socket layer.
#include <chrono>
#include <string>
#include <thread>

#include "base/sock.h"

struct LoopbackPair {
    SockHandle server = SOCK_INVALID;  // the accepted end, as a connection thread sees it
    SockHandle client = SOCK_INVALID;

    LoopbackPair() {
        sock_startup();
        SockHandle listener = sock_tcp4();
        if (listener == SOCK_INVALID) return;
        if (sock_bind_loopback4(listener, 0) == 0 && sock_listen(listener, 4) == 0) {
            client = sock_connect_loopback4(sock_local_port(listener));
            int starved = 0;
            if (client != SOCK_INVALID) server = sock_accept(listener, &starved, nullptr);
        }
        sock_close(listener);
    }
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;
    ~LoopbackPair() {
        sock_close(server);
        sock_close(client);
        sock_cleanup();
    }
    bool ok() const { return server != SOCK_INVALID && client != SOCK_INVALID; }

    // Sends every byte from the client end.
    bool send(const std::string& bytes) const { return send_on(client, bytes); }
    // Closes the client end (the server end then reads the end of the stream).
    void close_client() {
        sock_close(client);
        client = SOCK_INVALID;
    }

    static bool send_on(SockHandle s, const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            int64_t n = sock_send(s, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
};

// Everything readable on s until the peer closes, an error, or nothing arrives for
// idle_ms. *closed tells whether the stream ended with an orderly close.
inline std::string read_until_close(SockHandle s, int idle_ms = 5000, bool* closed = nullptr) {
    std::string out;
    char buf[65536];
    for (;;) {
        int64_t n = sock_recv(s, buf, sizeof buf, idle_ms);
        if (n <= 0) {
            if (closed) *closed = n == 0;
            return out;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

inline void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
