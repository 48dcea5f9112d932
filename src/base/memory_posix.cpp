#include "base/memory.h"

#include <cstdlib>  // defines __GLIBC__ with glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

// glibc keeps freed blocks in its arenas (one per thread) unless asked; other C libraries
// (macOS) return large free regions by themselves.
void memory_give_back(void) {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}
