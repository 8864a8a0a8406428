// The move text fuzz target: arbitrary bytes as UCI and SAN text, read
// against a position. The input is
//
//   byte       the position: below 128 an entry of kMoveTextPositions (modulo
//              its size), else raw FEN text of the next byte's length, read
//              by the lenient loader
//   byte       plies to play from it (modulo 8), then a byte per ply choosing
//              one of the sorted legal actions
//   the rest   move texts, one per line ('\n' ends each)
//
// What is checked:
// - every legal move has a SAN of its own (no two alike), and its SAN and its
//   UCI read back to the move, through the position core and the Episode;
// - with one king on each side, a SAN ends in '+' or '#' exactly when the
//   move gives check, and in '#' exactly when it also leaves no reply;
// - a text read as UCI is refused (std::invalid_argument naming the text) or
//   gives the legal move whose UCI is exactly the text (for castling, in
//   either convention), and every legal move's UCI is taken;
// - a text read as SAN is refused (std::invalid_argument naming the text) or
//   gives a legal move that goes to the square the text names, by the piece
//   it names, castling only for a castling text; the move's own SAN and UCI
//   read back to it, and a text that is some legal move's SAN gives that move;
// - the Episode's uci_to_action and san_to_action agree with the core readers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/legality.hpp"
#include "core/quoted.hpp"
#include "core/san.hpp"
#include "core/uci.hpp"
#include "fuzz/harness.hpp"

namespace varnok::fuzz {

inline constexpr const char* kMoveTextPositions[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq - 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",  // exf6 and exd6 en passant
    "4k3/8/8/2pP4/8/8/8/4K3 w - c6 0 1",                              // en passant out of nowhere
    "1n1n4/2P1P3/8/8/8/8/3k4/K7 w - - 0 1",                           // promotions with and without capture
    "4k3/8/8/8/8/8/1p1p4/2N1K3 b - - 0 1",                            // black promotes, capturing or not
    "7k/8/8/3Q1Q2/8/3Q1Q2/8/K7 w - - 0 1",                            // four queens on one target: both coordinates
    "7k/8/8/8/R6R/8/8/K6R w - - 0 1",                                 // rooks sharing a rank and a file
    "k7/8/8/8/8/2N1N3/8/2N1N2K w - - 0 1",                            // four knights
    "k7/8/8/8/8/8/8/R3K2R w KQ - 0 1",                                // both castlings
    "r3k2r/8/8/8/8/8/8/4K3 b kq - 0 1",
    "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1",  // Ra8#
    "k7/8/8/1Q6/8/8/8/7K w - - 0 1",      // Qb6 stalemates
    "3k4/8/8/8/8/8/3r4/R2K4 w - - 0 1",   // a pinned rook's move is no rival
    "4k3/8/8/8/8/8/8/4K2R w K - 0 1",
    // Positions the lenient loader takes: no kings, several kings, pawns on
    // the last ranks, rights without pieces.
    "8/8/8/3Q4/8/8/8/8 w - - 0 1",
    "KKKK4/8/8/8/8/8/8/kkkk4 w - - 0 1",
    "P6p/8/8/8/8/8/8/p6P w - a3 0 1",
    "8/8/8/8/8/8/8/8 w KQkq e3 0 1",
    "QQQQQQQQ/QQQQQQQQ/8/8/8/8/qqqqqqqq/qqqqqqqq b - - 0 1",
    "N6N/8/8/8/8/8/8/N6N w - - 0 1",
};
inline constexpr int kMoveTextPositionCount = sizeof(kMoveTextPositions) / sizeof(kMoveTextPositions[0]);

class MoveTextRun {
 public:
  void run(Reader& in) {
    const uint8_t choice = in.byte();
    if (choice < 128) {
      board_->parse_fen(kMoveTextPositions[choice % kMoveTextPositionCount]);
    } else {
      const std::string text = in.text(in.byte());
      board_->parse_fen(text.c_str());
    }
    board_->save_current_listing();
    for (int plies = in.byte() % 8; plies > 0; --plies) {
      const std::vector<int32_t> legal = legal_actions(board_->position);
      if (legal.empty()) break;
      board_->step(legal[in.byte() % legal.size()]);
    }
    const Position& position = board_->position;
    legal_ = legal_moves(position);
    one_king_each_ =
        population_count(position.pieces(kWhite, kKing)) == 1 && population_count(position.pieces(kBlack, kKing)) == 1;
    check_every_legal_move();

    std::string line;
    for (int texts = 0; texts < 64 && !in.empty();) {
      const char c = static_cast<char>(in.byte());
      if (c != '\n') {
        line.push_back(c);
        if (!in.empty()) continue;
      }
      read_text(line);
      line.clear();
      ++texts;
    }
  }

 private:
  struct LegalMove {
    Move move;
    std::string uci, san;
  };

  static std::vector<LegalMove> legal_moves(const Position& position) {
    std::vector<LegalMove> moves;
    for_each_legal_move(position, [&](Move move) {
      FUZZ_CHECK(position.is_legal(move));
      moves.push_back({move, uci_of(move).str(), san_of(position, move).str()});
    });
    return moves;
  }

  bool is_legal_move(Move move) const {
    for (const LegalMove& legal : legal_)
      if (legal.move == move) return true;
    return false;
  }

