// libFuzzer entry point of the game bytes target (fuzz/state_bytes_target.hpp).
#include <cstdio>
#include <cstdlib>

#include "fuzz/state_bytes_target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    varnok::fuzz::run_state_bytes_input(data, size);
  } catch (const varnok::fuzz::CheckFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    std::abort();
  }
  return 0;
}
