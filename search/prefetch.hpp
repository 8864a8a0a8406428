// Asking the cache for memory before it is read or written. A batch of
// trees is searched one tree after another, and by its next turn a tree's
// memory has left the cache: asked for a little ahead, it is back in time.
#pragma once

#include <cstddef>

namespace varnok {

inline constexpr size_t kCacheLineBytes = 64;

enum class PrefetchFor { kReading, kWriting };

// Asks for every cache line of the bytes [from, from + bytes).
inline void prefetch_bytes(const void* from, size_t bytes, PrefetchFor use = PrefetchFor::kReading) {
  const char* at = static_cast<const char*>(from);
  for (size_t offset = 0; offset < bytes; offset += kCacheLineBytes) {
    if (use == PrefetchFor::kWriting) {
      __builtin_prefetch(at + offset, 1);
    } else {
      __builtin_prefetch(at + offset);
    }
  }
}

}  // namespace varnok
