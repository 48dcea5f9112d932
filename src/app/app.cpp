#include "app/app.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/router.h"
#include "app/app_platform.h"
#include "app/banner.h"
#include "app/hint.h"
#include "base/config.h"
#include "base/console.h"
#include "base/fs.h"
#include "base/shell.h"
#include "http/server.h"
#include "net/net.h"
#include "base/thread.h"
#include "qr/qr.h"

namespace {
constexpr const char* DEFAULT_INBOX_NAME = "收件箱";
constexpr int BROWSER_DELAY_MS = 700;
constexpr size_t BROWSER_STACK_BYTES = 64 * 1024;

const char* const HELP_TEXT =
    "\n"
    "舟匣 / Skiffbox\n"
    "================================================================\n"
    "手机和电脑连同一个 WiFi，双击本文件即可互传文件。\n"
    "\n"
    "  * 单个 exe，免安装，不依赖 Python（Win7 及以上都能跑）\n"
    "  * 自动读取本机局域网 IP，控制台和网页上都会显示访问地址\n"
    "  * 手机上扫码或输入地址即可打开，拖拽上传、点击下载\n"
    "  * 收到的文件放在本文件旁边的「收件箱」文件夹里\n"
    "\n"
    "用法：\n"
    "    Skiffbox.exe                   # 默认端口 8620，自动打开浏览器\n"
    "    Skiffbox.exe --port 8700       # 换个端口\n"
    "    Skiffbox.exe --ip 192.168.1.5  # 多网卡时手动指定显示哪个 IP\n"
    "    Skiffbox.exe --no-open         # 不自动打开浏览器\n"
    "    Skiffbox.exe --inbox D:\\下载   # 换个收件目录\n"
    "\n"
    "（Linux 和 macOS 上也能用同一份源码编译运行，用法一样）\n"
    "\n";

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

std::string cut_ip(const std::string& value) {
    return value.substr(0, SETTINGS_IP_BYTES - 1);
}

// The default inbox: the executable's folder, a separator unless it already ends in one,
// then the inbox folder's name.
std::string default_inbox(const char* exe_dir) {
    std::string path = exe_dir;
    if (!path.empty() && path.back() != '\\' && path.back() != '/') path += FS_SEP;
    return path + DEFAULT_INBOX_NAME;
}

// Opens the local browser on the server's page a moment after the banner; the port copy is
// the thread's own and freed here.
void app_browser_thread(void* port_copy) {
    thread_sleep_ms(BROWSER_DELAY_MS);
    char url[128];
    snprintf(url, sizeof url, "http://127.0.0.1:%d", *static_cast<int*>(port_copy));
    shell_open(url);
    free(port_copy);
}

// Without a thread the server simply runs without opening the browser.
void start_browser_thread(int port) {
    int* port_copy = static_cast<int*>(malloc(sizeof(int)));
    if (!port_copy) return;
    *port_copy = port;
    if (thread_start_detached(app_browser_thread, port_copy, BROWSER_STACK_BYTES) != 0) free(port_copy);
}

// QuickEdit stays off while the program runs, and the console gets its own mode back on every
// way out of app_main; the stop handler restores it itself, as the process ends there.
struct QuickEditOff {
    QuickEditOff() { con_quick_edit_off(); }
    ~QuickEditOff() { con_restore_input_mode(); }
    QuickEditOff(const QuickEditOff&) = delete;
    QuickEditOff& operator=(const QuickEditOff&) = delete;
};

int report_listen_failure(int result, int port) {
    StrBufOwner line;
    if (result == -1) {
        int last = port + 19 > 65535 ? 65535 : port + 19;
        sb_appendf(line.get(), "\n[!] %d~%d 这些端口都被占用了，换一个：Skiffbox.exe --port 8900\n",
                   port, last);
        con_write(line.c_str());
    } else {
        con_write_line("\n[!] 启动失败：绑定端口没成功。");
        con_write_line("    端口可能被占用，或需要管理员权限。试试 --port 8900");
    }
    return 1;
}
}  // namespace

