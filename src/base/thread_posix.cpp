// Detached threads over POSIX threads.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "base/thread.h"

namespace {

struct ThreadStart {
    ThreadFn fn;
    void* arg;
};

void* run_thread(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    free(raw);
    start.fn(start.arg);
    return nullptr;
}

// The stack size must be a whole number of pages on some systems and at least
// PTHREAD_STACK_MIN on all.
int set_stack_size(pthread_attr_t* attr, size_t stack_bytes) {
    long page = sysconf(_SC_PAGESIZE);
    size_t unit = page > 0 ? static_cast<size_t>(page) : 4096;
    size_t size = (stack_bytes + unit - 1) / unit * unit;
    if (size < static_cast<size_t>(PTHREAD_STACK_MIN)) size = PTHREAD_STACK_MIN;
    return pthread_attr_setstacksize(attr, size);
}

}  // namespace

int thread_start_detached(ThreadFn fn, void* arg, size_t stack_bytes) {
    auto* start = static_cast<ThreadStart*>(malloc(sizeof(ThreadStart)));
    if (!start) return -1;
    start->fn = fn;
    start->arg = arg;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        free(start);
        return -1;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = set_stack_size(&attr, stack_bytes);
    pthread_t id;
    if (rc == 0) rc = pthread_create(&id, &attr, run_thread, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        free(start);
        return -1;
    }
    return 0;
}

void thread_sleep_ms(int ms) {
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
