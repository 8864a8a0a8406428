// The native floor of the arena's batched MCTS block: the trees of one
// player's games searched together, packed observations, uniform priors (zero
// logits) and a value made from each leaf's observation, with no network and
// no Python. It prints the leaves searched and the best time a leaf; run
// under callgrind it gives the block's instructions a leaf, which do not
// vary with a shared machine's load as times do:
//
//   search_floor TREES SIMULATIONS PLIES REPETITIONS
//   valgrind --tool=callgrind search_floor 128 32 8 1   (and with PLIES 4:
//       the difference over the 16,384 leaves of plies 5-8 is a leaf's cost)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "search/mcts.hpp"

int main(int argc, char** argv) {
  using namespace varnok;
  if (argc != 5) {
    std::fprintf(stderr, "usage: search_floor TREES SIMULATIONS PLIES REPETITIONS\n");
    return 2;
  }
  const int trees = std::atoi(argv[1]);
  const int simulations = std::atoi(argv[2]);
  const int plies = std::atoi(argv[3]);
  const int repetitions = std::atoi(argv[4]);
  SearchOptions options;
  options.num_trees = trees;
  options.num_threads = 1;
  options.format = ObservationFormat::kPacked;
  options.dirichlet_fraction = 0;
  options.node_budget = 64 * (simulations + 4);  // as the arena's MCTS player sizes its trees
  Mcts search(options);
  const std::vector<float> logits(static_cast<size_t>(trees) * kActionCount, 0.0f);
  std::vector<float> values(trees);
  std::vector<int> tree_indices(trees);
  for (int t = 0; t < trees; ++t) tree_indices[t] = t;
  std::vector<int64_t> actions(trees);
  const size_t row_words = search.observation_row_bytes() / sizeof(uint64_t);
  int64_t leaves = 0;
  double best = 0;
  for (int repetition = 0; repetition < repetitions; ++repetition) {
    std::vector<Episode> games(trees);
    for (Episode& game : games) game.start_from(initial_position());
    int64_t searched = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int ply = 0; ply < plies; ++ply) {
      search.set_roots(tree_indices, games);
      for (int s = 0; s < simulations; ++s) {
        const int rows = search.select(1);
        // A value in [-0.5, 0.5) from the leaf's planes of white's and
        // black's pawns: varied, as a network's would be, and cheap.
        const auto* observations = reinterpret_cast<const uint64_t*>(search.leaf_arrays()->observations.data());
        for (int i = 0; i < rows; ++i) {
          const uint64_t mixed = observations[i * row_words] * 0x9E3779B97F4A7C15ull ^ observations[i * row_words + 6];
          values[i] = static_cast<float>((mixed >> 40) % 1000) / 1000.0f - 0.5f;
        }
        search.expand(logits.data(), values.data(), true);
        searched += rows;
      }
      search.chosen_actions(0.0, actions.data());
      for (int t = 0; t < trees; ++t)
        if (games[t].play(static_cast<int32_t>(actions[t])).done()) games[t].start_from(initial_position());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    leaves += searched;
    if (searched > 0 && (best == 0 || seconds / searched < best)) best = seconds / searched;
  }
  std::printf("leaves %lld best_ns_per_leaf %.1f\n", static_cast<long long>(leaves), best * 1e9);
}
