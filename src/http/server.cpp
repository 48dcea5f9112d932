#include "http/server.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_map>

#include "http/request.h"
#include "http/response.h"
#include "base/thread.h"

SockHandle ListenSocket = SOCK_INVALID;
std::atomic<int> RunningFlag{1};
int ConnectionLimit = MAX_CONNECTION_THREADS;
int ConnectionLimitPerAddress = MAX_CONNECTIONS_PER_ADDRESS;

namespace {

// Connections being served, in all and per client address; the accept loop waits on freed
// while the count is at the cap. An address is listed only while it holds a connection, so
// the map never holds more entries than there are connections. Never destroyed: a detached
// connection thread may still release its slot while the process (or a test) runs its
// exit-time destructors.
struct ConnectionSlots {
    std::mutex mutex;
    std::condition_variable freed;
    int count = 0;
    std::unordered_map<uint32_t, int> per_address;
};

ConnectionSlots& connection_slots() {
    static ConnectionSlots* slots = new ConnectionSlots;
    return *slots;
}

// Counts a connection from peer; false (nothing counted) when that address already holds its
// share.
bool take_connection_slot(uint32_t peer) {
    ConnectionSlots& slots = connection_slots();
    std::lock_guard<std::mutex> lock(slots.mutex);
    auto found = slots.per_address.find(peer);
    if (found != slots.per_address.end() && found->second >= ConnectionLimitPerAddress)
        return false;
    if (found == slots.per_address.end())
        slots.per_address.emplace(peer, 1);
    else
        found->second++;
    slots.count++;
    return true;
}

void release_connection_slot(uint32_t peer) {
    ConnectionSlots& slots = connection_slots();
    {
        std::lock_guard<std::mutex> lock(slots.mutex);
        slots.count--;
        auto found = slots.per_address.find(peer);
        if (found != slots.per_address.end() && --found->second <= 0)
            slots.per_address.erase(found);
    }
    slots.freed.notify_one();
}

// Answers a connection over its address's share on the accept loop itself, so that a crowd
// costs no threads: what the client has sent so far is read first (closing with unread bytes
// would reset the connection and could destroy the answer), then the short 503 goes into
// the new connection's empty send buffer, and the connection is closed.
void refuse_crowded_client(SockHandle client) {
    sock_set_send_timeout(client, CROWDED_SEND_TIMEOUT_MS);
    char scratch[4096];
    for (int reads = 0; reads < 16; reads++) {
        if (sock_recv(client, scratch, sizeof scratch, 0) <= 0) break;
    }
    HttpAnswer answer = http_answer_on(client);
    http_send_error(&answer, "同一地址的连接太多，请稍后再试", 503);
    sock_close(client);
}

// Waits until fewer than ConnectionLimit connections are being served. Wakes now and then
// to see RunningFlag, so a stop is noticed even while the server is full.
void wait_for_connection_slot() {
    ConnectionSlots& slots = connection_slots();
    std::unique_lock<std::mutex> lock(slots.mutex);
    while (slots.count >= ConnectionLimit && RunningFlag.load() != 0)
        slots.freed.wait_for(lock, std::chrono::milliseconds(ACCEPT_STARVED_PAUSE_MS));
}

// Binds a throw-away socket to see whether the port is free. 1 free, 0 taken, -1 when no
// socket could be made, -2 when it could not be given the listener's options (without them
// the answer would not hold for the real socket).
int probe_port(int port) {
    SockHandle probe = sock_tcp4();
    if (probe == SOCK_INVALID) return -1;
    int result = -2;
    if (sock_set_listen_options(probe) == 0) result = sock_bind_any4(probe, port) == 0 ? 1 : 0;
    sock_close(probe);
    return result;
}

int open_listener(int port) {
    ListenSocket = sock_tcp4();
    if (ListenSocket == SOCK_INVALID) return -1;
    if (sock_set_listen_options(ListenSocket) == 0 && sock_bind_any4(ListenSocket, port) == 0 &&
        sock_listen(ListenSocket, LISTEN_BACKLOG) == 0) {
        // Without it every connection is still served; its thread just waits for the head.
        sock_accept_after_first_bytes(ListenSocket);
        return 0;
    }
    sock_close(ListenSocket);
    ListenSocket = SOCK_INVALID;
    return -1;
}

// The port ListenSocket is bound to, for srv_stop's wake-up connection.
std::atomic<int> ListenPort{0};

struct ConnectionStart {
    SockHandle socket;
    HttpHandler handler;
    const void* context;
    uint32_t peer;
};

// Connection threads outlive their connection: a thread that has served one parks and takes
// the next accepted connection, so a busy server stops paying a thread's creation and
// teardown per request. A connection never waits for a busy thread: when no parked thread is
// free for it, a new one starts (the slots above keep the count within ConnectionLimit), so
// a slow client still holds up nobody but itself. A thread parked longer than
// WORKER_IDLE_EXIT_MS ends, so the threads a flood brought do not stay. Never destroyed, for
// the same reason as the slots.
struct WorkerPool {
    std::mutex mutex;
    std::condition_variable queued;
    std::deque<ConnectionStart> waiting;  // accepted, not yet taken by a thread
    int parked = 0;                       // threads waiting for a connection
};

WorkerPool& worker_pool() {
    static WorkerPool* pool = new WorkerPool;
    return *pool;
}

void serve_start(const ConnectionStart& start) {
    http_serve_connection(start.socket, start.handler, start.context, start.peer);
    release_connection_slot(start.peer);
}

// Takes the next waiting connection; false when none came within WORKER_IDLE_EXIT_MS.
bool take_waiting(WorkerPool& pool, ConnectionStart* out) {
    std::unique_lock<std::mutex> lock(pool.mutex);
    pool.parked++;
    bool got = pool.queued.wait_for(lock, std::chrono::milliseconds(WORKER_IDLE_EXIT_MS),
                                    [&pool] { return !pool.waiting.empty(); });
    pool.parked--;
    if (!got) return false;
    *out = pool.waiting.front();
    pool.waiting.pop_front();
    return true;
}

void connection_thread(void* arg) {
    ConnectionStart start = *static_cast<ConnectionStart*>(arg);
    delete static_cast<ConnectionStart*>(arg);
    WorkerPool& pool = worker_pool();
    do serve_start(start);
    while (take_waiting(pool, &start));
}

// Hands an accepted connection to a parked thread, or to a new one when every parked thread
// already has a connection coming. false when no thread could take it (nothing is then
// queued and the connection still belongs to the caller).
bool dispatch_connection(const ConnectionStart& start) {
    WorkerPool& pool = worker_pool();
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        if (static_cast<size_t>(pool.parked) > pool.waiting.size()) {
            pool.waiting.push_back(start);
            queued = true;
        }
    }
    // Woken after the lock is let go, so the woken thread does not at once wait for it.
    if (queued) {
        pool.queued.notify_one();
        return true;
    }
    auto* owned = new (std::nothrow) ConnectionStart(start);
    if (!owned) return false;
    if (thread_start_detached(connection_thread, owned, CONNECTION_STACK_BYTES) != 0) {
        delete owned;
        return false;
    }
    return true;
}

}  // namespace

