#include "module/lists.hpp"

#include <dlfcn.h>

#include <algorithm>

namespace varnok::binding {

namespace {

// Python int objects for the values that fill observations and masks. CPython
// keeps -5..256 as shared immortal objects: an immortal object's reference
// count never changes, so when all of them are immortal the lists take the
// pointers without counting references, one store per item.
constexpr int kSmallMin = -5, kSmallMax = 256;
PyObject* g_small_ints[kSmallMax - kSmallMin + 1];
bool g_small_ints_immortal = false;

// The interpreter's public immortality test (PyUnstable_IsImmortal, new in
// Python 3.14), looked up at run time rather than linked: a module linked to
// it would fail to load under another Python with a missing-symbol error
// before the version check could say what is wrong.
using IsImmortal = int (*)(PyObject*);

IsImmortal immortality_test() { return reinterpret_cast<IsImmortal>(dlsym(RTLD_DEFAULT, "PyUnstable_IsImmortal")); }

inline PyObject* int_object(int32_t value) {
  if (value >= kSmallMin && value <= kSmallMax) {
    PyObject* object = g_small_ints[value - kSmallMin];
    Py_INCREF(object);
    return object;
  }
  return PyLong_FromLong(value);
}

// Fills the 64 slots of a new row list from a plane; false when an int could
// not be made (the slots not yet filled stay NULL, which list deallocation
// skips). PySequence_Fast_ITEMS is the public way to the slots of a list.
bool fill_row(PyObject* row, const Plane& plane) {
  PyObject** items = PySequence_Fast_ITEMS(row);
  int32_t low = plane[0], high = plane[0];
  for (int j = 1; j < kSquares; ++j) {
    low = std::min(low, plane[j]);
    high = std::max(high, plane[j]);
  }
  if (g_small_ints_immortal && low >= kSmallMin && high <= kSmallMax) {
    // Most planes hold one value throughout (empty piece planes, masks
    // without actions, the counters): one fill; the rest hold 0 and 1.
    if (low == high) {
      std::fill_n(items, kSquares, g_small_ints[low - kSmallMin]);
    } else {
      for (int j = 0; j < kSquares; ++j) items[j] = g_small_ints[plane[j] - kSmallMin];
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
  const IsImmortal is_immortal = immortality_test();
  g_small_ints_immortal = is_immortal != nullptr;
  for (int v = kSmallMin; v <= kSmallMax; ++v) {
    PyObject* object = PyLong_FromLong(v);
    if (!object) throw pybind11::error_already_set();
    g_small_ints[v - kSmallMin] = object;
    if (is_immortal && !is_immortal(object)) g_small_ints_immortal = false;
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
