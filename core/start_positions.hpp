// Where games start: the standard initial position, and the 960 Chess960
// (Fischer Random) arrays by their Scharnagl numbers 0-959, of which 518 is
// the standard array.
#pragma once

#include <string>
#include <string_view>

namespace varnok {

inline constexpr std::string_view kInitialFen = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

inline constexpr int kChess960Positions = 960;
inline constexpr int kStandardChess960Number = 518;

// White's back rank of Chess960 array number (0-959), files a to h, in
// upper-case piece letters ("RNBQKBNR" for 518). Throws std::out_of_range
// for any other number.
std::string chess960_back_rank(int number);

// The FEN of Chess960 array number with all four rights, in X-FEN ("KQkq").
std::string chess960_fen(int number);

}  // namespace varnok
