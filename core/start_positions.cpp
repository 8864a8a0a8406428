#include "core/start_positions.hpp"

#include <array>
#include <cctype>
#include <stdexcept>

#include "core/types.hpp"

namespace varnok {

namespace {

// Knight pairs among the five files left after the bishops and the queen,
// by the number's last digit (Scharnagl's table).
constexpr std::array<std::array<int, 2>, 10> kKnightPairs = {
    {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {1, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}}};
constexpr int kBishopFiles = 4;  // each bishop has four files of its colour
constexpr int kQueenChoices = 6;

// Puts piece on the n-th empty file (n counted from 0).
void place_on_empty(std::string& rank, int n, char piece) {
  for (char& square : rank)
    if (square == ' ' && n-- == 0) {
      square = piece;
      return;
    }
}

}  // namespace

std::string chess960_back_rank(int number) {
  if (number < 0 || number >= kChess960Positions)
    throw std::out_of_range("Chess960 position number " + std::to_string(number) + " is not 0 to 959");
  std::string rank(kFiles, ' ');
  int n = number;
  rank[2 * (n % kBishopFiles) + 1] = 'B';  // the light-squared bishop: b, d, f or h
  n /= kBishopFiles;
  rank[2 * (n % kBishopFiles)] = 'B';  // the dark-squared bishop: a, c, e or g
  n /= kBishopFiles;
  place_on_empty(rank, n % kQueenChoices, 'Q');
  n /= kQueenChoices;
  // The knights go first (the second index counts before the first knight
  // is placed), then rook, king, rook fill the last three files in order.
  const auto [first, second] = kKnightPairs[n];
  place_on_empty(rank, second, 'N');
  place_on_empty(rank, first, 'N');
  place_on_empty(rank, 0, 'R');
  place_on_empty(rank, 0, 'K');
  place_on_empty(rank, 0, 'R');
  return rank;
}

std::string chess960_fen(int number) {
  const std::string white = chess960_back_rank(number);
  std::string black = white;
  for (char& c : black) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return black + "/pppppppp/8/8/8/8/PPPPPPPP/" + white + " w KQkq - 0 1";
}

}  // namespace varnok
