// Seeded draws with the same results on every platform. The standard
// library's generators are fully specified, but its distributions are not:
// std::uniform_int_distribution over the same std::mt19937 gives other
// numbers with libc++ than with libstdc++. So every draw that a seed makes
// reproducible goes through uniform_below, and the vector environment and
// the searches use Random, a small fast generator with a fixed output:
// xoshiro256** seeded through SplitMix64.
#pragma once

#include <cstdint>
#include <iosfwd>

namespace varnok {

// A uniform draw from 0 to bound - 1 (bound >= 1) from a source of uniform
// 32-bit words (a callable, taken by reference, such as std::mt19937), by
// multiplication with rejection of the few values that would make it uneven
// (Lemire's method): exact, and usually one word.
template <class NextWord>
uint32_t uniform_below(NextWord&& next_word, uint32_t bound) {
  uint64_t m = static_cast<uint64_t>(static_cast<uint32_t>(next_word())) * bound;
  if (static_cast<uint32_t>(m) < bound) {
    const uint32_t threshold = static_cast<uint32_t>(-bound) % bound;
    while (static_cast<uint32_t>(m) < threshold) m = static_cast<uint64_t>(static_cast<uint32_t>(next_word())) * bound;
  }
  return static_cast<uint32_t>(m >> 32);
}

// A seed from the operating system's random source, for the generators of
// callers that gave none.
uint64_t os_seed();

class Random {
 public:
  Random() : Random(0, 0) {}
  // The stream of seed for game (or task) index: distinct indexes give
  // independent-looking streams.
  Random(uint64_t seed, uint64_t index) { reseed(seed, index); }

  void reseed(uint64_t seed, uint64_t index) {
    uint64_t x = seed ^ (0x9e3779b97f4a7c15ULL * (index + 1));
    for (uint64_t& word : state_) word = split_mix(x);
  }

  uint64_t next() {
    const uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
  }

  // A uniform draw from 0 to bound - 1 (bound >= 1) from the high half of
  // each output.
  uint32_t below(uint32_t bound) {
    return uniform_below([this] { return static_cast<uint32_t>(next() >> 32); }, bound);
  }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  static uint64_t split_mix(uint64_t& x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  uint64_t state_[4];

  // The state as text and back, as the standard library's engines do: a
  // generator read back goes on with the same draws.
  friend std::ostream& operator<<(std::ostream& out, const Random& random);
  friend std::istream& operator>>(std::istream& in, Random& random);
};

}  // namespace varnok
