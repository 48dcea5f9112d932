#pragma once
// Detached threads: started, never joined, ended by returning from their function.

// The body of a detached thread; arg is whatever the starter passed.
using ThreadFn = void (*)(void* arg);

// Starts fn(arg) on a new detached thread with the platform's default stack size.
// 0 when the thread runs; -1 when it could not be started (fn is then never called and arg
// still belongs to the caller).
int thread_start_detached(ThreadFn fn, void* arg);
// Sleeps the calling thread for about ms milliseconds.
void thread_sleep_ms(int ms);
