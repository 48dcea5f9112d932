// Detached threads over the C runtime's thread start, so the runtime's per-thread state is
// set up for every thread.
#include <process.h>
#include <windows.h>

#include <cstdlib>

#include "base/thread.h"

namespace {

// A 64-bit process has address space to spare, and the system's own libraries (the shell
// among them) expect the usual stack: a smaller reservation would save nothing. A 32-bit one
// has not: there a thread gets at least 256 KiB, which still leaves the shell and the other
// system libraries room (32-bit frames are smaller), and a thousand threads reserve 256 MiB
// instead of 1 GiB.
constexpr size_t MIN_STACK_RESERVE_BYTES =
    THREAD_WIDE_ADDRESS_SPACE ? 1024 * 1024 : 256 * 1024;

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

int thread_start_detached(ThreadFn fn, void* arg, size_t stack_bytes) {
    auto* start = static_cast<ThreadStart*>(malloc(sizeof(ThreadStart)));
    if (!start) return -1;
    start->fn = fn;
    start->arg = arg;
    size_t reserve = stack_bytes > MIN_STACK_RESERVE_BYTES ? stack_bytes : MIN_STACK_RESERVE_BYTES;
    // The size is a reservation, not a commitment: pages are committed as the stack grows.
    uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(reserve), run_thread, start,
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
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
