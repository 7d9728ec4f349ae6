#include "platform/heap.h"

#include <malloc.h>

namespace plat {

bool KeepFreedHeap() {
  // Blocks up to 32 MB come from the heap (the largest the allocator allows),
  // and up to 256 MB of free space at its top is kept.
  const bool mmap = mallopt(M_MMAP_THRESHOLD, 32 << 20) == 1;
  const bool trim = mallopt(M_TRIM_THRESHOLD, 256 << 20) == 1;
  return mmap && trim;
}

}  // namespace plat