int srv_last_probe_port(int base_port) {
    int last = base_port + (PORT_PROBE_COUNT - 1);
    return last > 65535 ? 65535 : last;
}

int srv_listen(int base_port, int* port_out) {
    if (sock_startup() != 0) return -2;
    int last = srv_last_probe_port(base_port);
    for (int port = base_port < 1 ? 1 : base_port; port <= last; port++) {
        int free_port = probe_port(port);
        if (free_port < 0) {
            sock_cleanup();
            return free_port;
        }
        if (!free_port) continue;
        if (open_listener(port) != 0) {
            sock_cleanup();
            return -2;
        }
        ListenPort.store(port);
        *port_out = port;
        return 0;
    }
    sock_cleanup();
    return -1;
}

void srv_accept_loop(HttpHandler handler, const void* context) {
    while (RunningFlag.load() != 0) {
        wait_for_connection_slot();
        if (RunningFlag.load() == 0) break;
        int starved = 0;
        uint32_t peer = 0;
        SockHandle client = sock_accept(ListenSocket, &starved, &peer);
        if (client != SOCK_INVALID) {
            // After a stop, the connection that woke the loop is not served.
            if (RunningFlag.load() == 0) {
                sock_close(client);
                break;
            }
            if (!take_connection_slot(peer)) {
                refuse_crowded_client(client);
                continue;
            }
            if (!dispatch_connection(ConnectionStart{client, handler, context, peer})) {
                release_connection_slot(peer);
                sock_close(client);
            }
            continue;
        }
        if (RunningFlag.load() == 0) break;
        if (starved) thread_sleep_ms(ACCEPT_STARVED_PAUSE_MS);
    }
    if (ListenSocket != SOCK_INVALID) {
        sock_close(ListenSocket);
        ListenSocket = SOCK_INVALID;
    }
    sock_cleanup();
}

int srv_connection_count(void) {
    ConnectionSlots& slots = connection_slots();
    std::lock_guard<std::mutex> lock(slots.mutex);
    return slots.count;
}

int srv_parked_thread_count(void) {
    WorkerPool& pool = worker_pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.parked;
}

void srv_stop(void) {
    RunningFlag.store(0);
    sock_close(sock_connect_loopback4(ListenPort.load()));
}

int http_serve_connection(SockHandle socket, HttpHandler handler, const void* context,
                          uint32_t peer_ipv4) {
    sock_set_send_timeout(socket, HttpTimeLimits.send_idle_ms);
    HttpConn conn;
    http_conn_init(&conn, socket);
    conn.peer_ipv4 = peer_ipv4;
    StrBufOwner head;
    HttpRequest request{};
    if (http_read_head(&conn, head.get())) {
        HttpAnswer answer = http_answer_on(socket);
        if (!http_parse_request(head.get(), &request)) {
            http_send_bad_request(&answer);
        } else {
            handler(context, &answer, &conn, &request);
            if (!answer.begun) http_send_error(&answer, "服务器内部错误", 500);
            // Closing with unread bytes pending would reset the connection and could destroy
            // the response before the client has read it.
            if (conn.body_read < request.content_length)
                http_drain_body(&conn, request.content_length - conn.body_read);
        }
    }
    http_request_free(&request);
    http_conn_release(&conn);
    sock_close(socket);
    return 0;
}
