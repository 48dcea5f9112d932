#include "http/request.h"

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/json.h"
#include "base/memory.h"
#include "base/text.h"

HttpTimeouts HttpTimeLimits = HTTP_TIMEOUTS_DEFAULT;

namespace {

constexpr uint32_t HEADER_LIST_FIRST_CAPACITY = 16;

bool is_http_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

char* new_empty_text() {
    return static_cast<char*>(calloc(1, 1));
}

// Position of the first "\r\n\r\n" that starts at or after from, or -1.
int64_t find_blank_line(const char* data, uint64_t len, uint64_t from) {
    for (uint64_t i = from; i + 4 <= len; i++) {
        if (data[i] == '\r' && data[i + 1] == '\n' && data[i + 2] == '\r' && data[i + 3] == '\n')
            return static_cast<int64_t>(i);
    }
    return -1;
}

// Position of the first "\r\n" in [from, len), or len when there is none.
uint64_t find_line_end(const char* data, uint64_t len, uint64_t from) {
    for (uint64_t i = from; i + 1 < len; i++) {
        if (data[i] == '\r' && data[i + 1] == '\n') return i;
    }
    return len;
}

// Keeps the bytes past the head for the body readers and cuts the head after its blank line.
int finish_head(HttpConn* conn, StrBuf* head, uint64_t head_len) {
    uint64_t extra = head->len - head_len;
    if (extra > 0) {
        char* carry = static_cast<char*>(malloc(extra));
        if (!carry) return 0;
        memcpy(carry, head->data + head_len, extra);
        conn->carry = carry;
        conn->carry_len = extra;
        conn->carry_pos = 0;
    }
    head->len = head_len;
    head->data[head_len] = '\0';
    return 1;
}

// Milliseconds left until the deadline, 0 when it has passed.
int ms_until(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Cuts the next space- or tab-separated token out of line[*pos, end); null when the line
// ends first.
char* next_token(char* line, uint64_t end, uint64_t* pos) {
    uint64_t i = *pos;
    while (i < end && (line[i] == ' ' || line[i] == '\t')) i++;
    if (i >= end) return nullptr;
    uint64_t start = i;
    while (i < end && line[i] != ' ' && line[i] != '\t') i++;
    line[i] = '\0';  // at end this overwrites the line's own terminator
    *pos = i < end ? i + 1 : end;
    return line + start;
}

int header_list_add(HeaderList* list, char* name, char* value) {
    if (list->count == list->capacity) {
        uint32_t grown = list->capacity ? list->capacity * 2 : HEADER_LIST_FIRST_CAPACITY;
        if (grown < list->capacity) return 0;
        void* items = realloc(list->items, sizeof(HttpHeader) * grown);
        if (!items) return 0;
        list->items = static_cast<HttpHeader*>(items);
        list->capacity = grown;
    }
    list->items[list->count].name = name;
    list->items[list->count].value = value;
    list->count++;
    return 1;
}

// Splits "name: value" lines from pos up to the first empty line into the header list.
int parse_header_lines(char* text, uint64_t len, uint64_t pos, HeaderList* list) {
    while (pos < len) {
        uint64_t end = find_line_end(text, len, pos);
        if (end == pos) break;
        text[end] = '\0';
        char* line = text + pos;
        char* colon = static_cast<char*>(memchr(line, ':', end - pos));
        if (colon) {
            *colon = '\0';
            if (!header_list_add(list, http_trim(line), http_trim(colon + 1))) return 0;
        }
        pos = end + 2;
    }
    return 1;
}

int64_t parse_content_length(const HeaderList* list) {
    const char* value = http_header(list, "Content-Length");
    int64_t length = 0;
    if (!value || !http_parse_int64(value, strlen(value), &length)) return 0;
    return length < 0 ? 0 : length;
}

// A body at its kind's limit must fit an otherwise empty budget.
static_assert(JSON_BODY_MAX_BYTES * JSON_BODY_COST + JSON_BODY_BASE_CHARGE <=
              BODY_LARGE_BUDGET_BYTES);
static_assert(FORM_BODY_MAX_BYTES * FORM_BODY_COST <= BODY_LARGE_BUDGET_BYTES);
static_assert(BODY_LARGE_BUDGET_BYTES < BODY_BUDGET_BYTES);

// The memory budget of bodies read whole, shared by every connection.
struct BodyBudget {
    std::mutex mutex;
    int64_t charged;        // every charge held now
    int64_t charged_large;  // the charges above BODY_SMALL_CHARGE among them
};

BodyBudget& body_budget() {
    static BodyBudget budget;
    return budget;
}

// Takes charge bytes of the budget for conn. False, with nothing taken, when they do not fit.
bool budget_take(HttpConn* conn, int64_t charge) {
    bool large = charge > BODY_SMALL_CHARGE;
    BodyBudget& budget = body_budget();
    std::lock_guard<std::mutex> lock(budget.mutex);
    if (charge > BODY_BUDGET_BYTES - budget.charged) return false;
    if (large && charge > BODY_LARGE_BUDGET_BYTES - budget.charged_large) return false;
    budget.charged += charge;
    conn->body_charge += charge;
    if (large) {
        budget.charged_large += charge;
        conn->body_charge_large += charge;
    }
    return true;
}

void budget_give_back(HttpConn* conn) {
    if (conn->body_charge == 0) return;
    // A large body's tree was many small blocks, freed by now: the allocator gives them back
    // to the system too, so the PC gets the memory back when the request ends.
    if (conn->body_charge_large > 0) memory_give_back();
    BodyBudget& budget = body_budget();
    std::lock_guard<std::mutex> lock(budget.mutex);
    budget.charged -= conn->body_charge;
    budget.charged_large -= conn->body_charge_large;
    conn->body_charge = 0;
    conn->body_charge_large = 0;
}

// What a body's kind costs at most: cost per byte, plus base.
struct BodyKind {
    int64_t max_length;
    int64_t cost;
    int64_t base;
};
constexpr BodyKind JSON_BODY = {JSON_BODY_MAX_BYTES, JSON_BODY_COST, JSON_BODY_BASE_CHARGE};
constexpr BodyKind FORM_BODY = {FORM_BODY_MAX_BYTES, FORM_BODY_COST, 0};

// Reads a body of at most kind.max_length bytes whole, charging the body budget first with
// what it can cost (conn->body_refused is set when the budget has no room). The buffer starts
// with room for one read and doubles only when the bytes have filled it, so a client that
// announces a large body and sends little makes the server hold little.
char* read_body_whole(HttpConn* conn, int64_t length, const BodyKind& kind, int64_t* got_out) {
    *got_out = 0;
    if (length <= 0 || length > kind.max_length) return nullptr;
    if (!budget_take(conn, length * kind.cost + kind.base)) {
        conn->body_refused = 1;
        return nullptr;
    }
    int64_t room = length < BODY_READ_BYTES ? length : BODY_READ_BYTES;
    char* body = static_cast<char*>(malloc(static_cast<size_t>(room) + 1));
    if (!body) return nullptr;
    int64_t got = 0;
    while (got < length) {
        if (got == room) {
            int64_t grown = room * 2 < length ? room * 2 : length;
            auto* bigger = static_cast<char*>(realloc(body, static_cast<size_t>(grown) + 1));
            if (!bigger) {
                free(body);
                return nullptr;
            }
            body = bigger;
            room = grown;
        }
        int64_t want = room - got < BODY_READ_BYTES ? room - got : BODY_READ_BYTES;
        int64_t n = http_conn_read(conn, body + got, static_cast<size_t>(want));
        if (n <= 0) break;
        got += n;
    }
    body[got] = '\0';
    *got_out = got;
    return body;
}

constexpr int PACE_RING = BODY_PACE_SLICES + 1;

// The length of one pace slice in microseconds; 0 when there is no pace floor.
int64_t pace_slice_us() {
    int64_t window_us = static_cast<int64_t>(HttpTimeLimits.body_window_ms) * 1000;
    if (window_us <= 0) return 0;
    int64_t slice = window_us / BODY_PACE_SLICES;
    return slice > 0 ? slice : 1;
}

// Moves the pace's clock on by waited_us, emptying the slices it enters.
void pace_wait(BodyPace* pace, int64_t waited_us) {
    int64_t slice_us = pace_slice_us();
    pace->waited_us += waited_us;
    if (slice_us == 0) return;
    int64_t now = pace->waited_us / slice_us;
    for (int64_t s = pace->slice + 1; s <= now && s <= pace->slice + PACE_RING; s++)
        pace->bytes[s % PACE_RING] = 0;
    pace->slice = now;
}

void pace_count(BodyPace* pace, int64_t bytes) {
    pace->bytes[pace->slice % PACE_RING] += bytes;
}

// False once a whole window of waiting has gone by that brought too few bytes: the ring then
// spans at least one window (the slices before this one plus this one's start) and at most
// one slice more.
bool pace_kept(const BodyPace* pace) {
    int64_t slice_us = pace_slice_us();
    if (slice_us == 0 || pace->slice < BODY_PACE_SLICES) return true;
    int64_t brought = 0;
    for (int64_t bytes : pace->bytes) brought += bytes;
    return brought >= HttpTimeLimits.body_window_bytes;
}

int64_t elapsed_us(std::chrono::steady_clock::time_point since) {
    auto elapsed = std::chrono::steady_clock::now() - since;
    return std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
}

// One receive of body bytes, waiting at most idle_ms (negative: no limit) in all. The wait
// is cut into pieces that end where the pace's slices do, so a body that falls below its
// pace is given up on within a slice, however long the idle limit. Only the time spent in
// the socket calls moves the pace's clock.
int64_t paced_recv(HttpConn* conn, void* buf, size_t cap, int idle_ms) {
    BodyPace* pace = &conn->pace;
    int64_t idle_left_us = idle_ms < 0 ? INT64_MAX : static_cast<int64_t>(idle_ms) * 1000;
    for (;;) {
        if (!pace_kept(pace)) return SOCK_TIMEOUT;
        int64_t slice_us = pace_slice_us();
        int64_t step_us = idle_left_us;
        if (slice_us > 0 && slice_us - pace->waited_us % slice_us < step_us)
            step_us = slice_us - pace->waited_us % slice_us;
        int step_ms = -1;  // no limit
        if (step_us != INT64_MAX) {
            // Rounded up, so a piece that times out has reached the slice's end.
            int64_t rounded_up = (step_us + 999) / 1000;
            step_ms = rounded_up < INT_MAX ? static_cast<int>(rounded_up) : INT_MAX;
        }
        auto start = std::chrono::steady_clock::now();
        int64_t n = sock_recv(conn->socket, buf, cap, step_ms);
        int64_t waited_us = elapsed_us(start);
        pace_wait(pace, waited_us);
        if (n > 0) {
            pace_count(pace, n);
            return n;
        }
        if (n != SOCK_TIMEOUT) return n;
        if (idle_left_us != INT64_MAX) {
            idle_left_us -= waited_us > step_us ? waited_us : step_us;
            if (idle_left_us <= 0) return SOCK_TIMEOUT;
        }
    }
}

}  // namespace

void http_conn_init(HttpConn* conn, SockHandle socket) {
    conn->socket = socket;
    conn->carry = nullptr;
    conn->carry_len = 0;
    conn->carry_pos = 0;
    conn->body_read = 0;
    conn->body_charge = 0;
    conn->body_charge_large = 0;
    conn->body_refused = 0;
    conn->pace = BodyPace{};
    conn->peer_ipv4 = 0;
}

void http_conn_release(HttpConn* conn) {
    budget_give_back(conn);
    free(conn->carry);
    conn->carry = nullptr;
    conn->carry_len = 0;
    conn->carry_pos = 0;
}

int http_read_head(HttpConn* conn, StrBuf* head) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(HttpTimeLimits.head_ms);
    // Positions already searched are not searched again: a head that trickles in byte by
    // byte costs linear time, not quadratic.
    uint64_t searched = 0;
    for (;;) {
        if (head->len > 3) {
            int64_t at = find_blank_line(head->data, head->len, searched);
            if (at >= 0) return finish_head(conn, head, static_cast<uint64_t>(at) + 4);
            searched = head->len - 3;
        }
        if (head->len > MAX_HEAD_BYTES) return 0;
        int wait_ms = ms_until(deadline);
        if (wait_ms <= 0) return 0;
        // Receive straight into the buffer's spare room.
        if (sb_reserve(head, HEAD_READ_BYTES) != 0) return 0;
        int64_t n = sock_recv(conn->socket, head->data + head->len, HEAD_READ_BYTES, wait_ms);
        if (n <= 0) return 0;
        head->len += static_cast<uint64_t>(n);
        head->data[head->len] = '\0';
    }
}

