// The legal-move masks of a round's leaves, written over the rows of the
// round before. A row is 4,672 bytes, of which a leaf sets a few dozen:
// clearing whole rows moved more memory than the rest of a descent. Each
// row keeps which of its 64-byte blocks hold a set entry, and only those
// are cleared before the next mask goes in.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "env/action_map.hpp"
#include "env/actions.hpp"

namespace varnok {

inline constexpr int kMaskBlockBytes = 64;
inline constexpr int kMaskBlocks = kActionCount / kMaskBlockBytes;  // 73
static_assert(kActionCount % kMaskBlockBytes == 0);

// Which blocks of a mask row may hold a set entry (every other block is 0).
struct WrittenMask {
  std::array<uint64_t, (kMaskBlocks + 63) / 64> blocks{};
};

// Calls visit(byte offset) for each block that written marks.
template <class Visit>
void for_each_written_block(const WrittenMask& written, Visit visit) {
  for (size_t word = 0; word < written.blocks.size(); ++word)
    for (uint64_t bits = written.blocks[word]; bits != 0; bits &= bits - 1)
      visit(static_cast<int>(word * 64 + std::countr_zero(bits)) * kMaskBlockBytes);
}

// Zeroes the blocks of row that written marks, leaving the row all 0.
inline void clear_mask_row(uint8_t* row, WrittenMask& written) {
  for_each_written_block(written, [&](int offset) { std::memset(row + offset, 0, kMaskBlockBytes); });
  written.blocks = {};
}

// Writes the mask of listing (1 at every listed action, 0 elsewhere) over row.
inline void write_mask_row(const ActionMap& listing, uint8_t* row, WrittenMask& written) {
  clear_mask_row(row, written);
  listing.for_each([&](int action, Move) {
    row[action] = 1;
    const int block = action / kMaskBlockBytes;
    written.blocks[block / 64] |= uint64_t{1} << (block % 64);
  });
}

// Makes row to a copy of row from, moving only the blocks either marks.
inline void copy_mask_row(const uint8_t* from, const WrittenMask& from_written, uint8_t* to, WrittenMask& to_written) {
  clear_mask_row(to, to_written);
  for_each_written_block(from_written, [&](int offset) { std::memcpy(to + offset, from + offset, kMaskBlockBytes); });
  to_written = from_written;
}

}  // namespace varnok
