#include "module/sealed_classes.hpp"

#include <Python.h>

#include <cstring>
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

// __init__ and __setstate__ on an object that already holds its native
// value: pybind11 ignores such a call and returns None, so a caller who
// meant to reinitialise an object (or restore a pickled state into it)
// would go on with the old one unawares. Both are refused with TypeError;
// an object made through __new__ (as pickle makes one) is still built by them.
// The pybind11 function's C entry point is swapped for one that checks
// first, so the methods keep their names, signatures and docstrings.
PyTypeObject* guarded_base = nullptr;
// pybind11's entry point for every function, with its own argument types
// (it counts arguments in a size_t).
using Dispatcher = PyObject* (*)(PyObject*, PyObject* const*, size_t, PyObject*);
Dispatcher pybind_dispatcher = nullptr;

bool holds_value(PyObject* self) {
  if (!PyObject_TypeCheck(self, guarded_base)) return false;  // None, or another object: pybind11 refuses it
  for (const auto& value : pybind11::detail::values_and_holders(reinterpret_cast<pybind11::detail::instance*>(self)))
    if (value.holder_constructed()) return true;
  return false;
}

template <const char* kMethod>
PyObject* refuse_on_live_object(PyObject* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargs) > 0 && holds_value(args[0])) {
    const char* name = Py_TYPE(args[0])->tp_name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    PyErr_Format(PyExc_TypeError,
                 "%s.%s on an object that is already initialised would be ignored: make a new %s instead", name,
                 kMethod, name);
    return nullptr;
  }
  return pybind_dispatcher(function, args, static_cast<size_t>(nargs), kwnames);
}

constexpr char kInit[] = "__init__";
constexpr char kSetState[] = "__setstate__";

template <const char* kMethod>
void guard_constructor(PyTypeObject* type) {
  PyObject* method = PyDict_GetItemString(type->tp_dict, kMethod);  // borrowed
  if (method == nullptr || !PyInstanceMethod_Check(method)) return;
  PyObject* function = PyInstanceMethod_GET_FUNCTION(method);
  if (!PyCFunction_Check(function)) return;
  PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
  if (def->ml_flags != (METH_FASTCALL | METH_KEYWORDS)) return;
  const auto guarded = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&refuse_on_live_object<kMethod>));
  if (def->ml_meth == guarded) return;
  const auto dispatcher = reinterpret_cast<Dispatcher>(reinterpret_cast<void (*)()>(def->ml_meth));
  if (pybind_dispatcher == nullptr) pybind_dispatcher = dispatcher;
  if (dispatcher != pybind_dispatcher) return;  // not a pybind11 function
  def->ml_meth = guarded;
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
  guarded_base = common_base;
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
    guard_constructor<kInit>(type);
    guard_constructor<kSetState>(type);
    extra += static_cast<Py_ssize_t>(sizeof(void*));
    type->tp_basicsize += extra;
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    if (type->tp_new == inherited_new) type->tp_new = guarded_new;
    PyType_Modified(type);
  }
}

}  // namespace varnok::binding
