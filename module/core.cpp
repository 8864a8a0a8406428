// The extension varnok._core: registers the single-game, vector, PGN and search interfaces. The
// package varnok (varnok/__init__.py) re-exports them.
#include <pybind11/pybind11.h>

#include "env/actions.hpp"
#include "module/bindings.hpp"
#include "module/lists.hpp"
#include "module/sealed_classes.hpp"
#include "vector/option_checks.hpp"

PYBIND11_MODULE(_core, m, pybind11::multiple_interpreters::not_supported()) {
  varnok::binding::cache_small_ints();
  varnok::binding::bind_chess_env(m);
  varnok::binding::bind_vector_env(m);
  varnok::binding::bind_notation(m);
  varnok::binding::bind_search(m);
  varnok::binding::bind_material(m);
  varnok::binding::seal_classes(m);
  // The facts the Python package shares with the core: the size of the
  // action space and the most worker threads a call may ask for.
  m.attr("ACTIONS") = varnok::kActionCount;
  m.attr("MAX_THREADS") = varnok::kMaxThreads;
}
