// libFuzzer entry point of the strict FEN target (fuzz/fen_strict_target.hpp).
#include <cstdio>
#include <cstdlib>

#include "fuzz/fen_strict_target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    varnok::fuzz::run_fen_strict_input(data, size);
  } catch (const varnok::fuzz::CheckFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    std::abort();
  }
  return 0;
}
