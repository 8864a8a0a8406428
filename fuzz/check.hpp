// The check of the position-level fuzz targets: a property that does not
// hold throws CheckFailure, which the fuzzer entry points turn into an abort
// and the replay tests into a test failure. It needs nothing beyond the
// standard library, so position-level tests can replay these targets.
#pragma once

#include <stdexcept>

namespace varnok::fuzz {

struct CheckFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace varnok::fuzz

#define VARNOK_FUZZ_STR2(x) #x
#define VARNOK_FUZZ_STR(x) VARNOK_FUZZ_STR2(x)
#define FUZZ_CHECK(cond)                                                                                              \
  do {                                                                                                                \
    if (!(cond)) throw ::varnok::fuzz::CheckFailure(__FILE__ ":" VARNOK_FUZZ_STR(__LINE__) ": check failed: " #cond); \
  } while (0)
