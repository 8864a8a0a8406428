// The episode Episode: a fresh one, and the verdict on the position a move
// reaches (Episode::judge), which step and roll_out both report: checkmate of
// either side with its reward, stalemate, the third occurrence of a position,
// 50 plies without progress, and the game going on; the end rules in their
// order when several hold at once.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/position.hpp"
#include "env/actions.hpp"
#include "env/episode.hpp"

namespace varnok {
namespace {

TEST(Episode, FreshBoardIsEmptyWithZeroCounters) {
  const Episode board;
  EXPECT_EQ(board.position, Position{});
  EXPECT_EQ(board.total_move_count, 0);
  EXPECT_FALSE(board.after_reset);
  EXPECT_EQ(board.n_repetitions, 0);
  EXPECT_EQ(board.prev_n_repetitions, 0);
  EXPECT_EQ(board.repetition_count.size(), 0);
  EXPECT_EQ(board.move_index.size(), 0);
  EXPECT_EQ(board.state_history.size(), 0);
  EXPECT_EQ(board.state_history.cursor(), 0);
}

// Whether the side to move has a legal move, by the plain rule: some
// generated move that make_move accepts on a copy.
bool has_legal_reply(const Position& position) {
  MoveList list;
  position.generate_moves(list);
  for (int i = 0; i < list.count; ++i) {
    Position next = position;
    if (next.make_move(list.moves[i])) return true;
  }
  return false;
}

// The action of the legal move source -> target (a pawn reaching the last
// rank becomes a queen); -1, which step refuses, when there is none.
int32_t action_for(const Position& position, int source, int target) {
  MoveList list;
  position.generate_moves(list);
  for (int i = 0; i < list.count; ++i) {
    const Move move = list.moves[i];
    if (move_source(move) != source || move_target(move) != target) continue;
    if (move_promoted(move) && kind_of(move_promoted(move)) != kQueen) continue;
    if (position.is_legal(move)) return action_of_move(position.side, move);
  }
  ADD_FAILURE() << "no legal move " << source << "-" << target;
  return -1;
}

std::string name_of(Termination termination) {
  switch (termination) {
    case Termination::kNone: return "none";
    case Termination::kCheckmate: return "checkmate";
    case Termination::kStalemate: return "stalemate";
    case Termination::kRepetition: return "repetition";
    case Termination::kNoProgress: return "no progress";
    case Termination::kInsufficientMaterial: return "insufficient material";
    case Termination::kMoveCap: return "move cap";
  }
  return "?";
}

// step's reward and done flag are the verdict of judge on the position reached.
void expect_step_reports_judge(const StepResult& result, const Episode& board) {
  const Outcome outcome = board.judge(has_legal_reply(board.position));
  EXPECT_EQ(result.reward, outcome.reward) << name_of(outcome.termination);
  EXPECT_EQ(result.done, outcome.done() ? 1 : 0) << name_of(outcome.termination);
}

using Moves = std::vector<std::pair<int, int>>;

// Both knights out and home again: after four plies the initial position
// stands for the second time, after eight for the third.
const Moves kKnightsOutAndBack = {{kG1, kF3}, {kG8, kF6}, {kF3, kG1}, {kF6, kG8}};
Moves twice(const Moves& moves) {
  Moves out = moves;
  out.insert(out.end(), moves.begin(), moves.end());
  return out;
}

struct Ending {
  const char* name;
  const char* fen;  // nullptr: the episode starts with reset
  int32_t no_progress;
  Moves moves;
  Termination termination;
  int32_t reward;
};

// White mates with Ra1-a8, black with ...Ra8-a1, and Qb5-b6 stalemates.
constexpr const char* kWhiteMatesInOne = "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1";
constexpr const char* kBlackMatesInOne = "r5k1/8/8/8/8/8/5PPP/6K1 b - - 0 1";
constexpr const char* kWhiteStalemates = "k7/8/8/1Q6/8/8/8/7K w - - 0 1";

const Ending kEndings[] = {
    {"white mates", kWhiteMatesInOne, 0, {{kA1, kA8}}, Termination::kCheckmate, 1},
    {"black mates", kBlackMatesInOne, 0, {{kA8, kA1}}, Termination::kCheckmate, -1},
    {"stalemate", kWhiteStalemates, 0, {{kB5, kB6}}, Termination::kStalemate, 0},
    {"third occurrence", nullptr, 0, twice(kKnightsOutAndBack), Termination::kRepetition, 0},
    {"second occurrence goes on", nullptr, 0, kKnightsOutAndBack, Termination::kNone, 0},
    {"fiftieth quiet ply", nullptr, 49, {{kG1, kF3}}, Termination::kNoProgress, 0},
    {"forty-ninth quiet ply goes on", nullptr, 48, {{kG1, kF3}}, Termination::kNone, 0},
    {"a pawn move restarts the count", nullptr, 49, {{kE2, kE4}}, Termination::kNone, 0},
    {"opening move", nullptr, 0, {{kE2, kE4}}, Termination::kNone, 0},
    // The end rules in order: no legal reply first, then repetition, then no progress.
    {"mate on the fiftieth quiet ply", kWhiteMatesInOne, 49, {{kA1, kA8}}, Termination::kCheckmate, 1},
    {"stalemate on the fiftieth quiet ply", kWhiteStalemates, 49, {{kB5, kB6}}, Termination::kStalemate, 0},
    {"third occurrence on the fiftieth quiet ply", nullptr, 42, twice(kKnightsOutAndBack), Termination::kRepetition, 0},
};

TEST(Judge, EndingsThroughStepAndRollOut) {
  for (const Ending& ending : kEndings) {
    SCOPED_TRACE(ending.name);
    Episode board;
    board.reset();
    if (ending.fen) {
      // An episode started on a typed position, as restore_state would start it.
      board.parse_fen(ending.fen);
      board.record_position();
    }
    board.position.no_progress_count = ending.no_progress;
    StepResult result;
    for (size_t ply = 0; ply < ending.moves.size(); ++ply) {
      const auto [source, target] = ending.moves[ply];
      result = board.step(action_for(board.position, source, target));
      expect_step_reports_judge(result, board);
      if (ply + 1 < ending.moves.size()) {
        ASSERT_EQ(result.done, 0) << "ply " << ply;
      }
    }
    const bool has_reply = has_legal_reply(board.position);
    const Outcome outcome = board.judge(has_reply);
    EXPECT_EQ(name_of(outcome.termination), name_of(ending.termination));
    EXPECT_EQ(outcome.reward, ending.reward);
    EXPECT_EQ(result.reward, ending.reward);
    EXPECT_EQ(result.done, ending.termination == Termination::kNone ? 0 : 1);
    // With no legal reply there is nothing to roll out: roll_out reports the
    // same verdict at once.
    if (!has_reply) {
      std::mt19937 rng(1);
      std::vector<int32_t> played;
      EXPECT_EQ(board.roll_out_with(rng, &played), ending.reward);
      EXPECT_TRUE(played.empty());
    }
  }
}

TEST(Judge, VerdictDependsOnTheLegalReplyAnswer) {
  // The mated position judged as if it had a reply is no checkmate, and a
  // position with replies judged as if it had none is stalemate unless in check.
  Episode board;
  board.parse_fen("R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1");
  EXPECT_EQ(name_of(board.judge(true).termination), "none");
  EXPECT_EQ(board.judge(false).reward, 1);
  board.parse_fen("R5k1/5ppp/8/8/8/8/8/6K1 w - - 0 1");  // white to move, not in check
  EXPECT_EQ(name_of(board.judge(false).termination), "stalemate");
  EXPECT_EQ(board.judge(false).reward, 0);
}

// Random games: every step's result is the verdict on the position it
// reached, and a roll-out's result is the verdict on its last position.
TEST(Judge, RandomGamesReportTheVerdictOnEachPosition) {
  std::mt19937 rng(4242);
  Episode rolled, replayed;
  std::map<Termination, int> endings;
  for (int game = 0; game < 80; ++game) {
    SCOPED_TRACE("game " + std::to_string(game));
    rolled.reset();
    std::vector<int32_t> played;
    const int32_t result = rolled.roll_out_with(rng, &played);
    const Outcome outcome = rolled.judge(has_legal_reply(rolled.position));
    EXPECT_EQ(result, outcome.reward);
    if (played.size() < 400) {
      EXPECT_TRUE(outcome.done());
    }
    ++endings[outcome.termination];
    if (outcome.termination == Termination::kCheckmate) {
      // The side to move has lost: +1 when that is black.
      EXPECT_TRUE(rolled.position.in_check());
      EXPECT_EQ(outcome.reward, rolled.position.side == kBlack ? 1 : -1);
    } else {
      EXPECT_EQ(outcome.reward, 0);
    }

    replayed.reset();
    for (int32_t action : played) {
      const StepResult step = replayed.step(action);
      expect_step_reports_judge(step, replayed);
    }
  }
  // Random play reaches each of the common endings within this many games.
  EXPECT_GT(endings[Termination::kCheckmate], 0);
  EXPECT_GT(endings[Termination::kRepetition], 0);
  EXPECT_GT(endings[Termination::kNoProgress], 0);
}

}  // namespace
}  // namespace varnok
