// State and ChessEnv: the single-game interface. Each method converts its
// arguments, calls one Episode operation and converts the result.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <optional>
#include <random>
#include <string>

#include "core/fen_strict.hpp"
#include "core/start_positions.hpp"
#include "env/episode.hpp"
#include "env/observation_writer.hpp"
#include "env/state_bytes.hpp"
#include "module/arrays.hpp"
#include "module/bindings.hpp"
#include "module/lists.hpp"
#include "module/seed_argument.hpp"

namespace varnok::binding {

DrawRules draw_rules_of(const std::string& name) {
  if (name == "classic") return DrawRules::kClassic;
  if (name == "fide") return DrawRules::kFide;
  if (name == "fide-strict") return DrawRules::kFideStrict;
  throw py::value_error("rules must be \"classic\", \"fide\" or \"fide-strict\", got \"" + name + "\"");
}

const char* draw_rules_name(DrawRules rules) {
  switch (rules) {
    case DrawRules::kFide: return "fide";
    case DrawRules::kFideStrict: return "fide-strict";
    case DrawRules::kClassic: break;
  }
  return "classic";
}

namespace {

template <size_t N>
py::array_t<uint64_t> array_copy(const std::array<uint64_t, N>& values) {
  py::array_t<uint64_t> array(N);
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

std::string state_repr(const State& s) {
  return "State(\n  side=" + std::to_string(s.side) + ",\n  enpassant=" + std::to_string(s.enpassant) +
         ",\n  castle=" + std::to_string(s.castle) + ",\n  state_pos=" + std::to_string(s.state_pos) +
         ",\n  total_move_count=" + std::to_string(s.total_move_count) +
         ",\n  no_progress_count=" + std::to_string(s.no_progress_count) +
         ",\n  n_repititions=" + std::to_string(s.n_repetitions) +
         ",\n  state_history size=" + std::to_string(s.state_history.size()) + "\n)";
}

// An integer field of State (or a list or dict of integers): read as is, set
// from what operator.index takes; floats, Decimals and Fractions are refused
// instead of truncated. The setter carries the field's name, which a refusal
// names ("total_move_count(): incompatible function arguments"); a setter
// without one would say only "()".
template <class Value>
auto field_getter(Value State::* field) {
  return [field](const State& s) -> const Value& { return s.*field; };
}
template <class Value>
py::cpp_function index_setter(const py::class_<State>& cls, const char* name, Value State::* field) {
  return py::cpp_function([field](State& s, const Value& value) { s.*field = value; }, py::name(name),
                          py::is_method(cls), py::arg("value").noconvert());
}

EnPassantField en_passant_field_of(const std::string& name) {
  if (name == "standard") return EnPassantField::kStandard;
  if (name == "legal") return EnPassantField::kLegal;
  throw py::value_error("en_passant must be \"standard\" or \"legal\", got \"" + name + "\"");
}

// A ChessEnv made and never reset holds an empty board: no game has
// started, and no action is legal on it.
bool game_started(const Episode& board) { return board.position.occupancies[kBothColours] != 0; }

py::object termination_name(Termination termination) {
  switch (termination) {
    case Termination::kNone: return py::none();
    case Termination::kCheckmate: return py::str("checkmate");
    case Termination::kStalemate: return py::str("stalemate");
    case Termination::kRepetition: return py::str("repetition");
    case Termination::kNoProgress: return py::str("no_progress");
    case Termination::kInsufficientMaterial: return py::str("insufficient_material");
    case Termination::kMoveCap: return py::str("move_cap");
  }
  return py::none();
}

PgnHeaders headers_of(const std::optional<py::typing::Dict<py::str, py::str>>& headers) {
  PgnHeaders out;
  if (headers)
    for (const auto& [name, value] : *headers) {
      if (!py::isinstance<py::str>(name) || !py::isinstance<py::str>(value))
        throw py::type_error("PGN headers must map str to str, got " + py::repr(name).cast<std::string>() + ": " +
                             py::repr(value).cast<std::string>());
      out.emplace_back(py::str(name), py::str(value));
    }
  return out;
}

std::string_view view_of(const py::bytes& bytes) { return static_cast<std::string_view>(bytes); }

// pickle rebuilds an object as copyreg.__newobj__(type) followed by
// __setstate__(bytes); spelled out so that protocols 0 and 1 do the same as 2 and up.
template <class T>
py::typing::Tuple<py::object, py::typing::Tuple<py::object>, py::bytes> reduce_of(const py::object& self) {
  if (!py::isinstance<T>(self))
    throw py::type_error("__reduce__ needs a " + std::string(py::str(py::type::of<T>().attr("__name__"))) + ", got " +
                         std::string(py::str(py::type::of(self).attr("__name__"))));
  return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"), py::make_tuple(py::type::of(self)),
                        self.attr("__getstate__")());
}

// __setstate__ runs on the bare instance pickle makes; like a constructor it
// puts the value in place.
template <class T>
void set_state_of(py::detail::value_and_holder& instance, const py::bytes& bytes, T (*from_bytes)(std::string_view)) {
  instance.value_ptr() = new T(from_bytes(view_of(bytes)));
}

std::string env_repr(const Episode& board) {
  return "ChessEnv(fen='" + board.fen(EnPassantField::kStandard) + "', rules='" + draw_rules_name(board.rules) + "'" +
         (board.chess960 ? ", chess960=True)" : ")");
}

// The picture is drawn by varnok/svg.py from what the other methods read.
py::str svg_of(const Episode& board, int size, bool last_move, bool check, bool flipped) {
  const py::object env = py::cast(board, py::return_value_policy::reference);  // the calling ChessEnv itself
  return py::module_::import("varnok.svg").attr("board_svg")(env, size, last_move, check, flipped);
}

void print_to_interpreter(void*, const char* text) { py::print(text, py::arg("end") = ""); }

py::array observation_of(const Episode& board, const std::string& dtype) {
  const ObservationFormat format = observation_format(dtype);
  py::array out(observation_dtype(format), observation_shape(format, -1));
  if (!write_cached_row(format, board, out.mutable_data()))
    throw py::value_error("this game's history holds restored planes that a packed observation cannot represent");
  return out;
}

py::array_t<int64_t> legal_actions_of(Episode& board) {
  board.save_current_listing();
  py::array_t<int64_t> out(board.move_index.size());
  int64_t* data = out.mutable_data();
  board.move_index.for_each([&](int action, Move) { *data++ = action; });
  return out;
}

py::array_t<bool> legal_mask_of(Episode& board) {
  board.save_current_listing();
  py::array_t<bool> out(kActionCount);
  bool* data = out.mutable_data();
  std::fill_n(data, kActionCount, false);
  board.move_index.mark(data, true);
  return out;
}

}  // namespace

void bind_chess_env(py::module_& m) {
  py::class_<State> state(
      m, "State",
      "A detached copy of a whole game (position, recorded history, action map, counters, repetition "
      "counts, move log), made by ChessEnv.save_state and put back by ChessEnv.restore_state. A plain "
      "value: copies are deep, == compares every field, equal States hash equal, and it pickles to "
      "compact checked bytes (about 2 bytes a move).");
  state.def(py::init<>(), "An empty State (no pieces, no history); restoring it gives an empty board.")
      .def_readonly("side", &State::side, "The side to move: 0 white, 1 black (read-only).")
      .def_readonly("enpassant", &State::enpassant,
                    "The square a double push just passed over (0 = a8 ... 63 = h1), 64 for none (read-only).")
      .def_readonly("castle", &State::castle,
                    "Castling rights, bits 1 white king side, 2 white queen side, 4 black king side, 8 black queen "
                    "side (read-only).")
      .def_property("state_history", field_getter(&State::state_history),
                    index_setter(state, "state_history", &State::state_history),
                    "The recorded positions, up to 8 entries of 14 planes of 64 ints, in ring order (a new list on "
                    "every read; assign a whole new list to change it).")
      .def_property("state_pos", field_getter(&State::state_pos), index_setter(state, "state_pos", &State::state_pos),
                    "The ring cursor of state_history, 0 to 7.")
      .def_property("total_move_count", field_getter(&State::total_move_count),
                    index_setter(state, "total_move_count", &State::total_move_count),
                    "The steps played since the episode started.")
      .def_property("no_progress_count", field_getter(&State::no_progress_count),
                    index_setter(state, "no_progress_count", &State::no_progress_count),
                    "Plies since the last pawn move or capture, counting that move.")
      .def_property("repetition_count", field_getter(&State::repetition_count),
                    index_setter(state, "repetition_count", &State::repetition_count),
                    "Position hash -> times the position was recorded in the episode (a new dict on every read).")
      .def_property("move_index", field_getter(&State::move_index),
                    index_setter(state, "move_index", &State::move_index),
                    "Action -> move word of the last legal-action listing (a new dict on every read).")
      .def_property("n_repititions", field_getter(&State::n_repetitions),
                    index_setter(state, "n_repititions", &State::n_repetitions),
                    "The repetition value (count - 1) of the position recorded last.")
      .def_property("prev_n_repititions", field_getter(&State::prev_n_repetitions),
                    index_setter(state, "prev_n_repititions", &State::prev_n_repetitions),
                    "The repetition value of the position recorded before it.")
      .def_property_readonly(
          "bitboards", [](const State& s) { return array_copy(s.bitboards); },
          "The 12 piece bitboards (P N B R Q K p n b r q k) as a new uint64 array; bit i is square i, 0 = a8.")
      .def_property_readonly(
          "occupancies", [](const State& s) { return array_copy(s.occupancies); },
          "The occupied squares of white, black and both as a new uint64 array of 3.")
      .def_property("moves", field_getter(&State::moves), index_setter(state, "moves", &State::moves),
                    "The moves played since the episode started, one int each: source square (bits 0-5, 0 = a8, "
                    "63 = h1), target square (bits 6-11), kind promoted to (bits 12-14: 0 none, 1 knight, 2 bishop, "
                    "3 rook, 4 queen).")
      .def_property(
          "start_fen", [](const State& s) { return fen_of(s.start_position, s.start_fullmove); },
          py::cpp_function(
              [](State& s, const std::string& text) {
                const FenPosition start = parse_fen_strict(text, s.start_position.chess960);
                s.start_position = start.position;
                s.start_fullmove = start.fullmove_number;
              },
              py::name("start_fen"), py::is_method(state), py::arg("value")),
          "The position the episode started from, with its full-move number, as FEN; set it with a FEN text "
          "(ValueError naming the field when it is faulty).")
      .def("__repr__", &state_repr, "The scalar fields and the history length, one per line.")
      .def(
          "__eq__",
          [](const State& self, const py::object& other) {
            return py::isinstance<State>(other) && other.cast<const State&>() == self;
          },
          py::arg("other"), "True when other is a State holding the same game, field by field; False otherwise.")
      .def(
          "__hash__", [](const State& s) { return std::hash<std::string>{}(state_to_bytes(s)); },
          "A hash of the whole value, equal for States that compare equal (a State changed later hashes anew).")
      .def(
          "__copy__", [](const State& s) { return State(s); }, "A new State equal to this one (copies are deep).")
      .def(
          "__deepcopy__", [](const State& s, const py::object&) { return State(s); }, py::arg("memo"),
          "A new State equal to this one.")
      .def(
          "__getstate__", [](const State& s) { return py::bytes(state_to_bytes(s)); },
          "The State as compact bytes: magic, format version, the game, a checksum.")
      .def(
          "__setstate__",
          [](py::detail::value_and_holder& instance, const py::bytes& bytes) {
            set_state_of<State>(instance, bytes, &state_from_bytes);
          },
          py::detail::is_new_style_constructor(), py::arg("state"),
          "Makes a new State from the bytes of __getstate__ (pickle calls it); ValueError for bytes that are "
          "damaged, cut short or of another format version.")
      .def("__reduce__", &reduce_of<State>,
           "For pickle: the State as compact bytes (format version, checksum); bytes that are damaged, cut short "
           "or of another format version raise ValueError when loaded.");

  py::class_<Episode>(m, "ChessEnv",
                      "One game of chess as a reinforcement-learning episode: reset or load a position, read the legal "
                      "actions (73 x 64 planes, action = plane * 64 + square), step one action at a time and get back "
                      "(side to move, 119 observation planes, reward from white's side, done). Save and restore whole "
                      "games, hash positions, play random roll-outs, read and write FEN, UCI, SAN and PGN, draw SVG "
                      "pictures. Pickles and copies whole.")
      .def(py::init([](const std::string& rules, bool chess960, std::optional<Seed<uint64_t>> seed) {
             return Episode(draw_rules_of(rules), chess960, seed ? seed->value : std::random_device{}());
           }),
           py::arg("rules") = "classic", py::kw_only(), py::arg("chess960").noconvert() = false,
           py::arg("seed").noconvert() = py::none(),
           "An empty board; call reset, load_fen, parse_fen or restore_state first. chess960=True plays Chess960 "
           "(Fischer Random): reset starts from one of the 960 arrays drawn uniformly (seed, a non-negative integer, "
           "makes the draws reproducible), castling follows the Chess960 rules and is the king's move onto its own "
           "rook, and FEN texts are read with X-FEN or Shredder-FEN castling fields. rules=\"classic\" ends a game "
           "on the third occurrence of a position (counted by hash_state, which two positions with pieces "
           "swapped between squares can share) and after 50 plies counted from and including the last pawn move "
           "or capture; rules=\"fide\" on the third occurrence of a position by FIDE identity (same pieces, side, "
           "castling rights and legal en-passant capture; counted under a Zobrist key with the positions "
           "compared), when the FIDE half-move clock reaches 100 (a checkmate on that ply still wins), and when "
           "neither side has mating material (lone kings, a single knight or bishop, bishops all on squares of one "
           "colour). Both end a game at once where FIDE lets a player claim the draw. rules=\"fide-strict\" ends it "
           "only where the FIDE Laws do without a claim: on the fifth occurrence, when the clock reaches 150, and "
           "on insufficient material, counting as \"fide\" does. ValueError for any other rules.")
      .def_property_readonly(
          "rules", [](const Episode& board) { return draw_rules_name(board.rules); },
          "The draw rules, \"classic\", \"fide\" or \"fide-strict\".")
      .def(
          "reset",
          [](Episode& board, std::optional<int64_t> position) {
            if (!position) return board.reset();
            if (!board.chess960) throw py::value_error("position needs a ChessEnv(chess960=True)");
            if (*position < 0 || *position >= kChess960Positions)
              throw py::value_error("position must be a Chess960 array number 0 to 959, got " +
                                    std::to_string(*position));
            return board.reset_chess960(static_cast<int>(*position));
          },
          py::kw_only(), py::arg("position").noconvert() = py::none(),
          "Starts an episode from the initial position. Returns (side, observation, 0, 0): side to move (0 white), "
          "the observation as 119 lists of 64 ints. With chess960=True it starts from a Chess960 array: position "
          "names it (0 to 959, Scharnagl's numbering, 518 the standard array), None draws the next one. position is "
          "keyword-only; ValueError for a number outside 0-959 or for "
          "position in a standard-chess ChessEnv.")
      .def(
          "get_actions",
          [](Episode& board) {
            ActionMask mask;
            board.get_actions(mask);
            return mask;
          },
          "The legal-action mask as 73 lists of 64 ints (1 = legal); also rebuilds the action-to-move map.")
      .def(
          "render", [](const Episode& board) { board.position.render(print_to_interpreter, nullptr); },
          "Prints the board: letters on the C standard output, chess symbols through Python's print. Returns None.")
      .def(
          "parse_fen", [](Episode& board, const std::string& text) { board.parse_fen(text.c_str()); }, py::arg("text"),
          "Loads a position leniently (placement, side, castling, en passant; the clocks are ignored) without "
          "starting an episode. Returns None; TypeError for a text that is not a str.")
      .def("step", &Episode::step, py::arg("action").noconvert(),
           "Plays a legal action (plane * 64 + square). Returns (side, observation, reward, done): reward +1 / -1 "
           "when black / white is checkmated, done 1 when the game ended. ValueError(\"Invalid action\") for an "
           "action that is not legal now, with the position unchanged; TypeError for a non-integer or one outside "
           "the signed 32-bit range.")
      .def("save_state", &Episode::save_state, "The whole game as a new, detached State.")
      .def("restore_state", &Episode::restore_state, py::arg("state"),
           "Puts a State back and returns (side, observation, 0, 0). ValueError, changing nothing, for a State it "
           "cannot use (state_pos outside 0-7, or not the number of history entries while there are fewer than 8; "
           "more than 8 history entries; an entry not 14 x 64; an action key outside 0-4671; a move log entry of no "
           "promotion kind). A game saved under rules that count repetitions and no progress the other way "
           "(\"classic\" against \"fide\" or \"fide-strict\") is counted again by this environment's rules; a "
           "State edited by hand is taken as it is.")
      .def("hash_state", &Episode::hash_state,
           "A 64-bit hash of the position (placement, side to move, en passant, castling) as an int 0 to 2**64 - 1.")
      .def("zobrist_hash", &Episode::zobrist_hash,
           "The Polyglot Zobrist key of the position as an int 0 to 2**64 - 1, equal to python-chess's "
           "chess.polyglot.zobrist_hash (the key of Polyglot opening books): the en-passant file counts when a pawn "
           "of the side to move stands beside the pawn that has just advanced two squares.")
      .def(
          "roll_out",
          [](Episode& board, std::optional<Seed<uint32_t>> seed) {
            if (!seed) return board.roll_out();
            std::mt19937 rng(seed->value);
            return board.roll_out_with(rng, nullptr);
          },
          py::arg("seed").noconvert() = py::none(),
          "Plays uniformly random legal actions until the episode ends or 400 steps have been played and returns "
          "the final reward (+1 white wins, -1 black wins, 0 otherwise). With seed (0 to 2**32 - 1) the game is "
          "reproducible; without, it is seeded from the operating system.")
      .def(
          "play",
          [](Episode& board, int32_t action) {
            if (!game_started(board))
              throw py::value_error(
                  "Invalid action: no game was started (call reset, load_fen or restore_state first)");
            const Outcome outcome = board.play(action);
            return py::make_tuple(board.position.side, outcome.reward, outcome.done() ? 1 : 0);
          },
          py::arg("action").noconvert(),
          "The move of step(action), with the same rules, errors and effects, answering only (side to move, "
          "reward, done): no observation is built. Read it with observation() when needed. Before any game was "
          "started (an empty board) its ValueError says so.")
      .def("legal_actions", &legal_actions_of,
           "The legal action indices as a NumPy int64 array, in ascending order (the order of get_actions). Also "
           "rebuilds the action-to-move map, as get_actions does.")
      .def("legal_mask", &legal_mask_of,
           "The legal actions as a NumPy bool array of shape (4672,): index plane * 64 + square, True = legal. "
           "Also rebuilds the action-to-move map, as get_actions does.")
      .def("observation", &observation_of, py::arg("dtype") = "float32",
           "The observation of the current position as a new NumPy array: (119, 8, 8) of float32, int32 or uint8 "
           "(counters above 255 read 255), or (119,) uint64 with dtype=\"packed\". The planes are those of the last "
           "result of reset, step or restore_state.")
      .def("load_fen", &Episode::load_fen, py::arg("text"),
           "Reads a FEN text strictly and starts a new episode from it exactly as reset does, with the FEN's "
           "half-move clock as the no-progress count and its full-move number; returns what reset returns. A "
           "faulty text raises ValueError naming the field and leaves the environment unchanged.")
      .def(
          "fen",
          [](const Episode& board, const std::string& en_passant, const std::string& castling) {
            if (castling != "x-fen" && castling != "shredder")
              throw py::value_error("castling must be \"x-fen\" or \"shredder\", got \"" + castling + "\"");
            return board.fen(en_passant_field_of(en_passant),
                             castling == "shredder" ? CastlingNotation::kShredder : CastlingNotation::kXFen);
          },
          py::arg("en_passant") = "standard", py::arg("castling") = "x-fen",
          "The six-field FEN of the current position: the half-move clock counts the plies since the last pawn "
          "move or capture (under rules=\"classic\" the no-progress count is one more once such a move was "
          "played), the full-move number counts on from the episode's start. en_passant=\"standard\" writes the square "
          "passed over "
          "after every double push; \"legal\" only when an en-passant capture is legal (python-chess's default). In a "
          "Chess960 game castling=\"x-fen\" writes KQkq for a side's outermost rook and the rook's file letter "
          "otherwise, \"shredder\" always the file letters (HAha); a standard game always writes KQkq.")
      .def(
          "action_to_uci",
          [](const Episode& board, int32_t action, std::optional<bool> chess960) {
            return chess960 ? board.action_to_uci(action, *chess960) : board.action_to_uci(action);
          },
          py::arg("action").noconvert(), py::arg("chess960").noconvert() = py::none(),
          "The UCI text of a legal action of the current position; ValueError naming an illegal action. Castling "
          "is written as the game encodes it (king onto its destination, e1g1, in standard chess; king onto its "
          "rook, e1h1, in Chess960) unless chess960 chooses: True for king onto rook, False for king onto "
          "destination (in Chess960 set-ups where that text would name another move or none, as for a king on c1 "
          "castling queen side, the king onto its rook).")
      .def("action_to_san", &Episode::action_to_san, py::arg("action").noconvert(),
           "The SAN text of a legal action of the current position; ValueError naming an illegal action.")
      .def("uci_to_action", &Episode::uci_to_action, py::arg("text"),
           "The action of a legal move given in UCI; ValueError naming a malformed or illegal text. Castling is "
           "read in either convention (e1g1 or e1h1) where the text names no other legal move.")
      .def("san_to_action", &Episode::san_to_action, py::arg("text"),
           "The action of a legal move given in SAN (usual variations accepted); ValueError naming a malformed, "
           "illegal or ambiguous text.")
      .def("legal_moves_uci", &Episode::legal_moves_uci,
           "The UCI texts of the legal actions in ascending action order (the order of get_actions).")
      .def("legal_moves_san", &Episode::legal_moves_san,
           "The SAN texts of the legal actions in ascending action order (the order of get_actions and "
           "legal_moves_uci).")
      .def("moves_uci", &Episode::moves_uci,
           "The UCI texts of the moves played since the episode started (reset, load_fen or parse_fen).")
      .def(
          "pgn",
          [](const Episode& board, const std::optional<py::typing::Dict<py::str, py::str>>& headers) {
            return board.pgn(headers_of(headers));
          },
          py::arg("headers") = py::none(),
          "The episode as PGN text: the seven-tag roster (\"?\" where headers give nothing), the other headers, "
          "SetUp and FEN when the episode did not start from the initial position, and the moves in SAN. Without "
          "a Result header the result is what the game shows: 1-0 or 0-1 after mate, 1/2-1/2 after a stalemate or "
          "a draw by the rules, * otherwise. ValueError for a tag name that is no PGN symbol of at most 64 bytes, or "
          "a tag value that holds a control character or more than 65536 bytes (what a PGN reader keeps whole).")
      .def(
          "outcome",
          [](const Episode& board) {
            return game_started(board) ? termination_name(board.last_termination) : py::none();
          },
          "Why the last game ended: \"checkmate\", \"stalemate\", \"repetition\", \"no_progress\", "
          "\"insufficient_material\", \"move_cap\" (a roll_out stopped after 400 steps), or None while it goes "
          "on (also after reset, load_fen, parse_fen and restore_state) and while no game was started (an empty "
          "board).")
      .def(
          "_checkmate_or_stalemate",
          [](const Episode& board) {
            return game_started(board) ? termination_name(board.checkmate_or_stalemate()) : py::none();
          },
          "\"checkmate\" or \"stalemate\" when the side to move has no legal move, None when it has one (and "
          "while no game was started): whether the game can go on from the current position by the rules of play, "
          "whatever its clock, repetitions or material (which the draw rules judge when a step reaches the "
          "position).")
      .def(
          "in_check", [](const Episode& board) { return board.position.in_check(); },
          "True when the side to move has a king and it is attacked.")
      .def("svg", &svg_of, py::arg("size").noconvert() = 400, py::arg("last_move") = true, py::arg("check") = true,
           py::arg("flipped") = false,
           "The board as an SVG picture (a str): size pixels square, file and rank labels, the last move's squares "
           "highlighted when last_move, the king in check marked when check, black at the bottom when flipped. "
           "ValueError for a size below 64.")
      .def_property_readonly(
          "chess960", [](const Episode& board) { return board.chess960; },
          "True when reset starts Chess960 games (the chess960 option).")
      .def(
          "_repr_svg_", [](const Episode& board) { return svg_of(board, 400, true, true, false); },
          "The SVG picture Jupyter shows for a ChessEnv (svg() with its defaults).")
      .def(
          "_repr_html_",
          [](const Episode& board) {
            const py::object env = py::cast(board, py::return_value_policy::reference);
            return py::str(py::module_::import("varnok.viewer").attr("env_html")(env));
          },
          "What Jupyter shows for a ChessEnv: the episode so far in a viewer with a move list, buttons and the arrow "
          "keys (varnok.viewer).")
      .def("__repr__", &env_repr, "ChessEnv(fen='...', rules='...'): the current position as FEN and the rules.")
      .def(
          "__copy__", [](const Episode& board) { return Episode(board); },
          "A new ChessEnv holding the same game and rules, independent of this one.")
      .def(
          "__deepcopy__", [](const Episode& board, const py::object&) { return Episode(board); }, py::arg("memo"),
          "A new ChessEnv holding the same game and rules, independent of this one.")
      .def(
          "__getstate__", [](const Episode& board) { return py::bytes(board_to_bytes(board)); },
          "The game (as save_state holds it), the rules and the last outcome as compact bytes.")
      .def(
          "__setstate__",
          [](py::detail::value_and_holder& instance, const py::bytes& bytes) {
            set_state_of<Episode>(instance, bytes, &board_from_bytes);
          },
          py::detail::is_new_style_constructor(), py::arg("state"),
          "Makes a new ChessEnv from the bytes of __getstate__ (pickle calls it), continuing exactly as the "
          "pickled one would; ValueError for bytes that are damaged, cut short, of another format version, or "
          "holding a game restore_state refuses.")
      .def("__reduce__", &reduce_of<Episode>,
           "For pickle: the game (as save_state holds it), the rules and the last outcome as compact bytes; a "
           "loaded ChessEnv continues exactly as this one would. Bytes that are damaged, cut short or of another "
           "format version raise ValueError when loaded.");
}

}  // namespace varnok::binding
