// libFuzzer entry point of the search operations target
// (fuzz/search_ops_target.hpp).
#include <cstdio>
#include <cstdlib>

#include "fuzz/search_ops_target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    varnok::fuzz::run_search_ops_input(data, size);
  } catch (const varnok::fuzz::CheckFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    std::abort();
  }
  return 0;
}
