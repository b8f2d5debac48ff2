// Windows: no blocks are kept. A thread-local object with a destructor in a DLL that a host may
// unload while its threads live is not worth the risk; the system heap serves these sizes from
// its own low-fragmentation lists.
#include <cstdlib>

#include "platform/rtl/StepBlocks.h"

namespace qorvin {

void* TakeStepBlock() {
  return nullptr;
}

void DropStepBlock(void* block) {
  std::free(block);
}

}  // namespace qorvin
