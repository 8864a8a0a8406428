// The search operations fuzz target: the input is a program of operations on
// a few MCTS trees, run on two searches at once (one worker thread and two),
// with UCT runs now and then. The input starts with
//
//   byte     trees (1 + byte % 3), root selection (byte / 4 % 2: PUCT, Gumbel)
//            and the observation format (byte / 8 % 4)
//   byte     the node budget (kBudgets) and virtual loss (byte / 8 % 3)
//   byte     c_base on (bit 0), absolute first-play urgency (bit 1), root noise
//            (bit 2), Gumbel's considered actions (byte / 8 % 4: 1, 2, 4, 16)
//            and simulations (byte / 32 % 4: 1, 3, 8, 64)
//   u16      the seed
//
// then the operations, an opcode byte (modulo 9) and its operands each:
//
//   0 set_roots of every tree       per tree a byte (kSearchRoots, some of
//                                   them finished games) and a byte of plies
//                                   (modulo 4), a byte per ply
//   1 set_roots of some trees       byte mask, then as 0 for each tree in it;
//                                   bit 7 adds a tree that does not exist (-1,
//                                   or one past the last with bit 6), bit 5
//                                   drops the last root
//   2 select                        byte: leaves per tree (1 + byte % 8)
//   3 expand with priors and values operands: see network_answer
//   4 a whole round                 byte k, then a select and an expand with
//                                   priors and values good for it
//   5 advance                       per tree a byte: bit 0 a child of the root
//                                   (chosen by the next byte), else wild_action
//   6 results                       byte: the temperature of choose (kTemperatures)
//   7 set_roots from an edited State operands: byte tree, byte edit count
//                                   (modulo 4), the edits (edit_state)
//   8 UCT                           byte trees (1 + byte % 2), a run before the
//                                   roots (bit 1), solver (bit 2), budget
//                                   (byte / 8 % 4), a root too many (bit 6),
//                                   byte simulations
//                                   (1 + byte % 8), then roots as 0
//
// Properties:
// - both searches hand out the same leaves and give the same results;
// - a leaf's mask row is the legal actions of its game (the root's game with
//   the path's actions played) and its observation row that game's;
// - select during an open round throws std::runtime_error, expand without
//   one too; bad priors or values (NaN, infinities, negative or all-zero
//   probabilities over a leaf's legal actions, a value that is not finite)
//   throw std::invalid_argument; advance with an action that is not a child
//   of every root, or from a root without priors, throws
//   std::invalid_argument; set_roots with a finished game too. After any of
//   these the trees are exactly as they were and the program goes on;
// - in every tree: a node with priors has one visit more than its children
//   together, an unreached node none; with no round open nothing is in
//   flight; the values backed up are finite;
// - the results: visit counts on legal root actions, the sum of the root's;
//   root values finite and no larger than the largest value given (or 1);
//   the improved policy zero without priors, otherwise (PUCT: once visited)
//   sums to 1 over legal actions only; the chosen action a legal one of an
//   evaluated root, -1 otherwise; advance keeps the chosen child's statistics.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/ops_target.hpp"
#include "fuzz/vector_ops_target.hpp"
#include "search/game_path.hpp"
#include "search/mcts.hpp"
#include "search/uct.hpp"

