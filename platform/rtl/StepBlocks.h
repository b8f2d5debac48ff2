// Spare blocks of a memory stream's growth step (8 KiB), kept per thread.
//
// A small message's stream takes one such block, and a call makes and drops several of these
// streams on each side. A block of that size takes the heap's slow path both when it is
// allocated and when it is freed, so a thread may keep a few dropped blocks for its next
// streams. Blocks are plain malloc blocks: one dropped on another thread than the one that
// took it is fine.
#pragma once

#include <cstddef>

namespace qorvin {

inline constexpr size_t kStepBlockSize = 8192;

// A kept block of kStepBlockSize bytes (contents undefined), or nullptr when this thread keeps
// none: the caller allocates one itself.
void* TakeStepBlock();
// Keeps `block` (from malloc, kStepBlockSize bytes) for this thread's next stream, or frees it.
void DropStepBlock(void* block);

}  // namespace qorvin
