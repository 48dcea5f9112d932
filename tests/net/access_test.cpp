#include "net/access.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/config.h"

namespace {

constexpr int64_t MINUTE = 60000;
constexpr int64_t START = 10 * MINUTE;  // any point of the monotonic clock

Config with_code(const char* pin, int port = 8620) {
    Config config{};
    config_init(&config, "/inbox", "", port);
    config_set_access(&config, pin, "0123456789abcdef0123456789abcdef");
    return config;
}

std::string started_session(AccessState* state) {
    char id[ACCESS_SECRET_CHARS + 1];
    EXPECT_EQ(access_session_start(state, id), 0);
    return id;
}

int login(AccessState* state, const Config& config, uint32_t address, const char* pin, int64_t now,
          int64_t* wait = nullptr) {
    char id[ACCESS_SECRET_CHARS + 1];
    int64_t waited = 0;
    int result = access_try_login(state, &config, address, pin, now, id, &waited);
    if (wait) *wait = waited;
    EXPECT_EQ(result == ACCESS_LOGIN_OK, id[0] != 0);
    return result;
}

}  // namespace

TEST(AccessCode, Rules) {
    const struct {
        const char* text;
        int valid, digits;
    } cases[] = {
        {"1234", 1, 1},   {"123456789012", 1, 1}, {"abCD", 1, 0},
        {"a1b2c3", 1, 0}, {"123", 0, 1},          {"1234567890123", 0, 1},
        {"12 34", 0, 0},  {"12-34", 0, 0},        {"码1234", 0, 0},
        {"", 0, 0},       {nullptr, 0, 0},
    };
    for (const auto& c : cases) {
        const char* shown = c.text ? c.text : "null";
        EXPECT_EQ(access_pin_valid(c.text), c.valid) << shown;
        EXPECT_EQ(access_pin_is_digits(c.text), c.digits) << shown;
    }
}

