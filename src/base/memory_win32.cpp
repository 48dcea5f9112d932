#include <malloc.h>

#include "base/memory.h"

// The C runtime's heap decommits its free pages when asked.
void memory_give_back(void) {
    _heapmin();
}
