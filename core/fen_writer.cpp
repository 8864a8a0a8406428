#include "core/fen_writer.hpp"

#include <charconv>

#include "core/attack_tables.hpp"
#include "core/castling_field.hpp"
#include "core/move_text.hpp"

namespace varnok {

namespace {

void append_number(std::string& out, long long value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

}  // namespace

bool has_legal_en_passant(const Position& position) {
  const int target = position.enpassant;
  if (target < 0 || target >= kNoSquare) return false;
  const int us = position.side, them = opponent_of(us);
  const int pawn = piece_of(us, kPawn);
  // Our pawns that attack the target are those a pawn of theirs on the
  // target would attack.
  for (Bitboard takers = attack_tables().pawn_attack_sets[them][target] & position.bitboards[pawn]; takers;
       takers &= takers - 1) {
    const Move capture = encode_move(lsb_index(takers), target, pawn, 0, kCaptureFlag | kEnPassantFlag);
    if (position.is_legal(capture)) return true;
  }
  return false;
}

std::string fen_of(const Position& position, int fullmove_number, EnPassantField en_passant,
                   CastlingNotation castling) {
  std::string out;
  out.reserve(90);
  for (int rank = 8; rank >= 1; --rank) {
    int empty = 0;
    for (int file = 0; file < 8; ++file) {
      const int piece = position.piece_on(make_square(file, rank));
      if (piece == kNoPiece) {
        ++empty;
        continue;
      }
      if (empty) out.push_back(static_cast<char>('0' + empty));
      empty = 0;
      out.push_back(kPieceLetters[piece]);
    }
    if (empty) out.push_back(static_cast<char>('0' + empty));
    if (rank > 1) out.push_back('/');
  }
  out += position.side == kWhite ? " w " : " b ";
  append_castling_field(out, position, castling);
  out.push_back(' ');
  const int square = position.enpassant;
  const bool written =
      square >= 0 && square < kNoSquare && (en_passant == EnPassantField::kStandard || has_legal_en_passant(position));
  out += written ? square_name(square) : "-";
  out.push_back(' ');
  append_number(out, position.no_progress_count);
  out.push_back(' ');
  append_number(out, fullmove_number);
  return out;
}

std::string fen_without_clocks(const Position& position) {
  std::string fen = fen_of(position, 1);
  fen.resize(fen.rfind(' ', fen.rfind(' ') - 1));
  return fen;
}

}  // namespace varnok
