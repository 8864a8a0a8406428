// Each field is read and checked in order; the position is checked as a
// whole once all fields are read. Nothing is returned unless every check
// passes, so a caller never sees a partly loaded position.
#include "core/fen_strict.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <stdexcept>
#include <string>

#include "core/attack_tables.hpp"
#include "core/castling_field.hpp"
#include "core/move_text.hpp"
#include "core/quoted.hpp"

namespace varnok {

namespace {

constexpr int kMaxFields = 6;
// A counter is read up to the largest an int32_t holds, where the counters
// stop counting: every FEN the writer gives back reads again.
constexpr int kMaxClockDigits = 10;
constexpr const char* kColourNames[2] = {"white", "black"};

[[noreturn]] void fail(const char* field, std::string_view text, const std::string& what) {
  std::string message = "FEN ";
  message += field;
  message += " field ";
  message += quoted(text);
  message += ": ";
  message += what;
  throw std::invalid_argument(message);
}

bool is_fen_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

void read_placement(std::string_view field, Position& position) {
  int rank = 8, file = 0;
  bool after_digit = false;
  for (size_t i = 0; i < field.size(); ++i) {
    const char c = field[i];
    if (c == '/') {
      if (file != 8)
        fail("placement", field,
             "rank " + std::to_string(rank) + " has " + std::to_string(file) + " squares, expected 8");
      if (--rank < 1) fail("placement", field, "more than 8 ranks");
      file = 0;
      after_digit = false;
    } else if (c >= '1' && c <= '8') {
      if (after_digit) fail("placement", field, "two digits in a row in rank " + std::to_string(rank));
      file += c - '0';
      after_digit = true;
    } else {
      const int piece = piece_of_letter(c);
      if (piece == kNoPiece) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        fail("placement", field,
             std::string(letter ? "unknown piece letter " : "unexpected character ") + quoted(character_at(field, i)));
      }
      if (file < 8) position.bitboards[piece] |= square_bit(make_square(file, rank));
      ++file;
      after_digit = false;
    }
    if (file > 8) fail("placement", field, "rank " + std::to_string(rank) + " has more than 8 squares");
  }
  if (file != 8)
    fail("placement", field, "rank " + std::to_string(rank) + " has " + std::to_string(file) + " squares, expected 8");
  if (rank != 1) fail("placement", field, "only " + std::to_string(9 - rank) + " ranks, expected 8");
  position.rebuild_occupancies();
}

void check_material(std::string_view field, const Position& position) {
  for (int colour : {kWhite, kBlack}) {
    const std::string name = kColourNames[colour];
    const int kings = population_count(position.pieces(colour, kKing));
    if (kings != 1) fail("placement", field, name + " has " + std::to_string(kings) + " kings, expected exactly one");
    // Sixteen pieces and eight pawns a side: more cannot come from play.
    const int pieces = population_count(position.occupancies[colour]);
    if (pieces > 16) fail("placement", field, name + " has " + std::to_string(pieces) + " pieces, at most 16 possible");
    const int pawns = population_count(position.pieces(colour, kPawn));
    if (pawns > 8) fail("placement", field, name + " has " + std::to_string(pawns) + " pawns, at most 8 possible");
  }
  const Bitboard stranded = (position.pieces(kWhite, kPawn) | position.pieces(kBlack, kPawn)) & (kRank1 | kRank8);
  if (stranded) fail("placement", field, "pawn on " + square_name(lsb_index(stranded)) + ", a first or last rank");
}

void read_castling(std::string_view field, Position& position) {
  position.castle = 0;
  if (field == "-") return;
  int next = 0;  // rights are listed in the order of their letters, each once
  for (const char c : field) {
    while (next < kCastlingRights && kCastlingLetters[next] != c) ++next;
    if (next == kCastlingRights) fail("castling", field, "expected '-' or letters of KQkq in that order, each once");
    const int colour = next / kCastlingSides;
    const Castling& castling = kCastlings[colour][next % kCastlingSides];
    ++next;
    const bool king_home = position.pieces(colour, kKing) & square_bit(castling.king_from);
    const bool rook_home = position.pieces(colour, kRook) & square_bit(castling.rook_from);
    if (!king_home || !rook_home)
      fail("castling", field,
           std::string(1, c) + " needs the " + kColourNames[colour] + " king on " + square_name(castling.king_from) +
               " and a " + kColourNames[colour] + " rook on " + square_name(castling.rook_from));
    position.castle |= castling.right;
  }
}

// Chess960: X-FEN or Shredder-FEN letters in any order, each right at most
// once, each with its king on the back rank and its rook there on that side.
void read_chess960_castling(std::string_view field, Position& position) {
  position.castle = 0;
  if (field == "-") return;
  for (const char c : field) {
    const CastlingLetter letter = chess960_castling_letter(position, c);
    const int colour = letter.right_index / kCastlingSides;
    const std::string name = kColourNames[colour];
    const std::string side = letter.right_index % kCastlingSides == kKingSide ? "king" : "queen";
    switch (letter.fault) {
      case CastlingLetterFault::kNotALetter:
        fail("castling", field, "expected '-' or letters of KQkq, A-H and a-h, found " + quoted(std::string(1, c)));
      case CastlingLetterFault::kNoKing:
        fail("castling", field, std::string(1, c) + " needs the " + kColourNames[c >= 'a'] + " king on its back rank");
      case CastlingLetterFault::kNoRook:
        fail("castling", field,
             std::string(1, c) + " needs a " + name + " rook on the " + side + " side of the " + name +
                 " king on its back rank");
      case CastlingLetterFault::kNone: break;
    }
    const int right = 1 << letter.right_index;
    if (position.castle & right) fail("castling", field, "the " + name + " " + side + "-side right is given twice");
    position.castle |= right;
    position.castling_rook_files[letter.right_index] = static_cast<int8_t>(letter.rook_file);
  }
}

// The en-passant square can only be the square a pawn of the side that just
// moved passed over with a double push: on its third rank, with that pawn in
// front of it and both the square and the pawn's starting square empty.
void read_en_passant(std::string_view field, Position& position) {
  position.enpassant = kNoSquare;
  if (field == "-") return;
  const int square = square_of_name(field);
  if (square == kNoSquare) fail("en passant", field, "expected '-' or a square name");
  const int us = position.side, them = opponent_of(us);
  const int expected_rank = us == kWhite ? 6 : 3;
  const int pawn_square = make_square(file_of(square), us == kWhite ? 5 : 4);
  const int start_square = make_square(file_of(square), us == kWhite ? 7 : 2);
  if (rank_of(square) != expected_rank)
    fail("en passant", field,
         std::string("with ") + kColourNames[us] + " to move the square must be on rank " +
             std::to_string(expected_rank));
  if (!(position.pieces(them, kPawn) & square_bit(pawn_square)))
    fail("en passant", field,
         std::string("no ") + kColourNames[them] + " pawn on " + square_name(pawn_square) +
             " that a double push could have put there");
  if (position.occupancies[kBothColours] & square_bit(square)) fail("en passant", field, "the square is occupied");
  if (position.occupancies[kBothColours] & square_bit(start_square))
    fail("en passant", field, "the pawn's starting square " + square_name(start_square) + " is occupied");
  position.enpassant = square;
}

int32_t read_clock(const char* field_name, std::string_view field) {
  if (field.empty() || field.size() > kMaxClockDigits)
    fail(field_name, field, "expected a number of 1 to " + std::to_string(kMaxClockDigits) + " digits");
  int64_t value = 0;
  for (const char c : field) {
    if (c < '0' || c > '9') fail(field_name, field, "expected a non-negative decimal number");
    value = 10 * value + (c - '0');
  }
  if (value > INT32_MAX) fail(field_name, field, "expected at most " + std::to_string(INT32_MAX));
  return static_cast<int32_t>(value);
}

// The whole rank, file or diagonal through two squares; empty when they
// share none.
Bitboard line_through(int a, int b) {
  const int rank_a = rank_of(a), file_a = file_of(a), rank_b = rank_of(b), file_b = file_of(b);
  Bitboard line = 0;
  for (int s = 0; s < kSquares; ++s) {
    const int rank = rank_of(s), file = file_of(s);
    const bool on_line = (rank_a == rank_b && rank == rank_a) || (file_a == file_b && file == file_a) ||
                         (rank_a - file_a == rank_b - file_b && rank - file == rank_a - file_a) ||
                         (rank_a + file_a == rank_b + file_b && rank + file == rank_a + file_a);
    if (on_line) line |= square_bit(s);
  }
  return line;
}

// Checks that one move of the other side cannot have given: more than two
// checkers, two checkers on one line through the king, and, after a double
// push, a check the push did not give or uncover.
void check_checks(std::string_view field, const Position& position) {
  const int us = position.side, them = opponent_of(us);
  const int our_king = lsb_index(position.pieces(us, kKing));
  const int their_king = lsb_index(position.pieces(them, kKing));
  if (position.square_attacked_by(their_king, us))
    fail("side to move", field,
         std::string(kColourNames[us]) + " to move while the " + kColourNames[them] + " king is in check");
  const Bitboard checkers = attackers_of(position.bitboards, position.occupancies[kBothColours], our_king, them);
  const int count = population_count(checkers);
  if (count == 0) return;
  if (count > 2) fail("side to move", field, "the king is attacked by " + std::to_string(count) + " pieces");
  if (position.enpassant != kNoSquare) {
    const int forward = us == kWhite ? 8 : -8;  // from the passed-over square towards the pushed pawn
    const int pushed_to = position.enpassant + forward, pushed_from = position.enpassant - forward;
    const Bitboard before = (position.occupancies[kBothColours] & ~square_bit(pushed_to)) | square_bit(pushed_from);
    if (count > 1 || (lsb_index(checkers) != pushed_to && attackers_of(position.bitboards, before, our_king, them)))
      fail("side to move", field, "a double push cannot have given this check");
  } else if (count == 2 &&
             (line_through(lsb_index(checkers), lsb_index(checkers & (checkers - 1))) & square_bit(our_king))) {
    fail("side to move", field, "two pieces on one line cannot both give check");
  }
}

}  // namespace