namespace varnok::fuzz {

inline constexpr int kBudgets[] = {1, 2, 30, 300, 100000, 21, 60, 5000};
inline constexpr double kTemperatures[] = {0, 0.25, 1, 3, 1e-3, 100};
inline constexpr int kConsidered[] = {1, 2, 4, 16};
inline constexpr int kGumbelSimulations[] = {1, 3, 8, 64};
// The longest expected line results asks of a tree.
inline constexpr int kLinePlies = 12;

// Values a network must not send (as priors: NaN, infinities, negatives;
// as values: anything outside -1 to 1), and a few it may.
inline constexpr float kSpecialValues[] = {
    std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::infinity(),
    -std::numeric_limits<float>::infinity(),
    -1.0f,
    0.0f,
    -0.0f,
    1e30f,
    std::numeric_limits<float>::max(),
    std::numeric_limits<float>::lowest(),
    std::numeric_limits<float>::denorm_min(),
    -std::numeric_limits<float>::denorm_min(),
    5.0f,
};
inline constexpr int kSpecialCount = sizeof(kSpecialValues) / sizeof(kSpecialValues[0]);

// A root for a tree: a start position (vector_start: the ops positions, then
// finished games) with a few legal plies played by step.
inline Episode search_root(Reader& in) {
  Episode board;
  Position p;
  p.parse_fen(vector_start(in.byte()));
  board.start_from(p);
  for (int plies = in.byte() % 4; plies > 0; --plies) {
    const std::vector<int32_t> legal = legal_actions(board.position);
    const uint8_t pick = in.byte();
    if (legal.empty()) break;
    board.step(legal[pick % legal.size()]);
  }
  return board;
}

inline bool finished_game(const Episode& board) { return board.judge(board.move_index.size() > 0).done(); }

// The game at the end of a leaf's path, stepped by the episode itself: a
// copy of root (listed) with the actions of path[1..] played. Returns the
// verdict on the last position, or no verdict for the root itself.
inline Outcome replay_path(const Episode& root, const NodePool& nodes, const std::vector<int32_t>& path, Episode& out) {
  out = root;
  Outcome outcome;
  for (size_t i = 1; i < path.size(); ++i) outcome = out.play(nodes[path[i]].action);
  return outcome;
}

// Every field of every node, the root's game and the round, to tell whether
// a refused call changed anything and whether two searches agree.
inline std::vector<uint64_t> tree_digest(const MctsTree& tree) {
  std::vector<uint64_t> d;
  const NodePool& nodes = tree.nodes();
  for (int i = 0; i < nodes.size(); ++i) {
    const Node& n = nodes[i];
    uint64_t sum_bits, prior_bits, value_bits;
    std::memcpy(&sum_bits, &n.value_sum, 8);
    std::memcpy(&prior_bits, &n.prior, 8);
    std::memcpy(&value_bits, &n.value, 8);
    d.insert(d.end(),
             {sum_bits, prior_bits, value_bits, static_cast<uint64_t>(n.visits), static_cast<uint64_t>(n.in_flight),
              static_cast<uint64_t>(n.first_child), static_cast<uint64_t>(n.child_count),
              static_cast<uint64_t>(n.action), static_cast<uint64_t>(n.state)});
  }
  d.push_back(tree.root_board().hash_state());
  d.push_back(static_cast<uint64_t>(tree.root_board().total_move_count));
  d.push_back(static_cast<uint64_t>(tree.leaf_count()));
  d.push_back(tree.has_root());
  return d;
}

class SearchOpsRun {
 public:
  explicit SearchOpsRun(Reader& in) {
    const uint8_t shape = in.byte(), tuning = in.byte(), flags = in.byte();
    options_.num_trees = 1 + shape % 3;
    options_.root_selection = (shape / 4 % 2) ? RootSelection::kGumbel : RootSelection::kPuct;
    options_.format = static_cast<ObservationFormat>(shape / 8 % 4);
    options_.node_budget = kBudgets[tuning % 8];
    options_.virtual_loss = tuning / 8 % 3 == 2 ? 3 : tuning / 8 % 3;
    if (flags & 1) options_.c_base = 19652;
    options_.fpu_absolute = flags & 2;
    options_.fpu_value = -1;
    options_.fpu_reduction = 0.25;
    options_.dirichlet_fraction = (flags & 4) ? 0.25 : 0;
    options_.gumbel_considered = kConsidered[flags / 8 % 4];
    options_.gumbel_simulations = kGumbelSimulations[flags / 32 % 4];
    options_.seed = in.u16();
    SearchOptions one = options_, two = options_;
    one.num_threads = 1;
    two.num_threads = std::min<int64_t>(2, options_.num_trees);
    searches_[0] = std::make_unique<Mcts>(one);
    searches_[1] = std::make_unique<Mcts>(two);
    // Every tree starts at the initial position.
    std::vector<int> all;
    std::vector<Episode> boards(trees());
    for (int t = 0; t < trees(); ++t) {
      all.push_back(t);
      boards[t].reset();
    }
    for (auto& search : searches_) search->set_roots(all, boards);
    priors_.resize(static_cast<size_t>(trees()) * 8 * kActionCount);
    values_.resize(static_cast<size_t>(trees()) * 8);
  }

