// The public-network hint, with the network check's answer chosen by the test.
#include "app/hint.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "base/console_sink.h"

namespace {
const char* const HINT =
    "  [!] 这个网络被 Windows 标成了「公用网络」，防火墙可能挡住手机。\n"
    "      手机打不开时：在「设置 → 网络和 Internet」里把它改成「专用网络」，"
    "或在防火墙里允许本程序使用公用网络。\n";

int Answer = 0;
std::string Asked;

int chosen_check(const char* address) {
    Asked = address;
    return Answer;
}

// A check that answers only once the test lets it, or after 5 s.
std::mutex GateLock;
std::condition_variable GateChanged;
bool GateOpen = false;
bool GateTimedOut = false;

int gated_check(const char*) {
    std::unique_lock<std::mutex> hold(GateLock);
    GateTimedOut = !GateChanged.wait_for(hold, std::chrono::seconds(5), [] { return GateOpen; });
    return 1;
}

struct CheckReset {
    ~CheckReset() { app_set_network_check(nullptr); }
};
}  // namespace

TEST(NetworkHint, OnlyAPublicNetworkBehindTheFirewallGetsIt) {
    CheckReset reset;
    app_set_network_check(chosen_check);
    const struct {
        int answer;
        const char* hint;
    } cases[] = {{1, HINT}, {0, ""}, {-1, ""}};
    for (const auto& c : cases) {
        Answer = c.answer;
        Asked.clear();
        StrBufOwner out;
        EXPECT_EQ(app_network_hint("192.168.1.5", out.get()), c.hint[0] ? 1 : 0) << c.answer;
        EXPECT_EQ(Asked, "192.168.1.5");
        EXPECT_STREQ(out.c_str(), c.hint);
    }
    // Without an address there is nothing to ask about.
    Asked.clear();
    Answer = 1;
    StrBufOwner out;
    EXPECT_EQ(app_network_hint("", out.get()), 0);
    EXPECT_EQ(Asked, "");
}

TEST(NetworkHint, ASlowAnswerHoldsNothingUpAndTheHintFollows) {
    CheckReset reset;
    ConsoleSink sink;
    app_set_network_check(gated_check);
    Config config{};
    ASSERT_EQ(config_init(&config, "/inbox", "192.168.1.5", DEFAULT_PORT), 0);
    app_start_network_hint(&config);
    {
        std::lock_guard<std::mutex> hold(GateLock);
        GateOpen = true;
        GateChanged.notify_all();
    }
    ASSERT_TRUE(sink.wait_for_text("公用网络"));
    EXPECT_EQ(sink.texts(), std::vector<std::string>{HINT});
    std::lock_guard<std::mutex> hold(GateLock);
    EXPECT_FALSE(GateTimedOut);
}
