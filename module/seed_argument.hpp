// A seed argument (an unsigned integer) that takes any Python integer: an
// int, or an object that is one by __index__, as NumPy's integer scalars
// are. A seed is often drawn with NumPy (rng.integers(2**32)), and an
// unsigned argument of pybind11's own takes Python ints alone: it refused
// np.int64(5) as an incompatible argument, though a signed one takes it.
// Floats are refused (no seed is truncated), and so is a number outside the
// type's range, both as incompatible arguments (TypeError) as before.
#pragma once

#include <pybind11/pybind11.h>

#include <limits>
#include <optional>
#include <type_traits>

#include "env/random.hpp"

namespace varnok::binding {

template <class Unsigned>
struct Seed {
  static_assert(std::is_unsigned_v<Unsigned>);
  Unsigned value = 0;
};

// The seed given, or without one a seed from the operating system.
inline uint64_t given_or_os_seed(const std::optional<Seed<uint64_t>>& seed) { return seed ? seed->value : os_seed(); }

}  // namespace varnok::binding

namespace pybind11::detail {

template <class Unsigned>
struct type_caster<varnok::binding::Seed<Unsigned>> {
  PYBIND11_TYPE_CASTER(varnok::binding::Seed<Unsigned>, const_name("int"));

  bool load(handle source, bool /*convert*/) {
    if (PyFloat_Check(source.ptr()) || !PyIndex_Check(source.ptr())) return false;
    const object index = reinterpret_steal<object>(PyNumber_Index(source.ptr()));
    if (!index) {
      PyErr_Clear();
      return false;
    }
    const unsigned long long number = PyLong_AsUnsignedLongLong(index.ptr());
    if (PyErr_Occurred()) {  // negative, or past 64 bits
      PyErr_Clear();
      return false;
    }
    if (number > std::numeric_limits<Unsigned>::max()) return false;
    value.value = static_cast<Unsigned>(number);
    return true;
  }

  static handle cast(const varnok::binding::Seed<Unsigned>& seed, return_value_policy, handle) {
    return PyLong_FromUnsignedLongLong(seed.value);
  }
};

}  // namespace pybind11::detail
