#pragma once
// The access code ("--pin"): on a shared network only visitors who know it may use the
// server. Who knows it shows it by a session cookie, which the login or the login token of
// this run's addresses hands out. This module holds the codes' rules, the sessions and the
// limits on guessing: the server's only changing access state, kept in one AccessState
// behind its mutex. It knows cookies only as the text of a Cookie header.
//
// What it protects against is casual use of the inbox by others on the network; on plain
// HTTP the code and the cookie travel in clear text.
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "base/config.h"

constexpr int ACCESS_PIN_MIN_CHARS = 4;
constexpr int ACCESS_PIN_MAX_CHARS = 12;
// A session id and a login token: this many random bytes, written as twice as many lower-case
// hex digits.
constexpr int ACCESS_SECRET_BYTES = 16;
constexpr int ACCESS_SECRET_CHARS = 2 * ACCESS_SECRET_BYTES;
static_assert(CONFIG_TOKEN_BYTES == ACCESS_SECRET_CHARS + 1, "a login token is one secret");
// Sessions live until the program stops; beyond this many the least recently used one gives
// way, so that logins repeated without end cannot fill the memory.
constexpr int ACCESS_MAX_SESSIONS = 1024;
// Client addresses whose wrong codes are remembered at once; records that have been
// forgotten make room first.
constexpr int ACCESS_MAX_ADDRESSES = 4096;
// "skiffbox_" and a port, with its terminator.
constexpr int ACCESS_COOKIE_NAME_BYTES = 24;

// How many wrong codes a source may send: free_per_window of them within window_ms; the last
// of those bars the source for first_wait_ms, and each further bar lasts twice as long as the
// one before, up to max_wait_ms. A source quiet for forget_ms since its last wrong code and
// its last bar starts afresh.
struct GuessRule {
    int free_per_window;
    int64_t window_ms;
    int64_t first_wait_ms;
    int64_t max_wait_ms;
    int64_t forget_ms;
};
// One client address.
constexpr GuessRule GUESS_PER_ADDRESS = {5, 60000, 60000, 3600000, 3600000};
// All addresses together: one host can take many addresses of its network.
constexpr GuessRule GUESS_IN_TOTAL = {30, 60000, 60000, 3600000, 3600000};

// The wrong codes of one source. All zero: nothing remembered.
struct GuessRecord {
    int window_failures;  // wrong codes in the window that began at window_start_ms
    int64_t window_start_ms;
    int bars;                 // bars since the record was last forgotten
    int64_t barred_until_ms;  // 0 when never barred
    int64_t last_failure_ms;
};

// How long the source must still wait before its next try, in ms (0: it may try now).
int64_t guess_wait_ms(const GuessRecord* record, int64_t now_ms);
// Counts one wrong code at now_ms, barring the source when it used up its window.
void guess_count_failure(GuessRecord* record, const GuessRule* rule, int64_t now_ms);
// 1 when the record holds nothing that still matters at now_ms (it may be dropped), else 0.
int guess_forgotten(const GuessRecord* record, const GuessRule* rule, int64_t now_ms);

struct AccessSession {
    char id[ACCESS_SECRET_CHARS + 1];
    uint64_t last_use;  // the state's use counter at the session's last use
};

// Sessions and guess records of one server. Every access_ function below that takes it locks
// its mutex for the time of the call; nothing else touches the members.
struct AccessState {
    std::mutex mutex;
    GuessRule per_address = GUESS_PER_ADDRESS;
    GuessRule in_total = GUESS_IN_TOTAL;
    std::unordered_map<uint32_t, GuessRecord> by_address;
    GuessRecord total{};
    AccessSession sessions[ACCESS_MAX_SESSIONS]{};
    int session_count = 0;
    uint64_t use_counter = 0;
};

// The process's one state, which the server's requests share.
AccessState* access_state();

// 1 when text is an acceptable access code: 4 to 12 ASCII letters or digits; else 0 (also
// for null).
int access_pin_valid(const char* text);
// 1 when the code is all digits (a phone then offers its number pad), else 0.
int access_pin_is_digits(const char* pin);
// 1 when given is the code pin, ASCII letters compared without regard to case, else 0. The
// time taken does not depend on where the texts differ. given may be any text, also null.
int access_pin_matches(const char* pin, const char* given);
// 1 when given is config's login token, compared in the same constant time; 0 when it is
// not, when given is null, or when config has no token.
int access_token_matches(const Config* config, const char* given);

// What a login address adds after "http://HOST:PORT": "/?k=" and config's login token when
// it has an access code, else the empty text. Only for addresses shown to the PC's user and
// to visitors with a session: a text that any other request could read must never hold it.
constexpr int ACCESS_LOGIN_SUFFIX_BYTES = 4 + CONFIG_TOKEN_BYTES;
void access_login_suffix(const Config* config, char out[ACCESS_LOGIN_SUFFIX_BYTES]);

// The session cookie's name for a port: "skiffbox_" and the port, since cookies ignore
// ports and two servers on one computer must keep their sessions apart.
void access_cookie_name(int port, char out[ACCESS_COOKIE_NAME_BYTES]);
// 1 when cookie_header, the value of one Cookie header ("a=1; b=2"), holds the port's
// session cookie with the id of a live session: id_out then holds that id (ACCESS_SECRET_CHARS
// hex digits and a terminator), and the session counts as used. Else 0 with id_out empty. The
// header may hold anything: pairs without '=', other cookies, the same name several times
// (each value is tried).
int access_cookie_session(AccessState* state, const char* cookie_header, int port,
                          char id_out[ACCESS_SECRET_CHARS + 1]);
// Starts a session and writes its id (ACCESS_SECRET_CHARS hex digits and a terminator) into
// id_out. 0; -1 when the system's random source failed (id_out is then empty).
int access_session_start(AccessState* state, char id_out[ACCESS_SECRET_CHARS + 1]);

// Results of access_try_login.
constexpr int ACCESS_LOGIN_OK = 0;
constexpr int ACCESS_LOGIN_WRONG = 1;
constexpr int ACCESS_LOGIN_LIMITED = 2;
constexpr int ACCESS_LOGIN_FAILED = -1;

// One login attempt with the code given (null counts as a wrong code) from the client
// address at now_ms (a monotonic clock), checked and counted under one lock, so that
// attempts sent at once cannot slip past the limits together:
// - ACCESS_LOGIN_LIMITED when the address or all addresses together are barred; the code
//   is not even looked at, and *wait_ms_out is the longer of the two waits;
// - ACCESS_LOGIN_OK when the code is right: a session is started (its id in id_out) and the
//   address's wrong codes are forgotten;
// - ACCESS_LOGIN_WRONG when it is not: counted for the address and for all together;
// - ACCESS_LOGIN_FAILED when the code was right but no session id could be made.
// *wait_ms_out is 0 except with ACCESS_LOGIN_LIMITED.
int access_try_login(AccessState* state, const Config* config, uint32_t address, const char* given,
                     int64_t now_ms, char id_out[ACCESS_SECRET_CHARS + 1], int64_t* wait_ms_out);
