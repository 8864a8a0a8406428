// Building the large native objects (a VectorEnv's games, a search's trees)
// with the GIL released, and saying what did not fit when memory runs out:
// a bare std::bad_alloc reaches Python as MemoryError("std::bad_alloc"),
// which does not say which argument asked for too much.
#pragma once

#include <pybind11/pybind11.h>

#include <new>
#include <string>

namespace varnok::binding {

// make() with the GIL released; MemoryError "<what> does not fit in memory"
// where it runs out.
template <class Make>
auto made_or_memory_error(const std::string& what, Make make) -> decltype(make()) {
  try {
    pybind11::gil_scoped_release unlocked;
    return make();
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, (what + " does not fit in memory: ask for fewer").c_str());
    throw pybind11::error_already_set();
  }
}

}  // namespace varnok::binding
