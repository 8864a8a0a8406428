// PGN in Python: read_pgn streams games as objects, replay_pgn turns them
// into training arrays natively. Each converts its arguments, calls the PGN
// reader or the replay and converts the result.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/pgn_reader.hpp"
#include "env/observation_writer.hpp"
#include "env/pgn_replay.hpp"
#include "module/bindings.hpp"
#include "module/interrupt.hpp"

namespace varnok::binding {

namespace {

namespace py = pybind11;

// The bytes of a Python binary stream, read with the interpreter lock taken
// (the reader may run without it); an exception the stream raises (a damaged
// archive) passes through the reader unchanged.
struct PythonStream {
  py::object stream;
  size_t operator()(char* buffer, size_t size) const {
    py::gil_scoped_acquire locked;
    const py::bytes got = stream.attr("read")(size);
    const std::string_view view = got;
    const size_t count = std::min(view.size(), size);
    std::memcpy(buffer, view.data(), count);
    return count;
  }
};

bool is_pgn_text(const py::object& source) {
  if (!py::isinstance<py::str>(source)) return false;
  const std::string text = source.cast<std::string>();
  return text.find('\n') != std::string::npos || text.starts_with('[');
}

// How a warning names a source: "the PGN text", or the path.
std::string source_name(const py::object& source) {
  if (is_pgn_text(source)) return "the PGN text";
  return py::repr(py::module_::import("os").attr("fspath")(source)).cast<std::string>();
}

// A source that gave no game is most often the wrong file (a compressed file
// under another name, a text that is not PGN): say so without failing.
void warn_no_game(const std::string& what) {
  if (PyErr_WarnEx(PyExc_UserWarning, what.c_str(), 1) != 0) throw py::error_already_set();
}

// A str holding a newline or starting with "[" is PGN text; any other str,
// and any os.PathLike, is a file path.
PgnReader reader_of(const py::object& source) {
  std::string path;
  if (py::isinstance<py::str>(source)) {
    std::string text = source.cast<std::string>();
    if (text.find('\n') != std::string::npos || text.starts_with('[')) return PgnReader::from_text(std::move(text));
    path = std::move(text);
  } else {
    const py::object fspath = py::module_::import("os").attr("fspath")(source);
    if (!py::isinstance<py::str>(fspath))
      throw py::type_error("source must be PGN text, a str path or an os.PathLike of str");
    path = fspath.cast<std::string>();
  }
  // A compressed file (.gz, .bz2, .zst) streams through Python's codec.
  const py::object stream = py::module_::import("varnok._compression").attr("open_compressed")(path);
  if (!stream.is_none()) return PgnReader::from_source(PythonStream{stream});
  try {
    return PgnReader::from_file(path);
  } catch (const std::system_error& e) {
    // OSError(errno, ...) is the subclass Python's own open raises
    // (FileNotFoundError, PermissionError, IsADirectoryError).
    const py::object error =
        py::module_::import("builtins").attr("OSError")(e.code().value(), e.code().message(), path);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
  }
}

bool raise_on_error(const std::string& errors) {
  if (errors == "skip") return false;
  if (errors == "raise") return true;
  throw py::value_error("errors must be \"skip\" or \"raise\", got \"" + errors + "\"");
}

// The iterator read_pgn returns.
struct PgnGames {
  using bound_value = void;
  PgnReader reader;
  bool raise;
  bool reading = false;  // set and read with the interpreter lock held
  std::string name;      // the source, as a warning names it
  int64_t read = 0;      // games read, broken ones too
  int64_t given = 0;     // games handed out
  bool ended = false;

  PgnGame next() {
    if (reading) throw std::runtime_error("this PGN reader is in use by another thread");
    PgnGame game;
    bool more = reader.next(game);
    read += more;
    if (more && !game.ok() && !raise) {
      // A long run of broken games is skipped in this one call: with the
      // interpreter lock released, in slices that Ctrl-C can stop between
      // two games.
      reading = true;
      struct Done {
        bool& flag;
        ~Done() { flag = false; }
      } done{reading};
      run_interruptibly([&](int64_t count) {
        for (int64_t i = 0; i < count; ++i) {
          more = reader.next(game);
          read += more;
          if (!more || game.ok()) return false;
        }
        return true;
      });
    }
    if (!more) {
      if (!ended && given == 0 && (read == 0 || !raise))
        warn_no_game(read == 0 ? name + " holds no PGN game"
                               : name + ": none of its " + std::to_string(read) + " games could be read (all skipped)");
      ended = true;
      throw py::stop_iteration();
    }
    if (!game.ok()) throw py::value_error(describe_error(game));
    ++given;
    return game;
  }
};

template <class T>
py::array_t<T> array_of(const std::vector<T>& values, std::vector<py::ssize_t> shape) {
  py::array_t<T> out(shape);
  if (!values.empty()) std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(T));
  return out;
}

}  // namespace

