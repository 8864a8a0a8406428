// libFuzzer entry point of the vector operations target
// (fuzz/vector_ops_target.hpp).
#include <cstdio>
#include <cstdlib>

#include "fuzz/vector_ops_target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    varnok::fuzz::run_vector_ops_input(data, size);
  } catch (const varnok::fuzz::CheckFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    std::abort();
  }
  return 0;
}