int app_parse_port(const char* text) {
    if (!text || !*text) return -1;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || errno == ERANGE) return -1;
    return value >= 1 && value <= 65535 ? static_cast<int>(value) : -1;
}

const char* app_help_text() { return HELP_TEXT; }

AppAction app_parse_options(const std::vector<std::string>& args, AppOptions* options) {
    options->port = -1;
    options->open_browser = 1;
    options->inbox.clear();
    options->ip.clear();
    options->unknown.clear();
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool has_value = i + 1 < args.size();
        if ((arg == "-p" || arg == "--port") && has_value) {
            options->port = app_parse_port(args[++i].c_str());
        } else if (starts_with(arg, "--port=")) {
            options->port = app_parse_port(arg.c_str() + 7);
        } else if (arg == "--ip" && has_value) {
            options->ip = cut_ip(args[++i]);
        } else if (starts_with(arg, "--ip=")) {
            options->ip = cut_ip(arg.substr(5));
        } else if (arg == "--inbox" && has_value) {
            options->inbox = args[++i];
        } else if (starts_with(arg, "--inbox=")) {
            options->inbox = arg.substr(8);
        } else if (arg == "--no-open") {
            options->open_browser = 0;
        } else if (arg == "-h" || arg == "--help") {
            return APP_HELP;
        } else {
            options->unknown = arg;
            return APP_UNKNOWN_ARG;
        }
    }
    return APP_RUN;
}

char* app_exe_dir() {
    char* path = app_exe_path();
    if (!path) return nullptr;
    char* cut = strrchr(path, FS_SEP);
    if (cut) *cut = 0;
    return path;
}

void app_make_dirs(const Config* config) {
    // Failures are left to the endpoints that need the folders; they report their own errors.
    fs_mkdirs(config->inbox_dir);
    fs_mkdirs(config->state_dir);
}

void app_on_stop() {
    con_restore_input_mode();
    con_write_final("\n  已停止。\n", CON_FINAL_WAIT_MS);
}

int app_main(int argc, char** argv) {
    app_platform_init();
    AppOptions options;
    switch (app_parse_options(app_command_line(argc, argv), &options)) {
        case APP_HELP:
            con_write(HELP_TEXT);
            return 0;
        case APP_UNKNOWN_ARG: {
            StrBufOwner line;
            sb_appendf(line.get(), "未知参数：%s（用 --help 看用法）\n", options.unknown.c_str());
            con_write(line.c_str());
            return 2;
        }
        case APP_RUN:
            break;
    }
    QuickEditOff quick_edit;
    char* exe_dir = app_exe_dir();
    if (!exe_dir) {
        con_write_line("[!] 读不到程序所在目录。");
        return 1;
    }
    std::string inbox;
    if (!options.inbox.empty()) {
        char* full = app_full_path(options.inbox.c_str());
        if (!full) {
            free(exe_dir);
            con_write_line("[!] 收件目录的路径不合法。");
            return 1;
        }
        inbox = full;
        free(full);
    } else {
        inbox = default_inbox(exe_dir);
    }
    free(exe_dir);
    int port = options.port > 0 ? options.port : DEFAULT_PORT;
    // Static: connection threads still running when the accept loop ends keep reading it
    // while the process winds down.
    static Config config;
    config_init(&config, inbox.c_str(), options.ip.c_str(), port);
    // Read once: the names a request's Host may use are settled before serving starts.
    ComputerNames names;
    net_read_computer_names(&names);
    config_set_computer_names(&config, names.dns, names.netbios);
    app_make_dirs(&config);
    qr_init_tables();

    app_install_ctrl_handler(app_on_stop);

    // The configuration's port becomes the one bound; nothing has read it before, and it is
    // not changed again once the first connection thread exists.
    int listened = srv_listen(port, &config.port);
    if (listened != 0) return report_listen_failure(listened, port);

    // From here on no thread waits for the console, the banner included.
    con_start_writer();
    banner_print(&config);
    app_start_network_hint(&config);
    if (options.open_browser) start_browser_thread(config.port);
    srv_accept_loop(api_route, &config);
    con_flush(CON_FINAL_WAIT_MS);
    return 0;
}