  void check_every_legal_move() const {
    const Position& position = board_->position;
    for (size_t i = 0; i < legal_.size(); ++i) {
      const LegalMove& legal = legal_[i];
      FUZZ_CHECK(!legal.san.empty() && legal.san.size() < MoveText::kCapacity);
      for (size_t j = 0; j < i; ++j) FUZZ_CHECK(legal_[j].san != legal.san);
      FUZZ_CHECK(move_of_san(position, legal.san) == legal.move);
      FUZZ_CHECK(uci_of(move_of_uci(position, legal.uci)).view() == legal.uci);
      const int32_t action = action_of_move(position.side, legal.move);
      FUZZ_CHECK(board_->san_to_action(legal.san) == action);
      FUZZ_CHECK(board_->uci_to_action(legal.uci) == action);
      if (one_king_each_) {
        Position after = position;
        after.apply_move(legal.move);
        const char last = legal.san.back();
        FUZZ_CHECK(after.in_check() == (last == '+' || last == '#'));
        FUZZ_CHECK((last == '#') == (after.in_check() && !has_legal_move(after)));
      }
    }
    // The legal moves are those the plain way finds (each played on a copy).
    std::vector<int32_t> actions;
    for (const LegalMove& legal : legal_) actions.push_back(action_of_move(position.side, legal.move));
    std::sort(actions.begin(), actions.end());
    actions.erase(std::unique(actions.begin(), actions.end()), actions.end());
    FUZZ_CHECK(actions == legal_actions(position));
    // The Episode lists one SAN per action, each the SAN of a legal move.
    for (const std::string& san : board_->legal_moves_san()) {
      bool found = false;
      for (const LegalMove& legal : legal_) found |= legal.san == san;
      FUZZ_CHECK(found);
    }
  }

  // Whether the refusal names text (what() is a C string: up to a NUL).
  // The message quotes the text (see quoted) and is valid UTF-8 whatever the text holds.
  static bool names(const std::invalid_argument& e, std::string_view text) {
    const std::string_view message = e.what();
    return is_utf8(message) && message.find(quoted(text)) != std::string_view::npos;
  }

  void read_text(const std::string& text) const {
    read_uci(text);
    read_san(text);
  }

  void read_uci(const std::string& text) const {
    const Position& position = board_->position;
    Move move = kNoMove;
    try {
      move = move_of_uci(position, text);
    } catch (const std::invalid_argument& e) {
      FUZZ_CHECK(names(e, text));
      for (const LegalMove& legal : legal_) FUZZ_CHECK(legal.uci != text);
      bool board_refused = false;
      try {
        board_->uci_to_action(text);
      } catch (const std::invalid_argument&) {
        board_refused = true;
      }
      FUZZ_CHECK(board_refused);
      return;
    }
    FUZZ_CHECK(is_legal_move(move));
    // A castling move is also taken in the other convention's words (the
    // king onto its rook in standard chess, onto its destination in 960).
    FUZZ_CHECK(uci_of(move).view() == text || uci_of(move, position, !position.chess960).view() == text);
    FUZZ_CHECK(board_->uci_to_action(text) == action_of_move(position.side, move));
  }

  void read_san(const std::string& text) const {
    const Position& position = board_->position;
    Move move = kNoMove;
    try {
      move = move_of_san(position, text);
    } catch (const std::invalid_argument& e) {
      FUZZ_CHECK(names(e, text));
      for (const LegalMove& legal : legal_) FUZZ_CHECK(legal.san != text);
      bool board_refused = false;
      try {
        board_->san_to_action(text);
      } catch (const std::invalid_argument&) {
        board_refused = true;
      }
      FUZZ_CHECK(board_refused);
      return;
    }
    FUZZ_CHECK(is_legal_move(move));
    FUZZ_CHECK(board_->san_to_action(text) == action_of_move(position.side, move));
    // Whatever variation the text used, the move's own texts read back to it.
    const MoveText san = san_of(position, move);
    FUZZ_CHECK(move_of_san(position, san.view()) == move);
    FUZZ_CHECK(move_of_uci(position, uci_of(move).view()) == move);
    for (const LegalMove& legal : legal_)
      if (legal.san == text) FUZZ_CHECK(legal.move == move);
    // The text says what the move is: castling or the target square, and the
    // piece when it begins with a piece letter.
    const bool castling_text = text.starts_with("O-O") || text.starts_with("0-0");
    if (castling_text) FUZZ_CHECK(move_is_castling(move));
    if (!castling_text) {
      const MoveText target = [&] {
        MoveText t;
        push_square(t, move_target(move));
        return t;
      }();
      FUZZ_CHECK(text.find(target.view()) != std::string::npos);
      const char first = text[0];
      if (first == 'N' || first == 'B' || first == 'R' || first == 'Q' || first == 'K')
        FUZZ_CHECK(kPieceLetters[kind_of(move_piece(move))] == first);
    }
  }

  std::unique_ptr<Episode> board_ = std::make_unique<Episode>();
  std::vector<LegalMove> legal_;
  bool one_king_each_ = false;
};

inline void run_move_text_input(const uint8_t* data, size_t size) {
  Reader in(data, size);
  MoveTextRun run;
  run.run(in);
}

}  // namespace varnok::fuzz
