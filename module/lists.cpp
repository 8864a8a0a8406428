#include "module/lists.hpp"

#include <algorithm>

namespace varnok::binding {

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

}  // namespace

void cache_small_ints() {
  g_small_ints_immortal = true;
  for (int v = kSmallMin; v <= kSmallMax; ++v) {
    g_small_ints[v - kSmallMin] = PyLong_FromLong(v);
    // The inline test that Py_INCREF itself makes; no exported symbol, so a
    // wrong interpreter still gets the version message on import.
    if (!_Py_IsImmortal(g_small_ints[v - kSmallMin])) g_small_ints_immortal = false;
  }
}

namespace {

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

}  // namespace

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

}  // namespace varnok::binding
