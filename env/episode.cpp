// Episodes: reset to the initial position, and step, which plays one action
// and judges the position reached. Rewards count from white's side: +1 when
// black is checkmated, -1 when white is, 0 otherwise. The end rules, in
// order: no legal reply (checkmate or stalemate), third occurrence of a
// position, no-progress count of 50.
#include <stdexcept>

#include "core/board.hpp"
#include "core/legality.hpp"

namespace varnok {

namespace {
constexpr const char* kInitialPosition = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 ";
constexpr int kNoProgressLimit = 50;
constexpr int kRepetitionLimit = 2;  // repetition value of a third occurrence
}  // namespace

StepResult Board::reset() {
  after_reset = 1;
  state_history.clear();
  repetition_count.clear();
  state_pos = 0;
  // Every episode starts from the same observation: the move count and the
  // repetition value of the previous episode are not carried over.
  total_move_count = 0;
  prev_n_repititions = 0;
  parse_fen(kInitialPosition);
  record_position();
  StepResult result;
  build_observation(result.observation);
  list_legal_moves();
  result.side = side;
  return result;
}

void Board::play_move(Move move) {
  apply_move(move);  // legal: it came from a listing of this position
  record_position();
  saturating_increment(total_move_count);
}

void Board::judge(bool legal_reply, int32_t& reward, int32_t& done) const {
  if (legal_reply) {
    reward = 0;
    done = (n_repititions == kRepetitionLimit || no_progress_count >= kNoProgressLimit) ? 1 : 0;
    return;
  }
  done = 1;
  reward = !side_to_move_in_check() ? 0 : side == kBlack ? 1 : -1;
}

StepResult Board::step(int32_t action) {
  after_reset = 0;
  list_legal_moves();
  if (!move_index.contains(action)) throw std::invalid_argument("Invalid action");
  play_move(move_index.at(action));
  StepResult result;
  build_observation(result.observation);
  judge(has_legal_move(*this), result.reward, result.done);
  result.side = side;
  return result;
}

}  // namespace varnok
