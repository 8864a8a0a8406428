#include "module/arrays.hpp"

namespace varnok::binding {

ObservationFormat observation_format(const std::string& name) {
  if (name == "float32") return ObservationFormat::kFloat32;
  if (name == "int32") return ObservationFormat::kInt32;
  if (name == "uint8") return ObservationFormat::kUint8;
  if (name == "packed") return ObservationFormat::kPacked;
  throw py::value_error("obs_dtype must be \"float32\", \"int32\", \"uint8\" or \"packed\", got \"" + name + "\"");
}

const char* observation_format_name(ObservationFormat format) {
  switch (format) {
    case ObservationFormat::kFloat32: return "float32";
    case ObservationFormat::kInt32: return "int32";
    case ObservationFormat::kUint8: return "uint8";
    case ObservationFormat::kPacked: return "packed";
  }
  return "?";
}

py::dtype observation_dtype(ObservationFormat format) {
  switch (format) {
    case ObservationFormat::kFloat32: return py::dtype::of<float>();
    case ObservationFormat::kInt32: return py::dtype::of<int32_t>();
    case ObservationFormat::kUint8: return py::dtype::of<uint8_t>();
    case ObservationFormat::kPacked: return py::dtype::of<uint64_t>();
  }
  return py::dtype::of<float>();
}

std::vector<py::ssize_t> observation_shape(ObservationFormat format, py::ssize_t n) {
  std::vector<py::ssize_t> shape;
  if (n >= 0) shape.push_back(n);
  if (format == ObservationFormat::kPacked) {
    shape.push_back(kObservationPlanes);
  } else {
    shape.insert(shape.end(), {kObservationPlanes, 8, 8});
  }
  return shape;
}

std::vector<int64_t> integer_vector(const py::handle& values, py::ssize_t n, const char* what) {
  py::array array = py::array::ensure(values);
  if (!array) throw py::type_error(std::string(what) + " must be an array of integers");
  const char kind = array.dtype().kind();
  if (kind != 'i' && kind != 'u')
    throw py::type_error(std::string(what) + " must hold integers, got dtype " +
                         py::str(array.dtype()).cast<std::string>());
  if (array.ndim() != 1 || array.shape(0) != n)
    throw py::value_error(std::string(what) + " must have shape (" + std::to_string(n) + ",), got " +
                          py::str(py::tuple(array.attr("shape"))).cast<std::string>());
  // Unsigned values above the int64 range would turn negative below: refuse
  // them here, naming the value given.
  if (kind == 'u' && array.itemsize() == sizeof(uint64_t)) {
    py::array_t<uint64_t, py::array::c_style | py::array::forcecast> as_uint64(array);
    for (py::ssize_t i = 0; i < n; ++i)
      if (as_uint64.data()[i] > static_cast<uint64_t>(INT64_MAX))
        throw py::value_error(std::string(what) + "[" + std::to_string(i) +
                              "] = " + std::to_string(as_uint64.data()[i]) + " is outside the int64 range");
  }
  py::array_t<int64_t, py::array::c_style | py::array::forcecast> as_int64(array);
  return std::vector<int64_t>(as_int64.data(), as_int64.data() + n);
}

std::vector<uint8_t> bool_vector(const py::handle& values, py::ssize_t n, const char* what) {
  py::array array = py::array::ensure(values);
  if (!array || array.dtype().kind() != 'b')
    throw py::type_error(std::string(what) + " must be a bool array" +
                         (array ? ", got dtype " + py::str(array.dtype()).cast<std::string>() : std::string()));
  if (array.ndim() != 1 || array.shape(0) != n)
    throw py::value_error(std::string(what) + " must have shape (" + std::to_string(n) + ",), got " +
                          py::str(py::tuple(array.attr("shape"))).cast<std::string>());
  py::array_t<bool, py::array::c_style | py::array::forcecast> as_bool(array);
  return std::vector<uint8_t>(as_bool.data(), as_bool.data() + n);
}

void check_shape(const py::array& array, const std::vector<py::ssize_t>& shape, const char* what) {
  bool same = array.ndim() == static_cast<py::ssize_t>(shape.size());
  for (size_t d = 0; same && d < shape.size(); ++d) same = array.shape(d) == shape[d];
  if (same) return;
  std::string wanted = "(";
  for (size_t d = 0; d < shape.size(); ++d)
    wanted += std::to_string(shape[d]) + (shape.size() == 1 ? ",)" : d + 1 < shape.size() ? ", " : ")");
  throw py::value_error(std::string(what) + " must have shape " + wanted + ", got " +
                        py::str(py::tuple(array.attr("shape"))).cast<std::string>());
}

py::array writable_array(const py::handle& out, const py::dtype& dtype, const std::vector<py::ssize_t>& shape,
                         const char* what) {
  if (!py::isinstance<py::array>(out))
    throw py::type_error(std::string(what) + " must be a NumPy array, got " +
                         py::str(py::type::handle_of(out).attr("__name__")).cast<std::string>());
  py::array array = py::reinterpret_borrow<py::array>(out);
  if (!array.dtype().equal(dtype))
    throw py::type_error(std::string(what) + " must have dtype " + py::str(dtype).cast<std::string>() + ", got " +
                         py::str(array.dtype()).cast<std::string>());
  check_shape(array, shape, what);
  if (!(array.flags() & py::array::c_style)) throw py::value_error(std::string(what) + " must be C-contiguous");
  if (!array.writeable()) throw py::value_error(std::string(what) + " must be writeable");
  return array;
}

py::array view(const py::dtype& dtype, std::vector<py::ssize_t> shape, const void* data, const py::handle& owner,
               bool copy) {
  py::array array(dtype, shape, data, owner);
  if (copy) return py::array(array.attr("copy")());
  // A view the caller cannot write through: the next step writes it. The
  // flag is cleared in place, as NumPy's own PyArray_CLEARFLAGS does, on an
  // array no one else has seen yet: a call of setflags costs more than the
  // rest of making the view.
  py::detail::array_proxy(array.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return array;
}

}  // namespace varnok::binding
