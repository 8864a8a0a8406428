#include "search/search_options.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>

#include "env/actions.hpp"
#include "vector/option_checks.hpp"

namespace varnok {

namespace {

// Gumbel search scores a root action by sigma(q) = (c_visit + max N(b)) *
// c_scale * q, q scaled to 0..1, added to its logit and noise and then
// exponentiated: settings whose sigma could pass this bound (with the most
// visits a child can count) would overflow to infinity and make the policy
// NaN.
constexpr double kLargestGumbelSigma = 1e300;
constexpr double kMostChildVisits = INT32_MAX;

// A finite double as Python's repr writes it: the shortest digits that read
// back the same, in positional notation for exponents from -4 to 15 (with
// ".0" when whole), in scientific notation otherwise ("1e+300").
std::string python_float_text(double value) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string scientific(buffer, end);
  const size_t e = scientific.find('e');
  const int exponent = std::stoi(scientific.substr(e + 1));
  const bool negative = scientific[0] == '-';
  std::string digits;
  for (size_t i = negative ? 1 : 0; i < e; ++i)
    if (scientific[i] != '.') digits += scientific[i];
  std::string text = negative ? "-" : "";
  if (exponent < -4 || exponent >= 16) {
    text += digits.substr(0, 1);
    if (digits.size() > 1) text += "." + digits.substr(1);
    return text + (exponent < 0 ? "e-" : "e+") + (std::abs(exponent) < 10 ? "0" : "") +
           std::to_string(std::abs(exponent));
  }
  if (exponent < 0) return text + "0." + std::string(-exponent - 1, '0') + digits;
  if (static_cast<int>(digits.size()) <= exponent + 1)
    return text + digits + std::string(exponent + 1 - digits.size(), '0') + ".0";
  return text + digits.substr(0, exponent + 1) + "." + digits.substr(exponent + 1);
}

}  // namespace

void check_options(const SearchOptions& o) {
  checked_count(o.num_trees, "num_trees", 1, kMaxTrees);
  checked_threads(o.num_threads);
  checked_count(o.node_budget, "node_budget", 1, kMaxNodeBudget);
  checked_real(o.c_puct, "c_puct", false);
  if (o.c_base) checked_real(*o.c_base, "c_base", true);
  checked_real(o.c_init, "c_init", false);
  checked_real(o.dirichlet_alpha, "dirichlet_alpha", true);
  if (checked_real(o.dirichlet_fraction, "dirichlet_fraction", false) > 1)
    throw std::invalid_argument("dirichlet_fraction must be 0 to 1");
  if (!std::isfinite(o.fpu_reduction)) throw std::invalid_argument("fpu_reduction must be finite");
  if (o.fpu_absolute && !std::isfinite(o.fpu_value)) throw std::invalid_argument("fpu_value must be finite");
  checked_real(o.virtual_loss, "virtual_loss", false);
  checked_count(o.gumbel_considered, "gumbel_considered", 1, kActionCount);
  checked_count(o.gumbel_simulations, "gumbel_simulations", 1, kMaxGumbelSimulations);
  checked_real(o.gumbel_c_visit, "gumbel_c_visit", false);
  checked_real(o.gumbel_c_scale, "gumbel_c_scale", false);
  checked_real(o.exploration, "exploration", false);
  if (!((o.gumbel_c_visit + kMostChildVisits) * o.gumbel_c_scale < kLargestGumbelSigma))
    throw std::invalid_argument(
        "gumbel_c_visit and gumbel_c_scale are too large: (gumbel_c_visit + 2147483647) * gumbel_c_scale must stay "
        "below 1e300, or the Gumbel scores overflow; got gumbel_c_visit=" +
        python_float_text(o.gumbel_c_visit) + ", gumbel_c_scale=" + python_float_text(o.gumbel_c_scale));
}

RootSelection root_selection_of(const std::string& name) {
  if (name == "puct") return RootSelection::kPuct;
  if (name == "gumbel") return RootSelection::kGumbel;
  throw std::invalid_argument("root_selection must be \"puct\" or \"gumbel\", got \"" + name + "\"");
}

}  // namespace varnok
