// What a session does with a reply's bytes once they are sent.
#pragma once

#include <malloc.h>

#include <cstddef>
#include <string>

namespace qorvin::server {

// Replies from this size on are large: a read of many rows.
inline constexpr size_t kLargeReplyBytes = size_t(1) << 20;

// Frees a large reply's bytes once they are sent and gives the heap's free memory back to the
// system: kept, they would hold the session's peak until its next reply, and memory freed on a
// worker thread would stay in that thread's arena. Small replies keep their buffer.
inline void ReleaseSentBytes(std::string& bytes) {
  if (bytes.capacity() < kLargeReplyBytes) return;
  std::string().swap(bytes);
  malloc_trim(0);
}

}  // namespace qorvin::server
