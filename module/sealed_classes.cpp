#include "module/sealed_classes.hpp"

#include <Python.h>

#include <exception>

namespace varnok::binding {

namespace {

// The tp_new every class of the extension inherits from pybind11's common
// base. Called on that base itself (type(ChessEnv).__base__ is public), it
// throws a C++ exception through the interpreter, which aborts the process.
newfunc inherited_new = nullptr;

PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    return inherited_new(type, args, kwargs);
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances: %s", type->tp_name, e.what());
    return nullptr;
  }
}

bool is_extension_class(PyObject* value, PyTypeObject* common_base) {
  if (!PyType_Check(value)) return false;
  const auto* type = reinterpret_cast<PyTypeObject*>(value);
  return type != common_base && type->tp_base == common_base;
}

}  // namespace

void seal_classes(pybind11::module_& m) {
  PyTypeObject* common_base = nullptr;
  for (const auto& item : m.attr("__dict__").cast<pybind11::dict>()) {
    if (PyType_Check(item.second.ptr())) {
      common_base = reinterpret_cast<PyTypeObject*>(item.second.ptr())->tp_base;
      break;
    }
  }
  if (common_base == nullptr) return;
  if (common_base->tp_new != guarded_new) {
    inherited_new = common_base->tp_new;
    common_base->tp_new = guarded_new;
    PyType_Modified(common_base);
  }

  // Every class gets its own instance size, a pointer apart, and the
  // immutable-type flag. Python allows `obj.__class__ = Other` only between
  // mutable types of the same layout; all pybind11 instances share one
  // layout, so without this a ChessEnv could be relabelled a State (directly,
  // or through Python subclasses of each) and read as one.
  Py_ssize_t extra = 0;
  for (const auto& item : m.attr("__dict__").cast<pybind11::dict>()) {
    PyObject* value = item.second.ptr();
    if (!is_extension_class(value, common_base)) continue;
    auto* type = reinterpret_cast<PyTypeObject*>(value);
    if (type->tp_basicsize != common_base->tp_basicsize) continue;  // sealed by an earlier import
    extra += static_cast<Py_ssize_t>(sizeof(void*));
    type->tp_basicsize += extra;
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    if (type->tp_new == inherited_new) type->tp_new = guarded_new;
    PyType_Modified(type);
  }
}

}  // namespace varnok::binding
