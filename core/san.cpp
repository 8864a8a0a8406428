#include "core/san.hpp"

#include <stdexcept>
#include <string>

#include "core/attack_tables.hpp"
#include "core/castling.hpp"
#include "core/fen_writer.hpp"
#include "core/legality.hpp"
#include "core/move_lookup.hpp"
#include "core/quoted.hpp"

namespace varnok {

namespace {

constexpr Bitboard file_mask(int file) { return kFileA << file; }
constexpr Bitboard rank_mask(int rank) { return kRank1 >> (8 * (rank - 1)); }
static_assert(rank_mask(1) == kRank1 && rank_mask(8) == kRank8 && file_mask(7) == kFileH);

// Squares from which a piece of this kind reaches target on this occupancy;
// the relation is symmetric for every piece but the pawn.
Bitboard reach_of(int kind, int target, Bitboard occupancy) {
  const AttackTables& t = attack_tables();
  switch (kind) {
    case kKnight: return t.knight_attack_sets[target];
    case kBishop: return bishop_lookup(target, occupancy);
    case kRook: return rook_lookup(target, occupancy);
    case kQueen: return queen_lookup(target, occupancy);
    case kKing: return t.king_attack_sets[target];
    default: return 0;
  }
}

// The source squares of the other pieces of the mover's kind that could
// legally move to the same target.
Bitboard rivals_of(const Position& position, Move move) {
  const int source = move_source(move), target = move_target(move), piece = move_piece(move);
  Bitboard candidates = reach_of(kind_of(piece), target, position.occupancies[kBothColours]) &
                        position.bitboards[piece] & ~square_bit(source);
  Bitboard rivals = 0;
  for (; candidates; candidates &= candidates - 1) {
    const int other = lsb_index(candidates);
    if (position.is_legal(encode_move(other, target, piece, 0, move_is_capture(move) ? kCaptureFlag : 0)))
      rivals |= square_bit(other);
  }
  return rivals;
}

bool is_kind_letter(char c) { return c == 'N' || c == 'B' || c == 'R' || c == 'Q' || c == 'K'; }

// The kind a piece letter of either case names, -1 for other characters.
int kind_of_letter(char c) {
  const char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  for (int kind = kKnight; kind <= kKing; ++kind)
    if (kPieceLetters[kind] == upper) return kind;
  return -1;
}

constexpr int promotion_kind_of(Move move) { return move_promoted(move) ? kind_of(move_promoted(move)) : kPawn; }

[[noreturn]] void fail(const char* what, std::string_view text, const Position& position) {
  throw std::invalid_argument(std::string(what) + " SAN move " + quoted(text) + " in " + fen_without_clocks(position));
}

Move castling_move(const Position& position, bool king_side, std::string_view text) {
  Move found = kNoMove;
  const auto fits = [&](Move move) {
    return move_is_castling(move) && (castling_side_of(move) == kKingSide) == king_side;
  };
  for_each_legal_move_that(position, fits, [&](Move move) { found = move; });
  if (found == kNoMove) fail("illegal", text, position);
  return found;
}

}  // namespace

MoveText san_of(const Position& position, Move move) {
  MoveText text;
  const int source = move_source(move), target = move_target(move), piece = move_piece(move);
  if (move_is_castling(move)) {
    const std::string_view castling = castling_side_of(move) == kKingSide ? "O-O" : "O-O-O";
    for (const char c : castling) text.push(c);
  } else if (kind_of(piece) == kPawn) {
    if (move_is_capture(move)) {
      text.push(file_letter(source));
      text.push('x');
    }
    push_square(text, target);
    if (move_promoted(move)) {
      text.push('=');
      text.push(kind_letter(move_promoted(move)));
    }
  } else {
    text.push(kind_letter(piece));
    if (const Bitboard rivals = rivals_of(position, move)) {
      // The file when no rival shares it, else the rank when no rival shares
      // that, else both.
      const bool file_shared = rivals & file_mask(file_of(source));
      const bool rank_shared = rivals & rank_mask(rank_of(source));
      if (!file_shared || rank_shared) text.push(file_letter(source));
      if (file_shared) text.push(rank_digit(source));
    }
    if (move_is_capture(move)) text.push('x');
    push_square(text, target);
  }
  Position after = position;
  after.apply_move(move);
  if (after.in_check()) text.push(has_legal_move(after) ? '+' : '#');
  return text;
}

Move move_of_san(const Position& position, std::string_view text) {
  std::string_view body = text;
  for (int marks = 0; marks < 2 && !body.empty() && (body.back() == '!' || body.back() == '?'); ++marks)
    body.remove_suffix(1);
  if (!body.empty() && (body.back() == '+' || body.back() == '#')) body.remove_suffix(1);
  if (body == "O-O" || body == "0-0") return castling_move(position, true, text);
  if (body == "O-O-O" || body == "0-0-0") return castling_move(position, false, text);

  // [piece] [file] [rank] [x or -] target [[=] promotion]
  size_t begin = 0, end = body.size();
  const bool piece_given = end > 0 && is_kind_letter(body[0]);
  const int kind = piece_given ? kind_of_letter(body[0]) : kPawn;
  if (piece_given) ++begin;
  int promotion = kPawn;
  if (end >= begin + 3 && kind_of_letter(body[end - 1]) > kPawn &&
      (body[end - 2] == '=' || (body[end - 2] >= '1' && body[end - 2] <= '8'))) {
    promotion = kind_of_letter(body[end - 1]);
    end -= body[end - 2] == '=' ? 2 : 1;
  }
  if (end < begin + 2) fail("malformed", text, position);
  const int target = square_of_name(body.substr(end - 2, 2));
  if (target == kNoSquare) fail("malformed", text, position);
  end -= 2;
  int from_file = -1, from_rank = -1;
  if (begin < end && body[begin] >= 'a' && body[begin] <= 'h') from_file = body[begin++] - 'a';
  if (begin < end && body[begin] >= '1' && body[begin] <= '8') from_rank = body[begin++] - '0';
  if (begin < end && (body[begin] == 'x' || body[begin] == '-')) ++begin;
  if (begin != end) fail("malformed", text, position);

  Bitboard sources = ~Bitboard{0};
  if (from_file >= 0) sources &= file_mask(from_file);
  if (from_rank >= 0) sources &= rank_mask(from_rank);
  // A full source square stands for any move from it, castling included.
  const bool full_square = !piece_given && from_file >= 0 && from_rank >= 0;
  if (piece_given) {
    sources &= position.pieces(position.side, PieceKind(kind));
  } else if (!full_square) {
    sources &= position.pieces(position.side, kPawn);
    if (from_file < 0) sources &= file_mask(file_of(target));  // a pawn capture names its file
  }
  Move found = kNoMove;
  int matches = 0;
  const auto fits = [&](Move move) {
    return move_target(move) == target && (sources & square_bit(move_source(move))) &&
           promotion_kind_of(move) == promotion && (full_square || !move_is_castling(move));
  };
  for_each_legal_move_that(position, fits, [&](Move move) {
    found = move;
    ++matches;
  });
  if (matches == 0) fail("illegal", text, position);
  if (matches > 1) fail("ambiguous", text, position);
  return found;
}

}  // namespace varnok
