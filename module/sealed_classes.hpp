// Closes two ways in which Python could make the extension's classes read
// one native value as another: relabelling an instance's class, and
// instantiating pybind11's common base class directly; and refuses
// __init__ and __setstate__ on an object already initialised, which
// pybind11 would ignore. Called once, after every class is registered.
#pragma once

#include <pybind11/pybind11.h>

namespace varnok::binding {

void seal_classes(pybind11::module_& m);

}  // namespace varnok::binding
