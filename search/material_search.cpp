#include "search/material_search.hpp"

#include <algorithm>
#include <bit>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>

#include "core/legality.hpp"
#include "search/draws_text.hpp"

namespace varnok {

namespace {

constexpr int32_t kInfinity = kMateScore + 1;

// Captures first, the most valuable victim taken by the least valuable
// attacker first (MVV-LVA); quiet moves after them in generation order.
int32_t order_key(const Position& position, Move move) {
  if (!move_is_capture(move)) return 0;
  const int victim = move_is_en_passant(move) ? kPawn : kind_of(position.piece_on(move_target(move)));
  return 1 + kMaterialValue[victim] * kPieceKinds - kind_of(move_piece(move));
}

}  // namespace

void MaterialOptions::check() const {
  if (depth < 1 || depth > kMaxDepth)
    throw std::invalid_argument("depth must be 1 to " + std::to_string(kMaxDepth) + ", got " + std::to_string(depth));
}

std::string MaterialSearch::draws() const {
  return draws_text([&](std::ostream& out) { out << random_; });
}

bool MaterialSearch::set_draws(const std::string& text) {
  Random read;
  if (!read_draws_text(text, [&](std::istream& in) { return static_cast<bool>(in >> read); })) return false;
  random_ = read;
  return true;
}

int32_t material_balance(const Position& position) {
  int32_t balance = 0;
  for (int kind = kPawn; kind < kKing; ++kind) {
    const int32_t own = std::popcount(position.pieces(position.side, PieceKind(kind)));
    const int32_t theirs = std::popcount(position.pieces(opponent_of(position.side), PieceKind(kind)));
    balance += kMaterialValue[kind] * (own - theirs);
  }
  return balance;
}

MaterialSearch::MaterialSearch(const MaterialOptions& options) : options_(options) {
  options_.check();
  reseed(options_.seed);
  best_actions_.reserve(kMoveListCapacity);
  deepest_actions_.reserve(kMoveListCapacity);
}

bool MaterialSearch::reached(const MaterialLimits& limits, bool ask) const {
  return (limits.nodes > 0 && nodes_ >= limits.nodes) || (ask && limits.stopped && limits.stopped());
}

bool MaterialSearch::over_limits() {
  ++nodes_;
  if (limits_ && reached(*limits_, nodes_ % MaterialLimits::kNodesBetweenChecks == 0)) ended_ = true;
  return ended_;
}

int32_t MaterialSearch::search(const Position& position, int depth, int ply, int32_t alpha, int32_t beta) {
  // An ended search unwinds at once; its scores are thrown away.
  if (ended_ || over_limits()) return 0;
  if (depth == 0) return material_balance(position);
  MoveList list;
  position.generate_moves(list);
  int32_t keys[kMoveListCapacity];
  for (int i = 0; i < list.count; ++i) keys[i] = order_key(position, list.moves[i]);
  // Insertion sort, stable: a few dozen moves.
  for (int i = 1; i < list.count; ++i) {
    const Move move = list.moves[i];
    const int32_t key = keys[i];
    int j = i;
    for (; j > 0 && keys[j - 1] < key; --j) {
      keys[j] = keys[j - 1];
      list.moves[j] = list.moves[j - 1];
    }
    keys[j] = key;
    list.moves[j] = move;
  }
  bool moved = false;
  for (int i = 0; i < list.count; ++i) {
    Position next = position;
    if (!next.make_move(list.moves[i])) continue;
    moved = true;
    const int32_t score = -search(next, depth - 1, ply + 1, -beta, -alpha);
    if (ended_) return 0;
    if (score >= beta) return beta;
    alpha = std::max(alpha, score);
  }
  if (!moved) return position.in_check() ? -(kMateScore - ply + 1) : 0;
  return alpha;
}

bool MaterialSearch::score_root(const Episode& root, int depth, int32_t& best) {
  best_actions_.clear();
  best = -kInfinity;
  root_moves_.for_each([&](int action, Move move) {
    if (ended_) return;
    game_.start(root);
    game_.play(move);
    const Outcome outcome = game_.list_and_judge(listing_);
    int32_t score;
    if (outcome.termination == Termination::kCheckmate) {
      ++nodes_;
      score = kMateScore;
    } else if (outcome.done()) {
      ++nodes_;
      score = 0;
    } else {
      // Only scores that can tie or beat the best so far matter: the window
      // starts just below it, so an equal move is scored exactly.
      score = -search(game_.position(), depth - 1, 1, -kInfinity, -(best - 1));
      if (ended_) return;
    }
    if (score > best) {
      best = score;
      best_actions_.clear();
    }
    if (score == best) best_actions_.push_back(action);
  });
  return !ended_;
}

MaterialChoice MaterialSearch::choose(const Episode& root) { return choose_within(root, MaterialLimits{}); }

void MaterialSearch::check_root(const Episode& root) {
  root_moves_.list_legal(root.position);
  if (root_moves_.size() == 0 || root.judge(true).done()) throw std::invalid_argument("the game at the root is over");
}

MaterialChoice MaterialSearch::choose_within(const Episode& root, const MaterialLimits& limits) {
  check_root(root);  // and lists the root's moves
  const bool deepening = limits.nodes > 0 || limits.stopped || limits.depth_searched;
  nodes_ = 1;
  ended_ = false;
  MaterialChoice choice;
  const int deepest = static_cast<int>(options_.depth);  // checked: 1 to kMaxDepth
  for (int depth = deepening ? 1 : deepest; depth <= deepest; ++depth) {
    // A depth is not begun once the limits are reached.
    if (depth > 1 && reached(limits, true)) break;
    limits_ = depth > 1 ? &limits : nullptr;
    int32_t best;
    const bool whole = score_root(root, depth, best);
    limits_ = nullptr;
    if (!whole) break;
    deepest_actions_.swap(best_actions_);
    choice.score = best;
    choice.depth = depth;
    if (limits.depth_searched) limits.depth_searched({deepest_actions_.front(), best, nodes_, depth});
    if (best >= kMateBound) break;
  }
  const auto pick = uniform_below([this] { return static_cast<uint32_t>(random_.next() >> 32); },
                                  static_cast<uint32_t>(deepest_actions_.size()));
  choice.action = deepest_actions_[pick];
  choice.nodes = nodes_;
  return choice;
}

}  // namespace varnok
