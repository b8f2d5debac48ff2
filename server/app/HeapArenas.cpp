#include "server/app/HeapArenas.h"

#include <malloc.h>

#include <algorithm>
#include <thread>

namespace qorvin::server {

void LimitHeapArenas() {
  const int cores = int(std::thread::hardware_concurrency());
  mallopt(M_ARENA_MAX, std::max(2, cores));
}

}  // namespace qorvin::server
