#include "search/uct.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "vector/option_checks.hpp"

namespace varnok {

namespace {

// The search tree's settings for roll-out evaluation. No Gumbel root, so no
// halving plan.
SearchOptions roll_out_options(SearchOptions options) {
  options.evaluation = LeafEvaluation::kRollOut;
  options.root_selection = RootSelection::kPuct;
  return options;
}
const std::vector<std::vector<int32_t>> kNoHalvingPlan;

}  // namespace

Uct::Uct(const SearchOptions& options)
    : options_(roll_out_options(checked_options(options))),
      pool_(static_cast<int>(std::min(options.num_threads, options.num_trees))) {
  trees_.reserve(options.num_trees);
  for (int t = 0; t < options.num_trees; ++t) trees_.push_back(std::make_unique<MctsTree>(options_, kNoHalvingPlan, t));
}

void Uct::set_roots(const std::vector<Episode>& boards) { set_roots(pointers_to(boards)); }

void Uct::set_roots(const std::vector<const Episode*>& boards) {
  if (static_cast<int>(boards.size()) != size())
    throw std::invalid_argument("set_roots needs one root per tree: " + std::to_string(size()) + ", got " +
                                std::to_string(boards.size()));
  for (size_t i = 0; i < boards.size(); ++i)
    if (boards[i]->judge(boards[i]->move_index.size() > 0).done()) throw RootError(i, "is a finished game");
  for (size_t i = 0; i < boards.size(); ++i) trees_[i]->set_root(*boards[i]);
}

void Uct::run(int simulations, int32_t* done) {
  // Trees are handed out one at a time: their roll-outs differ in length.
  pool_.run_chunks(size(), 1, [&](int begin, int end) {
    for (int t = begin; t < end; ++t) done[t] = trees_[t]->select(simulations);
  });
}

void Uct::chosen_actions(double temperature, int64_t* out) {
  checked_real(temperature, "temperature", false);
  for (int t = 0; t < size(); ++t) out[t] = trees_[t]->chosen_action(temperature);
}

void Uct::acquire() {
  if (!caller_.try_take()) SingleCaller::refuse(pool_, "this search");
}

}  // namespace varnok