int http_parse_request(StrBuf* head, HttpRequest* req) {
    req->method = req->target = req->version = nullptr;
    req->headers = HeaderList{};
    req->content_length = 0;
    if (!head->data) return 0;
    char* text = head->data;
    uint64_t line_end = find_line_end(text, head->len, 0);
    text[line_end] = '\0';

    uint64_t pos = 0;
    char* tokens[3];
    for (char*& token : tokens) {
        token = next_token(text, line_end, &pos);
        if (!token) return 0;
    }
    req->method = tokens[0];
    req->target = tokens[1];
    req->version = tokens[2];

    if (line_end + 2 <= head->len &&
        !parse_header_lines(text, head->len, line_end + 2, &req->headers)) {
        http_request_free(req);
        return 0;
    }
    req->content_length = parse_content_length(&req->headers);
    return 1;
}

void http_request_free(HttpRequest* req) {
    free(req->headers.items);
    req->headers = HeaderList{};
}

char* http_trim(char* text) {
    if (!text) return text;
    while (is_http_space(*text)) text++;
    size_t len = strlen(text);
    while (len > 0 && is_http_space(text[len - 1])) len--;
    text[len] = '\0';
    return text;
}

int http_parse_int64(const char* text, size_t len, int64_t* out) {
    if (!text) return 0;
    size_t i = 0;
    while (i < len && is_http_space(text[i])) i++;
    while (len > i && is_http_space(text[len - 1])) len--;
    if (i == len) return 0;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        i++;
        if (i == len) return 0;
    }
    int64_t value = 0;
    for (; i < len; i++) {
        if (text[i] < '0' || text[i] > '9') return 0;
        int digit = text[i] - '0';
        if (value > (INT64_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    *out = negative ? -value : value;
    return 1;
}

int http_header_name_is(const char* header_name, const char* name) {
    return header_name && name && text_equal_ascii_nocase(header_name, name) ? 1 : 0;
}

const char* http_header(const HeaderList* list, const char* name) {
    if (!list || !name) return nullptr;
    for (uint32_t i = 0; i < list->count; i++) {
        if (text_equal_ascii_nocase(list->items[i].name, name)) return list->items[i].value;
    }
    return nullptr;
}

char* http_device_name(const HeaderList* list) {
    const char* raw = http_header(list, "X-Device-Name");
    if (!raw || !*raw) return new_empty_text();
    StrBufOwner decoded;
    url_decode_path(decoded.get(), raw, strlen(raw));
    char* trimmed = utf8_trim(decoded.c_str());
    if (!trimmed) return new_empty_text();
    char* name = utf8_truncate(trimmed, DEVICE_NAME_MAX_CHARS);
    free(trimmed);
    return name ? name : new_empty_text();
}

char* http_split_target(const char* target, const char** query_out) {
    char* copy = strdup(target ? target : "");
    if (!copy) {
        *query_out = nullptr;
        return nullptr;
    }
    char* hash = strchr(copy, '#');
    if (hash) *hash = '\0';
    char* question = strchr(copy, '?');
    if (question) {
        *question = '\0';
        *query_out = question + 1;
    }
    return copy;
}

char* http_query_param(const char* query, const char* name) {
    if (!query || !name) return nullptr;
    size_t name_len = strlen(name);
    const char* part = query;
    for (;;) {
        const char* amp = strchr(part, '&');
        const char* end = amp ? amp : part + strlen(part);
        const char* eq = static_cast<const char*>(memchr(part, '=', end - part));
        if (eq && eq + 1 < end) {
            StrBufOwner key;
            url_decode_query(key.get(), part, eq - part);
            // The decoded key may hold a zero byte (from "%00"): compare it byte for byte.
            if (key->len > 0 && key->len == name_len && memcmp(key->data, name, name_len) == 0) {
                StrBufOwner value;
                url_decode_query(value.get(), eq + 1, end - eq - 1);
                return value->data ? sb_detach(value.get()) : nullptr;
            }
        }
        if (!amp) return nullptr;
        part = amp + 1;
    }
}

int64_t http_conn_read(HttpConn* conn, void* buf, size_t cap) {
    if (cap == 0) return 0;
    int64_t n;
    if (conn->carry_pos < conn->carry_len) {
        uint64_t left = conn->carry_len - conn->carry_pos;
        n = static_cast<int64_t>(left < cap ? left : cap);
        memcpy(buf, conn->carry + conn->carry_pos, static_cast<size_t>(n));
        conn->carry_pos += static_cast<uint64_t>(n);
    } else {
        n = paced_recv(conn, buf, cap, HttpTimeLimits.body_idle_ms);
    }
    if (n > 0) conn->body_read += n;
    return n;
}

int64_t http_body_charged(void) {
    BodyBudget& budget = body_budget();
    std::lock_guard<std::mutex> lock(budget.mutex);
    return budget.charged;
}

char* http_read_body(HttpConn* conn, int64_t length, int64_t* got_out) {
    return read_body_whole(conn, length, FORM_BODY, got_out);
}

JsonValue* http_read_json(HttpConn* conn, int64_t length) {
    int64_t got = 0;
    char* body = read_body_whole(conn, length, JSON_BODY, &got);
    if (conn->body_refused) return nullptr;
    JsonValue* value = nullptr;
    if (body && got > 0) {
        size_t max_nodes =
            JSON_BODY_NODES_BASE + static_cast<size_t>(got) / JSON_BODY_BYTES_PER_NODE;
        value = json_parse_bounded(body, static_cast<size_t>(got), max_nodes);
    }
    free(body);
    return value ? value : json_parse("{}", 2);
}

void http_drain_body(HttpConn* conn, int64_t remaining) {
    char scratch[DRAIN_READ_BYTES];
    while (remaining > 0) {
        int64_t want = remaining < DRAIN_READ_BYTES ? remaining : DRAIN_READ_BYTES;
        if (conn->carry_pos < conn->carry_len) {
            uint64_t left = conn->carry_len - conn->carry_pos;
            int64_t take = static_cast<int64_t>(left) < want ? static_cast<int64_t>(left) : want;
            conn->carry_pos += static_cast<uint64_t>(take);
            remaining -= take;
            continue;
        }
        int64_t n = paced_recv(conn, scratch, static_cast<size_t>(want), DRAIN_WAIT_MS);
        if (n <= 0) return;
        remaining -= n;
    }
}
