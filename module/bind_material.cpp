// The material alpha-beta player's search (search/material_search.hpp): the
// binding converts roots to Boards as the other searches take them, and the
// choices to arrays, and calls the search with the interpreter lock released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "env/episode.hpp"
#include "module/bindings.hpp"
#include "module/interrupt.hpp"
#include "module/seed_argument.hpp"
#include "search/material_search.hpp"

namespace varnok::binding {

namespace {

namespace py = pybind11;

struct PyMaterial {
  using bound_value = void;
  std::unique_ptr<MaterialSearch> search;
};

using Clock = std::chrono::steady_clock;
// The longest clock a search is given: beyond it a time point would overflow.
constexpr double kLongestSeconds = 1e9;
// How often a running search takes the interpreter lock to ask the caller's
// stop object whether it is set.
constexpr auto kStopAskedEvery = std::chrono::milliseconds(5);

// The limits of one deepening search: a clock of seconds and a stop object
// (anything with is_set(), such as threading.Event), asked from the search's
// own thread, and report, called with (action, score, nodes, depth) as each
// depth ends. An error that stop or report raises ends the search and is
// kept in raised for the caller.
MaterialLimits limits_of(int64_t nodes, std::optional<double> seconds, const py::object& stop, const py::object& report,
                         std::exception_ptr& raised) {
  MaterialLimits limits;
  limits.nodes = std::max<int64_t>(nodes, 0);
  if (!report.is_none()) {
    limits.depth_searched = [&report, &raised](const MaterialChoice& so_far) {
      if (raised) return;
      py::gil_scoped_acquire locked;
      try {
        report(so_far.action, so_far.score, so_far.nodes, so_far.depth);
      } catch (...) {
        raised = std::current_exception();
      }
    };
  }
  if (!seconds && stop.is_none() && report.is_none()) return limits;
  const Clock::time_point deadline =
      seconds ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(std::min(*seconds, kLongestSeconds)))
              : Clock::time_point::max();
  limits.stopped = [deadline, &stop, &raised, asked = Clock::now() - kStopAskedEvery]() mutable {
    if (raised) return true;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return true;
    if (stop.is_none() || now - asked < kStopAskedEvery) return false;
    asked = now;
    py::gil_scoped_acquire locked;
    try {
      return py::bool_(stop.attr("is_set")()).cast<bool>();
    } catch (...) {
      raised = std::current_exception();
      return true;
    }
  };
  return limits;
}

}  // namespace

