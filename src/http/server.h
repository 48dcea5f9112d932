#pragma once
// Listener and connection threads: binds the one listening socket of the process and gives
// every accepted connection a thread of its own that serves exactly one request.
#include <atomic>

#include "base/sock.h"
#include "base/thread.h"
#include "http/request.h"
#include "http/response.h"

constexpr int PORT_PROBE_COUNT = 20;  // the base port and the 19 above it
// Pause after an accept that failed for lack of descriptors or memory, so the loop waits for
// connections to end instead of spinning.
constexpr int ACCEPT_STARVED_PAUSE_MS = 50;

// Connection threads. Every connection keeps its own thread while it is served (the handlers
// block on their socket and their files), so the load the server bears is a matter of how
// many threads it may hold and what each costs. A thread that has served its connection
// parks for the next one instead of ending (WORKER_IDLE_EXIT_MS), so a busy server pays for
// a thread once, not per request:
// - A connection thread's stack is 256 KiB instead of the platform's default (8 MiB on
//   Linux): 2,000 connections then reserve 500 MiB of address space, not 16 GiB, and only the
//   pages a thread touches are ever resident. The deepest users stay far below it: the JSON
//   reader and writer recurse at most 63 levels, the folder walkers are iterative, and every
//   large buffer (file copies, bodies, ZIP packing, listings) lives on the heap; the largest
//   arrays on a stack are a few KiB (formatting scratch, QR matrices, the drain's scratch).
// - At most MAX_CONNECTION_THREADS connections are served at once. At the cap the accept loop
//   waits for a thread to end and leaves further connections queued in the system's backlog,
//   so a flood costs the process a bounded number of threads, descriptors and memory. The
//   cap is set high enough that the floods a shared Wi-Fi can bring are served whole: idle
//   connections still hold a thread each, for at most the head time-out (30 s), and a request
//   that arrives among thousands of them is served at once instead of queueing behind them.
// - No one client address may hold more than MAX_CONNECTIONS_PER_ADDRESS of them, so that
//   one host cannot take every thread from the others. On a LAN every phone has an address
//   of its own; only a shared-NAT guest network puts several behind one, and this covers
//   them. A connection over its address's share is answered 503 at once by the accept loop
//   and closed, without a thread.
constexpr size_t CONNECTION_STACK_BYTES = 256 * 1024;
// A 32-bit build serves 1,024 at once: their stacks then take 256 MiB of its 2 GiB.
constexpr int MAX_CONNECTION_THREADS = THREAD_WIDE_ADDRESS_SPACE ? 4096 : 1024;
constexpr int MAX_CONNECTIONS_PER_ADDRESS = 64;
// Where the system holds a connection back until its first bytes arrive, the backlog holds
// every connection that has not sent its request yet, so it has room for as many as the
// server may serve at once (the system may cap it lower).
constexpr int LISTEN_BACKLOG = MAX_CONNECTION_THREADS;
// A connection thread with nothing to serve waits this long for the next connection before it
// ends: long enough to carry a page's bursts of requests, short enough that the threads of a
// flood are gone soon after it.
constexpr int WORKER_IDLE_EXIT_MS = 10000;
// How long the accept loop may spend sending the 503 to a crowded address (one small write
// into the empty send buffer of a new connection, which normally never waits).
constexpr int CROWDED_SEND_TIMEOUT_MS = 200;
// The caps the accept loop applies. The program never changes them; unit tests may lower them
// before they start the loop.
extern int ConnectionLimit;
extern int ConnectionLimitPerAddress;

// The listening socket while the server runs; written by srv_listen before any connection
// thread exists.
extern SockHandle ListenSocket;
// The accept loop runs while this is not 0.
extern std::atomic<int> RunningFlag;

// The last port srv_listen tries from base_port: base_port + 19, but never above 65535 (the
// probe does not wrap to low ports).
int srv_last_probe_port(int base_port);
// Starts the socket layer and binds ListenSocket on the first port from base_port to
// srv_last_probe_port(base_port) that no other socket holds. 0 on success (*port_out then
// holds the port); -1 when none of those ports could be bound; -2 when the socket layer did
// not start or the chosen port could not be prepared, bound or listened on. On failure the
// socket layer is stopped again.
int srv_listen(int base_port, int* port_out);
// Answers one parsed request through answer (one answer, never the socket itself); the body
// is read through conn, and whatever it leaves unread is drained afterwards. context is the
// pointer given to srv_accept_loop or http_serve_connection, passed on unchanged: the
// transport never looks at it, so what the handler needs stays the handler's business.
using HttpHandler = void (*)(const void* context, HttpAnswer* answer, HttpConn* conn,
                             HttpRequest* request);

// Accepts connections until RunningFlag is 0, each served by a parked connection thread or a
// new detached one running http_serve_connection with handler and context, never by a thread
// that is still serving another; a connection for which no thread could start is
// closed unanswered, and one whose address already holds ConnectionLimitPerAddress
// connections gets 503 "同一地址的连接太多，请稍后再试" and is closed. While ConnectionLimit
// connections are being served it accepts nothing.
// Then closes ListenSocket and stops the socket layer. What context points to must stay valid
// and unchanged while any connection may still be served.
void srv_accept_loop(HttpHandler handler, const void* context);
// Clears RunningFlag and wakes the accept loop with a connection of its own.
void srv_stop(void);
// The number of connections being served now (their threads running or about to start).
int srv_connection_count(void);
// The number of connection threads parked now, waiting for a connection to serve.
int srv_parked_thread_count(void);
// Serves one connection: reads and parses the request, hands it to handler with context,
// answers 500 "服务器内部错误" when the handler sent no answer, drains an unread body and
// closes the socket, which it owns in every case. peer_ipv4 is the client's address as the
// accept gave it (host byte order; 0 when not known), handed to the handler in the HttpConn.
// Returns 0.
int http_serve_connection(SockHandle socket, HttpHandler handler, const void* context,
                          uint32_t peer_ipv4 = 0);
