#pragma once
// Request reading: the head of one HTTP/1.0 request, its request line and headers, and the
// readers handlers use for the rest (header lookup, device name, target and query, body).
//
// Bodies are delimited by Content-Length alone; no other transfer coding is understood and no
// interim response is ever sent.
#include <cstddef>
#include <cstdint>

#include "base/strbuf.h"
#include "base/sock.h"

struct JsonValue;

constexpr uint64_t MAX_HEAD_BYTES = 65536;
constexpr size_t HEAD_READ_BYTES = 4096;     // one socket read while the head arrives
constexpr int64_t BODY_READ_BYTES = 262144;  // one read of a body held in memory
constexpr int64_t DRAIN_READ_BYTES = 8192;   // one read of a body thrown away
// The longest bodies read whole: a JSON body, and any body read with http_read_body (the
// "/zip" form, whose 20,000 paths fit well inside). A longer one is not read at all: it counts
// as missing, the handler gives its usual answer and the connection drains the bytes, so no
// client can make one connection hold more memory than this.
constexpr int64_t JSON_BODY_MAX_BYTES = 16 * 1024 * 1024;
constexpr int64_t FORM_BODY_MAX_BYTES = 64 * 1024 * 1024;
constexpr int DRAIN_WAIT_MS = 2000;  // the drain's wait for each piece

// Memory for bodies read whole. Every JSON and form body is charged, before its first byte is
// read, the most it can cost while its request runs: its announced length times the cost of
// its kind, plus for JSON the cost of the nodes every body may have. A JSON body costs its
// bytes, its strings (never more than the bytes) and its tree, whose values and keys are
// limited to JSON_BODY_NODES_BASE plus one per JSON_BODY_BYTES_PER_NODE bytes of body (at most
// about 130 bytes each: node, text block, container slots); the requests of this server hold a
// handful of values each. A form body costs its bytes and the buffer's last doubling. All
// charges at one moment stay within BODY_BUDGET_BYTES, so parallel requests cannot take the
// PC's memory however large their bodies are. Charges above BODY_SMALL_CHARGE together stay
// within BODY_LARGE_BUDGET_BYTES: a few large bodies held open by slow or hostile clients
// leave room for the page's small ones. A body that does not fit is not read and its request
// is answered 503 at once; waiting would let whoever holds the budget hold every other
// request too.
constexpr int64_t BODY_BUDGET_BYTES = int64_t{256} * 1024 * 1024;
constexpr int64_t BODY_LARGE_BUDGET_BYTES = int64_t{224} * 1024 * 1024;
constexpr int64_t BODY_SMALL_CHARGE = int64_t{1024} * 1024;
constexpr int64_t JSON_BODY_COST = 4;
constexpr int64_t JSON_BODY_BASE_CHARGE = 16384;
constexpr int64_t FORM_BODY_COST = 2;
constexpr size_t JSON_BODY_NODES_BASE = 64;
constexpr size_t JSON_BODY_BYTES_PER_NODE = 64;
// What a handler answers, with 503, when a body could not be read for want of memory.
constexpr const char* HTTP_BODY_BUSY_MESSAGE = "服务器正忙，请稍后再试";
constexpr int DEVICE_NAME_MAX_CHARS = 40;

// How long a connection may keep the server waiting. A silent client must not hold its
// thread for long, a phone that vanishes mid-transfer must be noticed, and a body that only
// trickles must not hold its thread for hours either.
struct HttpTimeouts {
    int head_ms;       // from the start of reading until the head's blank line
    int body_idle_ms;  // longest pause without a body byte while a body is read
    int send_idle_ms;  // longest send without progress
    // The body's pace: every stretch of body_window_ms spent waiting on the socket for the
    // body must bring at least body_window_bytes, or the body is given up on. Only waiting
    // counts, so time the server spends elsewhere (a slow disk) never counts against the
    // client. Weak Wi-Fi is far faster than this floor. 0 ms: no floor.
    int body_window_ms;
    int body_window_bytes;
};
constexpr HttpTimeouts HTTP_TIMEOUTS_DEFAULT = {30000, 120000, 120000, 60000, 4096};
// The time-outs every new connection uses. The program never changes them; unit tests
// shorten them before they start connections.
extern HttpTimeouts HttpTimeLimits;

// The body's pace window is judged in this many slices: a body is given up on at most one
// slice later than the exact sliding window would, never earlier.
constexpr int BODY_PACE_SLICES = 6;

// What a body brought while the server waited for it, on a clock that runs only while the
// server waits on the socket.
struct BodyPace {
    int64_t waited_us;  // time spent waiting on the socket for the body so far
    int64_t slice;      // the slice of body_window_ms / BODY_PACE_SLICES that waited_us is in
    // Bytes received per slice, for this slice and the BODY_PACE_SLICES before it (a ring
    // indexed by slice number).
    int64_t bytes[BODY_PACE_SLICES + 1];
};

// The reading side of one connection. carry holds the bytes that arrived after the head's
// blank line (one heap block, freed with http_conn_release); body readers hand those out
// before they receive from the socket.
struct HttpConn {
    SockHandle socket;
    char* carry;
    uint64_t carry_len;
    uint64_t carry_pos;
    int64_t body_read;  // body bytes handed out by the body readers (not by the drain)
    int64_t body_charge;        // memory budget held for bodies read whole (all of it)
    int64_t body_charge_large;  // the part of body_charge taken by large bodies
    int body_refused;           // 1 once a body was refused for want of memory
    BodyPace pace;              // shared by the body readers and the drain: all of it is the body
    uint32_t peer_ipv4;         // the client's IPv4 address, host byte order (0: not known)
};

