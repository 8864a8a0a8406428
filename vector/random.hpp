// A small, fast generator with a fixed output on every platform (the
// standard library's distributions are not), for the draws of the vector
// environment: xoshiro256** seeded through SplitMix64.
#pragma once

#include <cstdint>

namespace varnok {

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

  // A uniform draw from 0 to bound - 1 (bound >= 1), by multiplication with
  // rejection of the few values that would make it uneven.
  uint32_t below(uint32_t bound) {
    uint64_t m = (next() >> 32) * bound;
    if (static_cast<uint32_t>(m) < bound) {
      const uint32_t threshold = static_cast<uint32_t>(-bound) % bound;
      while (static_cast<uint32_t>(m) < threshold) m = (next() >> 32) * bound;
    }
    return static_cast<uint32_t>(m >> 32);
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
};

}  // namespace varnok
