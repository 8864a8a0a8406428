#include "module/lists.hpp"

#include <algorithm>

namespace varnok::binding {

namespace {

// Python int objects for the values that fill observations and masks,
// made once: -5..256 are the interpreter's shared small ints, so filling a
// slot is taking a reference, never making an object.
constexpr int kSmallMin = -5, kSmallMax = 256;
PyObject* g_small_ints[kSmallMax - kSmallMin + 1];

inline PyObject* int_object(int32_t value) {
  if (value >= kSmallMin && value <= kSmallMax) return Py_NewRef(g_small_ints[value - kSmallMin]);
  return PyLong_FromLong(value);
}

// Fills the 64 slots of a new row list from a plane; false when an int could
// not be made (the slots not yet filled stay NULL, which list deallocation
// skips). PySequence_Fast_ITEMS is the public way to the slots of a list.
// Every slot owns its reference (Py_NewRef; on the shared small ints, which
// are immortal, that is a check without a write), so nothing here depends
// on how the interpreter keeps them.
bool fill_row(PyObject* row, const Plane& plane) {
  PyObject** items = PySequence_Fast_ITEMS(row);
  int32_t low = plane[0], high = plane[0];
  for (int j = 1; j < kSquares; ++j) {
    low = std::min(low, plane[j]);
    high = std::max(high, plane[j]);
  }
  if (low >= kSmallMin && high <= kSmallMax) {
    // Most planes hold one value throughout (empty piece planes, masks
    // without actions, the counters); the rest hold 0 and 1.
    if (low == high) {
      PyObject* same = g_small_ints[low - kSmallMin];
      for (int j = 0; j < kSquares; ++j) items[j] = Py_NewRef(same);
    } else {
      for (int j = 0; j < kSquares; ++j) items[j] = Py_NewRef(g_small_ints[plane[j] - kSmallMin]);
    }
    return true;
  }
  for (int j = 0; j < kSquares; ++j) {
    items[j] = int_object(plane[j]);
    if (!items[j]) return false;
  }
  return true;
}

}  // namespace

void cache_small_ints() {
  for (int v = kSmallMin; v <= kSmallMax; ++v) {
    PyObject* object = PyLong_FromLong(v);
    if (!object) throw pybind11::error_already_set();
    g_small_ints[v - kSmallMin] = object;  // a reference the module keeps for good
  }
}

PyObject* planes_to_list(const Plane* planes, int count) {
  PyObject* outer = PyList_New(count);
  if (!outer) return nullptr;
  for (int i = 0; i < count; ++i) {
    PyObject* inner = PyList_New(kSquares);
    if (inner) PyList_SET_ITEM(outer, i, inner);
    if (!inner || !fill_row(inner, planes[i])) {
      Py_DECREF(outer);  // frees the filled part; unfilled slots are NULL
      return nullptr;
    }
  }
  return outer;
}

}  // namespace varnok::binding
