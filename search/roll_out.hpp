// A leaf's value without a network: one random roll-out from its game,
// played by the episode's own rules (Episode::roll_out_with) from the tree's
// seeded generator.
//
// A roll-out needs the whole episode, the repetition counts of every
// position since the root included, so the game is a copy of the root's
// Episode with the moves of the path recorded on it. The path's positions were
// listed and judged by the descent (LeafGame) already; here they are only
// played and recorded, the rest of what a step does (listing, judging, the
// move log) changes nothing a roll-out reads.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <random>
#include <sstream>
#include <vector>

#include "env/episode.hpp"
#include "search/node_pool.hpp"

namespace varnok {

class RollOut {
 public:
  explicit RollOut(uint32_t seed) : random_(seed) {}

  // The result of one roll-out from the game at the end of path (node
  // indices from the root, not finished), for its side to move.
  double value(const Episode& root, const NodePool& nodes, const std::vector<int32_t>& path) {
    game_ = root;
    for (size_t i = 1; i < path.size(); ++i) {
      apply_move_under(game_.rules, game_.position, nodes[path[i]].move);
      game_.record_position();
    }
    const int side = game_.position.side;
    const int32_t reward = game_.roll_out_with(random_, nullptr);
    return side == kWhite ? reward : -reward;
  }

  // The generator's state as text, and back.
  void write_draws(std::ostream& out) const { out << random_; }
  bool read_draws(std::istream& in) {
    std::mt19937 read;
    if (!(in >> read) || !holds_32_bit_words(read) || draws_only_zeros(read)) return false;
    random_ = read;
    return true;
  }

 private:
  // Whether every word of the generator's state is a 32-bit word, as in
  // every state a generator reaches. The standard library keeps the words
  // in a wider type and reads wider numbers from text as they are, so text
  // with such a number would be taken for draws no search ever wrote.
  static bool holds_32_bit_words(const std::mt19937& random) {
    std::ostringstream text;
    text << random;
    std::istringstream words(text.str());
    uint64_t word;
    while (words >> word)
      if (word > UINT32_MAX) return false;
    return words.eof();
  }

  // Whether the generator draws only zeros from here on: its 19937 bits of
  // state are all clear, which no seed reaches and from which a roll-out's
  // draws by rejection never end. Past a block of draws the state has been
  // twisted at least once; a twisted state that is not clear gives a draw
  // other than 0 within a block.
  static bool draws_only_zeros(std::mt19937 random) {
    random.discard(std::mt19937::state_size);
    for (size_t i = 0; i < std::mt19937::state_size; ++i)
      if (random() != 0) return false;
    return true;
  }

  std::mt19937 random_;
  Episode game_;  // reused from roll-out to roll-out
};

}  // namespace varnok
