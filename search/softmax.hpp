// The softmax of a leaf's logits over its legal moves, the one piece of
// arithmetic a search does for every legal move of every leaf it expands.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

namespace varnok {

// e^x for x <= 0, to within one float ulp, with e^0 exactly 1 (equal
// logits give exactly equal priors) and 0 below float's normal range. It is
// float arithmetic and bit operations only, so that a loop of them runs four
// at a time (the library's exp is a call per element): the range test is
// made on the bits (for x <= 0 a larger magnitude is a larger unsigned
// number), as a floating-point comparison would keep the loop scalar.
inline float exp_of_nonpositive(float x) {
  constexpr float kLog2E = 1.44269504088896341f;
  // ln 2 in two parts: n * kLn2High is exact for the n that occur here.
  constexpr float kLn2High = 0.693359375f, kLn2Low = -2.12194440e-4f;
  constexpr uint32_t kNormalLimit = std::bit_cast<uint32_t>(-87.33f);  // e^x under the smallest normal float
  const uint32_t bits = std::bit_cast<uint32_t>(x);
  const float clamped = std::bit_cast<float>(std::min(bits, kNormalLimit));
  // x = n ln 2 + r, |r| <= ln 2 / 2, n rounded to nearest (x is not positive).
  const int32_t n = static_cast<int32_t>(clamped * kLog2E - 0.5f);
  const float r = clamped - static_cast<float>(n) * kLn2High - static_cast<float>(n) * kLn2Low;
  // e^r by its minimax polynomial on |r| <= ln 2 / 2.
  const float r2 = r * r;
  float p = 1.9875691500e-4f;
  p = p * r + 1.3981999507e-3f;
  p = p * r + 8.3334519073e-3f;
  p = p * r + 4.1665795894e-2f;
  p = p * r + 1.6666665459e-1f;
  p = p * r + 5.0000001201e-1f;
  p = p * r2 + r + 1.0f;
  // 2^n by the exponent bits; n >= -126 here, a normal float.
  const float scale = std::bit_cast<float>(static_cast<uint32_t>(n + 127) << 23);
  const uint32_t keep = bits > kNormalLimit ? 0u : ~0u;
  return std::bit_cast<float>(std::bit_cast<uint32_t>(p * scale) & keep);
}

}  // namespace varnok
