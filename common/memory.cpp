#include "common/memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

// Present when the program is linked with mimalloc (which then serves every allocation).
extern "C" void mi_collect(bool force) __attribute__((weak));

namespace palvara {

void ReleaseFreedMemory() {
  if (mi_collect != nullptr) {
    mi_collect(true);
    return;
  }
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace palvara
