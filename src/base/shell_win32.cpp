#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdlib>

#include "base/fs.h"
#include "base/shell.h"

namespace {

// COM for the calling thread for the length of one shell call: the shell may hand the verb to
// an extension that needs a single-threaded apartment. Uninitialised only when this
// initialisation succeeded (S_FALSE included); a thread already in another apartment keeps it.
struct ComApartment {
    HRESULT result;
    ComApartment()
        : result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (SUCCEEDED(result)) CoUninitialize();
    }
};

// ShellExecuteExW with the verb on text (UTF-8). It returns only when the shell is done with
// the request (a connection thread may end right after), and never shows an error box, which
// would hold the thread until someone at the PC clicks it away. 1 when the shell reports
// success.
int shell_execute(const wchar_t* verb, const char* text) {
    if (!text) return 0;
    wchar_t* wide = utf8_to_wide(text);
    if (!wide) return 0;
    ComApartment com;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = verb;
    info.lpFile = wide;
    info.nShow = SW_SHOWNORMAL;
    BOOL done = ShellExecuteExW(&info);
    free(wide);
    return done ? 1 : 0;
}

}  // namespace

int shell_open(const char* text) {
    return shell_execute(L"open", text);
}

// "explore" is registered for folders only: a path that has become a file in the meantime
// fails instead of being run.
int shell_open_folder(const char* path) {
    if (!path || fs_is_dir(path) != 1) return 0;
    return shell_execute(L"explore", path);
}
