// perft: counts the leaf nodes of the legal-move tree of a position, the
// standard check of a move generator against published counts.
//
//   perft FEN DEPTH
//
// Prints one line per legal first move ("e2e4: 20", promotions with the new
// piece in lower case, "e7e8q") in move-generation order, then an empty line,
// "Nodes searched: N" and "nps: N". The tree is walked on the position core
// alone: generate_moves, the list-wide legality filter, apply_move to descend
// a legal move, and putting the position back from a copy each level keeps
// (no_progress_count is put back by hand). Nothing is allocated per node.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cerrno>

#include "core/board.hpp"
#include "core/legality.hpp"

namespace {

using varnok::Board;
using varnok::Move;
using varnok::MoveList;
using varnok::Snapshot;

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
    out[4] = "pnbrqk"[promoted % 6];
    out[5] = '\0';
  } else {
    out[4] = '\0';
  }
}

// Leaf count below the current position, depth >= 1. Each level keeps its own
// copy of the position to go back to after the deeper levels have played.
uint64_t count_leaves(Board& board, int depth) {
  MoveList list;
  board.generate_moves(list);
  const int32_t no_progress = board.no_progress_count;
  uint64_t nodes = 0;
  const varnok::LegalityFilter legal(board);
  if (depth == 1) {
    // Bulk counting: a leaf only needs its legality verdict, which the
    // filter gives without playing the move.
    for (int i = 0; i < list.count; ++i) nodes += legal(list.moves[i]) ? 1 : 0;
    return nodes;
  }
  const Snapshot here = board.position();
  for (int i = 0; i < list.count; ++i) {
    if (!legal(list.moves[i])) continue;
    board.apply_move(list.moves[i]);
    nodes += count_leaves(board, depth - 1);
    board.set_position(here);
    board.no_progress_count = no_progress;
  }
  return nodes;
}

int usage() {
  std::fprintf(stderr, "usage: perft FEN DEPTH   (DEPTH a whole number >= 1)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return usage();
  errno = 0;
  char* end = nullptr;
  const long depth = std::strtol(argv[2], &end, 10);
  if (end == argv[2] || *end != '\0' || errno != 0 || depth < 1 || depth > 64) return usage();

  Board board;  // construction fills the attack tables
  board.parse_fen(argv[1]);

  const auto start = std::chrono::steady_clock::now();
  MoveList list;
  board.generate_moves(list);
  const int32_t no_progress = board.no_progress_count;
  const Snapshot root = board.position();
  const varnok::LegalityFilter legal(board);
  uint64_t total = 0;
  for (int i = 0; i < list.count; ++i) {
    const Move move = list.moves[i];
    if (!legal(move)) continue;
    board.apply_move(move);
    const uint64_t nodes = depth == 1 ? 1 : count_leaves(board, static_cast<int>(depth) - 1);
    board.set_position(root);
    board.no_progress_count = no_progress;
    total += nodes;
    char name[6];
    move_name(move, name);
    std::printf("%s: %llu\n", name, static_cast<unsigned long long>(nodes));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double nps = seconds > 0 ? static_cast<double>(total) / seconds : 0.0;
  std::printf("\nNodes searched: %llu\nnps: %llu\n", static_cast<unsigned long long>(total),
              static_cast<unsigned long long>(nps));
  return 0;
}
