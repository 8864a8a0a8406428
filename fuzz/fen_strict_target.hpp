// The strict FEN fuzz target: arbitrary bytes as FEN text. The loader either
// refuses the text with std::invalid_argument naming a field, or returns a
// position that has everything the loader promises, that writes back to a
// FEN reading to the same position, and whose legal moves all go through SAN
// and UCI and back.
#pragma once

#include <string>
#include <string_view>

#include "core/fen_strict.hpp"
#include "core/fen_writer.hpp"
#include "core/legality.hpp"
#include "core/quoted.hpp"
#include "core/san.hpp"
#include "core/uci.hpp"
#include "fuzz/check.hpp"

namespace varnok::fuzz {

inline void check_loaded(const FenPosition& loaded) {
  const Position& p = loaded.position;
  Position rebuilt = p;
  rebuilt.rebuild_occupancies();
  FUZZ_CHECK(rebuilt.occupancies == p.occupancies);
  FUZZ_CHECK(p.side == kWhite || p.side == kBlack);
  FUZZ_CHECK(p.castle >= 0 && p.castle <= kAllCastling);
  FUZZ_CHECK(loaded.fullmove_number >= 1 && p.no_progress_count >= 0);
  for (int colour : {kWhite, kBlack}) {
    FUZZ_CHECK(population_count(p.pieces(colour, kKing)) == 1);
    FUZZ_CHECK(population_count(p.occupancies[colour]) <= 16);
  }
  FUZZ_CHECK(!((p.pieces(kWhite, kPawn) | p.pieces(kBlack, kPawn)) & (kRank1 | kRank8)));
  // The side that just moved is never left in check.
  FUZZ_CHECK(!p.square_attacked_by(lsb_index(p.pieces(opponent_of(p.side), kKing)), p.side));
  if (p.enpassant != kNoSquare) {
    FUZZ_CHECK(!(p.occupancies[kBothColours] & square_bit(p.enpassant)));
    FUZZ_CHECK(p.pieces(opponent_of(p.side), kPawn) & square_bit(p.enpassant - forward_of(p.side)));
  }
}

inline void run_fen_strict_input(const uint8_t* data, size_t size) {
  if (size > 512) return;  // a FEN is under 100 bytes; longer texts only repeat shorter ones
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  FenPosition loaded;
  try {
    loaded = parse_fen_strict(text);
  } catch (const std::invalid_argument& e) {
    FUZZ_CHECK(std::string_view(e.what()).starts_with("FEN "));
    FUZZ_CHECK(is_utf8(e.what()));  // a message quotes the text whole characters at a time
    return;
  }
  check_loaded(loaded);
  const Position& position = loaded.position;

  for (EnPassantField mode : {EnPassantField::kStandard, EnPassantField::kLegal}) {
    const std::string fen = fen_of(position, loaded.fullmove_number, mode);
    const FenPosition again = parse_fen_strict(fen);
    FUZZ_CHECK(again.fullmove_number == loaded.fullmove_number);
    if (mode == EnPassantField::kStandard) FUZZ_CHECK(again.position == position);
    FUZZ_CHECK(fen_of(again.position, again.fullmove_number, mode) == fen);
  }
  Position lenient;
  lenient.parse_fen(fen_of(position, 1).c_str());
  lenient.no_progress_count = position.no_progress_count;
  FUZZ_CHECK(lenient == position);

  for_each_legal_move(position, [&](Move move) {
    const MoveText san = san_of(position, move);
    FUZZ_CHECK(san.size > 0 && san.size < MoveText::kCapacity);
    FUZZ_CHECK(move_of_san(position, san.view()) == move);
    FUZZ_CHECK(move_of_uci(position, uci_of(move).view()) == move);
    Position after = position;
    after.apply_move(move);
    const char last = san.chars[san.size - 1];
    FUZZ_CHECK(after.in_check() == (last == '+' || last == '#'));
  });
}

}  // namespace varnok::fuzz
