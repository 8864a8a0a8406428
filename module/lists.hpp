// Results as Python lists: the observation (119 lists of 64 ints) and the
// action mask (73 lists of 64 ints) of the original interface, built straight
// into the list slots, and the type casters that use them.
#pragma once

#include <pybind11/pybind11.h>

#include "env/actions.hpp"
#include "env/step_result.hpp"

namespace varnok::binding {

// Looks the interpreter's shared small ints up once, at module load.
void cache_small_ints();
// A new list of count lists of 64 ints; nullptr with a Python error set when
// an allocation fails.
PyObject* planes_to_list(const Plane* planes, int count);

}  // namespace varnok::binding

namespace pybind11::detail {

template <>
struct type_caster<varnok::ActionMask> {
  PYBIND11_TYPE_CASTER(varnok::ActionMask, const_name("list[list[int]]"));
  static handle cast(const varnok::ActionMask& mask, return_value_policy, handle) {
    return varnok::binding::planes_to_list(mask.data(), varnok::kActionPlanes);
  }
  bool load(handle, bool) { return false; }
};

template <>
struct type_caster<varnok::StepResult> {
  PYBIND11_TYPE_CASTER(varnok::StepResult, const_name("tuple[int, list[list[int]], int, int]"));
  static handle cast(const varnok::StepResult& result, return_value_policy, handle) {
    PyObject* observation = varnok::binding::planes_to_list(result.observation.data(), varnok::kObservationPlanes);
    if (!observation) return nullptr;
    PyObject* tuple = PyTuple_New(4);
    if (!tuple) {
      Py_DECREF(observation);
      return nullptr;
    }
    PyObject* side = PyLong_FromLong(result.side);
    PyObject* reward = PyLong_FromLong(result.reward);
    PyObject* done = PyLong_FromLong(result.done);
    if (!side || !reward || !done) {
      Py_XDECREF(side);
      Py_XDECREF(reward);
      Py_XDECREF(done);
      Py_DECREF(observation);
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, 0, side);
    PyTuple_SET_ITEM(tuple, 1, observation);
    PyTuple_SET_ITEM(tuple, 2, reward);
    PyTuple_SET_ITEM(tuple, 3, done);
    return tuple;
  }
  bool load(handle, bool) { return false; }
};

}  // namespace pybind11::detail
