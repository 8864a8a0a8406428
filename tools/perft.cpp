// perft: counts the leaf nodes of the legal-move tree of a position, the
// standard check of a move generator against published counts.
//
//   perft [--chess960] FEN DEPTH
//
// With --chess960 the FEN's castling field is read as X-FEN or Shredder-FEN
// and castling moves are named king onto rook ("e1h1").
//
// Prints one line per legal first move ("e2e4: 20", promotions with the new
// piece in lower case, "e7e8q") in move-generation order, then an empty line,
// "Nodes searched: N" and "nps: N". The tree is walked on the position core
// alone: generate_moves, the list-wide legality filter, and apply_move on a
// copy of the position to descend a legal move. Nothing is allocated per node.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/legality.hpp"
#include "core/position.hpp"

namespace {

using varnok::Move;
using varnok::Position;

// Square 0 is a8, 63 is h1: the file is index % 8, the rank 8 - index / 8.
void square_name(int square, char* out) {
  out[0] = static_cast<char>('a' + square % 8);
  out[1] = static_cast<char>('0' + 8 - square / 8);
}

// Long algebraic name of a move: source, target, promotion letter if any.
void move_name(Move move, char (&out)[6]) {
  square_name(varnok::move_source(move), out);
  square_name(varnok::move_target(move), out + 2);
  const int promoted = varnok::move_promoted(move);
  if (promoted != 0) {
    out[4] = "pnbrqk"[varnok::kind_of(promoted)];
    out[5] = '\0';
  } else {
    out[4] = '\0';
  }
}

// Leaf count below a position, depth >= 1. One walk serves the root, which
// also prints each first move's count, and the inner levels.
template <bool Root>
uint64_t count_leaves(const Position& position, int depth) {
  uint64_t nodes = 0;
  if (!Root && depth == 1) {
    // Bulk counting: a leaf only needs its legality verdict, which the walk
    // of legal moves gives without playing the move.
    varnok::for_each_legal_move(position, [&](Move) { ++nodes; });
    return nodes;
  }
  varnok::for_each_legal_move(position, [&](Move move) {
    Position next = position;
    next.apply_move(move);
    const uint64_t below = depth == 1 ? 1 : count_leaves<false>(next, depth - 1);
    nodes += below;
    if constexpr (Root) {
      char name[6];
      move_name(move, name);
      std::printf("%s: %llu\n", name, static_cast<unsigned long long>(below));
    }
  });
  return nodes;
}

int usage() {
  std::fprintf(stderr, "usage: perft [--chess960] FEN DEPTH   (DEPTH a whole number >= 1)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const bool chess960 = argc == 4 && std::strcmp(argv[1], "--chess960") == 0;
  if (chess960) {
    --argc;
    ++argv;
  }
  if (argc != 3) return usage();
  errno = 0;
  char* end = nullptr;
  const long depth = std::strtol(argv[2], &end, 10);
  if (end == argv[2] || *end != '\0' || errno != 0 || depth < 1 || depth > 64) return usage();

  Position position;
  position.parse_fen(argv[1], chess960);

  const auto start = std::chrono::steady_clock::now();
  const uint64_t total = count_leaves<true>(position, static_cast<int>(depth));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double nps = seconds > 0 ? static_cast<double>(total) / seconds : 0.0;
  std::printf("\nNodes searched: %llu\nnps: %llu\n", static_cast<unsigned long long>(total),
              static_cast<unsigned long long>(nps));
  return 0;
}
