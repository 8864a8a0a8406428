#include "env/history.hpp"

#include <algorithm>

namespace varnok {

bool record_of(const NestedPlanes& entry, HistoryRecord& record) {
  if (entry.size() != kHistoryPlanes) return false;
  for (const auto& plane : entry)
    if (plane.size() != kSquares) return false;
  for (int k = 0; k < kPieces; ++k) {
    record.pieces[k] = 0;
    for (int s = 0; s < kSquares; ++s) {
      if (entry[k][s] == 1)
        record.pieces[k] |= square_bit(s);
      else if (entry[k][s] != 0)
        return false;
    }
  }
  for (int k : {kWhiteRepetitionPlane, kBlackRepetitionPlane})
    if (std::any_of(entry[k].begin(), entry[k].end(), [&](int32_t v) { return v != entry[k][0]; })) return false;
  record.repetition[0] = entry[kWhiteRepetitionPlane][0];
  record.repetition[1] = entry[kBlackRepetitionPlane][0];
  return true;
}

NestedPlanes planes_of(const HistoryRecord& record) {
  NestedPlanes planes(kHistoryPlanes, std::vector<int32_t>(kSquares, 0));
  for (int k = 0; k < kPieces; ++k)
    for (int s = 0; s < kSquares; ++s) planes[k][s] = (record.pieces[k] >> s) & 1;
  planes[kWhiteRepetitionPlane].assign(kSquares, record.repetition[0]);
  planes[kBlackRepetitionPlane].assign(kSquares, record.repetition[1]);
  return planes;
}

NestedPlanes History::nested(int slot) const {
  if (const HistoryRecord* given_record = record(slot)) return planes_of(*given_record);
  NestedPlanes out(kHistoryPlanes);
  for (int k = 0; k < kHistoryPlanes; ++k) out[k].assign(given_planes(slot)[k].begin(), given_planes(slot)[k].end());
  return out;
}

void History::assign(const std::vector<NestedPlanes>& entries, int cursor) {
  count_ = static_cast<int>(entries.size());
  cursor_ = cursor;
  given_planes_mask_ = 0;
  for (int slot = 0; slot < count_; ++slot) {
    const NestedPlanes& entry = entries[slot];
    if (record_of(entry, records_[slot])) continue;
    if (!given_planes_) given_planes_ = std::make_unique<std::array<HistoryEntry, kHistorySlots>>();
    HistoryEntry& planes = (*given_planes_)[slot];
    for (int k = 0; k < kHistoryPlanes; ++k) std::copy(entry[k].begin(), entry[k].end(), planes[k].begin());
    given_planes_mask_ |= 1u << slot;
  }
}

}  // namespace varnok
