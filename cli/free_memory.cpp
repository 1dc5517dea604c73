#include "cli/free_memory.h"

#include <malloc.h>

void give_back_free_memory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}
