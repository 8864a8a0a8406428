// The Python door of varnok: registers State and ChessEnv and converts
// arguments and results. Every method converts its arguments, calls one Board
// operation and converts the result into new Python objects.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <string>

#include "core/board.hpp"

namespace py = pybind11;
using varnok::ActionMask;
using varnok::Board;
using varnok::Plane;
using varnok::State;
using varnok::StepResult;

namespace {

// Python int objects for the values that fill observations and masks. CPython
// keeps -5..256 as shared immortal objects; handing out those pointers
// directly saves a call per list item. An immortal object's reference count
// never changes, so when all of them are immortal the lists take the pointers
// without counting references, which lets whole rows be written as plain
// stores.
constexpr int kSmallMin = -5, kSmallMax = 256;
PyObject* g_small_ints[kSmallMax - kSmallMin + 1];
bool g_small_ints_immortal = false;

void cache_small_ints() {
  g_small_ints_immortal = true;
  for (int v = kSmallMin; v <= kSmallMax; ++v) {
    g_small_ints[v - kSmallMin] = PyLong_FromLong(v);
    // The inline test that Py_INCREF itself makes; no exported symbol, so a
    // wrong interpreter still gets the version message on import.
    if (!_Py_IsImmortal(g_small_ints[v - kSmallMin])) g_small_ints_immortal = false;
  }
}

inline PyObject* int_object(int32_t value) {
  if (value >= kSmallMin && value <= kSmallMax) {
    PyObject* object = g_small_ints[value - kSmallMin];
    Py_INCREF(object);
    return object;
  }
  return PyLong_FromLong(value);
}

// Fills the 64 slots of a row from a plane; false when an int could not be
// made (the slots not yet filled stay NULL, which list deallocation skips).
bool fill_row(PyObject** items, const Plane& plane) {
  int32_t low = plane[0], high = plane[0];
  for (int j = 1; j < 64; ++j) {
    low = std::min(low, plane[j]);
    high = std::max(high, plane[j]);
  }
  if (g_small_ints_immortal && low >= kSmallMin && high <= kSmallMax) {
    // Most planes hold one value throughout (empty piece planes, masks
    // without actions, the counters); the rest hold 0 and 1.
    if (low == high) {
      std::fill_n(items, 64, g_small_ints[low - kSmallMin]);
    } else {
      for (int j = 0; j < 64; ++j) items[j] = g_small_ints[plane[j] - kSmallMin];
    }
    return true;
  }
  for (int j = 0; j < 64; ++j) {
    items[j] = int_object(plane[j]);
    if (!items[j]) return false;
  }
  return true;
}

// A new list of count lists of 64 ints, built straight into the list slots.
PyObject* planes_to_list(const Plane* planes, int count) {
  PyObject* outer = PyList_New(count);
  if (!outer) return nullptr;
  for (int i = 0; i < count; ++i) {
    PyObject* inner = PyList_New(64);
    if (inner) PyList_SET_ITEM(outer, i, inner);
    if (!inner || !fill_row(reinterpret_cast<PyListObject*>(inner)->ob_item, planes[i])) {
      Py_DECREF(outer);  // frees the filled part; unfilled slots are NULL
      return nullptr;
    }
  }
  return outer;
}

void print_to_interpreter(void*, const char* text) { py::print(text, py::arg("end") = ""); }

}  // namespace

namespace pybind11::detail {

template <>
struct type_caster<ActionMask> {
  PYBIND11_TYPE_CASTER(ActionMask, const_name("list[list[int]]"));
  static handle cast(const ActionMask& mask, return_value_policy, handle) {
    return planes_to_list(mask.data(), varnok::kActionPlanes);
  }
  bool load(handle, bool) { return false; }
};

template <>
struct type_caster<StepResult> {
  PYBIND11_TYPE_CASTER(StepResult, const_name("tuple[int, list[list[int]], int, int]"));
  static handle cast(const StepResult& result, return_value_policy, handle) {
    PyObject* observation = planes_to_list(result.observation.data(), varnok::kObservationPlanes);
    if (!observation) return nullptr;
    PyObject* tuple = PyTuple_New(4);
    if (!tuple) {
      Py_DECREF(observation);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, 0, PyLong_FromLong(result.side));
    PyTuple_SET_ITEM(tuple, 1, observation);
    PyTuple_SET_ITEM(tuple, 2, PyLong_FromLong(result.reward));
    PyTuple_SET_ITEM(tuple, 3, PyLong_FromLong(result.done));
    return tuple;
  }
  bool load(handle, bool) { return false; }
};

}  // namespace pybind11::detail

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
         ",\n  n_repititions=" + std::to_string(s.n_repititions) +
         ",\n  state_history size=" + std::to_string(s.state_history.size()) + "\n)";
}

}  // namespace

PYBIND11_MODULE(varnok, m, py::multiple_interpreters::not_supported()) {
  cache_small_ints();
  py::class_<State>(m, "State")
      .def(py::init<>())
      .def_readonly("side", &State::side)
      .def_readonly("enpassant", &State::enpassant)
      .def_readonly("castle", &State::castle)
      .def_readwrite("state_history", &State::state_history)
      .def_readwrite("state_pos", &State::state_pos)
      .def_readwrite("total_move_count", &State::total_move_count)
      .def_readwrite("no_progress_count", &State::no_progress_count)
      .def_readwrite("repetition_count", &State::repetition_count)
      .def_readwrite("move_index", &State::move_index)
      .def_readwrite("n_repititions", &State::n_repititions)
      .def_readwrite("prev_n_repititions", &State::prev_n_repititions)
      .def_property_readonly("bitboards", [](const State& s) { return array_copy(s.bitboards); })
      .def_property_readonly("occupancies", [](const State& s) { return array_copy(s.occupancies); })
      .def("__repr__", &state_repr);

  py::class_<Board>(m, "ChessEnv")
      .def(py::init<>())
      .def("reset", &Board::reset)
      .def("get_actions",
           [](Board& board) {
             ActionMask mask;
             board.get_actions(mask);
             return mask;
           })
      .def("render", [](const Board& board) { board.render(print_to_interpreter, nullptr); })
      .def("parse_fen", [](Board& board, const std::string& text) { board.parse_fen(text.c_str()); })
      .def("step", &Board::step)
      .def("save_state", &Board::save_state)
      .def("restore_state", &Board::restore_state)
      .def("hash_state", &Board::hash_state)
      .def("roll_out", &Board::roll_out);
}