FenPosition parse_fen_strict(std::string_view text, bool chess960) {
  std::array<std::string_view, kMaxFields> fields;
  int count = 0;
  for (size_t i = 0; i < text.size();) {
    if (is_fen_space(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && !is_fen_space(text[end])) ++end;
    if (count == kMaxFields) {
      count = kMaxFields + 1;
      break;
    }
    fields[count++] = text.substr(i, end - i);
    i = end;
  }
  if (count != 4 && count != 6) {
    std::string what = count > kMaxFields ? "more than 6" : std::to_string(count);
    throw std::invalid_argument("FEN " + quoted(text, 100) + ": expected 6 fields (or 4 without the clocks), found " +
                                what);
  }

  FenPosition result;
  Position& position = result.position;
  position.bitboards.fill(0);
  position.occupancies.fill(0);
  read_placement(fields[0], position);
  check_material(fields[0], position);
  if (fields[1] != "w" && fields[1] != "b") fail("side to move", fields[1], "expected 'w' or 'b'");
  position.side = fields[1] == "w" ? kWhite : kBlack;
  position.chess960 = chess960;
  if (chess960)
    read_chess960_castling(fields[2], position);
  else
    read_castling(fields[2], position);
  read_en_passant(fields[3], position);
  position.no_progress_count = 0;
  if (count == 6) {
    position.no_progress_count = read_clock("half-move clock", fields[4]);
    // python-chess reads a full-move number of 0, which some writers emit, as 1.
    result.fullmove_number = std::max(read_clock("full-move number", fields[5]), int32_t{1});
  }
  check_checks(fields[1], position);
  return result;
}

}  // namespace varnok
