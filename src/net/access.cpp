#include "net/access.h"

#include <cstdio>
#include <cstring>

#include "base/random.h"

namespace {

bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_ascii_alnum(char c) {
    return is_ascii_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_session_id(const char* text, size_t len) {
    return len == ACCESS_SECRET_CHARS && random_is_hex(text, len);
}

// Index of the live session with the id (len bytes, not terminated), or -1. Every session
// is compared whole, so the time does not tell how close a guess came. Locked by the caller.
int find_session(const AccessState* state, const char* id, size_t len) {
    if (!is_session_id(id, len)) return -1;
    char wanted[ACCESS_SECRET_CHARS + 1];
    memcpy(wanted, id, len);
    wanted[len] = 0;
    int found = -1;
    for (int i = 0; i < state->session_count; i++) {
        if (random_secret_equal(state->sessions[i].id, wanted, ACCESS_SECRET_CHARS, false))
            found = i;
    }
    return found;
}

bool is_cookie_space(char c) {
    return c == ' ' || c == '\t';
}

// Adds the session, replacing the least recently used one when the table is full. Locked by
// the caller.
void add_session(AccessState* state, const char* id) {
    int slot = state->session_count;
    if (slot >= ACCESS_MAX_SESSIONS) {
        slot = 0;
        for (int i = 1; i < ACCESS_MAX_SESSIONS; i++) {
            if (state->sessions[i].last_use < state->sessions[slot].last_use) slot = i;
        }
    } else {
        state->session_count++;
    }
    memcpy(state->sessions[slot].id, id, ACCESS_SECRET_CHARS + 1);
    state->sessions[slot].last_use = ++state->use_counter;
}

// The address's record, made when missing and there is room (forgotten records are dropped
// to make it); null when the table stays full. Locked by the caller.
GuessRecord* address_record(AccessState* state, uint32_t address, int64_t now_ms) {
    auto found = state->by_address.find(address);
    if (found != state->by_address.end()) return &found->second;
    if (state->by_address.size() >= static_cast<size_t>(ACCESS_MAX_ADDRESSES)) {
        for (auto it = state->by_address.begin(); it != state->by_address.end();) {
            if (guess_forgotten(&it->second, &state->per_address, now_ms))
                it = state->by_address.erase(it);
            else
                ++it;
        }
        if (state->by_address.size() >= static_cast<size_t>(ACCESS_MAX_ADDRESSES)) return nullptr;
    }
    return &state->by_address.emplace(address, GuessRecord{}).first->second;
}

// The bar that follows `bars` earlier ones: the first wait doubled that often, at most the
// longest wait.
int64_t bar_length(const GuessRule* rule, int bars) {
    int64_t wait = rule->first_wait_ms;
    for (int i = 0; i < bars && wait < rule->max_wait_ms; i++) wait *= 2;
    return wait < rule->max_wait_ms ? wait : rule->max_wait_ms;
}

}  // namespace

int64_t guess_wait_ms(const GuessRecord* record, int64_t now_ms) {
    return record->barred_until_ms > now_ms ? record->barred_until_ms - now_ms : 0;
}

int guess_forgotten(const GuessRecord* record, const GuessRule* rule, int64_t now_ms) {
    int64_t last = record->last_failure_ms > record->barred_until_ms ? record->last_failure_ms
                                                                     : record->barred_until_ms;
    bool remembers = record->window_failures > 0 || record->bars > 0;
    return !remembers || now_ms - last >= rule->forget_ms ? 1 : 0;
}

void guess_count_failure(GuessRecord* record, const GuessRule* rule, int64_t now_ms) {
    if (guess_forgotten(record, rule, now_ms)) *record = GuessRecord{};
    if (record->window_failures == 0 || now_ms - record->window_start_ms >= rule->window_ms) {
        record->window_start_ms = now_ms;
        record->window_failures = 0;
    }
    record->window_failures++;
    record->last_failure_ms = now_ms;
    if (record->window_failures >= rule->free_per_window) {
        record->barred_until_ms = now_ms + bar_length(rule, record->bars);
        record->bars++;
        // The next window of free tries opens with the first wrong code after the bar.
        record->window_failures = 0;
    }
}

AccessState* access_state() {
    static AccessState state;
    return &state;
}

int access_pin_valid(const char* text) {
    if (!text) return 0;
    size_t len = strlen(text);
    if (len < static_cast<size_t>(ACCESS_PIN_MIN_CHARS) ||
        len > static_cast<size_t>(ACCESS_PIN_MAX_CHARS))
        return 0;
    for (size_t i = 0; i < len; i++) {
        if (!is_ascii_alnum(text[i])) return 0;
    }
    return 1;
}

int access_pin_is_digits(const char* pin) {
    if (!pin || !pin[0]) return 0;
    for (const char* c = pin; *c; c++) {
        if (!is_ascii_digit(*c)) return 0;
    }
    return 1;
}

int access_pin_matches(const char* pin, const char* given) {
    if (!pin || !pin[0] || !given) return 0;
    return random_secret_equal(pin, given, ACCESS_PIN_MAX_CHARS, true);
}

int access_token_matches(const Config* config, const char* given) {
    if (!config->login_token[0] || !given) return 0;
    return random_secret_equal(config->login_token, given, ACCESS_SECRET_CHARS, false);
}

void access_login_suffix(const Config* config, char out[ACCESS_LOGIN_SUFFIX_BYTES]) {
    out[0] = 0;
    if (config->pin[0] && config->login_token[0])
        snprintf(out, ACCESS_LOGIN_SUFFIX_BYTES, "/?k=%s", config->login_token);
}

void access_cookie_name(int port, char out[ACCESS_COOKIE_NAME_BYTES]) {
    snprintf(out, ACCESS_COOKIE_NAME_BYTES, "skiffbox_%d", port);
}

int access_cookie_session(AccessState* state, const char* cookie_header, int port,
                          char id_out[ACCESS_SECRET_CHARS + 1]) {
    id_out[0] = 0;
    if (!cookie_header) return 0;
    char name[ACCESS_COOKIE_NAME_BYTES];
    access_cookie_name(port, name);
    size_t name_len = strlen(name);
    std::lock_guard<std::mutex> lock(state->mutex);
    const char* at = cookie_header;
    while (*at) {
        while (is_cookie_space(*at) || *at == ';') at++;
        const char* end = at;
        while (*end && *end != ';') end++;
        const char* equals =
            static_cast<const char*>(memchr(at, '=', static_cast<size_t>(end - at)));
        if (equals && static_cast<size_t>(equals - at) == name_len &&
            memcmp(at, name, name_len) == 0) {
            const char* value = equals + 1;
            const char* value_end = end;
            while (value_end > value && is_cookie_space(value_end[-1])) value_end--;
            int found = find_session(state, value, static_cast<size_t>(value_end - value));
            if (found >= 0) {
                state->sessions[found].last_use = ++state->use_counter;
                memcpy(id_out, state->sessions[found].id, ACCESS_SECRET_CHARS + 1);
                return 1;
            }
        }
        at = end;
    }
    return 0;
}

int access_session_start(AccessState* state, char id_out[ACCESS_SECRET_CHARS + 1]) {
    if (random_hex(id_out, ACCESS_SECRET_BYTES) != 0) return -1;
    std::lock_guard<std::mutex> lock(state->mutex);
    add_session(state, id_out);
    return 0;
}

int access_try_login(AccessState* state, const Config* config, uint32_t address, const char* given,
                     int64_t now_ms, char id_out[ACCESS_SECRET_CHARS + 1], int64_t* wait_ms_out) {
    *wait_ms_out = 0;
    id_out[0] = 0;
    // Made before the lock, whatever the outcome: the system's source may take its time.
    char fresh[ACCESS_SECRET_CHARS + 1];
    int made = random_hex(fresh, ACCESS_SECRET_BYTES);

    std::lock_guard<std::mutex> lock(state->mutex);
    auto known = state->by_address.find(address);
    int64_t wait = guess_wait_ms(&state->total, now_ms);
    if (known != state->by_address.end()) {
        int64_t own = guess_wait_ms(&known->second, now_ms);
        if (own > wait) wait = own;
    }
    if (wait > 0) {
        *wait_ms_out = wait;
        return ACCESS_LOGIN_LIMITED;
    }
    if (!access_pin_matches(config->pin, given)) {
        GuessRecord* record = address_record(state, address, now_ms);
        if (record) guess_count_failure(record, &state->per_address, now_ms);
        guess_count_failure(&state->total, &state->in_total, now_ms);
        return ACCESS_LOGIN_WRONG;
    }
    if (made != 0) return ACCESS_LOGIN_FAILED;
    state->by_address.erase(address);
    add_session(state, fresh);
    memcpy(id_out, fresh, ACCESS_SECRET_CHARS + 1);
    return ACCESS_LOGIN_OK;
}
