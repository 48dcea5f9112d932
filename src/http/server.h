#pragma once
// Listener and connection threads: binds the one listening socket of the process and gives
// every accepted connection a detached thread that serves exactly one request.
#include <atomic>

#include "http/sock.h"

constexpr int PORT_PROBE_COUNT = 20;  // the base port and the 19 above it
constexpr int LISTEN_BACKLOG = 64;
// Pause after an accept that failed for lack of descriptors or memory, so the loop waits for
// connections to end instead of spinning.
constexpr int ACCEPT_STARVED_PAUSE_MS = 50;

// The listening socket while the server runs; written by srv_listen before any connection
// thread exists.
extern SockHandle ListenSocket;
// The accept loop runs while this is not 0.
extern std::atomic<int> RunningFlag;

// The last port srv_listen tries from base_port: base_port + 19, but never above 65535 (the
// probe does not wrap to low ports).
int srv_last_probe_port(int base_port);
// Starts the socket layer and binds ListenSocket on the first port from base_port to
// srv_last_probe_port(base_port) that no other socket holds. 0 on success (ServerPort then
// holds the port); -1 when none of those ports could be bound; -2 when the socket layer did
// not start or the chosen port could not be prepared, bound or listened on. On failure the
// socket layer is stopped again.
int srv_listen(int base_port);
// Accepts connections until RunningFlag is 0, each on a detached thread running
// http_serve_connection; a connection whose thread cannot start is closed unanswered. Then
// closes ListenSocket and stops the socket layer.
void srv_accept_loop(void);
// Clears RunningFlag and wakes the accept loop with a connection of its own.
void srv_stop(void);
// Serves one connection: reads and parses the request, routes it, drains an unread body
// and closes the socket, which it owns in every case. Returns 0.
int http_serve_connection(SockHandle socket);
