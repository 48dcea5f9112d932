// POSIX half of the start-up's platform layer.
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include "app/app_platform.h"
#include "base/text.h"


namespace {
constexpr size_t MAX_PATH_BYTES = 4095;

// Folds "." and ".." and repeated separators of an absolute path, as Windows' full-path
// resolution does, without touching the disk (the path need not exist).
std::string fold_dots(const std::string& path) {
    std::string out;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(pos, end - pos);
        if (part == "..") {
            size_t cut = out.rfind('/');
            out.erase(cut == std::string::npos ? 0 : cut);
        } else if (!part.empty() && part != ".") {
            out += '/';
            out += part;
        }
        pos = end + 1;
    }
    if (out.empty()) out = "/";
    if (path.size() > 1 && path.back() == '/' && out != "/") out += '/';
    return out;
}

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}
}  // namespace

void app_platform_init() {
    // A client that closes early must never kill the process through a write.
    signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> app_command_line(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
    return args;
}

char* app_exe_path() {
#if defined(__APPLE__)
    char buffer[PATH_MAX];
    uint32_t size = sizeof buffer;
    if (_NSGetExecutablePath(buffer, &size) != 0) return nullptr;
    char resolved[PATH_MAX];
    if (!realpath(buffer, resolved)) return nullptr;
    return text_copy(resolved);
#else
    char buffer[MAX_PATH_BYTES + 1];
    ssize_t n = readlink("/proc/self/exe", buffer, MAX_PATH_BYTES);
    if (n <= 0) return nullptr;
    buffer[n] = 0;
    return text_copy(buffer);
#endif
}

char* app_full_path(const char* path) {
    if (!path) return nullptr;
    std::string absolute;
    if (path[0] == '/') {
        absolute = path;
    } else {
        char cwd[MAX_PATH_BYTES + 1];
        if (!getcwd(cwd, sizeof cwd)) return nullptr;
        absolute = std::string(cwd) + "/" + path;
    }
    std::string folded = fold_dots(absolute);
    if (folded.size() > MAX_PATH_BYTES) return nullptr;
    return text_copy_n(folded.data(), folded.size());
}


void app_install_ctrl_handler(void (*on_stop)()) {
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set, on_stop] {
        int received = 0;
        while (sigwait(&set, &received) != 0) {
        }
        if (on_stop) on_stop();
        _exit(0);
    }).detach();
}

void app_hold_console_after_failure() {}
