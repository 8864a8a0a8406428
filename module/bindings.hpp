// The registration functions, one per part of the Python interface.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

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

// The games a search starts from: a VectorEnv (every row's game, or those of
// rows in their order) or a sequence of State, ChessEnv or FEN text. A
// ChessEnv or a VectorEnv keeps its draw rules (ValueError when rules names
// others); States and FEN texts are played by rules, "classic" when not
// given. rows without a VectorEnv raises TypeError.
std::vector<Episode> root_boards(const pybind11::handle& roots, const std::optional<std::string>& rules,
                                 const std::optional<std::vector<int64_t>>& rows = std::nullopt);

void bind_chess_env(pybind11::module_& m);
void bind_vector_env(pybind11::module_& m);
void bind_search(pybind11::module_& m);
void bind_notation(pybind11::module_& m);
void bind_material(pybind11::module_& m);

}  // namespace varnok::binding