TEST(AccessCode, MatchesWithoutRegardToCase) {
    const struct {
        const char* pin;
        const char* given;
        int match;
    } cases[] = {
        {"Ab12", "ab12", 1},
        {"Ab12", "AB12", 1},
        {"Ab12", "Ab12", 1},
        {"1234", "1234", 1},
        {"Ab12", "Ab1", 0},
        {"Ab12", "Ab123", 0},
        {"Ab12", "", 0},
        {"Ab12", nullptr, 0},
        {"1234", "1234\n", 0},
        {"123456789012", "1234567890123", 0},
        {"123456789012", "123456789012x", 0},
        {"abcd", "abcd\xc3\xa9", 0},
        // Folding is for ASCII letters only: '@' and '`' sit next to them.
        {"a@1`", "A@1`", 1},
        {"a@1`", "a`1@", 0},
        {"", "", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(access_pin_matches(c.pin, c.given), c.match)
            << c.pin << " / " << (c.given ? c.given : "null");
}

TEST(AccessCode, LoginTokenAndAddressSuffix) {
    Config config = with_code("1234");
    EXPECT_EQ(access_token_matches(&config, "0123456789abcdef0123456789abcdef"), 1);
    EXPECT_EQ(access_token_matches(&config, "0123456789ABCDEF0123456789ABCDEF"), 0);
    EXPECT_EQ(access_token_matches(&config, "0123456789abcdef0123456789abcde"), 0);
    EXPECT_EQ(access_token_matches(&config, "0123456789abcdef0123456789abcdef0"), 0);
    EXPECT_EQ(access_token_matches(&config, nullptr), 0);
    char suffix[ACCESS_LOGIN_SUFFIX_BYTES];
    access_login_suffix(&config, suffix);
    EXPECT_STREQ(suffix, "/?k=0123456789abcdef0123456789abcdef");

    Config open{};
    config_init(&open, "/inbox", "", 8620);
    EXPECT_EQ(access_token_matches(&open, ""), 0);
    access_login_suffix(&open, suffix);
    EXPECT_STREQ(suffix, "");
}

TEST(AccessGuesses, FiveAMinuteThenDoublingWaitsThenForgotten) {
    const GuessRule* rule = &GUESS_PER_ADDRESS;
    GuessRecord record{};
    int64_t now = START;
    for (int i = 0; i < 4; i++) guess_count_failure(&record, rule, now += 1000);
    EXPECT_EQ(guess_wait_ms(&record, now), 0);
    guess_count_failure(&record, rule, now += 1000);
    EXPECT_EQ(guess_wait_ms(&record, now), MINUTE);

    // Each further round of five doubles the bar, up to an hour.
    const int64_t bars[] = {2 * MINUTE,  4 * MINUTE,  8 * MINUTE, 16 * MINUTE,
                            32 * MINUTE, 60 * MINUTE, 60 * MINUTE};
    for (int64_t bar : bars) {
        now += guess_wait_ms(&record, now);
        for (int i = 0; i < 4; i++) guess_count_failure(&record, rule, now);
        EXPECT_EQ(guess_wait_ms(&record, now), 0);
        guess_count_failure(&record, rule, now);
        EXPECT_EQ(guess_wait_ms(&record, now), bar);
    }

    // Quiet for an hour after the last bar: the next bar is the first one again.
    now += guess_wait_ms(&record, now) + rule->forget_ms - 1;
    EXPECT_EQ(guess_forgotten(&record, rule, now), 0);
    now += 1;
    EXPECT_EQ(guess_forgotten(&record, rule, now), 1);
    for (int i = 0; i < 5; i++) guess_count_failure(&record, rule, now);
    EXPECT_EQ(guess_wait_ms(&record, now), MINUTE);
}

TEST(AccessGuesses, TheWindowIsAMinute) {
    GuessRecord record{};
    int64_t now = START;
    for (int i = 0; i < 4; i++) guess_count_failure(&record, &GUESS_PER_ADDRESS, now);
    now += MINUTE;
    for (int i = 0; i < 4; i++) guess_count_failure(&record, &GUESS_PER_ADDRESS, now);
    EXPECT_EQ(guess_wait_ms(&record, now), 0);
    guess_count_failure(&record, &GUESS_PER_ADDRESS, now + MINUTE - 1);
    EXPECT_EQ(guess_wait_ms(&record, now + MINUTE - 1), MINUTE);
}

TEST(AccessLogin, PerAddressLimitRefusesEvenTheRightCode) {
    auto state = std::make_unique<AccessState>();
    Config config = with_code("Ab12");
    const uint32_t phone = 0xC0A80105, other = 0xC0A80106;
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(login(state.get(), config, phone, "0000", START), ACCESS_LOGIN_WRONG);
    int64_t wait = 0;
    EXPECT_EQ(login(state.get(), config, phone, "ab12", START + 1000, &wait), ACCESS_LOGIN_LIMITED);
    EXPECT_EQ(wait, MINUTE - 1000);
    EXPECT_EQ(login(state.get(), config, other, "AB12", START + 1000), ACCESS_LOGIN_OK);
    EXPECT_EQ(login(state.get(), config, phone, "ab12", START + MINUTE), ACCESS_LOGIN_OK);
}

TEST(AccessLogin, RightCodeForgetsTheAddressesWrongOnes) {
    auto state = std::make_unique<AccessState>();
    Config config = with_code("1234");
    for (int round = 0; round < 3; round++) {
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(login(state.get(), config, 7, nullptr, START), ACCESS_LOGIN_WRONG);
        EXPECT_EQ(login(state.get(), config, 7, "1234", START), ACCESS_LOGIN_OK);
    }
}

TEST(AccessLogin, AllAddressesTogetherAreLimitedToo) {
    auto state = std::make_unique<AccessState>();
    Config config = with_code("1234");
    // Six addresses with four wrong codes each stay under their own limit but use up the
    // thirty of all addresses together in the fifth round.
    int64_t now = START;
    for (uint32_t address = 1; address <= 6; address++) {
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(login(state.get(), config, address, "0000", now), ACCESS_LOGIN_WRONG);
    }
    for (uint32_t address = 1; address <= 6; address++)
        EXPECT_EQ(login(state.get(), config, address + 100, "0000", now), ACCESS_LOGIN_WRONG);
    int64_t wait = 0;
    EXPECT_EQ(login(state.get(), config, 999, "1234", now + 5000, &wait), ACCESS_LOGIN_LIMITED);
    EXPECT_EQ(wait, MINUTE - 5000);
    EXPECT_EQ(login(state.get(), config, 999, "1234", now + MINUTE), ACCESS_LOGIN_OK);
}

TEST(AccessLogin, AttemptsSentAtOnceCannotSlipPastTheLimit) {
    auto state = std::make_unique<AccessState>();
    Config config = with_code("1234");
    std::atomic<int> wrong{0}, limited{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 4; i++) {
                char id[ACCESS_SECRET_CHARS + 1];
                int64_t wait = 0;
                int result = access_try_login(state.get(), &config, 42, "9999", START, id, &wait);
                (result == ACCESS_LOGIN_WRONG ? wrong : limited)++;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 5);
    EXPECT_EQ(limited.load(), 27);
}

// The session a Cookie header names: its id, or "" when it names none.
std::string session_of(AccessState* state, const char* header, int port) {
    char id[ACCESS_SECRET_CHARS + 1];
    int found = access_cookie_session(state, header, port, id);
    EXPECT_EQ(found, id[0] != 0) << (header ? header : "(null)");
    return id;
}

TEST(AccessSessions, CookieHeaders) {
    auto state = std::make_unique<AccessState>();
    const std::string id = started_session(state.get());
    ASSERT_EQ(id.size(), static_cast<size_t>(ACCESS_SECRET_CHARS));
    std::string upper = id;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    const struct {
        std::string header;
        int port;
        int valid;
    } cases[] = {
        {"skiffbox_8620=" + id, 8620, 1},
        {"a=1; skiffbox_8620=" + id + "; b=2", 8620, 1},
        {"  skiffbox_8620=" + id + " ;", 8620, 1},
        {"skiffbox_8620=0123; skiffbox_8620=" + id, 8620, 1},
        {"skiffbox_8620=" + id, 8621, 0},
        {"skiffbox_86200=" + id, 8620, 0},
        {"xskiffbox_8620=" + id, 8620, 0},
        {"skiffbox_8620=" + id + "0", 8620, 0},
        {"skiffbox_8620=" + id.substr(1), 8620, 0},
        {"skiffbox_8620=\"" + id + "\"", 8620, 0},
        {"skiffbox_8620=" + (id == upper ? std::string(32, 'f') : upper), 8620, 0},
        {"skiffbox_8620", 8620, 0},
        {"", 8620, 0},
        {";;;=;", 8620, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(session_of(state.get(), c.header.c_str(), c.port), c.valid ? id : "") << c.header;
    EXPECT_EQ(session_of(state.get(), nullptr, 8620), "");
}

TEST(AccessSessions, FullTableDropsTheLeastRecentlyUsed) {
    auto state = std::make_unique<AccessState>();
    const std::string first = started_session(state.get());
    const std::string second = started_session(state.get());
    for (int i = 2; i < ACCESS_MAX_SESSIONS; i++) started_session(state.get());
    // Using the oldest makes the second the least recently used.
    EXPECT_EQ(session_of(state.get(), ("skiffbox_1=" + first).c_str(), 1), first);
    const std::string newest = started_session(state.get());
    EXPECT_EQ(session_of(state.get(), ("skiffbox_1=" + second).c_str(), 1), "");
    EXPECT_EQ(session_of(state.get(), ("skiffbox_1=" + first).c_str(), 1), first);
    EXPECT_EQ(session_of(state.get(), ("skiffbox_1=" + newest).c_str(), 1), newest);
    EXPECT_NE(first, second);
}
