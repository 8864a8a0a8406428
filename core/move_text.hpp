// Short texts of single moves (UCI and SAN) in a fixed buffer, and the names
// of files, ranks and squares they are made of. Writing a move's text never
// touches the heap.
#pragma once

#include <cassert>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/types.hpp"

namespace varnok {

// The longest move texts are seven characters: a piece, its square, the
// capture mark, the target and a check mark ("Qh4xe1+"), or a pawn capture
// promoting with check ("exd8=Q#"). One more byte keeps the text NUL-ended.
struct MoveText {
  static constexpr int kCapacity = 1 + 2 + 1 + 2 + 1 + 1;
  char chars[kCapacity] = {};
  uint8_t size = 0;

  void push(char c) {
    assert(size + 1 < kCapacity);
    chars[size++] = c;
  }
  std::string_view view() const { return {chars, size}; }
  std::string str() const { return std::string(view()); }
};

constexpr char file_letter(int square) { return static_cast<char>('a' + file_of(square)); }
constexpr char rank_digit(int square) { return static_cast<char>('0' + rank_of(square)); }

// The square a two-character name ("e4") stands for, or kNoSquare.
constexpr int square_of_name(std::string_view name) {
  if (name.size() != 2 || name[0] < 'a' || name[0] > 'h' || name[1] < '1' || name[1] > '8') return kNoSquare;
  return make_square(name[0] - 'a', name[1] - '0');
}

// The name of a square, "a1" to "h8".
inline std::string square_name(int square) { return {file_letter(square), rank_digit(square)}; }

inline void push_square(MoveText& text, int square) {
  text.push(file_letter(square));
  text.push(rank_digit(square));
}

// The upper-case letter of a piece's kind, as SAN writes it.
constexpr char kind_letter(int piece) { return kPieceLetters[kind_of(piece)]; }

}  // namespace varnok
