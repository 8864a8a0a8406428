// The registration functions, one per part of the Python interface.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "env/outcome.hpp"
#include "module/live_instance.hpp"
#include "search/search_options.hpp"
#include "vector/single_caller.hpp"
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
//
// A VectorEnv's games are read in place, not copied: the VectorEnv is held
// for as long as the roots live, so no other thread steps them meanwhile
// (it is refused as in use). They are running games (running_games()): a
// search takes each as the root its saved State would give.
class RootBoards {
 public:
  size_t size() const { return boards_.size(); }
  const Episode& operator[](size_t i) const { return *boards_[i]; }
  const std::vector<const Episode*>& boards() const { return boards_; }
  bool running_games() const { return held_ != nullptr; }
  // How an error names root i: "root i" for a list of roots; for a
  // VectorEnv's games the row, and with rows given its place in them too,
  // "row 5 of the VectorEnv (rows[1])".
  std::string name(size_t i) const;
  // A search's refusal of one of these roots, the root named as name() names it.
  std::string refusal(const RootError& error) const { return name(error.index) + " " + error.reason; }

 private:
  friend RootBoards root_boards(const pybind11::handle&, const std::optional<std::string>&,
                                const std::optional<std::vector<int64_t>>&);
  std::vector<Episode> made_;
  std::vector<const Episode*> boards_;
  std::unique_ptr<Held<VectorEnv>> held_;
  std::vector<int64_t> rows_;  // the VectorEnv's row of each root; empty for a list of roots
  bool rows_given_ = false;
};
RootBoards root_boards(const pybind11::handle& roots, const std::optional<std::string>& rules,
                       const std::optional<std::vector<int64_t>>& rows = std::nullopt);

// The draws property of a bound search (its search member has draws() and
// set_draws(text)): the state of its seeded generators as bytes. Set from
// the draws of a search of the same kind and size, it goes on with the same
// draws; other bytes raise ValueError and change nothing. hold(s) gives what
// holds the search while it is read or written.
template <class Bound, class Hold>
void def_draws(pybind11::class_<Bound>& bound, Hold hold) {
  bound.def_property(
      "draws",
      [hold](Bound& s) {
        [[maybe_unused]] const auto held = hold(s);
        return pybind11::bytes(s.search->draws());
      },
      [hold](Bound& s, const pybind11::bytes& draws) {
        [[maybe_unused]] const auto held = hold(s);
        if (!s.search->set_draws(std::string(draws)))
          throw pybind11::value_error("these bytes are not the draws of a search of this kind and size");
      },
      "The state of the search's seeded draws, as bytes: a search of the same kind and size given them makes "
      "the same choices from the same roots as this one from here on (copy and pickle use it).");
}

void bind_chess_env(pybind11::module_& m);
void bind_vector_env(pybind11::module_& m);
void bind_search(pybind11::module_& m);
void bind_notation(pybind11::module_& m);
void bind_material(pybind11::module_& m);

}  // namespace varnok::binding
