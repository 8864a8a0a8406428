#include "search/material_search.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <string>

#include "core/legality.hpp"

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
}

int32_t MaterialSearch::search(const Position& position, int depth, int ply, int32_t alpha, int32_t beta) {
  ++nodes_;
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
    if (score >= beta) return beta;
    alpha = std::max(alpha, score);
  }
  if (!moved) return position.in_check() ? -(kMateScore - ply + 1) : 0;
  return alpha;
}

MaterialChoice MaterialSearch::choose(const Episode& root) {
  root_moves_.list_legal(root.position);
  if (root_moves_.size() == 0 || root.judge(true).done()) throw std::invalid_argument("the game at the root is over");
  nodes_ = 1;
  best_actions_.clear();
  int32_t best = -kInfinity;
  root_moves_.for_each([&](int action, Move move) {
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
      score = -search(game_.position(), options_.depth - 1, 1, -kInfinity, -(best - 1));
    }
    if (score > best) {
      best = score;
      best_actions_.clear();
    }
    if (score == best) best_actions_.push_back(action);
  });
  const auto pick = uniform_below([this] { return static_cast<uint32_t>(random_.next() >> 32); },
                                  static_cast<uint32_t>(best_actions_.size()));
  return {best_actions_[pick], best, nodes_};
}

}  // namespace varnok