void bind_notation(py::module_& m) {
  py::class_<PgnGame>(m, "PgnGame", "One game read from PGN.")
      .def_property_readonly(
          "headers",
          [](const PgnGame& game) {
            py::typing::Dict<py::str, py::str> out;
            for (const auto& [name, value] : game.headers) out[py::str(name)] = py::str(value);
            return out;
          },
          "The tag pairs as a dict, in file order (a repeated tag keeps its last value).")
      .def_property_readonly("actions", &actions_of_game,
                             "The action index of each mainline move, each in the position before it.")
      .def_property_readonly("uci", &PgnGame::uci, "The mainline moves in UCI.")
      .def_readonly("result", &PgnGame::result, "The result token (\"1-0\", \"0-1\", \"1/2-1/2\", \"*\"), or \"\".")
      .def_readonly("line", &PgnGame::line, "The line (from 1) where the game starts.")
      .def_readonly("offset", &PgnGame::offset,
                    "The byte offset (from 0) in the source (decompressed, for a compressed file) of the game's "
                    "first tag or move: reading from there to the next game's offset gives exactly this game.")
      .def_property_readonly(
          "start_fen", [](const PgnGame& game) { return fen_of(game.start, game.start_fullmove); },
          "The FEN of the start position (the FEN tag's, else the initial position).");

  py::class_<PgnGames>(m, "PgnGames", "The games of a PGN source, read one at a time.")
      .def(
          "__iter__", [](PgnGames& games) -> PgnGames& { return games; }, "The games themselves (an iterator).")
      .def("__next__", &PgnGames::next,
           "The next game as a PgnGame; StopIteration at the end, ValueError for a broken game with "
           "errors=\"raise\".");

  m.def(
      "read_pgn",
      [](const py::object& source, const std::string& errors) {
        const bool raise = raise_on_error(errors);
        return PgnGames{reader_of(source), raise, false, source_name(source)};
      },
      py::arg("source"), py::arg("errors") = "skip",
      "Streams the games of a PGN source: a str that holds a newline or starts with \"[\" is the PGN text itself; "
      "any other str, or an os.PathLike, is the path of a file (read in chunks, any size; a path ending in .zst, "
      ".gz or .bz2 is decompressed as it streams). A game that cannot be read whole (a bad FEN tag, an illegal or "
      "unreadable move) is skipped with errors=\"skip\", or raises ValueError with its line number with "
      "errors=\"raise\". A source that gives no game at all warns (UserWarning) when the iterator ends.");

  m.def(
      "replay_pgn",
      [](const py::object& source, const std::string& obs_dtype, const std::string& errors) {
        const bool packed = obs_dtype == "packed";
        if (!packed && obs_dtype != "float32")
          throw py::value_error("obs_dtype must be \"packed\" or \"float32\", got \"" + obs_dtype + "\"");
        const bool raise = raise_on_error(errors);
        PgnReader reader = reader_of(source);
        ReplayedGames replayed;
        run_interruptibly([&](int64_t games) { return replay_games(reader, packed, raise, replayed, games); });
        if (replayed.game_count == 0)
          warn_no_game(source_name(source) + " gave no PGN game (it holds none, or every one was broken)");
        const auto n = static_cast<py::ssize_t>(replayed.actions.size());
        py::typing::Dict<py::str, py::array> out;
        if (packed)
          out["obs"] = array_of(replayed.packed, {n, py::ssize_t{kObservationPlanes}});
        else
          out["obs"] = array_of(replayed.planes, {n, py::ssize_t{kObservationPlanes}, py::ssize_t{8}, py::ssize_t{8}});
        out["action"] = array_of(replayed.actions, {n});
        out["result"] = array_of(replayed.results, {n});
        out["game"] = array_of(replayed.games, {n});
        out["ply"] = array_of(replayed.plies, {n});
        return out;
      },
      py::arg("source"), py::arg("obs_dtype") = "packed", py::arg("errors") = "skip",
      "Replays the games of a PGN source (as read_pgn takes it) natively into NumPy arrays, one row per position "
      "before a move: \"obs\" the observation a VectorEnv gives there ((n, 119) uint64 packed, or (n, 119, 8, 8) "
      "float32), \"action\" the action played (int32), \"result\" the game's result from white's side (int8: +1, "
      "-1, 0 for a draw or no result), \"game\" the game's index among the games kept and \"ply\" the plies "
      "played before it (int32). Broken games are handled as errors says (as in read_pgn); a source that gives no "
      "game warns (UserWarning).");

  m.def(
      "_pgn_cuts",
      [](const py::object& source, int64_t every_bytes) {
        if (every_bytes < 1)
          throw py::value_error("every_bytes must be at least 1, got " + std::to_string(every_bytes));
        PgnReader reader = reader_of(source);
        std::vector<int64_t> cuts;
        int64_t games = 0, target = 0;
        PgnGame game;
        run_interruptibly([&](int64_t count) {
          for (int64_t i = 0; i < count; ++i) {
            if (!reader.next_start(game)) return false;
            ++games;
            if (game.offset >= target) {
              cuts.push_back(game.offset);
              target = game.offset + every_bytes;
            }
          }
          return true;
        });
        return py::make_tuple(array_of(cuts, {static_cast<py::ssize_t>(cuts.size())}), games, reader.position());
      },
      py::arg("source"), py::arg("every_bytes").noconvert(),
      "Where to cut a PGN source into pieces of whole games: (cuts, games, size), the offset of the first game "
      "and then of the first game starting at least every_bytes after the last cut (int64 array), the number of "
      "games, and the bytes of the source (decompressed). Games are found by the reader's own tokenizer, so a "
      "cut never falls inside a comment or a variation; moves are not read.");
}

}  // namespace varnok::binding
