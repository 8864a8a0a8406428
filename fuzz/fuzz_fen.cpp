// libFuzzer entry point of the fen target (fuzz/fen_target.hpp).
#include <cstdio>
#include <cstdlib>

#include "fuzz/fen_target.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // render writes its text board to the C standard output; keep the
  // fuzzer's own output readable.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    varnok::fuzz::run_fen_input(data, size);
  } catch (const varnok::fuzz::CheckFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    std::abort();
  }
  return 0;
}
