// The checks every setting of the environments and searches goes through,
// whether it comes from C++ or from Python: std::invalid_argument with a
// message naming the setting, its allowed range and the value given.
#pragma once

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace varnok {

// The most worker threads a pool may be asked for: far beyond any machine,
// low enough that a mistyped count fails here rather than in the kernel.
inline constexpr int64_t kMaxThreads = 1024;

// value, checked to lie in [low, high] and narrowed to int.
inline int checked_count(int64_t value, const char* what, int64_t low, int64_t high) {
  if (value < low || value > high)
    throw std::invalid_argument(std::string(what) + " must be " + std::to_string(low) + " to " + std::to_string(high) +
                                ", got " + std::to_string(value));
  return static_cast<int>(value);
}

// value, checked to be finite and non-negative (positive: above 0).
inline double checked_real(double value, const char* what, bool positive) {
  if (!std::isfinite(value) || value < 0 || (positive && value == 0))
    throw std::invalid_argument(std::string(what) + " must be a finite " + (positive ? "positive" : "non-negative") +
                                " number, got " + std::to_string(value));
  return value;
}

inline int checked_threads(int64_t threads) { return checked_count(threads, "num_threads", 1, kMaxThreads); }

// options after their check_options (found beside the struct): for a
// constructor's first initialiser, so nothing is built from a bad setting.
template <class Options>
const Options& checked_options(const Options& options) {
  check_options(options);
  return options;
}

}  // namespace varnok
