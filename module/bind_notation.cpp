// PGN in Python: read_pgn streams games as objects, replay_pgn turns them
// into training arrays natively. Each converts its arguments, calls the PGN
// reader or the replay and converts the result.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "core/pgn_reader.hpp"
#include "core/start_positions.hpp"
#include "env/observation_writer.hpp"
#include "env/pgn_replay.hpp"
#include "module/bindings.hpp"
#include "module/interrupt.hpp"

namespace varnok::binding {

namespace {

namespace py = pybind11;

// A Python str of bytes that may not be UTF-8 (a Latin-1 tag value), decoded
// as python-chess decodes PGN: undecodable bytes become U+FFFD.
py::str text_of(const std::string& bytes) {
  PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<py::ssize_t>(bytes.size()), "replace");
  if (!text) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// OSError(errno, ...), the subclass Python's own open and read raise
// (FileNotFoundError, PermissionError, IsADirectoryError).
[[noreturn]] void raise_os_error(const std::system_error& e, const py::object& path) {
  const py::object error = py::module_::import("builtins").attr("OSError")(e.code().value(), e.code().message(), path);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// The bytes of a path (what os.fspath gave) as open() takes them: a str in
// the file system's encoding, a NUL refused with open()'s ValueError (the
// name would end there and name another file).
std::string encoded_path(const py::object& path) {
  if (!py::isinstance<py::str>(path))
    throw py::type_error("source must be PGN text, a str path or an os.PathLike of str");
  if (PySequence_Contains(path.ptr(), py::str("\0", 1).ptr()) == 1)
    throw py::value_error("source: embedded null byte in the path " + py::repr(path).cast<std::string>());
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(path.ptr(), &encoded)) throw py::error_already_set();
  const auto bytes = py::reinterpret_steal<py::bytes>(encoded);
  return bytes.cast<std::string>();
}

// The bytes of a Python binary stream, read with the interpreter lock taken
// (the reader runs without it); an exception the stream raises (a damaged
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
  return py::isinstance<py::str>(source) &&
         (PySequence_Contains(source.ptr(), py::str("\n").ptr()) == 1 || source.attr("startswith")("[").cast<bool>());
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
// and any os.PathLike, is a file path. A file is opened with the
// interpreter lock released: opening a FIFO waits for its writer, which may
// be a Python thread of this process. filename is set to the path (None
// for a text), for the errors of reading.
PgnReader reader_of(const py::object& source, py::object& filename) {
  filename = py::none();
  if (is_pgn_text(source)) {
    py::ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(source.ptr(), &size);
    if (!utf8) {
      py::raise_from(PyExc_ValueError, "source: PGN text must be valid Unicode (it holds a lone surrogate)");
      throw py::error_already_set();
    }
    return PgnReader::from_text(std::string(utf8, static_cast<size_t>(size)));
  }
  filename = py::module_::import("os").attr("fspath")(source);
  const std::string path = encoded_path(filename);
  // A compressed file (.gz, .bz2, .zst) streams through Python's codec.
  const py::object stream = py::module_::import("varnok._compression").attr("open_compressed")(filename);
  if (!stream.is_none()) return PgnReader::from_source(PythonStream{stream});
  for (;;) {
    try {
      py::gil_scoped_release unlocked;
      return PgnReader::from_file(path);
    } catch (const std::system_error& e) {
      if (e.code().value() != EINTR) raise_os_error(e, filename);
      check_interrupt();  // a signal ended the wait: its handler runs, then the wait goes on
    }
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
  py::object filename;   // named by an OSError from reading; None for a text
  std::string name;      // the source, as a warning names it
  bool reading = false;  // set and read with the interpreter lock held
  int64_t read = 0;      // games read, broken ones too
  int64_t given = 0;     // games handed out
  bool ended = false;

  PgnGame next() {
    if (reading) throw std::runtime_error("this PGN reader is in use by another thread");
    reading = true;
    struct Done {
      bool& flag;
      ~Done() { flag = false; }
    } done{reading};
    // With the interpreter lock released (a FIFO's writer may be a Python
    // thread), in slices of chunks scanned that Ctrl-C can stop: a long run
    // of broken games is skipped in this one call, and a source may hold no
    // game for gigabytes.
    PgnGame game;
    bool more = true;
    try {
      run_interruptibly([&](int64_t chunks) {
        for (;;) {
          switch (reader.next(game, chunks)) {
            case PgnReader::Progress::kPaused: return true;
            case PgnReader::Progress::kEnd: more = false; return false;
            case PgnReader::Progress::kGame:
              ++read;
              if (game.ok() || raise) return false;
              break;
          }
        }
      });
    } catch (const std::system_error& e) {
      raise_os_error(e, filename);
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

// The array over values' own memory, which the array then owns: a replay's
// observations run to gigabytes, and a copy would hold them twice at once.
template <class T>
py::array_t<T> array_taking(std::vector<T>&& values, std::vector<py::ssize_t> shape) {
  auto* held = new std::vector<T>(std::move(values));
  const py::capsule owner(held, [](void* vector) { delete static_cast<std::vector<T>*>(vector); });
  return py::array_t<T>(shape, held->data(), owner);
}

}  // namespace

void bind_notation(py::module_& m) {
  py::class_<PgnGame>(m, "PgnGame", "One game read from PGN.")
      .def_property_readonly(
          "headers",
          [](const PgnGame& game) {
            py::typing::Dict<py::str, py::str> out;
            for (const auto& [name, value] : game.headers) out[py::str(name)] = text_of(value);
            return out;
          },
          "The tag pairs as a dict, in file order (a repeated tag keeps its last value). Values are decoded "
          "as UTF-8 with bytes that are no UTF-8 (a Latin-1 file) replaced by U+FFFD, as python-chess does.")
      .def_property_readonly("actions", &actions_of_game,
                             "The action index of each mainline move, each in the position before it.")
      .def_property_readonly("uci", &PgnGame::uci, "The mainline moves in UCI.")
      .def_readonly("checkmate", &PgnGame::checkmate,
                    "Whether the game ends in checkmate: its last position (after the last move read) is mate.")
      .def_readonly("result", &PgnGame::result,
                    "The result token (\"1-0\", \"0-1\", \"1/2-1/2\", \"*\"); without one, the Result tag's value when "
                    "it is one of these; else \"\".")
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
      "chess960_fen",
      [](int64_t number) {
        if (number < 0 || number >= kChess960Positions)
          throw py::value_error("number must be a Chess960 array number 0 to 959, got " + std::to_string(number));
        return chess960_fen(static_cast<int>(number));
      },
      py::arg("number").noconvert(),
      "The FEN of Chess960 (Fischer Random) array number 0 to 959 by Scharnagl's numbering (518 is the standard "
      "array), with all four castling rights written KQkq (X-FEN). ValueError for any other number.");

  m.def(
      "read_pgn",
      [](const py::object& source, const std::string& errors) {
        const bool raise = raise_on_error(errors);
        py::object filename;
        PgnReader reader = reader_of(source, filename);
        return PgnGames{std::move(reader), raise, filename, source_name(source)};
      },
      py::arg("source"), py::arg("errors") = "skip",
      "Streams the games of a PGN source: a str that holds a newline or starts with \"[\" is the PGN text itself; "
      "any other str, or an os.PathLike, is the path of a file (read in chunks, any size, with the interpreter "
      "lock released: a FIFO's writer may be a thread of this process; a path ending in .zst, .gz or .bz2 is "
      "decompressed as it streams). A game that cannot be read whole (a bad FEN tag, an illegal or unreadable "
      "move, a null move) is skipped with errors=\"skip\", or raises ValueError with its line number with "
      "errors=\"raise\". A source that gives no game at all warns (UserWarning) when the iterator ends.");

  m.def(
      "replay_pgn",
      [](const py::object& source, const std::string& obs_dtype, const std::string& errors, const std::string& rules) {
        const DrawRules draw_rules = draw_rules_of(rules);
        const bool packed = obs_dtype == "packed";
        if (!packed && obs_dtype != "float32")
          throw py::value_error("obs_dtype must be \"packed\" or \"float32\", got \"" + obs_dtype + "\"");
        const bool raise = raise_on_error(errors);
        py::object filename;
        PgnReader reader = reader_of(source, filename);
        ReplayedGames replayed;
        try {
          run_interruptibly(
              [&](int64_t chunks) { return replay_games(reader, packed, raise, replayed, chunks, draw_rules); });
        } catch (const std::system_error& e) {
          raise_os_error(e, filename);
        }
        if (replayed.game_count == 0)
          warn_no_game(source_name(source) + " gave no PGN game (it holds none, or every one was broken)");
        const auto n = static_cast<py::ssize_t>(replayed.actions.size());
        py::typing::Dict<py::str, py::array> out;
        if (packed)
          out["obs"] = array_taking(std::move(replayed.packed), {n, py::ssize_t{kObservationPlanes}});
        else
          out["obs"] = array_taking(std::move(replayed.planes),
                                    {n, py::ssize_t{kObservationPlanes}, py::ssize_t{8}, py::ssize_t{8}});
        out["action"] = array_taking(std::move(replayed.actions), {n});
        out["result"] = array_taking(std::move(replayed.results), {n});
        out["game"] = array_taking(std::move(replayed.games), {n});
        out["ply"] = array_taking(std::move(replayed.plies), {n});
        return out;
      },
      py::arg("source"), py::arg("obs_dtype") = "packed", py::arg("errors") = "skip", py::arg("rules") = "classic",
      "Replays the games of a PGN source (as read_pgn takes it) natively into NumPy arrays, one row per position "
      "before a move: \"obs\" the observation a VectorEnv gives there ((n, 119) uint64 packed, or (n, 119, 8, 8) "
      "float32), \"action\" the action played (int32), \"result\" the game's result from white's side (int8: +1, "
      "-1, 0 for a draw or no result), \"game\" the game's index among the games kept and \"ply\" the plies "
      "played before it (int32). Broken games are handled as errors says (as in read_pgn). rules (\"classic\", "
      "\"fide\" or \"fide-strict\") is how the observations count no progress and repetitions, as in a VectorEnv of "
      "those rules; every move is replayed. A source that gives no game warns (UserWarning).");

  m.def(
      "_pgn_cuts",
      [](const py::object& source, int64_t every_bytes) {
        if (every_bytes < 1)
          throw py::value_error("every_bytes must be at least 1, got " + std::to_string(every_bytes));
        py::object filename;
        PgnReader reader = reader_of(source, filename);
        std::vector<int64_t> cuts;
        int64_t games = 0, target = 0;
        PgnGame game;
        try {
          run_interruptibly([&](int64_t chunks) {
            for (;;) {
              switch (reader.next_start(game, chunks)) {
                case PgnReader::Progress::kPaused: return true;
                case PgnReader::Progress::kEnd: return false;
                case PgnReader::Progress::kGame:
                  ++games;
                  if (game.offset >= target) {
                    cuts.push_back(game.offset);
                    target = game.offset + every_bytes;
                  }
                  break;
              }
            }
          });
        } catch (const std::system_error& e) {
          raise_os_error(e, filename);
        }
        return py::make_tuple(array_of(cuts, {static_cast<py::ssize_t>(cuts.size())}), games, reader.position());
      },
      py::arg("source"), py::arg("every_bytes").noconvert(),
      "Where to cut a PGN source into pieces of whole games: (cuts, games, size), the offset of the first game "
      "and then of the first game starting at least every_bytes after the last cut (int64 array), the number of "
      "games, and the bytes of the source (decompressed). Games are found by the reader's own tokenizer, so a "
      "cut never falls inside a comment or a variation; moves are not read.");
}

}  // namespace varnok::binding
