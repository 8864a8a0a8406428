// A weak, fast and reproducible opponent: fixed-depth alpha-beta (negamax)
// on material alone, with checkmate and stalemate found at every node it
// expands. Its moves at the root are judged by the episode's own rules (a
// move that completes a repetition or reaches the no-progress limit is a
// draw, scored 0); below the root only mate and stalemate end a line. Among
// the root moves that share the best score one is drawn from a seeded
// generator, so a seed makes every choice reproducible while equal moves
// still vary from game to game.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "env/action_map.hpp"
#include "env/episode.hpp"
#include "env/random.hpp"
#include "search/leaf_game.hpp"
#include "vector/single_caller.hpp"

namespace varnok {

// Centipawn values of pawn, knight, bishop, rook, queen and king (the kings
// are never taken).
inline constexpr int32_t kMaterialValue[kPieceKinds] = {100, 320, 330, 500, 900, 0};
// The score of giving mate at the next ply; a mate k plies away scores
// kMateScore - k + 1, so a quicker mate scores higher.
inline constexpr int32_t kMateScore = 30000;
// Scores beyond this (either sign) are mates.
inline constexpr int32_t kMateBound = kMateScore - 1000;

struct MaterialOptions {
  // Plies searched: 1 takes the best capture or mate at once. Wide, so that
  // check() names any count a caller gives.
  int64_t depth = 1;
  uint64_t seed = 0;

  static constexpr int kMaxDepth = 8;
  // std::invalid_argument naming the field when an option is out of range.
  void check() const;
};

// The choice at one root: the action, its score (centipawns for the side
// to move, or a mate score), the positions the search visited and the depth
// whose result it is.
struct MaterialChoice {
  int32_t action = -1;
  int32_t score = 0;
  int64_t nodes = 0;
  int depth = 0;
};

// What may end a deepening search before its last depth: a budget of
// positions, and the caller's own check (a clock, a request to stop), asked
// every kNodesBetweenChecks positions. depth_searched, when given, hears of
// each depth searched whole as it ends (an analysis shows its progress):
// that depth's score and the first of its best moves in action order (the
// tie among them is drawn once, at the end), with the positions so far.
struct MaterialLimits {
  int64_t nodes = 0;                                          // 0: no budget
  std::function<bool()> stopped;                              // empty: none
  std::function<void(const MaterialChoice&)> depth_searched;  // empty: none
  static constexpr int64_t kNodesBetweenChecks = 1024;
};

class MaterialSearch {
 public:
  explicit MaterialSearch(const MaterialOptions& options);

  // Starts the tie-break generator again from seed.
  void reseed(uint64_t seed) { random_.reseed(seed, 0); }
  // The tie-break generator's state as text, and back (false, with nothing
  // changed, on text that is not such a state).
  std::string draws() const;
  bool set_draws(const std::string& text);
  // std::invalid_argument unless root is a game that goes on; the draws
  // are not touched, so a caller of many roots checks them all first.
  void check_root(const Episode& root);
  // root is a game that goes on (std::invalid_argument otherwise).
  MaterialChoice choose(const Episode& root);
  // The same search deepened one ply at a time up to the set depth, for a
  // player on a clock: the choice of the deepest depth searched whole
  // before limits ended the search. Depth 1 is always searched whole (a
  // move needs a search). The tie is drawn once, among the best moves of
  // the deepest whole depth, so a search that reaches the set depth
  // chooses as choose does. A mate found ends the deepening: no deeper
  // search finds a quicker one, nor other moves that mate as quickly.
  MaterialChoice choose_within(const Episode& root, const MaterialLimits& limits);
  const MaterialOptions& options() const { return options_; }

  // One caller at a time: a search keeps its work between the calls of one
  // choice. acquire throws std::runtime_error while another caller holds it.
  void acquire() {
    if (!caller_.try_take()) SingleCaller::refuse("this search");
  }
  void release() { caller_.release(); }

 private:
  int32_t search(const Position& position, int depth, int ply, int32_t alpha, int32_t beta);
  // Scores every root move at depth into best_actions_ (the moves of the
  // best score, in action order) and best; false when the limits ended it.
  bool score_root(const Episode& root, int depth, int32_t& best);
  // Whether limits end the search after the positions counted so far; the
  // caller's own check is asked only when ask is set.
  bool reached(const MaterialLimits& limits, bool ask) const;
  // Counts a position and tells whether the limits end the search there.
  bool over_limits();

  MaterialOptions options_;
  Random random_;
  LeafGame game_;
  ActionMap root_moves_;
  ActionMap listing_;
  std::vector<int32_t> best_actions_;
  std::vector<int32_t> deepest_actions_;  // best_actions_ of the deepest whole depth
  int64_t nodes_ = 0;
  const MaterialLimits* limits_ = nullptr;  // while a deepening search runs past depth 1
  bool ended_ = false;                      // the limits ended the depth being searched
  SingleCaller caller_;
};

// Material of the side to move minus the opponent's, in centipawns.
int32_t material_balance(const Position& position);

}  // namespace varnok
