#pragma once
// Detached threads: started, never joined, ended by returning from their function.
#include <cstddef>

// The body of a detached thread; arg is whatever the starter passed.
using ThreadFn = void (*)(void* arg);

// Whether this build's threads share a 64-bit address space. A 32-bit process has 2 GiB (4 GiB
// when large-address-aware on 64-bit Windows) for its stacks, heap and the system's libraries
// together, so thread counts and stack reservations are sized down for it.
constexpr bool THREAD_WIDE_ADDRESS_SPACE = sizeof(void*) >= 8;

// Starts fn(arg) on a new detached thread whose stack holds at least stack_bytes: exactly
// that, rounded up to whole pages, on POSIX; on Windows, where a stack is only reserved
// address space committed page by page as it is used, never less than 1 MiB is reserved in
// a 64-bit process and never less than 256 KiB in a 32-bit one.
// 0 when the thread runs; -1 when it could not be started (fn is then never called and arg
// still belongs to the caller).
int thread_start_detached(ThreadFn fn, void* arg, size_t stack_bytes);
// Sleeps the calling thread for about ms milliseconds.
void thread_sleep_ms(int ms);
