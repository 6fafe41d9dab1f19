#include "common/Heap.h"

#include <malloc.h>

namespace corvel {

bool boundHeapArenas() { return mallopt(M_ARENA_MAX, kHeapArenas) == 1; }

} // namespace corvel
