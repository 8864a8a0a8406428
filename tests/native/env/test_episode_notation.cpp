// The episode's notation parts: the move log (kept by every way of playing,
// saved and restored with the game, replayed to moves), full-move numbers,
// the strict loader starting episodes, the FIDE draw rules and the reasons
// an episode ends, and the PGN replay against stepping an Episode.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/fen_strict.hpp"
#include "core/pgn_writer.hpp"
#include "core/uci.hpp"
#include "env/draw_rules.hpp"
#include "env/episode.hpp"
#include "env/move_log.hpp"
#include "env/observation_writer.hpp"
#include "env/pgn_replay.hpp"

namespace varnok {
namespace {

constexpr const char* kKiwipete = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 3 17";

void play_uci(Episode& board, std::initializer_list<const char*> moves) {
  for (const char* text : moves) board.step(board.uci_to_action(text));
}

TEST(MoveLog, EntriesKeepSourceTargetAndPromotionKind) {
  const Move promotion = encode_move(kB7, kA8, WP, WN, kCaptureFlag);
  const uint16_t entry = logged_move(promotion);
  EXPECT_EQ(logged_source(entry), kB7);
  EXPECT_EQ(logged_target(entry), kA8);
  EXPECT_EQ(logged_promotion_kind(entry), kKnight);
  EXPECT_EQ(logged_promotion_kind(logged_move(encode_move(kE2, kE4, WP, 0, kDoublePushFlag))), 0);
  EXPECT_TRUE(is_loggable_entry(entry));
  EXPECT_FALSE(is_loggable_entry(static_cast<uint16_t>(kKing << kLoggedPromotionShift)));
}

TEST(MoveLog, RollOutsAndStepsBothLogAndTheLogReplays) {
  std::mt19937 rng(7);
  for (int game = 0; game < 20; ++game) {
    Episode board;
    board.load_fen(game % 2 ? kKiwipete : "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
    const Position start = board.position;
    std::vector<int32_t> played;
    board.roll_out_with(rng, &played);
    ASSERT_EQ(board.move_log.size(), played.size());
    // Stepping the same actions logs the same moves.
    Episode stepped;
    stepped.start_from(start);
    for (const int32_t action : played) stepped.step(action);
    EXPECT_EQ(stepped.move_log, board.move_log);
    EXPECT_EQ(stepped.position, board.position);
    EXPECT_EQ(stepped.last_termination,
              board.last_termination == Termination::kMoveCap ? Termination::kNone : board.last_termination);
    // The log replays to the position reached.
    Position replay = start;
    for (const Move move : board.logged_moves()) replay.apply_move(move);
    EXPECT_EQ(replay, board.position);
  }
}

TEST(MoveLog, SavedRestoredAndContinued) {
  Episode board;
  board.load_fen(kKiwipete);
  play_uci(board, {"e1g1", "e8c8", "d5e6"});
  const State saved = board.save_state();
  EXPECT_EQ(saved.moves, board.move_log);
  EXPECT_EQ(saved.start_fullmove, 17);
  play_uci(board, {"d8e8"});

  Episode other;
  other.reset();
  other.restore_state(saved);
  EXPECT_EQ(other.save_state(), saved);
  EXPECT_EQ(other.moves_uci(), (std::vector<std::string>{"e1g1", "e8c8", "d5e6"}));
  EXPECT_EQ(other.fen(EnPassantField::kStandard),
            "2kr3r/p1ppqpb1/bn2Pnp1/4N3/1p2P3/2N2Q1p/PPPBBPPP/R4RK1 b - - 0 18");  // d5xe6 restarted the clock
  play_uci(other, {"d8e8"});
  EXPECT_EQ(other.move_log, board.move_log);

  State bad = saved;
  bad.moves.push_back(static_cast<uint16_t>(7 << kLoggedPromotionShift));
  EXPECT_THROW(other.restore_state(bad), std::invalid_argument);
  EXPECT_EQ(other.move_log, board.move_log);  // refused whole
}

TEST(FullMoveNumber, CountsBlacksMovesFromTheStart) {
  Episode board;
  board.load_fen("4k3/8/8/8/8/8/8/4K3 b - - 5 40");
  EXPECT_EQ(board.fullmove_number(), 40);
  play_uci(board, {"e8d8"});
  EXPECT_EQ(board.fullmove_number(), 41);
  play_uci(board, {"e1d1"});
  EXPECT_EQ(board.fullmove_number(), 41);
  EXPECT_EQ(board.fen(EnPassantField::kStandard), "3k4/8/8/8/8/8/8/3K4 b - - 7 41");
  board.reset();
  EXPECT_EQ(board.fen(EnPassantField::kStandard), "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
}

TEST(LoadFen, FaultyTextLeavesTheBoardAsItWas) {
  Episode board;
  board.reset();
  play_uci(board, {"e2e4", "c7c5"});
  const State before = board.save_state();
  for (const char* text : {"8/8/8/8/8/8/8/8 w - - 0 1", "4k3/8/8/8/8/8/8/4K3 w KQ - 0 1", "4k3/8/8/8/8/8/8/4K3 w - - 0",
                           "4k3/8/8/8/8/8/8/4K3 w - e3 0 1"}) {
    EXPECT_THROW(board.load_fen(text), std::invalid_argument) << text;
    EXPECT_EQ(board.save_state(), before) << text;
  }
}

TEST(LoadFen, StartsTheSameEpisodeAsResetFromTheInitialPosition) {
  Episode loaded, reset;
  loaded.reset();
  play_uci(loaded, {"g1f3"});
  loaded.load_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
  reset.reset();
  EXPECT_EQ(loaded.save_state(), reset.save_state());
}

Position position_of(const char* fen) { return parse_fen_strict(fen).position; }

TEST(DrawRules, InsufficientMaterialOnlyWithoutAnyMatingMaterial) {
  struct Case {
    const char* fen;
    bool insufficient;
  };
  for (const Case& c : {
           Case{"4k3/8/8/8/8/8/8/4K3 w - - 0 1", true},
           Case{"4k3/8/8/8/8/8/8/4KN2 w - - 0 1", true},
           Case{"4kb2/8/8/8/8/8/8/4K3 w - - 0 1", true},
           Case{"2b1k3/8/8/8/8/8/8/4KB2 w - - 0 1", true},  // c8 and f1: both light squares
           Case{"1b2k3/8/8/8/8/8/8/4KB2 w - - 0 1", false},
           Case{"4k3/8/8/8/8/8/8/2B1KB2 w - - 0 1", false},
           Case{"4kn2/8/8/8/8/8/8/4KN2 w - - 0 1", false},
           Case{"4kn2/8/8/8/8/8/8/4KB2 w - - 0 1", false},
           Case{"4k3/8/8/8/8/8/8/4KQ2 w - - 0 1", false},
           Case{"4k3/p7/8/8/8/8/8/4K3 w - - 0 1", false},
       })
    EXPECT_EQ(insufficient_material(position_of(c.fen)), c.insufficient) << c.fen;
}

TEST(DrawRules, FideEndsOnMaterialAndAtOneHundredPliesClassicAtFifty) {
  Episode classic(DrawRules::kClassic), fide(DrawRules::kFide);
  // The king takes the last rook: bare kings.
  fide.load_fen("4k3/8/8/8/8/8/5r2/4K3 w - - 0 1");
  EXPECT_EQ(fide.play(fide.uci_to_action("e1f2")).termination, Termination::kInsufficientMaterial);
  EXPECT_EQ(fide.last_termination, Termination::kInsufficientMaterial);
  classic.load_fen("4k3/8/8/8/8/8/5r2/4K3 w - - 0 1");
  EXPECT_EQ(classic.play(classic.uci_to_action("e1f2")).termination, Termination::kNone);

  for (const int clock : {49, 99}) {
    const std::string fen = "4k3/8/8/8/8/8/8/R3K3 w - - " + std::to_string(clock) + " 1";
    classic.load_fen(fen);
    fide.load_fen(fen);
    EXPECT_EQ(classic.play(classic.uci_to_action("a1a2")).termination, Termination::kNoProgress);
    EXPECT_EQ(fide.play(fide.uci_to_action("a1a2")).termination,
              clock == 99 ? Termination::kNoProgress : Termination::kNone);
  }
}

TEST(Termination, RollOutsReportTheirEndOrTheCap) {
  std::mt19937 rng(11);
  int capped = 0;
  for (int game = 0; game < 40; ++game) {
    Episode board;
    board.reset();
    board.roll_out_with(rng, nullptr);
    if (board.last_termination == Termination::kMoveCap) {
      ++capped;
      EXPECT_EQ(board.move_log.size(), 400u);
    } else {
      EXPECT_NE(board.last_termination, Termination::kNone);
    }
  }
  EXPECT_GT(capped, 0);
}

TEST(PgnReplay, RowsAreTheObservationsAndActionsOfStepping) {
  // Two games written by the PGN writer from random play, and a broken one.
  std::mt19937 rng(3);
  std::string text;
  std::vector<std::vector<int32_t>> games_played;
  for (const char* start : {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", kKiwipete}) {
    Episode board;
    board.load_fen(start);
    std::vector<int32_t> played;
    board.roll_out_with(rng, &played);
    games_played.push_back(played);
    text += board.pgn({{"Result", "0-1"}}) + "\n";
  }
  text += "[Event \"broken\"]\n\n1. e4 e4 *\n";

  ReplayedGames replayed;
  PgnReader reader = PgnReader::from_text(text);
  replay_games(reader, true, false, replayed);
  EXPECT_EQ(replayed.game_count, 2);
  size_t row = 0;
  for (size_t game = 0; game < games_played.size(); ++game) {
    Episode board;
    board.load_fen(game == 0 ? "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1" : kKiwipete);
    for (size_t ply = 0; ply < games_played[game].size(); ++ply, ++row) {
      ASSERT_LT(row, replayed.actions.size());
      uint64_t expected[kObservationPlanes];
      ASSERT_TRUE(write_packed_observation(board, expected));
      EXPECT_TRUE(
          std::equal(expected, expected + kObservationPlanes, replayed.packed.begin() + row * kObservationPlanes));
      EXPECT_EQ(replayed.actions[row], games_played[game][ply]);
      EXPECT_EQ(replayed.results[row], -1);
      EXPECT_EQ(replayed.games[row], static_cast<int32_t>(game));
      EXPECT_EQ(replayed.plies[row], static_cast<int32_t>(ply));
      board.step(games_played[game][ply]);
    }
  }
  EXPECT_EQ(row, replayed.actions.size());

  ReplayedGames raising;
  PgnReader again = PgnReader::from_text(text);
  EXPECT_THROW(replay_games(again, false, true, raising), std::invalid_argument);
  EXPECT_EQ(raising.game_count, 2);  // the games before the broken one are kept
  EXPECT_EQ(raising.planes.size(), raising.actions.size() * kObservationValues);
}

}  // namespace
}  // namespace varnok
