#include "search/leaf_game.hpp"

#include <algorithm>
#include <climits>

#include "core/legality.hpp"
#include "core/zobrist.hpp"

namespace varnok {

void LeafGame::start(const Episode& root) {
  root_ = &root;
  position_ = root.position;
  history_ = root.state_history;
  total_move_count_ = root.total_move_count;
  after_reset_ = root.after_reset;
  repetition_ = root.n_repetitions;
  previous_repetition_ = root.prev_n_repetitions;
  hashes_.clear();
  identities_.clear();
}

void LeafGame::play(Move move) {
  apply_move_under(root_->rules, position_, move);
  // The count the root's repetition table would reach if this position were
  // recorded into it: its count there plus its earlier occurrences on the
  // path plus this one, saturating as the table's counts do.
  int64_t count = 1;
  if (counts_as_fide(root_->rules)) {
    const uint64_t key = repetition_key(position_);
    const PositionIdentity identity = identity_of(position_);
    count += root_->repetition_count.count(key, identity);
    for (size_t i = 0; i < hashes_.size(); ++i) count += hashes_[i] == key && identities_[i] == identity ? 1 : 0;
    hashes_.push_back(key);
    identities_.push_back(identity);
  } else {
    const uint64_t hash = position_.hash();
    count += root_->repetition_count.count(hash);
    for (uint64_t earlier : hashes_) count += earlier == hash ? 1 : 0;
    hashes_.push_back(hash);
  }
  const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, INT32_MAX) - 1);

  HistoryRecord& record = history_.record_next();
  record.pieces = position_.bitboards;
  const bool white = position_.side == kWhite;
  record.repetition[0] = white ? n : previous_repetition_;
  record.repetition[1] = white ? previous_repetition_ : n;
  previous_repetition_ = repetition_ = n;
  saturating_increment(total_move_count_);
  after_reset_ = false;
}

Outcome LeafGame::list_and_judge(ActionMap& listing) const {
  listing.list_legal(position_);
  return judge_position(position_, repetition_, root_->rules, listing.size() > 0);
}

}  // namespace varnok
