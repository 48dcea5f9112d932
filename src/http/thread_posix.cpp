// Detached threads over POSIX threads.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>

#include "http/thread.h"

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

}  // namespace

int thread_start_detached(ThreadFn fn, void* arg) {
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
    pthread_t id;
    int rc = pthread_create(&id, &attr, run_thread, start);
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
