// NumPy arrays in and out of the binding: dtype names, fresh arrays, views
// on memory another object owns, and checked integer vectors.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "vector/vector_env.hpp"

namespace varnok::binding {

namespace py = pybind11;

// "float32", "int32", "uint8" or "packed"; ValueError for any other name.
ObservationFormat observation_format(const std::string& name);
const char* observation_format_name(ObservationFormat format);
py::dtype observation_dtype(ObservationFormat format);
// The shape of n observations (n < 0: a single one, without the leading axis).
std::vector<py::ssize_t> observation_shape(ObservationFormat format, py::ssize_t n);

// A one-dimensional array of integers of length n as int64 values: TypeError
// for anything that is not an integer array, ValueError for another shape.
std::vector<int64_t> integer_vector(const py::handle& values, py::ssize_t n, const char* what);
// A one-dimensional bool array of length n as 0/1 bytes: TypeError for
// another dtype, ValueError for another shape.
std::vector<uint8_t> bool_vector(const py::handle& values, py::ssize_t n, const char* what);

// ValueError naming what unless array has exactly shape.
void check_shape(const py::array& array, const std::vector<py::ssize_t>& shape, const char* what);

// An array the caller gives for results to be written into: TypeError
// unless it is a NumPy array of dtype, ValueError unless it has shape and
// is C-contiguous and writeable.
py::array writable_array(const py::handle& out, const py::dtype& dtype, const std::vector<py::ssize_t>& shape,
                         const char* what);

// An array over memory owned by owner (kept alive by the array), or a fresh
// copy of it when copy is set.
py::array view(const py::dtype& dtype, std::vector<py::ssize_t> shape, const void* data, const py::handle& owner,
               bool copy);

}  // namespace varnok::binding
