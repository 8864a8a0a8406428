#include "env/random.hpp"

#include <exception>
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

}  // namespace varnok
