#include "bench/Memory.h"

#include <malloc.h>

#include <algorithm>
#include <climits>

namespace velmora {

void KeepReleasedMemory(size_t bytes) {
  const int limit = static_cast<int>(std::min<size_t>(bytes, INT_MAX));
  // Blocks above 32 MiB keep their own mapping, so that a released large
  // buffer goes back to the system whatever the trim threshold is.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, limit);
}

}  // namespace velmora
