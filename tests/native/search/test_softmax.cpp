// The search's own e^x against the library's, bit patterns swept over the
// whole domain of x <= 0 down to where it gives 0.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "search/softmax.hpp"

namespace varnok {
namespace {

TEST(Softmax, ExpOfNonpositiveIsWithinOneUlpAndExactAtZero) {
  EXPECT_EQ(exp_of_nonpositive(0.0f), 1.0f);  // equal logits: exactly equal priors
  EXPECT_EQ(exp_of_nonpositive(-0.0f), 1.0f);
  EXPECT_EQ(exp_of_nonpositive(-90.0f), 0.0f);
  EXPECT_EQ(exp_of_nonpositive(-std::numeric_limits<float>::infinity()), 0.0f);
  double worst = 0;
  float worst_at = 0;
  // Every 97th float from -0 to -87 (a larger bit pattern is a larger magnitude).
  for (uint32_t bits = 0x80000000u; bits < std::bit_cast<uint32_t>(-87.0f); bits += 97) {
    const float x = std::bit_cast<float>(bits);
    const double want = std::exp(static_cast<double>(x));
    const float rounded = static_cast<float>(want);
    const double ulp = std::nextafter(rounded, 2.0f) - rounded;
    const double error = std::fabs(exp_of_nonpositive(x) - want) / ulp;
    if (error > worst) {
      worst = error;
      worst_at = x;
    }
  }
  EXPECT_LE(worst, 1.0) << "at x = " << worst_at;
}

}  // namespace
}  // namespace varnok
