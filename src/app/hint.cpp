#include "app/hint.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "base/console.h"
#include "base/text.h"
#include "base/thread.h"
#include "net/net.h"

namespace {
// COM and the firewall's policy object want more than the smallest stacks.
constexpr size_t HINT_STACK_BYTES = 256 * 1024;

const char* const PUBLIC_NETWORK_HINT =
    "  [!] 这个网络被 Windows 标成了「公用网络」，防火墙可能挡住手机。\n"
    "      手机打不开时：在「设置 → 网络和 Internet」里把它改成「专用网络」，"
    "或在防火墙里允许本程序使用公用网络。\n";

std::atomic<AppNetworkCheck> Check{nullptr};

// The answer a test chose for the whole process, -2 when none.
int chosen_answer() {
    const char* chosen = getenv("SKIFFBOX_TEST_NETWORK");
    if (!chosen) return -2;
    if (strcmp(chosen, "public") == 0) return 1;
    if (strcmp(chosen, "private") == 0) return 0;
    return -2;
}

int ask(const char* address) {
    AppNetworkCheck check = Check.load();
    if (check) return check(address);
    int chosen = chosen_answer();
    return chosen != -2 ? chosen : net_public_firewalled(address);
}

// The address is the thread's own copy, freed here.
void hint_thread(void* address) {
    StrBufOwner hint;
    if (app_network_hint(static_cast<char*>(address), hint.get())) con_write(hint.c_str());
    free(address);
}
}  // namespace

void app_set_network_check(AppNetworkCheck check) {
    Check.store(check);
}

int app_network_hint(const char* address, StrBuf* out) {
    if (!address || !address[0] || ask(address) != 1) return 0;
    sb_append_str(out, PUBLIC_NETWORK_HINT);
    return 1;
}

void app_start_network_hint(const Config* config) {
    AddressSlot slots[MAX_LAN_ADDRESSES];
    if (net_shown_addresses(config, slots) == 0) return;
    char* address = text_copy(slots[0].text);
    if (!address) return;
    if (thread_start_detached(hint_thread, address, HINT_STACK_BYTES) != 0) free(address);
}
