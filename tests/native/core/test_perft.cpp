// Perft: leaf counts of the legal-move tree against the published counts of
// the standard test positions, which exercise castling, en passant,
// promotions, pins and checks in every combination a few plies deep.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "core/position.hpp"

namespace varnok {
namespace {

// The plain walk: every pseudo-legal move tried on a copy, no shortcuts (the
// perft tool, checked below, counts with the legality filter instead).
uint64_t perft(const Position& position, int depth) {
  if (depth == 0) return 1;
  MoveList list;
  position.generate_moves(list);
  uint64_t nodes = 0;
  for (int i = 0; i < list.count; ++i) {
    Position next = position;
    if (next.make_move(list.moves[i])) nodes += perft(next, depth - 1);
  }
  return nodes;
}

struct PerftCase {
  const char* name;
  const char* fen;
  std::vector<uint64_t> counts;  // depth 1, 2, ...
};

const PerftCase kCases[] = {
    {"initial", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", {20, 400, 8902, 197281, 4865609}},
    {"kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", {48, 2039, 97862, 4085603}},
    {"position3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", {14, 191, 2812, 43238, 674624}},
    {"position4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1", {6, 264, 9467, 422333}},
    {"position4_mirrored", "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1", {6, 264, 9467, 422333}},
    {"position5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8", {44, 1486, 62379, 2103487}},
    {"position6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10", {46, 2079, 89890}},
};

void PrintTo(const PerftCase& c, std::ostream* os) { *os << c.name; }

class Perft : public ::testing::TestWithParam<PerftCase> {};

TEST_P(Perft, MatchesPublishedCounts) {
  const PerftCase& c = GetParam();
  Position position;
  position.parse_fen(c.fen);
  for (size_t depth = 1; depth <= c.counts.size(); ++depth)
    EXPECT_EQ(perft(position, static_cast<int>(depth)), c.counts[depth - 1]) << "depth " << depth;
}

INSTANTIATE_TEST_SUITE_P(StandardPositions, Perft, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the command-line tool (built with the tools, VARNOK_TOOLS)

#ifndef VARNOK_PERFT_TOOL
#define VARNOK_PERFT_TOOL ""
#endif
constexpr bool kHavePerftTool = *VARNOK_PERFT_TOOL != '\0';

struct ToolRun {
  int status;
  std::string out;
};

ToolRun run_tool(const std::string& args) {
  const std::string command = std::string("'") + VARNOK_PERFT_TOOL + "' " + args + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {-1, ""};
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int raw = pclose(pipe);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, out};
}

std::string square_name(int square) {
  return {static_cast<char>('a' + file_of(square)), static_cast<char>('0' + rank_of(square))};
}

TEST(PerftTool, DividesByFirstMoveInGenerationOrder) {
  if (!kHavePerftTool) GTEST_SKIP() << "built without the tools";
  // Kiwipete has castling both ways; position 4's b7 pawn adds promotions.
  for (const char* fen : {kCases[1].fen, kCases[3].fen}) {
    SCOPED_TRACE(fen);
    const ToolRun run = run_tool(std::string("'") + fen + "' 3");
    ASSERT_EQ(run.status, 0) << run.out;

    std::vector<std::string> expected_lines;
    uint64_t total = 0;
    Position root;
    root.parse_fen(fen);
    MoveList list;
    root.generate_moves(list);
    for (int i = 0; i < list.count; ++i) {
      const Move m = list.moves[i];
      Position next = root;
      if (!next.make_move(m)) continue;
      const uint64_t nodes = perft(next, 2);
      total += nodes;
      std::string name = square_name(move_source(m)) + square_name(move_target(m));
      if (move_promoted(m)) name += "pnbrqk"[kind_of(move_promoted(m))];
      expected_lines.push_back(name + ": " + std::to_string(nodes));
    }
    std::string expected;
    for (const std::string& line : expected_lines) expected += line + "\n";
    expected += "\nNodes searched: " + std::to_string(total) + "\n";
    ASSERT_GE(run.out.size(), expected.size());
    EXPECT_EQ(run.out.substr(0, expected.size()), expected);
    const std::string rest = run.out.substr(expected.size());
    EXPECT_EQ(rest.rfind("nps: ", 0), 0u) << rest;
    EXPECT_EQ(rest.back(), '\n');
  }
  // Promotion names carry the new piece in lower case.
  const ToolRun promo = run_tool("'4k3/1P6/8/8/8/8/8/4K3 w - - 0 1' 1");
  EXPECT_NE(promo.out.find("b7b8q: 1\nb7b8r: 1\nb7b8b: 1\nb7b8n: 1\n"), std::string::npos) << promo.out;
}

TEST(PerftTool, RejectsWrongUsage) {
  if (!kHavePerftTool) GTEST_SKIP() << "built without the tools";
  const std::string fen = "'rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1'";
  EXPECT_EQ(run_tool("").status, 2);
  EXPECT_EQ(run_tool(fen).status, 2);
  EXPECT_EQ(run_tool(fen + " 0").status, 2);
  EXPECT_EQ(run_tool(fen + " -1").status, 2);
  EXPECT_EQ(run_tool(fen + " two").status, 2);
  EXPECT_EQ(run_tool(fen + " 2 extra").status, 2);
  const ToolRun ok = run_tool(fen + " 2");
  EXPECT_EQ(ok.status, 0);
  EXPECT_NE(ok.out.find("\nNodes searched: 400\n"), std::string::npos) << ok.out;
}

}  // namespace
}  // namespace varnok
