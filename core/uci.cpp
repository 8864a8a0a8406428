#include "core/uci.hpp"

#include <stdexcept>
#include <string>

#include "core/castling.hpp"
#include "core/fen_writer.hpp"
#include "core/move_lookup.hpp"
#include "core/quoted.hpp"

namespace varnok {

namespace {

// Promotion letters by piece kind; only knight to queen can be promoted to.
constexpr char kPromotionLetters[] = " nbrq";

int promotion_kind(char letter) {
  for (int kind = kKnight; kind <= kQueen; ++kind)
    if (kPromotionLetters[kind] == letter) return kind;
  return -1;
}

// Where a castling move's text in the other convention puts its target: the
// king's destination for a Chess960 word, the rook's square for a standard
// one.
int other_castling_target(const Position& position, Move move) {
  if (position.chess960) return castled_king_square(move);
  const int colour = rank_of(move_source(move)) == back_rank_of(kWhite) ? kWhite : kBlack;
  return position.castling_rook_square(castling_right_index(colour, castling_side_of(move)));
}

}  // namespace

MoveText uci_of(Move move, const Position& position, bool chess960) {
  if (!move_is_castling(move) || chess960 == position.chess960) return uci_of(move);
  const int source = move_source(move);
  const int target = other_castling_target(position, move);
  // In Chess960 the king's destination can be its own square (a king on c1
  // castling queen side) or a square it could step to (a king on b1
  // castling queen side lands on c1): that text would name no move or
  // another one, so the castling keeps its king-onto-rook text.
  bool names_another = target == source;
  for_each_legal_move_that(
      position, [&](Move other) { return move_source(other) == source && move_target(other) == target; },
      [&](Move) { names_another = true; });
  if (names_another) return uci_of(move);
  MoveText text;
  push_square(text, source);
  push_square(text, target);
  return text;
}

MoveText uci_of(Move move) {
  MoveText text;
  push_square(text, move_source(move));
  push_square(text, move_target(move));
  if (move_promoted(move)) text.push(kPromotionLetters[kind_of(move_promoted(move))]);
  return text;
}

Move move_of_uci(const Position& position, std::string_view text) {
  const int source = text.size() >= 4 ? square_of_name(text.substr(0, 2)) : kNoSquare;
  const int target = text.size() >= 4 ? square_of_name(text.substr(2, 2)) : kNoSquare;
  const int kind = text.size() == 5 ? promotion_kind(text[4]) : 0;
  if (source == kNoSquare || target == kNoSquare || kind < 0 || text.size() > 5)
    throw std::invalid_argument("malformed UCI move " + quoted(text));
  const int promoted = kind ? piece_of(position.side, PieceKind(kind)) : 0;
  Move found = kNoMove;
  const auto fits = [&](Move move) {
    return move_source(move) == source && move_target(move) == target && move_promoted(move) == promoted;
  };
  for_each_legal_move_that(position, fits, [&](Move move) { found = move; });
  if (found == kNoMove && !kind) {
    const auto other_convention = [&](Move move) {
      return move_is_castling(move) && move_source(move) == source && other_castling_target(position, move) == target;
    };
    for_each_legal_move_that(position, other_convention, [&](Move move) { found = move; });
  }
  if (found == kNoMove)
    throw std::invalid_argument("illegal UCI move " + quoted(text) + " in " + fen_without_clocks(position));
  return found;
}

}  // namespace varnok
