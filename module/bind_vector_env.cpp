// VectorEnv, its step result, batched roll-outs and unpacking of packed
// observations. All native work runs with the interpreter lock released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "core/fen_strict.hpp"
#include "core/position.hpp"
#include "env/observation_writer.hpp"
#include "env/random.hpp"
#include "module/arrays.hpp"
#include "module/bindings.hpp"
#include "module/interrupt.hpp"
#include "module/memory_error.hpp"
#include "module/seed_argument.hpp"
#include "vector/roll_outs.hpp"
#include "vector/single_caller.hpp"
#include "vector/vector_env.hpp"

namespace varnok::binding {

namespace {

// The arrays of one reset or step.
struct VectorStep {
  using bound_value = void;
  py::array obs, legal_mask, reward, terminated, truncated, to_play, final_obs, final_reward, final_reason;
};

// The Python object: the environment and how its results are handed out.
struct PyVectorEnv {
  using bound_value = void;
  // Shared with the views handed out, which keep the buffers alive.
  std::shared_ptr<VectorEnv> env;
  bool copy = false;
  // The read-only views of the buffers, made on first use and handed out
  // by every reset and step after it: the buffers never move.
  std::optional<VectorStep> views;
};

VectorStep views_of(const std::shared_ptr<VectorEnv>& shared) {
  // The views own a share of the environment, not the Python object that
  // holds them: that would be a reference cycle nothing collects.
  const py::capsule owner(new std::shared_ptr<VectorEnv>(shared),
                          [](void* p) { delete static_cast<std::shared_ptr<VectorEnv>*>(p); });
  VectorEnv& env = *shared;
  const py::ssize_t n = env.size();
  const ObservationFormat format = env.format();
  const py::dtype obs_dtype = observation_dtype(format);
  VectorStep r;
  r.obs = view(obs_dtype, observation_shape(format, n), env.observations(), owner, false);
  r.final_obs = view(obs_dtype, observation_shape(format, n), env.final_observations(), owner, false);
  r.legal_mask = view(py::dtype::of<bool>(), {n, kActionCount}, env.legal_mask(), owner, false);
  r.reward = view(py::dtype::of<float>(), {n}, env.rewards(), owner, false);
  r.terminated = view(py::dtype::of<bool>(), {n}, env.terminated(), owner, false);
  r.truncated = view(py::dtype::of<bool>(), {n}, env.truncated(), owner, false);
  r.to_play = view(py::dtype::of<int8_t>(), {n}, env.to_play(), owner, false);
  r.final_reward = view(py::dtype::of<float>(), {n}, env.final_rewards(), owner, false);
  r.final_reason = view(py::dtype::of<int8_t>(), {n}, env.final_reasons(), owner, false);
  return r;
}

// The result of a reset or step; with obs_out, its obs is that array (the
// step wrote the observations into it).
VectorStep results(PyVectorEnv& v, const py::array* obs_out = nullptr) {
  if (!v.views) v.views = views_of(v.env);
  const VectorStep& w = *v.views;
  const auto fresh = [&v](const py::array& a) { return v.copy ? py::array(a.attr("copy")()) : a; };
  return {obs_out ? *obs_out : fresh(w.obs),
          fresh(w.legal_mask),
          fresh(w.reward),
          fresh(w.terminated),
          fresh(w.truncated),
          fresh(w.to_play),
          fresh(w.final_obs),
          fresh(w.final_reward),
          fresh(w.final_reason)};
}

// obs_out of a step, checked: the observations' dtype and shape, writeable,
// C-contiguous, and apart from the environment's own arrays (the step reads
// its observations while it writes there).
py::array observations_out(VectorEnv& env, const py::handle& out) {
  const ObservationFormat format = env.format();
  py::array array = writable_array(out, observation_dtype(format), observation_shape(format, env.size()), "obs_out");
  const auto* begin = static_cast<const uint8_t*>(array.data());
  const auto* end = begin + array.nbytes();
  const size_t observation_bytes = env.size() * env.observation_row_bytes();
  const auto overlaps = [&](const void* buffer, size_t bytes) {
    const auto* from = static_cast<const uint8_t*>(buffer);
    return begin < from + bytes && from < end;
  };
  if (overlaps(env.observations(), observation_bytes) || overlaps(env.final_observations(), observation_bytes) ||
      overlaps(env.legal_mask(), static_cast<size_t>(env.size()) * kActionCount))
    throw py::value_error("obs_out must not share memory with the environment's own arrays");
  return array;
}

using Use = Held<VectorEnv>;

int checked_row(const VectorEnv& env, int64_t row) {
  if (row < 0 || row >= env.size())
    throw py::index_error("row " + std::to_string(row) + " is outside 0 to " + std::to_string(env.size() - 1));
  return static_cast<int>(row);
}

// Checked as ChessEnv.load_fen checks (a text that is no legal position
// must not become a game's first position); the clocks are not taken, a
// game from a start position counts from 0 as it always has.
std::vector<Position> start_positions(const std::vector<std::string>& fens, bool chess960) {
  std::vector<Position> starts;
  starts.reserve(fens.size());
  for (size_t i = 0; i < fens.size(); ++i) {
    try {
      Position& start = starts.emplace_back(parse_fen_strict(fens[i], chess960).position);
      start.no_progress_count = 0;
    } catch (const std::invalid_argument& e) {
      throw py::value_error("start position " + std::to_string(i) + ": " + e.what());
    }
  }
  return starts;
}

// The observations of packed words, in an array of shape; a word that no
// observation holds (a value beyond 32 bits on a counter plane) is refused
// before anything is written.
template <class T>
py::array unpack_as(const py::array_t<uint64_t, py::array::c_style | py::array::forcecast>& words,
                    const std::vector<py::ssize_t>& shape) {
  const py::ssize_t rows = words.size() / kObservationPlanes;
  const uint64_t* in = words.data();
  run_range_interruptibly(rows, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i)
      for (int plane = 0; plane < kObservationPlanes; ++plane)
        if (const uint64_t word = in[i * kObservationPlanes + plane]; !is_packed_word(plane, word))
          throw std::invalid_argument("packed observation " + std::to_string(i) + " (in C order), plane " +
                                      std::to_string(plane) + ": " + std::to_string(word) +
                                      " is no plane value (a plane other than a piece plane holds a 32-bit "
                                      "integer, sign-extended to 64 bits)");
  });
  py::array_t<T> out(shape);
  T* values = out.mutable_data();
  run_range_interruptibly(rows, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i)
      unpack_observation(in + i * kObservationPlanes, values + i * kObservationValues);
  });
  return out;
}

