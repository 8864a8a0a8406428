// The native floor of the vector environment: the same random games played
// by a plain loop over the episode library, one game after another, with
// the float32 observation and the mask written into one reused buffer each
// (so they stay in cache), and nothing else.
//
//   vector_floor NUM_ENVS STEPS SEED
//
// Prints "plies_per_s N".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "env/observation_writer.hpp"
#include "env/random.hpp"

int main(int argc, char** argv) {
  using namespace varnok;
  if (argc != 4) {
    std::fprintf(stderr, "usage: vector_floor NUM_ENVS STEPS SEED\n");
    return 2;
  }
  const int num_envs = std::atoi(argv[1]);
  const int steps = std::atoi(argv[2]);
  const uint64_t seed = std::strtoull(argv[3], nullptr, 10);
  std::vector<Episode> boards(num_envs);
  std::vector<Random> draws(num_envs);
  for (int i = 0; i < num_envs; ++i) {
    draws[i].reseed(seed, i);
    boards[i].start_from(initial_position());
  }
  std::vector<float> observation(kObservationValues);
  std::vector<uint8_t> mask(kActionCount);
  int64_t plies = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int step = 0; step < steps; ++step)
    for (int i = 0; i < num_envs; ++i) {
      Episode& board = boards[i];
      const ActionMap& listing = board.move_index;
      const int action = listing.nth_action(static_cast<int>(draws[i].below(listing.size())));
      const Outcome outcome = board.play(action);
      ++plies;
      if (outcome.done()) board.start_from(initial_position());
      write_observation(board, observation.data());
      std::memset(mask.data(), 0, mask.size());
      board.move_index.for_each([&](int a, Move) { mask[a] = 1; });
    }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("plies_per_s %.0f\n", static_cast<double>(plies) / seconds);
  return observation[0] > 1e9f ? 1 : 0;  // keeps the writes
}
