// Settings out of range are refused by the C++ classes themselves, with the
// message the Python interface shows: a C++ caller gets the same checks.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "search/mcts.hpp"
#include "search/uct.hpp"
#include "vector/roll_outs.hpp"
#include "vector/vector_env.hpp"

namespace varnok {
namespace {

struct Refusal {
  const char* what;
  std::function<void()> build;
  const char* message;  // the start of the error's text
};

void with_search(const std::function<void(SearchOptions&)>& change) {
  SearchOptions o;
  change(o);
  Mcts search(o);
}

void with_uct(const std::function<void(SearchOptions&)>& change) {
  SearchOptions o;
  change(o);
  Uct search(o);
}

void with_vector(const std::function<void(VectorOptions&)>& change) {
  VectorOptions o;
  change(o);
  VectorEnv env(o);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(OptionChecks, RefuseEachSettingOutOfRangeNamingIt) {
  const Refusal refusals[] = {
      {"trees", [] { with_search([](auto& o) { o.num_trees = int64_t{1} << 40; }); },
       "num_trees must be 1 to 1048576, got 1099511627776"},
      {"threads", [] { with_search([](auto& o) { o.num_threads = 0; }); }, "num_threads must be 1 to 1024, got 0"},
      {"budget", [] { with_search([](auto& o) { o.node_budget = int64_t{1} << 31; }); },
       "node_budget must be 1 to 2147483647"},
      {"c_puct", [] { with_search([](auto& o) { o.c_puct = kNaN; }); }, "c_puct must be a finite non-negative"},
      {"c_base", [] { with_search([](auto& o) { o.c_base = 0.0; }); }, "c_base must be a finite positive"},
      {"fraction", [] { with_search([](auto& o) { o.dirichlet_fraction = 1.5; }); },
       "dirichlet_fraction must be 0 to 1"},
      {"fpu", [] { with_search([](auto& o) { o.fpu_absolute = true, o.fpu_value = INFINITY; }); },
       "fpu_value must be finite"},
      {"considered", [] { with_search([](auto& o) { o.gumbel_considered = 4673; }); },
       "gumbel_considered must be 1 to 4672"},
      {"gumbel overflow", [] { with_search([](auto& o) { o.gumbel_c_visit = 50, o.gumbel_c_scale = 1e300; }); },
       "gumbel_c_visit and gumbel_c_scale are too large: (gumbel_c_visit + 2147483647) * gumbel_c_scale must stay "
       "below 1e300, or the Gumbel scores overflow; got gumbel_c_visit=50.0, gumbel_c_scale=1e+300"},
      {"gumbel overflow, small",
       [] { with_search([](auto& o) { o.gumbel_c_visit = 1e308, o.gumbel_c_scale = 0.0125; }); },
       "gumbel_c_visit and gumbel_c_scale are too large: (gumbel_c_visit + 2147483647) * gumbel_c_scale must stay "
       "below 1e300, or the Gumbel scores overflow; got gumbel_c_visit=1e+308, gumbel_c_scale=0.0125"},
      {"uct exploration", [] { with_uct([](auto& o) { o.exploration = -1; }); }, "exploration must be a finite"},
      {"uct trees", [] { with_uct([](auto& o) { o.num_trees = 0; }); }, "num_trees must be 1 to 1048576, got 0"},
      {"envs", [] { with_vector([](auto& o) { o.num_envs = (1 << 20) + 1; }); }, "num_envs must be 1 to 1048576"},
      {"vector threads", [] { with_vector([](auto& o) { o.num_threads = 1025; }); }, "num_threads must be 1 to 1024"},
      {"max_steps", [] { with_vector([](auto& o) { o.max_steps = 0; }); },
       "max_steps must be a positive number of plies, got 0"},
      {"repeats", [] { check_roll_outs({}, -1, 1); }, "repeats must be 0 to 2147483647, got -1"},
      {"roll-out threads", [] { check_roll_outs({}, 1, 0); }, "num_threads must be 1 to 1024"},
      {"leaves", [] { Mcts(SearchOptions{}).select(0); }, "leaves_per_tree must be 1 to 65536, got 0"},
  };
  for (const Refusal& refusal : refusals) {
    try {
      refusal.build();
      ADD_FAILURE() << refusal.what << ": accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()).rfind(refusal.message, 0), 0u) << refusal.what << ": " << e.what();
    }
  }
}

TEST(OptionChecks, NeverStartMoreWorkersThanThereIsWorkFor) {
  SearchOptions search;
  search.num_trees = 2, search.num_threads = 8;
  SearchOptions uct;
  uct.num_trees = 3, uct.num_threads = 8;
  VectorOptions vector;
  vector.num_envs = 1, vector.num_threads = 4;
  EXPECT_EQ(Mcts(search).threads(), 2);
  EXPECT_EQ(Uct(uct).threads(), 3);
  EXPECT_EQ(VectorEnv(vector).threads(), 1);
}

}  // namespace
}  // namespace varnok