// One header; both texts point into the head buffer, NUL-terminated and trimmed.
struct HttpHeader {
    char* name;
    char* value;
};

// Headers in their order of arrival, duplicates kept. Capacity 16 at the first insertion,
// then doubling.
struct HeaderList {
    HttpHeader* items;
    uint32_t count;
    uint32_t capacity;
};

// The parsed request. The texts point into the head buffer, which must outlive the request.
struct HttpRequest {
    char* method;
    char* target;   // the raw request target as sent
    char* version;  // never examined
    HeaderList headers;
    int64_t content_length;  // never negative
};

// A connection on the socket with nothing carried over, nothing read and no known peer.
void http_conn_init(HttpConn* conn, SockHandle socket);
// Frees the carry-over block and gives back the memory budget its bodies held (call it once
// the request's handler has returned: what it parsed lives until then); the socket is left
// alone.
void http_conn_release(HttpConn* conn);
// The budget all connections hold for bodies read whole now, in bytes.
int64_t http_body_charged(void);

// Reads into head until it holds the whole request head. 1 on success: head then holds the
// head up to and including its final "\r\n\r\n" (and a terminator), and any bytes read past
// it are in conn's carry. 0 when the peer closed or failed, no blank line came within
// MAX_HEAD_BYTES, the head time-out passed, or memory ran out.
int http_read_head(HttpConn* conn, StrBuf* head);
// Splits the head text in place into req. 1 on success; 0 when the request line is malformed
// (empty, or fewer than three tokens) or the header list cannot grow. Free req's header list
// with http_request_free in either case.
int http_parse_request(StrBuf* head, HttpRequest* req);
void http_request_free(HttpRequest* req);

// Removes tab, line feed, vertical tab, form feed, carriage return and space from both ends
// in place; returns the new start (a terminator is written after the last kept byte).
char* http_trim(char* text);
// Strict decimal parse of len bytes: white space around, an optional sign, digits only, no
// overflow. 1 and the value in *out, or 0.
int http_parse_int64(const char* text, size_t len, int64_t* out);
// The value of the first header whose name equals name (only A-Z folded to a-z), or null.
// Borrowed from the list.
const char* http_header(const HeaderList* list, const char* name);
// 1 when header_name equals name with only A-Z folded to a-z, as http_header compares them,
// for walking every header of one name; else 0.
int http_header_name_is(const char* header_name, const char* name);
// The sender's device name from "X-Device-Name": percent-decoded, trimmed, at most
// DEVICE_NAME_MAX_CHARS characters. Always newly allocated (empty when there is none); the
// caller frees it. Null only if even an empty text cannot be allocated.
char* http_device_name(const HeaderList* list);
// A new copy of the target (null counts as empty) cut at its first '#', with its first '?'
// turned into a terminator; *query_out then points just after that '?' inside the copy and is
// left untouched when there is none. The caller frees the copy (which also ends the query).
// Null when memory runs out; *query_out is then null.
char* http_split_target(const char* target, const char** query_out);
// The percent-decoded ('+' as space) value of the first query parameter whose decoded key is
// name. Newly allocated; null when absent or empty ("dir=" counts as absent).
char* http_query_param(const char* query, const char* name);

// The body readers' one rule: hands out carried-over bytes first (at most cap, at most what
// is left of them), and only when none are left receives once from the socket, waiting at
// most the body idle time, and not past the moment the body falls below its pace. Adds every
// positive count to conn->body_read. Returns the count; 0 or less when the peer stopped,
// failed, stayed silent too long or fell below the pace (SOCK_TIMEOUT).
int64_t http_conn_read(HttpConn* conn, void* buf, size_t cap);
// Reads a body of length bytes whole into a new buffer with a terminator after the bytes
// received; *got_out is their number (less than length when the peer stopped early). The
// buffer grows with the bytes that actually arrive, so an announced length alone costs no
// memory. Null (and *got_out 0, nothing read) when length is 0 or less or above
// FORM_BODY_MAX_BYTES, or when memory runs out; when the body memory budget has no room for
// it, also null with nothing read, and conn->body_refused is set (answer 503 with
// HTTP_BODY_BUSY_MESSAGE). The caller frees it.
char* http_read_body(HttpConn* conn, int64_t length, int64_t* got_out);
// Reads the body and parses it as JSON within the node budget for its length; anything that
// cannot be read or parsed gives an empty object, and so does a body above
// JSON_BODY_MAX_BYTES, which is left unread. Null, with nothing read, when the body memory
// budget has no room for the body (conn->body_refused is then set) or memory runs out: the
// handler answers 503 with HTTP_BODY_BUSY_MESSAGE. The caller frees the result with
// json_free.
JsonValue* http_read_json(HttpConn* conn, int64_t length);
// Reads and throws away up to remaining bytes, carried-over ones first, waiting at most
// DRAIN_WAIT_MS for each piece and stopping when the body falls below its pace, so the peer
// has finished sending before the socket closes. Drained bytes are not counted in
// body_read.
void http_drain_body(HttpConn* conn, int64_t remaining);
