// MCTS (batched PUCT or Gumbel search driven by the caller's network) and
// UCT (roll-out search). The binding converts roots and arrays and calls one
// operation of the search layer, with the interpreter lock released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <string>

#include "core/fen_strict.hpp"
#include "env/random.hpp"
#include "module/arrays.hpp"
#include "module/bindings.hpp"
#include "module/interrupt.hpp"
#include "module/memory_error.hpp"
#include "module/seed_argument.hpp"
#include "search/mcts.hpp"
#include "search/uct.hpp"
#include "vector/option_checks.hpp"

namespace varnok::binding {

namespace {

// The rows of one select: what the network reads, and where each row goes.
struct Leaves {
  using bound_value = void;
  py::array obs, legal_mask, tree;
};

struct PyMcts {
  using bound_value = void;
  std::unique_ptr<Mcts> search;
  bool copy = false;
  // The views of the last select, handed out again while the rows are the
  // same arrays: making three arrays cost a tenth of a small round.
  std::shared_ptr<LeafArrays> viewed_arrays;
  py::ssize_t viewed_rows = -1;
  py::array viewed_obs, viewed_mask, viewed_tree;
};

struct PyUct {
  using bound_value = void;
  std::unique_ptr<Uct> search;
  bool rooted = false;
};

// The defaults of the keyword arguments: the option struct's own (and UCT's
// node budget).
const SearchOptions kSearchDefaults;

// The lines a search expects (MctsTree::principal_variation), for MCTS and UCT alike.
constexpr int64_t kDefaultLinePlies = 32;

template <class Bound>
void def_principal_variation(py::class_<Bound>& bound) {
  bound.def(
      "principal_variation",
      [](Bound& s, int64_t tree, int64_t max_plies) {
        Held use(*s.search);
        if (tree < 0 || tree >= s.search->size())
          throw py::index_error("tree " + std::to_string(tree) + " is outside 0 to " +
                                std::to_string(s.search->size() - 1));
        if (max_plies < 0) throw py::value_error("max_plies must be at least 0, got " + std::to_string(max_plies));
        const std::vector<int32_t> line =
            s.search->tree(static_cast<int>(tree))
                .principal_variation(static_cast<int>(std::min<int64_t>(max_plies, INT32_MAX)));
        py::array_t<int64_t> out(static_cast<py::ssize_t>(line.size()));
        std::copy(line.begin(), line.end(), out.mutable_data());
        return out;
      },
      py::arg("tree").noconvert() = 0, py::arg("max_plies").noconvert() = kDefaultLinePlies,
      "int64 (at most max_plies,): the line tree expects from its root: the move choose_actions(0) plays, then "
      "at each node the most visited child (a proved win first, with the solver), while one was visited. Empty "
      "before the root has priors (MCTS) or any simulation (UCT). IndexError for a tree outside 0 to "
      "num_trees - 1.");
}

// Any object with num_envs and save_state is taken as a VectorEnv's rows
// (a wrapper around one, say); a VectorEnv itself is read natively.
bool is_vector_env(const py::handle& roots) {
  return native_vector_env(roots) != nullptr || (py::hasattr(roots, "num_envs") && py::hasattr(roots, "save_state"));
}

// The rows of a VectorEnv given as roots (any object with num_envs and
// save_state is taken as one): TypeError naming what does not fit.
int64_t vector_env_rows(const py::handle& roots) {
  const py::object rows = roots.attr("num_envs");
  int64_t count;
  try {
    count = rows.cast<int64_t>();
  } catch (const py::cast_error&) {
    throw py::type_error(std::string("roots.num_envs must be an int, got ") + Py_TYPE(rows.ptr())->tp_name);
  }
  if (count < 0) throw py::value_error("roots.num_envs must be 0 or more, got " + std::to_string(count));
  return count;
}

const State& vector_env_row(const py::handle& roots, int64_t row, py::object& keep) {
  keep = roots.attr("save_state")(row);
  if (!py::isinstance<State>(keep))
    throw py::type_error("roots.save_state(" + std::to_string(row) + ") must return a State, got " +
                         Py_TYPE(keep.ptr())->tp_name);
  return keep.cast<const State&>();
}

// The rows of a VectorEnv of n rows that give the roots: those of rows, or
// every row. TypeError when rows come without a VectorEnv, IndexError for a
// row outside it.
std::vector<int64_t> root_rows(int64_t n, const std::optional<std::vector<int64_t>>& rows) {
  if (!rows) {
    std::vector<int64_t> every(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) every[i] = i;
    return every;
  }
  for (const int64_t row : *rows)
    if (row < 0 || row >= n)
      throw py::index_error("row " + std::to_string(row) + " is outside 0 to " + std::to_string(n - 1));
  return *rows;
}

void check_rows_given_with_vector_env(const py::handle& roots, const std::optional<std::vector<int64_t>>& rows) {
  if (rows && !is_vector_env(roots)) throw py::type_error("rows picks rows of a VectorEnv: roots must be one");
}

// How many roots roots holds, read before any is converted (a VectorEnv's
// rows, or those of rows; a sequence's length).
int64_t root_count(const py::handle& roots, const std::optional<std::vector<int64_t>>& rows = std::nullopt) {
  check_rows_given_with_vector_env(roots, rows);
  if (rows) return static_cast<int64_t>(rows->size());
  if (VectorEnv* env = native_vector_env(roots)) return env->size();
  if (is_vector_env(roots)) return vector_env_rows(roots);
  if (py::isinstance<py::str>(roots) || !py::isinstance<py::sequence>(roots))
    throw py::type_error("roots must be a VectorEnv or a sequence of State, ChessEnv or FEN text");
  return static_cast<int64_t>(py::len(roots));
}

// The draw rules of a root that has its own (a ChessEnv, a VectorEnv's
// rows): ValueError when rules names others.
DrawRules own_rules(DrawRules own, const std::optional<std::string>& rules, const std::string& root) {
  if (rules && draw_rules_of(*rules) != own)
    throw py::value_error(root + " plays by rules=\"" + draw_rules_name(own) + "\", not \"" + *rules + "\"");
  return own;
}

}  // namespace

std::string RootBoards::name(size_t i) const {
  if (rows_.empty()) return "root " + std::to_string(i);
  const std::string row = "row " + std::to_string(rows_[i]) + " of the VectorEnv";
  return rows_given_ ? row + " (rows[" + std::to_string(i) + "])" : row;
}

RootBoards root_boards(const py::handle& roots, const std::optional<std::string>& rules,
                       const std::optional<std::vector<int64_t>>& rows) {
  check_rows_given_with_vector_env(roots, rows);
  const DrawRules given = draw_rules_of(rules.value_or("classic"));
  RootBoards out;
  out.rows_given_ = rows.has_value();
  if (VectorEnv* env = native_vector_env(roots)) {
    out.held_ = std::make_unique<Held<VectorEnv>>(*env);
    own_rules(env->rules(), rules, "the VectorEnv");
    out.rows_ = root_rows(env->size(), rows);
    out.boards_.reserve(out.rows_.size());
    for (const int64_t row : out.rows_) out.boards_.push_back(&env->board(static_cast<int>(row)));
    return out;
  }
  std::vector<Episode>& boards = out.made_;
  if (is_vector_env(roots)) {
    const std::vector<int64_t> picked = root_rows(vector_env_rows(roots), rows);
    out.rows_ = picked;
    // Anything with num_envs and save_state serves; without rules of its own it plays by rules.
    DrawRules own = given;
    if (py::hasattr(roots, "rules")) {
      const py::object named = roots.attr("rules");
      if (!py::isinstance<py::str>(named))
        throw py::type_error(std::string("roots.rules must be a str, got ") + Py_TYPE(named.ptr())->tp_name);
      own = own_rules(draw_rules_of(named.cast<std::string>()), rules, "the VectorEnv");
    }
    py::object state;
    for (size_t i = 0; i < picked.size(); ++i) {
      Episode& board = boards.emplace_back(own);
      try {
        board.restore_state(vector_env_row(roots, picked[i], state));
      } catch (const std::invalid_argument& e) {
        throw py::value_error(out.name(i) + ": " + e.what());
      }
    }
    out.boards_ = pointers_to(boards);
    return out;
  }
  if (py::isinstance<py::str>(roots) || !py::isinstance<py::sequence>(roots))
    throw py::type_error("roots must be a VectorEnv or a sequence of State, ChessEnv or FEN text");
  const py::sequence items = py::reinterpret_borrow<py::sequence>(roots);
  boards.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    // Held for the whole step: a sequence may make its items as they are
    // asked for (a NumPy array of FEN texts does), and such an item lives
    // only as long as this reference.
    const py::object item = items[i];
    Episode& board = boards.emplace_back(given);
    if (py::isinstance<py::str>(item)) {
      // Checked as ChessEnv.load_fen checks; the clocks are not taken (the
      // game at the root counts from 0).
      try {
        Position start = parse_fen_strict(item.cast<std::string>()).position;
        start.no_progress_count = 0;
        board.start_from(start);
      } catch (const std::invalid_argument& e) {
        throw py::value_error("root " + std::to_string(i) + ": " + e.what());
      }
    } else if (py::isinstance<State>(item)) {
      try {
        board.restore_state(item.cast<const State&>());
      } catch (const std::invalid_argument& e) {
        throw py::value_error("root " + std::to_string(i) + ": " + e.what());
      }
    } else if (py::isinstance<Episode>(item)) {
      board = item.cast<const Episode&>();
      own_rules(board.rules, rules, "root " + std::to_string(i));
    } else {
      throw py::type_error("root " + std::to_string(i) + " is not a State, ChessEnv or FEN text");
    }
  }
  out.boards_ = pointers_to(boards);
  return out;
}

