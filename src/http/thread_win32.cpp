// Detached threads over the C runtime's thread start, so the runtime's per-thread state is
// set up for every thread.
#include <process.h>
#include <windows.h>

#include <cstdlib>

#include "http/thread.h"

namespace {

struct ThreadStart {
    ThreadFn fn;
    void* arg;
};

unsigned __stdcall run_thread(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    free(raw);
    start.fn(start.arg);
    return 0;
}

}  // namespace

int thread_start_detached(ThreadFn fn, void* arg) {
    auto* start = static_cast<ThreadStart*>(malloc(sizeof(ThreadStart)));
    if (!start) return -1;
    start->fn = fn;
    start->arg = arg;
    uintptr_t handle = _beginthreadex(nullptr, 0, run_thread, start, 0, nullptr);
    if (handle == 0) {
        free(start);
        return -1;
    }
    // Never joined: the handle is not needed once the thread runs.
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    return 0;
}

void thread_sleep_ms(int ms) {
    Sleep(static_cast<DWORD>(ms));
}
