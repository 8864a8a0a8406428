// libFuzzer entry point of the move text target (fuzz/move_text_target.hpp).
#include <cstdio>
#include <cstdlib>

#include "fuzz/move_text_target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    varnok::fuzz::run_move_text_input(data, size);
  } catch (const varnok::fuzz::CheckFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    std::abort();
  }
  return 0;
}
