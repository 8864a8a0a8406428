#include "env/random.hpp"

#include <exception>
#include <istream>
#include <ostream>
#include <random>

namespace varnok {

// The library's default device may use the processor's seed instruction,
// which costs more than a whole short game; getentropy is the system call,
// where available.
uint64_t os_seed() {
  const auto draw = [](std::random_device& device) { return (static_cast<uint64_t>(device()) << 32) | device(); };
  try {
    std::random_device device("getentropy");
    return draw(device);
  } catch (const std::exception&) {
    std::random_device device;
    return draw(device);
  }
}

std::ostream& operator<<(std::ostream& out, const Random& random) {
  return out << random.state_[0] << ' ' << random.state_[1] << ' ' << random.state_[2] << ' ' << random.state_[3];
}

std::istream& operator>>(std::istream& in, Random& random) {
  uint64_t state[4];
  if (!(in >> state[0] >> state[1] >> state[2] >> state[3])) return in;
  // xoshiro256** never leaves the all-zero state and draws only zeros from
  // it, on which a draw by rejection (uniform_below) never ends: no seed
  // reaches it, so text that holds it is no state of a generator.
  if ((state[0] | state[1] | state[2] | state[3]) == 0) {
    in.setstate(std::ios::failbit);
    return in;
  }
  for (int i = 0; i < 4; ++i) random.state_[i] = state[i];
  return in;
}

}  // namespace varnok
