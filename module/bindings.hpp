// The registration functions, one per part of the Python interface.
#pragma once

#include <pybind11/pybind11.h>

#include "module/live_instance.hpp"

namespace varnok::binding {

void bind_chess_env(pybind11::module_& m);
void bind_vector_env(pybind11::module_& m);
void bind_search(pybind11::module_& m);
void bind_notation(pybind11::module_& m);

}  // namespace varnok::binding