  void run(Reader& in) {
    for (int ops = 0; ops < 48 && !in.empty(); ++ops) {
      switch (in.byte() % 9) {
        case 0: set_roots(in, (1 << trees()) - 1); break;
        case 1: set_roots(in, in.byte()); break;
        case 2: select(1 + in.byte() % 8); break;
        case 3: expand(in, false); break;
        case 4: {
          const int k = 1 + in.byte() % 8;
          if (!searches_[0]->round_open()) select(k);
          expand(in, true);
          break;
        }
        case 5: advance(in); break;
        case 6: results(kTemperatures[in.byte() % 6]); break;
        case 7: set_root_from_state(in); break;
        default: uct(in); break;
      }
      check_trees();
    }
    results(0);
  }

 private:
  int trees() const { return options_.num_trees; }

  std::vector<std::vector<uint64_t>> digest(const Mcts& search) const {
    std::vector<std::vector<uint64_t>> d;
    for (int t = 0; t < trees(); ++t) d.push_back(tree_digest(search.tree(t)));
    d.push_back({static_cast<uint64_t>(search.round_open()), static_cast<uint64_t>(search.leaf_count())});
    return d;
  }

  // Runs call on both searches: both refuse it with Error, leaving the trees
  // as they were, or neither does.
  template <class Error, class Call>
  bool refused_by_both(Call call) {
    std::array<bool, 2> refused{};
    for (int s = 0; s < 2; ++s) {
      const auto before = digest(*searches_[s]);
      try {
        call(*searches_[s]);
      } catch (const Error&) {
        refused[s] = true;
        FUZZ_CHECK(digest(*searches_[s]) == before);
      }
    }
    FUZZ_CHECK(refused[0] == refused[1]);
    return refused[0];
  }

  // ---- the checks

  // Tree invariants, and the two searches agree node for node.
  void check_trees() const {
    for (int t = 0; t < trees(); ++t) {
      const MctsTree& tree = searches_[0]->tree(t);
      FUZZ_CHECK(tree_digest(tree) == tree_digest(searches_[1]->tree(t)));
      const NodePool& nodes = tree.nodes();
      // The root's children have room past the budget; nothing else does.
      FUZZ_CHECK(nodes.size() >= 1 &&
                 nodes.size() <= std::max<int64_t>(options_.node_budget, 1 + nodes[0].child_count));
      const bool round_open = searches_[0]->round_open();
      for (int i = 0; i < nodes.size(); ++i) {
        const Node& n = nodes[i];
        FUZZ_CHECK(std::isfinite(n.value_sum) && std::isfinite(n.value) && std::isfinite(n.prior));
        FUZZ_CHECK(n.visits >= 0 && n.in_flight >= 0);
        if (!round_open) FUZZ_CHECK(n.in_flight == 0);
        int64_t child_visits = 0;
        for (int c = 0; c < n.child_count; ++c) {
          const Node& child = nodes[n.first_child + c];
          FUZZ_CHECK(n.first_child > i && n.first_child + c < nodes.size());
          child_visits += child.visits;
        }
        switch (n.state) {
          // A leaf of a dropped round keeps its children listed.
          case NodeState::kNew: FUZZ_CHECK(n.visits == 0 && child_visits == 0); break;
          case NodeState::kPending: FUZZ_CHECK(round_open && n.visits == 0 && child_visits == 0); break;
          case NodeState::kExpanded: FUZZ_CHECK(n.visits == 1 + child_visits); break;
          case NodeState::kTerminal: FUZZ_CHECK(n.child_count == 0 && std::abs(n.value) <= 1); break;
          case NodeState::kSolved: FUZZ_CHECK(false); break;
        }
      }
    }
  }

