#include "app/banner.h"

#include <gtest/gtest.h>

#include <string>

namespace {
std::string banner(const std::vector<const char*>& addresses, uint64_t files, uint64_t bytes,
                   const char* pin = nullptr, const char* login_suffix = nullptr) {
    StrBufOwner sb;
    banner_build(sb.get(), 8621, addresses.data(), static_cast<int>(addresses.size()),
                 "/home/u/收件箱", files, bytes, pin, login_suffix);
    return sb.c_str();
}
}  // namespace

TEST(ConsoleBanner, LineByLine) {
    const std::string sep(62, '=');
    EXPECT_EQ(banner({"192.168.1.5", "10.0.0.2"}, 3, 1572864),
              "\n" + sep + "\n  舟匣  已启动  (v1.0.0)\n" + sep +
                  "\n  本机打开 :  http://127.0.0.1:8621\n"
                  "  手机打开 :  http://192.168.1.5:8621      ← 手机连同一个 WiFi\n"
                  "  其它网卡 :  http://10.0.0.2:8621\n"
                  "  收件箱   :  /home/u/收件箱\n"
                  "  已占用   :  3 个文件，1.5 MB\n" +
                  sep + "\n  手机扫网页右上角的二维码即可直接打开\n  关掉这个窗口（或按 Ctrl+C）就停止服务\n" +
                  sep + "\n\n");
}

TEST(ConsoleBanner, AccessCodeShownAndEveryAddressLogsIn) {
    std::string text = banner({"192.168.1.5", "10.0.0.2"}, 0, 0, "Ab12", "/?k=00ff");
    EXPECT_NE(text.find("  本机打开 :  http://127.0.0.1:8621/?k=00ff\n"
                        "  手机打开 :  http://192.168.1.5:8621/?k=00ff      ← 手机连同一个 WiFi\n"
                        "  其它网卡 :  http://10.0.0.2:8621/?k=00ff\n"
                        "  访问码   :  Ab12      ← 手机打开网页时输入它（扫码不用输）\n"
                        "  收件箱   :  "),
              std::string::npos)
        << text;
    // An empty code is no code: the token is not shown either.
    EXPECT_EQ(banner({"192.168.1.5"}, 0, 0, "", "/?k=00ff").find("k="), std::string::npos);
}

TEST(ConsoleBanner, NoAddressWarnsAndKeepsTheLocalLine) {
    std::string text = banner({}, 0, 0);
    EXPECT_NE(text.find("  本机打开 :  http://127.0.0.1:8621\n  [!!] 没读到局域网 IP，请确认已连上 WiFi / 网线\n"),
              std::string::npos);
    EXPECT_NE(text.find("  已占用   :  0 个文件，0.0 MB\n"), std::string::npos);
}

TEST(ConsoleBanner, WarningFromExactly5GiB) {
    const std::string warn = "   [!!] 已经超过 5 GB，不用的文件记得在网页上删掉\n";
    EXPECT_NE(banner({"10.0.0.1"}, 1, 5368709120ull).find("5120.0 MB" + warn), std::string::npos);
    EXPECT_EQ(banner({"10.0.0.1"}, 1, 5368709119ull).find(warn), std::string::npos);
}
