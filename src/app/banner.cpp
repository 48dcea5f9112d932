#include "app/banner.h"

#include "base/console.h"
#include "base/config.h"
#include "inbox/usage.h"
#include "net/access.h"
#include "net/net.h"

namespace {
constexpr const char* SEPARATOR = "==============================================================\n";
constexpr double BYTES_PER_MB = 1048576.0;

}  // namespace

void banner_build(StrBuf* sb, int port, const char* const* addresses, int address_count,
                  const char* inbox, uint64_t files, uint64_t bytes, const char* pin,
                  const char* login_suffix) {
    bool with_code = pin && pin[0];
    const char* suffix = with_code && login_suffix ? login_suffix : "";
    sb_append_str(sb, "\n");
    sb_append_str(sb, SEPARATOR);
    sb_appendf(sb, "  %s  已启动  (v%s)\n", APP_NAME, APP_VERSION);
    sb_append_str(sb, SEPARATOR);
    sb_appendf(sb, "  本机打开 :  http://127.0.0.1:%d%s\n", port, suffix);
    if (address_count > 0) {
        sb_appendf(sb, "  手机打开 :  http://%s:%d%s      ← 手机连同一个 WiFi\n", addresses[0], port,
                   suffix);
        for (int i = 1; i < address_count; ++i)
            sb_appendf(sb, "  其它网卡 :  http://%s:%d%s\n", addresses[i], port, suffix);
    } else {
        sb_append_str(sb, "  [!!] 没读到局域网 IP，请确认已连上 WiFi / 网线\n");
    }
    if (with_code)
        sb_appendf(sb, "  访问码   :  %s      ← 手机打开网页时输入它（扫码不用输）\n", pin);
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

void banner_print(const Config* config) {
    AddressSlot slots[MAX_LAN_ADDRESSES];
    const char* addresses[MAX_LAN_ADDRESSES];
    int count = net_shown_addresses(config, slots);
    for (int i = 0; i < count; ++i) addresses[i] = slots[i].text;
    uint64_t files = 0, bytes = 0;
    usage_get(config, &files, &bytes);
    StrBufOwner banner;
    char suffix[ACCESS_LOGIN_SUFFIX_BYTES];
    access_login_suffix(config, suffix);
    banner_build(banner.get(), config->port, addresses, count, config->inbox_dir, files, bytes,
                 config->pin, suffix);
    con_write(banner.c_str());
}