  // The rows of the open round against the games they stand for.
  void check_leaves() const {
    const Mcts& search = *searches_[0];
    const LeafArrays& a = *search.leaf_arrays();
    const LeafArrays& b = *searches_[1]->leaf_arrays();
    const size_t rows = search.leaf_count();
    const size_t row_bytes = search.observation_row_bytes();
    FUZZ_CHECK(searches_[1]->leaf_count() == static_cast<int>(rows));
    FUZZ_CHECK(std::memcmp(a.observations.data(), b.observations.data(), rows * row_bytes) == 0);
    FUZZ_CHECK(std::memcmp(a.masks.data(), b.masks.data(), rows * kActionCount) == 0);
    FUZZ_CHECK(std::equal(a.trees.begin(), a.trees.begin() + rows, b.trees.begin()));
    Episode game;
    auto expected = std::make_unique<std::array<int32_t, kObservationValues>>();
    size_t row = 0;
    for (int t = 0; t < trees(); ++t) {
      const MctsTree& tree = search.tree(t);
      for (int j = 0; j < tree.leaf_count(); ++j, ++row) {
        FUZZ_CHECK(row < rows && a.trees[row] == t);
        const Outcome outcome = replay_path(tree.root_board(), tree.nodes(), tree.leaf_path(j), game);
        FUZZ_CHECK(!outcome.done());
        const std::vector<int32_t> legal = legal_actions(game.position);
        const uint8_t* mask = a.masks.data() + row * kActionCount;
        size_t marked = 0;
        for (int action = 0; action < kActionCount; ++action) {
          FUZZ_CHECK(mask[action] <= 1);
          marked += mask[action];
          if (mask[action]) FUZZ_CHECK(contains(legal, action));
        }
        FUZZ_CHECK(marked == legal.size());
        // The observation row, compared through the int32 values.
        write_observation<int32_t>(game, expected->data());
        const uint8_t* obs = a.observations.data() + row * row_bytes;
        if (options_.format == ObservationFormat::kInt32) {
          FUZZ_CHECK(std::memcmp(obs, expected->data(), row_bytes) == 0);
        } else if (options_.format == ObservationFormat::kPacked) {
          std::vector<int32_t> unpacked(kObservationValues);
          unpack_observation(reinterpret_cast<const uint64_t*>(obs), unpacked.data());
          FUZZ_CHECK(std::memcmp(unpacked.data(), expected->data(), sizeof(*expected)) == 0);
        }
      }
    }
    FUZZ_CHECK(row == rows);
  }

  // ---- the operations

  void set_roots(Reader& in, unsigned mask) {
    std::vector<int> which;
    std::vector<Episode> boards;
    bool finished = false;
    for (int t = 0; t < trees(); ++t) {
      if (!(mask & (1u << t))) continue;
      which.push_back(t);
      boards.push_back(search_root(in));
      finished |= finished_game(boards.back());
    }
    // Lists a caller got wrong: a tree that does not exist, a root too few.
    bool wrong_lists = false;
    if (mask & 0x80) {
      which.push_back((mask & 0x40) ? trees() : -1);
      boards.emplace_back().reset();
      wrong_lists = true;
    }
    if ((mask & 0x20) && !boards.empty()) {
      boards.pop_back();
      wrong_lists = true;
    }
    const bool refused = refused_by_both<std::invalid_argument>([&](Mcts& s) { s.set_roots(which, boards); });
    FUZZ_CHECK(refused == (finished || wrong_lists));
    if (!refused) FUZZ_CHECK(!searches_[0]->round_open());
  }

  void set_root_from_state(Reader& in) {
    const int t = in.byte() % trees();
    Episode board;
    State state = searches_[0]->tree(t).root_board().save_state();
    for (int edits = in.byte() % 4; edits > 0; --edits) edit_state(state, in, board);
    try {
      board.restore_state(state);
    } catch (const std::invalid_argument&) {
      return;
    }
    const bool finished = finished_game(board);
    const bool unpackable = options_.format == ObservationFormat::kPacked && !history_is_packable(board.state_history);
    const bool refused = refused_by_both<std::invalid_argument>([&](Mcts& s) { s.set_roots({t}, {board}); });
    FUZZ_CHECK(refused == (finished || unpackable));
  }