py::array unpack(const py::array& packed, const std::string& dtype) {
  // The words are bit patterns: a float, bool or complex array is no packed observation.
  const char kind = packed.dtype().kind();
  if (kind != 'u' && kind != 'i')
    throw py::type_error("packed observations must be an integer array (uint64), got dtype " +
                         py::str(packed.dtype()).cast<std::string>());
  py::array_t<uint64_t, py::array::c_style | py::array::forcecast> words(packed);
  if (words.ndim() < 1 || words.shape(words.ndim() - 1) != kObservationPlanes)
    throw py::value_error("packed observations must have a last axis of 119 words");
  if (dtype != "int32" && dtype != "float32" && dtype != "uint8")
    throw py::value_error("dtype must be \"int32\", \"float32\" or \"uint8\", got \"" + dtype + "\"");
  std::vector<py::ssize_t> shape(words.shape(), words.shape() + words.ndim());
  shape.insert(shape.end(), {8, 8});
  if (dtype == "int32") return unpack_as<int32_t>(words, shape);
  if (dtype == "float32") return unpack_as<float>(words, shape);
  return unpack_as<uint8_t>(words, shape);
}

}  // namespace

VectorEnv* native_vector_env(const py::handle& object) {
  if (!py::isinstance<PyVectorEnv>(object)) return nullptr;
  return value_of<PyVectorEnv>(object).env.get();
}

