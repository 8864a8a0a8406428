#include "search/mcts.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "env/observation_writer.hpp"
#include "vector/option_checks.hpp"

namespace varnok {

namespace {
// expand's work is a few hundred nanoseconds a leaf, most of it reaching
// the tree's nodes: on the thread that selected the leaves they are still in
// its core's cache. A round of only a few leaves is checked and backed up on
// the calling thread, which costs less than a hand-over.
constexpr int kLeavesWorthHandingOver = 16;
// Trees handed to a thread at a time: a few for descents, so that a thread
// that starts late gives its trees away in small lots, and so that while it
// descends one tree a thread can ask the cache for the next of its own lot
// (a tree of another lot may be another thread's); a few for expand, whose
// work per tree is too small to pay for an atomic hand-out each.
constexpr int kTreesPerDescentChunk = 8;
constexpr int kTreesPerExpandChunk = 4;
}  // namespace

namespace {

// The round's arrays are allocated whole before the descents (tree t writes
// from row t * leaves_per_tree on): a request beyond this is refused rather
// than allocated.
constexpr size_t kMaxLeafArrayBytes = size_t{2} << 30;

// Sequential halving's plan, for Gumbel roots only. A root has at most
// kMoveListCapacity children, and every row from gumbel_simulations
// considered actions on is the same (one visit each, all at count 0), so
// the rows stop there.
std::vector<std::vector<int32_t>> halving_table(const SearchOptions& o) {
  if (o.root_selection != RootSelection::kGumbel) return {};
  return considered_visits_table(
      static_cast<int>(std::min({o.gumbel_considered, o.gumbel_simulations, int64_t{kMoveListCapacity}})),
      static_cast<int>(o.gumbel_simulations));
}

}  // namespace

Mcts::Mcts(const SearchOptions& options)
    : options_(checked_options(options)),
      table_(halving_table(options)),
      pool_(static_cast<int>(std::min(options.num_threads, options.num_trees))) {
  trees_.reserve(options.num_trees);
  for (int t = 0; t < options.num_trees; ++t) trees_.push_back(std::make_unique<MctsTree>(options_, table_, t));
  first_row_.assign(options.num_trees + 1, 0);
  problems_.resize(options.num_trees);
  bad_rows_.resize(options.num_trees);
}

size_t Mcts::observation_row_bytes() const { return observation_bytes(options_.format); }

template <class Work>
void Mcts::for_each_lot(Work work, int chunk, bool pooled) const {
  if (pooled && threads() > 1)
    pool_.run_chunks(size(), chunk, work);
  else
    work(0, size());
}

template <class Work>
void Mcts::for_each_tree(Work work, int chunk, bool pooled) const {
  for_each_lot(
      [&](int begin, int end) {
        for (int t = begin; t < end; ++t) work(t);
      },
      chunk, pooled);
}

void Mcts::set_roots(const std::vector<int>& trees, const std::vector<Episode>& boards) {
  set_roots(trees, pointers_to(boards), false);
}

void Mcts::set_roots(const std::vector<int>& trees, const std::vector<const Episode*>& boards, bool running_games) {
  if (trees.size() != boards.size())
    throw std::invalid_argument("set_roots needs a tree index per root: " + std::to_string(trees.size()) + " and " +
                                std::to_string(boards.size()));
  std::vector<bool> given(size(), false);
  for (const int t : trees) {
    if (t < 0 || t >= size()) throw std::invalid_argument("there is no tree " + std::to_string(t));
    if (given[t]) throw std::invalid_argument("tree " + std::to_string(t) + " is given more than one root");
    given[t] = true;
  }
  for (size_t i = 0; i < boards.size(); ++i) {
    const Episode& board = *boards[i];
    if (board.judge(board.move_index.size() > 0).done()) throw RootError(i, "is a finished game");
    if (options_.format == ObservationFormat::kPacked && !history_is_packable(board.state_history))
      throw RootError(i, "has a history that packed observations cannot hold");
  }
  // Each tree copies its game: a few kilobytes, worth spreading.
  pool_.run_chunks(static_cast<int>(boards.size()), kTreesPerDescentChunk, [&](int begin, int end) {
    for (int i = begin; i < end; ++i) trees_[trees[i]]->set_root(*boards[i], running_games);
  });
  // The trees that keep their root keep their nodes too, but not the leaves
  // of the dropped round.
  for (auto& tree : trees_) tree->drop_round();
  round_open_ = false;
  leaf_count_ = 0;
}

int Mcts::select(int64_t leaves_per_tree) {
  checked_count(leaves_per_tree, "leaves_per_tree", 1, kMaxLeavesPerTree);
  if (round_open_) throw std::runtime_error("the leaves of the last select wait for expand");
  // Tree t writes its rows from row t * leaves_per_tree on, so the trees
  // work apart; the rows are then moved together in tree order.
  const size_t capacity = static_cast<size_t>(size()) * leaves_per_tree;
  const size_t row_bytes = observation_row_bytes();
  if (capacity * (row_bytes + kActionCount + sizeof(int32_t) + sizeof(WrittenRow) + sizeof(WrittenMask)) >
      kMaxLeafArrayBytes)
    throw std::invalid_argument("select(" + std::to_string(leaves_per_tree) + ") over " + std::to_string(size()) +
                                " trees needs room for " + std::to_string(capacity) + " leaves, more than " +
                                std::to_string(kMaxLeafArrayBytes >> 30) +
                                " GiB of arrays: ask for fewer leaves per tree");
  if (!leaf_arrays_ || leaf_arrays_->trees.size() < capacity) {
    leaf_arrays_ = std::make_shared<LeafArrays>();
    leaf_arrays_->observations.resize(capacity * observation_row_bytes());
    leaf_arrays_->written.resize(capacity);
    leaf_arrays_->masks.resize(capacity * kActionCount);
    leaf_arrays_->written_masks.resize(capacity);
    leaf_arrays_->trees.resize(capacity);
  }
  LeafArrays& out = *leaf_arrays_;
  const auto descend = [&](int t) {
    const size_t first = static_cast<size_t>(t) * leaves_per_tree;
    LeafOutput output;
    output.format = options_.format;
    output.observations = out.observations.data() + first * row_bytes;
    output.observation_bytes = row_bytes;
    output.masks = out.masks.data() + first * kActionCount;
    output.written_masks = out.written_masks.data() + first;
    output.written = out.written.data() + first;
    trees_[t]->select(leaves_per_tree, output);
  };
  for_each_lot(
      [&](int begin, int end) {
        for (int t = begin; t < end; ++t) {
          if (t + 1 < end) trees_[t + 1]->prefetch_root();
          descend(t);
        }
      },
      kTreesPerDescentChunk);
  for (int t = 0; t < size(); ++t) {
    const int count = trees_[t]->leaf_count();
    first_row_[t + 1] = first_row_[t] + count;
    const size_t from = static_cast<size_t>(t) * leaves_per_tree, to = first_row_[t];
    // to <= from, and every earlier tree's rows already sit below to.
    if (to != from) {
      std::memmove(out.observations.data() + to * row_bytes, out.observations.data() + from * row_bytes,
                   count * row_bytes);
      for (int j = 0; j < count; ++j)
        copy_mask_row(out.masks.data() + (from + j) * kActionCount, out.written_masks[from + j],
                      out.masks.data() + (to + j) * kActionCount, out.written_masks[to + j]);
      std::copy_n(out.written.begin() + from, count, out.written.begin() + to);
    }
    std::fill(out.trees.begin() + to, out.trees.begin() + to + count, t);
  }
  leaf_count_ = first_row_[size()];
  round_open_ = true;
  return leaf_count_;
}

void Mcts::expand(const float* priors, const float* values, bool logits) {
  if (!round_open_) throw std::runtime_error("expand without a select whose leaves wait for it");
  // Validate every row before any tree changes; the checks keep each leaf's
  // priors, read from its legal entries only, and its value: the caller's
  // arrays are read once, so a thread of the caller's writing them meanwhile
  // cannot slip past the checks.
  std::fill(bad_rows_.begin(), bad_rows_.end(), -1);
  const auto check = [&](int t) {
    // The priors a check reads are a few dozen entries scattered over a row
    // of 4,672, freshly written by the caller: the next tree's are asked
    // for while this one's are read.
    if (t + 1 < size())
      for (int j = 0, row = first_row_[t + 1]; j < trees_[t + 1]->leaf_count(); ++j, ++row)
        trees_[t + 1]->prefetch_priors(j, priors + static_cast<size_t>(row) * kActionCount);
    for (int j = 0, row = first_row_[t]; j < trees_[t]->leaf_count(); ++j, ++row) {
      std::string problem =
          trees_[t]->check_leaf(j, priors + static_cast<size_t>(row) * kActionCount, values[row], logits);
      if (!problem.empty()) {
        problems_[t] = std::move(problem);
        bad_rows_[t] = row;
        return;
      }
    }
  };
  const bool pooled = leaf_count_ >= kLeavesWorthHandingOver;
  for_each_tree(check, kTreesPerExpandChunk, pooled);
  for (int t = 0; t < size(); ++t)
    if (bad_rows_[t] >= 0)
      throw std::invalid_argument("row " + std::to_string(bad_rows_[t]) + " (tree " + std::to_string(t) +
                                  "): " + problems_[t]);
  // The nodes a tree makes for its leaves are asked for while the tree
  // before it in the lot makes its own (another lot's tree may be growing
  // its pool on another thread meanwhile).
  const auto commit = [&](int begin, int end) {
    for (int t = begin; t < end; ++t) {
      if (t + 1 < end) trees_[t + 1]->prefetch_new_children();
      for (int j = 0; j < trees_[t]->leaf_count(); ++j) trees_[t]->expand_checked(j);
      trees_[t]->end_round();
    }
  };
  for_each_lot(commit, kTreesPerExpandChunk, pooled);
  round_open_ = false;
  leaf_count_ = 0;
}

void Mcts::visit_counts(int32_t* out) const {
  for_each_tree([&](int t) { trees_[t]->visit_counts(out + static_cast<size_t>(t) * kActionCount); });
}

void Mcts::root_values(float* out) const {
  for (int t = 0; t < size(); ++t) out[t] = static_cast<float>(trees_[t]->root_value());
}

void Mcts::improved_policy(float* out) const {
  for_each_tree([&](int t) { trees_[t]->improved_policy(out + static_cast<size_t>(t) * kActionCount); });
}

void Mcts::chosen_actions(double temperature, int64_t* out) {
  checked_real(temperature, "temperature", false);
  for (int t = 0; t < size(); ++t) out[t] = trees_[t]->chosen_action(temperature);
}

void Mcts::root_noise(double* out) const {
  for (int t = 0; t < size(); ++t) trees_[t]->root_noise(out + static_cast<size_t>(t) * kActionCount);
}

void Mcts::advance(const int64_t* actions) {
  if (round_open_) throw std::runtime_error("advance while the leaves of a select wait for expand");
  for (int t = 0; t < size(); ++t) {
    const MctsTree& tree = *trees_[t];
    if (tree.finished())
      throw std::invalid_argument("the game at the root of tree " + std::to_string(t) + " is over: nothing to advance");
    if (!tree.root_expanded())
      throw std::invalid_argument("tree " + std::to_string(t) + " has no evaluated root to advance from");
    if (!tree.root_board().move_index.contains(actions[t]))
      throw std::invalid_argument("action " + std::to_string(actions[t]) + " is not legal at the root of tree " +
                                  std::to_string(t));
  }
  for_each_tree([&](int t) { trees_[t]->advance(static_cast<int32_t>(actions[t])); });
}

void Mcts::acquire() {
  if (!caller_.try_take()) SingleCaller::refuse(pool_, "this search");
}

}  // namespace varnok
