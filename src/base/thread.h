#pragma once
// Detached threads: started, never joined, ended by returning from their function.
#include <cstddef>

// The body of a detached thread; arg is whatever the starter passed.
using ThreadFn = void (*)(void* arg);

// Starts fn(arg) on a new detached thread whose stack holds at least stack_bytes: exactly
// that, rounded up to whole pages, on POSIX; on Windows, where a stack is only reserved
// address space committed page by page as it is used, never less than 1 MiB is reserved.
// 0 when the thread runs; -1 when it could not be started (fn is then never called and arg
// still belongs to the caller).
int thread_start_detached(ThreadFn fn, void* arg, size_t stack_bytes);
// Sleeps the calling thread for about ms milliseconds.
void thread_sleep_ms(int ms);