void bind_material(py::module_& m) {
  py::class_<PyMaterial> material(
      m, "MaterialSearch",
      "Fixed-depth alpha-beta on material alone (pawn 100, knight 320, bishop 330, rook 500, queen "
      "900), with checkmate and stalemate found at every node searched and the root's moves judged "
      "by the game's draw rules. Among equally scored moves one is drawn from the seeded generator.");
  def_draws(material, [](PyMaterial& s) { return Held(*s.search); });
  material
      .def(py::init([](int64_t depth, Seed<uint64_t> seed) {
             MaterialOptions o;
             o.depth = depth;  // checked by the search
             o.seed = seed.value;
             auto self = std::make_unique<PyMaterial>();
             self->search = std::make_unique<MaterialSearch>(o);
             return self;
           }),
           py::arg("depth").noconvert() = 1, py::kw_only(), py::arg("seed").noconvert() = Seed<uint64_t>{},
           "depth: plies searched (1 to 8); seed: the tie-break generator's seed.")
      .def_property_readonly(
          "depth", [](const PyMaterial& s) { return s.search->options().depth; }, "Plies searched.")
      .def(
          "reseed",
          [](PyMaterial& s, Seed<uint64_t> seed) {
            Held use(*s.search);
            s.search->reseed(seed.value);
          },
          py::arg("seed").noconvert(), "Starts the tie-break generator again from seed.")
      .def(
          "choose",
          [](PyMaterial& s, const py::object& roots, const std::optional<std::string>& rules,
             const std::optional<std::vector<int64_t>>& rows) {
            Held use(*s.search);
            const RootBoards boards = root_boards(roots, rules, rows);
            const auto n = static_cast<py::ssize_t>(boards.size());
            py::array_t<int64_t> actions(n);
            py::array_t<int32_t> scores(n);
            py::array_t<int64_t> nodes(n);
            auto a = actions.mutable_unchecked<1>();
            auto sc = scores.mutable_unchecked<1>();
            auto nd = nodes.mutable_unchecked<1>();
            // Every root is checked before any is searched: a refused call
            // leaves the tie-break draws as they were.
            for (py::ssize_t i = 0; i < n; ++i) {
              try {
                s.search->check_root(boards[i]);
              } catch (const std::invalid_argument& e) {
                throw py::value_error(boards.name(static_cast<size_t>(i)) + ": " + e.what());
              }
            }
            // Root by root, so that Ctrl-C ends a deep search of many roots
            // after the root in progress.
            run_range_interruptibly(n, [&](int64_t begin, int64_t end) {
              for (int64_t i = begin; i < end; ++i) {
                MaterialChoice choice;
                try {
                  choice = s.search->choose(boards[i]);
                } catch (const std::invalid_argument& e) {
                  py::gil_scoped_acquire locked;
                  throw py::value_error(boards.name(static_cast<size_t>(i)) + ": " + e.what());
                }
                a(i) = choice.action;
                sc(i) = choice.score;
                nd(i) = choice.nodes;
              }
            });
            return py::make_tuple(actions, scores, nodes);
          },
          py::arg("roots"), py::arg("rules") = py::none(), py::kw_only(), py::arg("rows").noconvert() = py::none(),
          "(actions int64 (n,), scores int32 (n,), nodes int64 (n,)) for roots as MCTS.set_roots takes them (a "
          "VectorEnv, with rows the games of those of its rows, or a sequence of State, ChessEnv or FEN text; States "
          "and FEN texts are played by rules, "
          "\"classic\" when not given): the move chosen, its score in centipawns for the side to move (from "
          "29000 up: mate in (30002 - score) // 2 moves; from -29000 down: mated), and the positions searched. A "
          "finished game raises ValueError naming the root.")
      .def(
          "think",
          [](PyMaterial& s, const py::object& root, const std::optional<std::string>& rules, int64_t nodes,
             std::optional<double> seconds, const py::object& stop, const py::object& report) {
            Held use(*s.search);
            if (seconds && !(*seconds >= 0)) throw py::value_error("seconds must be 0 or more");
            // 0 is the way to ask for no budget; a negative count of positions is a mistake.
            if (nodes < 0) throw py::value_error("nodes must be 0 (no budget) or more, got " + std::to_string(nodes));
            Episode board = root_boards(py::make_tuple(root), rules, std::nullopt)[0];
            std::exception_ptr raised;
            const MaterialLimits limits = limits_of(nodes, seconds, stop, report, raised);
            MaterialChoice choice;
            {
              py::gil_scoped_release unlocked;
              try {
                choice = s.search->choose_within(board, limits);
              } catch (const std::invalid_argument& e) {
                py::gil_scoped_acquire locked;
                throw py::value_error(e.what());
              }
            }
            if (raised) std::rethrow_exception(raised);
            return py::make_tuple(choice.action, choice.score, choice.nodes, choice.depth);
          },
          py::arg("root"), py::arg("rules") = py::none(), py::kw_only(), py::arg("nodes").noconvert() = 0,
          py::arg("seconds") = py::none(), py::arg("stop") = py::none(), py::arg("report") = py::none(),
          "(action, score, nodes, depth) for one root (a State, ChessEnv or FEN text), searched one ply deeper "
          "at a time up to the set depth, for a player on a clock: the choice of the deepest depth searched "
          "whole before the search ended. It ends after nodes positions (0: no budget), after seconds, or once "
          "stop.is_set() (stop: any object with is_set(), such as threading.Event, asked every few "
          "milliseconds). Depth 1 is always searched whole. Reaching the set depth, it chooses as choose "
          "does; a mate found ends it early. The score is as choose gives it. report, when given, is called "
          "with (action, score, nodes, depth) as each depth is searched whole: that depth's score and the "
          "first of its best moves in action order (the tie among them is drawn at the end), and the positions "
          "searched so far. An error that stop or report raises ends the search and is raised here.");
}

}  // namespace varnok::binding