void bind_vector_env(py::module_& m) {
  py::class_<VectorStep>(m, "VectorStep",
                         "The arrays of one VectorEnv.reset or step. Unless the VectorEnv was made with copy=True "
                         "they are read-only views that the next reset or step overwrites.")
      .def_readonly("obs", &VectorStep::obs, "Observations: (num_envs, 119, 8, 8), or (num_envs, 119) uint64 packed")
      .def_readonly("legal_mask", &VectorStep::legal_mask, "bool (num_envs, 4672): True where an action is legal")
      .def_readonly("reward", &VectorStep::reward, "float32 (num_envs,): the step's reward from white's side")
      .def_readonly("terminated", &VectorStep::terminated, "bool (num_envs,): the game ended by a rule of chess")
      .def_readonly("truncated", &VectorStep::truncated, "bool (num_envs,): the game reached max_steps plies")
      .def_readonly("to_play", &VectorStep::to_play, "int8 (num_envs,): side to move in obs, 0 white, 1 black")
      .def_readonly("final_obs", &VectorStep::final_obs,
                    "The last observation of each game that ended in this step (rows where terminated or "
                    "truncated); other rows hold stale data")
      .def_readonly("final_reward", &VectorStep::final_reward, "float32: the ended game's reward, 0 elsewhere")
      .def_readonly("final_reason", &VectorStep::final_reason,
                    "int8: why the row's game ended: 1 checkmate, 2 stalemate, 3 repetition, 4 no progress, "
                    "5 insufficient material, 16 truncated; 0 where it goes on (varnok.Termination names them)")
      .def_property_readonly(
          "done", [](const VectorStep& r) { return py::array(r.terminated.attr("__or__")(r.truncated)); },
          "bool (num_envs,): terminated or truncated (a new array)");

  py::class_<PyVectorEnv>(m, "VectorEnv",
                          "num_envs independent ChessEnv games stepped natively on a pool of worker threads, with "
                          "results written into NumPy arrays. A game that ends is started again inside the same "
                          "step; its last observation, reward and reason are in final_obs, final_reward and "
                          "final_reason.")
      .def(py::init([](int64_t num_envs, std::optional<int64_t> num_threads, std::optional<Seed<uint64_t>> seed,
                       const std::string& obs_dtype, std::optional<int64_t> max_steps, bool copy,
                       const std::string& rules, bool chess960) {
             VectorOptions options;
             options.num_envs = num_envs;
             options.num_threads = num_threads.value_or(ThreadPool::processor_count());
             options.seed = given_or_os_seed(seed);
             options.format = observation_format(obs_dtype);
             options.max_steps = max_steps;
             options.rules = draw_rules_of(rules);
             options.chess960 = chess960;
             auto self = std::make_unique<PyVectorEnv>();
             self->env = made_or_memory_error("VectorEnv(num_envs=" + std::to_string(num_envs) + ")",
                                              [&] { return std::make_unique<VectorEnv>(options); });
             self->copy = copy;
             return self;
           }),
           py::arg("num_envs").noconvert(), py::arg("num_threads").noconvert() = py::none(),
           py::arg("seed").noconvert() = py::none(), py::arg("obs_dtype") = "float32",
           py::arg("max_steps").noconvert() = py::none(), py::arg("copy") = false, py::arg("rules") = "classic",
           py::kw_only(), py::arg("chess960").noconvert() = false,
           "num_threads defaults to the number of cores (never more than num_envs); seed (a non-negative integer) "
           "makes every game and every draw reproducible, for any num_threads; obs_dtype is \"float32\", \"int32\", "
           "\"uint8\" (counters saturate at 255) or \"packed\" (one uint64 word per plane, see varnok.unpack); "
           "max_steps truncates a game after that many plies; copy=True returns fresh arrays instead of views; "
           "rules is \"classic\", \"fide\" or \"fide-strict\", the draw rules of every game, as for ChessEnv; "
           "chess960=True starts every game (at reset and auto-reset) from a Chess960 array drawn uniformly from "
           "the game's own seeded draws, with Chess960 castling.")
      .def_property_readonly(
          "num_envs", [](const PyVectorEnv& v) { return v.env->size(); }, "The number of games.")
      .def_property_readonly(
          "num_threads", [](const PyVectorEnv& v) { return v.env->threads(); }, "The number of worker threads.")
      .def_property_readonly(
          "obs_dtype", [](const PyVectorEnv& v) { return observation_format_name(v.env->format()); },
          "The observation format: \"float32\", \"int32\", \"uint8\" or \"packed\".")
      .def_property_readonly(
          "max_steps",
          [](const PyVectorEnv& v) -> py::object {
            if (v.env->max_steps() > 0) return py::int_(v.env->max_steps());
            return py::none();
          },
          "The plies after which a game is truncated, or None for no limit.")
      .def_property_readonly(
          "chess960", [](const PyVectorEnv& v) { return v.env->chess960(); },
          "True when games start from Chess960 arrays (the chess960 option).")
      .def_property_readonly(
          "rules", [](const PyVectorEnv& v) { return draw_rules_name(v.env->rules()); },
          "The draw rules of every game, \"classic\", \"fide\" or \"fide-strict\".")
      .def(
          "reset",
          [](py::object self, std::optional<Seed<uint64_t>> seed) {
            PyVectorEnv& v = value_of<PyVectorEnv>(self);
            Use use(*v.env);
            {
              py::gil_scoped_release unlocked;
              v.env->reset(seed.has_value(), seed ? seed->value : 0);
            }
            return results(v);
          },
          py::arg("seed").noconvert() = py::none(),
          "Starts every game afresh (from the start positions, if set). With seed, every draw starts again from it.")
      .def(
          "step",
          [](py::object self, const py::handle& actions, const py::handle& active, const py::handle& obs_out) {
            PyVectorEnv& v = value_of<PyVectorEnv>(self);
            Use use(*v.env);
            const std::vector<int64_t> chosen = integer_vector(actions, v.env->size(), "actions");
            const std::vector<uint8_t> moving =
                active.is_none() ? std::vector<uint8_t>() : bool_vector(active, v.env->size(), "active");
            std::optional<py::array> out;
            if (!obs_out.is_none())
              out = observations_out(*v.env, obs_out);
            else if (v.copy)  // the fresh observations are written by the step, not copied after it
              out = py::array(observation_dtype(v.env->format()), observation_shape(v.env->format(), v.env->size()));
            {
              py::gil_scoped_release unlocked;
              v.env->step(chosen.data(), moving.empty() ? nullptr : moving.data(), out ? out->mutable_data() : nullptr);
            }
            return results(v, out ? &*out : nullptr);
          },
          py::arg("actions"), py::kw_only(), py::arg("active") = py::none(), py::arg("obs_out") = py::none(),
          "Plays one action per game (an integer array of shape (num_envs,), numbered as ChessEnv.step numbers "
          "them). Every row is checked first: an illegal action raises ValueError naming the row and the action, "
          "and then no game has moved. active (a bool array of shape (num_envs,)) lets the rows where it is False "
          "sit the step out: their games, observations, masks and to_play stay, their reward, terminated, "
          "truncated and final entries are 0, and their actions are not read (two players taking turns in "
          "different games step the games where each is to move). obs_out (a writeable C-contiguous array of the "
          "observations' dtype and shape (num_envs, ...)) receives every row's new observation, written by the "
          "worker threads while each row is in their cache, and is the result's obs: a caller that keeps each "
          "step's observations (a replay buffer row, a learner holding the last one) skips a copy.")
      .def(
          "step_async",
          [](PyVectorEnv& v, const py::handle& actions, const py::handle& active) {
            // The environment stays held until step_wait.
            Use use(*v.env);
            const std::vector<int64_t> chosen = integer_vector(actions, v.env->size(), "actions");
            const std::vector<uint8_t> moving =
                active.is_none() ? std::vector<uint8_t>() : bool_vector(active, v.env->size(), "active");
            v.env->step_start(chosen.data(), moving.empty() ? nullptr : moving.data());
            use.keep();
          },
          py::arg("actions"), py::kw_only(), py::arg("active") = py::none(),
          "Starts step(actions, active=active) on the worker threads and returns at once; step_wait() returns its "
          "result. Any "
          "other call before step_wait raises RuntimeError.")
      .def(
          "step_wait",
          [](py::object self) {
            PyVectorEnv& v = value_of<PyVectorEnv>(self);
            if (!v.env->step_pending()) throw std::runtime_error("step_wait without a step_async");
            if (!v.env->claim_finish()) throw std::runtime_error("another thread is in step_wait");
            {
              Use held(*v.env, Use::Adopt{});  // step_async's hold, let go on every way out
              py::gil_scoped_release unlocked;
              v.env->step_finish();
            }
            return results(v);
          },
          "Waits for the step started by step_async and returns its result.")
      .def(
          "random_actions",
          [](PyVectorEnv& v) {
            Use use(*v.env);
            py::array_t<int64_t> out(v.env->size());
            v.env->random_actions(out.mutable_data());
            return out;
          },
          "A uniformly random legal action per game, drawn from the environment's own seeded generator "
          "(int64, shape (num_envs,)).")
      .def(
          "set_start_positions",
          [](PyVectorEnv& v, const std::vector<std::string>& fens) {
            Use use(*v.env);
            v.env->set_start_positions(start_positions(fens, v.env->chess960()));
          },
          py::arg("fens"),
          "Every later reset and auto-reset starts each game from a position drawn uniformly (and reproducibly) "
          "from these FEN texts; an empty list means the initial position. A text that load_fen refuses, or a "
          "position whose game is already over, raises ValueError naming it, and nothing changes.")
      .def(
          "save_state",
          [](PyVectorEnv& v, int64_t row) {
            Use use(*v.env);
            return v.env->save_state(checked_row(*v.env, row));
          },
          py::arg("row").noconvert(), "The whole game of one row as a State, exactly as ChessEnv.save_state gives it.")
      .def(
          "restore_state",
          [](PyVectorEnv& v, int64_t row, const State& state) {
            Use use(*v.env);
            v.env->restore_state(checked_row(*v.env, row), state);
          },
          py::arg("row").noconvert(), py::arg("state"),
          "Puts a State (from a VectorEnv or a ChessEnv) into one row and rewrites that row of the current result "
          "arrays. A State restore_state refuses, or one whose game is over (a row must have a move to play), raises "
          "ValueError and changes nothing.")
      .def(
          "reset_row",
          [](PyVectorEnv& v, int64_t row) {
            Use use(*v.env);
            v.env->reset_row(checked_row(*v.env, row));
          },
          py::arg("row").noconvert(),
          "Starts one row's game afresh as an auto-reset does (from the start positions, if set, or a Chess960 "
          "array, drawn from the row's own seeded draws) and rewrites that row of the current result arrays.");

  m.def(
      "roll_outs",
      [](const std::vector<State>& states, int64_t repeats, std::optional<Seed<uint64_t>> seed,
         std::optional<int64_t> num_threads, const std::string& rules) {
        const DrawRules draw_rules = draw_rules_of(rules);
        const int64_t threads = num_threads.value_or(ThreadPool::processor_count());
        // The workers read copies: the caller's States may change or go while the lock is released.
        std::vector<const State*> games;
        games.reserve(states.size());
        for (const State& state : states) games.push_back(&state);
        check_roll_outs(games, repeats, threads);
        py::array_t<int8_t> out({static_cast<py::ssize_t>(states.size()), static_cast<py::ssize_t>(repeats)});
        play_roll_outs(games, repeats, given_or_os_seed(seed), draw_rules, threads, out.mutable_data(),
                       [](int64_t total, const auto& range) { run_range_interruptibly(total, range); });
        return out;
      },
      py::arg("states"), py::arg("repeats").noconvert(), py::arg("seed").noconvert() = py::none(),
      py::arg("num_threads").noconvert() = py::none(), py::arg("rules") = "classic",
      "Plays repeats seeded random games from each State (as ChessEnv.roll_out plays them, under rules "
      "\"classic\", \"fide\" or \"fide-strict\") on worker threads and returns the results as an int8 array of shape "
      "(len(states), repeats). The same seed gives the same results for any num_threads.");

  m.def("unpack", &unpack, py::arg("packed"), py::arg("dtype") = "int32",
        "Unpacks packed observations (..., 119) uint64 into (..., 119, 8, 8) values, exactly the int32 "
        "observation (or float32 / uint8 with dtype; uint8 clamps counters to 0..255 as obs_dtype=\"uint8\" "
        "does). A word that no observation holds (on a plane other than a piece plane, a value that is not a "
        "32-bit integer sign-extended to 64 bits) raises ValueError naming the observation and the plane.");
}

}  // namespace varnok::binding
