#include "env/history.hpp"

#include <cstring>

namespace varnok {

namespace {

// The eight plane values of one byte of a bitboard, in square order, and the
// same for the byte read from its high bit down (for the turned board).
struct ByteExpansion {
  int32_t forward[256][8];
  int32_t backward[256][8];
};
constexpr ByteExpansion kBytes = [] {
  ByteExpansion t{};
  for (int b = 0; b < 256; ++b)
    for (int j = 0; j < 8; ++j) {
      t.forward[b][j] = (b >> j) & 1;
      t.backward[b][j] = (b >> (7 - j)) & 1;
    }
  return t;
}();

// Plane of a bitboard: 1 on its squares. Turned, square i shows square 63 - i.
inline void expand(Bitboard bits, bool turn, Plane& out) {
  for (int k = 0; k < 8; ++k) {
    if (turn)
      std::memcpy(&out[8 * k], kBytes.backward[(bits >> (8 * (7 - k))) & 255], sizeof(int32_t) * 8);
    else
      std::memcpy(&out[8 * k], kBytes.forward[(bits >> (8 * k)) & 255], sizeof(int32_t) * 8);
  }
}

inline void copy_plane(const Plane& from, bool turn, Plane& to) {
  if (turn)
    for (int i = 0; i < kSquares; ++i) to[i] = from[kSquares - 1 - i];
  else
    to = from;
}

// A plane that holds only 0 and 1, as a bitboard.
bool as_bitboard(const std::vector<int32_t>& plane, Bitboard& bits) {
  bits = 0;
  for (int i = 0; i < kSquares; ++i) {
    if (plane[i] == 1)
      bits |= square_bit(i);
    else if (plane[i] != 0)
      return false;
  }
  return true;
}

bool is_constant(const std::vector<int32_t>& plane) {
  for (int32_t v : plane)
    if (v != plane[0]) return false;
  return true;
}

}  // namespace

void History::write_planes(int slot, const int (&piece_order)[kPieces], bool turn, Plane* out) const {
  if (given_planes_mask_ & (1u << slot)) {
    const HistoryEntry& entry = (*given_planes_)[slot];
    for (int k = 0; k < kPieces; ++k) copy_plane(entry[piece_order[k]], turn, out[k]);
    copy_plane(entry[kWhiteRepetitionPlane], turn, out[kWhiteRepetitionPlane]);
    copy_plane(entry[kBlackRepetitionPlane], turn, out[kBlackRepetitionPlane]);
    return;
  }
  const HistoryRecord& record = records_[slot];
  for (int k = 0; k < kPieces; ++k) expand(record.pieces[piece_order[k]], turn, out[k]);
  // One value throughout, so turning changes nothing.
  out[kWhiteRepetitionPlane].fill(record.repetition[0]);
  out[kBlackRepetitionPlane].fill(record.repetition[1]);
}

History::NestedPlanes History::nested(int slot) const {
  constexpr int kEntryOrder[kPieces] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  HistoryEntry planes;
  write_planes(slot, kEntryOrder, false, planes.data());
  NestedPlanes out(kHistoryPlanes);
  for (int k = 0; k < kHistoryPlanes; ++k) out[k].assign(planes[k].begin(), planes[k].end());
  return out;
}

void History::assign(const std::vector<NestedPlanes>& entries, int cursor) {
  count_ = static_cast<int>(entries.size());
  cursor_ = cursor;
  given_planes_mask_ = 0;
  for (int slot = 0; slot < count_; ++slot) {
    const NestedPlanes& entry = entries[slot];
    HistoryRecord& record = records_[slot];
    bool fits = is_constant(entry[kWhiteRepetitionPlane]) && is_constant(entry[kBlackRepetitionPlane]);
    for (int k = 0; fits && k < kPieces; ++k) fits = as_bitboard(entry[k], record.pieces[k]);
    if (fits) {
      record.repetition[0] = entry[kWhiteRepetitionPlane][0];
      record.repetition[1] = entry[kBlackRepetitionPlane][0];
      continue;
    }
    if (!given_planes_) given_planes_ = std::make_unique<std::array<HistoryEntry, kHistorySlots>>();
    HistoryEntry& planes = (*given_planes_)[slot];
    for (int k = 0; k < kHistoryPlanes; ++k) std::copy(entry[k].begin(), entry[k].end(), planes[k].begin());
    given_planes_mask_ |= 1u << slot;
  }
}

}  // namespace varnok
