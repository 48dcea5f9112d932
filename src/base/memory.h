#pragma once
// The process's free memory (memory_posix.cpp, memory_win32.cpp).

// Hands memory that was freed back to the system where the allocator keeps it for reuse: a
// large request body parsed into many small blocks would otherwise stay counted against the
// PC long after its request ended. Costs a walk of the allocator's free lists; call it after
// large work only.
void memory_give_back(void);