  void select(int k) {
    const bool was_open = searches_[0]->round_open();
    std::array<int, 2> rows{};
    const bool refused =
        refused_by_both<std::runtime_error>([&](Mcts& s) { rows[&s == searches_[1].get()] = s.select(k); });
    FUZZ_CHECK(refused == was_open);
    if (refused) return;
    FUZZ_CHECK(rows[0] == rows[1] && rows[0] <= trees() * k);
    for (int t = 0; t < trees(); ++t) FUZZ_CHECK(searches_[0]->tree(t).leaf_count() <= k);
    check_leaves();
  }

  // Priors and values for the rows of the open round, read from the input,
  // with the verdict expand must reach: whether every row is acceptable.
  //   byte mode: bit 0 logits; bits 1-2 the priors' source (all ones, a byte
  //   each, a byte each with one special value, one row all zero); bit 3 NaN
  //   off the legal actions; bit 4 values from bytes in [-1, 1], else with
  //   one special value
  bool network_answer(Reader& in, bool good, bool& logits) {
    const Mcts& search = *searches_[0];
    const LeafArrays& leaves = *search.leaf_arrays();
    const int rows = search.leaf_count();
    const uint8_t mode = good ? (in.byte() & 0x16) : in.byte();
    logits = mode & 1;
    const int source = mode / 2 % 4;
    const int special_row = rows ? in.byte() % rows : 0;
    const float special = kSpecialValues[in.byte() % kSpecialCount];
    const float off_legal = (mode & 8) ? std::numeric_limits<float>::quiet_NaN() : -7.0f;
    bool acceptable = true;
    for (int row = 0; row < rows; ++row) {
      float* p = priors_.data() + static_cast<size_t>(row) * kActionCount;
      const uint8_t* mask = leaves.masks.data() + static_cast<size_t>(row) * kActionCount;
      double sum = 0;
      bool special_done = false;
      for (int action = 0; action < kActionCount; ++action) {
        if (!mask[action]) {
          p[action] = off_legal;
          continue;
        }
        float x = 1.0f;
        if (source == 1 || source == 2) x = logits ? (static_cast<int>(in.byte()) - 128) / 8.0f : in.byte() / 16.0f;
        if (source == 2 && row == special_row && !special_done) {
          x = special;
          special_done = true;
        }
        if (source == 3 && row == special_row) x = 0;
        p[action] = x;
        if (logits && !std::isfinite(x)) acceptable = false;
        if (!logits && !(std::isfinite(x) && x >= 0)) acceptable = false;
        sum += x;
      }
      if (!logits && !(sum > 0)) acceptable = false;
      float v = (static_cast<int>(in.byte()) - 128) / 128.0f;
      if (!(mode & 16) && row == special_row) v = special;
      values_[row] = v;
      if (!(std::isfinite(v) && std::abs(v) <= 1)) acceptable = false;  // a value is a result: -1 to 1
      if (std::isfinite(v)) largest_value_ = std::max<double>(largest_value_, std::abs(v));
    }
    return acceptable;
  }

  void expand(Reader& in, bool good) {
    if (!searches_[0]->round_open()) {
      FUZZ_CHECK(
          refused_by_both<std::runtime_error>([&](Mcts& s) { s.expand(priors_.data(), values_.data(), false); }));
      return;
    }
    bool logits = false;
    const bool acceptable = network_answer(in, good, logits);
    const bool refused =
        refused_by_both<std::invalid_argument>([&](Mcts& s) { s.expand(priors_.data(), values_.data(), logits); });
    FUZZ_CHECK(refused == !acceptable);
    FUZZ_CHECK(searches_[0]->round_open() == refused);
  }

