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
#include "base/text.h"
#include "http/server.h"
#include "net/access.h"
#include "net/net.h"
#include "base/random.h"
#include "base/thread.h"
#include "qr/qr.h"
#include "upload/tus.h"

namespace {
constexpr const char* DEFAULT_INBOX_NAME = "收件箱";
constexpr int BROWSER_DELAY_MS = 700;
constexpr size_t BROWSER_STACK_BYTES = 64 * 1024;
constexpr size_t BROWSER_URL_BYTES = 128;

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
    "    Skiffbox.exe --pin 1234        # 设访问码（4~12 位字母或数字），输对才能用\n"
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

// Opens the local browser on the server's page a moment after the banner; the address is
// the thread's own and freed here.
void app_browser_thread(void* url) {
    thread_sleep_ms(BROWSER_DELAY_MS);
    shell_open(static_cast<const char*>(url));
    free(url);
}

// The page's address on this PC: with an access code, the login address, so that the PC's
// own browser gets in without the code. Without a thread the server simply runs without
// opening the browser.
void start_browser_thread(const Config* config) {
    char suffix[ACCESS_LOGIN_SUFFIX_BYTES];
    access_login_suffix(config, suffix);
    char* url = static_cast<char*>(malloc(BROWSER_URL_BYTES));
    if (!url) return;
    snprintf(url, BROWSER_URL_BYTES, "http://127.0.0.1:%d%s", config->port, suffix);
    if (thread_start_detached(app_browser_thread, url, BROWSER_STACK_BYTES) != 0) free(url);
}

// With an access code: the code and a fresh login token into config. 0, or -1 when the
// system's random source failed.
int set_access(Config* config, const std::string& pin) {
    if (pin.empty()) return 0;
    char token[CONFIG_TOKEN_BYTES];
    if (random_hex(token, ACCESS_SECRET_BYTES) != 0) return -1;
    config_set_access(config, pin.c_str(), token);
    return 0;
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
    options->pin.clear();
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
        } else if ((arg == "--pin" && has_value) || starts_with(arg, "--pin=")) {
            options->pin = arg == "--pin" ? args[++i] : arg.substr(6);
            if (!access_pin_valid(options->pin.c_str())) {
                options->unknown = options->pin;
                return APP_BAD_PIN;
            }
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

int app_folder_writable(const char* folder) {
    TextOwner probe(fs_path_join(folder, ".skiffbox-write-test"));
    if (!probe) return 0;
    // Left over from a run that ended in between: it is ours to replace.
    fs_delete_file(probe.get());
    FsFile* file = nullptr;
    if (fs_open_new(probe.get(), &file) != 0) return 0;
    bool written = fs_write_all(file, "x", 1) == 0;
    if (fs_close(file) != 0) written = false;
    // A folder where a file can be made but not removed again is no good either.
    return fs_delete_file(probe.get()) == 0 && written ? 1 : 0;
}

namespace {

char fold_char(char c) {
    if (c == '\\') return '/';
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

int app_path_inside(const char* path, const char* folder) {
    if (!path || !folder || !*path || !*folder) return 0;
    size_t len = strlen(folder);
    while (len > 1 && (folder[len - 1] == '/' || folder[len - 1] == '\\')) len--;
    if (strlen(path) < len) return 0;
    for (size_t i = 0; i < len; i++)
        if (fold_char(path[i]) != fold_char(folder[i])) return 0;
    char next = path[len];
    bool folder_ends_in_sep = folder[len - 1] == '/' || folder[len - 1] == '\\';
    return next == 0 || next == '/' || next == '\\' || folder_ends_in_sep ? 1 : 0;
}

void app_startup_warnings(StrBuf* sb, const char* inbox, int inbox_writable, const char* exe_dir,
                          const char* temp_dir) {
    if (!inbox_writable) {
        sb_append_str(sb, "  [!!] 收件箱写不进文件（系统文件夹或“受控文件夹访问”？），传来的文件会存不下\n");
        sb_append_str(sb, "       换个收件目录再启动：Skiffbox.exe --inbox D:\\收件箱\n");
    }
    if (app_path_inside(exe_dir, temp_dir)) {
        sb_append_str(sb, "  [!!] 程序在临时文件夹里运行（多半是在压缩包里直接双击的），随时会被清掉\n");
        if (app_path_inside(inbox, temp_dir))
            sb_append_str(sb, "       收件箱也在里面，传来的文件会一起丢：请先解压到别的文件夹再运行\n");
        else
            sb_append_str(sb, "       请先把程序解压到别的文件夹再运行\n");
    }
}

namespace {

// Warns, and goes on, when received files could not be stored or would not last.
void warn_at_startup(const Config* config, const char* exe_dir) {
    TextOwner temp(fs_temp_dir());
    StrBufOwner lines;
    app_startup_warnings(lines.get(), config->inbox_dir, app_folder_writable(config->inbox_dir),
                         exe_dir, temp.get());
    if (lines->len > 0) con_write(lines.c_str());
}

// Everything from the command line to serving; returns the exit code when it stops.
int start_and_serve(int argc, char** argv) {
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
        case APP_BAD_PIN: {
            StrBufOwner line;
            sb_appendf(line.get(), "访问码要 4~12 位字母或数字：%s（用 --help 看用法）\n",
                       options.unknown.c_str());
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
    TextOwner exe_dir_owner(exe_dir);
    int port = options.port > 0 ? options.port : DEFAULT_PORT;
    // Static: connection threads still running when the accept loop ends keep reading it
    // while the process winds down.
    static Config config;
    config_init(&config, inbox.c_str(), options.ip.c_str(), port);
    // Read once: the names a request's Host may use are settled before serving starts.
    ComputerNames names;
    net_read_computer_names(&names);
    config_set_computer_names(&config, names.dns, names.netbios);
    if (set_access(&config, options.pin) != 0) {
        con_write_line("[!] 读不到系统随机数，无法启用访问码。");
        return 1;
    }
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
    warn_at_startup(&config, exe_dir_owner.get());
    app_start_network_hint(&config);
    // Unfinished uploads are brought back (expired ones removed) before the first request.
    tus_start(&config);
    tus_start_housekeeping(&config);
    if (options.open_browser) start_browser_thread(&config);
    srv_accept_loop(api_route, &config);
    con_flush(CON_FINAL_WAIT_MS);
    return 0;
}

}  // namespace

int app_main(int argc, char** argv) {
    app_platform_init();
    int code = start_and_serve(argc, argv);
    if (code == 1) app_hold_console_after_failure();
    return code;
}
