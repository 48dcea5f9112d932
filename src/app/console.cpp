#include "app/console.h"

#include "app/console_platform.h"
#include "app/settings.h"
#include "inbox/listing.h"
#include "net/net.h"

namespace {
constexpr const char* SEPARATOR = "==============================================================\n";
constexpr double BYTES_PER_MB = 1048576.0;

// The inbox usage as the console shows it: the listing's cached count, refreshed after
// every change, so a line written right after a deletion shows the new totals.
void current_usage(uint64_t* files, uint64_t* bytes) {
    usage_get(files, bytes);
}

}  // namespace

void con_write(const char* text) {
    if (text) con_platform_write(text);
}

void con_write_line(const char* text) {
    con_write(text);
    con_write("\n");
}

void con_build_banner(StrBuf* sb, int port, const char* const* addresses, int address_count,
                      const char* inbox, uint64_t files, uint64_t bytes) {
    sb_append_str(sb, "\n");
    sb_append_str(sb, SEPARATOR);
    sb_appendf(sb, "  %s  已启动  (v%s)\n", APP_NAME, APP_VERSION);
    sb_append_str(sb, SEPARATOR);
    sb_appendf(sb, "  本机打开 :  http://127.0.0.1:%d\n", port);
    if (address_count > 0) {
        sb_appendf(sb, "  手机打开 :  http://%s:%d      ← 手机连同一个 WiFi\n", addresses[0], port);
        for (int i = 1; i < address_count; ++i)
            sb_appendf(sb, "  其它网卡 :  http://%s:%d\n", addresses[i], port);
    } else {
        sb_append_str(sb, "  [!!] 没读到局域网 IP，请确认已连上 WiFi / 网线\n");
    }
    sb_appendf(sb, "  收件箱   :  %s\n", inbox);
    sb_appendf(sb, "  已占用   :  %llu 个文件，%.1f MB", static_cast<unsigned long long>(files),
               static_cast<double>(bytes) / BYTES_PER_MB);
    if (bytes >= USAGE_WARN_BYTES)
        sb_appendf(sb, "   [!!] 已经超过 %.0f GB，不用的文件记得在网页上删掉", 5.0);
    sb_append_str(sb, "\n");
    sb_append_str(sb, SEPARATOR);
    sb_append_str(sb, "  手机扫网页右上角的二维码即可直接打开\n");
    sb_append_str(sb, "  关掉这个窗口（或按 Ctrl+C）就停止服务\n");
    sb_append_str(sb, SEPARATOR);
    sb_append_str(sb, "\n");
}

void con_print_banner(int port) {
    AddressSlot slots[MAX_LAN_ADDRESSES];
    const char* addresses[MAX_LAN_ADDRESSES];
    int count = net_shown_addresses(slots);
    for (int i = 0; i < count; ++i) addresses[i] = slots[i].text;
    uint64_t files = 0, bytes = 0;
    current_usage(&files, &bytes);
    StrBufOwner banner;
    con_build_banner(banner.get(), port, addresses, count, InboxDir, files, bytes);
    con_write(banner.c_str());
}

void con_append_usage(StrBuf* sb) {
    uint64_t files = 0, bytes = 0;
    current_usage(&files, &bytes);
    sb_appendf(sb, "  ·  现在 %llu 个文件，%.1f MB", static_cast<unsigned long long>(files),
               static_cast<double>(bytes) / BYTES_PER_MB);
    if (bytes >= USAGE_WARN_BYTES) sb_append_str(sb, "   [!!] 已经超过 5 GB，不用的文件记得在网页上删掉");
}
