#include "core/uci.hpp"

#include <stdexcept>
#include <string>

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

}  // namespace

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
  if (found == kNoMove)
    throw std::invalid_argument("illegal UCI move " + quoted(text) + " in " + fen_without_clocks(position));
  return found;
}

}  // namespace varnok
