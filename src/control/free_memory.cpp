#include "control/free_memory.hpp"

#include <cstdlib>  // defines the C library's own macros

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void return_free_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}
