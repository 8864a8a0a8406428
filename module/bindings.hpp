// The registration functions, one per part of the Python interface.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "env/outcome.hpp"
#include "module/live_instance.hpp"
#include "vector/vector_env.hpp"

namespace varnok::binding {

// The draw rules a rules= argument names ("classic", "fide" or
// "fide-strict"); ValueError
// for any other name.
DrawRules draw_rules_of(const std::string& name);
const char* draw_rules_name(DrawRules rules);

// The environment of a varnok.VectorEnv, or nullptr for any other object.
VectorEnv* native_vector_env(const pybind11::handle& object);

void bind_chess_env(pybind11::module_& m);
void bind_vector_env(pybind11::module_& m);
void bind_search(pybind11::module_& m);
void bind_notation(pybind11::module_& m);
void bind_material(pybind11::module_& m);

}  // namespace varnok::binding
