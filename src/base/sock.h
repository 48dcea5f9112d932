#pragma once
// Socket layer: the few TCP operations the server needs, over IPv4 only. One backend per
// platform (sock_posix.cpp, sock_win32.cpp); everything above this header is portable.
//
// Results follow the system's conventions: 0/-1 for actions, byte counts for transfers.
// Writing to a connection the peer has closed is an ordinary send failure on every
// platform; it never raises a signal.
#include <cstddef>
#include <cstdint>

// A socket handle; wide enough for a POSIX descriptor and a Winsock SOCKET alike.
using SockHandle = int64_t;
constexpr SockHandle SOCK_INVALID = -1;

// Results of the receive and wait calls besides byte counts.
constexpr int64_t SOCK_ERROR = -1;    // the connection failed
constexpr int64_t SOCK_TIMEOUT = -2;  // nothing arrived within the allowed time

// Starts the socket layer (Winsock 2.2). On POSIX it also raises the open-file limit to its
// hard maximum, so that many connections do not run out of descriptors, and makes SIGPIPE
// ignored, so that no way of writing to a socket (sendfile included) can raise it. 0 or -1.
int sock_startup(void);
// Stops the socket layer again (one call per successful sock_startup).
void sock_cleanup(void);

// A new IPv4 stream socket, or SOCK_INVALID.
SockHandle sock_tcp4(void);
// Prepares a socket for binding a listening port so that a port another listener holds
// counts as taken: SO_EXCLUSIVEADDRUSE on Windows; SO_REUSEADDR on POSIX (which still
// refuses a port with a listener, and lets a restarted server reuse its port at once).
// 0 or -1.
int sock_set_listen_options(SockHandle s);
// Binds to 0.0.0.0 (all interfaces) and the port; port 0 lets the system choose. 0 or -1.
int sock_bind_any4(SockHandle s, int port);
// Binds to 127.0.0.1 and the port (0: any free one). 0 or -1.
int sock_bind_loopback4(SockHandle s, int port);
int sock_listen(SockHandle s, int backlog);
// Asks the system to hand a new connection to accept only once its first bytes have arrived,
// or after about a second of silence, so that no thread is woken to wait for a request still
// on its way. Where the system has no such option (only Linux has it) nothing changes. The
// connections held back wait in the listener's backlog. 0, or -1 when the option was refused.
int sock_accept_after_first_bytes(SockHandle listener);
// The local port a bound socket holds, or -1.
int sock_local_port(SockHandle s);

// Accepts one connection. On success *peer_ipv4 (when not null) holds the peer's IPv4
// address in host byte order (0 when the system gave none). On failure returns SOCK_INVALID
// and sets *starved to 1 when the system lacked descriptors or memory (a retry at once would
// fail the same way), else to 0.
SockHandle sock_accept(SockHandle listener, int* starved, uint32_t* peer_ipv4);
// Connects a new socket to 127.0.0.1 and the port; SOCK_INVALID on failure.
SockHandle sock_connect_loopback4(int port);
// The same from the local address from_ipv4 (host byte order): any 127.x.y.z is this machine
// too, so one machine can act as many clients. SOCK_INVALID when binding or connecting fails.
SockHandle sock_connect_loopback4_from(int port, uint32_t from_ipv4);

// Waits until the socket is readable (data, end of stream or an error is pending), for at
// most timeout_ms (negative: no limit). 1 readable, SOCK_TIMEOUT, or SOCK_ERROR.
int64_t sock_wait_readable(SockHandle s, int timeout_ms);
// One receive of at most cap bytes, after waiting for data at most timeout_ms (negative: no
// limit). The number of bytes (> 0), 0 when the peer closed, SOCK_TIMEOUT or SOCK_ERROR.
int64_t sock_recv(SockHandle s, void* buf, size_t cap, int timeout_ms);
// Bounds how long one send may go without progress (0: no bound). 0 or -1.
int sock_set_send_timeout(SockHandle s, int timeout_ms);
// One send of at most len bytes; the number sent (> 0) or SOCK_ERROR, also when the send
// time-out passed without progress or the peer has gone.
int64_t sock_send(SockHandle s, const void* bytes, size_t len);
// Ends both directions of a connection at once.
void sock_shutdown(SockHandle s);
// Closes the socket; SOCK_INVALID is ignored.
void sock_close(SockHandle s);