  void advance(Reader& in) {
    std::vector<int64_t> actions(trees());
    bool all_good = !searches_[0]->round_open();
    std::vector<int32_t> kept_visits(trees());
    for (int t = 0; t < trees(); ++t) {
      const MctsTree& tree = searches_[0]->tree(t);
      const std::vector<int32_t> legal = legal_actions(tree.root_board().position);
      if (in.byte() & 1 && !legal.empty()) {
        actions[t] = legal[in.byte() % legal.size()];
      } else {
        actions[t] = wild_action(in, legal);
      }
      all_good = all_good && tree.root_expanded() && actions[t] == static_cast<int32_t>(actions[t]) &&
                 contains(legal, static_cast<int32_t>(actions[t]));
      if (tree.root_expanded()) {
        const Node& root = tree.nodes()[0];
        for (int c = 0; c < root.child_count; ++c)
          if (tree.nodes()[root.first_child + c].action == actions[t])
            kept_visits[t] = tree.nodes()[root.first_child + c].visits;
      }
    }
    std::array<bool, 2> refused{};
    for (int s = 0; s < 2; ++s) {
      const auto before = digest(*searches_[s]);
      try {
        searches_[s]->advance(actions.data());
      } catch (const std::invalid_argument&) {
        refused[s] = true;
      } catch (const std::runtime_error&) {
        refused[s] = true;
      }
      if (refused[s]) FUZZ_CHECK(digest(*searches_[s]) == before);
    }
    FUZZ_CHECK(refused[0] == refused[1]);
    FUZZ_CHECK(refused[0] == !all_good);
    if (refused[0]) return;
    for (int t = 0; t < trees(); ++t) FUZZ_CHECK(searches_[0]->tree(t).nodes()[0].visits == kept_visits[t]);
  }

  void results(double temperature) {
    std::array<std::vector<int32_t>, 2> visits;
    std::array<std::vector<float>, 2> values, policy;
    std::array<std::vector<int64_t>, 2> chosen;
    std::array<std::vector<double>, 2> noise;
    for (int s = 0; s < 2; ++s) {
      Mcts& search = *searches_[s];
      visits[s].resize(trees() * kActionCount);
      values[s].resize(trees());
      policy[s].resize(trees() * kActionCount);
      chosen[s].resize(trees());
      noise[s].resize(trees() * kActionCount);
      search.visit_counts(visits[s].data());
      search.root_values(values[s].data());
      search.improved_policy(policy[s].data());
      search.chosen_actions(temperature, chosen[s].data());
      search.root_noise(noise[s].data());
    }
    FUZZ_CHECK(visits[0] == visits[1] && chosen[0] == chosen[1]);
    FUZZ_CHECK(std::memcmp(values[0].data(), values[1].data(), trees() * sizeof(float)) == 0);
    FUZZ_CHECK(std::memcmp(policy[0].data(), policy[1].data(), policy[0].size() * sizeof(float)) == 0);
    FUZZ_CHECK(std::memcmp(noise[0].data(), noise[1].data(), noise[0].size() * sizeof(double)) == 0);
    for (int t = 0; t < trees(); ++t) {
      const MctsTree& tree = searches_[0]->tree(t);
      const std::vector<int32_t> legal = legal_actions(tree.root_board().position);
      const Node& root = tree.nodes()[0];
      int64_t visit_sum = 0;
      double policy_sum = 0;
      for (int action = 0; action < kActionCount; ++action) {
        const int32_t n = visits[0][t * kActionCount + action];
        const float p = policy[0][t * kActionCount + action];
        const double x = noise[0][t * kActionCount + action];
        FUZZ_CHECK(n >= 0 && std::isfinite(p) && p >= 0 && std::isfinite(x));
        if (!contains(legal, action)) FUZZ_CHECK(n == 0 && p == 0 && x == 0);
        visit_sum += n;
        policy_sum += p;
      }
      if (tree.root_expanded()) FUZZ_CHECK(visit_sum == root.visits - 1);
      const float value = values[0][t];
      FUZZ_CHECK(std::isfinite(value) && std::abs(value) <= std::max(1.0, largest_value_) * (1 + 1e-6));
      const bool policy_given =
          tree.root_expanded() && (options_.root_selection == RootSelection::kGumbel || visit_sum > 0);
      if (policy_given) FUZZ_CHECK(std::abs(policy_sum - 1) < 1e-4);
      if (!policy_given) FUZZ_CHECK(policy_sum == 0);
      if (tree.root_expanded()) {
        FUZZ_CHECK(contains(legal, static_cast<int32_t>(chosen[0][t])));
      } else {
        FUZZ_CHECK(chosen[0][t] == -1);
      }
      // The expected line starts with the greedy move and is a legal line.
      const std::vector<int32_t> line = tree.principal_variation(kLinePlies);
      FUZZ_CHECK(line == searches_[1]->tree(t).principal_variation(kLinePlies));
      FUZZ_CHECK(line.empty() == !tree.root_expanded() && static_cast<int>(line.size()) <= kLinePlies);
      if (temperature == 0 && !line.empty()) FUZZ_CHECK(line[0] == chosen[0][t]);
      Episode board = tree.root_board();
      for (int32_t action : line) {
        FUZZ_CHECK(contains(legal_actions(board.position), action));
        board.play(action);
      }
    }
  }

