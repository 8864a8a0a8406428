// The random numbers a search draws, from the vector layer's generator
// (xoshiro256**), so a seed gives the same noise on every platform and
// standard library: Dirichlet noise for the roots of PUCT, Gumbel noise for
// Gumbel-Top-k, and sampling of a move by visit counts.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "env/random.hpp"

namespace varnok {

// Uniform in (0, 1): 53 random bits, never 0 or 1.
inline double uniform_open(Random& random) {
  constexpr double kUnit = 1.0 / 9007199254740992.0;  // 2^-53
  return (static_cast<double>(random.next() >> 11) + 0.5) * kUnit;
}

// Standard normal, by the Marsaglia polar method.
inline double standard_normal(Random& random) {
  for (;;) {
    const double x = 2 * uniform_open(random) - 1, y = 2 * uniform_open(random) - 1;
    const double s = x * x + y * y;
    if (s > 0 && s < 1) return x * std::sqrt(-2 * std::log(s) / s);
  }
}

// Gamma(shape, 1), by Marsaglia and Tsang's squeeze; a shape below 1 is
// boosted to shape + 1 and scaled back by u^(1 / shape).
inline double gamma_draw(double shape, Random& random) {
  if (shape < 1) return gamma_draw(shape + 1, random) * std::pow(uniform_open(random), 1 / shape);
  const double d = shape - 1.0 / 3, c = 1 / std::sqrt(9 * d);
  for (;;) {
    const double x = standard_normal(random);
    double v = 1 + c * x;
    if (v <= 0) continue;
    v = v * v * v;
    const double u = uniform_open(random);
    if (u < 1 - 0.0331 * x * x * x * x) return d * v;
    if (std::log(u) < 0.5 * x * x + d * (1 - v + std::log(v))) return d * v;
  }
}

// A Dirichlet(alpha, ..., alpha) draw of out.size() values; uniform when
// every gamma draw underflows (tiny alpha). Draws near the largest double
// (an alpha near it) can add up past it: their ratios to the largest draw,
// whose sum cannot overflow, are then shared out instead.
inline void dirichlet_draw(double alpha, Random& random, std::vector<double>& out) {
  double sum = 0, high = 0;
  for (double& x : out) {
    sum += (x = gamma_draw(alpha, random));
    high = std::max(high, x);
  }
  if (std::isinf(sum)) {
    sum = 0;
    for (double& x : out) sum += (x /= high);
  }
  for (double& x : out) x = sum > 0 ? x / sum : 1.0 / out.size();
}

// Standard Gumbel: -log(-log(u)).
inline double gumbel_draw(Random& random) { return -std::log(-std::log(uniform_open(random))); }

}  // namespace varnok
