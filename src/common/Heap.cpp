#include "common/Heap.h"

#include <malloc.h>

namespace corvel {

bool boundHeapArenas() { return mallopt(M_ARENA_MAX, kHeapArenas) == 1; }

bool mapLargeBlocks() { return mallopt(M_MMAP_THRESHOLD, kMappedBlockBytes) == 1; }

} // namespace corvel