namespace {

// A float array of the given shape, as contiguous float32: TypeError for
// anything that is not a real-valued array, ValueError for another shape.
py::array_t<float, py::array::c_style | py::array::forcecast> float_rows(const py::handle& values,
                                                                         std::vector<py::ssize_t> shape,
                                                                         const char* what) {
  py::array array = py::array::ensure(values);
  if (!array) throw py::type_error(std::string(what) + " must be an array of numbers");
  const char kind = array.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u')
    throw py::type_error(std::string(what) + " must hold real numbers, got dtype " +
                         py::str(array.dtype()).cast<std::string>());
  check_shape(array, shape, what);
  return py::array_t<float, py::array::c_style | py::array::forcecast>(array);
}

}  // namespace

void bind_search(py::module_& m) {
  py::class_<Leaves>(m, "SearchLeaves",
                     "The leaves of one MCTS.select, one row per leaf, rows grouped by tree in tree order. Pass the "
                     "network's output for exactly these rows to MCTS.expand. Unless the MCTS was made with "
                     "copy=True the arrays are read-only views that the next select overwrites.")
      .def_readonly("obs", &Leaves::obs,
                    "Observations: float32 (L, 119, 8, 8) (or the MCTS's obs_dtype; packed: uint64 (L, 119)), as the "
                    "vector environment writes them")
      .def_readonly("legal_mask", &Leaves::legal_mask, "bool (L, 4672): True where an action is legal at the leaf")
      .def_readonly("tree", &Leaves::tree, "int32 (L,): the tree each row belongs to")
      .def("__len__", [](const Leaves& l) { return py::len(l.tree); }, "The number of leaves (rows) handed out.");

  py::class_<PyMcts> mcts(
      m, "MCTS",
      "num_trees independent search trees grown together: select() hands out the leaves of every tree "
      "as one batch for the network, expand() takes its priors and values back. PUCT everywhere "
      "(AlphaZero), or Gumbel-Top-k with sequential halving at the root (root_selection=\"gumbel\"). "
      "Finished games met in a tree are scored natively and never sent. Trees are spread over "
      "worker threads; with a seed, results are the same for any num_threads.");
  def_draws(mcts, [](PyMcts& s) { return Held(*s.search); });
  def_principal_variation(mcts);
  mcts.def(py::init([](int64_t num_trees, double c_puct, std::optional<double> c_base, double c_init,
                       double dirichlet_alpha, double dirichlet_fraction, double fpu_reduction,
                       std::optional<double> fpu_value, double virtual_loss, int64_t node_budget,
                       const std::string& root_selection_name, int64_t gumbel_considered, int64_t gumbel_simulations,
                       double gumbel_c_visit, double gumbel_c_scale, const std::string& obs_dtype,
                       std::optional<int64_t> num_threads, std::optional<Seed<uint64_t>> seed, bool copy) {
             SearchOptions o;
             o.num_trees = num_trees;
             o.num_threads = num_threads.value_or(ThreadPool::processor_count());
             o.seed = given_or_os_seed(seed);
             o.format = observation_format(obs_dtype);
             o.node_budget = node_budget;
             o.c_puct = c_puct;
             o.c_base = c_base;
             o.c_init = c_init;
             o.dirichlet_alpha = dirichlet_alpha;
             o.dirichlet_fraction = dirichlet_fraction;
             o.fpu_reduction = fpu_reduction;
             o.fpu_absolute = fpu_value.has_value();
             o.fpu_value = fpu_value.value_or(0);
             o.virtual_loss = virtual_loss;
             o.root_selection = root_selection_of(root_selection_name);
             o.gumbel_considered = gumbel_considered;
             o.gumbel_simulations = gumbel_simulations;
             o.gumbel_c_visit = gumbel_c_visit;
             o.gumbel_c_scale = gumbel_c_scale;
             auto self = std::make_unique<PyMcts>();
             self->copy = copy;
             self->search = made_or_memory_error("MCTS(num_trees=" + std::to_string(num_trees) + ")",
                                                 [&] { return std::make_unique<Mcts>(o); });
             return self;
           }),
           py::arg("num_trees").noconvert(), py::kw_only(), py::arg("c_puct") = kSearchDefaults.c_puct,
           py::arg("c_base") = py::none(), py::arg("c_init") = kSearchDefaults.c_init,
           py::arg("dirichlet_alpha") = kSearchDefaults.dirichlet_alpha,
           py::arg("dirichlet_fraction") = kSearchDefaults.dirichlet_fraction,
           py::arg("fpu_reduction") = kSearchDefaults.fpu_reduction, py::arg("fpu_value") = py::none(),
           py::arg("virtual_loss") = kSearchDefaults.virtual_loss,
           py::arg("node_budget").noconvert() = kSearchDefaults.node_budget, py::arg("root_selection") = "puct",
           py::arg("gumbel_considered").noconvert() = kSearchDefaults.gumbel_considered,
           py::arg("gumbel_simulations").noconvert() = kSearchDefaults.gumbel_simulations,
           py::arg("gumbel_c_visit") = kSearchDefaults.gumbel_c_visit,
           py::arg("gumbel_c_scale") = kSearchDefaults.gumbel_c_scale, py::arg("obs_dtype") = "float32",
           py::arg("num_threads").noconvert() = py::none(), py::arg("seed").noconvert() = py::none(),
           py::arg("copy") = false,
           "PUCT picks argmax Q(a) + c * P(a) * sqrt(N) / (1 + N(a)), N the parent's visits; c is c_puct, or "
           "log((1 + N + c_base) / c_base) + c_init when c_base is given. An unvisited child's Q is the parent's "
           "value minus fpu_reduction, or fpu_value when given. Each descent waiting for its value counts as "
           "virtual_loss lost visits on its path. Dirichlet(dirichlet_alpha) noise is mixed into the root's priors "
           "with weight dirichlet_fraction (0: none; PUCT only). root_selection=\"gumbel\" plans gumbel_simulations "
           "root simulations over gumbel_considered actions (mctx's defaults c_visit=50, c_scale=0.1). node_budget "
           "bounds the nodes of each tree (a descent needing more is dropped; the root's children always have room). "
           "obs_dtype as for VectorEnv. seed makes "
           "all noise and sampling reproducible. select returns read-only views that the next select overwrites; "
           "copy=True returns fresh arrays instead.")
      .def_property_readonly(
          "num_trees", [](const PyMcts& s) { return s.search->size(); }, "The number of trees searched together.")
      .def_property_readonly(
          "num_threads", [](const PyMcts& s) { return s.search->threads(); }, "The number of worker threads.")
      .def_property_readonly(
          "obs_dtype", [](const PyMcts& s) { return observation_format_name(s.search->options().format); },
          "The format of the leaves' observations: \"float32\", \"int32\", \"uint8\" or \"packed\".")
      .def_property_readonly(
          "round_open",
          [](PyMcts& s) {
            Held use(*s.search);
            return s.search->round_open();
          },
          "True between a select and its expand")
      .def(
          "set_roots",
          [](PyMcts& s, const py::handle& roots, std::optional<std::vector<int64_t>> trees,
             const std::optional<std::string>& rules, const std::optional<std::vector<int64_t>>& rows) {
            Held use(*s.search);
            const int64_t count = root_count(roots, rows);
            std::vector<int> which;
            if (trees) {
              if (static_cast<int64_t>(trees->size()) != count)
                throw py::value_error("trees and roots differ in length: " + std::to_string(trees->size()) + " and " +
                                      std::to_string(count));
              for (int64_t t : *trees) which.push_back(checked_count(t, "a tree index", 0, s.search->size() - 1));
            } else {
              if (count != s.search->size())
                throw py::value_error("set_roots needs one root per tree: " + std::to_string(s.search->size()) +
                                      ", got " + std::to_string(count));
              for (int t = 0; t < s.search->size(); ++t) which.push_back(t);
            }
            const RootBoards boards = root_boards(roots, rules, rows);
            try {
              py::gil_scoped_release unlocked;
              s.search->set_roots(which, boards.boards(), boards.running_games());
            } catch (const RootError& e) {
              throw py::value_error(boards.refusal(e));
            }
          },
          py::arg("roots"), py::arg("trees").noconvert() = py::none(), py::arg("rules") = py::none(), py::kw_only(),
          py::arg("rows").noconvert() = py::none(),
          "Starts a new tree per root: roots is a VectorEnv (its current games, read in place; with rows, the games "
          "of those rows in that order), or a list of State, ChessEnv or FEN "
          "text, one per tree, or one per index in trees (then only those trees restart). A finished game raises "
          "ValueError and nothing changes. The search plays by each root's draw rules: a ChessEnv's or the "
          "VectorEnv's own, rules (\"classic\" by default, \"fide\" or \"fide-strict\") for States and FEN texts; "
          "rules naming "
          "other rules than a ChessEnv or VectorEnv root has raises ValueError. Any round waiting for expand is "
          "dropped.")
      .def(
          "select",
          [](PyMcts& s, int64_t leaves_per_tree) {
            Held use(*s.search);
            Mcts& search = *s.search;
            py::ssize_t rows;
            {
              py::gil_scoped_release unlocked;
              rows = search.select(leaves_per_tree);
            }
            Leaves leaves;
            if (!s.copy && s.viewed_arrays == search.leaf_arrays() && s.viewed_rows == rows) {
              leaves.obs = s.viewed_obs;
              leaves.legal_mask = s.viewed_mask;
              leaves.tree = s.viewed_tree;
              return leaves;
            }
            const ObservationFormat format = search.options().format;
            // The arrays live as long as any view on them.
            const py::capsule owner(new std::shared_ptr<LeafArrays>(search.leaf_arrays()),
                                    [](void* p) { delete static_cast<std::shared_ptr<LeafArrays>*>(p); });
            const LeafArrays& arrays = *search.leaf_arrays();
            leaves.obs = view(observation_dtype(format), observation_shape(format, rows), arrays.observations.data(),
                              owner, s.copy);
            leaves.legal_mask = view(py::dtype::of<bool>(), {rows, kActionCount}, arrays.masks.data(), owner, s.copy);
            leaves.tree = view(py::dtype::of<int32_t>(), {rows}, arrays.trees.data(), owner, s.copy);
            if (!s.copy) {
              s.viewed_arrays = search.leaf_arrays();
              s.viewed_rows = rows;
              s.viewed_obs = leaves.obs;
              s.viewed_mask = leaves.legal_mask;
              s.viewed_tree = leaves.tree;
            }
            return leaves;
          },
          py::arg("leaves_per_tree").noconvert() = 1,
          "Makes leaves_per_tree descents in every tree and returns the new leaves (SearchLeaves). A descent that "
          "ends in a finished game is backed up at once; one that meets a leaf already taken this round, or "
          "needs more nodes than node_budget, is dropped; so a tree may give fewer rows. RuntimeError while the "
          "last select waits for expand.")
      .def(
          "expand",
          [](PyMcts& s, const py::handle& priors, const py::handle& values, bool logits) {
            Held use(*s.search);
            Mcts& search = *s.search;
            if (!search.round_open()) throw std::runtime_error("expand without a select whose leaves wait for it");
            const py::ssize_t rows = search.leaf_count();
            auto p = float_rows(priors, {rows, kActionCount}, "priors");
            auto v = float_rows(values, {rows}, "values");
            {
              py::gil_scoped_release unlocked;
              search.expand(p.data(), v.data(), logits);
            }
          },
          py::arg("priors"), py::arg("values"), py::arg("logits") = false,
          "The network's answer for the rows of the last select: priors (L, 4672), probabilities (logits=False; "
          "non-negative, normalised over the legal actions) or logits (logits=True; softmax over the legal "
          "actions), illegal entries ignored; values (L,) for each leaf's side to move, -1 to 1 (as float32). Bad "
          "input (shape, NaN, negative priors, values outside -1 to 1) raises TypeError or ValueError and changes "
          "nothing; the round stays open.")
      .def(
          "visit_counts",
          [](PyMcts& s) {
            Held use(*s.search);
            py::array_t<int32_t> out(
                {static_cast<py::ssize_t>(s.search->size()), static_cast<py::ssize_t>(kActionCount)});
            py::gil_scoped_release unlocked;
            s.search->visit_counts(out.mutable_data());
            return out;
          },
          "int32 (num_trees, 4672): completed visits of each root action")
      .def(
          "root_values",
          [](PyMcts& s) {
            Held use(*s.search);
            py::array_t<float> out(s.search->size());
            s.search->root_values(out.mutable_data());
            return out;
          },
          "float32 (num_trees,): the mean value backed up at each root, for its side to move (a finished root: "
          "its result)")
      .def(
          "policy",
          [](PyMcts& s) {
            Held use(*s.search);
            py::array_t<float> out(
                {static_cast<py::ssize_t>(s.search->size()), static_cast<py::ssize_t>(kActionCount)});
            py::gil_scoped_release unlocked;
            s.search->improved_policy(out.mutable_data());
            return out;
          },
          "float32 (num_trees, 4672): the improved policy, a training target: visit shares (PUCT) or "
          "softmax(logits + sigma(completed Q)) (Gumbel); zeros where the root has no priors yet")
      .def(
          "choose_actions",
          [](PyMcts& s, double temperature) {
            Held use(*s.search);
            py::array_t<int64_t> out(s.search->size());
            s.search->chosen_actions(temperature, out.mutable_data());
            return out;
          },
          py::arg("temperature") = 0.0,
          "int64 (num_trees,): the move to play per tree: PUCT, the most visited (temperature 0) or drawn in "
          "proportion to visits ** (1 / temperature) from the tree's seeded generator; Gumbel, the winner of the "
          "sequential halving. -1 where the root has no priors yet.")
      .def(
          "root_noise",
          [](PyMcts& s) {
            Held use(*s.search);
            py::array_t<double> out(
                {static_cast<py::ssize_t>(s.search->size()), static_cast<py::ssize_t>(kActionCount)});
            s.search->root_noise(out.mutable_data());
            return out;
          },
          "float64 (num_trees, 4672): the noise of each root on its legal actions: the Dirichlet draw mixed into "
          "the priors (PUCT) or the Gumbel draw added to the logits (Gumbel); 0 elsewhere")
      .def(
          "node_counts",
          [](PyMcts& s) {
            Held use(*s.search);
            py::array_t<int64_t> out(s.search->size());
            for (int t = 0; t < s.search->size(); ++t) out.mutable_at(t) = s.search->tree(t).node_count();
            return out;
          },
          "int64 (num_trees,): nodes in use per tree (at most node_budget)")
      .def(
          "finished",
          [](PyMcts& s) {
            Held use(*s.search);
            py::array_t<bool> out(s.search->size());
            for (int t = 0; t < s.search->size(); ++t) out.mutable_at(t) = s.search->tree(t).finished();
            return out;
          },
          "bool (num_trees,): the game at the root is over (after advance); such a tree gives no leaves")
      .def(
          "advance",
          [](PyMcts& s, const py::handle& actions) {
            Held use(*s.search);
            const std::vector<int64_t> chosen = integer_vector(actions, s.search->size(), "actions");
            {
              py::gil_scoped_release unlocked;
              s.search->advance(chosen.data());
            }
          },
          py::arg("actions"),
          "Plays actions[t] (int array (num_trees,)) at the root of each tree and keeps the subtree below it as "
          "the new tree (its statistics reused, fresh root noise drawn); the rest is freed. An action that is not "
          "legal at a root, or a root not yet evaluated, raises ValueError and nothing changes.");

  py::class_<PyUct> uct(
      m, "UCT",
      "Plain UCT without a network: a leaf's value is one seeded native random roll-out, children are "
      "chosen by UCB1 (every unvisited child first). With solver=True proved results (mates) are "
      "passed up the tree (MCTS-Solver), so short mates are found exactly.");
  def_draws(uct, [](PyUct& s) { return Held(*s.search); });
  def_principal_variation(uct);
  uct.def(py::init([](int64_t num_trees, double exploration, int64_t node_budget, bool solver,
                      std::optional<int64_t> num_threads, std::optional<Seed<uint64_t>> seed) {
            SearchOptions o;
            o.num_trees = num_trees;
            o.num_threads = num_threads.value_or(ThreadPool::processor_count());
            o.seed = given_or_os_seed(seed);
            o.exploration = exploration;
            o.node_budget = node_budget;
            o.solver = solver;
            auto self = std::make_unique<PyUct>();
            self->search = made_or_memory_error("UCT(num_trees=" + std::to_string(num_trees) + ")",
                                                [&] { return std::make_unique<Uct>(o); });
            return self;
          }),
          py::arg("num_trees").noconvert(), py::kw_only(), py::arg("exploration") = kSearchDefaults.exploration,
          py::arg("node_budget").noconvert() = kUctNodeBudget, py::arg("solver") = kSearchDefaults.solver,
          py::arg("num_threads").noconvert() = py::none(), py::arg("seed").noconvert() = py::none(),
          "exploration is c in Q + c * sqrt(ln N / N(a)); node_budget bounds each tree (beyond it leaves are "
          "rolled out unexpanded; the root's children always have room); seed makes the roll-outs reproducible for any "
          "num_threads.")
      .def_property_readonly(
          "num_trees", [](const PyUct& s) { return s.search->size(); }, "The number of trees searched together.")
      .def(
          "set_roots",
          [](PyUct& s, const py::handle& roots, const std::optional<std::string>& rules,
             const std::optional<std::vector<int64_t>>& rows) {
            Held use(*s.search);
            const int64_t count = root_count(roots, rows);
            if (count != s.search->size())
              throw py::value_error("set_roots needs one root per tree: " + std::to_string(s.search->size()) +
                                    ", got " + std::to_string(count));
            const RootBoards boards = root_boards(roots, rules, rows);
            try {
              py::gil_scoped_release unlocked;
              s.search->set_roots(boards.boards());
            } catch (const RootError& e) {
              throw py::value_error(boards.refusal(e));
            }
            s.rooted = true;
          },
          py::arg("roots"), py::arg("rules") = py::none(), py::kw_only(), py::arg("rows").noconvert() = py::none(),
          "Starts a new tree per root (a VectorEnv, or with rows the games of those of its rows, or a list of State, "
          "ChessEnv or FEN text, one per tree). A "
          "finished game raises ValueError and nothing changes. Draw rules as in MCTS.set_roots.")
      .def(
          "run",
          [](PyUct& s, int64_t simulations) {
            Held use(*s.search);
            if (!s.rooted) throw std::runtime_error("run before set_roots");
            const int n = checked_count(simulations, "simulations", 0, INT32_MAX);
            const int trees = s.search->size();
            py::array_t<int32_t> done(trees);
            int32_t* total = done.mutable_data();
            std::fill_n(total, trees, 0);
            // In slices of simulations per tree: a tree's simulations are the same cut or not.
            std::vector<int32_t> ran(trees);
            run_range_interruptibly(n, [&](int64_t begin, int64_t end) {
              s.search->run(static_cast<int>(end - begin), ran.data());
              for (int t = 0; t < trees; ++t) total[t] += ran[t];
            });
            return done;
          },
          py::arg("simulations").noconvert(),
          "Runs simulations more per tree (a tree whose root is proved stops) and returns how many each ran "
          "(int32 (num_trees,)).")
      .def(
          "visit_counts",
          [](PyUct& s) {
            Held use(*s.search);
            py::array_t<int32_t> out(
                {static_cast<py::ssize_t>(s.search->size()), static_cast<py::ssize_t>(kActionCount)});
            for (int t = 0; t < s.search->size(); ++t)
              s.search->tree(t).visit_counts(out.mutable_data() + static_cast<size_t>(t) * kActionCount);
            return out;
          },
          "int32 (num_trees, 4672): visits of each root action")
      .def(
          "root_values",
          [](PyUct& s) {
            Held use(*s.search);
            py::array_t<float> out(s.search->size());
            for (int t = 0; t < s.search->size(); ++t)
              out.mutable_at(t) = static_cast<float>(s.search->tree(t).root_value());
            return out;
          },
          "float32 (num_trees,): each root's value for its side to move (+1 / -1 when proved)")
      .def(
          "best_actions",
          [](PyUct& s) {
            Held use(*s.search);
            py::array_t<int64_t> out(s.search->size());
            for (int t = 0; t < s.search->size(); ++t) out.mutable_at(t) = s.search->tree(t).best_action();
            return out;
          },
          "int64 (num_trees,): a proved win if any, else the most visited root action; -1 before any simulation")
      .def(
          "choose_actions",
          [](PyUct& s, double temperature) {
            Held use(*s.search);
            py::array_t<int64_t> out(s.search->size());
            s.search->chosen_actions(temperature, out.mutable_data());
            return out;
          },
          py::arg("temperature") = 0.0,
          "int64 (num_trees,): the move to play per tree: best_actions at temperature 0, else drawn in proportion "
          "to visits ** (1 / temperature) from the tree's seeded generator (as MCTS.choose_actions draws); -1 "
          "before any simulation.")
      .def(
          "solved",
          [](PyUct& s) {
            Held use(*s.search);
            py::array_t<bool> out(s.search->size());
            for (int t = 0; t < s.search->size(); ++t) out.mutable_at(t) = s.search->tree(t).solved();
            return out;
          },
          "bool (num_trees,): the root's result is proved (root_values then holds it)");
}

}  // namespace varnok::binding