  void uct(Reader& in) {
    const uint8_t shape = in.byte();
    SearchOptions options;
    options.num_trees = 1 + shape % 2;
    options.solver = shape & 4;
    options.node_budget = kBudgets[shape / 8 % 4];
    options.seed = options_.seed;
    const int simulations = 1 + in.byte() % 8;
    // shape bit 6: one root more than trees, which set_roots refuses.
    const int root_count = options.num_trees + ((shape & 64) ? 1 : 0);
    std::vector<Episode> boards;
    bool finished = false;
    for (int t = 0; t < root_count; ++t) {
      boards.push_back(search_root(in));
      finished |= finished_game(boards.back());
    }
    const bool refusable = finished || root_count != options.num_trees;
    std::array<std::unique_ptr<Uct>, 2> ucts;
    std::array<std::vector<int32_t>, 2> done, visits;
    for (int s = 0; s < 2; ++s) {
      SearchOptions o = options;
      o.num_threads = s + 1;
      ucts[s] = std::make_unique<Uct>(o);
      done[s].assign(options.num_trees, -1);
      if (shape & 2) {  // shape bit 1: a run before any root runs nothing
        ucts[s]->run(simulations, done[s].data());
        for (int32_t n : done[s]) FUZZ_CHECK(n == 0);
      }
      try {
        ucts[s]->set_roots(boards);
      } catch (const std::invalid_argument&) {
        FUZZ_CHECK(refusable);
        return;
      }
      FUZZ_CHECK(!refusable);
      ucts[s]->run(simulations, done[s].data());
      visits[s].resize(options.num_trees * kActionCount);
      for (int t = 0; t < options.num_trees; ++t) ucts[s]->tree(t).visit_counts(visits[s].data() + t * kActionCount);
    }
    FUZZ_CHECK(done[0] == done[1] && visits[0] == visits[1]);
    for (int t = 0; t < options.num_trees; ++t) {
      const MctsTree& tree = ucts[0]->tree(t);
      FUZZ_CHECK(done[0][t] >= 0 && done[0][t] <= simulations);
      FUZZ_CHECK(tree.root_value() == ucts[1]->tree(t).root_value());
      FUZZ_CHECK(std::isfinite(tree.root_value()) && std::abs(tree.root_value()) <= 1);
      FUZZ_CHECK(tree.best_action() == ucts[1]->tree(t).best_action());
      int64_t visit_sum = 0;
      for (int action = 0; action < kActionCount; ++action) visit_sum += visits[0][t * kActionCount + action];
      FUZZ_CHECK(visit_sum <= done[0][t]);
      const std::vector<int32_t> legal = legal_actions(boards[t].position);
      const int32_t best = tree.best_action();
      FUZZ_CHECK(best == -1 || contains(legal, best));
      if (tree.solved()) FUZZ_CHECK(std::abs(tree.root_value()) == 1);
    }
  }

  SearchOptions options_;
  std::array<std::unique_ptr<Mcts>, 2> searches_;
  std::vector<float> priors_, values_;
  double largest_value_ = 0;
};

inline void run_search_ops_input(const uint8_t* data, size_t size) {
  Reader in(data, size);
  SearchOpsRun run(in);
  run.run(in);
}

}  // namespace varnok::fuzz
