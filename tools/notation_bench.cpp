// Times the notation functions on the positions of a FEN file (one FEN per
// line): SAN and UCI of every legal move, reading them back, FEN export and
// strict loading, and PGN reading of the games written from those moves.
// Prints one "name value unit" line per figure; bench/notation.py compares
// them with python-chess.
//
//   notation_bench FEN_FILE [SECONDS_PER_FIGURE]
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "core/fen_strict.hpp"
#include "core/fen_writer.hpp"
#include "core/legality.hpp"
#include "core/pgn_reader.hpp"
#include "core/pgn_writer.hpp"
#include "core/san.hpp"
#include "core/uci.hpp"

namespace {

using namespace varnok;
using Clock = std::chrono::steady_clock;

// Runs round (which reports how many items it handled) until seconds have
// passed; returns nanoseconds per item.
template <class Round>
double time_per_item(double seconds, Round round) {
  long long items = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  while (elapsed < seconds) {
    items += round();
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  }
  return elapsed * 1e9 / static_cast<double>(items);
}

volatile size_t g_sink;  // keeps results alive

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: notation_bench FEN_FILE [SECONDS_PER_FIGURE]\n");
    return 2;
  }
  const double seconds = argc > 2 ? std::stod(argv[2]) : 1.0;
  std::vector<std::string> fens;
  std::vector<Position> positions;
  std::vector<std::vector<Move>> moves;
  std::ifstream in(argv[1]);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    fens.push_back(line);
    positions.push_back(parse_fen_strict(line).position);
    moves.emplace_back();
    for_each_legal_move(positions.back(), [&](Move m) { moves.back().push_back(m); });
  }
  std::vector<std::vector<std::string>> sans(positions.size()), ucis(positions.size());
  size_t move_count = 0;
  for (size_t i = 0; i < positions.size(); ++i) {
    for (Move m : moves[i]) {
      sans[i].push_back(san_of(positions[i], m).str());
      ucis[i].push_back(uci_of(m).str());
    }
    move_count += moves[i].size();
  }
  std::printf("positions %zu\nlegal_moves %zu\n", positions.size(), move_count);

  std::printf("san_of_ns_per_move %.1f ns\n", time_per_item(seconds, [&] {
                for (size_t i = 0; i < positions.size(); ++i)
                  for (Move m : moves[i]) g_sink = san_of(positions[i], m).size;
                return static_cast<long long>(move_count);
              }));
  std::printf("move_of_san_ns_per_move %.1f ns\n", time_per_item(seconds, [&] {
                for (size_t i = 0; i < positions.size(); ++i)
                  for (const std::string& s : sans[i]) g_sink = static_cast<size_t>(move_of_san(positions[i], s));
                return static_cast<long long>(move_count);
              }));
  std::printf("uci_of_ns_per_move %.1f ns\n", time_per_item(seconds, [&] {
                for (size_t i = 0; i < positions.size(); ++i)
                  for (Move m : moves[i]) g_sink = uci_of(m).size;
                return static_cast<long long>(move_count);
              }));
  std::printf("move_of_uci_ns_per_move %.1f ns\n", time_per_item(seconds, [&] {
                for (size_t i = 0; i < positions.size(); ++i)
                  for (const std::string& s : ucis[i]) g_sink = static_cast<size_t>(move_of_uci(positions[i], s));
                return static_cast<long long>(move_count);
              }));
  std::printf("fen_of_ns_per_position %.1f ns\n", time_per_item(seconds, [&] {
                for (const Position& p : positions) g_sink = fen_of(p, 1, EnPassantField::kLegal).size();
                return static_cast<long long>(positions.size());
              }));
  std::printf("parse_fen_strict_ns_per_position %.1f ns\n", time_per_item(seconds, [&] {
                for (const std::string& f : fens) g_sink = parse_fen_strict(f).position.occupancies[kBothColours];
                return static_cast<long long>(positions.size());
              }));

  // PGN: one game per position, its legal moves played in a row while they
  // stay legal (a long game of real SAN), read back.
  std::string text;
  size_t plies = 0;
  for (size_t i = 0; i < positions.size(); ++i) {
    std::vector<Move> game;
    Position p = positions[i];
    for (int ply = 0; ply < 80; ++ply) {
      Move first = kNoMove;
      for_each_legal_move(p, [&](Move m) {
        if (first == kNoMove && ((ply + move_word(m)) % 3 == 0)) first = m;
      });
      if (first == kNoMove) for_each_legal_move(p, [&](Move m) { first = first == kNoMove ? m : first; });
      if (first == kNoMove) break;
      game.push_back(first);
      p.apply_move(first);
    }
    plies += game.size();
    text += write_pgn(positions[i], 1, game);
  }
  const double pgn_ns = time_per_item(seconds, [&] {
    PgnReader reader = PgnReader::from_text(text);
    PgnGame game;
    while (reader.next(game)) g_sink = game.moves.size();
    return static_cast<long long>(plies);
  });
  std::printf("pgn_read_ns_per_ply %.1f ns\npgn_read_mb_per_s %.1f MB/s\n", pgn_ns,
              static_cast<double>(text.size()) / (pgn_ns * static_cast<double>(plies)) * 1e3);
  return 0;
}
